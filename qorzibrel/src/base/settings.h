// The library's settings: which device sources feed navigation and how device
// input is shaped. Read at every ZbCreate, lowest first: the defaults, the
// application's settings (zbx_application_settings), ZIBREL_CONFIG (the user's
// settings file) and ZIBREL_DEVICE (the source list, overriding "device").
// docs/navigation-library.md describes the format.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zibrel::qorzibrel {

inline constexpr int axis_count = 6;
inline constexpr std::array<std::string_view, axis_count> axis_names{"x", "y", "z", "rx", "ry", "rz"};

// auto_detect: spacenavd when its socket exists, plus every direct HID device.
enum class source_kind { spacenavd, file, hid, auto_detect };

struct device_source {
    source_kind kind;
    std::string path;  // for file
};

enum class view_command { fit, front, back, left, right, top, bottom, iso };

// The speed buttons' actions (binding "speed:faster", "speed:slower", "speed:reset").
enum class speed_change { faster, slower, reset };

struct button_binding {
    bool builtin = false;
    view_command view = view_command::fit;  // when builtin
    std::optional<speed_change> speed;      // a speed button
    std::string command;                    // the application's command id otherwise
};

enum class coalescing { average, latest };

// What a motion turns about when the application gives no pivot of its own:
// the hit at the view's centre, or the hit under the application's pointer.
enum class pivot_mode { centre, pointer };

struct settings {
    std::vector<device_source> sources{{source_kind::auto_detect, {}}};
    std::string device_text = "auto";  // the source list as written
    double sensitivity = 1.0;
    double translation_sensitivity = 1.0;
    double rotation_sensitivity = 1.0;
    double zoom_sensitivity = 1.0;
    std::array<double, axis_count> dead_zone{0.02, 0.02, 0.02, 0.02, 0.02, 0.02};
    std::array<bool, axis_count> invert{};
    double full_scale = 350.0;  // raw spacenavd value of a full deflection
    coalescing coalesce = coalescing::average;
    double motion_timeout_ms = 100.0;
    double frame_rate = 60.0;
    double max_frame_step_ms = 50.0;
    // Two buttons are useful before anyone writes a settings file.
    std::map<int, button_binding> buttons{{0, {true, view_command::fit, {}, {}}},
                                          {1, {true, view_command::iso, {}, {}}}};
    std::string spnav_library = "libspnav.so.0";
    // Navigation feel (engine/feel.h).
    bool lock_horizon = false;
    bool dominant_axis = false;
    bool rotation = true;
    bool translation = true;  // zoom included
    pivot_mode pivot = pivot_mode::centre;

    bool has_source(source_kind kind) const;
};

// Parse settings text. Each faulty line is reported through `error` (with its
// line number) and skipped; the rest applies. `base_dir` resolves relative
// device file paths.
void parse_settings(std::string_view text, const std::string& origin, const std::string& base_dir, settings& out,
                    std::vector<std::string>& errors);

// Parse a source list ("auto", "spacenavd,hid,file:PATH", "none", ""). `out` gets
// the items understood; returns false and names the others in `error`.
bool parse_sources(std::string_view text, const std::string& base_dir, std::vector<device_source>& out,
                   std::string& error);

// The source list as text ("hid,file:/path"; "none" for none).
std::string sources_text(const std::vector<device_source>& sources);

// One setting, as the line `key = value` of a settings file applies it; false
// and the reason in `error` when it is refused (`s` is then unchanged). A source
// list with items that are not understood applies the others: true, and `error`
// names the rest.
bool apply_setting(std::string_view key, std::string_view value, const std::string& base_dir, settings& s,
                   std::string& error);

std::optional<button_binding> parse_binding(std::string_view text);
std::optional<view_command> parse_view_command(std::string_view name);

// Checks an application's settings text. Each faulty line gives one error
// naming its key ("setting 'KEY': ..."); true when there is none.
bool check_application_settings(std::string_view text, std::vector<std::string>& errors);

// The settings in effect for a new connection: the defaults, then the
// application's settings text, then the environment's; problems are reported
// on standard error, or handed over in `problems`.
settings load_settings(std::vector<std::string>* problems = nullptr);
settings load_settings(std::string_view application, std::vector<std::string>* problems);

}  // namespace zibrel::qorzibrel
