import math
import operator
import struct

import pytest
from hypothesis import given, strategies as st

from conftest import bits
from quorral import AngleDegrees, AngleRadians, Vec3d

NAN = float("nan")
INF = float("inf")
PI = 3.141592653589793

finite = st.floats(allow_nan=False, allow_infinity=False)
doubles = st.floats()


def same(got: float, want: float) -> None:
    """Bit-exact; an expected NaN matches any NaN."""
    assert math.isnan(got) if math.isnan(want) else bits(got) == bits(want)


def div(x: float, y: float) -> float:
    """IEEE division, infinities and NaN for a zero divisor."""
    if y == 0.0:
        return NAN if x == 0.0 or math.isnan(x) else math.copysign(INF, x) * math.copysign(1.0, y)
    return x / y


def from_bits(b: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", b))[0]


# Class surface


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_classes_are_final_builtins_with_text_signatures(cls):
    assert cls.__module__ == "builtins"
    assert cls.__doc__ == ""
    assert cls.__text_signature__ == "(angle)"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        cls(1).other = 1.0


def test_method_text_signatures():
    assert AngleRadians.pi.__text_signature__ == "()"
    assert AngleRadians.sin.__text_signature__ == "($self)"
    assert AngleRadians.to_degrees.__text_signature__ == "($self)"
    assert AngleDegrees.to_radians.__text_signature__ == "($self)"
    assert AngleRadians.sin.__doc__ is None
    assert not hasattr(AngleDegrees, "sin")


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_unhashable(cls):
    a = cls(1.0)
    assert cls.__hash__ is None
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)
    with pytest.raises(TypeError):
        {a}


# Construction and the angle property


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@pytest.mark.parametrize("pattern", [0x0000000000000000, 0x8000000000000000, 0x7FF0000000000001, 0xFFF8000000000123,
                                     0x7FF0000000000000, 0x0000000000000001, 0x3FB999999999999A])
def test_constructor_stores_bits_unchanged(cls, pattern):
    x = from_bits(pattern)
    assert bits(cls(x).angle) == pattern
    assert bits(cls(angle=x).angle) == pattern


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_constructor_float_rule(cls):
    class HasFloat:
        def __float__(self):
            return 2.5

    class HasIndex:
        def __index__(self):
            return 7

    assert bits(cls(1).angle) == bits(1.0)
    assert bits(cls(True).angle) == bits(1.0)
    assert cls(HasFloat()).angle == 2.5
    assert cls(HasIndex()).angle == 7.0
    assert repr(AngleRadians(1)) == "1 radians"


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_constructor_errors(cls):
    name = cls.__name__
    with pytest.raises(TypeError, match="^argument 'angle': must be real number, not str$"):
        cls("1")
    with pytest.raises(TypeError, match="^argument 'angle': must be real number, not NoneType$"):
        cls(None)
    with pytest.raises(TypeError, match=rf"^{name}\.__new__\(\) missing 1 required positional argument: 'angle'$"):
        cls()
    with pytest.raises(TypeError, match=rf"^{name}\.__new__\(\) takes 1 positional arguments but 2 were given$"):
        cls(1, 2)
    with pytest.raises(TypeError, match=rf"^{name}\.__new__\(\) got an unexpected keyword argument 'radians'$"):
        cls(radians=1)
    with pytest.raises(TypeError, match=rf"^{name}\.__new__\(\) got multiple values for argument 'angle'$"):
        cls(1, angle=2)


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_angle_property(cls):
    a = cls(1.0)
    a.angle = -0.0
    assert bits(a.angle) == bits(-0.0)
    a.angle = 3
    assert bits(a.angle) == bits(3.0)
    with pytest.raises(TypeError, match="^argument 'value': must be real number, not str$"):
        a.angle = "2"
    assert bits(a.angle) == bits(3.0)
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del a.angle
    assert bits(a.angle) == bits(3.0)


# Constants


