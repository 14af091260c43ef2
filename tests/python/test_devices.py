"""pyzibrel.devices(): the library's device information as typed objects, and the
device files `record` writes, replayed through the library against live-style input."""

import ctypes
import io
import json
import math
import os
import re
import time

import numpy as np
import pytest

import engine_support as es
import pyzibrel
from engine_support import Scene
from pyzibrel import _library
from pyzibrel.devices import Device, DeviceEvent, DeviceFileWriter, parse_device_info, parse_settings, settings

INFO = {
    "library": "/opt/lib/libQorZibrel.so",
    "settings_file": None,
    "device_setting": "auto",
    "usable": True,
    "problems": ["The spacenavd daemon does not answer at /run/spnav.sock."],
    "sources": [
        {"source": "spacenavd", "path": "/run/spnav.sock", "available": False,
         "problem": "The spacenavd daemon does not answer at /run/spnav.sock.", "devices": []},
        {"source": "hid", "path": "/dev/hidraw*", "available": True, "problem": None, "devices": [
            {"name": "Six axis cap", "path": "/dev/hidraw3", "axes": 6, "buttons": 2, "connected": True,
             "problem": None},
            {"name": "Other cap", "path": "/dev/hidraw4", "axes": 6, "buttons": 0, "connected": True,
             "problem": "Permission denied on /dev/hidraw4."},
        ]},
    ],
}


def test_device_information_becomes_typed_objects():
    info = parse_device_info(json.dumps(INFO))
    assert (info.library, info.settings_file, info.device_setting, info.usable) == (
        "/opt/lib/libQorZibrel.so", None, "auto", True)
    spacenavd, hid = info.sources
    assert (spacenavd.source, spacenavd.available, spacenavd.devices) == ("spacenavd", False, ())
    assert hid.devices[0] == Device(
        name="Six axis cap", path="/dev/hidraw3", axes=6, buttons=2, connected=True, problem=None)
    # Only a connected device without a problem delivers input.
    assert [(s.source, d.path) for s, d in info.connected] == [("hid", "/dev/hidraw3")]
    assert info.to_dict() == {**INFO, "problems": tuple(INFO["problems"]),
                              "sources": tuple({**s, "devices": tuple(s["devices"])} for s in INFO["sources"])}


def test_missing_optional_fields_take_their_defaults():
    info = parse_device_info('{"sources": [{"source": "file", "devices": [{"name": "session"}]}]}')
    assert info.usable is False and info.problems == () and info.library is None
    (device,) = info.sources[0].devices
    assert (device.path, device.axes, device.buttons, device.connected) == (None, 0, 0, False)


@pytest.mark.parametrize("text, named", [
    ("{not json", "not JSON"),
    ("[1, 2]", "not a JSON object"),
    ('{"usable": "yes"}', "usable"),
    ('{"problems": "one"}', "problems"),
    ('{"problems": [3]}', "problems[0]"),
    ('{"sources": [{"path": "/x"}]}', "sources[0].source"),
    ('{"sources": [{"source": "hid", "devices": {}}]}', "sources[0].devices"),
    ('{"sources": [{"source": "hid", "devices": [{"name": "a", "axes": -1}]}]}', "sources[0].devices[0].axes"),
    ('{"sources": [{"source": "hid", "devices": [{"name": "a", "buttons": true}]}]}', "devices[0].buttons"),
    ('{"sources": [{"source": "hid", "devices": [{"name": 5}]}]}', "sources[0].devices[0].name"),
])
def test_malformed_device_information_is_refused_naming_the_field(text, named):
    with pytest.raises(ValueError, match=named.replace("[", r"\[").replace("]", r"\]")):
        parse_device_info(text)


INFO_PROTOTYPE = ctypes.CFUNCTYPE(ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t)


def fake_device_info(monkeypatch, answer):
    """Stand in for the library's zbx_device_info, answering `answer()` by its contract."""
    calls = []

    def info(buf, length):
        data = answer().encode()
        calls.append(length)
        if length:
            ctypes.memmove(buf, data[:length - 1] + b"\0", min(len(data), length - 1) + 1)
        return len(data)

    function = INFO_PROTOTYPE(info)
    monkeypatch.setattr(_library, "library", lambda: object())
    monkeypatch.setattr(_library, "library_path", lambda: "/fake/libQorZibrel.so")
    monkeypatch.setattr(_library, "function", lambda name: function if name == "zbx_device_info" else None)
    return calls


def test_a_long_answer_is_read_whole_with_a_larger_buffer(monkeypatch):
    many = dict(INFO, sources=[{"source": "hid", "path": "/dev/hidraw*", "available": True, "problem": None,
                                "devices": [{"name": f"cap {i}", "path": f"/dev/hidraw{i}", "axes": 6,
                                             "buttons": 2, "connected": True, "problem": None}
                                            for i in range(100)]}])
    calls = fake_device_info(monkeypatch, lambda: json.dumps(many))
    info = pyzibrel.devices()
    assert len(info.sources[0].devices) == 100 and info.sources[0].devices[-1].name == "cap 99"
    assert len(calls) == 2 and calls[1] > len(json.dumps(many))


