"""`python -m pyzibrel`: status, monitor and record, run as a user would, in a
subprocess with the devices of the environment (fake hidraw trees, sockets
that are not there)."""

import json
import os
import pathlib
import resource
import select
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import _pyzibrel
import engine_support as es
import fake_hidraw as fh
from engine_support import Scene
from test_spacenavd_daemon import HAVE_LIBSPNAV, SPACENAVD, RealSpacenavd


def environment(tmp_path, **settings):
    """The process environment: no real devices unless the test brings some, and the
    library installed in the package, as a user has it (not the tests' variant)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("ZIBREL_DEVICE", "ZIBREL_CONFIG", "ZIBREL_HID_ROOT", "SPNAV_SOCKET", "LD_LIBRARY_PATH")}
    env.update(ZIBREL_HID_ROOT=str(tmp_path / "empty-root"), SPNAV_SOCKET=str(tmp_path / "no-daemon.sock"))
    (tmp_path / "empty-root").mkdir(exist_ok=True)
    env.update({k: str(v) for k, v in settings.items()})
    return env


def pyzibrel(env, *args, timeout=60):
    return subprocess.run([sys.executable, "-m", "pyzibrel", *args], env=env, capture_output=True, text=True,
                          timeout=timeout)


def started(env, *args):
    return subprocess.Popen([sys.executable, "-m", "pyzibrel", *args], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def wait_for_line(stream, text, timeout=30.0):
    """Lines of a child's stream up to the one holding text; fails after timeout."""
    seen, deadline = [], time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([stream], [], [], 0.1)
        if ready:
            line = stream.readline()
            if not line:
                break
            seen.append(line)
            if text in line:
                return seen
    pytest.fail(f"no line with {text!r} within {timeout} s; got {seen}")


NAME = "Fake Six-Axis Cap"
FULL = 350  # the fake device's full deflection


@pytest.fixture
def fake_device(tmp_path):
    """A multi-axis controller under a root of its own; its node a socket, so that
    a test knows when the library reads it."""
    device = fh.FakeHidraw(tmp_path / "hid-root", 0, fh.SIX_IN_ONE, kind="socket", name=NAME)
    yield device
    device.unplug()


def wait_for_reader(device, timeout=20.0):
    deadline = time.monotonic() + timeout
    while device.readers() == 0:
        assert time.monotonic() < deadline, "the library never opened the device"
        time.sleep(0.01)


# ---------------------------------------------------------------- status


@pytest.mark.parametrize("device", ["none", "auto"])
def test_status_without_a_device_says_so_and_fails(tmp_path, device):
    env = environment(tmp_path, ZIBREL_DEVICE=device)
    done = pyzibrel(env, "status")
    assert done.returncode == 1, done.stdout + done.stderr
    out = done.stdout
    assert f"Navigation library: {pathlib.Path(_pyzibrel.__file__).parent}" in out
    assert f"Device setting: {device}" in out
    assert ("Sources: none configured" in out) == (device == "none")
    assert out.rstrip().endswith("No device can be used.")
    if device == "auto":  # what was tried, and where
        assert f"spacenavd {tmp_path / 'no-daemon.sock'}: not available" in out
        assert f"hid {tmp_path / 'empty-root'}/dev/hidraw*: not available" in out

    as_json = pyzibrel(env, "status", "--json")
    assert as_json.returncode == 1
    info = json.loads(as_json.stdout)
    assert info["usable"] is False and info["device_setting"] == device
    assert [s["source"] for s in info["sources"]] == ([] if device == "none" else ["spacenavd", "hid"])


def test_status_names_the_fake_hid_device_and_succeeds(tmp_path, fake_device):
    node = fake_device.node
    conf = tmp_path / "zibrel.conf"
    conf.write_text("motion-timeout = 150\n")
    env = environment(tmp_path, ZIBREL_DEVICE="auto", ZIBREL_HID_ROOT=fake_device.root, ZIBREL_CONFIG=conf)
    done = pyzibrel(env, "status")
    assert done.returncode == 0, done.stdout + done.stderr
    assert f"Settings file: {conf}" in done.stdout
    assert f"  - {NAME} at {node}, 6 axes, 16 buttons: connected" in done.stdout
    assert f"Ready: input comes from {NAME} (hid, {node})." in done.stdout
    # With auto, the missing spacenavd is no problem while the HID device is ready.
    assert "Problems:" not in done.stdout and "see the problems below" not in done.stdout
    assert f"spacenavd {tmp_path / 'no-daemon.sock'}: not available" in done.stdout

    info = json.loads(pyzibrel(env, "status", "--json").stdout)
    assert info["problems"] == []
    (device,) = [d for s in info["sources"] if s["source"] == "hid" for d in s["devices"]]
    assert device == {"name": NAME, "path": node, "axes": 6, "buttons": 16, "connected": True,
                      "problem": None}


