#include "engine/views.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace zibrel::qorzibrel {

namespace {

// The camera's axes for a standard view, the eye at the origin.
camera_frame standard_orientation(view_command command, const camera_frame& world,
                                  const std::optional<camera_frame>& front) {
    camera_frame f = world;
    f.eye = {};
    if (front) {
        const auto in_world = [&](vec3 v) { return world.right * v.x + world.up * v.y + world.back * v.z; };
        f.right = in_world(front->right);
        f.up = in_world(front->up);
        f.back = in_world(front->back);
    }
    const vec3 up = world.up, right = f.right;
    const double quarter = std::numbers::pi / 2;
    switch (command) {
    case view_command::back: f.rotate_about({}, up, 2 * quarter); break;
    case view_command::right: f.rotate_about({}, up, quarter); break;
    case view_command::left: f.rotate_about({}, up, -quarter); break;
    case view_command::top: f.rotate_about({}, right, -quarter); break;
    case view_command::bottom: f.rotate_about({}, right, quarter); break;
    case view_command::iso:
        f.rotate_about({}, right, -std::atan(1 / std::numbers::sqrt2));
        f.rotate_about({}, up, quarter / 2);
        break;
    default: break;
    }
    return f;
}

}  // namespace

std::optional<view_camera> view_command_camera(view_command command, const view_camera& current,
                                               const camera_frame& world, const std::optional<camera_frame>& front,
                                               const box& model) {
    if (!valid_box(model)) return std::nullopt;
    view_camera next = current;
    camera_frame& f = next.frame;
    if (command != view_command::fit) f = standard_orientation(command, world, front);
    const vec3 c = centre(model);
    const double r = std::max(length(to_vec(model.max) - to_vec(model.min)) / 2, 1e-9);
    if (current.perspective) {
        const double half = std::atan(std::min(current.tan_half_w, current.tan_half_h));
        f.eye = c + f.back * (r / std::sin(half));
    } else {
        f.eye = c + f.back * (2 * r);
        const box& e = current.extents;
        const double aspect = (e.max.x - e.min.x) / (e.max.y - e.min.y);
        const double hh = r * std::max(1.0, 1.0 / aspect), hw = hh * aspect;
        next.extents.min.x = -hw;
        next.extents.max.x = hw;
        next.extents.min.y = -hh;
        next.extents.max.y = hh;
    }
    return next;
}

}  // namespace zibrel::qorzibrel
