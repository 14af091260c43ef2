"""Memory kept per connection cycle: what opening and closing a connection of
our navigation library leaves behind.

    LD_LIBRARY_PATH=build/bench/qorzibrel/test-variant .venv/bin/python bench/connection_memory.py [cycles]

Each mode runs 1,000 cycles to warm up (allocator pools, the closed
connections the library keeps for inspection), then `cycles` (10,000 by
default) more, and prints the growth per cycle of
- rss:  resident memory (/proc/self/statm), everything the process holds;
- heap: bytes in use by malloc (mallinfo2), the native part alone.
A leak shows as a steady growth per cycle; 0 or a few bytes is noise.

Modes:
    library                     ZbCreate/ZbClose straight into the library (no module)
    enable_disable              one model, _enable_navigation(True) then (False)
    enable_disable_commands     the same, publishing a small command set each time
    create_destroy              a new model per cycle, enabled, then dropped
    create_destroy_commands     the same with a command set
Last, the library's count of connection objects still alive, after its
closed-connection record is cleared: 0 when every closed connection was freed.
That count comes from the control interface of the library's test variant
(./dev bench builds it in build/bench).
"""

import ctypes
import gc
import os
import sys

import _pyzibrel
from pyzibrel import _library

CYCLES = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
WARM_UP = 1_000
PAGE = os.sysconf("SC_PAGE_SIZE")

lib = _library.library()
if lib is None or not hasattr(lib, "zbctl_live_connections"):
    sys.exit("connection_memory: the navigation library the module loaded has no control interface: put its test "
             "variant first, LD_LIBRARY_PATH=build/bench/qorzibrel/test-variant (./dev bench builds it)")
lib.zbctl_live_connections.restype = ctypes.c_int64
lib.zbctl_open_connections.restype = ctypes.c_int
lib.ZbCreate.restype = ctypes.c_int32
lib.ZbClose.restype = ctypes.c_int32
lib.ZbClose.argtypes = [ctypes.c_uint64]


class Options(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("multi_threaded", ctypes.c_bool), ("flags", ctypes.c_uint32)]


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def heap():
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


class Model(_pyzibrel.ZibrelNavigationModel):
    pass


def publish_commands(model):
    model._begin_command_set("bench.set", "Bench")
    model._create_command("bench.fit", "Fit", "Fits the view")
    model._begin_command_category("bench.views", "Views")
    for name in ("front", "top", "iso"):
        model._create_command(f"bench.{name}", name.title(), f"The {name} view")
    model._end_command_category()
    model._end_command_set()


def library_cycle(state):
    handle = ctypes.c_uint64()
    options = Options(12, False, 0)
    if lib.ZbCreate(ctypes.byref(handle), b"bench", None, ctypes.c_size_t(0), ctypes.byref(options)) != 0:
        raise RuntimeError("ZbCreate refused")
    lib.ZbClose(handle.value)


def enable_disable(state, commands=False):
    model = state.setdefault("model", Model(False, 0))
    model._put_profile_hint("bench")
    model._enable_navigation(True)
    if commands:
        publish_commands(model)
    model._enable_navigation(False)


def create_destroy(state, commands=False):
    model = Model(False, 0)
    model._put_profile_hint("bench")
    model._enable_navigation(True)
    if commands:
        publish_commands(model)
    del model


MODES = {
    "library": library_cycle,
    "enable_disable": enable_disable,
    "enable_disable_commands": lambda state: enable_disable(state, True),
    "create_destroy": create_destroy,
    "create_destroy_commands": lambda state: create_destroy(state, True),
}


def measure(cycle):
    state = {}
    for _ in range(WARM_UP):
        cycle(state)
    gc.collect()
    rss0, heap0 = rss(), heap()
    for _ in range(CYCLES):
        cycle(state)
    gc.collect()
    return (rss() - rss0) / CYCLES, (heap() - heap0) / CYCLES


def main():
    for var in ("ZIBREL_DEVICE", "ZIBREL_CONFIG"):
        os.environ.pop(var, None)
    print(f"{'mode':<26} {'rss B/cycle':>12} {'heap B/cycle':>13}   ({CYCLES} cycles after {WARM_UP})")
    for name, cycle in MODES.items():
        per_rss, per_heap = measure(cycle)
        print(f"{name:<26} {per_rss:>12.1f} {per_heap:>13.1f}", flush=True)
    lib.zbctl_reset()
    gc.collect()
    print(f"connection objects alive after closing all and zbctl_reset: {lib.zbctl_live_connections()}"
          f" (open: {lib.zbctl_open_connections()})")


if __name__ == "__main__":
    main()
