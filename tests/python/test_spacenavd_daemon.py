"""Our spacenavd reader against the real daemon (Debian's spacenavd, started
without a device on a socket of the test's own), against a daemon that
keeps closing the connection mid-packet and against daemons that answer part
of an exchange and fall silent."""

import ctypes
import json
import os
import struct
import subprocess
import sys
import threading
import time

import pytest

import zibrel_ctl as ctl
from engine_support import Scene
from real_spacenavd import SPACENAVD, RealSpacenavd
from unix_server import UnixServer

HAVE_LIBSPNAV = any(os.path.exists(os.path.join(d, "libspnav.so.0"))
                    for d in ("/usr/lib/x86_64-linux-gnu", "/usr/lib", "/usr/local/lib", "/usr/lib/aarch64-linux-gnu"))
pytestmark = pytest.mark.skipif(not HAVE_LIBSPNAV, reason="libspnav0 is not installed (./dev test installs it)")
needs_daemon = pytest.mark.skipif(SPACENAVD is None, reason="spacenavd is not installed (./dev test installs it)")

_info = ctl.lib.zbx_device_info
_info.restype, _info.argtypes = ctypes.c_size_t, [ctypes.c_char_p, ctypes.c_size_t]


def device_info():
    buf = ctypes.create_string_buffer(1 << 16)
    n = _info(buf, len(buf))
    assert n < len(buf)
    return json.loads(buf.value.decode())


def wait_for(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


@pytest.fixture
def real_daemon(tmp_path, monkeypatch):
    daemon = RealSpacenavd(tmp_path)
    monkeypatch.setenv("SPNAV_SOCKET", daemon.socket)
    monkeypatch.setenv("ZIBREL_DEVICE", "spacenavd")
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)
    daemon.start()
    yield daemon
    daemon.stop()


@needs_daemon
def test_the_real_daemon_answers_the_handshake_and_the_device_queries(real_daemon):
    info = device_info()
    assert info["usable"] is False
    assert info["sources"] == [{
        "source": "spacenavd", "path": real_daemon.socket, "available": True,
        "problem": f"spacenavd at {real_daemon.socket} answers but has no device.", "devices": []}]
    assert info["problems"] == [info["sources"][0]["problem"]]
    # The probe went through libspnav's version handshake (protocol 1) before asking.
    assert real_daemon.queries() == 1
    assert "request DEV_NAXES" in real_daemon.log() and "request DEV_NBUTTONS" in real_daemon.log()
    # A connection's reader connects and asks again; its answers are what device info gives then.
    scene = Scene()
    scene.open(app_timing=False)
    try:
        assert wait_for(lambda: real_daemon.queries() == 2)
        assert device_info()["sources"][0]["problem"] == info["sources"][0]["problem"]
        assert real_daemon.queries() == 2  # from the reader's connection, not a new one
    finally:
        scene._enable_navigation(False)


@needs_daemon
def test_the_reader_recovers_when_the_daemon_stops_and_starts_again(real_daemon, capfd):
    scene = Scene()
    scene.open(app_timing=False)
    told = []
    try:
        assert wait_for(lambda: real_daemon.queries() == 1)
        real_daemon.stop()
        assert wait_for(lambda: told.append(capfd.readouterr().err) or "closed the connection" in "".join(told))
        assert device_info()["sources"][0]["available"] is False
        time.sleep(2.5)  # a retry or two while it is away
        real_daemon.start()
        assert wait_for(lambda: real_daemon.queries() == 1, 15)  # reconnected, and asked again
    finally:
        scene._enable_navigation(False)
    told.append(capfd.readouterr().err)
    lines = [line for line in "".join(told).splitlines() if "spacenavd" in line]
    assert lines[0] == ("zibrel: spacenavd closed the connection; retrying in 2 s, then less often while it keeps "
                        "closing (at most every 30 s)")
    assert len(lines) == 2 and "no daemon answers at " + real_daemon.socket in lines[1], lines


