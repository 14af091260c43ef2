// Property names and the catalogue of their value types and access codes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/value.h"

namespace zibrel {

// One static copy of each name; pass these constants, not literals, so every
// part of the system uses the same address.
extern const char* const active;
extern const char* const focus;
extern const char* const motion;
extern const char* const coordinate_system;
extern const char* const device_present;
extern const char* const events_key_press;
extern const char* const events_key_release;
extern const char* const transaction;
extern const char* const frame_time;
extern const char* const frame_timing_source;
extern const char* const view_affine;
extern const char* const view_construction_plane;
extern const char* const view_extents;
extern const char* const view_fov;
extern const char* const view_frustum;
extern const char* const view_perspective;
extern const char* const view_rotatable;
extern const char* const view_target;
extern const char* const view_focus_distance;
extern const char* const views_front;
extern const char* const pivot_position;
extern const char* const pivot_user;
extern const char* const pivot_visible;
extern const char* const hit_lookfrom;
extern const char* const hit_direction;
extern const char* const hit_aperture;
extern const char* const hit_lookat;
extern const char* const hit_selection_only;
extern const char* const selection_affine;
extern const char* const selection_empty;
extern const char* const selection_extents;
extern const char* const model_extents;
extern const char* const model_floor_plane;
extern const char* const model_units_to_meters;
extern const char* const pointer_position;
extern const char* const commands_tree;
extern const char* const commands_active_set;
extern const char* const commands_active_command;
extern const char* const images;
extern const char* const settings;
extern const char* const settings_changed;

// Seen from the library: write_access means the library writes the property.
enum property_access : int32_t {
    no_access = 0,
    write_access = 1,
    read_access = 2,
    read_write_access = 3,
};

struct property_description {
    const char* name;
    value_type type;
    property_access access;
};

inline constexpr std::size_t property_count = 41;
extern const property_description property_table[property_count];

}  // namespace zibrel
