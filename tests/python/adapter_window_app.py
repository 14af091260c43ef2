"""napari or polyscope in a real window, for test_adapter_cases.py and test_viewers.py.

    python adapter_window_app.py napari|polyscope OUTDIR

Measures every case of adapter_cases.py with the viewer's own matrices, then
runs the viewer's own loop with a device file (the adapter ticking by itself)
and takes pictures mid-turn; writes OUTDIR/report.json.
"""
import json
import math
import os
import pathlib
import sys
import time
import traceback

import numpy as np

import adapter_cases as cases
from pyzibrel import camera as zcam

VIEWER, OUT = sys.argv[1], pathlib.Path(sys.argv[2])
SIZE = (640, 480)


def uv_sphere(centre, radius, n=160):
    theta, phi = np.meshgrid(np.linspace(0, math.pi, n), np.linspace(0, 2 * math.pi, n), indexing="ij")
    points = np.stack([np.sin(theta) * np.cos(phi), np.cos(theta), np.sin(theta) * np.sin(phi)], -1).reshape(-1, 3)
    idx = np.arange(n * n).reshape(n, n)
    a, b, c, d = idx[:-1, :-1], idx[1:, :-1], idx[1:, 1:], idx[:-1, 1:]
    faces = np.concatenate([np.stack([a, b, c], -1).reshape(-1, 3), np.stack([a, c, d], -1).reshape(-1, 3)])
    return centre + radius * points, faces


def jsonable(value):
    if isinstance(value, dict):
        return {k: jsonable(v) for k, v in value.items()}
    if isinstance(value, (np.ndarray, np.generic)):
        return value.tolist()
    if isinstance(value, (list, tuple)):
        return [jsonable(v) for v in value]
    return value


def write_device(lines):
    path = OUT / "device.txt"
    path.write_text("\n".join(lines) + "\n")
    return path


# A turn held long enough to be seen on a slow machine: each frame moves for at most 50 ms.
TURN_SESSION = ["0.0 motion 0 0 0   0 0 0", "0.2 motion 0 0 0   0 0.8 0", "2.2 motion 0 0 0   0 0 0", "2.4 end"]
MID_TURN_DEGREES = 3.0
LIVE_SECONDS = 20.0


def degrees_between(a, b):
    return math.degrees(math.acos(np.clip(a[:3, 2] @ b[:3, 2], -1, 1)))


class Watch:
    """Decides, frame by frame of the viewer's own loop, when to take the mid-turn picture and when to stop."""

    def __init__(self, navigator, camera, marker_shown, picture):
        self.navigator, self.camera, self.marker_shown, self.picture = navigator, camera, marker_shown, picture
        self.start = camera()
        self.began = time.monotonic()
        self.seen = {}

    def done(self):
        """Called once per frame; True when the loop may end."""
        turned = degrees_between(self.start, self.camera())
        if "mid-turn" not in self.seen and turned >= MID_TURN_DEGREES:
            self.seen["mid-turn"] = {"degrees": turned, "marker": bool(self.marker_shown())}
            self.picture("mid-turn")
        finished = "mid-turn" in self.seen and not self.navigator.in_motion and not self.navigator.wants_frames
        return finished or time.monotonic() - self.began > LIVE_SECONDS

    def report(self):
        mid = self.seen.get("mid-turn", {"degrees": 0.0, "marker": False})
        return {"mid_turn_degrees": mid["degrees"], "marker_mid_turn": mid["marker"],
                "turn_degrees": degrees_between(self.start, self.camera()),
                "seconds": time.monotonic() - self.began}


# --- napari ----------------------------------------------------------------------------------------

