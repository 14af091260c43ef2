// Values the application writes, and the two-step text read.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qorzibrel_test_support.h"

namespace navtest {
namespace {

using zibrel::value;

using ValuesTest = library_test;

bool same_record(const value& a, const value& b) {
    // The padding after the tag is not part of the record's contents.
    return a.type == b.type && std::memcmp(&a.m, &b.m, sizeof a.m) == 0;
}

// Read `property` as text into a buffer of `room` bytes framed by guard bytes.
struct text_read {
    int32_t result;
    uint64_t length;
    std::string text;     // the first `length` bytes, when they fit
    bool guards_intact;   // nothing written before or after the buffer
    bool buffer_intact;   // nothing written into the buffer
};

text_read read_text(uint64_t conn, const char* property, size_t room) {
    std::vector<char> storage(room + 2, '#');
    value record(storage.data() + 1, room);
    text_read r{};
    r.result = ZbReadValue(conn, property, &record);
    r.length = record.s.length;
    r.guards_intact = storage.front() == '#' && storage.back() == '#';
    r.buffer_intact = std::all_of(storage.begin(), storage.end(), [](char c) { return c == '#'; });
    if (r.result == 0 && r.length <= room) r.text.assign(storage.data() + 1, r.length);
    return r;
}

TEST_F(ValuesTest, ActiveSetIsEmptyUntilWritten) {
    const uint64_t conn = open();
    for (size_t room : {0u, 8u}) {
        const auto r = read_text(conn, "commands.activeSet", room);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.length, 0u);
        EXPECT_TRUE(r.buffer_intact);
    }
}

TEST_F(ValuesTest, TextReadTakesTwoStepsOnlyWhenTheBufferIsTooSmall) {
    const uint64_t conn = open();
    const std::string active = "Model set: parts";
    const size_t n = active.size();
    const value written(active);
    ASSERT_EQ(ZbWriteValue(conn, "commands.activeSet", &written), 0);

    struct case_t {
        size_t first_room;
        bool two_steps;
    };
    for (const case_t& c : {case_t{0, true}, case_t{1, true}, case_t{n - 1, true}, case_t{n, false},
                            case_t{n + 10, false}}) {
        SCOPED_TRACE(testing::Message() << "room " << c.first_room);
        auto first = read_text(conn, "commands.activeSet", c.first_room);
        EXPECT_TRUE(first.guards_intact);
        EXPECT_EQ(first.length, n);
        if (c.two_steps) {
            EXPECT_EQ(first.result, no_buffer_space);
            EXPECT_TRUE(first.buffer_intact);
            // The application retries with the length it was told.
            const auto second = read_text(conn, "commands.activeSet", first.length);
            EXPECT_EQ(second.result, 0);
            EXPECT_EQ(second.length, n);
            EXPECT_EQ(second.text, active);
            EXPECT_TRUE(second.guards_intact);
        } else {
            EXPECT_EQ(first.result, 0);
            EXPECT_EQ(first.text, active);
        }
    }
}

TEST_F(ValuesTest, TextReadRefusesRecordsWithoutABuffer) {
    const uint64_t conn = open();
    const std::string abc = "abc";  // the record points into it
    const value written(abc);
    ASSERT_EQ(ZbWriteValue(conn, "commands.activeSet", &written), 0);
    ASSERT_EQ(ZbWriteValue(conn, "settings", &written), 0);
    for (const char* property : {"commands.activeSet", "settings"}) {
        SCOPED_TRACE(property);
        value not_a_buffer(int32_t{0});
        EXPECT_EQ(ZbReadValue(conn, property, &not_a_buffer), invalid_argument);
        value null_buffer(static_cast<char*>(nullptr), 10);
        EXPECT_EQ(ZbReadValue(conn, property, &null_buffer), invalid_argument);
    }
}

TEST_F(ValuesTest, TextReadOfANumberIsRefused) {
    const uint64_t conn = open();
    const value number(int32_t{1 << 20});
    ASSERT_EQ(ZbWriteValue(conn, "settings.changed", &number), 0);
    const auto r = read_text(conn, "settings.changed", 4);
    EXPECT_EQ(r.result, invalid_argument);
    EXPECT_EQ(r.length, 4u);
    EXPECT_TRUE(r.buffer_intact);
}

TEST_F(ValuesTest, NumbersAndStructsAreKeptAsWritten) {
    const uint64_t conn = open();
    auto with = [](zibrel::value_type type, auto fill) {
        value v(type);
        fill(v);
        return v;
    };
    const std::vector<std::pair<const char*, value>> cases{
        {"frame.time", value(0.0166)},
        {"frame.timingSource", value(int32_t{-7})},
        {"view.perspective", with(zibrel::bool_type, [](value& v) { v.b = 1; })},
        {"view.fov", with(zibrel::float_type, [](value& v) { v.f = 0.75f; })},
        {"view.target", with(zibrel::point_type, [](value& v) { v.pt = {1, -2, 3.5}; })},
        {"hit.direction", with(zibrel::vector_type, [](value& v) { v.v = {0, 0, -1}; })},
        {"model.floorPlane", with(zibrel::plane_type, [](value& v) { v.pl = {{0, 1, 0}, -4}; })},
        {"view.extents", with(zibrel::box_type, [](value& v) { v.bx = {{-1, -2, -3}, {4, 5, 6}}; })},
        {"view.frustum", with(zibrel::frustum_type, [](value& v) { v.fr = {-1, 1, -0.5, 0.5, 0.1, 100}; })},
        {"view.affine", with(zibrel::matrix_type, [](value& v) {
             double* m = &v.m.m00;
             for (int i = 0; i < 16; ++i) m[i] = i * 1.5 - 4;
         })},
        {"not.in.the.table", value(int32_t{42})},
    };
    for (const auto& [property, sent] : cases) {
        SCOPED_TRACE(property);
        ASSERT_EQ(ZbWriteValue(conn, property, &sent), 0);
        value read;  // auto_type: the library fills in the type
        ASSERT_EQ(ZbReadValue(conn, property, &read), 0);
        EXPECT_TRUE(same_record(read, sent));
        value seen;
        ASSERT_EQ(zbctl_written(conn, property, &seen), 1);
        EXPECT_TRUE(same_record(seen, sent));
        EXPECT_EQ(zbctl_write_count(conn, property), 1u);
    }
}

TEST_F(ValuesTest, TheLastWriteWinsAndEveryWriteCounts) {
    const uint64_t conn = open();
    for (int32_t i = 1; i <= 3; ++i) {
        const value v(i * 10);
        ASSERT_EQ(ZbWriteValue(conn, "frame.timingSource", &v), 0);
    }
    const value refused(int32_t{1});
    EXPECT_EQ(ZbWriteValue(conn, "commands.activeSet", &refused), invalid_argument);
    zbctl_inject("ZbWriteValue", function_not_supported, 1);
    const value injected(int32_t{99});
    EXPECT_EQ(ZbWriteValue(conn, "frame.timingSource", &injected), function_not_supported);

    value read;
    ASSERT_EQ(ZbReadValue(conn, "frame.timingSource", &read), 0);
    EXPECT_EQ(read.l, 30);
    EXPECT_EQ(zbctl_write_count(conn, "frame.timingSource"), 4u);
    EXPECT_EQ(zbctl_write_count(conn, "commands.activeSet"), 1u);
    EXPECT_EQ(zbctl_written(conn, "commands.activeSet", &read), 0);
    EXPECT_EQ(zbctl_write_count(conn, "frame.time"), 0u);
    EXPECT_EQ(zbctl_write_count(conn + 1, "frame.timingSource"), 0u);
}

TEST_F(ValuesTest, ConstantTextIsCopiedUpToItsNul) {
    const uint64_t conn = open();
    std::string sender = "Set A";
    {
        const value sent(sender);
        ASSERT_EQ(ZbWriteValue(conn, "commands.activeSet", &sent), 0);
    }
    std::fill(sender.begin(), sender.end(), 'z');  // the sender's buffer is free again

    value seen;
    ASSERT_EQ(zbctl_written(conn, "commands.activeSet", &seen), 1);
    EXPECT_EQ(seen.type, zibrel::cstr_type);
    EXPECT_STREQ(seen.cs.p, "Set A");
    EXPECT_NE(seen.cs.p, sender.c_str());
    EXPECT_EQ(seen.cs.length, 6u);  // as the sender counted it, NUL included
    EXPECT_EQ(read_text(conn, "commands.activeSet", 16).text, "Set A");

    // A wrong length field does not make the library read beyond the NUL.
    zibrel::value lying(zibrel::cstr_type);
    lying.cs = {"ab", 1000};
    ASSERT_EQ(ZbWriteValue(conn, "commands.activeSet", &lying), 0);
    EXPECT_EQ(read_text(conn, "commands.activeSet", 16).text, "ab");
}

TEST_F(ValuesTest, BufferTextIsCopiedByItsLengthOnly) {
    const uint64_t conn = open();
    // Exactly `length` bytes on the heap, no NUL: a read past them is a fault
    // the address sanitizer reports.
    const std::string contents("ab\0cd", 5);
    auto bytes = std::make_unique<char[]>(contents.size());
    std::memcpy(bytes.get(), contents.data(), contents.size());
    const value sent(bytes.get(), contents.size());
    ASSERT_EQ(ZbWriteValue(conn, "settings", &sent), 0);
    std::memset(bytes.get(), 'z', contents.size());

    value seen;
    ASSERT_EQ(zbctl_written(conn, "settings", &seen), 1);
    EXPECT_EQ(seen.type, zibrel::string_type);
    EXPECT_EQ(std::string(seen.s.p, seen.s.length), contents);
    EXPECT_EQ(seen.s.p[seen.s.length], '\0');
    EXPECT_EQ(read_text(conn, "settings", contents.size()).text, contents);

    const value empty(static_cast<char*>(nullptr), 0);
    ASSERT_EQ(ZbWriteValue(conn, "settings", &empty), 0);
    ASSERT_EQ(zbctl_written(conn, "settings", &seen), 1);
    EXPECT_EQ(seen.s.p, nullptr);
    EXPECT_EQ(read_text(conn, "settings", 0).result, 0);

    const value missing_buffer(static_cast<char*>(nullptr), 3);
    EXPECT_EQ(ZbWriteValue(conn, "settings", &missing_buffer), invalid_argument);
}

TEST_F(ValuesTest, LyingRecordsAreNeverReadPastWhatTheyHold) {
    const uint64_t conn = open();
    // Texts on the heap with exactly the bytes the record claims, no NUL after
    // them: a read past the end is a fault the address sanitizer reports.
    const auto heap_text = [](const std::string& text) {
        auto bytes = std::make_unique<char[]>(text.size());
        std::memcpy(bytes.get(), text.data(), text.size());
        return bytes;
    };
    const auto no_nul = heap_text("fit");
    const auto long_no_nul = heap_text(std::string((16u << 20) + 1, 'a'));  // one byte beyond the limit
    const char* with_nul = "zoom";
    siImage_s image{};
    struct case_t {
        const char* what;
        value record;
        int32_t result;
        std::string text;  // kept, when accepted as text
    };
    const auto cstr = [](const char* p, uint64_t length) {
        value v(zibrel::cstr_type);
        v.cs = {p, length};
        return v;
    };
    const auto string = [](char* p, uint64_t length) {
        value v(zibrel::string_type);
        v.s = {p, length};
        return v;
    };
    value images(zibrel::imagearray_type);
    images.ia = {&image, uint64_t{1} << 40};
    const std::vector<case_t> cases{
        {"cstr without a NUL: its length only", cstr(no_nul.get(), 3), 0, "fit"},
        {"cstr with a NUL before its length", cstr(with_nul, 3), 0, "zoo"},
        {"cstr claiming 2^63 bytes, ended by its NUL", cstr(with_nul, uint64_t{1} << 63), 0, "zoom"},
        {"cstr without a NUL within the limit", cstr(long_no_nul.get(), uint64_t{1} << 63), invalid_argument, ""},
        {"string of 2^63 - 1 bytes", string(no_nul.get(), (uint64_t{1} << 63) - 1), invalid_argument, ""},
        {"string of 2^40 bytes", string(no_nul.get(), uint64_t{1} << 40), invalid_argument, ""},
        {"string of 2^64 - 1 bytes", string(no_nul.get(), ~uint64_t{0}), invalid_argument, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ZbWriteValue(conn, "commands.activeCommand", &c.record), c.result);
        if (c.result == 0) {
            EXPECT_EQ(read_text(conn, "commands.activeCommand", 64).text, c.text);
        }
    }
    // An image array is kept as the record: nothing behind it is read.
    EXPECT_EQ(ZbWriteValue(conn, "images", &images), 0);
    value back;
    ASSERT_EQ(zbctl_written(conn, "images", &back), 1);
    EXPECT_EQ(back.ia.count, uint64_t{1} << 40);
}

TEST_F(ValuesTest, ReadsAndWritesNeedAnOpenConnectionAndAKnownValue) {
    const uint64_t conn = open();
    const value v(int32_t{1});
    value out;
    EXPECT_EQ(ZbReadValue(conn, "view.affine", &out), property_not_found);
    EXPECT_EQ(ZbReadValue(conn + 1, "view.affine", &out), invalid_argument);
    EXPECT_EQ(ZbWriteValue(conn + 1, "transaction", &v), invalid_argument);
    EXPECT_EQ(ZbReadValue(conn, nullptr, &out), invalid_argument);
    EXPECT_EQ(ZbReadValue(conn, "view.affine", nullptr), invalid_argument);
    EXPECT_EQ(ZbWriteValue(conn, nullptr, &v), invalid_argument);
    EXPECT_EQ(ZbWriteValue(conn, "transaction", nullptr), invalid_argument);
    EXPECT_EQ(zbctl_written(conn + 1, "transaction", &out), -1);
}

TEST_F(ValuesTest, ConnectionsKeepTheirOwnValues) {
    const uint64_t a = open();
    const uint64_t b = open();
    const std::string for_a = "for a";
    const value va(for_a);
    ASSERT_EQ(ZbWriteValue(a, "commands.activeSet", &va), 0);
    EXPECT_EQ(read_text(a, "commands.activeSet", 16).text, "for a");
    EXPECT_EQ(read_text(b, "commands.activeSet", 16).length, 0u);
    const value number(int32_t{4});
    ASSERT_EQ(ZbWriteValue(b, "transaction", &number), 0);
    value out;
    EXPECT_EQ(ZbReadValue(a, "transaction", &out), property_not_found);
}

TEST_F(ValuesTest, InjectedTextLengthIsReportedWithoutWriting) {
    const uint64_t conn = open();
    const std::string abc = "abc";  // the record points into it
    const value written(abc);
    ASSERT_EQ(ZbWriteValue(conn, "commands.activeSet", &written), 0);
    zbctl_inject_text_length(1000);
    for (size_t room : {0u, 3u, 2000u}) {
        SCOPED_TRACE(testing::Message() << "room " << room);
        const auto r = read_text(conn, "commands.activeSet", room);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.length, 1000u);
        EXPECT_TRUE(r.buffer_intact);
    }
    // Only text reads lie.
    const value number(int32_t{8});
    ASSERT_EQ(ZbWriteValue(conn, "transaction", &number), 0);
    value out;
    ASSERT_EQ(ZbReadValue(conn, "transaction", &out), 0);
    EXPECT_EQ(out.l, 8);

    zbctl_inject_text_length(-1);
    EXPECT_EQ(read_text(conn, "commands.activeSet", 3).text, "abc");
}

}  // namespace
}  // namespace navtest
