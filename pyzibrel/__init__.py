"""Friendly layer over the compiled `_pyzibrel` module."""
from __future__ import annotations

__all__: list[str] = []
