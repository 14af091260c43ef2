"""Camera helpers in the navigation library's convention.

The camera matrix is camera-to-world, row by row, for column vectors: columns
0, 1 and 2 are the camera's right, up and back axes in world coordinates,
column 3 is the eye (m03, m13, m23), the bottom row is 0 0 0 1, and the camera
looks along -back. "view.fov" is the full horizontal angle in radians.
"view.extents" is the orthographic view box in camera coordinates: x across,
y up, z along back (what is in front of the camera has negative z).

Bad input (wrong shapes, numbers that are not finite, degenerate directions,
angles outside (0, pi)) raises ValueError naming what was expected.

`view_command` asks the navigation library that `_pyzibrel` loaded, so that a
viewer's own menu moves the camera exactly as a device button does.
"""
from __future__ import annotations

import ctypes
import functools
import math
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from . import _library
from .convert import as_array

__all__ = [
    "aperture_pixels",
    "centre_extents",
    "extents_from_parallel_scale",
    "horizontal_fov",
    "look_at_from_matrix",
    "look_at_matrix",
    "parallel_scale_from_extents",
    "pixel_rays",
    "project",
    "vertical_fov",
    "view_command",
    "world_axes",
]

Array = npt.NDArray[np.float64]

# Below this a direction counts as zero, or two directions as parallel.
_TINY = 1e-12


def _unit(v: Array, what: str) -> Array:
    norm = float(np.linalg.norm(v))
    if not norm > _TINY:
        raise ValueError(f"expected {what} of non-zero length")
    return v / norm


def look_at_matrix(eye: Any, target: Any, up: Any = (0.0, 1.0, 0.0)) -> Array:
    """The (4, 4) camera-to-world matrix of a camera at `eye` looking at `target`.

    The camera's up axis is `up` made perpendicular to the view direction;
    `up` must not be parallel to it.
    """
    eye_a = as_array(eye, (3,), "the eye, a point")
    target_a = as_array(target, (3,), "the target, a point")
    up_a = as_array(up, (3,), "the up direction, a vector")
    back = _unit(eye_a - target_a, "the eye and the target apart, a view direction")
    right = np.cross(_unit(up_a, "an up direction"), back)
    if not float(np.linalg.norm(right)) > 1e-9:
        raise ValueError("expected an up direction that is not parallel to the view direction")
    right = right / np.linalg.norm(right)
    matrix = np.eye(4)
    matrix[:3, 0] = right
    matrix[:3, 1] = np.cross(back, right)
    matrix[:3, 2] = back
    matrix[:3, 3] = eye_a
    return matrix


def look_at_from_matrix(matrix: Any, distance: float = 1.0) -> tuple[Array, Array, Array]:
    """(eye, target, up) of a camera-to-world matrix; the target lies `distance` ahead of the eye.

    The axes are normalised, so a matrix with scale gives the same answer as without.
    """
    m = as_array(matrix, (4, 4), "a camera-to-world matrix")
    if not np.allclose(m[3], (0.0, 0.0, 0.0, 1.0), atol=1e-9):
        raise ValueError(f"expected a camera-to-world matrix with the bottom row 0 0 0 1 (the eye goes in the "
                         f"last column, m03 m13 m23), got bottom row {m[3].tolist()}")
    if not (math.isfinite(distance) and distance > 0):
        raise ValueError(f"expected a distance greater than 0, got {distance}")
    if abs(float(np.linalg.det(m[:3, :3]))) < _TINY:
        raise ValueError("expected a camera-to-world matrix whose axes are independent, got a singular one")
    back = _unit(m[:3, 2], "a back axis (column 2)")
    up = _unit(m[:3, 1], "an up axis (column 1)")
    eye = m[:3, 3].copy()
    return eye, eye - back * distance, up


def _check_angle(angle: float, what: str) -> None:
    if not (math.isfinite(angle) and 0 < angle < math.pi):
        raise ValueError(f"expected {what} in radians between 0 and pi, got {angle}")


def _check_aspect(aspect: float) -> None:
    if not (math.isfinite(aspect) and aspect > 0):
        raise ValueError(f"expected an aspect ratio (width / height) greater than 0, got {aspect}")


