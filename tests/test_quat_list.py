"""QuatList: the container (shared with VecList) and its batch operations."""

import array
import math
import os
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import quorral
from conftest import Batch, batch_rule_tests, bits, examples
from quorral import AngleRadians, Quat, QuatList, Vec3d, VecList

NAN = float("nan")
INF = float("inf")

P, Q, R = Quat(1, 2, 3, 4), Quat(0.5, -0.0, 2.5, NAN), Quat(-4, 8, 1e-7, INF)


def parts(x):
    return (x.w, x.i, x.j, x.k) if type(x) is Quat else (x.x, x.y, x.z)


def words(q):
    return tuple(bits(c) for c in parts(q))


def same(got, want):
    """Element for element the same bits, except that any NaN matches any NaN
    (which NaN a product yields depends on the order the compiler gave its operands)."""
    got, want = list(got), list(want)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert type(g) is type(w)
        for a, b in zip(parts(g), parts(w)):
            assert (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b), (g, w)


# --- container ------------------------------------------------------------------


class Seq:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("source", [[P, Q, R], (P, Q, R), QuatList([P, Q, R]), Seq([P, Q, R])],
                         ids=["list", "tuple", "QuatList", "sequence"])
def test_construction_copies_items_in_order(source):
    ql = QuatList(source)
    assert len(ql) == 3
    assert [words(q) for q in ql] == [words(P), words(Q), words(R)]


@pytest.mark.parametrize(
    "source, message",
    [
        ("abc", "argument 'list': Can't extract `str` to `Vec`"),
        (5, "argument 'list': 'int' object is not an instance of 'Sequence'"),
        ([P, Vec3d(1, 2, 3)], "argument 'list': 'Vec3d' object is not an instance of 'Quat'"),
        (VecList([Vec3d(1, 2, 3)]), "argument 'list': 'Vec3d' object is not an instance of 'Quat'"),
    ],
)
def test_construction_type_errors(source, message):
    with pytest.raises(TypeError) as info:
        QuatList(source)
    assert str(info.value) == message


def test_empty_and_truth():
    for ql in (QuatList([]), QuatList.empty()):
        assert len(ql) == 0 and not ql
        assert repr(ql) == "[]" and ql.list == [] and ql.to_array() == []
    assert QuatList([P])


def test_indexing_list_and_to_array():
    ql = QuatList([P, Q])
    assert words(ql[1]) == words(Q) and words(ql[True]) == words(Q)
    assert [words(q) for q in ql.list] == [words(P), words(Q)]
    assert [[bits(c) for c in row] for row in ql.to_array()] == [list(words(P)), list(words(Q))]
    assert all(type(row) is list and len(row) == 4 for row in ql.to_array())
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        ql[2]
    with pytest.raises(OverflowError):
        ql[-1]
    with pytest.raises(TypeError, match="^argument 'index': "):
        ql[0.0]
    with pytest.raises(TypeError):
        ql[0] = P


def test_elements_are_copies():
    q = Quat(1, 0, 0, 0)
    ql = QuatList([q])
    q.w = 9.0
    got = ql[0]
    got.i = 7.0
    assert words(ql[0]) == words(Quat(1, 0, 0, 0))


def test_repr():
    assert repr(QuatList([Quat(1, 0, -0.0, 2.5), Quat(NAN, INF, -INF, 1e-7)])) == (
        "[Quat(1, 0, -0, 2.5)\nQuat(NaN, inf, -inf, 0.0000001)]"
    )
    long = QuatList([Quat(i * 0.1, -i, i / 7, 1) for i in range(3000)])
    assert repr(long) == "[" + "\n".join(repr(q) for q in long) + "]"


