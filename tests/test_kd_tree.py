"""KDTree: every answer against a scan over all points, bit for bit."""

import array
import copy
import math
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import bits, examples, run_with_workers
from quorral import KDTree, Quat, Vec3d, VecList

INF = math.inf
NAN = math.nan


# --- the reference: a scan in the documented order ------------------------------------

def scan(points, q, limit=INF):
    """(key, index) of every neighbour of q within limit, by key then index."""
    keys = VecList(points).distance_squared(q) if points else []
    found = [(k, i) for i, k in enumerate(keys) if not math.isnan(k) and math.sqrt(k) <= limit]
    return sorted(found)


def expected_nearest(points, q, k, limit=INF):
    found = scan(points, q, limit)[:k]
    found += [(INF, len(points))] * (k - len(found))
    return [bits(math.sqrt(key)) for key, _ in found], [i for _, i in found]


def expected_within(points, q, r):
    return sorted(i for _, i in scan(points, q, r))


def check_single(tree, points, q, k, r):
    d, i = tree.nearest(q, k)
    assert (d.shape, i.shape, d.format, i.format) == ((k,), (k,), "d", "q")
    assert ([bits(x) for x in d.tolist()], i.tolist()) == expected_nearest(points, q, k)
    d, i = tree.nearest_within(q, k, r)
    assert ([bits(x) for x in d.tolist()], i.tolist()) == expected_nearest(points, q, k, r)
    assert tree.within(q, r).tolist() == expected_within(points, q, r)
    assert tree.count_within(q, r) == len(expected_within(points, q, r))


def check_batch(tree, queries, k, r):
    """A batch equals its queries one by one, bit for bit."""
    qs = VecList(queries)
    d, i = tree.nearest(qs, k)
    assert d.shape == i.shape == (len(queries), k)
    d2, i2 = tree.nearest_within(qs, k, r)
    offsets, found = tree.within(qs, r)
    counts = tree.count_within(qs, r)
    assert offsets.tolist()[0] == 0 and len(offsets) == len(queries) + 1
    rows = [([bits(x) for x in dr], ir) for dr, ir in zip(d.tolist(), i.tolist())]
    rows_within = [([bits(x) for x in dr], ir) for dr, ir in zip(d2.tolist(), i2.tolist())]
    for j, q in enumerate(queries):
        one_d, one_i = tree.nearest(q, k)
        assert rows[j] == ([bits(x) for x in one_d.tolist()], one_i.tolist())
        one_d, one_i = tree.nearest_within(q, k, r)
        assert rows_within[j] == ([bits(x) for x in one_d.tolist()], one_i.tolist())
        assert found[offsets[j]:offsets[j + 1]].tolist() == tree.within(q, r).tolist()
        assert counts[j] == tree.count_within(q, r)


# Coordinates from a few values make ties, duplicates and points on splitting planes.
FEW = st.sampled_from([-1.0, -0.5, 0.0, 0.5, 1.0, 1.5])
SPECIAL = st.sampled_from([-1.0, 0.0, 0.5, 1.0, INF, -INF, NAN, 1e300, -1e-310])


def vectors(coordinate):
    return st.builds(Vec3d, coordinate, coordinate, coordinate)


@settings(max_examples=examples(120), deadline=None)
@given(st.lists(vectors(FEW), max_size=120), st.lists(vectors(FEW), min_size=1, max_size=6),
       st.integers(1, 12), st.sampled_from([0.0, 0.5, 1.0, 1.5, 2.25, INF]))
def test_tied_clouds_match_the_scan(points, queries, k, r):
    tree = KDTree(VecList(points))
    for q in queries:
        check_single(tree, points, q, k, r)
    check_batch(tree, queries, k, r)


@settings(max_examples=examples(80), deadline=None)
@given(st.lists(vectors(SPECIAL), max_size=80), st.lists(vectors(SPECIAL), min_size=1, max_size=6),
       st.integers(1, 9), st.sampled_from([0.0, 1.0, 1e300, INF]))
