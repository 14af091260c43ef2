"""Camera motion from device input, through the real module and our library.

The application drives the frames ("frame.timingSource" 1), so every frame's
callbacks happen inside its own frame.time write and the results are exact.
"""

import math

import numpy as np
import pytest

import engine_support as es
from engine_support import STEP, Scene, drive, look_at



@pytest.fixture(autouse=True)
def no_configured_device(monkeypatch):
    # A device source from the developer's environment would make these runs differ.
    monkeypatch.setenv("ZIBREL_DEVICE", "none")
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)


@pytest.fixture
def opened():
    """Open a scene; disabled again after the test."""
    scenes = []

    def open_(scene=None, **kw):
        scene = scene or Scene(**kw)
        conn = scene.open()
        scenes.append(scene)
        return scene, conn

    yield open_
    for s in scenes:
        s._enable_navigation(False)



def settle(scene, t, ms=500):
    """Frames without input until the motion timeout has ended the motion."""
    for _ in range(int(ms / STEP)):
        t += STEP
        scene.frame(t)
    return t


ROTATIONS = {"rx": dict(rx=1.0), "ry": dict(ry=1.0), "rz": dict(rz=-1.0), "mixed": dict(rx=0.3, ry=-0.7, rz=0.5)}
CAMERAS = {"on axis": look_at((0, 0, 10), (0, 0, 0)), "off axis": look_at((4, 3, 6), (0.5, 0.2, 0))}


@pytest.mark.parametrize("camera", CAMERAS.values(), ids=CAMERAS.keys())
@pytest.mark.parametrize("axes", ROTATIONS.values(), ids=ROTATIONS.keys())
def test_rotation_keeps_the_pivots_distance_and_place_on_screen(opened, camera, axes):
    scene, conn = opened(camera=camera, hit=(0.5, 0.2, 0.0))
    scene.frame(0)
    before = scene.screen((0.5, 0.2, 0.0))
    drive(scene, conn, 0, 40, **axes)
    assert scene.last("pivot.position") == (0.5, 0.2, 0.0)
    after = scene.screen((0.5, 0.2, 0.0))
    turned = scene.camera[:3, :3].T @ camera[:3, :3]
    assert math.degrees(math.acos((np.trace(turned) - 1) / 2)) > 5  # the view did turn
    np.testing.assert_allclose(after, before, atol=1e-9)
    np.testing.assert_allclose(scene.camera[:3, :3] @ scene.camera[:3, :3].T, np.eye(3), atol=1e-12)


@pytest.mark.parametrize("axis, sign", [("x", 1), ("x", -1), ("y", 1), ("y", -1)])
@pytest.mark.parametrize("perspective", [True, False], ids=["perspective", "orthographic"])
def test_a_full_pan_crosses_one_view_width_per_second_at_the_pivot(opened, axis, sign, perspective):
    scene, conn = opened(camera=look_at((1, 2, 8), (1, 2, 0)), perspective=perspective)
    pivot = (0.0, 0.0, 0.0)  # no hit, no selection: the model's centre
    scene.frame(0)
    t = drive(scene, conn, 0, 1, **{axis: float(sign)})  # the motion's first frame
    start = scene.screen(pivot)
    drive(scene, conn, t, 50, **{axis: float(sign)})
    moved = scene.screen(pivot) - start
    width = scene.view_width_at(start[2]) if perspective else scene.extents[3] - scene.extents[0]
    expected = sign * width * 50 * STEP / 1000  # the model follows the cap
    index = 0 if axis == "x" else 1
    assert moved[index] == pytest.approx(expected, rel=1e-9)
    assert abs(moved[1 - index]) < 1e-9 and abs(moved[2]) < 1e-9


def test_zoom_approaches_the_pivot_without_crossing_it(opened):
    scene, conn = opened(hit=(0.3, -0.2, 1.0), camera=look_at((2, 1, 9), (0, 0, 0)))
    scene.frame(0)
    pivot = np.array([0.3, -0.2, 1.0])
    place = None
    distances = []
    t = 0.0
    for _ in range(2000):  # 20 s: the distance would halve twenty times
        t = drive(scene, conn, t, 1, z=1.0)
        distances.append(np.linalg.norm(scene.camera[:3, 3] - pivot))
        s = scene.screen(pivot)
        assert s[2] > 0  # the pivot stays in front of the camera
        place = s[:2] / s[2] if place is None else place
        np.testing.assert_allclose(s[:2] / s[2], place, atol=1e-9)  # straight toward it
    assert all(b <= a for a, b in zip(distances, distances[1:]))
    # It stops short at a ten-thousandth of the model's size (a 2x2x2 box).
    assert distances[-1] == pytest.approx(2 * math.sqrt(3) * 1e-4, rel=1e-6)
    # Pulling the other way backs off again.
    near = distances[-1]
    drive(scene, conn, t, 20, z=-1.0)
    assert np.linalg.norm(scene.camera[:3, 3] - pivot) > near


