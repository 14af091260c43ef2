#include "interface/library_state.h"

namespace zibrel::qorzibrel {

#ifdef QORZIBREL_TEST_SEAMS
std::optional<int32_t> library_state::take_injection(std::string_view entry) {
    auto it = injections.find(entry);
    if (it == injections.end()) return std::nullopt;
    const int32_t result = it->second.result;
    if (it->second.times > 0 && --it->second.times == 0) injections.erase(it);
    return result;
}
#endif

std::shared_ptr<connection> library_state::find(connection_handle handle) const {
    auto it = connections.find(handle);
    return it != connections.end() ? it->second : nullptr;
}

connection* library_state::peek(connection_handle handle) const {
    auto it = connections.find(handle);
    return it != connections.end() ? it->second.get() : nullptr;
}

void library_state::closed_now(connection_handle handle, std::vector<std::shared_ptr<connection>>& released) {
    closed.push_back(handle);
    while (closed.size() > kept_closed) {
        if (auto it = connections.find(closed.front()); it != connections.end()) {
            released.push_back(std::move(it->second));
            connections.erase(it);
        }
        closed.pop_front();
    }
}

library_state& state() {
    static library_state* const instance = new library_state;
    return *instance;
}

}  // namespace zibrel::qorzibrel
