// Our library's handling of the events libspnav hands over from spacenavd,
// over fuzzed batches: motion, button and device events with any values
// (INT_MIN, any period and data pointer, any press and button number), events
// of unknown types and events of arbitrary bytes, for a receiver with any full
// scale (zero, negative, NaN, infinite, tiny, huge). Whatever they hold, every
// sample lies within full deflection, has the sign of its raw value and is the
// raw value's fraction of full scale up to full deflection; every button is
// 0 to 255 with the event's state; and each input comes from its own event,
// in order.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/check.h"
#include "devices/spacenav_events.h"

using namespace zibrel::qorzibrel;

namespace {

double consume_full_scale(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 8)) {
    case 0: return 350.0;
    case 1: return 1.0;
    case 2: return 0.0;
    case 3: return -350.0;
    case 4: return std::numeric_limits<double>::quiet_NaN();
    case 5: return std::numeric_limits<double>::infinity();
    case 6: return -std::numeric_limits<double>::infinity();
    case 7: return std::numeric_limits<double>::denorm_min();
    default: return in.ConsumeFloatingPoint<double>();
    }
}

spnav_event consume_event(FuzzedDataProvider& in) {
    spnav_event ev{};
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0:
        ev.motion.type = spnav_event_motion;
        ev.motion.x = in.ConsumeIntegral<int>();
        ev.motion.y = in.ConsumeIntegral<int>();
        ev.motion.z = in.ConsumeIntegral<int>();
        ev.motion.rx = in.ConsumeIntegral<int>();
        ev.motion.ry = in.ConsumeIntegral<int>();
        ev.motion.rz = in.ConsumeIntegral<int>();
        ev.motion.period = in.ConsumeIntegral<unsigned>();
        // Never followed: a pointer of the daemon's making means nothing here.
        ev.motion.data = reinterpret_cast<int*>(in.ConsumeIntegral<uintptr_t>());
        break;
    case 1:
        ev.button.type = spnav_event_button;
        ev.button.press = in.ConsumeIntegral<int>();
        ev.button.bnum = in.ConsumeIntegral<int>();
        break;
    case 2: ev.type = spnav_event_dev; break;
    case 3:
        ev.button.type = in.ConsumeIntegral<int>();
        ev.button.press = in.ConsumeIntegral<int>();
        ev.button.bnum = in.ConsumeIntegral<int>();
        break;
    default: {
        const std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(sizeof ev.room);
        if (!raw.empty()) std::memcpy(ev.room, raw.data(), raw.size());
        break;
    }
    }
    return ev;
}

void check_sample(const spnav_event& ev, const spacenavd_input& in, double full) {
    FUZZ_CHECK(in.kind == spacenavd_input::sample);
    const auto& m = ev.motion;
    const int raw[6] = {m.x, m.y, m.z, m.rx, m.ry, m.rz};
    for (size_t i = 0; i < 6; ++i) {
        const double v = in.deflection[i];
        FUZZ_CHECK(std::isfinite(v) && std::fabs(v) <= 1.0);
        FUZZ_CHECK((v > 0) == (raw[i] > 0) && (v < 0) == (raw[i] < 0));
        const double fraction = raw[i] / full;
        if (std::fabs(fraction) <= 1.0) FUZZ_CHECK(v == fraction);
        else FUZZ_CHECK(std::fabs(v) == 1.0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const double full_scale = consume_full_scale(in);
    std::vector<spnav_event> events;
    // As many as the reader takes in one round.
    while (in.remaining_bytes() > 0 && events.size() < 4096) events.push_back(consume_event(in));

    const std::vector<spacenavd_input> inputs = spacenavd_inputs(events, full_scale);
    for (const spacenavd_input& i : inputs) {
        FUZZ_CHECK(i.kind == spacenavd_input::sample || i.kind == spacenavd_input::button);
        if (i.kind == spacenavd_input::button) FUZZ_CHECK(i.button_number >= 0 && i.button_number <= 255);
    }
    // A full scale no receiver could mean is the settings' default.
    const bool usable = std::isfinite(full_scale) && full_scale > 0;
    const double full = usable ? full_scale : settings{}.full_scale;
    size_t next = 0;
    for (const spnav_event& ev : events) {
        if (ev.type == spnav_event_motion) {
            FUZZ_CHECK(next < inputs.size());
            check_sample(ev, inputs[next++], full);
        } else if (ev.type == spnav_event_button && ev.button.bnum >= 0 && ev.button.bnum <= 255) {
            FUZZ_CHECK(next < inputs.size());
            const spacenavd_input& b = inputs[next++];
            FUZZ_CHECK(b.kind == spacenavd_input::button && b.button_number == ev.button.bnum &&
                       b.pressed == (ev.button.press != 0));
        }
    }
    FUZZ_CHECK(next == inputs.size());
    return 0;
}
