import array
import copy
import inspect
import math
import pickle
import struct

import pytest
from hypothesis import given, settings, strategies as st

from conftest import bits, examples, run_with_workers
from quorral import AngleRadians, Mat3, Quat, Vec3d, VecList

NAN = float("nan")
INF = float("inf")
ULP = 2.0**-52

ROWS = ((1.5, -2.0, 0.25), (3.0, 0.1, -7.0), (0.3, 4.0, 2.0))
A = Mat3(ROWS)
B = Mat3(((0.7, 1.0, -0.2), (-1.1, 2.5, 0.0), (5.0, 0.3, 1.9)))


def entries(m):
    return [m[r, c] for r in range(3) for c in range(3)]


def words(m):
    return [bits(x) for x in entries(m)]


def same(m, rows):
    """Bit-exact comparison; an expected NaN matches any NaN."""
    want = [float(x) for row in rows for x in row]
    assert [math.isnan(x) for x in entries(m)] == [math.isnan(x) for x in want]
    assert [w for w, x in zip(words(m), want) if not math.isnan(x)] == [bits(x) for x in want if not math.isnan(x)]


def vwords(v):
    return (bits(v.x), bits(v.y), bits(v.z))


def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def rows_of(m):
    return [tuple(m[r, c] for c in range(3)) for r in range(3)]


def cols_of(m):
    return [tuple(m[r, c] for r in range(3)) for c in range(3)]


FINITE = st.floats(-1e100, 1e100)
MATRICES = st.lists(FINITE, min_size=9, max_size=9).map(lambda e: Mat3([e[0:3], e[3:6], e[6:9]]))
VECTORS = st.tuples(FINITE, FINITE, FINITE).map(lambda c: Vec3d(*c))
UNIT_QUATS = (st.tuples(*[st.floats(-1, 1)] * 4).filter(lambda q: sum(c * c for c in q) > 1e-6)
              .map(lambda q: Quat(*q).normalize()))


# --- construction ---------------------------------------------------------------

def numpy_sources():
    np = pytest.importorskip("numpy")
    c = np.array(ROWS)
    wide = np.zeros((3, 6))
    wide[:, ::2] = c
    return {
        "C": c,
        "Fortran": np.asfortranarray(c),
        "strided": wide[:, ::2],
        "transposed view": np.array(c.T).T,
        "flat": c.ravel(),
        "flat strided": np.repeat(c.ravel(), 2)[::2],
        "reversed": c[::-1, ::-1][::-1, ::-1],
    }


@pytest.mark.parametrize("source", [
    ROWS,
    [list(r) for r in ROWS],
    [Vec3d(*r) for r in ROWS],
    (Vec3d(*ROWS[0]), list(ROWS[1]), ROWS[2]),
    array.array("d", [x for r in ROWS for x in r]),
    memoryview(array.array("d", [x for r in ROWS for x in r])).cast("B").cast("d", (3, 3)),
], ids=["tuples", "lists", "Vec3d rows", "mixed rows", "flat array", "memoryview (3, 3)"])
def test_constructor_sources(source):
    same(Mat3(source), ROWS)


@pytest.mark.parametrize("layout", ["C", "Fortran", "strided", "transposed view", "flat", "flat strided", "reversed"])
def test_constructor_from_numpy_in_any_layout(layout):
    same(Mat3(numpy_sources()[layout]), ROWS)


def test_constructor_keeps_bits_and_converts_numbers():
    signalling = struct.unpack("<d", struct.pack("<Q", 0x7FF4000000000001))[0]
    m = Mat3(array.array("d", [-0.0, INF, -INF, 5e-324, 1, 2, 3, 4, signalling]))
    assert words(m)[:4] == [bits(-0.0), bits(INF), bits(-INF), bits(5e-324)]
    assert math.isnan(m[2, 2])
    same(Mat3([[1, 2, 3], [True, 5, 6], [7, 8, 2**60]]), [[1, 2, 3], [1, 5, 6], [7, 8, 2.0**60]])
    same(Mat3(A), ROWS)  # another Mat3 through its buffer
    assert Mat3(rows=ROWS) == A


