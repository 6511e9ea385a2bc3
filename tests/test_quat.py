import math
import operator
import struct
import threading

import pytest
from hypothesis import given, strategies as st

from conftest import bits
from quorral import AngleRadians, Quat, Vec3d

NAN = float("nan")
INF = float("inf")
EPS = 2.0**-52

finite = st.floats(allow_nan=False, allow_infinity=False)
moderate = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)
quats = st.tuples(moderate, moderate, moderate, moderate)
vectors = st.tuples(moderate, moderate, moderate)


def same(got: float, want: float) -> None:
    """Bit-exact; an expected NaN matches any NaN."""
    assert math.isnan(got) if math.isnan(want) else bits(got) == bits(want)


def same_all(got, want) -> None:
    got, want = list(got), list(want)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        same(g, float(w))


def parts(q: Quat):
    return (q.w, q.i, q.j, q.k)


def vec(v: Vec3d):
    return (v.x, v.y, v.z)


def div(x: float, y: float) -> float:
    """IEEE division, infinities and NaN for a zero divisor."""
    if y == 0.0:
        return NAN if x == 0.0 or math.isnan(x) else math.copysign(INF, x) * math.copysign(1.0, y)
    return x / y


# Reference formulas, evaluated left to right like the module.


def product(a, b):
    aw, ai, aj, ak = a
    bw, bi, bj, bk = b
    return (
        aw * bw - ai * bi - aj * bj - ak * bk,
        aw * bi + ai * bw + aj * bk - ak * bj,
        aw * bj + aj * bw + ak * bi - ai * bk,
        aw * bk + ak * bw + ai * bj - aj * bi,
    )


def rotated(q, v):
    w, i, j, k = q
    r = product(product((w, -i, -j, -k), (0.0, *v)), q)
    return r[1:]


def matrix(q):
    w, i, j, k = q

    def twice(x):
        return x + x

    return [
        [1.0 - twice(j * j + k * k), twice(i * j - w * k), twice(i * k + w * j)],
        [twice(i * j + w * k), 1.0 - twice(i * i + k * k), twice(j * k - w * i)],
        [twice(i * k - w * j), twice(j * k + w * i), 1.0 - twice(i * i + j * j)],
    ]


def magnitude(q):
    w, i, j, k = q
    return math.sqrt(((w * w + i * i) + j * j) + k * k)


# Class surface


def test_class_is_final_builtin_with_text_signatures():
    assert Quat.__module__ == "builtins"
    assert Quat.__doc__ == ""
    assert Quat.__text_signature__ == "(w, i, j, k)"
    with pytest.raises(TypeError):
        type("Sub", (Quat,), {})
    with pytest.raises(AttributeError):
        Quat(1, 0, 0, 0).x = 1.0


@pytest.mark.parametrize(
    "name, signature",
    [
        ("identity", "()"),
        ("from_axis_angle", "(axis, angle)"),
        ("rotate", "($self, v)"),
        ("conjugate", "($self)"),
        ("normalize", "($self)"),
        ("magnitude", "($self)"),
        ("is_unit", "($self)"),
        ("to_vec3d", "($self)"),
        ("to_axis_angle", "($self)"),
        ("to_rotation_matrix", "($self)"),
    ],
)
def test_method_text_signatures(name, signature):
    method = getattr(Quat, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_unhashable():
    q = Quat(1, 0, 0, 0)
    assert Quat.__hash__ is None
    with pytest.raises(TypeError, match="unhashable"):
        hash(q)
    with pytest.raises(TypeError):
        {q: 1}


def test_no_arithmetic():
    q = Quat(1, 0, 0, 0)
    for op in (operator.add, operator.sub, operator.mul, operator.truediv):
        with pytest.raises(TypeError, match="unsupported operand"):
            op(q, q)
        with pytest.raises(TypeError, match="unsupported operand"):
            op(q, 2.0)
    with pytest.raises(TypeError):
        -q


# Construction and properties


def test_constructor_stores_bits_unchanged():
    payload = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]
    q = Quat(-0.0, payload, INF, 5e-324)
    assert [bits(c) for c in parts(q)] == [0x8000000000000000, 0x7FF0000000000001, 0x7FF0000000000000, 1]
    same_all(parts(Quat(k=4, j=3, i=2, w=1)), (1, 2, 3, 4))
    same_all(parts(Quat(1, True, 3, k=2.5)), (1, 1, 3, 2.5))


