"""The library's own files at their limits, and the exit of an interpreter
whose library threads still run frames.

Whatever ZIBREL_CONFIG and ZIBREL_DEVICE point at, `_enable_navigation(True)`
returns (the bound is the subprocess timeout) and the problem is told on
standard error, naming the file.
"""

import gc
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import engine_support as es
from engine_support import Scene

ENABLE = textwrap.dedent("""\
    import time
    import _pyzibrel

    class Model(_pyzibrel.ZibrelNavigationModel):
        pass

    model = Model(False, 0)
    model._put_profile_hint("limits")
    start = time.monotonic()
    model._enable_navigation(True)
    print(f"enabled in {time.monotonic() - start:.3f} s", flush=True)
    model._enable_navigation(False)
""")


def run_python(code, env_changes, timeout=30):
    env = {k: v for k, v in os.environ.items() if k not in ("ZIBREL_CONFIG", "ZIBREL_DEVICE")}
    env.update(env_changes)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=timeout)


def fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return str(path)


def directory(tmp_path):
    return str(tmp_path)


def huge(tmp_path):
    path = tmp_path / "huge"
    with open(path, "wb") as f:
        f.truncate(8 << 30)  # sparse: 8 GiB that take no room
    return str(path)


def missing(tmp_path):
    return str(tmp_path / "missing")


def listening_socket(tmp_path):
    path = str(tmp_path / "socket")
    server = socket.socket(socket.AF_UNIX)
    server.bind(path)
    server.listen()
    return path, server


def grown(tmp_path):
    """A file that grows while it is read, far past every limit."""
    path = tmp_path / "growing"
    path.write_bytes(b"bogus\n")  # whenever it is read, its first line is faulty
    stop = threading.Event()

    def append():
        chunk = b"# more\n" * 8192
        with open(path, "ab") as f:
            while not stop.is_set() and f.tell() < (48 << 20):
                f.write(chunk)
                f.flush()

    writer = threading.Thread(target=append)
    writer.start()
    return str(path), (stop, writer)


# name: (make the path, the reason the library gives)
HOSTILE = {
    "FIFO nobody writes": (fifo, "is not a regular file (a FIFO)"),
    "/dev/zero": (lambda tmp_path: "/dev/zero", "is not a regular file (a character device)"),
    "directory": (directory, "is not a regular file (a directory)"),
    "huge file": (huge, "is larger than"),
    "missing file": (missing, "cannot be read (No such file or directory)"),
    "socket": (listening_socket, "is not a regular file (a socket)"),
    "file growing while read": (grown, None),  # too large, or its first line: the file is named either way
}

SETTINGS = ("ZIBREL_CONFIG", "settings file {path} (ZIBREL_CONFIG) ", "; defaults apply", "1 MiB")
DEVICE = ("ZIBREL_DEVICE", "device file {path} ", "; the virtual device is off", "16 MiB")


@pytest.mark.parametrize("variable, prefix, outcome, limit", [SETTINGS, DEVICE], ids=["settings", "device"])
@pytest.mark.parametrize("make, reason", HOSTILE.values(), ids=HOSTILE.keys())
def test_enabling_returns_and_names_the_file_whatever_it_is(tmp_path, variable, prefix, outcome, limit, make, reason):
    made = make(tmp_path)
    path, keep = made if isinstance(made, tuple) else (made, None)
    try:
        value = path if variable == "ZIBREL_CONFIG" else f"file:{path}"
        done = run_python(ENABLE, {variable: value})
    finally:
        if isinstance(keep, socket.socket):
            keep.close()
        elif keep is not None:
            keep[0].set()
            keep[1].join(30)
    assert done.returncode == 0, done.stderr
    assert "enabled in" in done.stdout
    lines = [line for line in done.stderr.splitlines() if line.startswith("zibrel: ")]
    told = [line for line in lines if line.startswith("zibrel: " + prefix.format(path=path))]
    assert len(told) == 1, done.stderr
    if reason is None:
        return
    assert reason in told[0] and told[0].endswith(outcome), told[0]
    if reason == "is larger than":
        assert told[0].endswith(f"is larger than {limit}{outcome}")
    assert "line 0" not in done.stderr


@pytest.fixture
def clean_environment(monkeypatch):
    monkeypatch.delenv("ZIBREL_DEVICE", raising=False)
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)


def test_a_nul_byte_in_a_settings_file_is_an_error_of_its_line(tmp_path, monkeypatch, capfd, clean_environment):
    conf = tmp_path / "zibrel.conf"
    conf.write_bytes(b"sensitivity = 2\nbutton.1 = app.\x00cut\ninvert = q\nbutton.2 = app.ok\n")
    monkeypatch.setenv("ZIBREL_CONFIG", str(conf))
    scene = Scene()
    conn = scene.open()
    lines = capfd.readouterr().err.splitlines()
    # Each message is a whole line of its own: nothing cut, nothing glued on.
    assert f"zibrel: settings file {conf} line 2: the line holds a NUL byte; line ignored" in lines
    assert f"zibrel: settings file {conf} line 3: unknown axis 'q' (axes: x y z rx ry rz); line ignored" in lines
    es.button(conn, 5, 1)
    es.button(conn, 5, 2)
    scene.frame(10)
    scene._enable_navigation(False)
    # The other lines applied; button 1 kept its default binding (view:iso), not the cut line's.
    assert [v for n, v in scene.events if n == "commands.activeCommand"] == ["app.ok"]
    assert "view.affine" in scene.names()


