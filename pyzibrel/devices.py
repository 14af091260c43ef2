"""Which 3D mice the navigation library sees, and their raw input.

`devices()` asks the library that `_pyzibrel` loaded what each configured source
finds now (the same settings an application's connection would use: ZIBREL_DEVICE,
ZIBREL_CONFIG, ZIBREL_HID_ROOT, SPNAV_SOCKET). `monitor()` opens those sources
without a connection and hands over their events, for monitors and recorders.
`settings()` tells the settings values such a connection would get, as the
library reads them.

When the library is missing or too old to offer this, `devices()` says so in
its `problems`; `monitor()` raises `MonitorError` and `settings()` RuntimeError
with the reason.
"""
from __future__ import annotations

import ctypes
import dataclasses
import json
import math
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from . import _library

AXIS_NAMES = ("x", "y", "z", "rx", "ry", "rz")
MAX_INFO_BYTES = 16 << 20  # a library answering more is broken, not busy


@dataclass(frozen=True, slots=True)
class Device:
    """One device a source sees."""

    name: str
    path: str | None
    axes: int
    buttons: int
    connected: bool
    problem: str | None  # why it cannot be used, a full sentence


@dataclass(frozen=True, slots=True)
class Source:
    """One configured source: "spacenavd", "hid" or "file"."""

    source: str
    path: str | None
    available: bool  # the daemon answered, the HID lookup ran, the file was read
    problem: str | None
    devices: tuple[Device, ...]


@dataclass(frozen=True, slots=True)
class DeviceInfo:
    """What `devices()` found. `usable` is true when a device can deliver input now."""

    library: str | None
    settings_file: str | None
    device_setting: str | None
    usable: bool
    problems: tuple[str, ...]
    sources: tuple[Source, ...]

    @property
    def connected(self) -> list[tuple[Source, Device]]:
        """The devices that can deliver input, each with its source."""
        return [(s, d) for s in self.sources for d in s.devices if d.connected and d.problem is None]

    def to_dict(self) -> dict[str, Any]:
        """The library's JSON layout, for `status --json`."""
        return dataclasses.asdict(self)


class MonitorError(RuntimeError):
    """The devices cannot be monitored: no library, an older one, or no source opened."""


def _text(value: Any, what: str, optional: bool = True) -> str | None:
    if value is None and optional:
        return None
    if not isinstance(value, str):
        raise ValueError(f"{what} is not a text")
    return value


def _count(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"{what} is not a count")
    return value


def _flag(value: Any, what: str) -> bool:
    if not isinstance(value, bool):
        raise ValueError(f"{what} is not true or false")
    return value


def _list(value: Any, what: str) -> list[Any]:
    if value is None:
        return []
    if not isinstance(value, list):
        raise ValueError(f"{what} is not a list")
    return value


def parse_device_info(text: str) -> DeviceInfo:
    """The library's device information; ValueError naming the first field that is wrong."""
    try:
        data = json.loads(text)
    except json.JSONDecodeError as e:
        raise ValueError(f"not JSON ({e})") from None
    if not isinstance(data, dict):
        raise ValueError("not a JSON object")
    sources = []
    for i, s in enumerate(_list(data.get("sources"), "sources")):
        where = f"sources[{i}]"
        if not isinstance(s, dict):
            raise ValueError(f"{where} is not an object")
        devices = []
        for j, d in enumerate(_list(s.get("devices"), f"{where}.devices")):
            at = f"{where}.devices[{j}]"
            if not isinstance(d, dict):
                raise ValueError(f"{at} is not an object")
            devices.append(Device(
                name=_text(d.get("name"), f"{at}.name", optional=False),  # type: ignore[arg-type]
                path=_text(d.get("path"), f"{at}.path"),
                axes=_count(d.get("axes", 0), f"{at}.axes"),
                buttons=_count(d.get("buttons", 0), f"{at}.buttons"),
                connected=_flag(d.get("connected", False), f"{at}.connected"),
                problem=_text(d.get("problem"), f"{at}.problem"),
            ))
        sources.append(Source(
            source=_text(s.get("source"), f"{where}.source", optional=False),  # type: ignore[arg-type]
            path=_text(s.get("path"), f"{where}.path"),
            available=_flag(s.get("available", False), f"{where}.available"),
            problem=_text(s.get("problem"), f"{where}.problem"),
            devices=tuple(devices),
        ))
    problems = tuple(_text(p, f"problems[{i}]", optional=False)  # type: ignore[misc]
                     for i, p in enumerate(_list(data.get("problems"), "problems")))
    return DeviceInfo(
        library=_text(data.get("library"), "library"),
        settings_file=_text(data.get("settings_file"), "settings_file"),
        device_setting=_text(data.get("device_setting"), "device_setting"),
        usable=_flag(data.get("usable", False), "usable"),
        problems=problems,
        sources=tuple(sources),
    )


