// One connection opened by the application with ZbCreate.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/application.h"
#include "interface/value_store.h"
#include "zibrel/library_interface.h"

namespace zibrel::qorzibrel {

class engine;

// An entry of the application's accessor array. The name is copied, but the
// callbacks receive the application's own name pointer, which it keeps static.
struct accessor_entry {
    std::string name;
    const char* original_name;
    property_getter getter;
    property_setter setter;
    sink_cookie cookie;
};

// What one accessor call needs; copied out of the connection so that no lock
// is held while the application runs.
struct accessor_call {
    property_getter getter = nullptr;
    property_setter setter = nullptr;
    sink_cookie cookie = 0;
    const char* name = nullptr;

    // Call with a private copy of `prototype`: getters may write into it.
    int32_t operator()(const value& prototype) const;
};

// The application as a connection's engine reaches it: the first getter and the
// first setter of each name in the accessor array, as calls of their own, so
// that a frame still running after the connection is freed can finish.
class accessor_application final : public application {
public:
    explicit accessor_application(const std::vector<accessor_entry>& accessors);
    bool can_get(std::string_view name) const override;
    bool can_put(std::string_view name) const override;
    int32_t get(std::string_view name, value& v) const override;
    int32_t put(std::string_view name, const value& v) const override;

private:
    std::map<std::string, accessor_call, std::less<>> getters_, setters_;
};

#ifdef QORZIBREL_TEST_SEAMS
// Connection objects that exist (open, kept closed, or still held by a thread of
// the library), for the test variant's control interface.
int64_t live_connections();
#endif

struct connection {
    connection();
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Fixed at create; read without the library mutex.
    connection_handle handle = 0;
    std::string profile;
    create_options options{};
    std::vector<accessor_entry> accessors;

    // Cleared by ZbClose; read lock-free by the library's own calling threads.
    std::atomic<bool> open{true};

    // Set once at create, before the connection is published.
    std::shared_ptr<engine> nav;

    // Guarded by the library mutex.
    bool closing = false;
    std::map<std::string, stored_value, std::less<>> written;
    std::string active_set;
#ifdef QORZIBREL_TEST_SEAMS
    // Every ZbWriteValue per property, refused ones too.
    std::map<std::string, uint64_t, std::less<>> write_counts;
    // The last command tree written, as zbctl_tree gives it.
    std::optional<std::string> tree;

    // The first entry named `property` that has a setter (or a getter), as a call.
    std::optional<accessor_call> find_accessor(std::string_view property, bool setter) const;
#endif
};

}  // namespace zibrel::qorzibrel
