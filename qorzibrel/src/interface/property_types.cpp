#include "interface/property_types.h"

#include <algorithm>
#include <array>

#include "zibrel/property_table.h"

namespace zibrel::qorzibrel {
namespace {

struct property_entry {
    std::string_view name;
    value_type type;
    int position;
};

// Every property of the shared table, with the type it travels as.
constexpr property_entry properties[] = {
#define ZIBREL_TYPE_ENTRY(pos, id, text, type, ...) {text, type, pos},
    ZIBREL_PROPERTIES(ZIBREL_TYPE_ENTRY, ZIBREL_TYPE_ENTRY)
#undef ZIBREL_TYPE_ENTRY
};
constexpr size_t property_count = std::size(properties);

// The entries by name, for property_position.
constexpr std::array<property_entry, property_count> by_name = [] {
    std::array<property_entry, property_count> sorted{};
    std::copy(std::begin(properties), std::end(properties), sorted.begin());
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return sorted;
}();

// The table's texts by place; the places are checked to be 1..n, each once.
constexpr std::array<const char*, last_property_position + 1> by_position = [] {
    std::array<const char*, last_property_position + 1> texts{};
#define ZIBREL_TEXT_ENTRY(pos, id, text, ...) texts[pos] = text;
    ZIBREL_PROPERTIES(ZIBREL_TEXT_ENTRY, ZIBREL_TEXT_ENTRY)
#undef ZIBREL_TEXT_ENTRY
    return texts;
}();

constexpr bool positions_dense() {
    if (by_position.size() != property_count + 1 || by_position[0] != nullptr) return false;
    for (size_t i = 1; i < by_position.size(); ++i) {
        if (by_position[i] == nullptr) return false;
    }
    for (size_t i = 1; i < property_count; ++i) {
        if (by_name[i - 1].name == by_name[i].name) return false;
    }
    return true;
}
static_assert(positions_dense(), "every place from 1 to the last names exactly one property, and names are unique");

}  // namespace

int32_t property_type(std::string_view name) noexcept {
    // A linear scan: a few dozen short names, looked up rarely.
    for (const auto& entry : properties) {
        if (entry.name == name) return entry.type;
    }
    return -1;
}

int property_position(std::string_view name) noexcept {
    const auto it = std::lower_bound(by_name.begin(), by_name.end(), name,
                                     [](const property_entry& entry, std::string_view n) { return entry.name < n; });
    return it != by_name.end() && it->name == name ? it->position : 0;
}

const char* property_text(int position) noexcept {
    return position > 0 && position <= last_property_position ? by_position[static_cast<size_t>(position)] : nullptr;
}

}  // namespace zibrel::qorzibrel
