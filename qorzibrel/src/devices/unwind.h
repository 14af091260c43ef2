// Catch-alls on the library's own threads must let the unwinding that ends a
// thread (abi::__forced_unwind, from pthread_exit or cancellation) through,
// or the process aborts. The type is checked without binding a reference to
// the exception, which the undefined-behaviour sanitizer refuses for it.
#pragma once

#include <cxxabi.h>

#include <typeinfo>

namespace zibrel::qorzibrel {

// Inside a catch (...): the exception being handled ends the thread.
inline bool forced_unwind_in_flight() {
    const std::type_info* type = abi::__cxa_current_exception_type();
    return type != nullptr && *type == typeid(abi::__forced_unwind);
}

}  // namespace zibrel::qorzibrel