@pytest.mark.parametrize("source, error, message", [
    ([(1, 2, 3), (4, 5, 6)], ValueError, "expected a sequence of 3 rows of 3 floats, got length 2"),
    ([(1, 2, 3), (4, 5), (7, 8, 9)], ValueError, "expected a sequence of 3 rows of 3 floats, got row 1 of length 2"),
    ([Vec3d(1, 2, 3)] * 4, ValueError, "expected a sequence of 3 rows of 3 floats, got length 4"),
    (array.array("d", range(8)), ValueError, "expected a buffer of shape (3, 3) or (9,), got shape (8,)"),
    (array.array("f", range(9)), TypeError, "expected a buffer of float64 (format 'd'), got format 'f'"),
    (bytes(72), TypeError, "expected a buffer of float64 (format 'd'), got format 'B'"),
    ("abcdefghi", TypeError, "'str' object is not an instance of 'Sequence'"),
    (1.5, TypeError, "'float' object is not an instance of 'Sequence'"),
    ([(1, 2, 3), (4, 5, 6), (7, 8, "9")], TypeError, "must be real number, not str"),
])
def test_constructor_refuses(source, error, message):
    with pytest.raises(error) as e:
        Mat3(source)
    assert message in str(e.value)


def test_constructor_refuses_numpy_shapes_and_types():
    np = pytest.importorskip("numpy")
    with pytest.raises(ValueError, match=r"^expected a buffer of shape \(3, 3\) or \(9,\), got shape \(3, 4\)$"):
        Mat3(np.zeros((3, 4)))
    with pytest.raises(ValueError, match=r"got shape \(1, 3, 3\)$"):
        Mat3(np.zeros((1, 3, 3)))
    with pytest.raises(TypeError, match="got format 'l'"):
        Mat3(np.zeros((3, 3), dtype=np.int64))
    with pytest.raises(TypeError, match="got format '>d'"):
        Mat3(np.zeros((3, 3), dtype=">f8"))


def test_argument_count():
    with pytest.raises(TypeError):
        Mat3(*ROWS)
    with pytest.raises(TypeError):
        Mat3()


def test_factories():
    same(Mat3.identity(), [[1, 0, 0], [0, 1, 0], [0, 0, 1]])
    same(Mat3.diagonal(Vec3d(2, -0.0, NAN)), [[2, 0, 0], [0, -0.0, 0], [0, 0, NAN]])
    same(Mat3.from_rows(Vec3d(1, 2, 3), Vec3d(4, 5, 6), Vec3d(7, 8, 9)), [[1, 2, 3], [4, 5, 6], [7, 8, 9]])
    same(Mat3.from_columns(Vec3d(1, 2, 3), Vec3d(4, 5, 6), Vec3d(7, 8, 9)), [[1, 4, 7], [2, 5, 8], [3, 6, 9]])
    with pytest.raises(TypeError, match="argument 'b': 'tuple' object is not an instance of 'Vec3d'"):
        Mat3.from_rows(Vec3d(1, 2, 3), (4, 5, 6), Vec3d(7, 8, 9))


def test_rows_columns_entries():
    assert [vwords(r) for r in A.rows] == [tuple(bits(x) for x in r) for r in ROWS]
    assert [vwords(c) for c in A.columns] == [tuple(bits(r[c]) for r in ROWS) for c in range(3)]
    assert A.to_array() == [list(r) for r in ROWS]
    assert A[1, 2] == -7.0
    with pytest.raises(AttributeError):
        A.rows = ()


@pytest.mark.parametrize("key, error, message", [
    ((3, 0), IndexError, "Index out of bounds"),
    ((0, 3), IndexError, "Index out of bounds"),
    (0, TypeError, "Mat3 indices are (row, column) pairs, not 'int'"),
    ((0, 1, 2), TypeError, "Mat3 indices are (row, column) pairs, not 'tuple'"),
    ((0, 1.0), TypeError, "'float' object cannot be interpreted as an integer"),
    ((-1, 0), OverflowError, "can't convert negative int to unsigned"),
])
def test_index_refusals(key, error, message):
    with pytest.raises(error) as e:
        A[key]
    assert str(e.value) == message


# --- arithmetic in the documented orders ------------------------------------------

def test_times_vector_is_row_dots():
    v = (0.1, 0.2, 0.3)
    assert vwords(A @ Vec3d(*v)) == tuple(bits(dot(r, v)) for r in ROWS)


