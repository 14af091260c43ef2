// The library's extras for tools: its version, device information and raw device input.

#include "interface/exported.h"  // first: the exported declarations must be the first ones seen

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "devices/monitor.h"

#ifndef ZIBREL_VERSION
#error "ZIBREL_VERSION: the package's version from pyproject.toml, defined by qorzibrel/CMakeLists.txt"
#endif

using namespace zibrel::qorzibrel;

namespace {

std::string library_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&zbx_device_info), &info) == 0 || info.dli_fname == nullptr) return {};
    char resolved[PATH_MAX];
    return realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
}

void copy_text(const std::string& text, char* buf, size_t len) {
    if (buf == nullptr || len == 0) return;
    const size_t n = std::min(text.size(), len - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

// The monitors handed out: a handle is only used while it is known, so a
// stale or foreign pointer gives an error instead of a crash.
std::mutex monitors_mutex;
std::map<void*, std::shared_ptr<monitor>>& monitors() {
    static auto* const m = new std::map<void*, std::shared_ptr<monitor>>;
    return *m;
}

std::shared_ptr<monitor> find_monitor(void* handle) {
    std::lock_guard lock(monitors_mutex);
    const auto it = monitors().find(handle);
    return it == monitors().end() ? nullptr : it->second;
}

}  // namespace

extern "C" {

const char* zbx_version(void) { return ZIBREL_VERSION; }

size_t zbx_device_info(char* buf, size_t len) {
    return guarded(size_t{0}, [&] {
        const std::string text = device_info_json(library_path());
        copy_text(text, buf, len);
        return text.size();
    });
}

void* zbx_monitor_open(char* error, size_t error_len) {
    return guarded(static_cast<void*>(nullptr), [&]() -> void* {
        std::string why;
        auto m = open_monitor(why);
        if (m == nullptr) {
            copy_text(why, error, error_len);
            return nullptr;
        }
        void* handle = m.get();
        std::lock_guard lock(monitors_mutex);
        monitors()[handle] = std::move(m);
        return handle;
    });
}

int zbx_monitor_read(void* handle, zbx_event* events, int max_events, int timeout_ms) {
    return guarded(-1, [&] {
        auto m = find_monitor(handle);
        return m == nullptr ? -1 : read_monitor(*m, events, max_events, timeout_ms);
    });
}

void zbx_monitor_close(void* handle) {
    guarded(0, [&] {
        std::shared_ptr<monitor> m;
        {
            std::lock_guard lock(monitors_mutex);
            const auto it = monitors().find(handle);
            if (it == monitors().end()) return 0;
            m = std::move(it->second);
            monitors().erase(it);
        }
        close_monitor(*m);
        return 0;
    });
}

}  // extern "C"
