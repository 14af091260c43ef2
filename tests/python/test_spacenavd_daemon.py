"""Our spacenavd reader against the real daemon (Debian's spacenavd, started
without a device on a socket of the test's own) and against a daemon that
keeps closing the connection mid-packet."""

import ctypes
import json
import os
import shutil
import socket
import struct
import subprocess
import threading
import time

import pytest

import zibrel_ctl as ctl
from engine_support import Scene

SPACENAVD = shutil.which("spacenavd")
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


# The daemon is started in the test's directory: run without daemonizing, it
# makes its socket at run/spnav.sock of its working directory. Where mount
# namespaces are permitted it also gets a /var/run of its own (the same
# directory, for a daemon that uses the absolute path) and sees no input
# devices and no X display of the machine.
INSIDE = """
mount --bind "$1" /var/run || exit 97
if [ -d /dev/input ]; then mount -t tmpfs tmpfs /dev/input; fi
if [ -d /tmp/.X11-unix ]; then mount -t tmpfs tmpfs /tmp/.X11-unix; fi
exec "$2" -d -v -c "$3" -l "$4"
"""


def namespace_prefix():
    own = ["unshare", "-m", "--propagation", "private"]
    candidates = [own] if os.geteuid() == 0 else [["unshare", "-Urm", "--propagation", "private"], ["sudo", "-n", *own]]
    for prefix in candidates:
        try:
            if subprocess.run([*prefix, "true"], capture_output=True, timeout=10).returncode == 0:
                return prefix
        except (OSError, subprocess.TimeoutExpired):
            continue
    return None


class RealSpacenavd:
    def __init__(self, directory):
        self.dir = directory
        self.run_dir = directory / "run"
        self.run_dir.mkdir()
        self.config = directory / "spnavrc"
        self.config.write_text("")
        self.socket = str(self.run_dir / "spnav.sock")
        self.prefix = namespace_prefix()
        self.proc = None
        self.starts = 0

    @property
    def log_path(self):
        return self.dir / f"spnavd-{self.starts}.log"

    def start(self):
        self.starts += 1
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        self.out = open(self.dir / f"spnavd-{self.starts}.out", "wb")
        if self.prefix is not None:
            command = [*self.prefix, "sh", "-c", INSIDE, "sh", str(self.run_dir), SPACENAVD, str(self.config),
                       str(self.log_path)]
        else:
            command = [SPACENAVD, "-d", "-v", "-c", str(self.config), "-l", str(self.log_path)]
        self.proc = subprocess.Popen(command, cwd=self.dir, stdout=self.out, stderr=subprocess.STDOUT, env=env)
        assert wait_for(lambda: os.path.exists(self.socket) or self.proc.poll() is not None, 10)
        assert self.proc.poll() is None, (self.dir / f"spnavd-{self.starts}.out").read_text()

    def stop(self):
        if self.proc is None:
            return
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
        self.proc = None
        self.out.close()
        if os.path.exists(self.socket):
            os.unlink(self.socket)

    def log(self):
        text = ""
        for name in (self.log_path, self.dir / f"spnavd-{self.starts}.out"):
            if os.path.exists(name):
                text += name.read_text(errors="replace")
        return text

    def queries(self):
        """Device-name requests the daemon answered since it last started."""
        return self.log().count("request DEV_NAME")


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


class ClosingDaemon:
    """Accepts, answers libspnav's version request, sends half an event and closes."""

    def __init__(self, path):
        self.path = str(path)
        self.accepts = 0
        self._server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._server.bind(self.path)
        self._server.listen(16)
        self._server.settimeout(0.05)
        self._stop = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stop:
            try:
                client, _ = self._server.accept()
            except (socket.timeout, OSError):
                continue
            self.accepts += 1
            client.settimeout(1.0)
            try:
                if len(client.recv(4)) == 4:
                    client.sendall(struct.pack("<i", 0))
                client.sendall(struct.pack("<3i", 0, 100, 0))  # 12 of an event's 32 bytes
            except OSError:
                pass
            client.close()

    def stop(self):
        self._stop = True
        self._thread.join(5)
        self._server.close()


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
