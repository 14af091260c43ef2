#include "model/navigation_model.h"

#include "framework/errors.h"

using namespace zibrel;
using Base = Qor::Kinemo::Navigation3D::CNavigation3D;

NavigationModel::NavigationModel(bool multiThreaded, int options) : CNavigation3D(multiThreaded, options != 0) {}

NavigationModel::~NavigationModel() = default;

// ------------------------------------------------------------------ defaults

namespace {

// The native default of an overridable getter: the base accessor's answer, or
// no value when it fails.
template <typename T, typename Call>
std::optional<T> base_answer(Call call) {
    T output{};
    if (call(output) != 0) return std::nullopt;
    return output;
}

}  // namespace

std::optional<matrix> NavigationModel::_get_coordinate_system() const {
    return base_answer<matrix>([this](matrix& m) { return const_cast<NavigationModel*>(this)->Base::GetCoordinateSystem(m); });
}
std::optional<matrix> NavigationModel::_get_front_view() const {
    return base_answer<matrix>([this](matrix& m) { return const_cast<NavigationModel*>(this)->Base::GetFrontView(m); });
}
std::optional<double> NavigationModel::_get_units_to_meters() const {
    return base_answer<double>([this](double& d) { return const_cast<NavigationModel*>(this)->Base::GetUnitsToMeters(d); });
}
std::optional<plane> NavigationModel::_get_floor_plane() const {
    return base_answer<plane>([this](plane& p) { return const_cast<NavigationModel*>(this)->Base::GetFloorPlane(p); });
}
std::optional<point> NavigationModel::_get_camera_target() const {
    return base_answer<point>([this](point& p) { return const_cast<NavigationModel*>(this)->Base::GetCameraTarget(p); });
}
std::optional<plane> NavigationModel::_get_view_construction_plane() const {
    return base_answer<plane>(
        [this](plane& p) { return const_cast<NavigationModel*>(this)->Base::GetViewConstructionPlane(p); });
}
std::optional<bool> NavigationModel::_get_is_view_rotatable() const {
    flag rotatable = 0;
    if (const_cast<NavigationModel*>(this)->Base::GetIsViewRotatable(rotatable) != 0) return std::nullopt;
    return rotatable != 0;
}
std::optional<double> NavigationModel::_get_view_focus_distance() const {
    return base_answer<double>(
        [this](double& d) { return const_cast<NavigationModel*>(this)->Base::GetViewFocusDistance(d); });
}

int NavigationModel::_get_frame_timing_source() { return static_cast<int>(GetFrameTimingSource()); }

void NavigationModel::_put_frame_timing_source(int source) {
    PutFrameTimingSource(static_cast<Qor::Kinemo::Navigation3D::FrameTimingSource>(source));
}

// ----------------------------------------------------------------- accessors

namespace {

template <typename T>
int32_t answer(const std::optional<T>& result, T& output) {
    if (!result) return result_from_error(function_not_supported);
    output = *result;
    return 0;
}

int32_t answer_flag(const std::optional<bool>& result, flag& output) {
    bool b = false;
    if (!result) return result_from_error(function_not_supported);
    b = *result;
    output = b ? 1 : 0;
    return 0;
}

}  // namespace

int32_t NavigationModel::GetCoordinateSystem(matrix& m) { return answer(_get_coordinate_system(), m); }
int32_t NavigationModel::GetFrontView(matrix& m) { return answer(_get_front_view(), m); }
int32_t NavigationModel::GetCameraMatrix(matrix& m) { return answer(_get_camera_matrix(), m); }
int32_t NavigationModel::GetCameraTarget(point& p) { return answer(_get_camera_target(), p); }
int32_t NavigationModel::GetPointerPosition(point& p) { return answer(_get_pointer_position(), p); }
int32_t NavigationModel::GetViewConstructionPlane(plane& p) { return answer(_get_view_construction_plane(), p); }
int32_t NavigationModel::GetViewExtents(box& b) { return answer(_get_view_extents(), b); }
int32_t NavigationModel::GetViewFocusDistance(double& d) { return answer(_get_view_focus_distance(), d); }
int32_t NavigationModel::GetViewFOV(double& d) { return answer(_get_view_fov(), d); }
int32_t NavigationModel::GetViewFrustum(frustum& f) { return answer(_get_view_frustum(), f); }
int32_t NavigationModel::GetIsViewPerspective(flag& f) { return answer_flag(_get_is_view_perspective(), f); }
int32_t NavigationModel::GetIsViewRotatable(flag& f) { return answer_flag(_get_is_view_rotatable(), f); }
int32_t NavigationModel::GetModelExtents(box& b) { return answer(_get_model_extents(), b); }
int32_t NavigationModel::GetSelectionExtents(box& b) { return answer(_get_selection_extents(), b); }
int32_t NavigationModel::GetSelectionTransform(matrix& m) { return answer(_get_selection_transform(), m); }
int32_t NavigationModel::GetIsSelectionEmpty(flag& f) { return answer_flag(_get_is_selection_empty(), f); }
int32_t NavigationModel::GetUnitsToMeters(double& d) { return answer(_get_units_to_meters(), d); }
int32_t NavigationModel::GetFloorPlane(plane& p) { return answer(_get_floor_plane(), p); }
int32_t NavigationModel::GetPivotPosition(point& p) { return answer(_get_pivot_position(), p); }
int32_t NavigationModel::IsUserPivot(flag& f) { return answer_flag(_is_user_pivot(), f); }
int32_t NavigationModel::GetPivotVisible(flag& f) { return answer_flag(_get_pivot_visible(), f); }
int32_t NavigationModel::GetHitLookAt(point& p) { return answer(_get_hit_look_at(), p); }

