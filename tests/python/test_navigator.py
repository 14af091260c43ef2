"""pyzibrel.Navigator driving a numpy viewer through our library, with scripted device files.

Frames are application-driven: tick() is given explicit times, so every run is the same.
"""

import math
import re
import os
import resource
import select
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import engine_support as es
import zibrel_ctl as ctl
import pyzibrel
from pyzibrel import CommandSet, Navigator, Viewer

STEP = 0.01  # seconds between ticks
PIVOT = np.array([0.3, 0.5, 0.0])


class NumpyViewer(Viewer):
    """A camera over a box, keeping everything as numpy arrays and recording every call's thread."""

    def __init__(self, camera=None, bounds=((-1, -1, -1), (1, 1, 1)), hit=tuple(PIVOT), perspective=True,
                 extents=((-2, -1.5, -100), (2, 1.5, -0.1))):
        self.camera = pyzibrel.look_at_matrix((1, 0.5, 9), (1, 0.5, 0)) if camera is None else np.array(camera)
        self.bounds = None if bounds is None else np.array(bounds, float)
        self.hit = None if hit is None else np.array(hit, float)
        self.perspective = perspective
        self.extents = np.array(extents, float)
        self.threads = set()
        self.picks = []
        self.pivots = []
        self.renders = 0

    def _seen(self):
        self.threads.add(threading.get_ident())

    def get_camera(self):
        self._seen()
        return self.camera.copy()

    def set_camera(self, matrix):
        self._seen()
        assert isinstance(matrix, np.ndarray) and matrix.shape == (4, 4)
        self.camera = matrix

    def is_perspective(self):
        self._seen()
        return np.bool_(self.perspective)  # numpy's, as a numpy-based viewer would answer

    def get_fov(self):
        self._seen()
        return math.radians(60)

    def get_view_extents(self):
        self._seen()
        return self.extents

    def set_view_extents(self, extents):
        self._seen()
        self.extents = extents

    def get_scene_bounds(self):
        self._seen()
        return self.bounds

    def pick(self, origin, direction, aperture, selection_only):
        self._seen()
        self.picks.append((origin, direction, aperture, selection_only))
        return self.hit

    def show_pivot(self, position, visible):
        self._seen()
        self.pivots.append((position.tolist(), visible))

    def render(self):
        self._seen()
        self.renders += 1


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    monkeypatch.delenv("ZIBREL_DEVICE", raising=False)
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)


@pytest.fixture
def device_file(tmp_path, monkeypatch):
    def use(text):
        path = tmp_path / "session.txt"
        path.write_text(text)
        monkeypatch.setenv("ZIBREL_DEVICE", f"file:{path}")
    return use


@pytest.fixture
def navigators():
    """Navigators made through this fixture are closed after the test."""
    made = []

    def make(viewer, **kw):
        nav = Navigator(viewer, **kw)
        made.append(nav)
        return nav

    yield make
    for nav in made:
        nav.close()


def run(nav, seconds, start=0.0, each=None):
    """Ticks every STEP from `start`; returns the end time."""
    t = start
    for _ in range(round(seconds / STEP)):
        nav.tick(t)
        if each is not None:
            each(t)
        t += STEP
    return t


TURN = """\
0.0 motion 0 0 0   0 0.5 0
1.0 motion 0 0 0   0 0 0
1.2 end
"""


def test_a_turn_about_the_screens_vertical_axis_turns_about_the_pivot(device_file, navigators, capfd):
    device_file(TURN)
    viewer = NumpyViewer()
    before = viewer.camera.copy()
    nav = navigators(viewer)
    run(nav, 1.6)

    after = viewer.camera
    # The pivot is the viewer's hit: the library asked along the view, from the eye.
    origin, direction, aperture, selection_only = viewer.picks[0]
    np.testing.assert_allclose(origin, before[:3, 3])
    np.testing.assert_allclose(direction, -before[:3, 2])
    assert aperture > 0 and selection_only is False
    # Eye level, no roll, the distance to the pivot kept.
    assert after[1, 3] == pytest.approx(before[1, 3], abs=1e-9)
    np.testing.assert_allclose(after[:3, 1], [0, 1, 0], atol=1e-9)
    assert after[1, 0] == pytest.approx(0, abs=1e-9)
    assert np.linalg.norm(after[:3, 3] - PIVOT) == pytest.approx(np.linalg.norm(before[:3, 3] - PIVOT), rel=1e-9)
    # It did turn, about the vertical, by 90 deg/s at the shaped deflection for about a second.
    turned = math.degrees(math.acos(np.clip(after[:3, 2] @ before[:3, 2], -1, 1)))
    shaped = (0.5 - 0.02) / (1 - 0.02)
    assert turned == pytest.approx(90 * shaped, abs=2.0)
    np.testing.assert_allclose(after[:3, :3].T @ after[:3, :3], np.eye(3), atol=1e-12)
    # The pivot was shown during the motion and hidden after it; the viewer was rendered.
    assert viewer.pivots[0] == (PIVOT.tolist(), True) and viewer.pivots[-1][1] is False
    assert viewer.renders > 50 and not nav.in_motion
    assert viewer.threads == {threading.get_ident()}
    assert capfd.readouterr().err == ""


