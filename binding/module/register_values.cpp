// The six value classes: plain holders of the geometric structs, no methods
// beyond constructors and attributes, positional parameters only.
#include "module/bindings.h"
#include "values/value.h"

namespace py = pybind11;
using namespace zibrel;

void register_values(py::module_& m) {
    py::class_<point>(m, "ZibrelPoint")
        .def(py::init<>())
        .def(py::init([](double x, double y, double z) { return point{x, y, z}; }))
        .def_readwrite("x", &point::x)
        .def_readwrite("y", &point::y)
        .def_readwrite("z", &point::z);

    py::class_<vector>(m, "ZibrelVector")
        .def(py::init<>())
        .def(py::init([](double x, double y, double z) { return vector{x, y, z}; }))
        .def_readwrite("x", &vector::x)
        .def_readwrite("y", &vector::y)
        .def_readwrite("z", &vector::z);

    py::class_<frustum>(m, "ZibrelFrustum")
        .def(py::init([](const frustum& other) { return frustum(other); }))
        .def(py::init([](double left, double right, double bottom, double top, double near_plane, double far_plane) {
            return frustum{left, right, bottom, top, near_plane, far_plane};
        }))
        .def_readwrite("left", &frustum::left)
        .def_readwrite("right", &frustum::right)
        .def_readwrite("bottom", &frustum::bottom)
        .def_readwrite("top", &frustum::top)
        .def_readwrite("near_plane", &frustum::near_plane)
        .def_readwrite("far_plane", &frustum::far_plane);

    // min and max read as views into the box that keep it alive.
    py::class_<box>(m, "ZibrelBox")
        .def(py::init<>())
        .def(py::init([](const box& other) { return box(other); }))
        .def(py::init([](const point& min, const point& max) { return box{min, max}; }))
        .def(py::init([](double x0, double y0, double z0, double x1, double y1, double z1) {
            return box{{x0, y0, z0}, {x1, y1, z1}};
        }))
        .def_readwrite("min", &box::min)
        .def_readwrite("max", &box::max);

    py::class_<matrix>(m, "ZibrelMatrix")
        .def(py::init<>())
        .def(py::init([](const matrix& other) { return matrix(other); }))
        .def(py::init([](double m00, double m01, double m02, double m03, double m10, double m11, double m12,
                         double m13, double m20, double m21, double m22, double m23, double m30, double m31,
                         double m32, double m33) {
            return matrix{m00, m01, m02, m03, m10, m11, m12, m13, m20, m21, m22, m23, m30, m31, m32, m33};
        }))
        .def_readwrite("m00", &matrix::m00)
        .def_readwrite("m01", &matrix::m01)
        .def_readwrite("m02", &matrix::m02)
        .def_readwrite("m03", &matrix::m03)
        .def_readwrite("m10", &matrix::m10)
        .def_readwrite("m11", &matrix::m11)
        .def_readwrite("m12", &matrix::m12)
        .def_readwrite("m13", &matrix::m13)
        .def_readwrite("m20", &matrix::m20)
        .def_readwrite("m21", &matrix::m21)
        .def_readwrite("m22", &matrix::m22)
        .def_readwrite("m23", &matrix::m23)
        .def_readwrite("m30", &matrix::m30)
        .def_readwrite("m31", &matrix::m31)
        .def_readwrite("m32", &matrix::m32)
        .def_readwrite("m33", &matrix::m33);

    // The normal is taken as a point, though the attribute reads as a vector.
    py::class_<plane>(m, "ZibrelPlane")
        .def(py::init([](const point& normal, double d) { return plane{{normal.x, normal.y, normal.z}, d}; }))
        .def(py::init([](double nx, double ny, double nz, double d) { return plane{{nx, ny, nz}, d}; }))
        .def_readwrite("n", &plane::n)
        .def_readwrite("d", &plane::d);
}
