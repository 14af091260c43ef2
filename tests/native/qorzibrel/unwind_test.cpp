// The catch-all pattern of the library's own threads: an ordinary exception
// is handled, the unwinding that ends a thread goes through (swallowing it
// aborts the process), and nothing binds a reference to it (the sanitized build
// refuses that).
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <stdexcept>

#include "base/unwind.h"

namespace navtest {
namespace {

using zibrel::qorzibrel::foreign_exception;

struct outcome {
    std::atomic<bool> handled{false};
    std::atomic<bool> after_exit{false};
};

void* body(void* arg) {
    auto* o = static_cast<outcome*>(arg);
    try {
        throw std::runtime_error("an ordinary fault");
    } catch (...) {
        if (foreign_exception()) throw;
        o->handled.store(true);
    }
    try {
        pthread_exit(nullptr);
    } catch (...) {
        if (foreign_exception()) throw;
        o->after_exit.store(true);  // swallowed: the process would abort when this returns
    }
    return nullptr;
}

TEST(CatchAllPattern, HandlesFaultsAndLetsTheEndOfAThreadThrough) {
    outcome o;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, body, &o), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    EXPECT_TRUE(o.handled.load());
    EXPECT_FALSE(o.after_exit.load());
}

}  // namespace
}  // namespace navtest
