#include "framework/properties.h"

namespace zibrel {

// Constant-initialised: the catalogue exists before any start-up code runs.
constexpr const char* active = "active";
constexpr const char* focus = "focus";
constexpr const char* motion = "motion";
constexpr const char* coordinate_system = "coordinateSystem";
constexpr const char* device_present = "device.present";
constexpr const char* events_key_press = "events.keyPress";
constexpr const char* events_key_release = "events.keyRelease";
constexpr const char* transaction = "transaction";
constexpr const char* frame_time = "frame.time";
constexpr const char* frame_timing_source = "frame.timingSource";
constexpr const char* view_affine = "view.affine";
constexpr const char* view_construction_plane = "view.constructionPlane";
constexpr const char* view_extents = "view.extents";
constexpr const char* view_fov = "view.fov";
constexpr const char* view_frustum = "view.frustum";
constexpr const char* view_perspective = "view.perspective";
constexpr const char* view_rotatable = "view.rotatable";
constexpr const char* view_target = "view.target";
constexpr const char* view_focus_distance = "view.focusDistance";
constexpr const char* views_front = "views.front";
constexpr const char* pivot_position = "pivot.position";
constexpr const char* pivot_user = "pivot.user";
constexpr const char* pivot_visible = "pivot.visible";
constexpr const char* hit_lookfrom = "hit.lookfrom";
constexpr const char* hit_direction = "hit.direction";
constexpr const char* hit_aperture = "hit.aperture";
constexpr const char* hit_lookat = "hit.lookat";
constexpr const char* hit_selection_only = "hit.selectionOnly";
constexpr const char* selection_affine = "selection.affine";
constexpr const char* selection_empty = "selection.empty";
constexpr const char* selection_extents = "selection.extents";
constexpr const char* model_extents = "model.extents";
constexpr const char* model_floor_plane = "model.floorPlane";
constexpr const char* model_units_to_meters = "model.unitsToMeters";
constexpr const char* pointer_position = "pointer.position";
constexpr const char* commands_tree = "commands.tree";
constexpr const char* commands_active_set = "commands.activeSet";
constexpr const char* commands_active_command = "commands.activeCommand";
constexpr const char* images = "images";
constexpr const char* settings = "settings";
constexpr const char* settings_changed = "settings.changed";

constinit const property_description property_table[property_count] = {
    {active, bool_type, no_access},
    {focus, bool_type, no_access},
    {motion, bool_type, write_access},
    {coordinate_system, matrix_type, read_access},
    {device_present, bool_type, no_access},
    {events_key_press, long_type, write_access},
    {events_key_release, long_type, write_access},
    {transaction, long_type, write_access},
    {frame_time, double_type, read_access},
    {frame_timing_source, long_type, read_access},
    {view_affine, matrix_type, read_write_access},
    {view_construction_plane, plane_type, read_access},
    {view_extents, box_type, read_write_access},
    {view_fov, float_type, read_write_access},
    {view_frustum, frustum_type, read_access},
    {view_perspective, bool_type, read_access},
    {view_rotatable, bool_type, read_access},
    {view_target, point_type, read_access},
    {view_focus_distance, float_type, read_access},
    {views_front, matrix_type, read_access},
    {pivot_position, point_type, read_write_access},
    {pivot_user, bool_type, no_access},
    {pivot_visible, bool_type, write_access},
    {hit_lookfrom, point_type, write_access},
    {hit_direction, vector_type, write_access},
    {hit_aperture, float_type, write_access},
    {hit_lookat, point_type, read_access},
    {hit_selection_only, bool_type, write_access},
    {selection_affine, matrix_type, read_write_access},
    {selection_empty, bool_type, read_access},
    {selection_extents, box_type, read_access},
    {model_extents, box_type, read_access},
    {model_floor_plane, plane_type, read_access},
    {model_units_to_meters, float_type, read_access},
    {pointer_position, point_type, read_access},
    {commands_tree, actionnode_type, no_access},
    {commands_active_set, string_type, no_access},
    {commands_active_command, string_type, write_access},
    {images, imagearray_type, no_access},
    {settings, string_type, no_access},
    {settings_changed, long_type, write_access},
};

}  // namespace zibrel
