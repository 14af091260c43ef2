"""The navigation library that `_pyzibrel` loaded, for what it offers beyond the entry points."""
from __future__ import annotations

import ctypes
import functools
import os
import re

LIBRARY_NAME = "libQorZibrel.so"


@functools.cache
def library() -> ctypes.CDLL | None:
    """The library the module loaded at import, or None when it found none.

    dlopen by the same name returns the object already loaded (it matches the
    soname), so this never loads a second copy beside the module's.
    """
    import _pyzibrel  # noqa: F401  (its import performs the load)

    try:
        return ctypes.CDLL(LIBRARY_NAME, mode=os.RTLD_NOLOAD | ctypes.RTLD_GLOBAL)
    except OSError:
        return None


def library_path() -> str | None:
    """The file the loaded library came from, or None."""
    if library() is None:
        return None
    pattern = re.compile(r"\s(/\S*/" + re.escape(LIBRARY_NAME) + r")$")
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        for line in maps:
            match = pattern.search(line.rstrip("\n"))
            if match:
                return match.group(1)
    return None


def function(name: str) -> ctypes._CFuncPtr | None:  # type: ignore[name-defined]
    """An exported function of the loaded library, or None (no library, or an older one)."""
    lib = library()
    if lib is None:
        return None
    try:
        return getattr(lib, name)
    except AttributeError:
        return None


def version() -> str | None:
    """The loaded library's version (its zbx_version), or None: no library, or one older than the query."""
    query = function("zbx_version")
    if query is None:
        return None
    query.restype = ctypes.c_char_p
    query.argtypes = []
    text = query()
    return None if text is None else text.decode("utf-8", errors="replace")