def test_an_orthographic_zoom_changes_only_the_extents(opened):
    scene, conn = opened(perspective=False, camera=look_at((3, 3, 3), (0, 0, 0)))
    camera = scene.camera.copy()
    before = list(scene.extents)
    scene.frame(0)
    t = drive(scene, conn, 0, 1, z=1.0)
    first = list(scene.extents)
    drive(scene, conn, t, 100, z=1.0)
    assert "view.affine" not in scene.names()
    np.testing.assert_array_equal(scene.camera, camera)
    after = scene.extents
    assert after[3] - after[0] == pytest.approx((first[3] - first[0]) * 0.5, rel=1e-9)  # 1 s halves the extents
    assert after[4] - after[1] == pytest.approx((first[4] - first[1]) * 0.5, rel=1e-9)
    assert (after[2], after[5]) == (before[2], before[5])  # depth range untouched
    assert (after[0] + after[3], after[1] + after[4]) == pytest.approx((before[0] + before[3], before[1] + before[4]))


PIVOTS = {
    "hit answer": (dict(hit=(0.25, 0.5, -0.75)), (0.25, 0.5, -0.75), False),
    "selection centre": (dict(selection=((1, 1, 1), (3, 5, 7))), (2, 3, 4), True),
    "model centre": (dict(model=((-2, 0, 0), (4, 2, 2))), (1, 1, 1), False),
}


@pytest.mark.parametrize("scene_kw, pivot, selection_only", PIVOTS.values(), ids=PIVOTS.keys())
def test_the_pivot_comes_from_the_hit_test_then_the_selection_then_the_model(opened, scene_kw, pivot,
                                                                            selection_only):
    scene, conn = opened(**scene_kw)
    scene.frame(0)
    drive(scene, conn, 0, 3, ry=0.5)
    assert scene.last("pivot.position") == pytest.approx(pivot)
    assert scene.last("hit.lookfrom") == pytest.approx((0, 0, 10))
    assert scene.last("hit.direction") == pytest.approx((0, 0, -1))
    assert scene.last("hit.selectionOnly") is selection_only
    assert 0 < scene.last("hit.aperture") < 0.1
    hit_writes = [n for n in scene.names() if n.startswith("hit.")]
    assert scene.names().index("pivot.position") > scene.names().index(hit_writes[-1])


def test_a_user_pivot_is_respected(opened):
    scene, conn = opened(user_pivot=(3.0, 0.0, 0.0), hit=(9, 9, 9))
    scene.frame(0)
    drive(scene, conn, 0, 20, ry=1.0)
    assert "pivot.position" not in scene.names()
    assert not [n for n in scene.names() if n.startswith("hit.")]
    assert np.linalg.norm(scene.camera[:3, 3] - [3, 0, 0]) == pytest.approx(math.hypot(3, 10))