class NapariProbe:
    def __init__(self):
        import napari
        from qtpy.QtWidgets import QApplication

        import pyzibrel.napari

        self.module = pyzibrel.napari
        self.viewer = napari.Viewer(ndisplay=3, show=True, title="pyzibrel napari test")
        self.viewer.window._qt_window.resize(1000, 600)
        self.app = QApplication.instance()
        vertices, faces = uv_sphere(cases.SPHERE_CENTRE, cases.SPHERE_RADIUS)
        self.layer = self.viewer.add_surface((vertices, faces), name="sphere")
        self.canvas = self.viewer.window._qt_viewer.canvas
        self.frame()
        self.adapter = pyzibrel.napari.NapariViewer(self.viewer, pivot_marker=False)
        self.up = self.adapter.get_up_axis()

    @property
    def camera(self):
        return self.adapter._camera

    def attach(self, settings):
        return self.module.attach(self.viewer, timer=False, settings=settings)

    def reset(self, perspective):
        self.camera.perspective = 45.0 if perspective else 0.0
        eye, target, up = cases.start_pose(self.up)
        _, h = self.viewport()
        self.camera.zoom = h / 3.0
        self.adapter.set_camera(zcam.look_at_matrix(eye, target, up), pivot=target)
        self.frame()

    def viewport(self):
        w, h = self.canvas.view.rect.size
        return float(w), float(h)

    def pixel_matrix(self):
        view = self.canvas.view
        # vispy's own transform from its scene to the canvas, as a matrix on homogeneous points.
        mapped = np.asarray(view.scene.node_transform(view.canvas.scene).map(np.eye(4)), dtype=np.float64)
        k_scene = mapped.T[[0, 1, 3]]
        # vispy's scene runs x, y, z along napari's last, middle and first world axis.
        to_scene = np.eye(4)
        to_scene[:3, :3] = np.eye(3)[::-1] @ self.adapter._mirror
        return k_scene @ to_scene

    def frame(self):
        self.app.processEvents()

    def pick(self, origin, direction, aperture=0.0):
        hit = self.adapter.pick(np.asarray(origin, float), np.asarray(direction, float), aperture, False)
        return None if hit is None else hit.tolist()


def napari_layers(probe, report):
    """Hits on Points and Image layers, a left-handed orientation, a 2-D display."""
    import napari

    viewer = probe.viewer
    probe.layer.visible = False
    probe.camera.perspective = 0.0
    hits = {}
    points = viewer.add_points(np.array([[0.0, 0.0, -3.0], [0.0, 0.1, -6.0], [0.0, 2.0, -2.0]]), size=0.4)
    hits["points ahead"] = probe.pick((0, 0, 10), (0, 0, -1))                # the nearest ball's near side
    hits["points in the aperture"] = probe.pick((0, 1.9, 10), (0, 0, -1), 0.02)
    hits["points behind"] = probe.pick((0, 0, -10), (0, 0, -1))
    points.visible = False
    volume = np.zeros((20, 30, 40), dtype=np.float32)
    volume[5:15, 10:20, 12:30] = 100.0
    volume[8:12, 12:18, 30:35] = 5.0  # dimmer than the contrast limit: not seen
    image = viewer.add_image(volume, contrast_limits=(10.0, 200.0), scale=(2.0, 1.0, 1.0), rendering="mip")
    hits["image along +x"] = probe.pick((10, 15, 100), (0, 0, -1))       # enters the bright block at x = 29.5
    hits["image along z"] = probe.pick((-5, 15, 20), (1, 0, 0))           # world z of voxel 5's near face: 9
    hits["image missed"] = probe.pick((10, 25, 100), (0, 0, -1))
    image.visible = False
    # 4-D data (time first): the 3-D slice shown is navigated and hit; time step 1 is bright elsewhere.
    movie = np.zeros((3, 20, 30, 40), dtype=np.float32)
    movie[0, 5:15, 10:20, 12:30] = 100.0
    movie[1, 5:15, 10:20, 2:8] = 100.0
    layer4d = viewer.add_image(movie, contrast_limits=(10.0, 200.0), rendering="mip")
    viewer.dims.set_current_step(0, 0)
    probe.frame()
    hits["4-D, time 0"] = probe.pick((10, 15, 100), (0, 0, -1))
    viewer.dims.set_current_step(0, 1)
    probe.frame()
    hits["4-D, time 1"] = probe.pick((10, 15, 100), (0, 0, -1))
    report["4-D camera"] = {"displayed": list(viewer.dims.displayed), "camera": probe.adapter.get_camera().tolist()}
    viewer.layers.remove(layer4d)
    probe.layer.visible = True
    report["napari_hits"] = hits

    # A left-handed orientation mirrors the first axis: the library's world stays right-handed.
    probe.camera.orientation = ("away", "down", "right")
    m = zcam.look_at_matrix((2.0, 1.0, 6.0), (0.0, 0.0, 0.0), probe.adapter.get_up_axis())
    probe.adapter.set_camera(m)
    probe.frame()
    back = probe.adapter.get_camera()
    k = probe.pixel_matrix()
    report["left_handed"] = {
        "handedness": str(probe.camera.handedness), "det": float(np.linalg.det(back[:3, :3])),
        "round_trip": float(np.abs(back - m).max()),
        "centre_pixel": cases.pixels(k, np.zeros(3))[0].tolist(), "viewport": list(probe.viewport()),
        "up": probe.adapter.get_up_axis().tolist()}
    probe.camera.orientation = ("towards", "down", "right")

    viewer.dims.ndisplay = 2
    try:
        probe.module.attach(viewer, timer=False)
        report["two_d_error"] = None
    except ValueError as exc:
        report["two_d_error"] = str(exc)
    viewer.dims.ndisplay = 3
    probe.frame()


