#include "base/library_thread.h"

#ifdef _WIN32
// Windows has neither epoll nor eventfd, and nothing there watches a descriptor
// yet (no live devices): the thread sleeps on a condition variable until its
// next task is due or it is woken. The event record stands in for epoll's.
#include <condition_variable>
#include <cstdint>
struct epoll_event {
    uint32_t events;
    struct {
        int fd;
    } data;
};
constexpr uint32_t EPOLLIN = 1;
#else
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/detached_thread.h"
#include "base/process_exit.h"
#include "base/report.h"
#include "base/unwind.h"

namespace zibrel::qorzibrel {
namespace {

using time_point = steady_clock::time_point;

struct slot {
    std::shared_ptr<loop_task> task;
    uint64_t generation = 0;  // a task added again while it runs is not the one that said done
    bool scheduled = false;
    std::multimap<time_point, const loop_task*>::iterator at;
};

struct loop_state {
    std::mutex mutex;
    std::unordered_map<const loop_task*, slot> tasks;
    std::multimap<time_point, const loop_task*> schedule;
    std::unordered_map<int, const loop_task*> watches;
    // Descriptors epoll cannot wait on (a node that is /dev/zero, a regular
    // file): as poll() does, they count as ready at every turn.
    std::vector<int> always_ready;
    bool running = false;
    std::thread::id thread;
    int epoll_fd = -1;  // the running thread's
    int wake_fd = -1;
    bool sleeping = false;  // in epoll_wait: a wake must write wake_fd
    bool signalled = false;  // wake_fd holds a count
    uint64_t generations = 0;
#ifdef _WIN32
    std::condition_variable woken;  // what a wake notifies, in place of wake_fd
#endif
};

loop_state& state() {
    // Never destroyed: the detached thread may run while the process exits.
    static loop_state* const s = [] {
        auto* st = new loop_state;
#ifndef _WIN32  // Windows has no fork
        // The child of a fork has no library thread, and must not share the
        // parent's epoll set or wake-up descriptor: it makes its own when a
        // task next needs the thread.
        pthread_atfork([] { state().mutex.lock(); }, [] { state().mutex.unlock(); },
                       [] {
                           auto& c = state();
                           if (c.epoll_fd >= 0) ::close(c.epoll_fd);
                           if (c.wake_fd >= 0) ::close(c.wake_fd);
                           c.epoll_fd = c.wake_fd = -1;
                           c.running = c.sleeping = c.signalled = false;
                           c.thread = {};
                           c.mutex.unlock();
                       });
#endif
        return st;
    }();
    return *s;
}

void schedule_at(loop_state& s, slot& sl, const loop_task* task, time_point when) {  // requires s.mutex
    if (sl.scheduled) {
        if (sl.at->first <= when) return;
        s.schedule.erase(sl.at);
    }
    sl.at = s.schedule.emplace(when, task);
    sl.scheduled = true;
}

void unschedule(loop_state& s, slot& sl) {  // requires s.mutex
    if (sl.scheduled) s.schedule.erase(sl.at);
    sl.scheduled = false;
}

#ifdef _WIN32
void epoll_add(loop_state&, int) {}
void forget_fd(loop_state& s, int fd) { std::erase(s.always_ready, fd); }
#else
void epoll_add(loop_state& s, int fd) {  // requires s.mutex
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(s.epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0) return;
    if (errno == EEXIST) {
        ::epoll_ctl(s.epoll_fd, EPOLL_CTL_MOD, fd, &ev);
    } else if (errno == EPERM && std::find(s.always_ready.begin(), s.always_ready.end(), fd) == s.always_ready.end()) {
        s.always_ready.push_back(fd);
    }
}

void forget_fd(loop_state& s, int fd) {  // requires s.mutex
    if (s.epoll_fd >= 0) ::epoll_ctl(s.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    std::erase(s.always_ready, fd);
}
#endif

void poke(loop_state& s) {  // requires s.mutex
    if (!s.sleeping || s.signalled || std::this_thread::get_id() == s.thread) return;
#ifdef _WIN32
    s.woken.notify_one();
#else
    if (s.wake_fd < 0) return;
    const uint64_t one = 1;
    while (::write(s.wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
#endif
    s.signalled = true;
}

void serve();

// Requires s.mutex. The thread starts when tasks wait for one.
bool ensure_running(loop_state& s) {
    if (s.running) return true;
    if (process_exiting()) return false;
#ifndef _WIN32
    if (s.wake_fd < 0) s.wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.epoll_fd < 0) s.epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (s.wake_fd < 0 || s.epoll_fd < 0) return false;
    epoll_add(s, s.wake_fd);
#endif
    s.always_ready.clear();
    for (const auto& [fd, task] : s.watches) epoll_add(s, fd);
    watch_process_exit();
    try {
        // Detached: a connection may close inside a callback that this thread
        // runs, so nothing ever joins it; it ends by itself with its last task.
        start_detached(serve);
    } catch (const std::exception&) {
        return false;
    }
    s.running = true;
    s.sleeping = s.signalled = false;
    return true;
}

void drop(loop_state& s, const loop_task* task) {  // requires s.mutex
    const auto it = s.tasks.find(task);
    if (it == s.tasks.end()) return;
    unschedule(s, it->second);
    std::erase_if(s.watches, [&](const auto& w) {
        if (w.second != task) return false;
        forget_fd(s, w.first);
        return true;
    });
    s.tasks.erase(it);
}

void serve() {
    auto& s = state();
    // This thread is the library's own: a SIGPIPE from a device library's
    // write to a daemon that went stays held in it, instead of ending the host.
#ifndef _WIN32  // no SIGPIPE on Windows
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
    std::vector<epoll_event> events(64);
    std::vector<std::pair<std::shared_ptr<loop_task>, epoll_event>> ready;
    std::vector<std::pair<std::shared_ptr<loop_task>, uint64_t>> due;
    // However the thread ends (its last task done, or ended by a forced unwind
    // inside a callback of the application), the next one can start; after an
    // unwind it starts at once, with what was in hand retried a little later.
    struct ended {
        loop_state& s;
        decltype(due)& in_hand;
        decltype(ready)& in_hand_ready;
        ~ended() {
            std::lock_guard lock(s.mutex);
            const bool unwinding = s.running && !s.tasks.empty() && !process_exiting();
            s.running = false;
            s.sleeping = false;
            s.thread = {};
            // The next start makes a fresh epoll set from the watches that remain.
            if (s.epoll_fd >= 0) ::close(s.epoll_fd);
            s.epoll_fd = -1;
            if (!unwinding) return;
            const auto later = steady_clock::now() + std::chrono::milliseconds(50);
            const auto retry = [&](const std::shared_ptr<loop_task>& task) {
                if (const auto it = s.tasks.find(task.get()); it != s.tasks.end()) {
                    schedule_at(s, it->second, task.get(), later);
                }
            };
            for (const auto& d : in_hand) retry(d.first);
            for (const auto& r : in_hand_ready) retry(r.first);
            ensure_running(s);
        }
    } const on_exit{s, due, ready};
    std::unique_lock lock(s.mutex);
    s.thread = std::this_thread::get_id();
    // Tasks whose results are taken afterwards, popped from the schedule.
    const auto take_due = [&](time_point now) {
        while (!s.schedule.empty() && s.schedule.begin()->first <= now) {
            auto& sl = s.tasks.at(s.schedule.begin()->second);
            s.schedule.erase(s.schedule.begin());
            sl.scheduled = false;
            due.emplace_back(sl.task, sl.generation);
        }
    };
    for (;;) {
        if (s.tasks.empty() || process_exiting()) break;
        time_point now = steady_clock::now();
        int timeout = -1;
        if (!s.schedule.empty()) {
            const auto next = s.schedule.begin()->first;
            timeout = next <= now ? 0
                                  : static_cast<int>(std::min<int64_t>(
                                        std::chrono::ceil<std::chrono::milliseconds>(next - now).count(), 60'000));
        }
        if (!s.always_ready.empty()) timeout = 0;
        s.sleeping = timeout != 0;
#ifdef _WIN32
        const auto woken = [&] { return s.signalled; };
        if (timeout < 0) s.woken.wait(lock, woken);
        if (timeout > 0) s.woken.wait_for(lock, std::chrono::milliseconds(timeout), woken);
        s.signalled = false;
        const int n = 0;
#else
        const int epoll_fd = s.epoll_fd;
        lock.unlock();
        const int n = ::epoll_wait(epoll_fd, events.data(), static_cast<int>(events.size()), timeout);
        lock.lock();
#endif
        s.sleeping = false;
        if (process_exiting()) break;
        ready.clear();
        for (int i = 0; i < n; ++i) {
            const int fd = events[static_cast<size_t>(i)].data.fd;
            if (fd == s.wake_fd) {
                uint64_t count = 0;
                while (::read(s.wake_fd, &count, sizeof count) < 0 && errno == EINTR) {
                }
                s.signalled = false;
                continue;
            }
            const auto w = s.watches.find(fd);
            if (w == s.watches.end()) continue;
            ready.emplace_back(s.tasks.at(w->second).task, events[static_cast<size_t>(i)]);
        }
        for (const int fd : s.always_ready) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            ready.emplace_back(s.tasks.at(s.watches.at(fd)).task, ev);
        }
        lock.unlock();
        for (auto& [task, ev] : ready) {
            try {
                task->ready(ev.data.fd, ev.events);
            } catch (...) {
                if (foreign_exception()) throw;
                report("a device reader of the library met an unexpected error");
            }
        }
        ready.clear();
        lock.lock();
        // What the input just read woke runs in this same wake-up.
        now = steady_clock::now();
        due.clear();
        take_due(now);
        lock.unlock();
        for (auto& [task, generation] : due) {
            time_point next = loop_task::done;
            try {
                next = task->run(now);
            } catch (...) {
                if (foreign_exception()) throw;
                report("a task of the library's thread met an unexpected error and was stopped");
            }
            lock.lock();
            const auto it = s.tasks.find(task.get());
            if (it != s.tasks.end() && it->second.generation == generation) {
                if (next == loop_task::done) drop(s, task.get());
                else if (next != loop_task::idle) schedule_at(s, it->second, task.get(), next);
            }
            lock.unlock();
        }
        // The last reference to a task may go here: never under the lock.
        due.clear();
        lock.lock();
    }
    s.running = false;
}

}  // namespace

namespace library_thread {

bool add(const std::shared_ptr<loop_task>& task, time_point first) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto& sl = s.tasks[task.get()];
    sl.task = task;
    sl.generation = ++s.generations;
    schedule_at(s, sl, task.get(), first);
    if (!ensure_running(s)) {
        drop(s, task.get());
        return false;
    }
    poke(s);
    return true;
}

void wake(const loop_task* task) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    const auto it = s.tasks.find(task);
    if (it == s.tasks.end()) return;
    schedule_at(s, it->second, task, time_point{});
    if (ensure_running(s)) poke(s);
}

void remove(const loop_task* task) {
    std::shared_ptr<loop_task> last;  // released after the lock
    auto& s = state();
    std::lock_guard lock(s.mutex);
    const auto it = s.tasks.find(task);
    if (it == s.tasks.end()) return;
    last = it->second.task;
    drop(s, task);
    poke(s);  // the thread ends when this was the last task
}

void watch(const loop_task* task, int fd) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.watches[fd] = task;
    if (s.running && s.epoll_fd >= 0) epoll_add(s, fd);
}

void unwatch(int fd) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.watches.erase(fd) > 0) forget_fd(s, fd);
}

bool on_library_thread() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.running && s.thread == std::this_thread::get_id();
}

}  // namespace library_thread
}  // namespace zibrel::qorzibrel
