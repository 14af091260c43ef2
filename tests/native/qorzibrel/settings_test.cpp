// Settings: the source list, the application's settings and the order in which
// the defaults, the application, the user's file and the environment apply.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/settings.h"

namespace navtest {
namespace {

using namespace zibrel::qorzibrel;

struct sources_case {
    const char* text;
    std::vector<source_kind> kinds;  // what is kept
    const char* error;               // in the error, or "" for none
};

class SourcesTest : public testing::TestWithParam<sources_case> {};

TEST_P(SourcesTest, KeepsTheItemsUnderstoodAndNamesTheOthers) {
    const auto& c = GetParam();
    std::vector<device_source> out{{source_kind::spacenavd, {}}};
    std::string error = "stale";
    const bool ok = parse_sources(c.text, "/base", out, error);
    std::vector<source_kind> kinds;
    for (const auto& s : out) kinds.push_back(s.kind);
    EXPECT_EQ(kinds, c.kinds) << c.text;
    EXPECT_EQ(ok, std::string(c.error).empty()) << c.text;
    if (ok) EXPECT_EQ(error, "");
    else EXPECT_NE(error.find(c.error), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SourcesTest,
    testing::Values(
        sources_case{"hid,bogus", {source_kind::hid}, "unknown device source 'bogus' (use auto"},
        sources_case{"bogus, hid ,nope", {source_kind::hid}, "unknown device sources 'bogus', 'nope'"},
        sources_case{"file:", {}, "device source 'file:' has no path (use file:PATH)"},
        sources_case{"spacenavd,file: ", {source_kind::spacenavd}, "'file:' has no path"},
        sources_case{"file:x.txt,auto", {source_kind::file, source_kind::auto_detect}, ""},
        sources_case{"none", {}, ""}, sources_case{"", {}, ""}));

TEST(SourcesTest, RelativeFilesAreTheBaseDirectorysAndTheListReadsBack) {
    std::vector<device_source> out;
    std::string error;
    ASSERT_TRUE(parse_sources("file:x.txt, hid", "/base", out, error));
    EXPECT_EQ(out[0].path, "/base/x.txt");
    EXPECT_EQ(sources_text(out), "file:/base/x.txt,hid");
    EXPECT_EQ(sources_text({}), "none");
}

TEST(SettingsTest, DefaultsBindTwoButtonsAndNoneUnbindsThem) {
    const settings defaults;
    ASSERT_TRUE(defaults.buttons.contains(0) && defaults.buttons.contains(1));
    EXPECT_TRUE(defaults.buttons.at(0).builtin && defaults.buttons.at(0).view == view_command::fit);
    EXPECT_TRUE(defaults.buttons.at(1).builtin && defaults.buttons.at(1).view == view_command::iso);
    EXPECT_EQ(defaults.pivot, pivot_mode::centre);

    settings s;
    std::vector<std::string> errors;
    parse_settings("button.0 = none\nbutton.1 = view:top\npivot = pointer\npivot = somewhere\n", "f", "", s, errors);
    EXPECT_FALSE(s.buttons.contains(0));
    EXPECT_EQ(s.buttons.at(1).view, view_command::top);
    EXPECT_EQ(s.pivot, pivot_mode::pointer);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "f line 4: 'somewhere' is not centre or pointer; line ignored");
}

TEST(SettingsTest, ADeviceLineWithOneBadItemAppliesTheRest) {
    settings s;
    std::vector<std::string> errors;
    parse_settings("device = hid,bogus\n", "settings file f", "", s, errors);
    ASSERT_EQ(s.sources.size(), 1u);
    EXPECT_EQ(s.sources[0].kind, source_kind::hid);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "settings file f line 1: unknown device source 'bogus' (use auto, spacenavd, hid, file:PATH or "
                         "none); the other sources (hid) apply");
}

TEST(SettingsTest, ApplicationSettingsErrorsNameTheKey) {
    std::vector<std::string> errors;
    EXPECT_TRUE(check_application_settings("lock-horizon = on\nbutton.0 = view:iso\n", errors));
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(check_application_settings("lock-horizon = maybe\nsensitivity = 1\nspeed = 3\nno equals\n", errors));
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0], "setting 'lock-horizon': 'maybe' is not on or off");
    EXPECT_EQ(errors[1], "setting 'speed': unknown setting 'speed'");
    EXPECT_EQ(errors[2], "application settings line 4: expected 'key = value'");
}

