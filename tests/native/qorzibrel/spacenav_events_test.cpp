// The handling of the events libspnav hands over from spacenavd: motion as
// fractions of full deflection, buttons, device events, and values no daemon
// should send but one may.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "devices/spacenav_events.h"

namespace navtest {
namespace {

using namespace zibrel::qorzibrel;

spnav_event motion(int x, int y, int z, int rx, int ry, int rz, unsigned period = 16) {
    spnav_event ev{};
    ev.motion = {spnav_event_motion, x, y, z, rx, ry, rz, period, nullptr};
    return ev;
}
spnav_event button(int press, int number) {
    spnav_event ev{};
    ev.button = {spnav_event_button, press, number};
    return ev;
}
spnav_event of_type(int type) {
    spnav_event ev{};
    ev.button = {type, 1, 1};  // what a button would hold: only the type may decide
    return ev;
}

// What an input should be: a sample, or a button (number, pressed).
struct expected {
    bool is_button;
    axes deflection{};
    int number = 0;
    bool pressed = false;
};
expected sample(axes a) { return {false, a}; }
expected press(int n) { return {true, {}, n, true}; }
expected release(int n) { return {true, {}, n, false}; }

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct events_case {
    const char* name;
    double full_scale;
    std::vector<spnav_event> events;
    std::vector<expected> inputs;
};

class SpacenavdEventsTest : public testing::TestWithParam<events_case> {};

TEST_P(SpacenavdEventsTest, GiveTheirInputsInOrder) {
    const events_case& c = GetParam();
    const std::vector<spacenavd_input> got = spacenavd_inputs(c.events, c.full_scale);
    ASSERT_EQ(got.size(), c.inputs.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const expected& want = c.inputs[i];
        if (want.is_button) {
            ASSERT_EQ(got[i].kind, spacenavd_input::button) << "input " << i;
            EXPECT_EQ(got[i].button_number, want.number) << "input " << i;
            EXPECT_EQ(got[i].pressed, want.pressed) << "input " << i;
        } else {
            ASSERT_EQ(got[i].kind, spacenavd_input::sample) << "input " << i;
            for (size_t a = 0; a < axis_count; ++a) {
                EXPECT_TRUE(std::isfinite(got[i].deflection[a])) << "input " << i << " axis " << a;
                EXPECT_DOUBLE_EQ(got[i].deflection[a], want.deflection[a]) << "input " << i << " axis " << a;
            }
        }
    }
}

const events_case cases[] = {
    {"motion_as_fractions_of_full_scale", 350, {motion(175, -350, 0, 35, -70, 1)},
     {sample({0.5, -1, 0, 0.1, -0.2, 1 / 350.0})}},
    {"motion_beyond_full_scale_is_clamped", 350, {motion(351, -351, 700, -700, 100000, -100000)},
     {sample({1, -1, 1, -1, 1, -1})}},
    {"other_full_scales", 1000, {motion(500, -250, 1000, 0, 2000, -1)}, {sample({0.5, -0.25, 1, 0, 1, -0.001})}},
    {"extreme_values_are_full_deflection", 350, {motion(INT_MIN, INT_MAX, INT_MIN, INT_MAX, 0, -1, UINT_MAX)},
     {sample({-1, 1, -1, 1, 0, -1 / 350.0})}},
    {"press_and_release_with_their_numbers", 350, {button(1, 0), button(0, 0), button(-7, 255), button(0, 255)},
     {press(0), release(0), press(255), release(255)}},
    {"button_numbers_outside_0_to_255_are_dropped", 350,
     {button(1, -1), button(1, 256), button(1, INT_MIN), button(0, INT_MAX), button(1, 12)}, {press(12)}},
    {"device_and_unknown_events_give_nothing", 350,
     {of_type(spnav_event_dev), of_type(0), of_type(4), of_type(-1), of_type(INT_MIN), of_type(INT_MAX)}, {}},
    {"a_mixed_batch_keeps_its_order", 350,
     {motion(35, 0, 0, 0, 0, 0), button(1, 3), of_type(spnav_event_dev), motion(0, 0, 0, 0, 0, -35), button(0, 3),
      of_type(99)},
     {sample({0.1, 0, 0, 0, 0, 0}), press(3), sample({0, 0, 0, 0, 0, -0.1}), release(3)}},
    {"an_empty_batch", 350, {}, {}},
    // No receiver could mean these: the default full scale (350) stands in, and
    // a zero axis stays zero rather than 0/0.
    {"full_scale_zero", 0, {motion(175, 0, -350, 0, 0, 0)}, {sample({0.5, 0, -1, 0, 0, 0})}},
    {"full_scale_negative", -350, {motion(175, 0, -350, 0, 0, 0)}, {sample({0.5, 0, -1, 0, 0, 0})}},
    {"full_scale_nan", nan, {motion(175, 0, -350, 0, 0, 0)}, {sample({0.5, 0, -1, 0, 0, 0})}},
    {"full_scale_infinite", inf, {motion(175, 0, -350, 0, 0, 0)}, {sample({0.5, 0, -1, 0, 0, 0})}},
    {"full_scale_minus_infinite", -inf, {motion(175, 0, -350, 0, 0, 0)}, {sample({0.5, 0, -1, 0, 0, 0})}},
    {"full_scale_tiny_but_positive", std::numeric_limits<double>::denorm_min(), {motion(1, -1, 0, INT_MIN, 0, 0)},
     {sample({1, -1, 0, -1, 0, 0})}},
};

INSTANTIATE_TEST_SUITE_P(Batches, SpacenavdEventsTest, testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace navtest
