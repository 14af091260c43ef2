// Shared pieces of the framework tests: an accessor object that records every
// call, and a library made ready once per test process.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/accessors.h"
#include "framework/connection.h"
#include "framework/errors.h"
#include "framework/properties.h"
#include "framework/startup.h"
#include "values/value.h"
#include "zibrel_test_control.h"

namespace fwtest {

using namespace Qor::Kinemo::Navigation3D;
using zibrel::value;

inline constexpr int32_t invalid_argument_result = static_cast<int32_t>(0x80040016u);
inline constexpr int32_t io_error_result = static_cast<int32_t>(0x80040005u);
inline constexpr int32_t not_permitted_result = static_cast<int32_t>(0x80040001u);

// What the recorder's getters answer.
inline const matrix answer_matrix{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
inline const point answer_point{1.5, -2, 3};
inline const plane answer_plane{{0, 0, 1}, 4};
inline const box answer_box{{-1, -2, -3}, {1, 2, 3}};
inline const frustum answer_frustum{-1, 1, -0.5, 0.5, 0.1, 100};
inline constexpr double answer_double = 0.75;

// Records each accessor call as "Method(arguments)"; getters fill their output.
class Recorder : public IAccessors {
public:
    enum class raise { nothing, out_of_range, runtime_error, non_standard };

    int32_t result = 0;
    raise throws = raise::nothing;

    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }

    int32_t GetCoordinateSystem(matrix& m) override { return get("GetCoordinateSystem", m, answer_matrix); }
    int32_t GetFrontView(matrix& m) override { return get("GetFrontView", m, answer_matrix); }
    int32_t GetCameraMatrix(matrix& m) override { return get("GetCameraMatrix", m, answer_matrix); }
    int32_t GetCameraTarget(point& p) override { return get("GetCameraTarget", p, answer_point); }
    int32_t GetPointerPosition(point& p) override { return get("GetPointerPosition", p, answer_point); }
    int32_t GetViewConstructionPlane(plane& p) override { return get("GetViewConstructionPlane", p, answer_plane); }
    int32_t GetViewExtents(box& b) override { return get("GetViewExtents", b, answer_box); }
    int32_t GetViewFocusDistance(double& d) override { return get("GetViewFocusDistance", d, answer_double); }
    int32_t GetViewFOV(double& d) override { return get("GetViewFOV", d, answer_double); }
    int32_t GetViewFrustum(frustum& f) override { return get("GetViewFrustum", f, answer_frustum); }
    int32_t GetIsViewPerspective(flag& f) override { return get("GetIsViewPerspective", f, flag{1}); }
    int32_t GetIsViewRotatable(flag& f) override { return get("GetIsViewRotatable", f, flag{1}); }
    int32_t SetCameraMatrix(const matrix& m) override { return set("SetCameraMatrix", m.m00, m.m33); }
    int32_t SetCameraTarget(const point& p) override { return set("SetCameraTarget", p.x, p.y, p.z); }
    int32_t SetPointerPosition(const point& p) override { return set("SetPointerPosition", p.x, p.y, p.z); }
    int32_t SetViewExtents(const box& b) override { return set("SetViewExtents", b.min.x, b.max.z); }
    int32_t SetViewFOV(double d) override { return set("SetViewFOV", d); }
    int32_t SetViewFrustum(const frustum& f) override { return set("SetViewFrustum", f.left, f.far_plane); }
    int32_t GetModelExtents(box& b) override { return get("GetModelExtents", b, answer_box); }
    int32_t GetSelectionExtents(box& b) override { return get("GetSelectionExtents", b, answer_box); }
    int32_t GetSelectionTransform(matrix& m) override { return get("GetSelectionTransform", m, answer_matrix); }
    int32_t GetIsSelectionEmpty(flag& f) override { return get("GetIsSelectionEmpty", f, flag{1}); }
    int32_t SetSelectionTransform(const matrix& m) override { return set("SetSelectionTransform", m.m00, m.m33); }
    int32_t GetUnitsToMeters(double& d) override { return get("GetUnitsToMeters", d, answer_double); }
    int32_t GetFloorPlane(plane& p) override { return get("GetFloorPlane", p, answer_plane); }
    int32_t GetPivotPosition(point& p) override { return get("GetPivotPosition", p, answer_point); }
    int32_t IsUserPivot(flag& f) override { return get("IsUserPivot", f, flag{1}); }
    int32_t SetPivotPosition(const point& p) override { return set("SetPivotPosition", p.x, p.y, p.z); }
    int32_t GetPivotVisible(flag& f) override { return get("GetPivotVisible", f, flag{1}); }
    int32_t SetPivotVisible(bool b) override { return set("SetPivotVisible", b); }
    int32_t GetHitLookAt(point& p) override { return get("GetHitLookAt", p, answer_point); }
    int32_t SetHitAperture(double d) override { return set("SetHitAperture", d); }
    int32_t SetHitDirection(const vector& v) override { return set("SetHitDirection", v.x, v.y, v.z); }
    int32_t SetHitLookFrom(const point& p) override { return set("SetHitLookFrom", p.x, p.y, p.z); }
    int32_t SetHitSelectionOnly(bool b) override { return set("SetHitSelectionOnly", b); }
    int32_t SetActiveCommand(std::string id) override { return set("SetActiveCommand", "'" + id + "'"); }
    int32_t SetSettingsChanged(int32_t n) override { return set("SetSettingsChanged", n); }
    int32_t SetKeyPress(int32_t n) override { return set("SetKeyPress", n); }
    int32_t SetKeyRelease(int32_t n) override { return set("SetKeyRelease", n); }
    int32_t SetTransaction(int32_t n) override { return set("SetTransaction", n); }
    int32_t SetMotionFlag(bool b) override { return set("SetMotionFlag", b); }

private:
    void record(std::string call) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back(std::move(call));
        }
        switch (throws) {
        case raise::nothing: break;
        case raise::out_of_range: throw std::out_of_range("accessor out of range");
        case raise::runtime_error: throw std::runtime_error("accessor failed");
        case raise::non_standard: throw 42;
        }
    }

    template <typename T>
    int32_t get(const char* name, T& output, const T& answer) {
        record(std::string(name) + "()");
        if (result == 0) output = answer;
        return result;
    }

    template <typename... A>
    int32_t set(const char* name, const A&... arguments) {
        std::ostringstream text;
        text << std::boolalpha << name << "(";
        const char* separator = "";
        ((text << separator << arguments, separator = ","), ...);
        text << ")";
        record(text.str());
        return result;
    }

    std::mutex mutex_;
    std::vector<std::string> calls_;
};

