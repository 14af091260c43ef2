// The typed accessor interfaces through which the library's property reads and
// writes are answered. Every method returns a result code; a getter writes its
// output only when it succeeds.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "framework/properties.h"
#include "values/value.h"

namespace Qor::Kinemo::Navigation3D {

using zibrel::box;
using zibrel::flag;
using zibrel::frustum;
using zibrel::matrix;
using zibrel::plane;
using zibrel::point;
using zibrel::vector;

// How an accessor exchanges a value of the table's type T: a getter fills a
// reference (a flag for a bool); a setter takes numbers, flags and texts by
// value and geometry by const reference.
template <typename T>
using accessor_output = std::conditional_t<std::is_same_v<T, bool>, flag, T>;
template <typename T>
using accessor_input = std::conditional_t<std::is_arithmetic_v<T> || std::is_same_v<T, std::string>, T, const T&>;

// Each interface declares the getter and setter of every property the table
// gives it, in the table's order.
#define ZIBREL_ACCESSOR_METHODS(pos, id, text, type, access, iface, T, M, getter, get, gk, gn, setter, set, sk, sn) \
    ZIBREL_IF_SERVED(gk, virtual int32_t getter(accessor_output<T>& value) = 0;)                                    \
    ZIBREL_IF_SERVED(sk, virtual int32_t setter(accessor_input<T> value) = 0;)

class ISpace3D {
public:
    virtual ~ISpace3D() = default;
    ZIBREL_ISPACE3D_PROPERTIES(ZIBREL_ACCESSOR_METHODS, ISpace3D)
};

class IView {
public:
    virtual ~IView() = default;
    ZIBREL_IVIEW_PROPERTIES(ZIBREL_ACCESSOR_METHODS, IView)
};

class IModel {
public:
    virtual ~IModel() = default;
    ZIBREL_IMODEL_PROPERTIES(ZIBREL_ACCESSOR_METHODS, IModel)
};

class IPivot {
public:
    virtual ~IPivot() = default;
    ZIBREL_IPIVOT_PROPERTIES(ZIBREL_ACCESSOR_METHODS, IPivot)
};

class IHit {
public:
    virtual ~IHit() = default;
    ZIBREL_IHIT_PROPERTIES(ZIBREL_ACCESSOR_METHODS, IHit)
};

class IEvents {
public:
    virtual ~IEvents() = default;
    ZIBREL_IEVENTS_PROPERTIES(ZIBREL_ACCESSOR_METHODS, IEvents)
};

class IState {
public:
    virtual ~IState() = default;
    ZIBREL_ISTATE_PROPERTIES(ZIBREL_ACCESSOR_METHODS, IState)
};

#undef ZIBREL_ACCESSOR_METHODS

class IAccessors : public ISpace3D, public IView, public IModel, public IPivot, public IHit, public IEvents, public IState {
};

}  // namespace Qor::Kinemo::Navigation3D
