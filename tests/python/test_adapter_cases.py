"""Every viewer adapter against one table of cases (adapter_cases.py), measured with the viewer's own
matrices: VTK's composite projection for PyVista, vispy's scene transform for napari, polyscope's
view matrix (with its projection) for polyscope.

PyVista runs here, off screen. napari and polyscope run in real windows under Xvfb, in a process of
their own (adapter_window_app.py) that measures every case once; the tests below check its numbers.
"""

import importlib.util
import json
import math
import os
import pathlib
import shutil
import sys

import numpy as np
import pytest

import adapter_cases as cases

HERE = pathlib.Path(__file__).parent


# --- PyVista, in this process ---------------------------------------------------------------------

class PyVistaProbe:
    def __init__(self, plotter):
        import pyvista as pv

        self.plotter = plotter
        self.up = np.array([0.0, 1.0, 0.0])
        plotter.add_mesh(pv.Sphere(radius=cases.SPHERE_RADIUS, center=cases.SPHERE_CENTRE, theta_resolution=200,
                                   phi_resolution=200))

    def attach(self, settings):
        from pyzibrel.pyvista import attach

        return attach(self.plotter, settings=settings, up=self.up, timer=False)

    def reset(self, perspective):
        eye, target, up = cases.start_pose(self.up)
        camera = self.plotter.camera
        camera.SetPosition(*eye)
        camera.SetFocalPoint(*target)
        camera.SetViewUp(*up)
        camera.SetParallelProjection(not perspective)
        camera.SetParallelScale(1.5)
        self.plotter.renderer.ResetCameraClippingRange()

    def viewport(self):
        w, h = self.plotter.window_size
        return float(w), float(h)

    def pixel_matrix(self):
        renderer = self.plotter.renderer
        clip = renderer.GetActiveCamera().GetCompositeProjectionTransformMatrix(renderer.GetTiledAspectRatio(), -1, 1)
        m = np.array([[clip.GetElement(r, c) for c in range(4)] for r in range(4)])
        w, h = self.viewport()
        to_pixels = np.array([[w / 2, 0, w / 2], [0, -h / 2, h / 2], [0, 0, 1]])
        return to_pixels @ m[[0, 1, 3]]

    def frame(self):
        pass


@pytest.fixture
def pyvista_probe(monkeypatch):
    pv = pytest.importorskip("pyvista")
    if not os.environ.get("DISPLAY"):
        monkeypatch.setenv("VTK_DEFAULT_OPENGL_WINDOW", "vtkEGLRenderWindow")
    plotter = pv.Plotter(off_screen=True, window_size=(400, 300))
    yield PyVistaProbe(plotter)
    plotter.close()


@pytest.mark.parametrize("name, deflection, lock, projection", cases.TABLE, ids=cases.IDS)
def test_pyvista(pyvista_probe, name, deflection, lock, projection):
    cases.check(name, deflection, lock, projection, cases.measure(pyvista_probe, deflection, lock, projection))


# --- napari and polyscope, in real windows under Xvfb --------------------------------------------

def window_run(viewer, tmp_path_factory):
    """Runs adapter_window_app.py for `viewer` under Xvfb once; returns its report (JSON)."""
    from test_pyvista import under_xvfb

    out = tmp_path_factory.mktemp(viewer)
    env = {k: v for k, v in os.environ.items() if k not in ("VTK_DEFAULT_OPENGL_WINDOW", "ZIBREL_CONFIG")}
    env.update(ZIBREL_DEVICE="none", QT_QPA_PLATFORM="xcb", PYTHONWARNINGS="ignore")
    result = under_xvfb([sys.executable, str(HERE / "adapter_window_app.py"), viewer, str(out)], env, timeout=300)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-6000:]
    report = json.loads((out / "report.json").read_text())
    report["out"] = str(out)
    keep = os.environ.get("ZIBREL_TEST_PICTURES")
    if keep:
        pathlib.Path(keep).mkdir(parents=True, exist_ok=True)
        for picture in out.glob("*.png"):
            shutil.copy(picture, pathlib.Path(keep) / f"{viewer}-{picture.name}")
    return report


def _needs(module):
    return pytest.mark.skipif(shutil.which("Xvfb") is None or importlib.util.find_spec(module) is None,
                              reason=f"needs Xvfb and {module} (./dev installs both)")


@pytest.fixture(scope="module")
def napari_report(tmp_path_factory):
    return window_run("napari", tmp_path_factory)


@pytest.fixture(scope="module")
def polyscope_report(tmp_path_factory):
    return window_run("polyscope", tmp_path_factory)


