"""The PyVista adapter in an asyncio loop and in a Jupyter notebook: the task that drives a
navigator when the plotter has no timer of its own, how attach chooses its timer, and real
notebooks run through nbclient on an ipykernel, with a device file moving the view.
"""

import asyncio
import importlib.util
import json
import logging
import os
import pathlib
import sys

import numpy as np
import pytest

import pyvista as pv
from pyzibrel.pyvista import attach, camera_matrix

HERE = pathlib.Path(__file__).parent
SIZE = (320, 240)

# The cap turned and held: a spin about the up axis for as long as the file plays.
SPIN_FOREVER = ["0.0 motion 0 0 0   0 0.5 0"]
# A spin that ends after 0.4 s.
SPIN = ["0.0 motion 0 0 0   0 0.5 0", "0.4 motion 0 0 0   0 0 0"]
STILL = ["0.0 motion 0 0 0   0 0 0"]


pytestmark = pytest.mark.usefixtures("offscreen_mesa")


@pytest.fixture
def device(tmp_path, monkeypatch):
    """device(lines) scripts the virtual device of the next attach; device(None) means none."""
    def script(lines):
        if lines is None:
            monkeypatch.setenv("ZIBREL_DEVICE", "none")
            return None
        path = tmp_path / "device.txt"
        path.write_text("\n".join(lines) + "\n")
        monkeypatch.setenv("ZIBREL_DEVICE", f"file:{path}")
        return path
    return script


@pytest.fixture
def plotters():
    """make() gives off-screen plotters, closed at the end."""
    made = []

    def make():
        p = pv.Plotter(off_screen=True, window_size=SIZE)
        p.add_mesh(pv.Sphere())
        made.append(p)
        return p
    yield make
    for p in made:
        p.close()


def in_loop(coroutine_function, timeout=20.0):
    """Run `coroutine_function()` in a fresh asyncio loop, failing after `timeout` seconds."""
    async def bounded():
        return await asyncio.wait_for(coroutine_function(), timeout)
    return asyncio.run(bounded())


def counting_ticks(navigator):
    """Counts the ticks the task makes (it calls navigator.tick through the instance)."""
    ticks = []
    tick = navigator.tick

    def counted(*args):
        ticks.append(1)
        return tick(*args)
    navigator.tick = counted
    return ticks


def has_reader(loop, fd):
    """The loop still watches fd (remove_reader says whether it did; put it back)."""
    return loop._selector.get_map() is not None and fd in loop._selector.get_map()


# --- the asyncio task -----------------------------------------------------------------------------

@pytest.mark.parametrize("lines, moves", [
    (SPIN_FOREVER, True),      # input: ticks at the frame rate, the camera turns
    (STILL, False),            # a device at rest: the task sleeps on the input descriptor
    (None, False),             # no device at all: the same
], ids=["moving", "still", "no-device"])
def test_the_task_ticks_while_the_device_moves_and_sleeps_while_still(plotters, device, lines, moves):
    device(lines)
    p = plotters()

    async def main():
        navigator = attach(p)
        assert navigator.timers == ("asyncio",)
        ticks = counting_ticks(navigator)
        m0 = camera_matrix(p.camera)
        await asyncio.sleep(0.6)
        turned = float(np.abs(camera_matrix(p.camera) - m0).max())
        assert not navigator.task.done()
        return len(ticks), turned

    ticks, turned = in_loop(main)
    if moves:
        assert ticks >= 15, ticks       # about 36 at 60 Hz; a loaded machine makes fewer
        assert turned > 0.1, turned
    else:
        assert ticks <= 3, ticks        # a still device is at most a frame or two at the start
        assert turned == 0.0


