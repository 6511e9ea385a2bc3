import math
import operator
import sys

import pytest
from hypothesis import given, strategies as st

from conftest import bits
import quorral
from quorral import Vec3d, geometry

# The submodule is an attribute of quorral, not an importable module of its own.
Circle, Plane = geometry.Circle, geometry.Plane
circle_circle, circle_point, circle_point_unchecked, plane_line = (
    geometry.circle_circle,
    geometry.circle_point,
    geometry.circle_point_unchecked,
    geometry.plane_line,
)

NAN = float("nan")
INF = float("inf")
SIGN = 1 << 63

TOO_FAR = "The given geometries are too far apart and do not intersect at all."
CONTAINED = "One of the given geometries is contained entirely within the other. The surfaces do not intersect."
IDENTICAL = "The given geometries are identical."
OUT_OF_PLANE = "The given geometries are out of plane from each other"


def same(v, *expected):
    """Bit-exact comparison; an expected NaN matches any NaN."""
    assert type(v) is Vec3d
    for got, want in zip((v.x, v.y, v.z), expected, strict=True):
        want = float(want)
        assert math.isnan(got) if math.isnan(want) else bits(got) == bits(want), (v, expected)


def same_float(got, want):
    assert math.isnan(got) if math.isnan(want) else bits(got) == bits(want), (got, want)


def unit(x=0.0, y=0.0, z=0.0, normal=(0, 0, 1), radius=1.0):
    return Circle(Vec3d(x, y, z), radius, Vec3d(*normal))


def assigned(circle, **fields):
    """The circle with fields overwritten, which skips the constructor's normalising."""
    for name, value in fields.items():
        setattr(circle, name, value)
    return circle


# --- the submodule ------------------------------------------------------------------------------


def test_all_in_registration_order():
    assert geometry.__all__ == [
        "Circle", "circle_circle", "circle_point", "circle_point_unchecked", "plane_line", "Plane",
    ]
    for name in geometry.__all__:
        assert hasattr(geometry, name)


def test_reached_through_the_package_but_not_importable_by_dotted_path():
    from quorral import geometry as g

    assert g is quorral.geometry
    assert g.__name__ == "quorral.geometry"
    assert "quorral.geometry" not in sys.modules
    with pytest.raises(ImportError):
        __import__("quorral.geometry")
    with pytest.raises(ImportError):
        exec("import quorral.geometry", {})


@pytest.mark.parametrize("fn", [circle_circle, circle_point, circle_point_unchecked, plane_line])
def test_function_module_and_name(fn):
    assert fn.__module__ == "quorral.geometry"
    assert fn.__self__ is geometry
    assert fn.__qualname__ == fn.__name__


@pytest.mark.parametrize(
    "member, signature",
    [
        (plane_line, "(plane, a, b)"),
        (circle_point, "(circle, point, inner)"),
        (circle_point_unchecked, "(circle, point, inner)"),
        (circle_circle, "(circle1, circle2)"),
        (Plane, "(normal, distance)"),
        (Plane.from_point, "(normal, point)"),
        (Plane.from_points, "(point1, point2, point3)"),
        (Plane.xy, "()"),
        (Plane.contains_point, "($self, point)"),
        (Plane.distance_to_point, "($self, point)"),
        (Circle, "(center, radius, normal)"),
        (Circle.none, "()"),
        (Circle.get_plane, "($self)"),
        (Circle.in_same_plane, "($self, other)"),
        (Circle.is_degenerate, "($self)"),
    ],
)
def test_text_signatures(member, signature):
    assert member.__text_signature__ == signature
    assert not member.__doc__


@pytest.mark.parametrize("cls", [Plane, Circle])
def test_classes_are_final_builtins(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("obj", [Plane.xy(), Circle.none()])
def test_default_text_form_and_no_instance_dict(obj):
    name = type(obj).__name__
    assert repr(obj).startswith(f"<builtins.{name} object at 0x")
    assert str(obj) == repr(obj)
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "__dict__")


# --- Plane --------------------------------------------------------------------------------------


