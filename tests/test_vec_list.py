import functools
import math
import os
import platform
import struct
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from conftest import THREAD_SANITIZER, Batch, batch_rule_tests, bits, comps, examples, same_float, same_vec, run_with_workers
from quorral import Mat3, Quat, Vec3d, VecList, geometry

NAN = float("nan")
INF = float("inf")


def elements(vl):
    return [vl[i] for i in range(len(vl))]


def vl_of(*triples):
    return VecList([Vec3d(*t) for t in triples])


class Plain:
    pass


class Seq:
    """A sequence known to the interpreter only through __getitem__ and __len__."""

    def __init__(self, items, length=None, error=None):
        self.items, self.length, self.error = items, length, error

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.error is not None and i == 1:
            raise self.error
        return self.items[i]


A, B, C = Vec3d(1, 2, 3), Vec3d(0.5, -0.0, 2.5), Vec3d(-4, 8, 1e-7)
FLOOR = geometry.Plane(Vec3d(0, 0, 1), 2.75)  # B lies behind it, A in front


# --- construction -----------------------------------------------------------


@pytest.mark.parametrize(
    "source",
    [
        [A, B, C],
        (A, B, C),
        vl_of((1, 2, 3), (0.5, -0.0, 2.5), (-4, 8, 1e-7)),
        Seq([A, B, C]),
        Seq([A, B, C], length=ValueError("no length")),
        Seq([A, B, C], length=10**15),
    ],
    ids=["list", "tuple", "VecList", "sequence", "failing-len", "lying-len"],
)
def test_construction_copies_items_in_order(source):
    vl = VecList(source)
    assert len(vl) == 3
    for got, want in zip(elements(vl), (A, B, C)):
        same_vec(got, want)


def test_construction_by_keyword():
    assert len(VecList(list=[A])) == 1


def test_construction_copies_the_vectors():
    v = Vec3d(1, 2, 3)
    vl = VecList([v])
    v.x = 9.0
    assert vl[0].x == 1.0


def test_construction_from_vec_list_is_independent():
    source = VecList([A, B])
    copy = VecList(source)
    copy.append(C)
    assert len(source) == 2 and len(copy) == 3


def test_missing_and_extra_arguments():
    with pytest.raises(TypeError, match=r"^VecList.__new__\(\) missing 1 required positional argument: 'list'$"):
        VecList()
    with pytest.raises(TypeError, match=r"^VecList.__new__\(\) takes 1 positional arguments but 2 were given$"):
        VecList([], [])


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "source, message",
    [
        ("abc", "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        (StrSub("x"), "Can't extract `str` to `Vec`"),
        ({A: 1}, "'dict' object is not an instance of 'Sequence'"),
        ({A}, "'set' object is not an instance of 'Sequence'"),
        (iter([A]), "'list_iterator' object is not an instance of 'Sequence'"),
        ((a for a in [A]), "'generator' object is not an instance of 'Sequence'"),
        (5, "'int' object is not an instance of 'Sequence'"),
        (A, "'float' object is not an instance of 'Vec3d'"),  # a vector is a sequence of its components
        (Plain(), "'Plain' object is not an instance of 'Sequence'"),
        (None, "'None' is not an instance of 'Sequence'"),
        ([A, 1, B], "'int' object is not an instance of 'Vec3d'"),
        ((A, B, 1.5), "'float' object is not an instance of 'Vec3d'"),
        ([None], "'None' is not an instance of 'Vec3d'"),
        (Seq([A, "x", B]), "'str' object is not an instance of 'Vec3d'"),
        (range(3), "'int' object is not an instance of 'Vec3d'"),
        ([VecList([A])], "'VecList' object is not an instance of 'Vec3d'"),
        (Seq([A, B], error=TypeError("bad item")), "bad item"),
    ],
)
def test_construction_type_errors(source, message):
    with pytest.raises(TypeError) as info:
        VecList(source)
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'list': " + message


def test_construction_passes_other_iteration_errors_unchanged():
    with pytest.raises(KeyError) as info:
        VecList(Seq([A, B], error=KeyError("gone")))
    assert info.value.args == ("gone",)


def test_failed_construction_releases_the_items():
    # A string made here, not a literal other threads share.
    items = [Vec3d(1, 2, 3), Vec3d(4, 5, 6), "".join(["not a ", "vector"]), Vec3d(7, 8, 9)]
    before = [sys.getrefcount(x) for x in items]
    for source in (items, tuple(items), Seq(items)):
        with pytest.raises(TypeError):
            VecList(source)
    assert [sys.getrefcount(x) for x in items] == before


@pytest.mark.parametrize("make", [lambda: VecList([]), lambda: VecList(()), lambda: VecList(range(0)), VecList.empty])
def test_empty_lists(make):
    vl = make()
    assert len(vl) == 0
    assert not vl
    assert repr(vl) == str(vl) == "[]"
    assert vl.list == [] and vl.to_array() == []
    assert list(vl) == []


# --- indexing, conversions ---------------------------------------------------


def test_indexing():
    vl = VecList([A, B, C])
    same_vec(vl[0], A)
    same_vec(vl[True], B)
    same_vec(vl[2], C)
    assert vl[0] is not vl[0]


@pytest.mark.parametrize("index", [3, 4, 2**63])
def test_index_past_the_end(index):
    with pytest.raises(IndexError, match=r"^Index out of bounds$"):
        VecList([A, B, C])[index]


@pytest.mark.parametrize("index", [-1, -3, 2**64])
def test_index_out_of_unsigned_range(index):
    with pytest.raises(OverflowError):
        VecList([A, B, C])[index]


