"""Callbacks from library threads, models going away under them, and exit."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import zibrel_ctl as ctl
from _pyzibrel import ZibrelMatrix, ZibrelNavigationModel

MATRIX = tuple(float(i) for i in range(16))


class Counting(ZibrelNavigationModel):
    def __init__(self):
        super().__init__(True, 0)
        self.reads = 0
        self.threads = set()

    def _get_camera_matrix(self):
        self.reads += 1
        self.threads.add(threading.get_ident())
        return ZibrelMatrix(*MATRIX)


def connect(model, profile="threads"):
    model._put_profile_hint(profile)
    model._enable_navigation(True)
    return ctl.last_connection()


def test_calls_from_fresh_library_threads():
    model = Counting()
    conn = connect(model)
    failures, first = ctl.call_threads(conn, "view.affine", ctl.Value(type=ctl.AUTO), threads=4, calls=2500)
    assert (failures, first) == (0, 0)
    assert model.reads == 10000
    assert threading.get_ident() not in model.threads
    model._enable_navigation(False)


def test_library_threads_call_while_python_runs_here():
    model = Counting()
    conn = connect(model)
    hammer = ctl.hammer_start(conn, "view.affine", ctl.Value(type=ctl.AUTO), threads=3)
    total = 0
    deadline = time.monotonic() + 1.0
    while time.monotonic() < deadline or ctl.lib.zbctl_hammer_calls(hammer) < 3000:
        total += sum(i * i for i in range(200))  # the main thread keeps running Python
    calls, failures = ctl.hammer_stop(hammer)
    assert failures == 0
    assert calls >= 3000
    assert model.reads == calls
    assert total > 0
    model._enable_navigation(False)


@pytest.mark.parametrize("keep_calling_after_close", [False, True])
def test_model_dropped_while_library_threads_call(capfd, keep_calling_after_close):
    for _ in range(20):
        model = Counting()
        conn = connect(model)
        hammer = ctl.hammer_start(conn, "view.affine", ctl.Value(type=ctl.AUTO), threads=3,
                                  keep_after_close=keep_calling_after_close)
        while ctl.lib.zbctl_hammer_calls(hammer) < 50:
            time.sleep(0.0005)
        del model  # the last reference: the model must stop every callback first
        gc.collect()
        time.sleep(0.005)
        calls, failures = ctl.hammer_stop(hammer)
        assert calls >= 50
        if not keep_calling_after_close:
            assert ctl.lib.zbctl_open_connections() == 0
    err = capfd.readouterr().err
    for line in err.splitlines():
        # Only refused callbacks may be reported; nothing may have reached a dead model.
        assert not line.startswith("Fatal"), err


def test_reentrant_disable_and_publish_from_inside_a_callback():
    class Reentrant(ZibrelNavigationModel):
        def _get_camera_matrix(self):
            self._begin_command_set("S", "From a callback")
            self._end_command_set()
            self._enable_navigation(False)  # closes the connection from inside its own callback
            return ZibrelMatrix(*MATRIX)

    model = Reentrant(False, 0)
    conn = connect(model)
    result, _ = ctl.get(conn, "view.affine")
    assert result == 0
    assert model._is_enabled() is False
    assert ctl.tree(conn) == "0 S|From a callback|-\n"


EXIT_SCRIPT = textwrap.dedent("""
    import sys, time
    sys.path.insert(0, {tests!r})
    import zibrel_ctl as ctl
    from _pyzibrel import ZibrelMatrix, ZibrelNavigationModel

    class Slow(ZibrelNavigationModel):
        def _get_camera_matrix(self):
            time.sleep(0.0002)  # lets go of the interpreter lock inside the override
            return ZibrelMatrix()

    model = Slow(True, 0)
    model._put_profile_hint("exit")
    model._enable_navigation(True)
    hammer = ctl.hammer_start(ctl.last_connection(), "view.affine", ctl.Value(type=ctl.AUTO), 4,
                              keep_after_close={keep})
    while ctl.lib.zbctl_hammer_calls(hammer) < 20:
        time.sleep(0.001)
    {ending}
""")


@pytest.mark.parametrize("keep", [0, 1])
@pytest.mark.parametrize("ending, status", [
    ("sys.exit(3)", 3),
    ("pass", 0),
    ("del model; raise SystemExit(4)", 4),
])
def test_process_exits_cleanly_while_library_threads_call_back(ending, status, keep):
    script = EXIT_SCRIPT.format(tests=os.path.dirname(__file__), keep=keep, ending=ending)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == status, done.stderr
    assert "Fatal Python error" not in done.stderr
    assert "terminate called" not in done.stderr