PAN = """\
0.0 motion 0.8 0 0   0 0 0
0.5 motion 0 0 0   0 0 0
"""


def test_a_pan_stops_when_the_cap_is_let_go_and_never_drifts(device_file, navigators):
    device_file(PAN)
    viewer = NumpyViewer()
    before = viewer.camera.copy()
    nav = navigators(viewer)
    cameras = []
    run(nav, 2.0, each=lambda t: cameras.append((t, viewer.camera.copy())))

    moving = [t for (t, a), (_, b) in zip(cameras, cameras[1:]) if not np.array_equal(a, b)]
    assert moving and max(moving) < 0.5 + STEP / 2  # the last change is the frame before the cap was let go
    assert not nav.in_motion
    # A pure pan: orientation unchanged, the eye moved along the camera's right axis only.
    np.testing.assert_allclose(viewer.camera[:3, :3], before[:3, :3], atol=1e-12)
    moved = viewer.camera[:3, 3] - before[:3, 3]
    assert abs(moved @ before[:3, 0]) > 1.0
    np.testing.assert_allclose(moved - (moved @ before[:3, 0]) * before[:3, 0], 0, atol=1e-9)


@pytest.mark.parametrize("hit", [None, (0.3, 0.5, 0.0)], ids=["no hit", "hit"])
def test_a_viewer_with_no_bounds_navigates_without_errors(device_file, navigators, capfd, hit):
    device_file(TURN)
    viewer = NumpyViewer(bounds=None, hit=hit)
    before = viewer.camera.copy()
    nav = navigators(viewer)
    run(nav, 1.6)
    assert np.all(np.isfinite(viewer.camera))
    assert not np.allclose(viewer.camera, before)
    assert viewer.camera[1, 3] == pytest.approx(before[1, 3])
    err = capfd.readouterr().err
    # Without a hit the library turns about a point ahead of the eye and says so once.
    assert err == ("" if hit else
                   "zibrel: no hit, selection or model extents to turn about; the pivot is put one unit in front "
                   "of the eye\n")


def test_a_hit_the_picker_misses_turns_about_the_bounds_centre(device_file, navigators):
    device_file(TURN)
    viewer = NumpyViewer(bounds=((0, 0, -2), (2, 1, 0)), hit=None)
    nav = navigators(viewer)
    run(nav, 1.6)
    assert viewer.pivots[0] == ([1.0, 0.5, -1.0], True)


class OnlyCamera:
    """The least a viewer offers (not even the Viewer base class): a camera, here with bounds."""

    def __init__(self, perspective):
        self.camera = pyzibrel.look_at_matrix((0, 2, 9), (0, 0, 0))
        self.perspective = perspective

    def get_camera(self):
        return self.camera

    def set_camera(self, matrix):
        self.camera = matrix

    def get_scene_bounds(self):
        return [[-1, -1, -1], [1, 1, 1]]

    def is_perspective(self):
        return self.perspective

    def get_view_extents(self):
        return pyzibrel.extents_from_parallel_scale(2.0, 1.5)


MIXED = """\
0.0 motion 0.2 0.1 0.3   0.2 0.4 0.1
0.6 motion 0 0 -0.5   0 0 0.3
1.0 motion 0 0 0   0 0 0
"""


@pytest.mark.parametrize("perspective", [True, False], ids=["perspective", "orthographic"])
def test_nothing_on_stderr_over_a_second_of_scripted_motion(device_file, navigators, capfd, perspective):
    device_file(MIXED)
    viewer = OnlyCamera(perspective)
    before = np.array(viewer.camera)
    nav = navigators(viewer)
    run(nav, 1.5)
    assert not np.allclose(viewer.camera, before)
    assert capfd.readouterr().err == ""


def test_orthographic_zoom_reaches_the_viewers_extents(device_file, navigators):
    device_file("0.0 motion 0 0 1  0 0 0\n0.5 motion 0 0 0  0 0 0\n")
    viewer = NumpyViewer(perspective=False)
    width = np.ptp(viewer.extents[:, 0])
    nav = navigators(viewer)
    run(nav, 1.0)
    assert isinstance(viewer.extents, np.ndarray) and viewer.extents.shape == (2, 3)
    assert np.ptp(viewer.extents[:, 0]) == pytest.approx(width * 2 ** -0.5, rel=0.05)


