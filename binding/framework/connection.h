// The connection between an application's navigation model and the library:
// CZibrelImpl is what the model holds, CZibrelInterface the inner layer that
// registers the model, opens the library connection and serves its callbacks.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "framework/accessors.h"
#include "framework/sink_collection.h"
#include "zibrel/library_interface.h"
#include "values/value.h"

namespace Qor::Kinemo::Navigation3D {

using zibrel::connection_handle;
using zibrel::create_options;
using zibrel::sink_cookie;
using zibrel::value;
using zibrel::zbOptions;

class IZibrelProperty {
public:
    virtual ~IZibrelProperty() = default;
    virtual int32_t Write(const std::string& name, const value& value) = 0;
    virtual int32_t Read(const std::string& name, std::string& text) = 0;
    virtual int32_t Read(const std::string& name, value& value) = 0;
};

class IZibrel : public IZibrelProperty {
public:
    virtual void Close() = 0;
    virtual void Open(std::string profile) = 0;
    virtual void Open() = 0;
};

class CZibrelInterface;

class CZibrelImpl : public IZibrel, private IAccessors, public std::enable_shared_from_this<CZibrelImpl> {
public:
    static std::shared_ptr<CZibrelImpl> CreateInstance(IAccessors* accessors, bool multiThreaded, zbOptions options);
    static std::shared_ptr<CZibrelImpl> CreateInstance(IAccessors* accessors, bool multiThreaded, bool option);

    ~CZibrelImpl() override;

    int32_t Write(const std::string& name, const value& value) override;
    int32_t Read(const std::string& name, std::string& text) override;
    int32_t Read(const std::string& name, value& value) override;
    void Close() override;
    void Open(std::string profile) override;
    void Open() override;

    // Withdraws the application's accessors before they are destroyed: closes the
    // connection, removes the cookie from the registry and refuses every later
    // accessor call. Callbacks already inside an accessor go on; WaitForCallbacks
    // waits for them (other than those the calling thread is itself inside), and
    // must be called without any lock those callbacks take.
    void Detach();
    void WaitForCallbacks();

    // In the child of a fork, where only the forking thread lives on: counts
    // only its own calls as in progress, so that nothing waits for the others.
    void ForgetCallsOfOtherThreads();

protected:
    explicit CZibrelImpl(IAccessors* accessors);

private:
    class call_guard;

    void RefuseIfDetached() const;

    int32_t GetCoordinateSystem(matrix& matrix) override;
    int32_t GetFrontView(matrix& matrix) override;
    int32_t GetCameraMatrix(matrix& matrix) override;
    int32_t GetCameraTarget(point& target) override;
    int32_t GetPointerPosition(point& position) override;
    int32_t GetViewConstructionPlane(plane& plane) override;
    int32_t GetViewExtents(box& extents) override;
    int32_t GetViewFocusDistance(double& distance) override;
    int32_t GetViewFOV(double& fov) override;
    int32_t GetViewFrustum(frustum& frustum) override;
    int32_t GetIsViewPerspective(flag& perspective) override;
    int32_t GetIsViewRotatable(flag& rotatable) override;
    int32_t SetCameraMatrix(const matrix& matrix) override;
    int32_t SetCameraTarget(const point& target) override;
    int32_t SetPointerPosition(const point& position) override;
    int32_t SetViewExtents(const box& extents) override;
    int32_t SetViewFOV(double fov) override;
    int32_t SetViewFrustum(const frustum& frustum) override;
    int32_t GetModelExtents(box& extents) override;
    int32_t GetSelectionExtents(box& extents) override;
    int32_t GetSelectionTransform(matrix& transform) override;
    int32_t GetIsSelectionEmpty(flag& empty) override;
    int32_t SetSelectionTransform(const matrix& transform) override;
    int32_t GetUnitsToMeters(double& meters) override;
    int32_t GetFloorPlane(plane& floor) override;
    int32_t GetPivotPosition(point& position) override;
    int32_t IsUserPivot(flag& userPivot) override;
    int32_t SetPivotPosition(const point& position) override;
    int32_t GetPivotVisible(flag& visible) override;
    int32_t SetPivotVisible(bool visible) override;
    int32_t GetHitLookAt(point& position) override;
    int32_t SetHitAperture(double aperture) override;
    int32_t SetHitDirection(const vector& direction) override;
    int32_t SetHitLookFrom(const point& eye) override;
    int32_t SetHitSelectionOnly(bool onlySelection) override;
    int32_t SetActiveCommand(std::string commandId) override;
    int32_t SetSettingsChanged(int32_t change) override;
    int32_t SetKeyPress(int32_t vkey) override;
    int32_t SetKeyRelease(int32_t vkey) override;
    int32_t SetTransaction(int32_t transaction) override;
    int32_t SetMotionFlag(bool motion) override;

