"""A small 3-D viewer navigated through our navigation library.

The viewer is a ZibrelNavigationModel over a little mesh scene. By default a
scripted session (demo_session.txt) plays on the library's virtual device; the
viewer drives the frames itself ("frame.timingSource" 1), so the run is the
same every time, and renders frames off screen into demo-output/ as PNG files.

    python examples/demo.py                 # the scripted session
    python examples/demo.py --live 30       # 30 s with a real device: by default every
                                            # one found (spacenavd and direct HID), or
                                            # ZIBREL_DEVICE's; says which it uses, or why
                                            # there is none; the library's own timer,
                                            # demo-output/live.png
"""

import argparse
import datetime
import math
import os
import pathlib
import struct
import sys
import time
import zlib

import numpy as np

from _pyzibrel import ZibrelBox, ZibrelFrustum, ZibrelMatrix, ZibrelNavigationModel, ZibrelPoint

HERE = pathlib.Path(__file__).resolve().parent
WIDTH, HEIGHT = 480, 320
FOV = math.radians(50)  # full horizontal angle, as the library reads "view.fov"


# ---------------------------------------------------------------- the scene

def box_mesh(lo, hi, colour):
    (x0, y0, z0), (x1, y1, z1) = lo, hi
    v = np.array([[x0, y0, z0], [x1, y0, z0], [x1, y1, z0], [x0, y1, z0],
                  [x0, y0, z1], [x1, y0, z1], [x1, y1, z1], [x0, y1, z1]], float)
    quads = [(4, 5, 6, 7), (1, 0, 3, 2), (5, 1, 2, 6), (0, 4, 7, 3), (7, 6, 2, 3), (0, 1, 5, 4)]
    tris = [(v[a], v[b], v[c]) for a, b, c, d in quads] + [(v[a], v[c], v[d]) for a, b, c, d in quads]
    return tris, [colour] * len(tris)


def house():
    tris, colours = [], []
    for part in (box_mesh((-1, 0, -0.8), (1, 1.2, 0.8), (0.85, 0.75, 0.55)),  # walls
                 box_mesh((-0.2, 0, 0.8), (0.2, 0.7, 0.82), (0.45, 0.25, 0.1)),  # door
                 box_mesh((0.45, 0.55, 0.8), (0.8, 0.9, 0.82), (0.4, 0.6, 0.9)),  # window
                 box_mesh((-2.5, -0.1, -2), (2.5, 0, 2), (0.35, 0.6, 0.3)),  # lawn
                 box_mesh((1.6, 0, -1.2), (1.8, 0.8, -1.0), (0.4, 0.25, 0.1))):  # tree trunk
        tris += part[0]
        colours += part[1]
    # the roof: a prism over the walls
    a, b = np.array([-1.1, 1.2, -0.9]), np.array([1.1, 1.2, -0.9])
    c, d = np.array([1.1, 1.2, 0.9]), np.array([-1.1, 1.2, 0.9])
    r0, r1 = np.array([-1.1, 2.0, 0.0]), np.array([1.1, 2.0, 0.0])
    red = (0.75, 0.2, 0.15)
    for t in [(d, c, r1), (d, r1, r0), (b, a, r0), (b, r0, r1), (a, d, r0), (c, b, r1)]:
        tris.append(t)
        colours.append(red)
    # the tree's crown: an octahedron
    top, centre, r = np.array([1.7, 1.9, -1.1]), np.array([1.7, 1.2, -1.1]), 0.5
    ring = [centre + r * np.array([math.cos(k * math.pi / 2), 0, math.sin(k * math.pi / 2)]) for k in range(4)]
    bottom = np.array([1.7, 0.7, -1.1])
    for k in range(4):
        p, q = ring[k], ring[(k + 1) % 4]
        tris += [(top, q, p), (bottom, p, q)]
        colours += [(0.2, 0.55, 0.25)] * 2
    return np.array(tris, float), np.array(colours, float)


# ---------------------------------------------------------------- rendering

