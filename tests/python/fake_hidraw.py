"""A fake hidraw tree for ZIBREL_HID_ROOT: a multi-axis controller whose node is a FIFO.

    root/sys/class/hidraw/hidraw0/device/report_descriptor   the descriptor bytes
    root/sys/class/hidraw/hidraw0/device/uevent              HID_NAME, HID_ID
    root/dev/hidraw0                                         a FIFO the test writes reports into

The descriptor: report 1 holds all six axes (16 bits, -350..350), report 3 a
bitmap of two buttons.
"""

import errno
import os
import pathlib
import struct
import time

FULL = 350
NAME = "Fake Six-Axis Cap"


def _item(kind, tag, value, size=None):
    if size is None:
        size = 1 if -128 <= value <= 127 else 2
    data = value.to_bytes(size, "little", signed=value < 0) if size else b""
    return bytes([(tag << 4) | (kind << 2) | size]) + data


def _main(tag, v, size=None): return _item(0, tag, v, size)
def _global(tag, v, size=None): return _item(1, tag, v, size)
def _local(tag, v, size=None): return _item(2, tag, v, size)


DESCRIPTOR = b"".join([
    _global(0x0, 1), _local(0x0, 8), _main(0xA, 1),  # Generic Desktop, Multi-axis Controller, application
    _global(0x8, 1),  # report 1: X Y Z Rx Ry Rz
    _local(0x1, 0x30), _local(0x2, 0x35),
    _global(0x1, -FULL), _global(0x2, FULL), _global(0x7, 16), _global(0x9, 6), _main(0x8, 2),
    _global(0x8, 3),  # report 3: two buttons and padding
    _global(0x0, 9), _local(0x1, 1), _local(0x2, 2),
    _global(0x1, 0), _global(0x2, 1), _global(0x7, 1), _global(0x9, 2), _main(0x8, 2),
    _global(0x7, 6), _global(0x9, 1), _main(0x8, 1),
    _main(0xC, 0, 0),
])


def make_tree(root, name=NAME, index=0):
    """The tree with one device; returns the node's path."""
    root = pathlib.Path(root)
    device = root / "sys/class/hidraw" / f"hidraw{index}" / "device"
    device.mkdir(parents=True)
    (device / "report_descriptor").write_bytes(DESCRIPTOR)
    (device / "uevent").write_text(f"HID_ID=0003:0000F00D:0000CAFE\nHID_NAME={name}\n")
    (root / "dev").mkdir(exist_ok=True)
    node = root / "dev" / f"hidraw{index}"
    os.mkfifo(node)
    return node


def motion_report(x=0, y=0, z=0, rx=0, ry=0, rz=0):
    """Report 1; values in device units, -350..350."""
    return struct.pack("<B6h", 1, x, y, z, rx, ry, rz)


def buttons_report(*pressed):
    return bytes([3, sum(1 << b for b in pressed)])


def fraction(value):
    """The deflection the library makes of a device value (as its logical range goes)."""
    return value / FULL


def open_writer(node, timeout=20.0):
    """The FIFO's write end, once the library reads it (a FIFO opens for writing only then)."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            fd = os.open(node, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno != errno.ENXIO or time.monotonic() > deadline:
                raise
            time.sleep(0.01)
            continue
        os.set_blocking(fd, True)
        return fd