def test_plane_constructor_normalises_and_negates():
    p = Plane(Vec3d(0, 0, 2), 3.0)
    same(p.normal, 0, 0, 1)
    same_float(p.distance, -3.0)
    assert p.contains_point(Vec3d(1, 2, 3))
    same_float(p.distance_to_point(Vec3d(1, 2, 0)), 3.0)
    p.distance = 3.0
    assert p.contains_point(Vec3d(0, 0, -3))
    assert not p.contains_point(Vec3d(1, 2, 3))


def test_distance_uses_the_stored_normal_unchanged():
    p = Plane(Vec3d(0, 0, 2), 3.0)
    same_float(p.distance_to_point(Vec3d(0, 0, 5)), 2.0)
    p.normal = Vec3d(0, 0, 2)
    same(p.normal, 0, 0, 2)
    same_float(p.distance_to_point(Vec3d(0, 0, 5)), 7.0)


@given(st.floats())
def test_plane_stores_the_negated_distance_bits(d):
    assert bits(Plane(Vec3d(0, 0, 1), d).distance) == bits(d) ^ SIGN


@pytest.mark.parametrize(
    "plane, normal, distance",
    [
        (Plane.from_point(Vec3d(0, 0, 2), Vec3d(1, 2, 3)), (0, 0, 1), -3.0),
        (Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0)), (0, 0, 1), -0.0),
        (
            Plane.from_points(Vec3d(1, 0, 0), Vec3d(0, 1, 0), Vec3d(0, 0, 1)),
            (0.5773502691896258,) * 3,
            -0.5773502691896258,
        ),
        (Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 1, 1), Vec3d(2, 2, 2)), (NAN,) * 3, NAN),
        (Plane(Vec3d(0, 0, 0), 1.0), (NAN,) * 3, -1.0),
        (Plane.xy(), (0, 0, 1), -0.0),
        (Plane.xz(), (0, 1, 0), -0.0),
        (Plane.yz(), (1, 0, 0), -0.0),
    ],
)
def test_plane_builders(plane, normal, distance):
    same(plane.normal, *normal)
    same_float(plane.distance, distance)


def test_from_points_orientation_follows_the_winding():
    p = Plane.from_points(Vec3d(0, 0, 0), Vec3d(0, 1, 0), Vec3d(1, 0, 0))
    same(p.normal, 0, 0, -1)


@pytest.mark.parametrize(
    "plane, inside, outside",
    [
        (Plane.xy(), Vec3d(5, -7, 1e-17), Vec3d(0, 0, 1e-15)),
        (Plane.xz(), Vec3d(1, 0, 7), Vec3d(0, 1, 0)),
        (Plane.yz(), Vec3d(0, 4, 5), Vec3d(1, 0, 0)),
        (Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 1, 1), Vec3d(2, 2, 2)), None, Vec3d(0, 0, 0)),
    ],
)
def test_contains_point(plane, inside, outside):
    if inside is not None:
        assert plane.contains_point(inside) is True
    assert plane.contains_point(outside) is False


def test_static_builders_give_new_planes_compared_by_identity():
    a, b = Plane.xy(), Plane.xy()
    assert a is not b
    assert a != b and not (a == b)
    assert a == a and not (a != a)
    assert hash(a) == object.__hash__(a)
    assert Plane.xy() is not a.xy()  # static, callable on an instance
    assert len({a, b}) == 2
    with pytest.raises(TypeError):
        a < b


# --- Circle -------------------------------------------------------------------------------------


def test_circle_constructor_and_raw_assignment():
    c = Circle(Vec3d(1, 2, 3), -2.0, Vec3d(0, 0, 3))
    same(c.center, 1, 2, 3)
    same_float(c.radius, 2.0)
    same(c.normal, 0, 0, 1)
    same_float(c.area, 12.566370614359172)
    c.radius = -2.0
    same_float(c.radius, -2.0)
    same_float(c.area, 12.566370614359172)
    c.normal = Vec3d(0, 0, 3)
    same(c.normal, 0, 0, 3)
    c.center = Vec3d(-1, NAN, INF)
    same(c.center, -1, NAN, INF)
    same_float(c.radius, -2.0)  # other fields untouched


@given(st.floats())
def test_circle_stores_the_absolute_radius_bits(r):
    assert bits(Circle(Vec3d(0, 0, 0), r, Vec3d(0, 0, 1)).radius) == bits(r) & ~SIGN


