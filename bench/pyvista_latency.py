"""Latency of 3D-mouse input in a real PyVista window whose main thread is inside VTK's event loop.

    .venv/bin/python bench/pyvista_latency.py [--rounds 3] [--seconds 4] [--loads light,medium,heavy]
                                              [--modes application,library] [--period-ms 16]

Starts Xvfb (Debian's xvfb, installed by ./dev), then one process per
configuration: a pv.Plotter window with a mesh, `pyzibrel.pyvista.attach`, and
`plotter.show()`, so the main thread runs VTK's interactor loop and the
navigator's repeating interactor timer calls `tick()`. While the window is up,
another thread pushes device samples through our library's control interface
(`zbctl_device_sample`, the queue the spacenavd reader and device files feed)
at 125 Hz, like a held cap, so the view turns all the time and every frame renders.

Figures per sample, in milliseconds:
- (a) sample -> camera applied in VTK (the viewer's set_camera has returned);
- (b) sample -> the end of the render that shows it.

Configurations:
- application timing (the default, `Navigator(application_timing=True)`): each
  tick writes "frame.time" and the frame runs on the main thread. A sample is
  matched to the first tick that started after it.
- the library's own timer thread (`application_timing=False`): the library's
  frames run on its thread; their camera writes are queued and applied by the
  next tick. A sample is matched to the first camera write of the library's
  thread after it (which can only flatter this mode: a sample that came just
  after that frame read its input counts as taken by it).
Loads: spheres of 2,000 ("light"), 20,000 ("medium") and 100,000 ("heavy",
--heavy-triangles) triangles in a 400 x 300 window, without multisampling
(PyVista's default 8x MSAA alone costs Mesa's software rasterizer ten times the
render). The median time of the navigator's renders is printed with the figures.
"""

import argparse
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LOADS = {"light": 2_000, "medium": 20_000, "heavy": 100_000}


def percentiles(values):
    s = sorted(values)
    if not s:
        return {"p50": float("nan"), "p90": float("nan"), "p99": float("nan")}
    pick = lambda q: s[min(len(s) - 1, int(q * (len(s) - 1) + 0.5))]  # noqa: E731
    return {"p50": statistics.median(s), "p90": pick(0.90), "p99": pick(0.99)}


# --- the device: a stand-in for the spacenavd daemon, in a process of its own -------------------------

def daemon(args):
    """Serves one client the spacenavd way (answers libspnav's version request, then sends
    eight 32-bit integers per motion event) at 125 Hz from `--start` seconds on, for
    `--seconds`; writes the perf_counter time of every event sent to `--out`."""
    import socket
    import struct
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    # Listening before the socket is visible: bound under a temporary name, then renamed.
    server.bind(args.daemon + ".new")
    server.listen(1)
    os.rename(args.daemon + ".new", args.daemon)
    server.settimeout(20)
    client, _ = server.accept()
    client.settimeout(5)
    if len(client.recv(4)) == 4:
        client.sendall(struct.pack("<i", 0))  # protocol 0: events only
    full = 350  # the library's default full-scale
    event = struct.pack("<8i", 0, 0, 0, 0, 0, int(0.3 * full), 0, 8)  # motion: a turn, rx ry rz = 0 0.3 0
    time.sleep(args.start)
    sent = []
    clock = time.perf_counter  # CLOCK_MONOTONIC: the same clock in every process
    end = clock() + args.seconds
    next_t = clock()
    while next_t < end:
        next_t += 0.008 + random.uniform(-0.001, 0.001)
        delay = next_t - clock()
        if delay > 0:
            time.sleep(delay)
        client.sendall(event)
        sent.append(clock())
    with open(args.out, "w") as f:
        json.dump(sent, f)
    time.sleep(0.5)  # the last events are taken before the connection goes
    client.close()
    server.close()


# --- one configuration, in a process of its own ----------------------------------------------------