def napari_live(probe, report):
    """napari's own event loop, the Qt ticker, a device file; a picture mid-turn; closing the viewer."""
    from qtpy.QtCore import QTimer

    os.environ["ZIBREL_DEVICE"] = f"file:{write_device(TURN_SESSION)}"
    os.environ.pop("ZIBREL_CONFIG", None)
    probe.reset(True)
    # Something beside the sphere, so that the pictures show the turn.
    probe.viewer.add_points(cases.SPHERE_CENTRE + np.array([[0, 0, 1.8], [0, 1.2, 1.5], [0, -1.2, 1.5]]),
                            size=0.5, face_color="steelblue")
    layers_before = len(probe.viewer.layers)
    navigator = probe.module.attach(probe.viewer)
    ticker = navigator.ticker
    marker = navigator.viewer.marker
    watch = Watch(navigator, probe.adapter.get_camera, lambda: marker.parent is not None,
                  lambda name: probe.viewer.screenshot(str(OUT / f"{name}.png"), canvas_only=True))
    live = {}
    check = QTimer()

    def poll():
        if not watch.done():
            return
        check.stop()
        live.update(watch.report())
        live.update(ticks=ticker.ticks, idle_at_end=not ticker.ticking, marker_after=marker.parent is not None,
                    layers_unchanged=len(probe.viewer.layers) == layers_before)
        watch.picture("after")
        probe.viewer.close()
        live.update(enabled_after_close=navigator.enabled, ticker_after_close=ticker.active)
        probe.app.quit()

    check.timeout.connect(poll)
    check.start(20)
    probe.app.exec()
    report["live"] = live


# --- polyscope -------------------------------------------------------------------------------------

