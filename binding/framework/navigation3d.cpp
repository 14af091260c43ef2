#include "framework/navigation3d.h"

#include <system_error>

#include "framework/errors.h"
#include "framework/properties.h"

namespace Qor::Kinemo::Navigation3D {

using namespace zibrel;

namespace {
constexpr matrix identity{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
}

CNavigation3D::CNavigation3D(bool multiThreaded, bool option)
    : connection_(CZibrelImpl::CreateInstance(static_cast<IAccessors*>(this), multiThreaded, option)) {}

CNavigation3D::~CNavigation3D() = default;

int32_t CNavigation3D::Write(const std::string& name, const value& value) { return connection_->Write(name, value); }
int32_t CNavigation3D::Read(const std::string& name, std::string& text) { return connection_->Read(name, text); }
int32_t CNavigation3D::Read(const std::string& name, value& value) { return connection_->Read(name, value); }

int32_t CNavigation3D::GetCoordinateSystem(matrix& matrix) {
    matrix = identity;
    return 0;
}
int32_t CNavigation3D::GetFrontView(matrix& matrix) {
    matrix = identity;
    return 0;
}
int32_t CNavigation3D::GetCameraTarget(point&) { return result_from_error(no_data); }
int32_t CNavigation3D::GetViewConstructionPlane(plane&) { return result_from_error(no_data); }
int32_t CNavigation3D::GetViewFocusDistance(double&) { return result_from_error(no_data); }
int32_t CNavigation3D::GetIsViewRotatable(flag& rotatable) {
    rotatable = 1;
    return 0;
}
int32_t CNavigation3D::SetCameraTarget(const point&) { return result_from_error(function_not_supported); }
int32_t CNavigation3D::SetPointerPosition(const point&) { return result_from_error(function_not_supported); }
int32_t CNavigation3D::GetUnitsToMeters(double&) { return result_from_error(function_not_supported); }
int32_t CNavigation3D::GetFloorPlane(plane&) { return result_from_error(function_not_supported); }
int32_t CNavigation3D::SetSettingsChanged(int32_t) { return result_from_error(function_not_supported); }
int32_t CNavigation3D::SetKeyPress(int32_t) { return result_from_error(function_not_supported); }
int32_t CNavigation3D::SetKeyRelease(int32_t) { return result_from_error(function_not_supported); }
int32_t CNavigation3D::SetTransaction(int32_t) { return result_from_error(function_not_supported); }
int32_t CNavigation3D::SetMotionFlag(bool) { return result_from_error(function_not_supported); }

void CNavigation3D::EnableNavigation(bool enable) {
    if (enable == enabled_) return;
    if (enable) {
        connection_->Open(profileHint_);
        enabled_ = true;
        // A timing source put while disabled could not reach the library then;
        // hand it over now so it is not silently lost.
        if (frameTimingSource_ != TimingSourceLibrary)
            Write(frame_timing_source, value(static_cast<int32_t>(frameTimingSource_)));
    } else {
        connection_->Close();
        enabled_ = false;
    }
}

void CNavigation3D::PutProfileHint(std::string hint) {
    if (hint == profileHint_) return;
    profileHint_ = std::move(hint);
    if (enabled_) {
        EnableNavigation(false);
        EnableNavigation(true);
    }
}

void CNavigation3D::PutFrameTime(time_point time) {
    if (time == frameTime_) return;
    frameTime_ = time;
    const double milliseconds =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count()) /
        1000000.0;
    Write(frame_time, value(milliseconds));
}

void CNavigation3D::PutFrameTimingSource(FrameTimingSource source) {
    if (source == frameTimingSource_) return;
    frameTimingSource_ = source;
    Write(frame_timing_source, value(static_cast<int32_t>(source)));
}

std::string CNavigation3D::GetActiveCommands() const {
    std::string text;
    const int32_t result = connection_->Read(commands_active_set, text);
    if (result != 0) throw std::system_error(error_from_result(result));
    return text;
}

void CNavigation3D::PutActiveCommands(const std::string& id) {
    const int32_t result = connection_->Write(commands_active_set, value(id));
    if (result != 0) throw std::system_error(error_from_result(result));
}

void CNavigation3D::PublishCommandSet(const Qor::Kinemo::CCommandSet& set) {
    const int32_t result = connection_->Write(commands_tree, value(set.GetSiActionNode()));
    if (result != 0) throw std::system_error(error_from_result(result));
}

}  // namespace Qor::Kinemo::Navigation3D
