"""ZibrelNavigationModel as Python sees it, without a library in the way."""

import datetime

import pytest

from _pyzibrel import ZibrelMatrix, ZibrelNavigationModel, ZibrelPoint, ZibrelVector

PURE_GETTERS = ["_get_pointer_position", "_get_view_extents", "_get_view_fov", "_get_view_frustum",
                "_get_is_view_perspective", "_get_selection_extents", "_get_selection_transform",
                "_get_is_selection_empty", "_get_pivot_visible", "_get_camera_matrix", "_get_model_extents",
                "_get_pivot_position", "_get_hit_look_at", "_is_user_pivot"]
DEFAULT_GETTERS = ["_get_coordinate_system", "_get_front_view", "_get_units_to_meters", "_get_floor_plane",
                   "_get_camera_target", "_get_view_construction_plane", "_get_is_view_rotatable",
                   "_get_view_focus_distance"]
PURE_SETTERS = [("_set_camera_matrix", ZibrelMatrix()), ("_set_view_extents", None), ("_set_view_fov", 1.0),
                ("_set_view_frustum", None), ("_set_selection_transform", ZibrelMatrix()),
                ("_set_pivot_position", ZibrelPoint()), ("_set_pivot_visible", True), ("_set_hit_aperture", 1.0),
                ("_set_hit_direction", ZibrelPoint()), ("_set_hit_look_from", ZibrelPoint()),
                ("_set_hit_selection_only", False), ("_set_active_command", "id")]
DEFAULT_SETTERS = [("_set_motion_flag", True), ("_set_settings_changed", 1), ("_set_key_press", 5),
                   ("_set_key_release", 5), ("_set_transaction", 1), ("_set_camera_target", ZibrelPoint()),
                   ("_set_pointer_position", ZibrelPoint())]
MEMBERS = ["_get_active_commands", "_put_active_commands", "_get_profile_hint", "_put_profile_hint",
           "_get_frame_timing_source", "_put_frame_timing_source", "_is_enabled", "_enable_navigation",
           "_get_frame_time", "_put_frame_time", "_begin_command_set", "_begin_command_category", "_create_command",
           "_end_command_category", "_end_command_set"]
SETTERS_IN_ORDER = [n for n, _ in PURE_SETTERS + DEFAULT_SETTERS]


class Bare(ZibrelNavigationModel):
    pass


@pytest.fixture
def model():
    return Bare(False, 0)


def pure_message(name):
    return f'Tried to call pure virtual function "NavigationModel::{name}"'


def test_methods_are_registered_in_order():
    # pybind11 adds its own cross-module hook; everything else is ours.
    names = [n for n in vars(ZibrelNavigationModel)
             if n.startswith("_") and not n.startswith("__") and not n.startswith("_pybind11")]
    assert names == MEMBERS + PURE_GETTERS + DEFAULT_GETTERS + SETTERS_IN_ORDER
    assert len(names) == 56


@pytest.mark.parametrize("args", [(), (False,), (False, 1.5), ("x", 0), (False, 2**31)])
def test_constructor_refuses_wrong_arguments(args):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        ZibrelNavigationModel(*args)


def test_constructor_takes_no_keywords():
    with pytest.raises(TypeError):
        ZibrelNavigationModel(multiThreaded=False, options=0)


def test_base_class_can_be_created_directly():
    m = ZibrelNavigationModel(True, 7)
    with pytest.raises(RuntimeError, match=pure_message("_get_camera_matrix")):
        m._get_camera_matrix()


@pytest.mark.parametrize("name", PURE_GETTERS)
def test_pure_getters_raise_the_pure_virtual_error(model, name):
    with pytest.raises(RuntimeError) as raised:
        getattr(model, name)()
    assert str(raised.value) == pure_message(name)


@pytest.mark.parametrize("name, argument", [(n, a) for n, a in PURE_SETTERS if a is not None])
def test_pure_setters_raise_the_pure_virtual_error(model, name, argument):
    with pytest.raises(RuntimeError) as raised:
        getattr(model, name)(argument)
    assert str(raised.value) == pure_message(name)


def test_default_getters(model):
    for name in ("_get_coordinate_system", "_get_front_view"):
        m = getattr(model, name)()
        values = [getattr(m, f"m{r}{c}") for r in range(4) for c in range(4)]
        assert values == [1.0 if r == c else 0.0 for r in range(4) for c in range(4)], name
    assert model._get_is_view_rotatable() is True
    for name in ("_get_units_to_meters", "_get_floor_plane", "_get_camera_target", "_get_view_construction_plane",
                 "_get_view_focus_distance"):
        assert getattr(model, name)() is None, name


