// Fuzzed value records for the fuzz targets. Every pointer in a record points
// into a heap block of this arena that holds exactly what the record says (or
// less, where the record may not be trusted: a text without its NUL), so
// reading one byte more than the record holds is an AddressSanitizer report.
// Garbage pointers are never made: nothing can read them safely.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <streambuf>
#include <vector>

#include "commands/action_node.h"
#include "zibrel/value_record.h"

namespace fuzz {

using zibrel::value;
using zibrel::value_type;

// Copies at most `room` bytes of `bytes` to `target`.
inline void copy_in(void* target, const std::vector<uint8_t>& bytes, size_t room) {
    if (!bytes.empty()) std::memcpy(target, bytes.data(), std::min(bytes.size(), room));
}

// A length no record can honestly hold.
inline uint64_t absurd_length(FuzzedDataProvider& in) {
    static constexpr uint64_t lengths[] = {UINT64_MAX, uint64_t{1} << 63, (uint64_t{1} << 63) - 1, uint64_t{1} << 40,
                                           uint64_t{1} << 32};
    return in.PickValueInArray(lengths);
}

class arena {
public:
    explicit arena(FuzzedDataProvider& in) : in_(in) {}

    // A block of exactly n bytes filled from the input.
    char* bytes(size_t n) {
        blocks_.emplace_back(new char[n]);
        char* block = blocks_.back().get();
        const std::vector<uint8_t> data = in_.ConsumeBytes<uint8_t>(n);
        copy_in(block, data, n);
        std::memset(block + data.size(), 'x', n - data.size());
        return block;
    }

    // A NUL-terminated text (it may hold further NULs), or null.
    const char* text_or_null() {
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) return nullptr;
        const size_t n = in_.ConsumeIntegralInRange<size_t>(0, 40);
        char* block = bytes(n + 1);
        block[n] = '\0';
        return block;
    }

    struct text_block {
        char* p;
        size_t size;
    };
    // Bytes that may or may not hold a NUL.
    text_block loose_text() {
        const size_t n = in_.ConsumeIntegralInRange<size_t>(0, 48);
        char* block = bytes(n);
        if (n > 0 && in_.ConsumeBool()) block[in_.ConsumeIntegralInRange<size_t>(0, n - 1)] = '\0';
        return {block, n};
    }

    // A length for a text of `block`: what it holds, less, or so much that no
    // reader may believe it. (A plausible length beyond the block is a lie no
    // reader can see through, as a garbage pointer is.) A constant text ends at
    // its NUL, so a reader may look for the NUL rather than believe a length:
    // an absurd length comes with a NUL there (`nul_ends`).
    uint64_t text_length(const text_block& block, bool nul_ends) {
        switch (in_.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: return block.size;
        case 1: return in_.ConsumeIntegralInRange<uint64_t>(0, block.size);
        default:
            if (nul_ends && std::memchr(block.p, '\0', block.size) == nullptr) return block.size;
            return absurd_length(in_);
        }
    }

    // A command tree of up to 16 nodes in one block; next and children point
    // at any node of it, the node itself and its ancestors included.
    siActionNodeEx_s* tree() {
        const size_t n = in_.ConsumeIntegralInRange<size_t>(1, 16);
        nodes_.emplace_back(new siActionNodeEx_s[n]);
        siActionNodeEx_s* nodes = nodes_.back().get();
        auto link = [&]() -> siActionNodeEx_s* {
            const size_t i = in_.ConsumeIntegralInRange<size_t>(0, n);
            return i == n ? nullptr : &nodes[i];
        };
        for (size_t i = 0; i < n; ++i) {
            siActionNodeEx_s& node = nodes[i];
            node.size = in_.ConsumeBool() ? sizeof(siActionNodeEx_s) : in_.ConsumeIntegral<uint32_t>();
            node.type = static_cast<siActionNodeType_e>(in_.ConsumeIntegralInRange<int32_t>(-1, 3));
            node.next = link();
            node.children = link();
            node.id = text_or_null();
            node.label = text_or_null();
            node.description = text_or_null();
        }
        return nodes;
    }