def test_special_values_match_the_scan(points, queries, k, r):
    tree = KDTree(VecList(points))
    for q in queries:
        check_single(tree, points, q, k, r)
    check_batch(tree, queries, k, r)


@settings(max_examples=examples(30), deadline=None)
@given(st.integers(1, 6), st.integers(1, 5), st.integers(0, 2**32 - 1))
def test_grids_and_repeats_match_the_scan(side, repeats, seed):
    points = [Vec3d(x * 0.25, y * 0.25, z * 0.25) for x in range(side) for y in range(side) for z in range(side)]
    points = [p for p in points for _ in range(repeats)]
    points.reverse()
    tree = KDTree(VecList(points))
    queries = [Vec3d(*(((seed >> (3 * c + s)) % 8) * 0.125 for c in range(3))) for s in range(4)]
    for q in queries:
        check_single(tree, points, q, 7, 0.25)
    check_batch(tree, queries, 7, 0.25)


# --- normals: each point's neighbourhood, its covariance, the least eigenvector -----------

def expected_normal(points, p, k):
    found = [i for i in expected_nearest(points, p, k)[1] if i < len(points)]
    if any(math.isnan(c) for c in p) or len(found) < 3:
        return Vec3d(NAN, NAN, NAN)
    return VecList(points).take(found).covariance().eigh()[1].columns[0]


@settings(max_examples=examples(60), deadline=None)
@given(st.lists(vectors(st.one_of(FEW, SPECIAL, st.floats(-3, 3))), max_size=50), st.integers(3, 12))
def test_normals_are_the_least_eigenvector_of_each_neighbourhood(points, k):
    normals = KDTree(VecList(points)).normals(k)
    assert len(normals) == len(points)
    assert [tuple(map(bits, n)) for n in normals] == [tuple(map(bits, expected_normal(points, p, k))) for p in points]


@pytest.mark.parametrize("lift, normal", [
    (lambda x, y: Vec3d(x, y, 0.25), Vec3d(0, 0, 1)),
    (lambda x, y: Vec3d(-1.5, x, y), Vec3d(1, 0, 0)),
    (lambda x, y: Vec3d(x, -2.0, y), Vec3d(0, 1, 0)),
])
def test_points_on_an_axis_plane_have_its_normal_exactly(lift, normal):
    points = VecList([lift(math.sin(i * 1.7) * 3, math.cos(i * 0.9) * 2) for i in range(500)])
    assert set(KDTree(points).normals(9)) == {normal}


def test_normals_of_a_noisy_plane_agree_with_numpy():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(4)
    uv = rng.uniform(-1, 1, size=(3000, 2))
    u, v = np.array([1.0, 2.0, -0.5]), np.array([0.3, -0.2, 1.0])
    xyz = uv[:, :1] * u + uv[:, 1:] * v + rng.normal(scale=1e-3, size=(3000, 1)) * np.cross(u, v)
    tree = KDTree(VecList.from_buffer(xyz))
    normals = np.array(tree.normals(12))
    near = np.asarray(tree.nearest(VecList.from_buffer(xyz), 12)[1])
    values, vectors = np.linalg.eigh(np.array([np.cov(xyz[row].T) for row in near]))
    # An eigenvector moves by about eps * |C| / gap; the gaps here are above 1e-4 |C|.
    assert np.all(values[:, 1] - values[:, 0] > 1e-4 * values[:, 2])
    assert np.all(1 - np.abs(np.einsum("ij,ij->i", normals, vectors[:, :, 0])) < 1e-10)
    # Unit length, the largest component positive.
    assert np.all(np.abs(np.linalg.norm(normals, axis=1) - 1) < 4e-16)
    assert np.all(normals[np.arange(3000), np.abs(normals).argmax(axis=1)] > 0)


@pytest.mark.parametrize("points, k", [
    ([], 3), ([Vec3d(1, 2, 3)], 5), ([Vec3d(0, 0, 0), Vec3d(1, 0, 0)], 3),
    ([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(NAN, 0, 0), Vec3d(0, INF, 0)], 4),
])
def test_too_few_points_give_nan_normals(points, k):
    assert all(all(math.isnan(c) for c in n) for n in KDTree(VecList(points)).normals(k))