@pytest.mark.parametrize("timer, loop, expected", [
    (None, False, ()),                        # off screen, no loop: tick() is the caller's
    (None, True, ("asyncio",)),               # a notebook plotter in the kernel's loop
    (True, True, ("asyncio",)),
    ("asyncio", True, ("asyncio",)),
    (False, True, ()),
    (True, False, (RuntimeError, "cannot make a timer for this plotter: it is off screen")),
    ("asyncio", False, (RuntimeError, "no asyncio event loop is running")),
    ("qt", True, (ValueError, "timer must be None")),
    (1, False, (ValueError, "timer must be None")),
])
def test_attach_chooses_its_timer_or_says_why_it_cannot(plotters, timer, loop, expected):
    p = plotters()
    props = p.renderer.GetViewProps().GetNumberOfItems()

    def attach_here():
        if expected and isinstance(expected[0], type):
            error, message = expected
            with pytest.raises(error, match=message):
                attach(p, timer=timer)
            # Refused before anything was made: no marker, no close hook, no task.
            assert p.renderer.GetViewProps().GetNumberOfItems() == props
            assert "close" not in p.__dict__
            if loop:
                assert not [t for t in asyncio.all_tasks() if t.get_name().startswith("pyzibrel")]
            return
        navigator = attach(p, timer=timer)
        assert navigator.timers == expected
        assert (navigator.task is not None) == ("asyncio" in expected)
        navigator.close()
        assert navigator.timers == () and navigator.task is None

    if loop:
        async def main():
            attach_here()
        in_loop(main)
    else:
        attach_here()


@pytest.mark.parametrize("how", ["plotter.close", "navigator.close", "attach again", "attach another plotter"])
def test_every_end_of_navigation_cancels_the_task(plotters, device, caplog, how):
    device(SPIN_FOREVER)
    p = plotters()

    async def main():
        loop = asyncio.get_running_loop()
        navigator = attach(p)
        task = navigator.task
        fd = navigator.input_fd()
        await asyncio.sleep(0.2)
        assert not task.done()
        other = None
        with caplog.at_level(logging.INFO, logger="pyzibrel.pyvista"):
            if how == "plotter.close":
                p.close()
            elif how == "navigator.close":
                navigator.close()
            elif how == "attach again":
                other = attach(p)
            else:
                other = attach(plotters())
        await asyncio.sleep(0.05)
        assert task.cancelled()
        assert not navigator.enabled
        if other is not None:
            assert other.enabled and not other.task.done()
            if how == "attach another plotter":  # the new navigator moves its plotter; the old one's stays
                m0, n0 = camera_matrix(p.camera), camera_matrix(other.viewer.plotter.camera)
                await asyncio.sleep(0.2)
                assert np.allclose(camera_matrix(p.camera), m0)
                assert not np.allclose(camera_matrix(other.viewer.plotter.camera), n0)
            other.close()
        await asyncio.sleep(0)
        if fd is not None:
            assert not has_reader(loop, fd)
        return [r.getMessage() for r in caplog.records if r.name == "pyzibrel.pyvista"]

    messages = in_loop(main)
    if how == "attach another plotter":
        assert len(messages) == 1 and messages[0].startswith("closed the navigator of Plotter"), messages
        assert "is the one this event loop drives now" in messages[0]
    else:
        assert messages == []


def test_an_exception_in_the_task_is_logged_and_ends_navigation(plotters, device, caplog):
    device(SPIN_FOREVER)
    p = plotters()

    async def main():
        navigator = attach(p)

        def broken(*_args):
            raise RuntimeError("the viewer fell over")
        navigator.tick = broken
        with caplog.at_level(logging.ERROR, logger="pyzibrel.pyvista"):
            await asyncio.sleep(0.3)
        return navigator

    navigator = in_loop(main)
    assert not navigator.enabled and navigator.task is None
    errors = [r for r in caplog.records if r.name == "pyzibrel.pyvista" and r.levelno == logging.ERROR]
    assert len(errors) == 1
    assert "the asyncio task that drove the navigator of Plotter" in errors[0].getMessage()
    assert isinstance(errors[0].exc_info[1], RuntimeError) and "fell over" in str(errors[0].exc_info[1])
    assert "close" not in p.__dict__  # every hook undone


# --- the browser's views: the whole scene, or the camera alone --------------------------------------

needs_trame = pytest.mark.skipif(importlib.util.find_spec("trame_pyvista") is None,
                                 reason="needs pyvista[jupyter] (./dev installs it)")


