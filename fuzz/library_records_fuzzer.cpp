// Records the application writes into our library, through what the library's
// entry points do with them: the copy a write keeps (stored_value), the command
// tree it reads from "commands.tree" (describe_tree), and the text it answers a
// read with (reply_text). Fuzzed records of every tag: texts without their NUL,
// absurd lengths, image arrays, command trees whose links go round in a cycle.
// The library must read only what a record holds, end, and write no more than
// the request's buffer holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "fuzz/records.h"
#include "interface/action_tree.h"
#include "base/result_codes.h"
#include "interface/value_store.h"

using namespace zibrel::qorzibrel;
using zibrel::value;

namespace {


// At most 16 nodes, each written once, of texts under 41 bytes, as deep as 16 levels.
constexpr size_t tree_text_bound = 16 * (2 * 16 + 16 + 3 * 41 + 8);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::arena arena(in);
    stored_value store;  // one store written again and again, as a property is
    const int writes = in.ConsumeIntegralInRange<int>(1, 4);
    for (int i = 0; i < writes && in.remaining_bytes() > 0; ++i) {
        const value* sent = arena.record();
        value before;
        std::memcpy(static_cast<void*>(&before), sent, sizeof before);

        if (store.capture(*sent) == result_ok && store.is_text()) {
            const value kept = store.record();
            const std::string_view text = store.text();
            if (kept.s.p != nullptr) {
                if (kept.type == zibrel::string_type) {
                    FUZZ_CHECK(kept.s.length == text.size() && std::memcmp(kept.s.p, text.data(), text.size()) == 0);
                } else {
                    FUZZ_CHECK(std::strlen(kept.cs.p) == text.size());
                }
            }
        }
        FUZZ_CHECK(std::memcmp(static_cast<void*>(&before), sent, sizeof before) == 0);

        if (sent->type == zibrel::actionnode_type) {
            std::string description;
            if (describe_tree(sent->node, description) == result_ok) FUZZ_CHECK(description.size() <= tree_text_bound);
        }

        // A read answered with the text kept: into a buffer of the room the request says.
        const size_t room = in.ConsumeIntegralInRange<size_t>(0, 64);
        value request(in.ConsumeBool() ? zibrel::string_type : static_cast<zibrel::value_type>(in.ConsumeIntegralInRange<int32_t>(-3, 16)));
        request.s = {in.ConsumeBool() ? arena.bytes(room) : nullptr, room};
        const int32_t result = reply_text(store.is_text() ? store.text() : std::string_view{}, request);
        if (result == result_ok) FUZZ_CHECK(request.s.length <= room);
    }
    return 0;
}
