"""Navigate a PyVista plotter with the 3D mouse.

    import pyvista as pv
    import pyzibrel.pyvista

    plotter = pv.Plotter()
    plotter.add_mesh(pv.Sphere())
    navigator = pyzibrel.pyvista.attach(plotter)
    plotter.show()

`attach` returns a `pyzibrel.Navigator` whose viewer is a `PyVistaViewer`.
Something calls `navigator.tick()` on the thread that runs the event loop, so
every VTK call happens there; nothing of VTK is touched from another thread:
- a window's interactor: a repeating timer of the interactor (a QTimer for Qt plotters);
- a running asyncio loop (a Jupyter kernel): a task on that loop that waits on the
  library's input descriptor while the view is still and ticks while it moves;
  notebook plotters, which are off screen, are driven so;
- neither (off-screen plotters in tests and scripts): no timer; call
  `navigator.tick(now_seconds)` yourself, then render or screenshot.

The adapter's settings (`DEFAULT_SETTINGS`): lock-horizon on, about the world's
up axis (the viewer's `up`). `attach(settings=...)` adds to them or turns them
off; the user's settings file and the environment override both. One plotter
has one live navigator: attaching again closes the previous one.

How VTK's camera maps to the library's convention:
- the camera-to-world matrix is built from the position, the focal point and
  the view up; writing it keeps the focal point at the pivot's depth (or at the
  previous distance), so VTK's own mouse interaction turns about what the 3D
  mouse turned about;
- the library's horizontal field of view is VTK's vertical view angle through
  the renderer's aspect ratio;
- a parallel projection shows view extents whose half height is the parallel
  scale; extents off the view axis move the camera sideways.
After every change the clipping range is reset to what is visible.
"""
from __future__ import annotations

import asyncio
import logging
import math
import sys
import warnings
import weakref
from typing import Any, Callable, Iterable, Iterator, Literal, Mapping, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

try:
    import pyvista as pv
    from vtkmodules.util.vtkConstants import VTK_INT
    from vtkmodules.vtkCommonCore import mutable, vtkPoints
    from vtkmodules.vtkCommonDataModel import (vtkCellArray, vtkCompositeDataSet, vtkDataSet, vtkPolyData,
                                               vtkStaticCellLocator)
    from vtkmodules.vtkRenderingCore import vtkActor, vtkPolyDataMapper, vtkProp3D
    from vtkmodules.vtkRenderingUI import vtkGenericRenderWindowInteractor
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(f"pyzibrel.pyvista needs PyVista and VTK ({exc}); install them with "
                      f"`pip install pyzibrel[pyvista]`") from exc

from .camera import horizontal_fov, look_at_from_matrix, look_at_matrix, vertical_fov, view_command
from .convert import as_array
from ._app_settings import SettingValue
from .navigator import CommandSet, Navigator, Viewer
from .pick import PointCloud, aperture_rays

__all__ = ["DEFAULT_SETTINGS", "PyVistaViewer", "attach", "camera_matrix", "dominant_axis", "set_camera_matrix",
           "visible_bounds"]

Array = npt.NDArray[np.float64]

_log = logging.getLogger(__name__)

# What attach(timer=...) takes: None chooses, True insists, False makes none, "asyncio" a task.
TimerChoice = Union[None, bool, Literal["asyncio"]]

# The default frame timer: a little faster than 60 Hz, so a sample waits at most one period.
DEFAULT_PERIOD_MS = 16
_TINY = 1e-12

# What a CAD or scientific viewer's user expects: a spin turns about the world's up
# axis and the horizon stays level. attach(settings=...) and the user's file override it.
DEFAULT_SETTINGS: Mapping[str, SettingValue] = {"lock-horizon": True}


# --- camera mapping ------------------------------------------------------------------------------

def camera_matrix(camera: Any) -> Array:
    """The library's (4, 4) camera-to-world matrix of a vtkCamera (position, focal point, view up)."""
    return look_at_matrix(camera.GetPosition(), camera.GetFocalPoint(), camera.GetViewUp())


def set_camera_matrix(camera: Any, matrix: Any, focal_distance: Optional[float] = None) -> None:
    """Put a vtkCamera at a camera-to-world matrix.

    The focal point goes `focal_distance` ahead of the eye (the camera's current
    distance when None or not positive); the view up is the matrix's up axis.
    """
    m = as_array(matrix, (4, 4), "a camera-to-world matrix")
    if focal_distance is None or not (math.isfinite(focal_distance) and focal_distance > _TINY):
        focal_distance = camera.GetDistance()
    eye, target, up = look_at_from_matrix(m, focal_distance)
    camera.SetPosition(*eye)
    camera.SetFocalPoint(*target)
    camera.SetViewUp(*up)
    camera.OrthogonalizeViewUp()


def dominant_axis(vector: Any) -> Array:
    """The signed world axis nearest to `vector`, e.g. (0, 0, 1) for a view up of (0.1, 0.2, 0.9)."""
    v = as_array(vector, (3,), "a direction")
    axis = np.zeros(3)
    i = int(np.argmax(np.abs(v)))
    if v[i] == 0:
        raise ValueError("expected a direction of non-zero length")
    axis[i] = math.copysign(1.0, v[i])
    return axis


# --- what is shown ------------------------------------------------------------------------------

def _props(renderer: Any) -> Iterator[Any]:
    props = renderer.GetViewProps()
    props.InitTraversal()
    for _ in range(props.GetNumberOfItems()):
        prop = props.GetNextProp()
        if prop is not None:
            yield prop


