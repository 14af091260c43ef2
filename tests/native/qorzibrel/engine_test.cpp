// The navigation engine from the native side: its parsers and geometry, and
// whole frames through the entry points with an application sink, from the
// application's thread and from the library's timer thread.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/device_input.h"
#include "engine/geometry.h"
#include "base/settings.h"
#include "qorzibrel_test_support.h"
#include "zibrel_extras.h"

namespace navtest {
namespace {

using namespace zibrel;
using namespace zibrel::qorzibrel;

TEST(DeviceScriptTest, FaultsNameTheirLine) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"0 motion 0 0 0 0 0 0\n1 jump\n", "line 2: unknown event 'jump'"},
        {"\n\n0 motion 1 2\n", "line 3: motion takes six numbers"},
        {"0 motion 0 0 0 0 inf 0\n", "line 1: 'inf' is not a deflection"},
        {"0 motion 0 0 0 0 -1.01 0\n", "line 1: '-1.01' is not a deflection"},
        {"2 press 1\n1 release 1\n", "line 2: time 1 is earlier"},
        {"-1 press 1\n", "line 1: '-1' is not a time"},
        {"0 press 1\n1e306 release 1\n", "line 2: '1e306' is not a time"},  // beyond a double in ms
        // Epoch microseconds written as seconds: no clock reaches them.
        {"0 press 1\n1700000000000000 release 1\n",
         "line 2: '1700000000000000' is not a time in seconds from 0 to 1000000000"},
        {"1000000000.5 press 1\n", "line 1: '1000000000.5' is not a time in seconds from 0 to 1000000000"},
        {"0 press 1.5\n", "line 1: '1.5' is not a button number"},
        {"0 end\n0 end\n", "line 2: nothing may follow 'end'"},
        {"0 motion 0 0 0 0 0 0 0\n", "line 1: motion takes six numbers"},
        {"\n# c\n", "line 2: the file holds no events"},
        {"", "is empty"},
        {std::string("0 press 1\n1 rel\0ease 1\n2 end\n", 29), "line 2: the line holds a NUL byte"},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        EXPECT_FALSE(parse_device_script(text, error)) << text;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
}

TEST(DeviceScriptTest, ReadsTimesInMillisecondsAndEvents) {
    std::string error;
    const auto script = parse_device_script("# c\n0.5 motion 0 0 0 0 0.25 -1 # x\n1 press 7\n1 release 7\n2 end\n", error);
    ASSERT_TRUE(script) << error;
    ASSERT_EQ(script->events.size(), 4u);
    EXPECT_EQ(script->events[0].t_ms, 500.0);
    EXPECT_EQ(script->events[0].deflection[4], 0.25);
    EXPECT_EQ(script->events[0].deflection[5], -1.0);
    EXPECT_EQ(script->events[1].kind, script_event::press);
    EXPECT_EQ(script->events[1].button, 7);
    EXPECT_EQ(script->events[3].kind, script_event::end);
}

TEST(DeviceScriptTest, NumbersTooSmallForADoubleAreZeroOrTiny) {
    std::string error;
    const auto script = parse_device_script("1e-400 motion 1e-320 -1e-400 0 0 0 4.9e-324\n1000000000 end\n", error);
    ASSERT_TRUE(script) << error;
    EXPECT_EQ(script->events[0].t_ms, 0.0);
    EXPECT_EQ(script->events[0].deflection[0], 1e-320);
    EXPECT_EQ(script->events[0].deflection[1], 0.0);
    EXPECT_EQ(script->events[0].deflection[5], 4.9e-324);
    EXPECT_EQ(script->events[1].t_ms, 1e12);
}

