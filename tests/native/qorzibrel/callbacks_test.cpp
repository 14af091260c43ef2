// The library calling the application's accessors: on the calling thread, from
// its own threads, in the background, and with the application calling back in.
#include <mutex>
#include <set>

#include "qorzibrel_test_support.h"
#include "zibrel/property_table.h"

namespace navtest {
namespace {

using zibrel::value;

// Static names, as the application passes them; callbacks must get these pointers back.
constexpr char affine_name[] = "view.affine";
constexpr char motion_name[] = "motion";

using CallbacksTest = library_test;

TEST_F(CallbacksTest, AccessorsAreCalledOnTheCallingThreadWithTheirOwnCookieAndName) {
    sink s;
    std::vector<const char*> names;
    std::vector<std::thread::id> threads;
    s.on_get = [&](const char* name, value* v) {
        names.push_back(name);
        threads.push_back(std::this_thread::get_id());
        v->type = zibrel::point_type;
        v->pt = {1, 2, 3};
        return 0;
    };
    int32_t received = 0;
    s.on_set = [&](const char* name, const value* v) {
        names.push_back(name);
        threads.push_back(std::this_thread::get_id());
        received = v->l;
        return function_not_supported;
    };
    const uint64_t conn = open({s.accessor(affine_name), s.accessor(motion_name, false, true)});

    // The caller's name text is a different pointer from the registered one.
    const std::string affine(affine_name);
    value got;
    EXPECT_EQ(zbctl_get(conn, affine.c_str(), &got), 0);
    EXPECT_EQ(got.type, zibrel::point_type);
    EXPECT_EQ(got.pt.z, 3.0);
    const value sent(int32_t{5});
    EXPECT_EQ(zbctl_set(conn, std::string(motion_name).c_str(), &sent), function_not_supported);
    EXPECT_EQ(received, 5);

    EXPECT_EQ(names, (std::vector<const char*>{affine_name, motion_name}));
    EXPECT_EQ(threads, (std::vector<std::thread::id>(2, std::this_thread::get_id())));
    EXPECT_EQ(s.gets, 1u);
    EXPECT_EQ(s.sets, 1u);
}

TEST_F(CallbacksTest, MissingAccessorsAreReportedWithoutCalling) {
    sink s;
    const uint64_t conn = open({s.accessor(affine_name, true, false), s.accessor(motion_name, false, true)});
    struct case_t {
        const char* what;
        uint64_t conn;
        const char* property;
        bool set;
    };
    const std::vector<case_t> cases{
        {"getter of a set-only entry", conn, motion_name, false},
        {"setter of a get-only entry", conn, affine_name, true},
        {"unregistered property", conn, "view.extents", false},
        {"name the table does not know", conn, "app.zoomLevel", false},
        {"table name cut short", conn, "view.affin", false},
        {"table name with more after it", conn, "view.affine.x", false},
        {"table name in capitals", conn, "VIEW.AFFINE", false},
        {"null property", conn, nullptr, true},
        {"unknown connection", conn + 1, affine_name, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        value v;
        EXPECT_EQ(c.set ? zbctl_set(c.conn, c.property, &v) : zbctl_get(c.conn, c.property, &v), property_not_found);
        EXPECT_EQ(c.set ? zbctl_set_cookie(c.conn, c.property, 1, &v) : zbctl_get_cookie(c.conn, c.property, 1, &v),
                  property_not_found);
        int32_t first = 0;
        EXPECT_EQ(zbctl_call_threads(c.conn, c.property, c.set, &v, 3, 4, &first), 12u);
        EXPECT_EQ(first, property_not_found);
        EXPECT_EQ(zbctl_hammer_start(c.conn, c.property, c.set, &v, 2, 0), -1);
    }
    EXPECT_EQ(s.gets + s.sets, 0u);
}

TEST_F(CallbacksTest, FirstEntryWithTheFunctionIsUsed) {
    // Names of the shared table and names of the application's own are kept
    // apart by the library; both must choose the same way.
    for (const char* name : {affine_name, "app.zoomLevel", "view.affine.x", ""}) {
        SCOPED_TRACE(name);
        sink setter_only, getter, late;
        std::vector<const char*> names;
        getter.on_get = [&](const char* n, value*) {
            names.push_back(n);
            return 0;
        };
        setter_only.on_set = [&](const char* n, const value*) {
            names.push_back(n);
            return 0;
        };
        const uint64_t conn =
            open({setter_only.accessor(name, false, true), getter.accessor(name), late.accessor(name)});
        const std::string asked(name);  // another pointer to the same text
        value v;
        EXPECT_EQ(zbctl_get(conn, asked.c_str(), &v), 0);
        EXPECT_EQ(zbctl_set(conn, asked.c_str(), &v), 0);
        EXPECT_EQ(getter.gets, 1u);
        EXPECT_EQ(getter.sets, 0u);
        EXPECT_EQ(setter_only.sets, 1u);
        EXPECT_EQ(late.gets + late.sets, 0u);
        EXPECT_EQ(names, (std::vector<const char*>{name, name}));
    }
}

TEST_F(CallbacksTest, EveryNameOfTheTableReachesItsOwnEntry) {
    // The library finds the table's names by a hash of their own: each must
    // land on its entry, and a name one character off on none.
    const std::vector<std::string> names{
#define TABLE_NAME(pos, id, text, ...) text,
        ZIBREL_PROPERTIES(TABLE_NAME, TABLE_NAME)
#undef TABLE_NAME
    };
    std::vector<sink> sinks(names.size());
    std::vector<zibrel::property_accessor> accessors;
    for (size_t i = 0; i < names.size(); ++i) accessors.push_back(sinks[i].accessor(names[i].c_str()));
    const uint64_t conn = open(accessors);
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        value v;
        EXPECT_EQ(zbctl_get(conn, names[i].c_str(), &v), 0);
        EXPECT_EQ(zbctl_set(conn, names[i].c_str(), &v), 0);
        EXPECT_EQ(sinks[i].gets, 1u);
        EXPECT_EQ(sinks[i].sets, 1u);
        for (std::string off : {names[i] + "x", names[i].substr(0, names[i].size() - 1), "x" + names[i]}) {
            EXPECT_EQ(zbctl_get(conn, off.c_str(), &v), property_not_found) << off;
        }
    }
}

// Getter and setter that record the cookie instead of trusting it.
std::atomic<uint64_t> cookie_seen{0};
int32_t record_cookie_get(uint64_t cookie, const char*, value*) {
    cookie_seen = cookie;
    return 0;
}
int32_t record_cookie_set(uint64_t cookie, const char*, const value*) {
    cookie_seen = cookie + 1;
    return 0;
}

TEST_F(CallbacksTest, ChosenCookiesArePassedOn) {
    const uint64_t conn = open({{affine_name, &record_cookie_get, &record_cookie_set, 10}});
    value v;
    for (uint64_t cookie : {uint64_t{0}, uint64_t{10}, ~uint64_t{0} - 1}) {
        EXPECT_EQ(zbctl_get_cookie(conn, affine_name, cookie, &v), 0);
        EXPECT_EQ(cookie_seen, cookie);
        EXPECT_EQ(zbctl_set_cookie(conn, affine_name, cookie, &v), 0);
        EXPECT_EQ(cookie_seen, cookie + 1);
    }
    EXPECT_EQ(zbctl_get(conn, affine_name, &v), 0);
    EXPECT_EQ(cookie_seen, 10u);
}

TEST_F(CallbacksTest, LibraryThreadsCallWithPrivateCopies) {
    for (const int set : {0, 1}) {
        SCOPED_TRACE(set ? "setter" : "getter");
        sink s;
        std::atomic<uint64_t> on_caller_thread{0};
        std::atomic<uint64_t> changed_by_another_call{0};
        std::atomic<uint64_t> numbered{0};
        std::mutex ids_mutex;
        std::set<std::thread::id> ids;
        const auto caller = std::this_thread::get_id();
        auto check = [&](const value* v) {
            if (std::this_thread::get_id() == caller) ++on_caller_thread;
            if (v->type != zibrel::long_type || v->l != 7) ++changed_by_another_call;
            {
                std::lock_guard lock(ids_mutex);
                ids.insert(std::this_thread::get_id());
            }
            return ++numbered % 3 == 0 ? function_not_supported : 0;
        };
        s.on_get = [&](const char*, value* v) {
            const int32_t r = check(v);
            v->l = 99;  // must not reach other calls or the caller's record
            return r;
        };
        s.on_set = [&](const char*, const value* v) { return check(v); };
        const uint64_t conn = open({s.accessor(affine_name)});

        const value prototype(int32_t{7});
        int32_t first = 0;
        EXPECT_EQ(zbctl_call_threads(conn, affine_name, set, &prototype, 4, 300, &first), 400u);
        EXPECT_EQ(first, function_not_supported);
        EXPECT_EQ(set ? s.sets.load() : s.gets.load(), 1200u);
        EXPECT_EQ(on_caller_thread, 0u);
        EXPECT_EQ(changed_by_another_call, 0u);
        EXPECT_EQ(ids.size(), 4u);
        EXPECT_EQ(prototype.l, 7);
        EXPECT_EQ(zbctl_call_threads(conn, affine_name, set, &prototype, 2, 3, nullptr), 2u);
        EXPECT_EQ(ZbClose(conn), 0);
    }
}

TEST_F(CallbacksTest, ThreadsWithoutARecordGetAnOpenType) {
    sink s;
    std::atomic<uint64_t> open_type{0};
    s.on_get = [&](const char*, value* v) {
        if (v->type == zibrel::auto_type) ++open_type;
        return 0;
    };
    const uint64_t conn = open({s.accessor(affine_name)});
    int32_t first = -1;
    EXPECT_EQ(zbctl_call_threads(conn, affine_name, 0, nullptr, 2, 5, &first), 0u);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(open_type, 10u);
}

TEST_F(CallbacksTest, HammerStopReportsItsCalls) {
    sink s;
    std::atomic<uint64_t> numbered{0};
    s.on_get = [&](const char*, value*) { return ++numbered % 2 == 0 ? function_not_supported : 0; };
    const uint64_t conn = open({s.accessor(affine_name)});
    const value prototype(int32_t{1});
    const int id = zbctl_hammer_start(conn, affine_name, 0, &prototype, 3, 0);
    ASSERT_GT(id, 0);
    wait_until([&] { return zbctl_hammer_calls(id) >= 1000; });
    EXPECT_EQ(zbctl_hammer_threads(id), 3);

    uint64_t failures = 0;
    const uint64_t calls = zbctl_hammer_stop(id, &failures);
    EXPECT_GE(calls, 1000u);
    EXPECT_EQ(calls, s.gets);
    EXPECT_EQ(failures, calls / 2);
    // Stopped means gone.
    EXPECT_EQ(zbctl_hammer_calls(id), 0u);
    EXPECT_EQ(zbctl_hammer_threads(id), -1);
    EXPECT_EQ(zbctl_hammer_stop(id, &failures), 0u);
    EXPECT_EQ(failures, 0u);
    EXPECT_EQ(s.gets, calls);
}

TEST_F(CallbacksTest, HammersEndWithTheirConnectionUnlessToldOtherwise) {
    for (const int keep : {0, 1}) {
        SCOPED_TRACE(keep ? "keep after close" : "stop at close");
        sink s;
        const uint64_t conn = open({s.accessor(motion_name)});
        const value prototype(int32_t{1});
        const int id = zbctl_hammer_start(conn, motion_name, 1, &prototype, 2, keep);
        ASSERT_GT(id, 0);
        wait_until([&] { return s.sets >= 100; });
        ASSERT_EQ(ZbClose(conn), 0);
        const uint64_t at_close = s.sets;
        if (keep) {
            // Still calling with the closed connection's cookie.
            wait_until([&] { return s.sets >= at_close + 1000; });
            EXPECT_EQ(zbctl_hammer_threads(id), 2);
        } else {
            wait_until([&] { return zbctl_hammer_threads(id) == 0; });
            // At most the calls already under way when the connection closed.
            EXPECT_LE(s.sets, at_close + 2);
        }
        const uint64_t calls = zbctl_hammer_stop(id, nullptr);
        EXPECT_EQ(calls, s.sets);
    }
}

TEST_F(CallbacksTest, HammerOnAClosedConnectionMayStillBeStarted) {
    sink s;
    const uint64_t conn = open({s.accessor(affine_name)});
    ASSERT_EQ(ZbClose(conn), 0);
    const int quiet = zbctl_hammer_start(conn, affine_name, 0, nullptr, 2, 0);
    ASSERT_GT(quiet, 0);
    // Both threads start, see the connection closed and end: a thread that never
    // ran (the cross toolchain's detached threads did that) would make stop() wait.
    ASSERT_TRUE(wait_until([&] { return zbctl_hammer_threads(quiet) == 0; }));
    EXPECT_EQ(zbctl_hammer_stop(quiet, nullptr), 0u);
    EXPECT_EQ(zbctl_hammer_start(conn, affine_name, 0, nullptr, 0, 1), -1);
}

struct reentrant_close {
    uint64_t conn = 0;
    std::atomic<int> closed_ok{0};
    std::atomic<int> close_refused{0};
    std::atomic<int> write_ok{0};
};

TEST_F(CallbacksTest, CallbacksMayCloseAndWriteTheirConnection) {
    struct case_t {
        const char* what;
        int threads;  // 0: the calling thread
    };
    for (const case_t& c : {case_t{"calling thread", 0}, case_t{"library threads", 4}}) {
        SCOPED_TRACE(c.what);
        reentrant_close state;
        sink s;
        s.on_set = [&](const char*, const value* v) {
            if (ZbWriteValue(state.conn, "transaction", v) == 0) ++state.write_ok;
            (ZbClose(state.conn) == 0 ? state.closed_ok : state.close_refused)++;
            return 0;
        };
        state.conn = open({s.accessor(motion_name)});
        const value v(int32_t{2});
        if (c.threads == 0) {
            EXPECT_EQ(zbctl_set(state.conn, motion_name, &v), 0);
        } else {
            EXPECT_EQ(zbctl_call_threads(state.conn, motion_name, 1, &v, c.threads, 5, nullptr), 0u);
        }
        const int calls = c.threads == 0 ? 1 : c.threads * 5;
        EXPECT_EQ(state.closed_ok, 1);
        EXPECT_EQ(state.close_refused, calls - 1);
        EXPECT_GE(state.write_ok, 1);
        EXPECT_EQ(zbctl_open_connections(), 0);
    }
}

TEST_F(CallbacksTest, CloseDoesNotWaitForACallbackBlockedOnTheCaller) {
    // The callback needs a lock the closing thread holds, as a callback into an
    // interpreter waits for the thread that holds the interpreter lock.
    std::mutex interpreter;
    std::atomic<int> waiting{0};
    sink s;
    s.on_get = [&](const char*, value*) {
        ++waiting;
        std::lock_guard lock(interpreter);
        return 0;
    };
    const uint64_t conn = open({s.accessor(affine_name)});
    int id = 0;
    {
        std::lock_guard lock(interpreter);
        id = zbctl_hammer_start(conn, affine_name, 0, nullptr, 2, 0);
        ASSERT_GT(id, 0);
        wait_until([&] { return waiting > 0; });
        EXPECT_EQ(ZbClose(conn), 0);
        EXPECT_EQ(zbctl_open_connections(), 0);
    }
    const uint64_t calls = zbctl_hammer_stop(id, nullptr);
    EXPECT_EQ(calls, s.gets);
    EXPECT_LE(calls, 2u);  // one call per thread was already under way
}

TEST(CallbacksDeathTest, ExitWhileHammersRunIsClean) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            zbctl_reset();
            sink s;
            uint64_t conn = 0;
            const auto opts = options();
            const auto accessor = s.accessor(affine_name);
            if (ZbCreate(&conn, "exit", &accessor, 1, &opts) != 0) std::exit(2);
            if (zbctl_hammer_start(conn, affine_name, 0, nullptr, 2, 1) <= 0) std::exit(3);
            wait_until([&] { return s.gets > 100; });
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace navtest
