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


def text_answer(function: ctypes._CFuncPtr, *args: object, path: str | None, what: str,  # type: ignore[name-defined]
                beyond: str, limit: int = 16 << 20) -> str:
    """The text a library function writes after `args` into (buf, len), NUL-terminated, returning
    its full length: asked again with a larger buffer until the whole text fits.

    ValueError, a sentence naming the library at `path` and `what` it answered, when the length
    is beyond `limit` (a library answering more is broken, not busy; `beyond` says why) or keeps
    growing.
    """
    size = 4096
    # What the library describes can change between two calls: grow until the whole text fits.
    for _ in range(8):
        buf = ctypes.create_string_buffer(size)
        length = function(*args, buf, size)
        if length < size:
            return buf.raw[:length].decode("utf-8", errors="replace")
        if length > limit:
            raise ValueError(f"The navigation library {path} answered {length} bytes of {what}, {beyond}.")
        size = length + 1 + 1024
    raise ValueError(f"The navigation library {path} kept answering more {what} than it said it would.")
def version() -> str | None:
    """The loaded library's version (its zbx_version), or None: no library, or one older than the query."""
    query = function("zbx_version")
    if query is None:
        return None
    query.restype = ctypes.c_char_p
    query.argtypes = []
    text = query()
    return None if text is None else text.decode("utf-8", errors="replace")
