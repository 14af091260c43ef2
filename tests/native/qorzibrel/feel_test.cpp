// Navigation feel: the axis selection, the speed buttons' steps and turns under
// lock-horizon, tested directly on the pure functions the engine's frames use.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "engine/feel.h"
#include "base/settings.h"

namespace navtest {
namespace {

using namespace zibrel::qorzibrel;
using axes6 = std::array<double, axis_count>;

TEST(FeelSettingsTest, SwitchesAndSpeedBindingsParse) {
    settings s;
    std::vector<std::string> errors;
    parse_settings("lock-horizon = on\n"
                   "dominant-axis = on\n"
                   "rotation = off\n"
                   "translation = off\n"
                   "button.1 = speed:faster\n"
                   "button.2 = speed:slower\n"
                   "button.3 = speed:reset\n"
                   "lock-horizon = yes\n"
                   "rotation =\n"
                   "button.4 = speed:fastest\n"
                   "button.5 = command:speed:faster\n",
                   "settings file f", "/conf", s, errors);
    EXPECT_TRUE(s.lock_horizon && s.dominant_axis);
    EXPECT_FALSE(s.rotation || s.translation);
    EXPECT_EQ(s.buttons.at(1).speed, speed_change::faster);
    EXPECT_EQ(s.buttons.at(2).speed, speed_change::slower);
    EXPECT_EQ(s.buttons.at(3).speed, speed_change::reset);
    EXPECT_FALSE(s.buttons.at(5).speed);  // an application command that happens to look alike
    EXPECT_EQ(s.buttons.at(5).command, "speed:faster");
    EXPECT_FALSE(s.buttons.contains(4));
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_NE(errors[0].find("line 8: 'yes' is not on or off"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("line 9: '' is not on or off"), std::string::npos) << errors[1];
    EXPECT_NE(errors[2].find("line 10: 'speed:fastest' is not a binding"), std::string::npos) << errors[2];
    EXPECT_NE(errors[2].find("speed:faster|slower|reset"), std::string::npos) << errors[2];

    const settings defaults;
    EXPECT_TRUE(!defaults.lock_horizon && !defaults.dominant_axis && defaults.rotation && defaults.translation);
}

struct selection_case {
    const char* name;
    std::function<void(settings&)> configure;
    axes6 in, expected;
};

TEST(FeelTest, SelectAxesKeepsWhatMayMove) {
    const std::vector<selection_case> cases{
        {"defaults pass everything", [](settings&) {}, {0.1, -0.2, 0.3, -0.4, 0.5, -0.6},
         {0.1, -0.2, 0.3, -0.4, 0.5, -0.6}},
        {"rotation off", [](settings& s) { s.rotation = false; }, {0.1, -0.2, 0.3, -0.4, 0.5, -0.6},
         {0.1, -0.2, 0.3, 0, 0, 0}},
        {"translation off takes zoom too", [](settings& s) { s.translation = false; },
         {0.1, -0.2, 0.3, -0.4, 0.5, -0.6}, {0, 0, 0, -0.4, 0.5, -0.6}},
        {"lock-horizon drops the roll", [](settings& s) { s.lock_horizon = true; },
         {0.1, -0.2, 0.3, -0.4, 0.5, -0.6}, {0.1, -0.2, 0.3, -0.4, 0.5, 0}},
        {"dominant keeps the strongest with its sign", [](settings& s) { s.dominant_axis = true; },
         {0.1, -0.2, 0.3, -0.7, 0.5, -0.6}, {0, 0, 0, -0.7, 0, 0}},
        {"dominant weighs by sensitivity",
         [](settings& s) {
             s.dominant_axis = true;
             s.rotation_sensitivity = 0.25;
         },
         {0.3, 0, 0, 0, 0.9, 0}, {0.3, 0, 0, 0, 0, 0}},
        {"dominant weighs zoom by its own sensitivity",
         [](settings& s) {
             s.dominant_axis = true;
             s.zoom_sensitivity = 4;
         },
         {0.5, 0, -0.2, 0, 0, 0}, {0, 0, -0.2, 0, 0, 0}},
        {"dominant tie goes to the first axis", [](settings& s) { s.dominant_axis = true; },
         {0, 0.5, 0, 0, -0.5, 0}, {0, 0.5, 0, 0, 0, 0}},
        {"a switched-off axis never wins",
         [](settings& s) {
             s.dominant_axis = true;
             s.rotation = false;
         },
         {0.2, 0.1, 0, 0.9, 0, 0}, {0.2, 0, 0, 0, 0, 0}},
        {"under lock-horizon the roll never wins",
         [](settings& s) {
             s.dominant_axis = true;
             s.lock_horizon = true;
         },
         {0, 0, 0, 0, 0.4, 1}, {0, 0, 0, 0, 0.4, 0}},
        {"an axis at sensitivity 0 moves nothing",
         [](settings& s) {
             s.dominant_axis = true;
             s.zoom_sensitivity = 0;
         },
         {0, 0, 1, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        settings s;
        c.configure(s);
        EXPECT_EQ(select_axes(c.in, s), c.expected) << c.name;
    }
}

TEST(FeelTest, SpeedStepsAreBoundedPowersOfRootTwo) {
    const std::vector<std::pair<std::string, double>> cases{
        {"", 1.0},
        {"ff", 2.0},
        {"f", std::numbers::sqrt2},
        {"ss", 0.5},
        {"fffffffffff", 8.0},     // bounded above
        {"sssssssssssf", 0.125 * std::numbers::sqrt2},  // bounded below, then one back up
        {"fffrf", std::numbers::sqrt2},
        {"fs", 1.0},
    };
    for (const auto& [presses, factor] : cases) {
        int steps = 0;
        for (const char p : presses) {
            steps = next_speed_steps(steps, p == 'f' ? speed_change::faster
                                            : p == 's' ? speed_change::slower
                                                       : speed_change::reset);
        }
        EXPECT_NEAR(speed_factor(steps), factor, 1e-12) << presses;
    }
}

// A camera at `eye` looking at `target`, its up as near `up` as the view allows.
camera_frame looking(vec3 eye, vec3 target, vec3 up) {
    camera_frame f;
    f.back = normalized(eye - target);
    f.right = normalized(cross(up, f.back));
    f.up = cross(f.back, f.right);
    f.eye = eye;
    return f;
}

void expect_near(vec3 a, vec3 b, double tolerance, const std::string& what) {
    EXPECT_NEAR(a.x, b.x, tolerance) << what;
    EXPECT_NEAR(a.y, b.y, tolerance) << what;
    EXPECT_NEAR(a.z, b.z, tolerance) << what;
}

const double limit = std::numbers::pi / 2 - horizon_pole_margin;

TEST(LockHorizonTest, MixedTurnsStayLevelNeverFlipAndKeepThePivot) {
    struct start {
        const char* name;
        vec3 world_up;
        camera_frame camera;
    };
    const vec3 skewed = normalized({0.3, -0.5, 0.8});
    const std::vector<start> starts{
        {"y up, level", {0, 1, 0}, looking({3, 4, 9}, {0, 0, 0}, {0, 1, 0})},
        {"y up, rolled", {0, 1, 0}, looking({3, 4, 9}, {0, 0, 0}, {1, 1, 0})},
        {"y up, upside down", {0, 1, 0}, looking({3, -4, 9}, {0, 0, 0}, {0, -1, 0})},
        {"z up, rolled", {0, 0, 1}, looking({-5, 2, 1}, {1, 1, 1}, {0.5, 0.2, 1})},
        {"skewed up", skewed, looking({2, 7, -3}, {0.5, 0, 0}, {1, 0, 0})},
    };
    std::mt19937 random(12);
    std::uniform_real_distribution<double> turn(-0.06, 0.06);
    for (const auto& [name, up, camera] : starts) {
        camera_frame f = camera;
        const vec3 pivot{0.5, 0.25, -0.5};
        const vec3 place = f.to_camera(pivot);
        double bias = 0;  // long runs toward each pole as well as back and forth
        for (int i = 0; i < 1000; ++i) {
            if (i % 100 == 0) bias = (i / 100 % 3 - 1) * 0.05;
            turn_level(f, pivot, up, turn(random), turn(random) + bias);
            const std::string at = std::string(name) + ", turn " + std::to_string(i);
            ASSERT_NEAR(dot(f.right, up), 0.0, 1e-9) << at;  // no roll: up lies in the plane of world up and view
            ASSERT_GT(dot(f.up, up), std::cos(limit) - 1e-9) << at;  // upright, never over the pole
            ASSERT_LE(std::fabs(elevation(f, up)), limit + 1e-9) << at;
            ASSERT_NEAR(dot(f.right, f.up), 0.0, 1e-9) << at;
            ASSERT_NEAR(length(f.back), 1.0, 1e-9) << at;
            expect_near(f.to_camera(pivot), place, 1e-9, at);
            if (HasFailure()) return;
        }
    }
}

TEST(LockHorizonTest, TiltStopsShortOfThePoleAndComesBack) {
    const vec3 up{0, 1, 0};
    for (const double direction : {1.0, -1.0}) {
        camera_frame f = looking({0, 0, 10}, {0, 0, 0}, up);
        for (int i = 0; i < 50; ++i) turn_level(f, {}, up, 0, direction * 0.1);
        EXPECT_NEAR(elevation(f, up), direction * limit, 1e-12);
        EXPECT_NEAR(length(f.eye), 10.0, 1e-9);
        // Object-style: tilting by a positive angle raises the view direction.
        EXPECT_NEAR(f.forward().y, direction * std::sin(limit), 1e-12);
        turn_level(f, {}, up, 0, -direction * 0.2);
        EXPECT_NEAR(elevation(f, up), direction * (limit - 0.2), 1e-12);
    }
}

TEST(LockHorizonTest, AtThePoleOnlyComingBackTilts) {
    // The top view looks straight down the world's up axis.
    const vec3 up{0, 1, 0};
    camera_frame f;
    f.right = {1, 0, 0};
    f.up = {0, 0, -1};
    f.back = {0, 1, 0};
    f.eye = {0, 10, 0};
    turn_level(f, {}, up, 0, -0.1);  // further over the pole: nothing
    expect_near(f.back, {0, 1, 0}, 1e-15, "held at the pole");
    turn_level(f, {}, up, 0.3, 0);  // a turn about the up axis spins the view about its axis
    expect_near(f.back, {0, 1, 0}, 1e-15, "still looking down");
    expect_near(f.right, {std::cos(0.3), 0, -std::sin(0.3)}, 1e-12, "spun");
    turn_level(f, {}, up, 0, 0.1);  // back from the pole, upright
    EXPECT_NEAR(elevation(f, up), -std::numbers::pi / 2 + 0.1, 1e-12);
    EXPECT_GT(dot(f.up, up), 0.09);
}

TEST(LockHorizonTest, YawTurnsAboutTheWorldUpAxisThroughThePivot) {
    const vec3 up = normalized({0, 1, 1});
    const vec3 pivot{1, 2, 3};
    camera_frame f = looking({6, 1, -2}, pivot, up);
    const double height = dot(f.eye - pivot, up);
    const double radius = length(cross(f.eye - pivot, up));
    const double before = elevation(f, up);
    for (int i = 0; i < 20; ++i) turn_level(f, pivot, up, 0.2, 0);
    EXPECT_NEAR(dot(f.eye - pivot, up), height, 1e-9);
    EXPECT_NEAR(length(cross(f.eye - pivot, up)), radius, 1e-9);
    EXPECT_NEAR(elevation(f, up), before, 1e-12);
}

}  // namespace
}  // namespace navtest
