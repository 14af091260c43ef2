// Threads ended inside a callback by pthread_exit, as CPython ends a thread
// that calls in while the interpreter finalises: the forced unwind passes
// every catch-all of the library, the thread ends, nothing aborts ("FATAL:
// exception not rethrown"), and the library goes on working.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

#include "qorzibrel_test_support.h"

namespace navtest {
namespace {

using zibrel::value;

// An application whose camera getter ends the calling thread while `ending` is set.
struct ending_app {
    sink s;
    std::atomic<bool> ending{true};
    std::atomic<int> ended{0};
    std::atomic<int> camera_writes{0};

    ending_app() {
        s.on_get = [this](const char* name, value* v) -> int32_t {
            if (std::string_view(name) != "view.affine") return property_not_found;
            if (ending.load()) {
                ended.fetch_add(1);
                pthread_exit(nullptr);
            }
            v->type = zibrel::matrix_type;
            v->m = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10, 0, 0, 0, 1};
            return 0;
        };
        s.on_set = [this](const char* name, const value*) -> int32_t {
            if (std::string_view(name) == "view.affine") camera_writes.fetch_add(1);
            return 0;
        };
    }

    std::vector<zibrel::property_accessor> accessors() const { return {s.accessor("view.affine")}; }
};

class ForcedUnwindTest : public library_test {
protected:
    void SetUp() override {
        unsetenv("ZIBREL_DEVICE");
        unsetenv("ZIBREL_CONFIG");
        library_test::SetUp();
    }
};

// Runs `body` on a thread of its own; true when the thread got to its end
// (false: it was ended inside, as expected here).
bool ran_to_the_end(const std::function<void()>& body) {
    bool finished = false;
    std::thread([&] {
        body();
        finished = true;
    }).join();
    return finished;
}

struct scenario {
    const char* name;
    // Make the library call view.affine on some thread and wait until that thread has ended.
    std::function<void(uint64_t conn, ending_app& app)> end_a_thread;
    // Then, with the getter answering again, show that the library still works.
    std::function<void(uint64_t conn, ending_app& app)> still_works;
};

const value frame_at(double t_ms) { return value(t_ms); }

TEST_F(ForcedUnwindTest, AThreadEndedInsideACallbackEndsCleanly) {
    const value untyped;
    const std::vector<scenario> scenarios{
        {"the library's frame timer",
         [](uint64_t conn, ending_app& app) {
             ASSERT_EQ(zbctl_device_sample(conn, -1, 0, 0, 0, 0, 1, 0), 0);
             wait_until([&] { return app.ended.load() == 1; });
         },
         [](uint64_t conn, ending_app& app) {
             // A new sample starts a new timer thread, once the ended one is
             // quite gone (it may still be unwinding).
             wait_until([&] {
                 EXPECT_EQ(zbctl_device_sample(conn, -1, 0, 0, 0, 0, 1, 0), 0);
                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
                 return app.camera_writes.load() > 0;
             });
         }},
        {"an application thread running a frame inside ZbWriteValue",
         [](uint64_t conn, ending_app&) {
             const value timing(int32_t{1});
             ASSERT_EQ(ZbWriteValue(conn, "frame.timingSource", &timing), 0);
             ASSERT_EQ(zbctl_device_sample(conn, 0, 0, 0, 0, 0, 1, 0), 0);
             EXPECT_FALSE(ran_to_the_end([conn] {
                 const value t = frame_at(10);
                 ZbWriteValue(conn, "frame.time", &t);
             }));
         },
         [](uint64_t conn, ending_app& app) {
             // The frame the ended thread was in is over: the next one runs.
             ASSERT_EQ(zbctl_device_sample(conn, 20, 0, 0, 0, 0, 1, 0), 0);
             const value t = frame_at(20);
             ASSERT_EQ(ZbWriteValue(conn, "frame.time", &t), 0);
             EXPECT_GT(app.camera_writes.load(), 0);
         }},
        {"a caller thread of zbctl_hammer_start",
         [&untyped](uint64_t conn, ending_app& app) {
             const int id = zbctl_hammer_start(conn, "view.affine", 0, &untyped, 3, 0);
             ASSERT_GT(id, 0);
             wait_until([&] { return app.ended.load() == 3; });
             wait_until([&] { return zbctl_hammer_threads(id) == 0; });  // counted out as they ended
             zbctl_hammer_stop(id, nullptr);
         },
         nullptr},
        {"caller threads of zbctl_call_threads",
         [&untyped](uint64_t conn, ending_app& app) {
             zbctl_call_threads(conn, "view.affine", 0, &untyped, 3, 5, nullptr);
             EXPECT_EQ(app.ended.load(), 3);
         },
         nullptr},
        {"a thread in zbctl_get",
         [](uint64_t conn, ending_app&) {
             EXPECT_FALSE(ran_to_the_end([conn] {
                 value v;
                 zbctl_get(conn, "view.affine", &v);
             }));
         },
         nullptr},
    };
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.name);
        ending_app app;
        const auto accessors = app.accessors();
        const uint64_t conn = open(accessors);
        s.end_a_thread(conn, app);
        EXPECT_GE(app.ended.load(), 1);
        app.ending.store(false);
        if (s.still_works) s.still_works(conn, app);
        value v;
        EXPECT_EQ(zbctl_get(conn, "view.affine", &v), 0);
        EXPECT_EQ(ZbClose(conn), 0);
    }
}

}  // namespace
}  // namespace navtest
