"""pyzibrel's conversions to and from numpy, and its camera helpers."""

import math
import re

import numpy as np
import pytest

import pyzibrel
from _pyzibrel import ZibrelBox, ZibrelFrustum, ZibrelMatrix, ZibrelPlane, ZibrelPoint, ZibrelVector
from pyzibrel import camera, convert

MATRIX = np.arange(16, dtype=float).reshape(4, 4) * 0.5 - 3

# (to-function, array, value class, how the value class holds the array's numbers)
ROUND_TRIPS = {
    "matrix": (convert.to_matrix, MATRIX, ZibrelMatrix,
               lambda v: [[getattr(v, f"m{r}{c}") for c in range(4)] for r in range(4)]),
    "point": (convert.to_point, np.array([1.5, -2.0, 3.25]), ZibrelPoint, lambda v: [v.x, v.y, v.z]),
    "vector": (convert.to_vector, np.array([0.0, -1e300, 7.0]), ZibrelVector, lambda v: [v.x, v.y, v.z]),
    "box": (convert.to_box, np.array([[-1.0, -2.0, -3.0], [4.0, 5.0, 6.0]]), ZibrelBox,
            lambda v: [[v.min.x, v.min.y, v.min.z], [v.max.x, v.max.y, v.max.z]]),
    "plane": (convert.to_plane, np.array([0.0, 0.6, 0.8, -2.5]), ZibrelPlane, lambda v: [v.n.x, v.n.y, v.n.z, v.d]),
    "frustum": (convert.to_frustum, np.array([-1.0, 1.0, -0.75, 0.75, 0.1, 100.0]), ZibrelFrustum,
                lambda v: [v.left, v.right, v.bottom, v.top, v.near_plane, v.far_plane]),
}


@pytest.mark.parametrize("to, array, cls, fields", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())
def test_value_classes_round_trip_through_numpy(to, array, cls, fields):
    for given in (array, array.tolist(), tuple(map(tuple, array)) if array.ndim == 2 else tuple(array)):
        value = to(given)
        assert type(value) is cls
        assert fields(value) == array.tolist()
        back = pyzibrel.to_numpy(value)
        assert back.dtype == np.float64 and back.shape == array.shape
        np.testing.assert_array_equal(back, array)
    # A value of the class itself is copied, not shared.
    copy = to(value)
    assert copy is not value and fields(copy) == fields(value)


BAD_SHAPES = {
    "matrix flat": (convert.to_matrix, np.zeros(16), "(4, 4)"),
    "matrix 3x3": (convert.to_matrix, np.eye(3), "(4, 4)"),
    "point of 4": (convert.to_point, [1, 2, 3, 1], "(3,)"),
    "vector of 2": (convert.to_vector, [1, 2], "(3,)"),
    "box flat": (convert.to_box, np.zeros(6), "(2, 3)"),
    "box ragged": (convert.to_box, [[0, 0, 0], [1, 1]], "(2, 3)"),
    "plane of 3": (convert.to_plane, [0, 0, 1], "(4,)"),
    "frustum of 4": (convert.to_frustum, [1, 2, 3, 4], "(6,)"),
    "text": (convert.to_point, "abc", "(3,)"),
    "nothing": (convert.to_point, None, "(3,)"),
}


@pytest.mark.parametrize("to, data, shape", BAD_SHAPES.values(), ids=BAD_SHAPES.keys())
def test_wrong_shapes_are_refused_naming_the_expected_shape(to, data, shape):
    with pytest.raises(ValueError, match=re.escape(shape)):
        to(data)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("to, array, cls, fields", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())
def test_numbers_that_are_not_finite_are_refused(to, array, cls, fields, bad):
    data = array.copy()
    data.flat[-1] = bad
    with pytest.raises(ValueError, match="finite"):
        to(data)


def test_to_numpy_refuses_what_is_not_a_value_class():
    with pytest.raises(TypeError, match="value class"):
        pyzibrel.to_numpy(np.eye(4))


# --- camera helpers ---------------------------------------------------------------------------

LOOK_ATS = {
    "down -z": ((0, 0, 10), (0, 0, 0), (0, 1, 0)),
    "oblique": ((4, 3, 6), (0.5, 0.2, 0), (0, 1, 0)),
    "z up": ((5, -7, 2), (0, 0, 0.5), (0, 0, 1)),
    "tilted up hint": ((-2, 1, -3), (1, 1, 1), (0.3, 2, 0.1)),
}


