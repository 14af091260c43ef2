"""Every accessor reached from our navigation library, through the real module."""

import datetime
import math

import pytest

import zibrel_ctl as ctl
from _pyzibrel import (ZibrelBox, ZibrelFrustum, ZibrelMatrix, ZibrelNavigationModel, ZibrelPlane, ZibrelPoint,
                       ZibrelVector)

NOT_SUPPORTED, IO_ERROR = 0x80040028, 0x80040005
MATRIX = tuple(float(i) for i in range(1, 17))


def connect(model, profile="accessor tests"):
    model._put_profile_hint(profile)
    model._enable_navigation(True)
    return ctl.last_connection()


class Scene(ZibrelNavigationModel):
    """Answers every read with a distinctive value and records every write."""

    def __init__(self):
        super().__init__(False, 0)
        self.log = []

    def _get_pointer_position(self): return ZibrelPoint(1, 2, 3)
    def _get_view_extents(self): return ZibrelBox(-1, -2, -3, 1, 2, 3)
    def _get_view_fov(self): return 0.75
    def _get_view_frustum(self): return ZibrelFrustum(-1, 1, -2, 2, 0.5, 50)
    def _get_is_view_perspective(self): return True
    def _get_selection_extents(self): return ZibrelBox(0, 0, 0, 4, 5, 6)
    def _get_selection_transform(self): return ZibrelMatrix(*MATRIX)
    def _get_is_selection_empty(self): return False
    def _get_pivot_visible(self): return 1
    def _get_camera_matrix(self): return ZibrelMatrix(*MATRIX)
    def _get_model_extents(self): return ZibrelBox(-10, -10, -10, 10, 10, 10)
    def _get_pivot_position(self): return ZibrelPoint(7, 8, 9)
    def _get_hit_look_at(self): return ZibrelPoint(4, 4, 4)
    def _is_user_pivot(self): return False
    def _get_coordinate_system(self): return ZibrelMatrix(*reversed(MATRIX))
    def _get_front_view(self): return ZibrelMatrix(*MATRIX)
    def _get_units_to_meters(self): return 0.001
    def _get_floor_plane(self): return ZibrelPlane(0, 1, 0, -2)
    def _get_camera_target(self): return ZibrelPoint(0, 0, -5)
    def _get_view_construction_plane(self): return ZibrelPlane(ZibrelPoint(0, 0, 1), 3)
    def _get_is_view_rotatable(self): return False
    def _get_view_focus_distance(self): return 12.5

    def __getattr__(self, name):
        # Every _set_ method records its name and argument.
        if name.startswith("_set_"):
            return lambda value: self.log.append((name, value))
        raise AttributeError(name)


# Setters defined as real methods (the dispatch looks for the attribute on the class).
for _name in ["_set_camera_matrix", "_set_view_extents", "_set_view_fov", "_set_view_frustum",
              "_set_selection_transform", "_set_pivot_position", "_set_pivot_visible", "_set_hit_aperture",
              "_set_hit_direction", "_set_hit_look_from", "_set_hit_selection_only", "_set_active_command",
              "_set_motion_flag", "_set_settings_changed", "_set_key_press", "_set_key_release", "_set_transaction",
              "_set_camera_target", "_set_pointer_position"]:
    setattr(Scene, _name, (lambda n: lambda self, value: self.log.append((n, value)))(_name))


@pytest.fixture
def scene():
    model = Scene()
    conn = connect(model)
    yield model, conn
    model._enable_navigation(False)


