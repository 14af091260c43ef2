"""A fake hidraw tree for the library's direct HID source (ZIBREL_HID_ROOT).

Under the root, sys/class/hidraw/hidrawN/device holds the report descriptor
(and a uevent with the device's name and ids); dev/hidrawN is a FIFO (reports
back to back, each as long as the descriptor says) or a SOCK_SEQPACKET socket
(one report per packet, so reports of the wrong length can be sent).
"""

import os
import shutil
import socket
import struct
import threading

from unix_server import UnixServer


# Short items of a report descriptor: type 0 main, 1 global, 2 local.
def item(kind, tag, value=None, size=None):
    if value is None:
        return bytes([(tag << 4) | (kind << 2)])
    if size is None:
        size = 1 if -128 <= value <= 127 else 2 if -32768 <= value <= 32767 else 4
    code = 3 if size == 4 else size
    return bytes([(tag << 4) | (kind << 2) | code]) + (value & ((1 << (8 * size)) - 1)).to_bytes(size, "little")


def usage_page(p): return item(1, 0x0, p)
def logical(lo, hi): return item(1, 0x1, lo) + item(1, 0x2, hi)
def report_size(n): return item(1, 0x7, n)
def report_id(n): return item(1, 0x8, n)
def report_count(n): return item(1, 0x9, n)
def usage(u): return item(2, 0x0, u)
def usage_range(lo, hi): return item(2, 0x1, lo) + item(2, 0x2, hi)
def input_(flags): return item(0, 0x8, flags)
def collection(kind): return item(0, 0xA, kind)
def end_collection(): return item(0, 0xC)


VARIABLE, CONSTANT = 2, 1
X, RX = 0x30, 0x33


def multi_axis(*body):
    return usage_page(1) + usage(8) + collection(1) + b"".join(body) + end_collection()


def three_axes(first):
    return (usage_page(1) + usage(first) + usage(first + 1) + usage(first + 2) + logical(-350, 350)
            + report_size(16) + report_count(3) + input_(VARIABLE))


def buttons(n, pad):
    d = usage_page(9) + usage_range(1, n) + logical(0, 1) + report_size(1) + report_count(n) + input_(VARIABLE)
    if pad:
        d += report_size(pad) + report_count(1) + input_(CONSTANT)
    return d


class Layout:
    """A descriptor and how reports of it are made: `motion(x..rz)` gives the
    reports carrying the six axes (raw values, full deflection 350), `buttons(mask)`
    the report carrying the buttons."""

    def __init__(self, name, descriptor, motion, buttons):
        self.name, self.descriptor, self._motion, self._buttons = name, descriptor, motion, buttons

    def motion(self, x=0, y=0, z=0, rx=0, ry=0, rz=0):
        return self._motion((x, y, z), (rx, ry, rz))

    def buttons(self, mask):
        return self._buttons(mask)

    def __repr__(self):
        return self.name


def _h(*values):
    return struct.pack(f"<{len(values)}h", *values)


# Translation and rotation in separate reports, buttons in a third.
SEPARATE = Layout(
    "separate_reports",
    multi_axis(report_id(1), three_axes(X), report_id(2), three_axes(RX), report_id(3), buttons(2, 6)),
    lambda t, r: [b"\x01" + _h(*t), b"\x02" + _h(*r)],
    lambda mask: [b"\x03" + bytes([mask])])

# All six axes in one report; the buttons as a bitmap in a report of their own.
SIX_IN_ONE = Layout(
    "six_axes_in_one_report",
    multi_axis(report_id(1), three_axes(X), usage(RX), usage(RX + 1), usage(RX + 2), report_count(3),
               input_(VARIABLE), report_id(3), buttons(16, 0)),
    lambda t, r: [b"\x01" + _h(*t, *r)],
    lambda mask: [b"\x03" + struct.pack("<H", mask)])

# No report ids: one report holds the axes and the buttons.
UNNUMBERED = Layout(
    "one_unnumbered_report",
    multi_axis(usage_page(1), usage_range(X, X + 5), logical(-350, 350), report_size(16), report_count(6),
               input_(VARIABLE), buttons(2, 6)),
    None, None)


class _Unnumbered:
    """Axes and buttons share a report: each report repeats the other's last state."""

    def __init__(self):
        self.axes, self.mask = (0,) * 6, 0

    def motion(self, t, r):
        self.axes = (*t, *r)
        return [_h(*self.axes) + bytes([self.mask])]

    def buttons(self, mask):
        self.mask = mask
        return [_h(*self.axes) + bytes([mask])]


LAYOUTS = [SEPARATE, SIX_IN_ONE, UNNUMBERED]


class _Readers(UnixServer):
    """The socket node: every reader that connects joins `clients`."""

    def __init__(self, path, lock, clients):
        self._lock, self._clients = lock, clients
        super().__init__(path, socket.SOCK_SEQPACKET, backlog=8)

    def on_client(self, client):
        with self._lock:
            self._clients.append(client)


class FakeHidraw:
    """hidrawN under `root`; `kind` "fifo" or "socket"."""

    def __init__(self, root, number, layout, kind="fifo", name="Test multi-axis controller",
                 hid_id="0003:00001234:0000ABCD", descriptor=None):
        self.root, self.number, self.layout, self.kind = str(root), number, layout, kind
        self.name, self.hid_id = name, hid_id
        self.descriptor = layout.descriptor if descriptor is None else descriptor
        self.sys_dir = os.path.join(self.root, "sys/class/hidraw", f"hidraw{number}")
        self.node = os.path.join(self.root, "dev", f"hidraw{number}")
        if layout is UNNUMBERED:
            state = _Unnumbered()
            self._motion, self._buttons = state.motion, state.buttons
        else:
            self._motion, self._buttons = layout._motion, layout._buttons
        self._fd = None
        self._server = None
        self._clients = []
        self._lock = threading.Lock()
        self.plug()

    # plugging
    def plug(self):
        os.makedirs(os.path.join(self.sys_dir, "device"), exist_ok=True)
        with open(os.path.join(self.sys_dir, "device", "report_descriptor"), "wb") as f:
            f.write(self.descriptor)
        with open(os.path.join(self.sys_dir, "device", "uevent"), "w") as f:
            f.write(f"DRIVER=hid-generic\nHID_ID={self.hid_id}\nHID_NAME={self.name}\n")
        os.makedirs(os.path.dirname(self.node), exist_ok=True)
        if self.kind == "fifo":
            os.mkfifo(self.node)
            # Read and write: never blocks, and the reader never sees the writer go.
            self._fd = os.open(self.node, os.O_RDWR | os.O_NONBLOCK)
        else:
            self._server = _Readers(self.node, self._lock, self._clients)

    def unplug(self):
        shutil.rmtree(self.sys_dir, ignore_errors=True)
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        if self._server is not None:
            self._server.stop()
            self._server = None
            with self._lock:
                for c in self._clients:
                    c.close()
                self._clients.clear()
        os.unlink(self.node)

    def readers(self):
        with self._lock:
            return len(self._clients)

    # reports
    def send(self, reports):
        for r in reports:
            if self._fd is not None:
                os.write(self._fd, r)
            else:
                with self._lock:
                    clients = list(self._clients)
                for c in clients:
                    c.send(r)

    def motion(self, **axes):
        self.send(self._motion(*_split(axes)))

    def press(self, mask):
        self.send(self._buttons(mask))


def _split(axes):
    return (tuple(axes.get(k, 0) for k in ("x", "y", "z")), tuple(axes.get(k, 0) for k in ("rx", "ry", "rz")))