@given(st.floats())
def test_radius_and_distance_setters_keep_the_exact_bits(x):
    c, p = Circle.none(), Plane.xy()
    c.radius = x
    p.distance = x
    assert bits(c.radius) == bits(x) and bits(p.distance) == bits(x)


def test_none_circle():
    c = Circle.none()
    assert [bits(v) for v in (c.center.x, c.center.y, c.center.z, c.radius)] == [0, 0, 0, 0]
    assert [bits(v) for v in (c.normal.x, c.normal.y, c.normal.z)] == [0x7FF8000000000000] * 3
    assert c.is_degenerate() is True
    plane = c.get_plane()
    same(plane.normal, NAN, NAN, NAN)
    same_float(plane.distance, NAN)
    other = Circle.none()
    assert (c == other) is False
    assert (c != other) is True
    assert (c == c) is False  # NaN normals
    assert Circle.none() is not c.none()


@pytest.mark.parametrize(
    "radius, degenerate",
    [(0.0, True), (-0.0, True), (NAN, False), (5e-324, False), (1.0, False)],
)
def test_is_degenerate(radius, degenerate):
    assert assigned(unit(), radius=radius).is_degenerate() is degenerate


def test_area_exact_and_nan():
    same_float(unit(radius=3.0).area, (3.0 * 3.0) * 3.141592653589793)
    same_float(unit(radius=NAN).area, NAN)


def test_get_plane_renormalises_the_stored_normal():
    c = assigned(unit(z=2.0), normal=Vec3d(0, 0, 4))
    p = c.get_plane()
    assert type(p) is Plane
    same(p.normal, 0, 0, 1)
    same_float(p.distance, -2.0)
    assert c.get_plane() is not p


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (unit(), unit(normal=(0, 0, -1)), True),
        (unit(), unit(x=1e-17), True),
        (unit(), unit(x=2.220446049250313e-16), False),
        (unit(), unit(radius=math.nextafter(1.0, 2.0)), False),
        (unit(), unit(normal=(0, 1, 0)), False),
        (unit(), unit(radius=-1.0), True),  # the constructor takes the absolute value
        (assigned(unit(), radius=NAN), assigned(unit(), radius=NAN), False),
        (assigned(unit(), normal=Vec3d(0, 0, 3)), unit(), False),  # stored normals, not renormalised
    ],
)
def test_circle_equality(a, b, equal):
    assert (a == b) is equal
    assert (b == a) is equal
    assert (a != b) is (not equal)


@pytest.mark.parametrize("other", [5, None, "circle", Vec3d(0, 0, 0), Plane.xy(), 1.0])
def test_circle_against_other_types(other):
    c = unit()
    assert (c == other) is False
    assert (c != other) is True
    assert c.__eq__(other) is NotImplemented
    assert (other == c) is False


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_circle_ordering_unsupported(op):
    c = unit()
    assert getattr(c, f"__{op.__name__}__")(c) is NotImplemented
    with pytest.raises(TypeError, match="not supported between instances of 'builtins.Circle'"):
        op(c, c)


def test_circle_is_unhashable():
    c = unit()
    assert Circle.__hash__ is None
    with pytest.raises(TypeError, match="unhashable"):
        hash(c)
    with pytest.raises(TypeError):
        {c}
    with pytest.raises(TypeError):
        {c: 1}


def test_ne_goes_through_the_reflected_eq():
    class Anything:
        def __eq__(self, other):
            return True

    class Failing:
        def __eq__(self, other):
            raise LookupError("boom")

    assert (unit() != Anything()) is False
    with pytest.raises(LookupError, match="boom"):
        unit() != Failing()


@pytest.mark.parametrize(
    "a, b, same_plane",
    [
        (unit(z=1), unit(x=1, z=1), True),
        (unit(z=1), unit(x=1, z=1, normal=(0, 0, -1)), True),  # one plane, opposite normals
        (unit(), unit(x=1, normal=(0, 0, -1)), True),
        (unit(z=1), unit(x=1, z=2), False),
        (unit(z=1), unit(x=1, z=-1, normal=(0, 0, -1)), False),
        (unit(), unit(normal=(0, 1, 0)), False),
        (unit(radius=1), unit(x=5, radius=100), True),  # radii play no part
        (unit(), assigned(unit(), center=Vec3d(0, 0, NAN)), False),
    ],
)
def test_in_same_plane(a, b, same_plane):
    assert a.in_same_plane(b) is same_plane
    assert b.in_same_plane(a) is same_plane


