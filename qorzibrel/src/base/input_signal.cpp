#include "base/input_signal.h"

#ifndef _WIN32
#include <sys/eventfd.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <unordered_set>

namespace zibrel::qorzibrel {

namespace {

// The eventfd's counter is 1 exactly while `waiting` is not empty: written on
// the first waiting owner, drained when the last one is consumed. A leaf lock:
// nothing is called out while it is held but the owner's own queue check.
struct signal_state {
    std::mutex mutex;
    std::unordered_set<const void*> waiting;
    int fd = -1;
    bool tried = false;
};

signal_state& state() {
    // Never destroyed: detached library threads may still signal at exit.
    static signal_state* s = new signal_state;
    return *s;
}

void raise_signal(int fd) {
    const uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void clear_signal(int fd) {
    uint64_t count = 0;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

void set_waiting(signal_state& s, const void* owner, bool waiting) {
    const bool was_empty = s.waiting.empty();
    if (waiting) {
        s.waiting.insert(owner);
    } else {
        s.waiting.erase(owner);
    }
    if (s.fd < 0) return;
    if (was_empty && !s.waiting.empty()) raise_signal(s.fd);
    if (!was_empty && s.waiting.empty()) clear_signal(s.fd);
}

}  // namespace

void input_arrived(const void* owner) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    set_waiting(s, owner, true);
}

void input_consumed(const void* owner, const std::function<bool()>& still_waiting) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    set_waiting(s, owner, still_waiting());
}

void input_forget(const void* owner) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    set_waiting(s, owner, false);
}

int input_signal_fd() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.tried) {
        s.tried = true;
#ifndef _WIN32
        // Non-blocking: draining an already empty counter must never wait.
        s.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#endif  // Windows has no eventfd: no descriptor, as when the system gives none.
        if (s.fd >= 0 && !s.waiting.empty()) raise_signal(s.fd);
    }
    return s.fd;
}

}  // namespace zibrel::qorzibrel