@pytest.mark.skipif(not (SPACENAVD and HAVE_LIBSPNAV), reason="spacenavd and libspnav0 (./dev test installs them)")
def test_status_with_the_real_daemon_and_no_device_says_the_daemon_has_none(tmp_path):
    daemon = RealSpacenavd(tmp_path)
    daemon.start()
    try:
        done = pyzibrel(environment(tmp_path, ZIBREL_DEVICE="auto", SPNAV_SOCKET=daemon.socket), "status")
    finally:
        daemon.stop()
    assert done.returncode == 1, done.stdout + done.stderr
    assert f"  spacenavd {daemon.socket}: the daemon is running, but it has no device" in done.stdout
    assert f"  - spacenavd at {daemon.socket} answers but has no device." in done.stdout
    assert done.stdout.rstrip().endswith("No device can be used.")


def test_status_without_the_library_says_so(tmp_path):
    # The module copied alone: no library beside it, none on LD_LIBRARY_PATH.
    module = pathlib.Path(_pyzibrel.__file__)
    shutil.copy(module, tmp_path / module.name)
    env = environment(tmp_path, PYTHONPATH=tmp_path)
    env.pop("LD_LIBRARY_PATH", None)
    done = pyzibrel(env, "status")
    assert done.returncode == 1
    assert "Navigation library: none loaded" in done.stdout and "Sources: unknown" in done.stdout
    assert "No navigation library is loaded: libQorZibrel.so was not found" in done.stdout
    monitor = pyzibrel(env, "monitor", "--no-wait")
    assert monitor.returncode == 1 and "Cannot monitor the devices: No navigation library" in monitor.stderr


@pytest.mark.parametrize("args, complaint", [
    ([], "the following arguments are required: COMMAND"),
    (["record"], "the following arguments are required: FILE"),
    (["monitor", "--seconds", "0"], "'0' is not a number of seconds above 0"),
    (["record", "x.txt", "--motion-timeout", "0.5"], "'0.5' is not a time from 1 to 10000 ms"),
    (["record", "x.txt", "--motion-timeout", "soon"], "'soon' is not a time from 1 to 10000 ms"),
    (["record", "x.txt", "--seconds", "soon"], "'soon' is not a number"),
])
def test_bad_arguments_are_refused_with_usage(tmp_path, args, complaint):
    done = pyzibrel(environment(tmp_path), *args)
    assert done.returncode == 2 and complaint in done.stderr


# ---------------------------------------------------------------- monitor


def test_monitor_shows_the_live_axes_and_buttons(tmp_path, fake_device):
    env = environment(tmp_path, ZIBREL_DEVICE="hid", ZIBREL_HID_ROOT=fake_device.root)
    child = started(env, "monitor", "--seconds", "3")
    try:
        wait_for_reader(fake_device)
        fake_device.motion(x=175, rz=-70)
        fake_device.press(0b10)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait(timeout=30)
    assert child.returncode == 0, err
    assert f"Monitoring input from {NAME} (hid, {fake_device.node}) for 3 s; Ctrl-C stops." in out
    lines = {line.split("[")[0].strip(): line for line in out.splitlines() if "[" in line}
    assert lines["x"].endswith("+0.500") and "|" + "█" * 10 + " " * 10 + "]" in lines["x"]
    assert lines["rz"].endswith("-0.200") and "[" + " " * 16 + "█" * 4 + "|" in lines["rz"]
    assert lines["y"].endswith("+0.000")
    assert "buttons held: 1   last: press 1" in out