// Sets (or unsets) an environment variable for a test's lifetime.
class scoped_env {
public:
    scoped_env(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) ::setenv(name, value->c_str(), 1);
        else ::unsetenv(name);
    }
    ~scoped_env() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }
    scoped_env(const scoped_env&) = delete;
    scoped_env& operator=(const scoped_env&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

struct layer_case {
    const char* name;
    const char* application;
    const char* file;    // the user's settings file, nullptr for none
    const char* device;  // ZIBREL_DEVICE, nullptr for unset
    double sensitivity;
    bool lock_horizon;
    const char* device_text;
    const char* problem;  // the one problem expected, "" for none
};

class LayersTest : public testing::TestWithParam<layer_case> {};

TEST_P(LayersTest, DefaultsThenApplicationThenFileThenEnvironment) {
    const auto& c = GetParam();
    const auto path = std::filesystem::temp_directory_path() / ("zibrel-layers-" + std::string(c.name) + ".conf");
    if (c.file != nullptr) std::ofstream(path) << c.file;
    scoped_env config("ZIBREL_CONFIG", c.file != nullptr ? std::optional<std::string>(path.string()) : std::nullopt);
    scoped_env device("ZIBREL_DEVICE", c.device != nullptr ? std::optional<std::string>(c.device) : std::nullopt);
    std::vector<std::string> problems;
    const settings s = load_settings(c.application, &problems);
    std::filesystem::remove(path);
    EXPECT_DOUBLE_EQ(s.sensitivity, c.sensitivity);
    EXPECT_EQ(s.lock_horizon, c.lock_horizon);
    EXPECT_EQ(s.device_text, c.device_text);
    if (std::string(c.problem).empty()) {
        EXPECT_TRUE(problems.empty()) << problems.front();
    } else {
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_EQ(problems[0], c.problem);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Precedence, LayersTest,
    testing::Values(
        layer_case{"defaults", "", nullptr, nullptr, 1.0, false, "auto", ""},
        layer_case{"application", "sensitivity = 2\nlock-horizon = on\ndevice = hid\n", nullptr, nullptr, 2.0, true,
                   "hid", ""},
        layer_case{"file_over_application", "sensitivity = 2\nlock-horizon = on\n",
                   "sensitivity = 3\nlock-horizon = off\n", nullptr, 3.0, false, "auto", ""},
        layer_case{"file_keeps_what_it_does_not_say", "sensitivity = 2\nlock-horizon = on\n", "invert = y\n",
                   nullptr, 2.0, true, "auto", ""},
        layer_case{"environment_over_both", "device = hid\n", "device = spacenavd\n", "none", 1.0, false, "none", ""},
        layer_case{"bad_environment_item", "", nullptr, "hid,bogus", 1.0, false, "hid",
                   "ZIBREL_DEVICE: unknown device source 'bogus' (use auto, spacenavd, hid, file:PATH or none); the "
                   "other sources (hid) apply"},
        layer_case{"environment_without_a_file_names_no_file", "", nullptr, "file:", 1.0, false, "auto",
                   "ZIBREL_DEVICE: device source 'file:' has no path (use file:PATH); the default device (auto) "
                   "applies"},
        layer_case{"environment_with_the_applications_device", "device = hid\n", nullptr, "bogus", 1.0, false, "hid",
                   "ZIBREL_DEVICE: unknown device source 'bogus' (use auto, spacenavd, hid, file:PATH or none); the "
                   "application's device (hid) applies"},
        layer_case{"environment_with_the_files_device", "", "device = spacenavd\n", "bogus", 1.0, false, "spacenavd",
                   "ZIBREL_DEVICE: unknown device source 'bogus' (use auto, spacenavd, hid, file:PATH or none); the "
                   "settings file's device (spacenavd) applies"}),
    [](const testing::TestParamInfo<layer_case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace navtest