def test_an_answer_that_keeps_growing_is_reported_not_looped_on(monkeypatch):
    sizes = iter(range(1, 100))
    fake_device_info(monkeypatch, lambda: json.dumps({"problems": ["x" * 5000 * next(sizes)]}))
    info = pyzibrel.devices()
    assert not info.usable
    assert info.problems == ("The navigation library /fake/libQorZibrel.so kept answering more device "
                             "information than it said it would.",)


def test_an_absurd_length_is_reported_not_allocated(monkeypatch):
    def info(buf, length):
        return (1 << 62)

    function = INFO_PROTOTYPE(info)
    monkeypatch.setattr(_library, "library", lambda: object())
    monkeypatch.setattr(_library, "library_path", lambda: "/fake/libQorZibrel.so")
    monkeypatch.setattr(_library, "function", lambda name: function)
    info = pyzibrel.devices()
    assert info.problems == (f"The navigation library /fake/libQorZibrel.so answered {1 << 62} bytes of device "
                             "information, more than any list of devices takes.",)


def test_an_unreadable_answer_is_a_problem_not_an_exception(monkeypatch):
    fake_device_info(monkeypatch, lambda: '{"usable": 1}')
    info = pyzibrel.devices()
    assert not info.usable and info.sources == ()
    assert info.problems == ("The navigation library /fake/libQorZibrel.so answered device information that "
                             "cannot be read: usable is not true or false.",)


def test_a_library_without_device_information_is_called_too_old(monkeypatch):
    monkeypatch.setattr(_library, "library", lambda: object())
    monkeypatch.setattr(_library, "library_path", lambda: "/old/libQorZibrel.so")
    monkeypatch.setattr(_library, "function", lambda name: None)
    info = pyzibrel.devices()
    assert not info.usable and info.library == "/old/libQorZibrel.so"
    assert info.problems == ("The navigation library /old/libQorZibrel.so is too old to describe its devices "
                             "(it has no zbx_device_info).",)
    with pytest.raises(pyzibrel.MonitorError, match="too old to monitor devices"):
        pyzibrel.monitor()


def test_no_library_at_all_is_said_so(monkeypatch):
    monkeypatch.setattr(_library, "library", lambda: None)
    info = pyzibrel.devices()
    assert not info.usable and info.library is None
    assert "No navigation library is loaded" in info.problems[0]
    with pytest.raises(pyzibrel.MonitorError, match="No navigation library is loaded"):
        pyzibrel.monitor()


# ---------------------------------------------------------------- the settings in effect


@pytest.mark.parametrize("content, timeout, problems", [
    (None, 100.0, []),
    ("motion-timeout = 150\n", 150.0, []),
    ("motion-timeout = 150\nmotion-timeout = 0.5   # refused: the last valid line wins\n", 150.0,
     ["line 2: '0.5' is not a time from 1 to 10000 ms; line ignored"]),
    ("motion-timeout = 20 ms\nmotion-timeout\n", 100.0,
     ["line 1: '20 ms' is not a time from 1 to 10000 ms; line ignored", "line 2: expected 'key = value'; line ignored"]),
    ("directory", 100.0, ["(ZIBREL_CONFIG) is not a regular file (a directory); defaults apply"]),
    ("fifo", 100.0, ["(ZIBREL_CONFIG) is not a regular file (a FIFO); defaults apply"]),  # never waits for a writer
    ("missing", 100.0, ["(ZIBREL_CONFIG) cannot be read (No such file or directory); defaults apply"]),
])
def test_settings_are_the_librarys_reading_of_the_settings_file(tmp_path, monkeypatch, content, timeout, problems):
    path = tmp_path / "zibrel.conf"
    if content == "directory":
        path.mkdir()
    elif content == "fifo":
        os.mkfifo(path)
    elif content is not None and content != "missing":
        path.write_text(content)
    if content is None:
        monkeypatch.delenv("ZIBREL_CONFIG", raising=False)
    else:
        monkeypatch.setenv("ZIBREL_CONFIG", str(path))
    chosen = settings()
    assert chosen.motion_timeout_ms == timeout and chosen.refused == {}
    assert chosen.settings_file == (None if content is None else str(path))
    assert len(chosen.problems) == len(problems)
    for said, expected in zip(chosen.problems, problems):
        assert said.startswith(f"settings file {path}") and said.endswith(expected), said