class ClosingDaemon(UnixServer):
    """Accepts, answers libspnav's version request, sends half an event and closes."""

    def on_client(self, client):
        client.settimeout(1.0)
        try:
            if len(client.recv(4)) == 4:
                client.sendall(struct.pack("<i", 0))
            client.sendall(struct.pack("<3i", 0, 100, 0))  # 12 of an event's 32 bytes
        except OSError:
            pass
        client.close()


def test_a_daemon_that_keeps_closing_mid_packet_is_retried_with_back_off_and_told_once(tmp_path, monkeypatch, capfd):
    daemon = ClosingDaemon(tmp_path / "closing.sock")
    monkeypatch.setenv("SPNAV_SOCKET", daemon.path)
    monkeypatch.setenv("ZIBREL_DEVICE", "spacenavd")
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)
    scene = Scene()
    scene.open(app_timing=False)
    try:
        assert wait_for(lambda: daemon.accepts >= 1, 5)
        time.sleep(6.5)  # retries after 2 s, then 4 s: no busy loop
        accepts = daemon.accepts
    finally:
        scene._enable_navigation(False)
        daemon.stop()
    lines = [line for line in capfd.readouterr().err.splitlines() if "spacenavd" in line]
    assert 2 <= accepts <= 4, accepts
    assert lines == ["zibrel: spacenavd closed the connection; retrying in 2 s, then less often while it keeps "
                     "closing (at most every 30 s)"]


NO_DEVICE_APP = """\
import sys
sys.path.insert(0, {tests!r})
import engine_support as es
for _ in range(2):  # a second connection: still one notice per process
    scene = es.Scene()
    scene.open(app_timing=False)
    print("open", flush=True)
    sys.stdin.readline()  # until the daemon was asked
    scene._enable_navigation(False)
"""


