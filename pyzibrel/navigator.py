"""A ready navigation model: `Navigator` answers the library from a small `Viewer` interface.

Threads: the thread that creates a Navigator is the application's thread. Every
viewer call happens there, inside `tick()` (or inside a library call made on
that thread). A callback the library makes on any other thread (its own timer
thread, a device thread) never touches the viewer: reads are answered from a
snapshot taken at the last tick, writes are queued (and update the snapshot, so
the next read sees them) and applied to the viewer in the next `tick()`.
"""
from __future__ import annotations

import ctypes
import functools
import math
import os
import select
import sys
import threading
import time
import traceback
import weakref
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Mapping, Optional, Union

import numpy as np
import numpy.typing as npt

import _pyzibrel
from _pyzibrel import ZibrelBox, ZibrelFrustum, ZibrelMatrix, ZibrelPlane, ZibrelPoint

from . import _app_settings, _library, _viewer_support
from ._app_settings import SettingValue
from .camera import world_axes
from .convert import as_array, to_box, to_frustum, to_matrix, to_numpy, to_plane, to_point

__all__ = ["Command", "CommandCategory", "CommandSet", "Navigator", "Viewer"]

Array = npt.NDArray[np.float64]


class Viewer:
    """What a Navigator needs of a viewer; subclass it and override what the viewer can do.

    Arrays are numpy float64 in the library's camera convention: the camera is
    camera-to-world (4, 4), columns 0..2 the camera's right, up and back axes,
    column 3 the eye, bottom row 0 0 0 1, looking along -back. Boxes are (2, 3):
    the min corner, then the max corner. Only `get_camera` and `set_camera` are required.
    """

    def get_camera(self) -> Optional[Array]:
        """The (4, 4) camera-to-world matrix; None while the viewer has none to give."""
        raise NotImplementedError("a Viewer must implement get_camera")

    def set_camera(self, matrix: Array) -> None:
        """Put the camera at this (4, 4) camera-to-world matrix.

        Declared as `set_camera(self, matrix, pivot=None)`, it also receives the
        point the view turns about ((3,), None before the first motion): a viewer
        whose camera has a centre of its own (an orbit centre, a focal point)
        keeps it at the pivot's depth.
        """
        raise NotImplementedError("a Viewer must implement set_camera")

    def is_perspective(self) -> bool:
        return True

    def get_fov(self) -> float:
        """The full horizontal view angle in radians."""
        return math.radians(45)

    def set_fov(self, fov: float) -> None:
        pass

    def get_viewport_size(self) -> Optional[tuple[float, float]]:
        """(width, height) of the view in pixels; needed by `get_vertical_fov` and `pick_pixel`."""
        return None

    def get_vertical_fov(self) -> Optional[float]:
        """Instead of get_fov: the full vertical view angle in radians (converted through the viewport)."""
        return None

    def set_vertical_fov(self, fov: float) -> None:
        """Instead of set_fov: put the full vertical view angle in radians."""

    def pick_pixel(self, x: float, y: float, radius: float, selection_only: bool) -> Optional[Array]:
        """Instead of pick: the nearest point seen within `radius` pixels of pixel (x, y) (from the
        viewport's top left), only on the selection if `selection_only`; None for no hit."""
        return None

    def get_view_extents(self) -> Optional[Array]:
        """Orthographic views: the view box in camera coordinates, (2, 3)."""
        return None

    def set_view_extents(self, extents: Array) -> None:
        pass

    def get_scene_bounds(self) -> Optional[Array]:
        """The world box of what is shown, (2, 3); None when there is nothing."""
        return None

    def get_selection_bounds(self) -> Optional[Array]:
        """The world box of the selection, (2, 3); None when nothing is selected."""
        return None

    def pick(self, origin: Array, direction: Array, aperture: float, selection_only: bool) -> Optional[Array]:
        """The nearest point hit by a ray from `origin` along `direction` (a cone `aperture` wide
        one unit ahead), only on the selection if `selection_only`; None for no hit."""
        return None

    def show_pivot(self, position: Array, visible: bool) -> None:
        """Show or hide the point the view turns about."""

    def get_up_axis(self) -> Array:
        """The world's up direction (3,), which the standard views and lock-horizon keep up."""
        return np.array([0.0, 1.0, 0.0])

    def get_pointer(self) -> Optional[Array]:
        """A world point (3,) on the line of sight under the mouse pointer (a point on the near
        plane, say), or None when the pointer is not over the view. With the setting
        `pivot = pointer` the view turns about what is hit under it."""
        return None

    def render(self) -> None:
        """Draw the viewer again; called at the end of a tick() that changed it."""


