// ZibrelNavigationModel: the class an application subclasses to answer the
// library, and the lifetime rules that keep callbacks off a destroyed model.
#include <pybind11/chrono.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>
#include <unordered_set>
#include <vector>

#include "module/bindings.h"
#include "module/frame_time.h"
#include "module/py_navigation_model.h"

namespace py = pybind11;
using Qor::Kinemo::Navigation3D::CNavigation3D;

namespace {

// Live models, for the exit handler. Touched only with the interpreter lock
// held; holds no references, models remove themselves when destroyed.
std::unordered_set<PyNavigationModel*>& live_models() {
    static auto* models = new std::unordered_set<PyNavigationModel*>;
    return *models;
}

// Set by the exit handler, with the interpreter lock held: from then on every
// connection is closed for good.
bool exit_handler_ran = false;

void enable_navigation(NavigationModel& model, bool enable) {
    if (enable && exit_handler_ran && !model.IsEnabled())
        throw std::runtime_error(
            "Navigation cannot be enabled once the interpreter is exiting: the module's exit handler has closed "
            "every connection to the navigation library.");
    model.EnableNavigation(enable);
}

}  // namespace

PyNavigationModel::PyNavigationModel(bool multiThreaded, int options) : NavigationModel(multiThreaded, options) {
    live_models().insert(this);
}

PyNavigationModel::~PyNavigationModel() {
    live_models().erase(this);
    // The object is still whole here. No new callback may get in, and those
    // already inside must finish before the members go; they may be waiting for
    // the interpreter lock, so it is released while waiting.
    DetachConnection();
    py::gil_scoped_release release;
    WaitForCallbacks();
}

void PyNavigationModel::ForgetCallsOfOtherThreads() {
    for (PyNavigationModel* model : live_models()) model->Connection()->ForgetCallsOfOtherThreads();
}

void PyNavigationModel::DetachAll() {
    exit_handler_ran = true;
    // A model may be destroyed by another thread while the lock is released
    // below, so the wait holds its connection, not the model.
    std::vector<std::shared_ptr<Qor::Kinemo::Navigation3D::CZibrelImpl>> connections;
    for (PyNavigationModel* model : live_models()) {
        model->DetachConnection();
        connections.push_back(model->Connection());
    }
    py::gil_scoped_release release;
    for (auto& connection : connections) connection->WaitForCallbacks();
}

void register_model(py::module_& m) {
    py::class_<NavigationModel, PyNavigationModel>(m, "ZibrelNavigationModel")
        .def(py::init([](bool multiThreaded, int options) {
            return std::make_unique<PyNavigationModel>(multiThreaded, options);
        }))
        .def("_get_active_commands", &CNavigation3D::GetActiveCommands)
        .def("_put_active_commands", &CNavigation3D::PutActiveCommands)
        .def("_get_profile_hint", &CNavigation3D::GetProfileHint)
        .def("_put_profile_hint", &CNavigation3D::PutProfileHint)
        .def("_get_frame_timing_source", &NavigationModel::_get_frame_timing_source)
        .def("_put_frame_timing_source", &NavigationModel::_put_frame_timing_source)
        .def("_is_enabled", &CNavigation3D::IsEnabled)
        .def("_enable_navigation", &enable_navigation)
        .def("_get_frame_time", &CNavigation3D::GetFrameTime)
        .def("_put_frame_time", [](NavigationModel& self, zibrel::frame_time_arg time) { self.PutFrameTime(time.time); })
        .def("_begin_command_set", &NavigationModel::_begin_command_set)
        .def("_begin_command_category", &NavigationModel::_begin_command_category)
        .def("_create_command", &NavigationModel::_create_command)
        .def("_end_command_category", &NavigationModel::_end_command_category)
        .def("_end_command_set", &NavigationModel::_end_command_set)
        .def("_get_pointer_position", &NavigationModel::_get_pointer_position)
        .def("_get_view_extents", &NavigationModel::_get_view_extents)
        .def("_get_view_fov", &NavigationModel::_get_view_fov)
        .def("_get_view_frustum", &NavigationModel::_get_view_frustum)
        .def("_get_is_view_perspective", &NavigationModel::_get_is_view_perspective)
        .def("_get_selection_extents", &NavigationModel::_get_selection_extents)
        .def("_get_selection_transform", &NavigationModel::_get_selection_transform)
        .def("_get_is_selection_empty", &NavigationModel::_get_is_selection_empty)
        .def("_get_pivot_visible", &NavigationModel::_get_pivot_visible)
        .def("_get_camera_matrix", &NavigationModel::_get_camera_matrix)
        .def("_get_model_extents", &NavigationModel::_get_model_extents)
        .def("_get_pivot_position", &NavigationModel::_get_pivot_position)
        .def("_get_hit_look_at", &NavigationModel::_get_hit_look_at)
        .def("_is_user_pivot", &NavigationModel::_is_user_pivot)
        .def("_get_coordinate_system", &NavigationModel::_get_coordinate_system)
        .def("_get_front_view", &NavigationModel::_get_front_view)
        .def("_get_units_to_meters", &NavigationModel::_get_units_to_meters)
        .def("_get_floor_plane", &NavigationModel::_get_floor_plane)
        .def("_get_camera_target", &NavigationModel::_get_camera_target)
        .def("_get_view_construction_plane", &NavigationModel::_get_view_construction_plane)
        .def("_get_is_view_rotatable", &NavigationModel::_get_is_view_rotatable)
        .def("_get_view_focus_distance", &NavigationModel::_get_view_focus_distance)
        .def("_set_camera_matrix", &NavigationModel::_set_camera_matrix)
        .def("_set_view_extents", &NavigationModel::_set_view_extents)
        .def("_set_view_fov", &NavigationModel::_set_view_fov)
        .def("_set_view_frustum", &NavigationModel::_set_view_frustum)
        .def("_set_selection_transform", &NavigationModel::_set_selection_transform)
        .def("_set_pivot_position", &NavigationModel::_set_pivot_position)
        .def("_set_pivot_visible", &NavigationModel::_set_pivot_visible)
        .def("_set_hit_aperture", &NavigationModel::_set_hit_aperture)
        .def("_set_hit_direction", &NavigationModel::_set_hit_direction)
        .def("_set_hit_look_from", &NavigationModel::_set_hit_look_from)
        .def("_set_hit_selection_only", &NavigationModel::_set_hit_selection_only)
        .def("_set_active_command", &NavigationModel::_set_active_command)
        .def("_set_motion_flag", &NavigationModel::_set_motion_flag)
        .def("_set_settings_changed", &NavigationModel::_set_settings_changed)
        .def("_set_key_press", &NavigationModel::_set_key_press)
        .def("_set_key_release", &NavigationModel::_set_key_release)
        .def("_set_transaction", &NavigationModel::_set_transaction)
        .def("_set_camera_target", &NavigationModel::_set_camera_target)
        .def("_set_pointer_position", &NavigationModel::_set_pointer_position);

    // Library threads must stop calling back before the interpreter finalises:
    // after that, a thread that asks for the interpreter lock is ended in place.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { PyNavigationModel::DetachAll(); }));
    // A child process has only the thread that forked: calls other threads were
    // inside when it forked never finish there, and must not be waited for.
    py::module_::import("os").attr("register_at_fork")(
        py::arg("after_in_child") = py::cpp_function([] { PyNavigationModel::ForgetCallsOfOtherThreads(); }));
}
