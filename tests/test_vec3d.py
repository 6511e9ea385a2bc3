import math
import struct
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from conftest import bits
from quorral import Vec3d

NAN = float("nan")
INF = float("inf")


def comps(v):
    return tuple(bits(c) for c in (v.x, v.y, v.z))


def same(v, *expected):
    """Bit-exact comparison; an expected NaN matches any NaN."""
    for got, want in zip((v.x, v.y, v.z), expected):
        want = float(want)
        assert math.isnan(got) if math.isnan(want) else bits(got) == bits(want)


@pytest.mark.parametrize(
    "v, text",
    [
        (Vec3d(1, 2.5, -0.0), "Vec3d(1, 2.5, -0)"),
        (Vec3d(0.1, 1e21, NAN), "Vec3d(0.1, 1000000000000000000000, NaN)"),
        (-Vec3d.zero(), "Vec3d(-0, -0, -0)"),
        (Vec3d(1e-7, 2, 3), "Vec3d(0.0000001, 2, 3)"),
        (Vec3d(0.1 + 0.2, 123456789.125, -INF), "Vec3d(0.30000000000000004, 123456789.125, -inf)"),
        (Vec3d(-NAN, INF, 5e-324), "Vec3d(NaN, inf, 0." + "0" * 323 + "5)"),
    ],
)
def test_text_form(v, text):
    assert repr(v) == text
    assert str(v) == text


def positional(x: float) -> str:
    """Shortest round-trip digits (the interpreter's repr) laid out without an exponent."""
    text = format(Decimal(repr(abs(x))).normalize(), "f")
    return ("-" if math.copysign(1.0, x) < 0 else "") + text


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_float_text_reads_back_without_exponent(x):
    text = repr(Vec3d(x, 0, 0))[len("Vec3d("):-len(", 0, 0)")]
    assert "e" not in text and "E" not in text
    assert bits(float(text)) == bits(x)
    assert text == positional(x)
    if x == int(x) and abs(x) < 1e300:
        assert "." not in text


# Every bit pattern alike: subnormals, powers of two and the extremes are as likely as the rest.
@given(st.one_of(st.integers(0, 2**64 - 1).map(lambda b: struct.unpack("<d", struct.pack("<Q", b))[0]),
                 st.integers(-1074, 1023).map(lambda e: math.ldexp(1.0, e))))
def test_float_text_is_shortest_for_every_bit_pattern(x):
    if math.isfinite(x):
        assert repr(Vec3d(x, 0, 0))[len("Vec3d("):-len(", 0, 0)")] == positional(x)


@pytest.mark.parametrize(
    "v, expected",
    [
        (Vec3d(0, 0, 0), -504348149136077492),
        (Vec3d(-0.0, 0, 0), -504348149136077492),
        (Vec3d(1, 2, 3), 3511550596308926913),
        (Vec3d(1, 0, 0), 8740965420561843108),
        (Vec3d(NAN, 0, 0), -749967349862393506),
        (Vec3d(-NAN, 0, 0), -749967349862393506),
    ],
)
def test_hash_values(v, expected):
    assert hash(v) == expected


def test_hash_ignores_nan_payload_but_not_tolerance():
    payload = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]
    assert hash(Vec3d(payload, 1, 2)) == hash(Vec3d(NAN, 1, 2))
    assert Vec3d(0, 0, 0) == Vec3d(1e-16, 0, 0)
    assert hash(Vec3d(0, 0, 0)) != hash(Vec3d(1e-16, 0, 0))
    assert {Vec3d(1, 2, 3): "a"}[Vec3d(1, 2, 3)] == "a"


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (Vec3d(0, 0, 0), Vec3d(1e-16, 0, 0), True),
        (Vec3d(0, 0, 0), Vec3d(2.220446049250313e-16, 0, 0), False),
        (Vec3d(1, 2, 3), Vec3d(1, 2, 3 + 4.5e-16), False),
        (Vec3d(0, 0, 0), -Vec3d(0, 0, 0), True),
        (Vec3d(NAN, 0, 0), Vec3d(NAN, 0, 0), False),
        (Vec3d(INF, 0, 0), Vec3d(INF, 0, 0), False),
    ],
)
def test_tolerant_equality(a, b, equal):
    assert (a == b) is equal
    assert (a != b) is (not equal)


def test_nan_vector_is_unequal_to_itself():
    v = Vec3d(NAN, 0, 0)
    assert v != v
    assert not (v == v)


@pytest.mark.parametrize("other", [5, 1.0, (0, 0, 0), None, "v"])
def test_comparison_with_non_vectors(other):
    v = Vec3d(0, 0, 0)
    assert (v == other) is False
    assert (v != other) is True
    with pytest.raises(TypeError):
        v < other


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_is_unsupported(op):
    with pytest.raises(TypeError, match="not supported between instances of 'builtins.Vec3d'"):
        eval(f"a {op} b", {"a": Vec3d(1, 2, 3), "b": Vec3d(1, 2, 3)})


