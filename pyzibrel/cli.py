"""`python -m pyzibrel`: which 3D mouse the navigation library sees, its live input, and recordings.

    python -m pyzibrel status [--json]        the library, the settings file, each source and device,
                                              the problems found; exit status 1 when no device can be used
    python -m pyzibrel monitor [--seconds N] [--no-wait]
                                              live axes and buttons (waits for a device unless --no-wait)
    python -m pyzibrel record FILE [--seconds N] [--motion-timeout MS] [--no-wait]
                                              a device file of live input, to replay with ZIBREL_DEVICE=file:FILE;
                                              exit status 3 when the file could not be written whole
    python -m pyzibrel --version              the package's version, the navigation library in use and its version

Exit status 2 is a usage error (or a FILE that cannot be written at all).
"""
from __future__ import annotations

import argparse
import collections
import datetime
import json
import os
import pathlib
import signal
import stat
import sys
import threading
import time
from collections.abc import Callable, Sequence
from types import FrameType

from rich.console import Console, ConsoleOptions, Group, RenderResult
from rich.live import Live
from rich.markup import escape
from rich.table import Table
from rich.text import Text

from . import __version__, _library
from .devices import (AXIS_NAMES, DeviceEvent, DeviceFileWriter, DeviceInfo, MonitorError, Source, devices, monitor,
                      settings)

EXIT_OK, EXIT_NO_DEVICE, EXIT_USAGE, EXIT_NOT_WRITTEN = 0, 1, 2, 3


class _OutputClosed(Exception):
    """Whoever read the standard output stopped reading (`| head`): the output ends quietly."""


def _discard(stream: object) -> None:
    """What is still written to `stream` goes nowhere, so that nothing fails on it at exit either."""
    fileno = getattr(stream, "fileno", None)
    if fileno is None:
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fileno())
    except (OSError, ValueError):
        pass
    finally:
        os.close(devnull)


class _Console(Console):
    def on_broken_pipe(self) -> None:
        # rich's own exits with status 1, which is ours for "no device". Raised on the main
        # thread only: a live display also writes from a thread of its own, and ends with `quiet`.
        self.quiet = True
        _discard(self.file)
        if not self.stderr and threading.current_thread() is threading.main_thread():
            raise _OutputClosed


def _console(stderr: bool = False) -> Console:
    # soft_wrap: a long path stays on one line, whole, for whoever greps the output.
    return _Console(stderr=stderr, soft_wrap=True, highlight=False)


def _describe(source: Source, device_name: str, path: str | None) -> str:
    return f"{device_name} ({source.source}{', ' + path if path else ''})"


def usable_devices(info: DeviceInfo) -> list[str]:
    """The devices that can be used, each as "name (source, path)"."""
    return [_describe(s, d.name, d.path) for s, d in info.connected]


# ---------------------------------------------------------------- status


def _source_state(source: Source, problems: Sequence[str] = ()) -> str:
    if not source.available:
        return "[red]not available[/]" + (" (see the problems below)" if source.problem in problems else "")
    present = [d for d in source.devices if d.connected]
    if source.source == "spacenavd":
        state = "the daemon is running"
        return state + (f", {len(present)} device(s)" if present else ", [yellow]but it has no device[/]")
    if not source.devices:
        return "[yellow]available, no device found[/]"
    return f"available, {len(present)} of {len(source.devices)} device(s) connected"


