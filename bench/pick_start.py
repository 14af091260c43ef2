"""Hit-testing when a motion starts, in each viewer adapter, on large scenes.

    .venv/bin/python bench/pick_start.py [--motions 6] [--viewers pyvista,napari,polyscope]

When the cap is first pushed, the library asks the application for the point
under the centre of the view ("hit.lookat"), and the frame waits for the answer.
For a mesh of 1,000,000 triangles and a cloud of 2,000,000 points, each adapter
is timed over several motions started one after the other (a turn held for
three frames, then letting go): the first pays for whatever the adapter builds once per
dataset (cell locators, bounding-volume hierarchies), the later ones only for
the search; polyscope picks through its pick buffer, which it renders anew.

Figures, in milliseconds: the viewer's pick (the adapter's `pick`, or
`pick_pixel` for polyscope) and the whole tick that starts the motion.
Each viewer runs in a process of its own, in a real window under Xvfb (started
here; Debian's xvfb, installed by ./dev).

    .venv/bin/python bench/pick_start.py --family [--motions 6]

is the family run.py runs ("pick at motion start"): PyVista only, in an
off-screen plotter that never renders (the adapter's render is a no-op, so no
display and no rasterizer is needed), with a mesh of 2,000,000 triangles and
the cloud of 2,000,000 points; it prints the pick times as run.py's JSON.
"""

import argparse
import json
import math
import os
import platform
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
MESH_N = 708            # a UV sphere of 2 * 707 * 707 = 999,698 triangles
CLOUD_POINTS = 2_000_000
FRAME = 1 / 60


def uv_sphere(n, radius=1.0):
    theta, phi = np.meshgrid(np.linspace(0, math.pi, n), np.linspace(0, 2 * math.pi, n), indexing="ij")
    points = np.stack([np.sin(theta) * np.cos(phi), np.cos(theta), np.sin(theta) * np.sin(phi)], -1).reshape(-1, 3)
    idx = np.arange(n * n).reshape(n, n)
    a, b, c, d = idx[:-1, :-1], idx[1:, :-1], idx[1:, 1:], idx[:-1, 1:]
    faces = np.concatenate([np.stack([a, b, c], -1).reshape(-1, 3), np.stack([a, c, d], -1).reshape(-1, 3)])
    return radius * points, faces.astype(np.int64)


def cloud():
    rng = np.random.default_rng(5)
    directions = rng.normal(size=(CLOUD_POINTS, 3))
    return directions / np.linalg.norm(directions, axis=1)[:, None] * rng.uniform(0.8, 1.0, (CLOUD_POINTS, 1))


# --- one viewer, in its own process ---------------------------------------------------------------

class Timed:
    """Wraps the adapter class's picking method (before attach takes it) and keeps each call's time."""

    def __init__(self, cls, name):
        self.times = []
        original = cls.__dict__.get(f"_untimed_{name}") or getattr(cls, name)
        setattr(cls, f"_untimed_{name}", original)

        def timed(viewer, *args):
            start = time.perf_counter()
            try:
                return original(viewer, *args)
            finally:
                self.times.append((time.perf_counter() - start) * 1000)
        setattr(cls, name, timed)


def motions(navigator, frame, count):
    """`count` motions (a turn held for three frames, then let go), each drawn once at its end; the
    time of each motion's first tick."""
    sys.path.insert(0, str(ROOT / "tests" / "python"))
    import zibrel_ctl as ctl  # noqa: E402
    sample = ctl.lib.zbctl_device_sample
    import ctypes
    sample.restype, sample.argtypes = ctypes.c_int, [ctypes.c_uint64] + [ctypes.c_double] * 7
    conn = ctl.last_connection()
    t, starts = 100.0, []
    for _ in range(count):
        for i in range(3):
            sample(conn, t * 1000, 0, 0, 0, 0, 0.3, 0)
            began = time.perf_counter()
            navigator.tick(t)
            if i == 0:
                starts.append((time.perf_counter() - began) * 1000)
            t += FRAME
        sample(conn, t * 1000, 0, 0, 0, 0, 0, 0)
        for _ in range(24):   # let go: the motion ends after the motion timeout
            navigator.tick(t)
            t += FRAME
        assert not navigator.in_motion
        frame()
    return starts


def run_pyvista(scene, count, mesh_n=MESH_N, off_screen=False):
    import pyvista as pv

    from pyzibrel.pyvista import PyVistaViewer, attach

    plotter = pv.Plotter(window_size=(640, 480), off_screen=off_screen)
    if scene == "mesh":
        points, faces = uv_sphere(mesh_n)
        plotter.add_mesh(pv.PolyData(points, np.hstack([np.full((len(faces), 1), 3), faces]).ravel()))
    else:
        plotter.add_points(cloud(), point_size=1)
    plotter.camera_position = [(0.3, 0.4, 4.0), (0.05, 0.02, 0.0), (0, 1, 0)]
    if not off_screen:
        plotter.show(auto_close=False, interactive=False)
    timed = Timed(PyVistaViewer, "pick")
    navigator = attach(plotter, timer=False, up=(0, 1, 0))
    starts = motions(navigator, (lambda: None) if off_screen else plotter.render, count)
    navigator.close()
    plotter.close()
    return timed.times, starts


