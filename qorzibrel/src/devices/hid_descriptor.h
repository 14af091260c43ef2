// HID report descriptors and reports of a multi-axis controller, as pure
// functions over bytes: what the descriptor says about the six axes and the
// buttons, and the values one report carries. No device, no state; the
// hidraw source and the fuzz targets use them alike.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zibrel::qorzibrel {

// Limits of what a descriptor may declare; beyond them it is refused.
inline constexpr size_t hid_max_descriptor_bytes = 4096;  // the kernel's own limit
inline constexpr size_t hid_max_report_bytes = 4096;      // hidraw's largest report, id byte excluded
inline constexpr int hid_max_collection_depth = 32;
inline constexpr int hid_max_push_depth = 16;
inline constexpr size_t hid_max_usages = 1024;  // local usage items before one main item
inline constexpr int hid_max_buttons = 256;     // buttons 0..255, as the bindings know them

inline constexpr int hid_axis_count = 6;

// A value in a report: bits [bit_offset, bit_offset + bit_size) after the id
// byte, least significant bit first, within [logical_min, logical_max].
struct hid_field {
    uint32_t bit_offset = 0;
    uint32_t bit_size = 0;  // 1..32
    int64_t logical_min = 0;
    int64_t logical_max = 0;
};

struct hid_axis_field {
    hid_field field;
    int axis = 0;  // 0..5: x y z rx ry rz
};

// One bit (or value) per button: non-zero is pressed.
struct hid_button_field {
    hid_field field;
    int button = 0;  // 0-based: the Button page's usage 1 is button 0
};

// An array of button indices: each element names one pressed button
// (usage_min + value - logical_min), or none: a value outside the logical
// range, or usage 0, which the Button page keeps for "no button".
struct hid_button_array {
    hid_field field;  // the first element; the others follow at bit_size steps
    uint32_t count = 0;
    uint32_t usage_min = 0;  // Button page usages; the minimum may be 0
    uint32_t usage_max = 0;  // 1 or more
};

struct hid_report_layout {
    uint8_t id = 0;      // 0 when the device numbers no reports
    uint32_t bytes = 0;  // length without the id byte
    std::vector<hid_axis_field> axes;
    std::vector<hid_button_field> buttons;
    std::vector<hid_button_array> button_arrays;
};

struct hid_layout {
    bool report_ids = false;                 // every report begins with its id byte
    std::vector<hid_report_layout> reports;  // every input report, carrying ours or not
    std::array<bool, hid_axis_count> has_axis{};
    int axis_count = 0;
    int button_count = 0;  // highest button number + 1
};

struct hid_descriptor_result {
    // The descriptor declares a Generic Desktop / Multi-axis Controller
    // application collection (seen before any fault).
    bool multi_axis = false;
    bool ok = false;
    std::string error;  // when !ok: why, as the end of a sentence
    hid_layout layout;  // when ok
};

hid_descriptor_result parse_hid_descriptor(std::span<const uint8_t> bytes);

struct hid_report_values {
    std::array<double, hid_axis_count> axes{};  // fractions of the logical range, within [-1, 1]
    std::array<bool, hid_axis_count> has_axis{};
    std::bitset<hid_max_buttons> pressed;
    std::bitset<hid_max_buttons> covered;  // buttons this report tells about
};

enum class hid_decode_result { ok, unknown_report, wrong_length };

// One report as hidraw returns it (the id byte first when the device numbers
// its reports). A report of another length than described is dropped.
hid_decode_result decode_hid_report(const hid_layout& layout, std::span<const uint8_t> report,
                                    hid_report_values& out);

// On a byte stream of reports: the length (id byte included) of the report
// that begins with `first`, or 0 when no described report begins with it.
size_t hid_stream_report_length(const hid_layout& layout, uint8_t first);

// A raw field value as a fraction of its logical range: 0 stays 0 when the
// range holds it (each side scaled by its own end), else the range's centre is 0.
double hid_fraction(int64_t raw, int64_t logical_min, int64_t logical_max);

}  // namespace zibrel::qorzibrel
