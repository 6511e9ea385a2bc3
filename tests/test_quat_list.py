"""QuatList: the container (shared with VecList) and its batch operations."""

import array
import math
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import quorral
from conftest import Batch, batch_rule_tests, bits, examples, run_with_workers
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
                           nan_in=(), lone_nans_alike_on=("aarch64",)),
    "rotate(VecList)": Batch(lambda es, o: quats_of(es).rotate(VecList([Vec3d(*e[4:]) for e in es])),
                             lambda e, o: one(e).rotate(Vec3d(*e[4:])), 7, nan_in=(4, 5, 6),
                             lone_nans_alike_on=("aarch64",)),
    "conjugate": Batch(lambda es, o: quats_of(es).conjugate(), lambda e, o: one(e).conjugate(), 4, exact=True),
}



def rows_of(elements, *shape):
    """A float64 buffer of the elements' values, of shape (n, *shape)."""
    flat = array.array("d", [c for e in elements for c in e])
    return memoryview(flat).cast("B").cast("d", (len(elements), *shape))


def matrix_of(e):
    return [list(e[0:3]), list(e[3:6]), list(e[6:9])]


def flat(m):
    return tuple(x for row in m for x in row)


NAN_RULE.update({
    "from_rotation_vectors": Batch(
        lambda es, o: QuatList.from_rotation_vectors(VecList([Vec3d(*e) for e in es]), o[0]),
        lambda e, o: Quat.from_rotation_vector(Vec3d(e[0] * o[0], e[1] * o[0], e[2] * o[0])), 3, 1),
    "to_rotation_vectors": Batch(lambda es, o: quats_of(es).to_rotation_vectors(),
                                 lambda e, o: one(e).to_rotation_vector(), 4),
    "from_xyzw": Batch(lambda es, o: QuatList.from_xyzw(rows_of(es, 4)), lambda e, o: Quat.from_xyzw(*e), 4, exact=True),
    "from_wxyz": Batch(lambda es, o: QuatList.from_wxyz(rows_of(es, 4)), lambda e, o: Quat.from_wxyz(*e), 4, exact=True),
    "to_xyzw": Batch(lambda es, o: [tuple(r) for r in quats_of(es).to_xyzw().tolist()],
                     lambda e, o: one(e).to_xyzw(), 4, exact=True),
    "to_wxyz": Batch(lambda es, o: [tuple(r) for r in quats_of(es).to_wxyz().tolist()],
                     lambda e, o: one(e).to_wxyz(), 4, exact=True),
    "from_rotation_matrices": Batch(lambda es, o: QuatList.from_rotation_matrices(rows_of(es, 3, 3)),
                                    lambda e, o: Quat.from_rotation_matrix(matrix_of(e)), 9),
    "from_applying_matrices": Batch(lambda es, o: QuatList.from_applying_matrices(rows_of(es, 3, 3)),
                                    lambda e, o: Quat.from_applying_matrix(matrix_of(e)), 9),
    "to_rotation_matrices": Batch(lambda es, o: [flat(m) for m in quats_of(es).to_rotation_matrices().tolist()],
                                  lambda e, o: flat(one(e).to_rotation_matrix()), 4),
    "to_applying_matrices": Batch(lambda es, o: [flat(m) for m in quats_of(es).to_applying_matrices().tolist()],
                                  lambda e, o: flat(one(e).to_applying_matrix()), 4),
})


def quietly(f):
    """f without the gimbal-lock warnings its values may bring."""
    def call(*args):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return f(*args)
    return call


