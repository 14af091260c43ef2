"""The library's one thread: every connection's frames and device input are served
by at most one thread of the library, started when needed and gone with the last
connection; library-timed frames run on input."""

import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

# Opens `n` connections, says how many threads the process has before, while they
# are open (after each got input) and once they are closed again.
# What both scripts begin with: the process's thread count and a bounded wait.
PRELUDE = """
    import os, sys, time
    sys.path.insert(0, {here!r})
    import engine_support as es

    def tasks():
        return len(os.listdir("/proc/self/task"))

    def settle(until, seconds=10.0):
        deadline = time.monotonic() + seconds
        while not until() and time.monotonic() < deadline:
            time.sleep(0.01)
        return until()

    before = tasks()
"""

SCRIPT = textwrap.dedent(PRELUDE + """
    scenes = [es.Scene() for _ in range({n})]
    conns = [s.open(profile="threads", app_timing={app_timing}) for s in scenes]
    for c in conns:
        assert es.sample(c, -1, x=0.5) == 0
        es.button(c, -1, 7)
    if not {app_timing}:
        # Every connection's frames run, on the one thread.
        assert settle(lambda: all(es.frame_count(c) > 0 for c in conns)), "a connection got no frames"
    during = tasks()
    for s in scenes:
        s._enable_navigation(False)
    ended = settle(lambda: tasks() == before)
    print(before, during, tasks(), ended)
""")


@pytest.mark.parametrize("device, app_timing, added", [
    ("none", True, 0),    # application timing and no live source: no thread of the library at all
    ("none", False, 1),   # library timing: one thread for every connection's frames
    ("hid", True, 1),     # a live source: one thread reads it
    ("hid", False, 1),    # and the same thread serves the frames
])
@pytest.mark.parametrize("n", [1, 60])
def test_connections_share_at_most_one_library_thread(tmp_path, device, app_timing, added, n):
    (tmp_path / "dev").mkdir()
    env = dict(os.environ, ZIBREL_DEVICE=device, ZIBREL_HID_ROOT=str(tmp_path),
               SPNAV_SOCKET=str(tmp_path / "no-daemon.sock"), ZIBREL_CONFIG=str(tmp_path / "none.conf"))
    done = subprocess.run([sys.executable, "-c", SCRIPT.format(here=HERE, n=n, app_timing=app_timing)],
                          capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    before, during, after, ended = done.stdout.split()
    assert int(during) - int(before) == added, f"threads before, while open, after: {done.stdout}"
    assert ended == "True", f"the library's thread outlived its last connection: {done.stdout}"


def test_a_library_timed_frame_runs_on_input_once_the_last_is_a_period_old(tmp_path, monkeypatch):
    import time

    import engine_support as es

    # One frame a second: a frame that waited for the library's clock would come
    # up to a second late; one run on input comes at once.
    conf = tmp_path / "zibrel.conf"
    conf.write_text("frame-rate = 1\n")
    monkeypatch.setenv("ZIBREL_CONFIG", str(conf))
    monkeypatch.setenv("ZIBREL_DEVICE", "none")
    scene = es.Scene()
    conn = scene.open(app_timing=False)
    try:
        es.button(conn, -1, 7)
        deadline = time.monotonic() + 5
        while es.frame_count(conn) == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert es.frame_count(conn) > 0
        time.sleep(1.2)  # the last frame is more than a period old
        for press in (True, False):
            frames = es.frame_count(conn)
            es.button(conn, -1, 7, press)
            start = time.monotonic()
            while es.frame_count(conn) == frames and time.monotonic() - start < 5:
                time.sleep(0.005)
            took = time.monotonic() - start
            assert es.frame_count(conn) > frames
            # Well below the period: a frame waiting for the next clock tick would be later.
            assert took < 0.8, f"the frame for input came {took:.2f} s later, on the library's clock"
            time.sleep(1.2)
    finally:
        scene._enable_navigation(False)


# A spacenavd connection: its exchanges are bounded by a watch of their own,
# which may run while they come, but leaves once they stop.
SPACENAVD_SCRIPT = textwrap.dedent(PRELUDE + """
    scene = es.Scene()
    scene.open(profile="threads", app_timing=True)
    print("open", flush=True)
    sys.stdin.readline()  # the daemon has sent its events
    quiet = settle(lambda: tasks() - before <= 1)
    print(tasks() - before, quiet, flush=True)
    scene._enable_navigation(False)
    print(settle(lambda: tasks() == before), flush=True)
""")


def test_a_quiet_spacenavd_connection_keeps_only_the_library_thread(tmp_path):
    from fake_spacenavd import FakeSpacenavd

    daemon = FakeSpacenavd(tmp_path / "spnav.sock")
    env = dict(os.environ, ZIBREL_DEVICE="spacenavd", SPNAV_SOCKET=daemon.path,
               ZIBREL_CONFIG=str(tmp_path / "none.conf"))
    with subprocess.Popen([sys.executable, "-c", SPACENAVD_SCRIPT.format(here=HERE)], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env) as child:
        try:
            assert child.stdout.readline().strip() == "open", child.stderr.read()
            assert daemon.wait_for_client(10), "the library never connected to the daemon"
            daemon.hold(0.3, rz=100)
            child.stdin.write("sent\n")
            child.stdin.flush()
            added, quiet = child.stdout.readline().split()
            ended = child.stdout.readline().strip()
            assert child.wait(timeout=30) == 0, child.stderr.read()
        finally:
            child.kill()
            daemon.stop()
    assert (int(added), quiet) == (1, "True"), "more than the library's thread stayed with a quiet daemon"
    assert ended == "True", "a thread outlived the last connection"