@pytest.mark.parametrize("points", [
    [],
    [Vec3d(1, 2, 3)],
    [Vec3d(1, 1, 1)] * 50,
    [Vec3d(NAN, 0, 0), Vec3d(0, 0, 0)],
    [Vec3d(NAN, NAN, NAN)] * 3,
    [Vec3d(INF, 0, 0), Vec3d(-INF, 0, 0), Vec3d(0, INF, 0)],
], ids=["empty", "one", "all-equal", "one-nan", "all-nan", "infinities"])
@pytest.mark.parametrize("q", [Vec3d(0, 0, 0), Vec3d(1, 1, 1), Vec3d(INF, 0, 0), Vec3d(0, NAN, 0)],
                         ids=["origin", "ones", "inf", "nan"])
def test_small_and_degenerate_clouds(points, q):
    tree = KDTree(VecList(points))
    assert len(tree) == len(points)
    for k in (1, 3, 60):
        check_single(tree, points, q, k, 1.0)
        check_single(tree, points, q, k, INF)


def test_missing_slots_say_index_n_and_distance_inf():
    tree = KDTree(VecList([Vec3d(0, 0, 0), Vec3d(NAN, 0, 0), Vec3d(3, 0, 0)]))
    d, i = tree.nearest(Vec3d(0, 0, 0), 4)
    assert d.tolist() == [0.0, 3.0, INF, INF] and i.tolist() == [0, 2, 3, 3]
    d, i = tree.nearest_within(VecList([Vec3d(0, 0, 0)]), 2, 2.0)
    assert d.tolist() == [[0.0, INF]] and i.tolist() == [[0, 3]]
    d, i = tree.nearest(Vec3d(NAN, 0, 0), 2)
    assert d.tolist() == [INF, INF] and i.tolist() == [3, 3]
    d, i = tree.nearest(VecList([Vec3d(2, 0, 0), Vec3d(NAN, 0, 0)]))
    assert d.tolist() == [[1.0], [INF]] and i.tolist() == [[2], [3]]


def test_limits_compare_the_reported_distance():
    # sqrt(key) <= r exactly: a key whose square root rounds to r is within r.
    p = Vec3d(0.1, 0.2, 0.3)
    tree = KDTree(VecList([p]))
    r = p.distance_to(Vec3d(0, 0, 0))
    assert tree.count_within(Vec3d(0, 0, 0), r) == 1
    assert tree.count_within(Vec3d(0, 0, 0), math.nextafter(r, 0)) == 0
    assert tree.nearest_within(Vec3d(0, 0, 0), 1, r)[1].tolist() == [0]
    assert tree.within(Vec3d(0, 0, 0), 0.0).tolist() == []
    assert KDTree(VecList([Vec3d(2, 0, 0)])).within(Vec3d(2, 0, 0), 0.0).tolist() == [0]


def test_equal_distances_keep_the_lower_index_across_splits():
    points = [Vec3d(2 + s * 0.125 * (j % 9 + 1), 2, 2) for j in range(300) for s in (1, -1)]
    points.reverse()
    tree = KDTree(VecList(points))
    d, i = tree.nearest(Vec3d(2, 2, 2), 40)
    assert i.tolist() == [ix for _, ix in scan(points, Vec3d(2, 2, 2))[:40]]
    assert bits(d[0]) == bits(d[1]) and i[0] < i[1]


def test_results_are_buffers_numpy_reads_without_a_copy():
    np = pytest.importorskip("numpy")
    points = VecList([Vec3d(i, i % 3, 0) for i in range(30)])
    tree = KDTree(points)
    d, i = tree.nearest(points, 4)
    a, b = np.asarray(d), np.asarray(i)
    assert (a.shape, a.dtype, b.shape, b.dtype) == ((30, 4), np.float64, (30, 4), np.int64)
    assert np.shares_memory(a, np.asarray(d))
    a[0, 0] = 7.5
    assert d[0, 0] == 7.5
    d, i = tree.nearest(VecList([]), 3)
    assert np.asarray(d).shape == np.asarray(i).shape == (0, 3)
    offsets, found = tree.within(VecList([]), 1.0)
    assert offsets.tolist() == [0] and found.tolist() == []
    assert tree.count_within(VecList([]), 1.0).tolist() == []