@settings(max_examples=examples(100))
@given(MATRICES, VECTORS)
def test_times_vector_bits(m, v):
    w = (v.x, v.y, v.z)
    assert vwords(m @ v) == tuple(bits(dot(r, w)) for r in rows_of(m))


@settings(max_examples=examples(100))
@given(MATRICES, MATRICES)
def test_times_matrix_bits(m, n):
    want = [[dot(r, c) for c in cols_of(n)] for r in rows_of(m)]
    same(m @ n, want)


@settings(max_examples=examples(100))
@given(MATRICES, MATRICES, FINITE)
def test_entry_wise_bits(m, n, s):
    x, y = entries(m), entries(n)
    assert words(m + n) == [bits(a + b) for a, b in zip(x, y)]
    assert words(m - n) == [bits(a - b) for a, b in zip(x, y)]
    assert words(m * s) == [bits(a * s) for a in x]
    assert words(s * m) == [bits(s * a) for a in x]
    assert words(-m) == [bits(-a) for a in x]
    if s != 0:
        assert words(m / s) == [bits(a / s) for a in x]
    assert words(m.transpose()) == [bits(m[c, r]) for r in range(3) for c in range(3)]


@settings(max_examples=examples(100))
@given(MATRICES)
def test_trace_det_inverse_bits(m):
    r = rows_of(m)
    assert bits(m.trace()) == bits((r[0][0] + r[1][1]) + r[2][2])
    a, b, c = cross(r[1], r[2]), cross(r[2], r[0]), cross(r[0], r[1])
    d = (a[0] * r[0][0] + a[1] * r[0][1]) + a[2] * r[0][2]
    assert bits(m.det()) == bits(d)
    assert bits(m.det()) == bits(Vec3d(*r[0]).scalar_triple_product(Vec3d(*r[1]), Vec3d(*r[2])))
    if d == 0:
        with pytest.raises(ValueError):
            m.inverse()
    else:
        same(m.inverse(), [[a[i] / d, b[i] / d, c[i] / d] for i in range(3)])


def test_scalar_division_by_zero_follows_ieee():
    same(Mat3.identity() / 0.0, [[INF, NAN, NAN], [NAN, INF, NAN], [NAN, NAN, INF]])


@pytest.mark.parametrize("m", [
    Mat3([[1, 2, 3], [2, 4, 6], [0, 1, 1]]),
    Mat3([[0, 0, 0]] * 3),
    Mat3.diagonal(Vec3d(1, 0, 1)),
    Mat3.diagonal(Vec3d(1e-200, 1e-200, 1e-200)),  # the determinant underflows to 0
], ids=["dependent rows", "zero", "zero pivot", "underflow"])
def test_inverse_of_a_singular_matrix(m):
    with pytest.raises(ValueError) as e:
        m.inverse()
    assert str(e.value) == "Mat3 is singular: its determinant is 0"


def test_nan_and_infinity_propagate_through_the_formulas():
    m = Mat3([[1, 0, 0], [0, NAN, 0], [0, 0, 1]])
    assert math.isnan(m.det()) and math.isnan(m.trace())
    inv = m.inverse()  # a NaN determinant is not 0: the division goes ahead
    assert all(math.isnan(x) for x in entries(inv))
    v = m @ Vec3d(1, 1, 1)
    assert (v.x, v.z) == (1.0, 1.0) and math.isnan(v.y)
    big = Mat3.diagonal(Vec3d(INF, 1, 1))
    w = big @ Vec3d(1, 2, 3)
    assert w.x == INF and (w.y, w.z) == (2.0, 3.0)  # inf * 0 only where a zero meets it
    assert math.isnan((big @ Vec3d(0, 1, 1)).x)
    assert big.det() == INF
    assert math.isnan(Mat3.diagonal(Vec3d(INF, 0, 1)).det())  # 0 * inf in the first product


@pytest.mark.parametrize("op", [
    lambda: A @ 2.0, lambda: A @ (1, 2, 3), lambda: Vec3d(1, 2, 3) @ A, lambda: A + 1.0,
    lambda: A - Vec3d(1, 2, 3), lambda: A * A, lambda: A / A, lambda: 1.0 / A, lambda: A @ VecList([]),
])
def test_operators_refuse_other_operands(op):
    with pytest.raises(TypeError, match="unsupported operand type"):
        op()