# --- properties ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make, name",
    [(Plane.xy, "normal"), (Plane.xy, "distance"), (unit, "center"), (unit, "radius"), (unit, "normal")],
)
def test_writable_properties_have_no_deleter(make, name):
    obj = make()
    before = getattr(obj, name)
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(obj, name)
    after = getattr(obj, name)
    if isinstance(before, Vec3d):
        assert (bits(before.x), bits(before.y), bits(before.z)) == (bits(after.x), bits(after.y), bits(after.z))
    else:
        assert bits(before) == bits(after)


@pytest.mark.parametrize(
    "make, name, bad, message",
    [
        (Plane.xy, "normal", 5, "^argument 'value': 'int' object is not an instance of 'Vec3d'$"),
        (Plane.xy, "normal", None, "^argument 'value': 'None' is not an instance of 'Vec3d'$"),
        (Plane.xy, "distance", "x", "^argument 'value': must be real number, not str$"),
        (unit, "center", Plane.xy(), "^argument 'value': 'Plane' object is not an instance of 'Vec3d'$"),
        (unit, "radius", Vec3d(1, 2, 3), r"^argument 'value': must be real number, not (builtins\.)?Vec3d$"),
        (unit, "normal", 1.0, "^argument 'value': 'float' object is not an instance of 'Vec3d'$"),
    ],
)
def test_bad_property_value_leaves_object_unchanged(make, name, bad, message):
    obj = make()
    before = repr(getattr(obj, name))
    with pytest.raises(TypeError, match=message):
        setattr(obj, name, bad)
    assert repr(getattr(obj, name)) == before


@pytest.mark.parametrize("action", [lambda c: setattr(c, "area", 1.0), lambda c: delattr(c, "area")])
def test_area_is_read_only(action):
    c = unit(radius=2.0)
    with pytest.raises(AttributeError) as info:
        action(c)
    assert "property has no deleter" not in str(info.value)
    assert "area" in str(info.value)
    same_float(c.area, 4.0 * 3.141592653589793)


def test_bool_and_int_are_accepted_as_floats():
    c = unit()
    c.radius = True
    same_float(c.radius, 1.0)
    p = Plane(Vec3d(0, 0, 1), 2)
    same_float(p.distance, -2.0)


# --- copies in and out --------------------------------------------------------------------------


@pytest.mark.parametrize("make, name", [(Plane.xy, "normal"), (unit, "center"), (unit, "normal")])
def test_vector_properties_copy_out_and_in(make, name):
    obj = make()
    first = getattr(obj, name)
    assert getattr(obj, name) is not first
    original = (first.x, first.y, first.z)
    first.x = 42.0
    assert (getattr(obj, name).x, getattr(obj, name).y, getattr(obj, name).z) == original
    source = Vec3d(7, 8, 9)
    setattr(obj, name, source)
    source.y = -1.0
    same(getattr(obj, name), 7, 8, 9)
    assert getattr(obj, name) is not source


def test_constructor_arguments_are_copied():
    center, normal = Vec3d(1, 2, 3), Vec3d(0, 0, 1)
    c = Circle(center, 1.0, normal)
    p = Plane.from_point(normal, center)
    center.x = normal.z = 99.0
    same(c.center, 1, 2, 3)
    same(c.normal, 0, 0, 1)
    same(p.normal, 0, 0, 1)
    same_float(p.distance, -3.0)


def test_function_results_are_new_objects():
    a, b = Vec3d(0, 0, 1), Vec3d(0, 0, -1)
    point = plane_line(Plane.xy(), a, b)
    assert point is not a and point is not b
    point.x = 5.0
    same(a, 0, 0, 1)
    first, second = circle_circle(unit(), unit(x=1))
    first.y = 0.0
    again, _ = circle_circle(unit(), unit(x=1))
    same(again, 0.5, -0.8660254037844386, 0)
    assert first is not second


