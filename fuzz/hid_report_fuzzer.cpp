// Our library's HID report-descriptor parser and report decoder over fuzzed
// bytes: a descriptor, then reports as hidraw hands them over one by one, and
// the same bytes as one stream framed by the layout. Whatever the bytes, a
// refusal says why, an accepted layout describes only fields that lie within
// their report, and a decoded report gives deflections within full deflection
// and only buttons the layout has.
//
// Input: two bytes of descriptor length (little-endian), the descriptor, then
// reports, each after one byte of its length.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz/check.h"
#include "devices/hid_descriptor.h"

using namespace zibrel::qorzibrel;

namespace {


bool within(const hid_field& f, uint32_t report_bytes) {
    return f.bit_size >= 1 && f.bit_size <= 32 && uint64_t{f.bit_offset} + f.bit_size <= uint64_t{report_bytes} * 8;
}

void check_layout(const hid_layout& layout) {
    FUZZ_CHECK(layout.axis_count >= 1 && layout.axis_count <= hid_axis_count);
    FUZZ_CHECK(layout.button_count >= 0 && layout.button_count <= hid_max_buttons);
    for (const hid_report_layout& r : layout.reports) {
        FUZZ_CHECK(r.bytes <= hid_max_report_bytes);
        FUZZ_CHECK(layout.report_ids || r.id == 0);
        for (const hid_axis_field& a : r.axes) {
            FUZZ_CHECK(a.axis >= 0 && a.axis < hid_axis_count && layout.has_axis[static_cast<size_t>(a.axis)]);
            FUZZ_CHECK(within(a.field, r.bytes));
        }
        for (const hid_button_field& b : r.buttons) {
            FUZZ_CHECK(b.button >= 0 && b.button < layout.button_count);
            FUZZ_CHECK(within(b.field, r.bytes));
        }
        for (const hid_button_array& a : r.button_arrays) {
            FUZZ_CHECK(a.usage_max >= 1 && a.usage_min <= a.usage_max && a.usage_max <= uint32_t(layout.button_count));
            FUZZ_CHECK(within(a.field, r.bytes));
            FUZZ_CHECK(uint64_t{a.field.bit_offset} + uint64_t{a.count} * a.field.bit_size <= uint64_t{r.bytes} * 8);
        }
    }
}

void decode(const hid_layout& layout, std::span<const uint8_t> report) {
    hid_report_values values;
    if (decode_hid_report(layout, report, values) != hid_decode_result::ok) return;
    for (size_t i = 0; i < hid_axis_count; ++i) {
        FUZZ_CHECK(std::isfinite(values.axes[i]) && std::fabs(values.axes[i]) <= 1.0);
        FUZZ_CHECK(!values.has_axis[i] || layout.has_axis[i]);
        FUZZ_CHECK(values.has_axis[i] || values.axes[i] == 0.0);
    }
    FUZZ_CHECK((values.pressed & ~values.covered).none());
    for (size_t b = static_cast<size_t>(layout.button_count); b < hid_max_buttons; ++b) FUZZ_CHECK(!values.covered[b]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> input(data, size);
    if (input.size() < 2) return 0;
    const size_t length = std::min<size_t>(input[0] | size_t{input[1]} << 8, input.size() - 2);
    // Exact copies, so that reading one byte past either is a finding.
    const std::vector<uint8_t> descriptor(input.begin() + 2, input.begin() + 2 + static_cast<std::ptrdiff_t>(length));
    std::span<const uint8_t> rest = input.subspan(2 + length);

    const hid_descriptor_result parsed = parse_hid_descriptor(descriptor);
    if (!parsed.ok) {
        FUZZ_CHECK(!parsed.error.empty());
        return 0;
    }
    const hid_layout& layout = parsed.layout;
    check_layout(layout);

    // Reports one by one, as hidraw returns them.
    for (std::span<const uint8_t> reports = rest; !reports.empty();) {
        const size_t n = std::min<size_t>(reports[0], reports.size() - 1);
        const std::vector<uint8_t> report(reports.begin() + 1, reports.begin() + 1 + static_cast<std::ptrdiff_t>(n));
        decode(layout, report);
        reports = reports.subspan(1 + n);
    }
    // The same bytes as a stream, framed by the layout.
    for (std::span<const uint8_t> stream = rest; !stream.empty();) {
        const size_t n = hid_stream_report_length(layout, stream[0]);
        FUZZ_CHECK(n <= hid_max_report_bytes + 1);
        if (n == 0 || n > stream.size()) break;
        const std::vector<uint8_t> report(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(n));
        decode(layout, report);
        stream = stream.subspan(n);
    }
    return 0;
}
