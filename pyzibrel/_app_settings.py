"""The application's settings for the navigation library, given in code.

A mapping from the settings file's keys to values (str, numbers, bools) becomes
the settings file's text and is handed to the library for the next connection
the calling thread opens under a profile (`zbx_application_settings`). The
library checks it with the same parser as a settings file and applies it over
its defaults and under the user's settings file and the environment.
"""
from __future__ import annotations

import ctypes
import math
import numbers
import sys
from collections.abc import Mapping
from typing import Optional, Union

from . import _library

SettingValue = Union[str, bool, int, float]

_ERROR_LENGTH = 4096
_told_missing = False


def settings_text(settings: Optional[Mapping[str, SettingValue]]) -> str:
    """The settings file's text for a mapping; ValueError naming the key that cannot be written."""
    if settings is None:
        return ""
    if not isinstance(settings, Mapping):
        raise ValueError(f"settings must be a mapping from setting names to values, not {type(settings).__name__}")
    lines = []
    for key, value in settings.items():
        if not isinstance(key, str) or not key or any(c in key for c in "=#\n\r\0") or key != key.strip():
            raise ValueError(f"setting {key!r}: not a setting name (e.g. 'lock-horizon', 'button.0')")
        if isinstance(value, bool):
            text = "on" if value else "off"
        elif isinstance(value, numbers.Real):
            number = float(value)
            if not math.isfinite(number):
                raise ValueError(f"setting {key!r}: {value!r} is not a finite number")
            text = str(value) if isinstance(value, numbers.Integral) else repr(number)
        elif isinstance(value, str):
            if any(c in value for c in "#\n\r\0"):
                raise ValueError(f"setting {key!r}: the value {value!r} holds '#', a line break or a NUL")
            text = value.strip()
        else:
            raise ValueError(f"setting {key!r}: expected a str, a number or a bool, got {type(value).__name__}")
        lines.append(f"{key} = {text}\n")
    return "".join(lines)


def _entry() -> Optional[ctypes._CFuncPtr]:  # type: ignore[name-defined]
    fn = _library.function("zbx_application_settings")
    if fn is not None:
        fn.restype = ctypes.c_int
        fn.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
    return fn


def give(profile: str, text: str) -> None:
    """Hand `text` to the library for this thread's next connection under `profile` ("" withdraws it).

    ValueError names the faulty keys. A library without the entry (none loaded, or an
    older one) takes no settings: one line on standard error says so when there were any.
    """
    global _told_missing
    fn = _entry()
    if fn is None:
        if text and not _told_missing:
            _told_missing = True
            sys.stderr.write("pyzibrel: the navigation library takes no application settings "
                             "(none is loaded, or an older one); the settings given in code do not apply\n")
        return
    error = ctypes.create_string_buffer(_ERROR_LENGTH)
    result = fn(profile.encode("utf-8", "replace"), text.encode("utf-8", "replace") if text else None,
                error, len(error))
    if result != 0:
        raise ValueError(error.value.decode("utf-8", "replace") or f"settings refused (code {result})")


def check(profile: str, text: str) -> None:
    """Raise ValueError for settings the library would refuse; keeps nothing."""
    if not text or _entry() is None:  # told when navigation is enabled
        return
    give(profile, text)
    give(profile, "")