@pytest.mark.parametrize(
    "name, pattern",
    [
        ("zero", 0x0000000000000000),
        ("pi", 0x400921FB54442D18),
        ("two_pi", 0x401921FB54442D18),
        ("half_pi", 0x3FF921FB54442D18),
        ("quarter_pi", 0x3FE921FB54442D18),
        ("third_pi", 0x3FF0C152382D7365),
        ("sixth_pi", 0x3FE0C152382D7365),
    ],
)
def test_constant_bit_patterns(name, pattern):
    a = getattr(AngleRadians, name)()
    assert type(a) is AngleRadians
    assert bits(a.angle) == pattern
    assert bits(getattr(AngleRadians(5), name)().angle) == pattern  # static, callable on an instance
    assert getattr(AngleRadians, name)() is not a


def test_third_and_sixth_pi_are_one_ulp_off_the_nearest():
    assert AngleRadians.third_pi().angle == PI / 3
    assert AngleRadians.sixth_pi().angle == PI / 6
    assert bits(AngleRadians.third_pi().angle) == bits(math.pi / 3)
    assert bits(AngleRadians.third_pi().angle) - 1 == 0x3FF0C152382D7364  # the double nearest to pi/3


# Trigonometry


@pytest.mark.parametrize("x", [0.0, -0.0, 0.5, 1.0, -2.0, PI, 1e10, 1e300, INF, NAN])
def test_trigonometry_from_the_math_library(x):
    a = AngleRadians(x)
    for name, fn in [("sin", math.sin), ("cos", math.cos), ("tan", math.tan)]:
        try:
            want = fn(x)
        except ValueError:
            want = NAN
        same(getattr(a, name)(), want)


@given(finite)
def test_reciprocal_functions_divide_one_by_the_base(x):
    a = AngleRadians(x)
    for got, base in [(a.sec(), math.cos(x)), (a.csc(), math.sin(x)), (a.cot(), math.tan(x))]:
        if base == 0.0:
            assert got == math.copysign(INF, base)
        else:
            same(got, 1.0 / base)


@pytest.mark.parametrize(
    "x, name, want",
    [
        (0.0, "csc", INF),
        (0.0, "cot", INF),
        (-0.0, "cot", -INF),
        (-0.0, "csc", -INF),
        (0.0, "sec", 1.0),
        (NAN, "sec", NAN),
        (INF, "cot", NAN),
    ],
)
def test_reciprocal_infinities(x, name, want):
    same(getattr(AngleRadians(x), name)(), want)


def test_sec_of_half_pi_is_large_but_finite():
    s = AngleRadians.half_pi().sec()
    assert math.isfinite(s) and s > 1e15
    same(s, 1.0 / math.cos(AngleRadians.half_pi().angle))


def test_cot_is_the_reciprocal_of_tan_not_cos_over_sin():
    x = next(x for x in (0.1 * n for n in range(1, 200)) if 1.0 / math.tan(x) != math.cos(x) / math.sin(x))
    same(AngleRadians(x).cot(), 1.0 / math.tan(x))


# Conversions


@pytest.mark.parametrize(
    "name, degrees",
    [("pi", 180.0), ("half_pi", 90.0), ("quarter_pi", 45.0), ("two_pi", 360.0),
     ("third_pi", 59.99999999999999), ("sixth_pi", 29.999999999999996)],
)
def test_constants_to_degrees(name, degrees):
    d = getattr(AngleRadians, name)().to_degrees()
    assert type(d) is AngleDegrees
    same(d.angle, degrees)


@pytest.mark.parametrize(
    "degrees, name",
    [(180, "pi"), (90, "half_pi"), (60, "third_pi"), (45, "quarter_pi"), (30, "sixth_pi")],
)
def test_degrees_to_constants(degrees, name):
    r = AngleDegrees(degrees).to_radians()
    assert type(r) is AngleRadians
    same(r.angle, getattr(AngleRadians, name)().angle)
    assert r == getattr(AngleRadians, name)()


def test_multiply_then_divide_not_a_precomputed_factor():
    assert AngleDegrees(3).to_radians().angle == 0.05235987755982988
    assert 3 * (PI / 180.0) == 0.05235987755982989
    assert AngleRadians(0.1).to_degrees().angle == 5.729577951308232
    assert 0.1 * (180.0 / PI) == 5.729577951308233


