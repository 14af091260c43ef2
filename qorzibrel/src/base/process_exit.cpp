#include "base/process_exit.h"

#include <atomic>
#include <cstdlib>

namespace zibrel::qorzibrel {
namespace {

// Set at process exit so that the library's threads stop calling into an
// application whose static objects are about to be destroyed.
std::atomic<bool> exiting{false};

}  // namespace

bool process_exiting() { return exiting.load(); }

void watch_process_exit() {
    static const bool registered = [] {
        std::atexit([] { exiting.store(true); });
        return true;
    }();
    (void)registered;
}

}  // namespace zibrel::qorzibrel
