"""Navigate polyscope's view with the 3D mouse.

    import polyscope as ps
    import pyzibrel.polyscope

    ps.init()
    ps.register_surface_mesh("mesh", vertices, faces)
    navigator = pyzibrel.polyscope.attach()
    ps.show()

How polyscope's camera maps to the library's convention:
- the camera-to-world matrix is the inverse of polyscope's view matrix, both ways;
- polyscope's field of view is vertical, converted through the window's aspect;
- a parallel ("orthographic") view is 2 * length scale * tan(fov / 2) high on
  each side of its axis, whatever the distance: the library's parallel zoom
  becomes a change of that angle;
- after every change the view centre goes to the pivot, so polyscope's own mouse
  orbits what the 3D mouse turned about.

Hit-testing uses polyscope's own pick buffer: the library's ray becomes a pixel,
its aperture a radius in pixels, and the nearest of the picks at that pixel and
on a ring around it wins. Polyscope has one per-frame callback slot: `attach`
takes the application's callback and calls it before each tick.
"""
from __future__ import annotations

import math
import sys
import traceback
from typing import Any, Callable, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

try:
    import polyscope as ps
    import polyscope_bindings as psb
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(f"pyzibrel.polyscope needs polyscope ({exc}); install it with "
                      f"`pip install pyzibrel[polyscope]`") from exc

from . import camera as zcam
from .convert import as_array
from .navigator import Navigator, Viewer

__all__ = ["DEFAULT_SETTINGS", "PolyscopeViewer", "attach", "up_axis"]

Array = npt.NDArray[np.float64]

# Turns keep the viewer's up axis upright on screen; the application's settings= and the user's
# settings file (ZIBREL_CONFIG) go over these.
DEFAULT_SETTINGS: Mapping[str, Any] = {"lock-horizon": True}

MARKER = "pyzibrel pivot"
_UP = {"x_up": (1, 0, 0), "y_up": (0, 1, 0), "z_up": (0, 0, 1),
       "neg_x_up": (-1, 0, 0), "neg_y_up": (0, -1, 0), "neg_z_up": (0, 0, -1)}


def up_axis() -> Array:
    """polyscope's up direction (`ps.get_up_dir()`) as a world vector."""
    return np.array(_UP.get(str(ps.get_up_dir()), (0, 1, 0)), dtype=np.float64)


class PolyscopeViewer(Viewer):
    """A `pyzibrel.Viewer` for polyscope's one view (call after `ps.init()`).

    `selection` is a list of structure names the application counts as selected:
    the library then picks only on them.
    """

    def __init__(self, *, up: Any = None, pivot_marker: bool = True,
                 marker_color: Sequence[float] = (1.0, 0.45, 0.0), marker_radius: float = 0.012) -> None:
        if not ps.is_initialized():
            raise RuntimeError("call polyscope.init() before pyzibrel.polyscope.attach()")
        self.up = up_axis() if up is None else as_array(up, (3,), "an up direction")
        if not float(np.linalg.norm(self.up)) > 0:
            raise ValueError("expected an up direction of non-zero length")
        self.selection: list[str] = []
        self.pivot_marker = pivot_marker
        self._marker_style = (tuple(marker_color), float(marker_radius))
        self._marker: Optional[Any] = None

    # -- the camera

    def get_viewport_size(self) -> tuple[float, float]:
        w, h = ps.get_window_size()
        return float(w), float(h)

    def get_camera(self) -> Optional[Array]:
        view = np.asarray(ps.get_camera_view_matrix(), dtype=np.float64)
        if not np.all(np.isfinite(view)):
            return None  # polyscope places its camera at the first frame it draws
        return np.linalg.inv(view)

    def set_camera(self, matrix: Array, pivot: Optional[Array] = None) -> None:
        m = as_array(matrix, (4, 4), "a camera-to-world matrix")
        ps.set_camera_view_matrix(np.linalg.inv(m))
        if pivot is not None:
            # polyscope's own mouse then orbits what the 3D mouse turned about.
            ps.set_view_center_raw(np.asarray(pivot, dtype=np.float64))

    def is_perspective(self) -> bool:
        return str(ps.get_view_projection_mode()) == "perspective"

    def get_vertical_fov(self) -> float:
        return math.radians(ps.get_vertical_fov_degrees())

    def set_vertical_fov(self, fov: float) -> None:
        ps.set_vertical_fov_degrees(math.degrees(fov))

    def get_view_extents(self) -> Array:
        w, h = self.get_viewport_size()
        half_h = 2 * ps.get_length_scale() * math.tan(self.get_vertical_fov() / 2)
        half_w = half_h * w / h
        depth = 4 * ps.get_length_scale()
        return np.array([[-half_w, -half_h, -depth], [half_w, half_h, depth]])

    def set_view_extents(self, extents: Array) -> None:
        e = as_array(extents, (2, 3), "view extents (min corner, max corner)")
        half_h = float(e[1, 1] - e[0, 1]) / 2
        if not half_h > 0:
            raise ValueError(f"expected view extents with max above min in y, got {e.tolist()}")
        m = self.get_camera()
        if m is not None:
            moved, _ = zcam.centre_extents(m, e)
            if not np.allclose(moved, m):
                ps.set_camera_view_matrix(np.linalg.inv(moved))
        # polyscope's parallel view size follows its field of view (and the length scale, left alone).
        fov = 2 * math.atan(half_h / (2 * ps.get_length_scale()))
        ps.set_vertical_fov_degrees(math.degrees(min(max(fov, 1e-6), math.pi - 1e-6)))

    # -- the scene

    def get_scene_bounds(self) -> Optional[Array]:
        lo, hi = psb.get_bounding_box()
        box = np.array([lo.as_tuple(), hi.as_tuple()], dtype=np.float64)
        if not np.all(np.isfinite(box)) or np.any(box[0] > box[1]):
            return None
        return box

    def pick_pixel(self, x: float, y: float, radius: float, selection_only: bool) -> Optional[Array]:
        """polyscope's pick at the pixel; when that misses, the nearest pick on a ring `radius` around it.

        Each pick renders polyscope's pick buffer again, so the ring is tried only
        when the centre has nothing (a point cloud's gaps, a thin line).
        """
        hit = self._pick_nearest([(x, y)], selection_only)
        if hit is None and radius >= 1:
            ring = [(x + radius * math.cos(a), y + radius * math.sin(a))
                    for a in np.linspace(0, 2 * math.pi, 8, endpoint=False)]
            hit = self._pick_nearest(ring, selection_only)
        return hit

    def _pick_nearest(self, pixels: Sequence[tuple[float, float]], selection_only: bool) -> Optional[Array]:
        w, h = self.get_viewport_size()
        best: Optional[tuple[float, Array]] = None
        chosen = set(self.selection)
        for px, py in pixels:
            if not (0 <= px < w and 0 <= py < h):
                continue
            result = ps.pick(screen_coords=(px, py))
            if not result.is_hit or result.structure_name == MARKER:
                continue
            if selection_only and result.structure_name not in chosen:
                continue
            depth = float(result.depth)
            if best is None or depth < best[0]:
                best = (depth, np.asarray(result.position, dtype=np.float64))
        return None if best is None else best[1]

    def show_pivot(self, position: Array, visible: bool) -> None:
        if not self.pivot_marker:
            return
        if visible:
            color, radius = self._marker_style
            self._marker = ps.register_point_cloud(MARKER, np.asarray(position, dtype=np.float64)[None, :],
                                                   radius=radius, color=color)
            self._marker.set_enabled(True)
        elif self._marker is not None and ps.has_point_cloud(MARKER):
            self._marker.set_enabled(False)

    def get_up_axis(self) -> Array:
        return self.up.copy()

    def detach(self) -> None:
        """Take the pivot marker out of the scene."""
        if self._marker is not None and ps.is_initialized() and ps.has_point_cloud(MARKER):
            ps.remove_point_cloud(MARKER)
        self._marker = None


