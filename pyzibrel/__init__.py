"""Friendly layer over the compiled `_pyzibrel` module."""
from __future__ import annotations

from .devices import DeviceInfo, Monitor, MonitorError, devices, monitor  # noqa: F401

__all__: list[str] = []