def _valid_bounds(bounds: Optional[Sequence[float]]) -> Optional[Array]:
    if bounds is None:
        return None
    b = np.asarray(bounds, dtype=np.float64)
    if b.shape != (6,) or not np.all(np.isfinite(b)) or np.any(b[0::2] > b[1::2]) or np.any(np.abs(b) > 1e299):
        return None
    return np.array([b[0::2], b[1::2]])


def _union(boxes: Iterable[Array]) -> Optional[Array]:
    boxes = list(boxes)
    if not boxes:
        return None
    return np.array([np.min([b[0] for b in boxes], axis=0), np.max([b[1] for b in boxes], axis=0)])


def visible_bounds(renderer: Any, exclude: Iterable[Any] = (), only: Optional[Iterable[Any]] = None) -> Optional[Array]:
    """The world box (2, 3) of the renderer's visible 3-D props that count for bounds, leaving out
    `exclude` (and everything not in `only`, when given); None when nothing is shown."""
    left_out = {id(p) for p in exclude}
    kept = None if only is None else {id(p) for p in only}
    boxes = []
    for prop in _props(renderer):
        if id(prop) in left_out or (kept is not None and id(prop) not in kept):
            continue
        if not isinstance(prop, vtkProp3D) or not prop.GetVisibility() or not prop.GetUseBounds():
            continue
        box = _valid_bounds(prop.GetBounds())
        if box is not None:
            boxes.append(box)
    return _union(boxes)


def _datasets(data: Any) -> Iterator[Any]:
    """The leaf datasets of a dataset or composite dataset."""
    if isinstance(data, vtkDataSet):
        yield data
    elif isinstance(data, vtkCompositeDataSet):
        it = data.NewIterator()
        it.InitTraversal()
        while not it.IsDoneWithTraversal():
            leaf = it.GetCurrentDataObject()
            if isinstance(leaf, vtkDataSet):
                yield leaf
            it.GoToNextItem()


def _surfaceless(data: Any) -> bool:
    """A dataset that a ray cannot hit: points and lines only."""
    if isinstance(data, vtkPolyData):
        return data.GetNumberOfPolys() == 0 and data.GetNumberOfStrips() == 0
    return False


class RayPicker:
    """Hit-testing against actors' datasets through the library's aperture (`pyzibrel.pick`).

    The aperture is a cone from the ray's origin, `aperture` wide one unit ahead
    (in a parallel view, a beam `aperture` wide). Surfaces are hit by the central
    ray and eight rays along the aperture's edge, through VTK cell locators;
    datasets of points and lines only (which no ray hits) by their points inside
    the aperture, through a `pyzibrel.pick.PointCloud`. The nearest hit wins. Both
    are built once per dataset (and actor transform) and again when it changes.
    """

    def __init__(self) -> None:
        self._built: dict[int, tuple[Any, tuple[Any, ...], Any]] = {}

    def _cached(self, data: Any, key: tuple[Any, ...], build: Callable[[], Any]) -> Any:
        entry = self._built.get(id(data))
        if entry is not None and entry[0] is data and entry[1] == key:
            return entry[2]
        value = build()
        self._built[id(data)] = (data, key, value)
        return value

    def _locator(self, data: Any) -> Any:
        def build() -> Any:
            locator = vtkStaticCellLocator()
            locator.SetDataSet(data)
            locator.BuildLocator()
            return locator
        return self._cached(data, (data.GetMTime(),), build)

    def forget_except(self, datasets: Iterable[Any]) -> None:
        keep = {id(d) for d in datasets}
        for key in [k for k in self._built if k not in keep]:
            del self._built[key]

    def pick(self, actors: Iterable[Any], origin: Any, direction: Any, aperture: float,
             parallel: bool = False) -> Optional[Array]:
        o = as_array(origin, (3,), "a ray origin")
        d = as_array(direction, (3,), "a ray direction")
        norm = float(np.linalg.norm(d))
        if not norm > _TINY:
            raise ValueError("expected a ray direction of non-zero length")
        d = d / norm
        aperture = float(aperture) if math.isfinite(aperture) and aperture > 0 else 0.0
        origins, rays = aperture_rays(o, d, aperture, parallel)
        best_depth, best = math.inf, None
        seen = []
        for actor in actors:
            mapper = actor.GetMapper()
            if mapper is None:
                continue
            to_world = np.array([actor.GetMatrix().GetElement(r, c) for r in range(4) for c in range(4)]).reshape(4, 4)
            try:
                to_local = np.linalg.inv(to_world)
            except np.linalg.LinAlgError:
                continue
            for data in _datasets(mapper.GetInputDataObject(0, 0)):
                if data.GetNumberOfPoints() == 0:
                    continue
                seen.append(data)
                for hit in self._hits(data, to_world, to_local, origins, rays, aperture, parallel):
                    depth = float((hit - o) @ d)
                    if 0 < depth < best_depth:
                        best_depth, best = depth, hit
        self.forget_except(seen)
        return best

    def _hits(self, data: Any, to_world: Array, to_local: Array, origins: Array, rays: Array, aperture: float,
              parallel: bool) -> Iterator[Array]:
        if _surfaceless(data):
            if aperture <= 0:
                return

            def build() -> PointCloud:
                points = pv.convert_array(data.GetPoints().GetData()).astype(np.float64)
                return PointCloud(points @ to_world[:3, :3].T + to_world[:3, 3])
            cloud = self._cached(data, (data.GetMTime(), to_world.tobytes()), build)
            hit = cloud.pick(origins[0], rays[0], aperture, parallel)
            if hit is not None:
                yield hit
            return
        locator = self._locator(data)
        lo, hi = np.array(data.GetBounds()).reshape(3, 2).T
        t, x, pcoords, sub_id = mutable(0.0), [0.0, 0.0, 0.0], [0.0, 0.0, 0.0], mutable(0)
        for origin, ray in zip(origins, rays):
            start = to_local[:3, :3] @ origin + to_local[:3, 3]
            # Long enough to cross the dataset from wherever the origin is.
            length = float(np.linalg.norm(hi - lo) + np.linalg.norm(start - lo)) * 2 + 1
            local_dir = to_local[:3, :3] @ ray
            local_dir /= np.linalg.norm(local_dir)
            end = start + local_dir * length
            if locator.IntersectWithLine(start.tolist(), end.tolist(), 0.0, t, x, pcoords, sub_id):
                yield to_world[:3, :3] @ np.array(x) + to_world[:3, 3]


