// Our library's settings reader over fuzzed settings text (and the same text
// as a ZIBREL_DEVICE source list and as an application's settings). Whatever the text, every value that applies
// lies in its documented range, every problem is one message naming its line,
// and device input shaped by the result stays within full deflection.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check.h"
#include "devices/device_input.h"
#include "base/settings.h"

using namespace zibrel::qorzibrel;

namespace {


bool within(double v, double low, double high) { return std::isfinite(v) && v >= low && v <= high; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    settings s;
    std::vector<std::string> errors;
    const std::string origin = "settings file /fuzz/zibrel.conf";
    parse_settings(text, origin, "/fuzz", s, errors);

    size_t lines = 1;
    for (char c : text) lines += c == '\n';
    for (const std::string& e : errors) {
        FUZZ_CHECK(e.starts_with(origin + " line "));
        const size_t line = std::strtoul(e.c_str() + origin.size() + 6, nullptr, 10);
        FUZZ_CHECK(line >= 1 && line <= lines);
        // Skipped, or (a source list with bad items) applied without them.
        FUZZ_CHECK(e.ends_with("; line ignored") || e.ends_with(") apply"));
        // One line of text, as it is written on standard error.
        FUZZ_CHECK(e.find('\0') == std::string::npos && e.find('\n') == std::string::npos);
    }
    FUZZ_CHECK(within(s.sensitivity, 0, 100) && within(s.translation_sensitivity, 0, 100) &&
          within(s.rotation_sensitivity, 0, 100) && within(s.zoom_sensitivity, 0, 100));
    for (double dz : s.dead_zone) FUZZ_CHECK(within(dz, 0, 0.9));
    FUZZ_CHECK(within(s.full_scale, 1, 1e6) && within(s.motion_timeout_ms, 1, 10000) && within(s.frame_rate, 1, 1000) &&
          within(s.max_frame_step_ms, 1, 1000));
    FUZZ_CHECK(!s.spnav_library.empty());
    for (const auto& [button, binding] : s.buttons) {
        FUZZ_CHECK(button >= 0 && button <= 255);
        // Exactly one kind of action: a view, a speed step, or an application command.
        FUZZ_CHECK(int(binding.builtin) + int(binding.speed.has_value()) + int(!binding.command.empty()) == 1);
    }
    for (const device_source& source : s.sources) FUZZ_CHECK(source.kind != source_kind::file || !source.path.empty());

    std::vector<device_source> sources;
    std::string error;
    // The items understood are kept either way; the others are named.
    if (!parse_sources(text, "", sources, error)) FUZZ_CHECK(!error.empty());
    for (const device_source& source : sources) FUZZ_CHECK(source.kind != source_kind::file || !source.path.empty());

    // The same text as an application's settings: each problem names its key or its line.
    std::vector<std::string> app_errors;
    FUZZ_CHECK(check_application_settings(text, app_errors) == app_errors.empty());
    for (const std::string& e : app_errors) {
        FUZZ_CHECK(e.starts_with("setting '") || e.starts_with("application settings line "));
        FUZZ_CHECK(e.find('\n') == std::string::npos);
    }

    // Input shaped by these settings never goes beyond full deflection.
    device_input input(s);
    static constexpr double samples[] = {1.0, -1.0, 0.5, -0.02, 0.0, 1e-9, 0.9, -0.95};
    double t = 0;
    for (double v : samples) {
        input.push_sample(t, axes{v, -v, v / 2, 1.0, -1.0, v});
        const frame_input frame = input.consume(t);
        for (double a : frame.deflection) FUZZ_CHECK(within(a, -1, 1));
        t += 5;
    }
    return 0;
}
