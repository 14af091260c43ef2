// The library's extras for tools and adapters: its version, the input signal's
// descriptor, device information, raw device input, the settings in effect, the
// view commands and the application's settings.

#include "interface/exported.h"  // first: the exported declarations must be the first ones seen

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/input_signal.h"
#include "devices/monitor.h"
#include "base/settings.h"
#include "interface/application_settings.h"
#include "engine/views.h"

using namespace zibrel;
#ifndef ZIBREL_VERSION
#error "ZIBREL_VERSION: the package's version from pyproject.toml, defined by qorzibrel/CMakeLists.txt"
#endif

using namespace zibrel::qorzibrel;

namespace {

std::string library_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&zbx_device_info), &info) == 0 || info.dli_fname == nullptr) return {};
    char resolved[PATH_MAX];
    return realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
}

void copy_text(const std::string& text, char* buf, size_t len) {
    if (buf == nullptr || len == 0) return;
    const size_t n = std::min(text.size(), len - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

// The monitors handed out: a handle is only used while it is known, so a
// stale or foreign pointer gives an error instead of a crash.
std::mutex monitors_mutex;
std::map<void*, std::shared_ptr<monitor>>& monitors() {
    static auto* const m = new std::map<void*, std::shared_ptr<monitor>>;
    return *m;
}

std::shared_ptr<monitor> find_monitor(void* handle) {
    std::lock_guard lock(monitors_mutex);
    const auto it = monitors().find(handle);
    return it == monitors().end() ? nullptr : it->second;
}


matrix matrix_of(const double* d) {
    matrix m;
    std::memcpy(&m, d, sizeof m);
    return m;
}

box box_of(const double* d) {
    box b;
    std::memcpy(&b, d, sizeof b);
    return b;
}

// The axes of an optional axis matrix; false when one is given but is no rotation.
bool axes_of(const double* d, std::optional<camera_frame>& out) {
    if (d == nullptr) return true;
    camera_frame f;
    if (!rotation_from_matrix(matrix_of(d), f)) return false;
    out = f;
    return true;
}

// The camera of a zbx_view, or why it is none.
std::optional<view_camera> camera_of(const zbx_view& in, std::string& why) {
    view_camera cam;
    const matrix_fault fault = frame_from_matrix(matrix_of(in.affine), cam.frame);
    if (fault != matrix_fault::none) {
        why = std::string("the camera matrix (affine) ") +
              (fault == matrix_fault::not_finite ? "is not finite"
               : fault == matrix_fault::singular ? "is singular"
                                                 : "is projective: its bottom row is not 0 0 0 1 (with the eye "
                                                   "there, it is transposed)");
        return std::nullopt;
    }
    cam.perspective = in.perspective != 0;
    if (cam.perspective) {
        const double vertical = in.fov_vertical == 0 ? in.fov : in.fov_vertical;
        const std::pair<const char*, double> angles[] = {{"fov", in.fov}, {"fov_vertical", vertical}};
        for (const auto& [what, angle] : angles) {
            if (!(std::isfinite(angle) && angle > 0 && angle < std::numbers::pi)) {
                char text[64];
                std::snprintf(text, sizeof text, "%g", angle);
                why = std::string("the field of view (") + what + " " + text + ") is not an angle between 0 and pi";
                return std::nullopt;
            }
        }
        cam.tan_half_w = std::tan(in.fov / 2);
        cam.tan_half_h = std::tan(vertical / 2);
    } else {
        cam.extents = box_of(in.extents);
        const box& e = cam.extents;
        if (!finite(e) || !(e.max.x > e.min.x) || !(e.max.y > e.min.y)) {
            why = "the orthographic view extents are empty or not finite";
            return std::nullopt;
        }
    }
    return cam;
}

bool view_command_into(const char* name, const zbx_view* view, const double* coordinate_system,
                       const double* front, const double* model, zbx_view* out, std::string& why) {
    if (name == nullptr || view == nullptr || model == nullptr || out == nullptr) {
        why = "no name, view, model extents or result given";
        return false;
    }
    const auto command = parse_view_command(name);
    if (!command) {
        // Built by append: GCC 12 warns falsely (-Wrestrict) on "'" + std::string.
        why = std::string("'").append(name).append("' is not a view command (fit, front, back, left, right, top, "
                                                   "bottom, iso)");
        return false;
    }
    const zbx_view in = *view;  // `out` may be `view`
    const auto cam = camera_of(in, why);
    if (!cam) return false;
    std::optional<camera_frame> world, front_view;
    if (!axes_of(coordinate_system, world)) {
        why = "the coordinate system is no rotation: its first three columns are no axes";
        return false;
    }
    if (!axes_of(front, front_view)) {
        why = "the front view is no rotation: its first three columns are no axes";
        return false;
    }
    const box model_box = box_of(model);
    const auto moved = view_command_camera(*command, *cam, world.value_or(camera_frame{}), front_view, model_box);
    if (!moved) {
        why = "the model extents are empty or not finite";
        return false;
    }
    const matrix m = matrix_from_frame(moved->frame);
    if (!finite(m) || (!moved->perspective && !finite(moved->extents))) {
        why = "the camera computed is not finite (the model extents are too large)";
        return false;
    }
    *out = in;
    std::memcpy(out->affine, &m, sizeof m);
    if (!moved->perspective) std::memcpy(out->extents, &moved->extents, sizeof moved->extents);
    return true;
}

}  // namespace


extern "C" {

int zbx_input_fd(void) {
    return guarded(-1, [] { return input_signal_fd(); });
}

int zbx_application_settings(const char* profile, const char* text, char* error, size_t error_len) {
    return guarded(-1, [&] {
        copy_text("", error, error_len);
        if (profile == nullptr || *profile == '\0') {
            copy_text("the profile hint is empty", error, error_len);
            return -2;
        }
        const std::string_view given = text != nullptr ? text : "";
        std::vector<std::string> errors;
        if (!check_application_settings(given, errors)) {
            std::string message;
            for (const auto& e : errors) message += (message.empty() ? "" : "; ") + e;
            copy_text(message, error, error_len);
            return -1;
        }
        give_application_settings(profile, std::string(given));
        return 0;
    });
}

size_t zbx_settings(const char* const* keys, const char* const* values, size_t count, char* buf, size_t len) {
    return guarded(size_t{0}, [&] {
        std::vector<std::pair<std::string, std::string>> extra;
        for (size_t i = 0; keys != nullptr && values != nullptr && i < count; ++i) {
            extra.emplace_back(keys[i] != nullptr ? keys[i] : "", values[i] != nullptr ? values[i] : "");
        }
        const std::string text = settings_json(extra);
        copy_text(text, buf, len);
        return text.size();
    });
}

int zbx_view_command(const char* name, const zbx_view* view, const double* coordinate_system, const double* front,
                     const double* model, zbx_view* out, char* error, size_t error_len) {
    return guarded(-1, [&] {
        std::string why;
        if (view_command_into(name, view, coordinate_system, front, model, out, why)) return 0;
        copy_text(why, error, error_len);
        return -1;
    });
}
const char* zbx_version(void) { return ZIBREL_VERSION; }

size_t zbx_device_info(char* buf, size_t len) {
    return guarded(size_t{0}, [&] {
        const std::string text = device_info_json(library_path());
        copy_text(text, buf, len);
        return text.size();
    });
}

void* zbx_monitor_open(char* error, size_t error_len) {
    return guarded(static_cast<void*>(nullptr), [&]() -> void* {
        std::string why;
        auto m = open_monitor(why);
        if (m == nullptr) {
            copy_text(why, error, error_len);
            return nullptr;
        }
        void* handle = m.get();
        std::lock_guard lock(monitors_mutex);
        monitors()[handle] = std::move(m);
        return handle;
    });
}

int zbx_monitor_read(void* handle, zbx_event* events, int max_events, int timeout_ms) {
    return guarded(-1, [&] {
        auto m = find_monitor(handle);
        return m == nullptr ? -1 : read_monitor(*m, events, max_events, timeout_ms);
    });
}

void zbx_monitor_close(void* handle) {
    guarded(0, [&] {
        std::shared_ptr<monitor> m;
        {
            std::lock_guard lock(monitors_mutex);
            const auto it = monitors().find(handle);
            if (it == monitors().end()) return 0;
            m = std::move(it->second);
            monitors().erase(it);
        }
        close_monitor(*m);
        return 0;
    });
}

}  // extern "C"