# --- threads --------------------------------------------------------------------------------------

def in_thread(fn):
    """fn() on a new thread; its result, or its exception raised here."""
    result = []

    def body():
        try:
            result.append((True, fn()))
        except Exception as exc:
            result.append((False, exc))

    thread = threading.Thread(target=body)
    thread.start()
    thread.join(10)
    assert not thread.is_alive()
    ok, value = result[0]
    if not ok:
        raise value
    return value


def test_calls_from_another_thread_never_reach_the_viewer(navigators):
    viewer = NumpyViewer()
    nav = navigators(viewer)
    conn = ctl.last_connection()
    nav.tick(0.0)
    app = threading.get_ident()
    viewer.threads.clear()

    # A read is answered from the snapshot of the last tick.
    code, record = in_thread(lambda: ctl.get(conn, "view.affine"))
    assert code == 0
    np.testing.assert_array_equal(np.reshape(record.numbers(16), (4, 4)), viewer.camera)
    code, record = in_thread(lambda: ctl.get(conn, "model.extents"))
    assert code == 0 and record.numbers(6) == [-1, -1, -1, 1, 1, 1]

    # A write waits for the next tick; a read in between sees it already.
    target = pyzibrel.look_at_matrix((5, 5, 5), (0, 0, 0))
    old = viewer.camera.copy()
    assert in_thread(lambda: ctl.set(conn, "view.affine", ctl.Value.of(ctl.MATRIX, *target.reshape(16)))) == 0
    assert in_thread(lambda: ctl.set(conn, "view.fov", ctl.Value.double(0.5))) == 0
    code, record = in_thread(lambda: ctl.get(conn, "view.affine"))
    np.testing.assert_array_equal(np.reshape(record.numbers(16), (4, 4)), target)
    np.testing.assert_array_equal(viewer.camera, old)
    assert viewer.threads == set() and viewer.renders == 0

    assert nav.tick(0.01) is True
    np.testing.assert_array_equal(viewer.camera, target)
    assert viewer.renders == 1 and viewer.threads == {app}
    assert nav.tick(0.02) is False and viewer.renders == 1


def test_the_librarys_own_timer_thread_is_handed_over_to_tick(navigators):
    viewer = NumpyViewer()
    before = viewer.camera.copy()
    nav = navigators(viewer, application_timing=False)
    conn = ctl.last_connection()
    nav.tick()
    viewer.threads.clear()
    for _ in range(3):
        assert es.sample(conn, -1, ry=0.6) == 0
        deadline = time.monotonic() + 5
        frames = es.frame_count(conn)
        while es.frame_count(conn) < frames + 2 and time.monotonic() < deadline:
            time.sleep(0.005)
    assert es.frame_count(conn) >= 4
    # The library's frames ran on its thread; the viewer was not touched.
    np.testing.assert_array_equal(viewer.camera, before)
    assert viewer.threads == set()
    assert nav.tick() is True
    assert not np.allclose(viewer.camera, before)
    assert viewer.threads == {threading.get_ident()}
    # Frames on the library's thread chained their writes through the snapshot:
    # every frame's step counts, so the view turned by more than one frame's worth.
    turned = math.degrees(math.acos(np.clip(viewer.camera[:3, 2] @ before[:3, 2], -1, 1)))
    assert turned > 1.5


def test_tick_belongs_to_the_thread_that_made_the_navigator(navigators):
    nav = navigators(NumpyViewer())
    with pytest.raises(RuntimeError, match="thread that created"):
        in_thread(lambda: nav.tick(0.0))


# --- commands, profile, closing ------------------------------------------------------------------

