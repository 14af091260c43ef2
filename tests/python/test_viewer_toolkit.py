"""What the package derives for an adapter: pixels and rays (pyzibrel.camera), a vertical field of view
and pixel picking through the viewport size, the pivot handed with the camera, close hooks, and the
warning for an up axis the camera points against."""

import math
import warnings

import numpy as np
import pytest

import engine_support as es
import zibrel_ctl as ctl
import pyzibrel
from pyzibrel import Navigator, UpAxisWarning, Viewer
from pyzibrel import camera as zcam

VIEWPORT = (200.0, 100.0)
EYE = np.array([0.0, 0.0, 10.0])


# --- pixels ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("point, pixel", [
    ((0, 0, 0), (100, 50)),        # the view's centre
    ((10, 0, 0), (200, 50)),       # 45 degrees to the right: the right edge (90 degrees wide)
    ((0, 5, 0), (100, 0)),         # the top edge: half as high as wide
    ((-5, -2.5, 5), (0, 100)),     # the bottom left corner, halfway to the eye
])
def test_project_a_perspective_view(point, pixel):
    m = zcam.look_at_matrix(EYE, (0, 0, 0))
    assert zcam.project(m, point, VIEWPORT, fov=math.radians(90)) == pytest.approx(pixel)


def test_project_a_parallel_view_and_points_behind_the_eye():
    m = zcam.look_at_matrix(EYE, (0, 0, 0))
    extents = [[-4, -2, -20], [4, 2, 0]]
    pixels = zcam.project(m, [[0, 0, 0], [4, 2, -50], [-2, -1, 30]], VIEWPORT, extents=extents)
    assert np.allclose(pixels, [[100, 50], [200, 0], [50, 75]])
    # Off-centre extents: the view's centre is the extents' centre.
    assert zcam.project(m, (1, 1, 0), VIEWPORT, extents=[[-3, -1, -20], [5, 3, 0]]) == pytest.approx((100, 50))
    behind = zcam.project(m, [(0, 0, 20), (0, 0, 10)], VIEWPORT, fov=math.radians(90))
    assert np.all(np.isnan(behind))


@pytest.mark.parametrize("lens", [{"fov": math.radians(70)}, {"extents": [[-3, -1, -20], [5, 3, 0]]}])
def test_pixel_rays_go_through_their_pixels(lens):
    m = zcam.look_at_matrix((2, 3, 9), (0.5, 0, 0), up=(0.1, 1, 0))
    pixels = np.array([[0, 0], [100, 50], [13.5, 87.25], [199, 1]])
    origins, directions = zcam.pixel_rays(m, pixels, VIEWPORT, **lens)
    assert np.allclose(np.linalg.norm(directions, axis=1), 1)
    for depth in (1.0, 7.5):
        assert np.allclose(zcam.project(m, origins + depth * directions, VIEWPORT, **lens), pixels)
    if "fov" in lens:
        assert np.allclose(origins, (2, 3, 9))
    else:
        assert np.allclose(directions, -m[:3, 2])


@pytest.mark.parametrize("lens", [{"fov": math.radians(60)}, {"extents": [[-6, -3, -9], [6, 3, 0]]}])
def test_the_library_aperture_is_one_percent_of_the_width_in_pixels(lens):
    # The library's aperture is 2 % of the view's width one unit ahead (parallel: of the extents).
    width_at_one = 2 * math.tan(lens["fov"] / 2) if "fov" in lens else 12.0
    assert zcam.aperture_pixels(0.02 * width_at_one, VIEWPORT, **lens) == pytest.approx(0.01 * VIEWPORT[0])


def test_centre_extents_moves_the_camera_sideways():
    m = zcam.look_at_matrix(EYE, (0, 0, 0))
    moved, centred = zcam.centre_extents(m, [[0, 1, -20], [4, 3, -1]])
    assert np.allclose(moved[:3, 3], (2, 2, 10)) and np.allclose(moved[:3, :3], m[:3, :3])
    assert np.allclose(centred, [[-2, -1, -20], [2, 1, -1]])


@pytest.mark.parametrize("call, match", [
    (lambda m: zcam.project(m, (0, 0, 0), VIEWPORT), "either fov"),
    (lambda m: zcam.project(m, (0, 0, 0), (0, 100), fov=1.0), "viewport size"),
    (lambda m: zcam.project(m, (0, 0), VIEWPORT, fov=1.0), r"points of shape \(3,\)"),
    (lambda m: zcam.pixel_rays(m, (1, 2, 3), VIEWPORT, fov=1.0), r"pixels of shape \(2,\)"),
    (lambda m: zcam.project(m, (0, 0, 0), VIEWPORT, extents=[[0, 0, 0], [0, 1, 1]]), "max above min"),
    (lambda m: zcam.aperture_pixels(-1, VIEWPORT, fov=1.0), "aperture of 0 or more"),
])
def test_pixel_helpers_refuse_bad_input(call, match):
    with pytest.raises(ValueError, match=match):
        call(zcam.look_at_matrix(EYE, (0, 0, 0)))


# --- a navigator over a viewer that answers in its own terms --------------------------------------