def child(args):
    import ctypes

    import numpy as np
    import pyvista as pv

    import _pyzibrel
    from pyzibrel import _library
    from pyzibrel.pyvista import PyVistaNavigator, PyVistaViewer, attach

    lib = _library.library() or ctypes.CDLL(os.path.join(os.path.dirname(_pyzibrel.__file__), "libQorZibrel.so"))
    push = lib.zbctl_device_sample
    push.restype, push.argtypes = ctypes.c_int, [ctypes.c_uint64] + [ctypes.c_double] * 7
    clock = time.perf_counter

    # What the main thread does, stamped: tick starts, cameras applied, renders ended.
    ticks, applied, rendered, library_writes, render_times = [], [], [], [], []
    real_tick, real_set, real_render = PyVistaNavigator.tick, PyVistaViewer.set_camera, PyVistaViewer.render
    real_library_write = PyVistaNavigator._set_camera_matrix

    def tick(self, now_seconds=None):
        ticks.append(clock())
        return real_tick(self, now_seconds)

    def set_camera(self, matrix):
        real_set(self, matrix)
        applied.append(clock())

    def render(self):
        t0 = clock()
        real_render(self)
        rendered.append(clock())
        render_times.append((rendered[-1] - t0) * 1000)

    def library_write(self, matrix):
        if threading.get_ident() != self._thread:
            library_writes.append(clock())
        return real_library_write(self, matrix)

    PyVistaNavigator.tick, PyVistaViewer.set_camera, PyVistaViewer.render = tick, set_camera, render
    PyVistaNavigator._set_camera_matrix = library_write

    pv.global_theme.multi_samples = 0
    pv.global_theme.anti_aliasing = None
    plotter = pv.Plotter(window_size=(400, 300), title="pyvista latency")
    n = args.triangles
    # A sphere of about n triangles: 2 * theta * (phi - 2).
    res = max(8, int(round((n / 2) ** 0.5)))
    plotter.add_mesh(pv.Sphere(theta_resolution=res, phi_resolution=res + 2), color="tan", smooth_shading=True)
    plotter.add_mesh(pv.Cube(center=(1.6, 0, 0), x_length=0.6, y_length=0.6, z_length=0.6), color="steelblue")
    device = None
    if args.source == "daemon":
        # The device is another process, as a real daemon is: samples reach our library's reader
        # thread and its queue with no lock of this interpreter in the way.
        folder = tempfile.mkdtemp(prefix="pyvista-latency-")
        socket_path, out_path = os.path.join(folder, "spnav.sock"), os.path.join(folder, "sent.json")
        device = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--daemon", socket_path, "--out", out_path,
                                   "--start", "1.2", "--seconds", str(args.seconds)])
        for _ in range(200):
            if os.path.exists(socket_path):
                break
            time.sleep(0.01)
        os.environ.update(ZIBREL_DEVICE="spacenavd", SPNAV_SOCKET=socket_path)
    navigator = attach(plotter, period_ms=args.period_ms, application_timing=args.mode == "application")

    samples = []
    stop = threading.Event()
    start_after = 1.0  # the window is up and rendering

    def pusher():
        # Samples from a Python thread of this process: their stamps wait for the interpreter lock.
        time.sleep(start_after)
        next_t = clock()
        while not stop.is_set():
            next_t += 0.008 + random.uniform(-0.001, 0.001)
            delay = next_t - clock()
            if delay > 0:
                time.sleep(delay)
            samples.append(clock())
            push(0, -1.0, 0.0, 0.0, 0.0, 0.0, 0.3, 0.0)

    def start_pushing(_step):
        if args.source == "ctl":
            threading.Thread(target=pusher, daemon=True).start()

    def finish(_step):
        stop.set()
        plotter.iren.terminate_app()

    interactor = plotter.iren.interactor
    from vtkmodules.util.misc import calldata_type
    from vtkmodules.util.vtkConstants import VTK_INT
    one_shots = {interactor.CreateOneShotTimer(200): start_pushing,
                 interactor.CreateOneShotTimer(int((1.2 + args.seconds) * 1000) + 300): finish}

    @calldata_type(VTK_INT)
    def on_timer(_obj, _event, timer_id):
        action = one_shots.pop(timer_id, None)
        if action is not None:
            action(0)

    interactor.AddObserver("TimerEvent", on_timer)
    plotter.show(auto_close=False)
    navigator.close()
    plotter.close()
    if device is not None:
        device.wait(timeout=30)
        with open(out_path) as f:
            samples = json.load(f)
        shutil.rmtree(folder)

    # Match every sample (but those of the last 0.2 s, which may have no frame yet).
    ticks_a, applied_a, rendered_a = np.array(ticks), np.array(applied), np.array(rendered)
    writes_a = np.array(library_writes)
    a_ms, b_ms = [], []
    last = samples[-1] - 0.2 if samples else 0
    for s in samples:
        if s > last:
            break
        if args.mode == "application":
            i = np.searchsorted(ticks_a, s, side="right")
            if i >= len(ticks_a):
                continue
            start = ticks_a[i]
        else:
            i = np.searchsorted(writes_a, s, side="right")
            if i >= len(writes_a):
                continue
            start = writes_a[i]
        j = np.searchsorted(applied_a, start, side="right")
        if j >= len(applied_a):
            continue
        k = np.searchsorted(rendered_a, applied_a[j], side="left")
        if k >= len(rendered_a):
            continue
        a_ms.append((applied_a[j] - s) * 1000)
        b_ms.append((rendered_a[k] - s) * 1000)
    span = (samples[-1] - samples[0]) if len(samples) > 1 else 1.0
    frames = int(np.sum((applied_a >= samples[0]) & (applied_a <= samples[-1]))) if samples else 0
    print(json.dumps({"a": a_ms, "b": b_ms, "render_ms": statistics.median(render_times) if render_times else None,
                      "frames_per_s": frames / span, "samples": len(samples), "triangles": 2 * res * res}))