# --- plane_line ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "plane, a, b, expected",
    [
        (Plane.xy(), (0, 0, 1), (0, 0, -1), (0, 0, 0)),
        (Plane.xy(), (1, 1, 2), (2, 3, 4), (0, -1, 0)),  # outside the segment
        (Plane.xy(), (0, 0, 1), (1, 0, 1), (-INF, NAN, NAN)),  # parallel
        (Plane.xy(), (0, 0, 0), (1, 0, 0), (NAN, NAN, NAN)),  # inside the plane
        (Plane.xy(), (1, 2, 3), (1, 2, 3), (NAN, NAN, NAN)),  # a == b
        (Plane(Vec3d(0, 0, 1), 3.0), (1, 2, 0), (1, 2, 1), (1, 2, 3)),
        (Plane.from_point(Vec3d(0, 0, 1), Vec3d(0, 0, 2)), (0, 0, 0), (0, 0, 1), (0, 0, 2)),
        (Plane.xz(), (1, 5, 2), (1, -5, 2), (1, 0, 2)),
        (Plane.yz(), (-2, 3, 4), (2, 3, 4), (0, 3, 4)),
        (Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 1, 1), Vec3d(2, 2, 2)), (0, 0, 0), (0, 0, 1), (NAN,) * 3),
    ],
)
def test_plane_line(plane, a, b, expected):
    same(plane_line(plane, Vec3d(*a), Vec3d(*b)), *expected)


@pytest.mark.parametrize("distance", [3.0, -2.5, 0.1, 1e10])
def test_plane_line_point_is_on_the_plane(distance):
    p = Plane(Vec3d(0, 0, 1), distance)
    point = plane_line(p, Vec3d(1, 2, 0), Vec3d(1, 2, 1))
    same(point, 1, 2, distance)
    assert p.contains_point(point)


# --- circle_point -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "circle, point, inner, checked, unchecked",
    [
        (unit(), (0.6, 0.8, 0), False, True, True),
        (unit(), (0.6, 0.8, 0), True, True, True),
        (unit(), (0, 0, 0), True, True, True),
        (unit(), (0, 0, 0), False, False, False),  # Contained
        (unit(), (3, 0, 0), True, False, False),  # TooFarApart
        (unit(), (0, 0, 1), True, False, True),  # OutOfPlane, but at distance 1
        (unit(), (0, 0, 1), False, False, True),
        (assigned(unit(), normal=Vec3d(0, 0, 5)), (1, 0, 1e-16), False, True, True),
        (assigned(unit(), normal=Vec3d(0, 0, 5)), (1, 0, 1e-15), False, False, True),
        (Circle.none(), (0, 0, 0), False, False, True),
        (Circle.none(), (0, 0, 0), True, False, True),
        (assigned(unit(), radius=NAN), (1, 0, 0), True, False, False),
        (unit(), (NAN, 0, 0), True, False, False),
    ],
)
def test_circle_point(circle, point, inner, checked, unchecked):
    assert circle_point(circle, Vec3d(*point), inner) is checked
    assert circle_point_unchecked(circle, Vec3d(*point), inner) is unchecked


# --- circle_circle ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "a, b, first, second",
    [
        (unit(), unit(x=1), (0.5, -0.8660254037844386, 0), (0.5, 0.8660254037844386, 0)),
        (unit(), unit(x=1, normal=(0, 0, -1)), (0.5, 0.8660254037844386, 0), (0.5, -0.8660254037844386, 0)),
        (unit(normal=(0, 0, -1)), unit(x=1), (0.5, -0.8660254037844386, 0), (0.5, 0.8660254037844386, 0)),
        (
            Circle(Vec3d(1, 2, 3), 5.0, Vec3d(0, 0, 1)),
            Circle(Vec3d(4, 6, 3), 5.0, Vec3d(0, 0, 1)),
            (5.964101615137755, 1.401923788646684, 3),
            (-0.9641016151377553, 6.598076211353316, 3),
        ),
        (unit(), unit(x=2), (1, 0, 0), (1, 0, 0)),  # touching outside
        (unit(radius=3.0), unit(x=2), (3, 0, 0), (3, 0, 0)),  # touching inside
    ],
)
def test_circle_circle_points(a, b, first, second):
    result = circle_circle(a, b)
    assert type(result) is tuple and len(result) == 2
    same(result[0], *first)
    same(result[1], *second)


def test_tangent_circles_give_their_tangent_point_twice():
    r1, r2, D = 0.1, 0.2, 0.1 + 0.2
    assert D == 0.30000000000000004
    first, second = circle_circle(unit(radius=r1), unit(x=D, radius=r2))
    S = D * D
    x = ((r1 * r1 - r2 * r2) / (S + S) + 0.5) * D
    same(first, x, 0, 0)
    same(second, x, 0, 0)