def test_no_wrapping():
    assert AngleDegrees(720).to_radians().angle == 12.566370614359172
    assert (AngleRadians(7.0) + AngleRadians(7.0)).angle == 14.0
    assert AngleRadians(-100.0).to_degrees().angle == (-100.0 * 180.0) / PI


@given(doubles)
def test_to_degrees_formula(a):
    same(AngleRadians(a).to_degrees().angle, (a * 180.0) / PI)


@given(doubles)
def test_to_radians_formula(d):
    same(AngleDegrees(d).to_radians().angle, (d * PI) / 180.0)


# Arithmetic


@given(doubles, doubles)
def test_arithmetic_formulas(a, b):
    x, y = AngleRadians(a), AngleRadians(b)
    same((x + y).angle, a + b)
    same((x - y).angle, a - b)
    same((x * b).angle, a * b)
    same((x / b).angle, div(a, b))
    assert bits((-x).angle) == bits(a) ^ (1 << 63)


@pytest.mark.parametrize(
    "expr, want",
    [
        (lambda: AngleRadians(1) * 2, 2.0),
        (lambda: AngleRadians(1) / 0.5, 2.0),
        (lambda: AngleRadians(1) / 0, INF),
        (lambda: AngleRadians(-1) / 0, -INF),
        (lambda: AngleRadians(0) / 0, NAN),
        (lambda: AngleRadians(1) * True, 1.0),
        (lambda: AngleRadians(3) - AngleRadians(5), -2.0),
        (lambda: -AngleRadians.zero(), -0.0),
        (lambda: -AngleRadians(-0.0), 0.0),
    ],
)
def test_arithmetic_examples(expr, want):
    r = expr()
    assert type(r) is AngleRadians
    same(r.angle, want)


def test_division_by_zero_prints_inf():
    assert repr(AngleRadians(1) / 0) == "inf radians"


def test_negating_degrees():
    d = -AngleDegrees(30)
    assert type(d) is AngleDegrees
    assert d.angle == -30.0
    assert bits((-AngleDegrees(0.0)).angle) == bits(-0.0)


def test_operands_are_left_unchanged_and_results_are_new():
    a, b = AngleRadians(1.0), AngleRadians(2.0)
    c = a + b
    assert c is not a and c is not b
    assert (a.angle, b.angle) == (1.0, 2.0)
    d = a
    d += b
    assert d is not a and a.angle == 1.0 and d.angle == 3.0
    d *= 2
    d /= 4
    d -= a
    assert d.angle == 0.5


class Number:
    def __float__(self):
        return 4.0


@pytest.mark.parametrize(
    "expr",
    [
        lambda a: 2 * a,
        lambda a: 2.0 * a,
        lambda a: a + 1.0,
        lambda a: 1.0 + a,
        lambda a: a - 1,
        lambda a: 1 - a,
        lambda a: a * a,
        lambda a: a / a,
        lambda a: 2 / a,
        lambda a: a * "x",
        lambda a: a * None,
        lambda a: a + AngleDegrees(1),
        lambda a: a * AngleDegrees(1),
        lambda a: a // 2,
        lambda a: a % 2,
        lambda a: a ** 2,
        lambda a: abs(a),
        lambda a: +a,
        lambda a: AngleDegrees(1) + AngleDegrees(1),
        lambda a: AngleDegrees(1) - AngleDegrees(1),
        lambda a: AngleDegrees(1) * 2,
        lambda a: AngleDegrees(1) / 2,
        lambda a: Number() * a,
    ],
)
def test_unsupported_operands_raise_type_error(expr):
    a = AngleRadians(1.0)
    with pytest.raises(TypeError) as info:
        expr(a)
    assert "argument" not in str(info.value)
    assert a.angle == 1.0


def test_number_objects_on_the_right():
    assert (AngleRadians(1.0) * Number()).angle == 4.0
    assert (AngleRadians(1.0) / Number()).angle == 0.25


