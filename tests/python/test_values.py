"""The six value classes: constructors, attributes, views and copies."""

import gc

import pytest

from _pyzibrel import ZibrelBox, ZibrelFrustum, ZibrelMatrix, ZibrelPlane, ZibrelPoint, ZibrelVector
import _pyzibrel

MATRIX_FIELDS = [f"m{r}{c}" for r in range(4) for c in range(4)]
FRUSTUM_FIELDS = ["left", "right", "bottom", "top", "near_plane", "far_plane"]


def test_module_contents_and_version():
    names = [n for n in vars(_pyzibrel) if not n.startswith("__")]
    assert names == ["ZibrelPoint", "ZibrelVector", "ZibrelFrustum", "ZibrelBox", "ZibrelMatrix", "ZibrelPlane",
                     "ZibrelNavigationModel"]
    assert _pyzibrel.__version__ == "VERSION_INFO"
    assert type(_pyzibrel.__version__) is str
    assert _pyzibrel.__doc__ is None
    assert ZibrelPoint.__module__ == "_pyzibrel"
    assert ZibrelPoint.__qualname__ == "ZibrelPoint"


@pytest.mark.parametrize("cls", [ZibrelPoint, ZibrelVector])
def test_point_and_vector(cls):
    zero = cls()
    assert (zero.x, zero.y, zero.z) == (0.0, 0.0, 0.0)
    p = cls(1, 2, 3)
    assert (p.x, p.y, p.z) == (1.0, 2.0, 3.0)
    assert type(p.x) is float
    p.y = 7
    assert p.y == 7.0 and type(p.y) is float


def test_constructor_values():
    f = ZibrelFrustum(1, 2, 3, 4, 5, 6)
    assert [getattr(f, n) for n in FRUSTUM_FIELDS] == [1, 2, 3, 4, 5, 6]
    b = ZibrelBox(1, 2, 3, 4, 5, 6)
    assert (b.min.x, b.min.y, b.min.z, b.max.x, b.max.y, b.max.z) == (1, 2, 3, 4, 5, 6)
    b2 = ZibrelBox(ZibrelPoint(1, 2, 3), ZibrelPoint(4, 5, 6))
    assert (b2.min.z, b2.max.x) == (3.0, 4.0)
    empty = ZibrelBox()
    assert (empty.min.x, empty.max.z) == (0.0, 0.0)
    m = ZibrelMatrix()
    assert all(getattr(m, n) == 0.0 for n in MATRIX_FIELDS), "the zero matrix, not the identity"
    m = ZibrelMatrix(*range(16))
    assert [getattr(m, n) for n in MATRIX_FIELDS] == list(range(16))
    for plane in (ZibrelPlane(ZibrelPoint(0, 0, 1), 5), ZibrelPlane(0, 0, 1, 5)):
        assert isinstance(plane.n, ZibrelVector)
        assert (plane.n.x, plane.n.y, plane.n.z, plane.d) == (0.0, 0.0, 1.0, 5.0)


@pytest.mark.parametrize("cls, args", [
    (ZibrelFrustum, ()),
    (ZibrelPlane, ()),
    (ZibrelPlane, (ZibrelVector(0, 0, 1), 5)),  # the normal is taken as a point
    (ZibrelPoint, ("1", 2, 3)),
    (ZibrelPoint, (1, 2)),
    (ZibrelPoint, ((1, 2, 3),)),
    (ZibrelBox, (ZibrelVector(), ZibrelVector())),
    (ZibrelBox, ((1, 2, 3), (4, 5, 6))),
    (ZibrelMatrix, (ZibrelBox(),)),
    (ZibrelFrustum, (ZibrelMatrix(),)),
    (ZibrelVector, (1, 2, 3, 4)),
])
def test_constructors_refuse_other_arguments(cls, args):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        cls(*args)


def test_no_keyword_arguments():
    with pytest.raises(TypeError):
        ZibrelPoint(x=1, y=2, z=3)


@pytest.mark.parametrize("owner_factory, attribute, view_type", [
    (ZibrelBox, "min", ZibrelPoint),
    (ZibrelBox, "max", ZibrelPoint),
    (lambda: ZibrelPlane(0, 0, 1, 2), "n", ZibrelVector),
])
def test_struct_attributes_are_views_that_keep_their_owner_alive(owner_factory, attribute, view_type):
    owner = owner_factory()
    view = getattr(owner, attribute)
    assert isinstance(view, view_type)
    view.x = 2.0
    assert getattr(owner, attribute).x == 2.0
    del owner
    gc.collect()
    view.y = 3.0  # still usable: the view holds its owner
    assert (view.x, view.y) == (2.0, 3.0)


def test_struct_attribute_assignment_copies():
    b = ZibrelBox()
    p = ZibrelPoint(1, 2, 3)
    b.min = p
    p.x = 9
    assert b.min.x == 1.0
    plane = ZibrelPlane(0, 0, 1, 0)
    v = ZibrelVector(1, 0, 0)
    plane.n = v
    v.x = 5
    assert plane.n.x == 1.0