def vertical_fov(horizontal: float, aspect: float) -> float:
    """The full vertical angle of a view whose full horizontal angle is `horizontal` (radians)
    and whose width / height is `aspect`."""
    _check_angle(horizontal, "a horizontal field of view")
    _check_aspect(aspect)
    return 2 * math.atan(math.tan(horizontal / 2) / aspect)


def horizontal_fov(vertical: float, aspect: float) -> float:
    """The full horizontal angle of a view whose full vertical angle is `vertical` (radians)
    and whose width / height is `aspect`."""
    _check_angle(vertical, "a vertical field of view")
    _check_aspect(aspect)
    return 2 * math.atan(math.tan(vertical / 2) * aspect)


def extents_from_parallel_scale(scale: float, aspect: float, near: float = 0.0, far: float = 1.0) -> Array:
    """Orthographic view extents (2, 3) for a parallel scale (half the view's height, world units).

    The box is centred on the view axis, `scale * aspect` wide on each side; its
    depth spans -far..-near (the library moves the camera with x and y only).
    """
    if not (math.isfinite(scale) and scale > 0):
        raise ValueError(f"expected a parallel scale (half the view height) greater than 0, got {scale}")
    _check_aspect(aspect)
    if not (math.isfinite(near) and math.isfinite(far) and near < far):
        raise ValueError(f"expected finite near < far, got near {near}, far {far}")
    half_width = scale * aspect
    return np.array([[-half_width, -scale, -far], [half_width, scale, -near]], dtype=np.float64)


def parallel_scale_from_extents(extents: Any) -> tuple[float, float]:
    """(parallel scale, aspect) of orthographic view extents: half their height, and width / height."""
    e = as_array(extents, (2, 3), "view extents (min corner, max corner)")
    width, height = float(e[1, 0] - e[0, 0]), float(e[1, 1] - e[0, 1])
    if not (width > 0 and height > 0):
        raise ValueError(f"expected view extents with max above min in x and y, got {e.tolist()}")
    return height / 2, width / height


# --- pixels ---------------------------------------------------------------------------------------
#
# Pixel coordinates: x from the viewport's left edge, y down from its top edge, in
# pixels; the view's centre is (width / 2, height / 2). A perspective view is
# given by its full horizontal angle `fov`, a parallel one by its view `extents`.


def _viewport(viewport: Any) -> tuple[float, float]:
    size = as_array(viewport, (2,), "a viewport size (width, height) in pixels")
    if not (size[0] > 0 and size[1] > 0):
        raise ValueError(f"expected a viewport size (width, height) above 0, got {size.tolist()}")
    return float(size[0]), float(size[1])


def _lens(viewport: Any, fov: Any, extents: Any) -> tuple[float, float, float, float, float, float, bool]:
    """(width, height, half width and half height of the view one unit ahead or of the extents,
    centre x and y of the extents, perspective)."""
    w, h = _viewport(viewport)
    if (fov is None) == (extents is None):
        raise ValueError("expected either fov (a perspective view) or extents (a parallel view)")
    if fov is not None:
        _check_angle(float(fov), "a horizontal field of view")
        half_w = math.tan(float(fov) / 2)
        return w, h, half_w, half_w * h / w, 0.0, 0.0, True
    e = as_array(extents, (2, 3), "view extents (min corner, max corner)")
    half = (e[1, :2] - e[0, :2]) / 2
    if not (half[0] > 0 and half[1] > 0):
        raise ValueError(f"expected view extents with max above min in x and y, got {e.tolist()}")
    centre = (e[1, :2] + e[0, :2]) / 2
    return w, h, float(half[0]), float(half[1]), float(centre[0]), float(centre[1]), False


