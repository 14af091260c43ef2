// What the events libspnav hands over mean to a receiver of input. Kept apart
// from the reader, which owns the daemon connection, so that it can be tested
// and fuzzed on its own: the daemon is another process and may send anything.
#pragma once

#include <span>
#include <vector>

#include "devices/device_input.h"

namespace zibrel::qorzibrel {

// The few libspnav declarations used, as libspnav 1.0 defines them.
constexpr int spnav_event_motion = 1;
constexpr int spnav_event_button = 2;
constexpr int spnav_event_dev = 3;  // a device came or went

union spnav_event {
    int type;
    struct {
        int type;
        int x, y, z;
        int rx, ry, rz;
        unsigned int period;
        int* data;
    } motion;
    struct {
        int type;
        int press;
        int bnum;
    } button;
    char room[128];  // larger than any event of the library
};

// One input a spacenavd event gives.
struct spacenavd_input {
    enum kind_t { sample, button } kind = sample;
    axes deflection{};     // sample: fractions of full deflection, within [-1, 1]
    int button_number = 0;  // button: 0 to 255
    bool pressed = false;
};

// The inputs of a batch of events, in their order, for a receiver whose full
// deflection is the raw value `full_scale`. A motion event gives a sample, each
// value divided by the full scale and clamped to full deflection; a button event
// gives a press (any non-zero `press`) or a release. Device events and unknown
// types give nothing, nor do button numbers outside 0 to 255 (no binding can
// name them). A full scale that is not a positive finite number is taken as
// the settings' default, so that no value is ever NaN or infinite.
std::vector<spacenavd_input> spacenavd_inputs(std::span<const spnav_event> events, double full_scale);

}  // namespace zibrel::qorzibrel