@pytest.mark.parametrize("eye, target, up", LOOK_ATS.values(), ids=LOOK_ATS.keys())
def test_look_at_matrix_is_camera_to_world_in_the_librarys_convention(eye, target, up):
    m = pyzibrel.look_at_matrix(eye, target, up)
    np.testing.assert_allclose(m[3], [0, 0, 0, 1])
    np.testing.assert_allclose(m[:3, 3], eye)  # the eye in the last column
    rotation = m[:3, :3]
    np.testing.assert_allclose(rotation.T @ rotation, np.eye(3), atol=1e-12)
    assert np.linalg.det(rotation) == pytest.approx(1.0)
    # The camera looks along -back at the target; the target is on the view axis.
    in_camera = np.linalg.inv(m) @ np.append(target, 1.0)
    np.testing.assert_allclose(in_camera[:2], [0, 0], atol=1e-12)
    assert in_camera[2] == pytest.approx(-np.linalg.norm(np.subtract(target, eye)))
    # Up stays on the side of the hint, and right is level with respect to it.
    assert m[:3, 1] @ np.asarray(up, float) > 0
    assert m[:3, 0] @ np.asarray(up, float) == pytest.approx(0, abs=1e-12)

    distance = float(np.linalg.norm(np.subtract(target, eye)))
    eye2, target2, up2 = pyzibrel.look_at_from_matrix(m, distance)
    np.testing.assert_allclose(eye2, eye, atol=1e-12)
    np.testing.assert_allclose(target2, target, atol=1e-12)
    np.testing.assert_allclose(pyzibrel.look_at_matrix(eye2, target2, up2), m, atol=1e-12)


def test_look_at_known_value():
    # From +X looking at the origin, Y up: right is -Z, back is +X.
    m = pyzibrel.look_at_matrix((3, 0, 0), (0, 0, 0))
    np.testing.assert_allclose(m, [[0, 0, 1, 3], [0, 1, 0, 0], [-1, 0, 0, 0], [0, 0, 0, 1]], atol=1e-15)


def test_look_at_from_a_scaled_matrix_gives_unit_directions():
    m = pyzibrel.look_at_matrix((0, 0, 5), (0, 0, 0))
    m[:3, :3] *= 3
    eye, target, up = pyzibrel.look_at_from_matrix(m, 2.0)
    np.testing.assert_allclose(target, [0, 0, 3])
    np.testing.assert_allclose(up, [0, 1, 0])


LOOK_AT_ERRORS = {
    "eye on target": (lambda: pyzibrel.look_at_matrix((1, 2, 3), (1, 2, 3)), "view direction"),
    "up along view": (lambda: pyzibrel.look_at_matrix((0, 5, 0), (0, 0, 0), (0, 1, 0)), "not parallel"),
    "zero up": (lambda: pyzibrel.look_at_matrix((0, 0, 5), (0, 0, 0), (0, 0, 0)), "up direction"),
    "nan eye": (lambda: pyzibrel.look_at_matrix((0, math.nan, 5), (0, 0, 0)), "finite"),
    "eye of 2": (lambda: pyzibrel.look_at_matrix((0, 5), (0, 0, 0)), r"\(3,\)"),
    "eye in bottom row": (lambda: pyzibrel.look_at_from_matrix(pyzibrel.look_at_matrix((1, 2, 9), (0, 0, 0)).T),
                          "bottom row"),
    "singular": (lambda: pyzibrel.look_at_from_matrix(np.diag([1.0, 0, 1, 1])), "singular"),
    "zero distance": (lambda: pyzibrel.look_at_from_matrix(np.eye(4), 0.0), "distance"),
}


@pytest.mark.parametrize("call, message", LOOK_AT_ERRORS.values(), ids=LOOK_AT_ERRORS.keys())
def test_look_at_refuses_bad_input(call, message):
    with pytest.raises(ValueError, match=message):
        call()


@pytest.mark.parametrize("horizontal, aspect, vertical", [
    (math.radians(90), 1.0, math.radians(90)),
    (math.radians(90), 2.0, 2 * math.atan(0.5)),
    (2 * math.atan(16 / 9 * math.tan(math.radians(15))), 16 / 9, math.radians(30)),
])
def test_field_of_view_known_values_and_round_trip(horizontal, aspect, vertical):
    assert pyzibrel.vertical_fov(horizontal, aspect) == pytest.approx(vertical, rel=1e-12)
    assert pyzibrel.horizontal_fov(vertical, aspect) == pytest.approx(horizontal, rel=1e-12)
    for angle in (0.01, 1.0, 3.1):
        assert pyzibrel.horizontal_fov(pyzibrel.vertical_fov(angle, aspect), aspect) == pytest.approx(angle)