@pytest.mark.parametrize("command", [["monitor"], ["record", "{tmp}/session.txt"]])
def test_without_a_device_no_wait_says_why_and_waiting_says_it_waits(tmp_path, command):
    command = [word.format(tmp=tmp_path) for word in command]
    env = environment(tmp_path, ZIBREL_DEVICE="auto")
    at_once = pyzibrel(env, *command, "--seconds", "30", "--no-wait", timeout=20)
    assert at_once.returncode == 1
    assert "Cannot monitor the devices: No device can deliver input now" in at_once.stderr
    waited = pyzibrel(env, *command, "--seconds", "1")
    assert waited.returncode == 1
    lines = waited.stderr.splitlines()
    assert lines[0].startswith("Waiting for a device (No device can deliver input now") and "Ctrl-C stops." in lines[0]
    assert lines[-1] == "No device appeared while waiting." and len(lines) == 2
    assert not (tmp_path / "session.txt").exists() and not (tmp_path / "session.txt.part").exists()


def test_monitor_waits_for_a_device_plugged_in_later(tmp_path):
    root = tmp_path / "hid-root"
    (root / "sys/class/hidraw").mkdir(parents=True)
    env = environment(tmp_path, ZIBREL_DEVICE="hid", ZIBREL_HID_ROOT=root, COLUMNS=40)
    child = started(env, "monitor", "--seconds", "20")
    device = None
    try:
        wait_for_line(child.stderr, "Waiting for a device")
        device = fh.FakeHidraw(root, 0, fh.SIX_IN_ONE, kind="socket", name=NAME)
        wait_for_reader(device)
        device.motion(x=-350)
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait(timeout=30)
        if device is not None:
            device.unplug()
    assert child.returncode == 0, err
    assert f"Monitoring input from {NAME} (hid, {device.node}) for 20 s; Ctrl-C stops." in out
    # A 40-column terminal: every row of the live display fits, the bars shortened to fit.
    rows = [line for line in out.splitlines() if "[" in line or line.startswith(("buttons", "events"))]
    assert rows and all(len(line) <= 40 for line in rows), rows
    assert any(line.lstrip().startswith("x [" + "█" * 13 + "|") for line in rows), rows


# ---------------------------------------------------------------- record, then replay

FRAME_MS = 50.0  # the longest frame step the library takes by default
MOTION_TIMEOUT_MS = 150.0  # whole frames: a let-go falls mid-frame as the reports do
# (ms from the first report, report): a session as a device sends it. Reports after
# the first fall mid-way between two frames, so that the scheduling noise of this
# test (under half a frame) never moves one to another frame.
SESSION = [
    (0, {"ry": 175}),
    (75, {"ry": 210, "rx": 35}),
    (175, {"x": -105, "ry": 210, "rx": 35}),
    # held still: nothing comes for longer than the motion timeout
    (525, {"z": -245}),
    (575, 0b1),  # button 0 pressed
    (625, 0),
    (725, {"z": -245, "rz": 70}),
    (825, {}),  # let go of the cap
    (975, {"y": 350}),
    (1075, {"y": 350}),  # held, and still reporting within the timeout
    (1175, {"y": 350}),
]
# The lines a recording holds: the reports, and a line of zeros where the device
# went silent with the cap held, one motion timeout (and a microsecond) later.
EXPECTED = [(0, "motion"), (75, "motion"), (175, "motion"), (325.001, "let go"), (525, "motion"), (575, "press"),
            (625, "release"), (675.001, "let go"), (725, "motion"), (825, "motion"), (975, "motion"),
            (1075, "motion"), (1175, "motion"), (1325.001, "let go")]


def session_events():
    """The session as the library reads it: (ms, kind, deflection or button)."""
    events = []
    for t, what in SESSION:
        if isinstance(what, dict):
            events.append((t, "motion", [what.get(axis, 0) / FULL for axis in ("x", "y", "z", "rx", "ry", "rz")]))
        else:
            events.append((t, "press" if what else "release", 0))
    return events


def record_session(tmp_path, device, conf, path):
    env = environment(tmp_path, ZIBREL_DEVICE="hid", ZIBREL_HID_ROOT=device.root, ZIBREL_CONFIG=conf)
    child = started(env, "record", str(path), "--seconds", "2.5")
    try:
        wait_for_line(child.stderr, "Recording")
        wait_for_reader(device)
        start = time.monotonic()
        for t, what in SESSION:
            time.sleep(max(0.0, start + t / 1000 - time.monotonic()))
            device.motion(**what) if isinstance(what, dict) else device.press(what)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait(timeout=30)
    assert child.returncode == 0, err
    assert f"Recorded {len(SESSION)} events to {path}." in err
    lines = []
    for line in path.read_text().splitlines():
        words, _, comment = line.partition("#")
        if words.strip():
            t, kind, *rest = words.split()
            lines.append((float(t) * 1000, "let go" if "let go" in comment else kind, [float(v) for v in rest]))
    return lines


