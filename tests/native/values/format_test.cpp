#include "values/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "commands/action_node.h"
#include "tests/native/commands/small_stack.h"

using zibrel::value;

namespace {

// Every case starts from this precision, so a formatter that should leave the
// precision alone is told apart from one that sets it.
constexpr std::streamsize untouched = 3;

template <typename Fill>
value Make(zibrel::value_type type, Fill fill) {
    value v(type);
    fill(v);
    return v;
}

std::string PointerText(const void* p) {
    std::ostringstream text;
    text << p;
    return text.str();
}

// Texts the string cases point into; a text formatter reading past the given
// length runs off the end of the first buffer.
char unterminated[3] = {'a', 'b', 'c'};
char followed_by_more[6] = {'a', 'b', 'c', 'X', 'Y', 'Z'};
char inner_nul[5] = {'a', 'b', '\0', 'c', 'd'};
// A cstr value points into its string without owning it.
const std::string hello = "hello";
const std::string nothing;

// S holds A (which holds a1) and then c1.
const Qor::Kinemo::CCommandSet& SampleTree() {
    static const Qor::Kinemo::CCommandSet tree = [] {
        Qor::Kinemo::CCommandSet set("S", "Set S");
        Qor::Kinemo::CCategory category("A", "Category A");
        category.push_back(Qor::Kinemo::CCommand("a1", "Command a1", "Does a1"));
        set.push_back(std::move(category));
        set.push_back(Qor::Kinemo::CCommand("c1", "Command c1", ""));
        return set;
    }();
    return tree;
}

const char* const sample_tree_text =
    "\n    {size: 48, type: 0, id: S, label: Set S, description: nullptr}"
    "\n        {size: 48, type: 1, id: A, label: Category A, description: nullptr}"
    "\n            {size: 48, type: 2, id: a1, label: Command a1, description: Does a1}"
    "\n        {size: 48, type: 2, id: c1, label: Command c1, description: nullptr}";

const siActionNodeEx_s untitled_node{48, e_command, nullptr, nullptr, nullptr, nullptr, nullptr};

siImage_s Image(siImageType_e type, const char* id) {
    siImage_s image{};
    image.size = 48;
    image.type = type;
    image.id = id;
    return image;
}

siImage_s FileImage(const char* id, const char* file, uint32_t index) {
    siImage_s image = Image(e_image_file, id);
    image.file = {file, index};
    return image;
}

siImage_s ResourceImage(const char* id, const char* file, const char* resource, const char* type, uint32_t index) {
    siImage_s image = Image(e_resource_file, id);
    image.resource = {file, resource, type, index};
    return image;
}

siImage_s DataImage(const char* id, uintptr_t address, uint64_t size, uint32_t index) {
    siImage_s image = Image(e_image, id);
    image.image = {reinterpret_cast<const void*>(address), size, index};
    return image;
}

const siImage_s single_file[] = {FileImage("icon", "a.png", 0)};
const siImage_s every_kind[] = {
    FileImage("f", nullptr, 1),
    ResourceImage("r", "icons.dll", "IDI_OPEN", "ICON", 2),
    ResourceImage(nullptr, nullptr, nullptr, nullptr, 3),
    DataImage("d", 0xdeadbeef0, 16, 4),
    DataImage("z", 0, 0, 5),
    Image(e_none, "n"),
    Image(static_cast<siImageType_e>(7), "u"),
};

value Images(const siImage_s* entries, uint64_t count) {
    return Make(zibrel::imagearray_type, [&](value& v) { v.ia = {entries, count}; });
}

// ---- values ------------------------------------------------------------------

struct ValueCase {
    const char* name;
    std::function<value()> make;
    std::string expected;
    std::streamsize precisionAfter;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }

class ValueFormat : public testing::TestWithParam<ValueCase> {};

TEST_P(ValueFormat, WritesExactTextAndLeavesPrecision) {
    const ValueCase& c = GetParam();
    std::ostringstream stream;
    stream.precision(untouched);
    stream << c.make();
    EXPECT_EQ(stream.str(), c.expected);
    EXPECT_EQ(stream.precision(), c.precisionAfter);
    EXPECT_TRUE(stream.good());
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ValueFormat,
    testing::Values(
        ValueCase{"VoidPointer", [] { return Make(zibrel::voidptr_type, [](value& v) { v.p = &unterminated; }); },
                  PointerText(&unterminated), untouched},
        ValueCase{"BoolTwo", [] { return Make(zibrel::bool_type, [](value& v) { v.b = 2; }); }, "true", untouched},
        ValueCase{"BoolOne", [] { return Make(zibrel::bool_type, [](value& v) { v.b = 1; }); }, "true", untouched},
        ValueCase{"BoolZero", [] { return Make(zibrel::bool_type, [](value& v) { v.b = 0; }); }, "false", untouched},
        ValueCase{"Long", [] { return value(int32_t{-42}); }, "-42", untouched},
        ValueCase{"LongMinimum", [] { return value(int32_t{INT32_MIN}); }, "-2147483648", untouched},
        ValueCase{"FloatTenth", [] { return Make(zibrel::float_type, [](value& v) { v.f = 0.1f; }); }, "0.1", 7},
        ValueCase{"FloatThird", [] { return Make(zibrel::float_type, [](value& v) { v.f = 1.0f / 3.0f; }); }, "0.3333333", 7},
        ValueCase{"FloatLarge", [] { return Make(zibrel::float_type, [](value& v) { v.f = 1e10f; }); }, "1e+10", 7},
        ValueCase{"DoubleTenth", [] { return value(0.1); }, "0.10000000000000001", 17},
        ValueCase{"DoubleWhole", [] { return value(2.0); }, "2", 17},
        ValueCase{"DoubleNegative", [] { return value(-2.5e-8); }, "-2.4999999999999999e-08", 17}),
    [](const testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Geometry, ValueFormat,
    testing::Values(
        ValueCase{"Point", [] { return Make(zibrel::point_type, [](value& v) { v.pt = {1, 2.5, -3}; }); }, "[1, 2.5, -3]", 7},
        ValueCase{"PointRounded", [] { return Make(zibrel::point_type, [](value& v) { v.pt = {1.0 / 3.0, 0.1, 1234567.8}; }); },
                  "[0.3333333, 0.1, 1234568]", 7},
        ValueCase{"Vector", [] { return Make(zibrel::vector_type, [](value& v) { v.v = {0, -1, 1e-9}; }); }, "[0, -1, 1e-09]", 7},
        ValueCase{"Plane", [] { return Make(zibrel::plane_type, [](value& v) { v.pl = {{0, 0, 1}, -2.5}; }); }, "[0, 0, 1, -2.5]", 7},
        ValueCase{"Box", [] { return Make(zibrel::box_type, [](value& v) { v.bx = {{-1, -2, -3}, {1, 2, 3.25}}; }); },
                  "[-1, -2, -3], [1, 2, 3.25]", 7},
        ValueCase{"Frustum",
                  [] { return Make(zibrel::frustum_type, [](value& v) { v.fr = {-1, 1, -0.75, 0.75, 0.1, 1000}; }); },
                  "[-1, 1, -0.75, 0.75, 0.1, 1000]", 7},
        ValueCase{"Matrix",
                  [] {
                      return Make(zibrel::matrix_type, [](value& v) {
                          v.m = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15.5};
                      });
                  },
                  "\n\t[0, 1, 2, 3]\n\t[4, 5, 6, 7]\n\t[8, 9, 10, 11]\n\t[12, 13, 14, 15.5]", 7}),
    [](const testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Texts, ValueFormat,
    testing::Values(
        ValueCase{"CstrText", [] { return value(hello); }, "hello", untouched},
        ValueCase{"CstrEmptyText", [] { return value(nothing); }, "", untouched},
        ValueCase{"CstrNull", [] { return Make(zibrel::cstr_type, [](value& v) { v.cs = {nullptr, 0}; }); }, "empty", untouched},
        ValueCase{"StringTerminated", [] { return Make(zibrel::string_type, [](value& v) { v.s = {inner_nul, 2}; }); }, "ab", untouched},
        ValueCase{"StringUnterminated", [] { return value(unterminated, 3); }, "abc", untouched},
        ValueCase{"StringFollowedByMore", [] { return value(followed_by_more, 3); }, "abc", untouched},
        ValueCase{"StringStopsAtNul", [] { return value(inner_nul, 5); }, "ab", untouched},
        ValueCase{"StringOfLengthZero", [] { return value(followed_by_more, 0); }, "", untouched},
        ValueCase{"StringNull", [] { return value(static_cast<char*>(nullptr), 8); }, "empty", untouched},
        // A lying record: no NUL within the length it gives, or a length no text has.
        ValueCase{"CstrUnterminated", [] { return Make(zibrel::cstr_type, [](value& v) { v.cs = {followed_by_more, 3}; }); },
                  "abc", untouched},
        ValueCase{"CstrStopsAtNul", [] { return Make(zibrel::cstr_type, [](value& v) { v.cs = {inner_nul, 5}; }); }, "ab",
                  untouched},
        ValueCase{"StringClaimingTwoToThe63",
                  [] { return value(unterminated, uint64_t{1} << 63); }, "{text of 9223372036854775808 bytes, not shown}",
                  untouched},
        ValueCase{"CstrClaimingTwoToThe63",
                  [] { return Make(zibrel::cstr_type, [](value& v) { v.cs = {unterminated, ~uint64_t{0}}; }); },
                  "{text of 18446744073709551615 bytes, not shown}", untouched}),
    [](const testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Nodes, ValueFormat,
    testing::Values(ValueCase{"Tree", [] { return value(SampleTree().GetSiActionNode()); }, sample_tree_text, untouched},
                    ValueCase{"UntitledNode", [] { return value(&untitled_node); },
                              "\n    {size: 48, type: 2, id: nullptr, label: nullptr, description: nullptr}", untouched},
                    ValueCase{"NullNode", [] { return value(static_cast<const siActionNodeEx_s*>(nullptr)); }, "nullptr", untouched}),
    [](const testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ImageArrays, ValueFormat,
    testing::Values(
        ValueCase{"CountZero", [] { return Images(single_file, 0); }, "count: 0", untouched},
        ValueCase{"SingleFile", [] { return Images(single_file, 1); },
                  "count: 1\n    {size: 48, id: icon, type: e_image_file, {file_name: a.png, index: 0}}", untouched},
        ValueCase{"EveryKind", [] { return Images(every_kind, std::size(every_kind)); },
                  "count: 7"
                  "\n    {size: 48, id: f, type: e_image_file, {file_name: nullptr, index: 1}}"
                  "\n    {size: 48, id: r, type: e_resource_file, {file_name: icons.dll, id: IDI_OPEN, type: ICON, index: 2}}"
                  "\n    {size: 48, id: nullptr, type: e_resource_file, {file_name: nullptr, id: nullptr, type: nullptr, index: 3}}"
                  "\n    {size: 48, id: d, type: e_image, {data: 0xdeadbeef0, size: 16, index: 4}}"
                  "\n    {size: 48, id: z, type: e_image, {data: 0x0, size: 0, index: 5}}"
                  "\n    {size: 48, id: n, type: e_none}"
                  "\n    {size: 48, id: u, type: e_none}",
                  untouched},
        ValueCase{"EntriesWithoutPointer", [] { return Images(nullptr, 2); }, "count: 2", untouched},
        // No array holds 2^40 images: not one entry is read.
        ValueCase{"CountTwoToThe40", [] { return Images(single_file, uint64_t{1} << 40); },
                  "count: 1099511627776\n    {more than 65536 images, not shown}", untouched}),
    [](const testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    UnknownTags, ValueFormat,
    testing::Values(ValueCase{"Auto", [] { return value(); }, "null", untouched},
                    ValueCase{"Fifteen", [] { return value(static_cast<zibrel::value_type>(15)); }, "null", untouched},
                    ValueCase{"MinusOne", [] { return value(static_cast<zibrel::value_type>(-1)); }, "null", untouched}),
    [](const testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.name); });

// ---- structs and records on their own ------------------------------------------

struct RecordCase {
    const char* name;
    std::function<void(std::ostream&)> write;
    std::string expected;
    std::streamsize precisionAfter;
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

class RecordFormat : public testing::TestWithParam<RecordCase> {};

TEST_P(RecordFormat, WritesExactTextAndLeavesPrecision) {
    const RecordCase& c = GetParam();
    std::ostringstream stream;
    stream.precision(untouched);
    c.write(stream);
    EXPECT_EQ(stream.str(), c.expected);
    EXPECT_EQ(stream.precision(), c.precisionAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Operators, RecordFormat,
    testing::Values(
        RecordCase{"Point", [](std::ostream& s) { s << zibrel::point{1, 2.5, -3}; }, "[1, 2.5, -3]", 7},
        RecordCase{"Vector", [](std::ostream& s) { s << zibrel::vector{0.1, 0.2, 0.3}; }, "[0.1, 0.2, 0.3]", 7},
        RecordCase{"Plane", [](std::ostream& s) { s << zibrel::plane{{1, 0, 0}, 4}; }, "[1, 0, 0, 4]", 7},
        RecordCase{"Box", [](std::ostream& s) { s << zibrel::box{{0, 0, 0}, {1, 1, 1}}; }, "[0, 0, 0], [1, 1, 1]", 7},
        RecordCase{"Frustum", [](std::ostream& s) { s << zibrel::frustum{1, 2, 3, 4, 5, 6}; }, "[1, 2, 3, 4, 5, 6]", 7},
        RecordCase{"Matrix", [](std::ostream& s) { s << zibrel::matrix{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.5, 0, 0, 1}; },
                   "\n\t[1, 0, 0, 0]\n\t[0, 1, 0, 0]\n\t[0, 0, 1, 0]\n\t[0.5, 0, 0, 1]", 7},
        RecordCase{"ImageArray", [](std::ostream& s) { s << zibrel::imagearray{single_file, 1}; },
                   "count: 1\n    {size: 48, id: icon, type: e_image_file, {file_name: a.png, index: 0}}", untouched},
        RecordCase{"ImageFile", [](std::ostream& s) { s << siImageFile_s{"b.png", 9}; }, "{file_name: b.png, index: 9}", untouched},
        RecordCase{"ImageFileUnnamed", [](std::ostream& s) { s << siImageFile_s{nullptr, 0}; }, "{file_name: nullptr, index: 0}",
                   untouched},
        RecordCase{"ImageResource", [](std::ostream& s) { s << siImageResource_s{"x.dll", "7", "PNG", 1}; },
                   "{file_name: x.dll, id: 7, type: PNG, index: 1}", untouched},
        RecordCase{"ImageResourceUnnamed", [](std::ostream& s) { s << siImageResource_s{nullptr, nullptr, nullptr, 0}; },
                   "{file_name: nullptr, id: nullptr, type: nullptr, index: 0}", untouched},
        RecordCase{"ImageData",
                   [](std::ostream& s) { s << siImageData_s{reinterpret_cast<const void*>(uintptr_t{0xabc}), 4096, 3}; },
                   "{data: 0xabc, size: 4096, index: 3}", untouched},
        RecordCase{"ImageDataHighAddress",
                   [](std::ostream& s) { s << siImageData_s{reinterpret_cast<const void*>(~uintptr_t{0}), 1, 0}; },
                   "{data: 0xffffffffffffffff, size: 1, index: 0}", untouched},
        RecordCase{"NodeTree", [](std::ostream& s) { s << *SampleTree().GetSiActionNode(); }, sample_tree_text, untouched},
        RecordCase{"NodeWithEmptyTexts", [](std::ostream& s) { s << *Qor::CActionNode("", "", "", e_category).GetSiActionNode(); },
                   "\n    {size: 48, type: 1, id: nullptr, label: nullptr, description: nullptr}", untouched},
        RecordCase{"NodeAtLevelZero", [](std::ostream& s) { StreamActionNode(s, &untitled_node, 0); },
                   "\n{size: 48, type: 2, id: nullptr, label: nullptr, description: nullptr}", untouched},
        RecordCase{"NodeAtLevelThree", [](std::ostream& s) { StreamActionNode(s, &untitled_node, 3); },
                   "\n            {size: 48, type: 2, id: nullptr, label: nullptr, description: nullptr}", untouched},
        RecordCase{"TreeFromChild", [](std::ostream& s) { StreamActionNode(s, SampleTree().GetChild()->GetSiActionNode(), 2); },
                   "\n        {size: 48, type: 1, id: A, label: Category A, description: nullptr}"
                   "\n            {size: 48, type: 2, id: a1, label: Command a1, description: Does a1}"
                   "\n        {size: 48, type: 2, id: c1, label: Command c1, description: nullptr}",
                   untouched},
        RecordCase{"NoNode", [](std::ostream& s) { StreamActionNode(s, nullptr, 1); }, "", untouched}),
    [](const testing::TestParamInfo<RecordCase>& info) { return std::string(info.param.name); });

// ---- stream state --------------------------------------------------------------

TEST(StreamState, ImageDataIgnoresBaseFlagsAndLeavesDecimal) {
    const siImage_s entries[] = {DataImage("d", 0xbeef, 26, 10)};
    std::ostringstream stream;
    stream << std::hex << std::showbase << std::uppercase;
    stream << Images(entries, 1) << ' ' << 255;
    const std::string text = stream.str();
    EXPECT_NE(text.find("{data: 0xbeef, size: 26, index: 10}} 255"), std::string::npos) << text;
    EXPECT_EQ(stream.flags() & std::ios::basefield, std::ios::dec);
}

TEST(StreamState, PrecisionStaysAtLastValueSet) {
    std::ostringstream stream;
    stream << value(0.1) << ' ' << zibrel::point{0.1, 0, 0} << ' ' << value(0.1);
    EXPECT_EQ(stream.str(), "0.10000000000000001 [0.1, 0, 0] 0.10000000000000001");
    EXPECT_EQ(stream.precision(), 17);
    stream << ' ' << 0.1;
    EXPECT_EQ(stream.str(), "0.10000000000000001 [0.1, 0, 0] 0.10000000000000001 0.10000000000000001");
}

// Counts flushes, to tell std::endl from a plain line break.
class FlushCounter : public std::stringbuf {
public:
    int flushes = 0;

protected:
    int sync() override {
        ++flushes;
        return std::stringbuf::sync();
    }
};

struct FlushCase {
    const char* name;
    std::function<value()> make;
    int flushes;
};

void PrintTo(const FlushCase& c, std::ostream* os) { *os << c.name; }

class Flushing : public testing::TestWithParam<FlushCase> {};

TEST_P(Flushing, OnlyMatrixLinesFlush) {
    FlushCounter buffer;
    std::ostream stream(&buffer);
    stream << GetParam().make();
    EXPECT_EQ(buffer.flushes, GetParam().flushes);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Flushing,
    testing::Values(FlushCase{"Matrix", [] { return value(zibrel::matrix_type); }, 4},
                    FlushCase{"Point", [] { return value(zibrel::point_type); }, 0},
                    FlushCase{"Tree", [] { return value(SampleTree().GetSiActionNode()); }, 0},
                    FlushCase{"ImageArray", [] { return Images(every_kind, std::size(every_kind)); }, 0}),
    [](const testing::TestParamInfo<FlushCase>& info) { return std::string(info.param.name); });

// A buffer that fails on its first character with the given exception.
template <typename Error>
class FailingBuffer : public std::streambuf {
protected:
    int_type overflow(int_type) override { throw Error("device lost"); }
};

TEST(StreamErrors, RuntimeErrorFromStreamIsContained) {
    FailingBuffer<std::runtime_error> buffer;
    std::ostream stream(&buffer);
    stream.exceptions(std::ios::badbit);
    EXPECT_NO_THROW(stream << value(int32_t{5}));
    EXPECT_TRUE(stream.bad());
}

TEST(StreamErrors, OtherErrorsPass) {
    FailingBuffer<std::logic_error> buffer;
    std::ostream stream(&buffer);
    stream.exceptions(std::ios::badbit);
    EXPECT_THROW(stream << value(int32_t{5}), std::logic_error);
}

// ---- large trees ---------------------------------------------------------------

struct Line {
    uint64_t indent;
    std::string body;
};

// Splits text written as a series of lines, each introduced by a line break.
std::vector<Line> SplitLines(const std::string& text, std::string& beforeFirst) {
    std::vector<Line> lines;
    std::size_t start = text.find('\n');
    beforeFirst = text.substr(0, start);
    while (start != std::string::npos) {
        const std::size_t end = text.find('\n', start + 1);
        const std::string line = text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        const std::size_t body = line.find_first_not_of(' ');
        lines.push_back({body == std::string::npos ? line.size() : body, line.substr(body == std::string::npos ? line.size() : body)});
        start = end;
    }
    return lines;
}

struct LargeTreeCase {
    const char* name;
    std::size_t nodes;
    // Links each node below the one before it, or after it.
    bool nested;
};

void PrintTo(const LargeTreeCase& c, std::ostream* os) { *os << c.name; }

class LargeTreeFormat : public testing::TestWithParam<LargeTreeCase> {};

TEST_P(LargeTreeFormat, IsWrittenOnSmallStack) {
    const LargeTreeCase& c = GetParam();
    std::vector<std::string> ids(c.nodes);
    std::vector<siActionNodeEx_s> records(c.nodes);
    for (std::size_t i = 0; i < c.nodes; ++i) {
        ids[i] = "n" + std::to_string(i);
        records[i] = {48, e_command, nullptr, nullptr, ids[i].c_str(), nullptr, nullptr};
        if (i == 0) continue;
        // A sibling chain hangs below the first node, so it starts one level down.
        if (c.nested || i == 1) records[i - 1].children = &records[i];
        else records[i - 1].next = &records[i];
    }

    std::ostringstream stream;
    zibrel_test::RunOnSmallStack([&] { stream << *records.data(); });

    std::string beforeFirst;
    const std::vector<Line> lines = SplitLines(stream.str(), beforeFirst);
    EXPECT_EQ(beforeFirst, "");
    ASSERT_EQ(lines.size(), c.nodes);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < c.nodes; ++i) {
        const uint64_t level = c.nested ? i + 1 : (i == 0 ? 1 : 2);
        const std::string body = "{size: 48, type: 2, id: " + ids[i] + ", label: nullptr, description: nullptr}";
        wrong += lines[i].indent != 4 * level || lines[i].body != body;
    }
    EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, LargeTreeFormat,
                         testing::Values(LargeTreeCase{"DeepChildren", 5'000, true}, LargeTreeCase{"LongSiblings", 200'000, false}),
                         [](const testing::TestParamInfo<LargeTreeCase>& info) { return std::string(info.param.name); });

}  // namespace

// ---- trees that lie: cycles, and more than is shown -------------------------------

namespace {

struct LinkedTreeCase {
    const char* name;
    // Links the four nodes r, a, b, c (all unlinked at first).
    std::function<void(siActionNodeEx_s (&)[4])> link;
    zibrel::tree_limits limits;
    std::string expected;
};

void PrintTo(const LinkedTreeCase& c, std::ostream* os) { *os << c.name; }

class LinkedTreeFormat : public testing::TestWithParam<LinkedTreeCase> {};

std::string Node(int level, const char* id) {
    return "\n" + std::string(4 * level, ' ') + "{size: 48, type: 2, id: " + id + ", label: nullptr, description: nullptr}";
}

std::string Marker(int level, const std::string& what) { return "\n" + std::string(4 * level, ' ') + "{... " + what + "}"; }

const std::string again = "node already shown above; the links go round in a cycle";

}  // namespace

TEST_P(LinkedTreeFormat, EachNodeOnceWithinTheLimits) {
    const LinkedTreeCase& c = GetParam();
    siActionNodeEx_s nodes[4];
    const char* ids[] = {"r", "a", "b", "c"};
    for (int i = 0; i < 4; ++i) nodes[i] = {48, e_command, nullptr, nullptr, ids[i], nullptr, nullptr};
    c.link(nodes);
    std::ostringstream stream;
    StreamActionNode(stream, &nodes[0], 1, c.limits);
    EXPECT_EQ(stream.str(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LinkedTreeFormat,
    testing::Values(
        LinkedTreeCase{"NextToItself", [](auto& n) { n[0].next = &n[0]; }, {}, Node(1, "r") + Marker(1, again)},
        LinkedTreeCase{"ChildIsItself", [](auto& n) { n[0].children = &n[0]; }, {}, Node(1, "r") + Marker(2, again)},
        LinkedTreeCase{"GrandchildBackToTheRoot",
                       [](auto& n) {
                           n[0].children = &n[1];
                           n[1].children = &n[2];
                           n[2].children = &n[0];
                       },
                       {}, Node(1, "r") + Node(2, "a") + Node(3, "b") + Marker(4, again)},
        LinkedTreeCase{"SiblingBackToTheFirst",
                       [](auto& n) {
                           n[0].children = &n[1];
                           n[1].next = &n[2];
                           n[2].next = &n[3];
                           n[3].next = &n[1];
                       },
                       {}, Node(1, "r") + Node(2, "a") + Node(2, "b") + Node(2, "c") + Marker(2, again)},
        LinkedTreeCase{"SharedChildIsShownOnce",
                       [](auto& n) {
                           n[0].children = &n[1];
                           n[1].next = &n[2];
                           n[1].children = &n[3];
                           n[2].children = &n[3];
                       },
                       {}, Node(1, "r") + Node(2, "a") + Node(3, "c") + Node(2, "b") + Marker(3, again)},
        LinkedTreeCase{"DepthLimit",
                       [](auto& n) {
                           n[0].children = &n[1];
                           n[1].children = &n[2];
                           n[2].next = &n[3];
                           n[1].next = &n[3];
                       },
                       {2, 100},
                       Node(1, "r") + Node(2, "a") + Marker(3, "deeper than 2 levels, not shown") + Node(2, "c")},
        LinkedTreeCase{"NodeLimit",
                       [](auto& n) {
                           n[0].next = &n[1];
                           n[1].next = &n[2];
                           n[2].next = &n[3];
                       },
                       {100, 2}, Node(1, "r") + Node(1, "a") + Marker(1, "more than 2 nodes; the rest not shown")},
        LinkedTreeCase{"LimitsNotReached",
                       [](auto& n) {
                           n[0].children = &n[1];
                           n[1].children = &n[2];
                           n[2].next = &n[3];
                       },
                       {3, 4}, Node(1, "r") + Node(2, "a") + Node(3, "b") + Node(3, "c")}),
    [](const testing::TestParamInfo<LinkedTreeCase>& info) { return std::string(info.param.name); });

// A value's tree goes through the same bounds: a cycle in a record ends.
TEST(LinkedTreeFormat, CycleInAValueRecordEnds) {
    siActionNodeEx_s node{48, e_command, nullptr, nullptr, "loop", nullptr, nullptr};
    node.next = &node;
    node.children = &node;
    std::ostringstream stream;
    stream << value(&node);
    EXPECT_EQ(stream.str(), Node(1, "loop") + Marker(2, again) + Marker(1, again));
}
