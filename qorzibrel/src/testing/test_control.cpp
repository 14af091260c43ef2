// The test variant's control interface (zibrel_test_control.h): inspection,
// injected results and calls into the application's accessors on demand.

// Exported: declared with default visibility before anything else declares them.
#pragma GCC visibility push(default)
#include "zibrel_test_control.h"
#pragma GCC visibility pop

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "interface/exported.h"
#include "interface/library_state.h"
#include "interface/property_types.h"
#include "base/result_codes.h"
#include "testing/callers.h"

using namespace zibrel;
using namespace zibrel::qorzibrel;

namespace {

// Copy `text` into buf as a NUL-terminated text cut to len - 1; the full length.
int copy_out(std::string_view text, char* buf, size_t len) {
    if (buf != nullptr && len > 0) {
        const size_t n = std::min(text.size(), len - 1);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int>(text.size());
}

// The accessor call for property on conn (open or closed), found under the lock
// as a frame finds it: by the property's place in the table, which is looked
// up before the lock is taken.
std::optional<accessor_call> find_call(uint64_t conn, const char* property, bool setter) {
    if (property == nullptr) return std::nullopt;
    const std::string_view name = property;
    const int position = property_position(name);
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    const connection* found = lib.peek(conn);
    return found != nullptr ? found->find_accessor(name, position, setter) : std::nullopt;
}

int32_t call_accessor(uint64_t conn, const char* property, bool setter, const uint64_t* cookie, void* record) {
    auto call = find_call(conn, property, setter);
    if (!call) return result_property_not_found;
    if (cookie != nullptr) call->cookie = *cookie;
    // Passed straight through: the caller wants to see what a getter stores.
    auto* v = static_cast<value*>(record);
    return setter ? call->setter(call->cookie, call->name, v) : call->getter(call->cookie, call->name, v);
}

std::shared_ptr<engine> any_engine(uint64_t conn) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    auto found = lib.find(conn);
    return found != nullptr ? found->nav : nullptr;
}

// The running hammers; guarded by the library mutex, and never destroyed, as
// the library's state is not: their threads may outlive the process's statics.
struct hammer_table {
    std::map<int, std::shared_ptr<hammer>> running;
    int next_id = 1;
};

hammer_table& hammers() {
    static auto* const table = new hammer_table;
    return *table;
}

value prototype_of(const void* record) {
    return record != nullptr ? *static_cast<const value*>(record) : value{};
}

}  // namespace

extern "C" {

uint64_t zbctl_last_connection(void) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    // Handles grow with every create, so the newest open one is the last open in order.
    for (auto it = lib.connections.rbegin(); it != lib.connections.rend(); ++it) {
        if (it->second->open.load()) return it->first;
    }
    return 0;
}

int zbctl_open_connections(void) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    return static_cast<int>(std::count_if(lib.connections.begin(), lib.connections.end(),
                                          [](const auto& entry) { return entry.second->open.load(); }));
}

uint64_t zbctl_create_count(void) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    return lib.create_count;
}

uint64_t zbctl_close_count(void) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    return lib.close_count;
}

int zbctl_accessor_count(uint64_t conn) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    auto found = lib.find(conn);
    return found != nullptr ? static_cast<int>(found->accessors->size()) : -1;
}

int zbctl_accessor_at(uint64_t conn, int i, const char** name, int* has_getter, int* has_setter, uint64_t* cookie) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    auto found = lib.find(conn);
    if (found == nullptr || i < 0 || static_cast<size_t>(i) >= found->accessors->size()) return -1;
    const auto& entry = (*found->accessors)[static_cast<size_t>(i)];
    if (name != nullptr) *name = entry.name;
    if (has_getter != nullptr) *has_getter = entry.getter != nullptr;
    if (has_setter != nullptr) *has_setter = entry.setter != nullptr;
    if (cookie != nullptr) *cookie = entry.cookie;
    return 0;
}

int zbctl_profile(uint64_t conn, char* buf, size_t len) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    auto found = lib.find(conn);
    return found != nullptr ? copy_out(found->profile, buf, len) : -1;
}

int zbctl_options(uint64_t conn, uint32_t* size, int* multi_threaded, uint32_t* option_flags) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    auto found = lib.find(conn);
    if (found == nullptr) return -1;
    if (size != nullptr) *size = found->options.size;
    if (multi_threaded != nullptr) *multi_threaded = found->options.multi_threaded;
    if (option_flags != nullptr) *option_flags = found->options.option_flags;
    return 0;
}

int32_t zbctl_get(uint64_t conn, const char* property, void* value) {
    return guarded(result_io_error, [&] { return call_accessor(conn, property, false, nullptr, value); });
}

int32_t zbctl_set(uint64_t conn, const char* property, const void* value) {
    return guarded(result_io_error,
                   [&] { return call_accessor(conn, property, true, nullptr, const_cast<void*>(value)); });
}

int32_t zbctl_get_cookie(uint64_t conn, const char* property, uint64_t cookie, void* value) {
    return guarded(result_io_error, [&] { return call_accessor(conn, property, false, &cookie, value); });
}

int32_t zbctl_set_cookie(uint64_t conn, const char* property, uint64_t cookie, const void* value) {
    return guarded(result_io_error,
                   [&] { return call_accessor(conn, property, true, &cookie, const_cast<void*>(value)); });
}