def test_commands_are_published_and_run_by_tick_on_the_applications_thread(tmp_path, monkeypatch, navigators,
                                                                           capfd):
    config = tmp_path / "zibrel.conf"
    config.write_text("button.0 = app.reset\nbutton.1 = app.measure\nbutton.2 = app.unknown\n")
    monkeypatch.setenv("ZIBREL_CONFIG", str(config))
    ran = []
    commands = CommandSet("app", "My app")
    commands.add("app.reset", "Reset", lambda: ran.append(("reset", threading.get_ident())), "Put the view back")
    tools = commands.category("app.tools", "Tools")
    tools.add("app.broken", "Broken", lambda: 1 / 0)
    nav = navigators(NumpyViewer(), commands=commands)
    nav.add_command("app.measure", "Measure", lambda: ran.append(("measure", threading.get_ident())))
    with pytest.raises(ValueError, match="already"):
        nav.add_command("app.reset", "Again", lambda: None)
    conn = ctl.last_connection()
    tree = ctl.tree(conn)
    for text in ("app.reset", "Put the view back", "app.tools", "app.broken", "app.measure"):
        assert text in tree

    for number, t in ((0, 0.0), (1, 0.05), (2, 0.1), (2, 0.15)):
        es.button(conn, t * 1000, number, True)
        es.button(conn, t * 1000 + 5, number, False)
    nav.tick(0.2)
    assert ran == [("reset", threading.get_ident()), ("measure", threading.get_ident())]
    # From another thread: queued, run by the next tick.
    assert in_thread(lambda: ctl.set(conn, "commands.activeCommand", ctl.Value.cstr("app.broken"))) == 0
    assert in_thread(lambda: ctl.set(conn, "commands.activeCommand", ctl.Value.cstr("app.reset"))) == 0
    assert len(ran) == 2
    nav.tick(0.25)
    assert [name for name, _ in ran] == ["reset", "measure", "reset"]
    err = capfd.readouterr().err
    assert err.count("'app.unknown'") == 1  # told once, not per press
    assert "the action of command 'app.broken' failed" in err and "ZeroDivisionError" in err


def test_the_profile_hint_defaults_to_the_applications_name(navigators, monkeypatch):
    monkeypatch.setattr("sys.argv", ["/opt/tools/mesh_viewer.py", "--flag"])
    navigators(NumpyViewer())
    assert ctl.profile(ctl.last_connection()) == "mesh_viewer"
    navigators(NumpyViewer(), profile="Custom name")
    assert ctl.profile(ctl.last_connection()) == "Custom name"
    with pytest.raises(ValueError, match="profile"):
        Navigator(NumpyViewer(), profile="")


def test_close_is_idempotent_and_a_context_manager(device_file):
    device_file(TURN)
    opened = ctl.lib.zbctl_open_connections()
    viewer = NumpyViewer()
    with Navigator(viewer) as nav:
        assert nav.enabled and ctl.lib.zbctl_open_connections() == opened + 1
        run(nav, 0.3)
        assert nav.in_motion and viewer.pivots[-1][1] is True
    # Closing in motion hides the pivot; afterwards nothing happens.
    assert viewer.pivots[-1][1] is False
    assert not nav.enabled and not nav.in_motion
    assert ctl.lib.zbctl_open_connections() == opened
    camera = viewer.camera.copy()
    assert nav.tick(1.0) is False
    nav.close()
    nav.close()
    np.testing.assert_array_equal(viewer.camera, camera)
    with pytest.raises(RuntimeError, match="closed"):
        nav.enabled = True


def test_enable_later_and_disable(navigators, device_file):
    device_file(TURN)
    viewer = NumpyViewer()
    nav = navigators(viewer, enable=False)
    assert not nav.enabled
    before = viewer.camera.copy()
    run(nav, 0.2)
    np.testing.assert_array_equal(viewer.camera, before)
    nav.enabled = True
    run(nav, 0.3, start=0.2)
    assert not np.allclose(viewer.camera, before)
    assert nav.in_motion and viewer.pivots[-1][1] is True
    # Disabled in motion: the motion ends and the pivot goes away.
    nav.enabled = False
    assert not nav.enabled and not nav.in_motion
    assert viewer.pivots[-1][1] is False
    assert nav.tick(0.6) is True and viewer.renders > 0


# --- what the viewer gives wrong, and overrides -------------------------------------------------

def test_a_viewer_that_fails_is_reported_once_and_navigation_goes_on(device_file, navigators, capfd):
    device_file(TURN)

    class Failing(NumpyViewer):
        def get_scene_bounds(self):
            raise KeyError("no scene here")

        def pick(self, *args):
            return [1, 2]  # not a point

    viewer = Failing(hit=None)
    before = viewer.camera.copy()
    run(navigators(viewer), 1.5)
    assert not np.allclose(viewer.camera, before)
    err = capfd.readouterr().err
    assert err.count("Failing.get_scene_bounds() failed") == 1 and "KeyError: 'no scene here'" in err
    assert err.count("Failing.pick() gave an unusable answer: expected a point as an array of shape (3,)") == 1


