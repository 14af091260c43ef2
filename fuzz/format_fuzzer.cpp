// The diagnostic formatter over fuzzed records: every tag, texts without their
// NUL, absurd lengths, image arrays, command trees whose next and children
// lead back to a node already written. A record's rendering must read only what
// the record holds, end, stay bounded, and never throw, whatever the stream's
// flags and even when the stream refuses the text.
#include <cstdint>
#include <iostream>
#include <ostream>

#include "fuzz/records.h"
#include "values/format.h"

namespace {

// Far more than the largest honest rendering of one input (at most 16 nodes
// or 8 images of texts under 50 bytes each).
constexpr uint64_t output_limit = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::arena arena(in);
    const bool refusing = in.ConsumeBool();
    fuzz::bounded_sink sink(output_limit, refusing ? in.ConsumeIntegralInRange<uint64_t>(0, 256) : UINT64_MAX);
    std::ostream out(&sink);
    // Flags a caller may have left on the stream.
    std::ios_base::fmtflags flags{};
    if (in.ConsumeBool()) flags |= std::ios_base::showbase;
    if (in.ConsumeBool()) flags |= std::ios_base::uppercase;
    if (in.ConsumeBool()) flags |= std::ios_base::hex;
    if (in.ConsumeBool()) flags |= std::ios_base::showpos;
    out.flags(flags);
    out.width(in.ConsumeIntegralInRange<int>(0, 40));
    out.precision(in.ConsumeIntegralInRange<int>(0, 40));
    if (in.ConsumeBool()) out.exceptions(std::ios_base::badbit | std::ios_base::failbit);

    const int renderings = in.ConsumeIntegralInRange<int>(1, 4);
    for (int i = 0; i < renderings && in.remaining_bytes() > 0; ++i) {
        out.clear();
        switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            // The whole record: what every diagnostic line writes; must not throw.
            out << *arena.record();
            break;
        case 1: {
            // A tree from any level, as the library's own tree report writes it.
            const siActionNodeEx_s* root = in.ConsumeBool() ? arena.tree() : nullptr;
            const uint64_t level = in.ConsumeIntegralInRange<uint64_t>(0, 4095);
            try {
                StreamActionNode(out, root, level);
            } catch (const std::ios_base::failure&) {
                // The stream's own refusal is the caller's to see here.
            }
            break;
        }
        default: {
            uint64_t count = 0;
            const siImage_s* array = arena.images(count);
            try {
                out << zibrel::imagearray{array, count};
            } catch (const std::ios_base::failure&) {
            }
            break;
        }
        }
    }
    return 0;
}
