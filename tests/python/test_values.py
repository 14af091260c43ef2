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
