#include "interface/value_store.h"

#include <algorithm>
#include <cstring>

#include "base/result_codes.h"

namespace zibrel::qorzibrel {

int32_t stored_value::capture(const value& sent) {
    switch (sent.type) {
    case string_type:
        if (sent.s.p == nullptr && sent.s.length != 0) return result_invalid_argument;
        // A length beyond the limit is a lie, not a text: nothing is read.
        if (sent.s.length > text_limit) return result_invalid_argument;
        text_.assign(sent.s.p != nullptr ? sent.s.p : "", sent.s.p != nullptr ? sent.s.length : 0);
        is_text_ = true;
        null_text_ = sent.s.p == nullptr;
        break;
    case cstr_type:
        if (sent.cs.p == nullptr) {
            text_.clear();
        } else {
            // The text ends at its NUL, but never beyond the length the record
            // gives (which counts the NUL), nor beyond the limit.
            const size_t room = static_cast<size_t>(std::min<uint64_t>(sent.cs.length, text_limit + 1));
            const size_t n = strnlen(sent.cs.p, room);
            if (n > text_limit) return result_invalid_argument;
            text_.assign(sent.cs.p, n);
        }
        is_text_ = true;
        null_text_ = sent.cs.p == nullptr;
        break;
    default:
        text_.clear();
        is_text_ = false;
        null_text_ = false;
        break;
    }
    record_ = sent;
    return result_ok;
}

value stored_value::record() const noexcept {
    value out = record_;
    if (is_text_ && !null_text_) {
        // Both text payloads keep their pointer at offset 8.
        out.s.p = const_cast<char*>(text_.c_str());
    }
    return out;
}

int32_t reply_text(std::string_view text, value& request) {
    if (request.type != string_type) return result_invalid_argument;
    const uint64_t needed = text.size();
    if (needed > request.s.length) {
        request.s.length = needed;
        return result_no_buffer_space;
    }
    if (needed != 0) {
        if (request.s.p == nullptr) return result_invalid_argument;
        std::memcpy(request.s.p, text.data(), text.size());
    }
    request.s.length = needed;
    return result_ok;
}

}  // namespace zibrel::qorzibrel