def test_opposite_normals_in_one_plane_intersect():
    first, second = circle_circle(unit(z=1), unit(x=1, z=1, normal=(0, 0, -1)))
    same(first, 0.5, 0.8660254037844386, 1)
    same(second, 0.5, -0.8660254037844386, 1)


def test_nan_flows_into_points_without_an_error():
    a = assigned(unit(), radius=NAN)
    first, second = circle_circle(a, unit(x=1))
    for v in (first, second):
        assert all(math.isnan(c) for c in (v.x, v.y, v.z))


def test_same_circle_twice_reads_both():
    c = unit()
    with pytest.raises(ValueError) as info:
        circle_circle(c, c)
    assert info.value.args == (IDENTICAL,)


# Each case meets the named condition and every later one, so only the order
# of the checks decides which failure is reported.
@pytest.mark.parametrize(
    "a, b, message",
    [
        (unit(), unit(), IDENTICAL),
        (unit(), unit(normal=(0, 0, -1)), IDENTICAL),
        # equal (normals within tolerance) yet offsets 100 apart by more than the tolerance
        (unit(z=100), assigned(unit(z=100), normal=Vec3d(0, 0, 1 - 2**-53)), IDENTICAL),
        (assigned(unit(), radius=-1.0), assigned(unit(), radius=-1.0), IDENTICAL),  # also "too far apart"
        (unit(), unit(normal=(0, 1, 0)), OUT_OF_PLANE),
        (unit(), unit(x=3, normal=(0, 1, 0)), OUT_OF_PLANE),  # also too far apart
        (unit(radius=2), unit(normal=(1, 0, 0)), OUT_OF_PLANE),  # also contained
        (unit(z=1), unit(x=1, z=2), OUT_OF_PLANE),
        (unit(), unit(x=3), TOO_FAR),
        (assigned(unit(), radius=-5.0), unit(x=0.5), TOO_FAR),  # also contained
        (unit(radius=2), unit(), CONTAINED),
        (unit(), unit(radius=2), CONTAINED),
        (unit(radius=3), unit(x=1, radius=1), CONTAINED),
    ],
)
def test_circle_circle_failures(a, b, message):
    with pytest.raises(ValueError) as info:
        circle_circle(a, b)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert str(info.value) == message


def test_identical_case_is_really_out_of_plane():
    a, b = unit(z=100), assigned(unit(z=100), normal=Vec3d(0, 0, 1 - 2**-53))
    assert a == b
    assert not a.in_same_plane(b)


# --- binding and conversion errors --------------------------------------------------------------

