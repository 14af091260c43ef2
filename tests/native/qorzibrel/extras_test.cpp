// The extras adapters and tools ask without a connection: the view commands'
// camera (zbx_view_command) and the settings in effect (zbx_settings).
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zibrel_extras.h"

namespace navtest {
namespace {

constexpr double identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
constexpr double model[6] = {-1, -1, -1, 1, 1, 1};
const double fitted = std::sqrt(3.0) / std::sin(0.5);  // the 2x2x2 box's sphere in a 1 radian view

zbx_view camera_at(double x, double y, double z) {
    zbx_view v{};
    std::memcpy(v.affine, identity, sizeof identity);
    v.affine[3] = x;
    v.affine[7] = y;
    v.affine[11] = z;
    v.perspective = 1;
    v.fov = 1.0;
    return v;
}

// Column c of the result's rotation, and the eye.
std::vector<double> column(const zbx_view& v, int c) { return {v.affine[c], v.affine[4 + c], v.affine[8 + c]}; }

void expect_near(const std::vector<double>& got, const std::vector<double>& want, const std::string& what) {
    for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-9) << what << " [" << i << "]";
}

TEST(ViewCommandTest, EachViewFacesTheModelFromItsSideAndFitsIt) {
    struct view_case {
        const char* name;
        std::vector<double> right, up, back;
    };
    // A Y-up world with the front viewer on +Z (the identity coordinate system).
    const std::vector<view_case> views{
        {"front", {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},   {"back", {-1, 0, 0}, {0, 1, 0}, {0, 0, -1}},
        {"right", {0, 0, -1}, {0, 1, 0}, {1, 0, 0}},  {"left", {0, 0, 1}, {0, 1, 0}, {-1, 0, 0}},
        {"top", {1, 0, 0}, {0, 0, -1}, {0, 1, 0}},    {"bottom", {1, 0, 0}, {0, 0, 1}, {0, -1, 0}},
    };
    for (const auto& v : views) {
        const zbx_view in = camera_at(3, -4, 9);
        zbx_view out{};
        char error[256] = "";
        ASSERT_EQ(zbx_view_command(v.name, &in, nullptr, nullptr, model, &out, error, sizeof error), 0) << error;
        expect_near(column(out, 0), v.right, std::string(v.name) + " right");
        expect_near(column(out, 1), v.up, std::string(v.name) + " up");
        expect_near(column(out, 2), v.back, std::string(v.name) + " back");
        expect_near(column(out, 3), {v.back[0] * fitted, v.back[1] * fitted, v.back[2] * fitted},
                    std::string(v.name) + " eye");
        EXPECT_EQ(out.fov, 1.0) << "the rest is the view's";
    }
}

TEST(ViewCommandTest, FitKeepsTheDirectionAndTheResultMayOverwriteTheView) {
    zbx_view v = camera_at(0, 0, 0);
    // Turned a quarter about Y: it looks along -X, and keeps doing so, at the model's centre.
    const double turned[16] = {0, 0, 1, 5, 0, 1, 0, 6, -1, 0, 0, 7, 0, 0, 0, 1};
    std::memcpy(v.affine, turned, sizeof turned);
    const double off_centre[6] = {1, 1, 1, 3, 3, 3};
    char error[128] = "";
    ASSERT_EQ(zbx_view_command("fit", &v, nullptr, nullptr, off_centre, &v, error, sizeof error), 0) << error;
    expect_near(column(v, 2), {1, 0, 0}, "back");
    expect_near(column(v, 3), {2 + fitted, 2, 2}, "eye");
}

TEST(ViewCommandTest, CoordinateSystemAndFrontViewTurnTheStandardViews) {
    // Z up, the front viewer on -Y: columns right, up, toward the front viewer.
    const double z_up[16] = {1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    // The front view turned a quarter about the up axis: it looks from the right.
    const double quarter[16] = {0, 0, 1, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1};
    const zbx_view in = camera_at(0, 0, 10);
    zbx_view out{};
    char error[128] = "";
    ASSERT_EQ(zbx_view_command("top", &in, z_up, nullptr, model, &out, error, sizeof error), 0) << error;
    expect_near(column(out, 2), {0, 0, 1}, "top looks down Z");
    ASSERT_EQ(zbx_view_command("front", &in, z_up, quarter, model, &out, error, sizeof error), 0) << error;
    expect_near(column(out, 1), {0, 0, 1}, "up");
    expect_near(column(out, 2), {1, 0, 0}, "the turned front viewer on +X");
}

TEST(ViewCommandTest, OrthographicViewsGetExtentsAroundTheModelKeepingAspectAndDepth) {
    zbx_view in = camera_at(0, 0, 10);
    in.perspective = 0;
    const double extents[6] = {-4, -1, -50, 4, 1, 50};  // 4:1
    std::memcpy(in.extents, extents, sizeof extents);
    zbx_view out{};
    char error[128] = "";
    ASSERT_EQ(zbx_view_command("iso", &in, nullptr, nullptr, model, &out, error, sizeof error), 0) << error;
    const double r = std::sqrt(3.0);
    const std::vector<double> got(out.extents, out.extents + 6);
    expect_near(got, {-4 * r, -r, -50, 4 * r, r, 50}, "extents");
    const double s = 1 / std::sqrt(3.0);
    expect_near(column(out, 2), {s, s, s}, "iso back");
    EXPECT_NEAR(out.affine[4], 0, 1e-12) << "no roll: the right axis stays level";
}

TEST(ViewCommandTest, RefusalsSayWhy) {
    const double singular[16] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const double empty_model[6] = {1, 1, 1, 0, 0, 0};
    const double huge_model[6] = {-1e308, -1e308, -1e308, 1e308, 1e308, 1e308};
    struct refusal {
        const char* what;
        const char* name;
        std::function<void(zbx_view&)> change;
        const double* coordinate_system;
        const double* front;
        const double* model_box;
        const char* expected;
    };
    const auto none = [](zbx_view&) {};
    const std::vector<refusal> refusals{
        {"unknown name", "sideways", none, nullptr, nullptr, model, "'sideways' is not a view command (fit, front"},
        {"no name", nullptr, none, nullptr, nullptr, model, "no name"},
        {"no model", "fit", none, nullptr, nullptr, nullptr, "no name, view, model extents"},
        {"singular camera", "front", [&](zbx_view& v) { std::memcpy(v.affine, singular, sizeof singular); },
         nullptr, nullptr, model, "the camera matrix (affine) is singular"},
        {"camera not finite", "fit", [](zbx_view& v) { v.affine[3] = NAN; }, nullptr, nullptr, model,
         "is not finite"},
        {"eye in the bottom row", "fit", [](zbx_view& v) { v.affine[12] = 5; }, nullptr, nullptr, model,
         "is projective"},
        {"fov of pi", "fit", [](zbx_view& v) { v.fov = M_PI; }, nullptr, nullptr, model,
         "the field of view (fov 3.14159) is not an angle between 0 and pi"},
        {"vertical fov not finite", "fit", [](zbx_view& v) { v.fov_vertical = INFINITY; }, nullptr, nullptr, model,
         "(fov_vertical inf)"},
        {"empty orthographic extents", "fit", [](zbx_view& v) { v.perspective = 0; }, nullptr, nullptr, model,
         "the orthographic view extents are empty or not finite"},
        {"singular coordinate system", "top", none, singular, nullptr, model, "the coordinate system is no rotation"},
        {"singular front view", "top", none, nullptr, singular, model, "the front view is no rotation"},
        {"empty model", "iso", none, nullptr, nullptr, empty_model, "the model extents are empty or not finite"},
        {"model too large", "fit", none, nullptr, nullptr, huge_model, "the camera computed is not finite"},
    };
    for (const auto& r : refusals) {
        zbx_view in = camera_at(1, 2, 3);
        r.change(in);
        zbx_view out = camera_at(7, 7, 7);
        char error[256] = "";
        EXPECT_EQ(zbx_view_command(r.name, &in, r.coordinate_system, r.front, r.model_box, &out, error, sizeof error),
                  -1)
            << r.what;
        EXPECT_NE(std::string(error).find(r.expected), std::string::npos) << r.what << ": " << error;
        EXPECT_EQ(out.affine[3], 7.0) << r.what << ": the result is untouched";
    }
    // The reason is cut to the buffer, and no buffer is fine.
    const zbx_view in = camera_at(0, 0, 1);
    zbx_view out{};
    char small[8] = "xxxxxxx";
    EXPECT_EQ(zbx_view_command("sideways", &in, nullptr, nullptr, model, &out, small, sizeof small), -1);
    EXPECT_STREQ(small, "'sidewa");
    EXPECT_EQ(zbx_view_command("sideways", &in, nullptr, nullptr, model, &out, nullptr, 0), -1);
}

class SettingsInEffectTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "zibrel_settings_" + std::to_string(::getpid()) + ".conf";
        unsetenv("ZIBREL_DEVICE");
    }
    void TearDown() override {
        std::remove(path_.c_str());
        unsetenv("ZIBREL_CONFIG");
    }
    void settings_file(const std::string& text) {
        std::ofstream(path_) << text;
        setenv("ZIBREL_CONFIG", path_.c_str(), 1);
    }
    static std::string answer(std::vector<const char*> keys = {}, std::vector<const char*> values = {}) {
        const size_t n = zbx_settings(keys.data(), values.data(), keys.size(), nullptr, 0);
        std::string text(n + 1, '?');
        EXPECT_EQ(zbx_settings(keys.data(), values.data(), keys.size(), text.data(), text.size()), n);
        EXPECT_EQ(text[n], '\0');
        text.resize(n);
        return text;
    }
    std::string path_;
};

TEST_F(SettingsInEffectTest, TheFileIsReadByTheLibrarysOwnParser) {
    EXPECT_EQ(answer(), "{\"settings_file\": null, \"motion_timeout_ms\": 100, \"problems\": [], \"refused\": []}");
    settings_file("motion-timeout = 150  # the last valid line wins\nmotion-timeout = 0.5\n");
    EXPECT_EQ(answer(), "{\"settings_file\": \"" + path_ +
                            "\", \"motion_timeout_ms\": 150, \"problems\": [\"settings file " + path_ +
                            " line 2: '0.5' is not a time from 1 to 10000 ms; line ignored\"], \"refused\": []}");
    setenv("ZIBREL_CONFIG", "/", 1);
    EXPECT_NE(answer().find("\"motion_timeout_ms\": 100, \"problems\": [\"settings file / (ZIBREL_CONFIG) is not "
                            "a regular file (a directory); defaults apply\"]"),
              std::string::npos);
}

TEST_F(SettingsInEffectTest, ExtraSettingsApplyAfterTheFileOrSayWhyNot) {
    settings_file("motion-timeout = 150\n");
    EXPECT_NE(answer({"motion-timeout"}, {" 12.5 "}).find("\"motion_timeout_ms\": 12.5, \"problems\": [], "
                                                          "\"refused\": [null]}"),
              std::string::npos);
    EXPECT_NE(answer({"motion-timeout", "bogus", "motion-timeout"}, {"0.5", "1", "20000"})
                  .find("\"motion_timeout_ms\": 150, \"problems\": [], \"refused\": [\"'0.5' is not a time from 1 to "
                        "10000 ms\", \"unknown setting 'bogus'\", \"'20000' is not a time from 1 to 10000 ms\"]}"),
              std::string::npos);
    // A short buffer holds the start of the text, NUL-terminated; the length is the whole text's.
    const size_t n = zbx_settings(nullptr, nullptr, 0, nullptr, 0);
    char small[6] = "xxxxx";
    EXPECT_EQ(zbx_settings(nullptr, nullptr, 0, small, sizeof small), n);
    EXPECT_STREQ(small, "{\"set");
}

}  // namespace
}  // namespace navtest