def test_a_recording_that_cannot_start_leaves_an_older_file_alone(tmp_path):
    older = tmp_path / "session.txt"
    older.write_text("0 motion 0 0 0 0 1 0\n")
    done = pyzibrel(environment(tmp_path, ZIBREL_DEVICE="auto"), "record", str(older), "--seconds", "1")
    assert done.returncode == 1 and "No device appeared while waiting." in done.stderr
    assert older.read_text() == "0 motion 0 0 0 0 1 0\n" and sorted(p.name for p in tmp_path.iterdir()) == [
        "empty-root", "session.txt"]
    nowhere = pyzibrel(environment(tmp_path), "record", str(tmp_path / "missing" / "session.txt"))
    assert nowhere.returncode == 2
    assert f"Cannot write {tmp_path / 'missing' / 'session.txt'}: No such file or directory" in nowhere.stderr
    assert ".part" not in nowhere.stderr


@pytest.mark.parametrize("option, timeout", [([], 150), (["--motion-timeout", "250"], 250)])
def test_record_uses_the_motion_timeout_the_library_reads(tmp_path, option, timeout):
    conf = tmp_path / "zibrel.conf"
    conf.write_text("motion-timeout = 150\nmotion-timeout = 0.2\n")
    replayed = tmp_path / "replayed.txt"
    replayed.write_text("0 motion 0 0 0 0 0.5 0\n0.05 end\n")
    path = tmp_path / "session.txt"
    done = pyzibrel(environment(tmp_path, ZIBREL_DEVICE=f"file:{replayed}", ZIBREL_CONFIG=conf),
                    "record", str(path), "--seconds", "0.3", *option)
    assert done.returncode == 0, done.stderr
    # The library's own message for the line it ignored, when its file gives the timeout.
    problem = f"Settings: settings file {conf} line 2: '0.2' is not a time from 1 to 10000 ms; line ignored"
    assert (problem in done.stderr) == (not option), done.stderr
    assert f"timeout ({timeout} ms) the library let go" in path.read_text()


def test_ctrl_c_ends_a_recording_with_what_came(tmp_path, fake_device):
    path = tmp_path / "session.txt"
    child = started(environment(tmp_path, ZIBREL_DEVICE="hid", ZIBREL_HID_ROOT=fake_device.root), "record", str(path))
    try:
        wait_for_line(child.stderr, "Recording")
        wait_for_reader(fake_device)
        fake_device.motion(rz=350)
        time.sleep(0.05)  # within the motion timeout
        fake_device.motion()
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait(timeout=30)
    assert child.returncode == 0, err
    lines = [line.split("#")[0].split() for line in path.read_text().splitlines() if not line.startswith("#")]
    assert [line[1:] for line in lines] == [["motion", "0", "0", "0", "0", "0", "1.0"],
                                             ["motion", "0", "0", "0", "0", "0", "0"], ["end"]]
    assert float(lines[0][0]) == 0 and 0.03 < float(lines[1][0]) < 0.1 and float(lines[2][0]) >= 0.3
    assert not path.with_name("session.txt.part").exists()


