#include "interface/connection.h"

namespace zibrel::qorzibrel {
namespace {

std::atomic<int64_t> live{0};

}  // namespace

int64_t live_connections() { return live.load(); }

connection::connection() { live.fetch_add(1); }

connection::~connection() { live.fetch_sub(1); }

int32_t accessor_call::operator()(const value& prototype) const {
    value record = prototype;
    return setter != nullptr ? setter(cookie, name, &record) : getter(cookie, name, &record);
}

std::optional<accessor_call> connection::find_accessor(std::string_view property, bool setter) const {
    for (const auto& entry : accessors) {
        if (entry.name != property) continue;
        if (setter && entry.setter != nullptr) return accessor_call{nullptr, entry.setter, entry.cookie, entry.original_name};
        if (!setter && entry.getter != nullptr) return accessor_call{entry.getter, nullptr, entry.cookie, entry.original_name};
    }
    return std::nullopt;
}

}  // namespace zibrel::qorzibrel