# --- the pivot marker -----------------------------------------------------------------------

class PivotMarker:
    """A dot of constant screen size at the pivot, left out of bounds and picking."""

    def __init__(self, renderer: Any, color: Sequence[float] = (1.0, 0.45, 0.0), size: float = 14.0) -> None:
        self.renderer = renderer
        points = vtkPoints()
        points.InsertNextPoint(0.0, 0.0, 0.0)
        verts = vtkCellArray()
        verts.InsertNextCell(1)
        verts.InsertCellPoint(0)
        self._data = vtkPolyData()
        self._data.SetPoints(points)
        self._data.SetVerts(verts)
        mapper = vtkPolyDataMapper()
        mapper.SetInputData(self._data)
        # Drawn in front of the surface it sits on.
        mapper.SetResolveCoincidentTopologyToPolygonOffset()
        mapper.SetRelativeCoincidentTopologyPointOffsetParameter(-20000)
        self.actor = vtkActor()
        self.actor.SetMapper(mapper)
        prop = self.actor.GetProperty()
        prop.SetColor(*color)
        prop.SetPointSize(size)
        prop.SetRenderPointsAsSpheres(True)
        self.actor.SetPickable(False)
        self.actor.SetUseBounds(False)
        self.actor.SetVisibility(False)
        renderer.AddActor(self.actor)

    def show(self, position: Array, visible: bool) -> None:
        self._data.GetPoints().SetPoint(0, *position)
        self._data.GetPoints().Modified()
        self._data.Modified()
        self.actor.SetVisibility(bool(visible))

    @property
    def visible(self) -> bool:
        return bool(self.actor.GetVisibility())

    @property
    def position(self) -> Array:
        return np.array(self._data.GetPoints().GetPoint(0))

    def remove(self) -> None:
        self.renderer.RemoveActor(self.actor)


def _browser_views(plotter: Any) -> list[tuple[Callable[..., Any], Any]]:
    """The plotter's render callbacks that send a browser-side view (a trame VtkLocalView, the
    notebook's `client` backend) the whole scene, each with its view.

    The trame views follow a plotter through a callback in its render callbacks, a closure
    over the view that the view keeps as `_plotter_render_callback`; nothing else leads to them.
    """
    found: list[tuple[Callable[..., Any], Any]] = []
    callbacks: list[Callable[..., Any]] = list(getattr(plotter, "_on_render_callbacks", ()))
    for callback in callbacks:
        for cell in getattr(callback, "__closure__", None) or ():
            try:
                view = cell.cell_contents
            except ValueError:  # an empty cell
                continue
            if (getattr(view, "_plotter_render_callback", None) is callback
                    and callable(getattr(view, "push_camera", None))
                    and any(base.__name__ == "VtkLocalView" for base in type(view).__mro__)):
                found.append((callback, view))
    return found


# --- the viewer -----------------------------------------------------------------------------

