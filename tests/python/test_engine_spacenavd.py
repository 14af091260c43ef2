"""The spacenavd source, through libspnav and a fake daemon."""

import os
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import engine_support as es
from engine_support import Scene
from fake_spacenavd import FakeSpacenavd

pytestmark = pytest.mark.skipif(
    not any(os.path.exists(os.path.join(d, "libspnav.so.0"))
            for d in ("/usr/lib/x86_64-linux-gnu", "/usr/lib", "/usr/local/lib", "/usr/lib/aarch64-linux-gnu")),
    reason="libspnav0 is not installed (./dev test installs it)")


@pytest.fixture
def daemon(tmp_path, monkeypatch):
    fake = FakeSpacenavd(tmp_path / "spnav.sock")
    monkeypatch.setenv("SPNAV_SOCKET", fake.path)
    monkeypatch.setenv("ZIBREL_DEVICE", "spacenavd")
    conf = tmp_path / "zibrel.conf"
    conf.write_text("button.1 = app.home\nfull-scale = 350\n")
    monkeypatch.setenv("ZIBREL_CONFIG", str(conf))
    yield fake
    fake.stop()


def wait_for(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.005)
    return condition()


def test_daemon_events_become_camera_motion_and_commands(daemon):
    scene = Scene()
    scene.open(app_timing=False)  # the library's own timer
    try:
        assert daemon.wait_for_client()
        assert daemon.requests[0] == struct.pack("<I", 0x7FAA5501)  # libspnav 1.0's version request
        daemon.hold(0.3, ry=350)
        daemon.press(1)
        daemon.release(1)
        assert wait_for(lambda: ("motion", False) in scene.events)
        assert wait_for(lambda: ("commands.activeCommand", "app.home") in scene.events)
    finally:
        scene._enable_navigation(False)
    names = scene.names()
    assert names[0] == "motion" and names.count("view.affine") >= 10
    back = scene.camera[:3, 2]
    assert back[0] < -0.1  # turned the model to the left: the camera went round to -x


def test_daemon_events_feed_application_driven_frames(daemon):
    scene = Scene()
    conn = scene.open()
    try:
        assert daemon.wait_for_client()
        scene.frame(0)
        t = 0.0
        for _ in range(20):
            daemon.motion(x=175)  # half deflection
            time.sleep(0.01)
            t += 10
            scene.frame(t)
        assert "view.affine" in scene.names()
        assert es.in_motion(conn) == 1
    finally:
        scene._enable_navigation(False)


def test_a_lost_daemon_is_reconnected(daemon, capfd):
    scene = Scene()
    scene.open(app_timing=False)
    try:
        assert daemon.wait_for_client()
        daemon.drop_clients()
        assert wait_for(lambda: daemon.clients() == 1, 5.0)  # retried within two seconds
        daemon.hold(0.2, rx=350)
        assert wait_for(lambda: "view.affine" in scene.names())
    finally:
        scene._enable_navigation(False)
    assert "spacenavd closed the connection" in capfd.readouterr().err


def test_a_missing_daemon_is_told_once_and_other_sources_still_work(tmp_path, monkeypatch, capfd):
    path = tmp_path / "nobody-here.sock"
    monkeypatch.setenv("SPNAV_SOCKET", str(path))
    monkeypatch.setenv("ZIBREL_DEVICE", "spacenavd")
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)
    scene = Scene()
    conn = scene.open()
    try:
        told = []
        assert wait_for(lambda: told.append(capfd.readouterr().err) or "no daemon answers" in "".join(told))
        time.sleep(2.5)  # at least one more attempt
        scene.frame(0)
        es.sample(conn, 10, ry=1.0)
        scene.frame(10)
        told.append(capfd.readouterr().err)
    finally:
        scene._enable_navigation(False)
    lines = [line for line in "".join(told).splitlines() if "spacenavd" in line]
    assert lines == [f"zibrel: spacenavd input is off: no daemon answers at {path} (start spacenavd, or set "
                     "SPNAV_SOCKET). Other device sources still work; retrying every 2 s."]
    assert "view.affine" in scene.names()


MISSING_LIBRARY = textwrap.dedent("""
    import sys
    sys.path.insert(0, {tests!r})
    import engine_support as es
    scene = es.Scene()
    conn = scene.open()
    import time; time.sleep(0.3)
    scene.frame(0)
    es.sample(conn, 10, ry=1.0)
    scene.frame(10)
    print("moved" if "view.affine" in scene.names() else "still")
    scene._enable_navigation(False)
""")


def test_a_missing_libspnav_is_told_and_other_sources_still_work(tmp_path):
    conf = tmp_path / "zibrel.conf"
    conf.write_text("spnav-library = libspnav-not-installed.so.0\n")
    env = dict(os.environ, ZIBREL_DEVICE="spacenavd", ZIBREL_CONFIG=str(conf))
    done = subprocess.run([sys.executable, "-c", MISSING_LIBRARY.format(tests=os.path.dirname(__file__))],
                          capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "moved"
    assert done.stderr.count("zibrel: spacenavd input is off: libspnav-not-installed.so.0 cannot be loaded") == 1
