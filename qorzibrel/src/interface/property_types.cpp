#include "interface/property_types.h"

#include "zibrel/property_table.h"

namespace zibrel::qorzibrel {
namespace {

struct property_entry {
    std::string_view name;
    value_type type;
};

// Every property of the shared table, with the type it travels as.
constexpr property_entry properties[] = {
#define ZIBREL_TYPE_ENTRY(pos, id, text, type, ...) {text, type},
    ZIBREL_PROPERTIES(ZIBREL_TYPE_ENTRY, ZIBREL_TYPE_ENTRY)
#undef ZIBREL_TYPE_ENTRY
};

}  // namespace

int32_t property_type(std::string_view name) noexcept {
    // A linear scan: a few dozen short names, looked up rarely.
    for (const auto& entry : properties) {
        if (entry.name == name) return entry.type;
    }
    return -1;
}

}  // namespace zibrel::qorzibrel
