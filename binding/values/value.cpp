#include "values/value.h"

#include <sstream>
#include <type_traits>

namespace zibrel {

void value::refuse(const char* target) const {
    std::ostringstream message;
    message << "Invalid conversion from value type " << static_cast<int32_t>(type) << " to " << target;
    throw conversion_error(message.str());
}

namespace {

// The payload member that holds a T: named, not cast from another member, so
// the compiler knows which object each access reads.
template <typename T, typename Record>
auto& payload(Record& r) {
    if constexpr (std::is_same_v<T, flag>) return r.b;
    else if constexpr (std::is_same_v<T, double>) return r.d;
    else if constexpr (std::is_same_v<T, point>) return r.pt;
    else if constexpr (std::is_same_v<T, vector>) return r.v;
    else if constexpr (std::is_same_v<T, plane>) return r.pl;
    else if constexpr (std::is_same_v<T, box>) return r.bx;
    else if constexpr (std::is_same_v<T, frustum>) return r.fr;
    else {
        static_assert(std::is_same_v<T, matrix>);
        return r.m;
    }
}

}  // namespace

template <typename T>
T& value::reference(value_type t, const char* target) {
    if (type == auto_type) type = t;
    if (type != t) refuse(target);
    return payload<T>(*this);
}

template <typename T>
const T& value::exact(value_type t, const char* target) const {
    if (type != t) refuse(target);
    return payload<T>(*this);
}

value::operator flag&() { return reference<flag>(bool_type, "bool_type"); }

value::operator double&() {
    // A float record may receive a double answer: the record is re-tagged, its
    // bits are not converted since they are about to be overwritten.
    if (type == float_type) type = double_type;
    return reference<double>(double_type, "double_type");
}

value::operator point&() { return reference<point>(point_type, "point_type"); }
value::operator plane&() { return reference<plane>(plane_type, "plane_type"); }
value::operator box&() { return reference<box>(box_type, "box_type"); }
value::operator frustum&() { return reference<frustum>(frustum_type, "frustum_type"); }
value::operator matrix&() { return reference<matrix>(matrix_type, "matrix_type"); }

value::operator const point&() const { return exact<point>(point_type, "point_type"); }
value::operator const vector&() const { return exact<vector>(vector_type, "vector_type"); }
value::operator const box&() const { return exact<box>(box_type, "box_type"); }
value::operator const frustum&() const { return exact<frustum>(frustum_type, "frustum_type"); }
value::operator const matrix&() const { return exact<matrix>(matrix_type, "matrix_type"); }

namespace {
// Out-of-range and NaN inputs would make a plain cast undefined; clamp instead.
int32_t truncate(double x) noexcept {
    if (!(x == x)) return 0;
    if (x >= 2147483647.0) return INT32_MAX;
    if (x <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(x);
}
}  // namespace

value::operator int32_t() const noexcept {
    switch (type) {
    case bool_type: return static_cast<int32_t>(b);
    case long_type: return l;
    case float_type: return truncate(f);
    case double_type: return truncate(d);
    default: return 0;
    }
}

value::operator double() const noexcept {
    switch (type) {
    case bool_type: return static_cast<double>(b);
    case long_type: return l;
    case float_type: return f;
    case double_type: return d;
    default: return 0.0;
    }
}

value::operator bool() const noexcept {
    switch (type) {
    case bool_type: return b != 0;
    case long_type: return l != 0;
    case float_type: return f != 0.0f;
    case double_type: return d != 0.0;
    default: return false;
    }
}

value::operator const char*() const {
    if (type == string_type) return s.p;
    if (type == cstr_type) return cs.p;
    refuse("string_type");
}

}  // namespace zibrel