def print_status(info: DeviceInfo, console: Console) -> None:
    console.print(f"[bold]Navigation library:[/] {escape(info.library or 'none loaded')}")
    settings = info.settings_file or "none (ZIBREL_CONFIG is not set)"
    console.print(f"[bold]Settings file:[/] {escape(settings)}")
    if info.device_setting is not None:
        console.print(f"[bold]Device setting:[/] {escape(info.device_setting)}")
    if info.sources:
        console.print("[bold]Sources:[/]")
    elif info.device_setting is None:  # the library could not be asked
        console.print("[bold]Sources:[/] unknown")
    else:
        console.print("[bold]Sources:[/] none configured")
    for source in info.sources:
        path = f" {escape(source.path)}" if source.path else ""
        console.print(f"  [bold]{escape(source.source)}[/]{path}: {_source_state(source, info.problems)}")
        for d in source.devices:
            if d.problem:
                state = "[red]cannot be used[/] (see the problems below)"
            elif d.connected:
                state = "[green]connected[/]"
            else:
                state = "not connected"
            where = f" at {escape(d.path)}" if d.path else ""
            console.print(f"    - {escape(d.name)}{where}, {d.axes} axes, {d.buttons} buttons: {state}")
    if info.problems:
        console.print("[bold]Problems:[/]")
        for problem in info.problems:
            console.print(f"  - {escape(problem)}")
    ready = usable_devices(info)
    if info.usable and ready:
        console.print(f"[green]Ready[/]: input comes from {escape(', '.join(ready))}.")
    elif info.usable:
        console.print("[green]Ready[/]: a device can be used.")
    else:
        console.print("[red]No device can be used.[/]")


def cmd_status(args: argparse.Namespace) -> int:
    info = devices()
    try:
        if args.json:
            print(json.dumps(info.to_dict(), indent=2))
            sys.stdout.flush()
        else:
            print_status(info, _console())
    except (BrokenPipeError, _OutputClosed):
        _discard(sys.stdout)
    # What was asked about, however much of the answer was read.
    return EXIT_OK if info.usable else EXIT_NO_DEVICE


# ---------------------------------------------------------------- monitor


BAR_HALF = 20  # characters each side of the centre, where the terminal is wide enough
# An axis row is its name, the bar and the value: "rz [   |   ] +0.000".
_ROW_EXTRA = len("rz ") + len("[|]") + len(" +0.000")


def deflection_bar(value: float, half: int = BAR_HALF) -> Text:
    """A bar centred on zero, `half` cells each side, filled towards the value's side; value in [-1, 1]."""
    value = max(-1.0, min(1.0, value))
    cells = round(abs(value) * half)
    left = " " * (half - cells) + "█" * cells if value < 0 else " " * half
    right = "█" * cells + " " * (half - cells) if value > 0 else " " * half
    bar = Text("[")
    bar.append(left, style="cyan")
    bar.append("|")
    bar.append(right, style="cyan")
    bar.append("]")
    return bar


