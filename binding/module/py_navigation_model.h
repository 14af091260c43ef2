// The trampoline through which native code reaches a Python subclass's overrides.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "model/navigation_model.h"

class PyNavigationModel : public NavigationModel {
public:
    PyNavigationModel(bool multiThreaded, int options);
    ~PyNavigationModel() override;

    std::optional<zibrel::point> _get_pointer_position() const override { PYBIND11_OVERRIDE_PURE(std::optional<zibrel::point>, NavigationModel, _get_pointer_position, ); }
    std::optional<zibrel::box> _get_view_extents() const override { PYBIND11_OVERRIDE_PURE(std::optional<zibrel::box>, NavigationModel, _get_view_extents, ); }
    std::optional<double> _get_view_fov() const override { PYBIND11_OVERRIDE_PURE(std::optional<double>, NavigationModel, _get_view_fov, ); }
    std::optional<zibrel::frustum> _get_view_frustum() const override { PYBIND11_OVERRIDE_PURE(std::optional<zibrel::frustum>, NavigationModel, _get_view_frustum, ); }
    std::optional<bool> _get_is_view_perspective() const override { PYBIND11_OVERRIDE_PURE(std::optional<bool>, NavigationModel, _get_is_view_perspective, ); }
    std::optional<zibrel::box> _get_selection_extents() const override { PYBIND11_OVERRIDE_PURE(std::optional<zibrel::box>, NavigationModel, _get_selection_extents, ); }
    std::optional<zibrel::matrix> _get_selection_transform() const override { PYBIND11_OVERRIDE_PURE(std::optional<zibrel::matrix>, NavigationModel, _get_selection_transform, ); }
    std::optional<bool> _get_is_selection_empty() const override { PYBIND11_OVERRIDE_PURE(std::optional<bool>, NavigationModel, _get_is_selection_empty, ); }
    std::optional<bool> _get_pivot_visible() const override { PYBIND11_OVERRIDE_PURE(std::optional<bool>, NavigationModel, _get_pivot_visible, ); }
    std::optional<zibrel::matrix> _get_camera_matrix() const override { PYBIND11_OVERRIDE_PURE(std::optional<zibrel::matrix>, NavigationModel, _get_camera_matrix, ); }
    std::optional<zibrel::box> _get_model_extents() const override { PYBIND11_OVERRIDE_PURE(std::optional<zibrel::box>, NavigationModel, _get_model_extents, ); }
    std::optional<zibrel::point> _get_pivot_position() const override { PYBIND11_OVERRIDE_PURE(std::optional<zibrel::point>, NavigationModel, _get_pivot_position, ); }
    std::optional<zibrel::point> _get_hit_look_at() const override { PYBIND11_OVERRIDE_PURE(std::optional<zibrel::point>, NavigationModel, _get_hit_look_at, ); }
    std::optional<bool> _is_user_pivot() const override { PYBIND11_OVERRIDE_PURE(std::optional<bool>, NavigationModel, _is_user_pivot, ); }
    std::optional<zibrel::matrix> _get_coordinate_system() const override { PYBIND11_OVERRIDE(std::optional<zibrel::matrix>, NavigationModel, _get_coordinate_system, ); }
    std::optional<zibrel::matrix> _get_front_view() const override { PYBIND11_OVERRIDE(std::optional<zibrel::matrix>, NavigationModel, _get_front_view, ); }
    std::optional<double> _get_units_to_meters() const override { PYBIND11_OVERRIDE(std::optional<double>, NavigationModel, _get_units_to_meters, ); }
    std::optional<zibrel::plane> _get_floor_plane() const override { PYBIND11_OVERRIDE(std::optional<zibrel::plane>, NavigationModel, _get_floor_plane, ); }
    std::optional<zibrel::point> _get_camera_target() const override { PYBIND11_OVERRIDE(std::optional<zibrel::point>, NavigationModel, _get_camera_target, ); }
    std::optional<zibrel::plane> _get_view_construction_plane() const override { PYBIND11_OVERRIDE(std::optional<zibrel::plane>, NavigationModel, _get_view_construction_plane, ); }
    std::optional<bool> _get_is_view_rotatable() const override { PYBIND11_OVERRIDE(std::optional<bool>, NavigationModel, _get_is_view_rotatable, ); }
    std::optional<double> _get_view_focus_distance() const override { PYBIND11_OVERRIDE(std::optional<double>, NavigationModel, _get_view_focus_distance, ); }
    void _set_camera_matrix(zibrel::matrix value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_camera_matrix, value); }
    void _set_view_extents(zibrel::box value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_view_extents, value); }
    void _set_view_fov(double value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_view_fov, value); }
    void _set_view_frustum(zibrel::frustum value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_view_frustum, value); }
    void _set_selection_transform(zibrel::matrix value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_selection_transform, value); }
    void _set_pivot_position(zibrel::point value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_pivot_position, value); }
    void _set_pivot_visible(bool value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_pivot_visible, value); }
    void _set_hit_aperture(double value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_hit_aperture, value); }
    void _set_hit_direction(zibrel::point value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_hit_direction, value); }
    void _set_hit_look_from(zibrel::point value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_hit_look_from, value); }
    void _set_hit_selection_only(bool value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_hit_selection_only, value); }
    void _set_active_command(std::string value) override { PYBIND11_OVERRIDE_PURE(void, NavigationModel, _set_active_command, value); }
    void _set_motion_flag(bool value) override { PYBIND11_OVERRIDE(void, NavigationModel, _set_motion_flag, value); }
    void _set_settings_changed(int32_t value) override { PYBIND11_OVERRIDE(void, NavigationModel, _set_settings_changed, value); }
    void _set_key_press(int32_t value) override { PYBIND11_OVERRIDE(void, NavigationModel, _set_key_press, value); }
    void _set_key_release(int32_t value) override { PYBIND11_OVERRIDE(void, NavigationModel, _set_key_release, value); }
    void _set_transaction(int32_t value) override { PYBIND11_OVERRIDE(void, NavigationModel, _set_transaction, value); }
    void _set_camera_target(zibrel::point value) override { PYBIND11_OVERRIDE(void, NavigationModel, _set_camera_target, value); }
    void _set_pointer_position(zibrel::point value) override { PYBIND11_OVERRIDE(void, NavigationModel, _set_pointer_position, value); }

    // Closes every connection of a live model and waits for the callbacks in
    // progress; run at interpreter exit, while library threads can still take the
    // interpreter lock to finish.
    static void DetachAll();

    // In the child of a fork: the calls of threads that did not come along are over.
    static void ForgetCallsOfOtherThreads();
};
