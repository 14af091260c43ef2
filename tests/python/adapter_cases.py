"""One table of navigation cases for every viewer adapter, measured with the viewer's own matrices.

Each adapter's test gives a probe:

    probe.attach(settings) -> Navigator      a navigator on the viewer, with these library settings
    probe.reset(perspective)                 the start pose (START, level about probe.up), in that projection
    probe.pixel_matrix() -> (3, 4)           world (the library's) to homogeneous pixels, from the
                                             viewer's own camera and projection; pixels from the top left
    probe.viewport() -> (w, h)
    probe.frame()                            let the viewer draw (Qt events, a polyscope frame)

`measure` drives the device through the library's control functions (one
sample per frame, frames ticked at explicit times) and returns what the viewer
shows at two moments of a held deflection; `check` holds it to the library's
documented speeds: turns 90 degrees/s about the pivot (kept still on screen),
pans one view width per second at the pivot's depth, zooms halving the
distance (parallel: the view) per second, each at full deflection.
"""
from __future__ import annotations

import math
import os
import tempfile

import numpy as np

import zibrel_ctl as ctl
from engine_support import sample

FRAME = 1 / 60
HELD_FRAMES = 30          # between the two measurements: half a second
DEFLECTION = 0.5

# The scene every adapter shows: a sphere, seen from an eye off its axes so that the
# central ray hits it away from any pole.
SPHERE_CENTRE = np.array([0.3, -0.2, 0.1])
SPHERE_RADIUS = 1.0
EYE_OFFSET = np.array([1.2, 1.6, 5.0])
TARGET_OFFSET = np.array([0.15, 0.1, 0.0])

# (name, deflection x y z rx ry rz, lock-horizon)
CASES = [
    ("turn", (0, 0, 0, 0, DEFLECTION, 0), False),
    ("tip", (0, 0, 0, DEFLECTION, 0, 0), False),
    ("roll", (0, 0, 0, 0, 0, DEFLECTION), False),
    ("level turn", (0, 0, 0, DEFLECTION, DEFLECTION, 0), True),
    ("pan x", (DEFLECTION, 0, 0, 0, 0, 0), False),
    ("pan y", (0, DEFLECTION, 0, 0, 0, 0), False),
    ("zoom", (0, 0, DEFLECTION, 0, 0, 0), False),
]
PROJECTIONS = ("perspective", "parallel")
IDS = [f"{name}-{projection}" for name, _, _ in CASES for projection in PROJECTIONS]
TABLE = [(name, deflection, lock, projection) for name, deflection, lock in CASES for projection in PROJECTIONS]


def settings_for(lock_horizon):
    # No dead zone: the deflection given is the deflection that moves.
    return {"lock-horizon": "on" if lock_horizon else "off", "dead-zone": "0", "sensitivity": "1"}


def start_pose(up):
    """The start camera: looking at the sphere, level about `up`."""
    up = np.asarray(up, float)
    # The offsets are given for a Y-up world; turn them so that `up` plays Y's part.
    basis = _basis_for_up(up)
    eye = SPHERE_CENTRE + basis @ EYE_OFFSET
    target = SPHERE_CENTRE + basis @ TARGET_OFFSET
    return eye, target, up


def _basis_for_up(up):
    u = up / np.linalg.norm(up)
    x = np.array([1.0, 0, 0]) if abs(u[0]) < 0.9 else np.array([0, 0, 1.0])
    x = x - (x @ u) * u
    x /= np.linalg.norm(x)
    return np.column_stack([x, u, np.cross(x, u)])


# --- the viewer's own picture ----------------------------------------------------------------------

def pixels(k, points):
    p = np.atleast_2d(points)
    h = np.hstack([p, np.ones((len(p), 1))]) @ k.T
    return h[:, :2] / h[:, 2:3]


def frame_axes(k, viewport):
    """The camera's right, up and back axes from a pixel matrix (a frustum centred on the viewport)."""
    w, h = viewport
    right = k[0, :3] - w / 2 * k[2, :3]
    up = -(k[1, :3] - h / 2 * k[2, :3])
    right, up = right / np.linalg.norm(right), up / np.linalg.norm(up)
    return np.column_stack([right, up, np.cross(right, up)])


def eye_of(k):
    """The eye of a perspective pixel matrix: the point every pixel ray starts from."""
    _, _, vt = np.linalg.svd(k)
    e = vt[-1]
    return e[:3] / e[3]


def scale_at(k, point, step=1e-4):
    """The singular values of the pixel map's derivative at `point`: how big it looks there."""
    base = pixels(k, point)[0]
    jac = np.column_stack([(pixels(k, point + step * axis)[0] - base) / step for axis in np.eye(3)])
    return np.linalg.svd(jac, compute_uv=False)


def state(probe, pivot, perspective):
    k = probe.pixel_matrix()
    s = {"pixel": pixels(k, pivot)[0], "scale": scale_at(k, pivot), "axes": frame_axes(k, probe.viewport())}
    if perspective:
        s["eye"] = eye_of(k)
    return s


# --- driving ---------------------------------------------------------------------------------------

def _settings_file(settings):
    handle, path = tempfile.mkstemp(prefix="zibrel-case-", suffix=".conf")
    with os.fdopen(handle, "w") as f:
        f.writelines(f"{key} = {value}\n" for key, value in settings.items())
    return path