def test_append_extend_and_their_errors():
    ql = QuatList([P])
    assert ql.append(Q) is None and ql.extend(QuatList([R])) is None
    assert [words(q) for q in ql] == [words(P), words(Q), words(R)]
    for call, message in [
        (lambda: ql.append(Vec3d(1, 2, 3)), "argument 'quat': 'Vec3d' object is not an instance of 'Quat'"),
        (lambda: ql.extend([P]), "argument 'other': 'list' object is not an instance of 'QuatList'"),
        (lambda: ql.extend(VecList([])), "argument 'other': 'VecList' object is not an instance of 'QuatList'"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        ql.extend(ql)
    assert len(ql) == 3


def test_iterator_is_a_snapshot():
    ql = QuatList([P])
    it = iter(ql)
    assert type(it).__name__ == "QuatListIterator" and iter(it) is it
    ql.append(Q)
    assert [words(q) for q in it] == [words(P)]
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(TypeError):
        type(it)()
    assert Quat(1, 2, 3, 4) in QuatList([Q, P])


@given(st.lists(st.tuples(*[st.floats()] * 4), max_size=30))
def test_round_trip_keeps_bits(rows):
    ql = QuatList([Quat(*r) for r in rows])
    assert [words(q) for q in ql] == [tuple(bits(c) for c in r) for r in rows]
    assert [words(q) for q in QuatList.from_buffer(ql)] == [words(q) for q in ql]


def test_from_buffer_rows_of_four():
    flat = array.array("d", [1, 2, 3, 4, 5, 6, 7, 8])
    assert QuatList.from_buffer(flat).to_array() == [[1, 2, 3, 4], [5, 6, 7, 8]]
    with pytest.raises(ValueError) as info:
        QuatList.from_buffer(array.array("d", [1, 2, 3]))
    assert str(info.value) == "expected a buffer of shape (n, 4) or (4n,), got shape (3,)"
    with pytest.raises(TypeError) as info:
        QuatList.from_buffer(array.array("f", [1, 2, 3, 4]))
    assert str(info.value) == "argument 'obj': expected a buffer of float64 (format 'd'), got format 'f'"
    with pytest.raises(ValueError, match=r"shape \(n, 4\) or \(4n,\), got shape \(2, 3\)"):
        QuatList.from_buffer(memoryview(VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])))


def test_from_buffer_of_numpy_views():
    np = pytest.importorskip("numpy", reason="numpy is not installed for this interpreter")
    a = np.random.default_rng(1).standard_normal((9, 8))
    for source in (a[:, :4], a[::2, 4:], np.asfortranarray(a[:, :4]), a.ravel()[:36]):
        assert np.asarray(QuatList.from_buffer(source)).tobytes() == np.ascontiguousarray(source).tobytes()
    view = np.asarray(QuatList([P, Q]))
    assert view.shape == (2, 4) and view.strides == (32, 8) and not view.flags.writeable


# --- from_axis_angles -------------------------------------------------------------

AXES = [Vec3d(0, 0, 1), Vec3d(1, 2, -3), Vec3d(0.6, 0.8, 0), Vec3d(NAN, 0, 1)]
ANGLES = [0.0, -0.0, 1.25, -3.5, math.pi, 1e300, INF, NAN]


def test_from_axis_angles_with_one_axis():
    for axis in AXES:
        got = QuatList.from_axis_angles(axis, ANGLES)
        same(got, [Quat.from_axis_angle(axis, AngleRadians(t)) for t in ANGLES])


def test_from_axis_angles_pairwise():
    axes = VecList(AXES * 2)
    got = QuatList.from_axis_angles(axes=axes, angles=tuple(ANGLES))
    same(got, [Quat.from_axis_angle(a, AngleRadians(t)) for a, t in zip(AXES * 2, ANGLES)])