class PyVistaViewer(Viewer):
    """A `pyzibrel.Viewer` for one renderer of a PyVista plotter.

    `selection` is a list of actors the application counts as selected: the
    library then turns about them and picks only on them. Actors that are not
    pickable are never hit (the plotter's own picking rules).
    """

    def __init__(self, plotter: Any, *, renderer: Any = None, up: Any = None, pivot_marker: bool = True,
                 marker_color: Sequence[float] = (1.0, 0.45, 0.0), marker_size: float = 14.0,
                 camera_only: bool = False) -> None:
        self.plotter = plotter
        # Views that draw in the browser get the camera alone at each frame (see render()).
        self.camera_only = bool(camera_only)
        self.renderer = renderer if renderer is not None else plotter.renderer
        self.up = dominant_axis(self._planned_view_up()) if up is None else as_array(up, (3,), "an up direction")
        if not float(np.linalg.norm(self.up)) > _TINY:
            raise ValueError("expected an up direction of non-zero length")
        self.up = self.up / np.linalg.norm(self.up)
        self.selection: list[Any] = []
        # The mouse pointer in display pixels (x, y from the lower left corner of the window),
        # None while it is not over the window; attach() keeps it from the interactor's events.
        self.pointer: Optional[tuple[float, float]] = None
        self.marker = PivotMarker(self.renderer, marker_color, marker_size) if pivot_marker else None
        self.picker = RayPicker()

    def _planned_view_up(self) -> Any:
        """The view up the camera has, or, before the plotter placed it, the one it will get at show()."""
        if getattr(self.renderer, "camera_set", True) is False and hasattr(self.renderer, "get_default_cam_pos"):
            return self.renderer.get_default_cam_pos()[2]
        return self.renderer.GetActiveCamera().GetViewUp()

    # closed plotters have no render window and no renderers
    @property
    def closed(self) -> bool:
        return bool(getattr(self.plotter, "_closed", False)) or getattr(self.plotter, "render_window", None) is None

    @property
    def camera(self) -> Any:
        return self.renderer.GetActiveCamera()

    def aspect(self) -> float:
        """Width / height of the renderer's part of the window."""
        aspect = float(self.renderer.GetTiledAspectRatio())
        return aspect if math.isfinite(aspect) and aspect > 0 else 1.0

    def _reset_clipping(self) -> None:
        self.renderer.ResetCameraClippingRange()

    # -- the camera

    def get_camera(self) -> Array:
        return camera_matrix(self.camera)

    def get_viewport_size(self) -> tuple[float, float]:
        w, h = self.renderer.GetSize()
        return float(w), float(h)

    def set_camera(self, matrix: Array, pivot: Optional[Array] = None) -> None:
        distance = None
        if pivot is not None:
            # Keep the focal point at the pivot's depth, where VTK's own interaction then turns.
            distance = float((np.asarray(pivot, dtype=np.float64) - matrix[:3, 3]) @ -matrix[:3, 2])
        set_camera_matrix(self.camera, matrix, distance)
        self._reset_clipping()

    def is_perspective(self) -> bool:
        return not self.camera.GetParallelProjection()

    def get_fov(self) -> float:
        camera = self.camera
        angle = math.radians(camera.GetViewAngle())
        return angle if camera.GetUseHorizontalViewAngle() else horizontal_fov(angle, self.aspect())

    def set_fov(self, fov: float) -> None:
        camera = self.camera
        angle = fov if camera.GetUseHorizontalViewAngle() else vertical_fov(fov, self.aspect())
        camera.SetViewAngle(math.degrees(angle))
        self._reset_clipping()

    def get_view_extents(self) -> Optional[Array]:
        camera = self.camera
        scale = camera.GetParallelScale()
        if not scale > 0:
            return None
        near, far = camera.GetClippingRange()
        half_width = scale * self.aspect()
        return np.array([[-half_width, -scale, -far], [half_width, scale, -near]])

    def set_view_extents(self, extents: Array) -> None:
        e = as_array(extents, (2, 3), "view extents (min corner, max corner)")
        height = float(e[1, 1] - e[0, 1])
        if not height > 0:
            raise ValueError(f"expected view extents with max above min in y, got {e.tolist()}")
        camera = self.camera
        centre = (e[0, :2] + e[1, :2]) / 2
        if np.any(np.abs(centre) > 1e-9 * height):
            # VTK's parallel view is centred on its axis: move the camera under the box's centre.
            m = camera_matrix(camera)
            shift = m[:3, 0] * centre[0] + m[:3, 1] * centre[1]
            camera.SetPosition(*(np.array(camera.GetPosition()) + shift))
            camera.SetFocalPoint(*(np.array(camera.GetFocalPoint()) + shift))
        camera.SetParallelScale(height / 2)
        self._reset_clipping()

    # -- the scene

    def _excluded(self) -> list[Any]:
        return [self.marker.actor] if self.marker is not None else []

    def get_scene_bounds(self) -> Optional[Array]:
        return visible_bounds(self.renderer, exclude=self._excluded())

    def get_selection_bounds(self) -> Optional[Array]:
        if not self.selection:
            return None
        return visible_bounds(self.renderer, exclude=self._excluded(), only=self.selection)

    def _pickable_actors(self, selection_only: bool) -> list[Any]:
        chosen = {id(a) for a in self.selection} if selection_only else None
        marker = self.marker.actor if self.marker is not None else None
        return [prop for prop in _props(self.renderer)
                if isinstance(prop, vtkActor) and prop is not marker and prop.GetVisibility() and prop.GetPickable()
                and (chosen is None or id(prop) in chosen)]

    def pick(self, origin: Array, direction: Array, aperture: float, selection_only: bool) -> Optional[Array]:
        if selection_only and not self.selection:
            return None
        return self.picker.pick(self._pickable_actors(selection_only), origin, direction, aperture,
                                parallel=not self.is_perspective())

    def show_pivot(self, position: Array, visible: bool) -> None:
        if self.marker is not None:
            self.marker.show(np.asarray(position, dtype=np.float64), visible)

    def get_up_axis(self) -> Array:
        return self.up.copy()

    def get_pointer(self) -> Optional[Array]:
        """The world point on the near plane under `pointer`, None when it is not over this renderer."""
        if self.pointer is None or self.closed:
            return None
        x, y = (float(v) for v in self.pointer)
        if not (math.isfinite(x) and math.isfinite(y)) or not self.renderer.IsInViewport(int(x), int(y)):
            return None
        self.renderer.SetDisplayPoint(x, y, 0.0)
        self.renderer.DisplayToWorld()
        w = np.array(self.renderer.GetWorldPoint(), dtype=np.float64)
        if not (np.all(np.isfinite(w)) and abs(w[3]) > _TINY):
            return None
        return w[:3] / w[3]

    def render(self) -> None:
        """Render the plotter; with `camera_only`, views that draw in the browser get the camera alone."""
        if self.closed:
            return
        views = _browser_views(self.plotter) if self.camera_only else []
        if not views:
            self.plotter.render()
            return
        # The plotter's render() without the callbacks that would send those views the whole
        # scene; then each gets the camera.
        plotter = self.plotter
        everything = plotter._on_render_callbacks
        plotter._on_render_callbacks = type(everything)(c for c in everything if all(c is not cb for cb, _ in views))
        try:
            plotter.render()
        finally:
            plotter._on_render_callbacks = everything
        for _callback, view in views:
            view.push_camera()

    def push_scene(self) -> None:
        """Render the plotter with every view following it, the browser's too (the scene's state
        catches up with the camera after `camera_only` frames)."""
        if not self.closed:
            self.plotter.render()

    # -- commands

    def view_command(self, name: str) -> None:
        """Turn and fit the camera as the library's view command `name` does for a device button
        (fit, front, back, left, right, top, bottom, iso; see `pyzibrel.camera.view_command`),
        about this viewer's up axis, showing everything (the pivot marker left out). Nothing
        happens when nothing is shown."""
        bounds = self.get_scene_bounds()
        if bounds is None:
            return
        perspective = self.is_perspective()
        fov = self.get_fov()
        matrix, extents = view_command(name, self.get_camera(), bounds, up=self.up, perspective=perspective,
                                       fov=fov, vertical_fov=vertical_fov(fov, self.aspect()),
                                       extents=None if perspective else self.get_view_extents())
        # The focal point goes to the scene's centre, where the view now looks.
        set_camera_matrix(self.camera, matrix, float((bounds.mean(axis=0) - matrix[:3, 3]) @ -matrix[:3, 2]))
        if extents is not None:
            self.set_view_extents(extents)
        self._reset_clipping()

    def fit(self) -> None:
        """Keep the direction, show everything (the pivot marker left out)."""
        self.view_command("fit")

    def front(self) -> None:
        self.view_command("front")

    def top(self) -> None:
        self.view_command("top")

    def iso(self) -> None:
        self.view_command("iso")

    def toggle_projection(self) -> None:
        """Perspective <-> parallel, showing the same size at the focal point."""
        camera = self.camera
        if camera.GetParallelProjection():
            camera.ParallelProjectionOff()
        else:
            half_height = camera.GetDistance() * math.tan(math.radians(camera.GetViewAngle()) / 2)
            if camera.GetUseHorizontalViewAngle():
                half_height /= self.aspect()
            camera.SetParallelScale(half_height)
            camera.ParallelProjectionOn()
        self._reset_clipping()

    def commands(self) -> CommandSet:
        """The default command set: fit, the standard views, the projection toggle."""
        commands = CommandSet("pyvista.view", "View")
        commands.add("fit", "Fit", self.fit, "Show the whole scene")
        commands.add("front", "Front", self.front, "Look at the scene from the front")
        commands.add("top", "Top", self.top, "Look down on the scene")
        commands.add("iso", "Iso", self.iso, "Look at the front, the right and the top")
        commands.add("projection", "Perspective / parallel", self.toggle_projection,
                     "Switch between perspective and parallel projection")
        return commands

    def detach(self) -> None:
        """Take the pivot marker out of the renderer."""
        if self.marker is not None:
            self.marker.remove()
            self.marker = None


