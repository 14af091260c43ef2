// The six value classes: plain holders of the geometric structs, no methods
// beyond constructors and attributes, positional parameters only. Each pickles
// and copies as its constructor's numbers: without __reduce__, pickling at
// protocol 0 or 1 reaches pybind11's base type, whose allocation aborts.
#include "module/bindings.h"
#include "values/value.h"

namespace py = pybind11;
using namespace zibrel;

namespace {

// (type, numbers): how `T` is made again from the numbers `numbers` reads.
template <class T, class Numbers>
auto reduce_as(Numbers numbers) {
    return [numbers](const py::object& self) {
        return py::make_tuple(py::type::handle_of(self), numbers(self.cast<const T&>()));
    };
}

}  // namespace

void register_values(py::module_& m) {
    py::class_<point>(m, "ZibrelPoint")
        .def(py::init<>())
        .def(py::init([](double x, double y, double z) { return point{x, y, z}; }))
        .def_readwrite("x", &point::x)
        .def_readwrite("y", &point::y)
        .def_readwrite("z", &point::z)
        .def("__reduce__", reduce_as<point>([](const point& p) { return py::make_tuple(p.x, p.y, p.z); }));

    py::class_<vector>(m, "ZibrelVector")
        .def(py::init<>())
        .def(py::init([](double x, double y, double z) { return vector{x, y, z}; }))
        .def_readwrite("x", &vector::x)
        .def_readwrite("y", &vector::y)
        .def_readwrite("z", &vector::z)
        .def("__reduce__", reduce_as<vector>([](const vector& v) { return py::make_tuple(v.x, v.y, v.z); }));

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
        .def_readwrite("far_plane", &frustum::far_plane)
        .def("__reduce__", reduce_as<frustum>([](const frustum& f) {
                 return py::make_tuple(f.left, f.right, f.bottom, f.top, f.near_plane, f.far_plane);
             }));

    // min and max read as views into the box that keep it alive.
    py::class_<box>(m, "ZibrelBox")
        .def(py::init<>())
        .def(py::init([](const box& other) { return box(other); }))
        .def(py::init([](const point& min, const point& max) { return box{min, max}; }))
        .def(py::init([](double x0, double y0, double z0, double x1, double y1, double z1) {
            return box{{x0, y0, z0}, {x1, y1, z1}};
        }))
        .def_readwrite("min", &box::min)
        .def_readwrite("max", &box::max)
        .def("__reduce__", reduce_as<box>([](const box& b) {
                 return py::make_tuple(b.min.x, b.min.y, b.min.z, b.max.x, b.max.y, b.max.z);
             }));

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
        .def_readwrite("m33", &matrix::m33)
        .def("__reduce__", reduce_as<matrix>([](const matrix& a) {
                 return py::make_tuple(a.m00, a.m01, a.m02, a.m03, a.m10, a.m11, a.m12, a.m13, a.m20, a.m21, a.m22,
                                       a.m23, a.m30, a.m31, a.m32, a.m33);
             }));

    // The normal is taken as a point, though the attribute reads as a vector.
    py::class_<plane>(m, "ZibrelPlane")
        .def(py::init([](const point& normal, double d) { return plane{{normal.x, normal.y, normal.z}, d}; }))
        .def(py::init([](double nx, double ny, double nz, double d) { return plane{{nx, ny, nz}, d}; }))
        .def_readwrite("n", &plane::n)
        .def_readwrite("d", &plane::d)
        .def("__reduce__", reduce_as<plane>([](const plane& p) { return py::make_tuple(p.n.x, p.n.y, p.n.z, p.d); }));
}
