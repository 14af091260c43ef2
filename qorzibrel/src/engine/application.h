// The application as the engine reaches it: the properties of the shared
// table, read and written by their place in it. The interface layer implements
// this over a connection's accessors; the engine knows no connection.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "zibrel/property_table.h"
#include "zibrel/value_record.h"

namespace zibrel::qorzibrel {

// The highest place (the rows' pos column, 1-based) in the shared table.
inline constexpr int last_property_position = [] {
    int highest = 0;
#define ZIBREL_HIGHEST_POSITION(pos, ...) highest = std::max(highest, pos);
    ZIBREL_PROPERTIES(ZIBREL_HIGHEST_POSITION, ZIBREL_HIGHEST_POSITION)
#undef ZIBREL_HIGHEST_POSITION
    return highest;
}();

// An engine owns its application and may outlive the connection it came from
// (a frame can still be running when the connection is freed), so an
// implementation keeps its own hold on whatever it calls.
//
// A property is named by its place in the shared table, so that a frame looks
// nothing up by name; a place outside 1..last_property_position is answered by
// no accessor.
class application {
public:
    virtual ~application() = default;

    // Whether the application answers reads (writes) of the property at `position`.
    virtual bool can_get(int position) const = 0;
    virtual bool can_put(int position) const = 0;
    // Read (write) it on the calling thread: the application's own result, 0
    // for success. A property it does not answer gives property-not-found.
    virtual int32_t get(int position, value& v) const = 0;
    virtual int32_t put(int position, const value& v) const = 0;
};

// A number from a numeric record; NaN for any other type.
inline double read_number(const value& v) noexcept {
    switch (v.type) {
    case bool_type: return v.b;
    case long_type: return v.l;
    case float_type: return v.f;
    case double_type: return v.d;
    default: return std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace zibrel::qorzibrel
