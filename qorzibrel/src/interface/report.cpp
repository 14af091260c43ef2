#include "interface/report.h"

#include <cstdio>

namespace zibrel::qorzibrel {

void report(const std::string& line) {
    // One fputs of the whole line keeps lines from different threads apart.
    const std::string text = "zibrel: " + line + "\n";
    std::fputs(text.c_str(), stderr);
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
