// Threads that nothing joins: the library thread, the spacenavd exchange watch
// and the test variant's background callers.
#pragma once

#include <functional>

namespace zibrel::qorzibrel {

// Run `body` on a new thread that ends by itself. Throws std::system_error when
// no thread can be started.
void start_detached(std::function<void()> body);

}  // namespace zibrel::qorzibrel
