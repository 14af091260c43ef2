// The view commands (button bindings view:NAME): where fit and the standard
// views put the camera. One pure function serves the engine's buttons and
// zbx_view_command, so an adapter that runs such commands from its own menu
// gets the very camera a device button gives.
#pragma once

#include <optional>

#include "engine/geometry.h"
#include "base/settings.h"

namespace zibrel::qorzibrel {

inline constexpr double default_tan_half_angle = 0.41421356237309503;  // tan(22.5 degrees): a 45 degree view

// A camera as the view commands read and write it.
struct view_camera {
    camera_frame frame;
    bool perspective = true;
    // Perspective: the tangents of half the view's horizontal and vertical angles.
    double tan_half_w = default_tan_half_angle;
    double tan_half_h = default_tan_half_angle;
    box extents{};  // orthographic: the view box in camera coordinates
};

// The camera after `command`. The standard views first turn the camera to the
// front view (`front`, its rotation within `world`; the identity when absent)
// and from there about the world's axes; `world` holds the world's right, up
// and toward-the-front-viewer axes ("coordinateSystem"). Every command then
// moves the eye back along the view until the bounding sphere of `model` fits
// the narrower angle, looking at its centre (orthographic: sets the extents
// around it, keeping their aspect and depth). Nothing when `model` is empty or
// not finite.
std::optional<view_camera> view_command_camera(view_command command, const view_camera& current,
                                               const camera_frame& world, const std::optional<camera_frame>& front,
                                               const box& model);

}  // namespace zibrel::qorzibrel