@pytest.mark.parametrize("position, name", list(enumerate("wijk")))
def test_constructor_names_the_bad_argument(position, name):
    args = [1.0, 2.0, 3.0, 4.0]
    args[position] = "x"
    with pytest.raises(TypeError) as info:
        Quat(*args)
    assert str(info.value) == f"argument '{name}': must be real number, not str"


def test_constructor_converts_in_order():
    with pytest.raises(TypeError, match="^argument 'i': "):
        Quat(1, "a", None, "c")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Quat(), "Quat.__new__() missing 4 required positional arguments: 'w', 'i', 'j', and 'k'"),
        (lambda: Quat(1, 2), "Quat.__new__() missing 2 required positional arguments: 'j' and 'k'"),
        (lambda: Quat(1, 2, 3), "Quat.__new__() missing 1 required positional argument: 'k'"),
        (lambda: Quat(1, 2, 3, 4, 5), "Quat.__new__() takes 4 positional arguments but 5 were given"),
        (lambda: Quat(1, 2, 3, 4, x=5), "Quat.__new__() got an unexpected keyword argument 'x'"),
        (lambda: Quat(1, 2, 3, 4, w=5), "Quat.__new__() got multiple values for argument 'w'"),
    ],
)
def test_constructor_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("name", "wijk")
def test_component_properties(name):
    q = Quat(1, 2, 3, 4)
    before = dict(zip("wijk", parts(q)))
    setattr(q, name, -0.0)
    assert bits(getattr(q, name)) == bits(-0.0)
    for other in "wijk":
        if other != name:
            assert getattr(q, other) == before[other]
    setattr(q, name, 7)
    with pytest.raises(TypeError, match="^argument 'value': must be real number, not str$"):
        setattr(q, name, "s")
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(q, name)
    assert getattr(q, name) == 7.0
    assert repr(q) == repr(Quat(*(7 if c == name else before[c] for c in "wijk")))


def test_setting_w_of_identity():
    q = Quat.identity()
    q.w = 2
    assert q.is_unit() is False
    assert q.magnitude() == 2.0
    assert Quat.identity().w == 1.0  # a fresh value every time


# Text form


@pytest.mark.parametrize(
    "q, text",
    [
        (Quat.identity(), "Quat(1, 0, 0, 0)"),
        (Quat.identity().conjugate(), "Quat(1, -0, -0, -0)"),
        (Quat(0.5, 0.5, 0.5, 0.5), "Quat(0.5, 0.5, 0.5, 0.5)"),
        (Quat(0.1 + 0.2, 1e21, 1e-7, -INF), "Quat(0.30000000000000004, 1000000000000000000000, 0.0000001, -inf)"),
        (Quat(NAN, -NAN, 123456789.125, -2.5), "Quat(NaN, NaN, 123456789.125, -2.5)"),
    ],
)
def test_text_form(q, text):
    assert repr(q) == text
    assert str(q) == text


# Operations


def test_identity():
    q = Quat.identity()
    assert type(q) is Quat
    same_all(parts(q), (1, 0, 0, 0))
    same_all(parts(Quat(5, 5, 5, 5).identity()), (1, 0, 0, 0))


def test_conjugate_flips_sign_bits():
    same_all(parts(Quat(1, 0, 0, 0).conjugate()), (1, -0.0, -0.0, -0.0))
    same_all(parts(Quat(-0.0, -1, 2, -0.0).conjugate()), (-0.0, 1, -2, 0.0))
    c = Quat(1, NAN, 2, 3).conjugate()
    assert math.isnan(c.i) and c.j == -2.0


def test_magnitude_normalize_is_unit():
    q = Quat(1, 2, 2, 4)
    assert q.magnitude() == 5.0
    assert q.is_unit() is False
    same_all(parts(q.normalize()), (0.2, 0.4, 0.4, 0.8))
    same_all(parts(q), (1, 2, 2, 4))
    assert Quat(0.5, 0.5, 0.5, 0.5).is_unit() is True