def run_napari(scene, count):
    import napari
    from qtpy.QtWidgets import QApplication

    from pyzibrel import camera as zcam
    from pyzibrel.napari import NapariViewer, attach

    viewer = napari.Viewer(ndisplay=3, show=True)
    viewer.window._qt_window.resize(800, 600)
    if scene == "mesh":
        viewer.add_surface(uv_sphere(MESH_N))
    else:
        viewer.add_points(cloud(), size=0.004)
    app = QApplication.instance()
    app.processEvents()
    timed = Timed(NapariViewer, "pick")
    navigator = attach(viewer, timer=False)
    navigator.viewer.set_camera(zcam.look_at_matrix((4.0, 0.4, 0.3), (0.0, 0.02, 0.05), navigator.viewer.up))
    starts = motions(navigator, app.processEvents, count)
    viewer.close()
    return timed.times, starts


def run_polyscope(scene, count):
    import polyscope as ps

    from pyzibrel.polyscope import PolyscopeViewer, attach

    if not ps.is_initialized():
        ps.set_use_prefs_file(False)
        ps.set_window_size(640, 480)
        ps.init()
    ps.remove_all_structures()
    if scene == "mesh":
        ps.register_surface_mesh("mesh", *uv_sphere(MESH_N))
    else:
        ps.register_point_cloud("cloud", cloud(), radius=0.001)
    ps.look_at((0.3, 0.4, 4.0), (0.05, 0.02, 0.0))
    ps.frame_tick()
    timed = Timed(PolyscopeViewer, "pick_pixel")
    navigator = attach(timer=False)
    starts = motions(navigator, ps.frame_tick, count)
    navigator.close()
    return timed.times, starts


def child(viewer, count):
    os.environ["ZIBREL_DEVICE"] = "none"
    os.environ.pop("ZIBREL_CONFIG", None)
    run = {"pyvista": run_pyvista, "napari": run_napari, "polyscope": run_polyscope}[viewer]
    result = {}
    for scene in ("mesh", "cloud"):
        picks, starts = run(scene, count)
        result[scene] = {"pick": picks, "start": starts}
    print(json.dumps(result))


# --- the parent: Xvfb, one process per viewer, the table ------------------------------------------

def start_xvfb():
    for display in random.sample(range(300, 900), 20):
        read_fd, write_fd = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", f":{display}", "-displayfd", str(write_fd), "-screen", "0", "1280x1024x24",
                                 "-nolisten", "tcp"], pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as r:
            ready = r.readline().strip()
        if ready:
            return xvfb, f":{ready}"
        xvfb.wait(timeout=10)
    raise RuntimeError("Xvfb did not start (Debian's xvfb; ./dev installs it)")


FAMILY_MESH_N = 1001   # 2 * 1000 * 1000 = 2,000,000 triangles


def family(count):
    """run.py's family: PyVista off screen, no renders; pick times as figures."""
    os.environ["ZIBREL_DEVICE"] = "none"
    os.environ.pop("ZIBREL_CONFIG", None)
    # Never drawn: no X display is looked for (VTK warns when it finds none).
    os.environ.setdefault("VTK_DEFAULT_OPENGL_WINDOW", "vtkOSOpenGLRenderWindow")
    from pyzibrel.pyvista import PyVistaViewer
    PyVistaViewer.render = lambda self: None  # picking needs no picture
    figures = {}
    for scene in ("cloud", "mesh"):
        picks, _starts = run_pyvista(scene, count, FAMILY_MESH_N, off_screen=True)
        later = picks[1:]
        figures[f"pick_{scene}_first"] = {"unit": "ms", "median": picks[0], "runs": [picks[0]]}
        figures[f"pick_{scene}_later"] = {"unit": "ms", "median": statistics.median(later), "runs": later}
    json.dump({"figures": figures, "load_average": os.getloadavg(), "motions": count}, sys.stdout)
    sys.stdout.write("\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--motions", type=int, default=6)
    parser.add_argument("--viewers", default="pyvista,napari,polyscope")
    parser.add_argument("--family", action="store_true", help="run.py's family: PyVista off screen, JSON out")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.family:
        family(args.motions)
        return
    if args.child:
        child(args.child, args.motions)
        return
    xvfb, display = start_xvfb()
    rows = []
    try:
        for viewer in args.viewers.split(","):
            env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", PYTHONWARNINGS="ignore")
            env.pop("VTK_DEFAULT_OPENGL_WINDOW", None)
            done = subprocess.run([sys.executable, __file__, "--child", viewer, "--motions", str(args.motions)],
                                  env=env, capture_output=True, text=True, timeout=1800)
            if done.returncode != 0:
                raise SystemExit(f"{viewer} failed:\n{done.stdout[-2000:]}\n{done.stderr[-4000:]}")
            result = json.loads(done.stdout.strip().splitlines()[-1])
            for scene, figures in result.items():
                rows.append((viewer, scene, figures))
    finally:
        xvfb.terminate()
        xvfb.wait(timeout=10)
    print(f"machine: {os.cpu_count()} CPUs, load average {' '.join(f'{x:.1f}' for x in os.getloadavg())}, "
          f"Python {platform.python_version()}")
    print(f"{'viewer':<10} {'scene':<26} {'pick first':>11} {'later p50':>10} {'later max':>10} "
          f"{'tick first':>11} {'later p50':>10}")
    names = {"mesh": f"mesh, {2 * (MESH_N - 1) ** 2:,} triangles", "cloud": f"cloud, {CLOUD_POINTS:,} points"}
    for viewer, scene, figures in rows:
        picks, starts = figures["pick"], figures["start"]
        print(f"{viewer:<10} {names[scene]:<26} {picks[0]:>11.1f} {statistics.median(picks[1:]):>10.1f} "
              f"{max(picks[1:]):>10.1f} {starts[0]:>11.1f} {statistics.median(starts[1:]):>10.1f}")
    print("(milliseconds; pick: the adapter's hit-test at the start of a motion; tick: the whole frame that "
          "starts it)")


if __name__ == "__main__":
    main()
