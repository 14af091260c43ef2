#include "base/input_signal.h"

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
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

#ifndef _WIN32
namespace {

// A forked child shares the parent's eventfd: draining it there (the child
// closing an inherited connection, or exiting) would take the parent's wake-up
// away. So the child gets an eventfd of its own under the same number, which
// whatever the application registered keeps naming, and the parent's is left
// alone. The lock is held across fork so the child never inherits it taken.
void before_fork() { state().mutex.lock(); }
void after_fork_in_parent() { state().mutex.unlock(); }
void after_fork_in_child() {
    auto& s = state();
    if (s.fd >= 0) {
        const int own = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (own >= 0) {
            dup3(own, s.fd, O_CLOEXEC);
            close(own);
            if (!s.waiting.empty()) raise_signal(s.fd);
        } else {
            // No eventfd to spare: the child leaves the shared one alone.
            s.fd = -1;
        }
    }
    s.mutex.unlock();
}

}  // namespace
#endif  // Windows has no fork: nothing to hand a child.

int input_signal_fd() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.tried) {
        s.tried = true;
#ifndef _WIN32
        // Non-blocking: draining an already empty counter must never wait.
        s.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (s.fd >= 0) {
            if (!s.waiting.empty()) raise_signal(s.fd);
            pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        }
#endif  // Windows has no eventfd: no descriptor, as when the system gives none.
    }
    return s.fd;
}

}  // namespace zibrel::qorzibrel