def test_zero_quaternion():
    z = Quat(0, 0, 0, 0)
    assert all(math.isnan(c) for c in parts(z.normalize()))
    assert z.is_unit() is False
    assert z.magnitude() == 0.0


@pytest.mark.parametrize(
    "w, unit",
    [(1.0, True), (1.0 + EPS, False), (1.0 - EPS / 2, True), (1.0 - EPS, False), (NAN, False), (INF, False)],
)
def test_is_unit_is_strict(w, unit):
    assert Quat(w, 0, 0, 0).is_unit() is unit


@given(quats)
def test_magnitude_and_normalize_formulas(c):
    q = Quat(*c)
    m = magnitude(c)
    same(q.magnitude(), m)
    same_all(parts(q.normalize()), [div(x, m) for x in c])
    assert q.is_unit() is (abs(m - 1.0) < EPS)


def test_normalize_divides_rather_than_multiplying_by_the_reciprocal():
    c = (1.0, 1.0, 1.0, 3.0)
    m = magnitude(c)
    assert 3.0 / m != 3.0 * (1.0 / m)
    same(Quat(*c).normalize().k, 3.0 / m)


def test_to_vec3d_is_a_tuple():
    t = Quat(1, 2, 3, 4).to_vec3d()
    assert type(t) is tuple
    assert t == (2.0, 3.0, 4.0)
    same_all(Quat(1, -0.0, NAN, INF).to_vec3d(), (-0.0, NAN, INF))


def test_from_axis_angle_quarter_turn():
    q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())
    same_all(parts(q), (math.cos(-math.pi / 4), -0.0, -0.0, math.sin(-math.pi / 4)))
    same_all(parts(q), (0.7071067811865476, -0.0, -0.0, -0.7071067811865475))
    same_all(vec(q.rotate(Vec3d(1, 0, 0))), (2.220446049250313e-16, 1, 0))
    m = q.to_rotation_matrix()
    same_all([row[0] for row in m], (2.220446049250313e-16, -1, 0))  # the matrix turns the other way
    axis, angle = q.to_axis_angle()
    same_all(vec(axis), (-0.0, -0.0, -1))
    same(angle.angle, 1.5707963267948966)


def test_from_axis_angle_keywords_and_instance_call():
    q = Quat.from_axis_angle(angle=AngleRadians.pi(), axis=Vec3d(1, 0, 0))
    assert repr(Quat.identity().from_axis_angle(Vec3d(1, 0, 0), AngleRadians.pi())) == repr(q)


@given(vectors, moderate)
def test_from_axis_angle_formula(axis, angle):
    q = Quat.from_axis_angle(Vec3d(*axis), AngleRadians(angle))
    h = angle * -0.5
    s, c = math.sin(h), math.cos(h)
    same_all(parts(q), (c, axis[0] * s, axis[1] * s, axis[2] * s))


def test_from_axis_angle_uses_the_axis_unchanged():
    unit = Quat.from_axis_angle(Vec3d(0, 1, 0), AngleRadians(1.0))
    long = Quat.from_axis_angle(Vec3d(0, 3, 0), AngleRadians(1.0))
    assert long.j == unit.j * 3
    zero = Quat.from_axis_angle(Vec3d(0, 0, 0), AngleRadians(1.0))
    assert zero.w == math.cos(-0.5) and zero.to_vec3d() == (0.0, 0.0, 0.0)


@pytest.mark.parametrize(
    "arguments, message",
    [
        (((0, 0, 1), AngleRadians(1)), "argument 'axis': 'tuple' object is not an instance of 'Vec3d'"),
        ((Vec3d(0, 0, 1), 1.0), "argument 'angle': 'float' object is not an instance of 'AngleRadians'"),
        ((Vec3d(0, 0, 1), None), "argument 'angle': 'None' is not an instance of 'AngleRadians'"),
        ((None, 1.0), "argument 'axis': 'None' is not an instance of 'Vec3d'"),  # axis is checked first
    ],
)
def test_from_axis_angle_argument_errors(arguments, message):
    with pytest.raises(TypeError) as info:
        Quat.from_axis_angle(*arguments)
    assert str(info.value) == message


