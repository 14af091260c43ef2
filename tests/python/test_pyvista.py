"""The PyVista adapter: VTK's camera both ways, bounds, picking, and navigation of
off-screen plotters rendered through Mesa, driven by device files and explicit tick() times.

Pictures: set ZIBREL_TEST_PICTURES=DIR to keep the screenshots the tests compare.
"""

import importlib.util
import math
import os
import pathlib
import random
import shutil
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

# The viewer is an extra ([pyvista]); without it these tests skip, the rest of the suite runs.
pv = pytest.importorskip("pyvista", reason="pyvista is not installed (pip install pyzibrel[pyvista])")

import zibrel_ctl as ctl
from pyzibrel import camera as zcam
from pyzibrel.pyvista import PyVistaViewer, RayPicker, attach, camera_matrix, dominant_axis, set_camera_matrix

HERE = pathlib.Path(__file__).parent
SIZE = (400, 300)
FRAME = 1 / 60


pytestmark = pytest.mark.usefixtures("offscreen_mesa")


@pytest.fixture
def plotter():
    p = pv.Plotter(off_screen=True, window_size=SIZE)
    yield p
    p.close()


@pytest.fixture
def device(tmp_path, monkeypatch):
    """device(lines, settings=()) scripts the virtual device (and settings) for the next attach."""
    def script(lines, settings=()):
        path = tmp_path / "device.txt"
        path.write_text("\n".join(lines) + "\n")
        monkeypatch.setenv("ZIBREL_DEVICE", f"file:{path}")
        if settings:
            conf = tmp_path / "zibrel.conf"
            conf.write_text("\n".join(settings) + "\n")
            monkeypatch.setenv("ZIBREL_CONFIG", str(conf))
    return script


def picture(plotter, name):
    image = plotter.screenshot(return_img=True)
    keep = os.environ.get("ZIBREL_TEST_PICTURES")
    if keep:
        pathlib.Path(keep).mkdir(parents=True, exist_ok=True)
        from PIL import Image  # pyvista's own dependency
        Image.fromarray(image).save(pathlib.Path(keep) / f"{name}.png")
    return image.astype(np.int16)


def changed_fraction(a, b):
    return float(np.mean(np.any(np.abs(a - b) > 24, axis=-1)))


def two_objects(p):
    """A sphere at the origin and a box to its right, seen level from +Z."""
    sphere = p.add_mesh(pv.Sphere(radius=1.0, theta_resolution=60, phi_resolution=60), color="tan")
    box = p.add_mesh(pv.Cube(center=(3.0, 0.0, 0.0)), color="steelblue")
    p.camera_position = [(0.0, 0.0, 10.0), (0.0, 0.0, 0.0), (0.0, 1.0, 0.0)]
    return sphere, box


def run(navigator, seconds, start=100.0, each=None):
    """Tick at 60 Hz for `seconds` from `start`; `each(t)` after every tick. Returns the last time."""
    t = start
    for i in range(round(seconds / FRAME)):
        t = start + i * FRAME
        navigator.tick(t)
        if each is not None:
            each(t)
    return t


def on_screen(renderer, point):
    renderer.SetWorldPoint(*point, 1.0)
    renderer.WorldToDisplay()
    return np.array(renderer.GetDisplayPoint()[:2])


# --- VTK's camera, both ways --------------------------------------------------------------------

@pytest.mark.parametrize("position, focal, up", [
    ((0, 0, 10), (0, 0, 0), (0, 1, 0)),
    ((3, -4, 2), (1, 1, 1), (0, 0, 1)),
    ((-5, 2, 0.5), (0, 2, 0), (0.3, 0.9, 0.1)),   # an up that is not perpendicular yet
])
def test_camera_matrix_round_trip(plotter, position, focal, up):
    camera = plotter.camera
    camera.SetPosition(*position)
    camera.SetFocalPoint(*focal)
    camera.SetViewUp(*up)
    camera.OrthogonalizeViewUp()
    m = camera_matrix(camera)
    assert np.allclose(m[3], (0, 0, 0, 1))
    assert np.allclose(m[:3, :3].T @ m[:3, :3], np.eye(3))
    assert np.allclose(m[:3, 3], position)
    assert np.allclose(-m[:3, 2] * camera.GetDistance() + m[:3, 3], focal)
    assert np.allclose(m[:3, 1], camera.GetViewUp())

    other = pv.Plotter(off_screen=True, window_size=SIZE)
    try:
        set_camera_matrix(other.camera, m, focal_distance=2.5)
        assert np.allclose(other.camera.GetPosition(), position)
        assert np.allclose(other.camera.GetDistance(), 2.5)
        assert np.allclose(other.camera.GetViewUp(), camera.GetViewUp())
        assert np.allclose(camera_matrix(other.camera), m)
    finally:
        other.close()


