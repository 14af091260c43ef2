// Base class of an application's navigation model: the accessor defaults, the
// connection, and the controls an application needs (enable, profile, frame
// timing, active command set, command-set publication).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "commands/action_node.h"
#include "framework/accessors.h"
#include "framework/connection.h"

namespace Qor::Kinemo::Navigation3D {

// Frame timing sources as the library numbers them; the system stores and forwards the number.
enum FrameTimingSource : int32_t {
    // Frames are timed by the library's own clock: the library's default, and ours at construction.
    TimingSourceLibrary = 0,
    // One frame per "frame.time" written by the application.
    TimingSourceApplication = 1,
};

class CNavigation3D : public IZibrelProperty, public IAccessors {
public:
    using time_point = std::chrono::steady_clock::time_point;

    CNavigation3D(bool multiThreaded, bool option);
    ~CNavigation3D() override;
    CNavigation3D(const CNavigation3D&) = delete;
    CNavigation3D& operator=(const CNavigation3D&) = delete;

    int32_t Write(const std::string& name, const zibrel::value& value) override;
    int32_t Read(const std::string& name, std::string& text) override;
    int32_t Read(const std::string& name, zibrel::value& value) override;

    int32_t GetCoordinateSystem(matrix& matrix) override;
    int32_t GetFrontView(matrix& matrix) override;
    int32_t GetCameraTarget(point& target) override;
    int32_t GetViewConstructionPlane(plane& plane) override;
    int32_t GetViewFocusDistance(double& distance) override;
    int32_t GetIsViewRotatable(flag& rotatable) override;
    int32_t SetCameraTarget(const point& target) override;
    int32_t SetPointerPosition(const point& position) override;
    int32_t GetUnitsToMeters(double& meters) override;
    int32_t GetFloorPlane(plane& floor) override;
    int32_t SetSettingsChanged(int32_t change) override;
    int32_t SetKeyPress(int32_t vkey) override;
    int32_t SetKeyRelease(int32_t vkey) override;
    int32_t SetTransaction(int32_t transaction) override;
    int32_t SetMotionFlag(bool motion) override;

    void EnableNavigation(bool enable);
    bool IsEnabled() const { return enabled_; }
    std::string GetProfileHint() const { return profileHint_; }
    void PutProfileHint(std::string hint);
    time_point GetFrameTime() { return frameTime_; }
    void PutFrameTime(time_point time);
    FrameTimingSource GetFrameTimingSource() const { return frameTimingSource_; }
    void PutFrameTimingSource(FrameTimingSource source);
    std::string GetActiveCommands() const;
    void PutActiveCommands(const std::string& id);
    void PublishCommandSet(const Qor::Kinemo::CCommandSet& set);

protected:
    // For the most-derived destructor: stop callbacks from reaching this object
    // (Detach), then wait for those already inside it (WaitForCallbacks) without
    // holding any lock they may need.
    void DetachConnection() { connection_->Detach(); enabled_ = false; }
    void WaitForCallbacks() { connection_->WaitForCallbacks(); }
    // The connection, for code that must outlive this object while it waits.
    std::shared_ptr<CZibrelImpl> Connection() const { return connection_; }

private:
    bool enabled_ = false;
    std::string profileHint_;
    time_point frameTime_{};
    FrameTimingSource frameTimingSource_ = TimingSourceLibrary;
    std::shared_ptr<CZibrelImpl> connection_;
};

}  // namespace Qor::Kinemo::Navigation3D
