// Catch-alls and the forced unwind that ends a thread.
//
// pthread_exit and pthread_cancel end a thread by unwinding its stack with a
// "forced unwind"; CPython does the same to a thread that asks for the
// interpreter lock while the interpreter finalises. A catch (...) may run
// during that unwind but must rethrow it, or the process aborts with
// "FATAL: exception not rethrown".
//
// Catching it by its own type, catch (abi::__forced_unwind&), binds a reference
// to an object that does not exist (UndefinedBehaviorSanitizer: "reference
// binding to null pointer"). Instead every catch-all asks the C++ runtime: a
// forced unwind is not one of its own exceptions, and std::current_exception()
// yields an empty pointer for exactly those. The pattern:
//
//     try {
//         ...
//     } catch (const std::exception& e) {
//         ...                              // never sees a forced unwind
//     } catch (...) {
//         if (zibrel::foreign_exception()) throw;   // first statement
//         ...
//     }
#pragma once

#include <exception>

namespace zibrel {

// Inside a catch handler: true when the exception being handled is not a C++
// exception of this runtime (the forced unwind ending the thread, or another
// language's exception). Nothing here can handle it; the handler must rethrow.
inline bool foreign_exception() noexcept { return !std::current_exception(); }

}  // namespace zibrel