@pytest.mark.parametrize("name, argument", DEFAULT_SETTERS)
def test_default_setters_do_nothing(model, name, argument):
    assert getattr(model, name)(argument) is None


@pytest.mark.parametrize("call", [
    lambda m: m._set_key_press(2**31),
    lambda m: m._set_key_press(-2**31 - 1),
    lambda m: m._set_hit_direction(ZibrelVector(0, 0, 1)),
    lambda m: m._set_camera_matrix(ZibrelPoint()),
    lambda m: m._put_profile_hint(5),
    lambda m: m._put_frame_time("1s"),
])
def test_argument_types_are_checked(model, call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(model)


def test_hit_direction_takes_a_point_and_reaches_the_override():
    seen = []

    class Model(ZibrelNavigationModel):
        def _set_hit_direction(self, direction):
            seen.append((type(direction), direction.x, direction.y, direction.z))

    Model(False, 0)._set_hit_direction(ZibrelPoint(0, 0, 1))
    assert seen == [(ZibrelPoint, 0.0, 0.0, 1.0)]


def test_super_reaches_the_native_default_without_recursion():
    calls = []

    class Model(ZibrelNavigationModel):
        def _get_units_to_meters(self):
            calls.append("override")
            return super()._get_units_to_meters()

        def _get_coordinate_system(self):
            return super()._get_coordinate_system()

    m = Model(False, 0)
    assert m._get_units_to_meters() is None
    assert calls == ["override"]
    assert m._get_coordinate_system().m22 == 1.0


def test_init_must_call_the_base():
    class Forgetful(ZibrelNavigationModel):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=r"^_pyzibrel\.ZibrelNavigationModel\.__init__\(\) must be called when overriding __init__$"):
        Forgetful()

    class Careful(ZibrelNavigationModel):
        def __init__(self):
            super().__init__(False, 0)
            self.extra = 1

    assert Careful().extra == 1


def test_overrides_returning_wrong_types_raise_the_cast_error():
    class Model(ZibrelNavigationModel):
        def _get_pointer_position(self):
            return ZibrelVector(1, 2, 3)

    # Through the native method, the override's result is cast to the native type.
    with pytest.raises(RuntimeError, match="Unable to cast"):
        ZibrelNavigationModel._get_pointer_position(Model(False, 0))


def test_getter_results_convert():
    class Model(ZibrelNavigationModel):
        def _get_view_fov(self):
            return 1  # an int converts to float

        def _get_is_view_perspective(self):
            return 0  # numbers by their truth value

        def _get_camera_matrix(self):
            return None

    m = Model(False, 0)
    assert ZibrelNavigationModel._get_view_fov(m) == 1.0
    assert ZibrelNavigationModel._get_is_view_perspective(m) is False
    assert ZibrelNavigationModel._get_camera_matrix(m) is None


def test_enable_with_empty_profile(model):
    with pytest.raises(ValueError, match=r"^The text for the profile is empty\.$"):
        model._enable_navigation(True)
    assert model._is_enabled() is False
    model._enable_navigation(False)


def test_frame_time_is_a_timedelta_and_accepts_seconds(model):
    assert model._get_frame_time() == datetime.timedelta(0)
    model._put_frame_time(datetime.timedelta(seconds=1, microseconds=500000))
    assert model._get_frame_time() == datetime.timedelta(seconds=1.5)
    model._put_frame_time(2.25)
    assert model._get_frame_time() == datetime.timedelta(seconds=2.25)


def test_frame_timing_source_round_trip(model):
    assert model._get_frame_timing_source() == 0
    model._put_frame_timing_source(3)
    assert model._get_frame_timing_source() == 3


def test_profile_hint_round_trip(model):
    assert model._get_profile_hint() == ""
    model._put_profile_hint("héllo")
    assert model._get_profile_hint() == "héllo"


def test_redefining_a_member_changes_only_python_callers():
    class Model(ZibrelNavigationModel):
        def _get_profile_hint(self):
            return "python"

    m = Model(False, 0)
    m._put_profile_hint("native")
    assert m._get_profile_hint() == "python"
    assert ZibrelNavigationModel._get_profile_hint(m) == "native"


def test_active_commands_while_disabled(model):
    with pytest.raises(RuntimeError, match="^operation not permitted$"):
        model._get_active_commands()