def _unusable(library: str | None, problem: str) -> DeviceInfo:
    return DeviceInfo(library=library, settings_file=None, device_setting=None, usable=False,
                      problems=(problem,), sources=())


def _loaded_library() -> tuple[str | None, str | None]:
    """(path of the loaded library, None) or (path or None, why there is none to ask)."""
    try:
        lib = _library.library()
    except ImportError as e:
        return None, f"The _pyzibrel module cannot be imported ({e}), so no navigation library is loaded."
    if lib is None:
        return None, (f"No navigation library is loaded: {_library.LIBRARY_NAME} was not found "
                      "(install the package with pip, or put the library's folder on LD_LIBRARY_PATH).")
    return _library.library_path() or _library.LIBRARY_NAME, None


def devices() -> DeviceInfo:
    """The sources and devices the navigation library sees now; never raises for a missing library."""
    path, missing = _loaded_library()
    if missing:
        return _unusable(path, missing)
    info = _library.function("zbx_device_info")
    if info is None:
        return _unusable(path, f"The navigation library {path} is too old to describe its devices "
                               "(it has no zbx_device_info).")
    info.restype = ctypes.c_size_t
    info.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
    try:
        text = _library.text_answer(info, path=path, what="device information",
                                    beyond="more than any list of devices takes", limit=MAX_INFO_BYTES)
    except ValueError as e:
        return _unusable(path, str(e))
    try:
        return parse_device_info(text)
    except ValueError as e:
        return _unusable(path, f"The navigation library {path} answered device information "
                               f"that cannot be read: {e}.")


# ---------------------------------------------------------------- settings


@dataclass(frozen=True, slots=True)
class Settings:
    """The settings values a new connection would get now, as the library read them.

    problems: the settings file's and ZIBREL_DEVICE's, as the library reports them;
    refused: the extra settings that did not apply, each with why not.
    """

    settings_file: str | None
    motion_timeout_ms: float
    problems: tuple[str, ...]
    refused: dict[str, str]


def parse_settings(text: str, keys: Sequence[str] = ()) -> Settings:
    """The library's settings answer for the extra settings `keys`; ValueError naming the first
    field that is wrong."""
    try:
        data = json.loads(text)
    except json.JSONDecodeError as e:
        raise ValueError(f"not JSON ({e})") from None
    if not isinstance(data, dict):
        raise ValueError("not a JSON object")
    timeout = data.get("motion_timeout_ms")
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
        raise ValueError("motion_timeout_ms is not a time in ms")
    refused = _list(data.get("refused"), "refused")
    if len(refused) != len(keys):
        raise ValueError(f"refused has {len(refused)} entries for {len(keys)} settings")
    reasons = {key: _text(why, f"refused[{i}]") for i, (key, why) in enumerate(zip(keys, refused))}
    return Settings(
        settings_file=_text(data.get("settings_file"), "settings_file"),
        motion_timeout_ms=float(timeout),
        problems=tuple(_text(p, f"problems[{i}]", optional=False)  # type: ignore[misc]
                       for i, p in enumerate(_list(data.get("problems"), "problems"))),
        refused={key: why for key, why in reasons.items() if why is not None},
    )


