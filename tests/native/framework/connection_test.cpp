// Opening, closing, reading and writing through a connection to our library.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
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

// A callback that arrives after the model began to detach, while its cookie is
// still registered (here: inside ZbClose), is told what an unknown cookie is
// told, and its record goes back as it came.
TEST_F(Connection, CallbackWhileDetachingIsAnUnknownCookieWithItsRecordUntouched) {
    impl->Open("detaching");
    struct seen {
        uint64_t conn;
        value untyped;
        value single;  // a float record, which the double getter would re-tag
        int32_t matrix_result = 0, fov_result = 0;
    } inside{zbctl_last_connection(), value(), value(float_type)};
    inside.single.f = 0.5f;
    zbctl_set_close_hook(
        [](uint64_t c, void* context) {
            auto* s = static_cast<seen*>(context);
            if (c != s->conn) return;
            s->matrix_result = zbctl_get(c, "view.affine", &s->untyped);
            s->fov_result = zbctl_get(c, "view.fov", &s->single);
        },
        &inside);
    const std::string err = stderr_of([&] { impl->Detach(); });
    EXPECT_EQ(inside.matrix_result, invalid_argument_result);
    EXPECT_EQ(inside.fov_result, invalid_argument_result);
    EXPECT_EQ(inside.untyped.type, auto_type);
    EXPECT_EQ(inside.single.type, float_type);
    EXPECT_EQ(inside.single.f, 0.5f);
    EXPECT_NE(err.find("std::out_of_range exception thrown in GetValue(0x"), std::string::npos) << err;
    EXPECT_NE(err.find(", view.affine, value)\nnullCookie does not exist in the Collection\n"), std::string::npos) << err;
    EXPECT_NE(err.find(", view.fov, value)\n0.5Cookie does not exist in the Collection\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("destroyed"), std::string::npos) << err;
    EXPECT_TRUE(recorder.calls().empty());
}

// The destructor may run inside one of the model's own callbacks (thread A)
// while another thread (B) is inside another; it waits for B only, and must
// be woken when B's call ends although the count does not fall to zero.
TEST_F(Connection, DetachInsideACallbackWakesWhenAnotherThreadsCallEnds) {
    struct gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool b_inside = false, release_b = false, a_done = false;
    };
    struct model : Recorder {
        std::shared_ptr<gate> g = std::make_shared<gate>();
        std::shared_ptr<CZibrelImpl>* impl = nullptr;
        int32_t GetViewFOV(double& d) override {  // thread B: slow
            std::unique_lock lock(g->mutex);
            g->b_inside = true;
            g->changed.notify_all();
            g->changed.wait(lock, [&] { return g->release_b; });
            return Recorder::GetViewFOV(d);
        }
        int32_t GetCameraMatrix(matrix& m) override {  // thread A: what a destructor does
            (*impl)->Detach();
            (*impl)->WaitForCallbacks();
            return Recorder::GetCameraMatrix(m);
        }
    };
    auto m = std::make_shared<model>();
    auto inner = std::make_shared<std::shared_ptr<CZibrelImpl>>(CZibrelImpl::CreateInstance(m.get(), true, false));
    m->impl = inner.get();
    (*inner)->Open("wake");
    const uint64_t conn = zbctl_last_connection();
    std::shared_ptr<gate> g = m->g;

    std::thread b([conn] {
        value record;
        zbctl_get(conn, "view.fov", &record);
    });
    {
        std::unique_lock lock(g->mutex);
        ASSERT_TRUE(g->changed.wait_for(lock, std::chrono::seconds(10), [&] { return g->b_inside; }));
    }
    std::thread a([conn, g, m, inner] {
        value record;
        zbctl_get(conn, "view.affine", &record);
        std::lock_guard lock(g->mutex);
        g->a_done = true;
        g->changed.notify_all();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // A is waiting for B by now
    {
        std::lock_guard lock(g->mutex);
        g->release_b = true;
        g->changed.notify_all();
    }
    b.join();
    bool woken = false;
    {
        std::unique_lock lock(g->mutex);
        woken = g->changed.wait_for(lock, std::chrono::seconds(10), [&] { return g->a_done; });
    }
    if (!woken) {
        a.detach();  // still waiting; it holds what it uses
        FAIL() << "the wait for the other thread's call never ended";
    }
    a.join();
    EXPECT_EQ(zbctl_open_connections(), 0);
}

// Callbacks reach the model without holding its connection object, so the
// model may drop the connection's last reference from inside one of them: the
// connection goes at once, and the call still returns its answer.
TEST_F(Connection, LastReferenceDroppedInsideItsOwnCallback) {
    struct model : Recorder {
        std::shared_ptr<CZibrelImpl> impl;
        int32_t GetCameraMatrix(matrix& m) override {
            impl->Detach();
            impl->WaitForCallbacks();  // its own call is not waited for
            impl.reset();
            return Recorder::GetCameraMatrix(m);
        }
    } m;
    m.impl = CZibrelImpl::CreateInstance(&m, true, false);
    m.impl->Open("dropped inside");
    const uint64_t conn = zbctl_last_connection();
    value record;
    EXPECT_EQ(zbctl_get(conn, "view.affine", &record), 0);
    EXPECT_EQ(record.m.m33, 16);
    EXPECT_EQ(m.impl, nullptr);
    EXPECT_EQ(m.calls(), std::vector<std::string>{"GetCameraMatrix()"});
    EXPECT_EQ(zbctl_open_connections(), 0);
}
