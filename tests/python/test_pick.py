"""pyzibrel.pick: hit-testing in numpy. The hierarchy must give what testing every triangle gives,
only forward hits count, the aperture is a cone (a beam in parallel views), volumes are marched."""

import math

import numpy as np
import pytest

from pyzibrel import pick


def uv_sphere(centre=(0.0, 0.0, 0.0), radius=1.0, n=40):
    theta, phi = np.meshgrid(np.linspace(0, math.pi, n), np.linspace(0, 2 * math.pi, n), indexing="ij")
    points = np.stack([np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi), np.cos(theta)], -1).reshape(-1, 3)
    idx = np.arange(n * n).reshape(n, n)
    a, b, c, d = idx[:-1, :-1], idx[1:, :-1], idx[1:, 1:], idx[:-1, 1:]
    faces = np.concatenate([np.stack([a, b, c], -1).reshape(-1, 3), np.stack([a, c, d], -1).reshape(-1, 3)])
    return np.asarray(centre) + radius * points, faces


SQUARE = (np.array([[-1.0, -1, 0], [1, -1, 0], [1, 1, 0], [-1, 1, 0]]), np.array([[0, 1, 2], [0, 2, 3]]))


@pytest.mark.parametrize("leaf_size", [1, 4, 16, 64])
def test_the_hierarchy_finds_what_every_triangle_finds(leaf_size):
    vertices, faces = uv_sphere(n=30)
    # A second, overlapping object and degenerate triangles at the poles.
    v2, f2 = uv_sphere((0.7, 0.2, -0.3), 0.6, n=20)
    vertices, faces = np.vstack([vertices, v2]), np.vstack([faces, f2 + len(vertices)])
    mesh = pick.TriangleMesh(vertices, faces, leaf_size=leaf_size)
    rng = np.random.default_rng(7)
    origins = rng.normal(size=(300, 3)) * 2.5
    directions = -origins + rng.normal(size=(300, 3)) * 1.2  # most toward the objects, some past them
    t = mesh.intersect(origins, directions)
    triangles = vertices[faces]
    brute = np.array([pick.ray_triangles(o, d, triangles).min() for o, d in zip(origins, directions)])
    assert np.array_equal(t, brute)
    assert 50 < np.isfinite(t).sum() < 300  # both hits and misses were tried


@pytest.mark.parametrize("case, origin, direction, expected_z", [
    ("from outside: the near side", (0.1, 0.2, 5.0), (0, 0, -1), math.sqrt(1 - 0.05)),
    ("from inside: the far wall ahead", (0.1, 0.2, 0.0), (0, 0, -1), -math.sqrt(1 - 0.05)),
    ("pointing away: nothing behind counts", (0.1, 0.2, 5.0), (0, 0, 1), None),
    ("beside it", (1.5, 0.0, 5.0), (0, 0, -1), None),
    ("a direction that is not unit", (0.1, 0.2, 5.0), (0, 0, -7), math.sqrt(1 - 0.05)),
])
def test_forward_hits_only(case, origin, direction, expected_z):
    mesh = pick.TriangleMesh(*uv_sphere(n=200))
    hit = mesh.pick(origin, direction)
    if expected_z is None:
        assert hit is None, case
    else:
        assert hit is not None, case
        assert hit[:2] == pytest.approx(origin[:2])
        assert hit[2] == pytest.approx(expected_z, abs=2e-3), case


def test_a_triangle_at_the_origin_is_no_hit():
    # The eye on a surface does not hit that surface.
    t = pick.ray_triangles(np.zeros(3), np.array([0.0, 0, -1]), SQUARE[0][SQUARE[1]])
    assert np.all(np.isinf(t))


@pytest.mark.parametrize("parallel", [False, True])
def test_the_aperture_reaches_the_edge_of_a_surface(parallel):
    mesh = pick.TriangleMesh(*SQUARE)
    origin, ahead = np.array([1.05, 0.0, 1.0]), np.array([0.0, 0.0, -1.0])
    assert mesh.pick(origin, ahead, 0.0, parallel) is None
    # One unit ahead the cone is 0.2 wide: its edge is on the square. The beam is 0.2 wide everywhere.
    hit = mesh.pick(origin, ahead, 0.2, parallel)
    assert hit is not None and hit[2] == pytest.approx(0.0) and hit[0] <= 1.0
    far = np.array([1.05, 0.0, 10.0])
    cone_far, beam_far = mesh.pick(far, ahead, 0.02, False), mesh.pick(far, ahead, 0.02, True)
    assert cone_far is not None and beam_far is None   # ten units ahead the cone is 0.2 wide, the beam 0.02


def test_aperture_rays():
    origins, rays = pick.aperture_rays((0, 0, 0), (0, 0, -2), 0.2)
    assert rays.shape == (9, 3) and np.allclose(np.linalg.norm(rays, axis=1), 1)
    assert np.allclose(origins, 0)
    one_ahead = rays[1:] / -rays[1:, 2:3]
    assert np.allclose(np.linalg.norm(one_ahead[:, :2], axis=1), 0.1)
    origins, rays = pick.aperture_rays((1, 2, 3), (0, 0, -1), 0.2, parallel=True)
    assert np.allclose(rays, (0, 0, -1))
    assert np.allclose(np.linalg.norm(origins[1:] - (1, 2, 3), axis=1), 0.1)