def test_extra_settings_apply_after_the_file_or_are_refused_with_the_librarys_reason(tmp_path, monkeypatch):
    conf = tmp_path / "zibrel.conf"
    conf.write_text("motion-timeout = 150\n")
    monkeypatch.setenv("ZIBREL_CONFIG", str(conf))
    assert settings({"motion-timeout": "250"}).motion_timeout_ms == 250.0
    refused = settings({"motion-timeout": "10001", "sensitivity": "2", "speed": "3", "invert": "\udcff"})
    assert refused.motion_timeout_ms == 150.0 and refused.problems == ()
    assert refused.refused == {"motion-timeout": "'10001' is not a time from 1 to 10000 ms",
                               "speed": "unknown setting 'speed'",
                               "invert": "unknown axis '\ufffd' (axes: x y z rx ry rz)"}


@pytest.mark.parametrize("text, named", [
    ("{not json", "not JSON"),
    ("[]", "not a JSON object"),
    ('{"motion_timeout_ms": "100", "refused": [null]}', "motion_timeout_ms"),
    ('{"motion_timeout_ms": true, "refused": [null]}', "motion_timeout_ms"),
    ('{"motion_timeout_ms": 0, "refused": [null]}', "motion_timeout_ms"),
    ('{"motion_timeout_ms": 100, "refused": []}', "refused has 0 entries for 1 settings"),
    ('{"motion_timeout_ms": 100, "refused": [3]}', "refused[0]"),
    ('{"motion_timeout_ms": 100, "refused": [null], "problems": [null]}', "problems[0]"),
    ('{"motion_timeout_ms": 100, "refused": [null], "settings_file": 1}', "settings_file"),
])
def test_malformed_settings_answers_are_refused_naming_the_field(text, named):
    with pytest.raises(ValueError, match=re.escape(named)):
        parse_settings(text, ["motion-timeout"])


SETTINGS_PROTOTYPE = ctypes.CFUNCTYPE(ctypes.c_size_t, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t,
                                      ctypes.c_void_p, ctypes.c_size_t)


def test_settings_from_a_library_that_cannot_tell_raise_saying_why(monkeypatch):
    monkeypatch.setattr(_library, "library", lambda: object())
    monkeypatch.setattr(_library, "library_path", lambda: "/old/libQorZibrel.so")
    monkeypatch.setattr(_library, "function", lambda name: None)
    with pytest.raises(RuntimeError, match=re.escape("/old/libQorZibrel.so is too old to report its settings "
                                                     "(it has no zbx_settings)")):
        settings()
    function = SETTINGS_PROTOTYPE(lambda keys, values, count, buf, length: 0)  # an empty answer
    monkeypatch.setattr(_library, "function", lambda name: function)
    with pytest.raises(RuntimeError, match="answered settings that cannot be read: not JSON"):
        settings()
    monkeypatch.setattr(_library, "library", lambda: None)
    with pytest.raises(RuntimeError, match="No navigation library is loaded"):
        settings()


# ---------------------------------------------------------------- device files


def motion(t_ms, *axes):
    return DeviceEvent(t_ms, "motion", 0, tuple(axes) + (0.0,) * (6 - len(axes)))


def press(t_ms, button, pressed=True):
    return DeviceEvent(t_ms, "press" if pressed else "release", button)


def written(events, timeout=100.0, finish=None):
    out = io.StringIO()
    writer = DeviceFileWriter(out, timeout)
    for e in events:
        writer.add(e)
    writer.finish(finish)
    return out.getvalue().splitlines()


@pytest.mark.parametrize("events, finish, lines", [
    pytest.param([], None, ["0.000000  end"], id="nothing happened"),
    pytest.param(  # a resting device before the first deflection is left out; times count from the first line
        [motion(500, 0), motion(1000.25, 0, 0, 0, 0, 0.5), motion(1050.5, 0, 0, 0, 0, -0.25), motion(1090, 0)],
        1500,
        ["0.000000  motion  0 0 0  0 0.5 0", "0.050250  motion  0 0 0  0 -0.25 0",
         "0.089750  motion  0 0 0  0 0 0", "0.499750  end"],
        id="reports while moving, then a release"),
    pytest.param(  # held still: the device goes quiet and the library lets go after the timeout
        [motion(0, 0.5), motion(300, 0.25), press(350, 3), press(360, 3, False)], None,
        ["0.000000  motion  0.5 0 0  0 0 0",
         "0.100001  motion  0 0 0  0 0 0   # silent for the motion timeout: let go",
         "0.300000  motion  0.25 0 0  0 0 0",
         "0.350000  press 3", "0.360000  release 3",
         "0.400001  motion  0 0 0  0 0 0   # silent for the motion timeout: let go",
         "0.400001  end"],
        id="silence lets go"),
    pytest.param(  # values beyond full deflection are clamped, as the library does; repeated zeros are dropped
        [motion(10, 1.5, -2, 1 / 3), motion(20, 0), motion(30, 0), press(40, 0)], 20,
        ["0.000000  motion  1.0 -1.0 0.3333333333333333  0 0 0", "0.010000  motion  0 0 0  0 0 0",
         "0.030000  press 0", "0.030000  end"],
        id="clamped and exact"),
])
def test_device_file_lines(events, finish, lines):
    assert [line for line in written(events, finish=finish) if not line.startswith("#")] == lines


