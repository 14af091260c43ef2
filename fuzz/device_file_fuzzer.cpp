// Our library's device-file reader over fuzzed text, and the replay of what it
// accepts. A refusal is one line of text; an accepted script holds only what the
// format allows (times in order, deflections within full deflection, buttons
// 0 to 255, nothing after "end"), and replaying it yields frames within full
// deflection and no button event it did not hold.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "devices/device_input.h"

using namespace zibrel::qorzibrel;

namespace {


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto script = parse_device_script(text, error);
    if (!script) {
        // One line of text, as it is written on standard error.
        FUZZ_CHECK(!error.empty() && error.find('\0') == std::string::npos && error.find('\n') == std::string::npos);
        return 0;
    }
    const auto& events = script->events;
    FUZZ_CHECK(!events.empty());
    double last = 0;
    size_t buttons = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        const script_event& ev = events[i];
        FUZZ_CHECK(std::isfinite(ev.t_ms) && ev.t_ms >= last);
        last = ev.t_ms;
        switch (ev.kind) {
        case script_event::motion:
            for (double v : ev.deflection) FUZZ_CHECK(std::isfinite(v) && std::fabs(v) <= 1.0);
            break;
        case script_event::press:
        case script_event::release:
            FUZZ_CHECK(ev.button >= 0 && ev.button <= 255);
            ++buttons;
            break;
        case script_event::end: FUZZ_CHECK(i + 1 == events.size()); break;
        }
    }

    // Replay it frame by frame at each event's time and once after the last.
    settings s;
    device_input input(s);
    input.attach_script(*script);
    size_t seen = 0;
    auto frame = [&](double T) {
        const frame_input in = input.consume(T);
        for (double v : in.deflection) FUZZ_CHECK(std::isfinite(v) && std::fabs(v) <= 1.0);
        seen += in.buttons.size();
        FUZZ_CHECK(seen <= buttons);
    };
    frame(0);
    for (size_t i = 0; i < events.size() && i < 256; ++i) frame(events[i].t_ms);
    frame(last + 1000);
    FUZZ_CHECK(seen == buttons);
    return 0;
}
