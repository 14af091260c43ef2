#include "interface/property_types.h"

#include <array>
#include <cstddef>

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

// The length and four characters: every name of the table ends differently or
// has another length or middle, so slots are rarely shared (probing resolves
// it when they are), and a lookup costs a few instructions, not a loop.
constexpr uint32_t name_hash(std::string_view name) noexcept {
    const size_t n = name.size();
    if (n == 0) return 0;
    const auto at = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(name[i])); };
    uint32_t h = static_cast<uint32_t>(n);
    h = h * 131 + at(0);
    h = h * 131 + at(n / 2);
    h = h * 131 + at(n - 1);
    h = h * 131 + at(n > 1 ? n - 2 : 0);
    return (h * 2654435761u) >> 24;
}

// The places by name, for property_position: open addressing, at most a
// quarter full, so a lookup is one hash and about one comparison.
constexpr size_t slot_count = 256;  // the hash's eight bits
static_assert(slot_count >= 4 * property_count);
static_assert(last_property_position <= 255, "a place fits a slot's byte");
constexpr std::array<uint8_t, slot_count> slots = [] {
    std::array<uint8_t, slot_count> table{};
    for (const auto& entry : properties) {
        size_t i = name_hash(entry.name);
        while (table[i] != 0) i = (i + 1) & (slot_count - 1);
        table[i] = static_cast<uint8_t>(entry.position);
    }
    return table;
}();

// The table's texts by place (NUL-terminated: they are literals); the places
// are checked to be 1..n, each once.
constexpr std::array<std::string_view, last_property_position + 1> by_position = [] {
    std::array<std::string_view, last_property_position + 1> texts{};
#define ZIBREL_TEXT_ENTRY(pos, id, text, ...) texts[pos] = text;
    ZIBREL_PROPERTIES(ZIBREL_TEXT_ENTRY, ZIBREL_TEXT_ENTRY)
#undef ZIBREL_TEXT_ENTRY
    return texts;
}();

constexpr bool positions_dense() {
    if (by_position.size() != property_count + 1 || by_position[0].data() != nullptr) return false;
    for (size_t i = 1; i < by_position.size(); ++i) {
        if (by_position[i].data() == nullptr) return false;
    }
    for (size_t i = 0; i < property_count; ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (properties[i].name == properties[j].name) return false;
        }
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
    for (size_t i = name_hash(name);; i = (i + 1) & (slot_count - 1)) {
        const uint8_t position = slots[i];
        if (position == 0) return 0;
        if (by_position[position] == name) return position;
    }
}

const char* property_text(int position) noexcept {
    return position > 0 && position <= last_property_position ? by_position[static_cast<size_t>(position)].data()
                                                              : nullptr;
}

}  // namespace zibrel::qorzibrel