@pytest.mark.parametrize("index", [1.0, slice(0, 1), "0", None])
def test_index_not_an_integer(index):
    with pytest.raises(TypeError, match=r"^argument 'index': "):
        VecList([A, B, C])[index]


def test_no_item_assignment():
    vl = VecList([A])
    with pytest.raises(TypeError):
        vl[0] = B
    with pytest.raises(TypeError):
        del vl[0]
    same_vec(vl[0], A)


def test_elements_are_copies():
    vl = VecList([A])
    got = vl[0]
    got.x = 9.0
    assert vl[0].x == 1.0
    vl.append(got)
    got.x = 7.0
    assert vl[1].x == 9.0


def test_list_and_to_array():
    vl = VecList([A, Vec3d(NAN, INF, -0.0)])
    got = vl.list
    assert type(got) is list and len(got) == 2
    same_vec(got[0], A)
    same_vec(got[1], Vec3d(NAN, INF, -0.0))
    arrays = vl.to_array()
    assert type(arrays) is list and all(type(a) is list for a in arrays)
    for got_row, want in zip(arrays, (A, Vec3d(NAN, INF, -0.0))):
        for g, w in zip(got_row, comps(want)):
            same_float(g, w)
    assert VecList([Vec3d(1, 2, 3)]).to_array() == [[1.0, 2.0, 3.0]]


def test_list_property_is_read_only():
    vl = VecList([A])
    with pytest.raises(AttributeError):
        vl.list = []
    with pytest.raises(AttributeError):
        del vl.list
    with pytest.raises(AttributeError):
        vl.other = 1


@given(st.lists(st.tuples(*[st.floats(allow_nan=True, allow_infinity=True)] * 3), max_size=40))
def test_round_trip(triples):
    vl = VecList([Vec3d(*t) for t in triples])
    assert len(vl) == len(triples)
    assert [[bits(c) for c in row] for row in vl.to_array()] == [[bits(c) for c in t] for t in triples]
    assert [tuple(bits(c) for c in comps(v)) for v in vl.list] == [tuple(bits(c) for c in t) for t in triples]
    assert [tuple(bits(c) for c in comps(v)) for v in vl] == [tuple(bits(c) for c in t) for t in triples]


# --- repr ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "vl, text",
    [
        (VecList([Vec3d(1, 2, 3), Vec3d(0.5, -0.0, 2.5)]), "[Vec3d(1, 2, 3)\nVec3d(0.5, -0, 2.5)]"),
        (VecList([Vec3d(NAN, INF, -INF)]), "[Vec3d(NaN, inf, -inf)]"),
        (VecList([Vec3d(-NAN, 1e21, 1e-7)]), "[Vec3d(NaN, 1000000000000000000000, 0.0000001)]"),
        (VecList([]), "[]"),
    ],
)
def test_repr(vl, text):
    assert repr(vl) == text
    assert str(vl) == text


def test_repr_of_a_long_list_matches_the_element_texts():
    vl = VecList([Vec3d(i * 0.1, -i, i / 7) for i in range(5000)])
    assert repr(vl) == "[" + "\n".join(repr(v) for v in vl) + "]"


# --- growth -------------------------------------------------------------------


def test_append_and_extend():
    vl = VecList([A])
    assert vl.append(B) is None
    other = VecList([C, A])
    assert vl.extend(other) is None
    for got, want in zip(elements(vl), (A, B, C, A)):
        same_vec(got, want)
    assert len(other) == 2


def test_extend_copies_the_block():
    v = VecList([A])
    w = VecList([])
    w.extend(v)
    v.append(B)
    assert len(w) == 1


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda vl: vl.append(1), "argument 'vec': 'int' object is not an instance of 'Vec3d'"),
        (lambda vl: vl.append(VecList([A])), "argument 'vec': 'VecList' object is not an instance of 'Vec3d'"),
        (lambda vl: vl.extend([A]), "argument 'other': 'list' object is not an instance of 'VecList'"),
        (lambda vl: vl.extend(None), "argument 'other': 'None' is not an instance of 'VecList'"),
    ],
)
def test_growth_type_errors_leave_the_list(call, message):
    vl = VecList([A, B])
    with pytest.raises(TypeError) as info:
        call(vl)
    assert str(info.value) == message
    assert len(vl) == 2


def test_extend_with_itself():
    vl = VecList([A, B])
    with pytest.raises(RuntimeError, match=r"^Already mutably borrowed$"):
        vl.extend(vl)
    assert len(vl) == 2
    vl.append(C)  # every access state was left
    assert len(vl) == 3


# --- iterator ---------------------------------------------------------------


def test_iterator_class():
    import quorral

    it = iter(VecList([A]))
    assert type(it).__name__ == "VecListIterator"
    assert not hasattr(quorral, "VecListIterator")
    assert iter(it) is it
    with pytest.raises(TypeError):
        type(it)()
    with pytest.raises(TypeError):

        class Sub(type(it)):
            pass


def test_iterator_is_a_snapshot():
    vl = VecList([A, B])
    it = iter(vl)
    vl.append(C)
    vl.extend(VecList([A]))
    assert [comps(v) for v in it] == [comps(A), comps(B)]


def test_iterator_stays_exhausted():
    it = iter(VecList([A]))
    same_vec(next(it), A)
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_membership_uses_vector_equality():
    vl = VecList([A, B])
    assert Vec3d(1, 2, 3 + 2e-16) in vl
    assert Vec3d(0.5, 0.0, 2.5) in vl
    assert Vec3d(1, 2, 3.001) not in vl
    assert A not in VecList([])


def test_no_equality_or_ordering_of_its_own():
    a, b = VecList([A]), VecList([A])
    assert a != b and a == a
    assert hash(a) == hash(a)
    with pytest.raises(TypeError):
        a < b