TEST(SettingsTest, NumbersTooSmallForADoubleAreInRange) {
    const struct {
        const char* line;
        double sensitivity;
    } cases[] = {{"sensitivity = 1e-320", 1e-320}, {"sensitivity = 1e-400", 0.0}, {"sensitivity = 4.9e-324", 4.9e-324}};
    for (const auto& c : cases) {
        settings s;
        std::vector<std::string> errors;
        parse_settings(c.line, "settings file f", "/conf", s, errors);
        EXPECT_TRUE(errors.empty()) << c.line << ": " << (errors.empty() ? "" : errors[0]);
        EXPECT_EQ(s.sensitivity, c.sensitivity) << c.line;
    }
    settings s;
    std::vector<std::string> errors;
    parse_settings("sensitivity = 1e400\n", "settings file f", "/conf", s, errors);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("'1e400' is not a number from 0 to 100"), std::string::npos) << errors[0];
}

TEST(SettingsTest, LinesApplyOrAreReportedByNumber) {
    settings s;
    std::vector<std::string> errors;
    parse_settings("device = spacenavd, file:session.txt\n"
                   "dead-zone = 0.1\n"
                   "dead-zone.rz = 0.3\n"
                   "invert = y, rx\n"
                   "button.4 = view:top\n"
                   "button.5 = command:app.cmd\n"
                   "coalesce = latest\n"
                   "bogus = 1\n"
                   "sensitivity = -1\n"
                   "frame-rate\n",
                   "settings file f", "/conf", s, errors);
    ASSERT_EQ(s.sources.size(), 2u);
    EXPECT_EQ(s.sources[1].path, "/conf/session.txt");
    EXPECT_EQ(s.dead_zone[0], 0.1);
    EXPECT_EQ(s.dead_zone[5], 0.3);
    EXPECT_TRUE(s.invert[1] && s.invert[3] && !s.invert[0]);
    EXPECT_TRUE(s.buttons.at(4).builtin && s.buttons.at(4).view == view_command::top);
    EXPECT_EQ(s.buttons.at(5).command, "app.cmd");
    EXPECT_EQ(s.coalesce, coalescing::latest);
    EXPECT_EQ(s.sensitivity, 1.0);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_NE(errors[0].find("settings file f line 8: unknown setting 'bogus'"), std::string::npos);
    EXPECT_NE(errors[1].find("line 9: '-1' is not a number from 0 to 100"), std::string::npos);
    EXPECT_NE(errors[2].find("line 10: expected 'key = value'"), std::string::npos);
}

TEST(GeometryTest, UnusableCameraMatricesAreRefused) {
    const double nan = std::nan("");
    struct case_t {
        const char* name;
        matrix m;
        matrix_fault fault;
    };
    const std::vector<case_t> refused{
        {"singular", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, matrix_fault::singular},
        {"not finite", {1, 0, 0, 0, 0, 1, 0, nan, 0, 0, 1, 0, 0, 0, 0, 1}, matrix_fault::not_finite},
        {"projective", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1}, matrix_fault::projective},
        // The transpose of a camera at (1, 2, 3): the eye in the bottom row.
        {"eye in the bottom row", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 2, 3, 1}, matrix_fault::projective},
        {"bottom row all zero", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0}, matrix_fault::projective},
        {"all zero", {}, matrix_fault::singular},
    };
    for (const auto& c : refused) {
        camera_frame f;
        f.eye = {7, 7, 7};
        EXPECT_EQ(frame_from_matrix(c.m, f), c.fault) << c.name;
        EXPECT_EQ(f.eye.x, 7.0) << c.name << ": untouched";
    }
    camera_frame f;
    ASSERT_EQ(frame_from_matrix({2, 0, 0, 1, 0, 2, 0, 2, 0, 0, 2, 3, 0, 0, 0, 1}, f),
              matrix_fault::none);  // scaled: made orthonormal
    EXPECT_EQ(length(f.right), 1.0);
    EXPECT_EQ(f.eye.z, 3.0);
}