def test_slots_answer_not_implemented():
    a = AngleRadians(1.0)
    assert a.__add__(1.0) is NotImplemented
    assert a.__sub__(AngleDegrees(1)) is NotImplemented
    assert a.__mul__("x") is NotImplemented
    assert a.__truediv__(a) is NotImplemented
    assert a.__rmul__(2) is NotImplemented  # no reflected form
    assert a.__radd__(a).angle == 2.0  # the interpreter's wrapper passes the operands swapped
    assert a.__eq__(1.0) is NotImplemented
    assert a.__lt__(AngleDegrees(1)) is NotImplemented


# Comparisons


CMP = [operator.eq, operator.lt, operator.le, operator.gt, operator.ge, operator.ne]


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@pytest.mark.parametrize("op", CMP)
@pytest.mark.parametrize(
    "x, y",
    [(1.0, 2.0), (2.0, 1.0), (1.0, 1.0), (0.0, -0.0), (NAN, NAN), (NAN, 1.0), (1.0, NAN), (-INF, INF),
     (1.0, 1.0 + 2.0**-52)],
)
def test_comparisons_are_exact_ieee(cls, op, x, y):
    assert op(cls(x), cls(y)) is op(x, y)


@given(doubles, doubles)
def test_comparisons_follow_the_doubles(x, y):
    for op in CMP:
        assert op(AngleRadians(x), AngleRadians(y)) is op(x, y)


def test_nan_is_unequal_to_itself():
    a = AngleRadians(NAN)
    assert not (a == a)
    assert a != a
    assert not (a < a) and not (a >= a)


def test_negative_zero_equals_zero():
    z = -AngleRadians.zero()
    assert repr(z) == "-0 radians"
    assert z == AngleRadians.zero()


@pytest.mark.parametrize(
    "left, right",
    [
        (AngleRadians(0), AngleDegrees(0)),
        (AngleDegrees(0), AngleRadians(0)),
        (AngleRadians(1), 1.0),
        (AngleDegrees(1), 1),
        (AngleRadians(1), None),
        (AngleRadians(1), (1.0,)),
    ],
)
def test_mixed_comparisons(left, right):
    assert (left == right) is False
    assert (right == left) is False
    assert (left != right) is True
    assert (right != left) is True
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError, match="not supported between instances"):
            op(left, right)
        with pytest.raises(TypeError, match="not supported between instances"):
            op(right, left)


def test_not_equal_goes_through_full_equality():
    class EqualToAll:
        def __eq__(self, other):
            return True

    class Broken:
        def __eq__(self, other):
            raise ValueError("eq")

    class BadTruth:
        def __bool__(self):
            raise ZeroDivisionError("truth")

    class EqualsBadTruth:
        def __eq__(self, other):
            return BadTruth()

    a = AngleRadians(1.0)
    assert (a != EqualToAll()) is False
    assert (a == EqualToAll()) is True
    with pytest.raises(ValueError, match="eq"):
        a != Broken()
    with pytest.raises(ZeroDivisionError, match="truth"):
        a != EqualsBadTruth()
    assert (a != a) is False  # identity does not enter: the doubles decide
    assert a.__ne__(1.0) is True
    assert a.__ne__(AngleRadians(1.0)) is False


# Text forms


@pytest.mark.parametrize(
    "a, text",
    [
        (AngleRadians(1.5), "1.5 radians"),
        (AngleRadians(0.0), "0 radians"),
        (AngleRadians(-0.0), "-0 radians"),
        (AngleRadians(NAN), "NaN radians"),
        (AngleRadians(-NAN), "NaN radians"),
        (AngleRadians(-INF), "-inf radians"),
        (AngleRadians.pi(), "3.141592653589793 radians"),
        (AngleRadians(1e21), "1000000000000000000000 radians"),
        (AngleRadians(1e-7), "0.0000001 radians"),
        (AngleDegrees(90), "90°"),
        (AngleDegrees(-45.5), "-45.5°"),
        (AngleDegrees(-0.0), "-0°"),
        (AngleDegrees(0.1 + 0.2), "0.30000000000000004°"),
        (AngleDegrees(INF), "inf°"),
    ],
)
def test_text_forms(a, text):
    assert repr(a) == text
    assert str(a) == text


