// The properties the library knows, with the value type each one travels as.
#pragma once

#include <cstdint>
#include <string_view>

namespace zibrel::qorzibrel {

// Properties with behaviour of their own in the library.
inline constexpr std::string_view active_set_property = "commands.activeSet";
inline constexpr std::string_view tree_property = "commands.tree";
inline constexpr std::string_view frame_time_property = "frame.time";
inline constexpr std::string_view timing_source_property = "frame.timingSource";

// The property's value type as a number of value_type, or -1 for an unknown name.
int32_t property_type(std::string_view name) noexcept;

}  // namespace zibrel::qorzibrel
