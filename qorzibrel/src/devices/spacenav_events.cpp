#include "devices/spacenav_events.h"

#include <algorithm>
#include <cmath>

namespace zibrel::qorzibrel {

std::vector<spacenavd_input> spacenavd_inputs(std::span<const spnav_event> events, double full_scale) {
    static const double default_full_scale = settings{}.full_scale;
    const double full = std::isfinite(full_scale) && full_scale > 0 ? full_scale : default_full_scale;
    std::vector<spacenavd_input> out;
    out.reserve(events.size());
    for (const spnav_event& ev : events) {
        if (ev.type == spnav_event_motion) {
            const auto& m = ev.motion;
            spacenavd_input in;
            in.deflection = {m.x / full, m.y / full, m.z / full, m.rx / full, m.ry / full, m.rz / full};
            for (double& v : in.deflection) v = std::clamp(v, -1.0, 1.0);
            out.push_back(in);
        } else if (ev.type == spnav_event_button) {
            if (ev.button.bnum < 0 || ev.button.bnum > 255) continue;
            spacenavd_input in;
            in.kind = spacenavd_input::button;
            in.button_number = ev.button.bnum;
            in.pressed = ev.button.press != 0;
            out.push_back(in);
        }
    }
    return out;
}

}  // namespace zibrel::qorzibrel