def open_navigator(probe, settings):
    """probe.attach(settings), with the same settings in ZIBREL_CONFIG: the user's file goes over the
    application's, so none left on the machine changes a case."""
    path = _settings_file(settings)
    old = os.environ.get("ZIBREL_CONFIG")
    os.environ["ZIBREL_CONFIG"] = path
    os.environ["ZIBREL_DEVICE"] = "none"
    try:
        return probe.attach(settings)
    finally:
        if old is None:
            del os.environ["ZIBREL_CONFIG"]
        else:
            os.environ["ZIBREL_CONFIG"] = old
        os.unlink(path)


def measure(probe, deflection, lock_horizon, projection):
    """What the viewer shows one frame into a held deflection (before) and HELD_FRAMES later (after)."""
    perspective = projection == "perspective"
    probe.reset(perspective)
    navigator = open_navigator(probe, settings_for(lock_horizon))
    try:
        conn = ctl.last_connection()
        t = 100.0
        for _ in range(2):  # the motion starts (and finds its pivot), then moves one frame
            assert sample(conn, t * 1000, *deflection) == 0
            navigator.tick(t)
            probe.frame()
            t += FRAME
        pivot = navigator.pivot
        assert pivot is not None, "no pivot after the motion started"
        before = state(probe, pivot, perspective)
        for _ in range(HELD_FRAMES):
            assert sample(conn, t * 1000, *deflection) == 0
            navigator.tick(t)
            probe.frame()
            t += FRAME
        after = state(probe, pivot, perspective)
        assert navigator.in_motion
        return {"pivot": pivot, "before": before, "after": after, "viewport": np.array(probe.viewport()),
                "up": np.asarray(probe.up, float), "pivot_same": bool(np.array_equal(pivot, navigator.pivot))}
    finally:
        navigator.close()


# --- what must hold --------------------------------------------------------------------------------

def turned_degrees(before, after):
    r = before["axes"].T @ after["axes"]
    return math.degrees(math.acos(np.clip((np.trace(r) - 1) / 2, -1, 1)))


def check(name, deflection, lock_horizon, projection, m):
    """Assertions for one case's measurement (the dict `measure` returns, or the same read from JSON)."""
    perspective = projection == "perspective"
    pivot = np.asarray(m["pivot"], float)
    before, after = m["before"], m["after"]
    w, h = m["viewport"]
    seconds = HELD_FRAMES * FRAME
    assert m["pivot_same"], "the pivot changed during one motion"

    # The pivot is a real hit on the near side of the sphere.
    assert abs(np.linalg.norm(pivot - SPHERE_CENTRE) - SPHERE_RADIUS) < 0.01, pivot
    toward_eye = before["eye"] - pivot if perspective else before["axes"][:, 2]
    assert (pivot - SPHERE_CENTRE) @ toward_eye > 0, "the pivot is on the far side"
    off_centre = np.linalg.norm(before["pixel"] - np.array([w / 2, h / 2]))
    assert off_centre < 0.02 * w, "the pivot is not where the eye looked"

    if name in ("turn", "tip", "roll", "level turn"):
        assert np.linalg.norm(after["pixel"] - before["pixel"]) < 0.5, (before["pixel"], after["pixel"])
        assert np.allclose(after["scale"], before["scale"], rtol=1e-3), (before["scale"], after["scale"])
        if perspective:
            d0, d1 = (np.linalg.norm(s["eye"] - pivot) for s in (before, after))
            assert abs(d1 / d0 - 1) < 1e-4, (d0, d1)
        assert turned_degrees(before, after) > 10
        if lock_horizon:
            up = m["up"] / np.linalg.norm(m["up"])
            for s in (before, after):
                assert abs(s["axes"][:, 0] @ up) < 1e-3, "the horizon tilted"
                assert s["axes"][:, 1] @ up > 0, "the view is upside down"
    elif name.startswith("pan"):
        x, y = deflection[0], deflection[1]
        # The model follows the cap: right on screen for +x, up (smaller pixel y) for +y.
        expected = np.array([x, -y]) * seconds * w
        moved = after["pixel"] - before["pixel"]
        assert np.allclose(moved, expected, atol=0.01 * w * seconds * DEFLECTION), (moved, expected)
        assert np.allclose(after["axes"], before["axes"], atol=1e-6)
        if perspective:  # sideways at the pivot's depth (off the axis, it looks a little bigger)
            d0, d1 = ((pivot - s["eye"]) @ -s["axes"][:, 2] for s in (before, after))
            assert abs(d1 / d0 - 1) < 1e-4, (d0, d1)
        else:
            assert np.allclose(after["scale"], before["scale"], rtol=1e-3)
    elif name == "zoom":
        factor = 2 ** (-deflection[2] * seconds)
        if perspective:
            d0, d1 = (np.linalg.norm(s["eye"] - pivot) for s in (before, after))
            assert abs(d1 / d0 - factor) < 2e-3, (d1 / d0, factor)
        ratio = after["scale"] / before["scale"]
        # Parallel: the view shrinks by the factor, so everything grows by its inverse; perspective:
        # the pivot grows as the distance shrinks.
        assert np.allclose(ratio, 1 / factor, rtol=3e-3), (ratio, 1 / factor)
        # Perspective dollies toward the pivot; a parallel view shrinks about its centre.
        centre = np.array([w / 2, h / 2])
        expected = before["pixel"] if perspective else centre + (before["pixel"] - centre) / factor
        assert np.linalg.norm(after["pixel"] - expected) < 0.5, (after["pixel"], expected)
        assert np.allclose(after["axes"], before["axes"], atol=1e-6)