for _seq in ("xyz", "ZXZ"):
    NAN_RULE[f"from_euler({_seq})"] = Batch(lambda es, o, s=_seq: QuatList.from_euler(s, rows_of(es, 3)),
                                            lambda e, o, s=_seq: Quat.from_euler(s, e), 3)
    NAN_RULE[f"to_euler({_seq})"] = Batch(
        quietly(lambda es, o, s=_seq: [tuple(r) for r in quats_of(es).to_euler(s).tolist()]),
        quietly(lambda e, o, s=_seq: one(e).to_euler(s)), 4)

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
    assert [bits(x) for x in a.angle_to(b)] == [bits(x.angle_to(y).angle) for x, y in zip(items, other)]
    assert [bits(x) for x in a.angle_to(other[-1] if n else P)] == [bits(x.angle_to(other[-1]).angle) for x in items]
    assert [bits(x) for x in a.rotation_angle()] == [bits(x.rotation_angle().angle) for x in items]
    randoms = QuatList.random(n, 7)
    assert len(randoms) == n
    assert all(words(randoms[i]) == words(QuatList.random(i + 1, 7)[i]) for i in ({0, n // 2, n - 1} if n else ()))
    scaled = [Vec3d(v.x * 1e-3, v.y * 1e-3, v.z * 1e-3) for v in vectors]
    same(QuatList.from_rotation_vectors(VecList(vectors), 1e-3), [Quat.from_rotation_vector(v) for v in scaled])
    same(a.to_rotation_vectors(), [x.to_rotation_vector() for x in items])
    assert a.to_xyzw().tolist() == [list(x.to_xyzw()) for x in items]
    assert a.to_applying_matrices().tolist() == [x.to_applying_matrix() for x in items]
    same(QuatList.from_rotation_matrices(a.to_rotation_matrices()),
         [Quat.from_rotation_matrix(x.to_rotation_matrix()) for x in items])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        angles = a.to_euler("ZYX", degrees=True)
        assert angles.tolist() == [list(x.to_euler("ZYX", degrees=True)) for x in items]
    same(QuatList.from_euler("yxy", angles, degrees=True), [Quat.from_euler("yxy", r, True) for r in angles.tolist()])


WORKERS_SCRIPT = """
import hashlib, math, quorral
from quorral import Quat, QuatList, Vec3d, VecList
n = 40000
a = QuatList([Quat(math.cos(i), math.sin(i * 0.7), -i / 9, 0.25 + i % 5) for i in range(n)])
b = QuatList([Quat(0.5, i % 3, -0.5, 1 / (i + 1)) for i in range(n)])
v = VecList([Vec3d(i, -1.5, 0.1 * i) for i in range(n)])
h = hashlib.sha256()
for result in (a.then(b), a.then(b[7]), a.slerp(b, 0.3), a.inverse(), a.normalize(), a.conjugate(),
               a.rotate(v), a.rotate(Vec3d(1, 2, 3)), QuatList.from_axis_angles(v, [0.001 * i for i in range(n)]),
               QuatList([a.mean(), a.normalize().mean(), a.mean([1 + i % 4 for i in range(n)])]), QuatList.random(n, 99),
               QuatList.from_rotation_vectors(v, 0.01), a.to_rotation_vectors(), a.to_xyzw(), a.to_wxyz(),
               QuatList.from_xyzw(a), QuatList.from_wxyz(a), a.to_rotation_matrices(), a.to_applying_matrices(),
               QuatList.from_rotation_matrices(a.to_rotation_matrices()),
               QuatList.from_applying_matrices(a.to_applying_matrices()), a.to_euler("xyz"), a.to_euler("ZXZ", True),
               QuatList.from_euler("XYZ", a.to_euler("xzy"))):
    h.update(bytes(memoryview(result)))
for values in (a.angle_to(b), a.angle_to(b[3]), a.rotation_angle()):
    h.update(bytes(values))
print(h.hexdigest())
"""


@pytest.mark.thread_unsafe(reason="runs subprocesses")
def test_results_do_not_depend_on_the_worker_count():
    assert len({run_with_workers(WORKERS_SCRIPT, threads) for threads in (1, 2, 4)}) == 1


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


# --- mean ---------------------------------------------------------------------


def clustered(rng, n, spread):
    """n unit quaternions within about `spread` radians of one rotation, with random signs."""
    base = Quat(*rng.normal(size=4)).normalize()
    out = []
    for _ in range(n):
        d = rng.normal(scale=spread, size=3)
        q = base.then(Quat.from_axis_angle(Vec3d(*d).normalize(), AngleRadians(float(math.hypot(*d)))))
        out.append(q if rng.random() < 0.5 else Quat(-q.w, -q.i, -q.j, -q.k))
    return out


@pytest.mark.parametrize("n, spread", [(1, 0.2), (2, 0.3), (129, 0.5), (5000, 1.0), (20000, 0.1)])
def test_mean_is_the_dominant_eigenvector(n, spread):
    np = pytest.importorskip("numpy", reason="numpy is not installed for this interpreter")
    rng = np.random.default_rng(n)
    items = clustered(rng, n, spread)
    got = QuatList(items).mean()
    a = np.array([parts(q) for q in items])
    values, vectors = np.linalg.eigh(a.T @ a)
    want = vectors[:, -1] * np.sign(vectors[np.argmax(abs(vectors[:, -1])), -1])
    # An eigenvector's error is about eps |M| / gap; the clusters keep the gap
    # above half of |M|, and the sums' rounding grows with log n leaves.
    assert values[-1] - values[-2] >= 0.5 * values[-1]
    assert max(abs(g - w) for g, w in zip(parts(got), want)) <= 64 * 2.0**-53
    assert math.isclose(sum(c * c for c in parts(got)), 1.0, abs_tol=4 * 2.0**-53)
    assert abs(max(parts(got), key=abs)) == max(parts(got))
    scipy_rotation = pytest.importorskip("scipy.spatial.transform").Rotation
    textbook = scipy_rotation.from_quat(a[:, [1, 2, 3, 0]] * [-1, -1, -1, 1]).mean().as_quat()
    assert abs(np.dot(textbook, [-got.i, -got.j, -got.k, got.w])) >= 1 - 64 * 2.0**-53
    # Weighted: M = sum w_i q_i q_i^T, the same bound; unit weights change no bit.
    assert words(QuatList(items).mean(np.ones(n))) == words(got)
    w = rng.random(n) + 0.01
    weighted = QuatList(items).mean(w)
    textbook = scipy_rotation.from_quat(a[:, [1, 2, 3, 0]] * [-1, -1, -1, 1]).mean(weights=w).as_quat()
    assert abs(np.dot(textbook, [-weighted.i, -weighted.j, -weighted.k, weighted.w])) >= 1 - 64 * 2.0**-53


def test_random_rotations_are_uniform():
    qs = QuatList.random(100000, 3)
    # Uniform on the unit sphere of quaternions: each squared component has
    # mean 1/4 and standard deviation 1/4, so the mean of 10^5 lies within
    # 0.004 (5 sigma) of 1/4; the angle t has P(t <= x) = (x - sin x) / pi.
    for c in range(4):
        assert abs(sum(q[c] * q[c] for q in qs.to_array()) / len(qs) - 0.25) < 0.004
    angles = sorted(qs.rotation_angle())
    median = angles[len(angles) // 2]
    assert abs((median - math.sin(median)) / math.pi - 0.5) < 0.01
    # p / |p| with |p| rounded: each component two roundings, magnitude() four more.
    assert all(abs(m - 1) <= 8 * 2.0**-53 for m in (q.magnitude() for q in qs))


@pytest.mark.parametrize("call, error, message", [
    (lambda: QuatList.random(-1, 0), OverflowError, None),
    (lambda: QuatList.random(2**64, 0), OverflowError, None),
    (lambda: QuatList.random(2**62, 0), MemoryError, None),
    (lambda: QuatList.random(1, -1), OverflowError, None),
    (lambda: QuatList([P, Q]).angle_to(QuatList([P])), ValueError, "lengths differ: self has 2 elements, other has 1"),
    (lambda: QuatList([P]).angle_to(Vec3d(1, 2, 3)), TypeError, None),
    (lambda: QuatList([P, Q]).mean([1.0]), ValueError, "lengths differ: self has 2 elements, weights has 1"),
    (lambda: QuatList([P, Q]).mean([1.0, -1.0]), ValueError, "weights must be finite and at least 0"),
    (lambda: QuatList([P, Q]).mean([1.0, NAN]), ValueError, "weights must be finite and at least 0"),
    (lambda: QuatList([P, Q]).mean([0.0, 0.0]), ValueError, "the weights must have a positive finite sum"),
    (lambda: QuatList.empty().mean([]), ValueError, "the weights must have a positive finite sum"),
    (lambda: QuatList([P]).mean(["1"]), TypeError, None),
])
def test_rotation_statistics_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message is None or str(info.value) == message


def test_mean_counts_q_and_minus_q_alike_bit_for_bit():
    items = [Quat(math.cos(i), math.sin(i * 0.7), -i / 9, 0.25 + i % 5).normalize() for i in range(3000)]
    flipped = [Quat(-q.w, -q.i, -q.j, -q.k) if i % 3 else q for i, q in enumerate(items)]
    assert words(QuatList(flipped).mean()) == words(QuatList(items).mean())
    weights = [0.5 + i % 7 for i in range(3000)]
    assert words(QuatList(flipped).mean(weights)) == words(QuatList(items).mean(weights))
    # A rotation of weight 0 counts for nothing: the mean of one rotation is that rotation.
    assert words(QuatList([Quat(0, 0, 1, 0), items[1]]).mean([0.0, 2.0])) == words(QuatList([items[1]]).mean())


@pytest.mark.parametrize("items, want", [
    ([], (NAN,) * 4),
    ([Quat(0, 0, 0, 0)], (NAN,) * 4),
    ([Quat(1, 0, 0, 0)] * 300, (1.0, 0.0, 0.0, 0.0)),
    ([Quat(0, 0, -2, 0)], (0.0, 0.0, 1.0, 0.0)),  # unit length, largest component positive
    ([Quat(1, 0, 0, 0), Quat(NAN, 0, 0, 0)], (NAN,) * 4),
    ([Quat(1, 0, 0, 0), Quat(0, INF, 0, 0)], (NAN,) * 4),
])
def test_mean_special_cases(items, want):
    got = parts(QuatList(items).mean())
    assert all(math.isnan(g) if math.isnan(w) else bits(g) == bits(w) for g, w in zip(got, want)), got


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
        (lambda a: QuatList.from_rotation_vectors(a), TypeError,
         "argument 'vectors': 'QuatList' object is not an instance of 'VecList'"),
        (lambda a: QuatList.from_rotation_vectors(VecList([]), "x"), TypeError,
         "argument 'scale': must be real number, not str"),
        (lambda a: QuatList.from_rotation_vectors(None, "x"), TypeError,
         "argument 'vectors': 'None' is not an instance of 'VecList'"),  # vectors is checked first
        (lambda a: QuatList.from_rotation_vectors(VecList([]), 1.0, 2.0), TypeError,
         "QuatList.from_rotation_vectors() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda a: QuatList.from_rotation_vectors(scale=2.0), TypeError,
         "QuatList.from_rotation_vectors() missing 1 required positional argument: 'vectors'"),
        (lambda a: QuatList.from_rotation_vectors(VecList([]), scale=1.0, factor=2.0), TypeError,
         "QuatList.from_rotation_vectors() got an unexpected keyword argument 'factor'"),
        (lambda a: QuatList.from_rotation_vectors(VecList([]), 1.0, scale=2.0), TypeError,
         "QuatList.from_rotation_vectors() got multiple values for argument 'scale'"),
        (lambda a: QuatList.from_xyzw(array.array("f", [0.0] * 4)), TypeError,
         "argument 'obj': expected a buffer of float64 (format 'd'), got format 'f'"),
        (lambda a: QuatList.from_wxyz(array.array("d", [0.0] * 6)), ValueError,
         "expected a buffer of shape (n, 4) or (4n,), got shape (6,)"),
        (lambda a: QuatList.from_xyzw([[1.0, 0.0, 0.0, 0.0]]), TypeError, None),
        (lambda a: QuatList.from_rotation_matrices(array.array("d", [0.0] * 9)), ValueError,
         "expected a buffer of shape (n, 3, 3), got shape (9,)"),
        (lambda a: QuatList.from_applying_matrices(rows_of([(0.0,) * 9], 9)), ValueError,
         "expected a buffer of shape (n, 3, 3), got shape (1, 9)"),
        (lambda a: QuatList.from_rotation_matrices(memoryview(b"\0" * 72).cast("B", (1, 3, 24))), TypeError,
         "argument 'matrices': expected a buffer of float64 (format 'd'), got format 'B'"),
        (lambda a: QuatList.from_applying_matrices(None), TypeError, None),
        (lambda a: a.to_xyzw(1), TypeError, None),
        (lambda a: a.to_euler("xxz"), ValueError,
         "expected an Euler sequence of three axes from 'xyz' (extrinsic) or 'XYZ' (intrinsic), consecutive axes "
         "different, got 'xxz'"),
        (lambda a: a.to_euler(None), TypeError, "argument 'seq': 'None' is not an instance of 'str'"),
        (lambda a: a.to_euler("xyz", degrees=None), TypeError, None),
        (lambda a: QuatList.from_euler("xyz", array.array("d", [0.0] * 4)), ValueError,
         "expected a buffer of shape (n, 3) or (3n,), got shape (4,)"),
        (lambda a: QuatList.from_euler("xyz", [[0.0, 0.0, 0.0]]), TypeError, None),
        (lambda a: QuatList.from_euler("xYz", None), ValueError,
         "expected an Euler sequence of three axes from 'xyz' (extrinsic) or 'XYZ' (intrinsic), consecutive axes "
         "different, got 'xYz'"),
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


def test_rotation_vectors_with_scale():
    rates = VecList([Vec3d(0.0, 0.0, 0.0), Vec3d(1.0, -2.0, 0.5), Vec3d(0.0, 0.0, -0.0)])
    dt = 1e-3
    steps = QuatList.from_rotation_vectors(rates, scale=dt)
    same(steps, [Quat.from_rotation_vector(Vec3d(v.x * dt, v.y * dt, v.z * dt)) for v in rates])
    assert words(steps[0]) == words(Quat(1.0, 0.0, 0.0, 0.0)) == words(steps[2])  # at rest: the identity exactly
    same(QuatList.from_rotation_vectors(rates), QuatList.from_rotation_vectors(rates, 1.0))
    same(QuatList.from_rotation_vectors(vectors=rates, scale=2.0), QuatList.from_rotation_vectors(rates, 2))
    back = steps.to_rotation_vectors()
    assert type(back) is VecList and len(back) == 3


def test_exchange_order_results_are_shaped_views():
    a = QuatList([P, Q, R])
    for name in ("to_xyzw", "to_wxyz"):
        got = getattr(a, name)()
        assert type(got) is memoryview and got.shape == (3, 4) and got.format == "d" and got.c_contiguous
        assert got.tolist() == [list(getattr(q, name)()) for q in a] or any(math.isnan(c) for q in a for c in parts(q))
    for name in ("to_rotation_matrices", "to_applying_matrices"):
        got = getattr(a, name)()
        assert type(got) is memoryview and got.shape == (3, 3, 3) and got.format == "d"
    for name in ("to_xyzw", "to_wxyz", "to_rotation_matrices", "to_applying_matrices"):
        empty = getattr(QuatList.empty(), name)()
        assert type(empty) is memoryview and empty.shape[0] == 0 and empty.nbytes == 0 and empty.tolist() == []


def test_exchange_order_round_trips_bit_for_bit():
    a = QuatList([P, Q, R, Quat(-0.0, 0.0, -0.0, 1e-310)])
    assert bytes(memoryview(QuatList.from_xyzw(a.to_xyzw()))) == bytes(memoryview(a))
    assert bytes(memoryview(QuatList.from_wxyz(a.to_wxyz()))) == bytes(memoryview(a))
    # the flat (4n,) form is read row by row, as from_buffer reads it
    flat_rows = array.array("d", [c for q in a for c in q.to_xyzw()])
    assert bytes(memoryview(QuatList.from_xyzw(flat_rows))) == bytes(memoryview(a))


def test_conversions_with_numpy_views():
    np = pytest.importorskip("numpy", reason="numpy is not installed for this interpreter")
    a = QuatList([P, Q, R])
    xyzw = np.asarray(a.to_xyzw())
    assert xyzw.shape == (3, 4) and xyzw.dtype == np.float64
    assert np.shares_memory(xyzw, np.asarray(a.to_xyzw())) is False  # each call is a new array
    view = a.to_xyzw()
    assert np.shares_memory(np.asarray(view), view.obj)  # numpy reads the result without a copy
    wide = np.zeros((3, 6))
    wide[:, 1:5] = xyzw
    same(QuatList.from_xyzw(wide[:, 1:5]), a)  # strided rows
    same(QuatList.from_wxyz(np.asarray(a.to_wxyz())[::-1]), [R, Q, P])
    matrices = np.asarray(a.to_applying_matrices())
    assert matrices.shape == (3, 3, 3)
    same(QuatList.from_rotation_matrices(np.ascontiguousarray(matrices.transpose(0, 2, 1))),
         QuatList.from_rotation_matrices(matrices.transpose(0, 2, 1)))
    same(QuatList.from_applying_matrices(matrices), QuatList.from_rotation_matrices(matrices.transpose(0, 2, 1)))


def same_bits(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert (math.isnan(g) and math.isnan(w)) or bits(g) == bits(w)


def test_batch_matrices_match_the_single_forms():
    a = QuatList([P, Q, R, Quat(0.5, -0.5, 0.5, 0.5)])
    for q, m, t in zip(a, a.to_rotation_matrices().tolist(), a.to_applying_matrices().tolist()):
        same_bits([x for row in m for x in row], [x for row in q.to_rotation_matrix() for x in row])
        same_bits([x for row in t for x in row], [m[c][r] for r in range(3) for c in range(3)])
    unit = a.normalize()
    same(QuatList.from_applying_matrices(unit.to_applying_matrices()),
         [Quat.from_applying_matrix(q.to_applying_matrix()) for q in unit])


def test_euler_batches_warn_once_at_gimbal_lock():
    a = QuatList.from_euler("xyz", rows_of([(0.1, 0.2, 0.3), (0.3, math.pi / 2, -0.7), (0.5, -math.pi / 2, 0.1)], 3))
    with pytest.warns(UserWarning, match="^gimbal lock: the angles are not unique; the third angle is set to 0$") as caught:
        angles = a.to_euler("xyz")
    assert len(caught) == 1
    assert angles.shape == (3, 3) and bits(angles.tolist()[1][2]) == bits(0.0) and bits(angles.tolist()[2][2]) == bits(0.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        QuatList([a[0]] * 5000).to_euler("xyz")  # none locked: no warning
        with pytest.raises(UserWarning):
            a.to_euler("xyz")
        assert a.to_euler("xyz", suppress_warnings=True).tolist() == angles.tolist()
    assert QuatList.empty().to_euler("ZYZ").shape == (0, 3)
    assert len(QuatList.from_euler("ZYZ", array.array("d"))) == 0


def test_euler_batch_against_scipy():
    np = pytest.importorskip("numpy", reason="numpy is not installed for this interpreter")
    Rotation = pytest.importorskip("scipy.spatial.transform", reason="scipy is not installed").Rotation
    rng = np.random.default_rng(7)
    angles = rng.uniform(-1.0, 1.0, (1000, 3)) * [math.pi, math.pi / 2 - 1e-3, math.pi]
    a = QuatList.from_euler("ZYX", angles)
    r = Rotation.from_euler("ZYX", angles)
    q = np.asarray(a.to_xyzw())
    # the same products of sines and cosines up to order: a few units of 2^-53 each
    assert np.all(np.minimum(abs(q - r.as_quat()).max(axis=1), abs(q + r.as_quat()).max(axis=1)) < 4e-16)
    # 1e-3 from gimbal lock the outer angles carry rounding of about 2^-52 / 1e-3
    assert abs(np.asarray(a.to_euler("ZYX")) - r.as_euler("ZYX")).max() < 1e-12


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
        ("mean", "($self, weights=None)"),
        ("angle_to", "($self, other)"),
        ("rotation_angle", "($self)"),
        ("random", "(n, seed)"),
        ("from_rotation_vectors", "(vectors, scale=1.0)"),
        ("to_rotation_vectors", "($self)"),
        ("from_xyzw", "(obj)"),
        ("from_wxyz", "(obj)"),
        ("to_xyzw", "($self)"),
        ("to_wxyz", "($self)"),
        ("from_rotation_matrices", "(matrices)"),
        ("from_applying_matrices", "(matrices)"),
        ("to_rotation_matrices", "($self)"),
        ("to_applying_matrices", "($self)"),
        ("from_euler", "(seq, angles, degrees=False)"),
        ("to_euler", "($self, seq, degrees=False, suppress_warnings=False)"),
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