TEST(GeometryTest, TurningAboutAPivotKeepsItsCameraCoordinates) {
    camera_frame f;
    f.eye = {1, 2, 9};
    const vec3 pivot{0.5, -1, 2};
    const vec3 before = f.to_camera(pivot);
    f.rotate_about(pivot, normalized({1, 2, 3}), 0.7);
    const vec3 after = f.to_camera(pivot);
    EXPECT_NEAR(after.x, before.x, 1e-12);
    EXPECT_NEAR(after.y, before.y, 1e-12);
    EXPECT_NEAR(after.z, before.z, 1e-12);
}

// Counts a callback in progress, as the real application side does.
struct in_callback {
    std::atomic<int>& count;
    explicit in_callback(std::atomic<int>& c) : count(c) { count.fetch_add(1); }
    ~in_callback() { count.fetch_sub(1); }
};

// An application with a camera, recording the names the library writes. Like
// a real application it waits for callbacks in progress before it goes away:
// ZbClose never waits for the library's threads.
struct camera_app {
    std::atomic<int> active{0};
    sink s;
    std::mutex mutex;
    matrix camera{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10, 0, 0, 0, 1};
    std::vector<std::string> writes;
    std::atomic<int> camera_writes{0};
    std::function<void()> on_camera;

    camera_app() {
        s.on_get = [this](const char* name, value* v) -> int32_t {
            in_callback guard(active);
            const std::string n = name;
            std::lock_guard lock(mutex);
            if (n == "view.affine") {
                v->type = matrix_type;
                v->m = camera;
            } else if (n == "view.perspective") {
                v->type = bool_type;
                v->b = 1;
            } else if (n == "view.fov") {
                v->type = double_type;
                v->d = 1.0;
            } else if (n == "model.extents") {
                v->type = box_type;
                v->bx = {{-1, -1, -1}, {1, 1, 1}};
            } else {
                return function_not_supported;
            }
            return 0;
        };
        s.on_set = [this](const char* name, const value* v) -> int32_t {
            in_callback guard(active);
            {
                std::lock_guard lock(mutex);
                writes.emplace_back(name);
                if (std::string(name) == "view.affine") camera = v->m;
            }
            if (std::string(name) == "view.affine") {
                camera_writes.fetch_add(1);
                if (on_camera) on_camera();
            }
            return 0;
        };
    }

    ~camera_app() {
        wait_until([this] { return active.load() == 0; });
    }

    std::vector<property_accessor> accessors() const {
        std::vector<property_accessor> a;
        for (const char* n : {"view.affine", "view.perspective", "view.fov", "model.extents"}) a.push_back(s.accessor(n));
        for (const char* n : {"motion", "transaction", "pivot.position", "pivot.visible"})
            a.push_back(s.accessor(n, false, true));
        return a;
    }
};

class EngineTest : public library_test {
protected:
    void SetUp() override {
        setenv("ZIBREL_DEVICE", "none", 1);  // no device found here is no notice
        unsetenv("ZIBREL_CONFIG");
        library_test::SetUp();
    }
    static void write(uint64_t conn, const char* name, value v) { ASSERT_EQ(ZbWriteValue(conn, name, &v), 0); }
};

TEST_F(EngineTest, ApplicationDrivenFramesWriteMotionAroundTransactions) {
    camera_app app;
    const auto accessors = app.accessors();
    const uint64_t conn = open(accessors);
    write(conn, "frame.timingSource", value(int32_t{1}));
    for (int i = 0; i < 30; ++i) {
        if (i < 5) {
            ASSERT_EQ(zbctl_device_sample(conn, 10.0 * i, 0, 0, 0, 0, 1, 0), 0);
        }
        write(conn, "frame.time", value(10.0 * i));
    }
    std::vector<std::string> expected{"motion", "pivot.position", "pivot.visible"};
    for (int i = 0; i < 15; ++i) {  // five samples, then held for the 100 ms timeout
        for (const char* n : {"transaction", "view.affine", "transaction"}) expected.emplace_back(n);
    }
    expected.insert(expected.end(), {"pivot.visible", "motion"});
    EXPECT_EQ(app.writes, expected);
    EXPECT_EQ(zbctl_frame_count(conn), 30u);
}