def test_a_camera_with_the_eye_in_the_bottom_row_is_refused_with_a_hint(device_file, navigators, capfd):
    device_file(TURN)
    viewer = NumpyViewer()
    viewer.camera = viewer.camera.T.copy()
    before = viewer.camera.copy()
    run(navigators(viewer), 0.5)
    np.testing.assert_array_equal(viewer.camera, before)
    err = capfd.readouterr().err
    assert err.count("the eye belongs in the last column (m03, m13, m23) and the bottom row is 0 0 0 1") == 1


@pytest.mark.parametrize("bottom, taken", [
    ((0, 0, 0, 1), True),
    ((1e-12, -1e-12, 0, 1 - 1e-12), True),   # rounding of a product of matrices
    ((0, 0, 0, 1 + 5e-6), True),             # within the relative tolerance on the 1
    ((0, 0, 0, 1 + 1e-4), False),
    ((0, 1e-6, 0, 1), False),
    ((0.5, -2, 10, 1), False),               # the eye written into the bottom row
])
def test_the_bottom_row_of_a_camera_is_checked_within_a_tolerance(bottom, taken, capfd):
    viewer = NumpyViewer()
    viewer.camera[3] = bottom
    navigator = pyzibrel.Navigator(viewer, enable=False)
    read = navigator._get_camera_matrix()
    if taken:
        np.testing.assert_array_equal(pyzibrel.to_numpy(read), viewer.camera)
    else:
        assert read is None
        assert "the bottom row is 0 0 0 1" in capfd.readouterr().err


@pytest.mark.parametrize("camera, message", [
    ("not a matrix", "expected a camera-to-world matrix as an array of shape (4, 4)"),
    (np.eye(3), "got shape (3, 3)"),
    (np.full((4, 4), np.nan), "of finite numbers"),
])
def test_a_camera_that_is_no_matrix_is_reported_once(device_file, navigators, capfd, camera, message):
    device_file(TURN)
    viewer = NumpyViewer()
    viewer.get_camera = lambda: camera
    run(navigators(viewer), 0.5)
    err = capfd.readouterr().err
    assert err.count("NumpyViewer.get_camera() gave an unusable answer") == 1 and message in err
    assert "zibrel: the application gives no camera matrix" in err  # the library, once: nothing to move


class Raises:
    """An answer whose conversion raises: its __float__, __bool__ and __array__ fail."""

    def __float__(self):
        raise RuntimeError("no float here")

    def __bool__(self):
        raise RuntimeError("no truth here")

    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("no array here")


HUGE = 10**400  # no double holds it


@pytest.mark.parametrize("method, answer, prop, expected", [
    ("get_fov", HUGE, "view.fov", None),
    ("get_fov", Raises(), "view.fov", None),
    ("get_fov", np.array([0.5, 0.6]), "view.fov", None),
    ("get_fov", math.inf, "view.fov", None),
    ("is_perspective", np.array([True, False]), "view.perspective", True),  # a failing viewer's default
    ("is_perspective", Raises(), "view.perspective", True),
    ("get_camera", Raises(), "view.affine", None),
    ("get_camera", np.full((4, 4), HUGE, dtype=object), "view.affine", None),
    ("get_scene_bounds", [[HUGE, 0, 0], [1, 1, 1]], "model.extents", None),
    ("get_scene_bounds", Raises(), "model.extents", None),
    ("get_view_extents", Raises(), "view.extents", None),
    ("get_up_axis", Raises(), None, None),
    ("get_up_axis", [0, HUGE, 0], None, None),
], ids=lambda v: type(v).__name__ if not isinstance(v, (str, type(None), bool)) else str(v))
def test_a_junk_answer_is_reported_once_and_never_raises(navigators, capfd, method, answer, prop, expected):
    viewer = NumpyViewer()
    setattr(viewer, method, lambda *args: answer)
    # The first snapshot is taken in the constructor; with the library's own timing every tick takes one.
    nav = navigators(viewer, application_timing=False)
    for t in (0.0, 0.01, 0.02):
        nav.tick(t)
    if prop is not None:  # what the library reads on the application's thread
        code, record = ctl.get(ctl.last_connection(), prop)
        if expected is None:
            assert code != 0  # not available
        else:
            assert code == 0 and bool(record.u.b) == expected
    err = capfd.readouterr().err
    assert err.count(f"pyzibrel: NumpyViewer.{method}() gave an unusable answer") == 1, err
    assert "Traceback" not in err


