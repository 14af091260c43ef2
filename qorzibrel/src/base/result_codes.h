// Result codes the library hands back to the application.
#pragma once

#include <cstdint>

namespace zibrel::qorzibrel {

inline constexpr int32_t result_ok = 0;
inline constexpr int32_t result_io_error = static_cast<int32_t>(0x80040005u);
inline constexpr int32_t result_invalid_argument = static_cast<int32_t>(0x80040016u);
// The application has no answer now ("no hit", "the pointer is not over the view").
inline constexpr int32_t result_not_supported = static_cast<int32_t>(0x80040028u);
inline constexpr int32_t result_no_buffer_space = static_cast<int32_t>(0x80040077u);
inline constexpr int32_t result_property_not_found = static_cast<int32_t>(0x80040201u);

}  // namespace zibrel::qorzibrel
