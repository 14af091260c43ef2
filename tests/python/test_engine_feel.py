"""Navigation feel through the real module and our library: lock-horizon, the
dominant axis, rotation and translation switches and the speed buttons.

The application drives the frames ("frame.timingSource" 1), so the results are exact.
"""

import math

import numpy as np
import pytest

import engine_support as es
from engine_support import STEP, Scene, drive, look_at

LIMIT = math.radians(85)  # lock-horizon's tilt stops 5 degrees short of straight up or down


class UpScene(Scene):
    """A scene whose application answers "coordinateSystem" with `axes` (columns right, up, front),
    serves the framework's default (identity) for "default", or fails the read for None."""

    def __init__(self, axes="default", **kw):
        super().__init__(**kw)
        self.axes = axes

    def _get_coordinate_system(self):
        if isinstance(self.axes, str):
            return super()._get_coordinate_system()
        return None if self.axes is None else es.np_to_matrix(self.axes)


@pytest.fixture(autouse=True)
def no_configured_device(monkeypatch):
    monkeypatch.delenv("ZIBREL_DEVICE", raising=False)
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)


@pytest.fixture
def opened(tmp_path, monkeypatch):
    """Open a scene with a settings file; disabled again after the test."""
    scenes = []

    def open_(settings, scene=None, **kw):
        path = tmp_path / f"zibrel{len(scenes)}.conf"
        path.write_text("dead-zone = 0\n" + settings)
        monkeypatch.setenv("ZIBREL_CONFIG", str(path))
        scene = scene or UpScene(**kw)
        conn = scene.open()
        scenes.append(scene)
        scene.frame(0)
        return scene, conn

    yield open_
    for s in scenes:
        s._enable_navigation(False)



def rotation(m):
    return m[:3, :3]


def homogeneous(r):
    m = np.eye(4)
    m[:3, :3] = r
    return m


def random_rotation(seed):
    q, _ = np.linalg.qr(np.random.default_rng(seed).normal(size=(3, 3)))
    return q * np.sign(np.linalg.det(q))


UP_AXES = {
    # coordinateSystem as the application answers it, the world's up axis it means
    "framework default": ("default", (0, 1, 0)),
    "unanswered": (None, (0, 1, 0)),
    "z up": (np.array([[1, 0, 0, 0], [0, 0, -1, 0], [0, 1, 0, 0], [0, 0, 0, 1]], float), (0, 0, 1)),
    "skewed": (homogeneous(random_rotation(7)), tuple(random_rotation(7)[:, 1])),
}