# --- batch operations: bit-identical to the single-vector methods -------------

floats = st.floats(allow_nan=True, allow_infinity=True)
vectors = st.builds(Vec3d, floats, floats, floats)
vector_lists = st.lists(vectors, max_size=50)

WITH_OTHER = ["dot", "distance_to", "distance_squared"]
WITHOUT = ["magnitude", "is_unit"]


@settings(max_examples=examples(60))
@given(vector_lists, vectors)
def test_scalar_results_match_single_vectors(items, other):
    vl = VecList(items)
    for name in WITH_OTHER:
        got = getattr(vl, name)(other)
        assert type(got) is list and len(got) == len(items)
        for g, v in zip(got, items):
            same_float(g, getattr(v, name)(other))
    for name in WITHOUT:
        got = getattr(vl, name)()
        assert type(got) is list and len(got) == len(items)
        for g, v in zip(got, items):
            want = getattr(v, name)()
            if name == "is_unit":
                assert g is want
            else:
                same_float(g, want)


# Powers of two, which divide through their exact reciprocal, from the least
# normal to the largest, and components down to the subnormals.
powers_of_two = st.builds(lambda k, sign: math.copysign(math.ldexp(1.0, k), sign), st.integers(-1022, 1023),
                          st.sampled_from([1.0, -1.0]))
scalars = st.one_of(floats, powers_of_two, st.sampled_from([5e-324, 2.0**-1023, 2.0**-1074 * 3]))
tiny = st.floats(min_value=-1e-300, max_value=1e-300)
vectors_with_tiny = st.builds(Vec3d, st.one_of(floats, tiny), st.one_of(floats, tiny), floats)


@settings(max_examples=examples(100))
@given(st.lists(vectors_with_tiny, max_size=50), vectors, scalars)
def test_vector_results_match_single_vectors(items, other, scalar):
    vl = VecList(items)
    cases = {
        "cross": (vl.cross(other), lambda v: v.cross(other)),
        "normalize": (vl.normalize(), lambda v: v.normalize()),
        "+": (vl + other, lambda v: v + other),
        "-": (vl - other, lambda v: v - other),
        "*": (vl * scalar, lambda v: v * scalar),
        "r*": (scalar * vl, lambda v: scalar * v),
        "/": (vl / scalar, lambda v: v / scalar),
    }
    for name, (got, single) in cases.items():
        assert type(got) is VecList and len(got) == len(items), name
        for g, v in zip(got, items):
            same_vec(g, single(v))
    assert len(vl) == len(items)


@settings(max_examples=examples(60))
@given(vector_lists, st.builds(Quat, floats, floats, floats, floats))
def test_rotate_matches_quat_rotate(items, q):
    vl = VecList(items)
    assert vl.rotate(q) is None
    assert len(vl) == len(items)
    for g, v in zip(elements(vl), items):
        same_vec(g, q.rotate(v))


# --- the NaN rule: batch and single bit for bit, NaNs included -------------------


def as_list(elements):
    return VecList([Vec3d(*e) for e in elements])


def rotated(elements, quat):
    vl = as_list(elements)
    vl.rotate(quat)
    return vl


def power_of_two(f):
    """A power of two with the sign of f (NaN and infinities stay), so that / takes the exact reciprocal."""
    return f if not math.isfinite(f) else math.copysign(math.ldexp(1.0, int(abs(f)) % 128 - 64), f)


def nearest(elements, other):
    return nearest_reference([Vec3d(*e) for e in elements], Vec3d(*other), 1)


def collapsed(elements):
    vl = as_list(elements)
    return zip(vl.collapse(0), vl.collapse(1), vl.collapse(2))


def collapsed_one(e):
    return tuple(Vec3d(*(0.0 if k == axis else c for k, c in enumerate(e))) for axis in range(3))


# Element (x, y, z) and the operand of each member; `exact`: also where NaNs meet.
NAN_RULE = {
    "dot": Batch(lambda es, o: as_list(es).dot(Vec3d(*o)), lambda e, o: Vec3d(*e).dot(Vec3d(*o)), 3, 3),
    "magnitude": Batch(lambda es, o: as_list(es).magnitude(), lambda e, o: Vec3d(*e).magnitude(), 3),
    "normalize": Batch(lambda es, o: as_list(es).normalize(), lambda e, o: Vec3d(*e).normalize(), 3),
    "cross": Batch(lambda es, o: as_list(es).cross(Vec3d(*o)), lambda e, o: Vec3d(*e).cross(Vec3d(*o)), 3, 3),
    "distance_to": Batch(lambda es, o: as_list(es).distance_to(Vec3d(*o)),
                         lambda e, o: Vec3d(*e).distance_to(Vec3d(*o)), 3, 3),
    "distance_squared": Batch(lambda es, o: as_list(es).distance_squared(Vec3d(*o)),
                              lambda e, o: Vec3d(*e).distance_squared(Vec3d(*o)), 3, 3),
    # a NaN of the quaternion meets its own negation from the conjugate
    "rotate": Batch(lambda es, o: rotated(es, Quat(*o)), lambda e, o: Quat(*o).rotate(Vec3d(*e)), 3, 4,
                    nan_in_operand=False, lone_nans_alike_on=("aarch64",)),
    "transform": Batch(lambda es, o: as_list(es).transform(Mat3([o[0:3], o[3:6], o[6:9]])),
                       lambda e, o: Mat3([o[0:3], o[3:6], o[6:9]]) @ Vec3d(*e), 3, 9),
    "v + w": Batch(lambda es, o: as_list(es) + Vec3d(*o), lambda e, o: Vec3d(*e) + Vec3d(*o), 3, 3),
    "v * s": Batch(lambda es, o: as_list(es) * o[0], lambda e, o: Vec3d(*e) * o[0], 3, 1),
    "s * v": Batch(lambda es, o: o[0] * as_list(es), lambda e, o: o[0] * Vec3d(*e), 3, 1),
    "is_unit": Batch(lambda es, o: as_list(es).is_unit(), lambda e, o: Vec3d(*e).is_unit(), 3, exact=True),
    "collapse": Batch(lambda es, o: collapsed(es), lambda e, o: collapsed_one(e), 3, exact=True),
    "minimum_distance_to": Batch(lambda es, o: [as_list(es).minimum_distance_to(Vec3d(*o), 1)], nearest, 3, 3,
                                 exact=True, reduction=True),
    "v - w": Batch(lambda es, o: as_list(es) - Vec3d(*o), lambda e, o: Vec3d(*e) - Vec3d(*o), 3, 3, exact=True),
    "v / s": Batch(lambda es, o: as_list(es) / o[0], lambda e, o: Vec3d(*e) / o[0], 3, 1, exact=True),
    "v / 2^k": Batch(lambda es, o: as_list(es) / power_of_two(o[0]), lambda e, o: Vec3d(*e) / power_of_two(o[0]),
                     3, 1, exact=True),
}

