#include "devices/hid_descriptor.h"

#include <algorithm>
#include <optional>

namespace zibrel::qorzibrel {
namespace {

constexpr uint32_t page_generic_desktop = 0x01;
constexpr uint32_t page_button = 0x09;
constexpr uint32_t usage_multi_axis = (page_generic_desktop << 16) | 0x08;
constexpr uint32_t usage_x = 0x30;  // X, Y, Z, Rx, Ry, Rz follow
constexpr uint32_t collection_application = 1;

enum item_type : uint8_t { main_item = 0, global_item = 1, local_item = 2 };

// Main item tags
constexpr uint8_t tag_input = 0x8, tag_output = 0x9, tag_collection = 0xA, tag_feature = 0xB,
                  tag_end_collection = 0xC;
// Global item tags
constexpr uint8_t tag_usage_page = 0x0, tag_logical_min = 0x1, tag_logical_max = 0x2, tag_report_size = 0x7,
                  tag_report_id = 0x8, tag_report_count = 0x9, tag_push = 0xA, tag_pop = 0xB;
// Local item tags
constexpr uint8_t tag_usage = 0x0, tag_usage_min = 0x1, tag_usage_max = 0x2;

struct globals {
    uint32_t usage_page = 0;
    int64_t logical_min = 0;
    int64_t logical_max_signed = 0;
    int64_t logical_max_unsigned = 0;
    uint32_t report_size = 0;
    uint32_t report_count = 0;
    uint32_t report_id = 0;

    // The maximum is read as signed only when the minimum is negative: many
    // devices write 0..255 as one byte 0xFF.
    int64_t logical_max() const { return logical_min < 0 ? logical_max_signed : logical_max_unsigned; }
};

// Usages given before a main item; a usage of one or two bytes takes the
// usage page in effect at the main item.
struct usage_range {
    uint32_t first, last;
    bool paged;
};

struct parser {
    std::span<const uint8_t> bytes;
    hid_descriptor_result result;

    globals g;
    std::vector<globals> pushed;
    std::vector<usage_range> usages;
    std::optional<std::pair<uint32_t, bool>> usage_min;  // waiting for its maximum
    std::vector<uint32_t> collections;                   // usages of the open collections
    int multi_axis_depth = -1;  // depth of the multi-axis application collection, -1 outside
    std::array<uint32_t, 256> input_bits{};
    std::array<bool, 256> input_seen{};
    std::bitset<hid_max_buttons> button_seen;

    bool fail(std::string why) {
        result.ok = false;
        result.error = std::move(why);
        return false;
    }

    uint32_t resolve(uint32_t usage, bool paged) const { return paged ? usage : (g.usage_page << 16) | (usage & 0xFFFF); }

    // The first usage given before a main item (a collection's own), or 0 for none.
    uint32_t first_usage() const { return usages.empty() ? 0 : resolve(usages.front().first, usages.front().paged); }

    bool add_usage(usage_range r) {
        if (usages.size() >= hid_max_usages) return fail("it lists more than 1024 usages for one item");
        usages.push_back(r);
        return true;
    }

