// Declarations of everything the library exports, with default visibility;
// the library is built with hidden visibility, so anything not declared here
// stays inside it.
#pragma once

#include "library/library_interface.h"

#pragma GCC visibility push(default)
#include "zibrel_control.h"
#include "zibrel_entry.h"
#include "zibrel_extras.h"
#pragma GCC visibility pop

namespace zibrel::qorzibrel {

// Run `body`, turning any escaping exception (memory exhaustion, thread
// creation) into `failure`: nothing may unwind into the application's C callers.
template <typename Result, typename Body>
Result guarded(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

}  // namespace zibrel::qorzibrel