def settings(extra: Mapping[str, str] | None = None) -> Settings:
    """The settings a new connection would get now (ZIBREL_CONFIG, ZIBREL_DEVICE), read and parsed by
    the library, with `extra` settings ({"motion-timeout": "150"}) applied after them as lines of the
    settings file would be. RuntimeError when no library is loaded or it cannot tell."""
    path, missing = _loaded_library()
    if missing:
        raise RuntimeError(missing)
    function = _library.function("zbx_settings")
    if function is None:
        raise RuntimeError(f"The navigation library {path} is too old to report its settings "
                           "(it has no zbx_settings).")
    keys = list(extra or {})
    # Texts from the command line may hold bytes that are no UTF-8: they reach the library as they came.
    encoded = [(k.encode("utf-8", "surrogateescape"), (extra or {})[k].encode("utf-8", "surrogateescape"))
               for k in keys]
    texts = ctypes.c_char_p * max(1, len(keys))
    function.restype = ctypes.c_size_t
    function.argtypes = [texts, texts, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
    try:
        text = _library.text_answer(function, texts(*(k for k, _ in encoded)), texts(*(v for _, v in encoded)),
                                    len(keys), path=path, what="settings", beyond="more than any settings take",
                                    limit=MAX_INFO_BYTES)
    except ValueError as e:
        raise RuntimeError(str(e)) from None
    try:
        return parse_settings(text, keys)
    except ValueError as e:
        raise RuntimeError(f"The navigation library {path} answered settings that cannot be read: {e}.") from None


# ---------------------------------------------------------------- raw input


class _RawEvent(ctypes.Structure):
    _fields_ = [("t_ms", ctypes.c_double), ("kind", ctypes.c_int32), ("button", ctypes.c_int32),
                ("axes", ctypes.c_double * 6)]


@dataclass(frozen=True, slots=True)
class DeviceEvent:
    """One event of a device, as the library read it.

    t_ms: milliseconds since the monitor opened (steady clock); kind: "motion",
    "press" or "release"; axes (motion): x y z rx ry rz as fractions of full
    deflection in [-1, 1], before dead zone and inversion; button (press, release).
    """

    t_ms: float
    kind: str
    button: int = 0
    axes: tuple[float, float, float, float, float, float] = (0.0,) * 6


_KINDS = {0: "motion", 1: "press", 2: "release"}
_MAX_WAIT_MS = 2**31 - 1


class Monitor:
    """The configured sources, opened without a connection. Use from one thread.

    `read()` returns the events queued since the last read; iterating yields them
    one by one, forever. Close it (or use `with`) to release the devices.
    """

    def __init__(self) -> None:
        path, missing = _loaded_library()
        if missing:
            raise MonitorError(missing)
        functions = {name: _library.function(f"zbx_monitor_{name}") for name in ("open", "read", "close")}
        if any(f is None for f in functions.values()):
            raise MonitorError(f"The navigation library {path} is too old to monitor devices "
                               "(it has no zbx_monitor_open).")
        self._open, self._read, self._close = functions["open"], functions["read"], functions["close"]
        self._open.restype, self._open.argtypes = ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_size_t]
        self._read.restype = ctypes.c_int
        self._read.argtypes = [ctypes.c_void_p, ctypes.POINTER(_RawEvent), ctypes.c_int, ctypes.c_int]
        self._close.restype, self._close.argtypes = None, [ctypes.c_void_p]
        error = ctypes.create_string_buffer(1024)
        handle = self._open(error, len(error))
        if not handle:
            message = error.value.decode("utf-8", errors="replace") or "no reason given"
            raise MonitorError(message)
        self._handle: int | None = handle
        self._buffer = (_RawEvent * 256)()

    def read(self, timeout: float = 0.1) -> list[DeviceEvent]:
        """The events since the last read, oldest first; waits up to timeout seconds for the first
        (at most about 24.8 days: a longer or infinite timeout waits that long)."""
        if self._handle is None:
            raise MonitorError("the monitor is closed")
        ms = float(timeout) * 1000
        if math.isnan(ms):
            raise ValueError(f"the timeout is not a number of seconds: {timeout!r}")
        # The library takes a C int of milliseconds.
        wait_ms = _MAX_WAIT_MS if ms >= _MAX_WAIT_MS else max(0, round(ms))
        events: list[DeviceEvent] = []
        while True:
            n = self._read(self._handle, self._buffer, len(self._buffer), wait_ms)
            if n < 0:
                raise MonitorError("Reading the devices failed.")
            for raw in self._buffer[:n]:
                kind = _KINDS.get(raw.kind)
                if kind is not None:
                    events.append(DeviceEvent(raw.t_ms, kind, raw.button,
                                              tuple(raw.axes) if kind == "motion" else (0.0,) * 6))
            if n < len(self._buffer):
                return events
            wait_ms = 0  # a full buffer: take what else is queued without waiting

    def __iter__(self) -> Iterator[DeviceEvent]:
        while True:
            yield from self.read(0.1)

    def close(self) -> None:
        if self._handle is not None:
            handle, self._handle = self._handle, None
            self._close(handle)

    def __enter__(self) -> Monitor:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # Only when the user forgot close(): the library's reader would otherwise stay.
        if getattr(self, "_handle", None) is not None:
            self.close()


