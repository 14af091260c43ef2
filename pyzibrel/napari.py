"""Navigate a napari viewer's 3-D view with the 3D mouse.

    import napari
    import pyzibrel.napari

    viewer = napari.Viewer(ndisplay=3)
    viewer.add_image(volume)
    navigator = pyzibrel.napari.attach(viewer)
    napari.run()

How napari's camera maps to the library's convention:
- the library's world is napari's world of the three displayed dimensions, in
  napari's order, with the first axis mirrored when the camera's orientation is
  left-handed (the library's world is right-handed);
- the camera's centre, view direction and up direction make the camera-to-world
  matrix; the eye is the centre's distance behind it: in perspective the
  distance of napari's vispy camera, canvas height / zoom / (2 tan(fov / 2)),
  in parallel views one that keeps the eye outside the scene. A written matrix
  puts the centre at the pivot's depth, so napari's own mouse turns about the
  same point; in perspective the zoom then keeps the eye where the library put it;
- napari's `perspective` is the vertical field of view in degrees, 0 for a
  parallel view (napari's default), whose extents are canvas / zoom pixels wide.

Hit-testing: Surface layers by their triangles, Points layers by their points
inside the aperture (each a ball of its size), Image layers by a march along
the ray to the first voxel above the layer's lower contrast limit (its iso
threshold when rendered as an iso surface). Hidden layers are never hit.
"""
from __future__ import annotations

import math
import weakref
from typing import Any, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

try:
    import napari
    from napari.layers import Image, Points, Surface
    from vispy.scene.visuals import Markers
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(f"pyzibrel.napari needs napari and a Qt binding ({exc}); install them with "
                      f"`pip install pyzibrel[napari]`") from exc

from . import camera as zcam
from . import pick as zpick
from .convert import as_array
from .navigator import Navigator, Viewer

__all__ = ["DEFAULT_SETTINGS", "NapariViewer", "attach"]

Array = npt.NDArray[np.float64]

# Turns keep the viewer's up axis upright on screen; the application's settings= and the user's
# settings file (ZIBREL_CONFIG) go over these.
DEFAULT_SETTINGS: Mapping[str, Any] = {"lock-horizon": True}


def _unit(v: Any) -> Array:
    a = np.asarray(v, dtype=np.float64)
    return a / np.linalg.norm(a)


class _Cached:
    """One acceleration structure per layer, built again only when what it was built from changes."""

    def __init__(self) -> None:
        self._entries: dict[int, tuple[tuple[Any, ...], Any]] = {}
        self._watched: set[int] = set()

    def _watch(self, layer: Any) -> None:
        # Data changed in place (points moved with the mouse) keeps the array: napari's data event tells.
        key = id(layer)
        data_event = getattr(getattr(layer, "events", None), "data", None)
        if key not in self._watched and data_event is not None:
            data_event.connect(lambda *_: self._entries.pop(key, None))
            self._watched.add(key)

    def get(self, layer: Any, key: tuple[Any, ...], build: Any) -> Any:
        self._watch(layer)
        entry = self._entries.get(id(layer))
        if entry is not None and len(entry[0]) == len(key) and all(a is b or (
                isinstance(a, (int, float, str, bytes, tuple)) and a == b) for a, b in zip(entry[0], key)):
            return entry[1]
        value = build()
        self._entries[id(layer)] = (key, value)
        return value

    def keep_only(self, layers: Sequence[Any]) -> None:
        alive = {id(layer) for layer in layers}
        for key in [k for k in self._entries if k not in alive]:
            del self._entries[key]
        self._watched &= alive