def test_degree_sign_is_u00b0():
    assert repr(AngleDegrees(90)).encode() == b"90\xc2\xb0"


# Vec3d.angle_to


@pytest.mark.parametrize(
    "a, b, want",
    [
        ((1, 0, 0), (0, 1, 0), 1.5707963267948966),
        ((1, 0, 0), (-1, 0, 0), PI),
        ((1, 0, 0), (2, 0, 0), 0.0),
        ((1, 1, 1), (1, 1, 1), 0.0),  # the ratio rounds above 1 and is clamped
        ((1, 1, 0), (1, 1, 0), 2.1073424255447017e-08),
        ((-1, -1, -1), (1, 1, 1), PI),
        ((0, 0, 0), (1, 0, 0), NAN),
        ((1, 0, 0), (0, 0, 0), NAN),
        ((NAN, 0, 0), (1, 0, 0), NAN),
    ],
)
def test_angle_to(a, b, want):
    r = Vec3d(*a).angle_to(Vec3d(*b))
    assert type(r) is AngleRadians
    same(r.angle, want)


def test_angle_to_text_and_keyword():
    assert Vec3d.angle_to.__text_signature__ == "($self, other)"
    assert repr(Vec3d(0, 0, 0).angle_to(other=Vec3d(1, 2, 3))) == "NaN radians"


@given(st.tuples(finite, finite, finite), st.tuples(finite, finite, finite))
def test_angle_to_formula(a, b):
    u, v = Vec3d(*a), Vec3d(*b)
    dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2]
    ratio = div(dot, v.magnitude() * u.magnitude())
    want = NAN if math.isnan(ratio) else math.acos(max(-1.0, min(1.0, ratio)))
    same(u.angle_to(v).angle, want)


@pytest.mark.parametrize(
    "arg, message",
    [
        ([1, 2, 3], "argument 'other': 'list' object is not an instance of 'Vec3d'"),
        (None, "argument 'other': 'None' is not an instance of 'Vec3d'"),
        (AngleRadians(1), "argument 'other': 'AngleRadians' object is not an instance of 'Vec3d'"),
    ],
)
def test_angle_to_argument_errors(arg, message):
    with pytest.raises(TypeError) as info:
        Vec3d(1, 0, 0).angle_to(arg)
    assert str(info.value) == message


# Access conflicts provoked from inside an argument's conversion


class WritesAngle:
    """A number whose conversion assigns the angle of `target`."""

    def __init__(self, target, swallow):
        self.target, self.swallow, self.errors = target, swallow, []

    def __float__(self):
        try:
            self.target.angle = 9.0
        except RuntimeError as e:
            self.errors.append(str(e))
            if not self.swallow:
                raise
        return 2.0


class ReadsAngle:
    def __init__(self, target):
        self.target = target

    def __float__(self):
        return self.target.angle + 1.0


@pytest.mark.parametrize("op", [operator.mul, operator.truediv])
def test_writing_the_left_operand_during_conversion_is_refused(op):
    a = AngleRadians(1.0)
    w = WritesAngle(a, swallow=True)
    assert op(a, w).angle == op(1.0, 2.0)
    assert w.errors == ["Already borrowed"]
    assert a.angle == 1.0


@pytest.mark.parametrize("op", [operator.mul, operator.truediv])
def test_refused_write_inside_an_operator_becomes_not_implemented(op):
    a = AngleRadians(1.0)
    w = WritesAngle(a, swallow=False)
    with pytest.raises(TypeError, match="unsupported operand"):
        op(a, w)
    assert w.errors == ["Already borrowed"]
    assert a.angle == 1.0
    assert a.__mul__(WritesAngle(a, swallow=False)) is NotImplemented


def test_reading_the_left_operand_during_conversion_is_allowed():
    a = AngleRadians(1.0)
    assert (a * ReadsAngle(a)).angle == 2.0


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_setter_converts_before_entering(cls):
    a = cls(1.0)
    a.angle = ReadsAngle(a)
    assert a.angle == 2.0
    w = WritesAngle(a, swallow=False)
    a.angle = w  # the inner write lands first, then the converted value replaces it
    assert w.errors == []
    assert a.angle == 2.0
