"""`python -m pyzibrel`: which 3D mouse the navigation library sees, its live input, and recordings.

    python -m pyzibrel status [--json]        the library, the settings file, each source and device,
                                              the problems found; exit status 1 when no device can be used
    python -m pyzibrel monitor [--seconds N]  live axes and buttons
    python -m pyzibrel record FILE [--seconds N] [--motion-timeout MS]
                                              a device file of live input, to replay with ZIBREL_DEVICE=file:FILE
    python -m pyzibrel --version              the package's version, the navigation library in use and its version
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import pathlib
import time
from collections.abc import Sequence

from rich.console import Console, Group
from rich.live import Live
from rich.markup import escape
from rich.table import Table
from rich.text import Text

from . import __version__, _library
from .devices import (AXIS_NAMES, DEFAULT_MOTION_TIMEOUT_MS, DeviceEvent, DeviceFileWriter, DeviceInfo,
                      MonitorError, Source, devices, monitor)

EXIT_OK, EXIT_NO_DEVICE, EXIT_USAGE = 0, 1, 2


def _console(stderr: bool = False) -> Console:
    # soft_wrap: a long path stays on one line, whole, for whoever greps the output.
    return Console(stderr=stderr, soft_wrap=True, highlight=False)


def _describe(source: Source, device_name: str, path: str | None) -> str:
    return f"{device_name} ({source.source}{', ' + path if path else ''})"


def usable_devices(info: DeviceInfo) -> list[str]:
    """The devices that can be used, each as "name (source, path)"."""
    return [_describe(s, d.name, d.path) for s, d in info.connected]


# ---------------------------------------------------------------- status


def _source_state(source: Source) -> str:
    if not source.available:
        return "[red]not available[/]" + (" (see the problems below)" if source.problem else "")
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
        console.print(f"  [bold]{escape(source.source)}[/]{path}: {_source_state(source)}")
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
    if args.json:
        print(json.dumps(info.to_dict(), indent=2))
    else:
        print_status(info, _console())
    return EXIT_OK if info.usable else EXIT_NO_DEVICE


# ---------------------------------------------------------------- monitor


BAR_HALF = 20  # characters each side of the centre


def deflection_bar(value: float) -> Text:
    """A bar centred on zero, filled towards the value's side; value in [-1, 1]."""
    value = max(-1.0, min(1.0, value))
    cells = round(abs(value) * BAR_HALF)
    left = " " * (BAR_HALF - cells) + "█" * cells if value < 0 else " " * BAR_HALF
    right = "█" * cells + " " * (BAR_HALF - cells) if value > 0 else " " * BAR_HALF
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

    def __rich__(self) -> Group:
        table = Table.grid(padding=(0, 1))
        for name, value in zip(AXIS_NAMES, self.axes):
            table.add_row(Text(f"{name:>2}"), deflection_bar(value), Text(f"{value:+.3f}"))
        held = " ".join(str(b) for b in sorted(self.pressed)) or "none"
        return Group(table,
                     Text(f"buttons held: {held}   last: {self.last_button}"),
                     Text(f"events: {self.motions} motion, {self.buttons} button"))


def _input_from(info: DeviceInfo) -> str:
    ready = usable_devices(info)
    return "input from " + (", ".join(ready) if ready else "no device found yet")


def _open_monitor(err: Console):
    try:
        return monitor()
    except MonitorError as e:
        err.print(f"[red]Cannot monitor the devices[/]: {escape(str(e))}")
        return None


def cmd_monitor(args: argparse.Namespace) -> int:
    err = _console(stderr=True)
    info = devices()
    mon = _open_monitor(err)
    if mon is None:
        return EXIT_NO_DEVICE
    stop = "" if args.seconds is None else f" for {args.seconds:g} s"
    out = _console()
    out.print(f"Monitoring {escape(_input_from(info))}{stop}; Ctrl-C stops.")
    view = MonitorView()
    end = None if args.seconds is None else time.monotonic() + args.seconds
    with mon, Live(view, console=out, refresh_per_second=20) as live:
        try:
            while end is None or time.monotonic() < end:
                wait = 0.05 if end is None else max(0.0, min(0.05, end - time.monotonic()))
                for event in mon.read(wait):
                    view.update(event)
                live.refresh()
        except KeyboardInterrupt:
            pass
    return EXIT_OK