def lock_check():
    """Loop iterations of a Python thread in 0.5 s: main thread idle, then inside VTK's interactor loop."""
    import pyvista as pv
    counts = {}

    def count(name):
        n, end = 0, time.perf_counter() + 0.5
        while time.perf_counter() < end:
            n += 1
        counts[name] = n

    count("idle")
    plotter = pv.Plotter(window_size=(200, 150))
    plotter.add_mesh(pv.Sphere())

    def in_loop():
        time.sleep(0.5)
        count("loop")

    thread = threading.Thread(target=in_loop)
    thread.start()
    plotter.iren.add_timer_event(max_steps=1, duration=1500, callback=lambda _step: plotter.iren.terminate_app())
    plotter.show(auto_close=False)
    thread.join()
    plotter.close()
    print(json.dumps(counts))


# --- the driver -------------------------------------------------------------------------------------

def start_xvfb():
    """An Xvfb server on a display number of its own: (process, ":N").

    Explicit numbers from a range that other X servers of the machine rarely use
    (they start at 0, xvfb-run at 99); a number taken makes Xvfb exit, and we try another.
    """
    for display in random.sample(range(300, 900), 20):
        read_fd, write_fd = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", f":{display}", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"], pass_fds=(write_fd,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as r:
            ready = r.readline().strip()  # written once the server accepts clients; empty when it failed
        if ready:
            return xvfb, f":{ready}"
        xvfb.wait(timeout=10)
    raise RuntimeError("Xvfb did not start on any display (Debian's xvfb; ./dev installs it)")


def machine():
    import vtkmodules.vtkCommonCore as vtk_core
    import pyvista as pv
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 platform.processor())
    return (f"{os.cpu_count()} CPUs (nproc {len(os.sched_getaffinity(0))}), {model}; "
            f"Python {platform.python_version()}, VTK {vtk_core.vtkVersion.GetVTKVersion()}, "
            f"PyVista {pv.__version__}; load average {os.getloadavg()[0]:.1f}")


