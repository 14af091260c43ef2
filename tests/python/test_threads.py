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


def run_script(script, timeout=60):
    """Runs a script in a fresh interpreter; a hang inside it fails the test after timeout seconds."""
    source = textwrap.dedent(script).replace("TESTS", repr(os.path.dirname(__file__)))
    return subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=timeout)


LAST_REFERENCE_DROPPED_WHILE_ANOTHER_THREAD_CALLS = """
    import sys, threading, time
    sys.path.insert(0, TESTS)
    import zibrel_ctl as ctl
    from _pyzibrel import ZibrelMatrix, ZibrelNavigationModel

    b_inside = threading.Event()
    holder = []

    class Model(ZibrelNavigationModel):
        @staticmethod
        def _get_camera_matrix():
            # Thread B: a static method, so B's call holds no reference to the model.
            b_inside.set()
            time.sleep(0.3)
            return ZibrelMatrix()

        def _get_view_fov(self):
            # Thread A: the application's reference goes; this call holds the last one,
            # and the destructor runs here, waiting for B.
            holder.clear()
            return 0.5

    holder.append(Model(True, 0))
    holder[0]._put_profile_hint("wake")
    holder[0]._enable_navigation(True)
    conn = ctl.last_connection()
    b = threading.Thread(target=ctl.call_threads, args=(conn, "view.affine", ctl.Value(type=ctl.AUTO), 1, 1))
    b.start()
    assert b_inside.wait(10)
    a = threading.Thread(target=ctl.call_threads, args=(conn, "view.fov", ctl.Value(type=ctl.AUTO), 1, 1))
    a.start()
    a.join()
    b.join()
    print("open connections:", ctl.lib.zbctl_open_connections())
"""


def test_destructor_inside_a_callback_is_woken_when_another_threads_call_ends():
    done = run_script(LAST_REFERENCE_DROPPED_WHILE_ANOTHER_THREAD_CALLS)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["open connections: 0"]


FORK_WHILE_A_LIBRARY_THREAD_CALLS = """
    import os, sys, threading, time
    sys.path.insert(0, TESTS)
    import zibrel_ctl as ctl
    from _pyzibrel import ZibrelMatrix, ZibrelNavigationModel

    inside = threading.Event()
    release = threading.Event()

    class Model(ZibrelNavigationModel):
        def _get_camera_matrix(self):
            inside.set()
            release.wait(10)
            return ZibrelMatrix()

    model = Model(True, 0)
    model._put_profile_hint("fork")
    model._enable_navigation(True)
    caller = threading.Thread(target=ctl.call_threads,
                              args=(ctl.last_connection(), "view.affine", ctl.Value(type=ctl.AUTO), 1, 1))
    caller.start()
    assert inside.wait(10)
    pid = os.fork()
    if pid == 0:
        # The library thread inside the callback did not come along: exiting, with
        # the module's exit handler, must not wait for its call.
        {child}
    release.set()
    caller.join()
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        ended, status = os.waitpid(pid, os.WNOHANG)
        if ended:
            print("child exit status:", os.waitstatus_to_exitcode(status))
            break
        time.sleep(0.05)
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        print("child hung")
    print("parent enabled:", model._is_enabled())
"""


@pytest.mark.parametrize("child, status", [
    ("sys.exit(7)", 7),
    ("del model; sys.exit(8)", 8),  # the destructor's wait, too
    ("model._enable_navigation(False); sys.exit(9)", 9),
])
def test_child_of_a_fork_exits_while_a_parent_thread_was_inside_a_callback(child, status):
    done = run_script(FORK_WHILE_A_LIBRARY_THREAD_CALLS.replace("{child}", child))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [f"child exit status: {status}", "parent enabled: True"], done.stderr


ENABLE_AFTER_THE_EXIT_HANDLER = """
    import atexit, sys

    def late():
        # Registered before the import, so it runs after the module's own exit handler.
        try:
            {action}
        except RuntimeError as e:
            print("RuntimeError:", e)
        except Exception as e:
            print(type(e).__name__ + ":", e)
        print("enabled:", target._is_enabled())

    atexit.register(late)

    from _pyzibrel import ZibrelMatrix, ZibrelNavigationModel

    class Model(ZibrelNavigationModel):
        def _get_camera_matrix(self):
            return ZibrelMatrix()

    live = Model(True, 0)
    live._put_profile_hint("live")
    live._enable_navigation(True)
"""

AFTER_EXIT_MESSAGE = ("RuntimeError: Navigation cannot be enabled once the interpreter is exiting: the module's exit "
                      "handler has closed every connection to the navigation library.")


@pytest.mark.parametrize("action", [
    "target = Model(True, 0); target._put_profile_hint('late'); target._enable_navigation(True)",
    "target = live; target._enable_navigation(True)",
    "target = live; target._put_profile_hint('other'); target._enable_navigation(True)",
])
def test_enabling_after_the_exit_handler_is_a_clear_runtime_error(action):
    done = run_script(ENABLE_AFTER_THE_EXIT_HANDLER.replace("{action}", action))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [AFTER_EXIT_MESSAGE, "enabled: False"]
    assert "Cookie does not exist" not in done.stdout + done.stderr


CYCLIC_TREE_IN_A_REFUSED_RECORD = """
    import ctypes, os, sys
    sys.path.insert(0, TESTS)
    import zibrel_ctl as ctl
    from _pyzibrel import ZibrelNavigationModel

    class Node(ctypes.Structure):
        pass

    Node._fields_ = [("size", ctypes.c_uint32), ("type", ctypes.c_int32), ("next", ctypes.POINTER(Node)),
                     ("children", ctypes.POINTER(Node)), ("id", ctypes.c_char_p), ("label", ctypes.c_char_p),
                     ("description", ctypes.c_char_p)]

    node = Node(48, 2, None, None, b"loop", None, None)
    node.next = ctypes.pointer(node)
    node.children = ctypes.pointer(node)
    record = ctl.Value(type=ctl.ACTIONNODE)
    ctypes.memmove(ctypes.byref(record, 8), ctypes.byref(ctypes.c_void_p(ctypes.addressof(node))), 8)

    model = ZibrelNavigationModel(True, 0)
    model._put_profile_hint("cyclic")
    model._enable_navigation(True)
    # A setter refuses a record of the wrong type with a diagnostic line that renders it.
    print(hex(ctl.set(ctl.last_connection(), "view.affine", record)))
    model._enable_navigation(False)
"""


def test_cyclic_command_tree_in_a_refused_record_is_rendered_once(tmp_path):
    errors = tmp_path / "stderr"
    source = textwrap.dedent(CYCLIC_TREE_IN_A_REFUSED_RECORD).replace("TESTS", repr(os.path.dirname(__file__)))
    with errors.open("w") as sink:
        done = subprocess.run([sys.executable, "-c", source], stdout=subprocess.PIPE, stderr=sink, text=True,
                              timeout=30)
    err = errors.read_text()
    assert done.returncode == 0, err
    assert done.stdout.splitlines() == ["0x80040005"]
    assert err.count("id: loop") == 1, err
    assert ("\n    {size: 48, type: 2, id: loop, label: nullptr, description: nullptr}"
            "\n        {... node already shown above; the links go round in a cycle}"
            "\n    {... node already shown above; the links go round in a cycle})\n") in err, err