    bool input(uint32_t flags) {
        const uint32_t id = g.report_id;
        const uint64_t bits = uint64_t{g.report_size} * g.report_count;
        if (g.report_size > 256 || bits + input_bits[id] > hid_max_report_bytes * 8) {
            return fail("it declares an absurd report size (" + std::to_string(g.report_count) + " fields of " +
                        std::to_string(g.report_size) + " bits in report " + std::to_string(id) + ")");
        }
        const uint32_t offset = input_bits[id];
        input_bits[id] += static_cast<uint32_t>(bits);
        input_seen[id] = true;
        const bool constant = (flags & 1) != 0, variable = (flags & 2) != 0;
        if (constant || bits == 0 || multi_axis_depth < 0) return true;

        hid_report_layout& report = report_for(id);
        const hid_field first{offset, g.report_size, g.logical_min, g.logical_max()};
        if (variable) {
            if (usages.empty()) return true;
            size_t range = 0;
            uint32_t within = 0;
            for (uint32_t i = 0; i < g.report_count; ++i) {
                // The i-th field's usage; the list's last one repeats.
                const usage_range& r = usages[range];
                const auto usage = resolve(r.first + within, r.paged);
                if (r.first + within < r.last) ++within;
                else if (range + 1 < usages.size()) ++range, within = 0;
                const uint32_t page = usage >> 16, code = usage & 0xFFFF;
                const bool axis = page == page_generic_desktop && code >= usage_x && code < usage_x + hid_axis_count;
                const bool button = page == page_button && code >= 1 && code <= hid_max_buttons;
                if (!axis && !button) continue;
                if (g.report_size > 32) return fail("its " + std::string(axis ? "axes" : "buttons") +
                                                    " are " + std::to_string(g.report_size) + " bits wide (at most 32)");
                hid_field f = first;
                f.bit_offset = offset + i * g.report_size;
                if (axis) {
                    const int a = static_cast<int>(code - usage_x);
                    if (result.layout.has_axis[static_cast<size_t>(a)]) continue;  // the first one counts
                    if (!(f.logical_max > f.logical_min)) {
                        return fail("axis " + std::to_string(a) + " has an empty logical range");
                    }
                    result.layout.has_axis[static_cast<size_t>(a)] = true;
                    report.axes.push_back({f, a});
                } else {
                    const int b = static_cast<int>(code) - 1;
                    // The first field of a button counts, as for axes: a repeated
                    // usage cannot make the layout grow with the report count.
                    if (button_seen[static_cast<size_t>(b)]) continue;
                    button_seen[static_cast<size_t>(b)] = true;
                    report.buttons.push_back({f, b});
                    result.layout.button_count = std::max(result.layout.button_count, b + 1);
                }
            }
            return true;
        }
        // An array: each element holds the index of a pressed button.
        for (const auto& r : usages) {
            const uint32_t lo = resolve(r.first, r.paged), hi = resolve(r.last, r.paged);
            if ((lo >> 16) != page_button || (hi >> 16) != page_button) continue;
            if (g.report_size > 32) return fail("its button array elements are wider than 32 bits");
            // The range keeps its minimum even when that is usage 0 ("no
            // button"): the logical range maps onto it from there.
            const uint32_t usage_min = lo & 0xFFFF;
            const uint32_t usage_max = std::min<uint32_t>(hi & 0xFFFF, hid_max_buttons);
            if (usage_max < 1 || usage_min > usage_max) continue;
            report.button_arrays.push_back({first, g.report_count, usage_min, usage_max});
            result.layout.button_count = std::max(result.layout.button_count, static_cast<int>(usage_max));
            break;
        }
        return true;
    }

    hid_report_layout& report_for(uint32_t id) {
        auto& reports = result.layout.reports;
        auto it = std::find_if(reports.begin(), reports.end(), [&](const auto& r) { return r.id == id; });
        if (it != reports.end()) return *it;
        hid_report_layout r;
        r.id = static_cast<uint8_t>(id);
        reports.push_back(std::move(r));
        return reports.back();
    }

    bool main(uint8_t tag, uint32_t data) {
        bool ok = true;
        switch (tag) {
        case tag_input: ok = input(data); break;
        case tag_collection: {
            if (collections.size() >= static_cast<size_t>(hid_max_collection_depth)) {
                return fail("it nests collections deeper than " + std::to_string(hid_max_collection_depth));
            }
            const uint32_t usage = first_usage();
            collections.push_back(usage);
            if ((data & 0xFF) == collection_application && usage == usage_multi_axis && multi_axis_depth < 0) {
                multi_axis_depth = static_cast<int>(collections.size());
                result.multi_axis = true;
            }
            break;
        }
        case tag_end_collection:
            if (collections.empty()) return fail("it ends a collection it never began");
            if (multi_axis_depth == static_cast<int>(collections.size())) multi_axis_depth = -1;
            collections.pop_back();
            break;
        case tag_output:
        case tag_feature:
        default: break;
        }
        usages.clear();
        usage_min.reset();
        return ok;
    }

