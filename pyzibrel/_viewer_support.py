"""What a Navigator derives from the optional parts of a Viewer, so that adapters stay short.

- A viewer that knows its vertical field of view (`get_vertical_fov`,
  `set_vertical_fov`) and its viewport size gets the library's horizontal angle
  converted through the viewport's aspect; a vertical angle given as horizontal
  makes turns look right and pans too fast, with no error anywhere.
- A viewer that picks by pixel (`pick_pixel`) gets the library's ray projected
  to a pixel and its aperture converted to a radius in pixels.
- A camera whose up axis points against the viewer's `get_up_axis()` when
  navigation starts is warned about: level turns would first roll it upright.
"""
from __future__ import annotations

import inspect
import warnings
from typing import Any, Callable, Optional

import numpy as np

from . import camera

__all__ = ["UpAxisWarning", "derived_calls", "takes_pivot", "warn_if_up_is_against"]


class UpAxisWarning(UserWarning):
    """The viewer's camera is upside down with respect to the viewer's up axis."""


def _overrides(viewer: Any, name: str, base: type) -> bool:
    method = getattr(type(viewer), name, None)
    return callable(getattr(viewer, name, None)) and method is not getattr(base, name, None)


def viewport_size(viewer: Any) -> tuple[float, float]:
    size = viewer.get_viewport_size()
    if size is None:
        raise ValueError(f"{type(viewer).__name__}.get_viewport_size() gave no size: a vertical field of view "
                         f"and pixel picking need the viewport's width and height in pixels")
    w, h = (float(v) for v in size)
    if not (w > 0 and h > 0):
        raise ValueError(f"{type(viewer).__name__}.get_viewport_size() gave {size!r}, not a width and height above 0")
    return w, h


def derived_calls(viewer: Any, base: type, calls: dict[str, Callable[..., Any]]) -> dict[str, Callable[..., Any]]:
    """Replacements for the Navigator's viewer calls that the viewer answers only in another form."""
    derived: dict[str, Callable[..., Any]] = {}

    def aspect() -> float:
        w, h = viewport_size(viewer)
        return w / h

    if _overrides(viewer, "get_vertical_fov", base) and not _overrides(viewer, "get_fov", base):
        def get_fov() -> Optional[float]:
            vertical = viewer.get_vertical_fov()
            return None if vertical is None else camera.horizontal_fov(float(vertical), aspect())
        derived["get_fov"] = get_fov
    if _overrides(viewer, "set_vertical_fov", base) and not _overrides(viewer, "set_fov", base):
        derived["set_fov"] = lambda fov: viewer.set_vertical_fov(camera.vertical_fov(float(fov), aspect()))
    if _overrides(viewer, "pick_pixel", base) and not _overrides(viewer, "pick", base):
        get_camera, get_fov_call = calls["get_camera"], derived.get("get_fov", calls["get_fov"])

        def pick(origin: Any, direction: Any, aperture: float, selection_only: bool) -> Any:
            size = viewport_size(viewer)
            m = np.asarray(get_camera(), dtype=np.float64)
            lens: dict[str, Any] = ({"fov": get_fov_call()} if calls["is_perspective"]()
                                    else {"extents": calls["get_view_extents"]()})
            ahead = np.asarray(origin, dtype=np.float64) + np.asarray(direction, dtype=np.float64)
            x, y = camera.project(m, ahead, size, **lens)
            radius = camera.aperture_pixels(float(aperture), size, **lens)
            return viewer.pick_pixel(float(x), float(y), radius, bool(selection_only))
        derived["pick"] = pick
    return derived


def takes_pivot(set_camera: Callable[..., Any]) -> bool:
    """`set_camera(matrix, pivot=...)` is accepted: the viewer wants the pivot with the camera."""
    try:
        inspect.signature(set_camera).bind(None, pivot=None)
    except (TypeError, ValueError):
        return False
    return True


def warn_if_up_is_against(viewer: Any, matrix: Any, up: Any, stacklevel: int = 3) -> None:
    if matrix is None or up is None:
        return
    m, u = np.asarray(matrix, dtype=np.float64), np.asarray(up, dtype=np.float64)
    camera_up = m[:3, 1] / max(float(np.linalg.norm(m[:3, 1])), 1e-300)
    if float(camera_up @ u) < -1e-6 * max(float(np.linalg.norm(u)), 1e-300):
        warnings.warn(f"the camera's up axis {np.round(camera_up, 3).tolist()} points against "
                      f"{type(viewer).__name__}.get_up_axis() {np.round(u, 3).tolist()}: level turns (lock-horizon) "
                      f"would first roll the view upright; give the viewer's screen up as its up axis",
                      UpAxisWarning, stacklevel=stacklevel)