test_nan_rule_with_lone_nans, test_nan_rule_where_nans_meet = batch_rule_tests(NAN_RULE)


def test_minimum_distance_to_ranks_a_made_nan_by_the_processors_sign():
    # inf - inf: the processor's own NaN, sign bit set on x86-64 and clear on
    # AArch64; Python computes it on the same hardware.
    made = INF - INF
    assert bits(made) == {"x86_64": 0xFFF8000000000000, "aarch64": 0x7FF8000000000000}.get(platform.machine(),
                                                                                          bits(made))
    other = Vec3d(INF, 0, 0)
    assert bits(Vec3d(INF, 0, 0).distance_squared(other)) == bits(made)
    vl = vl_of((3, 0, 0), (INF, 0, 0), (-INF, 0, 0))  # keys inf, the made NaN, inf
    index, distance = vl.minimum_distance_to(other, 1)
    if bits(made) >> 63:  # below every number
        assert (index, bits(distance)) == (1, bits(made))
    else:  # above every number
        assert (index, distance) == (0, INF)


@settings(max_examples=examples(60))
@given(vector_lists, st.integers(0, 2))
def test_collapse_zeroes_one_component(items, axis):
    got = VecList(items).collapse(axis)
    assert len(got) == len(items)
    for g, v in zip(elements(got), items):
        want = list(comps(v))
        want[axis] = 0.0
        assert [bits(c) for c in comps(g)] == [bits(c) for c in want]


def nearest_reference(items, other, stride):
    """The two-pass search written out directly."""
    keys = [v.distance_squared(other) for v in items]

    def order(i):  # IEEE totalOrder on the key, then the index
        b = bits(keys[i])
        return (b ^ 0xFFFFFFFFFFFFFFFF if b >> 63 else b | (1 << 63)), i

    m = min(range(0, len(items), stride), key=order)
    window = range(max(m - stride, 0), min(len(items), m + stride))
    j = min(window, key=order)
    return j, math.sqrt(keys[j])


@settings(max_examples=examples(100))
@given(st.lists(vectors, min_size=1, max_size=40), vectors, st.integers(1, 50))
def test_minimum_distance_to_matches_the_two_pass_search(items, other, stride):
    got = VecList(items).minimum_distance_to(other, stride)
    want = nearest_reference(items, other, stride)
    assert type(got) is tuple and type(got[0]) is int
    assert got[0] == want[0]
    same_float(got[1], want[1])
    same_float(got[1], items[got[0]].distance_to(other))


LINE = [(0, 0, 0), (1, 0, 0), (2, 0, 0), (3, 0, 0), (4, 0, 0)]


@pytest.mark.parametrize(
    "points, other, stride, expected",
    [
        (LINE, (3.25, 0, 0), 2, (3, 0.25)),
        ([(5, 0, 0), (9, 0, 0), (6, 0, 0), (9, 0, 0), (9, 0, 0), (0, 0, 0)], (0, 0, 0), 2, (0, 5.0)),
        ([(1, 0, 0), (-1, 0, 0)], (0, 0, 0), 1, (0, 1.0)),
        (LINE, (3.25, 0, 0), 10, (3, 0.25)),
        (LINE, (3.25, 0, 0), 2**64 - 1, (3, 0.25)),
        (LINE, (3.25, 0, 0), 1, (3, 0.25)),
        ([(7, 7, 7)], (0, 0, 0), 3, (0, math.sqrt(147.0))),
    ],
)
def test_minimum_distance_to_examples(points, other, stride, expected):
    got = vl_of(*points).minimum_distance_to(Vec3d(*other), stride)
    assert got[0] == expected[0]
    same_float(got[1], expected[1])


def test_minimum_distance_to_nan_other():
    index, distance = vl_of(*LINE).minimum_distance_to(Vec3d(abs(NAN), 0, 0), 1)
    assert index == 0 and math.isnan(distance)


def test_minimum_distance_to_orders_keys_totally():
    negative_nan = -abs(NAN)
    # A NaN key with the sign bit set is below every number, one with it clear above.
    assert vl_of((0, 0, 0), (0, 0, negative_nan)).minimum_distance_to(Vec3d(0, 0, 0), 1)[0] == 1
    assert vl_of((0, 0, abs(NAN)), (5, 0, 0)).minimum_distance_to(Vec3d(0, 0, 0), 1)[0] == 1