def test_subclass_overrides_may_return_numpy_arrays(navigators):
    class WithOverrides(Navigator):
        def _get_model_extents(self):
            return np.array([[-3.0, -2, -1], [1, 2, 3]])

        def _get_floor_plane(self):
            return (0, 1, 0, 2.5)

        def _get_pointer_position(self):
            return None

    navigators(NumpyViewer(), profile="overrides")
    nav = WithOverrides(NumpyViewer(), profile="overrides")
    try:
        conn = ctl.last_connection()
        code, record = ctl.get(conn, "model.extents")
        assert code == 0 and record.numbers(6) == [-3, -2, -1, 1, 2, 3]
        code, record = ctl.get(conn, "model.floorPlane")
        assert code == 0 and record.numbers(4) == [0, 1, 0, 2.5]
        assert ctl.get(conn, "pointer.position")[0] != 0  # None stays "not available"
    finally:
        nav.close()


def test_the_up_axis_becomes_the_coordinate_system(navigators):
    class ZUp(NumpyViewer):
        def get_up_axis(self):
            return np.array([0.0, 0.0, 2.0])

    navigators(ZUp())
    code, record = ctl.get(ctl.last_connection(), "coordinateSystem")
    m = np.reshape(record.numbers(16), (4, 4))
    np.testing.assert_allclose(m[:3, 1], [0, 0, 1])  # up
    np.testing.assert_allclose(m[:3, 0], [1, 0, 0])  # right
    np.testing.assert_allclose(m[:3, 2], [0, -1, 0])  # the front viewer on -Y
    assert np.linalg.det(m[:3, :3]) == pytest.approx(1)


def test_tick_refuses_a_time_that_is_not_finite(navigators):
    nav = navigators(NumpyViewer())
    with pytest.raises(ValueError, match="finite"):
        nav.tick(math.nan)


# --- the idle wait ----------------------------------------------------------------------------

def readable(fd):
    return bool(select.select([fd], [], [], 0)[0])


def test_the_input_fd_is_readable_while_device_input_waits_for_a_frame(navigators):
    nav = navigators(NumpyViewer())
    conn = ctl.last_connection()
    fd = nav.input_fd()
    assert isinstance(fd, int) and fd >= 0 and nav.input_fd() == fd
    nav.tick(0.0)
    assert not readable(fd) and not nav.wants_frames
    # A wait on the fd wakes when a sample arrives from another thread.
    woke = []
    waiter = threading.Thread(target=lambda: woke.append(select.select([fd], [], [], 10)[0]))
    waiter.start()
    time.sleep(0.05)
    assert es.sample(conn, -1, ry=0.5) == 0
    waiter.join(10)
    assert woke == [[fd]]
    assert readable(fd) and nav.wants_frames
    nav.tick(0.01)
    # The frame consumed it; the held deflection keeps the motion (and the ticks) going.
    assert not readable(fd) and nav.in_motion and nav.wants_frames
    run(nav, 0.5, start=0.02)
    assert not nav.in_motion and not readable(fd) and not nav.wants_frames
    # Buttons count too; a closed connection's input does not.
    assert es.button(conn, -1, 3, True) == 0
    assert readable(fd)
    nav.close()
    assert not readable(fd)


def test_with_the_librarys_timer_the_input_fd_wakes_for_its_frames_writes(navigators):
    viewer = NumpyViewer()
    before = viewer.camera.copy()
    nav = navigators(viewer, application_timing=False)
    conn = ctl.last_connection()
    fd = nav.input_fd()
    assert isinstance(fd, int) and fd >= 0 and nav.input_fd() == fd
    assert fd != pyzibrel.navigator._input_fd()  # the navigator's own, not the library's input signal
    nav.tick()
    assert not readable(fd) and not nav.wants_frames
    # The library's frame runs on its thread and queues its camera; the wait wakes for it.
    woke = []
    waiter = threading.Thread(target=lambda: woke.append(select.select([fd], [], [], 10)[0]))
    waiter.start()
    time.sleep(0.05)
    assert es.sample(conn, -1, ry=0.6) == 0
    waiter.join(10)
    assert woke == [[fd]] and nav.wants_frames
    np.testing.assert_array_equal(viewer.camera, before)  # queued, not applied off the thread
    assert nav.tick() is True
    # The motion's first write may be the pivot's; its camera follows, each write waking the wait.
    deadline = time.monotonic() + 5
    while np.allclose(viewer.camera, before) and time.monotonic() < deadline:
        assert select.select([fd], [], [], 5)[0] == [fd] and nav.wants_frames
        nav.tick()
    assert not np.allclose(viewer.camera, before)
    # Once the motion is over and its last writes applied, nothing is due.
    deadline = time.monotonic() + 5
    while (nav.in_motion or nav.wants_frames) and time.monotonic() < deadline:
        nav.tick()
        time.sleep(0.01)
    nav.tick()
    assert not readable(fd) and not nav.wants_frames
    nav.close()
    assert readable(fd)  # a loop waiting on it wakes and finds the navigator closed