# --- attaching ------------------------------------------------------------------------------

def _qt_timer(plotter: Any, callback: Callable[[], None], period_ms: int) -> Any:
    """A repeating QTimer calling `callback` on the Qt thread, owned by the plotter's window."""
    try:
        from qtpy.QtCore import QTimer  # type: ignore[import-not-found,unused-ignore]  # pyvistaqt's way to Qt
    except ImportError:  # pragma: no cover - a Qt interactor without qtpy
        return None
    parent = getattr(plotter, "app_window", None) or plotter
    timer = QTimer(parent)
    timer.timeout.connect(callback)
    timer.start(period_ms)
    return timer


def _qt_close_signals(plotter: Any) -> list[Any]:
    """The Qt signals after which the plotter's navigation must end: its window closed
    (pyvistaqt's `signal_close`, emitted by every close of the window, whatever called it),
    the widget destroyed with its parent, and the application quitting."""
    signals = []
    window = getattr(plotter, "app_window", None)
    if window is not None and hasattr(window, "signal_close"):
        signals.append(window.signal_close)
    destroyed = getattr(plotter, "destroyed", None)  # a QtInteractor is a QWidget
    if destroyed is not None and hasattr(destroyed, "connect"):
        signals.append(destroyed)
    try:
        from qtpy.QtWidgets import QApplication  # type: ignore[import-not-found,unused-ignore]
    except ImportError:  # pragma: no cover - a Qt interactor without qtpy
        return signals
    app = QApplication.instance()
    if app is not None:
        signals.append(app.aboutToQuit)
    return signals


def _running_loop() -> Optional[asyncio.AbstractEventLoop]:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


def _is_qt_plotter(plotter: Any) -> bool:
    """A pyvistaqt plotter, a QWidget; Qt is imported already when one exists."""
    core = sys.modules.get("qtpy.QtCore")
    return core is not None and isinstance(plotter, core.QObject)


