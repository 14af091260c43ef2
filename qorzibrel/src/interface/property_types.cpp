#include "interface/property_types.h"

#include <array>
#include <utility>

#include "zibrel/value_record.h"

namespace zibrel::qorzibrel {
namespace {

struct property_entry {
    std::string_view name;
    value_type type;
};

constexpr std::array<property_entry, 41> properties{{
    {"active", bool_type},
    {"focus", bool_type},
    {"motion", bool_type},
    {"coordinateSystem", matrix_type},
    {"device.present", bool_type},
    {"events.keyPress", long_type},
    {"events.keyRelease", long_type},
    {"transaction", long_type},
    {"frame.time", double_type},
    {"frame.timingSource", long_type},
    {"view.affine", matrix_type},
    {"view.constructionPlane", plane_type},
    {"view.extents", box_type},
    {"view.fov", float_type},
    {"view.frustum", frustum_type},
    {"view.perspective", bool_type},
    {"view.rotatable", bool_type},
    {"view.target", point_type},
    {"view.focusDistance", float_type},
    {"views.front", matrix_type},
    {"pivot.position", point_type},
    {"pivot.user", bool_type},
    {"pivot.visible", bool_type},
    {"hit.lookfrom", point_type},
    {"hit.direction", vector_type},
    {"hit.aperture", float_type},
    {"hit.lookat", point_type},
    {"hit.selectionOnly", bool_type},
    {"selection.affine", matrix_type},
    {"selection.empty", bool_type},
    {"selection.extents", box_type},
    {"model.extents", box_type},
    {"model.floorPlane", plane_type},
    {"model.unitsToMeters", float_type},
    {"pointer.position", point_type},
    {tree_property, actionnode_type},
    {active_set_property, string_type},
    {"commands.activeCommand", string_type},
    {"images", imagearray_type},
    {"settings", string_type},
    {"settings.changed", long_type},
}};

}  // namespace

int32_t property_type(std::string_view name) noexcept {
    // A linear scan: 41 short names, looked up rarely.
    for (const auto& entry : properties) {
        if (entry.name == name) return entry.type;
    }
    return -1;
}

}  // namespace zibrel::qorzibrel
