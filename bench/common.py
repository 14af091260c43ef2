"""Pieces shared by the Python benchmark families.

Each family runs in its own process, started by run.py as
    python <family>.py <bench build dir> <rounds>
and prints one JSON object: {"figures": {name: {"unit", "median", "runs"}}, ...}.
"""

import ctypes
import json
import statistics
import sys

BUILD_DIR = sys.argv[1] if len(sys.argv) > 1 else "build/bench/bench"
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 9

# The benchmark-only extension and the ctypes helper live in the bench build, never in site-packages.
sys.path.insert(0, BUILD_DIR)

import _pyzibrel  # noqa: E402  (the installed module)
import _zibrel_bench  # noqa: E402

CAMERA = (1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.5, -2.0, 10.0, 1.0)


class BenchModel(_pyzibrel.ZibrelNavigationModel):
    """The application model every Python figure calls: it answers the camera
    with a matrix it keeps, so the figures measure the way there, not the answer."""

    def __init__(self):
        super().__init__(False, 0)
        self.camera = _pyzibrel.ZibrelMatrix(*CAMERA)

    def _get_camera_matrix(self):
        return self.camera


def enabled_model():
    """A model with navigation on, and its connection in the library."""
    model = BenchModel()
    model._put_profile_hint("bench")
    model._enable_navigation(True)
    conn = _zibrel_bench.last_connection()
    if conn == 0:
        raise RuntimeError("enabling navigation opened no connection")
    return model, conn


def library():
    """The library instance the module loaded, for the few control calls a family checks with."""
    lib = ctypes.CDLL(_zibrel_bench.library_path())
    lib.zbctl_write_count.restype = ctypes.c_uint64
    lib.zbctl_write_count.argtypes = [ctypes.c_uint64, ctypes.c_char_p]
    return lib


def figure(runs, unit):
    return {"unit": unit, "median": statistics.median(runs), "runs": runs}


def emit(figures, **details):
    json.dump({"figures": figures, **details}, sys.stdout)
    sys.stdout.write("\n")