class NapariViewer(Viewer):
    """A `pyzibrel.Viewer` for a napari viewer showing three dimensions.

    `selection` is a list of layers the application counts as selected: the
    library then turns about them and picks only on them.
    """

    def __init__(self, viewer: Any, *, up: Any = None, pivot_marker: bool = True,
                 marker_color: Sequence[float] = (1.0, 0.45, 0.0), marker_size: float = 14.0) -> None:
        if viewer.dims.ndisplay != 3:
            raise ValueError(f"napari shows {viewer.dims.ndisplay} dimensions: 3D mouse navigation needs the 3-D "
                             f"display (napari.Viewer(ndisplay=3), or viewer.dims.ndisplay = 3)")
        self.napari = viewer
        self.selection: list[Any] = []
        self._canvas = viewer.window._qt_viewer.canvas  # vispy's side: the view box and its scene
        self._cache = _Cached()
        self._depth: Optional[float] = None  # the eye's distance behind the centre in parallel views
        self.up = self._default_up() if up is None else _unit(self._to_library(as_array(up, (3,), "an up direction")))
        self.marker: Optional[Any] = None
        if pivot_marker:
            # A visual in vispy's scene, not a layer: it stays out of the layer list, the bounds and picking.
            self.marker = Markers(parent=None)
            self.marker.set_gl_state("translucent", depth_test=False)
            self.marker.order = 1_000_000
            self._marker_style = {"face_color": [(*marker_color, 1.0)], "edge_width": 0, "size": marker_size}

    @property
    def _camera(self) -> Any:
        """napari's camera model (viewer.scene.camera since napari 0.9, viewer.camera before)."""
        scene = getattr(self.napari, "scene", None)
        return scene.camera if scene is not None and hasattr(scene, "camera") else self.napari.camera

    # -- napari's world and the library's

    @property
    def _mirror(self) -> Array:
        """The library's world from napari's: the first axis mirrored when the orientation is left-handed."""
        left = str(self._camera.handedness) == "left"
        return np.diag([-1.0 if left else 1.0, 1.0, 1.0])

    def _to_library(self, v: Array) -> Array:
        return np.asarray(self._mirror @ np.asarray(v, dtype=np.float64), dtype=np.float64)

    _to_napari = _to_library  # a mirror is its own inverse

    def _default_up(self) -> Array:
        """The world direction that is up on screen in napari's home view: -y unless the orientation says up."""
        vertical = str(self._camera.orientation[1])
        return self._to_library(np.array([0.0, 1.0 if vertical == "up" else -1.0, 0.0]))

    def _displayed(self) -> list[int]:
        return list(self.napari.dims.displayed)

    # -- the camera

    def get_viewport_size(self) -> tuple[float, float]:
        w, h = self._canvas.view.rect.size
        return float(w), float(h)

    def _eye_distance(self) -> float:
        """The eye's distance from napari's centre: vispy's own in perspective."""
        cam = self._camera
        _, h = self.get_viewport_size()
        if cam.perspective > 0:
            return h / cam.zoom / (2 * math.tan(math.radians(cam.perspective) / 2))
        if self._depth is None:
            self._depth = self._outside_distance()
        return self._depth

    def _outside_distance(self) -> float:
        """A distance behind the centre from which the eye sees the whole scene in front of it."""
        bounds = self.get_scene_bounds()
        centre = self._to_library(np.asarray(self._camera.center, dtype=np.float64))
        if bounds is None:
            return 1.0
        return float(np.linalg.norm(bounds.mean(axis=0) - centre) + np.linalg.norm(bounds[1] - bounds[0]) + 1.0)

    def get_camera(self) -> Optional[Array]:
        cam = self._camera
        if self.napari.dims.ndisplay != 3:
            return None
        view = self._to_library(np.asarray(cam.view_direction, dtype=np.float64))
        up = self._to_library(np.asarray(cam.up_direction, dtype=np.float64))
        centre = self._to_library(np.asarray(cam.center, dtype=np.float64))
        eye = centre - _unit(view) * self._eye_distance()
        return zcam.look_at_matrix(eye, centre, up)

    def set_camera(self, matrix: Array, pivot: Optional[Array] = None) -> None:
        cam = self._camera
        m = as_array(matrix, (4, 4), "a camera-to-world matrix")
        eye, forward, up = m[:3, 3], _unit(-m[:3, 2]), _unit(m[:3, 1])
        distance = self._eye_distance()
        if pivot is not None:
            depth = float((np.asarray(pivot, dtype=np.float64) - eye) @ forward)
            if depth > 1e-9 * max(distance, 1.0):
                distance = depth
        centre = eye + forward * distance
        changes: dict[str, Any] = {
            "center": tuple(self._to_napari(centre)),
            "angles": _angles(self._to_napari(forward), self._to_napari(up), cam.orientation)}
        if cam.perspective > 0:
            # The eye stays where the library put it: vispy derives it from the zoom.
            _, h = self.get_viewport_size()
            changes["zoom"] = h / (2 * math.tan(math.radians(cam.perspective) / 2) * distance)
        else:
            self._depth = distance
        cam.update(changes)

    def is_perspective(self) -> bool:
        return bool(self._camera.perspective > 0)

    def get_vertical_fov(self) -> Optional[float]:
        fov = float(self._camera.perspective)
        # A parallel view still has an angle for the library: the one napari would switch to.
        return math.radians(fov) if fov > 0 else None

    def set_vertical_fov(self, fov: float) -> None:
        if self._camera.perspective > 0:
            self._camera.perspective = math.degrees(fov)

    def get_view_extents(self) -> Optional[Array]:
        cam = self._camera
        w, h = self.get_viewport_size()
        half_w, half_h = w / cam.zoom / 2, h / cam.zoom / 2
        depth = self._eye_distance()
        return np.array([[-half_w, -half_h, -2 * depth], [half_w, half_h, 0.0]])

    def set_view_extents(self, extents: Array) -> None:
        cam = self._camera
        e = as_array(extents, (2, 3), "view extents (min corner, max corner)")
        height = float(e[1, 1] - e[0, 1])
        if not height > 0:
            raise ValueError(f"expected view extents with max above min in y, got {e.tolist()}")
        m = self.get_camera()
        _, h = self.get_viewport_size()
        changes: dict[str, Any] = {"zoom": h / height}
        if m is not None:
            shifted, _ = zcam.centre_extents(m, e)
            if not np.allclose(shifted, m):
                changes["center"] = tuple(np.asarray(cam.center) + self._to_napari(shifted[:3, 3] - m[:3, 3]))
        cam.update(changes)

    # -- the scene

    def _shown(self) -> list[Any]:
        return [layer for layer in self.napari.layers if layer.visible]

    def _world_box(self, layers: Sequence[Any]) -> Optional[Array]:
        displayed = self._displayed()
        boxes = []
        for layer in layers:
            extent = np.asarray(layer.extent.world, dtype=np.float64)
            if extent.ndim != 2 or extent.shape[1] < max(displayed) + 1:
                continue
            box = extent[:, displayed]
            if not np.all(np.isfinite(box)):
                continue
            corners = np.array([self._to_library(box[0]), self._to_library(box[1])])
            boxes.append(np.array([corners.min(axis=0), corners.max(axis=0)]))
        if not boxes:
            return None
        return np.array([np.min([b[0] for b in boxes], axis=0), np.max([b[1] for b in boxes], axis=0)])

    def get_scene_bounds(self) -> Optional[Array]:
        return self._world_box(self._shown())

    def get_selection_bounds(self) -> Optional[Array]:
        chosen = {id(layer) for layer in self.selection}
        return self._world_box([layer for layer in self._shown() if id(layer) in chosen]) if chosen else None

    def _slice_key(self, layer: Any) -> tuple[Any, ...]:
        """What the layer's slice depends on besides its data: the dimensions shown and where the rest stand."""
        return tuple(self.napari.dims.displayed), tuple(float(p) for p in self.napari.dims.point)

    def _data_to_world(self, layer: Any) -> Array:
        """(4, 4) from the layer's displayed data coordinates to napari's displayed world coordinates."""
        matrix = layer._data_to_world.set_slice(list(layer._slice_input.displayed)).affine_matrix
        return np.asarray(matrix, dtype=np.float64)

    def pick(self, origin: Array, direction: Array, aperture: float, selection_only: bool) -> Optional[Array]:
        layers = self._shown()
        if selection_only:
            chosen = {id(layer) for layer in self.selection}
            layers = [layer for layer in layers if id(layer) in chosen]
        o = self._to_napari(np.asarray(origin, dtype=np.float64))
        d = _unit(self._to_napari(np.asarray(direction, dtype=np.float64)))
        parallel = not self.is_perspective()
        hits = []
        for layer in layers:
            hit = self._pick_layer(layer, o, d, float(aperture), parallel)
            if hit is not None:
                hits.append(hit)
        self._cache.keep_only(self.napari.layers)
        if not hits:
            return None
        nearest = min(hits, key=lambda p: float((p - o) @ d))
        return self._to_library(nearest)

    def _pick_layer(self, layer: Any, o: Array, d: Array, aperture: float, parallel: bool) -> Optional[Array]:
        to_world = self._data_to_world(layer)
        if isinstance(layer, Surface):
            # napari computes the slice's vertices anew at each access: the cache keys on what they come from.
            key = (layer.vertices, layer.faces, *self._slice_key(layer))

            def build_mesh() -> Optional[zpick.TriangleMesh]:
                vertices, faces = layer._view_vertices, layer._view_faces
                if vertices is None or len(faces) == 0 or vertices.shape[1] != 3:
                    return None
                return zpick.TriangleMesh(vertices, faces)
            mesh = self._cache.get(layer, key, build_mesh)
            if mesh is None:
                return None
            to_data = np.linalg.inv(to_world)
            origins, rays = zpick.aperture_rays(o, d, aperture, parallel)
            # An affine map keeps the ray parameter: hits found in the layer's data are hits in the world.
            t = mesh.intersect(origins @ to_data[:3, :3].T + to_data[:3, 3], rays @ to_data[:3, :3].T)
            return zpick.nearest_hit(origins, rays, t)
        if isinstance(layer, Points):
            key = (layer.data, layer.size, to_world.tobytes(), *self._slice_key(layer))

            def build_cloud() -> Optional[zpick.PointCloud]:
                data = layer._view_data
                if len(data) == 0 or data.shape[1] != 3:
                    return None
                sizes = np.asarray(layer._view_size, dtype=np.float64)
                # Sizes are diameters in data units; a ball's radius follows the layer's mean scale.
                scale = float(np.cbrt(abs(np.linalg.det(to_world[:3, :3]))))
                return zpick.PointCloud(data @ to_world[:3, :3].T + to_world[:3, 3], sizes * scale / 2)
            cloud = self._cache.get(layer, key, build_cloud)
            return None if cloud is None else cloud.pick(o, d, aperture, parallel)
        if isinstance(layer, Image):
            volume = layer._data_view
            if volume is None or np.ndim(volume) != 3 or getattr(layer, "rgb", False):
                return None
            threshold = (float(layer.iso_threshold) if str(layer.rendering) == "iso"
                         else float(layer.contrast_limits[0]))
            level_scale = getattr(layer, "downsample_factors", None)
            to_index = np.linalg.inv(to_world)
            if level_scale is not None and getattr(layer, "multiscale", False):
                factors = np.asarray(level_scale[layer.data_level], dtype=np.float64)
                factors = factors[list(layer._slice_input.displayed)]
                to_index = np.diag([*(1 / factors), 1.0]) @ to_index
            return zpick.march_volume(volume, o, d, threshold, to_index)
        return None

    def show_pivot(self, position: Array, visible: bool) -> None:
        if self.marker is None:
            return
        if visible:
            # vispy's scene runs x, y, z along napari's last, middle and first axis.
            scene = self._to_napari(np.asarray(position, dtype=np.float64))[::-1]
            self.marker.set_data(np.array([scene]), **self._marker_style)
            if self.marker.parent is None:
                self.marker.parent = self._canvas.view.scene
        elif self.marker.parent is not None:
            self.marker.parent = None

    def get_up_axis(self) -> Array:
        return self.up.copy()

    def detach(self) -> None:
        """Take the pivot marker out of the scene."""
        if self.marker is not None:
            try:
                self.marker.parent = None
            except Exception:  # pragma: no cover - the canvas is already gone
                pass
            self.marker = None


