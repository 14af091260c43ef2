"""Threads and idle cost of open connections.

    threads_N        threads the process gains with N enabled models (library timing,
                     live sources on: ZIBREL_DEVICE=auto over an empty HID tree); floor 1
    idle_wakeups     wake-ups per second of the library's threads with 100 models open
                     and idle (context switches of every thread but the main one); floor 0
    idle_tick_us     an idle Navigator.tick() with application timing, per call
    empty_loop_us    the same loop calling an empty Python function instead (the floor)
"""

import os
import sys
import tempfile
import time

root = tempfile.mkdtemp(prefix="zibrel-bench-hid-")
os.makedirs(os.path.join(root, "dev"))
os.environ.update(ZIBREL_DEVICE="auto", ZIBREL_HID_ROOT=root, SPNAV_SOCKET=os.path.join(root, "no-daemon.sock"),
                  ZIBREL_CONFIG=os.path.join(root, "zibrel.conf"))
open(os.path.join(root, "zibrel.conf"), "w").close()  # defaults, whatever the user has

from common import ROUNDS, emit, enabled_model, figure  # noqa: E402

import pyzibrel  # noqa: E402


def tasks():
    return os.listdir("/proc/self/task")


def switches(tids):
    total = 0
    for tid in tids:
        try:
            with open(f"/proc/self/task/{tid}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


class Viewer(pyzibrel.Viewer):
    def get_camera(self):
        return ((1, 0, 0, 0), (0, 1, 0, 0), (0, 0, 1, 10), (0, 0, 0, 1))

    def set_camera(self, matrix):
        pass


figures = {}
for n in (1, 100, 1000):
    runs = []
    for _ in range(max(1, ROUNDS // 3)):
        before = len(tasks())
        models = [enabled_model()[0] for _ in range(n)]
        runs.append(len(tasks()) - before)
        for m in models:
            m._enable_navigation(False)
        del models
        deadline = time.monotonic() + 10
        while len(tasks()) > before and time.monotonic() < deadline:
            time.sleep(0.01)
    figures[f"threads_{n}"] = figure(runs, "threads")

models = [enabled_model()[0] for _ in range(100)]
main = str(os.getpid())
runs = []
for _ in range(ROUNDS):
    others = [t for t in tasks() if t != main]
    first = switches(others)
    time.sleep(2.0)
    runs.append((switches(others) - first) / 2.0)
figures["idle_wakeups"] = figure(runs, "wake-ups/s")
for m in models:
    m._enable_navigation(False)

nav = pyzibrel.Navigator(Viewer())
calls = 20000
tick_runs, empty_runs = [], []


def empty():
    return False


for _ in range(ROUNDS):
    start = time.perf_counter()
    for _ in range(calls):
        nav.tick()
    tick_runs.append((time.perf_counter() - start) / calls * 1e6)
    start = time.perf_counter()
    for _ in range(calls):
        empty()
    empty_runs.append((time.perf_counter() - start) / calls * 1e6)
nav.close()
figures["idle_tick_us"] = figure(tick_runs, "us")
figures["empty_loop_us"] = figure(empty_runs, "us")
emit(figures, load_average=os.getloadavg())
