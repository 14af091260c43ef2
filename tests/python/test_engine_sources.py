"""Device sources and faults: the virtual device replaying a file, the
library's own frame timer, re-entrant calls, and bad input from every side."""

import gc
import math
import threading
import time

import numpy as np
import pytest

import engine_support as es
import zibrel_ctl as ctl
from engine_support import Scene, look_at

SESSION = """\
# a short session: turn, pan, zoom, a button
0.00  motion  0 0 0   0 0.5 0
0.50  motion  0.5 0 0  0 0 0
0.80  motion  0 0 1   0 0 0
1.00  motion  0 0 0   0 0 0
1.10  press 2
1.15  release 2
1.20  end
"""


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    monkeypatch.setenv("ZIBREL_DEVICE", "none")
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)


def use_device_file(tmp_path, monkeypatch, text, settings=""):
    path = tmp_path / "session.txt"
    path.write_text(text)
    monkeypatch.setenv("ZIBREL_DEVICE", f"file:{path}")
    conf = tmp_path / "zibrel.conf"
    conf.write_text(settings)
    monkeypatch.setenv("ZIBREL_CONFIG", str(conf))


def replay(scene, frames=150, step=10.0, start=1000.0):
    """Application-driven frames; the camera after each one."""
    cameras = []
    for i in range(frames):
        scene.frame(start + i * step)
        cameras.append(scene.camera.copy())
    return cameras


def test_the_virtual_device_replays_a_file_deterministically(tmp_path, monkeypatch):
    use_device_file(tmp_path, monkeypatch, SESSION, "button.2 = app.snapshot\n")
    runs = []
    for _ in range(2):
        scene = Scene()
        scene.open()
        cameras = replay(scene)
        scene._enable_navigation(False)
        runs.append((cameras, scene.names()))
    (first, names), (second, names2) = runs
    assert names == names2
    np.testing.assert_array_equal(np.array(first), np.array(second))
    # It turned, then panned, then zoomed, then ran the command, then stopped.
    assert names.count("commands.activeCommand") == 1
    assert names[-2:] == ["pivot.visible", "motion"]
    assert not np.allclose(first[40][:3, :3], np.eye(3))  # turned by 0.4 s
    eye_pan, eye_end = first[75][:3, 3], first[-1][:3, 3]
    assert np.linalg.norm(eye_end) < np.linalg.norm(eye_pan)  # the zoom came closer to the model


def test_the_replay_starts_over_when_the_timing_source_changes(tmp_path, monkeypatch):
    use_device_file(tmp_path, monkeypatch, "0 motion 0 0 0 0 1 0\n0.1 motion 0 0 0 0 0 0\n")
    scene = Scene()
    scene.open()
    replay(scene, frames=40)
    once = scene.names().count("view.affine")
    scene._put_frame_timing_source(0)
    scene._put_frame_timing_source(1)
    replay(scene, frames=40, start=5000)
    scene._enable_navigation(False)
    assert once > 0 and scene.names().count("view.affine") == 2 * once


BAD_FILES = {
    "unknown word": ("0 motion 0 0 0 0 0 0\n0.5 wiggle 1\n", "line 2", "unknown event 'wiggle'"),
    "too few axes": ("# header\n\n0 motion 0 0 0.5\n", "line 3", "six numbers"),
    "deflection beyond full": ("0 motion 0 0 0 0 3.5 0\n", "line 1", "'3.5' is not a deflection"),
    "not a number": ("0 motion 0 0 nan 0 0 0\n", "line 1", "'nan' is not a deflection"),
    "time goes back": ("1 motion 0 0 0 0 0 0\n0.5 press 1\n", "line 2", "earlier than the line before"),
    "bad button": ("0 press -1\n", "line 1", "not a button number"),
    "after end": ("0 end\n1 press 1\n", "line 2", "nothing may follow"),
    "empty": ("# nothing\n", "line 1", "no events"),
}


@pytest.mark.parametrize("text, line, why", BAD_FILES.values(), ids=BAD_FILES.keys())
def test_a_device_file_with_errors_is_refused_naming_the_line(tmp_path, monkeypatch, capfd, text, line, why):
    use_device_file(tmp_path, monkeypatch, text)
    scene = Scene()
    conn = scene.open()  # navigation itself still opens
    replay(scene, frames=20)
    err = capfd.readouterr().err
    assert f"device file {tmp_path / 'session.txt'} {line}: " in err and why in err
    assert "the virtual device is off" in err
    assert scene.events == []
    # The control interface still drives it.
    es.sample(conn, 1300, ry=1.0)
    scene.frame(1300)
    scene._enable_navigation(False)
    assert "view.affine" in scene.names()


def test_settings_file_errors_name_the_line_and_the_rest_applies(tmp_path, monkeypatch, capfd):
    conf = tmp_path / "zibrel.conf"
    conf.write_text("dead-zone = 0.5\nspeed = 3\nbutton.x = view:fit\nbutton.1 = view:sideways\ninvert = q\n"
                    "button.2 = app.ok\n")
    monkeypatch.setenv("ZIBREL_CONFIG", str(conf))
    scene = Scene()
    conn = scene.open()
    err = capfd.readouterr().err
    for number, why in [(2, "unknown setting 'speed'"), (3, "'x' is not a button number"),
                        (4, "'view:sideways' is not a binding"), (5, "unknown axis 'q'")]:
        assert f"settings file {conf} line {number}: {why}" in err
    es.button(conn, 5, 2)
    es.sample(conn, 5, x=0.4)  # inside the dead zone of line 1
    scene.frame(10)
    scene._enable_navigation(False)
    assert scene.events == [("commands.activeCommand", "app.ok")]


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_samples_that_are_not_finite_never_reach_the_camera(value):
    scene = Scene()
    conn = scene.open()
    scene.frame(0)
    assert es.sample(conn, 10, x=1.0, ry=value) == -2
    scene.frame(10)
    scene._enable_navigation(False)
    assert scene.events == []


