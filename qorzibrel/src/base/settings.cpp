#include "base/settings.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "base/bounded_file.h"
#include "base/report.h"

namespace zibrel::qorzibrel {
namespace {

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

std::optional<double> number(std::string_view text) {
    const std::string s(trim(text));
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    // ERANGE with a finite result is an underflow: a number all the same (0 or a
    // denormal), where an overflow gives infinity.
    if (end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<int> axis_index(std::string_view name) {
    for (int i = 0; i < axis_count; ++i) {
        if (axis_names[static_cast<size_t>(i)] == name) return i;
    }
    return std::nullopt;
}

std::string join_path(const std::string& dir, std::string_view path) {
    if (path.empty() || path.front() == '/' || dir.empty()) return std::string(path);
    return dir + "/" + std::string(path);
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

// A number within [low, high]; `what` names the expectation in the error.
bool ranged(std::string_view text, double low, double high, double& out, std::string& error, const char* what) {
    const auto v = number(text);
    if (!v || *v < low || *v > high) {
        error = "'" + std::string(trim(text)) + "' is not " + what;
        return false;
    }
    out = *v;
    return true;
}

// The navigation feel's on/off settings.
bool settings::* feel_switch(std::string_view key) {
    if (key == "lock-horizon") return &settings::lock_horizon;
    if (key == "dominant-axis") return &settings::dominant_axis;
    if (key == "rotation") return &settings::rotation;
    if (key == "translation") return &settings::translation;
    return nullptr;
}

bool on_off(std::string_view text, bool& out, std::string& error) {
    if (text != "on" && text != "off") {
        error = "'" + std::string(text) + "' is not on or off";
        return false;
    }
    out = text == "on";
    return true;
}

bool apply(std::string_view key, std::string_view val, const std::string& base_dir, settings& s, std::string& error) {
    if (key == "device") {
        std::vector<device_source> sources;
        if (parse_sources(val, base_dir, sources, error)) {
            s.sources = std::move(sources);
            s.device_text = std::string(val);
            return true;
        }
        if (sources.empty()) return false;  // nothing understood: the line is ignored
        // The items understood apply; the error names the others.
        s.sources = std::move(sources);
        s.device_text = sources_text(s.sources);
        error += "; the other sources (" + s.device_text + ") apply";
        return true;
    }
    if (key == "sensitivity") return ranged(val, 0.0, 100.0, s.sensitivity, error, "a number from 0 to 100");
    if (key == "translation-sensitivity")
        return ranged(val, 0.0, 100.0, s.translation_sensitivity, error, "a number from 0 to 100");
    if (key == "rotation-sensitivity")
        return ranged(val, 0.0, 100.0, s.rotation_sensitivity, error, "a number from 0 to 100");
    if (key == "zoom-sensitivity") return ranged(val, 0.0, 100.0, s.zoom_sensitivity, error, "a number from 0 to 100");
    if (key == "dead-zone") {
        double dz = 0;
        if (!ranged(val, 0.0, 0.9, dz, error, "a fraction from 0 to 0.9")) return false;
        s.dead_zone.fill(dz);
        return true;
    }
    if (key.starts_with("dead-zone.")) {
        const auto axis = axis_index(key.substr(10));
        if (!axis) {
            error = "unknown axis '" + std::string(key.substr(10)) + "' (axes: x y z rx ry rz)";
            return false;
        }
        return ranged(val, 0.0, 0.9, s.dead_zone[static_cast<size_t>(*axis)], error, "a fraction from 0 to 0.9");
    }
    if (key == "invert") {
        std::array<bool, axis_count> inverted{};
        std::string list(val);
        std::replace(list.begin(), list.end(), ',', ' ');
        std::istringstream words(list);
        for (std::string word; words >> word;) {
            if (word == "none") continue;
            const auto axis = axis_index(word);
            if (!axis) {
                error = "unknown axis '" + word + "' (axes: x y z rx ry rz)";
                return false;
            }
            inverted[static_cast<size_t>(*axis)] = true;
        }
        s.invert = inverted;
        return true;
    }
    if (key == "full-scale") return ranged(val, 1.0, 1e6, s.full_scale, error, "a number from 1 to 1000000");
    if (key == "coalesce") {
        if (val == "average") s.coalesce = coalescing::average;
        else if (val == "latest") s.coalesce = coalescing::latest;
        else {
            error = "'" + std::string(val) + "' is not average or latest";
            return false;
        }
        return true;
    }
    if (key == "motion-timeout")
        return ranged(val, 1.0, 10000.0, s.motion_timeout_ms, error, "a time from 1 to 10000 ms");
    if (key == "frame-rate") return ranged(val, 1.0, 1000.0, s.frame_rate, error, "a rate from 1 to 1000 Hz");
    if (key == "max-frame-step")
        return ranged(val, 1.0, 1000.0, s.max_frame_step_ms, error, "a time from 1 to 1000 ms");
    if (key == "spnav-library") {
        if (val.empty()) {
            error = "the library name is empty";
            return false;
        }
        s.spnav_library = std::string(val);
        return true;
    }
    if (const auto field = feel_switch(key)) return on_off(val, s.*field, error);
    if (key == "pivot") {
        if (val == "centre" || val == "center") s.pivot = pivot_mode::centre;
        else if (val == "pointer") s.pivot = pivot_mode::pointer;
        else {
            error = "'" + std::string(val) + "' is not centre or pointer";
            return false;
        }
        return true;
    }
    if (key.starts_with("button.")) {
        const auto n = number(key.substr(7));
        if (!n || *n < 0 || *n > 255 || *n != std::floor(*n)) {
            error = "'" + std::string(key.substr(7)) + "' is not a button number from 0 to 255";
            return false;
        }
        if (val == "none") {  // turns a default binding off
            s.buttons.erase(static_cast<int>(*n));
            return true;
        }
        auto binding = parse_binding(val);
        if (!binding) {
            error = "'" + std::string(val) +
                    "' is not a binding (view:fit|front|back|left|right|top|bottom|iso, "
                                       "speed:faster|slower|reset, command:ID or ID, none)";
            return false;
        }
        s.buttons[static_cast<int>(*n)] = std::move(*binding);
        return true;
    }
    error = "unknown setting '" + std::string(key) + "'";
    return false;
}

}  // namespace

bool apply_setting(std::string_view key, std::string_view value, const std::string& base_dir, settings& s,
                   std::string& error) {
    return apply(trim(key), trim(value), base_dir, s, error);
}

bool settings::has_source(source_kind kind) const {
    return std::any_of(sources.begin(), sources.end(), [&](const device_source& s) { return s.kind == kind; });
}

std::optional<view_command> parse_view_command(std::string_view name) {
    static constexpr std::pair<std::string_view, view_command> names[] = {
        {"fit", view_command::fit},     {"front", view_command::front}, {"back", view_command::back},
        {"left", view_command::left},   {"right", view_command::right}, {"top", view_command::top},
        {"bottom", view_command::bottom}, {"iso", view_command::iso},
    };
    for (const auto& [text, command] : names) {
        if (text == name) return command;
    }
    return std::nullopt;
}

std::optional<button_binding> parse_binding(std::string_view text) {
    text = trim(text);
    button_binding b;
    if (text.starts_with("view:")) {
        const auto view = parse_view_command(text.substr(5));
        if (!view) return std::nullopt;
        b.builtin = true;
        b.view = *view;
        return b;
    }
    if (text.starts_with("speed:")) {
        const auto change = text.substr(6);
        if (change == "faster") b.speed = speed_change::faster;
        else if (change == "slower") b.speed = speed_change::slower;
        else if (change == "reset") b.speed = speed_change::reset;
        else return std::nullopt;
        return b;
    }
    if (text.starts_with("command:")) text = text.substr(8);
    if (text.empty()) return std::nullopt;
    b.command = std::string(text);
    return b;
}

bool parse_sources(std::string_view text, const std::string& base_dir, std::vector<device_source>& out,
                   std::string& error) {
    std::vector<device_source> sources;
    std::vector<std::string> unknown, pathless;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (item.empty() || item == "none") continue;
        if (item == "spacenavd") {
            sources.push_back({source_kind::spacenavd, {}});
        } else if (item == "hid") {
            sources.push_back({source_kind::hid, {}});
        } else if (item == "auto") {
            sources.push_back({source_kind::auto_detect, {}});
        } else if (item.starts_with("file:")) {
            const std::string_view path = trim(item.substr(5));
            if (path.empty()) pathless.emplace_back(item);
            else sources.push_back({source_kind::file, join_path(base_dir, path)});
        } else {
            unknown.emplace_back(item);
        }
    }
    out = std::move(sources);
    const auto quoted = [](const std::vector<std::string>& items) {
        std::string list;
        for (const auto& item : items) list += (list.empty() ? "'" : ", '") + item + "'";
        return list;
    };
    error.clear();
    if (!pathless.empty()) error = "device source " + quoted(pathless) + " has no path (use file:PATH)";
    if (!unknown.empty()) {
        if (!error.empty()) error += "; ";
        error += std::string(unknown.size() == 1 ? "unknown device source " : "unknown device sources ") +
                 quoted(unknown) + " (use auto, spacenavd, hid, file:PATH or none)";
    }
    return error.empty();
}

std::string sources_text(const std::vector<device_source>& sources) {
    std::string text;
    for (const auto& source : sources) {
        if (!text.empty()) text += ',';
        switch (source.kind) {
        case source_kind::spacenavd: text += "spacenavd"; break;
        case source_kind::hid: text += "hid"; break;
        case source_kind::auto_detect: text += "auto"; break;
        case source_kind::file: text += "file:" + source.path; break;
        }
    }
    return text.empty() ? "none" : text;
}

namespace {

// Each line of settings text, with the key and value it holds or the error that
// keeps it from applying. `applied` lines may still carry an error (a source list
// with one bad item applies the rest).
template <typename Line>
void each_setting(std::string_view text, const std::string& base_dir, settings& out, Line&& line_done) {
    int line_number = 0;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        ++line_number;
        // A NUL would end the line early wherever it is shown as a C text.
        const bool has_nul = line.find('\0') != std::string_view::npos;
        if (const auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        line = trim(line);
        if (line.empty() && !has_nul) continue;
        const auto eq = line.find('=');
        std::string error;
        std::string_view key;
        bool applied = false;
        if (has_nul) {
            error = "the line holds a NUL byte";
        } else if (eq == std::string_view::npos) {
            error = "expected 'key = value'";
        } else {
            key = trim(line.substr(0, eq));
            applied = apply(key, trim(line.substr(eq + 1)), base_dir, out, error);
        }
        if (!error.empty()) line_done(line_number, key, error, applied);
    }
}

}  // namespace

void parse_settings(std::string_view text, const std::string& origin, const std::string& base_dir, settings& out,
                    std::vector<std::string>& errors) {
    each_setting(text, base_dir, out, [&](int line_number, std::string_view, const std::string& error, bool applied) {
        errors.push_back(origin + " line " + std::to_string(line_number) + ": " + error +
                         (applied ? "" : "; line ignored"));
    });
}

bool check_application_settings(std::string_view text, std::vector<std::string>& errors) {
    settings scratch;
    const size_t before = errors.size();
    each_setting(text, "", scratch, [&](int line_number, std::string_view key, const std::string& error, bool) {
        errors.push_back(key.empty() ? "application settings line " + std::to_string(line_number) + ": " + error
                                     : "setting '" + std::string(key) + "': " + error);
    });
    return errors.size() == before;
}

settings load_settings(std::vector<std::string>* problems) { return load_settings({}, problems); }

settings load_settings(std::string_view application, std::vector<std::string>* problems) {
    settings s;
    std::vector<std::string> errors;
    // Where "device" came from, for the message when ZIBREL_DEVICE names nothing usable.
    std::string device_from = "the default device";
    if (!application.empty()) {
        const std::string before = s.device_text;
        // Checked when the application gave them; relative file paths are the working directory's.
        parse_settings(application, "application settings", "", s, errors);
        if (s.device_text != before) device_from = "the application's device";
    }
    if (const char* path = std::getenv("ZIBREL_CONFIG"); path != nullptr && *path != '\0') {
        std::string why;
        const std::string before = s.device_text;
        if (const auto content = read_bounded_file(path, settings_file_limit, why)) {
            parse_settings(*content, std::string("settings file ") + path, directory_of(path), s, errors);
            if (s.device_text != before) device_from = "the settings file's device";
        } else {
            errors.push_back(std::string("settings file ") + path + " (ZIBREL_CONFIG) " + why + "; " +
                             (application.empty() ? "defaults apply" : "defaults and the application's settings apply"));
        }
    }
    if (const char* device = std::getenv("ZIBREL_DEVICE"); device != nullptr) {
        std::string error;
        std::vector<device_source> sources;
        if (parse_sources(device, "", sources, error)) {
            s.sources = std::move(sources);
            s.device_text = device;
        } else if (!sources.empty()) {
            s.sources = std::move(sources);
            s.device_text = sources_text(s.sources);
            errors.push_back("ZIBREL_DEVICE: " + error + "; the other sources (" + s.device_text + ") apply");
        } else {
            errors.push_back("ZIBREL_DEVICE: " + error + "; " + device_from + " (" + s.device_text + ") applies");
        }
    }
    if (problems != nullptr) *problems = errors;
    else for (const auto& e : errors) report(e);
    return s;
}

}  // namespace zibrel::qorzibrel