def render(triangles, colours, camera, pivot=None):
    """Flat-shaded z-buffered rasterisation; camera is camera-to-world (column vectors)."""
    image = np.empty((HEIGHT, WIDTH, 3))
    image[:] = np.linspace(0.92, 0.75, HEIGHT)[:, None, None] * np.array([0.85, 0.9, 1.0])
    depth = np.full((HEIGHT, WIDTH), np.inf)
    view = np.linalg.inv(camera)
    cam = triangles @ view[:3, :3].T + view[:3, 3]  # (n, 3, 3) in camera coordinates
    focal = (WIDTH / 2) / math.tan(FOV / 2)
    normals = np.cross(triangles[:, 1] - triangles[:, 0], triangles[:, 2] - triangles[:, 0])
    normals /= np.linalg.norm(normals, axis=1, keepdims=True)
    light = camera[:3, 2] * 0.6 + np.array([0.3, 0.8, 0.2])  # a headlight and the sun
    light /= np.linalg.norm(light)
    shade = 0.35 + 0.65 * np.abs(normals @ light)
    for tri, colour, s in zip(cam, colours, shade):
        d = -tri[:, 2]
        if np.any(d < 0.05):
            continue  # behind or at the eye: left out, the demo never needs clipping
        sx = WIDTH / 2 + focal * tri[:, 0] / d
        sy = HEIGHT / 2 - focal * tri[:, 1] / d
        x0, x1 = max(int(sx.min()), 0), min(int(sx.max()) + 1, WIDTH)
        y0, y1 = max(int(sy.min()), 0), min(int(sy.max()) + 1, HEIGHT)
        if x0 >= x1 or y0 >= y1:
            continue
        px, py = np.meshgrid(np.arange(x0, x1) + 0.5, np.arange(y0, y1) + 0.5)
        area = (sx[1] - sx[0]) * (sy[2] - sy[0]) - (sx[2] - sx[0]) * (sy[1] - sy[0])
        if abs(area) < 1e-12:
            continue
        w0 = ((sx[1] - px) * (sy[2] - py) - (sx[2] - px) * (sy[1] - py)) / area
        w1 = ((sx[2] - px) * (sy[0] - py) - (sx[0] - px) * (sy[2] - py)) / area
        w2 = 1 - w0 - w1
        inside = (w0 >= 0) & (w1 >= 0) & (w2 >= 0)
        z = 1 / (w0 / d[0] + w1 / d[1] + w2 / d[2])
        region = depth[y0:y1, x0:x1]
        nearer = inside & (z < region)
        region[nearer] = z[nearer]
        image[y0:y1, x0:x1][nearer] = np.asarray(colour) * s
    if pivot is not None:
        p = view[:3, :3] @ pivot + view[:3, 3]
        if -p[2] > 0.05:
            cx, cy = int(WIDTH / 2 + focal * p[0] / -p[2]), int(HEIGHT / 2 - focal * p[1] / -p[2])
            yy, xx = np.ogrid[:HEIGHT, :WIDTH]
            ring = np.abs(np.hypot(xx - cx, yy - cy) - 5) < 1.2
            image[ring] = (0.1, 0.2, 0.9)
    return (np.clip(image, 0, 1) * 255).astype(np.uint8)


