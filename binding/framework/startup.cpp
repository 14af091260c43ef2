#include "framework/startup.h"

#include <pthread.h>

#include "framework/connection.h"
#include "framework/diagnostics.h"
#include "framework/errors.h"
#include "library/loader.h"

namespace zibrel {
namespace {

using Qor::Kinemo::Navigation3D::SinkRegistry;

#ifdef _WIN32
// Windows has no fork, so no child ever needs the locks freed. (mingw's
// pthread_atfork is an empty macro: calling it would only look as if it worked.)
void register_fork_handlers() {}
#else
// The two process-wide locks a library thread may hold for a moment; a fork
// waits for them, so the child finds them free.
void before_fork() {
    SinkRegistry::lock_for_fork();
    diagnostic_mutex().lock();
}

void after_fork() {
    diagnostic_mutex().unlock();
    SinkRegistry::unlock_after_fork();
}

void register_fork_handlers() {
    static const bool registered = pthread_atfork(before_fork, after_fork, after_fork) == 0;
    (void)registered;
}
#endif

}  // namespace

int32_t initialize_process() {
    zibrel_category();
    SinkRegistry::initialize();
    diagnostic_mutex();
    register_fork_handlers();
    return load_navigation_library_once();
}

}  // namespace zibrel