def test_the_input_fd_stays_readable_while_a_device_file_replays(device_file, navigators):
    device_file(TURN)
    nav = navigators(NumpyViewer())
    fd = nav.input_fd()
    assert readable(fd)  # the replay waits for its first frame
    t = run(nav, 1.0)
    assert readable(fd)
    run(nav, 0.5, start=t)
    assert not readable(fd) and not nav.wants_frames


# --- settings given in code -----------------------------------------------------------------------

def turned_degrees(before, after):
    return math.degrees(math.acos(np.clip(after[:3, 2] @ before[:3, 2], -1, 1)))


def test_navigators_of_one_profile_each_open_with_their_own_settings(navigators, monkeypatch, tmp_path):
    monkeypatch.setenv("ZIBREL_DEVICE", "none")
    made = []
    for settings in ({"sensitivity": 2}, None, {"sensitivity": 0.5, "lock-horizon": True}):
        viewer = NumpyViewer()
        nav = navigators(viewer, profile="twins", settings=settings)
        made.append([viewer, nav, ctl.last_connection(), viewer.camera.copy()])
    # A bare model of the same profile, opened afterwards on the same thread, gets the defaults:
    # settings go with the connection they were given for, not with the profile.
    bare = es.Scene()
    bare.open(profile="twins")
    bare_conn = ctl.last_connection()

    def turn_all(start):
        for i in range(50):
            t = start + i * STEP
            for _viewer, nav, conn, _before in made:
                assert es.sample(conn, t * 1000, ry=0.5) == 0
                nav.tick(t)
            es.sample(bare_conn, t * 1000, ry=0.5)
            bare.frame(t * 1000)

    bare_before = np.array(bare.camera)
    turn_all(0.0)
    turns = [turned_degrees(before, viewer.camera) for viewer, _nav, _conn, before in made]
    assert turns[0] == pytest.approx(2 * turns[1], rel=0.05)
    assert turns[2] == pytest.approx(0.5 * turns[1], rel=0.05)
    assert turned_degrees(bare_before, np.array(bare.camera)) == pytest.approx(turns[1], rel=0.05)
    bare._enable_navigation(False)

    # Enabled again, a navigator opens a new connection with its settings again.
    viewer, nav, _conn, _before = made[0]
    nav.enabled = False
    nav.enabled = True
    made = [[viewer, nav, ctl.last_connection(), viewer.camera.copy()]]
    bare.open(profile="twins")
    bare_conn = ctl.last_connection()
    bare_before = np.array(bare.camera)
    turn_all(10.0)
    assert turned_degrees(made[0][3], viewer.camera) == pytest.approx(
        2 * turned_degrees(bare_before, np.array(bare.camera)), rel=0.05)
    bare._enable_navigation(False)


