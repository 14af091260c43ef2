#include "engine/feel.h"

#include <algorithm>
#include <cmath>

namespace zibrel::qorzibrel {

std::array<double, axis_count> select_axes(const std::array<double, axis_count>& deflection, const settings& s) {
    auto out = deflection;
    if (!s.translation) out[0] = out[1] = out[2] = 0;
    if (!s.rotation) out[3] = out[4] = out[5] = 0;
    if (s.lock_horizon) out[5] = 0;  // no roll: the horizon stays level
    if (s.dominant_axis) {
        // Deflections weighted by what each axis moves: a slowed axis needs a
        // stronger push to win, and an axis at sensitivity 0 never does.
        const std::array<double, axis_count> weight{s.translation_sensitivity, s.translation_sensitivity,
                                                    s.zoom_sensitivity,        s.rotation_sensitivity,
                                                    s.rotation_sensitivity,    s.rotation_sensitivity};
        size_t best = axis_count;
        double strongest = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            const double w = std::fabs(out[i]) * weight[i];
            if (w > strongest) {
                strongest = w;
                best = i;
            }
        }
        for (size_t i = 0; i < out.size(); ++i) {
            if (i != best) out[i] = 0;
        }
    }
    return out;
}

int next_speed_steps(int steps, speed_change change) {
    switch (change) {
    case speed_change::faster: return std::min(steps + 1, max_speed_steps);
    case speed_change::slower: return std::max(steps - 1, -max_speed_steps);
    case speed_change::reset: return 0;
    }
    return steps;
}

double speed_factor(int steps) { return std::exp2(steps / 2.0); }

double elevation(const camera_frame& f, vec3 world_up) {
    return std::atan2(dot(f.forward(), world_up), dot(f.up, world_up));
}

void turn_level(camera_frame& f, vec3 pivot, vec3 world_up, double yaw, double tilt) {
    const vec3 forward = f.forward();
    const vec3 level = cross(forward, world_up);
    // Looking straight along the up axis every right axis is level already.
    if (length(level) > 1e-9) {
        const vec3 right = normalized(level);
        const double roll = std::atan2(dot(cross(f.right, right), forward), dot(f.right, right));
        if (roll != 0) f.rotate_about(pivot, forward, roll);
    }
    if (yaw != 0) f.rotate_about(pivot, world_up, yaw);
    if (tilt != 0) {
        // Turning about the (level) right axis changes the elevation by the same angle.
        const double limit = std::numbers::pi / 2 - horizon_pole_margin;
        const double now = elevation(f, world_up);
        const double wanted = std::clamp(now + tilt, std::min(-limit, now), std::max(limit, now));
        if (wanted != now) f.rotate_about(pivot, f.right, wanted - now);
    }
}

}  // namespace zibrel::qorzibrel
