// Process start-up of the native side, run when the module's shared object loads.
#pragma once

#include <cstdint>

namespace zibrel {

// Constructs, in this order, the error category, the sink registry and the
// diagnostic mutex (the property catalogue is constant-initialised before
// anything runs), then loads the navigation library once. Returns the load's
// result. The order holds by construction, whatever the link order.
int32_t initialize_process();

}  // namespace zibrel