@pytest.mark.parametrize("radius, parallel", [(0.0, False), (0.05, False), (0.0, True)])
def test_point_cloud_gives_what_every_point_gives(radius, parallel):
    rng = np.random.default_rng(3)
    points = rng.normal(size=(20000, 3))
    cloud = pick.PointCloud(points, radius)
    for _ in range(40):
        origin = rng.normal(size=3) * 4
        direction = -origin + rng.normal(size=3) * 0.3
        aperture = 0.05
        hit = cloud.pick(origin, direction, aperture, parallel)
        d = direction / np.linalg.norm(direction)
        rel = points - origin
        depth = rel @ d
        across = np.linalg.norm(rel - depth[:, None] * d, axis=1)
        reach = (0.0 if parallel else aperture / 2 * depth) + (aperture / 2 if parallel else 0.0) + radius
        inside = (depth > 0) & (across <= reach)
        if not inside.any():
            assert hit is None
            continue
        i = np.flatnonzero(inside)[np.argmin(depth[inside] - np.sqrt(np.maximum(radius ** 2 - across[inside] ** 2, 0)))]
        enter = depth[i] - math.sqrt(max(radius ** 2 - across[i] ** 2, 0.0))
        expected = points[i] if across[i] > radius else origin + d * enter
        assert hit == pytest.approx(expected)


def test_points_behind_the_origin_are_never_hit():
    cloud = pick.PointCloud([[0.0, 0.0, 1.0], [0.0, 0.0, -3.0]], radius=0.5)
    assert cloud.pick((0, 0, 0), (0, 0, -1), 0.1)[2] == pytest.approx(-2.5)  # the near side of the ball ahead
    assert cloud.pick((0, 0, -5), (0, 0, -1), 0.1) is None


def test_bad_input_names_what_was_expected():
    with pytest.raises(ValueError, match=r"faces of shape \(F, 3\)"):
        pick.TriangleMesh(np.zeros((3, 3)), np.zeros((2, 2), dtype=int))
    with pytest.raises(ValueError, match="face indices from 0 to 2"):
        pick.TriangleMesh(np.zeros((3, 3)), np.array([[0, 1, 3]]))
    with pytest.raises(ValueError, match="ray direction of non-zero length"):
        pick.TriangleMesh(*SQUARE).pick((0, 0, 1), (0, 0, 0))
    with pytest.raises(ValueError, match="radii"):
        pick.PointCloud(np.zeros((2, 3)), radius=-1)
    with pytest.raises(ValueError, match="3-D array"):
        pick.march_volume(np.zeros((3, 3)), (0, 0, 0), (1, 0, 0), 0.5)


@pytest.fixture
def volume():
    v = np.zeros((10, 20, 30))
    v[2:5, 5:9, 10:20] = 1.0
    return v


@pytest.mark.parametrize("case, origin, direction, threshold, expected", [
    ("along the last axis: the block's first face", (3, 6, -10), (0, 0, 1), 0.5, (3, 6, 9.5)),
    ("backwards along it: the far face", (3, 6, 100), (0, 0, -1), 0.5, (3, 6, 19.5)),
    ("diagonal", (-3.0, 6, 14), (1, 0, 0), 0.5, (1.5, 6, 14)),
    ("nothing above the threshold", (3, 6, -10), (0, 0, 1), 1.0, None),
    ("outside the volume", (3, 30, -10), (0, 0, 1), 0.5, None),
    ("starting inside the block: where it starts", (3, 6, 12), (0, 0, 1), 0.5, (3, 6, 12)),
    ("pointing away", (3, 6, -10), (0, 0, -1), 0.5, None),
])
def test_volume_march_finds_the_first_voxel_above_the_threshold(volume, case, origin, direction, threshold, expected):
    hit = pick.march_volume(volume, origin, direction, threshold)
    if expected is None:
        assert hit is None, case
    else:
        assert hit == pytest.approx(expected), case


def test_volume_march_through_a_world_transform(volume):
    # Voxels twice as long in the first axis and shifted: the world hit comes back in world coordinates.
    to_world = np.diag([2.0, 1.0, 1.0, 1.0])
    to_world[:3, 3] = (100, 0, 0)
    hit = pick.march_volume(volume, (90.0, 6, 14), (1, 0, 0), 0.5, np.linalg.inv(to_world))
    assert hit == pytest.approx((100 + 2 * 1.5, 6, 14))
    # A diagonal ray visits every voxel it crosses: the block's corner voxel is not skipped.
    corner = np.zeros((4, 4, 4))
    corner[1, 2, 1] = 1.0
    hit = pick.march_volume(corner, (-0.5, 0.6, -0.5), (1, 1.05, 1), 0.5)
    assert hit is not None and np.all(np.floor(hit + 0.5 + 1e-9) >= (1, 2, 1))