def test_a_recorded_session_replays_to_the_same_camera(tmp_path, fake_device, monkeypatch):
    conf = tmp_path / "zibrel.conf"
    conf.write_text(f"motion-timeout = {MOTION_TIMEOUT_MS:g}\nbutton.0 = app.mark\n")
    path = tmp_path / "session.txt"
    slack = FRAME_MS / 2 - 5
    for attempt in range(3):
        if attempt:  # plugged in anew: the last recorder's connection goes
            fake_device.unplug()
            fake_device.plug()
        lines = record_session(tmp_path, fake_device, conf, path)
        assert [kind for _, kind, _ in lines] == [kind for _, kind in EXPECTED] + ["end"]
        # On a busy machine a report may come too late to land in its frame: record again.
        if all(abs(t - want) < slack for (t, _, _), (want, _) in zip(lines, EXPECTED)):
            break
    else:
        pytest.fail(f"the reports never came within {slack} ms of their time: {lines}")
    # Times count from the first report; a let-go follows the report before it by the timeout.
    assert lines[0][0] == 0 and lines[-1][0] >= 2000
    last_motion = None
    for t, kind, values in lines:
        if kind == "let go":
            assert values == [0.0] * 6
            assert t == pytest.approx(last_motion + MOTION_TIMEOUT_MS + 0.001, abs=1e-6)
        if kind in ("motion", "let go"):
            last_motion = t
    motions = [values for _, kind, values in lines if kind == "motion"]
    assert motions == [value for _, kind, value in session_events() if kind == "motion"]

    def run(device, push):
        monkeypatch.setenv("ZIBREL_DEVICE", device)
        scene = Scene(camera=es.look_at((2, 3, 9), (0, 0, 0)))
        conn = scene.open()
        start = 10_000.0
        if push:  # the reference: the library fed the session as a live device sends it
            for t, kind, value in session_events():
                if kind == "motion":
                    assert es.sample(conn, start + t, *value) == 0
                else:
                    es.button(conn, start + t, value, kind == "press")
        cameras = []
        for i in range(int(1800 / FRAME_MS)):
            scene.frame(start + i * FRAME_MS)
            cameras.append(scene.camera.copy())
        scene._enable_navigation(False)
        return np.array(cameras), scene.names(("motion", "commands.activeCommand"))

    monkeypatch.setenv("ZIBREL_CONFIG", str(conf))
    live, live_names = run("none", push=True)
    replayed, replay_names = run(f"file:{path}", push=False)
    assert not np.allclose(live[0], live[-1])  # it moved
    np.testing.assert_allclose(replayed, live, rtol=0, atol=1e-9)
    assert replay_names == live_names
    assert replay_names.count("commands.activeCommand") == 1 and replay_names[-1] == "motion"


# ---------------------------------------------------------------- the live demo

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


@pytest.mark.parametrize("with_device", [True, False], ids=["fake HID device", "no device"])
def test_the_live_demo_says_what_it_uses(tmp_path, fake_device, with_device):
    env = environment(tmp_path, **({"ZIBREL_HID_ROOT": fake_device.root} if with_device else {}))  # the default source: auto
    done = subprocess.run([sys.executable, str(DEMO), "--live", "0.6", "--out", str(tmp_path / "out")], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    first, *rest = done.stdout.splitlines()
    if with_device:
        assert first == f"demo: live input from {NAME} (hid, {fake_device.node}) (device setting: auto)"
    else:
        assert first == "demo: no device can be used (device setting: auto); the view will stay still."
        assert f"  No spacenavd socket at {tmp_path / 'no-daemon.sock'} (start spacenavd, or set SPNAV_SOCKET)." in rest
        assert "  `python -m pyzibrel status` tells more; a device plugged in now is still picked up." in rest
    assert (tmp_path / "out" / "live.png").stat().st_size > 0


# ---------------------------------------------------------------- hostile targets, files and endings

HELD = "0 motion 0 0 0 0 0.5 0\n"  # a virtual cap deflected and held for ever


def source_file(tmp_path, text, name="source.txt"):
    path = tmp_path / name
    path.write_text(text)
    return path


def recorded_lines(path):
    """The event lines of a device file: (seconds, words after the time)."""
    lines = []
    for line in path.read_text().splitlines():
        words = line.split("#")[0].split()
        if words:
            lines.append((float(words[0]), words[1:]))
    return lines


def accepted_by_the_library(path, monkeypatch):
    monkeypatch.setenv("ZIBREL_DEVICE", f"file:{path}")
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)
    (source,) = pyzibrel_devices().sources
    return source.available, source.problem


def pyzibrel_devices():
    import pyzibrel
    return pyzibrel.devices()


