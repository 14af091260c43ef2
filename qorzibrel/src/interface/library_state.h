// The library's process-wide state: its connections, and in the test variant
// (QORZIBREL_TEST_SEAMS) what its control interface needs.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interface/connection.h"

namespace zibrel::qorzibrel {

#ifdef QORZIBREL_TEST_SEAMS
struct injection {
    int32_t result;
    int times;  // < 0: until cleared
};

// zbctl_close_hook of the test variant's control interface.
using close_hook = void (*)(uint64_t conn, void* context);
#endif

// Everything below is guarded by `mutex`. The mutex is never held while the
// application runs (accessors, close hook): the application may call back into
// the library from there, or block on a lock of its own that the thread
// calling the library holds.
struct library_state {
    std::mutex mutex;

    // Open connections, and in the test variant the last `kept_closed` closed
    // ones for inspection through the control interface; other closed ones are
    // freed as soon as no thread of the library holds them any more.
    std::map<connection_handle, std::shared_ptr<connection>> connections;
#ifdef QORZIBREL_TEST_SEAMS
    static constexpr size_t kept_closed = 16;
#else
    static constexpr size_t kept_closed = 0;
#endif
    std::deque<connection_handle> closed;  // oldest first
    // Handles are never reused; starting above 32 bits exposes a caller that
    // truncates them.
    connection_handle next_handle = (uint64_t{1} << 32) + 1;

#ifdef QORZIBREL_TEST_SEAMS
    uint64_t create_count = 0;
    uint64_t close_count = 0;
    std::map<std::string, injection, std::less<>> injections;
    int64_t injected_text_length = -1;
    qorzibrel::close_hook close_hook = nullptr;
    void* close_hook_context = nullptr;

    // The injected result for `entry`, consuming one use.
    std::optional<int32_t> take_injection(std::string_view entry);
#endif

    // The connection with this handle, open or closed, or null.
    std::shared_ptr<connection> find(connection_handle handle) const;
    // The same without taking a reference, for a caller that uses it only
    // while it holds the mutex.
    connection* peek(connection_handle handle) const;
    // Note that `handle` closed; the closed connections beyond `kept_closed`
    // leave the table and are appended to `released`, for the caller to drop
    // once it no longer holds the mutex.
    void closed_now(connection_handle handle, std::vector<std::shared_ptr<connection>>& released);
};

// The one instance. It is never destroyed, so threads the library started may
// still use it while the process exits.
library_state& state();

}  // namespace zibrel::qorzibrel
