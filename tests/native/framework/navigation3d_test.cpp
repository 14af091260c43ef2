// CNavigation3D: its accessor defaults and the navigation controls, against our library.
#include <chrono>
#include <string>
#include <system_error>

#include "commands/action_node.h"
#include "framework/navigation3d.h"
#include "framework_support.h"

using namespace fwtest;
using namespace zibrel;
using namespace std::chrono_literals;

static testing::Environment* const library_environment = testing::AddGlobalTestEnvironment(new LibraryEnvironment);

namespace {

// The smallest native model: every accessor without a default is unsupported.
class Model : public CNavigation3D {
public:
    Model() : CNavigation3D(false, false) {}
    ~Model() override {
        DetachConnection();
        WaitForCallbacks();
    }
#define UNSUPPORTED(method, parameter) \
    int32_t method(parameter) override { return result_from_error(function_not_supported); }
    UNSUPPORTED(GetCameraMatrix, matrix&)
    UNSUPPORTED(GetPointerPosition, point&)
    UNSUPPORTED(GetViewExtents, box&)
    UNSUPPORTED(GetViewFOV, double&)
    UNSUPPORTED(GetViewFrustum, frustum&)
    UNSUPPORTED(GetIsViewPerspective, flag&)
    UNSUPPORTED(SetCameraMatrix, const matrix&)
    UNSUPPORTED(SetViewExtents, const box&)
    UNSUPPORTED(SetViewFOV, double)
    UNSUPPORTED(SetViewFrustum, const frustum&)
    UNSUPPORTED(GetModelExtents, box&)
    UNSUPPORTED(GetSelectionExtents, box&)
    UNSUPPORTED(GetSelectionTransform, matrix&)
    UNSUPPORTED(GetIsSelectionEmpty, flag&)
    UNSUPPORTED(SetSelectionTransform, const matrix&)
    UNSUPPORTED(GetPivotPosition, point&)
    UNSUPPORTED(IsUserPivot, flag&)
    UNSUPPORTED(SetPivotPosition, const point&)
    UNSUPPORTED(GetPivotVisible, flag&)
    UNSUPPORTED(SetPivotVisible, bool)
    UNSUPPORTED(GetHitLookAt, point&)
    UNSUPPORTED(SetHitAperture, double)
    UNSUPPORTED(SetHitDirection, const vector&)
    UNSUPPORTED(SetHitLookFrom, const point&)
    UNSUPPORTED(SetHitSelectionOnly, bool)
    UNSUPPORTED(SetActiveCommand, std::string)
#undef UNSUPPORTED
};

class Navigation : public testing::Test {
protected:
    void TearDown() override { zbctl_inject("ZbCreate", 0, 0); }

    uint64_t connection() const { return zbctl_last_connection(); }

    Model model;
    const uint64_t creates = zbctl_create_count();
    const uint64_t closes = zbctl_close_count();
};

}  // namespace

TEST_F(Navigation, AccessorDefaults) {
    matrix m{};
    m.m01 = 9;
    EXPECT_EQ(model.GetCoordinateSystem(m), 0);
    EXPECT_EQ(m.m00 + m.m11 + m.m22 + m.m33, 4);
    EXPECT_EQ(m.m01, 0);
    matrix front{};
    EXPECT_EQ(model.GetFrontView(front), 0);
    EXPECT_EQ(front.m00 + front.m11 + front.m22 + front.m33, 4);

    flag rotatable = 0;
    EXPECT_EQ(model.GetIsViewRotatable(rotatable), 0);
    EXPECT_EQ(rotatable, 1u);

    const point marker{7, 7, 7};
    point target = marker;
    EXPECT_EQ(model.GetCameraTarget(target), static_cast<int32_t>(0x80040078u));
    EXPECT_EQ(target.x, 7) << "a failing default writes nothing";
    plane construction{};
    double distance = 3;
    EXPECT_EQ(model.GetViewConstructionPlane(construction), static_cast<int32_t>(0x80040078u));
    EXPECT_EQ(model.GetViewFocusDistance(distance), static_cast<int32_t>(0x80040078u));
    EXPECT_EQ(distance, 3);

    double meters = 5;
    plane floor{};
    EXPECT_EQ(model.GetUnitsToMeters(meters), static_cast<int32_t>(0x80040028u));
    EXPECT_EQ(meters, 5);
    EXPECT_EQ(model.GetFloorPlane(floor), static_cast<int32_t>(0x80040028u));
    for (int32_t r : {model.SetCameraTarget(marker), model.SetPointerPosition(marker), model.SetSettingsChanged(1),
                      model.SetKeyPress(1), model.SetKeyRelease(1), model.SetTransaction(1), model.SetMotionFlag(true)})
        EXPECT_EQ(r, static_cast<int32_t>(0x80040028u));
}

