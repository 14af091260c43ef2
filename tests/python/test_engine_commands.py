"""Device buttons: bindings to the application's commands and the built-in view commands."""

import math

import numpy as np
import pytest

import engine_support as es
from _pyzibrel import ZibrelMatrix
from engine_support import Scene, look_at
from pyzibrel import camera


@pytest.fixture(autouse=True)
def bindings(tmp_path, monkeypatch):
    monkeypatch.setenv("ZIBREL_DEVICE", "none")
    path = tmp_path / "zibrel.conf"
    path.write_text("\n".join([
        "# buttons of the test device",
        "button.0 = command:viewer.reset",
        "button.1 = viewer.measure   # a bare id is a command too",
        "button.2 = view:fit",
        "button.3 = view:front",
        "button.4 = view:top",
        "button.5 = view:right",
        "button.6 = view:iso",
        "button.7 = view:back",
        "button.10 = view:left",
        "button.11 = view:bottom",
    ]) + "\n")
    monkeypatch.setenv("ZIBREL_CONFIG", str(path))


@pytest.fixture
def scene():
    s = Scene(camera=look_at((5, -4, 7), (1, 0, 0)))
    s.conn = s.open()
    s._begin_command_set("viewer", "Viewer")
    s._create_command("viewer.reset", "Reset", "Put the view back")
    s._create_command("viewer.measure", "Measure", "Measure a distance")
    s._end_command_set()
    s.frame(0)
    yield s
    s._enable_navigation(False)


def press(scene, number, t):
    es.button(scene.conn, t, number, True)
    es.button(scene.conn, t + 5, number, False)
    scene.frame(t + 10)


def test_buttons_bound_to_application_commands_reach_set_active_command(scene):
    press(scene, 0, 10)
    press(scene, 1, 30)
    press(scene, 9, 50)  # unbound: nothing
    assert scene.events == [("commands.activeCommand", "viewer.reset"), ("commands.activeCommand", "viewer.measure")]


def fitted_distance(scene):
    radius = math.sqrt(3)  # the 2x2x2 model box
    return radius / math.sin(scene.fov / 2)


VIEWS = {
    # button, expected camera axes (right, up, back) for a Y-up world with the default front view
    "front": (3, ((1, 0, 0), (0, 1, 0), (0, 0, 1))),
    "top": (4, ((1, 0, 0), (0, 0, -1), (0, 1, 0))),
    "right": (5, ((0, 0, -1), (0, 1, 0), (1, 0, 0))),
    "back": (7, ((-1, 0, 0), (0, 1, 0), (0, 0, -1))),
}


@pytest.mark.parametrize("number, axes", VIEWS.values(), ids=VIEWS.keys())
def test_standard_views_turn_the_camera_and_fit_the_model(scene, number, axes):
    press(scene, number, 10)
    assert scene.names() == ["transaction", "view.affine", "transaction"]
    np.testing.assert_allclose(scene.camera[:3, :3].T, np.array(axes, float), atol=1e-12)
    np.testing.assert_allclose(scene.camera[:3, 3], np.array(axes[2]) * fitted_distance(scene), atol=1e-9)


def test_fit_keeps_the_direction_and_frames_the_model(scene):
    rotation = scene.camera[:3, :3].copy()
    press(scene, 2, 10)
    np.testing.assert_allclose(scene.camera[:3, :3], rotation, atol=1e-12)
    np.testing.assert_allclose(scene.camera[:3, 3], rotation[:, 2] * fitted_distance(scene), atol=1e-9)


def test_iso_sees_front_right_and_top(scene):
    press(scene, 6, 10)
    back = scene.camera[:3, 2]
    np.testing.assert_allclose(back, np.ones(3) / math.sqrt(3), atol=1e-12)
    assert abs(scene.camera[1, 0]) < 1e-12  # no roll: the right axis stays level


def test_views_follow_the_coordinate_system_and_the_front_view(scene):
    class ZUp(type(scene)):
        # Z up, and the front viewer on the -Y side.
        def _get_coordinate_system(self):
            return ZibrelMatrix(1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1)

    scene.__class__ = ZUp
    press(scene, 3, 10)
    np.testing.assert_allclose(scene.camera[:3, :3].T, [(1, 0, 0), (0, 0, 1), (0, -1, 0)], atol=1e-12)
    press(scene, 4, 30)  # top: looking down -Z
    np.testing.assert_allclose(scene.camera[:3, 2], (0, 0, 1), atol=1e-12)


