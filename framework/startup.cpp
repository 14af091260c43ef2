#include "framework/startup.h"

#include "framework/connection.h"
#include "framework/diagnostics.h"
#include "framework/errors.h"
#include "library/loader.h"

namespace zibrel {

int32_t initialize_process() {
    zibrel_category();
    Qor::Kinemo::Navigation3D::SinkRegistry::initialize();
    diagnostic_mutex();
    return load_navigation_library_once();
}

}  // namespace zibrel