V = Vec3d(0, 0, 1)
C = unit()
P = Plane.xy()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Plane(5, "x"), "argument 'normal': 'int' object is not an instance of 'Vec3d'"),
        (lambda: Plane(V, "x"), "argument 'distance': must be real number, not str"),
        (lambda: Plane.from_point(None, 1), "argument 'normal': 'None' is not an instance of 'Vec3d'"),
        (lambda: Plane.from_point(V, 1), "argument 'point': 'int' object is not an instance of 'Vec3d'"),
        (lambda: Plane.from_points(1, 2, 3), "argument 'point1': 'int' object is not an instance of 'Vec3d'"),
        (lambda: Plane.from_points(V, 2, 3), "argument 'point2': 'int' object is not an instance of 'Vec3d'"),
        (lambda: Plane.from_points(V, V, 3), "argument 'point3': 'int' object is not an instance of 'Vec3d'"),
        (lambda: P.contains_point(C), "argument 'point': 'Circle' object is not an instance of 'Vec3d'"),
        (lambda: P.distance_to_point(P), "argument 'point': 'Plane' object is not an instance of 'Vec3d'"),
        (lambda: Circle(1, "r", 3), "argument 'center': 'int' object is not an instance of 'Vec3d'"),
        (lambda: Circle(V, "r", 3), "argument 'radius': must be real number, not str"),
        (lambda: Circle(V, 1.0, 3), "argument 'normal': 'int' object is not an instance of 'Vec3d'"),
        (lambda: C.in_same_plane(P), "argument 'other': 'Plane' object is not an instance of 'Circle'"),
        (lambda: plane_line(C, 1, 2), "argument 'plane': 'Circle' object is not an instance of 'Plane'"),
        (lambda: plane_line(P, 1, 2), "argument 'a': 'int' object is not an instance of 'Vec3d'"),
        (lambda: plane_line(P, V, 2), "argument 'b': 'int' object is not an instance of 'Vec3d'"),
        (lambda: circle_point(P, 1, 2), "argument 'circle': 'Plane' object is not an instance of 'Circle'"),
        (lambda: circle_point(C, 1, 2), "argument 'point': 'int' object is not an instance of 'Vec3d'"),
        (lambda: circle_point(C, V, 1), "argument 'inner': 'int' object is not an instance of 'bool'"),
        (lambda: circle_point(C, V, None), "argument 'inner': 'None' is not an instance of 'bool'"),
        (lambda: circle_point_unchecked(1, 2, 3), "argument 'circle': 'int' object is not an instance of 'Circle'"),
        (lambda: circle_point_unchecked(C, V, 0.0), "argument 'inner': 'float' object is not an instance of 'bool'"),
        (lambda: circle_circle(V, 2), "argument 'circle1': 'Vec3d' object is not an instance of 'Circle'"),
        (lambda: circle_circle(C, None), "argument 'circle2': 'None' is not an instance of 'Circle'"),
    ],
)
def test_first_bad_argument_is_reported(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: plane_line(), "plane_line() missing 3 required positional arguments: 'plane', 'a', and 'b'"),
        (lambda: plane_line(P, V), "plane_line() missing 1 required positional argument: 'b'"),
        (lambda: plane_line(P, V, V, V), "plane_line() takes 3 positional arguments but 4 were given"),
        (lambda: circle_circle(C), "circle_circle() missing 1 required positional argument: 'circle2'"),
        (lambda: circle_circle(C, circle1=C), "circle_circle() got multiple values for argument 'circle1'"),
        (lambda: circle_circle(C, C, x=1), "circle_circle() got an unexpected keyword argument 'x'"),
        (lambda: circle_point(C, inner=True), "circle_point() missing 1 required positional argument: 'point'"),
        (
            lambda: circle_point_unchecked(),
            "circle_point_unchecked() missing 3 required positional arguments: 'circle', 'point', and 'inner'",
        ),
        (lambda: Plane(V), "Plane.__new__() missing 1 required positional argument: 'distance'"),
        (lambda: Circle(V, 1.0, V, V), "Circle.__new__() takes 3 positional arguments but 4 were given"),
        (
            lambda: Plane.from_point(V, point=V, normal=V),
            "Plane.from_point() got multiple values for argument 'normal'",
        ),
        (lambda: C.in_same_plane(), "Circle.in_same_plane() missing 1 required positional argument: 'other'"),
        (lambda: P.contains_point(V, V), "Plane.contains_point() takes 1 positional arguments but 2 were given"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments():
    same(plane_line(b=Vec3d(0, 0, -1), a=Vec3d(0, 0, 1), plane=Plane.xy()), 0, 0, 0)
    assert circle_point(inner=True, point=Vec3d(0, 0, 0), circle=unit()) is True
    assert circle_point_unchecked(unit(), inner=False, point=Vec3d(0, 0, 1)) is True
    first, _ = circle_circle(circle2=unit(x=1), circle1=unit())
    same(first, 0.5, -0.8660254037844386, 0)
    same(Circle(normal=Vec3d(0, 0, 2), radius=-1, center=Vec3d(1, 1, 1)).normal, 0, 0, 1)
    same_float(Plane(distance=1.5, normal=Vec3d(3, 0, 0)).distance, -1.5)
    same(Plane.from_points(point3=Vec3d(0, 1, 0), point2=Vec3d(1, 0, 0), point1=Vec3d(0, 0, 0)).normal, 0, 0, 1)
    assert unit().in_same_plane(other=unit(x=4)) is True
    assert Plane.xy().contains_point(point=Vec3d(3, 3, 0)) is True


def test_receiver_must_be_an_instance():
    with pytest.raises(TypeError):
        Plane.contains_point(unit(), Vec3d(0, 0, 0))
    with pytest.raises(TypeError):
        Circle.is_degenerate(Plane.xy())
