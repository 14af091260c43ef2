// Declarations of everything the library exports, with default visibility;
// the library is built with hidden visibility, so anything not declared here
// stays inside it. The test variant's control interface declares itself
// exported in src/testing/.
#pragma once

#include "base/unwind.h"
#include "zibrel/library_interface.h"

#pragma GCC visibility push(default)
#include "zibrel_control.h"
#include "zibrel_entry.h"
#include "zibrel_extras.h"
#pragma GCC visibility pop

namespace zibrel::qorzibrel {

// Run `body`, turning any escaping C++ exception (memory exhaustion, thread
// creation) into `failure`: no C++ exception may unwind into the application's
// C callers. A forced unwind ending the calling thread goes on, so this is
// not noexcept.
template <typename Result, typename Body>
Result guarded(Result failure, Body&& body) {
    try {
        return body();
    } catch (...) {
        if (foreign_exception()) throw;
        return failure;
    }
}

}  // namespace zibrel::qorzibrel