    bool global(uint8_t tag, uint32_t data, int64_t sdata) {
        switch (tag) {
        case tag_usage_page: g.usage_page = data & 0xFFFF; break;
        case tag_logical_min: g.logical_min = sdata; break;
        case tag_logical_max:
            g.logical_max_signed = sdata;
            g.logical_max_unsigned = data;
            break;
        case tag_report_size: g.report_size = data; break;
        case tag_report_count: g.report_count = data; break;
        case tag_report_id:
            if (data == 0 || data > 255) return fail("it uses report id " + std::to_string(data) + " (1 to 255)");
            g.report_id = data;
            result.layout.report_ids = true;
            break;
        case tag_push:
            if (pushed.size() >= static_cast<size_t>(hid_max_push_depth)) {
                return fail("it pushes more than " + std::to_string(hid_max_push_depth) + " global states");
            }
            pushed.push_back(g);
            break;
        case tag_pop:
            if (pushed.empty()) return fail("it pops a global state it never pushed");
            g = pushed.back();
            pushed.pop_back();
            break;
        default: break;
        }
        return true;
    }

    bool local(uint8_t tag, uint32_t data, size_t size) {
        const bool paged = size == 4;
        switch (tag) {
        case tag_usage: return add_usage({data, data, paged});
        case tag_usage_min: usage_min = std::pair{data, paged}; break;
        case tag_usage_max:
            if (usage_min) {
                auto [lo, lo_paged] = *usage_min;
                uint32_t hi = data;
                usage_min.reset();
                // A range on one page: the minimum's page, else the maximum's.
                const bool with_page = lo_paged || paged;
                if (with_page) {
                    const uint32_t page = lo_paged ? lo >> 16 : hi >> 16;
                    lo = (page << 16) | (lo & 0xFFFF);
                    hi = (page << 16) | (hi & 0xFFFF);
                }
                if ((lo & 0xFFFF) <= (hi & 0xFFFF)) return add_usage({lo, hi, with_page});
            }
            break;
        default: break;
        }
        return true;
    }

    void run() {
        if (bytes.size() > hid_max_descriptor_bytes) {
            fail("its report descriptor is larger than " + std::to_string(hid_max_descriptor_bytes) + " bytes");
            return;
        }
        size_t at = 0;
        while (at < bytes.size()) {
            const uint8_t prefix = bytes[at];
            if (prefix == 0xFE) {  // a long item: skipped
                if (at + 3 > bytes.size() || at + 3 + bytes[at + 1] > bytes.size()) {
                    fail("its report descriptor is truncated (an item at byte " + std::to_string(at) +
                         " runs past the end)");
                    return;
                }
                at += 3 + size_t{bytes[at + 1]};
                continue;
            }
            const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
            if (at + 1 + size > bytes.size()) {
                fail("its report descriptor is truncated (an item at byte " + std::to_string(at) +
                     " runs past the end)");
                return;
            }
            uint32_t data = 0;
            for (size_t i = 0; i < size; ++i) data |= uint32_t{bytes[at + 1 + i]} << (8 * i);
            int64_t sdata = data;
            if (size > 0 && (data >> (8 * size - 1)) & 1) sdata -= int64_t{1} << (8 * size);
            const auto type = static_cast<uint8_t>((prefix >> 2) & 3);
            const auto tag = static_cast<uint8_t>(prefix >> 4);
            at += 1 + size;
            bool ok = true;
            if (type == main_item) ok = main(tag, data);
            else if (type == global_item) ok = global(tag, data, sdata);
            else if (type == local_item) ok = local(tag, data, size);
            if (!ok) return;
        }
        if (!collections.empty()) {
            fail("its report descriptor is truncated (it ends inside " + std::to_string(collections.size()) +
                 " open collection" + (collections.size() == 1 ? ")" : "s)"));
            return;
        }
        result.ok = true;
    }
};

uint32_t read_bits(std::span<const uint8_t> payload, uint32_t offset, uint32_t size) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < size; ++i) {
        const uint32_t bit = offset + i;
        v |= uint64_t{(payload[bit / 8] >> (bit % 8)) & 1u} << i;
    }
    return static_cast<uint32_t>(v);
}

int64_t field_value(std::span<const uint8_t> payload, const hid_field& f, uint32_t offset) {
    const uint32_t raw = read_bits(payload, offset, f.bit_size);
    // Two's complement when the range reaches below zero.
    if (f.logical_min < 0 && f.bit_size < 64 && ((raw >> (f.bit_size - 1)) & 1u)) {
        return static_cast<int64_t>(raw) - (int64_t{1} << f.bit_size);
    }
    return raw;
}

}  // namespace