def test_rotate_identity_and_scaling():
    v = Vec3d(1.5, -2, 3)
    same_all(vec(Quat.identity().rotate(v)), (1.5, -2, 3))
    same_all(vec(Quat(2, 0, 0, 0).rotate(v)), (6, -8, 12))
    same_all(vec(Quat(1, 2, 3, 4).rotate(v=v)), rotated((1, 2, 3, 4), (1.5, -2, 3)))


def test_rotate_propagates_through_the_zero_scalar():
    r = Quat(1, 0, 0, 0).rotate(Vec3d(INF, 0, 0))
    assert math.isnan(r.y) and math.isnan(r.z)  # 0 * inf is evaluated, not skipped


@given(quats, vectors)
def test_rotate_formula(q, v):
    same_all(vec(Quat(*q).rotate(Vec3d(*v))), rotated(q, v))


@pytest.mark.parametrize(
    "arg, message",
    [
        ([1, 2, 3], "argument 'v': 'list' object is not an instance of 'Vec3d'"),
        ((1, 2, 3), "argument 'v': 'tuple' object is not an instance of 'Vec3d'"),
        (Quat(0, 1, 2, 3), "argument 'v': 'Quat' object is not an instance of 'Vec3d'"),
        (None, "argument 'v': 'None' is not an instance of 'Vec3d'"),
    ],
)
def test_rotate_argument_errors(arg, message):
    with pytest.raises(TypeError) as info:
        Quat.identity().rotate(arg)
    assert str(info.value) == message


def test_rotation_matrix_of_identity():
    m = Quat.identity().to_rotation_matrix()
    assert m == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert type(m) is list and all(type(row) is list for row in m)


@given(quats)
def test_rotation_matrix_formula(q):
    got = Quat(*q).to_rotation_matrix()
    for got_row, want_row in zip(got, matrix(q), strict=True):
        same_all(got_row, want_row)


def test_rotation_matrix_is_not_normalised():
    assert Quat(2, 0, 0, 0).to_rotation_matrix() == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert Quat(0, 2, 0, 0).to_rotation_matrix()[1][1] == -7.0


@pytest.mark.parametrize(
    "q, axis, angle",
    [
        (Quat.identity(), (1, 0, 0), 0.0),
        (Quat(1.0 - EPS / 2, 5, 5, 5), (1, 0, 0), 0.0),  # the double just below 1 takes the special case
        (Quat(1.0 + EPS, 0, 0, 0), (NAN, NAN, NAN), NAN),
        (Quat(-1, 0, 0, 0), (0, 0, 0), 6.283185307179586),
        (Quat(2, 1, 0, 0), (NAN, NAN, NAN), NAN),
        (Quat(NAN, 0, 0, 0), (NAN, NAN, NAN), NAN),
    ],
)
def test_to_axis_angle_cases(q, axis, angle):
    result = q.to_axis_angle()
    assert type(result) is tuple and len(result) == 2
    assert type(result[0]) is Vec3d and type(result[1]) is AngleRadians
    same_all(vec(result[0]), axis)
    same(result[1].angle, angle)


@given(quats)
def test_to_axis_angle_formula(q):
    w, i, j, k = q
    axis, angle = Quat(*q).to_axis_angle()
    if abs(w - 1.0) < EPS:
        same_all(vec(axis), (1, 0, 0))
        same(angle.angle, 0.0)
        return
    a = math.acos(w) if -1.0 <= w <= 1.0 else NAN
    s = math.sin(0.5 * (a + a))
    same(angle.angle, a + a)
    same_all(vec(axis), (div(i, s), div(j, s), div(k, s)))


def test_decoding_reverses_the_encoded_axis():
    axis, angle = Quat.from_axis_angle(Vec3d(0, 1, 0), AngleRadians(1.0)).to_axis_angle()
    assert abs(axis.y + 1.0) < 1e-15 and axis.x == 0.0 and axis.z == 0.0
    assert abs(angle.angle - 1.0) < 1e-15


# Equality


