// The library's one thread: it serves every connection's library-timed frames
// and every live device reader of the process. It starts with the first task
// and ends when the last one is done, so an idle process has no thread of ours.
//
// It sleeps in epoll_wait on the descriptors its tasks watch and on an eventfd
// that other threads write only to wake it early; a task that is not due and
// watches nothing costs nothing. Task calls are made without the thread's
// lock, so a task may add, wake or remove tasks (itself too) from inside.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace zibrel::qorzibrel {

using steady_clock = std::chrono::steady_clock;

class loop_task {
public:
    // run()'s answers besides a time: nothing is due until woken, or done for good.
    static constexpr steady_clock::time_point idle = steady_clock::time_point::max();
    static constexpr steady_clock::time_point done = steady_clock::time_point::min();

    virtual ~loop_task() = default;
    // On the library thread, when due or woken: does the work and says when to
    // run again (idle: only when woken; done: the task leaves the thread).
    virtual steady_clock::time_point run(steady_clock::time_point now) = 0;
    // On the library thread: a descriptor the task watches is ready (epoll events).
    virtual void ready(int /*fd*/, uint32_t /*events*/) {}
};

namespace library_thread {

// Served from now on, first run at `first`. False when no thread can be started.
bool add(const std::shared_ptr<loop_task>& task, steady_clock::time_point first);
// Run `task` as soon as possible (a no-op once it is done). From the library
// thread itself this writes nothing: the thread runs it before sleeping again.
void wake(const loop_task* task);
// Leave the thread; its descriptors are no longer watched.
void remove(const loop_task* task);
// Watch `fd` for input (level-triggered) for `task`; unwatch before closing it.
void watch(const loop_task* task, int fd);
void unwatch(int fd);
// True on the library thread.
bool on_library_thread();

}  // namespace library_thread

}  // namespace zibrel::qorzibrel