def test_scipy_agrees_where_there_are_no_ties():
    np = pytest.importorskip("numpy")
    spatial = pytest.importorskip("scipy.spatial")
    rng = np.random.default_rng(5)
    pts, qs = rng.normal(size=(3000, 3)), rng.normal(size=(200, 3))
    tree = KDTree(VecList.from_buffer(pts))
    reference = spatial.cKDTree(pts)
    d, i = tree.nearest(VecList.from_buffer(qs), 5)
    rd, ri = reference.query(qs, 5)
    assert np.array_equal(np.asarray(i), ri)
    assert np.allclose(np.asarray(d), rd, rtol=1e-15, atol=0)
    offsets, found = tree.within(VecList.from_buffer(qs), 0.3)
    for j, ball in enumerate(reference.query_ball_point(qs, 0.3)):
        assert found[offsets[j]:offsets[j + 1]].tolist() == sorted(ball)


def test_the_tree_keeps_its_own_copy():
    points = VecList([Vec3d(0, 0, 0), Vec3d(5, 0, 0)])
    tree = KDTree(points)
    points[0].x = 9.0  # a copy: the list is unchanged anyway
    points.append(Vec3d(4, 0, 0))
    points.rotate(Quat(0, 0, 0, 1))
    assert len(tree) == 2 and tree.nearest(Vec3d(4, 0, 0), 1)[1].tolist() == [1]


def test_a_list_being_written_builds_nothing():
    points = VecList([Vec3d(0, 0, 0)])
    with points.writable():
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            KDTree(points)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            KDTree(VecList([Vec3d(1, 1, 1)])).nearest(points, 1)
    assert len(KDTree(points)) == 1


