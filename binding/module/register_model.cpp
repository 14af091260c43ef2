// ZibrelNavigationModel: the class an application subclasses to answer the
// library, and the lifetime rules that keep callbacks off a destroyed model.
#include <pybind11/chrono.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstddef>
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

using model_class = py::class_<NavigationModel, PyNavigationModel>;
using binder = void (*)(model_class&);

#define ZIBREL_COUNT(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn) \
    ZIBREL_IF_SERVED(gk, +1) ZIBREL_IF_SERVED(sk, +1)
constexpr std::size_t overridable_count = 0 ZIBREL_SERVED_PROPERTIES(ZIBREL_COUNT);
#undef ZIBREL_COUNT

// The overridable methods in the order Python lists them (the table's gn and sn
// columns); a place left empty or taken twice stops the build.
constexpr std::array<binder, overridable_count> overridable_methods = [] {
    std::array<binder, overridable_count> binders{};
    std::array<int, overridable_count> bound_at{};
#define ZIBREL_BIND(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn)            \
    ZIBREL_IF_SERVED(gk, binders.at(gn - 1) = [](model_class& c) { c.def(#get, &NavigationModel::get); }; \
                     ++bound_at.at(gn - 1);)                                                                      \
    ZIBREL_IF_SERVED(sk, binders.at(sn - 1) = [](model_class& c) { c.def(#set, &NavigationModel::set); }; \
                     ++bound_at.at(sn - 1);)
    ZIBREL_SERVED_PROPERTIES(ZIBREL_BIND)
#undef ZIBREL_BIND
    for (int bound : bound_at)
        if (bound != 1) throw "every place among the overridable methods holds exactly one method";
    return binders;
}();

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
    model_class model(m, "ZibrelNavigationModel");
    model.def(py::init([](bool multiThreaded, int options) {
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
        // Without it, pickling at protocol 0 or 1 would reach pybind11's base
        // type, whose allocation fails by aborting the process.
        .def("__reduce__", [](const py::object& self) -> py::object {
            throw py::type_error("cannot pickle " + py::repr(py::type::handle_of(self).attr("__name__")).cast<std::string>() +
                                 " object");
        });
    for (const auto bind : overridable_methods) bind(model);

    // Library threads must stop calling back before the interpreter finalises:
    // after that, a thread that asks for the interpreter lock is ended in place.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { PyNavigationModel::DetachAll(); }));
    // A child process has only the thread that forked: calls other threads were
    // inside when it forked never finish there, and must not be waited for.
    // Windows has no fork (and os has no register_at_fork there).
    const auto os = py::module_::import("os");
    if (py::hasattr(os, "register_at_fork"))
        os.attr("register_at_fork")(
            py::arg("after_in_child") = py::cpp_function([] { PyNavigationModel::ForgetCallsOfOtherThreads(); }));
}
