#include "interface/connection.h"

#include "base/result_codes.h"

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
std::optional<accessor_call> connection::find_accessor(std::string_view property, bool setter) const {
    for (const auto& entry : accessors) {
        if (entry.name != property) continue;
        if (setter && entry.setter != nullptr) return accessor_call{nullptr, entry.setter, entry.cookie, entry.original_name};
        if (!setter && entry.getter != nullptr) return accessor_call{entry.getter, nullptr, entry.cookie, entry.original_name};
    }
    return std::nullopt;
}
#endif

accessor_application::accessor_application(const std::vector<accessor_entry>& accessors) {
    // The first entry of a name with such a function wins.
    for (const auto& entry : accessors) {
        if (entry.getter != nullptr) {
            getters_.try_emplace(entry.name, accessor_call{entry.getter, nullptr, entry.cookie, entry.original_name});
        }
        if (entry.setter != nullptr) {
            setters_.try_emplace(entry.name, accessor_call{nullptr, entry.setter, entry.cookie, entry.original_name});
        }
    }
}

bool accessor_application::can_get(std::string_view name) const { return getters_.find(name) != getters_.end(); }

bool accessor_application::can_put(std::string_view name) const { return setters_.find(name) != setters_.end(); }

int32_t accessor_application::get(std::string_view name, value& v) const {
    const auto it = getters_.find(name);
    if (it == getters_.end()) return result_property_not_found;
    const accessor_call& call = it->second;
    return call.getter(call.cookie, call.name, &v);
}

int32_t accessor_application::put(std::string_view name, const value& v) const {
    const auto it = setters_.find(name);
    if (it == setters_.end()) return result_property_not_found;
    // The application gets a record of its own, whatever it does with it.
    return it->second(v);
}

}  // namespace zibrel::qorzibrel
