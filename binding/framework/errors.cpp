#include "framework/errors.h"

#include <string>

#include "library/loader.h"

namespace zibrel {
namespace {

std::string loader_text(const char* otherwise) {
    std::string text = load_failure_text();
    return text.empty() ? otherwise : text;
}

struct zibrel_error_category : std::error_category {
    const char* name() const noexcept override { return "zibrel"; }

    std::string message(int ev) const override {
        switch (ev) {
        case operation_not_permitted: return "operation not permitted";
        case io_error: return "io error";
        case invalid_argument: return "invalid argument";
        case function_not_supported: return "function not supported";
        case already_connected: return "already connected";
        case no_buffer_space: return "Insufficient buffer space.";
        case no_data: return "no message available";
        case property_not_found: return "Cannot locate the requested zibrel property.";
        case invalid_function: return "The requested function is not valid.";
        // The numbers the library loader records; the platform's texts for them
        // ("Required key not available", "Key has expired") would mislead.
        case library_not_loadable: return loader_text("the navigation library could not be loaded");
        case entry_point_missing: return loader_text("the navigation library lacks an entry point");
        default: return std::generic_category().message(ev);
        }
    }
};

}  // namespace

const std::error_category& zibrel_category() noexcept {
    static const zibrel_error_category instance;
    return instance;
}

int32_t result_from_error(int32_t n) noexcept {
    if (n <= 0) return n;
    return static_cast<int32_t>(0x80040000u | (static_cast<uint32_t>(n) & 0xFFFFu));
}

std::error_code make_error_code(int32_t n) noexcept { return {n, zibrel_category()}; }
std::error_code make_error_code(zibrel_error e) noexcept { return {e, zibrel_category()}; }

std::error_code error_from_result(int32_t r) noexcept {
    const int code = r & 0xFFFF;
    const int facility = (r >> 16) & 0x7FFF;
    if (facility == 4) return {code, zibrel_category()};
    return {code, std::generic_category()};
}

}  // namespace zibrel
