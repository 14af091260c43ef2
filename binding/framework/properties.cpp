#include "framework/properties.h"

namespace zibrel {

// Constant-initialised: the catalogue exists before any start-up code runs.
#define ZIBREL_NAME_CONSTANT(pos, id, text, ...) constexpr const char* id = text;
ZIBREL_PROPERTIES(ZIBREL_NAME_CONSTANT, ZIBREL_NAME_CONSTANT)
#undef ZIBREL_NAME_CONSTANT

namespace {

// Each row goes to its place; a place left empty or taken twice stops the build.
constexpr std::array<property_description, property_count> catalogue() {
    std::array<property_description, property_count> table{};
    std::array<int, property_count> rows_at{};
#define ZIBREL_CATALOGUE_ENTRY(pos, id, text, type, access, ...) \
    table.at(pos - 1) = {id, type, access};                      \
    ++rows_at.at(pos - 1);
    ZIBREL_PROPERTIES(ZIBREL_CATALOGUE_ENTRY, ZIBREL_CATALOGUE_ENTRY)
#undef ZIBREL_CATALOGUE_ENTRY
    for (int rows : rows_at)
        if (rows != 1) throw "every place of the catalogue holds exactly one property";
    return table;
}

}  // namespace

constinit const std::array<property_description, property_count> property_table = catalogue();

}  // namespace zibrel