def test_arithmetic_exact():
    a, b = Vec3d(1, 2, 3), Vec3d(0.1, 0.2, 0.3)
    same(a + b, 1 + 0.1, 2 + 0.2, 3 + 0.3)
    same(a - b, 1 - 0.1, 2 - 0.2, 3 - 0.3)
    same(b * 3, 0.1 * 3, 0.2 * 3, 0.3 * 3)
    same(3 * b, 0.1 * 3, 0.2 * 3, 0.3 * 3)
    same(b * True, 0.1, 0.2, 0.3)
    same(b / 3, 0.1 / 3, 0.2 / 3, 0.3 / 3)
    same(Vec3d(1, -1, 0) / 0, INF, -INF, NAN)
    same(-Vec3d(0, -1, NAN), -0.0, 1, NAN)
    assert bits((-Vec3d(NAN, 0, 0)).x) == bits(NAN) ^ (1 << 63)
    assert bits((-Vec3d(-NAN, 0, 0)).x) == bits(NAN)


@pytest.mark.parametrize(
    "expr",
    ["a * b", "a / b", "2 / a", "a + 1", "1 + a", "a - 1", "a * 'x'", "a @ b", "a // 2", "a ** 2", "abs(a)", "+a"],
)
def test_unsupported_operands_are_the_interpreters_type_error(expr):
    with pytest.raises(TypeError) as info:
        eval(expr, {"a": Vec3d(1, 2, 3), "b": Vec3d(1, 2, 3)})
    assert "rhs" not in str(info.value) and "lhs" not in str(info.value)


class FloatLike:
    """A left operand the interpreter hands to Vec3d's multiply slot first."""

    def __float__(self):
        return 0.5


def test_reflected_multiply_converts_the_left_operand():
    b = Vec3d(0.1, -0.2, INF)
    same(FloatLike() * b, 0.1 * 0.5, -0.2 * 0.5, INF)
    same(b * FloatLike(), 0.1 * 0.5, -0.2 * 0.5, INF)
    for scalar in (2.0, -3, True, 1e308):
        assert comps(scalar * b) == comps(b * scalar)


def test_results_are_fresh_objects_after_many_are_freed():
    import sys

    a = Vec3d(1, 2, 3)
    before = sys.getrefcount(Vec3d)
    for _ in range(1000):
        -a  # noqa: B018 - created and freed at once
    kept = [a * float(i) for i in range(100)]
    # A type made immortal (the free-threaded build, once a thread has started) counts nothing.
    counted = before < 2**30
    assert sys.getrefcount(Vec3d) - before == (len(kept) if counted else 0)
    assert len({id(v) for v in kept}) == len(kept)
    for i, v in enumerate(kept):
        same(v, i, 2 * i, 3 * i)
    kept[0].x = 7.0  # a fresh access state, and no value shared with the others
    same(kept[0], 7, 0, 0)
    same(kept[1], 1, 2, 3)
    del kept, v
    assert sys.getrefcount(Vec3d) == before


def test_augmented_assignment_rebinds():
    a = Vec3d(1, 2, 3)
    alias = a
    a += Vec3d(1, 1, 1)
    assert alias.to_array() == [1.0, 2.0, 3.0]
    assert a.to_array() == [2.0, 3.0, 4.0]


def test_core_formulas_exact():
    p, a, b = Vec3d(0.1, 0.7, 0.3), Vec3d(1.3, -2.2, 0.9), Vec3d(-0.4, 0.25, 3.1)
    assert p.dot(a) == (0.1 * 1.3 + 0.7 * -2.2) + 0.3 * 0.9
    same(p.cross(a), 0.7 * 0.9 - 0.3 * -2.2, 0.3 * 1.3 - 0.1 * 0.9, 0.1 * -2.2 - 0.7 * 1.3)
    assert p.magnitude() == math.sqrt((0.1 * 0.1 + 0.7 * 0.7) + 0.3 * 0.3)
    m = p.magnitude()
    same(p.normalize(), 0.1 / m, 0.7 / m, 0.3 / m)
    d = (0.1 - 1.3, 0.7 + 2.2, 0.3 - 0.9)
    assert p.distance_squared(a) == (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]
    assert p.distance_to(a) == math.sqrt(p.distance_squared(a))
    dd = (-0.4 - 1.3, 0.25 + 2.2, 3.1 - 0.9)
    t = ((0.1 - 1.3) * dd[0] + (0.7 + 2.2) * dd[1] + (0.3 - 0.9) * dd[2]) / ((dd[0] * dd[0] + dd[1] * dd[1]) + dd[2] * dd[2])
    c = (t * dd[0] + 1.3, t * dd[1] - 2.2, t * dd[2] + 0.9)
    r = (0.1 - c[0], 0.7 - c[1], 0.3 - c[2])
    assert p.distance_to_line(a, b) == math.sqrt((r[0] * r[0] + r[1] * r[1]) + r[2] * r[2])
    dl = (1.3 + 0.4, -2.2 - 0.25, 0.9 - 3.1)
    t = (((-0.4 - 0.1) * dl[0] + (0.25 - 0.7) * dl[1]) + (3.1 - 0.3) * dl[2]) / ((dl[0] * dl[0] + dl[1] * dl[1]) + dl[2] * dl[2])
    same(p.project_onto_line(a, b), -0.4 - t * dl[0], 0.25 - t * dl[1], 3.1 - t * dl[2])