def test_matrix_with_the_eye_in_the_bottom_row_is_refused(plotter):
    m = np.eye(4)
    m[3, :3] = (0, 0, 10)
    with pytest.raises(ValueError, match="bottom row"):
        set_camera_matrix(plotter.camera, m)


def test_field_of_view_is_horizontal_through_the_aspect(plotter):
    viewer = PyVistaViewer(plotter, pivot_marker=False)
    plotter.camera.SetViewAngle(30.0)
    aspect = SIZE[0] / SIZE[1]
    expected = 2 * math.atan(math.tan(math.radians(15)) * aspect)
    assert viewer.get_fov() == pytest.approx(expected)
    viewer.set_fov(math.radians(90))
    assert plotter.camera.GetViewAngle() == pytest.approx(math.degrees(zcam.vertical_fov(math.radians(90), aspect)))
    plotter.camera.SetUseHorizontalViewAngle(True)
    plotter.camera.SetViewAngle(50.0)
    assert viewer.get_fov() == pytest.approx(math.radians(50))


def test_parallel_scale_is_half_the_extents_height(plotter):
    viewer = PyVistaViewer(plotter, pivot_marker=False)
    plotter.add_mesh(pv.Sphere())
    plotter.camera_position = [(0, 0, 10), (0, 0, 0), (0, 1, 0)]
    plotter.camera.ParallelProjectionOn()
    plotter.camera.SetParallelScale(2.0)
    assert not viewer.is_perspective()
    e = viewer.get_view_extents()
    assert np.allclose(e[:, :2], [[-2 * SIZE[0] / SIZE[1], -2], [2 * SIZE[0] / SIZE[1], 2]])
    near, far = plotter.camera.GetClippingRange()
    assert np.allclose(e[:, 2], [-far, -near])
    # Extents off the axis move the camera under their centre, sideways only.
    viewer.set_view_extents(np.array([[0.0, 1.0, -20.0], [4.0, 3.0, -1.0]]))
    assert plotter.camera.GetParallelScale() == pytest.approx(1.0)
    assert np.allclose(plotter.camera.GetPosition(), (2, 2, 10))
    assert np.allclose(plotter.camera.GetFocalPoint(), (2, 2, 0))
    with pytest.raises(ValueError, match="view extents"):
        viewer.set_view_extents(np.array([[0.0, 1.0, 0.0], [1.0, 1.0, 1.0]]))


@pytest.mark.parametrize("view_up, axis", [(None, (0, 0, 1)), ((0, 0, 1), (0, 0, 1)), ((0.2, -0.9, 0.1), (0, -1, 0)),
                                           ((0.6, 0.5, 0), (1, 0, 0))])
def test_up_axis_defaults_to_the_world_axis_nearest_the_view_up(plotter, view_up, axis):
    if view_up is not None:
        plotter.camera_position = [(0, 0, 10), (0, 0, 0), view_up]
    else:  # not placed yet: show() will give it the theme's view up
        assert not plotter.renderer.camera_set and plotter.renderer.GetActiveCamera().GetViewUp() == (0, 1, 0)
    assert np.array_equal(PyVistaViewer(plotter, pivot_marker=False).get_up_axis(), axis)
    if view_up is not None:
        assert np.array_equal(dominant_axis(view_up), axis)


# --- what is shown and what is hit --------------------------------------------------------------

def test_scene_bounds_leave_out_the_marker_and_hidden_props(plotter):
    viewer = PyVistaViewer(plotter)
    assert viewer.get_scene_bounds() is None  # nothing shown yet
    plotter.add_mesh(pv.Cube(center=(0, 0, 0)))
    hidden = plotter.add_mesh(pv.Cube(center=(50, 0, 0)))
    hidden.SetVisibility(False)
    plotter.add_text("a label")  # 2-D, no world bounds
    viewer.show_pivot(np.array([100.0, 100.0, 100.0]), True)
    assert viewer.marker.visible
    assert np.allclose(viewer.get_scene_bounds(), [[-0.5] * 3, [0.5] * 3])
    assert viewer.get_selection_bounds() is None
    viewer.selection = [hidden]
    assert viewer.get_selection_bounds() is None  # selected, but not shown


@pytest.fixture
def scene(plotter):
    """Pickable objects along -Z from an eye at z = 10: a sphere, a far box, a point cloud off the axis."""
    viewer = PyVistaViewer(plotter)
    objects = {
        "sphere": plotter.add_mesh(pv.Sphere(radius=1.0, center=(0, 0, 0))),
        "far box": plotter.add_mesh(pv.Cube(center=(0, 0, -5), x_length=4, y_length=4, z_length=1)),
        "points": plotter.add_points(np.array([[0.3, 0.0, 4.0]])),
    }
    return viewer, objects


