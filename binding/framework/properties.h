// Property names and the catalogue of their value types and access codes, both
// generated from the property table (zibrel/property_table.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "values/value.h"
#include "zibrel/property_table.h"

namespace zibrel {

// One static copy of each name; pass these constants, not literals, so every
// part of the system uses the same address.
#define ZIBREL_NAME_CONSTANT(pos, id, ...) extern const char* const id;
ZIBREL_PROPERTIES(ZIBREL_NAME_CONSTANT, ZIBREL_NAME_CONSTANT)
#undef ZIBREL_NAME_CONSTANT

struct property_description {
    const char* name;
    value_type type;
    property_access access;
};

#define ZIBREL_COUNT_ROW(...) +1
inline constexpr std::size_t property_count = 0 ZIBREL_PROPERTIES(ZIBREL_COUNT_ROW, ZIBREL_COUNT_ROW);
#undef ZIBREL_COUNT_ROW

// In the catalogue's order (the table's pos column).
extern const std::array<property_description, property_count> property_table;

}  // namespace zibrel

// Helpers for generating code from the table's accessor columns: each expands
// its code only for an accessor of the given kind (pure, default or none).
#define ZIBREL_IF_SERVED(kind, ...) ZIBREL_IF_SERVED_##kind(__VA_ARGS__)
#define ZIBREL_IF_SERVED_pure(...) __VA_ARGS__
#define ZIBREL_IF_SERVED_default(...) __VA_ARGS__
#define ZIBREL_IF_SERVED_none(...)
#define ZIBREL_IF_PURE(kind, ...) ZIBREL_IF_PURE_##kind(__VA_ARGS__)
#define ZIBREL_IF_PURE_pure(...) __VA_ARGS__
#define ZIBREL_IF_PURE_default(...)
#define ZIBREL_IF_PURE_none(...)
#define ZIBREL_IF_DEFAULT(kind, ...) ZIBREL_IF_DEFAULT_##kind(__VA_ARGS__)
#define ZIBREL_IF_DEFAULT_pure(...)
#define ZIBREL_IF_DEFAULT_default(...) __VA_ARGS__
#define ZIBREL_IF_DEFAULT_none(...)
// The accessor's address, or null where the table has none.
#define ZIBREL_OR_NULL(kind, ...) ZIBREL_OR_NULL_##kind(__VA_ARGS__)
#define ZIBREL_OR_NULL_pure(...) __VA_ARGS__
#define ZIBREL_OR_NULL_default(...) __VA_ARGS__
#define ZIBREL_OR_NULL_none(...) nullptr
// Swallows a row.
#define ZIBREL_NO_ROW(...)
