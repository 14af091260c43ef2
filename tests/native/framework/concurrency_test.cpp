// Callbacks from many library threads while another thread registers and erases
// sinks and opens, closes and destroys connections. Meant for the sanitizer
// builds as much as for the plain one.
#include <atomic>
#include <thread>
#include <vector>

#include "framework_support.h"

using namespace fwtest;
using namespace zibrel;

static testing::Environment* const library_environment = testing::AddGlobalTestEnvironment(new LibraryEnvironment);

TEST(Concurrency, CallbacksSurviveRegistrationsAndConnectionChurn) {
    Recorder stable;
    auto stable_impl = CZibrelImpl::CreateInstance(&stable, true, false);
    stable_impl->Open("stable");
    const uint64_t stable_conn = zbctl_last_connection();
    const value fov(0.5);
    const value untyped;
    const int getters = zbctl_hammer_start(stable_conn, "view.affine", 0, &untyped, 2, 0);
    const int setters = zbctl_hammer_start(stable_conn, "view.fov", 1, &fov, 1, 0);
    ASSERT_GT(getters, 0);
    ASSERT_GT(setters, 0);

    testing::internal::CaptureStderr();  // stale cookies below report line A
    std::thread churn([] {
        for (int round = 0; round < 60; ++round) {
            auto recorder = std::make_shared<Recorder>();
            // Bare registrations come and go beside the connections.
            std::vector<sink_cookie> cookies;
            for (int i = 0; i < 5; ++i)
                cookies.push_back(SinkRegistry::insert(std::make_shared<Qor::Kinemo::WeakAccessorPtr<IAccessors>>(recorder)));

            auto impl = CZibrelImpl::CreateInstance(recorder.get(), true, false);
            impl->Open("churn");
            const uint64_t conn = zbctl_last_connection();
            const value untyped;
            // This hammer goes on after the connection is gone, as a careless library would.
            const int stale = zbctl_hammer_start(conn, "pivot.position", 0, &untyped, 1, 1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (round % 2 == 0) impl->Close();
            impl.reset();  // withdraws the cookie while callbacks are arriving
            for (sink_cookie c : cookies) SinkRegistry::erase(c);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            zbctl_hammer_stop(stale, nullptr);  // before the recorder goes
        }
    });
    churn.join();
    testing::internal::GetCapturedStderr();

    uint64_t getter_failures = 1, setter_failures = 1;
    const uint64_t getter_calls = zbctl_hammer_stop(getters, &getter_failures);
    const uint64_t setter_calls = zbctl_hammer_stop(setters, &setter_failures);
    EXPECT_GT(getter_calls, 0u);
    EXPECT_GT(setter_calls, 0u);
    EXPECT_EQ(getter_failures, 0u);
    EXPECT_EQ(setter_failures, 0u);
    EXPECT_EQ(stable.calls().size(), getter_calls + setter_calls) << "every call reached the live model exactly once";
}