_VIEWER_METHODS = ("get_camera", "set_camera", "is_perspective", "get_fov", "set_fov", "get_view_extents",
                   "set_view_extents", "get_scene_bounds", "get_selection_bounds", "pick", "show_pivot",
                   "get_up_axis", "get_pointer", "render")


@dataclass
class Command:
    """A command the library's buttons (and the user's device settings) can run."""

    id: str
    label: str
    action: Callable[[], object]
    description: str = ""


@dataclass
class CommandCategory:
    """A named group of commands (and further categories) within a command set."""

    id: str
    label: str
    items: list[Union[Command, CommandCategory]] = field(default_factory=list)

    def add(self, id: str, label: str, action: Callable[[], object], description: str = "") -> Command:
        if not id or not label:
            raise ValueError("a command needs a non-empty id and label")
        if not callable(action):
            raise ValueError(f"the action of command {id!r} is not callable")
        command = Command(id, label, action, description)
        self.items.append(command)
        return command

    def category(self, id: str, label: str) -> CommandCategory:
        if not id or not label:
            raise ValueError("a category needs a non-empty id and label")
        category = CommandCategory(id, label)
        self.items.append(category)
        return category

    def commands(self) -> Iterator[Command]:
        """Every command, depth first."""
        for item in self.items:
            if isinstance(item, Command):
                yield item
            else:
                yield from item.commands()


class CommandSet(CommandCategory):
    """The commands an application publishes to the library (the set's own id and label name it)."""

    def __init__(self, id: str = "commands", label: str = "Commands") -> None:
        if not id or not label:
            raise ValueError("a command set needs a non-empty id and label")
        super().__init__(id, label)


def default_profile() -> str:
    """The application's name, from the script or package that runs."""
    argv0 = sys.argv[0] if sys.argv and sys.argv[0] not in ("", "-c", "-") else ""
    if argv0:
        stem = os.path.splitext(os.path.basename(argv0))[0]
        if stem == "__main__":  # python -m package
            stem = os.path.basename(os.path.dirname(os.path.abspath(argv0)))
        if stem:
            return stem
    return "python"


def _coordinate_system(up: Any) -> ZibrelMatrix:
    """"coordinateSystem" for an up direction: columns the world's right, up and toward-the-front-viewer axes."""
    m = np.eye(4)
    m[:3, :3] = world_axes(up)
    return to_matrix(m)


# What a subclass's getter override may return as an array, and how it becomes a value class.
_GETTER_CONVERSIONS: dict[str, tuple[Callable[[Any], Any], type]] = {
    **dict.fromkeys(("_get_camera_matrix", "_get_selection_transform", "_get_coordinate_system",
                     "_get_front_view"), (to_matrix, ZibrelMatrix)),
    **dict.fromkeys(("_get_view_extents", "_get_model_extents", "_get_selection_extents"), (to_box, ZibrelBox)),
    **dict.fromkeys(("_get_pointer_position", "_get_pivot_position", "_get_hit_look_at",
                     "_get_camera_target"), (to_point, ZibrelPoint)),
    **dict.fromkeys(("_get_floor_plane", "_get_view_construction_plane"), (to_plane, ZibrelPlane)),
    "_get_view_frustum": (to_frustum, ZibrelFrustum),
}


