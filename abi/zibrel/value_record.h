// The tagged value record exchanged with the navigation library and its payload
// types: a wire format, shared byte for byte by the binding and the library, so
// every size and offset is checked at compile time. C++ keeps a struct's members
// in one definition, so the record's conversions are declared here too; the
// binding defines them (binding/values/value.cpp) and a library never calls them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct siActionNodeEx_s;

enum siImageType_e : int32_t {
    e_none = 0,
    e_image_file = 1,
    e_resource_file = 2,
    e_image = 3,
};

struct siImageFile_s {
    const char* file_name;
    uint32_t index;
};

struct siImageResource_s {
    const char* file_name;
    const char* id;
    const char* type;
    uint32_t index;
};

struct siImageData_s {
    const void* data;
    uint64_t size;
    uint32_t index;
};

struct siImage_s {
    uint32_t size;
    siImageType_e type;
    const char* id;
    union {
        siImageFile_s file;
        siImageResource_s resource;
        siImageData_s image;
    };
};

namespace zibrel {

enum value_type : int32_t {
    auto_type = -2,
    voidptr_type = 0,
    bool_type = 1,
    long_type = 2,
    float_type = 3,
    double_type = 4,
    point_type = 5,
    vector_type = 6,
    matrix_type = 7,
    string_type = 8,
    actionnode_type = 9,
    plane_type = 10,
    box_type = 11,
    frustum_type = 12,
    cstr_type = 13,
    imagearray_type = 14,
};

struct point {
    double x, y, z;
};

struct vector {
    double x, y, z;
};

struct plane {
    vector n;
    double d;
};

struct box {
    point min;
    point max;
};

struct frustum {
    double left, right, bottom, top, near_plane, far_plane;
};

struct matrix {
    double m00, m01, m02, m03;
    double m10, m11, m12, m13;
    double m20, m21, m22, m23;
    double m30, m31, m32, m33;
};

// Writable text buffer: length is the room at p on the way out, the text's
// (or the needed) length on the way back.
struct string {
    char* p;
    uint64_t length;
};

// Constant NUL-terminated text; length counts the NUL.
struct cstr {
    const char* p;
    uint64_t length;
};

struct imagearray {
    const siImage_s* p;
    uint64_t count;
};

// The longest text taken from a record (a command id, an active set, a text
// shown in a diagnostic line). A record claiming more is not believed.
inline constexpr uint64_t max_text_length = uint64_t{1} << 16;

// The 32-bit boolean payload.
using flag = uint32_t;

struct value {
    value_type type;
    union {
        void* p;
        flag b;
        int32_t l;
        float f;
        double d;
        point pt;
        vector v;
        matrix m;
        string s;
        const siActionNodeEx_s* node;
        plane pl;
        box bx;
        frustum fr;
        cstr cs;
        imagearray ia;
    };

    // An empty record whose type the receiver chooses.
    value() noexcept : type(auto_type), m{} {}
    explicit value(value_type t) noexcept : type(t), m{} {}

    value(int32_t n) noexcept : value(long_type) { l = n; }
    value(double x) noexcept : value(double_type) { d = x; }
    value(const std::string& text) noexcept : value(cstr_type) { cs = {text.c_str(), text.size() + 1}; }
    value(char* buffer, uint64_t length) noexcept : value(string_type) { s = {buffer, length}; }
    value(const siActionNodeEx_s* root) noexcept : value(actionnode_type) { node = root; }

    // Reference conversions: the accessor stores its answer through them.
    operator flag&();
    operator double&();
    operator point&();
    operator plane&();
    operator box&();
    operator frustum&();
    operator matrix&();

    // Exact conversions: the accessor reads a written struct through them.
    operator const point&() const;
    operator const vector&() const;
    operator const box&() const;
    operator const frustum&() const;
    operator const matrix&() const;

    // Read conversions never fail; an unsuitable type reads as zero.
    operator int32_t() const noexcept;
    operator double() const noexcept;
    operator bool() const noexcept;

    // Text conversion: the pointer of a string or cstr record, possibly null.
    operator const char*() const;

private:
    [[noreturn]] void refuse(const char* target) const;
    template <typename T> T& reference(value_type t, const char* target);
    template <typename T> const T& exact(value_type t, const char* target) const;
};

// The record is shared byte for byte with the library.
static_assert(sizeof(point) == 24 && sizeof(vector) == 24);
static_assert(sizeof(plane) == 32 && offsetof(plane, d) == 24);
static_assert(sizeof(box) == 48 && offsetof(box, max) == 24);
static_assert(sizeof(frustum) == 48 && offsetof(frustum, far_plane) == 40);
static_assert(sizeof(matrix) == 128 && offsetof(matrix, m10) == 32 && offsetof(matrix, m33) == 120);
static_assert(sizeof(string) == 16 && offsetof(string, length) == 8);
static_assert(sizeof(cstr) == 16 && offsetof(cstr, length) == 8);
static_assert(sizeof(imagearray) == 16 && offsetof(imagearray, count) == 8);
static_assert(sizeof(value_type) == 4);
static_assert(sizeof(value) == 136 && alignof(value) == 8);
static_assert(offsetof(value, type) == 0 && offsetof(value, m) == 8 && offsetof(value, b) == 8);
static_assert(offsetof(value, s) == 8 && offsetof(value, node) == 8 && offsetof(value, ia) == 8);

}  // namespace zibrel

static_assert(sizeof(siImageFile_s) == 16 && offsetof(siImageFile_s, index) == 8);
static_assert(sizeof(siImageResource_s) == 32 && offsetof(siImageResource_s, index) == 24);
static_assert(sizeof(siImageData_s) == 24 && offsetof(siImageData_s, size) == 8 && offsetof(siImageData_s, index) == 16);
static_assert(sizeof(siImage_s) == 48 && offsetof(siImage_s, type) == 4 && offsetof(siImage_s, id) == 8 &&
              offsetof(siImage_s, file) == 16);
