// Shared pieces of the navigation library tests: result codes, an application
// side accessor that counts its calls, and a fixture that leaves the library clean.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zibrel/library_interface.h"
#include "zibrel_test_control.h"
#include "zibrel_entry.h"

namespace navtest {

inline constexpr int32_t invalid_argument = static_cast<int32_t>(0x80040016u);
inline constexpr int32_t no_buffer_space = static_cast<int32_t>(0x80040077u);
inline constexpr int32_t property_not_found = static_cast<int32_t>(0x80040201u);
inline constexpr int32_t function_not_supported = static_cast<int32_t>(0x80040028u);

inline zibrel::create_options options(bool multi_threaded = false, uint32_t flags = zibrel::zb_no_options) {
    return {sizeof(zibrel::create_options), multi_threaded, flags};
}

// An application's accessor object: the cookie is its address. By default
// getters and setters only count; tests put behaviour into on_get / on_set.
struct sink {
    std::atomic<uint64_t> gets{0};
    std::atomic<uint64_t> sets{0};
    std::function<int32_t(const char*, zibrel::value*)> on_get;
    std::function<int32_t(const char*, const zibrel::value*)> on_set;

    uint64_t cookie() const { return reinterpret_cast<uintptr_t>(this); }

    static int32_t getter(uint64_t cookie, const char* name, zibrel::value* v) {
        auto* self = reinterpret_cast<sink*>(cookie);
        self->gets.fetch_add(1);
        return self->on_get ? self->on_get(name, v) : 0;
    }
    static int32_t setter(uint64_t cookie, const char* name, const zibrel::value* v) {
        auto* self = reinterpret_cast<sink*>(cookie);
        self->sets.fetch_add(1);
        return self->on_set ? self->on_set(name, v) : 0;
    }

    zibrel::property_accessor accessor(const char* name, bool get = true, bool set = true) const {
        return {name, get ? &getter : nullptr, set ? &setter : nullptr, cookie()};
    }
};

// Busy-wait, yielding, until `done` holds; false (and a test failure naming the
// caller's line) when it still does not after `limit`, so a lost wake-up fails
// in seconds instead of running into the test timeout.
template <typename Condition>
bool wait_until(Condition done, std::chrono::seconds limit = std::chrono::seconds(30),
                const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE_AT(file, line) << "the awaited condition did not hold within " << limit.count() << " s";
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

inline std::string tree_text(uint64_t conn) {
    const int n = zbctl_tree(conn, nullptr, 0);
    if (n < 0) return "<none>";
    std::string text(static_cast<size_t>(n) + 1, '\0');
    zbctl_tree(conn, text.data(), text.size());
    text.resize(static_cast<size_t>(n));
    return text;
}

// Every test starts from a reset library and closes what it left open.
class library_test : public ::testing::Test {
protected:
    void SetUp() override { zbctl_reset(); }
    void TearDown() override {
        // A hook may refer to the finished test's locals.
        zbctl_set_close_hook(nullptr, nullptr);
        while (const uint64_t open = zbctl_last_connection()) ZbClose(open);
        zbctl_reset();
    }

    uint64_t open(const std::vector<zibrel::property_accessor>& accessors = {}, const char* profile = "test") {
        uint64_t handle = 0;
        const auto opts = options();
        EXPECT_EQ(ZbCreate(&handle, profile, accessors.data(), accessors.size(), &opts), 0);
        EXPECT_NE(handle, 0u);
        return handle;
    }
};

}  // namespace navtest