uint64_t zbctl_call_threads(uint64_t conn, const char* property, int set, const void* value, int threads, int calls,
                            int32_t* first_failure) {
    call_tally tally;
    const uint64_t requested = threads > 0 && calls > 0 ? static_cast<uint64_t>(threads) * static_cast<uint64_t>(calls) : 0;
    try {
        if (auto call = find_call(conn, property, set != 0)) {
            tally = call_from_threads(*call, prototype_of(value), threads, calls);
        } else if (requested > 0) {
            // Every call would have failed the way zbctl_get and zbctl_set do.
            tally = {requested, requested, result_property_not_found};
        }
    } catch (...) {
        if (foreign_exception()) throw;
        tally = {requested, requested, result_io_error};
    }
    if (first_failure != nullptr) *first_failure = tally.first_failure;
    return tally.failures;
}

int zbctl_hammer_start(uint64_t conn, const char* property, int set, const void* value, int threads,
                       int keep_after_close) {
    return guarded(-1, [&] {
        if (property == nullptr || threads <= 0) return -1;
        auto& lib = state();
        std::shared_ptr<const connection> target;
        std::optional<accessor_call> call;
        {
            std::lock_guard lock(lib.mutex);
            auto found = lib.find(conn);
            if (found == nullptr) return -1;
            call = found->find_accessor(property, property_position(property), set != 0);
            target = found;
        }
        if (!call) return -1;
        auto started = hammer::start(*call, prototype_of(value), std::move(target), threads, keep_after_close != 0);
        if (started == nullptr) return -1;
        std::lock_guard lock(lib.mutex);
        const int id = hammers().next_id++;
        hammers().running.emplace(id, std::move(started));
        return id;
    });
}

uint64_t zbctl_hammer_stop(int id, uint64_t* failures) {
    auto& lib = state();
    std::shared_ptr<hammer> stopped;
    {
        std::lock_guard lock(lib.mutex);
        auto it = hammers().running.find(id);
        if (it != hammers().running.end()) {
            stopped = std::move(it->second);
            hammers().running.erase(it);
        }
    }
    // Waiting happens without the library mutex: the hammer's threads may be
    // inside callbacks that call the library.
    const call_tally tally = stopped != nullptr ? stopped->stop() : call_tally{};
    if (failures != nullptr) *failures = tally.failures;
    return tally.calls;
}

uint64_t zbctl_hammer_calls(int id) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    auto it = hammers().running.find(id);
    return it != hammers().running.end() ? it->second->calls() : 0;
}

int zbctl_hammer_threads(int id) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    auto it = hammers().running.find(id);
    return it != hammers().running.end() ? it->second->running_threads() : -1;
}

void zbctl_inject(const char* entry, int32_t result, int times) {
    if (entry == nullptr) return;
    guarded(0, [&] {
        auto& lib = state();
        std::lock_guard lock(lib.mutex);
        if (times == 0) {
            if (auto it = lib.injections.find(std::string_view(entry)); it != lib.injections.end()) {
                lib.injections.erase(it);
            }
        } else {
            lib.injections.insert_or_assign(entry, injection{result, times});
        }
        return 0;
    });
}

void zbctl_inject_text_length(int64_t length) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    lib.injected_text_length = length < 0 ? -1 : length;
}

uint64_t zbctl_write_count(uint64_t conn, const char* property) {
    if (property == nullptr) return 0;
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    auto found = lib.find(conn);
    if (found == nullptr) return 0;
    auto it = found->write_counts.find(std::string_view(property));
    return it != found->write_counts.end() ? it->second : 0;
}

int zbctl_written(uint64_t conn, const char* property, void* value_out) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    auto found = lib.find(conn);
    if (found == nullptr) return -1;
    if (property == nullptr) return 0;
    auto it = found->written.find(std::string_view(property));
    if (it == found->written.end()) return 0;
    if (value_out != nullptr) *static_cast<value*>(value_out) = it->second.record();
    return 1;
}

int zbctl_tree(uint64_t conn, char* buf, size_t len) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    auto found = lib.find(conn);
    if (found == nullptr || !found->tree) return -1;
    return copy_out(*found->tree, buf, len);
}

void zbctl_set_close_hook(zbctl_close_hook hook, void* context) {
    auto& lib = state();
    std::lock_guard lock(lib.mutex);
    lib.close_hook = hook;
    lib.close_hook_context = hook != nullptr ? context : nullptr;
}

uint64_t zbctl_frame_count(uint64_t conn) {
    auto nav = any_engine(conn);
    return nav != nullptr ? nav->frames() : 0;
}

int zbctl_in_motion(uint64_t conn) {
    auto nav = any_engine(conn);
    return nav != nullptr ? (nav->in_motion() ? 1 : 0) : -1;
}

int64_t zbctl_live_connections(void) { return live_connections(); }

void zbctl_reset(void) {
    auto& lib = state();
    std::vector<std::shared_ptr<connection>> released;  // dropped after the lock
    std::lock_guard lock(lib.mutex);
    for (auto it = lib.connections.begin(); it != lib.connections.end();) {
        if (it->second->open.load()) {
            ++it;
        } else {
            released.push_back(std::move(it->second));
            it = lib.connections.erase(it);
        }
    }
    lib.closed.clear();
    lib.create_count = 0;
    lib.close_count = 0;
    lib.injections.clear();
    lib.injected_text_length = -1;
    lib.close_hook = nullptr;
    lib.close_hook_context = nullptr;
}

}  // extern "C"