// The two ways a callback reaches accessors: a sink it locks for the call
// (SinkRegistry::insert), or accessors whose owner counts the calls inside
// them, as a connection registers its model (SinkRegistry::insert_direct).
enum class reached { through_sink, directly };

inline std::string name_of(reached how) { return how == reached::through_sink ? "ThroughSink" : "Directly"; }

// Registers a recorder in the sink registry.
struct registered {
    explicit registered(reached how = reached::through_sink, std::shared_ptr<Recorder> r = std::make_shared<Recorder>())
        : recorder(std::move(r)) {
        auto sink = std::make_shared<Qor::Kinemo::WeakAccessorPtr<IAccessors>>(recorder);
        if (how == reached::through_sink) {
            cookie = SinkRegistry::insert(std::move(sink));
        } else {
            record = SinkRegistry::insert_direct(std::move(sink), recorder.get());
            cookie = record->cookie.load();
        }
    }
    ~registered() {
        if (record != nullptr)
            SinkRegistry::release(record);
        else
            SinkRegistry::erase(cookie);
    }
    registered(const registered&) = delete;
    registered& operator=(const registered&) = delete;

    std::shared_ptr<Recorder> recorder;
    SinkRegistry::registration* record = nullptr;
    zibrel::sink_cookie cookie = 0;
};

// Loads our navigation library once per process, as the module does at import.
class LibraryEnvironment : public testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(zibrel::initialize_process(), 0) << "libQorZibrel.so not found"; }
};

// Captured standard error of one block.
template <typename F>
std::string stderr_of(F f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

inline std::string hex(uint64_t n) {
    std::ostringstream text;
    text << std::hex << n;
    return text.str();
}

}  // namespace fwtest