@pytest.mark.parametrize(
    "angles",
    [
        lambda: [0.5, 1, True],
        lambda: (0.5, 1, True),
        lambda: array.array("d", [0.5, 1, 1]),
        lambda: memoryview(array.array("d", [9, 0.5, 9, 1, 9, 1]))[1::2],
        lambda: memoryview(bytearray(b"\0" + array.array("d", [0.5, 1, 1]).tobytes()))[1:].cast("d"),
        lambda: range(0, 3),
    ],
    ids=["list", "tuple", "array", "strided", "unaligned", "range"],
)
def test_from_axis_angles_accepts_buffers_and_sequences(angles):
    values = [float(x) for x in angles()]
    same(QuatList.from_axis_angles(Vec3d(0, 1, 0), angles()),
         [Quat.from_axis_angle(Vec3d(0, 1, 0), AngleRadians(t)) for t in values])


@pytest.mark.parametrize(
    "axes, angles, error, message",
    [
        (1, [1.0], TypeError, "argument 'axes': 'int' object is not an instance of 'Vec3d | VecList'"),
        (Quat(1, 0, 0, 0), [1.0], TypeError, "argument 'axes': 'Quat' object is not an instance of 'Vec3d | VecList'"),
        (Vec3d(1, 0, 0), 1.0, TypeError, "argument 'angles': 'float' object is not an instance of 'Sequence'"),
        (Vec3d(1, 0, 0), "ab", TypeError, "argument 'angles': 'str' object is not an instance of 'Sequence'"),
        (Vec3d(1, 0, 0), [1.0, "x"], TypeError, "argument 'angles': must be real number, not str"),
        (Vec3d(1, 0, 0), array.array("i", [1]), TypeError,
         "argument 'angles': expected a buffer of float64 (format 'd'), got format 'i'"),
        (Vec3d(1, 0, 0), memoryview(array.array("d", [1, 2, 3, 4])).cast("B").cast("d", (2, 2)), ValueError,
         "expected a buffer of shape (n,), got shape (2, 2)"),
        (VecList([Vec3d(1, 0, 0)] * 2), [1.0] * 3, ValueError,
         "lengths differ: axes has 2 elements, angles has 3"),
        (1, "ab", TypeError, "argument 'axes': 'int' object is not an instance of 'Vec3d | VecList'"),
    ],
)
def test_from_axis_angles_errors(axes, angles, error, message):
    with pytest.raises(error) as info:
        QuatList.from_axis_angles(axes, angles)
    assert str(info.value) == message


# --- batch operations ---------------------------------------------------------------

finite = st.floats(-1e6, 1e6)
quats = st.builds(Quat, finite, finite, finite, finite)
any_quats = st.builds(Quat, st.floats(), st.floats(), st.floats(), st.floats())
vecs = st.builds(Vec3d, finite, finite, finite)

UNARY = ["inverse", "conjugate", "normalize"]


@settings(max_examples=examples(60), deadline=None)
@given(st.lists(any_quats, max_size=20))
def test_unary_operations_match_single_quats(items):
    ql = QuatList(items)
    for name in UNARY:
        same(getattr(ql, name)(), [getattr(q, name)() for q in items])


@settings(max_examples=examples(60), deadline=None)
@given(st.lists(any_quats, max_size=20), any_quats, st.floats())
def test_operations_with_one_operand_match_single_quats(items, other, t):
    ql = QuatList(items)
    same(ql.then(other), [q.then(other) for q in items])
    same(ql.slerp(other, t), [q.slerp(other, t) for q in items])


@settings(max_examples=examples(60), deadline=None)
@given(st.lists(st.tuples(any_quats, any_quats, vecs), max_size=20), st.floats(-2, 3), vecs)
def test_pairwise_operations_match_single_quats(rows, t, v):
    a = QuatList([r[0] for r in rows])
    b = QuatList([r[1] for r in rows])
    vs = VecList([r[2] for r in rows])
    same(a.then(b), [x.then(y) for x, y, _ in rows])
    same(a.slerp(b, t), [x.slerp(y, t) for x, y, _ in rows])
    got = a.rotate(vs)
    assert type(got) is VecList
    same(got, [x.rotate(w) for x, _, w in rows])
    same(a.rotate(v), [x.rotate(v) for x, _, _ in rows])


# --- the NaN rule: batch and single bit for bit, NaNs included -------------------