def _converting(getter: Callable[..., Any], convert: Callable[[Any], Any], value_class: type) -> Callable[..., Any]:
    def wrapper(self: Any) -> Any:
        result = getter(self)
        if result is None or isinstance(result, value_class):
            return result
        return convert(result)

    wrapper.__name__ = getter.__name__
    wrapper.__qualname__ = getter.__qualname__
    wrapper.__doc__ = getter.__doc__
    return wrapper


def _angle(value: Any) -> float:
    angle = float(value)
    if not math.isfinite(angle):
        raise ValueError(f"expected a finite angle in radians, got {angle}")
    return angle


@functools.cache
def _input_fd() -> Optional[int]:
    # The library makes the descriptor once and keeps it for the life of the process.
    fn = _library.function("zbx_input_fd")
    if fn is None:
        return None
    fn.restype, fn.argtypes = ctypes.c_int, []
    fd = int(fn())
    return fd if fd >= 0 else None


# Navigators with a wake-up descriptor of their own (library timing), so that a forked
# child gets fresh ones under the same numbers.
_WAKERS: "weakref.WeakSet[Navigator]" = weakref.WeakSet()


def _new_wake_fd() -> Optional[int]:
    if not hasattr(os, "eventfd"):
        return None
    return os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)


def _renew_wake_fds_in_child() -> None:
    # The parent's descriptor would be shared: the child's tick would take the parent's wake-ups.
    for navigator in list(_WAKERS):
        fd = navigator._wake_fd
        if fd is None:
            continue
        fresh = _new_wake_fd()
        if fresh is None:
            continue
        os.dup2(fresh, fd, inheritable=False)
        os.close(fresh)


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_renew_wake_fds_in_child)


def _close_fd(fd: int) -> None:
    try:
        os.close(fd)
    except OSError:
        pass


class _Snapshot:
    """What the library may read off the application's thread, taken at a tick."""

    camera: Optional[ZibrelMatrix] = None
    perspective: bool = True
    fov: Optional[float] = None
    extents: Optional[ZibrelBox] = None
    scene: Optional[ZibrelBox] = None
    selection: Optional[ZibrelBox] = None
    coordinate_system: Optional[ZibrelMatrix] = None
    pointer: Optional[ZibrelPoint] = None


def _camera_numbers(m: Any) -> list[float]:
    """A camera's 16 numbers, row by row. Read at every frame of a motion: the usual
    answer, a float64 (4, 4) array, is checked with plain float tests; any other goes
    through as_array, which says what is wrong with it."""
    if type(m) is np.ndarray and m.shape == (4, 4) and m.dtype == np.float64:
        values = [x for row in m.tolist() for x in row]
        if all(map(math.isfinite, values)):
            return values
    numbers: list[float] = as_array(m, (4, 4), "a camera-to-world matrix").reshape(16).tolist()
    return numbers