int32_t NavigationModel::SetCameraMatrix(const matrix& m) { return _set_camera_matrix(m), 0; }
int32_t NavigationModel::SetCameraTarget(const point& p) { return _set_camera_target(p), 0; }
int32_t NavigationModel::SetPointerPosition(const point& p) { return _set_pointer_position(p), 0; }
int32_t NavigationModel::SetViewExtents(const box& b) { return _set_view_extents(b), 0; }
int32_t NavigationModel::SetViewFOV(double d) { return _set_view_fov(d), 0; }
int32_t NavigationModel::SetViewFrustum(const frustum& f) { return _set_view_frustum(f), 0; }
int32_t NavigationModel::SetSelectionTransform(const matrix& m) { return _set_selection_transform(m), 0; }
int32_t NavigationModel::SetPivotPosition(const point& p) { return _set_pivot_position(p), 0; }
int32_t NavigationModel::SetPivotVisible(bool b) { return _set_pivot_visible(b), 0; }
int32_t NavigationModel::SetHitAperture(double d) { return _set_hit_aperture(d), 0; }
int32_t NavigationModel::SetHitDirection(const vector& v) { return _set_hit_direction(point{v.x, v.y, v.z}), 0; }
int32_t NavigationModel::SetHitLookFrom(const point& p) { return _set_hit_look_from(p), 0; }
int32_t NavigationModel::SetHitSelectionOnly(bool b) { return _set_hit_selection_only(b), 0; }
int32_t NavigationModel::SetActiveCommand(std::string id) { return _set_active_command(std::string(id)), 0; }
int32_t NavigationModel::SetSettingsChanged(int32_t n) { return _set_settings_changed(n), 0; }
int32_t NavigationModel::SetKeyPress(int32_t n) { return _set_key_press(n), 0; }
int32_t NavigationModel::SetKeyRelease(int32_t n) { return _set_key_release(n), 0; }
int32_t NavigationModel::SetTransaction(int32_t n) { return _set_transaction(n), 0; }
int32_t NavigationModel::SetMotionFlag(bool b) { return _set_motion_flag(b), 0; }

// ----------------------------------------------------------- command builder

void NavigationModel::_begin_command_set(std::string id, std::string label) {
    if (setOpen_) throw builder_state_error{};
    commandSet_ = Qor::Kinemo::CCommandSet(std::move(id), std::move(label));
    setOpen_ = true;
}

void NavigationModel::_begin_command_category(std::string id, std::string label) {
    if (!setOpen_) throw builder_state_error{};
    categories_.emplace_back(std::move(id), std::move(label));
}

void NavigationModel::_create_command(std::string id, std::string label, std::string description) {
    if (!setOpen_) throw builder_state_error{};
    Qor::Kinemo::CCommand command(std::move(id), std::move(label), std::move(description));
    if (categories_.empty())
        commandSet_.push_back(std::move(command));
    else
        categories_.back().push_back(std::move(command));
}

void NavigationModel::_end_command_category() {
    if (categories_.empty()) throw builder_state_error{};
    Qor::Kinemo::CCategory category = std::move(categories_.back());
    categories_.pop_back();
    if (categories_.empty())
        commandSet_.push_back(std::move(category));
    else
        categories_.back().push_back(std::move(category));
}

void NavigationModel::_end_command_set() {
    if (!setOpen_) throw builder_state_error{};
    while (!categories_.empty()) _end_command_category();
    PublishCommandSet(commandSet_);
    setOpen_ = false;
}
