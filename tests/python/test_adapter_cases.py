"""Every viewer adapter against one table of cases (adapter_cases.py), measured with the viewer's own
matrices: VTK's composite projection for PyVista, vispy's scene transform for napari, polyscope's
view matrix (with its projection) for polyscope.

PyVista runs here, off screen. napari and polyscope run in real windows under Xvfb, in a process of
their own (adapter_window_app.py) that measures every case once; the tests below check its numbers.
"""

import importlib.util
import inspect
import json
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
        from pyzibrel import Navigator
        from pyzibrel.pyvista import attach

        # Without settings= in the Navigator, the settings file (ZIBREL_CONFIG) of adapter_cases says it.
        accepted = "settings" in inspect.signature(Navigator.__init__).parameters
        options = {"settings": settings} if accepted else {}
        return attach(self.plotter, up=self.up, timer=False, **options)

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
