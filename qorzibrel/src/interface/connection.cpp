#include "interface/connection.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "base/result_codes.h"
#include "interface/property_types.h"

namespace zibrel::qorzibrel {

#ifdef QORZIBREL_TEST_SEAMS
namespace {

std::atomic<int64_t> live{0};

}  // namespace

int64_t live_connections() { return live.load(); }

connection::connection() { live.fetch_add(1); }

connection::~connection() { live.fetch_sub(1); }
#else
connection::connection() = default;

connection::~connection() = default;
#endif

int32_t accessor_call::operator()(const value& prototype) const {
    value record = prototype;
    return setter != nullptr ? setter(cookie, name, &record) : getter(cookie, name, &record);
}

#ifdef QORZIBREL_TEST_SEAMS
std::optional<accessor_call> connection::find_accessor(std::string_view property, int position, bool setter) const {
    const accessor_entry* entry = accessors->find(property, position, setter);
    if (entry == nullptr) return std::nullopt;
    if (setter) return accessor_call{nullptr, entry->setter, entry->cookie, entry->original_name};
    return accessor_call{entry->getter, nullptr, entry->cookie, entry->original_name};
}
#endif

accessor_table::accessor_table(const property_accessor* array, size_t count) {
    if (count >= std::numeric_limits<uint32_t>::max()) throw std::length_error("accessor array too long");
    entries_.reserve(count);
    std::vector<int> positions(count);
    size_t other_length = 0;
    for (size_t i = 0; i < count; ++i) {
        positions[i] = property_position(array[i].name);
        if (positions[i] == 0) other_length += std::strlen(array[i].name) + 1;
    }
    if (other_length != 0) other_names_ = std::make_unique<char[]>(other_length);
    char* next_other = other_names_.get();
    for (size_t i = 0; i < count; ++i) {
        const property_accessor& entry = array[i];
        const char* name = property_text(positions[i]);
        if (name == nullptr) {
            const size_t length = std::strlen(entry.name) + 1;
            std::memcpy(next_other, entry.name, length);
            name = next_other;
            next_other += length;
        }
        entries_.push_back({name, entry.name, entry.getter, entry.setter, entry.cookie});
        // The first entry of a name with such a function wins.
        if (positions[i] != 0) {
            const auto p = static_cast<size_t>(positions[i]);
            if (entry.getter != nullptr && first_getter_[p] == 0) first_getter_[p] = static_cast<uint32_t>(i + 1);
            if (entry.setter != nullptr && first_setter_[p] == 0) first_setter_[p] = static_cast<uint32_t>(i + 1);
        }
    }
}

const accessor_entry* accessor_table::find_other(std::string_view name, bool setter) const noexcept {
    for (const auto& entry : entries_) {
        if ((setter ? entry.setter != nullptr : entry.getter != nullptr) && name == entry.name) return &entry;
    }
    return nullptr;
}

int32_t accessor_application::get(int position, value& v) const {
    const accessor_entry* entry = accessors_->getter_at(position);
    if (entry == nullptr) return result_property_not_found;
    return entry->getter(entry->cookie, entry->original_name, &v);
}

int32_t accessor_application::put(int position, const value& v) const {
    const accessor_entry* entry = accessors_->setter_at(position);
    if (entry == nullptr) return result_property_not_found;
    // The application gets a record of its own, whatever it does with it.
    value record = v;
    return entry->setter(entry->cookie, entry->original_name, &record);
}

}  // namespace zibrel::qorzibrel