GETTERS = [
    ("pointer.position", ctl.POINT, [1, 2, 3]),
    ("view.extents", ctl.BOX, [-1, -2, -3, 1, 2, 3]),
    ("view.fov", ctl.DOUBLE, [0.75]),
    ("view.frustum", ctl.FRUSTUM, [-1, 1, -2, 2, 0.5, 50]),
    ("view.perspective", ctl.BOOL, 1),
    ("selection.extents", ctl.BOX, [0, 0, 0, 4, 5, 6]),
    ("selection.affine", ctl.MATRIX, list(MATRIX)),
    ("selection.empty", ctl.BOOL, 0),
    ("pivot.visible", ctl.BOOL, 1),
    ("view.affine", ctl.MATRIX, list(MATRIX)),
    ("model.extents", ctl.BOX, [-10, -10, -10, 10, 10, 10]),
    ("pivot.position", ctl.POINT, [7, 8, 9]),
    ("hit.lookat", ctl.POINT, [4, 4, 4]),
    ("pivot.user", ctl.BOOL, 0),
    ("coordinateSystem", ctl.MATRIX, list(reversed(MATRIX))),
    ("views.front", ctl.MATRIX, list(MATRIX)),
    ("model.unitsToMeters", ctl.DOUBLE, [0.001]),
    ("model.floorPlane", ctl.PLANE, [0, 1, 0, -2]),
    ("view.target", ctl.POINT, [0, 0, -5]),
    ("view.constructionPlane", ctl.PLANE, [0, 0, 1, 3]),
    ("view.rotatable", ctl.BOOL, 0),
    ("view.focusDistance", ctl.DOUBLE, [12.5]),
]


@pytest.mark.parametrize("prop, type_, expected", GETTERS, ids=[g[0] for g in GETTERS])
def test_every_getter_fills_the_record(scene, prop, type_, expected):
    _, conn = scene
    result, record = ctl.get(conn, prop)
    assert result == 0
    assert record.type == type_
    if type_ == ctl.BOOL:
        assert record.u.b == expected  # stored as exactly 0 or 1
    else:
        assert record.numbers(len(expected)) == expected


def point_of(v):
    return (type(v).__name__, v.x, v.y, v.z)


SETTERS = [
    ("view.affine", ctl.Value.of(ctl.MATRIX, *MATRIX), "_set_camera_matrix",
     lambda v: (type(v).__name__, v.m00, v.m33), ("ZibrelMatrix", 1.0, 16.0)),
    ("view.extents", ctl.Value.of(ctl.BOX, 1, 2, 3, 4, 5, 6), "_set_view_extents",
     lambda v: (v.min.x, v.max.z), (1.0, 6.0)),
    ("view.fov", ctl.Value.float(0.5), "_set_view_fov", lambda v: v, 0.5),
    ("view.frustum", ctl.Value.of(ctl.FRUSTUM, 1, 2, 3, 4, 5, 6), "_set_view_frustum",
     lambda v: (v.left, v.far_plane), (1.0, 6.0)),
    ("selection.affine", ctl.Value.of(ctl.MATRIX, *MATRIX), "_set_selection_transform", lambda v: v.m01, 2.0),
    ("pivot.position", ctl.Value.of(ctl.POINT, 1, 2, 3), "_set_pivot_position", point_of, ("ZibrelPoint", 1, 2, 3)),
    ("pivot.visible", ctl.Value.long(3), "_set_pivot_visible", lambda v: v, True),
    ("hit.aperture", ctl.Value.double(0.25), "_set_hit_aperture", lambda v: v, 0.25),
    ("hit.direction", ctl.Value.of(ctl.VECTOR, 1, 2, 3), "_set_hit_direction", point_of, ("ZibrelPoint", 1, 2, 3)),
    ("hit.lookfrom", ctl.Value.of(ctl.POINT, 4, 5, 6), "_set_hit_look_from", point_of, ("ZibrelPoint", 4, 5, 6)),
    ("hit.selectionOnly", ctl.Value.flag(0), "_set_hit_selection_only", lambda v: v, False),
    ("commands.activeCommand", ctl.Value.cstr("zoom-fit"), "_set_active_command", lambda v: v, "zoom-fit"),
    ("motion", ctl.Value.flag(1), "_set_motion_flag", lambda v: v, True),
    ("settings.changed", ctl.Value.long(4), "_set_settings_changed", lambda v: v, 4),
    ("events.keyPress", ctl.Value.double(65.9), "_set_key_press", lambda v: v, 65),
    ("events.keyRelease", ctl.Value.long(66), "_set_key_release", lambda v: v, 66),
    ("transaction", ctl.Value.long(1), "_set_transaction", lambda v: v, 1),
    ("view.target", ctl.Value.of(ctl.POINT, 0, 0, 1), "_set_camera_target", point_of, ("ZibrelPoint", 0, 0, 1)),
    ("pointer.position", ctl.Value.of(ctl.POINT, 9, 9, 9), "_set_pointer_position", point_of,
     ("ZibrelPoint", 9, 9, 9)),
]


