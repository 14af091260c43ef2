"""Hit-testing in numpy, for viewers that cannot pick along a ray themselves.

The library asks for the nearest point seen along a ray from the eye, within a
cone `aperture` wide one unit ahead ("hit.aperture"). These pieces answer it:

- `cone_rays(direction, aperture)`: the central ray and rays along the cone's edge;
- `TriangleMesh`: triangles, with a bounding-volume hierarchy built once, so a
  ray through a million triangles costs milliseconds;
- `PointCloud`: points (optionally balls of a radius) inside the cone, over the
  same kind of hierarchy;
- `march_volume`: the first voxel above a threshold along a ray through a 3-D array.

Only hits in front of the ray's origin count: a surface behind the eye is never
the pivot. Distances are in units of the direction vector given (the ray
parameter t of origin + t * direction), so a ray moved into a mesh's own
coordinates by an affine map keeps its t.
"""
from __future__ import annotations

import math
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from .convert import as_array

__all__ = ["PointCloud", "TriangleMesh", "aperture_rays", "cone_rays", "march_volume", "nearest_hit",
           "ray_triangles"]

Array = npt.NDArray[np.float64]

# Hits closer than this (in t) to the origin are the origin's own surface, not a hit ahead.
_EPSILON = 1e-12


def _unit(v: Any, what: str) -> Array:
    a = as_array(v, (3,), what)
    norm = float(np.linalg.norm(a))
    if not norm > 1e-300:
        raise ValueError(f"expected {what} of non-zero length")
    return a / norm


def cone_rays(direction: Any, aperture: float, count: int = 8) -> Array:
    """Unit directions (1 + count, 3): `direction` itself, then `count` rays along the edge of a cone
    `aperture` wide one unit ahead (none when the aperture is 0)."""
    d = _unit(direction, "a ray direction")
    half = float(aperture) / 2 if math.isfinite(aperture) and aperture > 0 else 0.0
    if half == 0 or count <= 0:
        return d[None, :]
    side = np.cross(d, (1.0, 0.0, 0.0) if abs(d[0]) < 0.9 else (0.0, 1.0, 0.0))
    side /= np.linalg.norm(side)
    other = np.cross(d, side)
    angles = np.linspace(0, 2 * math.pi, count, endpoint=False)
    edge = d + half * (np.cos(angles)[:, None] * side + np.sin(angles)[:, None] * other)
    edge /= np.linalg.norm(edge, axis=1)[:, None]
    return np.vstack([d[None, :], edge])


def aperture_rays(origin: Any, direction: Any, aperture: float, parallel: bool = False,
                  count: int = 8) -> tuple[Array, Array]:
    """(origins, unit directions), each (1 + count, 3): the central ray, then `count` on the aperture's edge.

    Perspective: a cone from `origin`, `aperture` wide one unit ahead. Parallel views
    have no cone: a beam `aperture` wide, its rays side by side along `direction`.
    """
    o = as_array(origin, (3,), "a ray origin")
    if not parallel:
        rays = cone_rays(direction, aperture, count)
        return np.broadcast_to(o, rays.shape).copy(), rays
    d = _unit(direction, "a ray direction")
    edge = cone_rays(d, aperture, count) - d  # offsets across the ray, aperture / 2 long
    edge[1:] *= (float(aperture) / 2) / np.maximum(np.linalg.norm(edge[1:], axis=1), 1e-300)[:, None]
    return o + edge, np.broadcast_to(d, edge.shape).copy()


def ray_triangles(origins: Any, directions: Any, triangles: Any) -> Array:
    """t of each ray's hit on its triangle, inf where it misses or the hit is behind the origin.

    origins, directions: (N, 3) (or (3,), broadcast); triangles: (N, 3, 3) corners.
    Both faces count (Moller-Trumbore without culling).
    """
    tri = np.asarray(triangles, dtype=np.float64)
    o = np.asarray(origins, dtype=np.float64)
    d = np.asarray(directions, dtype=np.float64)
    a = tri[..., 0, :]
    e1 = tri[..., 1, :] - a
    e2 = tri[..., 2, :] - a
    p = np.cross(d, e2)
    det = np.einsum("...i,...i->...", e1, p)
    scale = np.maximum(np.linalg.norm(e1, axis=-1) * np.linalg.norm(e2, axis=-1), 1e-300)
    ok = np.abs(det) > 1e-14 * scale * np.maximum(np.linalg.norm(d, axis=-1), 1e-300)
    inv = np.divide(1.0, det, out=np.zeros_like(det), where=ok)
    s = o - a
    u = np.einsum("...i,...i->...", s, p) * inv
    q = np.cross(s, e1)
    v = np.einsum("...i,...i->...", d, q) * inv
    t = np.einsum("...i,...i->...", e2, q) * inv
    hit = ok & (u >= 0) & (v >= 0) & (u + v <= 1) & (t > _EPSILON)
    return np.where(hit, t, np.inf)


