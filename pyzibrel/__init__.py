"""Friendly layer over the compiled `_pyzibrel` module: numpy conversions, camera helpers,
`Navigator`, a ready navigation model driven by a small `Viewer` interface, and
`devices()`, what the navigation library sees of the 3D mice."""
from __future__ import annotations

from importlib import metadata as _metadata

from . import camera, convert
from .camera import (extents_from_parallel_scale, horizontal_fov, look_at_from_matrix, look_at_matrix,
                     parallel_scale_from_extents, vertical_fov, view_command, world_axes)
from .devices import DeviceInfo, Monitor, MonitorError, devices, monitor
from .convert import to_box, to_frustum, to_matrix, to_numpy, to_plane, to_point, to_vector
from ._viewer_support import UpAxisWarning
from .navigator import Command, CommandCategory, CommandSet, Navigator, Viewer

# pyproject.toml holds the version; the installed metadata carries it here.
try:
    __version__ = _metadata.version("pyzibrel")
except _metadata.PackageNotFoundError:  # a source tree on sys.path that was never installed
    __version__ = "unknown"

__all__ = [
    "Command",
    "CommandCategory",
    "CommandSet",
    "DeviceInfo",
    "Monitor",
    "MonitorError",
    "Navigator",
    "UpAxisWarning",
    "Viewer",
    "camera",
    "convert",
    "devices",
    "extents_from_parallel_scale",
    "horizontal_fov",
    "look_at_from_matrix",
    "look_at_matrix",
    "monitor",
    "parallel_scale_from_extents",
    "to_box",
    "to_frustum",
    "to_matrix",
    "to_numpy",
    "to_plane",
    "to_point",
    "to_vector",
    "vertical_fov",
    "view_command",
    "world_axes",
]