# NaN elements whose components carry opposite signs: the sign of their key
# depends on the order in which the two NaNs meet, so every key must come from
# the one distance computation that Vec3d.distance_squared uses.
MIXED_NANS = [(NAN, -NAN, 0.0), (-NAN, NAN, 0.0), (NAN, 0.0, -NAN), (-NAN, -NAN, 0.0)]
NAN_SEARCH_SIZE = 1001


def nan_search_cases():
    n = NAN_SEARCH_SIZE
    line = [(1.0 + i, 0.0, 0.0) for i in range(n - 1)] + [(0.5, 0.0, 0.0)]
    # first, a quarter (a split point with 4 workers), the middle (the first
    # split point), its left neighbour, and the last position
    for position in (0, n // 4, n // 2, n // 2 - 1, n - 1):
        for nan_point in MIXED_NANS:
            points = list(line)
            points[position] = nan_point
            for stride in (1, 2, 3, 7, n, n + 5):
                yield points, stride
    yield [(1.0, 0.0, 0.0)] * 4 + [(NAN, -NAN, 0.0)], 1
    yield [(1.0 + i, 0.0, 0.0) for i in range(1000)] + [(NAN, -NAN, 0.0), (0.5, 0.0, 0.0)], 1
    yield [(1.0 + i, 0.0, 0.0) for i in range(1000)] + [(NAN, -NAN, 0.0), (0.5, 0.0, 0.0)], 7


NAN_SEARCH_SCRIPT = """
import struct, sys
import quorral
sys.path.insert(0, {tests!r})
from test_vec_list import nan_search_cases
for points, stride in nan_search_cases():
    index, distance = quorral.VecList([quorral.Vec3d(*p) for p in points]).minimum_distance_to(
        quorral.Vec3d(0.0, 0.0, 0.0), stride)
    print(index, struct.pack("<d", distance).hex())
"""


@pytest.mark.parametrize("workers", ["1", "2", "4"])
def test_minimum_distance_to_with_nans_is_independent_of_workers(workers):
    script = NAN_SEARCH_SCRIPT.format(tests=os.path.dirname(__file__))
    out = run_with_workers(script, workers, timeout=120).split("\n")
    if platform.machine() != "x86_64":
        # The reference ranks the NaNs x86-64 makes, sign bit set; elsewhere the one-worker run is the reference.
        assert out == run_with_workers(script, 1, timeout=120).split("\n")
        return
    for line, (points, stride) in zip(out, nan_search_cases(), strict=False):
        items = [Vec3d(*p) for p in points]
        index, distance = nearest_reference(items, Vec3d(0.0, 0.0, 0.0), stride)
        assert line == f"{index} {struct.pack('<d', distance).hex()}", (points[:3], stride)
    assert len(out) == len(list(nan_search_cases())) + 1


def test_minimum_distance_to_keys_are_the_single_method_bits():
    other = Vec3d(0.0, 0.0, 0.0)
    for nan_point in MIXED_NANS:
        vl = vl_of(nan_point, nan_point)
        key = Vec3d(*nan_point).distance_squared(other)
        index, distance = vl.minimum_distance_to(other, 1)
        assert index == 0
        assert bits(distance) == bits(math.sqrt(key))


def test_minimum_distance_to_by_keyword():
    assert vl_of(*LINE).minimum_distance_to(stride=2, other=Vec3d(3.25, 0, 0)) == (3, 0.25)


def test_collapse_examples():
    got = vl_of((1, -2, 3), (-0.0, -0.0, -0.0)).collapse(1)
    assert [comps(v) for v in got] == [(1.0, 0.0, 3.0), (-0.0, 0.0, -0.0)]
    assert bits(got[1].y) == 0 and bits(got[1].x) == bits(-0.0)


def test_degenerate_values():
    assert [math.isnan(c) for c in comps(vl_of((0, 0, 0)).normalize()[0])] == [True] * 3
    assert vl_of((1, 0, 0), (1.0000000000000002, 0, 0), (NAN, 0, 0)).is_unit() == [True, False, False]
    divided = vl_of((1, -1, 0)) / 0.0
    assert comps(divided[0])[:2] == (INF, -INF) and math.isnan(divided[0].z)


@pytest.mark.parametrize("name", ["dot", "distance_to", "distance_squared"])
def test_scalar_operations_on_an_empty_list(name):
    assert getattr(VecList([]), name)(A) == []


def test_operations_on_an_empty_list():
    empty = VecList([])
    assert empty.magnitude() == [] and empty.is_unit() == []
    for result in (empty.normalize(), empty.cross(A), empty.collapse(0), empty + A, empty - A, empty * 2, 2 * empty, empty / 2):
        assert type(result) is VecList and len(result) == 0
    assert empty.rotate(Quat(1, 0, 0, 0)) is None and len(empty) == 0
    for result in (empty.add_each(empty), empty.sub_each(empty), empty.cross_each(empty), empty.scale_each([]),
                   empty.add_scaled(empty, 2.0), empty.take([]), VecList([A]).take(())):
        assert type(result) is VecList and len(result) == 0
    assert empty.reflect_off(FLOOR, VecList([])) is None
    for result in (empty.dot_each(empty), empty.dot_each(A), empty.distance_each(empty), empty.distance_each(A)):
        assert type(result).__name__ == "array" and result.typecode == "d" and len(result) == 0
    assert bits(empty.dot_sum(empty)) == 0
    assert [bits(c) for c in comps(empty.sum())] == [0, 0, 0]
    assert all(math.isnan(c) for c in comps(empty.mean()))
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        empty.take([0])


def test_results_are_new_lists():
    vl = VecList([A])
    for result in (vl.normalize(), vl + A, vl * 1.0, vl.collapse(2)):
        assert result is not vl
    same_vec(vl[0], A)


def test_scalar_multiplication_forms_agree():
    vl = VecList([A, B, C])
    assert [comps(v) for v in 2 * vl] == [comps(v) for v in vl * 2] == [comps(v) for v in vl * 2.0]


# --- failures -------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda vl: vl.collapse(3), "assertion failed: axis <= 2"),
        (lambda vl: vl.collapse(2**64 - 1), "assertion failed: axis <= 2"),
        (lambda vl: vl.minimum_distance_to(A, 0), "assertion failed: stride != 0"),
        (lambda vl: VecList([]).minimum_distance_to(A, 1), "called `Option::unwrap()` on a `None` value"),
        (lambda vl: VecList([]).minimum_distance_to(A, 0), "assertion failed: stride != 0"),
        (lambda vl: VecList([]).collapse(3), "assertion failed: axis <= 2"),
    ],
)
def test_panics(call, message, capfd):
    vl = VecList([A, B])
    with pytest.raises(BaseException) as info:
        call(vl)
    error_type = type(info.value)
    assert error_type.__name__ == "PanicException"
    assert issubclass(error_type, BaseException) and not issubclass(error_type, Exception)
    assert error_type.__bases__ == (BaseException,)
    assert info.value.args == (message,)
    assert capfd.readouterr().err != ""
    assert len(vl) == 2


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda vl: vl.dot(1), TypeError, "argument 'other': 'int' object is not an instance of 'Vec3d'"),
        (lambda vl: vl.cross(None), TypeError, "argument 'other': 'None' is not an instance of 'Vec3d'"),
        (lambda vl: vl.distance_to(vl), TypeError, "argument 'other': 'VecList' object is not an instance of 'Vec3d'"),
        (lambda vl: vl.rotate(A), TypeError, "argument 'quat': 'Vec3d' object is not an instance of 'Quat'"),
        (lambda vl: vl.collapse(1.0), TypeError, "argument 'axis': "),
        (lambda vl: vl.minimum_distance_to(A, "2"), TypeError, "argument 'stride': "),
        (lambda vl: vl.minimum_distance_to(1, 0), TypeError, "argument 'other': 'int' object is not an instance of 'Vec3d'"),
        (lambda vl: vl.collapse(-1), OverflowError, ""),
        (lambda vl: vl.minimum_distance_to(A, -1), OverflowError, ""),
        (lambda vl: vl.dot(), TypeError, "VecList.dot() missing 1 required positional argument: 'other'"),
        (lambda vl: vl.magnitude(A), TypeError, ""),
        (lambda vl: vl.add_each(A), TypeError, "argument 'other': 'Vec3d' object is not an instance of 'VecList'"),
        (lambda vl: vl.cross_each([A, B]), TypeError, "argument 'other': 'list' object is not an instance of 'VecList'"),
        (lambda vl: vl.dot_each(1.0), TypeError,
         "argument 'other': 'float' object is not an instance of 'Vec3d | VecList'"),
        (lambda vl: vl.distance_each(None), TypeError, "argument 'other': 'None' is not an instance of 'Vec3d | VecList'"),
        (lambda vl: vl.dot_sum(A), TypeError, "argument 'other': 'Vec3d' object is not an instance of 'VecList'"),
        (lambda vl: vl.add_scaled(vl, "2"), TypeError, "argument 'factor': must be real number, not str"),
        (lambda vl: vl.add_scaled(A, "2"), TypeError, "argument 'other': "),  # other is checked first
        (lambda vl: vl.add_scaled(VecList([A]), "2"), TypeError, "argument 'factor': "),  # conversion before lengths
        (lambda vl: vl.scale_each(2.0), TypeError, "argument 'factors': 'float' object is not an instance of 'Sequence'"),
        (lambda vl: vl.scale_each("ab"), TypeError, "argument 'factors': 'str' object is not an instance of 'Sequence'"),
        (lambda vl: vl.scale_each([1.0, "x"]), TypeError, "argument 'factors': must be real number, not str"),
        (lambda vl: vl.scale_each(struct.pack("<2d", 1, 2)), TypeError,
         "argument 'factors': expected a buffer of float64 (format 'd'), got format 'B'"),
        (lambda vl: vl.scale_each(vl), ValueError, "expected a buffer of shape (n,), got shape (2, 3)"),
        (lambda vl: vl.scale_each([1.0]), ValueError, "lengths differ: self has 2 elements, factors has 1"),
        (lambda vl: vl.add_each(VecList([A])), ValueError, "lengths differ: self has 2 elements, other has 1"),
        (lambda vl: vl.sub_each(VecList([])), ValueError, "lengths differ: self has 2 elements, other has 0"),
        (lambda vl: vl.cross_each(VecList([A] * 3)), ValueError, "lengths differ: self has 2 elements, other has 3"),
        (lambda vl: vl.dot_each(VecList([A])), ValueError, "lengths differ: self has 2 elements, other has 1"),
        (lambda vl: vl.distance_each(VecList([A])), ValueError, "lengths differ: self has 2 elements, other has 1"),
        (lambda vl: vl.dot_sum(VecList([A])), ValueError, "lengths differ: self has 2 elements, other has 1"),
        (lambda vl: vl.add_scaled(VecList([A]), 2.0), ValueError, "lengths differ: self has 2 elements, other has 1"),
        (lambda vl: vl.reflect_off(A, VecList([A, B])), TypeError,
         "argument 'plane': 'Vec3d' object is not an instance of 'Plane'"),
        (lambda vl: vl.reflect_off(FLOOR, [A, B]), TypeError,
         "argument 'velocities': 'list' object is not an instance of 'VecList'"),
        (lambda vl: vl.reflect_off(FLOOR, A), TypeError, "argument 'velocities': 'Vec3d' object is not an instance"),
        (lambda vl: vl.reflect_off(FLOOR, VecList([A])), ValueError,
         "lengths differ: self has 2 elements, velocities has 1"),
        (lambda vl: vl.reflect_off(FLOOR, VecList([])), ValueError,
         "lengths differ: self has 2 elements, velocities has 0"),
        (lambda vl: vl.reflect_off(FLOOR, vl), RuntimeError, "Already borrowed"),  # both are held for writing
        (lambda vl: vl.reflect_off(FLOOR), TypeError,
         "VecList.reflect_off() missing 1 required positional argument: 'velocities'"),
        (lambda vl: vl.take([0, 2]), IndexError, "Index out of bounds"),
        (lambda vl: vl.take([2, -1]), OverflowError, ""),  # negative before out of range
        (lambda vl: vl.take([0, 1.0]), TypeError, "argument 'indices': 'float' object cannot be interpreted"),
        (lambda vl: vl.take(3), TypeError, "argument 'indices': 'int' object is not an instance of 'Sequence'"),
        (lambda vl: vl.take(bytes([0, 1, 2])), IndexError, "Index out of bounds"),  # bytes: unsigned bytes
        (lambda vl: vl.take(memoryview(struct.pack("<2d", 0, 1)).cast("d")), TypeError,
         "argument 'indices': expected a buffer of integers, got format 'd'"),
        (lambda vl: vl.take(memoryview(struct.pack("<4b", 0, 1, 0, 1)).cast("b", (2, 2))), ValueError,
         "expected a buffer of shape (n,), got shape (2, 2)"),
        (lambda vl: vl.take(), TypeError, "VecList.take() missing 1 required positional argument: 'indices'"),
        (lambda vl: vl.add_scaled(vl), TypeError, "VecList.add_scaled() missing 1 required positional argument: 'factor'"),
        (lambda vl: vl.sum(A), TypeError, ""),
    ],
)
def test_argument_errors_leave_the_list(call, error, message):
    vl = VecList([A, B])
    with pytest.raises(error) as info:
        call(vl)
    assert type(info.value) is error
    assert str(info.value).startswith(message)
    if error is OverflowError:
        assert not str(info.value).startswith("argument")
    assert [comps(v) for v in vl] == [comps(A), comps(B)]