def test_a_full_disk_keeps_every_complete_line_and_ends_the_file(tmp_path, monkeypatch):
    path = tmp_path / "session.txt"
    # A cap that keeps moving: a line every 5 ms, far more than the file may hold.
    moving = "".join(f"{i * 0.005:.3f} motion 0 0 0 0 {0.2 + 0.5 * (i % 2)} 0\n" for i in range(2000))
    env = environment(tmp_path, ZIBREL_DEVICE=f"file:{source_file(tmp_path, moving)}")
    limit = 4096  # bytes a file may have: the next write fails as on a full disk (EFBIG instead of ENOSPC)
    small_files = ("import resource, runpy, sys; "
                   f"resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, resource.getrlimit(resource.RLIMIT_FSIZE)[1])); "
                   f"sys.argv = ['pyzibrel', 'record', {str(path)!r}, '--seconds', '60']; "
                   "runpy.run_module('pyzibrel', run_name='__main__', alter_sys=True)")
    start = time.monotonic()
    done = subprocess.run([sys.executable, "-c", small_files], env=env, capture_output=True, text=True, timeout=90)
    assert done.returncode == 3, done.stderr  # neither success nor "no device"
    assert time.monotonic() - start < 30  # it stopped at the error
    assert "Traceback" not in done.stderr
    assert f"Cannot write {path}.part: File too large" in done.stderr
    assert f"{path} holds what was recorded before it" in done.stderr
    assert not path.with_name("session.txt.part").exists()
    text = path.read_text()
    assert len(text.encode()) <= limit and text.endswith("\n")
    lines = recorded_lines(path)
    assert lines[-1][1] == ["end"] and lines[-2][1] == ["motion"] + ["0"] * 6  # let go, then the end
    assert sum(words[0] == "motion" for _, words in lines) > 10
    assert accepted_by_the_library(path, monkeypatch) == (True, None)