class PolyscopeProbe:
    def __init__(self):
        import polyscope as ps

        import pyzibrel.polyscope

        self.ps, self.module = ps, pyzibrel.polyscope
        ps.set_use_prefs_file(False)  # no .polyscope.ini beside the tests
        ps.set_program_name("pyzibrel polyscope test")
        ps.set_window_size(*SIZE)
        ps.set_window_resizable(False)
        ps.init()
        ps.set_up_dir("y_up")
        ps.set_build_default_gui_panels(False) if hasattr(ps, "set_build_default_gui_panels") else None
        vertices, faces = uv_sphere(cases.SPHERE_CENTRE, cases.SPHERE_RADIUS)
        ps.register_surface_mesh("sphere", vertices, faces)
        self.up = self.module.up_axis()
        self.adapter = self.module.PolyscopeViewer(pivot_marker=False)

    def attach(self, settings):
        return self.module.attach(timer=False, settings=settings)

    def reset(self, perspective):
        ps = self.ps
        ps.set_view_projection_mode("perspective" if perspective else "orthographic")
        ps.set_vertical_fov_degrees(45.0)
        eye, target, up = cases.start_pose(self.up)
        ps.look_at_dir(eye, target, up)
        self.frame()

    def viewport(self):
        w, h = self.ps.get_window_size()
        return float(w), float(h)

    def pixel_matrix(self):
        ps = self.ps
        view = np.asarray(ps.get_camera_view_matrix(), dtype=np.float64)
        w, h = self.viewport()
        fov = math.radians(ps.get_vertical_fov_degrees())
        if str(ps.get_view_projection_mode()) == "perspective":
            f = 1 / math.tan(fov / 2)
            projection = np.array([[f * h / w, 0, 0, 0], [0, f, 0, 0], [0, 0, -1, 0]])
        else:
            # polyscope's parallel view: 2 * length scale * tan(fov / 2) on each side of the axis.
            half_h = 2 * ps.get_length_scale() * math.tan(fov / 2)
            projection = np.array([[h / w / half_h, 0, 0, 0], [0, 1 / half_h, 0, 0], [0, 0, 0, 1]])
        to_pixels = np.array([[w / 2, 0, w / 2], [0, -h / 2, h / 2], [0, 0, 1]])
        return to_pixels @ projection @ view

    def frame(self):
        self.ps.frame_tick()


def polyscope_live(probe, report):
    """ps.show() with the adapter in polyscope's frame callback, chained after the application's own."""
    ps = probe.ps
    os.environ["ZIBREL_DEVICE"] = f"file:{write_device(TURN_SESSION)}"
    os.environ.pop("ZIBREL_CONFIG", None)
    probe.reset(True)
    # Something beside the sphere, so that the pictures show the turn.
    cube = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], dtype=float) * 0.8
    quads = [(0, 1, 3, 2), (4, 6, 7, 5), (0, 4, 5, 1), (2, 3, 7, 6), (0, 2, 6, 4), (1, 5, 7, 3)]
    ps.register_surface_mesh("box", cube + cases.SPHERE_CENTRE + (1.6, -0.4, 0.0), np.array(quads),
                             color=(0.9, 0.6, 0.2))
    calls = {"user": 0}
    box = {}

    def marker_shown():
        return ps.has_point_cloud(probe.module.MARKER) and ps.get_point_cloud(probe.module.MARKER).is_enabled()

    def user_callback():
        calls["user"] += 1
        if box["watch"].done():
            ps.unshow()

    navigator = probe.module.attach(callback=user_callback)
    box["watch"] = watch = Watch(navigator, probe.adapter.get_camera, marker_shown,
                                 lambda name: ps.screenshot(str(OUT / f"{name}.png"), transparent_bg=False))
    frame = navigator.frame_callback
    ps.show()
    live = watch.report()
    watch.picture("after")
    pivot = navigator.pivot
    live.update(user_calls=calls["user"], ticks=frame.ticks, view_centre=np.asarray(ps.get_view_center()).tolist(),
                pivot=None if pivot is None else pivot.tolist())
    navigator.close()
    # Closing gives polyscope's slot back to the application's callback.
    calls_before = calls["user"]
    ps.frame_tick()
    live.update(user_callback_after_close=calls["user"] == calls_before + 1,
                marker_after_close=ps.has_point_cloud(probe.module.MARKER))
    report["live"] = live


# --- run -------------------------------------------------------------------------------------------

def main():
    probe = NapariProbe() if VIEWER == "napari" else PolyscopeProbe()
    report = {"cases": {}}
    for name, deflection, lock, projection in cases.TABLE:
        key = f"{name}-{projection}"
        try:
            report["cases"][key] = jsonable(cases.measure(probe, deflection, lock, projection))
        except Exception:
            report["cases"][key] = {"error": traceback.format_exc()}
    if VIEWER == "napari":
        napari_layers(probe, report)
        napari_live(probe, report)
    else:
        polyscope_live(probe, report)
    (OUT / "report.json").write_text(json.dumps(jsonable(report)))


main()