def test_fit_in_an_orthographic_view_sets_the_extents(scene):
    scene.perspective = False
    scene.extents = [-4, -1, -50, 4, 1, 50]  # 4:1
    press(scene, 2, 10)
    e = scene.extents
    assert (e[3] - e[0]) / (e[4] - e[1]) == pytest.approx(4.0)
    assert (e[4] - e[1]) / 2 == pytest.approx(math.sqrt(3))  # the model's sphere fits the height
    assert (e[2], e[5]) == (-50, 50)


# --- the same commands for an adapter's own menu --------------------------------------------

BUTTONS = {"fit": 2, "front": 3, "top": 4, "right": 5, "iso": 6, "back": 7, "left": 10, "bottom": 11}
Z_UP = np.eye(4)
Z_UP[:3, :3] = camera.world_axes((0, 0, 1))


@pytest.mark.parametrize("name", BUTTONS)
@pytest.mark.parametrize("perspective", [True, False], ids=["perspective", "orthographic"])
@pytest.mark.parametrize("up", [(0, 1, 0), (0, 0, 1)], ids=["y up", "z up"])
def test_view_command_gives_the_camera_the_device_button_gives(scene, name, perspective, up):
    class Answering(type(scene)):
        def _get_coordinate_system(self):
            return ZibrelMatrix(*Z_UP.reshape(16)) if up == (0, 0, 1) else None

    scene.__class__ = Answering
    scene.perspective = perspective
    scene.model = ((-1, 0.5, 2), (3, 1, 4))  # off the origin, not a cube
    before, extents = scene.camera.copy(), np.reshape(scene.extents, (2, 3))
    matrix, new_extents = camera.view_command(name, before, scene.model, up=up, perspective=perspective,
                                              fov=scene.fov, extents=None if perspective else extents)
    press(scene, BUTTONS[name], 10)
    np.testing.assert_allclose(matrix, scene.camera, rtol=0, atol=1e-12)
    if perspective:
        assert new_extents is None
    else:
        np.testing.assert_allclose(new_extents, np.reshape(scene.extents, (2, 3)), rtol=0, atol=1e-12)


def test_view_command_fits_the_narrower_angle():
    box = ((-1, -1, -1), (1, 1, 1))
    wide = camera.view_command("front", np.eye(4), box, fov=math.radians(90), vertical_fov=math.radians(60))
    tall = camera.view_command("front", np.eye(4), box, fov=math.radians(60), vertical_fov=math.radians(90))
    square = camera.view_command("front", np.eye(4), box, fov=math.radians(60))
    for matrix, _ in (wide, tall, square):
        assert matrix[2, 3] == pytest.approx(math.sqrt(3) / math.sin(math.radians(30)))


@pytest.mark.parametrize("change, error, message", [
    ({"name": "sideways"}, ValueError, "'sideways' is not a view command"),
    ({"name": "front\0"}, ValueError, "NUL"),
    ({"camera": np.diag([1.0, 0.0, 1.0, 1.0])}, ValueError, "singular"),
    ({"camera": look_at((0, 0, 5), (0, 0, 0)).T}, ValueError, "projective"),
    ({"camera": np.eye(3)}, ValueError, r"\(4, 4\)"),
    ({"bounds": ((1, 1, 1), (0, 0, 0))}, ValueError, "model extents are empty"),
    ({"bounds": (0, 0, 0, 1, 1, 1)}, ValueError, r"\(2, 3\)"),
    ({"fov": 0.0}, ValueError, r"field of view \(fov 0\)"),
    ({"vertical_fov": math.pi}, ValueError, r"fov_vertical 3.14159"),
    ({"perspective": False}, ValueError, "view extents .* for an orthographic view"),
    ({"perspective": False, "extents": ((-1, 1, 0), (1, 1, 1))}, ValueError, "extents are empty"),
    ({"up": (0, 0, 0)}, ValueError, "up direction of non-zero length"),
])
def test_view_command_refuses_bad_input_saying_why(change, error, message):
    args = {"name": "front", "camera": np.eye(4), "bounds": ((-1, -1, -1), (1, 1, 1)), **change}
    with pytest.raises(error, match=message):
        camera.view_command(args.pop("name"), args.pop("camera"), args.pop("bounds"), **args)


def test_view_command_without_a_library_says_so(monkeypatch):
    monkeypatch.setattr(camera, "_view_command_function", lambda: None)
    with pytest.raises(RuntimeError, match="no navigation library with zbx_view_command"):
        camera.view_command("fit", np.eye(4), ((0, 0, 0), (1, 1, 1)))