TEST_F(Navigation, EnableAndDisable) {
    EXPECT_FALSE(model.IsEnabled());
    EXPECT_EQ([&]() -> std::string {
                  try {
                      model.EnableNavigation(true);
                  } catch (const std::invalid_argument& e) {
                      return e.what();
                  }
                  return "(nothing thrown)";
              }(),
              "The text for the profile is empty.");
    EXPECT_FALSE(model.IsEnabled());

    model.EnableNavigation(false);  // disabling a disabled model makes no call
    EXPECT_EQ(zbctl_close_count(), closes);

    model.PutProfileHint("profile");
    EXPECT_EQ(zbctl_create_count(), creates) << "storing a hint while disabled does not connect";
    model.EnableNavigation(true);
    model.EnableNavigation(true);
    EXPECT_TRUE(model.IsEnabled());
    EXPECT_EQ(zbctl_create_count(), creates + 1) << "enabling twice opens once";
    model.EnableNavigation(false);
    EXPECT_FALSE(model.IsEnabled());
    EXPECT_EQ(zbctl_close_count(), closes + 1);
}

TEST_F(Navigation, RefusedEnableLeavesTheModelDisabled) {
    model.PutProfileHint("refused");
    zbctl_inject("ZbCreate", static_cast<int32_t>(0x80040202u), 1);
    EXPECT_THROW(model.EnableNavigation(true), std::system_error);
    EXPECT_FALSE(model.IsEnabled());
    model.EnableNavigation(true);
    EXPECT_TRUE(model.IsEnabled());
}

TEST_F(Navigation, ProfileHintChanges) {
    model.PutProfileHint("first");
    model.EnableNavigation(true);
    model.PutProfileHint("first");
    EXPECT_EQ(zbctl_create_count(), creates + 1) << "the same hint does not reconnect";

    model.PutProfileHint("second");
    EXPECT_EQ(zbctl_create_count(), creates + 2);
    EXPECT_EQ(zbctl_close_count(), closes + 1);
    char profile[32];
    zbctl_profile(connection(), profile, sizeof profile);
    EXPECT_STREQ(profile, "second");
    EXPECT_EQ(model.GetProfileHint(), "second");

    EXPECT_THROW(model.PutProfileHint(""), std::invalid_argument);
    EXPECT_FALSE(model.IsEnabled());
    EXPECT_EQ(model.GetProfileHint(), "");
    EXPECT_EQ(zbctl_close_count(), closes + 2);
    EXPECT_EQ(zbctl_open_connections(), 0);
}

TEST_F(Navigation, FrameTimeAndTimingSource) {
    const auto epoch = CNavigation3D::time_point{};
    EXPECT_EQ(model.GetFrameTime(), epoch);
    model.PutFrameTime(epoch + 250ms);  // disabled: stored, nothing raised
    EXPECT_EQ(model.GetFrameTime(), epoch + 250ms);
    EXPECT_EQ(model.GetFrameTimingSource(), TimingSourceLibrary);

    model.PutProfileHint("frames");
    model.EnableNavigation(true);
    const uint64_t conn = connection();
    model.PutFrameTime(epoch + 1500ms);
    model.PutFrameTime(epoch + 1500ms);
    EXPECT_EQ(zbctl_write_count(conn, "frame.time"), 1u) << "the same frame time is written once";
    value written;
    ASSERT_EQ(zbctl_written(conn, "frame.time", &written), 1);
    EXPECT_EQ(written.type, double_type);
    EXPECT_EQ(written.d, 1500.0);

    model.PutFrameTimingSource(TimingSourceLibrary);
    EXPECT_EQ(zbctl_write_count(conn, "frame.timingSource"), 0u) << "the initial source is not written again";
    model.PutFrameTimingSource(TimingSourceApplication);
    ASSERT_EQ(zbctl_written(conn, "frame.timingSource", &written), 1);
    EXPECT_EQ(written.type, long_type);
    EXPECT_EQ(written.l, 1);
}

TEST_F(Navigation, TimingSourcePutWhileDisabledReachesTheLibraryOnEnable) {
    model.PutFrameTimingSource(TimingSourceApplication);
    model.PutProfileHint("late source");
    model.EnableNavigation(true);
    value written;
    ASSERT_EQ(zbctl_written(connection(), "frame.timingSource", &written), 1);
    EXPECT_EQ(written.l, 1);
}

TEST_F(Navigation, ActiveCommandSet) {
    try {
        model.GetActiveCommands();
        FAIL() << "reading while disabled must throw";
    } catch (const std::system_error& e) {
        EXPECT_STREQ(e.what(), "operation not permitted");
    }
    EXPECT_THROW(model.PutActiveCommands("set"), std::system_error);

    model.PutProfileHint("commands");
    model.EnableNavigation(true);
    EXPECT_EQ(model.GetActiveCommands(), "");
    model.PutActiveCommands("viewing set");
    EXPECT_EQ(model.GetActiveCommands(), "viewing set");
    value written;
    ASSERT_EQ(zbctl_written(connection(), "commands.activeSet", &written), 1);
    EXPECT_EQ(written.type, cstr_type);
    EXPECT_EQ(written.cs.length, 12u) << "the terminating NUL is counted";
}

TEST_F(Navigation, PublishCommandSet) {
    Qor::Kinemo::CCommandSet set("S", "Set");
    set.push_back(Qor::Kinemo::CCommand("c1", "Command 1", ""));
    EXPECT_THROW(model.PublishCommandSet(set), std::system_error) << "not enabled";

    model.PutProfileHint("publish");
    model.EnableNavigation(true);
    model.PublishCommandSet(set);
    char tree[256];
    ASSERT_GT(zbctl_tree(connection(), tree, sizeof tree), 0);
    EXPECT_STREQ(tree, "0 S|Set|-\n  2 c1|Command 1|-\n");
}