def _timer_plan(plotter: Any, interactor: Any,
                timer: Any) -> tuple[tuple[str, ...], Optional[asyncio.AbstractEventLoop]]:
    """What will call tick(): ("qt",), ("interactor",), ("asyncio",), ("interactor", "asyncio") or (),
    and the loop of the asyncio task. Raises when the choice cannot be had."""
    if not (timer is None or isinstance(timer, bool) or timer == "asyncio"):
        raise ValueError(f"timer must be None (choose), True (a timer, or an error), False (none: call tick() "
                         f"yourself) or 'asyncio', not {timer!r}")
    if timer is False:
        return (), None
    loop = _running_loop()
    if timer == "asyncio":
        if loop is None:
            raise RuntimeError("attach(timer='asyncio'): no asyncio event loop is running on this thread; attach "
                               "from code that runs in one (a Jupyter kernel, asyncio.run(...))")
        return ("asyncio",), loop
    off_screen = bool(getattr(plotter, "off_screen", False))
    if _is_qt_plotter(plotter) and (timer or not off_screen):
        return ("qt",), None
    kinds: list[str] = []
    # Only a window's own interactor runs an event loop (its show()); the generic one of an
    # off-screen plotter (every notebook plotter) fires no timer.
    if not off_screen and interactor is not None and not isinstance(interactor, vtkGenericRenderWindowInteractor):
        kinds.append("interactor")
    if loop is not None:
        # A kernel's loop runs between cells: a notebook plotter, and a window shown with
        # interactive_update=True, move while the kernel is idle.
        kinds.append("asyncio")
    if timer and not kinds:
        if off_screen:
            why = "it is off screen, so its interactor runs no event loop"
        elif interactor is None:
            why = "it has no interactor"
        else:
            why = f"its interactor ({type(interactor).__name__}) runs no timers"
        raise RuntimeError(f"attach(timer=True) cannot make a timer for this plotter: {why}, it is no Qt widget, "
                           f"and no asyncio event loop is running on this thread. Call navigator.tick() yourself "
                           f"(timer=False), or attach from code that runs in an asyncio loop")
    return tuple(kinds), (loop if kinds and kinds[-1] == "asyncio" else None)


# The navigator of each plotter: attach() closes the one before.
_attached: "weakref.WeakKeyDictionary[Any, weakref.ReferenceType[Navigator]]" = weakref.WeakKeyDictionary()
# The navigator each asyncio loop drives: a new one closes the one before (a notebook cell run again).
_driven: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, weakref.ReferenceType[PyVistaNavigator]]" = \
    weakref.WeakKeyDictionary()