def _morton_order(centres: Array) -> npt.NDArray[np.intp]:
    """An order of the points along a Z-order curve, so that neighbours in it are near in space."""
    lo = centres.min(axis=0)
    span = np.maximum(centres.max(axis=0) - lo, 1e-300)
    q = np.clip(((centres - lo) / span * 1023).astype(np.uint64), 0, 1023)

    def spread(x: npt.NDArray[np.uint64]) -> npt.NDArray[np.uint64]:
        x = (x | (x << np.uint64(16))) & np.uint64(0x030000FF)
        x = (x | (x << np.uint64(8))) & np.uint64(0x0300F00F)
        x = (x | (x << np.uint64(4))) & np.uint64(0x030C30C3)
        return (x | (x << np.uint64(2))) & np.uint64(0x09249249)

    codes = (spread(q[:, 0]) << np.uint64(2)) | (spread(q[:, 1]) << np.uint64(1)) | spread(q[:, 2])
    return np.argsort(codes)


class _Hierarchy:
    """A complete binary tree of boxes over leaves of `leaf_size` consecutive items.

    levels[0] is the root (one box), levels[-1] the leaves; node i of a level has
    the children 2i and 2i + 1 on the next. Empty boxes (lo > hi) pad odd levels.
    """

    def __init__(self, lo: Array, hi: Array, leaf_size: int) -> None:
        n = len(lo)
        self.leaf_size = leaf_size
        starts = np.arange(0, n, leaf_size)
        leaves_lo = np.minimum.reduceat(lo, starts, axis=0)
        leaves_hi = np.maximum.reduceat(hi, starts, axis=0)
        levels = [(leaves_lo, leaves_hi)]
        while len(levels[0][0]) > 1:
            a_lo, a_hi = levels[0]
            if len(a_lo) % 2:
                a_lo = np.vstack([a_lo, np.full((1, 3), np.inf)])
                a_hi = np.vstack([a_hi, np.full((1, 3), -np.inf)])
            levels.insert(0, (np.minimum(a_lo[0::2], a_lo[1::2]), np.maximum(a_hi[0::2], a_hi[1::2])))
        self.levels = levels
        self.count = n

    def leaves(self, keep: Any) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
        """(query, leaf) pairs whose boxes `keep(query, lo, hi)` does not rule out, level by level."""
        query = np.arange(keep.queries)
        node = np.zeros(keep.queries, dtype=np.intp)
        for depth, (lo, hi) in enumerate(self.levels):
            if depth:
                query = np.repeat(query, 2)
                node = (np.repeat(node, 2) * 2) + np.tile([0, 1], len(node))
                inside = node < len(lo)
                query, node = query[inside], node[inside]
            ok = keep(query, lo[node], hi[node])
            query, node = query[ok], node[ok]
            if len(node) == 0:
                break
        return query, node

    def items(self, leaf: npt.NDArray[np.intp]) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
        """(pair index, item index) of every item in the given leaves."""
        size = self.leaf_size
        pair = np.repeat(np.arange(len(leaf)), size)
        item = (np.repeat(leaf, size) * size) + np.tile(np.arange(size), len(leaf))
        inside = item < self.count
        return pair[inside], item[inside]


class _SlabTest:
    """Rays against boxes: the slab test, forward only."""

    def __init__(self, origins: Array, directions: Array) -> None:
        self.queries = len(origins)
        self.o = origins
        with np.errstate(divide="ignore"):
            self.inv = 1.0 / directions

    def __call__(self, query: npt.NDArray[np.intp], lo: Array, hi: Array) -> npt.NDArray[np.bool_]:
        o, inv = self.o[query], self.inv[query]
        with np.errstate(invalid="ignore"):
            t1, t2 = (lo - o) * inv, (hi - o) * inv
        # 0 * inf is nan for a ray parallel to a slab that starts on its plane: count it inside.
        t1 = np.where(np.isnan(t1), -np.inf, t1)
        t2 = np.where(np.isnan(t2), np.inf, t2)
        near = np.minimum(t1, t2).max(axis=1)
        far = np.maximum(t1, t2).min(axis=1)
        return (near <= far) & (far > 0)