class MonitorView:
    """What `monitor` shows: the latest deflection, the buttons held, counts."""

    def __init__(self) -> None:
        self.axes = [0.0] * 6
        self.pressed: set[int] = set()
        self.last_button = "none"
        self.motions = 0
        self.buttons = 0

    def update(self, event: DeviceEvent) -> None:
        if event.kind == "motion":
            self.axes = list(event.axes)
            self.motions += 1
        else:
            self.buttons += 1
            (self.pressed.add if event.kind == "press" else self.pressed.discard)(event.button)
            self.last_button = f"{event.kind} {event.button}"

    def __rich_console__(self, console: Console, options: ConsoleOptions) -> RenderResult:
        # Narrow terminals get shorter bars: a wrapped row would break the live display.
        half = max(4, min(BAR_HALF, (options.max_width - _ROW_EXTRA) // 2))
        table = Table.grid(padding=(0, 1))
        for name, value in zip(AXIS_NAMES, self.axes):
            table.add_row(Text(f"{name:>2}"), deflection_bar(value, half), Text(f"{value:+.3f}"))
        held = " ".join(str(b) for b in sorted(self.pressed)) or "none"
        yield Group(table,
                    Text(f"buttons held: {held}   last: {self.last_button}"),
                    Text(f"events: {self.motions} motion, {self.buttons} button"))


def _input_from(info: DeviceInfo) -> str:
    ready = usable_devices(info)
    return "input from " + (", ".join(ready) if ready else "no device found yet")


WAIT_INTERVAL_S = 0.5  # how often a missing device is looked for again


def _open_monitor(err: Console, wait: bool = False, end: float | None = None,
                  stopped: Callable[[], bool] = lambda: False):
    """A monitor of the configured devices; with `wait`, looks again until one appears
    (or `end`, a time.monotonic(), passes, or `stopped()` turns true), saying once that it waits."""
    try:
        return monitor()
    except MonitorError as e:
        if not wait:
            err.print(f"[red]Cannot monitor the devices[/]: {escape(str(e))}")
            return None
        err.print(f"Waiting for a device ({escape(str(e))}); plug one in or start spacenavd. Ctrl-C stops.")
    try:
        while (end is None or time.monotonic() < end) and not stopped():
            time.sleep(WAIT_INTERVAL_S if end is None else max(0.0, min(WAIT_INTERVAL_S, end - time.monotonic())))
            try:
                return monitor()
            except MonitorError:
                continue
    except KeyboardInterrupt:
        return None
    if not stopped():
        err.print("[red]No device appeared[/] while waiting.")
    return None


def cmd_monitor(args: argparse.Namespace) -> int:
    err = _console(stderr=True)
    end = None if args.seconds is None else time.monotonic() + args.seconds
    mon = _open_monitor(err, wait=not args.no_wait, end=end)
    if mon is None:
        return EXIT_NO_DEVICE
    info = devices()
    stop = "" if args.seconds is None else f" for {args.seconds:g} s"
    out = _console()
    view = MonitorView()
    with mon:
        try:
            out.print(f"Monitoring {escape(_input_from(info))}{stop}; Ctrl-C stops.")
            with Live(view, console=out, refresh_per_second=20) as live:
                while (end is None or time.monotonic() < end) and not out.quiet:
                    wait = 0.05 if end is None else max(0.0, min(0.05, end - time.monotonic()))
                    for event in mon.read(wait):
                        view.update(event)
                    live.refresh()
        except (KeyboardInterrupt, _OutputClosed):  # stopped, or nobody looks any more
            pass
    return EXIT_OK


# ---------------------------------------------------------------- record


def target_problem(target: str) -> str | None:
    """Why a recording cannot go to `target`, or None."""
    if not target:
        return "the file name is empty"
    if os.path.isdir(target):
        return "it is a directory"
    if os.path.basename(target) in ("", ".", ".."):
        return "it names a directory"
    try:
        mode = os.stat(target).st_mode
    except OSError:
        return None  # not there yet: writing it tells
    if not stat.S_ISREG(mode):
        return "it is not a regular file"  # a recording must never take the place of a device or FIFO
    return None


class _StopSignals:
    """SIGINT, SIGTERM and SIGHUP end a recording as Ctrl-C does: the loop notices, and the file
    ends properly. A signal that was ignored when we started (nohup) stays ignored."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self) -> None:
        self.caught: int | None = None
        self._previous: dict[int, object] = {}

    def _catch(self, number: int, frame: FrameType | None) -> None:
        self.caught = number

    def __enter__(self) -> _StopSignals:
        for number in self.SIGNALS:
            previous = signal.getsignal(number)
            if previous is signal.SIG_IGN:
                continue
            self._previous[number] = previous
            signal.signal(number, self._catch)
        return self

    def __exit__(self, *exc: object) -> None:
        for number, previous in self._previous.items():
            signal.signal(number, previous)  # type: ignore[arg-type]


class _PartFile:
    """FILE.part, written in batches of whole lines. A write the file cannot take (a full disk)
    keeps every line written whole before it and nothing of the rest."""

    def __init__(self, path: pathlib.Path) -> None:
        self.path = path
        self.error: OSError | None = None
        self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
        self._pending: list[str] = []
        self._size = 0
        self._line_ends: collections.deque[int] = collections.deque(maxlen=256)  # of the last lines

    def write(self, text: str) -> None:
        self._pending.append(text)  # whole lines, from the header and the DeviceFileWriter

    def flush(self, whole: bool = False) -> bool:
        """Writes what is pending; False when the file cannot take it (the first error stays in
        `error`). `whole`: all of it or none of it."""
        data = "".join(self._pending).encode("utf-8")
        self._pending.clear()
        done = 0
        try:
            while done < len(data):
                done += os.write(self._fd, data[done:])
        except OSError as e:
            self.error = self.error or e
            self._keep(0 if whole else data.rfind(b"\n", 0, done) + 1, data)
            return False
        self._keep(len(data), data)
        return True

    def _keep(self, length: int, data: bytes) -> None:
        """The file ends after `length` bytes of `data`, which was written at its end."""
        at = data.find(b"\n", 0, length)
        while at >= 0:
            self._line_ends.append(self._size + at + 1)
            at = data.find(b"\n", at + 1, length)
        self._size += length
        self._cut()

    def _cut(self) -> None:
        try:
            os.ftruncate(self._fd, self._size)
            os.lseek(self._fd, self._size, os.SEEK_SET)
        except OSError:
            pass

    def end(self, keep_lines: int) -> bool:
        """Writes the pending ending whole. When the file cannot take it, the last lines (beyond the
        first `keep_lines`) give way to it, so that the file still ends as a device file must."""
        ending = self._pending[:]
        while True:
            self._pending = ending[:]
            if self.flush(whole=True):
                return True
            if len(self._line_ends) <= keep_lines:
                return False
            self._line_ends.pop()
            self._size = self._line_ends[-1] if self._line_ends else 0
            self._cut()

    def close(self) -> None:
        os.close(self._fd)


HEADER_LINES = 4


def cmd_record(args: argparse.Namespace) -> int:
    err = _console(stderr=True)
    why = target_problem(args.file)
    if why is not None:
        err.print(f"[red]Cannot record to '{escape(args.file)}'[/]: {escape(why)}.")
        return EXIT_USAGE
    path = pathlib.Path(args.file)
    # Written beside the file and put in its place at the end: a recording that
    # cannot start never truncates an older one, and a killed one stays as FILE.part.
    part_path = path.with_name(path.name + ".part")
    try:
        part = _PartFile(part_path)
    except OSError as e:
        # The user's path, not the file written on the way to it.
        err.print(f"[red]Cannot write {escape(str(path))}[/]: {escape(e.strerror or str(e))}")
        return EXIT_USAGE
    with _StopSignals() as stop:
        timeout = args.motion_timeout
        if timeout is None:
            # The library's own motion timeout: its settings file, read and parsed by the library.
            try:
                chosen = settings()
            except RuntimeError as e:
                err.print(f"[red]Cannot read the settings[/]: {escape(str(e))}")
                part.close()
                part_path.unlink(missing_ok=True)
                return EXIT_NO_DEVICE
            for problem in chosen.problems:
                err.print(f"[yellow]Settings[/]: {escape(problem)}")
            timeout = chosen.motion_timeout_ms
        end = None if args.seconds is None else time.monotonic() + args.seconds
        mon = _open_monitor(err, wait=not args.no_wait, end=end, stopped=lambda: stop.caught is not None)
        if mon is None:
            part.close()
            part_path.unlink(missing_ok=True)
            return EXIT_NO_DEVICE
        opened = time.monotonic()
        info = devices()  # after waiting: the device that came
        part.write(f"# Recorded by python -m pyzibrel record on {datetime.datetime.now():%Y-%m-%d %H:%M:%S}, "
                   f"{_input_from(info)}.\n"
                   f"# Replay: ZIBREL_DEVICE=file:{path.name}. Where the input went silent for the motion\n"
                   f"# timeout ({timeout:g} ms) the library let go, and so does the line of zeros there.\n"
                   "# seconds  event: motion x y z rx ry rz (fractions of full deflection), press N, release N\n")
        writer = DeviceFileWriter(part, timeout)
        with mon:
            wanted = "" if args.seconds is None else f" for {args.seconds:g} s"
            err.print(f"Recording {escape(_input_from(info))} to {escape(str(path))}{wanted}; Ctrl-C stops.")
            # Each pass writes what came: what was recorded survives a kill.
            while part.flush() and stop.caught is None and (end is None or time.monotonic() < end):
                wait = 0.1 if end is None else max(0.0, min(0.1, end - time.monotonic()))
                for event in mon.read(wait):
                    writer.add(event)
    stopped = time.monotonic() - opened
    # The monitor's clock started when it opened, just before `opened`; a held
    # deflection is let go, so that the replay stops where the recording did.
    writer.finish(stopped * 1000.0)
    ended = part.end(HEADER_LINES)
    part.close()
    try:
        part_path.replace(path)
    except OSError as e:
        err.print(f"[red]Cannot put {escape(str(part_path))} in place of {escape(str(path))}[/]: "
                  f"{escape(e.strerror or str(e))}")
        return EXIT_NOT_WRITTEN
    if part.error is not None:
        holds = ("what was recorded before it" if ended else
                 "what was recorded before it, but no ending: its replay keeps the last deflection")
        err.print(f"[red]Cannot write {escape(str(part_path))}[/]: {escape(part.error.strerror or str(part.error))}. "
                  f"The recording stopped after {stopped:.1f} s; {escape(str(path))} holds {holds}.")
        return EXIT_NOT_WRITTEN
    if writer.events == 0:
        err.print(f"[yellow]No input was recorded[/]; {escape(str(path))} holds only the end.")
    else:
        err.print(f"Recorded {writer.events} events to {escape(str(path))}.")
    return EXIT_OK


# ---------------------------------------------------------------- version


def version_text() -> str:
    """The package's version, then the navigation library in use (its file) and its version."""
    lines = [f"pyzibrel {__version__}"]
    try:
        loaded = _library.library() is not None
    except ImportError as e:
        return "\n".join(lines + [f"navigation library: none (the _pyzibrel module cannot be imported: {e})"])
    if not loaded:
        return "\n".join(lines + [f"navigation library: none ({_library.LIBRARY_NAME} was not found)"])
    path = _library.library_path() or _library.LIBRARY_NAME
    library_version = _library.version()
    if library_version is None:
        lines.append(f"navigation library {path}: version unknown (it has no zbx_version)")
    else:
        lines.append(f"navigation library {path}: version {library_version}")
    return "\n".join(lines)


class _VersionAction(argparse.Action):
    """--version, asked of the library only when given."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, help: str | None = None):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option_string: str | None = None) -> None:
        print(version_text())
        parser.exit()


# ---------------------------------------------------------------- entry


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None


def _seconds(text: str) -> float:
    value = _number(text)
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"'{text}' is not a number of seconds above 0")
    return value


def _timeout(text: str) -> float:
    # Checked by the library, as it checks the settings file's motion-timeout.
    try:
        chosen = settings({"motion-timeout": text})
    except RuntimeError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    if "motion-timeout" in chosen.refused:
        raise argparse.ArgumentTypeError(chosen.refused["motion-timeout"])
    return chosen.motion_timeout_ms


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m pyzibrel", description=__doc__.splitlines()[0],
                                epilog="The devices come from the environment: ZIBREL_DEVICE, ZIBREL_CONFIG, "
                                       "ZIBREL_HID_ROOT, SPNAV_SOCKET (see the README).")
    p.add_argument("--version", action=_VersionAction,
                   help="print the version, and the navigation library in use with its version")
    commands = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    status = commands.add_parser("status", help="what the navigation library sees; exit 1 when no device can be used")
    status.add_argument("--json", action="store_true", help="print the device information as JSON")
    status.set_defaults(run=cmd_status)
    mon = commands.add_parser("monitor", help="live axes and buttons")
    mon.add_argument("--seconds", type=_seconds, metavar="N", help="stop after N seconds (default: Ctrl-C)")
    mon.add_argument("--no-wait", action="store_true", help="exit with 1 at once when no device can be used "
                                                              "(default: wait for one)")
    mon.set_defaults(run=cmd_monitor)
    rec = commands.add_parser("record", help="write a device file from live input")
    rec.add_argument("file", metavar="FILE", help="the device file to write")
    rec.add_argument("--seconds", type=_seconds, metavar="N", help="stop after N seconds (default: Ctrl-C)")
    rec.add_argument("--motion-timeout", type=_timeout, metavar="MS",
                     help="the library's motion-timeout while recording (default: the settings file's, "
                          "else the library's default)")
    rec.add_argument("--no-wait", action="store_true", help="exit with 1 at once when no device can be used "
                                                              "(default: wait for one)")
    rec.set_defaults(run=cmd_record)
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    return args.run(args)