@needs_trame
@pytest.mark.parametrize("camera_only", [False, True])
def test_camera_only_sends_the_browser_the_camera_and_the_scene_when_the_motion_ends(plotters, device,
                                                                                    camera_only):
    from trame_pyvista.widgets import PyVistaLocalView, PyVistaRemoteView, get_server

    device(SPIN)
    p = plotters()
    server = get_server(f"pyzibrel-test-{camera_only}")
    local = PyVistaLocalView(p, trame_server=server)     # the `client` backend's view
    remote = PyVistaRemoteView(p, trame_server=server)   # the `server` backend's view
    sent = []
    local.push_camera = lambda *a, **k: sent.append("local camera")
    local.update = lambda *a, **k: sent.append("local scene")
    remote.update = lambda *a, **k: sent.append("remote image")
    navigator = attach(p, timer=False, camera_only=camera_only)
    assert (navigator.viewer.marker is None) == camera_only   # no pivot marker with the camera alone
    frames = []
    for i in range(60):                                   # 1 s at 60 Hz; the spin ends at 0.4 s
        before = len(sent)
        navigator.tick(100.0 + i / 60)
        frames.append(sent[before:])
    moving = [f for f in frames if f]
    assert len(moving) >= 20
    # The server's view gets an image at every frame either way.
    assert all("remote image" in f for f in moving)
    if camera_only:
        assert all("local camera" in f for f in moving[:-1]) and not any("local scene" in f for f in moving[:-1])
        assert "local scene" in moving[-1]                # the motion ended: the scene catches up once
    else:
        assert all("local scene" in f for f in moving) and not any("local camera" in f for f in moving)
    navigator.close()
    # The plotter's own callbacks are all still there.
    assert local._plotter_render_callback in p._on_render_callbacks
    assert remote._plotter_render_callback in p._on_render_callbacks


# --- real notebooks ----------------------------------------------------------------------------------

needs_jupyter = pytest.mark.skipif(
    any(importlib.util.find_spec(name) is None for name in ("nbclient", "ipykernel", "trame_pyvista")),
    reason="needs nbclient, ipykernel and pyvista[jupyter] (./dev installs them)")

# What a user writes: the README's two lines, a show, and later a cell that awaits.
USER_CELL = """\
import pyvista as pv
from pyzibrel.pyvista import attach

pl = pv.Plotter(window_size=(320, 240))
pl.add_mesh(pv.Sphere())
attach(pl)
pl.show(jupyter_backend={backend!r})
"""
AWAIT_CELL = """\
import asyncio

await asyncio.sleep(1.0)
"""
# The test's own look into the kernel.
CAMERA_CELL = "cameras.append([list(p) for p in pl.camera_position])"
REPORT_CELL = """\
import json, asyncio
tasks = [t for t in asyncio.all_tasks() if t.get_name().startswith("pyzibrel navigation")]
print(json.dumps({"cameras": cameras, "first_cameras": first_cameras, "tasks": len(tasks)}))
"""


def run_notebook(tmp_path, monkeypatch, cells, timeout=60):
    """Execute the cells in a fresh ipykernel of this interpreter (which inherits this process's
    environment); the notebook with its outputs."""
    import nbclient
    import nbformat

    # A kernel of our own (its kernel.json): this interpreter, whatever else is installed.
    kernel_dir = tmp_path / "jupyter" / "kernels" / "pyzibrel-test"
    kernel_dir.mkdir(parents=True)
    (kernel_dir / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "pyzibrel test", "language": "python"}))
    # trame's page server fetches VTK's WebAssembly files from the network when it starts, unless
    # given a folder of them: an empty one, since no test shows the wasm view.
    (tmp_path / "no-wasm").mkdir()
    for name, value in dict(JUPYTER_PATH=tmp_path / "jupyter", JUPYTER_RUNTIME_DIR=tmp_path / "runtime",
                            IPYTHONDIR=tmp_path / "ipython", MPLBACKEND="agg",
                            VTK_WASM_DIR_OVERRIDE=tmp_path / "no-wasm").items():
        monkeypatch.setenv(name, str(value))
    nb = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(source) for source in cells])
    client = nbclient.NotebookClient(nb, timeout=timeout, startup_timeout=60, kernel_name="pyzibrel-test",
                                     resources={"metadata": {"path": str(tmp_path)}})
    client.execute()
    return nb