@pytest.mark.parametrize("obj, attribute, value", [
    (ZibrelBox(), "min", ZibrelVector()),
    (ZibrelBox(), "max", (1, 2, 3)),
    (ZibrelPlane(0, 0, 1, 0), "n", ZibrelPoint()),
    (ZibrelPoint(), "x", "1"),
    (ZibrelMatrix(), "m00", None),
])
def test_wrong_attribute_types(obj, attribute, value):
    with pytest.raises(TypeError):
        setattr(obj, attribute, value)


@pytest.mark.parametrize("cls, args", [
    (ZibrelFrustum, (1, 2, 3, 4, 5, 6)),
    (ZibrelBox, (1, 2, 3, 4, 5, 6)),
    (ZibrelMatrix, tuple(range(16))),
])
def test_copies_are_independent(cls, args):
    original = cls(*args)
    copy = cls(original)
    if cls is ZibrelBox:
        copy.min.x = 100
        assert original.min.x == 1.0
    else:
        name = "left" if cls is ZibrelFrustum else "m00"
        setattr(copy, name, 100)
        assert getattr(original, name) == args[0]


@pytest.mark.parametrize("obj", [ZibrelPoint(), ZibrelVector(), ZibrelBox(), ZibrelMatrix(),
                                 ZibrelFrustum(1, 2, 3, 4, 5, 6), ZibrelPlane(0, 0, 1, 0)])
def test_no_instance_dictionary(obj):
    with pytest.raises(AttributeError):
        obj.w = 1
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(AttributeError):
        del obj.unknown


def test_deleting_an_attribute_is_refused():
    p = ZibrelPoint(1, 2, 3)
    with pytest.raises(AttributeError):
        del p.x
    assert p.x == 1.0


def test_equality_is_identity_and_repr_is_default():
    a, b = ZibrelPoint(1, 2, 3), ZibrelPoint(1, 2, 3)
    assert a != b
    assert a == a
    assert repr(a).startswith("<_pyzibrel.ZibrelPoint object at 0x")


def test_float_conversion_of_objects():
    class Half:
        def __float__(self):
            return 0.5
    assert ZibrelPoint(Half(), 0, 0).x == 0.5
    assert ZibrelPoint(True, 0, 0).x == 1.0


# Each value class made again from its numbers, compared attribute by attribute.
COPIED = [
    (ZibrelPoint(1.5, -2.0, 3.25), lambda v: (v.x, v.y, v.z)),
    (ZibrelVector(-1.0, 0.0, 2.0), lambda v: (v.x, v.y, v.z)),
    (ZibrelFrustum(-1, 1, -0.75, 0.75, 0.1, 100), lambda v: (v.left, v.right, v.bottom, v.top, v.near_plane,
                                                             v.far_plane)),
    (ZibrelBox(-1, -2, -3, 4, 5, 6), lambda v: (v.min.x, v.min.y, v.min.z, v.max.x, v.max.y, v.max.z)),
    (ZibrelMatrix(*[i + 0.5 for i in range(16)]), lambda v: tuple(getattr(v, f"m{r}{c}") for r in range(4)
                                                                  for c in range(4))),
    (ZibrelPlane(0.0, 0.0, 1.0, -2.5), lambda v: (v.n.x, v.n.y, v.n.z, v.d)),
]


@pytest.mark.parametrize("value, numbers", COPIED, ids=lambda x: type(x).__name__)
def test_values_pickle_and_copy(value, numbers):
    import copy
    import pickle

    # Protocols 0 and 1 take another way; the next test runs them in a process of its own.
    copies = [pickle.loads(pickle.dumps(value, protocol)) for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1)]
    copies += [copy.copy(value), copy.deepcopy(value)]
    for made in copies:
        assert type(made) is type(value) and made is not value
        assert numbers(made) == numbers(value)


def test_old_pickle_protocols_copy_values_and_refuse_models_without_ending_the_process():
    # In a process of its own: protocols 0 and 1 once aborted the interpreter.
    import subprocess
    import sys

    script = (
        "import pickle, _pyzibrel as z\n"
        "class Model(z.ZibrelNavigationModel):\n"
        "    pass\n"
        "values = [z.ZibrelPoint(1, 2, 3), z.ZibrelVector(1, 2, 3), z.ZibrelFrustum(1, 2, 3, 4, 5, 6),\n"
        "          z.ZibrelBox(1, 2, 3, 4, 5, 6), z.ZibrelMatrix(*range(16)), z.ZibrelPlane(1, 2, 3, 4)]\n"
        "for protocol in (0, 1):\n"
        "    for v in values:\n"
        "        made = pickle.loads(pickle.dumps(v, protocol))\n"
        "        print(type(made).__name__, made.__reduce__()[1] == v.__reduce__()[1])\n"
        "    for model in (z.ZibrelNavigationModel(False, 0), Model(False, 0)):\n"
        "        try:\n"
        "            pickle.dumps(model, protocol)\n"
        "        except TypeError as e:\n"
        "            print(e)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    expected = [f"{name} True" for name in ("ZibrelPoint", "ZibrelVector", "ZibrelFrustum", "ZibrelBox",
                                             "ZibrelMatrix", "ZibrelPlane")]
    expected += ["cannot pickle 'ZibrelNavigationModel' object", "cannot pickle 'Model' object"]
    assert done.stdout.splitlines() == expected * 2