def test_against_numpy_within_bounds():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(7)
    for _ in range(200):
        e = rng.normal(size=(3, 3)) * 10.0 ** rng.integers(-5, 5)
        v = rng.normal(size=3)
        m = Mat3(e)
        # one rounding per product and two per sum: within 3 ulp of the sum of the magnitudes
        assert np.all(np.abs(np.array((m @ Vec3d(*v)).to_array()) - e @ v) <= 3 * ULP * (np.abs(e) @ np.abs(v)))
        n = rng.normal(size=(3, 3))
        assert np.all(np.abs(np.asarray(m @ Mat3(n)) - e @ n) <= 3 * ULP * (np.abs(e) @ np.abs(n)))
        scale = np.prod(np.linalg.norm(e, axis=1))
        assert abs(m.det() - np.linalg.det(e)) <= 16 * ULP * scale
        inv = np.asarray(m.inverse())
        cond = np.linalg.cond(e)
        assert np.all(np.abs(inv - np.linalg.inv(e)) <= 32 * ULP * cond * np.abs(np.linalg.inv(e)).max())


# --- symmetric eigen-decomposition ---------------------------------------------

def test_eigh_agrees_with_numpy_within_bounds():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(8)
    for _ in range(300):
        e = rng.normal(size=(3, 3)) * 10.0 ** rng.integers(-100, 100)
        e = e + e.T
        values, vectors = Mat3(e).eigh()
        want_values, want_vectors = np.linalg.eigh(e)
        norm = np.linalg.norm(e)
        assert np.all(np.abs(np.array(values.to_array()) - want_values) <= 32 * ULP * norm)
        v = np.asarray(vectors)
        assert np.all(np.abs(e @ v - v * np.array(values.to_array())) <= 64 * ULP * norm)
        assert np.all(np.abs(v.T @ v - np.eye(3)) <= 16 * ULP)
        assert np.all(v[np.abs(v).argmax(axis=0), range(3)] > 0)  # the largest component of each positive


@pytest.mark.parametrize("m, values, columns", [
    (Mat3.diagonal(Vec3d(2, -1, 5)), (-1, 2, 5), ((0, 1, 0), (1, 0, 0), (0, 0, 1))),
    (Mat3.diagonal(Vec3d(3, 3, 3)), (3, 3, 3), ((0, 0, 1), (0, 1, 0), (1, 0, 0))),
    (Mat3([[0, 0, 0], [0, 0, 0], [0, 0, -0.0]]), (0, 0, 0), ((0, 0, 1), (0, 1, 0), (1, 0, 0))),
    (Mat3([[1, 0, 0], [0, 2, 0], [7e300, 0, 3]]), (1, 2, 3), ((1, 0, 0), (0, 1, 0), (0, 0, 1))),  # upper triangle only
])
def test_eigh_of_diagonal_matrices_is_exact(m, values, columns):
    w, v = m.eigh()
    assert w.to_array() == list(values) and [c.to_array() for c in v.columns] == [list(c) for c in columns]


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_eigh_of_non_finite_entries_is_nan(bad):
    w, v = Mat3([[1, bad, 0], [bad, 1, 0], [0, 0, 1]]).eigh()
    assert all(math.isnan(x) for x in w.to_array() + entries(v))


# --- rotations ------------------------------------------------------------------

def test_from_rotation_is_the_transpose_of_to_rotation_matrix():
    q = Quat(0.9, 0.1, -0.3, 0.2).normalize()
    same(Mat3.from_rotation(q), [list(c) for c in zip(*q.to_rotation_matrix())])


def test_from_rotation_applies_rotate():
    q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
    v = Mat3.from_rotation(q) @ Vec3d(1, 2, 3)
    assert (v - q.rotate(Vec3d(1, 2, 3))).magnitude() <= 8 * ULP * Vec3d(1, 2, 3).magnitude()


@settings(max_examples=examples(200))
@given(UNIT_QUATS, VECTORS)
def test_from_rotation_matches_rotate_within_the_documented_bound(q, v):
    got, want = Mat3.from_rotation(q) @ v, q.rotate(v)
    assert (got - want).magnitude() <= 8 * ULP * v.magnitude()