class _Callback:
    """polyscope's per-frame callback: the application's own first, then a tick when one is due."""

    def __init__(self, navigator: Navigator, callback: Optional[Callable[[], object]]) -> None:
        self.navigator: Optional[Navigator] = navigator
        self.callback = callback
        self.ticks = 0

    def __call__(self) -> None:
        if self.callback is not None:
            self.callback()
        navigator = self.navigator
        if navigator is None or not navigator.enabled:
            return
        if not np.all(np.isfinite(ps.get_camera_view_matrix())):
            return  # polyscope has not placed its camera yet: its first frame does
        # polyscope runs this every frame it draws; the library only needs the frames that move.
        if navigator.input_fd() is None or navigator.wants_frames:
            try:
                navigator.tick()
                self.ticks += 1
            except Exception:
                sys.stderr.write(f"pyzibrel: a tick from polyscope's frame failed:\n"
                                 f"{traceback.format_exc().rstrip()}\n")

    def detach(self) -> None:
        self.navigator = None
        # The application's callback stays polyscope's.
        ps.set_user_callback(self.callback)


def attach(*, timer: bool = True, callback: Optional[Callable[[], object]] = None, up: Any = None,
           settings: Any = None, pivot_marker: bool = True, **navigator_options: Any) -> Navigator:
    """Navigate polyscope's view with the 3D mouse; call after `polyscope.init()`.

    - timer: tick from polyscope's per-frame callback during `ps.show()` (or your own
      `ps.frame_tick()` loop); False: call `navigator.tick()` yourself;
    - callback: the application's per-frame callback (polyscope has one slot), called
      first in every frame; do not set another with `ps.set_user_callback` afterwards;
    - up: the world's up axis (default: polyscope's up direction, `ps.get_up_dir()`);
    - pivot_marker: a dot at the pivot during a motion;
    - settings: the navigation library's settings, over `DEFAULT_SETTINGS` (lock-horizon
      on, about `up`); the other options go to `pyzibrel.Navigator`.

    `navigator.close()` gives polyscope's callback back to the application's and
    removes the marker.
    """
    adapter = PolyscopeViewer(up=up, pivot_marker=pivot_marker)
    try:
        navigator = Navigator(adapter, settings={**DEFAULT_SETTINGS, **(settings or {})}, **navigator_options)
    except BaseException:
        adapter.detach()
        raise
    navigator.on_close(adapter.detach)
    if timer:
        frame = _Callback(navigator, callback)
        ps.set_user_callback(frame)
        navigator.on_close(frame.detach)
        setattr(navigator, "frame_callback", frame)
    elif callback is not None:
        ps.set_user_callback(callback)
    return navigator