EYE, AHEAD = np.array([0.0, 0.0, 10.0]), np.array([0.0, 0.0, -1.0])


@pytest.mark.parametrize("case, origin, direction, aperture, z_range", [
    ("central ray hits the sphere's front", EYE, AHEAD, 0.0, (0.99, 1.0)),
    ("a point within the aperture is nearer", EYE, AHEAD, 0.1, (4.0, 4.0)),
    ("the point is outside a narrow aperture", EYE, AHEAD, 0.01, (0.99, 1.0)),
    ("just past the sphere's rim: the far box", EYE + (1.05, 0, 0), AHEAD, 0.0, (-4.5, -4.5)),
    ("the rim is inside the aperture", EYE + (1.05, 0, 0), AHEAD, 0.02, (0.0, 0.5)),
    ("pointing away: nothing", EYE, -AHEAD, 0.1, None),
])
def test_pick_honours_the_aperture(scene, case, origin, direction, aperture, z_range):
    viewer, _ = scene
    hit = viewer.pick(origin, direction, aperture, False)
    if z_range is None:
        assert hit is None
    else:
        assert hit is not None, case
        assert z_range[0] - 1e-6 <= hit[2] <= z_range[1] + 1e-6, (case, hit)


def test_pick_selection_only_and_unpickable_actors(scene):
    viewer, objects = scene
    viewer.selection = [objects["far box"]]
    assert viewer.pick(EYE, AHEAD, 0.1, True)[2] == pytest.approx(-4.5)
    assert viewer.pick(EYE, AHEAD, 0.1, False)[2] == pytest.approx(4.0)
    viewer.selection = []
    assert viewer.pick(EYE, AHEAD, 0.1, True) is None
    objects["points"].SetPickable(False)
    objects["sphere"].SetPickable(False)
    assert viewer.pick(EYE, AHEAD, 0.1, False)[2] == pytest.approx(-4.5)
    viewer.show_pivot(np.array([0.0, 0.0, 8.0]), True)  # the marker is never hit
    assert viewer.pick(EYE, AHEAD, 0.1, False)[2] == pytest.approx(-4.5)


def test_pick_follows_actor_transforms_and_mesh_changes(plotter):
    picker = RayPicker()
    mesh = pv.Plane(center=(0, 0, 0), direction=(0, 0, 1), i_size=2, j_size=2)
    actor = plotter.add_mesh(mesh)
    assert picker.pick([actor], EYE, AHEAD, 0.0)[2] == pytest.approx(0.0)
    actor.position = (0.0, 0.0, 2.0)
    actor.scale = (1.0, 1.0, 3.0)
    assert picker.pick([actor], EYE, AHEAD, 0.0)[2] == pytest.approx(2.0)
    mesh.points[:, 2] += 1.0  # changes the dataset: the locator is built again
    mesh.Modified()
    assert picker.pick([actor], EYE, AHEAD, 0.0)[2] == pytest.approx(5.0)
    with pytest.raises(ValueError, match="ray direction"):
        picker.pick([actor], EYE, (0, 0, 0), 0.0)


# --- navigation through the library -------------------------------------------------------------

