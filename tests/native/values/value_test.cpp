// The value record's constructors and its four conversion families.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "values/value.h"

using namespace zibrel;

namespace {

std::string conversion_message(value_type type, const char* target) {
    return "Invalid conversion from value type " + std::to_string(static_cast<int>(type)) + " to " + target;
}

template <typename F>
std::string thrown_message(F f) {
    try {
        f();
    } catch (const conversion_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

}  // namespace

TEST(ValueConstructors, EachBuildsItsTagAndPayload) {
    value l(int32_t{-7});
    EXPECT_EQ(l.type, long_type);
    EXPECT_EQ(l.l, -7);

    value d(0.25);
    EXPECT_EQ(d.type, double_type);
    EXPECT_EQ(d.d, 0.25);

    const std::string abc = "abc";
    value c(abc);
    EXPECT_EQ(c.type, cstr_type);
    EXPECT_EQ(c.cs.p, abc.c_str());
    EXPECT_EQ(c.cs.length, 4u);
    const std::string empty;
    EXPECT_EQ(value(empty).cs.length, 1u);

    char buffer[8];
    value s(buffer, sizeof buffer);
    EXPECT_EQ(s.type, string_type);
    EXPECT_EQ(s.s.p, buffer);
    EXPECT_EQ(s.s.length, 8u);

    const siActionNodeEx_s* root = reinterpret_cast<const siActionNodeEx_s*>(&buffer);
    value n(root);
    EXPECT_EQ(n.type, actionnode_type);
    EXPECT_EQ(n.node, root);

    value untyped;
    EXPECT_EQ(untyped.type, auto_type);
}

// Reference conversions: the record's own type and auto_type are accepted (auto
// adopts the target's tag); double also takes a float record.
struct reference_case {
    const char* name;
    value_type target;
    const char* target_name;
    void (*convert)(value&);
};

const reference_case reference_cases[] = {
    {"bool", bool_type, "bool_type", [](value& v) { static_cast<flag&>(v) = 1; }},
    {"double", double_type, "double_type", [](value& v) { static_cast<double&>(v) = 1.5; }},
    {"point", point_type, "point_type", [](value& v) { static_cast<point&>(v) = {1, 2, 3}; }},
    {"plane", plane_type, "plane_type", [](value& v) { static_cast<plane&>(v) = {{0, 0, 1}, 2}; }},
    {"box", box_type, "box_type", [](value& v) { static_cast<box&>(v) = {{0, 0, 0}, {1, 1, 1}}; }},
    {"frustum", frustum_type, "frustum_type", [](value& v) { static_cast<frustum&>(v) = {1, 2, 3, 4, 5, 6}; }},
    {"matrix", matrix_type, "matrix_type", [](value& v) { static_cast<matrix&>(v).m33 = 1; }},
};

class ReferenceConversion : public testing::TestWithParam<reference_case> {};

TEST_P(ReferenceConversion, AdoptsAutoTypeAcceptsOwnTypeRefusesOthers) {
    const reference_case& c = GetParam();

    value untyped;
    c.convert(untyped);
    EXPECT_EQ(untyped.type, c.target);

    value own{c.target};
    c.convert(own);
    EXPECT_EQ(own.type, c.target);

    for (int t = voidptr_type; t <= imagearray_type + 1; ++t) {
        const auto other = static_cast<value_type>(t);
        if (other == c.target || (c.target == double_type && other == float_type)) continue;
        value wrong{other};
        EXPECT_EQ(thrown_message([&] { c.convert(wrong); }), conversion_message(other, c.target_name)) << t;
        EXPECT_EQ(wrong.type, other) << "a refused conversion leaves the tag alone";
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, ReferenceConversion, testing::ValuesIn(reference_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReferenceConversion, AdoptedTypeSticksForLaterConversions) {
    value v;
    static_cast<point&>(v) = {1, 2, 3};
    EXPECT_EQ(v.type, point_type);
    EXPECT_EQ(thrown_message([&] { (void)static_cast<box&>(v); }), conversion_message(point_type, "box_type"));
}

TEST(ReferenceConversion, FloatRecordBecomesDoubleButNotPoint) {
    value v{float_type};
    v.f = 2.5f;
    static_cast<double&>(v) = 7.25;
    EXPECT_EQ(v.type, double_type);
    EXPECT_EQ(v.d, 7.25);

    value f{float_type};
    EXPECT_EQ(thrown_message([&] { (void)static_cast<point&>(f); }), conversion_message(float_type, "point_type"));
}

TEST(ReferenceConversion, WritesLandInThePayloadAtOffsetEight) {
    value v;
    static_cast<matrix&>(v) = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const auto* raw = reinterpret_cast<const double*>(reinterpret_cast<const char*>(&v) + 8);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(raw[i], i + 1);

    value b;
    static_cast<flag&>(b) = 1;
    EXPECT_EQ(*reinterpret_cast<const uint32_t*>(reinterpret_cast<const char*>(&b) + 8), 1u);
}

// Exact conversions accept only the record's own type, never auto_type.
struct exact_case {
    const char* name;
    value_type target;
    const char* target_name;
    void (*convert)(const value&);
};

const exact_case exact_cases[] = {
    {"point", point_type, "point_type", [](const value& v) { (void)static_cast<const point&>(v); }},
    {"vector", vector_type, "vector_type", [](const value& v) { (void)static_cast<const vector&>(v); }},
    {"box", box_type, "box_type", [](const value& v) { (void)static_cast<const box&>(v); }},
    {"frustum", frustum_type, "frustum_type", [](const value& v) { (void)static_cast<const frustum&>(v); }},
    {"matrix", matrix_type, "matrix_type", [](const value& v) { (void)static_cast<const matrix&>(v); }},
};

class ExactConversion : public testing::TestWithParam<exact_case> {};

TEST_P(ExactConversion, AcceptsOnlyItsOwnType) {
    const exact_case& c = GetParam();
    const value own{c.target};
    EXPECT_NO_THROW(c.convert(own));
    for (int t = auto_type; t <= imagearray_type + 1; ++t) {
        if (t == c.target || t == -1) continue;
        const value other{static_cast<value_type>(t)};
        EXPECT_EQ(thrown_message([&] { c.convert(other); }),
                  conversion_message(static_cast<value_type>(t), c.target_name));
        EXPECT_EQ(other.type, t);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, ExactConversion, testing::ValuesIn(exact_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ExactConversion, ReadsThePayload) {
    value v{vector_type};
    v.v = {1, -2, 3};
    const vector& read = std::as_const(v);
    EXPECT_EQ(read.x, 1);
    EXPECT_EQ(read.y, -2);
    EXPECT_EQ(read.z, 3);
}

// Read conversions never throw; unsuitable types read as zero.
struct read_case {
    const char* name;
    value record;
    int32_t as_long;
    double as_double;
    bool as_bool;
};

value make_bool(uint32_t b) {
    value v{bool_type};
    v.b = b;
    return v;
}
value make_long(int32_t l) { return value(l); }
value make_float(float f) {
    value v{float_type};
    v.f = f;
    return v;
}
value make_double(double d) { return value(d); }

TEST(ReadConversion, ByRecordType) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const read_case cases[] = {
        {"bool 1", make_bool(1), 1, 1.0, true},
        {"bool 0", make_bool(0), 0, 0.0, false},
        {"bool 2", make_bool(2), 2, 2.0, true},
        {"long -5", make_long(-5), -5, -5.0, true},
        {"long 0", make_long(0), 0, 0.0, false},
        {"float 2.5", make_float(2.5f), 2, 2.5, true},
        {"float -0.0", make_float(-0.0f), 0, 0.0, false},
        {"double 2.9", make_double(2.9), 2, 2.9, true},
        {"double -2.9", make_double(-2.9), -2, -2.9, true},
        {"double 0", make_double(0.0), 0, 0.0, false},
        {"point", value(point_type), 0, 0.0, false},
        {"auto", value(), 0, 0.0, false},
        {"unknown tag", value(static_cast<value_type>(99)), 0, 0.0, false},
    };
    for (const auto& c : cases) {
        const value& v = c.record;
        EXPECT_EQ(static_cast<int32_t>(v), c.as_long) << c.name;
        EXPECT_EQ(static_cast<double>(v), c.as_double) << c.name;
        EXPECT_EQ(static_cast<bool>(v), c.as_bool) << c.name;
    }
    const value float_nan = make_float(std::numeric_limits<float>::quiet_NaN());
    const value double_nan = make_double(nan);
    EXPECT_TRUE(static_cast<bool>(float_nan));
    EXPECT_TRUE(static_cast<bool>(double_nan));
}

TEST(ReadConversion, OutOfRangeNumbersDoNotFault) {
    const value huge = make_double(1e300), tiny = make_double(-1e300),
                nan = make_double(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(static_cast<int32_t>(huge), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(static_cast<int32_t>(tiny), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(static_cast<int32_t>(nan), 0);
}

TEST(TextConversion, StringAndCstrGiveTheirPointerOthersThrow) {
    char buffer[] = "xyz";
    const value s(buffer, 3);
    EXPECT_EQ(static_cast<const char*>(s), buffer);

    const std::string text = "abc";
    const value c(text);
    EXPECT_EQ(static_cast<const char*>(c), text.c_str());

    value null_text{cstr_type};
    EXPECT_EQ(static_cast<const char*>(std::as_const(null_text)), nullptr);

    const value l = make_long(1);
    EXPECT_EQ(thrown_message([&] { (void)static_cast<const char*>(l); }), conversion_message(long_type, "string_type"));
}

TEST(ConversionError, IsALogicErrorAndCopyable) {
    const conversion_error e("message");
    const conversion_error copy = e;
    const std::logic_error& base = copy;
    EXPECT_STREQ(base.what(), "message");
}