def quats_of(elements, first=0):
    return QuatList([Quat(*e[first:first + 4]) for e in elements])


def one(e, first=0):
    return Quat(*e[first:first + 4])


# Element (w, i, j, k), two of them, or a quaternion and a vector, or an axis and
# an angle; the operand of each member. `exact`: also where NaNs meet. A NaN of a
# rotating quaternion meets its own negation from the conjugate.
NAN_RULE = {
    "from_axis_angles(VecList)": Batch(
        lambda es, o: QuatList.from_axis_angles(VecList([Vec3d(*e[:3]) for e in es]), [e[3] for e in es]),
        lambda e, o: Quat.from_axis_angle(Vec3d(*e[:3]), AngleRadians(e[3])), 4),
    "from_axis_angles(Vec3d)": Batch(lambda es, o: QuatList.from_axis_angles(Vec3d(*o), [e[0] for e in es]),
                                     lambda e, o: Quat.from_axis_angle(Vec3d(*o), AngleRadians(e[0])), 1, 3),
    "then(Quat)": Batch(lambda es, o: quats_of(es).then(Quat(*o)), lambda e, o: one(e).then(Quat(*o)), 4, 4),
    "then(QuatList)": Batch(lambda es, o: quats_of(es).then(quats_of(es, 4)), lambda e, o: one(e).then(one(e, 4)), 8),
    "inverse": Batch(lambda es, o: quats_of(es).inverse(), lambda e, o: one(e).inverse(), 4),
    "normalize": Batch(lambda es, o: quats_of(es).normalize(), lambda e, o: one(e).normalize(), 4),
    "slerp(Quat)": Batch(lambda es, o: quats_of(es).slerp(Quat(*o[:4]), o[4]),
                         lambda e, o: one(e).slerp(Quat(*o[:4]), o[4]), 4, 5),
    "slerp(QuatList)": Batch(lambda es, o: quats_of(es).slerp(quats_of(es, 4), o[0]),
                             lambda e, o: one(e).slerp(one(e, 4), o[0]), 8, 1),
    "rotate(Vec3d)": Batch(lambda es, o: quats_of(es).rotate(Vec3d(*o)), lambda e, o: one(e).rotate(Vec3d(*o)), 4, 3,
                           nan_in=()),
    "rotate(VecList)": Batch(lambda es, o: quats_of(es).rotate(VecList([Vec3d(*e[4:]) for e in es])),
                             lambda e, o: one(e).rotate(Vec3d(*e[4:])), 7, nan_in=(4, 5, 6)),
    "conjugate": Batch(lambda es, o: quats_of(es).conjugate(), lambda e, o: one(e).conjugate(), 4, exact=True),
}

test_nan_rule_with_lone_nans, test_nan_rule_where_nans_meet = batch_rule_tests(NAN_RULE)


# Lengths around the pool's piece boundaries (pieces are never shorter than 2048 or 8192 elements).
BOUNDARY_LENGTHS = [0, 1, 2, 3, 4095, 4096, 4097, 16383, 16384, 16385]


@pytest.mark.parametrize("n", BOUNDARY_LENGTHS)
def test_batch_equals_single_at_piece_boundaries(n):
    items = [Quat(math.cos(i), math.sin(i * 0.7), -i / 9, 0.25 + i % 5) for i in range(n)]
    other = [Quat(0.5, i % 3, -0.5, 1 / (i + 1)) for i in range(n)]
    vectors = [Vec3d(i, -1.5, 0.1 * i) for i in range(n)]
    a, b = QuatList(items), QuatList(other)
    same(a.then(b), [x.then(y) for x, y in zip(items, other)])
    same(a.slerp(b, 0.3), [x.slerp(y, 0.3) for x, y in zip(items, other)])
    same(a.inverse(), [x.inverse() for x in items])
    same(a.normalize(), [x.normalize() for x in items])
    same(a.rotate(VecList(vectors)), [x.rotate(v) for x, v in zip(items, vectors)])
    angles = [0.001 * i for i in range(n)]
    same(QuatList.from_axis_angles(Vec3d(1, 2, 3), angles),
         [Quat.from_axis_angle(Vec3d(1, 2, 3), AngleRadians(t)) for t in angles])


