"""The direct HID source through the real module: a fake hidraw tree under
ZIBREL_HID_ROOT, reports written to its node, the camera moving; device
information and the raw-input monitor of the library's extras."""

import ctypes
import json
import os
import pathlib
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np
import pytest

import pyzibrel

import fake_hidraw as fh
import zibrel_ctl as ctl
from engine_support import Scene
from fake_hidraw import FakeHidraw
from unix_server import UnixServer

FULL = 350  # the fake devices' full deflection


class ZbxEvent(ctypes.Structure):
    _fields_ = [("t_ms", ctypes.c_double), ("kind", ctypes.c_int32), ("button", ctypes.c_int32),
                ("axes", ctypes.c_double * 6)]


lib = ctl.lib
lib.zbx_device_info.restype, lib.zbx_device_info.argtypes = ctypes.c_size_t, [ctypes.c_char_p, ctypes.c_size_t]
lib.zbx_monitor_open.restype, lib.zbx_monitor_open.argtypes = ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_size_t]
lib.zbx_monitor_read.restype = ctypes.c_int
lib.zbx_monitor_read.argtypes = [ctypes.c_void_p, ctypes.POINTER(ZbxEvent), ctypes.c_int, ctypes.c_int]
lib.zbx_monitor_close.restype, lib.zbx_monitor_close.argtypes = None, [ctypes.c_void_p]


def device_info():
    n = lib.zbx_device_info(None, 0)
    buf = ctypes.create_string_buffer(n + 1)
    assert lib.zbx_device_info(buf, n + 1) == n
    return json.loads(buf.value.decode())


@pytest.fixture
def hid_env(tmp_path, monkeypatch):
    """A tree of its own, no spacenavd, a button bound to an application command."""
    root = tmp_path / "root"
    root.mkdir()
    monkeypatch.setenv("ZIBREL_HID_ROOT", str(root))
    monkeypatch.setenv("SPNAV_SOCKET", str(tmp_path / "no-daemon.sock"))
    monkeypatch.setenv("ZIBREL_DEVICE", "hid")
    conf = tmp_path / "zibrel.conf"
    conf.write_text("button.0 = app.home\nbutton.1 = app.measure\n")
    monkeypatch.setenv("ZIBREL_CONFIG", str(conf))
    devices = []
    yield root, devices
    for d in devices:
        try:
            d.unplug()
        except OSError:
            pass


def add(hid_env, number, layout, **kw):
    root, devices = hid_env
    d = FakeHidraw(root, number, layout, **kw)
    devices.append(d)
    return d


def drive(scene, device, until, t0=0.0, seconds=5.0, **axes):
    """Application frames every 10 ms while the device sends `axes`; True once until()."""
    t = t0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if axes:
            device.motion(**axes)
        t += 10
        scene.frame(t)
        if until():
            return t
        time.sleep(0.005)
    return None


