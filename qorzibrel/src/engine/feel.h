// Navigation feel: which axes of a frame's deflection move the view, the speed
// buttons, and turns that keep the horizon level. Pure functions of their
// arguments, so the engine's frames and the tests use the same maths.
#pragma once

#include <array>
#include <numbers>

#include "engine/geometry.h"
#include "base/settings.h"

namespace zibrel::qorzibrel {

// The axes of a frame's shaped deflection that may move the view: rotation and
// translation switched off (zoom counts as translation), the roll axis dropped
// under lock-horizon, then, with dominant-axis, only the strongest of the rest:
// the largest |deflection| times the axis's own sensitivity (translation-,
// zoom- or rotation-sensitivity); on a tie the first in x y z rx ry rz order.
std::array<double, axis_count> select_axes(const std::array<double, axis_count>& deflection, const settings& s);

// The speed buttons: a number of steps of √2 from the configured speed,
// bounded to [-max_speed_steps, max_speed_steps] (1/8 to 8 times).
inline constexpr int max_speed_steps = 6;
int next_speed_steps(int steps, speed_change change);
double speed_factor(int steps);

// Lock-horizon keeps the camera's tilt this far from straight up or down.
inline constexpr double horizon_pole_margin = 5.0 * std::numbers::pi / 180.0;

// The camera's elevation under a level horizon: the signed angle of the view
// direction above the horizontal plane, in (-pi, pi]; beyond ±pi/2 the camera
// is upside down. `world_up` is a unit vector.
double elevation(const camera_frame& f, vec3 world_up);

// A turn under lock-horizon, about the pivot (which keeps its place on screen):
// first the camera is rolled level (right axis perpendicular to the world's up,
// up pointing to the world's up side), then turned by `yaw` radians about the
// world's up axis and tilted by `tilt` radians about its right axis, the tilt
// limited so the elevation stays within horizon_pole_margin of straight up or
// down (a camera already beyond that may only come back).
void turn_level(camera_frame& f, vec3 pivot, vec3 world_up, double yaw, double tilt);

}  // namespace zibrel::qorzibrel
