// Result codes, the error category and the property catalogue.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <system_error>

#include "framework/errors.h"
#include "framework/properties.h"

using namespace zibrel;

TEST(ResultCodes, FromErrorNumbers) {
    const struct {
        int32_t n;
        uint32_t expected;
    } cases[] = {
        {0, 0},
        {-5, static_cast<uint32_t>(-5)},
        {1, 0x80040001},
        {5, 0x80040005},
        {22, 0x80040016},
        {40, 0x80040028},
        {113, 0x80040071},
        {119, 0x80040077},
        {120, 0x80040078},
        {513, 0x80040201},
        {514, 0x80040202},
        {0x12345, 0x80042345},
    };
    for (const auto& c : cases) EXPECT_EQ(static_cast<uint32_t>(result_from_error(c.n)), c.expected) << c.n;
    EXPECT_EQ(result_from_error(function_not_supported), -2147221464);
}

TEST(ResultCodes, ToErrorCodesByFacility) {
    const struct {
        uint32_t r;
        int code;
        bool zibrel;
    } cases[] = {
        {0x80040028, 40, true}, {0x80040001, 1, true},      {0x8007007E, 126, false},
        {0x8007007F, 127, false}, {0x00000016, 22, false}, {0xFFFFFFFF, 65535, false},
    };
    for (const auto& c : cases) {
        const std::error_code e = error_from_result(static_cast<int32_t>(c.r));
        EXPECT_EQ(e.value(), c.code) << std::hex << c.r;
        EXPECT_EQ(&e.category() == &zibrel_category(), c.zibrel) << std::hex << c.r;
        if (!c.zibrel) {
            EXPECT_EQ(e.category(), std::generic_category());
        }
    }
}

TEST(ErrorCategory, NameAndMessages) {
    EXPECT_STREQ(zibrel_category().name(), "zibrel");
    const struct {
        int n;
        const char* message;
    } cases[] = {
        {1, "operation not permitted"},
        {5, "io error"},
        {22, "invalid argument"},
        {40, "function not supported"},
        {113, "already connected"},
        {119, "Insufficient buffer space."},
        {120, "no message available"},
        {513, "Cannot locate the requested zibrel property."},
        {514, "The requested function is not valid."},
    };
    for (const auto& c : cases) EXPECT_EQ(make_error_code(c.n).message(), c.message) << c.n;
    for (int other : {2, 12, 999999}) EXPECT_EQ(make_error_code(other).message(), std::generic_category().message(other));
}

TEST(ErrorCategory, CodesCompareByCategory) {
    EXPECT_NE(make_error_code(22), std::error_code(22, std::generic_category()));
    EXPECT_EQ(make_error_code(22), make_error_code(zibrel::invalid_argument));
    EXPECT_EQ(make_error_code(0x12345).value(), 0x12345) << "no masking";
    const std::error_code from_enum = already_connected;
    EXPECT_EQ(&from_enum.category(), &zibrel_category());
}

TEST(ErrorCategory, SystemErrorText) {
    const std::system_error with_text(make_error_code(113), "Connection to the library is already open.");
    EXPECT_STREQ(with_text.what(), "Connection to the library is already open.: already connected");
    const std::system_error without_text(error_from_result(result_from_error(operation_not_permitted)));
    EXPECT_STREQ(without_text.what(), "operation not permitted");
}

TEST(PropertyTable, CatalogueBoundsAreFixed) {
    ASSERT_EQ(property_count, 41u);
    EXPECT_STREQ(property_table.front().name, "active");
    EXPECT_STREQ(property_table.back().name, "settings.changed");
}

TEST(PropertyTable, UsesTheNameConstantsThemselves) {
    // One static copy per name: the table points at the very constants.
    const char* const constants[] = {active, motion, view_affine, view_construction_plane, hit_lookfrom,
                                     hit_selection_only, model_units_to_meters, commands_active_set,
                                     settings_changed};
    std::set<const char*> table_addresses;
    for (const auto& entry : property_table) table_addresses.insert(entry.name);
    EXPECT_EQ(table_addresses.size(), property_count) << "every entry has its own text";
    for (const char* c : constants) EXPECT_EQ(table_addresses.count(c), 1u) << c;
    EXPECT_STREQ(view_construction_plane, "view.constructionPlane");
    EXPECT_STREQ(hit_lookfrom, "hit.lookfrom");
    EXPECT_STREQ(model_units_to_meters, "model.unitsToMeters");
}
