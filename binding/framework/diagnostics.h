// Serialises the diagnostic lines written to the standard error stream.
#pragma once

#include <mutex>

namespace zibrel {

// A leaf lock: held only while one line is written. Never destroyed, so a
// library thread that reports during process exit still finds it.
std::mutex& diagnostic_mutex();

}  // namespace zibrel