def project(matrix: Any, points: Any, viewport: Any, *, fov: Any = None, extents: Any = None) -> Array:
    """Pixel positions (N, 2) of world points (N, 3) (or (2,) of one point (3,)) seen by the camera
    `matrix` (camera-to-world) in a viewport (width, height) of pixels.

    Perspective with `fov`, the full horizontal angle; parallel with `extents`. A
    point at or behind the eye of a perspective view has no pixel: nan.
    """
    m = as_array(matrix, (4, 4), "a camera-to-world matrix")
    p = np.asarray(points, dtype=np.float64)
    if p.shape[-1:] != (3,) or p.ndim > 2:
        raise ValueError(f"expected points of shape (3,) or (N, 3), got {p.shape}")
    w, h, half_w, half_h, cx, cy, perspective = _lens(viewport, fov, extents)
    to_camera = np.linalg.inv(m)
    c = np.atleast_2d(p) @ to_camera[:3, :3].T + to_camera[:3, 3]
    if perspective:
        depth = -c[:, 2]
        with np.errstate(divide="ignore", invalid="ignore"):
            x, y = c[:, 0] / np.where(depth > 0, depth, np.nan), c[:, 1] / np.where(depth > 0, depth, np.nan)
    else:
        x, y = c[:, 0] - cx, c[:, 1] - cy
    pixels = np.stack([w / 2 * (1 + x / half_w), h / 2 * (1 - y / half_h)], axis=1)
    return pixels[0] if p.ndim == 1 else pixels


def pixel_rays(matrix: Any, pixels: Any, viewport: Any, *, fov: Any = None,
               extents: Any = None) -> tuple[Array, Array]:
    """(origins, directions) of the rays through pixels (N, 2) (or one pixel (2,)): unit directions.

    Perspective rays start at the eye; parallel ones on the eye's plane, all along the view.
    """
    m = as_array(matrix, (4, 4), "a camera-to-world matrix")
    px = np.asarray(pixels, dtype=np.float64)
    if px.shape[-1:] != (2,) or px.ndim > 2:
        raise ValueError(f"expected pixels of shape (2,) or (N, 2), got {px.shape}")
    w, h, half_w, half_h, cx, cy, perspective = _lens(viewport, fov, extents)
    q = np.atleast_2d(px)
    x = (q[:, 0] / (w / 2) - 1) * half_w
    y = (1 - q[:, 1] / (h / 2)) * half_h
    axes = m[:3, :3] / np.linalg.norm(m[:3, :3], axis=0)
    if perspective:
        local = np.stack([x, y, -np.ones_like(x)], axis=1)
        directions = local @ axes.T
        directions /= np.linalg.norm(directions, axis=1)[:, None]
        origins = np.broadcast_to(m[:3, 3], directions.shape).copy()
    else:
        local = np.stack([x + cx, y + cy, np.zeros_like(x)], axis=1)
        origins = local @ axes.T + m[:3, 3]
        directions = np.broadcast_to(-axes[:, 2], origins.shape).copy()
    if px.ndim == 1:
        return origins[0], directions[0]
    return origins, directions


def aperture_pixels(aperture: float, viewport: Any, *, fov: Any = None, extents: Any = None) -> float:
    """The radius in pixels of the library's hit aperture ("hit.aperture": a cone `aperture` wide one
    unit ahead of the eye; in a parallel view, a beam `aperture` wide)."""
    if not (math.isfinite(aperture) and aperture >= 0):
        raise ValueError(f"expected an aperture of 0 or more, got {aperture}")
    w, _, half_w, _, _, _, _ = _lens(viewport, fov, extents)
    return aperture / 2 / half_w * (w / 2)



def centre_extents(matrix: Any, extents: Any) -> tuple[Array, Array]:
    """(camera matrix, extents) showing the same parallel view with the extents centred on the view axis.

    Viewers whose parallel view is always centred take off-centre extents as a
    camera moved sideways, under the extents' centre.
    """
    m = as_array(matrix, (4, 4), "a camera-to-world matrix")
    e = as_array(extents, (2, 3), "view extents (min corner, max corner)")
    centre = (e[0, :2] + e[1, :2]) / 2
    axes = m[:3, :2] / np.linalg.norm(m[:3, :2], axis=0)
    moved = m.copy()
    moved[:3, 3] = m[:3, 3] + axes @ centre
    centred = e.copy()
    centred[:, :2] -= centre
    return moved, centred