class Navigator(_pyzibrel.ZibrelNavigationModel):
    """A navigation model that drives a `Viewer`.

    By default the application times the frames: call `tick()` from its event
    loop (60 times a second while `in_motion`; see `input_fd()` for idling), and
    every viewer call happens inside it, on this thread.
    """

    def __init_subclass__(cls, **kwargs: Any) -> None:
        # A subclass's own getters may return numpy arrays (or anything array-like).
        super().__init_subclass__(**kwargs)
        for name, (convert, value_class) in _GETTER_CONVERSIONS.items():
            if name in cls.__dict__:
                setattr(cls, name, _converting(cls.__dict__[name], convert, value_class))

    def __init__(self, viewer: Viewer, *, settings: Optional[Mapping[str, SettingValue]] = None,
                 profile: Optional[str] = None, commands: Optional[CommandSet] = None,
                 application_timing: bool = True, enable: bool = True) -> None:
        super().__init__(False, 0)
        for required in ("get_camera", "set_camera"):
            if not callable(getattr(viewer, required, None)):
                raise TypeError(f"the viewer {type(viewer).__name__} has no {required}() method")
        if profile is not None and not profile:
            raise ValueError("the profile hint must not be empty (None picks the application's name)")
        if commands is not None and not isinstance(commands, CommandSet):
            raise TypeError(f"commands must be a pyzibrel.CommandSet, not {type(commands).__name__}")
        self.viewer = viewer
        defaults = Viewer()
        self._calls: dict[str, Callable[..., Any]] = {
            name: getattr(viewer, name, None) or getattr(defaults, name) for name in _VIEWER_METHODS}
        self._calls.update(_viewer_support.derived_calls(viewer, Viewer, self._calls))
        self._camera_takes_pivot = _viewer_support.takes_pivot(self._calls["set_camera"])
        self._close_hooks: list[Callable[[], object]] = []
        self._profile = profile or default_profile()
        # Checked now, so that a bad key fails where the application wrote it.
        self._settings_text = _app_settings.settings_text(settings)
        self._settings = dict(settings) if settings is not None else {}
        _app_settings.check(self._profile, self._settings_text)
        self._commands = commands if commands is not None else CommandSet()
        self._application_timing = bool(application_timing)
        self._thread = threading.get_ident()
        # Guards the snapshot and the queues; re-entrant, as a viewer call made under it may
        # lead back into the navigator on the same thread.
        self._lock = threading.RLock()
        self._pending: dict[str, Any] = {}  # viewer writes from other threads, the latest of each kind
        self._pending_commands: list[str] = []
        self._snapshot = _Snapshot()
        self._off_thread_seen = False
        self._changed = False
        self._ticking = False
        self._closed = False
        # Library timing: the library's frames run on its thread and queue their writes; this
        # descriptor is readable while they wait for a tick, so that an idle loop applies them at once.
        self._wake_fd = None if self._application_timing else _new_wake_fd()
        if self._wake_fd is not None:
            weakref.finalize(self, _close_fd, self._wake_fd)
            _WAKERS.add(self)
        self._told: set[str] = set()
        self._in_motion = False
        self._pivot = np.zeros(3)
        self._pivot_known = False
        self._pivot_visible = False
        self._hit_origin: Optional[Array] = None
        self._hit_direction: Optional[Array] = None
        self._hit_aperture = 0.0
        self._hit_selection_only = False
        with self._lock:
            self._take_snapshot()
        _viewer_support.warn_if_up_is_against(viewer, self._snapshot.camera and to_numpy(self._snapshot.camera),
                                              self._snapshot.coordinate_system and
                                              to_numpy(self._snapshot.coordinate_system)[:3, 1])
        if enable:
            self.enabled = True

    # --- the application's side ---------------------------------------------------------------

    @property
    def enabled(self) -> bool:
        """Navigation is on: the library has a connection for this navigator."""
        return not self._closed and self._is_enabled()

    @enabled.setter
    def enabled(self, on: bool) -> None:
        if self._closed:
            raise RuntimeError("the navigator is closed")
        if bool(on) == self._is_enabled():
            return
        if not on:
            self._enable_navigation(False)
            self._stopped()
            return
        if self._application_timing:
            self._put_frame_timing_source(1)
        self._put_profile_hint(self._profile)
        # For exactly the connection this thread opens next under this profile: several
        # navigators of one process, and of one profile, each open with their own.
        _app_settings.give(self._profile, self._settings_text)
        try:
            self._enable_navigation(True)
        finally:
            if self._settings_text:
                _app_settings.give(self._profile, "")  # not left for another model if the open failed
        self._publish()

    @property
    def profile(self) -> str:
        return self._profile

    @property
    def commands(self) -> CommandSet:
        return self._commands

    @property
    def settings(self) -> dict[str, SettingValue]:
        """The application's settings given to the library (a copy); the user's settings file
        and the environment override them."""
        return dict(self._settings)

    @property
    def pivot(self) -> Optional[Array]:
        """The point the view turns about (3,), as the library last set it; None before the first motion."""
        return self._pivot.copy() if self._pivot_known else None

    @property
    def closed(self) -> bool:
        return self._closed

    def on_close(self, hook: Callable[[], object]) -> None:
        """Call `hook()` once when the navigator closes (at once if it is closed): an adapter stops its
        timers and removes its marker there. Hooks run in the order given; one that fails is reported."""
        if self._closed:
            self._run_close_hook(hook)
        else:
            self._close_hooks.append(hook)

    def _run_close_hook(self, hook: Callable[[], object]) -> None:
        try:
            hook()
        except Exception:
            sys.stderr.write(f"pyzibrel: a close hook of the navigator failed:\n{traceback.format_exc().rstrip()}\n")

    @property
    def in_motion(self) -> bool:
        """The library is moving the view (from the first deflected frame to the motion's end)."""
        return self._in_motion

    def tick(self, now_seconds: Optional[float] = None) -> bool:
        """One frame on this thread at `now_seconds` (time.monotonic() when None).

        Applies what the library wrote from other threads, runs the library's frame
        (application timing), runs the commands the library activated, and calls the
        viewer's render() when anything changed; returns whether it did.
        """
        if self._closed:
            return False
        if threading.get_ident() != self._thread:
            raise RuntimeError("Navigator.tick() must be called on the thread that created the navigator")
        if now_seconds is not None and not math.isfinite(now_seconds):
            raise ValueError(f"expected a finite time in seconds, got {now_seconds}")
        if self._ticking:  # called again from inside the viewer's render(): nothing to do
            return False
        self._ticking = True
        try:
            if self._wake_fd is not None:
                self._drain_wake_fd()  # before the queues are read: a write queued after it wakes again
            # Each step is skipped when it has nothing to do: an idle tick runs 60 times a second.
            if self._pending:
                self._apply_pending()
            if self._application_timing and self._is_enabled():
                self._put_frame_time(time.monotonic() if now_seconds is None else float(now_seconds))
            if self._pending_commands:
                self._run_commands()
            if not self._application_timing or self._off_thread_seen:
                with self._lock:
                    self._take_snapshot()
            changed, self._changed = self._changed, False
            if changed:
                self._viewer("render")
            return changed
        finally:
            self._ticking = False

    def close(self) -> None:
        """Stop navigating: closes the connection; safe to call again, and from any thread."""
        if self._closed:
            return
        self._closed = True
        try:
            self._enable_navigation(False)
        finally:
            with self._lock:
                self._pending.clear()
                self._pending_commands.clear()
            self._stopped()
            self._wake()  # a loop waiting on input_fd() wakes and finds the navigator closed
            hooks, self._close_hooks = self._close_hooks, []
            for hook in hooks:
                self._run_close_hook(hook)

    def _stopped(self) -> None:
        # The connection is gone: a motion in progress will never be ended by the library.
        self._in_motion = False
        if self._pivot_visible and threading.get_ident() == self._thread:
            self._pivot_visible = False
            self._viewer("show_pivot", self._pivot.copy(), False)
            self._changed = True

    def __enter__(self) -> Navigator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def add_command(self, id: str, label: str, action: Callable[[], object], description: str = "") -> None:
        """Add a command to the published set (published again when navigation is on)."""
        if any(c.id == id for c in self._commands.commands()):
            raise ValueError(f"a command with the id {id!r} is already in the set")
        self._commands.add(id, label, action, description)
        if self.enabled:
            self._publish()

    def input_fd(self) -> Optional[int]:
        """A file descriptor for an idle event loop to wait on; None when there is none. Never read
        or close it. With application timing it is readable while device input waits for a frame
        (the library's, shared by every navigator of the process); with the library's timer it is
        this navigator's own, readable while the library's frames wait for a tick to apply them."""
        if not self._application_timing:
            return self._wake_fd
        return _input_fd()

    @property
    def wants_frames(self) -> bool:
        """Ticks are due now. With application timing: the view is in motion, or device input waits
        (when the library tells). With the library's timer: its frames' writes wait to be applied."""
        if self._wake_fd is not None:
            return bool(self._pending or self._pending_commands)
        if self._in_motion:
            return True
        fd = self.input_fd()
        if fd is None:
            return False
        # poll, not select: a process may hold far more than 1024 descriptors.
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        return bool(poller.poll(0))

    # --- inner workings -----------------------------------------------------------------------

    def _tell(self, key: str, message: str) -> None:
        """A problem of the viewer, reported once per kind on standard error."""
        if key in self._told:
            return
        self._told.add(key)
        sys.stderr.write(f"pyzibrel: {message}\n")

    def _viewer(self, name: str, *args: Any, **kwargs: Any) -> Any:
        """Call a viewer method; an exception is reported once and answered with None."""
        try:
            return self._calls[name](*args, **kwargs)
        except Exception:
            return self._viewer_failed(name)

    def _viewer_failed(self, name: str) -> None:
        # In the except clause of the failed call.
        self._tell(f"viewer.{name}", f"{type(self.viewer).__name__}.{name}() failed; it answers nothing "
                                     f"until it works:\n{traceback.format_exc().rstrip()}")

    def _answer(self, name: str, convert: Callable[[Any], Any], *args: Any) -> Any:
        """A viewer call and the conversion of its answer: the one way every answer comes in.
        A failure of either is reported once and answers None ("not available")."""
        try:
            value = self._calls[name](*args)  # _viewer's call, written out: answers come at every frame
        except Exception:
            return self._viewer_failed(name)
        if value is None:
            return None
        try:
            return convert(value)
        except Exception as exc:  # an answer may fail in its own code (__float__, __array__, __bool__)
            why = str(exc) if isinstance(exc, (TypeError, ValueError)) else f"{type(exc).__name__}: {exc}"
            self._tell(f"convert.{name}", f"{type(self.viewer).__name__}.{name}() gave an unusable answer: {why}")
            return None

    def _camera(self) -> Optional[ZibrelMatrix]:
        values = self._answer("get_camera", _camera_numbers)
        if values is None:
            return None
        # Plain float tests (np.allclose's tolerances, a tenth of its cost).
        b0, b1, b2, b3 = values[12:]
        if not (abs(b0) <= 1e-8 and abs(b1) <= 1e-8 and abs(b2) <= 1e-8 and abs(b3 - 1.0) <= 1.001e-5):
            self._tell("camera.bottom", f"{type(self.viewer).__name__}.get_camera() returned a matrix with the "
                                        f"bottom row {values[12:]}: the eye belongs in the last column "
                                        f"(m03, m13, m23) and the bottom row is 0 0 0 1")
            return None
        return ZibrelMatrix(*values)  # as_array checked the shape and that every number is finite

    def _perspective(self) -> bool:
        answer: Optional[bool] = self._answer("is_perspective", bool)
        return True if answer is None else answer  # a failing viewer: the default

    def _box(self, name: str) -> Optional[ZibrelBox]:
        result: Optional[ZibrelBox] = self._answer(name, to_box)
        return result

    def _fov(self) -> Optional[float]:
        result: Optional[float] = self._answer("get_fov", _angle)
        return result

    def _up(self) -> ZibrelMatrix:
        axes: Optional[ZibrelMatrix] = self._answer("get_up_axis", _coordinate_system)
        return to_matrix(np.eye(4)) if axes is None else axes

    def _pointer(self) -> Optional[ZibrelPoint]:
        result: Optional[ZibrelPoint] = self._answer("get_pointer", to_point)
        return result

    def _take_snapshot(self) -> None:
        # Called with the lock held, on the application's thread.
        s = _Snapshot()
        s.camera = self._camera()
        s.perspective = self._perspective()
        s.fov = self._fov()
        s.extents = self._box("get_view_extents")
        s.scene = self._box("get_scene_bounds")
        s.selection = self._box("get_selection_bounds")
        s.coordinate_system = self._up()
        s.pointer = self._pointer()
        self._snapshot = s

    def _direct(self) -> bool:
        """This callback may use the viewer: it runs on the application's thread."""
        if threading.get_ident() == self._thread:
            return True
        self._off_thread_seen = True
        return False

    # Reads and writes come at every frame of a motion: the application's thread, the usual
    # one, is told apart without _direct's call.
    def _read(self, name: str, direct: Callable[[], Any]) -> Any:
        if self._closed:
            return None
        if threading.get_ident() == self._thread or self._direct():
            return direct()
        with self._lock:
            return getattr(self._snapshot, name)

    def _write(self, kind: str, value: Any, snapshot: Optional[str] = None, snapshot_value: Any = None) -> None:
        if self._closed:
            return
        if threading.get_ident() == self._thread or self._direct():
            self._apply(kind, value)
            return
        with self._lock:
            self._pending[kind] = value
            if snapshot is not None:
                setattr(self._snapshot, snapshot, snapshot_value)
        self._wake()

    def _wake(self) -> None:
        """Make the wake-up descriptor readable (library timing): a tick is due."""
        if self._wake_fd is not None:
            try:
                os.eventfd_write(self._wake_fd, 1)
            except OSError:
                pass

    def _drain_wake_fd(self) -> None:
        try:
            os.eventfd_read(self._wake_fd)
        except OSError:  # BlockingIOError: nothing was waiting
            pass

    def _apply(self, kind: str, value: Any) -> None:
        if kind == "pivot":
            self._viewer("show_pivot", *value)
        elif kind == "set_camera" and self._camera_takes_pivot:
            self._viewer("set_camera", value, pivot=self.pivot)
        else:
            self._viewer(kind, value)
        self._changed = True

    def _apply_pending(self) -> None:
        with self._lock:
            pending, self._pending = self._pending, {}
            for kind, value in pending.items():
                self._apply(kind, value)

    def _run_commands(self) -> None:
        with self._lock:
            ids, self._pending_commands = self._pending_commands, []
        actions = {c.id: c.action for c in self._commands.commands()}
        for command_id in ids:
            action = actions.get(command_id)
            if action is None:
                self._tell(f"command.{command_id}", f"the library ran the command {command_id!r}, which the "
                                                    f"navigator's command set does not have")
                continue
            try:
                action()
            except Exception:
                sys.stderr.write(f"pyzibrel: the action of command {command_id!r} failed:\n"
                                 f"{traceback.format_exc().rstrip()}\n")
            self._changed = True

    def _publish(self) -> None:
        items = list(self._commands.items)
        if not items:
            return
        self._begin_command_set(self._commands.id, self._commands.label)

        def emit(entries: list[Union[Command, CommandCategory]]) -> None:
            for item in entries:
                if isinstance(item, Command):
                    self._create_command(item.id, item.label, item.description)
                else:
                    self._begin_command_category(item.id, item.label)
                    emit(item.items)
                    self._end_command_category()

        emit(items)
        self._end_command_set()
        self._put_active_commands(self._commands.id)

    # --- what the library reads ---------------------------------------------------------------

    def _get_camera_matrix(self) -> Optional[ZibrelMatrix]:
        result: Optional[ZibrelMatrix] = self._read("camera", self._camera)
        return result

    def _get_is_view_perspective(self) -> Optional[bool]:
        result: bool = self._read("perspective", self._perspective)
        return result

    def _get_view_fov(self) -> Optional[float]:
        result: Optional[float] = self._read("fov", self._fov)
        return result

    def _get_view_frustum(self) -> None:
        return None  # the field of view says it

    def _get_view_extents(self) -> Optional[ZibrelBox]:
        result: Optional[ZibrelBox] = self._read("extents", lambda: self._box("get_view_extents"))
        return result

    def _get_model_extents(self) -> Optional[ZibrelBox]:
        result: Optional[ZibrelBox] = self._read("scene", lambda: self._box("get_scene_bounds"))
        return result

    def _get_selection_extents(self) -> Optional[ZibrelBox]:
        result: Optional[ZibrelBox] = self._read("selection", lambda: self._box("get_selection_bounds"))
        return result

    def _get_is_selection_empty(self) -> Optional[bool]:
        return self._get_selection_extents() is None

    def _get_selection_transform(self) -> None:
        return None

    def _get_coordinate_system(self) -> Optional[ZibrelMatrix]:
        result: Optional[ZibrelMatrix] = self._read("coordinate_system", self._up)
        return result

    def _is_user_pivot(self) -> Optional[bool]:
        return False

    def _get_pivot_position(self) -> Optional[ZibrelPoint]:
        return to_point(self._pivot)

    def _get_pivot_visible(self) -> Optional[bool]:
        return self._pivot_visible

    def _get_pointer_position(self) -> Optional[ZibrelPoint]:
        result: Optional[ZibrelPoint] = self._read("pointer", self._pointer)
        return result

    def _get_hit_look_at(self) -> Optional[ZibrelPoint]:
        # Hit-testing needs the viewer: off the application's thread there is no hit,
        # and the library turns about the centre of the selection or the scene instead.
        if self._closed or not self._direct() or self._hit_origin is None or self._hit_direction is None:
            return None
        result: Optional[ZibrelPoint] = self._answer("pick", to_point, self._hit_origin.copy(),
                                                     self._hit_direction.copy(), self._hit_aperture,
                                                     self._hit_selection_only)
        return result

    # --- what the library writes --------------------------------------------------------------

    def _set_camera_matrix(self, matrix: ZibrelMatrix) -> None:
        self._write("set_camera", to_numpy(matrix), "camera", matrix)

    def _set_view_extents(self, extents: ZibrelBox) -> None:
        self._write("set_view_extents", to_numpy(extents), "extents", extents)

    def _set_view_fov(self, fov: float) -> None:
        self._write("set_fov", float(fov), "fov", float(fov))

    def _set_view_frustum(self, frustum: Any) -> None:
        pass  # never asked for one

    def _set_selection_transform(self, matrix: ZibrelMatrix) -> None:
        pass  # object motion of the selection is not offered

    def _set_pivot_position(self, position: ZibrelPoint) -> None:
        self._pivot = to_numpy(position)
        self._pivot_known = True
        if self._pivot_visible:
            self._write("pivot", (self._pivot.copy(), True))

    def _set_pivot_visible(self, visible: bool) -> None:
        self._pivot_visible = bool(visible)
        self._write("pivot", (self._pivot.copy(), self._pivot_visible))

    def _set_hit_look_from(self, origin: ZibrelPoint) -> None:
        self._hit_origin = to_numpy(origin)

    def _set_hit_direction(self, direction: ZibrelPoint) -> None:
        self._hit_direction = to_numpy(direction)

    def _set_hit_aperture(self, aperture: float) -> None:
        self._hit_aperture = float(aperture)

    def _set_hit_selection_only(self, selection_only: bool) -> None:
        self._hit_selection_only = bool(selection_only)

    def _set_active_command(self, command_id: str) -> None:
        # Commands run inside the next tick(), after the frame, on the application's thread.
        if self._closed:
            return
        with self._lock:
            self._pending_commands.append(command_id)
        if threading.get_ident() != self._thread:
            self._wake()

    def _set_motion_flag(self, moving: bool) -> None:
        self._in_motion = bool(moving)