def test_motion_and_transactions_arrive_in_order(opened):
    scene, conn = opened()
    scene.frame(0)
    t = drive(scene, conn, 0, 5, ry=1.0)
    settle(scene, t)
    names = scene.names({"motion", "transaction", "view.affine", "pivot.visible"})
    assert names[:2] == ["motion", "pivot.visible"]
    assert names[-2:] == ["pivot.visible", "motion"]
    assert [v for n, v in scene.events if n in ("motion", "pivot.visible")] == [True, True, False, False]
    body = names[2:-2]
    assert body == ["transaction", "view.affine", "transaction"] * (len(body) // 3) and body
    assert [v for n, v in scene.events if n == "transaction"] == [1, 0] * (len(body) // 3)
    # The motion lasted the samples plus the timeout; frames after it make no calls.
    count = len(scene.events)
    settle(scene, t + 1000)
    assert len(scene.events) == count


def test_a_pause_never_makes_the_view_jump(opened):
    scene, conn = opened()
    scene.frame(0)
    t = drive(scene, conn, 0, 2, x=1.0)
    before = scene.screen((0, 0, 0))
    t += 5000  # the application stalls for five seconds while the cap stays pushed
    es.sample(conn, t, x=1.0)
    scene.frame(t)
    moved = scene.screen((0, 0, 0))[0] - before[0]
    assert moved == pytest.approx(scene.view_width_at(10) * 0.050, rel=1e-9)  # one bounded step of 50 ms


def test_without_a_device_the_engine_does_nothing(opened):
    scene, conn = opened()
    for t in range(0, 1000, 10):
        scene.frame(float(t))
    assert scene.events == []
    assert es.frame_count(conn) == 0


def write_settings(tmp_path, monkeypatch, text):
    path = tmp_path / "zibrel.conf"
    path.write_text(text)
    monkeypatch.setenv("ZIBREL_CONFIG", str(path))


SHAPING = {
    # settings, pushed deflection, deflection the motion must match
    "dead zone swallows small input": ("dead-zone = 0.2\n", dict(x=0.15), None),
    "dead zone is cut out, full stays full": ("dead-zone = 0.2\n", dict(x=1.0), dict(x=1.0)),
    "past the dead zone, rescaled": ("dead-zone.x = 0.5\n", dict(x=0.75), dict(x=0.5)),
    "inverted axis": ("invert = x ry\n", dict(x=0.5), dict(x=-0.5)),
    "sensitivity scales": ("sensitivity = 2\ntranslation-sensitivity = 0.25\n", dict(x=1.0), dict(x=0.5)),
    "huge values are full deflection": ("", dict(x=1e300), dict(x=1.0)),
}


@pytest.mark.parametrize("text, pushed, equivalent", SHAPING.values(), ids=SHAPING.keys())
def test_settings_shape_the_device_input(opened, tmp_path, monkeypatch, text, pushed, equivalent):
    write_settings(tmp_path, monkeypatch, "dead-zone = 0\n" + text)
    scene, conn = opened()
    scene.frame(0)
    t = drive(scene, conn, 0, 1, **pushed)
    start = scene.screen((0, 0, 0))
    drive(scene, conn, t, 10, **pushed)
    moved = scene.screen((0, 0, 0)) - start
    if equivalent is None:
        assert scene.events == []
    else:
        assert moved[0] == pytest.approx(equivalent["x"] * scene.view_width_at(10) * 0.1, rel=1e-9)


def test_coalescing_averages_or_takes_the_latest_sample(opened, tmp_path, monkeypatch):
    moved = {}
    for mode in ("average", "latest"):
        write_settings(tmp_path, monkeypatch, f"coalesce = {mode}\ndead-zone = 0\n")
        scene, conn = opened()
        scene.frame(0)
        t = drive(scene, conn, 0, 1, x=1.0)
        start = scene.screen((0, 0, 0))[0]
        for _ in range(10):  # four device events per frame
            for k, x in enumerate((0.2, 0.4, 0.6, 0.8)):
                es.sample(conn, t + 2.5 * (k + 1), x=x)
            t += STEP
            scene.frame(t)
        moved[mode] = (scene.screen((0, 0, 0))[0] - start) / (scene.view_width_at(10) * 0.1)
    assert moved == pytest.approx({"average": 0.5, "latest": 0.8}, rel=1e-9)


def test_motion_ends_on_the_timeout_not_on_a_zero_sample(opened, tmp_path, monkeypatch):
    write_settings(tmp_path, monkeypatch, "motion-timeout = 200\n")
    scene, conn = opened()
    scene.frame(0)
    t = drive(scene, conn, 0, 3, ry=1.0)
    es.sample(conn, t + 1, ry=0.0)  # the cap returns to rest
    t = drive(scene, conn, t, 15)  # 150 ms: still within the timeout
    assert es.in_motion(conn) == 1 and scene.names()[-1] != "motion"
    drive(scene, conn, t, 10)
    assert es.in_motion(conn) == 0 and scene.events[-1] == ("motion", False)


def test_a_held_sample_keeps_moving_until_the_timeout(opened):
    scene, conn = opened()
    scene.frame(0)
    es.sample(conn, 5, ry=1.0)  # one event, then silence
    t = drive(scene, conn, 0, 30)
    moves = scene.names().count("view.affine")
    assert moves == 10  # frames at 10..100 ms lie within the 100 ms timeout of the sample
    assert scene.events[-1] == ("motion", False) and t == 300
