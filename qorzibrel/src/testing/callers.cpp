#include "testing/callers.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "base/detached_thread.h"
#include "base/process_exit.h"
#include "base/result_codes.h"

namespace zibrel::qorzibrel {
namespace {

struct counters {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> failures{0};
    std::atomic<int32_t> first_failure{0};

    void count(int32_t result) {
        calls.fetch_add(1, std::memory_order_relaxed);
        if (result == 0) return;
        failures.fetch_add(1, std::memory_order_relaxed);
        int32_t none = 0;
        first_failure.compare_exchange_strong(none, result);
    }

    call_tally tally() const { return {calls.load(), failures.load(), first_failure.load()}; }
};

}  // namespace

call_tally call_from_threads(const accessor_call& call, const value& prototype, int threads, int calls) {
    counters counted;
    std::vector<std::thread> started;
    int refused = 0;
    for (int i = 0; i < threads; ++i) {
        try {
            started.emplace_back([&] {
                for (int n = 0; n < calls; ++n) counted.count(call(prototype));
            });
        } catch (const std::exception&) {
            ++refused;
        }
    }
    for (auto& thread : started) thread.join();
    call_tally result = counted.tally();
    if (refused > 0 && calls > 0) {
        const uint64_t missing = static_cast<uint64_t>(refused) * static_cast<uint64_t>(calls);
        result.calls += missing;
        result.failures += missing;
        if (result.first_failure == 0) result.first_failure = result_invalid_argument;
    }
    return result;
}

struct hammer::shared {
    accessor_call call;
    value prototype;
    std::shared_ptr<const connection> target;
    bool keep_after_close = false;

    std::atomic<bool> stopping{false};
    counters counted;

    mutable std::mutex mutex;
    std::condition_variable finished;
    int running = 0;  // guarded by mutex

    struct finished_guard {
        shared& state;
        ~finished_guard() {
            std::lock_guard lock(state.mutex);
            --state.running;
            state.finished.notify_all();
        }
    };

    bool keep_calling() const {
        return !stopping.load() && !process_exiting() && (keep_after_close || target->open.load());
    }
};

std::shared_ptr<hammer> hammer::start(const accessor_call& call, const value& prototype,
                                      std::shared_ptr<const connection> target, int threads,
                                      bool keep_after_close) {
    watch_process_exit();
    auto state = std::make_shared<shared>();
    state->call = call;
    state->prototype = prototype;
    state->target = std::move(target);
    state->keep_after_close = keep_after_close;
    int launched = 0;
    for (int i = 0; i < threads; ++i) {
        {
            std::lock_guard lock(state->mutex);
            ++state->running;
        }
        try {
            // Detached: a thread blocked in the application must never make
            // anyone but stop() wait, and must not terminate the process at exit.
            start_detached([state] {
                // Counted out however the thread ends: an accessor may end it
                // with pthread_exit (an interpreter finalising does).
                const shared::finished_guard done{*state};
                while (state->keep_calling()) state->counted.count(state->call(state->prototype));
            });
            ++launched;
        } catch (const std::exception&) {
            std::lock_guard lock(state->mutex);
            --state->running;
            break;
        }
    }
    if (launched == 0 && threads > 0) {
        state->stopping.store(true);
        return nullptr;
    }
    return std::make_shared<hammer>(state);
}

call_tally hammer::stop() {
    shared_->stopping.store(true);
    std::unique_lock lock(shared_->mutex);
    shared_->finished.wait(lock, [this] { return shared_->running == 0; });
    return shared_->counted.tally();
}

uint64_t hammer::calls() const { return shared_->counted.calls.load(); }

int hammer::running_threads() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->running;
}

}  // namespace zibrel::qorzibrel