WORKERS_SCRIPT = """
import hashlib, math, quorral
from quorral import Quat, QuatList, Vec3d, VecList
n = 40000
a = QuatList([Quat(math.cos(i), math.sin(i * 0.7), -i / 9, 0.25 + i % 5) for i in range(n)])
b = QuatList([Quat(0.5, i % 3, -0.5, 1 / (i + 1)) for i in range(n)])
v = VecList([Vec3d(i, -1.5, 0.1 * i) for i in range(n)])
h = hashlib.sha256()
for result in (a.then(b), a.then(b[7]), a.slerp(b, 0.3), a.inverse(), a.normalize(), a.conjugate(),
               a.rotate(v), a.rotate(Vec3d(1, 2, 3)), QuatList.from_axis_angles(v, [0.001 * i for i in range(n)])):
    h.update(bytes(memoryview(result)))
print(h.hexdigest())
"""


@pytest.mark.thread_unsafe(reason="runs subprocesses")
def test_results_do_not_depend_on_the_worker_count():
    outputs = set()
    for threads in ("1", "2", "4"):
        env = {**os.environ, "RAYON_NUM_THREADS": threads}
        outputs.add(subprocess.run([sys.executable, "-c", WORKERS_SCRIPT], env=env, capture_output=True, text=True,
                                   check=True).stdout)
    assert len(outputs) == 1


def test_results_are_new_and_the_receiver_is_unchanged():
    a, b = QuatList([P, Q]), QuatList([R, P])
    vs = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
    before = (bytes(memoryview(a)), bytes(memoryview(b)), bytes(memoryview(vs)))
    results = [a.then(b), a.then(P), a.inverse(), a.conjugate(), a.normalize(), a.slerp(b, 0.5), a.rotate(vs)]
    assert all(r is not a and r is not b and r is not vs for r in results)
    assert (bytes(memoryview(a)), bytes(memoryview(b)), bytes(memoryview(vs))) == before


def test_rotate_returns_a_new_vec_list_while_vec_list_rotate_works_in_place():
    q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.5))
    vs = VecList([Vec3d(1, 0, 0), Vec3d(0, 1, 0)])
    rotated = QuatList([q, q]).rotate(vs)
    assert vs.to_array() == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0]]
    assert vs.rotate(q) is None
    assert rotated.to_array() == vs.to_array()


def test_compress_keeps_the_marked_quaternions():
    ql = QuatList([P, Q, R])
    assert [words(q) for q in ql.compress(b"\x00\x01\x01")] == [words(Q), words(R)]
    assert len(ql.compress([False] * 3)) == 0
    with pytest.raises(ValueError, match="^lengths differ: self has 3 elements, mask has 2$"):
        ql.compress([True, True])