    // Up to 8 images of every type.
    const siImage_s* images(uint64_t& count) {
        const size_t n = in_.ConsumeIntegralInRange<size_t>(0, 8);
        images_.emplace_back(new siImage_s[n]);  // none at all: any read is a finding
        siImage_s* array = images_.back().get();
        for (size_t i = 0; i < n; ++i) {
            siImage_s& image = array[i];
            const std::vector<uint8_t> raw = in_.ConsumeBytes<uint8_t>(sizeof image);
            std::memset(&image, 0, sizeof image);
            image.size = in_.ConsumeBool() ? sizeof(siImage_s) : in_.ConsumeIntegral<uint32_t>();
            image.type = static_cast<siImageType_e>(in_.ConsumeIntegralInRange<int32_t>(-1, 4));
            image.id = text_or_null();
            switch (image.type) {
            case e_image_file: image.file = {text_or_null(), in_.ConsumeIntegral<uint32_t>()}; break;
            case e_resource_file:
                image.resource = {text_or_null(), text_or_null(), text_or_null(), in_.ConsumeIntegral<uint32_t>()};
                break;
            case e_image: {
                const size_t size = in_.ConsumeIntegralInRange<size_t>(0, 64);
                const char* data = in_.ConsumeBool() ? bytes(size) : nullptr;
                image.image = {data, in_.ConsumeIntegralInRange<uint64_t>(0, size), in_.ConsumeIntegral<uint32_t>()};
                break;
            }
            default:
                // Whatever the union holds for a type nobody knows: never to be read.
                copy_in(&image.file, raw, sizeof image - offsetof(siImage_s, file));
                break;
            }
        }
        // How many the record says: at most what is there, or an absurd count.
        count = in_.ConsumeIntegralInRange<int>(0, 7) == 0 ? absurd_length(in_) : in_.ConsumeIntegralInRange<uint64_t>(0, n);
        return array;
    }

    // A record of any tag, valid or not, in a block of its own.
    value* record() {
        records_.emplace_back(new value);
        value& v = *records_.back();
        const std::vector<uint8_t> raw = in_.ConsumeBytes<uint8_t>(sizeof v.m);
        copy_in(&v.m, raw, sizeof v.m);
        v.type = static_cast<value_type>(in_.ConsumeIntegralInRange<int32_t>(-3, 16));
        switch (v.type) {
        case zibrel::string_type:
            if (in_.ConsumeIntegralInRange<int>(0, 5) == 0) {
                v.s = {nullptr, in_.ConsumeBool() ? 0 : absurd_length(in_)};
            } else {
                const text_block block = loose_text();
                v.s = {block.p, text_length(block, false)};
            }
            break;
        case zibrel::cstr_type:
            if (in_.ConsumeIntegralInRange<int>(0, 5) == 0) {
                v.cs = {nullptr, in_.ConsumeBool() ? 0 : absurd_length(in_)};
            } else {
                const text_block block = loose_text();
                v.cs = {block.p, text_length(block, true)};
            }
            break;
        case zibrel::actionnode_type: v.node = in_.ConsumeIntegralInRange<int>(0, 7) == 0 ? nullptr : tree(); break;
        case zibrel::imagearray_type:
            if (in_.ConsumeIntegralInRange<int>(0, 5) == 0) {
                v.ia = {nullptr, in_.ConsumeBool() ? 0 : absurd_length(in_)};
            } else {
                uint64_t count = 0;
                const siImage_s* array = images(count);
                v.ia = {array, count};
            }
            break;
        default: break;  // plain payload bytes; a void pointer is printed, never followed
        }
        return &v;
    }

private:
    FuzzedDataProvider& in_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<std::unique_ptr<siActionNodeEx_s[]>> nodes_;
    std::vector<std::unique_ptr<siImage_s[]>> images_;
    std::vector<std::unique_ptr<value>> records_;
};

// A stream buffer that throws the text away, counting it; more than `limit`
// bytes is a finding (a rendering that never ends or floods), reported at once
// rather than after the fuzzer's time-out. After `fail_after` bytes it refuses
// further text, as a full disk or a closed pipe would.
class bounded_sink : public std::streambuf {
public:
    explicit bounded_sink(uint64_t limit, uint64_t fail_after = UINT64_MAX) : limit_(limit), fail_after_(fail_after) {}

    uint64_t written() const { return written_; }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        return take(1) == 1 ? c : traits_type::eof();
    }
    std::streamsize xsputn(const char*, std::streamsize n) override { return take(n); }

private:
    std::streamsize take(std::streamsize n) {
        if (written_ >= fail_after_) return 0;
        written_ += static_cast<uint64_t>(n);
        if (written_ > limit_) {
            std::fprintf(stderr, "\nfuzz: more than %llu bytes of text from one input\n",
                         static_cast<unsigned long long>(limit_));
            std::abort();
        }
        return n;
    }

    uint64_t limit_;
    uint64_t fail_after_;
    uint64_t written_ = 0;
};

}  // namespace fuzz