def test_reflect_off_errors_leave_both_lists():
    points, velocities = VecList([A, B]), VecList([C, A])
    with pytest.raises(ValueError, match="^lengths differ: self has 2 elements, velocities has 3$"):
        points.reflect_off(FLOOR, VecList([A, B, C]))
    with memoryview(velocities):  # a reader of the velocities refuses their write
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            points.reflect_off(FLOOR, velocities)
    with memoryview(points):
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            points.reflect_off(FLOOR, velocities)
    assert [comps(v) for v in points] == [comps(A), comps(B)]
    assert [comps(v) for v in velocities] == [comps(C), comps(A)]
    points.reflect_off(FLOOR, velocities)  # B is behind the plane: it and the velocity A turn
    assert [comps(v) for v in points] == [comps(A), (0.5, 0.0, 3.0)]
    assert [comps(v) for v in velocities] == [comps(C), (1.0, 2.0, -3.0)]


@pytest.mark.parametrize(
    "op",
    [
        lambda v: v + 1.0,
        lambda v: v - 1.0,
        lambda v: v * v,
        lambda v: v * A,
        lambda v: v * "2",
        lambda v: v / "2",
        lambda v: v / A,
        lambda v: A + v,
        lambda v: A - v,
        lambda v: 1.0 / v,
        lambda v: 1.0 + v,
        lambda v: 1.0 - v,
        lambda v: v + v,
        lambda v: -v,
        lambda v: v @ v,
    ],
)
def test_operator_type_errors(op):
    with pytest.raises(TypeError):
        op(VecList([A]))