def write_png(path, pixels):
    height, width, _ = pixels.shape
    raw = b"".join(b"\0" + pixels[y].tobytes() for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def contact_sheet(images, columns=4):
    rows = math.ceil(len(images) / columns)
    small = [img[::2, ::2] for img in images]
    h, w, _ = small[0].shape
    sheet = np.full((rows * (h + 4) + 4, columns * (w + 4) + 4, 3), 40, np.uint8)
    for i, img in enumerate(small):
        r, c = divmod(i, columns)
        sheet[4 + r * (h + 4):4 + r * (h + 4) + h, 4 + c * (w + 4):4 + c * (w + 4) + w] = img
    return sheet


# ---------------------------------------------------------------- the viewer

def look_at(eye, target, up=(0.0, 1.0, 0.0)):
    eye, target, up = (np.asarray(v, float) for v in (eye, target, up))
    back = (eye - target) / np.linalg.norm(eye - target)
    right = np.cross(up, back)
    right /= np.linalg.norm(right)
    m = np.eye(4)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = right, np.cross(back, right), back, eye
    return m


class Viewer(ZibrelNavigationModel):
    def __init__(self):
        super().__init__(False, 0)
        self.triangles, self.colours = house()
        self.camera = look_at((2.5, 2.0, 7.0), (0, 0.8, 0))
        self.pivot = None
        self.pivot_visible = False
        self.log = []

    # what the library reads
    def _get_camera_matrix(self):
        return ZibrelMatrix(*self.camera.reshape(16))

    def _get_is_view_perspective(self): return True
    def _get_view_fov(self): return FOV
    def _get_view_frustum(self):
        near = 0.1
        right = near * math.tan(FOV / 2)
        top = right * HEIGHT / WIDTH
        return ZibrelFrustum(-right, right, -top, top, near, 100.0)
    def _get_view_extents(self): return None
    def _get_model_extents(self):
        lo, hi = self.triangles.reshape(-1, 3).min(0), self.triangles.reshape(-1, 3).max(0)
        return ZibrelBox(*lo, *hi)
    def _get_is_selection_empty(self): return True
    def _get_selection_extents(self): return None
    def _get_selection_transform(self): return None
    def _is_user_pivot(self): return False
    def _get_pivot_position(self): return None
    def _get_pivot_visible(self): return self.pivot_visible
    def _get_pointer_position(self): return None

    def _get_hit_look_at(self):
        """The nearest triangle along the hit ray (Moller-Trumbore), or None."""
        o, d = self.hit_from, self.hit_direction
        a, b, c = self.triangles[:, 0], self.triangles[:, 1], self.triangles[:, 2]
        e1, e2 = b - a, c - a
        p = np.cross(d, e2)
        det = np.einsum("ij,ij->i", e1, p)
        ok = np.abs(det) > 1e-12
        inv = np.where(ok, 1 / np.where(ok, det, 1), 0)
        s = o - a
        u = np.einsum("ij,ij->i", s, p) * inv
        q = np.cross(s, e1)
        v = (q @ d) * inv
        t = np.einsum("ij,ij->i", e2, q) * inv
        hit = ok & (u >= 0) & (v >= 0) & (u + v <= 1) & (t > 1e-9)
        if not hit.any():
            return None
        return ZibrelPoint(*(o + d * t[hit].min()))

    # what the library writes
    def _set_camera_matrix(self, m):
        self.camera = np.array([[getattr(m, f"m{r}{c}") for c in range(4)] for r in range(4)])

    def _set_view_extents(self, b): pass
    def _set_view_fov(self, f): pass
    def _set_view_frustum(self, f): pass
    def _set_selection_transform(self, m): pass
    def _set_pivot_position(self, p):
        self.pivot = np.array([p.x, p.y, p.z])
        self.log[-1] += f", turning about ({p.x:.2f}, {p.y:.2f}, {p.z:.2f})"
    def _set_pivot_visible(self, v): self.pivot_visible = bool(v)
    def _set_hit_look_from(self, p): self.hit_from = np.array([p.x, p.y, p.z])
    def _set_hit_direction(self, v): self.hit_direction = np.array([v.x, v.y, v.z])
    def _set_hit_aperture(self, a): pass
    def _set_hit_selection_only(self, s): pass

    def _set_motion_flag(self, moving):
        self.log.append("motion starts" if moving else "motion ends")

    def _set_active_command(self, command):
        self.log.append(f"command {command}")
        if command == "demo.paint":  # repaint the walls
            walls = np.all(np.isclose(self.colours, (0.85, 0.75, 0.55)), axis=1)
            self.colours[walls] = (0.55, 0.7, 0.9)

    def publish_commands(self):
        self._begin_command_set("demo", "Demo viewer")
        self._begin_command_category("demo.view", "View")
        self._create_command("demo.paint", "Paint", "Paint the walls blue")
        self._end_command_category()
        self._end_command_set()

    def picture(self):
        return render(self.triangles, self.colours, self.camera, self.pivot if self.pivot_visible else None)


def scripted(out, fps, every):
    os.environ.setdefault("ZIBREL_DEVICE", f"file:{HERE / 'demo_session.txt'}")
    viewer = Viewer()
    viewer._put_frame_timing_source(1)  # one frame per frame time we put: a repeatable run
    viewer._put_profile_hint("pyzibrel demo")
    viewer._enable_navigation(True)
    viewer.publish_commands()
    frames, pictures = int(11 * fps), []
    for i in range(frames):
        viewer._put_frame_time(datetime.timedelta(seconds=1000 + i / fps))
        if i % every == 0:
            image = viewer.picture()
            path = out / f"frame_{i:04d}.png"
            write_png(path, image)
            pictures.append(image)
    viewer._enable_navigation(False)
    write_png(out / "contact_sheet.png", contact_sheet(pictures))
    return viewer, len(pictures)


def say_which_device():
    """Tell the user what the live run listens to, or why nothing will move."""
    from pyzibrel import devices
    from pyzibrel.cli import usable_devices

    info = devices()
    setting = info.device_setting or os.environ.get("ZIBREL_DEVICE") or "the default"
    if info.usable:
        using = usable_devices(info)
        print(f"demo: live input from {', '.join(using) if using else 'the configured device'} "
              f"(device setting: {setting})")
    else:
        print(f"demo: no device can be used (device setting: {setting}); the view will stay still.")
        for problem in info.problems:
            print("  " + problem)
        print("  `python -m pyzibrel status` tells more; a device plugged in now is still picked up.")
    return info


def live(out, seconds):
    say_which_device()
    viewer = Viewer()
    viewer._put_profile_hint("pyzibrel demo")
    viewer._enable_navigation(True)  # the library's own timer drives the frames
    viewer.publish_commands()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(0.5)
        write_png(out / "live.png", viewer.picture())
    viewer._enable_navigation(False)
    return viewer


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default="demo-output", help="folder for the PNG files (default: demo-output)")
    parser.add_argument("--fps", type=float, default=30, help="frames per second of the scripted run")
    parser.add_argument("--every", type=int, default=10, help="save every n-th frame")
    parser.add_argument("--live", type=float, metavar="SECONDS", help="run with the configured device instead")
    args = parser.parse_args()
    os.environ.setdefault("ZIBREL_CONFIG", str(HERE / "demo_settings.conf"))
    out = pathlib.Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    if args.live:
        viewer = live(out, args.live)
        saved = f"{out / 'live.png'} (the latest view, rewritten twice a second)"
    else:
        viewer, count = scripted(out, args.fps, args.every)
        saved = f"{count} frames in {out}/frame_*.png, all of them on {out / 'contact_sheet.png'}"
    for line in viewer.log:
        print("  " + line)
    print(f"demo: {saved}; took {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    sys.exit(main())
