// The navigation library's entry points and the records passed to them. The
// library is loaded at run time; these declarations fix what crosses the
// boundary, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zibrel/value_record.h"

namespace zibrel {

using connection_handle = uint64_t;
using sink_cookie = uint64_t;

using property_getter = int32_t (*)(sink_cookie cookie, const char* property, value* value);
using property_setter = int32_t (*)(sink_cookie cookie, const char* property, const value* value);

struct property_accessor {
    const char* name;
    property_getter getter;
    property_setter setter;
    sink_cookie cookie;
};

// Creation option bits; their meaning lies with the library.
enum zbOptions : uint32_t {
    zb_no_options = 0,
    zb_creation_option = 2,
};

struct create_options {
    uint32_t size;
    bool multi_threaded;
    uint32_t option_flags;
};

static_assert(sizeof(property_accessor) == 32 && offsetof(property_accessor, getter) == 8 &&
              offsetof(property_accessor, setter) == 16 && offsetof(property_accessor, cookie) == 24);
static_assert(sizeof(bool) == 1);
static_assert(sizeof(create_options) == 12 && offsetof(create_options, multi_threaded) == 4 &&
              offsetof(create_options, option_flags) == 8);

// Entry point signatures, as exported (unmangled) by the library.
using ZbCreate_t = int32_t (*)(connection_handle* handle, const char* profile, const property_accessor* accessors,
                               size_t count, const create_options* options);
using ZbClose_t = int32_t (*)(connection_handle handle);
using ZbReadValue_t = int32_t (*)(connection_handle handle, const char* property, value* value);
using ZbWriteValue_t = int32_t (*)(connection_handle handle, const char* property, const value* value);
// Returns the value type of a property name, or -1 when the library does not know it.
using ZbGetType_t = int32_t (*)(const char* property);

}  // namespace zibrel