TEST_F(EngineTest, FramesCallTheFirstGetterAndTheFirstSetterOfEachName) {
    // Around the application's entries: a set-only "view.affine" before them
    // (it gets the camera writes), later entries of the same names (never
    // called), and names of the application's own (never asked for by a frame).
    camera_app app;
    sink first_setter, late, own;
    std::vector<property_accessor> accessors{own.accessor("app.zoomLevel"),
                                             first_setter.accessor("view.affine", false, true)};
    for (const auto& a : app.accessors()) accessors.push_back(a);
    for (const char* n : {"view.affine", "view.fov", "motion", "transaction"}) accessors.push_back(late.accessor(n));
    accessors.push_back(own.accessor("view.affine.x"));
    const uint64_t conn = open(accessors);
    write(conn, "frame.timingSource", value(int32_t{1}));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(zbctl_device_sample(conn, 10.0 * i, 0, 0, 0, 0, 1, 0), 0);
        write(conn, "frame.time", value(10.0 * i));
    }
    EXPECT_EQ(zbctl_frame_count(conn), 3u);
    EXPECT_EQ(first_setter.sets, 3u);  // one camera per frame
    EXPECT_EQ(first_setter.gets, 0u);
    EXPECT_EQ(app.camera_writes.load(), 0);
    std::lock_guard lock(app.mutex);
    EXPECT_EQ(std::count(app.writes.begin(), app.writes.end(), "transaction"), 6);
    EXPECT_GT(app.s.gets.load(), 0u);  // the camera and the view are read from the application
    EXPECT_EQ(late.gets + late.sets + own.gets + own.sets, 0u);
}

TEST_F(EngineTest, TheTimerThreadMovesTheCameraAndSurvivesACloseFromItsCallback) {
    for (int round = 0; round < 20; ++round) {
        camera_app app;
        const auto accessors = app.accessors();
        const uint64_t conn = open(accessors);
        std::atomic<bool> closing{false}, closed{false};
        std::thread::id caller;
        app.on_camera = [&] {
            caller = std::this_thread::get_id();
            if (!closing.exchange(true)) {
                EXPECT_EQ(ZbClose(conn), 0);  // from inside the timer's own frame
                closed.store(true);
            }
        };
        ASSERT_EQ(zbctl_device_sample(conn, -1, 0, 0, 0, 0.5, 0, 0), 0);
        wait_until([&] { return closed.load(); });
        EXPECT_NE(caller, std::this_thread::get_id());
        EXPECT_EQ(app.camera_writes.load(), 1);
        EXPECT_EQ(zbctl_open_connections(), 0);
    }
}