def test_augmented_assignment_binds_a_new_list():
    u = VecList([A])
    v = u
    u += B
    assert u is not v
    same_vec(v[0], A)
    same_vec(u[0], A + B)
    u *= 2
    same_vec(v[0], A)


def test_rotate_replaces_contents_but_not_earlier_iterators():
    vl = VecList([A, B])
    it = iter(vl)
    q = Quat.from_axis_angle(Vec3d(0, 0, 1), __import__("quorral").AngleRadians(1.0))
    vl.rotate(q)
    same_vec(vl[0], q.rotate(A))
    same_vec(vl[1], q.rotate(B))
    assert [comps(v) for v in it] == [comps(A), comps(B)]


def test_rotate_uses_the_quaternion_unnormalised():
    vl = VecList([A])
    q = Quat(2, 0, 0, 0)
    vl.rotate(q)
    same_vec(vl[0], q.rotate(A))
    same_vec(vl[0], A * 4)


# --- access conflicts --------------------------------------------------------


class GrowsDuringConversion:
    """An integer whose conversion appends to the list being operated on."""

    def __init__(self, target, value):
        self.target, self.value, self.seen = target, value, None

    def __index__(self):
        try:
            self.target.append(Vec3d(0, 0, 0))
        except RuntimeError as error:
            self.seen = error
            raise
        return self.value

    def __float__(self):
        return float(self.__index__())


@pytest.mark.parametrize(
    "call",
    [
        lambda vl, evil: vl.collapse(evil),
        lambda vl, evil: vl.minimum_distance_to(A, evil),
        lambda vl, evil: vl[evil],
    ],
)
def test_writer_refused_while_a_reader_converts_arguments(call):
    vl = VecList([A, B])
    evil = GrowsDuringConversion(vl, 1)
    with pytest.raises(RuntimeError, match=r"^Already borrowed$") as info:
        call(vl, evil)
    assert info.value is evil.seen
    assert len(vl) == 2
    vl.append(C)  # the read was left again
    assert len(vl) == 3


