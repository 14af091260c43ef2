#include "base/report.h"

#include <cstdio>

namespace zibrel::qorzibrel {

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            // A NUL would cut the line, a line break split it: shown escaped.
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

void report(const std::string& line) {
    // One write of the whole line keeps lines from different threads apart.
    const std::string text = "zibrel: " + printable(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void report_once::operator()(const std::string& key, const std::string& line) {
    {
        std::lock_guard lock(mutex_);
        if (!told_.insert(key).second) return;
    }
    report(line);
}

void report_once::forget() {
    std::lock_guard lock(mutex_);
    told_.clear();
}

}  // namespace zibrel::qorzibrel
