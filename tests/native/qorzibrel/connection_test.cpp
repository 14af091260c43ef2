// Opening and closing connections, and what the library keeps of them.
#include <array>

#include "qorzibrel_test_support.h"

namespace navtest {
namespace {

using zibrel::create_options;
using zibrel::property_accessor;

using ConnectionTest = library_test;

int32_t get_nothing(uint64_t, const char*, zibrel::value*) { return 0; }
int32_t set_nothing(uint64_t, const char*, const zibrel::value*) { return 0; }

TEST_F(ConnectionTest, KeepsCopiesOfAccessorsProfileAndOptions) {
    struct case_t {
        bool multi_threaded;
        uint32_t flags;
    };
    for (const case_t& c : {case_t{false, zibrel::zb_no_options}, case_t{true, zibrel::zb_creation_option},
                            case_t{true, 0xFFFFFFFFu}}) {
        SCOPED_TRACE(testing::Message() << "multi_threaded " << c.multi_threaded << " flags " << c.flags);
        // Everything handed to ZbCreate is the caller's and is scrambled right after.
        // Names of the shared table and one of the application's own.
        std::vector<std::string> names{"view.affine", "motion", "hit.lookat", "app.zoomLevel"};
        std::vector<property_accessor> array{{names[0].c_str(), &get_nothing, &set_nothing, 11},
                                             {names[1].c_str(), nullptr, &set_nothing, 22},
                                             {names[2].c_str(), &get_nothing, nullptr, 33},
                                             {names[3].c_str(), &get_nothing, &set_nothing, 44}};
        std::string profile = "navigation-profile";
        auto opts = options(c.multi_threaded, c.flags);

        uint64_t handle = 0;
        ASSERT_EQ(ZbCreate(&handle, profile.c_str(), array.data(), array.size(), &opts), 0);
        const std::vector<std::string> kept_names = names;
        for (auto& name : names) std::fill(name.begin(), name.end(), 'x');
        std::fill(profile.begin(), profile.end(), 'x');
        array.assign(array.size(), property_accessor{});
        opts = create_options{};

        ASSERT_EQ(zbctl_accessor_count(handle), 4);
        const std::array<std::array<int, 2>, 4> functions{{{1, 1}, {0, 1}, {1, 0}, {1, 1}}};
        for (int i = 0; i < 4; ++i) {
            const char* name = nullptr;
            int has_getter = -1;
            int has_setter = -1;
            uint64_t cookie = 0;
            ASSERT_EQ(zbctl_accessor_at(handle, i, &name, &has_getter, &has_setter, &cookie), 0);
            EXPECT_STREQ(name, kept_names[static_cast<size_t>(i)].c_str());
            EXPECT_EQ(has_getter, functions[static_cast<size_t>(i)][0]);
            EXPECT_EQ(has_setter, functions[static_cast<size_t>(i)][1]);
            EXPECT_EQ(cookie, 11u * static_cast<uint64_t>(i + 1));
        }
        EXPECT_EQ(zbctl_accessor_at(handle, 4, nullptr, nullptr, nullptr, nullptr), -1);
        EXPECT_EQ(zbctl_accessor_at(handle, -1, nullptr, nullptr, nullptr, nullptr), -1);

        char full[64];
        EXPECT_EQ(zbctl_profile(handle, full, sizeof full), 18);
        EXPECT_STREQ(full, "navigation-profile");
        char cut[5];
        EXPECT_EQ(zbctl_profile(handle, cut, sizeof cut), 18);
        EXPECT_STREQ(cut, "navi");

        uint32_t size = 0;
        int multi = -1;
        uint32_t flags = 0;
        ASSERT_EQ(zbctl_options(handle, &size, &multi, &flags), 0);
        EXPECT_EQ(size, 12u);
        EXPECT_EQ(multi, c.multi_threaded ? 1 : 0);
        EXPECT_EQ(flags, c.flags);
        EXPECT_EQ(ZbClose(handle), 0);
    }
}

TEST_F(ConnectionTest, EmptyAccessorArrayIsAccepted) {
    uint64_t handle = 0;
    const auto opts = options();
    ASSERT_EQ(ZbCreate(&handle, "", nullptr, 0, &opts), 0);
    EXPECT_EQ(zbctl_accessor_count(handle), 0);
    EXPECT_EQ(zbctl_profile(handle, nullptr, 0), 0);
}

TEST_F(ConnectionTest, HandlesAreNonZeroAndNeverReused) {
    std::vector<uint64_t> seen;
    for (int round = 0; round < 3; ++round) {
        const uint64_t a = open();
        const uint64_t b = open();
        EXPECT_EQ(zbctl_last_connection(), b);
        EXPECT_EQ(zbctl_open_connections(), 2);
        ASSERT_EQ(ZbClose(b), 0);
        EXPECT_EQ(zbctl_last_connection(), a);
        ASSERT_EQ(ZbClose(a), 0);
        EXPECT_EQ(zbctl_last_connection(), 0u);
        EXPECT_EQ(zbctl_open_connections(), 0);
        for (uint64_t h : {a, b}) {
            EXPECT_NE(h, 0u);
            EXPECT_EQ(std::count(seen.begin(), seen.end(), h), 0) << h;
            seen.push_back(h);
        }
        zbctl_reset();  // forgetting closed connections must not recycle their handles
    }
    EXPECT_EQ(zbctl_create_count(), 0u);
}

TEST_F(ConnectionTest, RefusesInvalidArguments) {
    struct arguments {
        bool null_handle = false;
        const char* profile = "test";
        bool null_accessors = false;
        const char* first_name = "view.affine";
        bool null_options = false;
        uint32_t size = 12;
    };
    struct case_t {
        const char* what;
        arguments args;
    };
    const std::vector<case_t> cases{
        {"null handle", {.null_handle = true}},
        {"null profile", {.profile = nullptr}},
        {"null options", {.null_options = true}},
        {"options size 0", {.size = 0}},
        {"options size 16", {.size = 16}},
        {"null array with a count", {.null_accessors = true}},
        {"entry without a name", {.first_name = nullptr}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sink s;
        const std::vector<property_accessor> array{{c.args.first_name, &sink::getter, nullptr, s.cookie()},
                                                   s.accessor("motion")};
        create_options opts = options();
        opts.size = c.args.size;
        uint64_t handle = 0;
        EXPECT_EQ(ZbCreate(c.args.null_handle ? nullptr : &handle, c.args.profile,
                           c.args.null_accessors ? nullptr : array.data(), array.size(),
                           c.args.null_options ? nullptr : &opts),
                  invalid_argument);
        EXPECT_EQ(handle, 0u);
        EXPECT_EQ(zbctl_create_count(), 0u);
        EXPECT_EQ(zbctl_open_connections(), 0);
        EXPECT_EQ(s.gets + s.sets, 0u);
    }
}

TEST_F(ConnectionTest, InjectedRefusalLeavesHandleZero) {
    constexpr int32_t refusal = static_cast<int32_t>(0x8007007Eu);
    struct case_t {
        int times;
        int refused_attempts;  // attempts refused before one succeeds (cleared by hand when times < 0)
    };
    for (const case_t& c : {case_t{1, 1}, case_t{3, 3}, case_t{-1, 5}}) {
        SCOPED_TRACE(testing::Message() << "times " << c.times);
        zbctl_reset();
        zbctl_inject("ZbCreate", refusal, c.times);
        const auto opts = options();
        for (int i = 0; i < c.refused_attempts; ++i) {
            uint64_t handle = 0;
            EXPECT_EQ(ZbCreate(&handle, "test", nullptr, 0, &opts), refusal);
            EXPECT_EQ(handle, 0u);
        }
        if (c.times < 0) zbctl_inject("ZbCreate", 0, 0);
        uint64_t handle = 0;
        EXPECT_EQ(ZbCreate(&handle, "test", nullptr, 0, &opts), 0);
        EXPECT_NE(handle, 0u);
        EXPECT_EQ(zbctl_create_count(), 1u);
        EXPECT_EQ(zbctl_open_connections(), 1);
        EXPECT_EQ(ZbClose(handle), 0);
    }
}

TEST_F(ConnectionTest, InjectionOfOneEntryLeavesTheOthersAlone) {
    zbctl_inject("ZbReadValue", function_not_supported, -1);
    zbctl_inject("ZbWriteValue", function_not_supported, -1);
    const uint64_t conn = open();
    const zibrel::value number(int32_t{5});
    EXPECT_EQ(ZbWriteValue(conn, "transaction", &number), function_not_supported);
    zbctl_inject("ZbWriteValue", 0, 0);
    EXPECT_EQ(ZbWriteValue(conn, "transaction", &number), 0);
    zibrel::value out;
    EXPECT_EQ(ZbReadValue(conn, "transaction", &out), function_not_supported);
    EXPECT_EQ(ZbClose(conn), 0);
}

TEST_F(ConnectionTest, CloseForgetsNothingUntilReset) {
    const uint64_t conn = open({}, "kept");
    ASSERT_EQ(ZbClose(conn), 0);
    EXPECT_EQ(ZbClose(conn), invalid_argument);
    EXPECT_EQ(ZbClose(conn + 1000), invalid_argument);
    EXPECT_EQ(ZbClose(0), invalid_argument);
    EXPECT_EQ(zbctl_close_count(), 4u);
    EXPECT_EQ(zbctl_open_connections(), 0);

    // Closed, but still there to inspect, and refusing reads and writes.
    EXPECT_EQ(zbctl_accessor_count(conn), 0);
    EXPECT_EQ(zbctl_profile(conn, nullptr, 0), 4);
    const zibrel::value number(int32_t{1});
    EXPECT_EQ(ZbWriteValue(conn, "transaction", &number), invalid_argument);
    zibrel::value out;
    EXPECT_EQ(ZbReadValue(conn, "transaction", &out), invalid_argument);

    zbctl_reset();
    EXPECT_EQ(zbctl_accessor_count(conn), -1);
    EXPECT_EQ(zbctl_profile(conn, nullptr, 0), -1);
    EXPECT_EQ(zbctl_options(conn, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(zbctl_written(conn, "transaction", nullptr), -1);
    EXPECT_EQ(zbctl_close_count(), 0u);
}

TEST_F(ConnectionTest, OnlyTheLastClosedConnectionsAreKeptTheRestAreFreed) {
    constexpr int kept = 16, closed = 40;
    // Threads of earlier tests may hold a connection for a moment after they stopped.
    wait_until([] { return zbctl_live_connections() == 0; });
    const uint64_t still_open = open({}, "open");
    std::vector<uint64_t> handles;
    for (int i = 0; i < closed; ++i) {
        handles.push_back(open({}, "closed"));
        ASSERT_EQ(ZbClose(handles.back()), 0);
        EXPECT_EQ(zbctl_live_connections(), 1 + std::min(i + 1, kept));
    }
    for (int i = 0; i < closed; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(zbctl_profile(handles[static_cast<size_t>(i)], nullptr, 0), i < closed - kept ? -1 : 6);
    }
    EXPECT_EQ(zbctl_profile(still_open, nullptr, 0), 4);
    zbctl_reset();
    EXPECT_EQ(zbctl_live_connections(), 1);
    ASSERT_EQ(ZbClose(still_open), 0);
    zbctl_reset();
    EXPECT_EQ(zbctl_live_connections(), 0);
}

TEST_F(ConnectionTest, ResetKeepsOpenConnectionsAndClearsControls) {
    const uint64_t conn = open({}, "open");
    const auto opts = options();
    uint64_t closed = 0;
    ASSERT_EQ(ZbCreate(&closed, "closed", nullptr, 0, &opts), 0);
    ASSERT_EQ(ZbClose(closed), 0);
    int hook_calls = 0;
    zbctl_set_close_hook([](uint64_t, void* calls) { ++*static_cast<int*>(calls); }, &hook_calls);
    zbctl_inject("ZbCreate", invalid_argument, -1);
    zbctl_inject_text_length(1000);

    zbctl_reset();
    EXPECT_EQ(zbctl_create_count(), 0u);
    EXPECT_EQ(zbctl_close_count(), 0u);
    EXPECT_EQ(zbctl_open_connections(), 1);
    EXPECT_EQ(zbctl_profile(conn, nullptr, 0), 4);
    EXPECT_EQ(zbctl_profile(closed, nullptr, 0), -1);

    uint64_t again = 0;
    EXPECT_EQ(ZbCreate(&again, "again", nullptr, 0, &opts), 0);
    char buffer[4] = {'#', '#', '#', '#'};
    zibrel::value text(buffer, sizeof buffer);
    EXPECT_EQ(ZbReadValue(conn, "commands.activeSet", &text), 0);
    EXPECT_EQ(text.s.length, 0u);
    EXPECT_EQ(ZbClose(again), 0);
    EXPECT_EQ(hook_calls, 0);
}

struct hook_record {
    std::vector<uint64_t> handles;
    int open_during_hook = -1;
    int32_t write_during_hook = -1;
    uint64_t conn = 0;
};

TEST_F(ConnectionTest, CloseHookRunsFirstWithoutTheLibraryLock) {
    hook_record record;
    record.conn = open();
    zbctl_set_close_hook(
        [](uint64_t handle, void* context) {
            auto& r = *static_cast<hook_record*>(context);
            r.handles.push_back(handle);
            // Still open, and the library is free to be called from here.
            r.open_during_hook = zbctl_open_connections();
            const zibrel::value number(int32_t{3});
            r.write_during_hook = ZbWriteValue(handle, "transaction", &number);
        },
        &record);

    EXPECT_EQ(ZbClose(record.conn + 77), invalid_argument);
    EXPECT_TRUE(record.handles.empty());
    ASSERT_EQ(ZbClose(record.conn), 0);
    EXPECT_EQ(record.handles, std::vector<uint64_t>{record.conn});
    EXPECT_EQ(record.open_during_hook, 1);
    EXPECT_EQ(record.write_during_hook, 0);
    EXPECT_EQ(zbctl_open_connections(), 0);
    EXPECT_EQ(ZbClose(record.conn), invalid_argument);
    EXPECT_EQ(record.handles.size(), 1u);
}

TEST_F(ConnectionTest, CloseHookMayCloseTheConnectionItself) {
    // A nested close of the same connection is refused; the outer one succeeds.
    struct nested {
        int32_t inner = 0;
    } n;
    const uint64_t conn = open();
    zbctl_set_close_hook([](uint64_t handle, void* c) { static_cast<nested*>(c)->inner = ZbClose(handle); }, &n);
    EXPECT_EQ(ZbClose(conn), 0);
    EXPECT_EQ(n.inner, invalid_argument);
    EXPECT_EQ(zbctl_open_connections(), 0);
}

}  // namespace
}  // namespace navtest