    IAccessors* accessors_;
    std::unique_ptr<IZibrel> interface_;
    // Accessor calls in progress, and whether new ones are refused.
    std::atomic<int> active_calls_{0};
    std::atomic<bool> detached_{false};
};

// The registry of accessor objects that the library's callbacks look up.
using SinkRegistry = Qor::Kinemo::StaticSinkCollection<class CZibrelInterface, IWeakPtr>;

class CZibrelInterface : public IZibrel, private Qor::Kinemo::StaticSinkCollection<CZibrelInterface, IWeakPtr> {
public:
    CZibrelInterface(std::shared_ptr<IAccessors> accessors, bool multiThreaded, zbOptions options);
    ~CZibrelInterface() override;

    int32_t Write(const std::string& name, const value& value) override;
    int32_t Read(const std::string& name, std::string& text) override;
    int32_t Read(const std::string& name, value& value) override;
    void Close() override;
    void Open(std::string profile) override;
    void Open() override;

    // Removes the cookie from the registry now rather than at destruction.
    void Withdraw();

    static int32_t ReadValue(connection_handle handle, const char* name, value* value);
    static int32_t WriteValue(connection_handle handle, const char* name, const value* value);

    template <typename F>
    static int32_t GetValue(sink_cookie cookie, const char* property, value* value, F call);
    template <typename F>
    static int32_t SetValue(sink_cookie cookie, const char* property, const value* value, F call);

    // The library's callbacks, one per accessor method.
    static int32_t GetCoordinateSystem(sink_cookie cookie, const char* property, value* value);
    static int32_t GetFrontView(sink_cookie cookie, const char* property, value* value);
    static int32_t GetCameraMatrix(sink_cookie cookie, const char* property, value* value);
    static int32_t GetCameraTarget(sink_cookie cookie, const char* property, value* value);
    static int32_t GetPointerPosition(sink_cookie cookie, const char* property, value* value);
    static int32_t GetViewConstructionPlane(sink_cookie cookie, const char* property, value* value);
    static int32_t GetViewExtents(sink_cookie cookie, const char* property, value* value);
    static int32_t GetViewFocusDistance(sink_cookie cookie, const char* property, value* value);
    static int32_t GetViewFOV(sink_cookie cookie, const char* property, value* value);
    static int32_t GetViewFrustum(sink_cookie cookie, const char* property, value* value);
    static int32_t GetIsViewPerspective(sink_cookie cookie, const char* property, value* value);
    static int32_t GetIsViewRotatable(sink_cookie cookie, const char* property, value* value);
    static int32_t SetCameraMatrix(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetCameraTarget(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetPointerPosition(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetViewExtents(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetViewFOV(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetViewFrustum(sink_cookie cookie, const char* property, const value* value);
    static int32_t GetModelExtents(sink_cookie cookie, const char* property, value* value);
    static int32_t GetSelectionExtents(sink_cookie cookie, const char* property, value* value);
    static int32_t GetSelectionTransform(sink_cookie cookie, const char* property, value* value);
    static int32_t GetIsSelectionEmpty(sink_cookie cookie, const char* property, value* value);
    static int32_t SetSelectionTransform(sink_cookie cookie, const char* property, const value* value);
    static int32_t GetUnitsToMeters(sink_cookie cookie, const char* property, value* value);
    static int32_t GetFloorPlane(sink_cookie cookie, const char* property, value* value);
    static int32_t GetPivotPosition(sink_cookie cookie, const char* property, value* value);
    static int32_t IsUserPivot(sink_cookie cookie, const char* property, value* value);
    static int32_t SetPivotPosition(sink_cookie cookie, const char* property, const value* value);
    static int32_t GetPivotVisible(sink_cookie cookie, const char* property, value* value);
    static int32_t SetPivotVisible(sink_cookie cookie, const char* property, const value* value);
    static int32_t GetHitLookAt(sink_cookie cookie, const char* property, value* value);
    static int32_t SetHitAperture(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetHitDirection(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetHitLookFrom(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetHitSelectionOnly(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetActiveCommand(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetSettingsChanged(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetKeyPress(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetKeyRelease(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetTransaction(sink_cookie cookie, const char* property, const value* value);
    static int32_t SetMotionFlag(sink_cookie cookie, const char* property, const value* value);

private:
    connection_handle handle_ = 0;
    std::mutex mutex_;
    // Set while Open runs, so that an Open from inside it is refused instead of deadlocking.
    std::atomic<bool> opening_{false};
    sink_cookie cookie_ = 0;
    std::string profile_;
    create_options options_;
};

}  // namespace Qor::Kinemo::Navigation3D