class TriangleMesh:
    """Triangles to be hit by rays; the hierarchy is built once, here.

    vertices (V, 3), faces (F, 3) vertex indices. Meshes of other cells
    (quads, strips) are given as triangles. Rays are in the mesh's own coordinates.
    """

    def __init__(self, vertices: Any, faces: Any, leaf_size: int = 16) -> None:
        v = np.asarray(vertices, dtype=np.float64)
        f = np.asarray(faces)
        if v.ndim != 2 or v.shape[1] != 3:
            raise ValueError(f"expected vertices of shape (V, 3), got {v.shape}")
        if f.ndim != 2 or f.shape[1] != 3 or not np.issubdtype(f.dtype, np.integer):
            raise ValueError(f"expected faces of shape (F, 3), integer vertex indices, got {f.shape} {f.dtype}")
        if f.size and (f.min() < 0 or f.max() >= len(v)):
            raise ValueError(f"expected face indices from 0 to {len(v) - 1}, got {f.min()} to {f.max()}")
        tri = v[f]
        keep = np.all(np.isfinite(tri), axis=(1, 2))
        tri = tri[keep]
        self.face_ids = np.flatnonzero(keep)
        if len(tri):
            order = _morton_order(tri.mean(axis=1))
            tri, self.face_ids = tri[order], self.face_ids[order]
            self.hierarchy: Optional[_Hierarchy] = _Hierarchy(tri.min(axis=1), tri.max(axis=1), leaf_size)
        else:
            self.hierarchy = None
        self.triangles = np.ascontiguousarray(tri)

    def __len__(self) -> int:
        return len(self.triangles)

    def intersect(self, origins: Any, directions: Any) -> Array:
        """t of each ray's nearest forward hit, inf for none; origins and directions (R, 3) or (3,)."""
        o = np.atleast_2d(np.asarray(origins, dtype=np.float64))
        d = np.atleast_2d(np.asarray(directions, dtype=np.float64))
        o, d = np.broadcast_arrays(o, d)
        best = np.full(len(d), np.inf)
        if self.hierarchy is None:
            return best
        query, leaf = self.hierarchy.leaves(_SlabTest(o, d))
        if len(leaf) == 0:
            return best
        pair, item = self.hierarchy.items(leaf)
        ray = query[pair]
        t = ray_triangles(o[ray], d[ray], self.triangles[item])
        np.minimum.at(best, ray, t)
        return best

    def pick(self, origin: Any, direction: Any, aperture: float = 0.0, parallel: bool = False) -> Optional[Array]:
        """The nearest point hit by the central ray or a ray on the aperture's edge (`aperture_rays`),
        by depth along `direction`; None for no hit."""
        origins, rays = aperture_rays(origin, direction, aperture, parallel)
        return nearest_hit(origins, rays, self.intersect(origins, rays))


def nearest_hit(origins: Any, rays: Any, t: Any) -> Optional[Array]:
    """Of the hits origins + t * rays ((N, 3), (N, 3), (N,); inf: no hit), the one nearest in depth
    along the first ray."""
    o = np.atleast_2d(np.asarray(origins, dtype=np.float64))
    r = np.atleast_2d(np.asarray(rays, dtype=np.float64))
    o, r = np.broadcast_arrays(o, r)
    t = np.asarray(t, dtype=np.float64)
    found = np.isfinite(t)
    if not np.any(found):
        return None
    points = o[found] + r[found] * t[found][:, None]
    depth = (points - o[0]) @ (r[0] / np.linalg.norm(r[0]))
    return np.asarray(points[int(np.argmin(depth))], dtype=np.float64)


class _ConeTest:
    """Cones against boxes, through each box's bounding ball (conservative)."""

    def __init__(self, origin: Array, direction: Array, half: float, radius: float) -> None:
        # Inside: across the axis no further than half * depth + radius (a beam: half 0).
        self.queries = 1
        self.o, self.d, self.half, self.radius = origin, direction, half, radius

    def __call__(self, query: npt.NDArray[np.intp], lo: Array, hi: Array) -> npt.NDArray[np.bool_]:
        with np.errstate(invalid="ignore"):
            centre = (lo + hi) / 2
            reach = np.linalg.norm(hi - lo, axis=1) / 2
            rel = centre - self.o
            depth = rel @ self.d
            across = np.linalg.norm(rel - depth[:, None] * self.d, axis=1)
            ok = (depth + reach > 0) & (across - reach <= self.half * (depth + reach) + self.radius)
        return np.asarray(ok & np.all(lo <= hi, axis=1))


