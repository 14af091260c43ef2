"""ctypes access to the control interface of our navigation library's test variant.

The library the module loaded is the first one on LD_LIBRARY_PATH (./dev test
puts the test variant there), else the one in the pyzibrel package; opening the
same file again gives the same instance, so these functions act on the
connections the module made. The product library has no control interface.
"""

import ctypes
import os
import pathlib

import _pyzibrel

# value_type tags
AUTO, VOIDPTR, BOOL, LONG, FLOAT, DOUBLE, POINT, VECTOR, MATRIX, STRING, ACTIONNODE, PLANE, BOX, FRUSTUM, CSTR, IMAGEARRAY = (
    -2, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14)


class _Text(ctypes.Structure):
    _fields_ = [("p", ctypes.c_char_p), ("length", ctypes.c_uint64)]


class _Payload(ctypes.Union):
    _fields_ = [
        ("b", ctypes.c_uint32),
        ("l", ctypes.c_int32),
        ("f", ctypes.c_float),
        ("d", ctypes.c_double),
        ("doubles", ctypes.c_double * 16),
        ("text", _Text),
    ]


class Value(ctypes.Structure):
    """The 136-byte value record."""

    _fields_ = [("type", ctypes.c_int32), ("_pad", ctypes.c_int32), ("u", _Payload)]

    @classmethod
    def of(cls, type_, *doubles):
        v = cls()
        v.type = type_
        for i, x in enumerate(doubles):
            v.u.doubles[i] = x
        return v

    @classmethod
    def long(cls, n):
        v = cls(type=LONG)
        v.u.l = n
        return v

    @classmethod
    def flag(cls, b):
        v = cls(type=BOOL)
        v.u.b = b
        return v

    @classmethod
    def double(cls, x):
        v = cls(type=DOUBLE)
        v.u.d = x
        return v

    @classmethod
    def float(cls, x):
        v = cls(type=FLOAT)
        v.u.f = x
        return v

    @classmethod
    def cstr(cls, text):
        v = cls(type=CSTR)
        v._keep = ctypes.create_string_buffer(text.encode())
        v.u.text.p = ctypes.cast(v._keep, ctypes.c_char_p)
        v.u.text.length = len(text.encode()) + 1
        return v

    def numbers(self, n):
        return [self.u.doubles[i] for i in range(n)]


assert ctypes.sizeof(Value) == 136


def library_path():
    module_dir = pathlib.Path(_pyzibrel.__file__).parent
    for d in os.environ.get("LD_LIBRARY_PATH", "").split(":"):
        if d and (pathlib.Path(d) / "libQorZibrel.so").exists():
            return str(pathlib.Path(d) / "libQorZibrel.so")
    return str(module_dir / "pyzibrel" / "_lib" / "libQorZibrel.so")


lib = ctypes.CDLL(library_path())
if not hasattr(lib, "zbctl_reset"):
    raise ImportError(f"{library_path()} has no control interface: it is the product library. The tests need its "
                      "test variant first on LD_LIBRARY_PATH (./dev test builds it in "
                      "build/qorzibrel-test/qorzibrel/test-variant)")

_u64, _i32, _int, _vp = ctypes.c_uint64, ctypes.c_int32, ctypes.c_int, ctypes.c_void_p
_signatures = {
    "zbctl_last_connection": (_u64, []),
    "zbctl_open_connections": (_int, []),
    "zbctl_live_connections": (ctypes.c_int64, []),
    "zbctl_create_count": (_u64, []),
    "zbctl_close_count": (_u64, []),
    "zbctl_accessor_count": (_int, [_u64]),
    "zbctl_profile": (_int, [_u64, ctypes.c_char_p, ctypes.c_size_t]),
    "zbctl_get": (_i32, [_u64, ctypes.c_char_p, _vp]),
    "zbctl_set": (_i32, [_u64, ctypes.c_char_p, _vp]),
    "zbctl_call_threads": (_u64, [_u64, ctypes.c_char_p, _int, _vp, _int, _int, ctypes.POINTER(_i32)]),
    "zbctl_hammer_start": (_int, [_u64, ctypes.c_char_p, _int, _vp, _int, _int]),
    "zbctl_hammer_stop": (_u64, [_int, ctypes.POINTER(_u64)]),
    "zbctl_hammer_calls": (_u64, [_int]),
    "zbctl_inject": (None, [ctypes.c_char_p, _i32, _int]),
    "zbctl_write_count": (_u64, [_u64, ctypes.c_char_p]),
    "zbctl_written": (_int, [_u64, ctypes.c_char_p, _vp]),
    "zbctl_tree": (_int, [_u64, ctypes.c_char_p, ctypes.c_size_t]),
    "zbctl_reset": (None, []),
}
for _name, (_res, _args) in _signatures.items():
    _f = getattr(lib, _name)
    _f.restype, _f.argtypes = _res, _args


def code(result):
    """A result code as the unsigned 32-bit number it is documented as."""
    return result & 0xFFFFFFFF


def last_connection():
    return lib.zbctl_last_connection()


def get(conn, prop, record=None):
    """Call the getter of prop on this thread; returns (result code, record)."""
    record = Value(type=AUTO) if record is None else record
    return code(lib.zbctl_get(conn, prop.encode(), ctypes.byref(record))), record


def set(conn, prop, record):
    return code(lib.zbctl_set(conn, prop.encode(), ctypes.byref(record)))


def call_threads(conn, prop, record, threads, calls, setter=False):
    """Calls from fresh library threads; returns (failures, first failing code)."""
    first = ctypes.c_int32(0)
    failures = lib.zbctl_call_threads(conn, prop.encode(), int(setter), ctypes.byref(record), threads, calls,
                                      ctypes.byref(first))
    return failures, code(first.value)


def hammer_start(conn, prop, record, threads, setter=False, keep_after_close=False):
    return lib.zbctl_hammer_start(conn, prop.encode(), int(setter), ctypes.byref(record), threads,
                                  int(keep_after_close))


def hammer_stop(hammer):
    failures = ctypes.c_uint64(0)
    calls = lib.zbctl_hammer_stop(hammer, ctypes.byref(failures))
    return calls, failures.value


def written(conn, prop):
    record = Value()
    return (record if lib.zbctl_written(conn, prop.encode(), ctypes.byref(record)) == 1 else None)


def write_count(conn, prop):
    return lib.zbctl_write_count(conn, prop.encode())


def tree(conn):
    buf = ctypes.create_string_buffer(1 << 16)
    n = lib.zbctl_tree(conn, buf, len(buf))
    return None if n < 0 else buf.value.decode()


def profile(conn):
    buf = ctypes.create_string_buffer(256)
    lib.zbctl_profile(conn, buf, len(buf))
    return buf.value.decode()


def inject(entry, result, times=1):
    lib.zbctl_inject(entry.encode(), ctypes.c_int32(result if result < 0x80000000 else result - (1 << 32)), times)