@pytest.mark.parametrize("settings, message", [
    ({"lock-horizon": "maybe"}, "setting 'lock-horizon': 'maybe' is not on or off"),
    ({"speed": 3}, "setting 'speed': unknown setting 'speed'"),
    ({"sensitivity": 500}, "setting 'sensitivity': '500' is not a number from 0 to 100"),
    ({"sensitivity": float("nan")}, "setting 'sensitivity': nan is not a finite number"),
    ({"button.0": ["view:fit"]}, "setting 'button.0': expected a str, a number or a bool, got list"),
    ({"button.0": "view:fit # and more"}, "setting 'button.0': the value"),
    ({"lock horizon = on\nx": True}, "not a setting name"),
    ({"button.999": "view:fit"}, "setting 'button.999': '999' is not a button number from 0 to 255"),
    ([("lock-horizon", True)], "settings must be a mapping"),
])
def test_bad_settings_raise_value_error_naming_the_key(settings, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        Navigator(NumpyViewer(), settings=settings, enable=False)


def test_settings_values_become_the_files_words(navigators, monkeypatch):
    monkeypatch.setenv("ZIBREL_DEVICE", "none")
    nav = navigators(NumpyViewer(), settings={"lock-horizon": False, "dominant-axis": True, "sensitivity": 1.5,
                                              "motion-timeout": 120, "button.3": " view:top "})
    assert nav.settings == {"lock-horizon": False, "dominant-axis": True, "sensitivity": 1.5, "motion-timeout": 120,
                            "button.3": " view:top "}
    from pyzibrel._app_settings import settings_text
    assert settings_text(nav.settings) == ("lock-horizon = off\ndominant-axis = on\nsensitivity = 1.5\n"
                                           "motion-timeout = 120\nbutton.3 = view:top\n")


POINTER_TURN = """\
0.0 motion 0 0 0   0 0.5 0
0.2 motion 0 0 0   0 0 0
"""


class PointerViewer(NumpyViewer):
    """Hits where the ray points: a plane at z = 0, seen from z = 9."""

    def __init__(self, pointer, **kw):
        super().__init__(**kw)
        self.pointer = None if pointer is None else np.array(pointer, float)

    def get_pointer(self):
        return self.pointer

    def pick(self, origin, direction, aperture, selection_only):
        super().pick(origin, direction, aperture, selection_only)
        return origin + direction * (-origin[2] / direction[2]) if direction[2] < 0 else None


@pytest.mark.parametrize("pivot, pointer, perspective, expected", [
    ("pointer", (2.0, 1.5, 8.0), True, (10.0, 9.5, 0.0)),     # the line from the eye (1, 0.5, 9) through it
    ("pointer", (2.0, 1.5, 8.0), False, (2.0, 1.5, 0.0)),     # parallel to the view, through it
    ("pointer", None, True, (1.0, 0.5, 0.0)),                 # no pointer: the view's centre
    ("pointer", (2.0, 1.5, 10.0), True, (1.0, 0.5, 0.0)),     # behind the eye: the view's centre
    ("centre", (2.0, 1.5, 8.0), True, (1.0, 0.5, 0.0)),       # the default ignores the pointer
])
def test_the_pointer_pivot_turns_about_the_hit_under_the_pointer(device_file, navigators, pivot, pointer,
                                                                 perspective, expected):
    device_file(POINTER_TURN)
    viewer = PointerViewer(pointer, perspective=perspective)
    nav = navigators(viewer, settings={"pivot": pivot})
    run(nav, 0.1)
    shown = [position for position, visible in viewer.pivots if visible]
    assert shown and np.allclose(shown[0], expected), (shown[:1], viewer.picks)
# Each in a process of its own: the library makes its descriptor once per process.
WAITING_INPUT = """
import os, select, sys
sys.path.insert(0, {tests!r})
{before}
import pyzibrel
from test_navigator import NumpyViewer
nav = pyzibrel.Navigator(NumpyViewer())  # the device file's replay waits for its first frame
fd = nav.input_fd()
{after}
"""


def run_waiting_input(tmp_path, before="", after=""):
    session = tmp_path / "session.txt"
    session.write_text(TURN)
    env = dict(os.environ, ZIBREL_DEVICE=f"file:{session}", OPENBLAS_NUM_THREADS="1")
    env.pop("ZIBREL_CONFIG", None)
    script = WAITING_INPUT.format(tests=os.path.dirname(__file__), before=textwrap.dedent(before),
                                  after=textwrap.dedent(after))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


@pytest.mark.parametrize("child_ends", ["nav.close(); os._exit(0)", "sys.exit(0)"], ids=["close", "sys.exit"])
def test_a_forked_child_leaves_the_parents_wake_up_alone(tmp_path, child_ends):
    after = f"""
        assert nav.wants_frames
        pid = os.fork()
        if pid == 0:
            {child_ends}
        os.waitpid(pid, 0)
        print(nav.wants_frames, bool(select.select([fd], [], [], 0)[0]))  # an event loop idling on it wakes
        nav.close()
    """
    assert run_waiting_input(tmp_path, after=after) == ["True", "True"]


def test_a_forked_child_gets_a_wake_up_descriptor_of_its_own_with_the_librarys_timer(tmp_path):
    # The replay's frames run on the library's thread and queue their writes: the descriptor is readable.
    after = """
        nav.close()
        nav = pyzibrel.Navigator(NumpyViewer(), application_timing=False)
        fd = nav.input_fd()
        ready = lambda: bool(select.select([fd], [], [], 0)[0])
        select.select([fd], [], [], 10)
        print(ready())
        pid = os.fork()
        if pid == 0:
            fresh = not ready()
            nav.tick()  # drains the child's own
            os._exit(0 if fresh and not ready() else 3)
        print(os.waitpid(pid, 0)[1], ready(), nav.input_fd() == fd)
        nav.close()
    """
    assert run_waiting_input(tmp_path, after=after) == ["True", "0", "True", "True"]


def test_wants_frames_works_above_the_select_limit_of_descriptors(tmp_path):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 1200:
        pytest.skip(f"only {hard} descriptors allowed")
    before = f"""
        import resource
        resource.setrlimit(resource.RLIMIT_NOFILE, (1200, {hard}))
        held = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
    """
    after = """
        print(fd > 1024, nav.wants_frames)
        nav.tick(0.0)
        nav.close()
        print(nav.wants_frames)
    """
    assert run_waiting_input(tmp_path, before=before, after=after) == ["True", "True", "False"]
