// The product's control functions (zibrel_control.h): samples and button
// events from the application's own input source.

#include <memory>

#include "engine/engine.h"
#include "interface/exported.h"
#include "interface/library_state.h"

using namespace zibrel;
using namespace zibrel::qorzibrel;

namespace {

// The engine of conn (0: the newest open connection), when that connection is open.
std::shared_ptr<engine> open_engine(uint64_t conn) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    std::shared_ptr<connection> found;
    if (conn == 0) {
        for (auto it = lib.connections.rbegin(); it != lib.connections.rend() && found == nullptr; ++it) {
            if (it->second->open.load()) found = it->second;
        }
    } else {
        found = lib.find(conn);
    }
    return found != nullptr && found->open.load() ? found->nav : nullptr;
}

}  // namespace

extern "C" {

int zbctl_device_sample(uint64_t conn, double t_ms, double x, double y, double z, double rx, double ry, double rz) {
    return guarded(-1, [&] {
        auto nav = open_engine(conn);
        if (nav == nullptr) return -1;
        return nav->push_sample(t_ms, {x, y, z, rx, ry, rz}) ? 0 : -2;
    });
}

int zbctl_device_button(uint64_t conn, double t_ms, int button, int pressed) {
    return guarded(-1, [&] {
        auto nav = open_engine(conn);
        if (nav == nullptr) return -1;
        nav->push_button(t_ms, button, pressed != 0);
        return 0;
    });
}

}  // extern "C"