class PixelViewer(Viewer):
    """A vertical field of view, a viewport, pixel picking and the pivot with the camera."""

    def __init__(self, viewport=VIEWPORT, camera=None, up=(0, 1, 0)):
        self.viewport = viewport
        self.camera = zcam.look_at_matrix(EYE, (0, 0, 0)) if camera is None else camera
        self.up = np.array(up, float)
        self.vertical = math.radians(40)
        self.picks = []
        self.cameras = []

    def get_camera(self):
        return self.camera

    def set_camera(self, matrix, pivot=None):
        self.cameras.append(pivot)
        self.camera = matrix

    def get_viewport_size(self):
        return self.viewport

    def get_vertical_fov(self):
        return self.vertical

    def set_vertical_fov(self, fov):
        self.vertical = fov

    def get_scene_bounds(self):
        return np.array([[-1.0, -1, -1], [1, 1, 1]])

    def pick_pixel(self, x, y, radius, selection_only):
        self.picks.append((x, y, radius, selection_only))
        return np.array([0.0, 0.0, 1.0])

    def get_up_axis(self):
        return self.up


def turn(navigator, frames=5):
    conn = ctl.last_connection()
    for i in range(frames):
        t = 100.0 + i / 60
        es.sample(conn, t * 1000, ry=0.5)
        navigator.tick(t)


def test_a_vertical_field_of_view_reaches_the_library_as_horizontal():
    viewer = PixelViewer()
    with Navigator(viewer) as navigator:
        code, record = ctl.get(ctl.last_connection(), "view.fov")
        assert code == 0
        assert record.u.d == pytest.approx(zcam.horizontal_fov(math.radians(40), 2.0))
        navigator._set_view_fov(zcam.horizontal_fov(math.radians(30), 2.0))
        assert viewer.vertical == pytest.approx(math.radians(30))


def test_a_vertical_field_of_view_without_a_viewport_is_reported(capfd):
    viewer = PixelViewer(viewport=None)
    with Navigator(viewer):
        code, _ = ctl.get(ctl.last_connection(), "view.fov")
        assert code != 0
    assert "get_viewport_size() gave no size" in capfd.readouterr().err


def test_pixel_picking_gets_the_pixel_and_the_aperture_in_pixels():
    viewer = PixelViewer()
    with Navigator(viewer) as navigator:
        turn(navigator)
        assert navigator.pivot == pytest.approx((0, 0, 1))
    (x, y, radius, selection_only), = viewer.picks
    assert (x, y) == pytest.approx((100, 50))           # the eye looks through the view's centre
    assert radius == pytest.approx(0.01 * VIEWPORT[0])  # 2 % of the width across
    assert selection_only is False


def test_the_pivot_comes_with_the_camera():
    viewer = PixelViewer()
    with Navigator(viewer) as navigator:
        assert navigator.pivot is None
        turn(navigator)
        pivot = navigator.pivot
    assert viewer.cameras and all(np.array_equal(p, pivot) for p in viewer.cameras)
    assert pivot == pytest.approx((0, 0, 1))


def test_a_viewer_without_the_pivot_parameter_still_gets_its_camera():
    class Plain(PixelViewer):
        def set_camera(self, matrix):
            self.cameras.append("plain")
            self.camera = matrix

    viewer = Plain()
    with Navigator(viewer) as navigator:
        turn(navigator)
    assert viewer.cameras and set(viewer.cameras) == {"plain"}


def test_close_hooks_run_once_in_order(capfd):
    calls = []
    navigator = Navigator(PixelViewer())
    navigator.on_close(lambda: calls.append("first"))
    navigator.on_close(lambda: 1 / 0)
    navigator.on_close(lambda: calls.append("third"))
    assert not navigator.closed
    navigator.close()
    navigator.close()
    assert calls == ["first", "third"] and navigator.closed
    assert "a close hook of the navigator failed" in capfd.readouterr().err
    navigator.on_close(lambda: calls.append("late"))  # already closed: at once
    assert calls == ["first", "third", "late"]


@pytest.mark.parametrize("camera_up, up, warned", [
    ((0, 1, 0), (0, 1, 0), False),
    ((0, -1, 0), (0, 1, 0), True),      # napari's screen up is -y: the default Y-up is against it
    ((0, -1, 0), (0, -1, 0), False),
    ((0, 0.2, 1), (0, 1, 0), False),     # looking down at a tilt: not against
    ((0.3, -1, 0), (0, 1, 0), True),     # rolled past the side
])
def test_an_up_axis_the_camera_points_against_is_warned_about(camera_up, up, warned):
    target = np.zeros(3)
    view = np.array([0.0, 0.0, -1.0]) if abs(camera_up[2]) < 0.5 else np.array([0.0, -1.0, 0.0])
    camera = zcam.look_at_matrix(target - view * 10, target, camera_up)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        Navigator(PixelViewer(camera=camera, up=up), enable=False).close()
    messages = [str(w.message) for w in caught if issubclass(w.category, UpAxisWarning)]
    assert bool(messages) == warned, messages
    if warned:
        assert "points against" in messages[0] and "PixelViewer.get_up_axis()" in messages[0]


def test_up_axis_warning_is_exported():
    assert issubclass(pyzibrel.UpAxisWarning, UserWarning)
