// One connection opened by the application with ZbCreate.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
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

// An entry of the application's accessor array. The name is the library's own
// text (the shared table's, or a copy for a name the table does not know); the
// callbacks receive the application's own name pointer, which it keeps static.
struct accessor_entry {
    const char* name;
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

// The application's accessor array as the library keeps it, fixed at create:
// the entries in their order, and for each property of the shared table the
// first entry that has a getter and the first that has a setter, by the
// property's place, so that neither a frame nor a call by a known name
// compares names. A name the table does not know is found by a scan. Shared by
// the connection and its engine's application: a frame still running after the
// connection is freed keeps it.
class accessor_table {
public:
    // Copies `count` entries of `array`; every name is non-null.
    accessor_table(const property_accessor* array, size_t count);
    accessor_table(const accessor_table&) = delete;
    accessor_table& operator=(const accessor_table&) = delete;

    size_t size() const noexcept { return entries_.size(); }
    const accessor_entry& operator[](size_t i) const noexcept { return entries_[i]; }

    // The first entry with a getter (setter) for the table's property at
    // `position`, or null.
    const accessor_entry* getter_at(int position) const noexcept { return at(first_getter_, position); }
    const accessor_entry* setter_at(int position) const noexcept { return at(first_setter_, position); }
    // The same by name, for any name; `position` is property_position(name),
    // which a caller may find before it takes a lock.
    const accessor_entry* find(std::string_view name, int position, bool setter) const noexcept {
        if (position != 0) return setter ? setter_at(position) : getter_at(position);
        return find_other(name, setter);
    }

private:
    // Entry index + 1 by place; 0 for none.
    using first_entries = std::array<uint32_t, last_property_position + 1>;
    const accessor_entry* at(const first_entries& first, int position) const noexcept {
        if (position <= 0 || position > last_property_position) return nullptr;
        const uint32_t i = first[static_cast<size_t>(position)];
        return i != 0 ? &entries_[i - 1] : nullptr;
    }

    // A name the table does not know: a scan, rare, and never for a frame.
    const accessor_entry* find_other(std::string_view name, bool setter) const noexcept;

    std::vector<accessor_entry> entries_;
    // The names the table does not know, each NUL-terminated, sized once so
    // that the entries may point into it.
    std::unique_ptr<char[]> other_names_;
    first_entries first_getter_{}, first_setter_{};
};

// The application as a connection's engine reaches it: the first getter and the
// first setter of each property in the accessor array.
class accessor_application final : public application {
public:
    explicit accessor_application(std::shared_ptr<const accessor_table> accessors)
        : accessors_(std::move(accessors)) {}
    bool can_get(int position) const override { return accessors_->getter_at(position) != nullptr; }
    bool can_put(int position) const override { return accessors_->setter_at(position) != nullptr; }
    int32_t get(int position, value& v) const override;
    int32_t put(int position, const value& v) const override;

private:
    const std::shared_ptr<const accessor_table> accessors_;
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
    std::shared_ptr<const accessor_table> accessors;

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

    // The first entry named `property` (at `position` in the table, or 0) that
    // has a setter (or a getter), as a call.
    std::optional<accessor_call> find_accessor(std::string_view property, int position, bool setter) const;
#endif
};

}  // namespace zibrel::qorzibrel