def test_the_motion_timeout_in_use_decides_when_silence_lets_go():
    lines = written([motion(0, 0, 1), motion(180, 0, 1)], timeout=250.0)
    assert lines == ["0.000000  motion  0 1.0 0  0 0 0", "0.180000  motion  0 1.0 0  0 0 0",
                     "0.430001  motion  0 0 0  0 0 0   # silent for the motion timeout: let go", "0.430001  end"]


# A session as a live device sends it: reports while moving, silences while held
# still (longer and shorter than the motion timeout), buttons, all off the frame grid.
LIVE = [
    motion(3.0, 0, 0, 0, 0, 0.6, 0), motion(28.0, 0, 0, 0, 0, 0.8, 0), motion(47.0, 0, 0, 0, 0.2, 0.8, 0),
    motion(304.0, 0.5, 0, 0, 0, 0, 0),  # after 257 ms of silence
    motion(374.0, 0.5, 0.25, 0, 0, 0, 0),  # after 70 ms: still held
    press(401.0, 2), press(455.0, 2, False),
    motion(523.0, 0, 0, -0.7, 0, 0, 0.1), motion(555.0, 0, 0, -0.7, 0, 0, 0.1),
    motion(808.0, 0, 0, 0, 0, 0, 0), motion(900.0, 0, 0, 0, 0, 0, -1),
]


# A device reporting faster than the frames: several samples in most frames.
DENSE = [motion(3.0 + 4 * i, 0.1 * (i % 7), 0, 0, 0, 0.05 * (i % 11), 0) for i in range(1, 61)]


@pytest.mark.parametrize("events, coalesce, frame_step", [
    (LIVE, "average", 10.0), (LIVE, "average", 16.0),
    (DENSE, "latest", 10.0), (DENSE, "latest", 16.0),  # what the README promises for dense input
])
def test_a_written_file_replays_the_motion_a_live_device_gives(tmp_path, monkeypatch, events, coalesce, frame_step):
    """The library, fed the events as a live device (held until the timeout), and the
    replay of the file written from them move the camera the same way."""
    conf = tmp_path / "zibrel.conf"
    conf.write_text(f"button.2 = view:front\nmotion-timeout = 100\ncoalesce = {coalesce}\n")
    monkeypatch.setenv("ZIBREL_CONFIG", str(conf))
    path = tmp_path / "session.txt"
    path.write_text("\n".join(written(events, finish=1200)) + "\n")

    def run(push):
        scene = Scene(camera=es.look_at((3, 4, 10), (0, 0, 0)))
        conn = scene.open()
        start = 5000.0
        if push:  # the live device's events, on the frame clock from the first frame on
            t0 = events[0].t_ms
            for e in events:
                if e.kind == "motion":
                    assert es.sample(conn, start + e.t_ms - t0, *e.axes) == 0
                else:
                    es.button(conn, start + e.t_ms - t0, e.button, e.kind == "press")
        cameras = []
        for i in range(int(1400 / frame_step)):
            scene.frame(start + i * frame_step)
            cameras.append(scene.camera.copy())
        scene._enable_navigation(False)
        return np.array(cameras), scene.names(("motion", "commands.activeCommand", "pivot.visible"))

    monkeypatch.setenv("ZIBREL_DEVICE", "none")
    live, live_events = run(push=True)
    monkeypatch.setenv("ZIBREL_DEVICE", f"file:{path}")
    replayed, replay_events = run(push=False)
    assert not np.allclose(live[0], live[-1])  # it moved
    np.testing.assert_allclose(replayed, live, rtol=0, atol=1e-9)
    assert replay_events == live_events


# ---------------------------------------------------------------- waiting for raw input


@pytest.mark.parametrize("timeout", [1e10, 2**31 / 1000, math.inf], ids=["1e10 s", "2**31 ms", "inf"])
def test_a_long_monitor_wait_still_ends_at_the_first_event(tmp_path, monkeypatch, timeout):
    session = tmp_path / "session.txt"
    session.write_text("0.3 press 4\n")
    monkeypatch.setenv("ZIBREL_DEVICE", f"file:{session}")
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)
    with pyzibrel.monitor() as m:
        start = time.monotonic()
        events = m.read(timeout)  # a C int of milliseconds cannot hold these
        assert [(e.kind, e.button) for e in events] == [("press", 4)]
        assert 0.25 < time.monotonic() - start < 10
        with pytest.raises(ValueError, match="not a number of seconds"):
            m.read(math.nan)