class PointCloud:
    """Points to be found in a cone: the nearest inside it, by depth along its axis.

    `radius` (a number or one per point) makes each point a ball, hit also when the
    ray passes within it; the hit is then on the ball's near side.
    """

    def __init__(self, points: Any, radius: Any = 0.0, leaf_size: int = 32) -> None:
        p = np.asarray(points, dtype=np.float64)
        if p.ndim != 2 or p.shape[1] != 3:
            raise ValueError(f"expected points of shape (N, 3), got {p.shape}")
        r = np.broadcast_to(np.asarray(radius, dtype=np.float64), (len(p),))
        if np.any(~np.isfinite(r)) or np.any(r < 0):
            raise ValueError("expected point radii that are finite and not negative")
        keep = np.all(np.isfinite(p), axis=1)
        self.point_ids = np.flatnonzero(keep)
        p, r = p[keep], r[keep]
        if len(p):
            order = _morton_order(p)
            p, r, self.point_ids = p[order], r[order], self.point_ids[order]
            self.hierarchy: Optional[_Hierarchy] = _Hierarchy(p - r[:, None], p + r[:, None], leaf_size)
        else:
            self.hierarchy = None
        self.points = np.ascontiguousarray(p)
        self.radii = np.ascontiguousarray(r)

    def __len__(self) -> int:
        return len(self.points)

    def pick(self, origin: Any, direction: Any, aperture: float = 0.0, parallel: bool = False) -> Optional[Array]:
        """The nearest point inside the cone `aperture` wide one unit ahead (parallel: the beam
        `aperture` wide), by depth along `direction`; None for none."""
        o = as_array(origin, (3,), "a ray origin")
        d = _unit(direction, "a ray direction")
        half = float(aperture) / 2 if math.isfinite(aperture) and aperture > 0 else 0.0
        spread, beam = (0.0, half) if parallel else (half, 0.0)
        if self.hierarchy is None:
            return None
        _, leaf = self.hierarchy.leaves(_ConeTest(o, d, spread, beam))
        if len(leaf) == 0:
            return None
        _, item = self.hierarchy.items(leaf)
        p, r = self.points[item], self.radii[item]
        rel = p - o
        depth = rel @ d
        across = np.linalg.norm(rel - depth[:, None] * d, axis=1)
        # The depth where the ray enters a ball it passes through; the centre's own depth otherwise.
        enter = depth - np.sqrt(np.maximum(r * r - across * across, 0.0))
        inside = (enter > _EPSILON) & (across <= spread * depth + beam + r)
        if not np.any(inside):
            return None
        i = np.flatnonzero(inside)[int(np.argmin(enter[inside]))]
        if across[i] <= r[i]:
            return np.asarray(o + d * enter[i], dtype=np.float64)
        return p[i].copy()


def march_volume(volume: Any, origin: Any, direction: Any, threshold: float,
                 world_to_index: Optional[Any] = None) -> Optional[Array]:
    """Where a ray enters the first voxel whose value is above `threshold`; None for none.

    `volume` is a 3-D array whose voxel (i, j, k) is centred at index coordinates
    (i, j, k) and spans half a voxel each way; `world_to_index` (4, 4) takes the
    ray there (identity when None). The point is returned in the ray's coordinates.
    """
    vol = np.asarray(volume)
    if vol.ndim != 3:
        raise ValueError(f"expected a 3-D array of voxels, got {vol.ndim} dimensions")
    o_w = as_array(origin, (3,), "a ray origin")
    d_w = as_array(direction, (3,), "a ray direction")
    if not float(np.linalg.norm(d_w)) > 0:
        raise ValueError("expected a ray direction of non-zero length")
    if world_to_index is None:
        o, d = o_w, d_w
    else:
        m = as_array(world_to_index, (4, 4), "a world-to-index matrix")
        o = m[:3, :3] @ o_w + m[:3, 3]
        d = m[:3, :3] @ d_w
    shape = np.array(vol.shape, dtype=np.float64)
    lo, hi = np.full(3, -0.5), shape - 0.5
    with np.errstate(divide="ignore", invalid="ignore"):
        t1, t2 = (lo - o) / d, (hi - o) / d
    moving = d != 0
    if np.any(~moving & ((o < lo) | (o > hi))):
        return None
    near = float(np.max(np.where(moving, np.minimum(t1, t2), -np.inf)))
    far = float(np.min(np.where(moving, np.maximum(t1, t2), np.inf)))
    near = max(near, 0.0)
    if not near < far:
        return None
    # Every crossing of a voxel boundary between near and far: the voxels in between are the ray's.
    crossings = [np.array([near, far])]
    for axis in np.flatnonzero(moving):
        planes = np.arange(0, vol.shape[axis] - 1) + 0.5
        t = (planes - o[axis]) / d[axis]
        crossings.append(t[(t > near) & (t < far)])
    t = np.unique(np.concatenate(crossings))
    middles = (t[:-1] + t[1:]) / 2
    index = np.clip(np.floor(o + middles[:, None] * d + 0.5).astype(np.intp), 0, np.array(vol.shape) - 1)
    values = vol[index[:, 0], index[:, 1], index[:, 2]]
    above = np.flatnonzero(values > threshold)
    if len(above) == 0:
        return None
    return np.asarray(o_w + d_w * t[above[0]], dtype=np.float64)