class _Attachment:
    """Keeps the timers, the pointer observers and the close hooks of one attached navigator,
    and undoes them once."""

    def __init__(self, plotter: Any, navigator: Navigator, viewer: PyVistaViewer, period_ms: int,
                 kinds: tuple[str, ...], loop: Optional[asyncio.AbstractEventLoop]) -> None:
        self.plotter = plotter
        # Held by the interactor's observer, the Qt timer or the asyncio task through this
        # object: `attach(plotter)` alone keeps navigating until the plotter or the navigator is closed.
        self.navigator: Optional[Navigator] = navigator
        self.viewer = viewer
        self.kinds = kinds
        self.interactor: Any = None
        self.timer_id: Optional[int] = None
        self.observer: Optional[int] = None
        self.period_ms = period_ms
        iren = getattr(plotter, "iren", None)
        interactor = getattr(iren, "interactor", None)
        self.qt_timer: Any = None
        self.qt_closes: list[tuple[Any, Callable[..., None]]] = []
        self.pointer_interactor: Any = None
        self.pointer_observers: list[int] = []
        self.task: Optional[asyncio.Task[None]] = None
        self._in_frame = False
        if "qt" in kinds:
            # A Qt widget (pyvistaqt's BackgroundPlotter, QtInteractor): its interactor runs every
            # VTK timer on one 10 ms QTimer, so ours is a QTimer of its own on the Qt thread.
            self.qt_timer = _qt_timer(plotter, self._on_qt_timer, period_ms)
        if "interactor" in kinds and interactor is not None:
            self.interactor = interactor
            # First in line, so that our timer's events stop here: observers that take every
            # TimerEvent as theirs (pyvista's add_timer_event) never see them.
            self.observer = interactor.AddObserver("TimerEvent", self._on_timer, 100.0)
            self.timer_id = interactor.CreateRepeatingTimer(period_ms)
        if interactor is not None:
            self._watch_pointer(interactor)
        if _is_qt_plotter(plotter):
            # pyvistaqt's window close calls QMainWindow.close(), past the plotter's close(); a
            # widget may be destroyed with its parent; the application may quit. Each ends navigation.
            for signal in _qt_close_signals(plotter):
                def closing(*_args: Any) -> None:
                    self.plotter_closing()
                signal.connect(closing)
                self.qt_closes.append((signal, closing))
        # Close the navigator first when the plotter closes. The plotter's close hook is
        # replaced by every show(), so the plotter's close() itself is wrapped, on this instance only.
        self._plotter_close = getattr(plotter, "close", None)
        if callable(self._plotter_close):
            def close(*args: Any, **kwargs: Any) -> Any:
                self.plotter_closing()
                assert self._plotter_close is not None
                return self._plotter_close(*args, **kwargs)
            plotter.close = close
            self._close_wrapper: Optional[Callable[..., Any]] = close
        else:  # pragma: no cover - not a plotter
            self._close_wrapper = None
        if loop is not None:
            self.task = loop.create_task(self._drive(), name=f"pyzibrel navigation of {_plotter_name(plotter)}")
            self.task.add_done_callback(self._task_done)

    def _watch_pointer(self, interactor: Any) -> None:
        """Keep viewer.pointer from the interactor's mouse events (observers that never abort)."""
        def moved(obj: Any, _event: str) -> None:
            x, y = obj.GetEventPosition()
            self.viewer.pointer = (float(x), float(y))

        def left(_obj: Any, _event: str) -> None:
            self.viewer.pointer = None

        self.pointer_interactor = interactor
        self.pointer_observers = [interactor.AddObserver("MouseMoveEvent", moved, -100.0),
                                  interactor.AddObserver("EnterEvent", moved, -100.0),
                                  interactor.AddObserver("LeaveEvent", left, -100.0)]

    def _on_timer(self, _obj: Any, _event: str, timer_id: int) -> None:
        if timer_id != self.timer_id or self.interactor is None:
            return
        self.interactor.GetCommand(self.observer).SetAbortFlag(1)
        if self._in_frame:  # fired by the asyncio task's plotter.update(), whose frame this is
            return
        navigator = self.navigator
        if navigator is None or self.viewer.closed:
            self.plotter_closing()
            return
        navigator.tick()

    # VTK passes the timer's id to observers marked so (what vtkmodules.util.misc.calldata_type does).
    setattr(_on_timer, "CallDataType", VTK_INT)

    def _on_qt_timer(self) -> None:
        navigator = self.navigator
        if navigator is None or self.viewer.closed:
            self.plotter_closing()
            return
        navigator.tick()

    # -- the asyncio task

    async def _drive(self) -> None:
        """Sleep on the library's input descriptor while the view is still; tick every period while
        the navigator wants frames. Without a descriptor (a library that offers none) tick every period."""
        loop = asyncio.get_running_loop()
        period = self.period_ms / 1000.0
        while True:
            navigator = self.navigator
            if navigator is None:
                return
            if self.viewer.closed:  # the plotter went away without its close()
                self.plotter_closing()
                return
            fd = navigator.input_fd()
            if fd is not None and not navigator.wants_frames:
                await _readable(loop, fd, period)
                continue
            started = loop.time()
            self._frame(navigator)
            if fd is None or navigator.wants_frames:  # otherwise the descriptor says when to tick again
                await asyncio.sleep(max(0.0, period - (loop.time() - started)))

    def _frame(self, navigator: Navigator) -> None:
        self._in_frame = True
        try:
            navigator.tick()
            plotter = self.plotter
            # A window shown with interactive_update=True: nobody runs its event loop, so each frame
            # lets it handle its events (and draw) as pyvista's own update() does.
            if ("interactor" in self.kinds and self.navigator is not None and not self.viewer.closed
                    and getattr(plotter, "_first_time", True) is False):
                plotter.update(force_redraw=False)
        finally:
            self._in_frame = False

    def _task_done(self, task: "asyncio.Task[None]") -> None:
        if task.cancelled():
            return
        error = task.exception()
        if error is None:
            return
        _log.error("the asyncio task that drove the navigator of %s failed, so navigation of it is closed",
                   _plotter_name(self.plotter), exc_info=error)
        self.plotter_closing()

    def _cancel_task(self) -> None:
        task, self.task = self.task, None
        if task is None or task.done():
            return
        loop = task.get_loop()
        if _running_loop() is loop:
            task.cancel()
        elif not loop.is_closed():  # closed from another thread: the loop cancels it on its own
            loop.call_soon_threadsafe(task.cancel)

    # -- closing

    def plotter_closing(self) -> None:
        navigator = self.navigator
        if navigator is not None:
            navigator.close()
        self.undo()

    def undo(self) -> None:
        self._cancel_task()
        # Qt objects may already be gone (the window was destroyed before the plotter):
        # what is gone needs no undoing.
        if self.qt_timer is not None:
            timer, self.qt_timer = self.qt_timer, None
            try:
                timer.stop()
            except RuntimeError:
                pass
        closes, self.qt_closes = self.qt_closes, []
        for signal, slot in closes:
            # A signal of an object being destroyed (the widget's own "destroyed") cannot be
            # disconnected any more; Qt drops its connections itself.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                try:
                    signal.disconnect(slot)
                except (RuntimeError, TypeError):
                    pass
        if self.interactor is not None:
            if self.timer_id is not None:
                self.interactor.DestroyTimer(self.timer_id)
            if self.observer is not None:
                self.interactor.RemoveObserver(self.observer)
            self.interactor = self.timer_id = self.observer = None
        if self.pointer_interactor is not None:
            for observer in self.pointer_observers:
                self.pointer_interactor.RemoveObserver(observer)
            self.pointer_interactor, self.pointer_observers = None, []
        self.viewer.pointer = None
        if self._close_wrapper is not None:
            if self.plotter.__dict__.get("close") is self._close_wrapper:
                del self.plotter.close
            self._close_wrapper = None
        self.viewer.detach()
        self.navigator = None


async def _readable(loop: asyncio.AbstractEventLoop, fd: int, period: float) -> None:
    """Until `fd` is readable; a loop that cannot watch descriptors sleeps one period instead."""
    ready = loop.create_future()

    def wake() -> None:
        if not ready.done():
            ready.set_result(None)

    try:
        loop.add_reader(fd, wake)
    except NotImplementedError:  # pragma: no cover - a loop without readers (not on Linux)
        await asyncio.sleep(period)
        return
    try:
        await ready
    finally:
        loop.remove_reader(fd)


def _plotter_name(plotter: Any) -> str:
    """The plotter's class, title and id: notebook plotters all have the same title."""
    title = getattr(plotter, "title", None)
    return f"{type(plotter).__name__}{f' {title!r}' if title else ''} at {id(plotter):#x}"