def test_a_device_file_that_cannot_be_read_leaves_the_rest_working(tmp_path, monkeypatch, capfd, clean_environment):
    monkeypatch.setenv("ZIBREL_DEVICE", f"file:{tmp_path}")
    scene = Scene()
    conn = scene.open()
    err = capfd.readouterr().err
    assert f"zibrel: device file {tmp_path} is not a regular file (a directory); the virtual device is off" in err
    es.sample(conn, 10, ry=1.0)
    scene.frame(10)
    scene._enable_navigation(False)
    assert "view.affine" in scene.names()


EXIT_AFTER_THE_MODULE = textwrap.dedent("""\
    import atexit
    import threading
    import time

    calls = []


    def enable_late():
        import _pyzibrel

        class Model(_pyzibrel.ZibrelNavigationModel):
            def _get_camera_matrix(self):
                calls.append(threading.get_ident())
                return _pyzibrel.ZibrelMatrix(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10, 0, 0, 0, 1)

            def _set_camera_matrix(self, m):
                pass

        global model
        model = Model(False, 0)
        model._put_profile_hint("exit")
        try:
            model._enable_navigation(True)
        except RuntimeError as e:
            print("refused:", e, flush=True)
            return
        deadline = time.monotonic() + 10
        while not calls and time.monotonic() < deadline:
            time.sleep(0.01)
        print("frames ran" if calls else "no frames", flush=True)


    class SlowToFinalise:
        # Keeps the interpreter finalising long enough for the library's timer
        # thread to call in, and be ended by the interpreter.
        def __del__(self):
            time.sleep(0.3)


    atexit.register(enable_late)  # before the import: runs after the module's own exit handler
    import _pyzibrel  # noqa: E402,F401

    slow = SlowToFinalise()
""")


def test_library_threads_ended_by_the_exiting_interpreter_do_not_abort_it(tmp_path):
    session = tmp_path / "hold.txt"
    session.write_text("0 motion 0 0 0 0 0.5 0\n")  # held: frames run until the end
    for _ in range(3):
        done = run_python(EXIT_AFTER_THE_MODULE, {"ZIBREL_DEVICE": f"file:{session}"})
        assert "FATAL" not in done.stderr
        assert done.returncode == 0, done.stderr[-2000:]
        # Enabling after the module's exit handler either works until the end
        # or is refused with a RuntimeError; either way the library never aborts.
        assert "frames ran" in done.stdout or "refused:" in done.stdout, done.stdout


class Minimal(es.ZibrelNavigationModel):
    """Only the camera: every other accessor fails, and the module says so on standard error."""

    def __init__(self):
        super().__init__(False, 0)
        self.camera = es.look_at((0, 0, 10), (0, 0, 0))

    def _get_camera_matrix(self):
        return es.np_to_matrix(self.camera)

    def _set_camera_matrix(self, m):
        self.camera = es.matrix_to_np(m)


def open_app_timed(model):
    model._put_frame_timing_source(1)
    model._put_profile_hint("limits")
    model._enable_navigation(True)
    return es.ctl.last_connection()


def moving_frame(model, conn, t_ms):
    """A frame at 1 s + t_ms on the application's clock, with the cap deflected."""
    es.sample(conn, 1000 + t_ms, ry=1.0, x=0.2)
    es.Scene.frame(model, 1000 + t_ms)


def test_a_minimal_model_tells_its_missing_accessors_once_not_every_frame(capfd, clean_environment):
    model = Minimal()
    conn = open_app_timed(model)
    moving_frame(model, conn, 0)
    first = [line for line in capfd.readouterr().err.splitlines() if line]
    for t in range(10, 1000, 10):  # the rest of the first second of motion
        moving_frame(model, conn, t)
    rest = capfd.readouterr().err
    for t in range(1000, 10000, 10):  # nine more seconds
        moving_frame(model, conn, t)
    later = capfd.readouterr().err.splitlines()
    model._enable_navigation(False)
    assert any("view.perspective" in line for line in first), first
    assert rest == ""
    assert len(later) <= len(first)  # asked again after 1, 3 and 7 s, fewer each time
    assert not es.np.allclose(model.camera, es.look_at((0, 0, 10), (0, 0, 0)))  # and it moved all along


def test_a_failing_getter_is_asked_again_after_a_back_off_that_doubles(clean_environment):
    class Failing(Scene):
        asked = []
        t = 0.0

        def _get_is_view_perspective(self):
            self.asked.append(self.t)
            if self.t >= 6000:
                return True
            raise RuntimeError("not now")

    scene = Failing()
    conn = scene.open()
    for t in range(0, 8000, 10):
        scene.t = float(t)
        moving_frame(scene, conn, t)
    scene._enable_navigation(False)
    # Failed at 0, then after 1 s, after 2 s more; at 7 s it answers, and from
    # then on it is asked every frame.
    assert scene.asked[:4] == [0, 1000, 3000, 7000]
    assert len(scene.asked) == 3 + (8000 - 7000) // 10


def test_closed_connections_are_freed_even_when_closed_during_frames(clean_environment):
    open_before = es.ctl.lib.zbctl_open_connections()
    for i in range(40):
        scene = Scene()
        conn = scene.open(app_timing=False)
        es.sample(conn, -1, ry=1.0)  # frames on the library's timer thread
        deadline = time.monotonic() + 10
        while "view.affine" not in scene.names() and time.monotonic() < deadline:
            time.sleep(0.002)
        if i % 2:
            scene._enable_navigation(False)
        else:
            del scene  # the destructor closes, maybe while the timer is in a callback
            gc.collect()
    # The library keeps the last closed connections for inspection; forgetting
    # them leaves only the open ones, although timer threads may still be ending.
    assert es.ctl.lib.zbctl_live_connections() <= open_before + 16
    es.ctl.lib.zbctl_reset()
    assert es.ctl.lib.zbctl_live_connections() == es.ctl.lib.zbctl_open_connections() == open_before
