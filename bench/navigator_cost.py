"""What an open navigator costs a process: idle, in motion, and in latency.

    python bench/navigator_cost.py <bench build dir> <rounds> idle|motion|latency

run.py runs each part as a family of its own. Every measured process is a child
of this one, started afresh, with numpy's thread pools held to one thread so
that every thread besides the main one is the library's. Devices are other
processes too: a fake hidraw tree (tests/python/fake_hidraw.py, SOCK_SEQPACKET
nodes: one report per read, as hidraw gives) whose device process writes the
reports, and a stand-in spacenavd daemon (tests/python/fake_spacenavd.py).

idle     Four processes side by side, measured over the same seconds, round by round:
         "select" a process that imported pyzibrel and sleeps in select (the floor);
         "none"   a Navigator with ZIBREL_DEVICE=auto, an empty HID tree and no daemon;
         "hid"    the same with a HID device connected and untouched;
         "daemon" the same with a stand-in spacenavd connected and silent;
         "spacenavd" the same with Debian's spacenavd (when installed), run without a
                 device on a socket of its own as tests/python/real_spacenavd.py starts it.
         Each waits the README's way: in select on input_fd while still. Wake-ups are
         context switches (voluntary + involuntary, /proc/<pid>/task/*/status), CPU the
         run time in /proc/<pid>/task/*/schedstat; "library" is every thread but the main one.
motion   A device process sends six-axis reports at 125 Hz, then at 1 kHz, to two
         processes at once: (i) a Navigator whose Viewer.set_camera keeps a numpy 4x4
         camera, the application ticking at 60 Hz while wants_frames and waiting on
         input_fd otherwise; (ii) the hand-written loop: select/read of the same node,
         struct decoding and a numpy turn of a 4x4 camera per report. CPU (all threads'
         run time) and wake-ups of both over the same seconds.
latency  A device process sends a held turn (0.6 s held, 0.4 s let go) at 125 Hz and
         stamps every report with time.perf_counter (CLOCK_MONOTONIC, the same clock
         in every process). The receiving process stamps its ticks, the library's
         off-thread camera writes and Viewer.set_camera. A report is matched to the first
         tick that started after it (application ticks, asyncio) or to the first camera
         write of the library's thread after it (library timer), then to the first
         set_camera after that: report -> set_camera, ms (a held report that the let-go
         follows before that tick or write moves nothing and is left out). Modes: "ticks"
         (a 60 Hz loop waiting on input_fd while not wants_frames), "asyncio" (the
         README's `drive` coroutine, taken from README.md), "library"
         (application_timing=False, the same loop as "ticks": it waits on the navigator's
         input_fd, readable while the library's writes wait for a tick), "fixed"
         (application_timing=False, the application ticking at 60 Hz all the time, as a
         repeating GUI timer does).
"""

import json
import os
import re
import select
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))
HERE = str(Path(__file__).resolve())
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 and sys.argv[2].isdigit() else 5
FULL = 350  # the fake device's full deflection
clock = time.perf_counter


def figure(runs, unit):
    return {"unit": unit, "median": statistics.median(runs), "runs": runs}


def child_env(**extra):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1",
               PYTHONUNBUFFERED="1", **extra)
    env.pop("DISPLAY", None)
    return env


def start(*args, **env):
    # Standard error to a file: the library's notices (no device found, a device gone) are expected
    # here; the file is shown when the child fails.
    log = tempfile.TemporaryFile(mode="w+")
    proc = subprocess.Popen([sys.executable, HERE, "-", "-", "--child", *args], env=child_env(**env),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, text=True, cwd=ROOT)
    proc.log = log
    return proc


def wait_line(proc, word, seconds=30):
    """The child's next line on stdout, which must start with `word`."""
    ready, _, _ = select.select([proc.stdout], [], [], seconds)
    line = proc.stdout.readline() if ready else ""
    if not line.startswith(word):
        proc.kill()
        said = ""
        if getattr(proc, "log", None) is not None:
            proc.wait(10)
            proc.log.seek(0)
            said = proc.log.read()[-3000:]
        raise RuntimeError(f"child {proc.args[4:]} said {line!r} instead of {word!r} (exit {proc.poll()})"
                           f"{': ' + said if said else ''}")
    return line[len(word):].strip()


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(10)


