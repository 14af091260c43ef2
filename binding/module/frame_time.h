// The frame time as Python passes it: a datetime.timedelta, or seconds as a
// float or an int, since the steady clock's epoch. A value the clock cannot
// hold (NaN, infinities, beyond its +-292 years of nanoseconds) is refused
// before anything is stored or written.
#pragma once

#include <pybind11/pybind11.h>
// datetime.h after pybind11 (Python.h first); PyDateTime_IMPORT fills this file's API pointer.
#include <datetime.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>

namespace zibrel {

struct frame_time_arg {
    std::chrono::steady_clock::time_point time;
};

namespace frame_time_detail {

[[noreturn]] inline void refuse(PyObject* kind, pybind11::handle time, const char* why) {
    const std::string text = "The frame time " + pybind11::repr(time).cast<std::string>() + " " + why;
    PyErr_SetString(kind, text.c_str());
    throw pybind11::error_already_set();
}

inline constexpr const char* out_of_range =
    "is out of range: the clock counts 64-bit nanoseconds, about +-9223372036 seconds (292 years) from its epoch.";

inline int64_t from_timedelta(pybind11::handle time) {
    int64_t n = PyDateTime_DELTA_GET_DAYS(time.ptr());
    const bool overflow = __builtin_mul_overflow(n, int64_t{86400}, &n) ||
                          __builtin_add_overflow(n, int64_t{PyDateTime_DELTA_GET_SECONDS(time.ptr())}, &n) ||
                          __builtin_mul_overflow(n, int64_t{1'000'000}, &n) ||
                          __builtin_add_overflow(n, int64_t{PyDateTime_DELTA_GET_MICROSECONDS(time.ptr())}, &n) ||
                          __builtin_mul_overflow(n, int64_t{1'000}, &n);
    if (overflow) refuse(PyExc_OverflowError, time, out_of_range);
    return n;
}

inline int64_t from_float(pybind11::handle time) {
    const double seconds = PyFloat_AsDouble(time.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) throw pybind11::error_already_set();
    if (std::isnan(seconds)) refuse(PyExc_ValueError, time, "is not a number.");
    const double nanoseconds = seconds * 1e9;
    // 2^63 is exact as a double; everything below it converts without overflow.
    if (!(nanoseconds >= -9223372036854775808.0 && nanoseconds < 9223372036854775808.0))
        refuse(PyExc_OverflowError, time, out_of_range);
    return static_cast<int64_t>(nanoseconds);
}

inline int64_t from_int(pybind11::handle time) {
    pybind11::object index = pybind11::reinterpret_steal<pybind11::object>(PyNumber_Index(time.ptr()));
    if (!index) throw pybind11::error_already_set();
    int overflow = 0;
    int64_t n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw pybind11::error_already_set();
    if (overflow != 0 || __builtin_mul_overflow(n, int64_t{1'000'000'000}, &n))
        refuse(PyExc_OverflowError, time, out_of_range);
    return n;
}

}  // namespace frame_time_detail
}  // namespace zibrel

namespace pybind11::detail {

template <>
struct type_caster<zibrel::frame_time_arg> {
    PYBIND11_TYPE_CASTER(zibrel::frame_time_arg, const_name("datetime.timedelta | float | int"));

    // Anything else (text, None, a bool) is not a time: pybind11 reports the
    // incompatible arguments. A time out of range raises from here.
    bool load(handle source, bool) {
        namespace d = zibrel::frame_time_detail;
        if (PyDateTimeAPI == nullptr) {
            PyDateTime_IMPORT;
            if (PyDateTimeAPI == nullptr) throw error_already_set();
        }
        int64_t nanoseconds;
        if (PyDelta_Check(source.ptr()))
            nanoseconds = d::from_timedelta(source);
        else if (PyFloat_Check(source.ptr()))
            nanoseconds = d::from_float(source);
        else if (PyIndex_Check(source.ptr()) && !PyBool_Check(source.ptr()))
            nanoseconds = d::from_int(source);
        else
            return false;
        value.time = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(nanoseconds));
        return true;
    }
};

}  // namespace pybind11::detail
