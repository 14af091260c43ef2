// Opening, closing, reading and writing through a connection to our library.
#include <string>
#include <system_error>

#include "framework_support.h"

using namespace fwtest;
using namespace zibrel;

static testing::Environment* const library_environment = testing::AddGlobalTestEnvironment(new LibraryEnvironment);

namespace {

class Connection : public testing::Test {
protected:
    void TearDown() override {
        zbctl_inject("ZbCreate", 0, 0);
        zbctl_inject("ZbReadValue", 0, 0);
        zbctl_inject("ZbWriteValue", 0, 0);
        zbctl_inject_text_length(-1);
        zbctl_set_close_hook(nullptr, nullptr);
    }
    Recorder recorder;
    std::shared_ptr<CZibrelImpl> impl = CZibrelImpl::CreateInstance(&recorder, true, true);
};

template <typename E, typename F>
std::string thrown(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

}  // namespace

TEST(CreateInstance, RefusesANullAccessorPointer) {
    EXPECT_EQ(thrown<std::logic_error>([] { CZibrelImpl::CreateInstance(nullptr, false, false); }),
              "The accessor interface is null");
}

TEST_F(Connection, OpenPassesProfileAndOptions) {
    impl->Open("my profile");
    const uint64_t conn = zbctl_last_connection();
    uint32_t size = 0, flags = 0;
    int multi = 0;
    ASSERT_EQ(zbctl_options(conn, &size, &multi, &flags), 0);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(multi, 1);
    EXPECT_EQ(flags, 2u);
    char profile[32];
    zbctl_profile(conn, profile, sizeof profile);
    EXPECT_STREQ(profile, "my profile");
}

TEST_F(Connection, OpenFailures) {
    EXPECT_EQ(thrown<std::invalid_argument>([&] { impl->Open(); }), "The text for the profile is empty.")
        << "no successful open yet, so no stored profile";
    EXPECT_EQ(thrown<std::invalid_argument>([&] { impl->Open(""); }), "The text for the profile is empty.");

    zbctl_inject("ZbCreate", static_cast<int32_t>(0x80040201u), 1);
    try {
        impl->Open("refused");
        FAIL() << "a refused create must throw";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), make_error_code(513));
        EXPECT_STREQ(e.what(), "Cannot create a connection to the 3ZEdizo.: Cannot locate the requested zibrel property.");
    }
    value record;
    EXPECT_EQ(impl->Read("frame.time", record), not_permitted_result) << "still closed";

    impl->Open("second try");
    try {
        impl->Open("again");
        FAIL() << "open while open must throw";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), make_error_code(113));
        EXPECT_STREQ(e.what(), "Connection to the library is already open.: already connected");
    }
    EXPECT_EQ(thrown<std::invalid_argument>([&] { impl->Open(""); }), "The text for the profile is empty.")
        << "checked before the lock, even while open";

    impl->Close();
    impl->Open();  // reopens under the last successful profile
    char profile[32];
    zbctl_profile(zbctl_last_connection(), profile, sizeof profile);
    EXPECT_STREQ(profile, "second try");
}

TEST_F(Connection, ReadsAndWritesOnlyWhileOpen) {
    value v(1.5);
    std::string text;
    EXPECT_EQ(impl->Write("frame.time", v), not_permitted_result);
    EXPECT_EQ(impl->Read("frame.time", v), not_permitted_result);
    EXPECT_EQ(impl->Read("commands.activeSet", text), not_permitted_result);

    impl->Open("rw");
    const uint64_t conn = zbctl_last_connection();
    EXPECT_EQ(impl->Write("frame.time", v), 0);
    value written;
    ASSERT_EQ(zbctl_written(conn, "frame.time", &written), 1);
    EXPECT_EQ(written.type, double_type);
    EXPECT_EQ(written.d, 1.5);

    zbctl_inject("ZbWriteValue", static_cast<int32_t>(0x80040202u), 1);
    EXPECT_EQ(impl->Write("frame.time", v), static_cast<int32_t>(0x80040202u)) << "library results pass unchanged";

    impl->Close();
    EXPECT_EQ(impl->Write("frame.time", v), not_permitted_result);
    impl->Close();  // closing twice does nothing
    EXPECT_EQ(zbctl_open_connections(), 0);
}

TEST_F(Connection, TextReadGrowsTheBufferOnceAndShrinksToTheText) {
    impl->Open("text");
    const std::string active = "a fairly long active command set id";
    ASSERT_EQ(impl->Write("commands.activeSet", value(active)), 0);

    std::string empty;
    EXPECT_EQ(impl->Read("commands.activeSet", empty), 0);
    EXPECT_EQ(empty, active);

    std::string large(100, 'x');
    EXPECT_EQ(impl->Read("commands.activeSet", large), 0);
    EXPECT_EQ(large, active);

    // A library that claims more text than the buffer holds is refused, not read past.
    zbctl_inject_text_length(1000);
    std::string small(8, 'x');
    EXPECT_EQ(impl->Read("commands.activeSet", small), static_cast<int32_t>(0x80040077u));
    EXPECT_LE(small.size(), 1000u);
}

TEST_F(Connection, DestroyingAnOpenConnectionWithdrawsTheCookieThenClosesOnce) {
    impl->Open("destroy");
    const uint64_t conn = zbctl_last_connection();
    const uint64_t closes = zbctl_close_count();

    struct seen {
        uint64_t conn;
        int32_t result = 0;
    } inside{conn};
    // Inside ZbClose, a callback with the connection's cookie must find nothing.
    zbctl_set_close_hook(
        [](uint64_t c, void* context) {
            auto* s = static_cast<seen*>(context);
            value record;
            if (c == s->conn) s->result = zbctl_get(c, "view.affine", &record);
        },
        &inside);
    testing::internal::CaptureStderr();
    impl.reset();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(zbctl_close_count(), closes + 1);
    EXPECT_EQ(inside.result, invalid_argument_result);
    EXPECT_NE(err.find("Cookie does not exist in the Collection"), std::string::npos) << err;
    EXPECT_TRUE(recorder.calls().empty());
}

TEST_F(Connection, CloseBeforeDestructionMeansNoSecondClose) {
    impl->Open("close first");
    const uint64_t closes = zbctl_close_count();
    impl->Close();
    impl.reset();
    EXPECT_EQ(zbctl_close_count(), closes + 1);
}

TEST_F(Connection, DetachRefusesNewCallsAndWaitsForRunningOnes) {
    impl->Open("detach");
    const uint64_t conn = zbctl_last_connection();
    value record;
    EXPECT_EQ(zbctl_get(conn, "view.affine", &record), 0);
    impl->Detach();
    EXPECT_EQ(zbctl_open_connections(), 0);
    impl->WaitForCallbacks();  // nothing running: returns at once
    // The stale cookie reaches nothing.
    uint64_t cookie = 0;
    ASSERT_EQ(zbctl_accessor_at(conn, 0, nullptr, nullptr, nullptr, &cookie), 0);
    const std::string err = stderr_of(
        [&] { EXPECT_EQ(CZibrelInterface::GetCameraMatrix(cookie, view_affine, &record), invalid_argument_result); });
    EXPECT_NE(err.find("Cookie does not exist"), std::string::npos) << err;
    EXPECT_EQ(recorder.calls().size(), 1u);
}