@pytest.mark.parametrize("prop, record, method, view, expected", SETTERS, ids=[s[0] for s in SETTERS])
def test_every_setter_reaches_its_override(scene, prop, record, method, view, expected):
    model, conn = scene
    assert ctl.set(conn, prop, record) == 0
    assert [name for name, _ in model.log] == [method]
    assert view(model.log[0][1]) == expected


def test_setter_receives_a_copy(scene):
    model, conn = scene
    ctl.set(conn, "view.affine", ctl.Value.of(ctl.MATRIX, *MATRIX))
    received = model.log[0][1]
    received.m00 = 100  # changing the copy changes nothing on the native side
    ctl.set(conn, "view.affine", ctl.Value.of(ctl.MATRIX, *MATRIX))
    assert model.log[1][1].m00 == 1.0


class Unanswering(ZibrelNavigationModel):
    def _get_camera_matrix(self):
        return None

    def _get_is_view_perspective(self):
        return None


def test_none_gives_not_supported_and_leaves_the_record():
    model = Unanswering(False, 0)
    conn = connect(model)
    marker = ctl.Value.of(ctl.MATRIX, *[42.0] * 16)
    result, record = ctl.get(conn, "view.affine", marker)
    assert result == NOT_SUPPORTED
    assert record.numbers(16) == [42.0] * 16
    flag = ctl.Value.flag(7)
    result, record = ctl.get(conn, "view.perspective", flag)
    assert (result, record.u.b) == (NOT_SUPPORTED, 7)


def test_defaults_of_a_model_without_overrides():
    model = Unanswering(False, 0)
    conn = connect(model)
    for prop in ("coordinateSystem", "views.front"):
        result, record = ctl.get(conn, prop)
        assert result == 0
        assert record.numbers(16) == [1.0 if i % 5 == 0 else 0.0 for i in range(16)]
    result, record = ctl.get(conn, "view.rotatable")
    assert (result, record.type, record.u.b) == (0, ctl.BOOL, 1)
    for prop in ("model.unitsToMeters", "model.floorPlane", "view.target", "view.constructionPlane",
                 "view.focusDistance"):
        assert ctl.get(conn, prop)[0] == NOT_SUPPORTED, prop
    assert ctl.set(conn, "events.keyPress", ctl.Value.long(5)) == 0, "default setters accept and drop"


def test_missing_pure_override_reports_io_error(capfd):
    model = Unanswering(False, 0)
    conn = connect(model)
    assert ctl.get(conn, "pivot.position")[0] == IO_ERROR
    err = capfd.readouterr().err
    assert "Uncaught exception thrown in GetValue(0x" in err
    assert ', pivot.position, value)\n' in err
    assert 'Tried to call pure virtual function "NavigationModel::_get_pivot_position"' in err


def test_python_exception_reports_io_error_and_is_not_left_pending(capfd):
    class Failing(ZibrelNavigationModel):
        def _get_camera_matrix(self):
            raise ValueError("no camera yet")

        def _get_pointer_position(self):
            return ZibrelVector(1, 2, 3)  # the wrong class

    model = Failing(False, 0)
    conn = connect(model)
    assert ctl.get(conn, "view.affine")[0] == IO_ERROR
    err = capfd.readouterr().err
    assert "ValueError: no camera yet" in err
    assert "Uncaught exception thrown in GetValue(0x" in err
    assert ctl.get(conn, "pointer.position")[0] == IO_ERROR
    assert "Unable to cast" in capfd.readouterr().err
    # Nothing is pending: Python carries on normally.
    assert [i for i in range(3)] == [0, 1, 2]