def main():
    parser = argparse.ArgumentParser(description="sample -> camera and sample -> render in a PyVista window")
    parser.add_argument("--seconds", type=float, default=4.0, help="measured time per configuration and round")
    parser.add_argument("--rounds", type=int, default=3, help="rounds over all configurations")
    parser.add_argument("--loads", default="light,medium,heavy", help="comma-separated: light, medium, heavy")
    parser.add_argument("--heavy-triangles", type=int, default=LOADS["heavy"])
    parser.add_argument("--period-ms", type=int, default=16, help="the interactor timer's period")
    parser.add_argument("--modes", default="application,library", help="comma-separated: application, library")
    parser.add_argument("--nice", type=int, default=0,
                        help="niceness of Xvfb and the measured processes (e.g. -10 as root on a shared machine)")
    parser.add_argument("--source", choices=["daemon", "ctl"], default="daemon",
                        help="samples from a stand-in spacenavd process (default), or pushed by a thread here")
    parser.add_argument("--child", choices=["application", "library", "lock"], help=argparse.SUPPRESS)
    parser.add_argument("--daemon", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    parser.add_argument("--start", type=float, help=argparse.SUPPRESS)
    parser.add_argument("--triangles", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.daemon:
        daemon(args)
        return
    if args.child == "lock":
        lock_check()
        return
    if args.child:
        args.mode = args.child
        child(args)
        return

    loads = dict(LOADS, heavy=args.heavy_triangles)
    if args.nice:
        os.nice(args.nice)  # inherited by Xvfb and every measured process
    xvfb, display = start_xvfb()
    env = {k: v for k, v in os.environ.items() if k not in ("ZIBREL_CONFIG", "VTK_DEFAULT_OPENGL_WINDOW")}
    env.update(DISPLAY=display, ZIBREL_DEVICE="none")
    pooled = {}
    try:
        check = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", "lock"], env=env,
                               capture_output=True, text=True, timeout=60)
        lock = json.loads(check.stdout.strip().splitlines()[-1]) if check.returncode == 0 else None
        # Rounds alternate the configurations, so that a change in the machine's load falls on all of them.
        for _round in range(args.rounds):
            for load in args.loads.split(","):
                for mode in args.modes.split(","):
                    cmd = [sys.executable, os.path.abspath(__file__), "--child", mode, "--triangles", str(loads[load]),
                           "--seconds", str(args.seconds), "--period-ms", str(args.period_ms), "--source", args.source]
                    result = subprocess.run(cmd, env=env, capture_output=True, text=True,
                                            timeout=120 + 2 * args.seconds)
                    if result.returncode != 0:
                        sys.exit(f"{mode}/{load} failed:\n{result.stderr}")
                    row = json.loads(result.stdout.strip().splitlines()[-1])
                    if not row["a"]:
                        sys.exit(f"{mode}/{load} measured nothing:\n{result.stderr}")
                    into = pooled.setdefault((mode, load), {"a": [], "b": [], "render_ms": [], "frames_per_s": []})
                    for key in ("a", "b"):
                        into[key] += row[key]
                    into["render_ms"].append(row["render_ms"])
                    into["frames_per_s"].append(row["frames_per_s"])
    finally:
        xvfb.terminate()
        xvfb.wait(timeout=10)
    rows = [(mode, load, dict(r, render_ms=statistics.median(r["render_ms"]),
                              frames_per_s=statistics.mean(r["frames_per_s"])))
            for (mode, load), r in pooled.items()]

    print(f"machine: {machine()}")
    source = "a stand-in spacenavd process" if args.source == "daemon" else "zbctl_device_sample from a thread"
    print(f"timer period {args.period_ms} ms; samples at 125 Hz from {source}; "
          f"{args.rounds} rounds of {args.seconds:g} s per row"
          + (f"; niceness {args.nice}" if args.nice else ""))
    print(f"{'frames timed by':22} {'load':>6} {'render':>7} {'fps':>5} {'samples':>7} "
          f"{'(a) p50':>8} {'p90':>6} {'p99':>6} {'(b) p50':>8} {'p90':>6} {'p99':>6}")
    for mode, load, r in rows:
        a, b = percentiles(r["a"]), percentiles(r["b"])
        name = "application (tick)" if mode == "application" else "library timer thread"
        print(f"{name:22} {load:>6} {r['render_ms']:6.1f}  {r['frames_per_s']:5.1f} {len(r['a']):7d} "
              f"{a['p50']:8.1f} {a['p90']:6.1f} {a['p99']:6.1f} {b['p50']:8.1f} {b['p90']:6.1f} {b['p99']:6.1f}")
    if lock:
        print(f"a Python thread's loop iterations in 0.5 s: {lock['idle']:,} with the main thread idle, "
              f"{lock['loop']:,} with it inside VTK's interactor loop")
    print("render: median ms of the navigator's renders; fps: cameras applied per second; "
          "(a) sample -> camera applied in VTK; (b) sample -> end of the render that shows it; milliseconds")


if __name__ == "__main__":
    main()