@settings(max_examples=examples(200))
@given(UNIT_QUATS)
def test_to_rotation_gives_back_the_quaternion_or_its_negation(q):
    back = Mat3.from_rotation(q).to_rotation()
    s = -1.0 if back.dot(q) < 0 else 1.0
    for a, b in zip((back.w, back.i, back.j, back.k), (q.w, q.i, q.j, q.k)):
        assert abs(a * s - b) <= 4 * ULP


def test_to_rotation_is_from_rotation_matrix_of_the_transpose():
    for m in (A, B, Mat3.from_rotation(Quat(0.5, 0.5, -0.5, 0.5))):
        got, want = m.to_rotation(), Quat.from_rotation_matrix(m.transpose())
        assert [bits(x) for x in (got.w, got.i, got.j, got.k)] == [bits(x) for x in (want.w, want.i, want.j, want.k)]


def test_scipy_matrices_go_in_as_they_are():
    np = pytest.importorskip("numpy")
    rotation = pytest.importorskip("scipy.spatial.transform").Rotation
    rng = np.random.default_rng(3)
    for r in rotation.random(50, random_state=11):
        v = rng.normal(size=3)
        m = Mat3(r.as_matrix())
        assert np.allclose((m @ Vec3d(*v)).to_array(), r.apply(v), rtol=0, atol=1e-14)
        q = m.to_rotation()
        assert np.allclose(q.rotate(Vec3d(*v)).to_array(), r.apply(v), rtol=0, atol=1e-14)
        x, y, z, w = r.as_quat()
        assert np.allclose(abs(q.dot(Quat(w, -x, -y, -z))), 1.0, rtol=0, atol=1e-14)


def test_rotation_arguments_are_checked():
    with pytest.raises(TypeError, match="argument 'quat': 'Mat3' object is not an instance of 'Quat'"):
        Mat3.from_rotation(A)


# --- equality, hash, text, buffer, pickle -------------------------------------------

def test_equality_is_exact():
    assert A == Mat3(ROWS) and not A != Mat3(ROWS)
    assert A != B
    assert Mat3.diagonal(Vec3d(0.0, 1, 1)) == Mat3.diagonal(Vec3d(-0.0, 1, 1))
    near = Mat3([ROWS[0], ROWS[1], (0.3, 4.0, math.nextafter(2.0, 3.0))])
    assert A != near
    n = Mat3.diagonal(Vec3d(NAN, 1, 1))
    assert n != n
    assert A != ROWS and A != A.to_array()


def test_hash_follows_bits_with_nans_and_zeros_alike():
    assert hash(A) == hash(Mat3(ROWS))
    assert hash(A) != hash(B)
    assert hash(Mat3.diagonal(Vec3d(0.0, 1, 1))) == hash(Mat3.diagonal(Vec3d(-0.0, 1, 1)))
    other_nan = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000123))[0]
    assert hash(Mat3.diagonal(Vec3d(NAN, 1, 1))) == hash(Mat3.diagonal(Vec3d(other_nan, 1, 1)))
    assert len({Mat3(ROWS), A, B}) == 2


@pytest.mark.parametrize("m, text", [
    (A, "Mat3([[1.5, -2, 0.25], [3, 0.1, -7], [0.3, 4, 2]])"),
    (Mat3.diagonal(Vec3d(-0.0, NAN, -INF)), "Mat3([[-0, 0, 0], [0, NaN, 0], [0, 0, -inf]])"),
    (Mat3.identity() * 1e-7, "Mat3([[0.0000001, 0, 0], [0, 0.0000001, 0], [0, 0, 0.0000001]])"),
])
def test_text_form(m, text):
    assert repr(m) == str(m) == text


def test_text_form_reads_back():
    m = A @ B / 3.0
    assert words(eval(repr(m), {"Mat3": Mat3})) == words(m)


def test_buffer_export():
    view = memoryview(A)
    assert (view.shape, view.strides, view.format, view.readonly, view.nbytes) == ((3, 3), (24, 8), "d", True, 72)
    assert view.tolist() == [list(r) for r in ROWS]
    with A.__buffer__(inspect.BufferFlags.SIMPLE) as plain:
        assert (plain.format, plain.ndim, plain.shape) == ("B", 1, (72,))
        assert plain.tobytes() == struct.pack("<9d", *entries(A))


