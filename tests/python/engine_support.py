"""Helpers for the engine tests: the device-input control functions and a
small scene model that keeps a camera and records what the library tells it.

Camera convention (the library's): "view.affine" is camera-to-world, row-major,
for column vectors; columns 0-2 are the camera's right, up and back axes, the
last column is the eye, the camera looks along -back.
"""

import ctypes
import datetime
import math

import numpy as np

import zibrel_ctl as ctl
from _pyzibrel import ZibrelBox, ZibrelMatrix, ZibrelNavigationModel, ZibrelPoint

_d = ctypes.c_double
for _name, _res, _args in [
    ("zbctl_device_sample", ctypes.c_int, [ctypes.c_uint64, _d, _d, _d, _d, _d, _d, _d]),
    ("zbctl_device_button", ctypes.c_int, [ctypes.c_uint64, _d, ctypes.c_int, ctypes.c_int]),
    ("zbctl_frame_count", ctypes.c_uint64, [ctypes.c_uint64]),
    ("zbctl_in_motion", ctypes.c_int, [ctypes.c_uint64]),
]:
    _f = getattr(ctl.lib, _name)
    _f.restype, _f.argtypes = _res, _args


STEP = 10.0  # ms between frames of the engine tests


def sample(conn, t_ms, x=0.0, y=0.0, z=0.0, rx=0.0, ry=0.0, rz=0.0):
    return ctl.lib.zbctl_device_sample(conn, t_ms, x, y, z, rx, ry, rz)


def button(conn, t_ms, number, pressed=True):
    return ctl.lib.zbctl_device_button(conn, t_ms, number, int(pressed))


def frame_count(conn):
    return ctl.lib.zbctl_frame_count(conn)


def in_motion(conn):
    return ctl.lib.zbctl_in_motion(conn)


def matrix_to_np(m):
    return np.array([[getattr(m, f"m{r}{c}") for c in range(4)] for r in range(4)])


def np_to_matrix(a):
    return ZibrelMatrix(*[float(x) for x in np.asarray(a).reshape(16)])


def look_at(eye, target, up=(0.0, 1.0, 0.0)):
    """Camera-to-world matrix of a camera at eye looking at target."""
    eye, target, up = (np.asarray(v, float) for v in (eye, target, up))
    back = eye - target
    back /= np.linalg.norm(back)
    right = np.cross(up, back)
    right /= np.linalg.norm(right)
    m = np.eye(4)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = right, np.cross(back, right), back, eye
    return m


class Scene(ZibrelNavigationModel):
    """A camera over a model box, answering like a simple viewer would.

    `events` records every write of the library as (name, value) in order.
    """

    def __init__(self, camera=None, perspective=True, fov=math.radians(60), extents=(-2, -1.5, -100, 2, 1.5, 100),
                 model=((-1, -1, -1), (1, 1, 1)), hit=None, selection=None, user_pivot=None):
        super().__init__(False, 0)
        self.camera = look_at((0, 0, 10), (0, 0, 0)) if camera is None else np.asarray(camera, float)
        self.perspective = perspective
        self.fov = fov
        self.extents = list(extents)
        self.model = model
        self.hit = hit
        self.selection = selection
        self.user_pivot = user_pivot
        self.events = []

    # reads
    def _get_camera_matrix(self): return np_to_matrix(self.camera)
    def _get_is_view_perspective(self): return self.perspective
    def _get_view_fov(self): return self.fov
    def _get_view_frustum(self): return None
    def _get_view_extents(self): return ZibrelBox(*self.extents)
    def _get_model_extents(self): return ZibrelBox(*self.model[0], *self.model[1])
    def _get_is_selection_empty(self): return self.selection is None
    def _get_selection_extents(self):
        return None if self.selection is None else ZibrelBox(*self.selection[0], *self.selection[1])
    def _get_selection_transform(self): return None
    def _get_hit_look_at(self): return None if self.hit is None else ZibrelPoint(*self.hit)
    def _is_user_pivot(self): return self.user_pivot is not None
    def _get_pivot_position(self):
        p = self.user_pivot if self.user_pivot is not None else (0, 0, 0)
        return ZibrelPoint(*p)
    def _get_pivot_visible(self): return False
    def _get_pointer_position(self): return None

    # writes
    def _set_camera_matrix(self, m):
        self.camera = matrix_to_np(m)
        self.events.append(("view.affine", self.camera.copy()))
    def _set_view_extents(self, b):
        self.extents = [b.min.x, b.min.y, b.min.z, b.max.x, b.max.y, b.max.z]
        self.events.append(("view.extents", list(self.extents)))
    def _set_view_fov(self, v): self.events.append(("view.fov", v))
    def _set_view_frustum(self, f): self.events.append(("view.frustum", f))
    def _set_selection_transform(self, m): self.events.append(("selection.affine", m))
    def _set_pivot_position(self, p): self.events.append(("pivot.position", (p.x, p.y, p.z)))
    def _set_pivot_visible(self, v): self.events.append(("pivot.visible", bool(v)))
    def _set_hit_aperture(self, v): self.events.append(("hit.aperture", v))
    def _set_hit_direction(self, v): self.events.append(("hit.direction", (v.x, v.y, v.z)))
    def _set_hit_look_from(self, p): self.events.append(("hit.lookfrom", (p.x, p.y, p.z)))
    def _set_hit_selection_only(self, v): self.events.append(("hit.selectionOnly", bool(v)))
    def _set_active_command(self, c): self.events.append(("commands.activeCommand", c))
    def _set_motion_flag(self, v): self.events.append(("motion", bool(v)))
    def _set_transaction(self, v): self.events.append(("transaction", v))

    def names(self, keep=None):
        return [n for n, _ in self.events if keep is None or n in keep]

    def last(self, name):
        return [v for n, v in self.events if n == name][-1]

    # the application's side of navigation
    def open(self, profile="engine tests", app_timing=True):
        if app_timing:
            self._put_frame_timing_source(1)
        self._put_profile_hint(profile)
        self._enable_navigation(True)
        return ctl.last_connection()

    def frame(self, t_ms):
        self._put_frame_time(datetime.timedelta(milliseconds=t_ms))

    def screen(self, world_point):
        """A world point in camera coordinates: (x, y, depth), depth along the view."""
        inv = np.linalg.inv(self.camera)
        x, y, z, _ = inv @ np.append(np.asarray(world_point, float), 1.0)
        return np.array([x, y, -z])

    def view_width_at(self, depth):
        return 2 * depth * math.tan(self.fov / 2)


def drive(scene, conn, t0, frames, **deflection):
    """One device sample and one frame every STEP ms; returns the end time."""
    t = t0
    for _ in range(frames):
        t += STEP
        if deflection:
            assert sample(conn, t, **deflection) == 0
        scene.frame(t)
    return t