def world_axes(up: Any) -> Array:
    """The world's axes for an up direction: a (3, 3) rotation whose columns are the world's
    right, up and toward-the-front-viewer axes ("coordinateSystem"'s columns).

    Up is normalised; right is the X axis made perpendicular to it (the Y axis when up
    lies within about 25 degrees of X); the front viewer is on right x up: +Z for a Y up,
    -Y for a Z up.
    """
    u = _unit(as_array(up, (3,), "an up direction, a vector"), "an up direction")
    right = np.array([1.0, 0.0, 0.0]) if abs(u[0]) <= 0.9 else np.array([0.0, 1.0, 0.0])
    right = _unit(right - (right @ u) * u, "a right axis")
    return np.column_stack([right, u, np.cross(right, u)])


class _View(ctypes.Structure):
    # zbx_view of zibrel_extras.h
    _fields_ = [("affine", ctypes.c_double * 16), ("perspective", ctypes.c_int32), ("fov", ctypes.c_double),
                ("fov_vertical", ctypes.c_double), ("extents", ctypes.c_double * 6)]


_DOUBLES = ctypes.POINTER(ctypes.c_double)


@functools.cache
def _view_command_function() -> Any:
    function = _library.function("zbx_view_command")
    if function is None:
        return None
    function.restype = ctypes.c_int
    function.argtypes = [ctypes.c_char_p, ctypes.POINTER(_View), _DOUBLES, _DOUBLES, _DOUBLES,
                         ctypes.POINTER(_View), ctypes.c_char_p, ctypes.c_size_t]
    return function


def _doubles(a: Array) -> Any:
    return (ctypes.c_double * a.size)(*a.ravel())


def view_command(name: str, camera: Any, bounds: Any, *, up: Any = (0.0, 1.0, 0.0), perspective: bool = True,
                 fov: float = math.radians(45), vertical_fov: Optional[float] = None,
                 extents: Any = None) -> tuple[Array, Optional[Array]]:
    """The camera after the view command `name`, computed by the navigation library as for a
    device button bound to view:NAME.

    `name`: fit (keep the direction), front, back, left, right, top, bottom or iso (the
    standard views, turned about `world_axes(up)`); then the eye moves back along the view
    until the bounding sphere of `bounds` (the scene, (2, 3)) fits, looking at its centre.
    `camera`: the (4, 4) camera-to-world matrix. Perspective: `fov` the full horizontal
    angle and `vertical_fov` the vertical one (None: the same). Orthographic
    (`perspective=False`): `extents`, the view box (2, 3), whose aspect is kept.

    Returns (matrix, extents): the new camera-to-world matrix and, orthographic, the new
    view extents (None in perspective). ValueError with the library's reason for bad input;
    RuntimeError when no navigation library offering this is loaded.
    """
    if "\0" in name:
        raise ValueError(f"expected a view command name without NUL, got {name!r}")
    m = as_array(camera, (4, 4), "a camera-to-world matrix")
    box = as_array(bounds, (2, 3), "scene bounds (min corner, max corner)")
    view = _View(perspective=1 if perspective else 0)
    ctypes.memmove(view.affine, _doubles(m), ctypes.sizeof(view.affine))
    if perspective:
        view.fov = float(fov)
        view.fov_vertical = float(fov if vertical_fov is None else vertical_fov)
    else:
        if extents is None:
            raise ValueError("expected view extents (min corner, max corner) for an orthographic view")
        ctypes.memmove(view.extents, _doubles(as_array(extents, (2, 3), "view extents (min corner, max corner)")),
                       ctypes.sizeof(view.extents))
    function = _view_command_function()
    if function is None:
        raise RuntimeError(f"no navigation library with zbx_view_command is loaded ({_library.LIBRARY_NAME} was "
                           "not found, or it is older)")
    axes = np.eye(4)
    axes[:3, :3] = world_axes(up)
    error = ctypes.create_string_buffer(512)
    if function(name.encode("utf-8", "surrogateescape"), ctypes.byref(view), _doubles(axes), None, _doubles(box),
                ctypes.byref(view), error, len(error)) != 0:
        raise ValueError(error.value.decode("utf-8", errors="replace") or f"the view command {name!r} failed")
    matrix = np.array(view.affine, dtype=np.float64).reshape(4, 4)
    return matrix, None if perspective else np.array(view.extents, dtype=np.float64).reshape(2, 3)