@pytest.mark.parametrize("angle, aspect, message", [
    (0.0, 1.0, "between 0 and pi"), (math.pi, 1.0, "between 0 and pi"), (-0.5, 1.0, "between 0 and pi"),
    (math.nan, 1.0, "between 0 and pi"), (1.0, 0.0, "aspect"), (1.0, -2.0, "aspect"), (1.0, math.inf, "aspect"),
])
@pytest.mark.parametrize("convert_fov", [pyzibrel.vertical_fov, pyzibrel.horizontal_fov])
def test_field_of_view_refuses_bad_input(convert_fov, angle, aspect, message):
    with pytest.raises(ValueError, match=message):
        convert_fov(angle, aspect)


def test_parallel_scale_and_extents():
    extents = pyzibrel.extents_from_parallel_scale(2.5, 1.6, near=0.5, far=40.0)
    np.testing.assert_allclose(extents, [[-4.0, -2.5, -40.0], [4.0, 2.5, -0.5]])
    assert pyzibrel.parallel_scale_from_extents(extents) == pytest.approx((2.5, 1.6))
    # Extents the library zoomed (off centre is fine: only the size counts).
    assert pyzibrel.parallel_scale_from_extents([[-1, 0, -1], [3, 1, 1]]) == pytest.approx((0.5, 4.0))


@pytest.mark.parametrize("call, message", [
    (lambda: pyzibrel.extents_from_parallel_scale(0.0, 1.0), "parallel scale"),
    (lambda: pyzibrel.extents_from_parallel_scale(math.nan, 1.0), "parallel scale"),
    (lambda: pyzibrel.extents_from_parallel_scale(1.0, 0.0), "aspect"),
    (lambda: pyzibrel.extents_from_parallel_scale(1.0, 1.0, near=2.0, far=1.0), "near < far"),
    (lambda: pyzibrel.parallel_scale_from_extents([[1, 0, 0], [1, 1, 0]]), "max above min"),
    (lambda: pyzibrel.parallel_scale_from_extents([[0, 0, 0], [1, math.inf, 0]]), "finite"),
    (lambda: pyzibrel.parallel_scale_from_extents([0, 0, 1, 1]), r"\(2, 3\)"),
])
def test_orthographic_helpers_refuse_bad_input(call, message):
    with pytest.raises(ValueError, match=message):
        call()


C20, S20, C30, S30 = math.cos(math.radians(20)), math.sin(math.radians(20)), math.cos(math.radians(30)), 0.5
WORLD_AXES = {
    # up given: the world's (right, up, toward the front viewer)
    "y up": ((0, 1, 0), ((1, 0, 0), (0, 1, 0), (0, 0, 1))),
    "z up, not unit": ((0, 0, 2), ((1, 0, 0), (0, 0, 1), (0, -1, 0))),
    "y down": ((0, -3, 0), ((1, 0, 0), (0, -1, 0), (0, 0, -1))),
    "tilted toward z": ((0, 1, 1), ((1, 0, 0), (0, 0.5 ** 0.5, 0.5 ** 0.5), (0, -(0.5 ** 0.5), 0.5 ** 0.5))),
    # Near X, X would make a poor right axis: Y takes its place.
    "x up": ((1, 0, 0), ((0, 1, 0), (1, 0, 0), (0, 0, -1))),
    "20 degrees from x": ((C20, 0, S20), ((0, 1, 0), (C20, 0, S20), (S20, 0, -C20))),
    "30 degrees from x": ((C30, 0, S30), ((S30, 0, -C30), (C30, 0, S30), (0, -1, 0))),
}


@pytest.mark.parametrize("up, axes", WORLD_AXES.values(), ids=WORLD_AXES.keys())
def test_world_axes_of_an_up_direction(up, axes):
    m = camera.world_axes(up)
    assert m.shape == (3, 3) and m.dtype == np.float64
    np.testing.assert_allclose(m.T, np.array(axes, float), atol=1e-12)
    np.testing.assert_allclose(m.T @ m, np.eye(3), atol=1e-12)
    assert np.linalg.det(m) == pytest.approx(1.0)  # right-handed: front = right x up


@pytest.mark.parametrize("up, message", [
    ((0, 0, 0), "non-zero length"),
    ((0, 1e-300, 0), "non-zero length"),
    ((0, math.nan, 1), "finite"),
    ((0, math.inf, 0), "finite"),
    ((0, 1), r"\(3,\)"),
    (np.eye(3), r"\(3,\)"),
    ("up", r"\(3,\)"),
])
def test_world_axes_refuse_bad_input(up, message):
    with pytest.raises(ValueError, match=message):
        camera.world_axes(up)
