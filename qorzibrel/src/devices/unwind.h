// Catch-alls on the library's own threads must let the unwinding that ends a
// thread (abi::__forced_unwind, from pthread_exit or cancellation) through,
// or the process aborts ("FATAL: exception not rethrown"). It is no C++
// exception: std::current_exception() holds every C++ exception being handled
// and nothing for it. (Catching abi::__forced_unwind& binds a reference to a
// null object, which the undefined-behaviour sanitizer refuses; and
// abi::__cxa_current_exception_type() gives no type at all for it, so a
// comparison with typeid(abi::__forced_unwind) never matches.)
#pragma once

#include <exception>

namespace zibrel::qorzibrel {

// Inside a catch (...): the exception being handled is not one of C++'s own,
// such as the end of the thread; rethrow it.
inline bool forced_unwind_in_flight() { return std::current_exception() == nullptr; }

}  // namespace zibrel::qorzibrel