def resident_kb():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def wait_for(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


@pytest.mark.parametrize("layout", fh.LAYOUTS, ids=repr)
def test_reports_move_the_camera_and_buttons_reach_their_bindings(hid_env, layout):
    device = add(hid_env, 0, layout)
    scene = Scene()
    scene.open()
    try:
        start = scene.camera.copy()
        # Turning the cap about y turns the model: the camera goes round to -x.
        t = drive(scene, device, lambda: scene.camera[0, 2] < -0.1, ry=FULL)
        assert t is not None, "rotation reports did not turn the camera"
        device.motion()  # let go
        t = drive(scene, device, lambda: ("motion", False) in scene.events, t0=t)
        assert t is not None
        # A pan to the right moves the camera to the left of where it was.
        eye = scene.camera[:3, 3].copy()
        right = scene.camera[:3, 0].copy()
        t = drive(scene, device, lambda: np.dot(scene.camera[:3, 3] - eye, right) < -0.5, t0=t, x=FULL)
        assert t is not None, "translation reports did not pan the camera"
        device.motion()
        device.press(0b01)
        device.press(0b00)
        device.press(0b10)
        t = drive(scene, device, lambda: ("commands.activeCommand", "app.measure") in scene.events, t0=t)
        assert t is not None, "the buttons did not reach their bindings"
    finally:
        scene._enable_navigation(False)
    commands = [v for n, v in scene.events if n == "commands.activeCommand"]
    assert commands == ["app.home", "app.measure"]  # one press each, releases bind nothing
    assert not np.allclose(scene.camera, start)


def test_a_device_unplugged_and_plugged_back_works_again(hid_env, capfd):
    device = add(hid_env, 0, fh.SEPARATE)
    scene = Scene()
    scene.open()
    try:
        t = drive(scene, device, lambda: "view.affine" in scene.names(), rx=FULL)
        assert t is not None
        device.motion()
        device.unplug()
        told = []
        assert wait_for(lambda: told.append(capfd.readouterr().err) or "is gone" in "".join(told))
        device.plug()
        before = len(scene.names(["view.affine"]))
        scene.events.clear()
        t = drive(scene, device, lambda: "view.affine" in scene.names(), t0=t + 1000, rx=FULL)
        assert t is not None, "the device plugged back in moved nothing"
        assert before > 0
    finally:
        scene._enable_navigation(False)


DEEP = b"".join([fh.usage_page(1), fh.usage(8), fh.collection(1)] + [fh.collection(0)] * 40
                + [fh.three_axes(fh.X)] + [fh.end_collection()] * 41)
BAD_DESCRIPTORS = [
    ("truncated", fh.SEPARATE.descriptor[:-2], "its report descriptor is truncated"),
    ("absurd size", fh.multi_axis(fh.three_axes(fh.X), fh.report_size(8), fh.report_count(100000),
                                  fh.input_(fh.CONSTANT)), "it declares an absurd report size"),
    ("no axes", fh.multi_axis(fh.buttons(2, 6)), "it declares no axes"),
    ("deep nesting", DEEP, "it nests collections deeper than 32"),
]


@pytest.mark.parametrize("name, descriptor, why", BAD_DESCRIPTORS, ids=[c[0] for c in BAD_DESCRIPTORS])
def test_a_bad_descriptor_is_refused_by_name_and_other_devices_keep_working(hid_env, capfd, name, descriptor, why):
    root, _ = hid_env
    add(hid_env, 0, fh.SEPARATE, descriptor=descriptor, name="Broken controller")
    good = add(hid_env, 1, fh.SIX_IN_ONE)
    scene = Scene()
    scene.open()
    try:
        assert drive(scene, good, lambda: "view.affine" in scene.names(), ry=FULL) is not None
    finally:
        scene._enable_navigation(False)
    err = capfd.readouterr().err
    assert f"zibrel: HID device {root}/dev/hidraw0 (Broken controller) is refused: {why}" in err
    assert err.count("is refused") == 1  # told once, not every scan
    info = device_info()
    hid = next(s for s in info["sources"] if s["source"] == "hid")
    assert [d["problem"] is None for d in hid["devices"]] == [False, True]
    assert info["usable"] is True


def test_a_node_that_only_sends_garbage_is_left_alone(hid_env, capfd):
    root, _ = hid_env
    zero = add(hid_env, 0, fh.SEPARATE, name="Zero")
    zero.unplug()
    (root / "sys/class/hidraw/hidraw0/device").mkdir(parents=True)
    (root / "sys/class/hidraw/hidraw0/device/report_descriptor").write_bytes(fh.SEPARATE.descriptor)
    os.symlink("/dev/zero", root / "dev/hidraw0")  # endless reports of no described length
    good = add(hid_env, 1, fh.SIX_IN_ONE)
    scene = Scene()
    scene.open()
    told = []
    try:
        assert wait_for(lambda: told.append(capfd.readouterr().err) or "sends nothing" in "".join(told))
        assert drive(scene, good, lambda: "view.affine" in scene.names(), ry=FULL) is not None
    finally:
        scene._enable_navigation(False)
        os.unlink(root / "dev/hidraw0")
    told.append(capfd.readouterr().err)
    assert (f"zibrel: HID device {root}/dev/hidraw0 (multi-axis controller hidraw0) sends nothing its report "
            "descriptor describes; it is left alone until it is plugged in again.") in "".join(told)


class AcceptsAndCloses(UnixServer):
    """A SOCK_SEQPACKET node that takes every connection and ends it at once."""

    def __init__(self, path):
        super().__init__(path, socket.SOCK_SEQPACKET, backlog=8)


def node_accepting_and_closing(node):
    return AcceptsAndCloses(node)


def node_reading_as_end_of_file(node):
    os.symlink("/dev/null", node)


@pytest.mark.parametrize("make_node", [node_accepting_and_closing, node_reading_as_end_of_file],
                         ids=["accepts and closes", "reads as end of file"])
def test_a_node_that_ends_every_read_is_told_gone_once_and_reopened_less_and_less(hid_env, capfd, make_node):
    root, _ = hid_env
    device = root / "sys/class/hidraw/hidraw0/device"
    device.mkdir(parents=True)
    (device / "report_descriptor").write_bytes(fh.SEPARATE.descriptor)
    (root / "dev").mkdir()
    node = make_node(root / "dev/hidraw0")
    scene = Scene()
    scene.open()
    try:
        time.sleep(4)
    finally:
        scene._enable_navigation(False)
        if node is not None:
            node.stop()
    err = capfd.readouterr().err
    assert err.count(f"zibrel: HID device {root}/dev/hidraw0 (multi-axis controller hidraw0) is gone") == 1, err
    if node is not None:
        assert 1 <= node.accepts <= 8, node.accepts  # not ten times a second


BAD_REPORTS = [
    ("short", lambda: [b"\x02" + fh._h(0, FULL)]),
    ("long", lambda: [b"\x02" + fh._h(0, FULL, 0, 0)]),
    ("unknown id", lambda: [b"\x07" + fh._h(0, FULL, 0)]),
    ("empty", lambda: [b""]),
]


@pytest.mark.parametrize("name, reports", BAD_REPORTS, ids=[c[0] for c in BAD_REPORTS])
def test_reports_of_another_length_or_id_are_dropped(hid_env, name, reports):
    device = add(hid_env, 0, fh.SEPARATE, kind="socket")
    scene = Scene()
    scene.open()
    try:
        assert wait_for(lambda: device.readers() == 1)
        t = 0.0
        for _ in range(30):
            device.send(reports())
            t += 10
            scene.frame(t)
            time.sleep(0.005)
        assert "view.affine" not in scene.names()
        # The same device's well-formed reports still move the camera.
        assert drive(scene, device, lambda: "view.affine" in scene.names(), t0=t, ry=FULL) is not None
    finally:
        scene._enable_navigation(False)


def test_a_flooding_device_is_coalesced_per_frame(hid_env):
    device = add(hid_env, 0, fh.SIX_IN_ONE)
    report = fh.SIX_IN_ONE.motion(ry=FULL)[0]
    scene = Scene()
    scene.open()
    sent = 0
    rss_before = resident_kb()
    try:
        t = 0.0
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            try:
                n = os.write(device._fd, report * 500)
            except BlockingIOError:
                n = 0  # the pipe is full: the reader is behind, as with a flood
            if n % len(report):  # whole reports only, or the stream loses its framing
                tail = report[n % len(report):]
                while tail:
                    try:
                        tail = tail[os.write(device._fd, tail):]
                    except BlockingIOError:
                        time.sleep(0.001)
            sent += -(-n // len(report))
            t += 10
            scene.frame(t)
    finally:
        scene._enable_navigation(False)
    frames = t / 10
    writes = scene.names(["view.affine"])
    assert sent > 5000  # a flood indeed: five times what the fastest device sends in a second
    assert 0 < len(writes) <= frames  # at most one camera per frame
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # its quarantine keeps freed memory resident
        assert resident_kb() - rss_before < 64 * 1024


NOTICE = textwrap.dedent("""
    import sys
    sys.path.insert(0, {tests!r})
    import engine_support as es
    for _ in range(2):
        scene = es.Scene()
        scene.open()
        scene.frame(0)
        scene._enable_navigation(False)
""")


def test_auto_without_any_device_writes_one_notice_per_process(tmp_path):
    root = tmp_path / "root"
    (root / "sys/class/hidraw").mkdir(parents=True)
    socket_path = tmp_path / "no-daemon.sock"
    env = dict(os.environ, ZIBREL_HID_ROOT=str(root), SPNAV_SOCKET=str(socket_path))
    env.pop("ZIBREL_DEVICE")  # the default: auto
    env.pop("ZIBREL_CONFIG", None)
    done = subprocess.run([sys.executable, "-c", NOTICE.format(tests=os.path.dirname(__file__))],
                          capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    lines = [line for line in done.stderr.splitlines() if line.startswith("zibrel: ")]
    assert len(lines) == 1, done.stderr
    assert lines[0].startswith("zibrel: no 3D mouse found for navigation (device = auto). Tried spacenavd: "
                               f"no socket at {socket_path}; HID: no multi-axis controller among {root}/dev/hidraw*.")
    assert "ZIBREL_DEVICE=none" in lines[0]


def test_auto_uses_a_hid_device_and_writes_no_notice(hid_env, monkeypatch, capfd):
    monkeypatch.setenv("ZIBREL_DEVICE", "auto")
    device = add(hid_env, 0, fh.SIX_IN_ONE)
    scene = Scene()
    scene.open()
    try:
        assert drive(scene, device, lambda: "view.affine" in scene.names(), rz=FULL) is not None
    finally:
        scene._enable_navigation(False)
    assert "no 3D mouse" not in capfd.readouterr().err


PERMISSION = textwrap.dedent("""
    import ctypes, json, os, sys
    sys.path.insert(0, {tests!r})
    import engine_support as es, zibrel_ctl as ctl
    os.setgid(65534); os.setuid(65534)
    scene = es.Scene()
    scene.open()
    scene._enable_navigation(False)
    f = ctl.lib.zbx_device_info
    f.restype, f.argtypes = ctypes.c_size_t, [ctypes.c_char_p, ctypes.c_size_t]
    buf = ctypes.create_string_buffer(1 << 16)
    f(buf, len(buf))
    print(buf.value.decode())
""")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run the library as another user")
def test_permission_denied_names_the_device_and_the_udev_rule():
    # Root reads anything: the library runs as nobody, the node is root's alone.
    # The tree is outside pytest's own directory, which nobody may not enter.
    base = pathlib.Path(tempfile.mkdtemp(prefix="zibrel-hid-"))
    root = base / "root"
    try:
        root.mkdir()
        device = FakeHidraw(root, 0, fh.SEPARATE)
        os.chmod(device.node, 0o600)
        for d in [base, root, *[p for p in root.rglob("*") if p.is_dir()]]:
            os.chmod(d, 0o755)
        env = dict(os.environ, ZIBREL_HID_ROOT=str(root), SPNAV_SOCKET=str(base / "none.sock"),
                   ZIBREL_DEVICE="auto")
        env.pop("ZIBREL_CONFIG", None)
        done = subprocess.run([sys.executable, "-c", PERMISSION.format(tests=os.path.dirname(__file__))],
                              capture_output=True, text=True, timeout=60, env=env)
        device.unplug()
    finally:
        shutil.rmtree(base, ignore_errors=True)
    if "zibrel" not in done.stderr and done.returncode != 0:
        pytest.skip("this interpreter cannot run as nobody: " + done.stderr[-300:])
    assert done.returncode == 0, done.stderr
    rule = 'KERNEL=="hidraw*", KERNELS=="*:1234:ABCD.*", TAG+="uaccess"'
    expected = (f"HID device {root}/dev/hidraw0 (Test multi-axis controller) cannot be read: permission denied "
                f"(mode 0600, owner root, group root). Let your user read it with a udev rule: put the line  {rule}")
    notice = [line for line in done.stderr.splitlines() if "no 3D mouse found" in line]
    assert len(notice) == 1 and expected in notice[0], done.stderr
    info = json.loads(done.stdout)
    hid = next(s for s in info["sources"] if s["source"] == "hid")
    assert info["usable"] is False and hid["available"] is False
    assert hid["devices"][0]["connected"] is True and expected in hid["devices"][0]["problem"]


def test_device_info_names_each_source_and_device(hid_env, monkeypatch, tmp_path):
    root, _ = hid_env
    add(hid_env, 3, fh.SIX_IN_ONE, name="Cap \"six\" \u00e9")
    session = tmp_path / "session.txt"
    session.write_text("0 motion 0 0 0 0 0.5 0\n0.1 press 4\n0.2 release 4\n")
    monkeypatch.setenv("ZIBREL_DEVICE", f"auto, file:{session}")
    info = device_info()
    assert os.path.isabs(info["library"]) and info["library"].endswith("libQorZibrel.so")
    assert info["settings_file"] == os.environ["ZIBREL_CONFIG"]
    assert info["device_setting"] == f"auto, file:{session}"
    assert info["usable"] is True
    spacenavd, hid, file = info["sources"]
    assert spacenavd == {"source": "spacenavd", "path": str(tmp_path / "no-daemon.sock"), "available": False,
                         "problem": f"No spacenavd socket at {tmp_path / 'no-daemon.sock'} (start spacenavd, "
                                    "or set SPNAV_SOCKET).", "devices": []}
    assert hid == {"source": "hid", "path": f"{root}/dev/hidraw*", "available": True, "problem": None,
                   "devices": [{"name": "Cap \"six\" \u00e9", "path": f"{root}/dev/hidraw3", "axes": 6,
                                "buttons": 16, "connected": True, "problem": None}]}
    assert file["available"] is True and file["devices"][0]["buttons"] == 5
    # The source says why it is not available; with auto that is no problem while a device is ready.
    assert info["problems"] == []
    monkeypatch.setenv("ZIBREL_DEVICE", f"spacenavd, file:{session}")  # asked for by name: it is one
    assert device_info()["problems"] == [spacenavd["problem"]]


def test_device_info_without_sources_and_with_small_buffers(monkeypatch, tmp_path):
    conf = tmp_path / "zibrel.conf"
    conf.write_text("device = none\nbogus = 1\n")
    monkeypatch.setenv("ZIBREL_CONFIG", str(conf))
    monkeypatch.delenv("ZIBREL_DEVICE")
    info = device_info()
    assert info["sources"] == [] and info["usable"] is False and info["device_setting"] == "none"
    assert info["problems"] == [f"settings file {conf} line 2: unknown setting 'bogus'; line ignored."]
    full = lib.zbx_device_info(None, 0)
    text = ctypes.create_string_buffer(full + 1)
    assert lib.zbx_device_info(text, full + 1) == full and len(text.value) == full
    small = ctypes.create_string_buffer(b"\xff" * 16)
    assert lib.zbx_device_info(small, 10) == full  # the whole length: call again with more room
    assert small.raw[:10] == text.value[:9] + b"\0" and small.raw[10:] == b"\xff" * 6 + b"\0"


def read_events(monitor, want, seconds=5.0):
    events = (ZbxEvent * 64)()
    got = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not want(got):
        n = lib.zbx_monitor_read(monitor, events, 64, 100)
        assert n >= 0
        got += [(e.kind, e.button, tuple(e.axes), e.t_ms) for e in events[:n]]
    return got


def test_the_monitor_gives_raw_device_input(hid_env):
    device = add(hid_env, 0, fh.SEPARATE, kind="socket")
    error = ctypes.create_string_buffer(512)
    monitor = lib.zbx_monitor_open(error, len(error))
    assert monitor, error.value
    try:
        assert wait_for(lambda: device.readers() == 1)
        device.motion(x=175, ry=-350)
        device.press(0b10)
        device.press(0)
        got = read_events(monitor, lambda g: any(k == 2 for k, *_ in g))
        motions = [axes for kind, _, axes, _ in got if kind == 0]
        # Translation and rotation arrive in two reports: the second sample holds both.
        assert motions[-1] == (0.5, 0.0, 0.0, 0.0, -1.0, 0.0)
        assert [(k, b) for k, b, _, _ in got if k != 0] == [(1, 1), (2, 1)]
        times = [t for *_, t in got]
        assert times == sorted(times) and times[0] >= 0
        assert lib.zbx_monitor_read(monitor, (ZbxEvent * 1)(), 1, 0) == 0  # nothing more
    finally:
        lib.zbx_monitor_close(monitor)
    assert lib.zbx_monitor_read(monitor, (ZbxEvent * 1)(), 1, 0) == -1  # closed: an error, not a crash


def test_the_monitor_refuses_when_nothing_can_deliver_input(hid_env, monkeypatch):
    error = ctypes.create_string_buffer(1024)
    assert not lib.zbx_monitor_open(error, len(error))
    assert error.value.decode().startswith("No device can deliver input now (device = hid). No multi-axis controller")
    monkeypatch.setenv("ZIBREL_DEVICE", "none")
    assert not lib.zbx_monitor_open(error, len(error))
    assert error.value.decode().startswith("No device source is configured (device = none)")


@pytest.mark.skipif(not any(os.path.exists(os.path.join(d, "libspnav.so.0"))
                            for d in ("/usr/lib/x86_64-linux-gnu", "/usr/lib", "/usr/lib/aarch64-linux-gnu")),
                    reason="libspnav0 is not installed (./dev test installs it)")
def test_auto_uses_spacenavd_when_its_socket_exists(tmp_path, monkeypatch, capfd):
    from fake_spacenavd import FakeSpacenavd
    daemon = FakeSpacenavd(tmp_path / "spnav.sock")
    monkeypatch.setenv("SPNAV_SOCKET", daemon.path)
    monkeypatch.delenv("ZIBREL_DEVICE")  # the default
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)
    (tmp_path / "root").mkdir()
    monkeypatch.setenv("ZIBREL_HID_ROOT", str(tmp_path / "root"))
    scene = Scene()
    scene.open()
    try:
        assert daemon.wait_for_client()
        t = 0.0
        for _ in range(300):
            daemon.motion(ry=FULL)
            t += 10
            scene.frame(t)
            if "view.affine" in scene.names():
                break
            time.sleep(0.005)
    finally:
        scene._enable_navigation(False)
        daemon.stop()
    assert "view.affine" in scene.names()
    assert "no 3D mouse" not in capfd.readouterr().err


def test_a_device_plugged_in_while_open_is_found_without_a_rescan(hid_env):
    # Plugged in after the connection opened: inotify tells the reader at once,
    # long before the slow fallback rescan (10 s) would find it.
    scene = Scene()
    scene.open()
    try:
        device = add(hid_env, 3, fh.SEPARATE)
        t = drive(scene, device, lambda: "view.affine" in scene.names(), rx=FULL, seconds=4.0)
        assert t is not None, "a device plugged in while open moved nothing"
    finally:
        scene._enable_navigation(False)


# While the view moves under application timing, the application's frames read the
# device themselves and the library's thread leaves it alone; it reads again when the
# motion ends, when the frames stop coming, and when anyone else listens.

def readable(fd, seconds=0.0):
    return bool(select.select([fd], [], [], seconds)[0])


def start_turning(hid_env):
    device = add(hid_env, 0, fh.SIX_IN_ONE, kind="socket")
    scene = Scene()
    scene.open()
    t = drive(scene, device, lambda: "view.affine" in scene.names(), ry=FULL)
    assert t is not None, "the reports did not turn the camera"
    return device, scene, t


def test_frames_read_the_device_while_the_view_moves_and_a_stalled_application_is_read_for(hid_env):
    signal = pyzibrel.navigator._input_fd()
    device, scene, t = start_turning(hid_env)
    try:
        left_to_frames = False
        for _ in range(20):
            t += 10
            scene.frame(t)
            framed = time.monotonic()
            device.motion(ry=FULL)
            time.sleep(0.02)
            # Looked at well before the library's thread would take the reading back.
            if time.monotonic() - framed < 0.06 and not readable(signal):
                left_to_frames = True
                break
        assert left_to_frames, "the library's thread read a report the next frame was there to read"
        t += 10
        scene.frame(t)
        assert not readable(signal)  # the frame read the report and used it

        # The application stops ticking mid-motion: the library's thread reads again.
        scene.events.clear()
        device.motion(rx=FULL)
        assert readable(signal, 5.0), "a report sent while the application stalled was never read"
        t += 10
        scene.frame(t)
        assert "view.affine" in scene.names()
    finally:
        scene._enable_navigation(False)


def switches(tid):
    with open(f"/proc/self/task/{tid}/status") as f:
        return sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)


def test_the_library_thread_sleeps_while_frames_read_the_device(hid_env):
    device = add(hid_env, 0, fh.SIX_IN_ONE, kind="socket")
    before = set(os.listdir("/proc/self/task"))  # the fake device's own threads included
    scene = Scene()
    scene.open()
    try:
        t = drive(scene, device, lambda: "view.affine" in scene.names(), ry=FULL)
        assert t is not None, "the reports did not turn the camera"
        library = set(os.listdir("/proc/self/task")) - before
        assert len(library) == 1, f"expected the library's one thread, found {len(library)} new"
        tid = library.pop()
        for _ in range(5):
            woke, last, longest = switches(tid), time.monotonic(), 0.0
            for _ in range(30):  # half a second of frames at 60 Hz, a report before each
                device.motion(ry=FULL)
                time.sleep(1 / 60)
                t += 1000 / 60
                scene.frame(t)
                longest, last = max(longest, time.monotonic() - last), time.monotonic()
            woke = switches(tid) - woke
            if longest < 0.08:
                break  # else this process stalled long enough for the library's thread to take over: again
        assert longest < 0.08, "the frames never came on time (a machine this busy cannot tell)"
        # It used to look every 100 ms whether the frames still came.
        assert woke <= 1, f"the library's thread woke {woke} times while the frames read the device"
    finally:
        scene._enable_navigation(False)


def test_after_a_motion_the_next_touch_wakes_the_waiting_application(hid_env):
    signal = pyzibrel.navigator._input_fd()
    device, scene, t = start_turning(hid_env)
    try:
        device.motion()  # let go
        t = drive(scene, device, lambda: ("motion", False) in scene.events, t0=t)
        assert t is not None
        assert not readable(signal, 0.2)
        device.motion(ry=-FULL)
        assert readable(signal, 5.0), "the first report after a motion did not wake the application"
        scene.events.clear()
        assert drive(scene, device, lambda: "view.affine" in scene.names(), t0=t, ry=-FULL) is not None
    finally:
        scene._enable_navigation(False)


def test_a_monitor_opened_while_frames_read_the_device_sees_its_reports(hid_env):
    device, scene, t = start_turning(hid_env)
    error = ctypes.create_string_buffer(512)
    monitor = lib.zbx_monitor_open(error, len(error))
    assert monitor, error.value
    try:
        events = (ZbxEvent * 64)()
        seen = []
        deadline = time.monotonic() + 5.0
        while not seen and time.monotonic() < deadline:
            device.motion(rz=FULL)
            t += 10
            scene.frame(t)  # the frames go on as the monitor listens
            n = lib.zbx_monitor_read(monitor, events, 64, 10)
            assert n >= 0
            seen += [tuple(e.axes) for e in events[:n] if e.kind == 0]
        assert (0.0, 0.0, 0.0, 0.0, 0.0, 1.0) in seen, "the monitor saw none of the reports"
    finally:
        lib.zbx_monitor_close(monitor)
        scene._enable_navigation(False)
