#include "devices/input_sink.h"

#include <algorithm>

namespace zibrel::qorzibrel {

void sink_list::add(const std::shared_ptr<input_sink>& sink) { sinks_.push_back(sink); }

std::vector<std::shared_ptr<input_sink>> sink_list::receivers() {
    std::erase_if(sinks_, [](const std::shared_ptr<input_sink>& s) { return !s->wants_input(); });
    std::vector<std::shared_ptr<input_sink>> out;
    bool exclusive_taken = false;
    for (auto it = sinks_.rbegin(); it != sinks_.rend(); ++it) {
        if ((*it)->exclusive()) {
            if (exclusive_taken) continue;
            exclusive_taken = true;
        }
        out.push_back(*it);
    }
    return out;
}

}  // namespace zibrel::qorzibrel
