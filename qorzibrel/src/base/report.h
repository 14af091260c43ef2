// Diagnostics of the library on standard error, one line each, prefixed "zibrel: ".
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace zibrel::qorzibrel {

// `line` is written as one line whatever it holds: control characters (a NUL
// or a line break from a file, say) appear escaped as \xNN.
void report(const std::string& line);
std::string printable(std::string_view text);

// Reports each key once (per object): a fault that repeats every frame is told
// once, not sixty times a second.
class report_once {
public:
    void operator()(const std::string& key, const std::string& line);
    void forget();

private:
    std::mutex mutex_;
    std::set<std::string> told_;
};

}  // namespace zibrel::qorzibrel