def test_turn_about_the_vertical_axis_turns_the_camera_about_the_pivot(plotter, device):
    two_objects(plotter)
    device(["0.0 motion 0 0 0   0 0.5 0", "0.5 motion 0 0 0   0 0 0"])
    navigator = attach(plotter)
    viewer = navigator.viewer
    before = picture(plotter, "turn-0-before")
    m0 = viewer.get_camera()
    poses, pivots = [], []

    def record(t):
        poses.append(viewer.get_camera())
        if viewer.marker.visible:
            pivots.append(viewer.marker.position)
            if len(pivots) == 10:
                poses.append(picture(plotter, "turn-1-moving"))

    run(navigator, 1.0, each=record)
    poses = [p for p in poses if p.shape == (4, 4)]
    after = picture(plotter, "turn-2-after")

    assert pivots, "the pivot marker was never shown"
    pivot = pivots[0]
    assert np.allclose(pivots, pivot)
    assert pivot == pytest.approx((0, 0, 1), abs=0.01)  # the sphere's front, under the screen's centre
    distance = np.linalg.norm(m0[:3, 3] - pivot)
    for m in poses:
        assert m[1, 3] == pytest.approx(0.0, abs=1e-6)                    # the eye stays level
        assert np.allclose(m[:3, 1], (0, 1, 0), atol=1e-6)                 # no roll, same vertical axis
        assert np.linalg.norm(m[:3, 3] - pivot) == pytest.approx(distance, rel=1e-6)
    final = poses[-1]
    yaw = math.degrees(math.atan2(final[0, 2], final[2, 2]))
    assert 10 < abs(yaw) < 35, yaw                                      # about 22 degrees in 0.5 s
    assert np.allclose(on_screen(plotter.renderer, pivot), (SIZE[0] / 2, SIZE[1] / 2), atol=1.0)
    assert not navigator.in_motion and not viewer.marker.visible
    assert changed_fraction(before, after) > 0.02                      # the box moved across the picture
    centre = (SIZE[1] // 2, SIZE[0] // 2)
    assert np.abs(before[centre] - after[centre]).max() < 24            # the pivot stays where it was


def test_pan_stops_when_the_cap_is_let_go(plotter, device):
    two_objects(plotter)
    device(["0.0 motion 0.5 0 0   0 0 0", "0.3 motion 0 0 0   0 0 0"])
    navigator = attach(plotter)
    viewer = navigator.viewer
    m0 = viewer.get_camera()
    poses = {}
    run(navigator, 1.5, each=lambda t: poses.__setitem__(round(t - 100.0, 4), viewer.get_camera()))
    times = sorted(poses)
    moved = poses[times[-1]]
    assert moved[0, 3] < m0[0, 3] - 0.5            # the model followed the cap to the right: the eye went left
    assert np.allclose(moved[:3, :3], m0[:3, :3])  # a pan turns nothing
    assert moved[2, 3] == pytest.approx(m0[2, 3])
    settled = [t for t in times if t >= 0.3 + 2 * FRAME]
    assert settled and all(np.array_equal(poses[t], moved) for t in settled), "the view drifted after release"
    assert not navigator.in_motion


COMMANDS = {"fit": 0, "front": 1, "top": 2, "iso": 3, "projection": 4}


@pytest.mark.parametrize("command", list(COMMANDS))
def test_default_commands_through_device_buttons(plotter, device, command):
    two_objects(plotter)
    plotter.camera_position = [(30.0, 12.0, -4.0), (6.0, 1.0, 0.0), (0.0, 1.0, 0.0)]
    button = COMMANDS[command]
    device([f"0.0 press {button}", f"0.05 release {button}", "0.1 end"],
           settings=[f"button.{n} = command:{c}" for c, n in COMMANDS.items()])
    navigator = attach(plotter, up=(0, 1, 0))
    tree = ctl.tree(ctl.last_connection())
    assert all(c in tree for c in COMMANDS), tree
    before = picture(plotter, f"command-{command}-0")
    camera = plotter.camera
    distance_before = camera.GetDistance()
    run(navigator, 0.2)
    after = picture(plotter, f"command-{command}-1")
    # The projection toggle keeps the size at the focal point: only the depth cues change.
    assert changed_fraction(before, after) > (0.003 if command == "projection" else 0.01)
    direction = np.array(camera.GetDirectionOfProjection())
    up = np.array(camera.GetViewUp())
    if command == "fit":
        assert np.allclose(direction, -np.subtract((30, 12, -4), (6, 1, 0)) / np.linalg.norm((24, 11, -4)))
    expected = {"front": ((0, 0, -1), (0, 1, 0)), "top": ((0, -1, 0), (0, 0, -1)),
                "iso": (-np.ones(3) / math.sqrt(3), None)}
    if command in expected:
        want_direction, want_up = expected[command]
        assert np.allclose(direction, want_direction)
        if want_up is not None:
            assert np.allclose(up, want_up)
    if command in ("fit", "front", "top", "iso"):
        # Everything shown: the scene's corners project inside the picture.
        bounds = navigator.viewer.get_scene_bounds()
        assert np.allclose(camera.GetFocalPoint(), bounds.mean(axis=0))
        for corner in np.array(np.meshgrid(*bounds.T)).reshape(3, -1).T:
            x, y = on_screen(plotter.renderer, corner)
            assert 0 <= x <= SIZE[0] and 0 <= y <= SIZE[1]
    if command == "projection":
        assert camera.GetParallelProjection()
        assert camera.GetParallelScale() == pytest.approx(
            distance_before * math.tan(math.radians(camera.GetViewAngle()) / 2))


@pytest.mark.parametrize("name", ["fit", "front", "back", "left", "right", "top", "bottom", "iso"])
@pytest.mark.parametrize("parallel", [False, True], ids=["perspective", "parallel"])
def test_view_commands_are_the_librarys_and_show_the_whole_scene(plotter, name, parallel):
    two_objects(plotter)
    camera = plotter.camera
    camera.SetParallelProjection(parallel)
    camera.SetParallelScale(0.5)  # zoomed in: most of the scene is outside
    plotter.render()
    viewer = PyVistaViewer(plotter, up=(0, 0, 1), pivot_marker=False)
    bounds = viewer.get_scene_bounds()
    fov = viewer.get_fov()
    expected, extents = zcam.view_command(name, viewer.get_camera(), bounds, up=(0, 0, 1), perspective=not parallel,
                                          fov=fov, vertical_fov=zcam.vertical_fov(fov, viewer.aspect()),
                                          extents=viewer.get_view_extents() if parallel else None)
    viewer.view_command(name)
    np.testing.assert_allclose(viewer.get_camera(), expected, atol=1e-9)
    assert np.allclose(camera.GetFocalPoint(), bounds.mean(axis=0))
    if parallel:  # the scene's sphere fits the height of the wider than high view
        assert camera.GetParallelScale() == pytest.approx(np.linalg.norm(bounds[1] - bounds[0]) / 2)
        np.testing.assert_allclose(viewer.get_view_extents()[:, :2], extents[:, :2])
    picture(plotter, f"view-{name}-{'parallel' if parallel else 'perspective'}")
    for corner in np.array(np.meshgrid(*bounds.T)).reshape(3, -1).T:
        x, y = on_screen(plotter.renderer, corner)
        assert 0 <= x <= SIZE[0] and 0 <= y <= SIZE[1]


def test_view_commands_leave_an_empty_scene_alone(plotter):
    plotter.camera_position = [(1.0, 2.0, 10.0), (0.0, 0.0, 0.0), (0.0, 1.0, 0.0)]
    viewer = PyVistaViewer(plotter, pivot_marker=False)
    before = viewer.get_camera()
    for command in (viewer.fit, viewer.front, viewer.top, viewer.iso):
        command()
    np.testing.assert_array_equal(viewer.get_camera(), before)


@pytest.mark.parametrize("case", ["no meshes", "meshes off the view axis", "nothing pickable"])
def test_scenes_without_a_hit_turn_about_the_bounds_centre(plotter, device, capfd, case):
    if case == "meshes off the view axis":
        plotter.add_mesh(pv.Cube(center=(2, 0, 0)))       # in the picture, beside the central ray
        plotter.add_mesh(pv.Cube(center=(-2.5, 1, -2)))
    elif case == "nothing pickable":
        plotter.add_mesh(pv.Sphere(center=(0, 0, 0)), pickable=False)
    plotter.camera_position = [(0.0, 0.0, 10.0), (0.0, 0.0, 0.0), (0.0, 1.0, 0.0)]
    device(["0.0 motion 0 0 0   0 0.5 0", "0.3 motion 0 0 0   0 0 0"])
    navigator = attach(plotter)
    viewer = navigator.viewer
    m0 = viewer.get_camera()
    pivots = []
    run(navigator, 0.6, each=lambda t: viewer.marker.visible and pivots.append(viewer.marker.position))
    picture(plotter, f"no-hit-{case.replace(' ', '-')}")
    bounds = viewer.get_scene_bounds()
    expected = m0[:3, 3] - m0[:3, 2] if bounds is None else bounds.mean(axis=0)
    assert pivots and np.allclose(pivots[0], expected)
    m1 = viewer.get_camera()
    assert not np.allclose(m1, m0)
    assert np.linalg.norm(m1[:3, 3] - expected) == pytest.approx(np.linalg.norm(m0[:3, 3] - expected))
    err = capfd.readouterr().err
    assert "pyzibrel:" not in err and "Traceback" not in err and "ERROR" not in err, err


@pytest.mark.parametrize("order", ["navigator twice", "plotter first", "navigator then plotter"])
def test_closing_is_safe_in_any_order(device, capfd, order):
    device(["0.0 motion 0 0 0   0 0.5 0"])
    p = pv.Plotter(off_screen=True, window_size=SIZE)
    p.add_mesh(pv.Sphere())
    navigator = attach(p)
    run(navigator, 0.2)
    assert navigator.in_motion and navigator.viewer.marker.visible
    renderer = p.renderer
    marker = navigator.viewer.marker.actor
    if order == "navigator twice":
        navigator.close()
        navigator.close()
        assert not renderer.HasViewProp(marker)
        p.close()
    elif order == "plotter first":
        p.close()
        assert not navigator.enabled
        navigator.close()
    else:
        navigator.close()
        p.close()
        p.close()
    assert not navigator.enabled
    assert navigator.tick(200.0) is False
    assert "Traceback" not in capfd.readouterr().err


def test_attach_refuses_bad_options(plotter):
    with pytest.raises(ValueError, match="timer period"):
        attach(plotter, period_ms=0)
    with pytest.raises(ValueError, match="up direction"):
        attach(plotter, up=(0, 0, 0))
    plotter.close()
    with pytest.raises(ValueError, match="closed"):
        attach(plotter)


# --- the adapter's defaults, settings in code, one navigator per plotter -------------------------

def z_up_scene(p):
    """The example's kind of scene: a ground plane and objects on it, Z up, in VTK's iso view."""
    p.add_mesh(pv.Plane(center=(0, 0, -1.0), i_size=8, j_size=8), color="lightgray")
    p.add_mesh(pv.Sphere(radius=0.8, center=(-1.5, 0, 0)), color="tan")
    p.add_mesh(pv.Cube(center=(1.5, 0, -0.3), x_length=1.2, y_length=1.2, z_length=1.4), color="steelblue")
    p.view_isometric()


def horizon_tilt(m, up=(0.0, 0.0, 1.0)):
    """Degrees by which the screen's horizontal leaves the world's horizontal plane."""
    return math.degrees(math.asin(min(1.0, abs(float(m[:3, 0] @ np.asarray(up))))))


def heading(m):
    """The view direction's angle about Z, in degrees."""
    return math.degrees(math.atan2(-m[1, 2], -m[0, 2]))


SPIN = ["0.0 motion 0 0 0   0 0.5 0", "0.5 motion 0 0 0   0 0 0"]


@pytest.mark.parametrize("code, user_file, level, speed", [
    (None, [], True, 1.0),                                             # the adapter's default
    ({"lock-horizon": False}, [], False, None),                        # the application turns it off
    ({"lock-horizon": False}, ["lock-horizon = on"], True, 1.0),       # the user's file wins
    (None, ["lock-horizon = off"], False, None),                       # the user turns the default off
    ({"sensitivity": 2}, [], True, 2.0),                               # settings in code change the feel
    ({"sensitivity": 2}, ["sensitivity = 0.5"], True, 0.5),            # and the user's file overrides them
], ids=["default", "code-off", "file-over-code", "file-off", "code-faster", "file-over-code-speed"])
def test_a_spin_keeps_the_horizon_level_unless_turned_off(plotter, device, code, user_file, level, speed):
    z_up_scene(plotter)
    device(SPIN, settings=user_file)
    m0 = camera_matrix(plotter.camera)
    assert horizon_tilt(m0) < 1e-6
    navigator = attach(plotter, settings=code)
    assert np.allclose(navigator.viewer.up, (0, 0, 1))
    tilts = []
    run(navigator, 0.8, each=lambda t: tilts.append(horizon_tilt(camera_matrix(plotter.camera))))
    m1 = camera_matrix(plotter.camera)
    picture(plotter, f"spin-{'level' if level else 'tilted'}-{speed}")
    if level:
        assert max(tilts) < 0.5, max(tilts)
        # About 22 degrees about Z in 0.5 s at sensitivity 1.
        turned = abs(heading(m1) - heading(m0))
        assert turned == pytest.approx(90 * 0.5 * (0.5 - 0.02) / 0.98 * speed, rel=0.1), turned
    else:
        assert max(tilts) > 5, max(tilts)


@pytest.mark.parametrize("user_file, moves", [
    ([], True),                                      # no settings at all: fit and iso
    (["button.0 = none", "button.1 = none"], False),  # the user's file turns both off
])
def test_buttons_0_and_1_change_the_camera_without_a_settings_file(plotter, device, user_file, moves):
    two_objects(plotter)
    plotter.camera_position = [(30.0, 12.0, -4.0), (6.0, 1.0, 0.0), (0.0, 1.0, 0.0)]
    device(["0.0 press 0", "0.05 release 0", "0.3 press 1", "0.35 release 1", "0.5 end"], settings=user_file)
    navigator = attach(plotter)
    start = camera_matrix(plotter.camera)
    cameras = {}
    run(navigator, 0.6, each=lambda t: cameras.__setitem__(round(t - 100.0, 3), camera_matrix(plotter.camera)))
    after_0, after_1 = cameras[0.25], cameras[0.583]
    if not moves:
        assert np.allclose(after_1, start) and np.allclose(after_0, start)
        return
    # Button 0, view:fit: the same direction, the whole scene in view.
    assert not np.allclose(after_0[:3, 3], start[:3, 3], atol=0.1)
    assert np.allclose(after_0[:3, 2], start[:3, 2], atol=1e-6)
    # Button 1, view:iso: looking down on the front, the right and the top (Y up).
    assert np.allclose(np.abs(after_1[:3, 2]), 1 / math.sqrt(3), atol=1e-6)
    assert after_1[:3, 1] @ (0, 1, 0) > 0.5


def test_a_second_attach_closes_the_first(plotter, device):
    two_objects(plotter)
    device(SPIN)
    props_before = plotter.renderer.GetViewProps().GetNumberOfItems()
    first = attach(plotter)
    first_marker = first.viewer.marker.actor
    second = attach(plotter)
    assert not first.enabled and second.enabled
    assert first.viewer.marker is None and not plotter.renderer.HasViewProp(first_marker)
    assert plotter.renderer.GetViewProps().GetNumberOfItems() == props_before + 1  # one pivot marker
    m0 = camera_matrix(plotter.camera)
    run(second, 0.8)
    m1 = camera_matrix(plotter.camera)
    turned = math.degrees(math.acos(np.clip(m1[:3, 2] @ m0[:3, 2], -1, 1)))
    assert turned == pytest.approx(90 * 0.5 * (0.5 - 0.02) / 0.98, rel=0.1)  # turned once, not twice
    plotter.close()  # the plotter's close reaches the live navigator only
    assert not second.enabled


@pytest.mark.parametrize("pivot, where, parallel, expected", [
    ("pointer", (3.0, 0.0, 0.5), False, (3.0, 0.0, 0.5)),    # the box under the pointer
    ("pointer", (3.0, 0.0, 0.5), True, (3.0, 0.0, 0.5)),     # also in a parallel projection
    ("pointer", None, False, (0.0, 0.0, 1.0)),               # the pointer is not over the view
    ("pointer", "corner", False, (0.0, 0.0, 1.0)),           # nothing under it: the hit at the centre
    ("centre", (3.0, 0.0, 0.5), False, (0.0, 0.0, 1.0)),     # the default: the centre
])
def test_the_pointer_pivot_picks_the_hit_under_the_pointer(plotter, device, pivot, where, parallel, expected):
    two_objects(plotter)
    if parallel:
        plotter.enable_parallel_projection()
        plotter.camera.SetParallelScale(3.0)
    device(["0.0 motion 0 0 0   0 0.5 0", "0.3 motion 0 0 0   0 0 0"])
    navigator = attach(plotter, settings={"pivot": pivot})
    viewer = navigator.viewer
    plotter.render()
    if where == "corner":
        viewer.pointer = (3.0, SIZE[1] - 3.0)
    elif where is not None:
        viewer.pointer = tuple(on_screen(plotter.renderer, where))
    pivots = []
    run(navigator, 0.2, each=lambda t: viewer.marker.visible and pivots.append(viewer.marker.position))
    # Within the hit-test cone (2 % of the view width per unit of depth) of the point.
    assert pivots and np.allclose(pivots[0], expected, atol=0.1), pivots[:1]


def test_the_pointer_follows_the_interactors_mouse_events(device):
    p = pv.Plotter(off_screen=True, window_size=SIZE)
    if p.iren is None:
        p.close()
        pytest.skip("this plotter has no interactor")
    navigator = attach(p)
    viewer = navigator.viewer
    interactor = p.iren.interactor
    interactor.SetEventPosition(120, 80)
    interactor.InvokeEvent("MouseMoveEvent")
    assert viewer.pointer == (120.0, 80.0)
    assert viewer.get_pointer() is not None
    interactor.InvokeEvent("LeaveEvent")
    assert viewer.pointer is None and viewer.get_pointer() is None
    navigator.close()
    interactor.SetEventPosition(10, 10)
    interactor.InvokeEvent("MouseMoveEvent")  # no observer of ours is left
    assert viewer.pointer is None
    p.close()


# --- a real window ------------------------------------------------------------------------------

def accepts_clients(path, seconds=5.0):
    """The server's socket takes a connection (a loaded machine may lag behind its "ready")."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with socket.socket(socket.AF_UNIX) as probe:
            try:
                probe.connect(path)
                return True
            except OSError:
                time.sleep(0.05)
    return False


def start_xvfb():
    """An Xvfb server on a display number of its own: (process, ":N").

    Explicit numbers from a range that other X servers of the machine rarely use
    (they start at 0, xvfb-run at 99); a number taken makes Xvfb exit, and we try another.
    """
    # The server is no code of ours: the sanitizers preloaded into the tests' processes stay out of it.
    server_env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    for display in random.sample(range(300, 900), 20):
        read_fd, write_fd = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", f":{display}", "-displayfd", str(write_fd), "-screen", "0", "800x600x24",
                                 "-nolisten", "tcp"], pass_fds=(write_fd,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=server_env)
        os.close(write_fd)
        with os.fdopen(read_fd) as r:
            ready = r.readline().strip()  # written once the server accepts clients; empty when it failed
        if ready and accepts_clients(f"/tmp/.X11-unix/X{ready}"):
            return xvfb, f":{ready}"
        xvfb.terminate()
        xvfb.wait(timeout=10)
    raise RuntimeError("Xvfb did not start on any display (Debian's xvfb; ./dev installs it)")


def under_xvfb(command, env, timeout=90):
    """Run `command` with DISPLAY on an Xvfb server of its own; the server goes when it ends."""
    xvfb, display = start_xvfb()
    try:
        return subprocess.run(command, env=dict(env, DISPLAY=display), capture_output=True, text=True, timeout=timeout)
    finally:
        xvfb.terminate()
        xvfb.wait(timeout=10)


@pytest.mark.skipif(shutil.which("Xvfb") is None, reason="needs Xvfb (./dev installs Debian's xvfb)")
def test_real_window_under_xvfb_is_navigated_by_the_interactor_timer(tmp_path):
    device = tmp_path / "device.txt"
    # Still while the first picture is taken (at 0.3 s), then a turn.
    device.write_text("0.0 motion 0 0 0   0 0 0\n0.5 motion 0 0 0   0 0.6 0\n0.9 motion 0 0 0   0 0 0\n")
    env = {k: v for k, v in os.environ.items() if k not in ("VTK_DEFAULT_OPENGL_WINDOW", "ZIBREL_CONFIG")}
    env["ZIBREL_DEVICE"] = f"file:{device}"
    for _attempt in range(3):
        result = under_xvfb([sys.executable, str(HERE / "pyvista_window_app.py"), str(tmp_path)], env)
        # Another X server of the machine starting or stopping at the same moment can cost us the
        # connection; that is the machine, not the window, so try once more.
        if "bad X server connection" not in result.stderr:
            break
    assert result.returncode == 0, result.stdout + result.stderr
    report = dict(line.split("=", 1) for line in result.stdout.split() if "=" in line)
    assert report["window"] == "vtkXOpenGLRenderWindow"
    assert int(report["ticks"]) >= 20                      # the interactor's timer ran the frames
    assert float(report["yaw"]) > 5                          # and the camera turned with them
    assert report["closed"] == "True"                        # closing the window closed the navigator
    assert float(report["pyvista_timer"]) >= 0.25            # pyvista's own 300 ms timer was not fired by ours
    from PIL import Image
    before, after = (np.asarray(Image.open(tmp_path / f"{name}.png").convert("RGB"), dtype=np.int16)
                     for name in ("before", "after"))
    assert changed_fraction(before, after) > 0.01
    keep = os.environ.get("ZIBREL_TEST_PICTURES")
    if keep:
        for name in ("before", "after"):
            shutil.copy(tmp_path / f"{name}.png", pathlib.Path(keep) / f"window-{name}.png")


needs_qt = pytest.mark.skipif(shutil.which("Xvfb") is None or importlib.util.find_spec("pyvistaqt") is None,
                              reason="needs Xvfb and pyvistaqt with a Qt binding (./dev installs them)")


@pytest.mark.skipif(shutil.which("Xvfb") is None, reason="needs Xvfb (./dev installs Debian's xvfb)")
@pytest.mark.parametrize("how", [
    "plotter",                                                        # a plain Plotter, closed by show()
    pytest.param("window", marks=needs_qt),    # BackgroundPlotter: its window closed by Qt
    pytest.param("widget", marks=needs_qt),    # QtInteractor destroyed with its parent
    pytest.param("quit", marks=needs_qt),      # QtInteractor never closed: the application quits
    pytest.param("exit", marks=needs_qt),      # BackgroundPlotter left open when the script ends
])
def test_every_way_a_plotter_goes_ends_navigation_quietly(tmp_path, how):
    env = {k: v for k, v in os.environ.items() if k not in ("VTK_DEFAULT_OPENGL_WINDOW", "ZIBREL_CONFIG")}
    runtime = tmp_path / "xdg"
    runtime.mkdir(mode=0o700)
    env.update(ZIBREL_DEVICE="none", QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=str(runtime))
    for _attempt in range(3):
        result = under_xvfb([sys.executable, str(HERE / "pyvista_close_app.py"), how], env, timeout=60)
        if "bad X server connection" not in result.stderr:  # another X server of the machine, not us
            break
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["enabled=False"], result.stdout
    assert result.stderr == ""  # no traceback, no "Exception ignored", up to the interpreter's exit


@needs_qt
def test_background_plotter_ticks_from_a_qtimer(tmp_path):
    device = tmp_path / "device.txt"
    device.write_text("0.0 motion 0 0 0   0 0 0\n0.5 motion 0 0 0   0 0.6 0\n0.9 motion 0 0 0   0 0 0\n")
    env = {k: v for k, v in os.environ.items() if k not in ("VTK_DEFAULT_OPENGL_WINDOW", "ZIBREL_CONFIG")}
    env.update(ZIBREL_DEVICE=f"file:{device}", QT_QPA_PLATFORM="xcb")
    result = under_xvfb([sys.executable, str(HERE / "pyvista_qt_app.py"), str(tmp_path)], env)
    assert result.returncode == 0, result.stdout + result.stderr
    report = dict(line.split("=", 1) for line in result.stdout.split() if "=" in line)
    assert report["qt_timer"] == "True"
    assert float(report["yaw"]) > 5
    assert report["closed"] == "True" and report["timer_stopped"] == "True"
    from PIL import Image
    before, after = (np.asarray(Image.open(tmp_path / f"{name}.png").convert("RGB"), dtype=np.int16)
                     for name in ("before", "after"))
    assert changed_fraction(before, after) > 0.01