NONSENSE = {
    "singular camera": dict(camera=np.diag([1.0, 0.0, 1.0, 1.0])),
    "camera with NaN": dict(camera=np.where(np.eye(4) > 0, math.nan, 0.0)),
    "projective camera": dict(camera=np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 10], [0, 0, 1, 1.0]])),
    "NaN field of view": dict(fov=math.nan),
    "NaN orthographic extents": dict(perspective=False, extents=(math.nan, -1, -1, 1, 1, 1)),
    "empty orthographic extents": dict(perspective=False, extents=(1, -1, -1, 1, 1, 1)),
}


@pytest.mark.parametrize("kw", NONSENSE.values(), ids=NONSENSE.keys())
def test_nonsense_from_the_application_leaves_the_camera_and_is_told_once(capfd, kw):
    scene = Scene(**kw)
    camera = scene.camera.copy()
    conn = scene.open()
    for i in range(30):
        es.sample(conn, 10.0 * i, x=1.0, ry=1.0, z=1.0)
        scene.frame(10.0 * i)
    es.button(conn, 400, 0)
    scene._enable_navigation(False)
    lines = [line for line in capfd.readouterr().err.splitlines() if line.startswith("zibrel: ")]
    assert len(lines) == 1 and "the camera is left as it was" in lines[0], lines
    np.testing.assert_array_equal(scene.camera, camera)
    assert "view.affine" not in scene.names() and "view.extents" not in scene.names()


def test_closing_from_inside_a_frame_callback_stops_the_frame():
    class Closing(Scene):
        def _set_camera_matrix(self, m):
            super()._set_camera_matrix(m)
            self._enable_navigation(False)  # inside ZbWriteValue("frame.time") of this very thread

    scene = Closing()
    already_open = ctl.lib.zbctl_open_connections()
    conn = scene.open()
    scene.frame(0)
    es.sample(conn, 10, ry=1.0)
    scene.frame(10)
    assert scene._is_enabled() is False
    assert scene.names()[-2:] == ["transaction", "view.affine"]  # nothing after the close
    assert ctl.lib.zbctl_open_connections() == already_open


def test_frame_time_written_from_inside_a_frame_is_skipped_not_deadlocked():
    class Nested(Scene):
        def _set_camera_matrix(self, m):
            super()._set_camera_matrix(m)
            self.frame(self.t + 1)  # a nested frame.time write

    scene = Nested()
    conn = scene.open()
    scene.frame(0)
    scene.t = 10
    es.sample(conn, 10, ry=1.0)
    scene.frame(10)
    scene._enable_navigation(False)
    assert scene.names().count("view.affine") == 1


def wait_for(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.002)
    return condition()


class Threaded(Scene):
    """Records the threads the camera writes arrive on."""

    def __init__(self, **kw):
        super().__init__(**kw)
        self.threads = set()

    def _set_camera_matrix(self, m):
        self.threads.add(threading.get_ident())
        super()._set_camera_matrix(m)


def test_the_library_timer_runs_frames_on_its_own_thread():
    scene = Threaded()
    conn = scene.open(app_timing=False)
    time.sleep(0.1)
    assert scene.events == []  # no device: the timer stays quiet
    for _ in range(10):
        es.sample(conn, -1, ry=1.0)  # live samples, stamped on arrival
        time.sleep(0.01)
    assert wait_for(lambda: ("motion", False) in scene.events)
    scene._enable_navigation(False)
    assert threading.get_ident() not in scene.threads and len(scene.threads) == 1
    assert scene.names()[0] == "motion" and scene.names().count("view.affine") >= 5
    assert es.frame_count(conn) >= 5


def test_closing_from_inside_a_timer_callback_does_not_wait_for_the_timer():
    done = threading.Event()

    class Closing(Scene):
        def _set_camera_matrix(self, m):
            super()._set_camera_matrix(m)
            self._enable_navigation(False)
            done.set()

    scene = Closing()
    already_open = ctl.lib.zbctl_open_connections()
    conn = scene.open(app_timing=False)
    es.sample(conn, -1, ry=1.0)
    assert done.wait(5)
    count = len(scene.events)
    time.sleep(0.1)
    assert len(scene.events) == count
    assert ctl.lib.zbctl_open_connections() == already_open


def test_a_model_dropped_while_the_timer_calls_it_is_never_reached_again():
    already_open = ctl.lib.zbctl_open_connections()
    for _ in range(10):
        scene = Scene()
        conn = scene.open(app_timing=False)
        es.sample(conn, -1, ry=1.0)
        assert wait_for(lambda: "view.affine" in scene.names())
        del scene
        gc.collect()
        assert ctl.lib.zbctl_open_connections() == already_open