@pytest.mark.parametrize("signal_number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=lambda s: s.name)
def test_a_signal_ends_a_recording_that_lets_go(tmp_path, monkeypatch, signal_number):
    path = tmp_path / "session.txt"
    child = started(environment(tmp_path, ZIBREL_DEVICE=f"file:{source_file(tmp_path, HELD)}"), "record", str(path))
    try:
        wait_for_line(child.stderr, "Recording")
        time.sleep(0.4)  # the cap is held
        child.send_signal(signal_number)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait(timeout=30)
    assert child.returncode == 0, err
    assert not path.with_name("session.txt.part").exists()
    lines = recorded_lines(path)
    assert lines[0][1][0] == "motion" and lines[-2][1] == ["motion"] + ["0"] * 6 and lines[-1][1] == ["end"]
    assert accepted_by_the_library(path, monkeypatch) == (True, None)


def a_fifo(tmp_path):
    path = tmp_path / "settings.fifo"
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("config, timeout_ms", [
    (a_fifo, 100),
    (lambda tmp_path: "/dev/zero", 100),
    (lambda tmp_path: tmp_path, 100),
    (lambda tmp_path: source_file(tmp_path, "motion-timeout = 250\n", "zibrel.conf"), 250),
    (lambda tmp_path: source_file(tmp_path, "motion-timeout = 250\nmotion-timeout = 0.5\n", "zibrel.conf"), 250),
], ids=["fifo", "dev-zero", "directory", "regular", "last-valid-line"])
def test_record_takes_the_motion_timeout_from_the_library(tmp_path, config, timeout_ms):
    path = tmp_path / "session.txt"
    env = environment(tmp_path, ZIBREL_DEVICE=f"file:{source_file(tmp_path, HELD)}", ZIBREL_CONFIG=config(tmp_path))
    memory = "" if "asan" in env.get("LD_PRELOAD", "") else (
        "import resource; resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.RLIM_INFINITY)); ")
    bounded = (f"{memory}import runpy, sys; sys.argv = ['pyzibrel', 'record', {str(path)!r}, '--seconds', '0.5']; "
               "runpy.run_module('pyzibrel', run_name='__main__', alter_sys=True)")
    done = subprocess.run([sys.executable, "-c", bounded], env=env, capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert f"# timeout ({timeout_ms} ms) the library let go" in path.read_text()


@pytest.mark.parametrize("target, why", [
    ("", "the file name is empty"),
    (".", "it is a directory"),
    ("/", "it is a directory"),
    ("{tmp}", "it is a directory"),
    ("{tmp}/new/", "it names a directory"),
    ("{tmp}/..", "it is a directory"),
])
def test_a_target_that_is_no_file_is_refused_before_recording(tmp_path, target, why):
    target = target.format(tmp=tmp_path)
    env = environment(tmp_path, ZIBREL_DEVICE=f"file:{source_file(tmp_path, HELD)}")
    before = sorted(tmp_path.rglob("*"))
    start = time.monotonic()
    done = pyzibrel(env, "record", target, "--seconds", "60", timeout=90)
    assert done.returncode == 2, done.stderr
    assert time.monotonic() - start < 30  # refused before recording
    assert f"Cannot record to '{target}': {why}." in done.stderr
    assert "Traceback" not in done.stderr and "Recording" not in done.stderr
    assert sorted(tmp_path.rglob("*")) == before


def test_a_device_file_source_records_its_held_motion_whole(tmp_path, monkeypatch):
    push = source_file(tmp_path, "0 motion 0 0 0 0 0.5 0\n0.3 motion 0 0 0 0 0 0\n0.6 end\n")
    path = tmp_path / "session.txt"
    done = pyzibrel(environment(tmp_path, ZIBREL_DEVICE=f"file:{push}"), "record", str(path), "--seconds", "1")
    assert done.returncode == 0, done.stderr
    # The held cap is reported for as long as it is held, as a device does.
    held = [t for t, words in recorded_lines(path) if words[0] == "motion" and words != ["motion"] + ["0"] * 6]
    assert held[0] == 0 and 0.28 <= held[-1] <= 0.3

    # Frames take the latest sample: averaged, the frame of the release would mix 0.5 and 0 (README).
    latest = source_file(tmp_path, "coalesce = latest\n", "zibrel.conf")

    def pan(source):
        monkeypatch.setenv("ZIBREL_DEVICE", f"file:{source}")
        monkeypatch.setenv("ZIBREL_CONFIG", str(latest))
        scene = Scene(camera=es.look_at((0, 0, 10), (0, 0, 0)))
        scene.open()
        for i in range(100):
            scene.frame(i * 10.0)
        scene._enable_navigation(False)
        return scene.camera[:3, 2] @ np.array([1.0, 0, 0])  # how far the view turned

    assert pan(path) == pytest.approx(pan(push), rel=0.05)


@pytest.mark.parametrize("command", [["monitor", "--seconds", "2"], ["record", "{tmp}/out.txt", "--seconds", "2"]],
                         ids=["monitor", "record"])
def test_a_device_file_time_beyond_any_clock_is_refused_naming_its_line(tmp_path, command):
    # Epoch microseconds written as seconds: more than 292 years from the start.
    source = source_file(tmp_path, "0 motion 0 0 0 0 0.5 0\n1700000000000000 motion 0 0 0 0 0 0\n")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = pyzibrel(environment(tmp_path, ZIBREL_DEVICE=f"file:{source}"), *[a.format(tmp=tmp_path) for a in command],
                    timeout=30)
    spent = resource.getrusage(resource.RUSAGE_CHILDREN)
    assert done.returncode == 1, done.stderr
    assert f"device file {source} line 2: '1700000000000000' is not a time in seconds" in done.stderr
    assert spent.ru_utime - before.ru_utime < 5  # never a busy wait


@pytest.mark.parametrize("command, lines_read, code", [
    (["status"], 0, 0),
    (["status", "--json"], 0, 0),
    (["monitor", "--seconds", "0.5"], 0, 0),
    (["monitor", "--seconds", "1"], 1, 0),  # `| head -1`: the display's last frame meets the closed pipe
    (["status", "--no-device"], 0, 1),
], ids=["status", "status-json", "monitor", "monitor-after-a-line", "status-no-device"])
def test_a_closed_pipe_ends_the_output_quietly(tmp_path, command, lines_read, code):
    source = source_file(tmp_path, HELD)
    env = environment(tmp_path, ZIBREL_DEVICE="none" if "--no-device" in command else f"file:{source}")
    command = [a for a in command if a != "--no-device"]
    reader, writer = os.pipe()
    output = open(reader, "rb")
    if lines_read == 0:
        output.close()  # nobody reads: like `| head -0`, every write meets a broken pipe
    with subprocess.Popen([sys.executable, "-m", "pyzibrel", *command], env=env, stdout=writer,
                          stderr=subprocess.PIPE, text=True) as child:
        os.close(writer)
        try:
            for _ in range(lines_read):
                assert output.readline()
            output.close()  # `head -1` has its line and goes
            err = child.communicate(timeout=30)[1]
        finally:
            output.close()
            child.kill()
    assert child.returncode == code, err  # the command's own answer, not the pipe's
    assert err == ""
