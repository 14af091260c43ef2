// Threads the test variant starts to call the application's accessors on demand
// (zbctl_call_threads, zbctl_hammer_*): load for the tests, never in the product.
#pragma once

#include <cstdint>
#include <memory>

#include "interface/connection.h"

namespace zibrel::qorzibrel {

struct call_tally {
    uint64_t calls = 0;
    uint64_t failures = 0;
    int32_t first_failure = 0;
};

// Run `threads` threads making `calls` calls each and wait for them. Threads
// that cannot be started count their calls as failures with invalid argument.
call_tally call_from_threads(const accessor_call& call, const value& prototype, int threads, int calls);

// Background callers that run until stopped, until their connection closes
// (unless told to go on) or until the process exits. The threads are detached
// and share their state with this object, so nothing waits for them except stop().
class hammer {
public:
    // Null when not a single thread could be started.
    static std::shared_ptr<hammer> start(const accessor_call& call, const value& prototype,
                                         std::shared_ptr<const connection> target, int threads,
                                         bool keep_after_close);

    // Ask the threads to stop and wait until they have. Must not be called
    // while a thread of this hammer may be waiting for the caller.
    call_tally stop();

    uint64_t calls() const;
    int running_threads() const;

    struct shared;
    explicit hammer(std::shared_ptr<shared> state) : shared_(std::move(state)) {}

private:
    std::shared_ptr<shared> shared_;
};

}  // namespace zibrel::qorzibrel
