// Values the application wrote, kept as the library's own copies.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "zibrel/value_record.h"

namespace zibrel::qorzibrel {

// One written value. Texts (string and cstr payloads) are copied, because the
// sender's buffer is only valid for the duration of the write; every other
// payload is kept as the record bytes. A node pointer is kept as sent.
class stored_value {
public:
    // The longest text kept: a record claiming more is refused unread.
    static constexpr uint64_t text_limit = uint64_t{16} << 20;  // 16 MiB

    // Copy `sent`. A cstr payload is read up to its NUL but never past the
    // `length` bytes the record gives (a cstr without a NUL within them is
    // those bytes); a string payload is exactly `length` bytes, which need not
    // be NUL-terminated. Returns 0, or invalid argument for a string payload
    // with a null buffer and a non-zero length, or a text longer than text_limit.
    int32_t capture(const value& sent);

    bool is_text() const noexcept { return is_text_; }
    std::string_view text() const noexcept { return text_; }

    // The record as sent, except that a text payload points at the copy (or
    // stays null when the sender's pointer was null). Valid until the next capture.
    value record() const noexcept;

private:
    value record_{};
    std::string text_;
    bool is_text_ = false;
    bool null_text_ = false;
};

// Answer a text read: `request` carries a string_type buffer and its room. A
// text that does not fit leaves the buffer untouched and reports the needed
// length with no_buffer_space; otherwise the text (without NUL) is copied and
// its length stored. Any other request type is an invalid argument.
int32_t reply_text(std::string_view text, value& request);

}  // namespace zibrel::qorzibrel
