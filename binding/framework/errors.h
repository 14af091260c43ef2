// Result codes of the library boundary and the "zibrel" error category.
#pragma once

#include <cstdint>
#include <system_error>

namespace zibrel {

enum zibrel_error : int32_t {
    operation_not_permitted = 1,
    io_error = 5,
    invalid_argument = 22,
    function_not_supported = 40,
    already_connected = 113,
    no_buffer_space = 119,
    no_data = 120,
    property_not_found = 513,
    invalid_function = 514,
};

// The one process-wide instance of the category (constructed on first use, so
// it exists before anything that runs during start-up can need it).
const std::error_category& zibrel_category() noexcept;

// 0x80040000 | n for n > 0; 0 and negative codes pass unchanged.
int32_t result_from_error(int32_t n) noexcept;
std::error_code make_error_code(int32_t n) noexcept;
std::error_code make_error_code(zibrel_error e) noexcept;
// Facility 4 maps to the zibrel category, anything else to the generic one.
std::error_code error_from_result(int32_t r) noexcept;

}  // namespace zibrel

template <>
struct std::is_error_code_enum<zibrel::zibrel_error> : std::true_type {};