TEST_F(EngineTest, AFrameInProgressOutlivesItsFreedConnection) {
    camera_app app;
    const auto accessors = app.accessors();
    const uint64_t conn = open(accessors);
    std::atomic<bool> release{false};
    app.on_camera = [&] { wait_until([&] { return release.load(); }); };
    ASSERT_EQ(zbctl_device_sample(conn, -1, 1, 0, 0, 0, 0, 0), 0);
    wait_until([&] { return app.camera_writes.load() > 0; });
    // The timer thread is inside a callback; the connection closes and is
    // forgotten, and nothing of the library holds it any more.
    EXPECT_EQ(ZbClose(conn), 0);
    zbctl_reset();
    EXPECT_EQ(zbctl_live_connections(), 0);
    const size_t writes = [&] {
        std::lock_guard lock(app.mutex);
        return app.writes.size();
    }();
    release.store(true);  // the frame goes on without it (the address sanitizer watches) and ends there
    wait_until([&] { return app.active.load() == 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard lock(app.mutex);
    EXPECT_EQ(app.writes.size(), writes);
}

TEST_F(EngineTest, ClosingWhileTheTimerCallsNeverWaitsForIt) {
    for (int round = 0; round < 20; ++round) {
        camera_app app;
        const auto accessors = app.accessors();
        const uint64_t conn = open(accessors);
        std::atomic<bool> release{false};
        app.on_camera = [&] { wait_until([&] { return release.load(); }); };  // blocked, as behind a lock
        ASSERT_EQ(zbctl_device_sample(conn, -1, 1, 0, 0, 0, 0, 0), 0);
        wait_until([&] { return app.camera_writes.load() > 0; });
        EXPECT_EQ(ZbClose(conn), 0);  // returns although the timer thread is inside a callback
        release.store(true);
        // The timer thread is detached and ends by itself; nothing more reaches the application.
        const int seen = app.camera_writes.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        EXPECT_EQ(app.camera_writes.load(), seen);
    }
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST_F(EngineTest, TheInputFdIsReadableWhileAnyConnectionHasInputWaitingForAFrame) {
    const int fd = zbx_input_fd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(zbx_input_fd(), fd);
    camera_app a, b;
    const auto accessors_a = a.accessors(), accessors_b = b.accessors();
    const uint64_t ca = open(accessors_a), cb = open(accessors_b);
    for (uint64_t c : {ca, cb}) write(c, "frame.timingSource", value(int32_t{1}));
    EXPECT_FALSE(readable(fd));
    ASSERT_EQ(zbctl_device_sample(ca, -1, 0, 0, 0, 0, 0.5, 0), 0);
    ASSERT_EQ(zbctl_device_button(cb, -1, 2, 1), 0);
    EXPECT_TRUE(readable(fd));
    write(ca, "frame.time", value(10.0));
    EXPECT_TRUE(readable(fd)) << "b's button still waits";
    write(cb, "frame.time", value(10.0));
    EXPECT_FALSE(readable(fd));
    // Held after its frame, a's deflection moves on without keeping the fd readable.
    write(ca, "frame.time", value(20.0));
    EXPECT_FALSE(readable(fd));
    EXPECT_GT(a.camera_writes.load(), 0);
    // A sample stamped later than a frame waits for a later frame.
    ASSERT_EQ(zbctl_device_sample(ca, 50.0, 0, 0, 0, 0, 0.5, 0), 0);
    write(ca, "frame.time", value(30.0));
    EXPECT_TRUE(readable(fd));
    write(ca, "frame.time", value(60.0));
    EXPECT_FALSE(readable(fd));

    // Samples from several threads racing with frames. Each pusher's last sample
    // comes after the last frame: the fd shows it; one frame of each connection
    // then leaves the fd clear, and a later sample raises it again.
    std::atomic<bool> stop{false};
    std::vector<std::thread> pushers;
    for (uint64_t c : {ca, cb, ca}) {
        pushers.emplace_back([&stop, c] {
            while (!stop.load()) zbctl_device_sample(c, -1, 0.1, 0, 0, 0, 0, 0);
            zbctl_device_sample(c, -1, 0.1, 0, 0, 0, 0, 0);
        });
    }
    for (int i = 0; i < 200; ++i) {
        write(ca, "frame.time", value(70.0 + i));
        write(cb, "frame.time", value(70.0 + i));
    }
    stop.store(true);
    for (auto& t : pushers) t.join();
    EXPECT_TRUE(readable(fd));
    write(ca, "frame.time", value(300.0));
    write(cb, "frame.time", value(300.0));
    EXPECT_FALSE(readable(fd));
    ASSERT_EQ(zbctl_device_sample(cb, -1, 0, 0.2, 0, 0, 0, 0), 0);
    EXPECT_TRUE(readable(fd));
    // A closed connection's input no longer counts.
    EXPECT_EQ(ZbClose(cb), 0);
    EXPECT_FALSE(readable(fd));
    EXPECT_EQ(ZbClose(ca), 0);
}

}  // namespace
}  // namespace navtest
