#include <pybind11/pybind11.h>

#include "framework/startup.h"
#include "module/bindings.h"

// The navigation library is loaded when the module's shared object is loaded,
// before the module definition runs; a failure is only recorded.
static const int32_t library_load_result = zibrel::initialize_process();

PYBIND11_MODULE(_pyzibrel, m) {
    register_values(m);
    register_model(m);
    m.attr("__version__") = "VERSION_INFO";
}
