// NavigationModel turns the typed accessor interfaces into overridable methods
// named as Python sees them, and builds command trees from five calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "commands/action_node.h"
#include "framework/navigation3d.h"
#include "values/value.h"

class NavigationModel : public Qor::Kinemo::Navigation3D::CNavigation3D {
public:
    NavigationModel(bool multiThreaded, int options);
    ~NavigationModel() override;

    virtual std::optional<zibrel::point> _get_pointer_position() const = 0;
    virtual std::optional<zibrel::box> _get_view_extents() const = 0;
    virtual std::optional<double> _get_view_fov() const = 0;
    virtual std::optional<zibrel::frustum> _get_view_frustum() const = 0;
    virtual std::optional<bool> _get_is_view_perspective() const = 0;
    virtual std::optional<zibrel::box> _get_selection_extents() const = 0;
    virtual std::optional<zibrel::matrix> _get_selection_transform() const = 0;
    virtual std::optional<bool> _get_is_selection_empty() const = 0;
    virtual std::optional<bool> _get_pivot_visible() const = 0;
    virtual std::optional<zibrel::matrix> _get_camera_matrix() const = 0;
    virtual std::optional<zibrel::box> _get_model_extents() const = 0;
    virtual std::optional<zibrel::point> _get_pivot_position() const = 0;
    virtual std::optional<zibrel::point> _get_hit_look_at() const = 0;
    virtual std::optional<bool> _is_user_pivot() const = 0;
    virtual std::optional<zibrel::matrix> _get_coordinate_system() const;
    virtual std::optional<zibrel::matrix> _get_front_view() const;
    virtual std::optional<double> _get_units_to_meters() const;
    virtual std::optional<zibrel::plane> _get_floor_plane() const;
    virtual std::optional<zibrel::point> _get_camera_target() const;
    virtual std::optional<zibrel::plane> _get_view_construction_plane() const;
    virtual std::optional<bool> _get_is_view_rotatable() const;
    virtual std::optional<double> _get_view_focus_distance() const;
    virtual void _set_camera_matrix(zibrel::matrix) = 0;
    virtual void _set_view_extents(zibrel::box) = 0;
    virtual void _set_view_fov(double) = 0;
    virtual void _set_view_frustum(zibrel::frustum) = 0;
    virtual void _set_selection_transform(zibrel::matrix) = 0;
    virtual void _set_pivot_position(zibrel::point) = 0;
    virtual void _set_pivot_visible(bool) = 0;
    virtual void _set_hit_aperture(double) = 0;
    virtual void _set_hit_direction(zibrel::point) = 0;
    virtual void _set_hit_look_from(zibrel::point) = 0;
    virtual void _set_hit_selection_only(bool) = 0;
    virtual void _set_active_command(std::string) = 0;
    virtual void _set_motion_flag(bool) {}
    virtual void _set_settings_changed(int32_t) {}
    virtual void _set_key_press(int32_t) {}
    virtual void _set_key_release(int32_t) {}
    virtual void _set_transaction(int32_t) {}
    virtual void _set_camera_target(zibrel::point) {}
    virtual void _set_pointer_position(zibrel::point) {}

    int _get_frame_timing_source();
    void _put_frame_timing_source(int source);

    // The command builder.
    void _begin_command_set(std::string id, std::string label);
    void _begin_command_category(std::string id, std::string label);
    void _create_command(std::string id, std::string label, std::string description);
    void _end_command_category();
    void _end_command_set();

    // The accessors, each answered by the matching virtual above.
    int32_t GetCoordinateSystem(zibrel::matrix& matrix) override;
    int32_t GetFrontView(zibrel::matrix& matrix) override;
    int32_t GetCameraMatrix(zibrel::matrix& matrix) override;
    int32_t GetCameraTarget(zibrel::point& target) override;
    int32_t GetPointerPosition(zibrel::point& position) override;
    int32_t GetViewConstructionPlane(zibrel::plane& plane) override;
    int32_t GetViewExtents(zibrel::box& extents) override;
    int32_t GetViewFocusDistance(double& distance) override;
    int32_t GetViewFOV(double& fov) override;
    int32_t GetViewFrustum(zibrel::frustum& frustum) override;
    int32_t GetIsViewPerspective(zibrel::flag& perspective) override;
    int32_t GetIsViewRotatable(zibrel::flag& rotatable) override;
    int32_t SetCameraMatrix(const zibrel::matrix& matrix) override;
    int32_t SetCameraTarget(const zibrel::point& target) override;
    int32_t SetPointerPosition(const zibrel::point& position) override;
    int32_t SetViewExtents(const zibrel::box& extents) override;
    int32_t SetViewFOV(double fov) override;
    int32_t SetViewFrustum(const zibrel::frustum& frustum) override;
    int32_t GetModelExtents(zibrel::box& extents) override;
    int32_t GetSelectionExtents(zibrel::box& extents) override;
    int32_t GetSelectionTransform(zibrel::matrix& transform) override;
    int32_t GetIsSelectionEmpty(zibrel::flag& empty) override;
    int32_t SetSelectionTransform(const zibrel::matrix& transform) override;
    int32_t GetUnitsToMeters(double& meters) override;
    int32_t GetFloorPlane(zibrel::plane& floor) override;
    int32_t GetPivotPosition(zibrel::point& position) override;
    int32_t IsUserPivot(zibrel::flag& userPivot) override;
    int32_t SetPivotPosition(const zibrel::point& position) override;
    int32_t GetPivotVisible(zibrel::flag& visible) override;
    int32_t SetPivotVisible(bool visible) override;
    int32_t GetHitLookAt(zibrel::point& position) override;
    int32_t SetHitAperture(double aperture) override;
    int32_t SetHitDirection(const zibrel::vector& direction) override;
    int32_t SetHitLookFrom(const zibrel::point& eye) override;
    int32_t SetHitSelectionOnly(bool onlySelection) override;
    int32_t SetActiveCommand(std::string commandId) override;
    int32_t SetSettingsChanged(int32_t change) override;
    int32_t SetKeyPress(int32_t vkey) override;
    int32_t SetKeyRelease(int32_t vkey) override;
    int32_t SetTransaction(int32_t transaction) override;
    int32_t SetMotionFlag(bool motion) override;

    // A precondition of the command builder failed. Deliberately not derived
    // from std::exception: Python sees "Caught an unknown exception!".
    struct builder_state_error {};

private:
    Qor::Kinemo::CCommandSet commandSet_;
    std::vector<Qor::Kinemo::CCategory> categories_;
    bool setOpen_ = false;
};