# ---------------------------------------------------------------- record


def settings_motion_timeout(path: str | None) -> float:
    """motion-timeout of a settings file (the last valid line wins, as in the library), else the default."""
    timeout = DEFAULT_MOTION_TIMEOUT_MS
    if not path:
        return timeout
    try:
        lines = pathlib.Path(path).read_text(encoding="utf-8", errors="replace").splitlines()
    except OSError:
        return timeout
    for line in lines:
        key, sep, value = line.split("#", 1)[0].partition("=")
        if sep and key.strip() == "motion-timeout":
            try:
                ms = float(value)
            except ValueError:
                continue
            if 1 <= ms <= 10000:
                timeout = ms
    return timeout


def cmd_record(args: argparse.Namespace) -> int:
    err = _console(stderr=True)
    path = pathlib.Path(args.file)
    # Written beside the file and put in its place at the end: a recording that
    # cannot start never truncates an older one, and a killed one stays as FILE.part.
    part = path.with_name(path.name + ".part")
    try:
        out = part.open("w", encoding="utf-8")
    except OSError as e:
        err.print(f"[red]Cannot write {escape(str(part))}[/]: {escape(e.strerror or str(e))}")
        return EXIT_USAGE
    info = devices()
    timeout = args.motion_timeout
    if timeout is None:
        timeout = settings_motion_timeout(info.settings_file or os.environ.get("ZIBREL_CONFIG"))
    mon = _open_monitor(err)
    if mon is None:
        out.close()
        part.unlink(missing_ok=True)
        return EXIT_NO_DEVICE
    opened = time.monotonic()
    end = None if args.seconds is None else opened + args.seconds
    with mon, out:
        out.write(f"# Recorded by python -m pyzibrel record on {datetime.datetime.now():%Y-%m-%d %H:%M:%S}, "
                  f"{_input_from(info)}.\n"
                  f"# Replay: ZIBREL_DEVICE=file:{path.name}. Where the input went silent for the motion\n"
                  f"# timeout ({timeout:g} ms) the library let go, and so does the line of zeros there.\n"
                  "# seconds  event: motion x y z rx ry rz (fractions of full deflection), press N, release N\n")
        writer = DeviceFileWriter(out, timeout)
        stop = "" if args.seconds is None else f" for {args.seconds:g} s"
        err.print(f"Recording {escape(_input_from(info))} to {escape(str(path))}{stop}; Ctrl-C stops.")
        try:
            while end is None or time.monotonic() < end:
                wait = 0.1 if end is None else max(0.0, min(0.1, end - time.monotonic()))
                for event in mon.read(wait):
                    writer.add(event)
                out.flush()  # what was recorded survives a kill
        except KeyboardInterrupt:
            pass
        # The monitor's clock started when it opened, just before `opened`.
        writer.finish((time.monotonic() - opened) * 1000.0)
    part.replace(path)
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
    value = _number(text)
    if not 1 <= value <= 10000:
        raise argparse.ArgumentTypeError(f"'{text}' is not a time from 1 to 10000 ms")
    return value


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
    mon.set_defaults(run=cmd_monitor)
    rec = commands.add_parser("record", help="write a device file from live input")
    rec.add_argument("file", metavar="FILE", help="the device file to write")
    rec.add_argument("--seconds", type=_seconds, metavar="N", help="stop after N seconds (default: Ctrl-C)")
    rec.add_argument("--motion-timeout", type=_timeout, metavar="MS",
                     help="the library's motion-timeout while recording (default: the settings file's, else 100)")
    rec.set_defaults(run=cmd_record)
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    return args.run(args)
