#include "engine/geometry.h"

namespace zibrel::qorzibrel {

bool finite(const matrix& m) {
    const double* d = &m.m00;
    for (int i = 0; i < 16; ++i) {
        if (!std::isfinite(d[i])) return false;
    }
    return true;
}

bool finite(const box& b) { return finite(to_vec(b.min)) && finite(to_vec(b.max)); }

bool rotation_from_matrix(const matrix& m, camera_frame& out) {
    if (!finite(m)) return false;
    const vec3 c0{m.m00, m.m10, m.m20}, c1{m.m01, m.m11, m.m21}, c2{m.m02, m.m12, m.m22};
    const double det = dot(c0, cross(c1, c2));
    const double scale = length(c0) * length(c1) * length(c2);
    // Relative test: a tiny but well-shaped matrix is still a rotation.
    if (!(scale > 0) || !(std::fabs(det) > 1e-9 * scale)) return false;
    // Keep the viewing direction exactly, then the up direction as far as possible.
    const vec3 back = normalized(c2);
    vec3 right = cross(c1, back);
    if (!(length(right) > 1e-12)) return false;
    right = normalized(right);
    out.back = back;
    out.right = right;
    out.up = cross(back, right);
    out.eye = {};
    return true;
}

matrix_fault frame_from_matrix(const matrix& m, camera_frame& out) {
    if (!finite(m)) return matrix_fault::not_finite;
    camera_frame f;
    if (!rotation_from_matrix(m, f)) return matrix_fault::singular;
    // A projective bottom row has no place in a camera pose.
    if (std::fabs(m.m30) > 1e-9 || std::fabs(m.m31) > 1e-9 || std::fabs(m.m32) > 1e-9 || !(std::fabs(m.m33) > 1e-12))
        return matrix_fault::projective;
    f.eye = vec3{m.m03, m.m13, m.m23} * (1.0 / m.m33);
    out = f;
    return matrix_fault::none;
}

matrix matrix_from_frame(const camera_frame& f) {
    return {f.right.x, f.up.x, f.back.x, f.eye.x,  //
            f.right.y, f.up.y, f.back.y, f.eye.y,  //
            f.right.z, f.up.z, f.back.z, f.eye.z,  //
            0, 0, 0, 1};
}

}  // namespace zibrel::qorzibrel
