// The properties the library knows, with the value type each one travels as
// and their place in the shared table.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/application.h"

namespace zibrel::qorzibrel {

// Properties with behaviour of their own in the library.
inline constexpr std::string_view active_set_property = "commands.activeSet";
inline constexpr std::string_view tree_property = "commands.tree";
inline constexpr std::string_view frame_time_property = "frame.time";
inline constexpr std::string_view timing_source_property = "frame.timingSource";

// The property's value type as a number of value_type, or -1 for an unknown name.
int32_t property_type(std::string_view name) noexcept;

// The property's place in the shared table (its pos column), or 0 for a name
// the table does not know. A binary search over the names sorted once.
int property_position(std::string_view name) noexcept;
// The table's text of the property at `position` (1..last_property_position), or null.
const char* property_text(int position) noexcept;

}  // namespace zibrel::qorzibrel
