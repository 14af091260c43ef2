// The application as the engine reaches it: its properties, read and written
// by name. The interface layer implements this over a connection's accessors;
// the engine knows no connection.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

#include "zibrel/value_record.h"

namespace zibrel::qorzibrel {

// An engine owns its application and may outlive the connection it came from
// (a frame can still be running when the connection is freed), so an
// implementation keeps its own copy of whatever it calls.
class application {
public:
    virtual ~application() = default;

    // Whether the application answers reads (writes) of `name`.
    virtual bool can_get(std::string_view name) const = 0;
    virtual bool can_put(std::string_view name) const = 0;
    // Read (write) `name` on the calling thread: the application's own result,
    // 0 for success. A name it does not answer gives property-not-found.
    virtual int32_t get(std::string_view name, value& v) const = 0;
    virtual int32_t put(std::string_view name, const value& v) const = 0;
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