@pytest.mark.parametrize("flags, message", [
    (inspect.BufferFlags.WRITABLE, "Mat3 buffers are read-only"),
    (inspect.BufferFlags.FULL, "Mat3 buffers are read-only"),
    (inspect.BufferFlags.F_CONTIGUOUS, "Mat3 buffers are C-contiguous, not Fortran-contiguous"),
])
def test_refused_export_requests(flags, message):
    with pytest.raises(BufferError) as info:
        A.__buffer__(flags)
    assert str(info.value) == message


def test_numpy_view():
    np = pytest.importorskip("numpy")
    a = np.asarray(A)
    assert a.dtype == np.float64 and a.shape == (3, 3) and not a.flags.writeable and a.flags.c_contiguous
    assert a.base.obj is A  # a view of the matrix itself, no copy
    assert np.array_equal(a, np.array(ROWS))
    assert np.array_equal(np.asarray(A, dtype=np.float32), np.array(ROWS, dtype=np.float32))
    assert np.array_equal(np.asfortranarray(A), np.array(ROWS))
    with pytest.raises(ValueError):
        a[0, 0] = 1.0


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_keeps_bits(protocol):
    m = Mat3(array.array("d", [-0.0, NAN, INF, 1e-310, 0.1, 2, 3, 4, 5]))
    back = pickle.loads(pickle.dumps(m, protocol))
    assert type(back) is Mat3 and words(back) == words(m)
    assert words(copy.copy(m)) == words(m) and words(copy.deepcopy(m)) == words(m)


def test_reconstruct_refuses_a_wrong_state():
    import quorral

    with pytest.raises(ValueError, match="^Mat3 state must be 72 bytes, got 24$"):
        quorral._reconstruct("Mat3", bytes(24))


# --- VecList.transform -------------------------------------------------------------

def test_transform_is_m_at_p_for_each_element():
    points = [Vec3d(i * 0.37, -1.0 / (i + 1), math.cos(i)) for i in range(1000)]
    got = VecList(points).transform(A)
    assert type(got) is VecList and len(got) == len(points)
    assert [vwords(g) for g in got] == [vwords(A @ p) for p in points]
    assert len(VecList.empty().transform(A)) == 0


def test_transform_leaves_the_list_unchanged():
    vl = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
    before = vl.to_array()
    vl.transform(B)
    assert vl.to_array() == before


def test_transform_refuses_other_operands():
    with pytest.raises(TypeError, match=r"^argument 'matrix': 'list' object is not an instance of 'Mat3'$"):
        VecList([Vec3d(1, 2, 3)]).transform([[1, 0, 0], [0, 1, 0], [0, 0, 1]])
    with pytest.raises(TypeError, match=r"^argument 'matrix': 'Quat' object is not an instance of 'Mat3'$"):
        VecList([Vec3d(1, 2, 3)]).transform(Quat.identity())


def test_transform_against_numpy():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(5)
    p = rng.normal(size=(5000, 3)) * 100
    e = rng.normal(size=(3, 3))
    got = np.asarray(VecList.from_buffer(p).transform(Mat3(e)))
    assert np.all(np.abs(got - p @ e.T) <= 3 * ULP * (np.abs(p) @ np.abs(e).T))


TRANSFORM_SCRIPT = """
import hashlib, math, sys
from quorral import Mat3, Vec3d, VecList
m = Mat3([[1.5, -2.0, 0.25], [3.0, 0.1, -7.0], [0.3, 4.0, 2.0]])
points = VecList([Vec3d(math.sin(i) * 1e3, math.cos(i * 0.7), (i % 17) - 8.5) for i in range({n})])
print(hashlib.sha256(memoryview(points.transform(m)).cast("B")).hexdigest())
"""


@pytest.mark.parametrize("workers", ["1", "2", "4"])
def test_transform_is_independent_of_workers(workers):
    import hashlib

    n = 100_000
    points = [Vec3d(math.sin(i) * 1e3, math.cos(i * 0.7), (i % 17) - 8.5) for i in range(n)]
    m = Mat3(((1.5, -2.0, 0.25), (3.0, 0.1, -7.0), (0.3, 4.0, 2.0)))
    want = hashlib.sha256(struct.pack(f"<{3 * n}d", *(c for p in points for c in (m @ p).to_array()))).hexdigest()
    assert run_with_workers(TRANSFORM_SCRIPT.format(n=n), workers, timeout=120).strip() == want
