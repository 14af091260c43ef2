// The typed accessor interfaces through which the library's property reads and
// writes are answered. Every method returns a result code; a getter writes its
// output only when it succeeds.
#pragma once

#include <cstdint>
#include <string>

#include "values/value.h"

namespace Qor::Kinemo::Navigation3D {

using zibrel::box;
using zibrel::flag;
using zibrel::frustum;
using zibrel::matrix;
using zibrel::plane;
using zibrel::point;
using zibrel::vector;

class ISpace3D {
public:
    virtual ~ISpace3D() = default;
    virtual int32_t GetCoordinateSystem(matrix& matrix) = 0;
    virtual int32_t GetFrontView(matrix& matrix) = 0;
};

class IView {
public:
    virtual ~IView() = default;
    virtual int32_t GetCameraMatrix(matrix& matrix) = 0;
    virtual int32_t GetCameraTarget(point& target) = 0;
    virtual int32_t GetPointerPosition(point& position) = 0;
    virtual int32_t GetViewConstructionPlane(plane& plane) = 0;
    virtual int32_t GetViewExtents(box& extents) = 0;
    virtual int32_t GetViewFocusDistance(double& distance) = 0;
    virtual int32_t GetViewFOV(double& fov) = 0;
    virtual int32_t GetViewFrustum(frustum& frustum) = 0;
    virtual int32_t GetIsViewPerspective(flag& perspective) = 0;
    virtual int32_t GetIsViewRotatable(flag& rotatable) = 0;
    virtual int32_t SetCameraMatrix(const matrix& matrix) = 0;
    virtual int32_t SetCameraTarget(const point& target) = 0;
    virtual int32_t SetPointerPosition(const point& position) = 0;
    virtual int32_t SetViewExtents(const box& extents) = 0;
    virtual int32_t SetViewFOV(double fov) = 0;
    virtual int32_t SetViewFrustum(const frustum& frustum) = 0;
};

class IModel {
public:
    virtual ~IModel() = default;
    virtual int32_t GetModelExtents(box& extents) = 0;
    virtual int32_t GetSelectionExtents(box& extents) = 0;
    virtual int32_t GetSelectionTransform(matrix& transform) = 0;
    virtual int32_t GetIsSelectionEmpty(flag& empty) = 0;
    virtual int32_t SetSelectionTransform(const matrix& transform) = 0;
    virtual int32_t GetUnitsToMeters(double& meters) = 0;
    virtual int32_t GetFloorPlane(plane& floor) = 0;
};

class IPivot {
public:
    virtual ~IPivot() = default;
    virtual int32_t GetPivotPosition(point& position) = 0;
    virtual int32_t IsUserPivot(flag& userPivot) = 0;
    virtual int32_t SetPivotPosition(const point& position) = 0;
    virtual int32_t GetPivotVisible(flag& visible) = 0;
    virtual int32_t SetPivotVisible(bool visible) = 0;
};

class IHit {
public:
    virtual ~IHit() = default;
    virtual int32_t GetHitLookAt(point& position) = 0;
    virtual int32_t SetHitAperture(double aperture) = 0;
    virtual int32_t SetHitDirection(const vector& direction) = 0;
    virtual int32_t SetHitLookFrom(const point& eye) = 0;
    virtual int32_t SetHitSelectionOnly(bool onlySelection) = 0;
};

class IEvents {
public:
    virtual ~IEvents() = default;
    virtual int32_t SetActiveCommand(std::string commandId) = 0;
    virtual int32_t SetSettingsChanged(int32_t change) = 0;
    virtual int32_t SetKeyPress(int32_t vkey) = 0;
    virtual int32_t SetKeyRelease(int32_t vkey) = 0;
};

class IState {
public:
    virtual ~IState() = default;
    virtual int32_t SetTransaction(int32_t transaction) = 0;
    virtual int32_t SetMotionFlag(bool motion) = 0;
};

class IAccessors : public ISpace3D, public IView, public IModel, public IPivot, public IHit, public IEvents, public IState {
};

}  // namespace Qor::Kinemo::Navigation3D