def test_getter_results_convert_through_the_library():
    class Loose(ZibrelNavigationModel):
        def _get_view_fov(self):
            return 2  # an int is a float here

        def _get_is_view_perspective(self):
            return 5  # numbers by their truth value

    model = Loose(False, 0)
    conn = connect(model)
    result, record = ctl.get(conn, "view.fov", ctl.Value.float(0.0))
    assert (result, record.type, record.u.d) == (0, ctl.DOUBLE, 2.0)
    result, record = ctl.get(conn, "view.perspective")
    assert (result, record.u.b) == (0, 1)


def test_connection_options_and_profile():
    model = ZibrelNavigationModel(True, 7)
    conn = connect(model, "my app")
    assert ctl.profile(conn) == "my app"
    assert ctl.lib.zbctl_accessor_count(conn) == 32
    model._enable_navigation(False)
    assert model._is_enabled() is False


def test_frame_time_and_timing_source_reach_the_library():
    import datetime
    model = ZibrelNavigationModel(False, 0)
    conn = connect(model)
    model._put_frame_time(datetime.timedelta(seconds=1.5))
    model._put_frame_time(1.5)
    assert ctl.write_count(conn, "frame.time") == 1
    assert ctl.written(conn, "frame.time").u.d == 1500.0
    model._put_frame_timing_source(1)
    assert ctl.written(conn, "frame.timingSource").u.l == 1


FRAME_TIME_LIMIT = 9223372036.854775807  # seconds of 64-bit nanoseconds


@pytest.mark.parametrize("time, accepted_ms", [
    (2, 2000.0),
    (-3, -3000.0),
    (2.25, 2250.0),
    (datetime.timedelta(days=1, microseconds=5), 86400000.005),
    (9_223_372_036, 9223372036000.0),
    (-9_223_372_036, -9223372036000.0),
    (9.2e9, 9.2e12),
])
def test_frame_time_accepts_seconds_as_int_float_or_timedelta(time, accepted_ms):
    model = ZibrelNavigationModel(False, 0)
    conn = connect(model)
    model._put_frame_time(time)
    assert ctl.write_count(conn, "frame.time") == 1
    assert ctl.written(conn, "frame.time").u.d == pytest.approx(accepted_ms, rel=1e-15)
    model._enable_navigation(False)


@pytest.mark.parametrize("time, error", [
    (math.nan, ValueError),
    (math.inf, OverflowError),
    (-math.inf, OverflowError),
    (1e300, OverflowError),
    (-1e300, OverflowError),
    (9.3e9, OverflowError),
    (-9.3e9, OverflowError),
    (FRAME_TIME_LIMIT * 1.0000001, OverflowError),
    (datetime.timedelta.max, OverflowError),
    (datetime.timedelta.min, OverflowError),
    (datetime.timedelta(days=106752), OverflowError),
    (9_223_372_037, OverflowError),
    (2**63, OverflowError),
    (-(2**100), OverflowError),
])
def test_frame_times_that_are_no_time_are_refused_and_nothing_is_written(time, error):
    model = ZibrelNavigationModel(False, 0)
    conn = connect(model)
    model._put_frame_time(1.0)
    with pytest.raises(error, match="The frame time .* (out of range|not a number)"):
        model._put_frame_time(time)
    assert model._get_frame_time() == datetime.timedelta(seconds=1)
    assert ctl.write_count(conn, "frame.time") == 1
    assert ctl.written(conn, "frame.time").u.d == 1000.0
    model._enable_navigation(False)


@pytest.mark.parametrize("time", ["1s", None, True, b"1", 1j])
def test_frame_time_of_another_type_is_a_type_error(time):
    model = ZibrelNavigationModel(False, 0)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        model._put_frame_time(time)
    assert model._get_frame_time() == datetime.timedelta(0)


def test_active_command_set_round_trip():
    model = ZibrelNavigationModel(False, 0)
    connect(model)
    assert model._get_active_commands() == ""
    model._put_active_commands("édition")
    assert model._get_active_commands() == "édition"