@pytest.mark.parametrize(
    "a, b, equal",
    [
        ((0, 0, 0, 0), (1e-16, 0, 0, 0), True),
        ((0, 0, 0, 0), (0, 0, 0, -1e-16), True),
        ((0, 0, 0, 0), (3e-16, 0, 0, 0), False),
        ((0, 0, 0, 0), (0, 0, EPS, 0), False),  # strict
        ((1e20, 0, 0, 0), (1e20 + 16384, 0, 0, 0), False),  # absolute, not relative
        ((NAN, 0, 0, 0), (NAN, 0, 0, 0), False),
        ((1, 2, 3, INF), (1, 2, 3, INF), False),  # inf - inf is NaN
        ((-0.0, 0, 0, 0), (0, -0.0, 0, 0), True),
    ],
)
def test_tolerant_equality(a, b, equal):
    x, y = Quat(*a), Quat(*b)
    for left, right in ((x, y), (y, x)):
        assert (left == right) is equal
        assert (left != right) is (not equal)


def test_equality_is_not_transitive():
    a, b, c = Quat(0, 0, 0, 0), Quat(1.5e-16, 0, 0, 0), Quat(3e-16, 0, 0, 0)
    assert a == b and b == c and a != c


def test_nan_quaternion_is_unequal_to_itself():
    q = Quat(NAN, 0, 0, 0)
    assert (q == q) is False
    assert (q != q) is True


@pytest.mark.parametrize("other", [(1, 0, 0, 0), [1, 0, 0, 0], 1.0, None, Vec3d(1, 0, 0), AngleRadians(1)])
def test_comparison_with_other_types(other):
    q = Quat(1, 0, 0, 0)
    assert (q == other) is False
    assert (other == q) is False
    assert (q != other) is True
    assert (other != q) is True
    assert q.__eq__(other) is NotImplemented
    assert q.__ne__(other) is NotImplemented


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_ordering_is_unsupported(op):
    q = Quat(1, 0, 0, 0)
    with pytest.raises(TypeError, match="not supported between instances of 'builtins.Quat' and 'builtins.Quat'"):
        op(q, q)
    assert getattr(q, f"__{op.__name__}__")(q) is NotImplemented


def test_not_equal_is_computed_directly():
    class EqualToAll:
        def __eq__(self, other):
            return True

    assert (Quat(1, 0, 0, 0) != EqualToAll()) is False  # NotImplemented from Quat, then the reflected __eq__
    assert Quat(1, 0, 0, 0).__ne__(Quat(1, 0, 0, 0)) is False


# Vec3d.to_quat


def test_to_quat():
    q = Vec3d(1, 2, 3).to_quat()
    assert type(q) is Quat
    assert repr(q) == "Quat(0, 1, 2, 3)"
    assert Vec3d.to_quat.__text_signature__ == "($self)"


def test_to_quat_copies_bits_and_uses_positive_zero():
    payload = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]
    q = Vec3d(-0.0, payload, -INF).to_quat()
    assert [bits(c) for c in parts(q)] == [0, 0x8000000000000000, 0x7FF0000000000001, 0xFFF0000000000000]


# Access conflicts provoked from inside an argument's conversion


class Touches:
    """A number whose conversion reads q.w and writes q.i."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.i = 9.0
        return self.target.w + 1.0


@pytest.mark.parametrize("name", "wijk")
def test_setter_converts_before_entering(name):
    q = Quat(1, 2, 3, 4)
    setattr(q, name, Touches(q))
    want = {"w": 1, "i": 9, "j": 3, "k": 4}
    want[name] = 2.0
    same_all(parts(q), [want[c] for c in "wijk"])


@pytest.mark.thread_unsafe(reason="starts its own threads")
def test_writer_during_comparison_is_an_internal_failure():
    """Whatever interleaving occurs, a comparison gives a bool or the internal failure."""
    q, other = Quat(1, 0, 0, 0), Quat(1, 0, 0, 0)
    stop = threading.Event()
    outcomes = set()

    def write():
        while not stop.is_set():
            try:
                other.w = 1.0
            except RuntimeError as e:
                assert str(e) == "Already borrowed"

    writer = threading.Thread(target=write)
    writer.start()
    try:
        for _ in range(20000):
            try:
                outcomes.add(q == other)
            except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
                assert type(e).__name__ == "PanicException"
                assert not isinstance(e, Exception)
                assert str(e).startswith("Already mutably borrowed")
                outcomes.add("panic")
    finally:
        stop.set()
        writer.join()
    assert outcomes <= {True, "panic"}