@needs_daemon
@pytest.mark.parametrize("hid_device", [False, True], ids=["nothing else", "a HID device gives input"])
def test_a_daemon_without_a_device_is_told_once_when_nothing_else_gives_input(tmp_path, hid_device):
    import subprocess
    import sys
    import fake_hidraw as fh
    daemon = RealSpacenavd(tmp_path)
    root = tmp_path / "hid-root"
    (root / "sys/class/hidraw").mkdir(parents=True)
    device = fh.FakeHidraw(root, 0, fh.SIX_IN_ONE) if hid_device else None
    env = {k: v for k, v in os.environ.items() if k != "ZIBREL_CONFIG"}
    env.update(ZIBREL_DEVICE="auto", SPNAV_SOCKET=daemon.socket, ZIBREL_HID_ROOT=str(root))
    daemon.start()
    child = subprocess.Popen([sys.executable, "-c", NO_DEVICE_APP.format(tests=os.path.dirname(__file__))],
                             env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(2):
            assert child.stdout.readline() == "open\n"
            # The reader connects and asks the daemon about its device; it may stay connected
            # from one connection of the process to the next.
            assert wait_for(lambda: daemon.queries() >= 1, 20)
            time.sleep(0.5)  # the notice follows the answer on the reader's thread
            child.stdin.write("\n")
            child.stdin.flush()
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait(timeout=30)
        daemon.stop()
        if device is not None:
            device.unplug()
    assert child.returncode == 0, err
    notices = [line for line in err.splitlines() if "no 3D mouse found" in line]
    if hid_device:
        assert notices == [], err
    else:
        assert notices == [f"zibrel: no 3D mouse found for navigation (device = auto): spacenavd at {daemon.socket} "
                           f"answers but has no device; HID: no multi-axis controller among {root}/dev/hidraw*. "
                           "To fix it: plug the device in (spacenavd picks it up), and check that spacenavd may "
                           "read it (its log says). Set ZIBREL_DEVICE=none to turn device input and this notice "
                           "off."], err
class HalfAnsweringDaemon(UnixServer):
    """Accepts every connection and answers part of an exchange, then holds the
    connection open without a word more (or closes it):

    - "version": 1 of the 4 bytes of the protocol version reply;
    - "query": the version (protocol 1), then 8 of the 32 bytes of a device query's reply;
    - "closes": the version (protocol 1), then closes before any device query.
    """

    REPLIES = {"version": [b"\x01"], "query": [struct.pack("<i", 1), b"\0" * 8], "closes": [struct.pack("<i", 1)]}

    def __init__(self, path, mode):
        self.mode = mode
        self._held = []
        super().__init__(path)

    def on_client(self, client):
        threading.Thread(target=self._answer, args=(client,), daemon=True).start()

    def _answer(self, client):
        client.settimeout(5.0)
        try:
            for i, reply in enumerate(self.REPLIES[self.mode]):
                # The version request is 4 bytes, a device query 32.
                if not client.recv(4 if i == 0 else 32):
                    return
                client.sendall(reply)
            if self.mode == "closes":
                client.close()
                return
        except OSError:
            return
        self._held.append(client)  # not a word more, and never closed

    def stop(self):
        super().stop()
        for c in self._held:
            c.close()


DAEMON_MODES = list(HalfAnsweringDaemon.REPLIES)

DEVICES_WHILE_READING = """
import json, sys, time
sys.path.insert(0, {tests!r})
import engine_support as es
import pyzibrel
scene = es.Scene()
scene.open(app_timing=False)  # the library's reader meets the daemon
time.sleep(0.5)
took = []
for _ in range(3):
    start = time.monotonic()
    info = pyzibrel.devices()
    took.append(time.monotonic() - start)
scene._enable_navigation(False)
(source,) = info.sources
print(json.dumps({{"took": took, "available": source.available, "problem": source.problem}}))
"""


@pytest.fixture(params=DAEMON_MODES)
def half_daemon(request, tmp_path):
    daemon = HalfAnsweringDaemon(tmp_path / "half.sock", request.param)
    yield daemon
    daemon.stop()


def test_a_half_answering_daemon_never_holds_up_device_information(half_daemon):
    env = dict(os.environ, SPNAV_SOCKET=half_daemon.path, ZIBREL_DEVICE="spacenavd")
    env.pop("ZIBREL_CONFIG", None)
    done = subprocess.run([sys.executable, "-c", DEVICES_WHILE_READING.format(tests=os.path.dirname(__file__))],
                          capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    answer = json.loads(done.stdout)
    assert max(answer["took"]) < 5, answer
    assert answer["available"] is False
    assert answer["problem"].startswith(f"spacenavd at {half_daemon.path} does not answer"), answer
    # The reader tells it once, however often it tries again.
    told = [line for line in done.stderr.splitlines() if "spacenavd" in line]
    assert len(told) == 1 and f"spacenavd at {half_daemon.path} does not answer" in told[0], done.stderr


@pytest.mark.parametrize("command", [["status"], ["monitor", "--seconds", "1"], ["record", "{tmp}/out.txt",
                                                                                  "--seconds", "1"]],
                         ids=["status", "monitor", "record"])
def test_the_command_line_tools_report_a_half_answering_daemon(half_daemon, tmp_path, command):
    env = dict(os.environ, SPNAV_SOCKET=half_daemon.path, ZIBREL_DEVICE="spacenavd")
    env.pop("ZIBREL_CONFIG", None)
    args = [a.format(tmp=tmp_path) for a in command]
    start = time.monotonic()
    done = subprocess.run([sys.executable, "-m", "pyzibrel", *args], capture_output=True, text=True, timeout=60,
                          env=env)
    assert time.monotonic() - start < 20
    assert done.returncode == 1, done.stdout + done.stderr  # no device can be used
    assert f"spacenavd at {half_daemon.path} does not answer" in done.stdout + done.stderr
    assert "Traceback" not in done.stderr