def monitor() -> Monitor:
    """Open the configured sources for raw input: `with pyzibrel.monitor() as m: m.read()`."""
    return Monitor()


# ---------------------------------------------------------------- device files


def _seconds(t_us: int) -> str:
    return f"{t_us // 1_000_000}.{t_us % 1_000_000:06d}"


def _deflection(v: float) -> str:
    v = min(1.0, max(-1.0, float(v)))
    return "0" if v == 0 else repr(v)  # repr reads back to the same double


class DeviceFileWriter:
    """Writes monitor events as a device file (docs/navigation-library.md, "The device file").

    Times become seconds from the first event, in whole microseconds. A live device
    sends nothing while its cap is held still, and the library lets go of the last
    deflection once `motion_timeout_ms` passes without a sample (`settings()` tells
    the one in effect); a replay instead holds a motion line until the next one. So
    where the input went silent for longer than the timeout, a line of zeros is
    written just past the moment the library let go, and the replay moves the same
    way the live session did.
    """

    def __init__(self, out: Any, motion_timeout_ms: float) -> None:
        self._out = out
        self._timeout_us = round(motion_timeout_ms * 1000)
        self._t0_ms: float | None = None
        self._last_us = 0
        self._held: tuple[float, ...] | None = None  # the deflection the library holds, None once let go
        self._held_us = 0
        self.events = 0

    def _time(self, t_ms: float) -> int:
        if self._t0_ms is None:
            self._t0_ms = t_ms
        # Never earlier than the line before, whatever the clock did.
        return max(self._last_us, round((t_ms - self._t0_ms) * 1000))

    def _line(self, t_us: int, text: str) -> None:
        self._last_us = max(self._last_us, t_us)
        self._out.write(f"{_seconds(self._last_us)}  {text}\n")

    def _let_go_before(self, t_us: int | None) -> None:
        """A zero line where the library gave up waiting for the held deflection, if before t_us."""
        if self._held is None or not any(self._held):
            return
        # The library lets go when a frame comes strictly more than the timeout after the sample.
        let_go = self._held_us + self._timeout_us + 1
        if t_us is None or t_us >= let_go:
            self._line(let_go, "motion  0 0 0  0 0 0   # silent for the motion timeout: let go")
            self._held = None

    def add(self, event: DeviceEvent) -> None:
        if event.kind not in ("motion", "press", "release"):
            return
        axes = tuple(min(1.0, max(-1.0, float(v))) for v in event.axes)
        if event.kind == "motion" and not any(axes) and (self._held is None or not any(self._held)):
            return  # still at rest: nothing to say, and the file starts with the first thing that happens
        t_us = self._time(event.t_ms)
        self._let_go_before(t_us)
        if event.kind == "motion":
            x, y, z, rx, ry, rz = (_deflection(v) for v in axes)
            self._line(t_us, f"motion  {x} {y} {z}  {rx} {ry} {rz}")
            self._held, self._held_us = axes, t_us
        else:
            self._line(t_us, f"{event.kind} {int(event.button)}")
        self.events += 1

    def finish(self, t_ms: float | None = None) -> None:
        """Ends the file: lets go of a held deflection and writes `end` (at t_ms, if later)."""
        self._let_go_before(None)
        end_us = self._last_us if t_ms is None or self._t0_ms is None else self._time(t_ms)
        self._line(end_us, "end")