def tree(folder):
    root = os.path.join(folder, "root")
    os.makedirs(os.path.join(root, "dev"))
    conf = os.path.join(folder, "zibrel.conf")
    open(conf, "w").close()  # defaults, whatever the user has
    return root, conf


# --- counters of another process ------------------------------------------------------------------

def counters(pid):
    """{tid: (context switches, ns on the CPU)} of every thread of `pid`."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                switches = sum(int(line.split()[1]) for line in f
                               if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")))
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                ns = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            continue
        out[int(tid)] = (switches, ns)
    return out


def delta(pid, before, after, seconds):
    """(library wake-ups/s, process wake-ups/s, library CPU ms/s, process CPU ms/s, library threads)."""
    lib_w = proc_w = lib_ns = proc_ns = 0
    for tid, (w, ns) in after.items():
        w0, ns0 = before.get(tid, (0, 0))  # a thread born in between counts from zero
        proc_w += w - w0
        proc_ns += ns - ns0
        if tid != pid:
            lib_w += w - w0
            lib_ns += ns - ns0
    return (lib_w / seconds, proc_w / seconds, lib_ns / 1e6 / seconds, proc_ns / 1e6 / seconds,
            len([t for t in after if t != pid]))


# --- the children -------------------------------------------------------------------------------------

def make_viewer():
    import numpy as np

    import pyzibrel

    class Viewer(pyzibrel.Viewer):
        def __init__(self):
            self.camera = pyzibrel.look_at_matrix((0, 0, 10), (0, 0, 0))
            self.applied = []

        def get_camera(self):
            return self.camera

        def set_camera(self, matrix):
            self.camera = np.asarray(matrix)
            self.applied.append(clock())

        def get_scene_bounds(self):
            return [[-1, -1, -1], [1, 1, 1]]

    return Viewer()


def idle_wait(navigator, until=float("inf")):
    """The README's way, without asyncio: sleep on input_fd while no ticks are wanted, tick at
    60 Hz while they are."""
    fd = navigator.input_fd()
    while time.monotonic() < until:
        if fd is not None and not navigator.wants_frames:
            select.select([fd], [], [], max(0.0, min(until - time.monotonic(), 3600)))
        started = time.monotonic()
        navigator.tick()
        if fd is None or navigator.wants_frames:
            time.sleep(max(0.0, 1 / 60 - (time.monotonic() - started)))


def child_idle(kind):
    import pyzibrel
    if kind == "select":
        print("ready", flush=True)
        while True:
            select.select([], [], [], 3600)
    navigator = pyzibrel.Navigator(make_viewer())
    print("ready", len(os.listdir("/proc/self/task")), flush=True)
    idle_wait(navigator)


def child_navigator():
    import pyzibrel
    navigator = pyzibrel.Navigator(make_viewer())
    print("ready", flush=True)
    idle_wait(navigator)


def child_loop(node):
    """The hand-written reader: one report per read, decoded, and the camera turned by it."""
    import numpy as np
    camera = np.eye(4)
    camera[2, 3] = 10.0
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    sock.connect(node)
    fd = sock.fileno()
    unpack = struct.Struct("<B6h").unpack_from
    scale = 1.0 / FULL
    dt = 1 / 1000
    print("ready", flush=True)
    while True:
        select.select([fd], [], [])
        report = os.read(fd, 64)
        if len(report) != 13 or report[0] != 1:
            continue
        _, x, y, z, rx, ry, rz = unpack(report)
        axis = np.array((rx, ry, rz), dtype=np.float64) * scale
        angle = float(np.linalg.norm(axis)) * dt * 3.0
        if angle > 0:
            k = axis / np.linalg.norm(axis)
            kx = np.array(((0, -k[2], k[1]), (k[2], 0, -k[0]), (-k[1], k[0], 0)))
            turn = np.eye(3) + np.sin(angle) * kx + (1 - np.cos(angle)) * (kx @ kx)
            camera[:3, :3] = turn @ camera[:3, :3]
        camera[:3, 3] += camera[:3, :3] @ (np.array((x, y, z), dtype=np.float64) * scale * dt)


def child_device(root, rate, pattern, seconds, out):
    """The device: hidraw0 under `root`, reports at `rate` Hz once a reader is connected."""
    import fake_hidraw as fh
    device = fh.FakeHidraw(root, 0, fh.SIX_IN_ONE, kind="socket")
    readers = int(os.environ.get("BENCH_READERS", "1"))
    print("ready", device.node, flush=True)
    deadline = time.monotonic() + 30
    while device.readers() < readers and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(1.0)  # the readers are connected and settled
    period = 1.0 / rate
    held = device._motion((0, 0, 0), (0, int(0.3 * FULL), 0))
    still = device._motion((0, 0, 0), (0, 0, 0))
    sent = []
    end = clock() + seconds
    t0 = next_t = clock()
    while True:
        now = clock()
        if now >= end:
            break
        # "burst": 0.6 s held, 0.4 s let go (one zero report, then nothing), as a hand on the cap.
        phase = (now - t0) % 1.0 if pattern == "burst" else 0.0
        if phase < 0.6:
            device.send(held)
            sent.append(clock())
        elif sent and sent[-1] > 0:
            device.send(still)
            sent.append(-clock())  # let go: not a report to match
        next_t += period
        delay = next_t - clock()
        if delay > 0:
            time.sleep(delay)
        else:
            next_t = clock()
    with open(out, "w") as f:
        json.dump(sent, f)
    print("done", len(sent), flush=True)
    time.sleep(0.3)
    device.unplug()


def readme_drive():
    """The `drive` coroutine exactly as README.md prints it."""
    text = (ROOT / "README.md").read_text()
    found = re.search(r"^async def drive\(.*?(?=^\S)", text, re.S | re.M)
    if not found:
        raise RuntimeError("README.md has no `async def drive` to measure")
    space = {}
    exec("import asyncio\n" + found.group(0), space)
    return space["drive"]


def child_latency(mode, seconds):
    import asyncio
    import threading

    import pyzibrel

    ticks, writes = [], []

    class Stamped(pyzibrel.Navigator):
        def tick(self, now_seconds=None):
            ticks.append(clock())
            return super().tick(now_seconds)

        def _set_camera_matrix(self, matrix):
            if threading.get_ident() != self._thread:
                writes.append(clock())
            return super()._set_camera_matrix(matrix)

    viewer = make_viewer()
    navigator = Stamped(viewer, application_timing=mode in ("ticks", "asyncio"))
    print("ready", flush=True)
    until = time.monotonic() + seconds
    if mode == "ticks":
        idle_wait(navigator, until)
    elif mode == "asyncio":
        drive = readme_drive()

        async def main():
            try:
                await asyncio.wait_for(drive(navigator), timeout=seconds)
            except TimeoutError:
                pass
        asyncio.run(main())
    elif mode == "library":
        idle_wait(navigator, until)
    else:  # "fixed": the library's timer, the application ticking at 60 Hz whatever happens
        while time.monotonic() < until:
            navigator.tick()
            time.sleep(1 / 60)
    navigator.close()
    print("stamps", json.dumps({"ticks": ticks, "writes": writes, "applied": viewer.applied}), flush=True)


# --- the parts --------------------------------------------------------------------------------------

def part_idle():
    from fake_spacenavd import FakeSpacenavd
    from real_spacenavd import SPACENAVD, RealSpacenavd
    seconds = 4.0
    folder = tempfile.mkdtemp(prefix="zibrel-bench-idle-")
    procs, devices = {}, []
    kinds = ["select", "none", "hid", "daemon"] + (["spacenavd"] if SPACENAVD else [])
    try:
        for kind in kinds:
            sub = os.path.join(folder, kind)
            os.makedirs(sub)
            root, conf = tree(sub)
            daemon = os.path.join(sub, "spnav.sock")
            if kind == "spacenavd":
                # Debian's daemon without a device, on a socket of its own (as the tests start it).
                real = RealSpacenavd(Path(sub))
                real.start()
                devices.append(real)
                daemon = real.socket
            if kind == "hid":
                # The device process's node stays open and silent: the parent plays it.
                import fake_hidraw as fh
                devices.append(fh.FakeHidraw(root, 0, fh.SIX_IN_ONE, kind="socket"))
            if kind == "daemon":
                devices.append(FakeSpacenavd(daemon))
            procs[kind] = start("idle", kind, ZIBREL_DEVICE="auto", ZIBREL_HID_ROOT=root, SPNAV_SOCKET=daemon,
                                ZIBREL_CONFIG=conf)
        threads = {kind: wait_line(p, "ready") for kind, p in procs.items()}
        for d in devices:
            if isinstance(d, RealSpacenavd):
                continue
            if hasattr(d, "wait_for_client") and not d.wait_for_client(10):
                raise RuntimeError("the library never connected to the stand-in spacenavd")
            if hasattr(d, "readers"):
                deadline = time.monotonic() + 10
                while d.readers() < 1 and time.monotonic() < deadline:
                    time.sleep(0.02)
                if d.readers() < 1:
                    raise RuntimeError("the library never opened the fake HID device")
        time.sleep(1.0)  # past start-up
        runs = {}
        for _ in range(ROUNDS):
            before = {k: counters(p.pid) for k, p in procs.items()}
            time.sleep(seconds)
            after = {k: counters(p.pid) for k, p in procs.items()}
            for kind, p in procs.items():
                lib_w, proc_w, lib_ms, proc_ms, n = delta(p.pid, before[kind], after[kind], seconds)
                for name, value in (("lib_wakeups", lib_w), ("proc_wakeups", proc_w),
                                    ("lib_cpu", lib_ms * 60), ("proc_cpu", proc_ms * 60)):
                    runs.setdefault(f"idle_{kind}_{name}", []).append(value)
    finally:
        for p in procs.values():
            stop(p)
        for d in devices:
            try:
                (d.unplug if hasattr(d, "unplug") else d.stop)()
            except OSError:
                pass
        shutil.rmtree(folder, ignore_errors=True)
    figures = {name: figure(values, "wake-ups/s" if "wakeups" in name else "CPU ms/min")
               for name, values in runs.items()}
    return figures, {"threads_at_start": threads, "seconds_per_round": seconds}


def part_motion():
    seconds = 3.0
    figures, details = {}, {}
    for rate in (125, 1000):
        folder = tempfile.mkdtemp(prefix="zibrel-bench-motion-")
        root, conf = tree(folder)
        out = os.path.join(folder, "sent.json")
        total = 2.0 + ROUNDS * seconds + 2.0
        device = start("device", root, str(rate), "held", str(total), out, BENCH_READERS="2")
        procs = {}
        try:
            node = wait_line(device, "ready")
            procs["nav"] = start("navigator", ZIBREL_DEVICE="hid", ZIBREL_HID_ROOT=root,
                                 SPNAV_SOCKET=os.path.join(folder, "none.sock"), ZIBREL_CONFIG=conf)
            procs["loop"] = start("loop", node)
            for p in procs.values():
                wait_line(p, "ready")
            time.sleep(2.0)  # connected, and the reports flowing
            for _ in range(ROUNDS):
                before = {k: counters(p.pid) for k, p in procs.items()}
                began = clock()
                time.sleep(seconds)
                after = {k: counters(p.pid) for k, p in procs.items()}
                span = clock() - began
                for kind, p in procs.items():
                    lib_w, proc_w, lib_ms, proc_ms, n = delta(p.pid, before[kind], after[kind], span)
                    figures.setdefault(f"motion{rate}_{kind}_cpu", {"runs": []})["runs"].append(proc_ms)
                    figures.setdefault(f"motion{rate}_{kind}_wakeups", {"runs": []})["runs"].append(proc_w)
                    if kind == "nav":
                        figures.setdefault(f"motion{rate}_nav_lib_wakeups", {"runs": []})["runs"].append(lib_w)
                        figures.setdefault(f"motion{rate}_nav_lib_cpu", {"runs": []})["runs"].append(lib_ms)
            for p in procs.values():
                if p.poll() is not None:
                    raise RuntimeError(f"a measured process ended early (exit {p.returncode})")
        finally:
            stop(device)
            for p in procs.values():
                stop(p)
            shutil.rmtree(folder, ignore_errors=True)
    out = {}
    for name, f in figures.items():
        out[name] = figure(f["runs"], "CPU ms/s" if name.endswith("cpu") else "wake-ups/s")
    return out, {"seconds_per_round": seconds}


def percentile(values, q):
    s = sorted(values)
    return s[min(len(s) - 1, int(q * (len(s) - 1) + 0.5))]


def match(sent, stamps, mode):
    import numpy as np
    ticks, writes, applied = (np.array(stamps[k]) for k in ("ticks", "writes", "applied"))
    first = ticks if mode in ("ticks", "asyncio") else writes
    # A held report followed by the let-go before the next frame never moves anything: that frame
    # reads both and takes the newest, still. Matched anyway, it would count the pause up to the
    # next burst's first camera (about 0.4 s) as its latency.
    let_go = np.array(sorted(-s for s in sent if s < 0))
    out = []
    for s in sent:
        if s <= 0:
            continue
        i = np.searchsorted(first, s, side="right")
        if i >= len(first):
            continue
        k = np.searchsorted(let_go, s, side="right")
        if k < len(let_go) and let_go[k] < first[i]:
            continue
        j = np.searchsorted(applied, first[i], side="right")
        if j >= len(applied):
            continue
        out.append((applied[j] - s) * 1000)
    return out


def part_latency():
    seconds = 4.0
    modes = ("ticks", "asyncio", "library", "fixed")
    pooled = {m: [] for m in modes}
    per_round = {m: {"p50": [], "p90": [], "p99": []} for m in modes}
    for _ in range(max(1, ROUNDS // 2)):
        for mode in modes:  # the modes take turns, so that a change in the machine's load falls on all
            folder = tempfile.mkdtemp(prefix="zibrel-bench-latency-")
            root, conf = tree(folder)
            out = os.path.join(folder, "sent.json")
            device = start("device", root, "125", "burst", str(seconds), out)
            receiver = None
            try:
                wait_line(device, "ready")
                receiver = start("latency", mode, str(seconds + 3.0), ZIBREL_DEVICE="hid", ZIBREL_HID_ROOT=root,
                                 SPNAV_SOCKET=os.path.join(folder, "none.sock"), ZIBREL_CONFIG=conf)
                wait_line(receiver, "ready")
                wait_line(device, "done", seconds + 40)
                stamps = json.loads(wait_line(receiver, "stamps", seconds + 40))
                with open(out) as f:
                    sent = json.load(f)
            finally:
                if receiver is not None:
                    stop(receiver)
                stop(device)
                shutil.rmtree(folder, ignore_errors=True)
            values = match(sent, stamps, mode)
            if len(values) < 50:
                raise RuntimeError(f"latency, {mode}: only {len(values)} reports reached set_camera")
            pooled[mode].extend(values)
            for q, key in ((0.5, "p50"), (0.9, "p90"), (0.99, "p99")):
                per_round[mode][key].append(percentile(values, q))
    figures = {}
    for mode in modes:
        for q, key in ((0.5, "p50"), (0.9, "p90"), (0.99, "p99")):
            f = figure(per_round[mode][key], "ms")
            f["median"] = percentile(pooled[mode], q)  # the percentile of every report of every round
            figures[f"latency_{mode}_{key}"] = f
    return figures, {"reports": {m: len(v) for m, v in pooled.items()}, "seconds_per_round": seconds}


def main():
    if "--child" in sys.argv:
        args = sys.argv[sys.argv.index("--child") + 1:]
        kind = args[0]
        if kind == "idle":
            child_idle(args[1])
        elif kind == "navigator":
            child_navigator()
        elif kind == "loop":
            child_loop(args[1])
        elif kind == "device":
            child_device(args[1], float(args[2]), args[3], float(args[4]), args[5])
        elif kind == "latency":
            child_latency(args[1], float(args[2]))
        return
    part = sys.argv[3] if len(sys.argv) > 3 else "idle"
    figures, details = {"idle": part_idle, "motion": part_motion, "latency": part_latency}[part]()
    json.dump({"figures": figures, "load_average": os.getloadavg(), **details}, sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
