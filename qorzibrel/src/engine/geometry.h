// Small vector algebra for the engine, and the camera matrix convention.
//
// Convention: "view.affine" is the camera-to-world transform, row-major, for
// column vectors (world = M * [x y z 1]^T). Columns 0, 1, 2 of the upper 3x3
// are the camera's right, up and back axes in world coordinates (the camera
// looks along -back); m03, m13, m23 hold the eye position; the last row is
// 0 0 0 1.
#pragma once

#include <cmath>

#include "zibrel/value_record.h"

namespace zibrel::qorzibrel {

struct vec3 {
    double x = 0, y = 0, z = 0;
};

inline vec3 operator+(vec3 a, vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline vec3 operator-(vec3 a, vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline vec3 operator-(vec3 a) { return {-a.x, -a.y, -a.z}; }
inline vec3 operator*(vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline double dot(vec3 a, vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline vec3 cross(vec3 a, vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline double length(vec3 a) { return std::sqrt(dot(a, a)); }
inline bool finite(vec3 a) { return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z); }
inline vec3 normalized(vec3 a) {
    const double n = length(a);
    return n > 0 ? a * (1.0 / n) : a;
}

// Rotate v about the unit axis by angle radians (right-handed).
inline vec3 rotate(vec3 v, vec3 axis, double angle) {
    const double c = std::cos(angle), s = std::sin(angle);
    return v * c + cross(axis, v) * s + axis * (dot(axis, v) * (1 - c));
}

// A rigid camera: orthonormal axes and the eye position, all in world coordinates.
struct camera_frame {
    vec3 right{1, 0, 0}, up{0, 1, 0}, back{0, 0, 1};
    vec3 eye{};

    vec3 forward() const { return -back; }
    // World point into camera coordinates (x right, y up, z back).
    vec3 to_camera(vec3 p) const {
        const vec3 d = p - eye;
        return {dot(d, right), dot(d, up), dot(d, back)};
    }
    void rotate_about(vec3 pivot, vec3 axis, double angle) {
        right = rotate(right, axis, angle);
        up = rotate(up, axis, angle);
        back = rotate(back, axis, angle);
        eye = pivot + rotate(eye - pivot, axis, angle);
    }
};

inline vec3 to_vec(const point& p) { return {p.x, p.y, p.z}; }
inline point to_point(vec3 v) { return {v.x, v.y, v.z}; }

bool finite(const matrix& m);
bool finite(const box& b);

// A box that holds something: finite, its min corner nowhere above its max corner.
inline bool valid_box(const box& b) {
    return finite(b) && b.min.x <= b.max.x && b.min.y <= b.max.y && b.min.z <= b.max.z;
}
inline vec3 centre(const box& b) { return (to_vec(b.min) + to_vec(b.max)) * 0.5; }

// Why a matrix is no camera pose.
enum class matrix_fault { none, not_finite, singular, projective };

// The camera frame of a camera-to-world matrix. Fails for a matrix that is not
// finite, whose upper 3x3 is singular, or that is projective (a bottom row
// other than 0 0 0 w, w != 0: a matrix for row vectors, with the eye in the
// bottom row, is one); `out` is then untouched. A matrix with scale or shear
// is made orthonormal (right-handed, keeping the viewing direction and then
// the up direction).
matrix_fault frame_from_matrix(const matrix& m, camera_frame& out);
matrix matrix_from_frame(const camera_frame& f);

// The rotation part (columns) of a matrix as a frame with the eye at the origin.
bool rotation_from_matrix(const matrix& m, camera_frame& out);

}  // namespace zibrel::qorzibrel
