// Catch-alls that let a thread's forced unwind through.
//
// pthread_exit and pthread_cancel end a thread by unwinding its stack with an
// exception that is not a C++ one; CPython does that to a thread that wants
// the interpreter while it finalises. A catch (...) that swallows it makes
// glibc abort the process ("FATAL: exception not rethrown"), so every
// catch-all of the library rethrows it. It is recognised without naming its
// type: `catch (abi::__forced_unwind&)` binds a reference to a null object,
// which the undefined-behaviour sanitizer rightly refuses.
#pragma once

#include <exception>

namespace zibrel::qorzibrel {

// Inside a catch (...) handler: true when the exception being handled is not a
// C++ exception (a forced unwind, or another language's exception). Such an
// exception must be rethrown with `throw;`. std::current_exception() cannot
// hold one, so it is empty exactly then.
inline bool foreign_exception() noexcept { return std::current_exception() == nullptr; }

}  // namespace zibrel::qorzibrel
