// The five entry points of our navigation library, for code that links the
// library directly (native tests, benchmarks) instead of loading it at run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "zibrel/library_interface.h"

// Behaviour of this library, beyond the bare contract:
// - ZbCreate copies the accessor array (names too), the profile and the
//   options; handles are never reused. Null handle, profile or options, an
//   options size other than 12, or an entry without a name: 0x80040016.
// - ZbClose of a handle that is not open: 0x80040016. It never waits for the
//   library's own calling threads.
// - ZbWriteValue keeps the last value per property and connection, with its
//   text copied. "commands.activeSet" takes a cstr or string record and
//   "commands.tree" a node record, whose tree is read during the call.
// - ZbReadValue answers "commands.activeSet" (empty until written) and every
//   written property. Texts go into the caller's string_type buffer: too small
//   gives 0x80040077 with the needed length, otherwise the text without NUL
//   and its length. Never written: 0x80040201. Any other handle: 0x80040016.
extern "C" {

int32_t ZbCreate(zibrel::connection_handle* handle, const char* profile, const zibrel::property_accessor* accessors,
                 size_t count, const zibrel::create_options* options);
int32_t ZbClose(zibrel::connection_handle handle);
int32_t ZbReadValue(zibrel::connection_handle handle, const char* property, zibrel::value* value);
int32_t ZbWriteValue(zibrel::connection_handle handle, const char* property, const zibrel::value* value);
// The property's value type as a value_type number, or -1 for an unknown name.
int32_t ZbGetType(const char* property);

}

// The entry points must keep the signatures the application loads them with.
static_assert(std::is_same_v<decltype(&ZbCreate), zibrel::ZbCreate_t>);
static_assert(std::is_same_v<decltype(&ZbClose), zibrel::ZbClose_t>);
static_assert(std::is_same_v<decltype(&ZbReadValue), zibrel::ZbReadValue_t>);
static_assert(std::is_same_v<decltype(&ZbWriteValue), zibrel::ZbWriteValue_t>);
static_assert(std::is_same_v<decltype(&ZbGetType), zibrel::ZbGetType_t>);
