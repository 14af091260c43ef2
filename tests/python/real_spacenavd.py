"""Debian's spacenavd, started by a test without a device on a socket of its own.

    daemon = RealSpacenavd(tmp_path)   # its socket: daemon.socket (set SPNAV_SOCKET to it)
    daemon.start(); ...; daemon.stop(); daemon.start()
"""

import os
import shutil
import subprocess
import time

SPACENAVD = shutil.which("spacenavd")


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


