// Exit detection: the library's own threads (timer, device readers, callers)
// stop calling into an application whose static objects are about to be destroyed.
#pragma once

namespace zibrel::qorzibrel {

// True once the process has begun to exit.
bool process_exiting();
// Arrange for process_exiting() to turn true at exit (idempotent).
void watch_process_exit();

}  // namespace zibrel::qorzibrel