def _angles(view: Array, up: Array, orientation: Any) -> tuple[float, ...]:
    from napari.utils.camera_orientations import angles_from_view_and_up_directions

    return tuple(float(a) for a in angles_from_view_and_up_directions(tuple(view), tuple(up), orientation))


def attach(viewer: Any, *, timer: bool = True, up: Any = None, pivot_marker: bool = True, settings: Any = None,
           **navigator_options: Any) -> Navigator:
    """Navigate the 3-D view of a napari viewer with the 3D mouse; call on the Qt thread.

    - timer: tick from the Qt event loop (`pyzibrel.qt.Ticker`: it waits on the
      library's input descriptor and ticks at 60 Hz only while the view moves);
      False: call `navigator.tick()` yourself;
    - up: the world's up axis in napari's world coordinates (default: what is up on
      screen in napari's home view, -y with the default orientation);
    - pivot_marker: a dot at the pivot during a motion (a vispy visual, not a layer);
    - settings: the navigation library's settings, over `DEFAULT_SETTINGS` (lock-horizon
      on, about `up`); the other options go to `pyzibrel.Navigator`.

    The navigator closes when the viewer or its window closes, or the application
    quits; `navigator.viewer` is the `NapariViewer` (`.selection`: selected layers).
    """
    adapter = NapariViewer(viewer, up=up, pivot_marker=pivot_marker)
    try:
        navigator = Navigator(adapter, settings={**DEFAULT_SETTINGS, **(settings or {})}, **navigator_options)
    except BaseException:
        adapter.detach()
        raise
    navigator.on_close(adapter.detach)
    window = viewer.window._qt_window
    closer = _Closer(navigator)
    window.destroyed.connect(closer)
    from qtpy.QtWidgets import QApplication  # type: ignore[import-not-found,unused-ignore]

    app: Any = QApplication.instance()
    if app is not None:
        app.aboutToQuit.connect(closer)
    navigator.on_close(lambda: _disconnect(window, "destroyed", closer))
    if app is not None:
        navigator.on_close(lambda: _disconnect(app, "aboutToQuit", closer))
    # napari's close() hides the window long before Qt deletes it: no tick may reach a closed viewer.
    original_close = viewer.window.close

    def close_window(*args: Any, **kwargs: Any) -> Any:
        closer()
        return original_close(*args, **kwargs)
    viewer.window.close = close_window
    navigator.on_close(lambda: viewer.window.__dict__.pop("close", None))
    if timer:
        from .qt import Ticker

        ticker = Ticker(navigator, parent=window)
        setattr(navigator, "ticker", ticker)
    return navigator


class _Closer:
    """Closes a navigator from a Qt signal without keeping it alive."""

    def __init__(self, navigator: Navigator) -> None:
        self._navigator = weakref.ref(navigator)
        self._strong: Optional[Navigator] = navigator  # attach(viewer) alone keeps navigating

    def __call__(self, *_: Any) -> None:
        navigator = self._navigator()
        self._strong = None
        if navigator is not None:
            navigator.close()


def _disconnect(owner: Any, signal: str, slot: Any) -> None:
    try:
        getattr(owner, signal).disconnect(slot)
    except (TypeError, RuntimeError):  # already gone with its object
        pass