double hid_fraction(int64_t raw, int64_t logical_min, int64_t logical_max) {
    if (!(logical_max > logical_min)) return 0.0;
    const double v = static_cast<double>(raw), lo = static_cast<double>(logical_min),
                 hi = static_cast<double>(logical_max);
    double f;
    if (lo < 0 && hi > 0) {
        f = v >= 0 ? v / hi : -v / lo;
    } else {
        const double centre = (lo + hi) / 2, half = (hi - lo) / 2;
        f = (v - centre) / half;
    }
    return std::clamp(f, -1.0, 1.0);
}

hid_descriptor_result parse_hid_descriptor(std::span<const uint8_t> bytes) {
    parser p;
    p.bytes = bytes;
    p.run();
    if (p.result.ok) {
        // Reports without any of our fields still frame a byte stream.
        for (uint32_t id = 0; id < 256; ++id) {
            if (p.input_seen[id]) p.report_for(id).bytes = (p.input_bits[id] + 7) / 8;
        }
    }
    hid_descriptor_result result = std::move(p.result);
    if (!result.ok) {
        result.layout = {};
        return result;
    }
    if (!result.multi_axis) {
        result.ok = false;
        result.error = "it declares no multi-axis controller (Generic Desktop usage 8)";
        result.layout = {};
        return result;
    }
    hid_layout& layout = result.layout;
    layout.axis_count = static_cast<int>(std::count(layout.has_axis.begin(), layout.has_axis.end(), true));
    if (layout.axis_count == 0) {
        result.ok = false;
        result.error = "it declares no axes (Generic Desktop X, Y, Z, Rx, Ry or Rz)";
        result.layout = {};
    }
    return result;
}

hid_decode_result decode_hid_report(const hid_layout& layout, std::span<const uint8_t> report,
                                    hid_report_values& out) {
    out = {};
    uint8_t id = 0;
    if (layout.report_ids) {
        if (report.empty()) return hid_decode_result::wrong_length;
        id = report[0];
        report = report.subspan(1);
    }
    const auto it = std::find_if(layout.reports.begin(), layout.reports.end(),
                                 [&](const hid_report_layout& r) { return r.id == id; });
    if (it == layout.reports.end()) return hid_decode_result::unknown_report;
    if (report.size() != it->bytes) return hid_decode_result::wrong_length;
    for (const auto& a : it->axes) {
        const auto i = static_cast<size_t>(a.axis);
        out.axes[i] = hid_fraction(field_value(report, a.field, a.field.bit_offset), a.field.logical_min,
                                   a.field.logical_max);
        out.has_axis[i] = true;
    }
    for (const auto& b : it->buttons) {
        const auto i = static_cast<size_t>(b.button);
        out.covered.set(i);
        if (read_bits(report, b.field.bit_offset, b.field.bit_size) != 0) out.pressed.set(i);
    }
    for (const auto& arr : it->button_arrays) {
        const uint32_t first = std::max<uint32_t>(arr.usage_min, 1);  // usage 0 is no button
        for (uint32_t u = first; u <= arr.usage_max; ++u) out.covered.set(u - 1);
        for (uint32_t e = 0; e < arr.count; ++e) {
            const int64_t v = field_value(report, arr.field, arr.field.bit_offset + e * arr.field.bit_size);
            if (v < arr.field.logical_min || v > arr.field.logical_max) continue;  // no button
            const int64_t usage = int64_t{arr.usage_min} + (v - arr.field.logical_min);
            if (usage >= first && usage <= arr.usage_max) out.pressed.set(static_cast<size_t>(usage - 1));
        }
    }
    return hid_decode_result::ok;
}

size_t hid_stream_report_length(const hid_layout& layout, uint8_t first) {
    if (!layout.report_ids) return layout.reports.empty() ? 0 : layout.reports.front().bytes;
    for (const auto& r : layout.reports) {
        if (r.id == first) return size_t{r.bytes} + 1;
    }
    return 0;
}

}  // namespace zibrel::qorzibrel
