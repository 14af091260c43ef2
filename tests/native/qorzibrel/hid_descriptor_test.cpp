// The HID report descriptor parser and report decoder: the layouts a
// multi-axis controller may describe itself with, and the descriptors and
// reports that must be refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "devices/hid_descriptor.h"

namespace navtest {
namespace {

using namespace zibrel::qorzibrel;
using bytes = std::vector<uint8_t>;

// Short items: type 0 main, 1 global, 2 local; the data in as few bytes as hold it.
bytes item(int type, int tag, int64_t value, int size = -1) {
    if (size < 0) size = value >= -128 && value <= 127 ? 1 : value >= -32768 && value <= 32767 ? 2 : 4;
    const int code = size == 4 ? 3 : size;
    bytes out{static_cast<uint8_t>((tag << 4) | (type << 2) | code)};
    for (int i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF));
    return out;
}
bytes usage_page(int p) { return item(1, 0x0, p); }
bytes logical(int64_t lo, int64_t hi, int hi_size = -1) {
    bytes b = item(1, 0x1, lo);
    const bytes h = item(1, 0x2, hi, hi_size);
    b.insert(b.end(), h.begin(), h.end());
    return b;
}
bytes report_size(int n) { return item(1, 0x7, n); }
bytes report_id(int n) { return item(1, 0x8, n); }
bytes report_count(int n) { return item(1, 0x9, n); }
bytes push() { return item(1, 0xA, 0, 0); }
bytes pop() { return item(1, 0xB, 0, 0); }
bytes usage(int u) { return item(2, 0x0, u); }
bytes usage_min(int u) { return item(2, 0x1, u); }
bytes usage_max(int u) { return item(2, 0x2, u); }
bytes input(int flags) { return item(0, 0x8, flags); }
bytes collection(int kind) { return item(0, 0xA, kind); }
bytes end_collection() { return item(0, 0xC, 0, 0); }

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

constexpr int variable = 2, constant = 1, array = 0;

bytes multi_axis(const bytes& body) {
    return cat({usage_page(1), usage(8), collection(1), body, end_collection()});
}
// Three 16-bit axes from `first` (0x30 X, 0x33 Rx), -350..350.
bytes three_axes(int first) {
    return cat({usage_page(1), usage(first), usage(first + 1), usage(first + 2), logical(-350, 350), report_size(16),
                report_count(3), input(variable)});
}
bytes button_bitmap(int n, int pad) {
    bytes b = cat({usage_page(9), usage_min(1), usage_max(n), logical(0, 1), report_size(1), report_count(n),
                   input(variable)});
    if (pad > 0) b = cat({b, report_size(pad), report_count(1), input(constant)});
    return b;
}
bytes le16(int v) { return {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>((v >> 8) & 0xFF)}; }
bytes report(std::initializer_list<bytes> parts) { return cat(parts); }

struct report_case {
    bytes report;
    std::vector<std::pair<int, double>> axes;  // axis, fraction
    std::vector<int> pressed;
    std::vector<int> covered;
};

struct layout_case {
    const char* name;
    bytes descriptor;
    bool report_ids;
    int axes, buttons;
    std::vector<report_case> reports;
};

class HidLayoutTest : public testing::TestWithParam<layout_case> {};

TEST_P(HidLayoutTest, FindsAxesAndButtonsAndDecodesReports) {
    const layout_case& c = GetParam();
    const auto parsed = parse_hid_descriptor(c.descriptor);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_TRUE(parsed.multi_axis);
    EXPECT_EQ(parsed.layout.report_ids, c.report_ids);
    EXPECT_EQ(parsed.layout.axis_count, c.axes);
    EXPECT_EQ(parsed.layout.button_count, c.buttons);
    for (const auto& r : c.reports) {
        hid_report_values v;
        ASSERT_EQ(decode_hid_report(parsed.layout, r.report, v), hid_decode_result::ok);
        int carried = 0;
        for (const auto& [axis, fraction] : r.axes) {
            EXPECT_TRUE(v.has_axis[static_cast<size_t>(axis)]) << axis;
            EXPECT_NEAR(v.axes[static_cast<size_t>(axis)], fraction, 1e-12) << c.name << " axis " << axis;
        }
        for (bool h : v.has_axis) carried += h;
        EXPECT_EQ(carried, static_cast<int>(r.axes.size())) << c.name;
        for (int b = 0; b < hid_max_buttons; ++b) {
            const bool pressed = std::find(r.pressed.begin(), r.pressed.end(), b) != r.pressed.end();
            const bool covered = std::find(r.covered.begin(), r.covered.end(), b) != r.covered.end();
            EXPECT_EQ(v.pressed.test(static_cast<size_t>(b)), pressed) << c.name << " button " << b;
            EXPECT_EQ(v.covered.test(static_cast<size_t>(b)), covered) << c.name << " button " << b;
        }
        // Framing on a byte stream knows the report by its first byte.
        EXPECT_EQ(hid_stream_report_length(parsed.layout, r.report[0]), r.report.size()) << c.name;
    }
}

const layout_case layouts[] = {
    {"separate_translation_rotation_and_buttons",
     multi_axis(cat({report_id(1), three_axes(0x30), report_id(2), three_axes(0x33), report_id(3),
                     button_bitmap(2, 6)})),
     true, 6, 2,
     {{report({{1}, le16(175), le16(-350), le16(0)}), {{0, 0.5}, {1, -1.0}, {2, 0.0}}, {}, {}},
      {report({{2}, le16(35), le16(350), le16(-175)}), {{3, 0.1}, {4, 1.0}, {5, -0.5}}, {}, {}},
      {report({{3}, {0x02}}), {}, {1}, {0, 1}}}},
    {"six_axes_and_buttons_in_one_unnumbered_report",
     multi_axis(cat({usage_page(1), usage_min(0x30), usage_max(0x35), logical(-512, 511), report_size(16),
                     report_count(6), input(variable), button_bitmap(3, 5)})),
     false, 6, 3,
     {{report({le16(511), le16(-512), le16(0), le16(0), le16(-256), le16(0), {0x05}}),
       {{0, 1.0}, {1, -1.0}, {2, 0.0}, {3, 0.0}, {4, -0.5}, {5, 0.0}},
       {0, 2},
       {0, 1, 2}}}},
    {"six_axes_in_one_report_buttons_in_their_own",
     multi_axis(cat({report_id(1), three_axes(0x30), usage(0x33), usage(0x34), usage(0x35), report_count(3),
                     input(variable), report_id(3), button_bitmap(12, 4)})),
     true, 6, 12,
     {{report({{1}, le16(70), le16(0), le16(0), le16(0), le16(0), le16(-70)}),
       {{0, 0.2}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, -0.2}},
       {},
       {}},
      {report({{3}, {0x01, 0x08}}), {}, {0, 11}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}}},
    {"unsigned_eight_bit_axes_centred_and_a_pushed_state",
     // Push keeps the axes' range; the pop after the buttons restores it.
     multi_axis(cat({usage_page(1), logical(0, 255, 1), report_size(8), push(), usage_page(9), usage_min(1),
                     usage_max(1), logical(0, 1), report_size(1), report_count(1), input(variable), report_size(7),
                     input(constant), pop(), usage(0x32), usage(0x35), report_count(2), input(variable)})),
     false, 2, 1,
     {{report({{0x01}, {255}, {0}}), {{2, 1.0}, {5, -1.0}}, {0}, {0}}}},
    {"a_button_array",
     multi_axis(cat({three_axes(0x30), usage_page(9), usage_min(1), usage_max(8), logical(1, 8), report_size(8),
                     report_count(2), input(array)})),
     false, 3, 8,
     {{report({le16(0), le16(0), le16(0), {3, 0}}), {{0, 0}, {1, 0}, {2, 0}}, {2}, {0, 1, 2, 3, 4, 5, 6, 7}}}},
    {"a_button_array_from_usage_zero",
     // Usage 0 is "no button": a value of 0 presses nothing, 3 is usage 3, button 2.
     multi_axis(cat({three_axes(0x30), usage_page(9), usage_min(0), usage_max(8), logical(0, 8), report_size(8),
                     report_count(2), input(array)})),
     false, 3, 8,
     {{report({le16(0), le16(0), le16(0), {3, 0}}), {{0, 0}, {1, 0}, {2, 0}}, {2}, {0, 1, 2, 3, 4, 5, 6, 7}},
      {report({le16(0), le16(0), le16(0), {0, 0}}), {{0, 0}, {1, 0}, {2, 0}}, {}, {0, 1, 2, 3, 4, 5, 6, 7}},
      {report({le16(0), le16(0), le16(0), {1, 8}}), {{0, 0}, {1, 0}, {2, 0}}, {0, 7}, {0, 1, 2, 3, 4, 5, 6, 7}}}},
    {"axes_only_inside_the_multi_axis_collection_count",
     // A vendor's Y outside the application collection is no axis of ours.
     cat({usage_page(1), usage(0x31), logical(0, 1), report_size(8), report_count(1), input(variable),
          multi_axis(cat({collection(0), three_axes(0x33), end_collection()}))}),
     false, 3, 0,
     {{report({{0}, le16(0), le16(350), le16(0)}), {{3, 0}, {4, 1.0}, {5, 0}}, {}, {}}}},
};