def _measurement(report, name, projection):
    m = report["cases"][f"{name}-{projection}"]
    if "error" in m:
        pytest.fail(m["error"])
    return {key: ({k: np.asarray(v) for k, v in value.items()} if isinstance(value, dict) else
                  (np.asarray(value) if isinstance(value, list) else value)) for key, value in m.items()}


@_needs("napari")
@pytest.mark.timeout(400)
@pytest.mark.parametrize("name, deflection, lock, projection", cases.TABLE, ids=cases.IDS)
def test_napari(napari_report, name, deflection, lock, projection):
    cases.check(name, deflection, lock, projection, _measurement(napari_report, name, projection))


@_needs("polyscope")
@pytest.mark.timeout(400)
@pytest.mark.parametrize("name, deflection, lock, projection", cases.TABLE, ids=cases.IDS)
def test_polyscope(polyscope_report, name, deflection, lock, projection):
    cases.check(name, deflection, lock, projection, _measurement(polyscope_report, name, projection))


# --- what only napari and polyscope have ---------------------------------------------------------

@_needs("napari")
@pytest.mark.parametrize("case, expected", [
    ("points ahead", (0.0, 0.0, -2.8)),                     # the near side of the nearest ball (size 0.4)
    ("points in the aperture", (0.0, 1.9, -2 + math.sqrt(0.2 ** 2 - 0.1 ** 2))),
    ("points behind", None),
    ("image along +x", (10.0, 15.0, 29.5)),                  # the bright block's face; the dim voxels beyond unseen
    ("image along z", (9.0, 15.0, 20.0)),                    # voxel 5 of the first axis, scaled by 2: its face at 9
    ("image missed", None),
    ("4-D, time 0", (10.0, 15.0, 29.5)),                     # the slice shown: its block ends at x = 29.5
    ("4-D, time 1", (10.0, 15.0, 7.5)),                      # the next time step: another block
])
def test_napari_hits_points_and_image_layers(napari_report, case, expected):
    hit = napari_report["napari_hits"][case]
    if expected is None:
        assert hit is None
    else:
        assert hit == pytest.approx(expected, abs=1e-9)


@_needs("napari")
def test_napari_left_handed_orientation_keeps_the_library_world_right_handed(napari_report):
    r = napari_report["left_handed"]
    assert r["handedness"] == "left"
    assert r["det"] == pytest.approx(1.0)                  # a rotation, not a mirror
    assert r["round_trip"] < 1e-9
    # vispy draws the point the camera looks at in the middle of the canvas.
    assert r["centre_pixel"] == pytest.approx([v / 2 for v in r["viewport"]], abs=1e-6)
    assert r["up"] == [0.0, -1.0, 0.0]                      # napari's screen up


@_needs("napari")
def test_napari_navigates_the_three_dimensions_shown_of_nd_data(napari_report):
    shown = napari_report["4-D camera"]
    assert shown["displayed"] == [1, 2, 3]
    assert np.asarray(shown["camera"]).shape == (4, 4)


@_needs("napari")
def test_napari_refuses_a_two_dimensional_display(napari_report):
    assert "3-D display" in napari_report["two_d_error"] and "ndisplay" in napari_report["two_d_error"]


@_needs("napari")
def test_napari_live_loop_ticks_turns_and_closes_with_the_viewer(napari_report):
    live = napari_report["live"]
    assert live["ticks"] >= 10
    assert live["mid_turn_degrees"] >= 3 and live["marker_mid_turn"]      # the marker shows during the turn
    assert live["turn_degrees"] > live["mid_turn_degrees"] + 5
    assert live["layers_unchanged"]                                       # the marker is no layer
    assert live["idle_at_end"] and not live["marker_after"]               # the ticker waits again
    assert not live["enabled_after_close"] and not live["ticker_after_close"]
    assert (pathlib.Path(napari_report["out"]) / "mid-turn.png").stat().st_size > 1000


@_needs("polyscope")
def test_polyscope_live_loop_chains_the_callback_and_orbits_the_pivot(polyscope_report):
    live = polyscope_report["live"]
    assert live["ticks"] >= 10 and live["user_calls"] >= live["ticks"]   # the application's callback every frame
    assert live["mid_turn_degrees"] >= 3 and live["marker_mid_turn"]
    assert live["turn_degrees"] > live["mid_turn_degrees"] + 5
    # polyscope's own mouse orbits what the 3D mouse turned about.
    assert live["view_centre"] == pytest.approx(live["pivot"], abs=1e-5)
    assert live["user_callback_after_close"] and not live["marker_after_close"]
    assert (pathlib.Path(polyscope_report["out"]) / "mid-turn.png").stat().st_size > 1000