@pytest.mark.parametrize("axes, up", UP_AXES.values(), ids=UP_AXES.keys())
def test_lock_horizon_keeps_the_world_up_upright_through_a_thousand_mixed_turns(opened, axes, up):
    up = np.array(up, float)
    # A rolled camera above the horizon, turning about a pivot that is off the view axis.
    target = np.array([0.5, 0.2, -0.3])
    side = np.cross(up, [0.3, 0.5, 0.7])
    side /= np.linalg.norm(side)
    eye = target + 8 * side + 4 * up
    rolled = up + 0.8 * np.cross(up, side)  # leaning out of the plane of the world's up and the view
    scene, conn = opened("lock-horizon = on\n", axes=axes, hit=tuple(target + [0.4, -0.2, 0.1]),
                         camera=look_at(eye, target, up=rolled))
    assert abs(scene.camera[:3, 0] @ up) > 0.3
    pivot = np.array(scene.hit)
    place = None
    rng = np.random.default_rng(3)
    t, elevations = 0.0, []
    for frame in range(1000):
        # All three rotation axes, varying; long pushes toward each pole now and then.
        tilt = (0, 0, 0.9, 0.9, -0.9, -0.9, -0.9, 0, 0.9, 0.9)[frame // 100]
        rx, ry, rz = np.clip([tilt + rng.normal(0, 0.4), math.sin(frame / 37) + rng.normal(0, 0.3),
                              rng.uniform(-1, 1)], -1, 1)
        t = drive(scene, conn, t, 1, rx=rx, ry=ry, rz=rz)
        right, cam_up, back = scene.camera[:3, 0], scene.camera[:3, 1], scene.camera[:3, 2]
        # No roll: the right axis is level, so up lies in the plane of the world's up and the view.
        assert abs(right @ up) < 1e-9, frame
        assert cam_up @ up > math.cos(LIMIT) - 1e-9, frame  # upright: never over the pole
        elevations.append(-back @ up)
        assert abs(elevations[-1]) <= math.sin(LIMIT) + 1e-9, frame
        np.testing.assert_allclose(rotation(scene.camera) @ rotation(scene.camera).T, np.eye(3), atol=1e-12)
        place = scene.screen(pivot) if place is None else place
        np.testing.assert_allclose(scene.screen(pivot), place, atol=1e-9)
    assert scene.names().count("view.affine") == 1000
    # Both poles were pushed against, and held there.
    assert max(elevations) == pytest.approx(math.sin(LIMIT), abs=1e-9)
    assert min(elevations) == pytest.approx(-math.sin(LIMIT), abs=1e-9)


def test_without_lock_horizon_the_same_turns_roll_the_view(opened):
    scene, conn = opened("")
    t = 0.0
    for frame in range(100):
        t = drive(scene, conn, t, 1, rx=0.5 * math.sin(frame / 9), ry=0.7, rz=0.3)
    assert abs(scene.camera[1, 0]) > 0.1  # the right axis left the horizontal plane


@pytest.mark.parametrize("axis", ["rx", "ry"])
def test_a_level_camera_turns_as_without_lock_horizon(opened, axis):
    # Looking horizontally the screen's axes are the world's: both ways agree in direction and speed.
    cameras = []
    for settings in ("lock-horizon = on\n", ""):
        scene, conn = opened(settings, hit=(0.3, 0.0, 0.0))
        drive(scene, conn, 0, 30, **{axis: 0.8})
        cameras.append(scene.camera)
    np.testing.assert_allclose(cameras[0], cameras[1], atol=1e-9)


@pytest.mark.parametrize("sign", [1, -1])
def test_lock_horizon_tilts_stop_short_of_the_pole_and_come_back(opened, sign):
    scene, conn = opened("lock-horizon = on\n", camera=look_at((0, 0, 10), (0, 0, 0)))
    t = drive(scene, conn, 0, 200, rx=-sign)  # two seconds of a full push: 180 degrees wanted
    assert -scene.camera[:3, 2] @ (0, 1, 0) == pytest.approx(sign * math.sin(LIMIT), abs=1e-12)
    assert scene.camera[:3, 1] @ (0, 1, 0) > 0
    drive(scene, conn, t, 10, rx=sign)  # 9 degrees back
    elevation = math.asin(-scene.camera[:3, 2] @ (0, 1, 0))
    assert elevation == pytest.approx(sign * (LIMIT - math.radians(9)), abs=1e-9)


def test_lock_horizon_turns_from_the_top_view_without_flipping(opened):
    scene, conn = opened("lock-horizon = on\nbutton.0 = view:top\n", hit=(0.0, 0.0, 0.0))
    es.button(conn, 1, 0, True)
    scene.frame(STEP)
    np.testing.assert_allclose(scene.camera[:3, 2], (0, 1, 0), atol=1e-12)  # looking straight down
    t = drive(scene, conn, STEP, 20, rx=1.0, ry=0.5)  # over the pole: held; the turn spins the view
    np.testing.assert_allclose(scene.camera[:3, 2], (0, 1, 0), atol=1e-12)
    assert scene.camera[:3, 0] @ (1, 0, 0) == pytest.approx(math.cos(math.radians(9)), abs=1e-9)
    drive(scene, conn, t, 20, rx=-1.0)  # back from the pole by 18 degrees, upright
    assert -scene.camera[:3, 2] @ (0, 1, 0) == pytest.approx(-math.sin(math.radians(72)), abs=1e-9)
    assert abs(scene.camera[:3, 0] @ (0, 1, 0)) < 1e-9
    assert scene.camera[:3, 1] @ (0, 1, 0) == pytest.approx(math.cos(math.radians(72)), abs=1e-9)


WHAT_MOVES = {
    # settings, pushed deflection, a plain deflection giving the same camera (None: nothing happens)
    "rotation off keeps the pan": ("rotation = off\n", dict(x=0.5, ry=1, rz=0.3), dict(x=0.5)),
    "rotation off, only turning": ("rotation = off\n", dict(rx=1, ry=1, rz=1), None),
    "translation off keeps the turn": ("translation = off\n", dict(x=1, y=0.2, z=0.5, ry=0.5), dict(ry=0.5)),
    "zoom counts as translation": ("translation = off\n", dict(x=0.3, z=1), None),
    "dominant axis keeps the strongest": ("dominant-axis = on\n", dict(x=0.4, y=-0.3, ry=-0.6, rz=0.1),
                                          dict(ry=-0.6)),
    "dominant axis compares zoom too": ("dominant-axis = on\n", dict(x=0.4, z=-0.5, rx=0.45), dict(z=-0.5)),
    "dominant axis weighs by sensitivity": ("dominant-axis = on\nrotation-sensitivity = 0.5\n",
                                            dict(x=0.4, ry=0.6), dict(x=0.4)),
    "a switched-off axis never dominates": ("dominant-axis = on\nrotation = off\n", dict(y=0.2, rx=0.9),
                                            dict(y=0.2)),
    "lock-horizon never rolls": ("lock-horizon = on\n", dict(rz=1), None),
}


@pytest.mark.parametrize("settings, pushed, equivalent", WHAT_MOVES.values(), ids=WHAT_MOVES.keys())
def test_only_the_selected_axes_move(opened, settings, pushed, equivalent):
    camera = look_at((4, 3, 6), (0.5, 0.2, 0))
    scene, conn = opened(settings, camera=camera, hit=(0.5, 0.2, 0.0))
    drive(scene, conn, 0, 20, **pushed)
    if equivalent is None:
        assert scene.events == []  # no motion starts, nothing is written
        assert es.in_motion(conn) == 0
        return
    plain, plain_conn = opened("", camera=camera, hit=(0.5, 0.2, 0.0))
    drive(plain, plain_conn, 0, 20, **equivalent)
    assert not np.allclose(plain.camera, camera)  # the comparison means something
    np.testing.assert_allclose(scene.camera, plain.camera, atol=1e-12)


SPEED_BUTTONS = "button.0 = speed:faster\nbutton.1 = speed:slower\nbutton.2 = speed:reset\n"
PRESSES = {
    # buttons pressed in turn, the speed factor after them
    "none": ((), 1.0),
    "faster": ((0,), math.sqrt(2)),
    "twice faster doubles": ((0, 0), 2.0),
    "slower": ((1,), 1 / math.sqrt(2)),
    "faster is bounded at 8": ((0,) * 9, 8.0),
    "slower is bounded at 1/8": ((1,) * 9, 0.125),
    "back from the bound at once": ((1,) * 9 + (0,), 0.125 * math.sqrt(2)),
    "reset": ((0, 0, 0, 2), 1.0),
}


def pan_speed(scene, conn, t):
    """The pan's speed as a factor of a full push's; returns it and the end time."""
    t = drive(scene, conn, t, 1, x=1.0)  # the motion's first frame
    start = scene.screen((0, 0, 0))
    t = drive(scene, conn, t, 10, x=1.0)
    moved = scene.screen((0, 0, 0))[0] - start[0]
    return moved / (scene.view_width_at(start[2]) * 10 * STEP / 1000), drive(scene, conn, t, 30)


@pytest.mark.parametrize("buttons, factor", PRESSES.values(), ids=PRESSES.keys())
def test_speed_buttons_change_the_speed_in_bounded_steps(opened, buttons, factor):
    scene, conn = opened(SPEED_BUTTONS)
    t = 0.0
    for number in buttons:
        es.button(conn, t + 1, number, True)
        es.button(conn, t + 2, number, False)
        t += STEP
        scene.frame(t)
    assert "commands.activeCommand" not in scene.names()
    speed, t = pan_speed(scene, conn, t)
    assert speed == pytest.approx(factor, rel=1e-9)
    # It holds for the connection's later motions.
    again, t = pan_speed(scene, conn, t)
    assert again == pytest.approx(factor, rel=1e-9)


def test_the_speed_lasts_as_long_as_the_connection(opened):
    scene, conn = opened(SPEED_BUTTONS)
    es.button(conn, 1, 0, True)
    es.button(conn, 2, 0, False)
    scene.frame(STEP)
    assert pan_speed(scene, conn, STEP)[0] == pytest.approx(math.sqrt(2), rel=1e-9)
    scene._enable_navigation(False)
    scene, conn = opened(SPEED_BUTTONS, scene=scene)  # a new connection starts at the configured speed
    assert pan_speed(scene, conn, 0.0)[0] == pytest.approx(1.0, rel=1e-9)


def test_speed_buttons_scale_turns_and_zoom_as_well(opened):
    cameras = []
    # An unbound button gives the plain run the same first frame as the pressed one.
    for settings, buttons in ((SPEED_BUTTONS, (0, 0)), ("sensitivity = 2\n", (5,))):
        scene, conn = opened(settings, hit=(0.3, 0.1, 0.0), camera=look_at((3, 2, 7), (0, 0, 0)))
        for number in buttons:
            es.button(conn, 1, number, True)
        scene.frame(STEP)
        drive(scene, conn, STEP, 20, z=0.4, rx=0.3, ry=-0.5, rz=0.2)
        cameras.append(scene.camera)
    np.testing.assert_allclose(cameras[0], cameras[1], atol=1e-12)