@pytest.mark.parametrize("call, error, message", [
    (lambda t: KDTree([Vec3d(0, 0, 0)]), TypeError, "argument 'points': 'list' object is not an instance of 'VecList'"),
    (lambda t: t.nearest((0, 0, 0), 0), TypeError,
     "argument 'query': 'tuple' object is not an instance of 'Vec3d | VecList'"),
    (lambda t: t.nearest(Vec3d(0, 0, 0), 0), ValueError, "k must be at least 1"),
    (lambda t: t.nearest(Vec3d(0, 0, 0), -3), ValueError, "k must be at least 1"),
    (lambda t: t.nearest(Vec3d(0, 0, 0), -2**70), ValueError, "k must be at least 1"),
    (lambda t: t.nearest(Vec3d(0, 0, 0), 2**70), MemoryError, ""),
    (lambda t: t.nearest(Vec3d(0, 0, 0), 1.0), TypeError,
     "argument 'k': 'float' object cannot be interpreted as an integer"),
    (lambda t: t.nearest_within(Vec3d(0, 0, 0), 0, -1.0), ValueError, "k must be at least 1"),
    (lambda t: t.nearest_within(Vec3d(0, 0, 0), 1, -1.0), ValueError,
     "max_distance must be a number >= 0, not negative"),
    (lambda t: t.nearest_within(Vec3d(0, 0, 0), 1, NAN), ValueError, "max_distance must be a number >= 0, not nan"),
    (lambda t: t.within(None, NAN), TypeError, "argument 'query': 'None' is not an instance of 'Vec3d | VecList'"),
    (lambda t: t.within(Vec3d(0, 0, 0), -0.5), ValueError, "r must be a number >= 0, not negative"),
    (lambda t: t.count_within(VecList([]), NAN), ValueError, "r must be a number >= 0, not nan"),
    (lambda t: t.count_within(Vec3d(0, 0, 0), "1"), TypeError, "argument 'r': must be real number, not str"),
    (lambda t: t.within(Vec3d(0, 0, 0)), TypeError, None),
    (lambda t: t.normals(2), ValueError, "k must be at least 3"),
    (lambda t: t.normals(-2**70), ValueError, "k must be at least 3"),
    (lambda t: t.normals(k=3.0), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
])
def test_bad_arguments(call, error, message):
    tree = KDTree(VecList([Vec3d(1, 2, 3)]))
    with pytest.raises(error) as info:
        call(tree)
    if message:
        assert str(info.value) == message
    assert tree.nearest(Vec3d(0, 0, 0), 1)[1].tolist() == [0]


def test_negative_zero_radius_is_zero():
    tree = KDTree(VecList([Vec3d(1, 2, 3)]))
    assert tree.within(Vec3d(1, 2, 3), -0.0).tolist() == [0]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_and_copy_keep_every_answer(protocol):
    points = [Vec3d(i % 4, i % 3, NAN if i == 5 else i % 2) for i in range(40)]
    tree = KDTree(VecList(points))
    for again in (pickle.loads(pickle.dumps(tree, protocol)), copy.copy(tree), copy.deepcopy(tree)):
        assert type(again) is KDTree and len(again) == 40
        for q in (Vec3d(0, 0, 0), Vec3d(1.5, 1, 0.5)):
            assert bytes(again.nearest(q, 6)[0]) == bytes(tree.nearest(q, 6)[0])
            assert again.nearest(q, 6)[1].tolist() == tree.nearest(q, 6)[1].tolist()
            assert again.within(q, 1.0).tolist() == tree.within(q, 1.0).tolist()


def test_bad_states_are_refused():
    import quorral
    state = KDTree(VecList([Vec3d(0, 0, 0), Vec3d(1, 0, 0)])).__reduce_ex__(2)[1][1]
    with pytest.raises(ValueError):
        quorral._reconstruct("KDTree", state[:-1])
    broken = bytearray(state)
    broken[-4:] = broken[-8:-4]  # two indices alike
    with pytest.raises(ValueError, match="^KDTree state: the indices are not a permutation of the points$"):
        quorral._reconstruct("KDTree", bytes(broken))
    assert len(quorral._reconstruct("KDTree", b"")) == 0


def test_repr_and_len():
    assert repr(KDTree(VecList([]))) == "KDTree(0 points)"
    assert repr(KDTree(VecList([Vec3d(0, 0, 0)] * 3))) == "KDTree(3 points)"
    assert len(KDTree(VecList([Vec3d(NAN, 0, 0)] * 3))) == 3


def test_many_duplicates_answer_the_lowest_index():
    points = VecList.from_buffer(array.array("d", [0.0]) * (3 * 200_000))
    tree = KDTree(points)
    assert tree.nearest(Vec3d(1, 0, 0), 2)[1].tolist() == [0, 1]
    assert tree.count_within(Vec3d(0, 0, 0), 0.0) == 200_000


WORKERS_SCRIPT = """
import hashlib, random
from quorral import KDTree, Quat, Vec3d, VecList
rng = random.Random(3)
pts = VecList([Vec3d(rng.randrange(9) * 0.5, rng.randrange(9) * 0.5, rng.random()) for _ in range(60000)])
qs = VecList([Vec3d(rng.random() * 4, rng.random() * 4, rng.random()) for _ in range(5000)])
tree = KDTree(pts)
h = hashlib.sha256()
for k in (1, 8):
    d, i = tree.nearest(qs, k)
    h.update(bytes(d)); h.update(bytes(i))
for part in tree.within(qs, 0.4):
    h.update(bytes(part))
h.update(bytes(tree.count_within(qs, 0.7)))
h.update(bytes(tree.normals(8)))
h.update(tree.__reduce_ex__(2)[1][1])
print(h.hexdigest())
"""


@pytest.mark.thread_unsafe(reason="runs subprocesses")
def test_results_do_not_depend_on_the_worker_count():
    assert len({run_with_workers(WORKERS_SCRIPT, threads) for threads in (1, 2, 4)}) == 1
