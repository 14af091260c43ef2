// The five entry points the application loads. The branches under
// QORZIBREL_TEST_SEAMS exist in the test variant only (injected results,
// counters, the close hook): the product has none of them.

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "base/settings.h"
#include "interface/application_settings.h"
#include "engine/engine.h"
#include "interface/action_tree.h"
#include "interface/exported.h"
#include "interface/library_state.h"
#include "interface/property_types.h"
#include "base/result_codes.h"

using namespace zibrel;
using namespace zibrel::qorzibrel;

namespace {

bool valid_create_arguments(const connection_handle* handle, const char* profile,
                            const property_accessor* accessors, size_t count, const create_options* options) {
    if (handle == nullptr || profile == nullptr || options == nullptr) return false;
    if (options->size != sizeof(create_options)) return false;
    if (count != 0 && accessors == nullptr) return false;
    for (size_t i = 0; i < count; ++i) {
        if (accessors[i].name == nullptr) return false;
    }
    return true;
}

// The open connection with this handle, or null. Requires the library mutex,
// and is valid while it is held.
connection* open_connection(library_state& lib, connection_handle handle) {
    connection* conn = lib.peek(handle);
    return conn != nullptr && conn->open.load() ? conn : nullptr;
}

// Store a write of the application. Requires the library mutex.
int32_t store_write(connection& conn, std::string_view property, const value& sent) {
    std::string tree;
    if (property == tree_property) {
        if (sent.type != actionnode_type) return result_invalid_argument;
        // Walked now: the nodes belong to the application and may be gone later.
        if (const int32_t r = describe_tree(sent.node, tree); r != result_ok) return r;
    } else if (property == active_set_property) {
        if (sent.type != cstr_type && sent.type != string_type) return result_invalid_argument;
    }
    stored_value copy;
    if (const int32_t r = copy.capture(sent); r != result_ok) return r;
#ifdef QORZIBREL_TEST_SEAMS
    if (property == tree_property) conn.tree = std::move(tree);
#endif
    if (property == active_set_property) conn.active_set = copy.text();
    conn.written.insert_or_assign(std::string(property), std::move(copy));
    return result_ok;
}

}  // namespace

extern "C" {

int32_t ZbCreate(connection_handle* handle, const char* profile, const property_accessor* accessors, size_t count,
                 const create_options* options) {
    return guarded(result_io_error, [&] {
        auto& lib = state();
#ifdef QORZIBREL_TEST_SEAMS
        {
            std::lock_guard lock(lib.mutex);
            if (auto injected = lib.take_injection("ZbCreate")) return *injected;
        }
#endif
        if (!valid_create_arguments(handle, profile, accessors, count, options)) return result_invalid_argument;

        // The array, the profile and the options live only for this call.
        auto conn = std::make_shared<connection>();
        conn->profile = profile;
        conn->options = *options;
        conn->accessors = std::make_shared<const accessor_table>(accessors, count);
        // The settings are read anew for every connection, so a changed
        // environment applies from the next open on; the application's are
        // the ones its thread gave for this profile just before. Not under the library
        // lock: reading files must not hold up other connections.
        conn->nav = std::make_shared<engine>(std::make_unique<accessor_application>(conn->accessors),
                                             load_settings(take_application_settings(conn->profile), nullptr));
        {
            std::lock_guard lock(lib.mutex);
            conn->handle = lib.next_handle++;
            lib.connections.emplace(conn->handle, conn);
#ifdef QORZIBREL_TEST_SEAMS
            ++lib.create_count;
#endif
            *handle = conn->handle;
        }
        // Outside the library lock: starting sources starts threads.
        conn->nav->start();
        return result_ok;
    });
}

int32_t ZbClose(connection_handle handle) {
    return guarded(result_io_error, [&] {
        auto& lib = state();
        std::shared_ptr<connection> conn;
#ifdef QORZIBREL_TEST_SEAMS
        close_hook hook = nullptr;
        void* hook_context = nullptr;
#endif
        {
            std::lock_guard lock(lib.mutex);
#ifdef QORZIBREL_TEST_SEAMS
            ++lib.close_count;
#endif
            conn = lib.find(handle);
            if (conn == nullptr || !conn->open.load() || conn->closing) return result_invalid_argument;
            conn->closing = true;
#ifdef QORZIBREL_TEST_SEAMS
            hook = lib.close_hook;
            hook_context = lib.close_hook_context;
#endif
        }
#ifdef QORZIBREL_TEST_SEAMS
        // The hook is application code: no library lock while it runs.
        if (hook != nullptr) hook(handle, hook_context);
#endif
        // Only a flag: threads of the library that are inside a callback may
        // be waiting for the caller, so nothing here waits for them. They hold
        // what they use, so the connection is freed by whoever lets go last.
        std::vector<std::shared_ptr<connection>> released;  // dropped after the lock
        std::lock_guard lock(lib.mutex);
        conn->open.store(false);
        conn->nav->shutdown();
        lib.closed_now(handle, released);
        return result_ok;
    });
}

int32_t ZbReadValue(connection_handle handle, const char* property, value* value) {
    return guarded(result_io_error, [&] {
        auto& lib = state();
        std::lock_guard lock(lib.mutex);
#ifdef QORZIBREL_TEST_SEAMS
        if (auto injected = lib.take_injection("ZbReadValue")) return *injected;
#endif
        if (property == nullptr || value == nullptr) return result_invalid_argument;
        auto conn = open_connection(lib, handle);
        if (conn == nullptr) return result_invalid_argument;

#ifdef QORZIBREL_TEST_SEAMS
        if (lib.injected_text_length >= 0 && value->type == string_type) {
            value->s.length = static_cast<uint64_t>(lib.injected_text_length);
            return result_ok;
        }
#endif
        const std::string_view name = property;
        if (name == active_set_property) return reply_text(conn->active_set, *value);
        auto it = conn->written.find(name);
        if (it == conn->written.end()) return result_property_not_found;
        if (it->second.is_text()) return reply_text(it->second.text(), *value);
        // A text buffer must not come back holding a number in its length field.
        if (value->type == string_type) return result_invalid_argument;
        *value = it->second.record();
        return result_ok;
    });
}

int32_t ZbWriteValue(connection_handle handle, const char* property, const value* value) {
    return guarded(result_io_error, [&] {
        auto& lib = state();
        std::shared_ptr<engine> nav;
        int32_t result;
        {
            std::lock_guard lock(lib.mutex);
#ifdef QORZIBREL_TEST_SEAMS
            connection* known = lib.peek(handle);
            if (known != nullptr && property != nullptr) ++known->write_counts[property];
            if (auto injected = lib.take_injection("ZbWriteValue")) return *injected;
#endif
            if (property == nullptr || value == nullptr) return result_invalid_argument;
            auto conn = open_connection(lib, handle);
            if (conn == nullptr) return result_invalid_argument;
            result = store_write(*conn, property, *value);
            nav = conn->nav;
        }
        // The frame runs here, on the writer's thread, with no library lock
        // held: the application's callbacks may call the library again.
        if (result == result_ok) {
            const std::string_view name = property;
            if (name == frame_time_property) nav->application_frame(read_number(*value));
            else if (name == timing_source_property) {
                const double source = read_number(*value);
                if (std::isfinite(source)) nav->set_timing_source(source == 1.0 ? 1 : 0);
            }
        }
        return result;
    });
}

int32_t ZbGetType(const char* property) {
    return property != nullptr ? property_type(property) : -1;
}

}  // extern "C"
