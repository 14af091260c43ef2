"""Conversions between the value classes of `_pyzibrel` and numpy arrays.

`to_numpy(value)` turns any value class into a float64 array; `to_matrix`,
`to_point`, `to_vector`, `to_box`, `to_plane` and `to_frustum` build a value
class from anything array-like (or a value of the same class). Shapes:

| class | array |
|---|---|
| `ZibrelMatrix` | (4, 4), row by row: `a[r, c]` is `m{r}{c}` |
| `ZibrelPoint`, `ZibrelVector` | (3,) x, y, z |
| `ZibrelBox` | (2, 3): the min corner, then the max corner |
| `ZibrelPlane` | (4,) nx, ny, nz, d |
| `ZibrelFrustum` | (6,) left, right, bottom, top, near, far |

Wrong shapes and numbers that are not finite raise ValueError naming what was expected.
"""
from __future__ import annotations

from typing import Any, Union

import numpy as np
import numpy.typing as npt

from _pyzibrel import ZibrelBox, ZibrelFrustum, ZibrelMatrix, ZibrelPlane, ZibrelPoint, ZibrelVector

__all__ = ["as_array", "to_box", "to_frustum", "to_matrix", "to_numpy", "to_plane", "to_point", "to_vector"]

Value = Union[ZibrelMatrix, ZibrelPoint, ZibrelVector, ZibrelBox, ZibrelPlane, ZibrelFrustum]

_FRUSTUM_NAMES = ("left", "right", "bottom", "top", "near_plane", "far_plane")


def as_array(data: Any, shape: tuple[int, ...], what: str) -> npt.NDArray[np.float64]:
    """`data` as a new finite float64 array of `shape`; ValueError naming `what` otherwise."""
    expected = f"{what} as an array of shape {shape} of finite numbers"
    if isinstance(data, (ZibrelMatrix, ZibrelPoint, ZibrelVector, ZibrelBox, ZibrelPlane, ZibrelFrustum)):
        data = to_numpy(data)
    try:
        array = np.array(data, dtype=np.float64)
    except (TypeError, ValueError, OverflowError) as exc:  # OverflowError: an int beyond any double
        raise ValueError(f"expected {expected}, got {type(data).__name__} ({exc})") from None
    if array.shape != shape:
        raise ValueError(f"expected {expected}, got shape {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"expected {expected}, got {array.tolist()}")
    return array


def to_numpy(value: Value) -> npt.NDArray[np.float64]:
    """A value class as a float64 array of its shape (see the module's table)."""
    if isinstance(value, ZibrelMatrix):
        # Its 16 numbers in one call (what pickling uses), not 16 attribute reads: this runs every motion frame.
        return np.array(value.__reduce__()[1], dtype=np.float64).reshape(4, 4)
    if isinstance(value, (ZibrelPoint, ZibrelVector)):
        return np.array([value.x, value.y, value.z], dtype=np.float64)
    if isinstance(value, ZibrelBox):
        lo, hi = value.min, value.max
        return np.array([[lo.x, lo.y, lo.z], [hi.x, hi.y, hi.z]], dtype=np.float64)
    if isinstance(value, ZibrelPlane):
        n = value.n
        return np.array([n.x, n.y, n.z, value.d], dtype=np.float64)
    if isinstance(value, ZibrelFrustum):
        return np.array([getattr(value, name) for name in _FRUSTUM_NAMES], dtype=np.float64)
    raise TypeError(f"expected a value class of _pyzibrel, got {type(value).__name__}")


def to_matrix(data: Any) -> ZibrelMatrix:
    """A `ZibrelMatrix` from a (4, 4) array, row by row."""
    return ZibrelMatrix(*as_array(data, (4, 4), "a matrix").reshape(16).tolist())


def to_point(data: Any) -> ZibrelPoint:
    """A `ZibrelPoint` from (x, y, z)."""
    return ZibrelPoint(*as_array(data, (3,), "a point").tolist())


def to_vector(data: Any) -> ZibrelVector:
    """A `ZibrelVector` from (x, y, z)."""
    return ZibrelVector(*as_array(data, (3,), "a vector").tolist())


def to_box(data: Any) -> ZibrelBox:
    """A `ZibrelBox` from ((min x, y, z), (max x, y, z)); the corners are taken as given."""
    return ZibrelBox(*as_array(data, (2, 3), "a box (min corner, max corner)").reshape(6).tolist())


def to_plane(data: Any) -> ZibrelPlane:
    """A `ZibrelPlane` from (nx, ny, nz, d): the normal, then d."""
    return ZibrelPlane(*as_array(data, (4,), "a plane (nx, ny, nz, d)").tolist())


def to_frustum(data: Any) -> ZibrelFrustum:
    """A `ZibrelFrustum` from (left, right, bottom, top, near, far)."""
    return ZibrelFrustum(*as_array(data, (6,), "a frustum (left, right, bottom, top, near, far)").tolist())
