"""The library's getter reaching a Python model, and its two references.

    py_get_here        our library calls "view.affine" on the thread that called into C (b)
    py_get_here_held   the same with the lock held around the loop: the library calling
                       back from inside a call that keeps the lock (as the module's
                       methods do), so no lock changes hands
    py_get_thread      the same from a new library thread that never ran Python (c)
    ctypes_here        a ctypes callback calling the same Python function and writing
                       the 16 numbers into a buffer, on the calling thread (d)
    ctypes_thread      the same from a new thread that never ran Python (d)
    ctypes_*_tuple     the same callbacks writing 16 numbers kept as a tuple instead of
                       reading them from the ZibrelMatrix (pybind11 attribute reads
                       cost about 0.2 µs each): the ctypes mechanism alone
    override_held      the bare pybind11 override call from native code, lock held (e)
    override_released  the same with the lock released around the loop, so each call
                       takes the lock as a callback does (the lock handover alone)

Every round measures each figure once, in turn, so that a slow moment of the
machine falls on all of them alike; the figure is the median over the rounds.
All loops run in native code; the library's and the override's are timed
there, the ctypes ones around the one call into C that runs each of them.
"""

import ctypes
import time

import common
from common import _zibrel_bench as bench

# About 30 to 100 ms per figure and round: short runs, many rounds.
CALLS = {"py_get_here": 20_000, "py_get_here_held": 20_000, "py_get_thread": 5_000, "ctypes_here": 10_000,
         "ctypes_thread": 5_000, "ctypes_here_tuple": 20_000, "ctypes_thread_tuple": 5_000,
         "override_held": 20_000, "override_released": 20_000}


def main():
    model, conn = common.enabled_model()
    try:
        bench.override_loop(model, 1, False)
    except TypeError:
        # pybind11 shares type registrations only between extensions built by the
        # same compiler with the same pybind11 version.
        raise SystemExit("_zibrel_bench does not see the module's ZibrelNavigationModel as a NavigationModel: "
                         "the module and build/bench were built with different compilers or pybind11 versions")

    helper = ctypes.CDLL(f"{common.BUILD_DIR}/libzibrel_bench_calls.so")
    numbers = ctypes.POINTER(ctypes.c_double * 16)
    fill_matrix = ctypes.CFUNCTYPE(None, numbers)
    for name in ("bench_call_here", "bench_call_thread"):
        getattr(helper, name).restype = ctypes.c_int
        getattr(helper, name).argtypes = [fill_matrix, numbers, ctypes.c_int64]

    get_camera = model._get_camera_matrix
    kept = common.CAMERA

    # One slice assignment is the cheapest way ctypes offers to write the 16 numbers.
    def fill(out):
        m = get_camera()
        out.contents[:] = (m.m00, m.m01, m.m02, m.m03, m.m10, m.m11, m.m12, m.m13,
                           m.m20, m.m21, m.m22, m.m23, m.m30, m.m31, m.m32, m.m33)

    def fill_kept(out):
        get_camera()
        out.contents[:] = kept

    callbacks = {"matrix": fill_matrix(fill), "tuple": fill_matrix(fill_kept)}
    buffer = (ctypes.c_double * 16)()
    out = ctypes.pointer(buffer)

    def ctypes_loop(function, kind, n):
        buffer[:] = [0.0] * 16
        start = time.perf_counter_ns()
        failed = function(callbacks[kind], out, n)
        elapsed = time.perf_counter_ns() - start
        if failed or tuple(buffer) != common.CAMERA:
            raise RuntimeError("the ctypes baseline did not run")
        return elapsed

    # Figures that are compared with each other run next to each other.
    loops = {
        "py_get_here": lambda n: bench.get_loop(conn, n, True),
        "override_held": lambda n: bench.override_loop(model, n, False),
        "py_get_here_held": lambda n: bench.get_loop(conn, n, False),
        "override_released": lambda n: bench.override_loop(model, n, True),
        "py_get_thread": lambda n: bench.thread_loop(conn, n, 1),
        "ctypes_thread": lambda n: ctypes_loop(helper.bench_call_thread, "matrix", n),
        "ctypes_thread_tuple": lambda n: ctypes_loop(helper.bench_call_thread, "tuple", n),
        "ctypes_here": lambda n: ctypes_loop(helper.bench_call_here, "matrix", n),
        "ctypes_here_tuple": lambda n: ctypes_loop(helper.bench_call_here, "tuple", n),
    }
    runs = {name: [] for name in loops}
    # Round -1 warms up and is not kept.
    for round_ in range(-1, common.ROUNDS):
        for name, loop in loops.items():
            n = CALLS[name]
            elapsed = loop(n)
            if round_ >= 0:
                runs[name].append(elapsed / n)

    model._enable_navigation(False)
    common.emit({name: common.figure(values, "ns/call") for name, values in runs.items()}, calls_per_run=CALLS)


if __name__ == "__main__":
    main()
