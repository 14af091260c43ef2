"""Tick a navigator from a Qt event loop, waking only when the device has something.

    from pyzibrel.qt import Ticker

    ticker = Ticker(navigator)        # on the Qt thread, after the QApplication exists

A `QSocketNotifier` waits on `navigator.input_fd()`; when input arrives, the
notifier is disabled and a `QTimer` ticks the navigator every `period_ms` until
`navigator.wants_frames` turns false, then the notifier waits again. Without an
input descriptor (an older library) the timer ticks all the time. Closing the
navigator stops the ticker (and `ticker.stop()` can be called at any time).

Qt comes through qtpy, so PyQt5, PyQt6, PySide2 or PySide6 all work.
"""
from __future__ import annotations

import sys
import traceback
from typing import Any, Optional

try:
    from qtpy.QtCore import QSocketNotifier, QTimer  # type: ignore[import-not-found,unused-ignore]
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(f"pyzibrel.qt needs qtpy and a Qt binding ({exc}); install them with "
                      f"`pip install qtpy PyQt5`") from exc

from .navigator import Navigator

__all__ = ["DEFAULT_PERIOD_MS", "Ticker"]

# A little faster than 60 Hz, so a sample waits at most one period.
DEFAULT_PERIOD_MS = 16


class Ticker:
    """Calls `navigator.tick()` from Qt's event loop while the view moves or input waits."""

    def __init__(self, navigator: Navigator, period_ms: int = DEFAULT_PERIOD_MS, parent: Optional[Any] = None,
                 start: bool = True) -> None:
        if isinstance(period_ms, bool) or not isinstance(period_ms, int) or period_ms < 1:
            raise ValueError(f"expected a timer period in milliseconds, an int of 1 or more, got {period_ms!r}")
        self.navigator: Optional[Navigator] = navigator
        self.period_ms = period_ms
        self.ticks = 0
        self._timer = QTimer(parent)
        self._timer.setInterval(period_ms)
        self._timer.timeout.connect(self._frame)
        fd = navigator.input_fd()
        self._notifier: Optional[Any] = None
        if fd is not None:
            # PyQt6's stubs ask for a sip.voidptr; the descriptor as an int works in every binding.
            read = QSocketNotifier.Type.Read
            self._notifier = QSocketNotifier(fd, read, parent)  # type: ignore[call-overload,unused-ignore]
            self._notifier.setEnabled(False)
            self._notifier.activated.connect(self._wake)
        on_close = getattr(navigator, "on_close", None)
        if callable(on_close):
            on_close(self.stop)
        if start:
            self.start()

    @property
    def active(self) -> bool:
        """Waiting for input or ticking: not stopped."""
        return self.navigator is not None

    @property
    def ticking(self) -> bool:
        """The timer runs: the view moves or input waits."""
        return bool(self._timer.isActive())

    def start(self) -> None:
        if self.navigator is None:
            raise RuntimeError("the ticker was stopped (its navigator closed)")
        if self._notifier is None:
            self._timer.start()
        else:
            # A tick right away: input that arrived before the notifier existed is not missed.
            self._wake()

    def stop(self) -> None:
        """Stop ticking and waiting; safe to repeat."""
        self.navigator = None
        self._timer.stop()
        if self._notifier is not None:
            self._notifier.setEnabled(False)

    def _wake(self, *_: Any) -> None:
        if self.navigator is None:
            return
        if self._notifier is not None:
            self._notifier.setEnabled(False)
        if not self._timer.isActive():
            self._timer.start()

    def _frame(self) -> None:
        navigator = self.navigator
        if navigator is None:
            return
        if not navigator.enabled:
            self.stop()
            return
        # An exception escaping a Qt slot ends some bindings' processes: report it here instead.
        try:
            navigator.tick()
            self.ticks += 1
            idle = not navigator.wants_frames
        except Exception:
            sys.stderr.write(f"pyzibrel: a tick from the Qt timer failed:\n{traceback.format_exc().rstrip()}\n")
            idle = True
        if idle and self._notifier is not None and self.navigator is not None:
            self._timer.stop()
            self._notifier.setEnabled(True)