INSTANTIATE_TEST_SUITE_P(Layouts, HidLayoutTest, testing::ValuesIn(layouts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HidDescriptorTest, RefusesBadDescriptorsSayingWhy) {
    bytes deep = cat({usage_page(1), usage(8), collection(1)});
    for (int i = 0; i < 40; ++i) deep = cat({deep, collection(0)});
    const bytes good = multi_axis(three_axes(0x30));
    const struct {
        const char* name;
        bytes descriptor;
        bool multi_axis;
        const char* error;
    } cases[] = {
        {"truncated item", bytes(good.begin(), good.end() - 2), true, "truncated (an item at byte"},
        {"unclosed collection", bytes(good.begin(), good.end() - 1), true, "ends inside 1 open collection"},
        {"absurd report count", multi_axis(cat({three_axes(0x30), report_size(8), report_count(100000), input(1)})),
         true, "absurd report size"},
        {"absurd report size", multi_axis(cat({report_size(1000), report_count(1), input(1)})), true,
         "absurd report size"},
        {"axis wider than 32 bits", multi_axis(cat({usage_page(1), usage(0x30), logical(-1, 1), report_size(64),
                                                    report_count(1), input(variable)})),
         true, "64 bits wide"},
        {"no axes", multi_axis(button_bitmap(2, 6)), true, "declares no axes"},
        {"deep nesting", deep, true, "nests collections deeper than 32"},
        {"pop without push", multi_axis(cat({pop(), three_axes(0x30)})), true, "pops a global state"},
        {"end without collection", cat({good, end_collection()}), true, "ends a collection it never began"},
        {"report id 0", multi_axis(cat({report_id(0), three_axes(0x30)})), true, "report id 0"},
        {"a mouse, not a multi-axis controller",
         cat({usage_page(1), usage(2), collection(1), three_axes(0x30), end_collection()}), false,
         "no multi-axis controller"},
        {"larger than the kernel allows", cat({good, bytes(4096, 0)}), false, "larger than 4096 bytes"},
        {"empty", {}, false, "no multi-axis controller"},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_hid_descriptor(c.descriptor);
        EXPECT_FALSE(parsed.ok) << c.name;
        EXPECT_EQ(parsed.multi_axis, c.multi_axis) << c.name;
        EXPECT_NE(parsed.error.find(c.error), std::string::npos) << c.name << ": " << parsed.error;
    }
}

TEST(HidDescriptorTest, ReportsOfAnotherLengthOrIdAreDropped) {
    const auto parsed = parse_hid_descriptor(
        multi_axis(cat({report_id(1), three_axes(0x30), report_id(3), button_bitmap(2, 6)})));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const struct {
        bytes report;
        hid_decode_result result;
    } cases[] = {
        {report({{1}, le16(1), le16(2), le16(3)}), hid_decode_result::ok},
        {report({{1}, le16(1), le16(2)}), hid_decode_result::wrong_length},
        {report({{1}, le16(1), le16(2), le16(3), {0}}), hid_decode_result::wrong_length},
        {report({{3}}), hid_decode_result::wrong_length},
        {report({{2}, le16(1), le16(2), le16(3)}), hid_decode_result::unknown_report},
        {{}, hid_decode_result::wrong_length},
    };
    for (const auto& c : cases) {
        hid_report_values v;
        EXPECT_EQ(decode_hid_report(parsed.layout, c.report, v), c.result) << c.report.size();
    }
    EXPECT_EQ(hid_stream_report_length(parsed.layout, 2), 0u);
}

TEST(HidDescriptorTest, RepeatedUsagesDoNotGrowTheLayout) {
    // The last usage repeats for every further field: 2000 X fields are one axis, 4000 bits two buttons.
    const auto parsed = parse_hid_descriptor(multi_axis(cat({usage_page(1), usage(0x30), logical(-100, 100),
                                                             report_size(8), report_count(2000), input(variable),
                                                             usage_page(9), usage_min(1), usage_max(2), logical(0, 1),
                                                             report_size(1), report_count(4000), input(variable)})));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_EQ(parsed.layout.reports.size(), 1u);
    const auto& r = parsed.layout.reports[0];
    EXPECT_EQ(r.axes.size(), 1u);
    EXPECT_EQ(r.buttons.size(), 2u);
    EXPECT_EQ(r.bytes, 2000u + 500u);
}

TEST(HidDescriptorTest, FractionsOfTheLogicalRange) {
    const struct {
        int64_t raw, lo, hi;
        double fraction;
    } cases[] = {
        {350, -350, 350, 1.0},   {-175, -350, 350, -0.5}, {0, -512, 511, 0.0},  {-512, -512, 511, -1.0},
        {511, -512, 511, 1.0},   {128, 0, 256, 0.0},      {0, 0, 256, -1.0},    {1000, -350, 350, 1.0},
        {-9999, -350, 350, -1.0}, {5, 5, 5, 0.0},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(hid_fraction(c.raw, c.lo, c.hi), c.fraction) << c.raw;
}

}  // namespace
}  // namespace navtest