def report(nb):
    for output in nb.cells[-1].outputs:
        if output.get("name") == "stdout":
            return json.loads(output["text"].strip().splitlines()[-1])
    raise AssertionError(f"the last cell printed nothing: {nb.cells[-1].outputs}")


def turned_degrees(a, b):
    """The angle between two camera directions, camera_position lists (position, focal point, up)."""
    da = np.subtract(a[1], a[0])
    db = np.subtract(b[1], b[0])
    cosine = da @ db / np.linalg.norm(da) / np.linalg.norm(db)
    return float(np.degrees(np.arccos(np.clip(cosine, -1, 1))))


@needs_jupyter
@pytest.mark.timeout(240)
@pytest.mark.parametrize("backend", ["server", "static"])
def test_a_notebook_moves_the_view_with_the_two_lines_and_a_cell_run_again(tmp_path, monkeypatch, device, backend):
    device(SPIN_FOREVER)
    user = USER_CELL.format(backend=backend)
    cells = [
        "cameras, first_cameras = [], []",
        user,
        CAMERA_CELL,
        AWAIT_CELL,                       # the kernel is idle in between: the task turns the view
        CAMERA_CELL,
        "first = pl",
        user,                             # the same cell run again: a new plotter, a new navigator
        CAMERA_CELL,
        "first_cameras.append([list(p) for p in first.camera_position])",
        AWAIT_CELL,
        CAMERA_CELL,
        "first_cameras.append([list(p) for p in first.camera_position])",
        REPORT_CELL,
    ]
    nb = run_notebook(tmp_path, monkeypatch, cells)
    errors = [o for cell in nb.cells for o in cell.outputs if o.get("output_type") == "error"]
    assert not errors, errors
    seen = report(nb)
    cameras, first_cameras = seen["cameras"], seen["first_cameras"]
    # About 45 degrees a second at half deflection; at least a fifth of that on a loaded machine.
    assert turned_degrees(cameras[0], cameras[1]) > 9, cameras
    assert turned_degrees(cameras[2], cameras[3]) > 9, cameras
    # Only the new navigator is live: the first plotter stays where it was, one task is left.
    assert turned_degrees(first_cameras[0], first_cameras[1]) < 1e-6, first_cameras
    assert seen["tasks"] == 1


# --- a window of its own, shown with interactive_update=True ------------------------------------------

@pytest.mark.skipif(__import__("shutil").which("Xvfb") is None, reason="needs Xvfb (./dev installs Debian's xvfb)")
def test_a_window_shown_with_interactive_update_is_updated_at_each_frame(tmp_path):
    from test_pyvista import changed_fraction, under_xvfb

    device = tmp_path / "device.txt"
    device.write_text("\n".join(SPIN_FOREVER) + "\n")
    env = {k: v for k, v in os.environ.items() if k not in ("VTK_DEFAULT_OPENGL_WINDOW", "ZIBREL_CONFIG")}
    env["ZIBREL_DEVICE"] = f"file:{device}"
    for _attempt in range(3):
        result = under_xvfb([sys.executable, str(HERE / "pyvista_update_app.py"), str(tmp_path)], env, timeout=60)
        if "bad X server connection" not in result.stderr:  # another X server of the machine, not us
            break
    assert result.returncode == 0, result.stdout + result.stderr
    seen = dict(item.split("=", 1) for item in result.stdout.split() if "=" in item)
    # The window's own interactor timer (for a blocking show()) and the task (for the idle kernel).
    assert seen["window"] == "vtkXOpenGLRenderWindow"
    assert seen["timers"] == "interactor+asyncio"
    assert int(seen["updates"]) >= 20                     # about 90 in 1.5 s at 60 Hz
    assert int(seen["ticks"]) <= int(seen["updates"]) + 2  # update()'s events fire no second tick
    assert float(seen["yaw"]) > 10
    assert seen["closed"] == "True" and seen["task_cancelled"] == "True"
    from PIL import Image
    before, after = (np.asarray(Image.open(tmp_path / f"{name}.png").convert("RGB"), dtype=np.int16)
                     for name in ("before", "after"))
    assert changed_fraction(before, after) > 0.01