def test_then_composes_in_application_order():
    a = QuatList.from_axis_angles(Vec3d(0, 0, 1), [0.3, 1.1])
    b = QuatList.from_axis_angles(Vec3d(1, 0, 0), [-0.7, 2.0])
    v = Vec3d(0.2, -1, 3)
    for got, x, y in zip(a.then(b).rotate(v), a, b):
        want = y.rotate(x.rotate(v))
        # rounding only (the same rotations both ways): |v| < 3.2, and 1e-14 is
        # over 16 units of the last place of such components
        assert abs(got.x - want.x) < 1e-14 and abs(got.y - want.y) < 1e-14 and abs(got.z - want.z) < 1e-14


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda a: a.then(QuatList([P])), ValueError, "lengths differ: self has 2 elements, other has 1"),
        (lambda a: a.slerp(QuatList([P] * 3), 0.5), ValueError, "lengths differ: self has 2 elements, other has 3"),
        (lambda a: a.rotate(VecList([])), ValueError, "lengths differ: self has 2 elements, vectors has 0"),
        (lambda a: a.then(Vec3d(1, 2, 3)), TypeError,
         "argument 'other': 'Vec3d' object is not an instance of 'Quat | QuatList'"),
        (lambda a: a.then(None), TypeError, "argument 'other': 'None' is not an instance of 'Quat | QuatList'"),
        (lambda a: a.rotate(P), TypeError,
         "argument 'vectors': 'Quat' object is not an instance of 'Vec3d | VecList'"),
        (lambda a: a.slerp(P, "x"), TypeError, "argument 't': must be real number, not str"),
        (lambda a: a.slerp(5, "x"), TypeError, "argument 'other': 'int' object is not an instance of 'Quat | QuatList'"),
        (lambda a: a.slerp(QuatList([P]), "x"), TypeError, "argument 't': must be real number, not str"),
        (lambda a: a.then(), TypeError, "QuatList.then() missing 1 required positional argument: 'other'"),
        (lambda a: a.slerp(P, 0.5, 1), TypeError, "QuatList.slerp() takes 2 positional arguments but 3 were given"),
        (lambda a: a.inverse(P), TypeError, None),
    ],
)
def test_argument_errors_leave_the_list(call, error, message):
    a = QuatList([P, Q])
    before = bytes(memoryview(a))
    with pytest.raises(error) as info:
        call(a)
    if message is not None:
        assert str(info.value) == message
    assert bytes(memoryview(a)) == before
    a.append(R)  # every access state was left


def test_keywords():
    a = QuatList([P])
    same(a.slerp(other=Q, t=0.25), [P.slerp(Q, 0.25)])
    same(a.then(other=Q), [P.then(Q)])
    same(a.rotate(vectors=Vec3d(1, 2, 3)), [P.rotate(Vec3d(1, 2, 3))])


def test_a_list_with_itself_is_two_readers():
    a = QuatList([P, Q])
    same(a.then(a), [P.then(P), Q.then(Q)])
    same(a.slerp(a, 0.5), [P.slerp(P, 0.5), Q.slerp(Q, 0.5)])


def test_batch_operations_while_exported_and_writes_refused():
    a = QuatList([P, Q])
    with memoryview(a):
        a.then(a), a.inverse(), a.rotate(Vec3d(1, 0, 0))
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            a.append(P)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            a.extend(QuatList([P]))
    a.append(P)


# --- surface ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, signature",
    [
        ("empty", "()"),
        ("from_buffer", "(obj)"),
        ("from_axis_angles", "(axes, angles)"),
        ("append", "($self, quat)"),
        ("extend", "($self, other)"),
        ("to_array", "($self)"),
        ("then", "($self, other)"),
        ("inverse", "($self)"),
        ("conjugate", "($self)"),
        ("normalize", "($self)"),
        ("slerp", "($self, other, t)"),
        ("rotate", "($self, vectors)"),
    ],
)
def test_text_signatures(name, signature):
    member = getattr(QuatList, name)
    assert member.__text_signature__ == signature
    assert member.__doc__ is None


def test_class_properties():
    assert QuatList.__text_signature__ == "(list)"
    assert QuatList.__module__ == "builtins" and QuatList.__qualname__ == "QuatList"
    assert quorral.__all__[6] == "QuatList" and not hasattr(quorral, "QuatListIterator")
    with pytest.raises(TypeError):
        type("Sub", (QuatList,), {})
    with pytest.raises(AttributeError):
        QuatList([]).other = 1
    with pytest.raises(AttributeError):
        QuatList([]).list = []
    with pytest.raises(TypeError):
        QuatList([]) + QuatList([])
    with pytest.raises(TypeError):
        QuatList([]) < QuatList([])
    ql = QuatList([])
    assert ql == ql and ql != QuatList([]) and hash(ql) == hash(ql)