@pytest.mark.parametrize(
    "method, args, expected",
    [
        ("normalize", (Vec3d(3, 4, 0),), (0.6, 0.8, 0.0)),
        ("project_onto_plane", (Vec3d(1, 2, 3), Vec3d(0, 0, 2)), (1, 2, -9)),
        ("project_onto_plane", (Vec3d(1, 2, 3), Vec3d(0, 0, 1)), (1, 2, 0)),
        ("cross", (Vec3d.i(), Vec3d.j()), (0, 0, 1)),
        ("new_from_to", (Vec3d(1, 2, 3), Vec3d(4, 4, 4)), (3, 2, 1)),
    ],
)
def test_vector_results(method, args, expected):
    same(getattr(Vec3d, method)(*args), *expected)


def test_degenerate_inputs_give_nan():
    assert all(math.isnan(c) for c in Vec3d.zero().normalize())
    assert math.isnan(Vec3d(0, 1, 0).distance_to_line(Vec3d.i(), Vec3d.i()))
    assert all(math.isnan(c) for c in Vec3d(0, 1, 0).project_onto_line(Vec3d.i(), Vec3d.i()))
    assert Vec3d(0, 1, 0).distance_to_line(Vec3d.zero(), Vec3d(2, 0, 0)) == 1.0
    assert Vec3d.i().scalar_triple_product(Vec3d.j(), Vec3d.k()) == 1.0


@pytest.mark.parametrize(
    "v, unit",
    [(Vec3d(1, 0, 0), True), (Vec3d(1 + 2**-52, 0, 0), False), (Vec3d(0, 0, 0), False), (Vec3d(NAN, 0, 0), False)],
)
def test_is_unit(v, unit):
    assert v.is_unit() is unit


def test_static_constructors_ignore_the_instance():
    v = Vec3d(4, 5, 6)
    same(v.zero(), 0, 0, 0)
    same(Vec3d.i(), 1, 0, 0)
    same(Vec3d.j(), 0, 1, 0)
    same(Vec3d.k(), 0, 0, 1)
    same(v, 4, 5, 6)
    assert v.zero() is not Vec3d.zero()


def test_same_object_may_be_passed_twice():
    v = Vec3d(1, 2, 3)
    assert v.distance_to(v) == 0.0
    assert v.scalar_triple_product(v, v) == 0.0


def test_subscript_and_sequence_protocol():
    v = Vec3d(1, 2, 3)
    assert (v[0], v[1], v[2], v[True]) == (1.0, 2.0, 3.0, 2.0)
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        v[3]
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        v[2**64 - 1]
    with pytest.raises(OverflowError):
        v[-1]
    with pytest.raises(OverflowError):
        v[2**64]
    with pytest.raises(TypeError, match="^argument 'index': "):
        v[1.0]
    with pytest.raises(TypeError, match="^argument 'index': "):
        v[0:2]
    assert list(v) == [1.0, 2.0, 3.0]
    assert tuple(v) == (1.0, 2.0, 3.0)
    x, y, z = v
    assert (x, y, z) == (1.0, 2.0, 3.0)
    assert 2.0 in v and 4 not in v
    assert bool(Vec3d.zero()) is True
    with pytest.raises(TypeError):
        len(v)
    with pytest.raises(TypeError):
        v[0] = 1.0


def test_properties_read_and_write():
    v = Vec3d(1, 2, 3)
    v.x, v.y, v.z = 4, 5.5, True
    same(v, 4, 5.5, 1)
    assert v.to_array() == [4.0, 5.5, 1.0]
    assert type(v.to_array()) is list


@pytest.mark.parametrize("name", ["x", "y", "z"])
def test_bad_property_value_leaves_vector_unchanged(name):
    v = Vec3d(1, 2, 3)
    with pytest.raises(TypeError, match="^argument 'value': must be real number, not str$"):
        setattr(v, name, "s")
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(v, name)
    same(v, 1, 2, 3)


# Deterministic access conflicts: an argument's conversion touches the receiver.


class WritesX:
    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target.x = 9.0
        return 0

    __float__ = lambda self: float(self.__index__())  # noqa: E731


class ReadsX:
    def __init__(self, target):
        self.target = target

    def __float__(self):
        return self.target.x + 1


def test_write_from_inside_a_read_is_refused():
    v = Vec3d(1, 2, 3)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        v[WritesX(v)]
    same(v, 1, 2, 3)


def test_operator_conflict_becomes_not_implemented():
    v = Vec3d(1, 2, 3)
    with pytest.raises(TypeError, match="unsupported operand"):
        v * WritesX(v)
    same(v, 1, 2, 3)
    v.x = 1.0


def test_setter_converts_before_entering():
    v = Vec3d(1, 2, 3)
    v.x = ReadsX(v)
    same(v, 2, 2, 3)
    v.y = WritesX(v)
    same(v, 9, 0, 3)