def test_operator_with_conflicting_scalar_is_not_implemented():
    vl = VecList([A])
    evil = GrowsDuringConversion(vl, 2)
    with pytest.raises(TypeError, match="unsupported operand"):
        vl * evil
    assert isinstance(evil.seen, RuntimeError) and str(evil.seen) == "Already borrowed"
    assert len(vl) == 1


# --- surface -----------------------------------------------------------------


@pytest.mark.parametrize(
    "name, signature",
    [
        ("empty", "()"),
        ("append", "($self, vec)"),
        ("extend", "($self, other)"),
        ("to_array", "($self)"),
        ("dot", "($self, other)"),
        ("cross", "($self, other)"),
        ("magnitude", "($self)"),
        ("normalize", "($self)"),
        ("distance_to", "($self, other)"),
        ("distance_squared", "($self, other)"),
        ("is_unit", "($self)"),
        ("rotate", "($self, quat)"),
        ("collapse", "($self, axis)"),
        ("minimum_distance_to", "($self, other, stride)"),
        ("add_each", "($self, other)"),
        ("sub_each", "($self, other)"),
        ("cross_each", "($self, other)"),
        ("dot_each", "($self, other)"),
        ("distance_each", "($self, other)"),
        ("dot_sum", "($self, other)"),
        ("scale_each", "($self, factors)"),
        ("add_scaled", "($self, other, factor)"),
        ("reflect_off", "($self, plane, velocities)"),
        ("sum", "($self)"),
        ("mean", "($self)"),
        ("take", "($self, indices)"),
        ("writable", "($self)"),
    ],
)
def test_text_signatures(name, signature):
    member = getattr(VecList, name)
    assert member.__text_signature__ == signature
    assert member.__doc__ is None


def test_class_properties():
    assert VecList.__text_signature__ == "(list)"
    assert VecList.__module__ == "builtins" and VecList.__qualname__ == "VecList"
    with pytest.raises(TypeError):

        class Sub(VecList):
            pass


# --- worker pool sizing (observed as the process's thread count) ----------------

POOL_SCRIPT = """
import os, quorral
threads = lambda: len(os.listdir("/proc/self/task"))
before = threads()
{first}
print(before, threads() - before, len(os.sched_getaffinity(0)))
"""


@functools.cache
def bare_threads():
    """The threads of an interpreter that imported nothing: 1, or 2 under qemu-user."""
    code = 'import os; print(len(os.listdir("/proc/self/task")))'
    return int(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)


def pool_threads(env_updates, first="quorral.VecList([]).magnitude()"):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_updates)
    out = subprocess.run(
        [sys.executable, "-c", POOL_SCRIPT.format(first=first)], env=env, capture_output=True, text=True, check=True
    ).stdout.split()
    before, added, cpus = map(int, out)
    assert before == bare_threads()  # importing starts no thread
    return added, cpus


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.skipif(THREAD_SANITIZER, reason="the sanitizer runtime adds a thread of its own")
@pytest.mark.thread_unsafe(reason="runs subprocesses")
@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+1"}, 1),
        ({"RAYON_NUM_THREADS": "0"}, "cpus"),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, "cpus"),
        ({"RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "0"}, "cpus"),
        ({}, "cpus"),
    ],
)
def test_pool_size_from_environment(env, expected):
    added, cpus = pool_threads(env)
    assert added == (cpus if expected == "cpus" else expected)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.skipif(THREAD_SANITIZER, reason="the sanitizer runtime adds a thread of its own")
@pytest.mark.thread_unsafe(reason="runs subprocesses")
@pytest.mark.parametrize(
    "first, starts",
    [
        ("quorral.VecList([])", True),
        ("quorral.VecList([]).to_array()", True),
        ("repr(quorral.VecList([]))", True),
        ("quorral.VecList([]).collapse(0)", True),
        ("quorral.VecList([]) + quorral.Vec3d(1, 2, 3)", True),
        ("quorral.VecList.empty()", False),
        ("len(quorral.VecList.empty())", False),
        ("quorral.Vec3d(1, 2, 3).dot(quorral.Vec3d(1, 2, 3))", False),
    ],
)
def test_pool_starts_with_the_first_job(first, starts):
    added, _ = pool_threads({"RAYON_NUM_THREADS": "2"}, first)
    assert added == (2 if starts else 0)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.skipif(THREAD_SANITIZER, reason="the sanitizer runtime adds a thread of its own")
@pytest.mark.thread_unsafe(reason="runs subprocesses")
def test_pool_does_not_start_when_arguments_fail():
    first = "\ntry:\n    quorral.VecList.empty().collapse(3)\nexcept BaseException:\n    pass"
    added, _ = pool_threads({"RAYON_NUM_THREADS": "2"}, first)
    assert added == 0


@pytest.mark.thread_unsafe(reason="runs subprocesses")
def test_single_worker_gives_the_same_results():
    script = (
        "import quorral\n"
        "vl = quorral.VecList([quorral.Vec3d(i * 0.37, -i / 3, i ** 0.5) for i in range(20000)])\n"
        "print(repr(vl.normalize()).__hash__(), sum(vl.dot(quorral.Vec3d(0.1, 0.2, 0.3))).hex(),"
        " vl.minimum_distance_to(quorral.Vec3d(7, -2, 3), 7),"
        " repr(vl * 0.3).__hash__(), repr(0.3 * vl).__hash__(), repr(vl / 0.7).__hash__())\n"
    )
    assert len({run_with_workers(script, threads, PYTHONHASHSEED="0") for threads in (1, 2, 5)}) == 1
