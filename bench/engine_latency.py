"""Latency from a device sample arriving to the application's _set_camera_matrix.

    LD_LIBRARY_PATH=build/bench/qorzibrel/test-variant .venv/bin/python bench/engine_latency.py [frames]

Two figures, through the installed module and our navigation library:
- application-driven timing ("frame.timingSource" 1): the sample is pushed,
  then the application writes "frame.time"; the frame's callbacks run on the
  application's thread inside that write. Measured per frame of a running motion.
- the library's own timer: the engine is idle, a live sample arrives and the
  timer thread wakes at once for a frame; its callbacks cross into Python from
  that thread. Measured from the push to the callback, motion by motion.
The samples come through the control interface (zbctl_device_sample), the
same queue the spacenavd reader and the virtual device feed. The connection
and its motion state come from the test variant's control interface, so the
library must be that variant (./dev bench builds it in build/bench).
"""

import ctypes
import datetime
import os
import pathlib
import statistics
import sys
import tempfile
import threading
import time

from _pyzibrel import ZibrelBox, ZibrelMatrix, ZibrelNavigationModel
from pyzibrel import _library

lib = _library.library()
if lib is None or not hasattr(lib, "zbctl_last_connection"):
    sys.exit("engine_latency: the navigation library the module loaded has no control interface: put its test "
             "variant first, LD_LIBRARY_PATH=build/bench/qorzibrel/test-variant (./dev bench builds it)")
lib.zbctl_device_sample.restype = ctypes.c_int
lib.zbctl_device_sample.argtypes = [ctypes.c_uint64] + [ctypes.c_double] * 7
lib.zbctl_last_connection.restype = ctypes.c_uint64
lib.zbctl_in_motion.restype = ctypes.c_int
lib.zbctl_in_motion.argtypes = [ctypes.c_uint64]

CAMERA = (1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10, 0, 0, 0, 1)


class Viewer(ZibrelNavigationModel):
    """Answers what a frame reads, as cheaply as a real viewer could."""

    def __init__(self):
        super().__init__(False, 0)
        self.camera = ZibrelMatrix(*CAMERA)
        self.arrived = 0
        self.written = threading.Event()

    def _get_camera_matrix(self): return self.camera
    def _get_is_view_perspective(self): return True
    def _get_view_fov(self): return 0.8
    def _get_view_frustum(self): return None
    def _get_model_extents(self): return ZibrelBox(-1, -1, -1, 1, 1, 1)
    def _get_is_selection_empty(self): return True
    def _get_hit_look_at(self): return None
    def _is_user_pivot(self): return False
    def _set_hit_look_from(self, p): pass
    def _set_hit_direction(self, v): pass
    def _set_hit_aperture(self, a): pass
    def _set_hit_selection_only(self, s): pass
    def _set_pivot_position(self, p): pass
    def _set_pivot_visible(self, v): pass

    def _set_camera_matrix(self, m):
        self.arrived = time.perf_counter_ns()
        self.camera = m
        self.written.set()


def percentiles(samples_us):
    s = sorted(samples_us)
    return {"median": statistics.median(s), "p90": s[int(0.9 * (len(s) - 1))], "p99": s[int(0.99 * (len(s) - 1))]}


def application_driven(frames):
    viewer = Viewer()
    viewer._put_frame_timing_source(1)
    viewer._put_profile_hint("latency bench")
    viewer._enable_navigation(True)
    conn = lib.zbctl_last_connection()
    latencies, t = [], 1000.0
    viewer._put_frame_time(datetime.timedelta(milliseconds=t))
    for i in range(frames + 20):
        t += 10
        pushed = time.perf_counter_ns()
        lib.zbctl_device_sample(conn, t, 0.1, 0, 0, 0, 0.2, 0)
        viewer._put_frame_time(datetime.timedelta(milliseconds=t))
        if i >= 20:  # the motion is running: a steady frame
            latencies.append((viewer.arrived - pushed) / 1000)
    viewer._enable_navigation(False)
    return latencies


def library_timer(motions):
    viewer = Viewer()
    viewer._put_profile_hint("latency bench")
    viewer._enable_navigation(True)
    conn = lib.zbctl_last_connection()
    time.sleep(0.05)
    latencies = []
    for _ in range(motions):
        viewer.written.clear()
        pushed = time.perf_counter_ns()
        lib.zbctl_device_sample(conn, -1, 0, 0, 0, 0, 0.2, 0)
        viewer.written.wait(1.0)
        latencies.append((viewer.arrived - pushed) / 1000)
        while lib.zbctl_in_motion(conn) == 1:  # let the motion time out: the next sample finds the engine idle
            time.sleep(0.002)
    viewer._enable_navigation(False)
    return latencies


def main():
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    with tempfile.TemporaryDirectory() as d:
        conf = pathlib.Path(d) / "zibrel.conf"
        conf.write_text("motion-timeout = 20\n")
        os.environ["ZIBREL_CONFIG"] = str(conf)
        os.environ["ZIBREL_DEVICE"] = "none"  # samples are pushed; no device is looked for
        rows = [("application-driven frame (sample -> _set_camera_matrix)", application_driven(frames)),
                ("library timer thread, idle engine (sample -> _set_camera_matrix)", library_timer(max(frames // 20, 20)))]
    print(f"{'engine latency, microseconds':66} {'median':>8} {'p90':>8} {'p99':>8} {'runs':>6}")
    for name, values in rows:
        p = percentiles(values)
        print(f"{name:66} {p['median']:8.1f} {p['p90']:8.1f} {p['p99']:8.1f} {len(values):6d}")


if __name__ == "__main__":
    main()