class PyVistaNavigator(Navigator):
    """The navigator `attach` returns: closing it stops its timers and removes the pivot marker (its close
    hook), and it closes by itself when its plotter went away without a close()."""

    viewer: PyVistaViewer
    _attachment: Optional[_Attachment] = None

    @property
    def timers(self) -> tuple[str, ...]:
        """What calls tick(): "qt", "interactor" and/or "asyncio"; () when you do, or once closed."""
        attachment = self._attachment
        return attachment.kinds if attachment is not None else ()

    @property
    def task(self) -> "Optional[asyncio.Task[None]]":
        """The asyncio task that drives this navigator, None when none does."""
        attachment = self._attachment
        return attachment.task if attachment is not None else None

    def tick(self, now_seconds: Optional[float] = None) -> bool:
        if self.viewer.closed:  # the plotter went away without close() (e.g. its window was destroyed)
            self.close()
            return False
        moving = self.in_motion
        changed = super().tick(now_seconds)
        if moving and not self.in_motion and self.viewer.camera_only:
            # The motion ended: the browser's copy of the scene catches up with the camera.
            self.viewer.push_scene()
        return changed

    def _detach(self) -> None:
        attachment, self._attachment = self._attachment, None
        if attachment is not None:
            attachment.undo()


def attach(plotter: Any, *, settings: Optional[Mapping[str, SettingValue]] = None, renderer: Any = None,
           up: Any = None, period_ms: int = DEFAULT_PERIOD_MS, timer: TimerChoice = None,
           camera_only: bool = False, pivot_marker: bool = True, marker_color: Sequence[float] = (1.0, 0.45, 0.0),
           marker_size: float = 14.0, profile: Optional[str] = None, application_timing: bool = True,
           enable: bool = True) -> PyVistaNavigator:
    """Navigate `plotter` (a pyvista.Plotter, or a pyvistaqt BackgroundPlotter or QtInteractor) with the 3D mouse.

    - settings: the navigation library's settings for this viewer, over `DEFAULT_SETTINGS`
      (lock-horizon on), e.g. {"pivot": "pointer", "button.2": "view:top"}; the user's
      settings file (ZIBREL_CONFIG) and the environment override them; a bad key or
      value raises ValueError naming it;
    - renderer: the renderer to move (default: the plotter's active one);
    - up: the world's up axis for lock-horizon and the standard views (default: the world
      axis nearest the camera's view up, or the one the plotter will give it at show():
      (0, 0, 1) for a new plotter);
    - period_ms: the frame period of the timer that calls tick() (default 16 ms);
    - timer: what calls tick().
      None (the default) chooses: a Qt plotter's QTimer, a window's interactor timer, and,
      while an asyncio loop runs on this thread (a Jupyter kernel), a task on that loop;
      nothing for an off-screen plotter outside a loop (call tick() yourself).
      True: the same, but RuntimeError when nothing can call tick().
      "asyncio": only the task; RuntimeError when no loop runs. False: nothing;
    - camera_only: views that draw in the browser (the notebook's `client` backend) get the
      camera alone at each frame instead of the whole scene, and the scene when a motion
      ends; there is no pivot marker then;
    - pivot_marker, marker_color, marker_size: the dot shown at the pivot during motion;
    - profile, application_timing, enable: passed to `pyzibrel.Navigator`.

    Returns the navigator; `navigator.viewer` is the `PyVistaViewer`, and
    `navigator.viewer.selection` the list of selected actors; `navigator.timers` names
    what calls tick(), `navigator.task` is the asyncio task. A plotter has one live
    navigator: attaching again closes the one before; so has an asyncio loop: a navigator
    it drives closes the one it drove before (a notebook cell run again), saying so in
    the log (logger "pyzibrel.pyvista", level INFO). Navigation ends when the navigator
    closes, the plotter closes, a Qt plotter's window closes or its widget is destroyed,
    or the Qt application quits; each is safe to repeat, and ends the task too. An
    exception in the task is logged (level ERROR) and ends navigation.
    """
    if getattr(plotter, "_closed", False):
        raise ValueError("cannot attach to a plotter that is closed")
    if isinstance(period_ms, bool) or not isinstance(period_ms, int) or period_ms < 1:
        raise ValueError(f"expected a timer period in milliseconds, an int of 1 or more, got {period_ms!r}")
    if settings is not None and not isinstance(settings, Mapping):
        raise ValueError(f"settings must be a mapping from setting names to values, not {type(settings).__name__}")
    merged = {**DEFAULT_SETTINGS, **(settings if settings is not None else {})}
    kinds, loop = _timer_plan(plotter, getattr(getattr(plotter, "iren", None), "interactor", None), timer)
    try:
        previous = _attached.get(plotter)
    except TypeError:  # pragma: no cover - a plotter that cannot be weakly referenced
        previous = None
    before = previous() if previous is not None else None
    if before is not None:
        before.close()
    driven = _driven.get(loop) if loop is not None else None
    before = driven() if driven is not None else None
    if isinstance(before, PyVistaNavigator) and before.enabled:
        _log.info("closed the navigator of %s: the navigator of %s is the one this event loop drives now",
                  _plotter_name(before.viewer.plotter), _plotter_name(plotter))
    if before is not None:
        before.close()
    viewer = PyVistaViewer(plotter, renderer=renderer, up=up, pivot_marker=pivot_marker and not camera_only,
                           marker_color=marker_color, marker_size=marker_size, camera_only=camera_only)
    try:
        navigator = PyVistaNavigator(viewer, settings=merged, profile=profile, commands=viewer.commands(),
                                     application_timing=application_timing, enable=enable)
    except BaseException:
        viewer.detach()
        raise
    navigator._attachment = _Attachment(plotter, navigator, viewer, period_ms, kinds, loop)
    # Closing the navigator stops the timers and removes the pivot marker.
    navigator.on_close(navigator._detach)
    try:
        _attached[plotter] = weakref.ref(navigator)
    except TypeError:  # pragma: no cover
        pass
    if loop is not None:
        _driven[loop] = weakref.ref(navigator)
    return navigator
