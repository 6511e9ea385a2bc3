"""VecList with VecList: pairwise operations, per-element factors, the fused
update, sums, gathers by index, float arrays out and the writable view."""

import array
import functools
import gc
import hashlib
import math
import operator
import os
import pickle
import re
import struct
import subprocess
import sys
import sysconfig

import pytest
from hypothesis import given, settings, strategies as st

from conftest import Batch, batch_rule_tests, bits, comps, examples, same_float, same_vec, run_with_workers
import quorral
from quorral import Quat, Vec3d, VecList, geometry

LEAF = 128  # terms per leaf of the summation tree
READ_REFUSED = "Already mutably borrowed"
WRITE_REFUSED = "Already borrowed"

floats = st.floats(allow_nan=True, allow_infinity=True)
vectors = st.builds(Vec3d, floats, floats, floats)
rows = st.lists(st.tuples(vectors, vectors, floats), max_size=50)


def same_list(got, want):
    assert type(got) is VecList and len(got) == len(want)
    for i, w in enumerate(want):
        same_vec(got[i], w)


def same_array(got, want):
    assert type(got) is array.array and got.typecode == "d" and len(got) == len(want)
    for g, w in zip(got, want):
        same_float(g, w)


def tree_sum(terms, zero):
    """The documented order: leaves of LEAF terms, each summed in order from its
    first term, then leaf sums combined pairwise (first half of the leaves + rest)."""
    if not terms:
        return zero
    leaves = []
    for k in range(0, len(terms), LEAF):
        s = terms[k]
        for t in terms[k + 1:k + LEAF]:
            s = s + t
        leaves.append(s)

    def combine(first, m):
        if m == 1:
            return leaves[first]
        left = m // 2
        return combine(first, left) + combine(first + left, m - left)

    return combine(0, len(leaves))


def split(data):
    return VecList([r[0] for r in data]), VecList([r[1] for r in data]), [r[2] for r in data]


# --- every result is the single-Vec3d composition, bit for bit ------------------


@settings(max_examples=examples(60))
@given(rows, vectors, floats)
def test_pairwise_results_match_single_vectors(data, probe, factor):
    a, b, f = split(data)
    xs, ys = list(a), list(b)
    same_list(a.add_each(b), [x + y for x, y in zip(xs, ys)])
    same_list(a.sub_each(b), [x - y for x, y in zip(xs, ys)])
    same_list(a.cross_each(b), [x.cross(y) for x, y in zip(xs, ys)])
    same_list(a.scale_each(f), [x * s for x, s in zip(xs, f)])
    same_list(a.scale_each(array.array("d", f)), [x * s for x, s in zip(xs, f)])
    same_list(a.add_scaled(b, factor), [x + y * factor for x, y in zip(xs, ys)])
    same_list(a.add_scaled(b, factor), list(a.add_each(b * factor)))
    same_array(a.dot_each(b), [x.dot(y) for x, y in zip(xs, ys)])
    same_array(a.distance_each(b), [x.distance_to(y) for x, y in zip(xs, ys)])
    same_array(a.dot_each(probe), a.dot(probe))
    same_array(a.distance_each(probe), a.distance_to(probe))
    same_float(a.dot_sum(b), tree_sum([x.dot(y) for x, y in zip(xs, ys)], 0.0))
    same_vec(a.sum(), tree_sum(xs, Vec3d(0.0, 0.0, 0.0)))
    s = a.sum()
    n = float(len(xs))
    same_vec(a.mean(), Vec3d(s.x / n, s.y / n, s.z / n) if xs else Vec3d(math.nan, math.nan, math.nan))
    assert len(a) == len(data) and len(b) == len(data)


def reflected(plane, p, v):
    """The documented order of reflect_off, in single-Vec3d methods."""
    n = plane.normal
    s = n.dot(p) + plane.distance
    if not s < 0.0:
        return p, v
    return p - n * (2.0 * s), v - n * (2.0 * n.dot(v))


planes = st.one_of(
    st.builds(geometry.Plane, vectors, floats),
    st.builds(geometry.Plane.from_point, vectors, vectors),
    st.sampled_from([geometry.Plane.xy(), geometry.Plane.xz(), geometry.Plane.yz()]),
)


@settings(max_examples=examples(80))
@given(rows, planes, st.one_of(st.none(), vectors))
def test_reflect_off_matches_single_vectors(data, plane, normal):
    if normal is not None:
        plane.normal = normal  # stored as given, not of unit length
    a, b, _ = split(data)
    xs, ys = list(a), list(b)
    assert a.reflect_off(plane, b) is None
    want = [reflected(plane, x, y) for x, y in zip(xs, ys)]
    same_list(a, [w[0] for w in want])
    same_list(b, [w[1] for w in want])


# --- the NaN rule: batch and single bit for bit, NaNs included -------------------


def as_list(elements, first=0):
    return VecList([Vec3d(*e[first:first + 3]) for e in elements])


def left(e):
    return Vec3d(*e[:3])


def right(e):
    return Vec3d(*e[3:6])


def plane_of(o):
    plane = geometry.Plane(Vec3d(1.0, 0.0, 0.0), o[3])
    plane.normal = Vec3d(*o[:3])  # as given, of any length
    return plane


def reflected_lists(elements, o):
    points, velocities = as_list(elements), as_list(elements, 3)
    points.reflect_off(plane_of(o), velocities)
    return zip(points, velocities)


def summed(elements):
    return tree_sum([left(e) for e in elements], Vec3d(0.0, 0.0, 0.0))


def mean_of(elements):
    s = summed(elements)
    return Vec3d(s.x / len(elements), s.y / len(elements), s.z / len(elements))


def reversed_by_take(elements):
    return [tuple(as_list(elements).take(range(len(elements) - 1, -1, -1)))]


# Element (x, y, z) or (x, y, z, x', y', z') of the two lists, or (x, y, z, f)
# with a factor; the operand of each member. `exact`: also where NaNs meet.
NAN_RULE = {
    "add_each": Batch(lambda es, o: as_list(es).add_each(as_list(es, 3)), lambda e, o: left(e) + right(e), 6),
    "cross_each": Batch(lambda es, o: as_list(es).cross_each(as_list(es, 3)), lambda e, o: left(e).cross(right(e)), 6),
    "dot_each(VecList)": Batch(lambda es, o: as_list(es).dot_each(as_list(es, 3)),
                               lambda e, o: left(e).dot(right(e)), 6),
    "dot_each(Vec3d)": Batch(lambda es, o: as_list(es).dot_each(Vec3d(*o)), lambda e, o: left(e).dot(Vec3d(*o)), 3, 3),
    "distance_each(VecList)": Batch(lambda es, o: as_list(es).distance_each(as_list(es, 3)),
                                    lambda e, o: left(e).distance_to(right(e)), 6),
    "distance_each(Vec3d)": Batch(lambda es, o: as_list(es).distance_each(Vec3d(*o)),
                                  lambda e, o: left(e).distance_to(Vec3d(*o)), 3, 3),
    "dot_sum": Batch(lambda es, o: [as_list(es).dot_sum(as_list(es, 3))],
                     lambda es, o: tree_sum([left(e).dot(right(e)) for e in es], 0.0), 6, reduction=True),
    "scale_each": Batch(lambda es, o: as_list(es).scale_each([e[3] for e in es]), lambda e, o: left(e) * e[3], 4),
    "scale_each(array)": Batch(lambda es, o: as_list(es).scale_each(array.array("d", [e[3] for e in es])),
                               lambda e, o: left(e) * e[3], 4),
    "add_scaled": Batch(lambda es, o: as_list(es).add_scaled(as_list(es, 3), o[0]),
                        lambda e, o: left(e) + right(e) * o[0], 6, 1),
    "reflect_off": Batch(reflected_lists, lambda e, o: reflected(plane_of(o), left(e), right(e)), 6, 4),
    "sum": Batch(lambda es, o: [as_list(es).sum()], lambda es, o: summed(es), 3, reduction=True),
    "mean": Batch(lambda es, o: [as_list(es).mean()], lambda es, o: mean_of(es), 3, reduction=True),
    "sub_each": Batch(lambda es, o: as_list(es).sub_each(as_list(es, 3)), lambda e, o: left(e) - right(e), 6,
                      exact=True),
    "take": Batch(lambda es, o: reversed_by_take(es), lambda es, o: tuple(left(e) for e in reversed(es)), 3,
                  exact=True, reduction=True),
    "signed_distance": Batch(lambda es, o: plane_of(o).signed_distance(as_list(es)),
                             lambda e, o: plane_of(o).signed_distance(left(e)), 3, 4),
    "divide_each": Batch(lambda es, o: as_list(es).divide_each([e[3] for e in es]), lambda e, o: left(e) / e[3], 4,
                         exact=True),
    "perspective_divide": Batch(lambda es, o: as_list(es).perspective_divide(), lambda e, o: left(e) / e[2], 3,
                                exact=True),
    "column": Batch(lambda es, o: as_list(es).column(1), lambda e, o: e[1], 3, exact=True),
    "compress": Batch(lambda es, o: [tuple(as_list(es).compress([e[1] == e[1] for e in es]))],
                      lambda es, o: tuple(left(e) for e in es if e[1] == e[1]), 3, exact=True, reduction=True),
    "inside": Batch(lambda es, o: list(as_list(es).inside([plane_of(o)])),
                    lambda e, o: int(plane_of(o).signed_distance(left(e)) >= 0.0), 3, 4, exact=True),
}

test_nan_rule_with_lone_nans, test_nan_rule_where_nans_meet = batch_rule_tests(NAN_RULE)


@settings(max_examples=examples(60))
@given(rows, st.lists(planes, max_size=4), st.lists(st.booleans(), max_size=50))
def test_masks_columns_and_planes_match_single_vectors(data, cuts, flags):
    a, _, f = split(data)
    xs = list(a)
    flags = (flags + [True] * len(xs))[: len(xs)]
    same_list(a.divide_each(f), [x / d for x, d in zip(xs, f)])
    same_list(a.perspective_divide(), [x / x.z for x in xs])
    for axis in range(3):
        same_array(a.column(axis), [comps(x)[axis] for x in xs])
    same_list(VecList.from_columns(*(a.column(axis) for axis in range(3))), xs)
    kept = [x for x, keep in zip(xs, flags) if keep]
    same_list(a.compress(flags), kept)
    same_list(a.compress(bytes(flags)), kept)
    for plane in cuts:
        same_array(plane.signed_distance(a), [plane.signed_distance(x) for x in xs])
        same_float(plane.signed_distance(Vec3d(1, 2, 3)), plane.normal.dot(Vec3d(1, 2, 3)) + plane.distance)
    assert a.inside(cuts) == bytes(all(p.signed_distance(x) >= 0.0 for p in cuts) for x in xs)


# From four full leaves on, four leaves are summed side by side (a sum: a quarter of
# the full leaves apart; a dot sum: four consecutive ones, their terms computed first).
@settings(max_examples=examples(40))
@given(st.lists(st.tuples(vectors, vectors), min_size=1, max_size=12), st.integers(4 * LEAF, 9 * LEAF + 7))
def test_sums_of_four_leaves_and_more_match_single_vectors(pairs, n):
    xs = [pairs[i % len(pairs)][0] for i in range(n)]
    ys = [pairs[(i * 7) % len(pairs)][1] for i in range(n)]
    a, b = VecList(xs), VecList(ys)
    same_float(a.dot_sum(b), tree_sum([x.dot(y) for x, y in zip(xs, ys)], 0.0))
    same_vec(a.sum(), tree_sum(xs, Vec3d(0.0, 0.0, 0.0)))


@settings(max_examples=examples(60))
@given(st.lists(vectors, max_size=30), st.lists(st.integers(0, 2**64 - 1), max_size=40))
def test_take_matches_indexing(items, raw):
    vl = VecList(items)
    indices = [i % len(items) for i in raw] if items else []
    got = vl.take(indices)
    assert len(got) == len(indices)
    for g, i in zip(got, indices):
        assert [bits(c) for c in comps(g)] == [bits(c) for c in comps(items[i])]


finite = st.floats(min_value=-1e6, max_value=1e6)


@settings(max_examples=examples(60))
@given(st.lists(st.tuples(finite, finite, finite), max_size=1200))
def test_sum_is_within_the_pairwise_bound(triples):
    vl = VecList([Vec3d(*t) for t in triples])
    s, m = vl.sum(), vl.mean()
    leaves = max(1, -(-len(triples) // LEAF))
    steps = LEAF - 1 + math.ceil(math.log2(leaves))
    for axis, got in enumerate(comps(s)):
        column = [t[axis] for t in triples]
        exact = math.fsum(column)
        bound = 1.01 * steps * 2.0**-53 * math.fsum(abs(c) for c in column)
        assert abs(got - exact) <= bound
        if triples:
            assert bits(comps(m)[axis]) == bits(got / len(triples))


@pytest.mark.parametrize("n", [2, 5, 128])
def test_covariances_sum_the_outer_products_in_order_within_a_leaf(n):
    a, b, _, _ = boundary_lists(n)
    ma, mb = comps(a.mean()), comps(b.mean())
    want = None
    for p, q in zip(a, b):  # one leaf: in index order, from the first term
        u = [x - m for x, m in zip(comps(p), ma)]
        v = [x - m for x, m in zip(comps(q), mb)]
        term = [[u[r] * v[c] for c in range(3)] for r in range(3)]
        want = term if want is None else [[w + t for w, t in zip(wr, tr)] for wr, tr in zip(want, term)]
    got = a.cross_covariance(b).to_array()
    assert [[bits(x) for x in row] for row in got] == [[bits(x) for x in row] for row in want]
    assert [[bits(x) for x in row] for row in a.covariance().to_array()] == \
        [[bits(x / (n - 1)) for x in row] for row in a.cross_covariance(a).to_array()]


def test_covariance_against_numpy_and_its_edges():
    np = pytest.importorskip("numpy", reason="numpy is not installed for this interpreter")
    a, b, _, _ = boundary_lists(40000)
    A, B = np.asarray(a), np.asarray(b)
    U, V = A - A.mean(axis=0), B - B.mean(axis=0)
    # Pairwise summation with leaves of 128: each entry within (128 + log2 n) eps of the sum
    # of the terms' magnitudes, the means' rounding included in a few more.
    bound = (128 + 16 + 8) * 2.0**-52 * (abs(U).T @ abs(V))
    assert (abs(np.asarray(a.cross_covariance(b)) - U.T @ V) <= bound).all()
    assert np.allclose(np.asarray(a.covariance()), np.cov(A.T), rtol=1e-12, atol=0)
    assert all(math.isnan(x) for row in VecList([Vec3d(1, 2, 3)]).covariance().to_array() for x in row)
    assert VecList([]).cross_covariance(VecList([])).to_array() == [[0.0] * 3] * 3
    with pytest.raises(ValueError, match="^lengths differ: self has 2 elements, other has 1$"):
        VecList([PROBE, PROBE]).cross_covariance(VecList([PROBE]))


def test_alignment_recovers_a_rigid_motion_and_agrees_with_scipy():
    np = pytest.importorskip("numpy", reason="numpy is not installed for this interpreter")
    rng = np.random.default_rng(4)
    points = VecList.from_buffer(rng.normal(size=(2000, 3)))
    motion = quorral.RigidTransform(Quat.random(11), Vec3d(1.5, -2, 0.25))
    moved = motion.apply(points)
    x, rms = points.align_to(moved)
    # Exact data: the rotation is the dominant eigenvector (error about eps |N| / gap) and
    # the residual is rounding, a few ulps of the coordinates.
    assert abs(abs(x.rotation.dot(motion.rotation)) - 1) <= 64 * 2.0**-53
    assert max(map(abs, comps(x.translation - motion.translation))) <= 1e-14
    assert rms <= 1e-14
    noisy = VecList.from_buffer(np.asarray(moved) + rng.normal(scale=0.01, size=(2000, 3)))
    q, _ = points.rotation_to(VecList.from_buffer(np.asarray(noisy) - comps(motion.translation)))
    rotation = pytest.importorskip("scipy.spatial.transform").Rotation
    want, _ = rotation.align_vectors(np.asarray(noisy) - comps(motion.translation), np.asarray(points))
    assert abs(np.dot(want.as_quat(), q.to_xyzw())) >= 1 - 1e-12


def test_weights_scale_each_term_and_unit_weights_change_no_bit():
    np = pytest.importorskip("numpy", reason="numpy is not installed for this interpreter")
    rng = np.random.default_rng(5)
    A = rng.normal(size=(3000, 3)) * [1.0, 2.0, 0.5]
    motion = quorral.RigidTransform(Quat.random(12), Vec3d(-1, 0.5, 2))
    B = np.asarray(motion.apply(VecList.from_buffer(A))) + rng.normal(scale=0.01, size=A.shape)
    a, b = VecList.from_buffer(A), VecList.from_buffer(B)
    ones = np.ones(len(A))
    for call in (lambda w: a.cross_covariance(b, w), lambda w: a.align_to(b, w), lambda w: a.rotation_to(b, w)):
        assert repr(call(ones)) == repr(call(None)) == repr(call([1.0] * len(A)))
    w = rng.random(len(A))
    ma, mb = w @ A / w.sum(), w @ B / w.sum()
    U, V = (A - ma) * w[:, None], B - mb
    bound = (128 + 16 + 8) * 2.0**-52 * (abs(U).T @ abs(V))
    assert (abs(np.asarray(a.cross_covariance(b, w)) - U.T @ V) <= bound).all()
    # Outliers of weight 0 change nothing beyond rounding; scipy weighs the squared residuals alike.
    outliers = A.copy()
    outliers[::10] += 50.0
    x, rms = VecList.from_buffer(outliers).align_to(b, (np.arange(len(A)) % 10 != 0).astype(float))
    y, rms_kept = VecList.from_buffer(A[np.arange(len(A)) % 10 != 0]).align_to(
        VecList.from_buffer(B[np.arange(len(A)) % 10 != 0]))
    assert abs(abs(x.rotation.dot(y.rotation)) - 1) <= 1e-12 and abs(rms - rms_kept) <= 1e-12
    rotation = pytest.importorskip("scipy.spatial.transform").Rotation
    want, _ = rotation.align_vectors(B - comps(motion.translation), A, weights=w)
    q, _ = a.rotation_to(VecList.from_buffer(B - comps(motion.translation)), w)
    assert abs(np.dot(want.as_quat(), q.to_xyzw())) >= 1 - 1e-12


def test_similarity_recovers_a_scaled_motion_and_matches_the_closed_form():
    np = pytest.importorskip("numpy", reason="numpy is not installed for this interpreter")
    rng = np.random.default_rng(6)
    A = rng.normal(size=(2000, 3))
    motion = quorral.RigidTransform(Quat.random(13), Vec3d(0.5, -1, 3))
    a = VecList.from_buffer(A)
    scale, x, rms = a.similarity_to(motion.apply(a * 0.375))
    assert abs(scale - 0.375) <= 1e-14 and rms <= 1e-14
    assert abs(abs(x.rotation.dot(motion.rotation)) - 1) <= 64 * 2.0**-53
    # Noisy and weighted: the closed form with numpy on the same rotation, s = sum w (b - mb).R(a - ma)
    # / sum w |a - ma|^2; the sums agree within their pairwise bounds, far inside 1e-12.
    B = np.asarray(motion.apply(a * 2.0)) + rng.normal(scale=0.05, size=A.shape)
    w = rng.random(len(A))
    scale, x, rms = a.similarity_to(VecList.from_buffer(B), w)
    q, _ = a.align_to(VecList.from_buffer(B), w)
    assert x.rotation == q.rotation
    ma, mb = w @ A / w.sum(), w @ B / w.sum()
    R = np.array([comps(x.rotation.rotate(Vec3d(*e))) for e in np.eye(3)]).T
    want = np.einsum("i,ij,ij->", w, B - mb, (A - ma) @ R.T) / np.einsum("i,ij,ij->", w, A - ma, A - ma)
    assert abs(scale - want) <= 1e-12 * abs(want)
    moved = (A @ R.T) * scale + comps(x.translation)
    assert abs(rms - math.sqrt(w @ ((moved - B) ** 2).sum(axis=1) / w.sum())) <= 1e-12
    assert max(map(abs, comps(x.translation) - (mb - scale * (R @ ma)))) <= 1e-12


@pytest.mark.parametrize("weights, message", [
    ([1.0, 1.0], "lengths differ: self has 3 elements, weights has 2"),
    ([1.0, -0.5, 1.0], "weights must be finite and at least 0"),
    ([1.0, math.nan, 1.0], "weights must be finite and at least 0"),
    ([1.0, math.inf, 1.0], "weights must be finite and at least 0"),
    ([0.0, -0.0, 0.0], "the weights must have a positive finite sum"),
    ([1e308, 1e308, 0.0], "the weights must have a positive finite sum"),
])
@pytest.mark.parametrize("method", ["cross_covariance", "align_to", "rotation_to", "similarity_to"])
def test_bad_weights(method, weights, message):
    a = VecList([Vec3d(1, 0, 0), Vec3d(0, 2, 0), Vec3d(0, 0, 3)])
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        getattr(a, method)(a, weights)
    with pytest.raises(ValueError, match="^lengths differ: self has 3 elements, other has 2$"):
        getattr(a, method)(a.slice(1), [1.0])  # the lists' lengths are checked first


@pytest.mark.parametrize("a, b", [
    ([], []),
    ([Vec3d(1, 2, 3)] * 5, [Vec3d(1, 2, 3)] * 5),
    ([Vec3d(i, 2 * i, 3 * i) for i in range(6)], [Vec3d(-i, 0, i) for i in range(6)]),
])
def test_alignment_of_points_that_leave_the_rotation_open(a, b):
    for method in (VecList.align_to, VecList.similarity_to):
        with pytest.raises(ValueError, match="^the points do not determine a rotation: fewer than three of them, or all on one line$"):
            method(VecList(a), VecList(b))


def test_sum_example_differs_from_the_sum_in_order():
    # Leaf 0 holds 1e16 and loses its ones; leaves 1 and 2 add 256 exactly.
    vl = VecList([Vec3d(1e16, 0, 0)] + [Vec3d(1, 0, 0)] * (3 * LEAF - 1))
    assert vl.sum().x == 1e16 + 256
    assert functools.reduce(operator.add, (v.x for v in vl)) == 1e16


# --- the same bits on every worker count, around the pool's piece boundaries ----

# 4097 and 16383 are halved when a worker is awake (odd: halves of unequal length);
# from 16384 on, jobs are split whatever the workers do.
SIZES = [1, 2, 127, 128, 129, 4097, 16383, 16384, 16385, 40000]
PROBE = Vec3d(0.25, -1.0, 2.0)


def boundary_lists(n):
    a = VecList([Vec3d(math.sin(i) * 1e3, 1.0 / (i + 1), (i % 17) - 8.5) for i in range(n)])
    b = VecList([Vec3d(math.cos(i), i * 0.37, -1e-3 * i) for i in range(n)])
    factors = [0.5 + (i % 7) for i in range(n)]
    indices = [(i * 7919) % n for i in range(n)]
    return a, b, factors, indices


TILTED = geometry.Plane(Vec3d(1.0, 0.5, -0.25), 3.0)


def boundary_reflected(a, b):
    points, velocities = VecList(a), VecList(b)
    points.reflect_off(TILTED, velocities)
    return [points, velocities]


TURN = Quat(0.5, -0.25, 0.75, 0.125)  # not a unit quaternion: it scales too


def boundary_rotated(a):
    turned = VecList(a)
    turned.rotate(TURN)
    return turned


def boundary_parts(n):
    a, b, factors, indices = boundary_lists(n)
    lists = [a.add_each(b), a.sub_each(b), a.cross_each(b), a.scale_each(factors), a.add_scaled(b, 0.3),
             a.take(indices), a.take(array.array("I", indices)), *boundary_reflected(a, b), boundary_rotated(a),
             # one list: the component loops and the division through an exact reciprocal
             a + PROBE, a - PROBE, a.collapse(1), a / 4.0, a / 3.0,
             a.divide_each(factors), a.perspective_divide(), a.compress(a.inside([TILTED])),
             VecList.from_columns(b.column(2), a.column(0), a.column(1))]
    arrays = [a.dot_each(b), a.distance_each(b), a.dot_each(PROBE), a.distance_each(PROBE), TILTED.signed_distance(a)]
    scalars = [a.dot_sum(b), *comps(a.sum()), *comps(a.mean())]
    weighted = [a.cross_covariance(b, factors)] if n else []
    for m in (a.cross_covariance(b), a.covariance(), *weighted):
        scalars += [x for row in m.to_array() for x in row]
    if n >= 3:
        for weights in (None, factors):
            x, rms = a.align_to(b, weights)
            q, rms_about_origin = a.rotation_to(b, weights=weights)
            scale, y, rms_scaled = a.similarity_to(b, weights)
            scalars += [*(x.rotation.w, x.rotation.i, x.rotation.j, x.rotation.k), *comps(x.translation), rms,
                        q.w, q.i, q.j, q.k, rms_about_origin, scale, *comps(y.translation), rms_scaled]
    return lists, arrays, scalars


def boundary_results():
    for n in SIZES:
        lists, arrays, scalars = boundary_parts(n)
        blob = b"".join([*(memoryview(vl).tobytes() for vl in lists), *(x.tobytes() for x in arrays),
                         struct.pack(f"<{len(scalars)}d", *scalars)])
        yield n, hashlib.sha256(blob).hexdigest()


BOUNDARY_SCRIPT = """
import sys
sys.path.insert(0, {tests!r})
from test_vec_list_pairwise import boundary_results
for n, digest in boundary_results():
    print(n, digest)
"""


@pytest.mark.thread_unsafe(reason="runs subprocesses")
def test_results_are_the_same_on_every_worker_count():
    script = BOUNDARY_SCRIPT.format(tests=os.path.dirname(__file__))
    outputs = {workers: run_with_workers(script, workers, timeout=300) for workers in ("1", "2", "4")}
    assert outputs["1"] == outputs["2"] == outputs["4"]
    assert outputs["1"] == "".join(f"{n} {d}\n" for n, d in boundary_results())


def test_results_past_the_piece_boundary_match_single_vectors():
    n = 16385
    a, b, factors, indices = boundary_lists(n)
    lists, arrays, scalars = boundary_parts(n)
    xs, ys = list(a), list(b)
    wanted = [[x + y for x, y in zip(xs, ys)], [x - y for x, y in zip(xs, ys)], [x.cross(y) for x, y in zip(xs, ys)],
              [x * f for x, f in zip(xs, factors)], [x + y * 0.3 for x, y in zip(xs, ys)], [xs[i] for i in indices],
              [xs[i] for i in indices], *map(list, zip(*(reflected(TILTED, x, y) for x, y in zip(xs, ys)))),
              [TURN.rotate(x) for x in xs],
              [x + PROBE for x in xs], [x - PROBE for x in xs], [Vec3d(x.x, 0.0, x.z) for x in xs],
              [x / 4.0 for x in xs], [x / 3.0 for x in xs],
              [x / f for x, f in zip(xs, factors)], [x / x.z for x in xs],
              [x for x in xs if TILTED.signed_distance(x) >= 0.0], [Vec3d(y.z, x.x, x.y) for x, y in zip(xs, ys)]]
    for got, want in zip(lists, wanted, strict=True):
        assert memoryview(got).tobytes() == struct.pack(f"<{3 * len(want)}d", *(c for v in want for c in comps(v)))
    for got, want in zip(arrays, [[x.dot(y) for x, y in zip(xs, ys)], [x.distance_to(y) for x, y in zip(xs, ys)],
                                  [x.dot(PROBE) for x in xs], [x.distance_to(PROBE) for x in xs],
                                  [TILTED.signed_distance(x) for x in xs]], strict=True):
        assert got.tobytes() == struct.pack(f"<{n}d", *want)
    s = tree_sum(xs, Vec3d(0, 0, 0))
    want = [tree_sum([x.dot(y) for x, y in zip(xs, ys)], 0.0), *comps(s), s.x / n, s.y / n, s.z / n]
    assert struct.pack("<7d", *scalars[:7]) == struct.pack("<7d", *want)  # then the covariances and alignments


# --- float arrays in and out ------------------------------------------------------


def test_float_results_are_arrays():
    a = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
    got = a.dot_each(a)
    assert type(got) is array.array and got.typecode == "d" and got.tolist() == [14.0, 77.0]
    assert pickle.loads(pickle.dumps(got)) == got
    assert a.dot_each(a) is not got  # a new array each call
    assert a.distance_each(Vec3d(1, 2, 3)).tolist() == [0.0, math.sqrt(27)]
    assert type(a.dot_sum(a)) is float and a.dot_sum(a) == 91.0


@pytest.mark.parametrize("n", [0, 1, 3, 16385, 600_000])  # one piece, several, and past 4 MB
def test_float_results_are_real_arrays(n):
    a, b, _, _ = boundary_lists(min(n, 16385))
    xs, ys = list(a), list(b)
    if n > len(xs):
        xs, ys = (xs * (n // len(xs) + 1))[:n], (ys * (n // len(ys) + 1))[:n]
    got = VecList(xs).dot_each(VecList(ys))
    assert type(got) is array.array and got.typecode == "d" and got.itemsize == 8 and len(got) == n
    view = memoryview(got)
    assert view.format == "d" and view.nbytes == 8 * n and view.shape == (n,)
    step = max(1, n // 500)
    assert [bits(v) for v in got[::step]] == [bits(x.dot(y)) for x, y in zip(xs[::step], ys[::step])]
    view.release()
    assert pickle.loads(pickle.dumps(got)) == got
    before = got.tobytes()
    got.append(1.5)
    got.extend([2.5] * 100)
    got.frombytes(struct.pack("<d", -0.0))
    assert got.tobytes() == before + struct.pack("<102d", 1.5, *[2.5] * 100, -0.0)
    del got[:n]
    got *= 2
    assert got.tobytes() == 2 * struct.pack("<102d", 1.5, *[2.5] * 100, -0.0)


def test_float_arrays_are_not_cleared_first():
    # CPython 3.13 to 3.15 lay arrays out as probed; a failed probe would silently clear every result.
    if sys.implementation.name == "cpython" and (3, 13) <= sys.version_info[:2] <= (3, 15):
        assert quorral._float_arrays() == "uninitialised"
    else:
        assert quorral._float_arrays() in ("uninitialised", "repeat")


REPEAT_SCRIPT = """
import sys
sys.path.insert(0, {tests!r})
import quorral
from test_vec_list_pairwise import boundary_results
print(quorral._float_arrays())
for n, digest in boundary_results():
    print(n, digest)
"""


@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_float_arrays_made_by_repeating_zeros_hold_the_same_results():
    env = {**os.environ, "QUORRAL_FLOAT_ARRAYS": "repeat"}
    out = subprocess.run([sys.executable, "-c", REPEAT_SCRIPT.format(tests=os.path.dirname(__file__))], env=env,
                         capture_output=True, text=True, check=True, timeout=300).stdout
    assert out == "repeat\n" + "".join(f"{n} {d}\n" for n, d in boundary_results())


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="only the free-threaded build has no GIL")
def test_float_arrays_leave_the_gil_disabled():
    VecList([Vec3d(1, 2, 3)]).dot_each(Vec3d(1, 0, 0))  # imports the array module
    assert not sys._is_gil_enabled()


class Real:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "factors",
    [
        [2, 2.5],
        (2.0, Real()),
        array.array("d", [2.0, 2.5]),
        memoryview(struct.pack("<4d", 2.0, 0.0, 2.5, 0.0)).cast("d")[::2],
        memoryview(bytearray(b"\0" + struct.pack("<2d", 2.0, 2.5)))[1:].cast("d"),
        range(2, 4),
    ],
    ids=["list", "tuple", "array", "strided", "unaligned", "range"],
)
def test_factors_from_buffers_and_sequences(factors):
    a = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
    want = [float(f) for f in factors]
    same_list(a.scale_each(factors), [Vec3d(1, 2, 3) * want[0], Vec3d(4, 5, 6) * want[1]])


class Lengthens:
    """A number whose conversion appends to the sequence it was found in."""

    def __init__(self, into):
        self.into = into

    def __float__(self):
        self.into.append(0.0)
        return 2.5

    def __index__(self):
        self.into.append(0)
        return 1


@pytest.mark.parametrize(
    "call, want",
    [
        (lambda a, s: a.scale_each(s), [Vec3d(0, 0, 0), Vec3d(10, 12.5, 15)]),
        (lambda a, s: a.take(s), [Vec3d(1, 2, 3), Vec3d(4, 5, 6)]),
    ],
    ids=["scale_each", "take"],
)
def test_sequences_are_read_as_they_were_when_the_call_began(call, want):
    a = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
    items = [0]
    items.append(Lengthens(items))
    same_list(call(a, items), want)
    assert len(items) == 3


@pytest.mark.parametrize("code", ["f", "i", "q", "b"])
def test_factors_of_another_format_name_it(code):
    with pytest.raises(TypeError, match=rf"^argument 'factors': expected a buffer of float64 \(format 'd'\), got format '{code}'$"):
        VecList([Vec3d(1, 2, 3)]).scale_each(array.array(code, [1]))


# --- gathers ----------------------------------------------------------------------


@pytest.mark.parametrize("code", list("bBhHiIlLqQ"))
def test_take_accepts_integer_buffers_of_every_width_and_sign(code):
    items = [Vec3d(i, -i, 0.5 * i) for i in range(5)]
    vl = VecList(items)
    got = vl.take(array.array(code, [4, 0, 4, 2]))
    assert [comps(v) for v in got] == [comps(items[i]) for i in (4, 0, 4, 2)]
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        vl.take(array.array(code, [0, 5]))
    if code.islower():
        with pytest.raises(OverflowError, match="^can't convert negative int to unsigned$"):
            vl.take(array.array(code, [5, -1]))  # negative before out of range
    assert len(vl) == 5


@pytest.mark.parametrize(
    "mask",
    [
        [True, False, True],
        (False, True, True),
        b"\x01\x00\x07",
        array.array("B", [0, 0, 1]),
        array.array("b", [-1, 0, 0]),
        memoryview(b"\x01\x09\x00\x09\x01")[::2],
    ],
    ids=["list", "tuple", "bytes", "uint8", "int8", "strided"],
)
def test_compress_reads_bool_and_byte_masks(mask):
    items = [Vec3d(1, 2, 3), Vec3d(4, 5, 6), Vec3d(7, 8, 9)]
    flags = [bool(m) for m in (mask.tolist() if isinstance(mask, memoryview) else mask)]
    assert [comps(v) for v in VecList(items).compress(mask)] == [comps(v) for v, f in zip(items, flags) if f]


def element_rows(a):
    raw = memoryview(a).tobytes()
    size = len(raw) // len(a) if len(a) else 0
    return [raw[i * size:(i + 1) * size] for i in range(len(a))]


@pytest.mark.parametrize("make", [
    lambda n: VecList([Vec3d(i, -i, i / 3) for i in range(n)]),
    lambda n: quorral.QuatList([Quat(i, -0.0, i / 7, 1) for i in range(n)]),
    lambda n: quorral.RigidTransformList([quorral.RigidTransform.from_translation(Vec3d(i, i / 3, -i)) for i in range(n)]),
], ids=["VecList", "QuatList", "RigidTransformList"])
@pytest.mark.parametrize("n", [0, 1, 7, 5000])
@pytest.mark.parametrize("bounds", [
    (), (2,), (None, 3), (1, -1), (-3,), (None, None, -1), (5, 0, -2), (0, 10**30, 3),
    (-10**30, None), (3, 1), (None, None, 2**62), (True, None, 2),
])
def test_slice_is_the_sequence_slice(make, n, bounds):
    a = make(n)
    rows = element_rows(a)
    want = rows[slice(*bounds) if len(bounds) > 1 else slice(bounds[0] if bounds else None, None)]
    got = a.slice(*bounds)
    assert type(got) is type(a) and element_rows(got) == want
    assert element_rows(a) == rows


def sequence_slice_error(start):
    """The message of the interpreter's own refusal of a slice from `start` (its wording varies by version)."""
    try:
        [0, 1, 2][start:]
    except TypeError as e:
        return str(e)
    raise AssertionError(start)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((0, 5, 0), {}, ValueError, "slice step cannot be zero"),
    (("1",), {}, TypeError, sequence_slice_error("1")),
    ((1.5,), {}, TypeError, sequence_slice_error(1.5)),
    ((), {"step": 0}, ValueError, "slice step cannot be zero"),
    ((1, 2, 3, 4), {}, TypeError, "VecList.slice() takes from 0 to 3 positional arguments but 4 were given"),
])
def test_slice_errors(args, kwargs, error, message):
    a = VecList([Vec3d(1, 2, 3)] * 3)
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        a.slice(*args, **kwargs)
    with pytest.raises(TypeError):
        a[0:2]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda a: a.compress([True]), ValueError, "lengths differ: self has 2 elements, mask has 1"),
        (lambda a: a.compress(array.array("h", [1, 0])), TypeError,
         "argument 'mask': expected a buffer of bools or bytes, got format 'h'"),
        (lambda a: a.compress([1, 0]), TypeError, "'int' object is not an instance of 'bool'"),
        (lambda a: a.compress(memoryview(b"\x01\x00").cast("B", (1, 2))), ValueError,
         "expected a buffer of shape (n,), got shape (1, 2)"),
        (lambda a: a.column(3), ValueError, "axis must be 0, 1 or 2, not 3"),
        (lambda a: VecList.from_columns([1, 2], [3], [4, 5]), ValueError, "lengths differ: x has 2 elements, y has 1"),
        (lambda a: VecList.from_columns([1], [3], []), ValueError, "lengths differ: x has 1 elements, z has 0"),
        (lambda a: a.divide_each([1.0]), ValueError, "lengths differ: self has 2 elements, divisors has 1"),
        (lambda a: a.inside([geometry.Plane.xy(), Vec3d(0, 0, 1)]), TypeError,
         "argument 'planes': 'Vec3d' object is not an instance of 'Plane'"),
        (lambda a: geometry.Plane.xy().signed_distance([Vec3d(0, 0, 1)]), TypeError,
         "argument 'point': 'list' object is not an instance of 'Vec3d | VecList'"),
    ],
)
def test_mask_column_and_plane_errors_leave_the_list_unchanged(call, error, message):
    a = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
    with pytest.raises(error) as info:
        call(a)
    assert message in str(info.value)
    assert [comps(v) for v in a] == [(1, 2, 3), (4, 5, 6)]


# Long gathers check their indices piece by piece on the pool; a negative one
# anywhere wins over one past the end anywhere.
NEGATIVE = (OverflowError, "^can't convert negative int to unsigned$")
PAST_END = (IndexError, "^Index out of bounds$")


@pytest.mark.parametrize("bad, error", [
    ({0: -1}, NEGATIVE), ({49_999: 7}, PAST_END), ({20_000: 7, 45_000: -3}, NEGATIVE),
    ({3: -2, 30_000: 2**40}, NEGATIVE), ({25_000: 2**63 + 5}, PAST_END),
])
@pytest.mark.parametrize("length", [0, 7])
def test_take_finds_a_bad_index_in_any_piece(bad, error, length):
    vl = VecList([Vec3d(i, 0, 0) for i in range(length)])
    indices = array.array("q" if min(bad.values()) < 0 else "Q", [i % 7 for i in range(50_000)])
    for i, v in bad.items():
        indices[i] = v
    with pytest.raises(error[0], match=error[1]):
        vl.take(indices)
    if length:
        for i in bad:
            indices[i] = 0
        assert [v.x for v in vl.take(indices)] == [float(i) for i in indices]


def test_take_reads_strided_buffers_and_any_sequence():
    items = [Vec3d(i, 0, 0) for i in range(4)]
    vl = VecList(items)
    strided = memoryview(array.array("h", [3, 99, 1, 99, 2])).cast("B").cast("h")[::2]
    assert [v.x for v in vl.take(strided)] == [3.0, 1.0, 2.0]
    assert [v.x for v in vl.take(range(3, -1, -1))] == [3.0, 2.0, 1.0, 0.0]
    assert [v.x for v in vl.take((True, 2))] == [1.0, 2.0]
    with pytest.raises(OverflowError):
        vl.take(range(-1, 2))


# --- the writable view -------------------------------------------------------------


def vl_abc():
    return VecList([Vec3d(1, 2, 3), Vec3d(4, 5, -6)])


def refusals(vl):
    """Every kind of use of vl while it is held for writing, and its error."""
    def attempt(fn):
        try:
            fn()
        except (RuntimeError, TypeError) as e:
            return type(e).__name__, str(e).split(":")[0]
        return None
    return {
        "len": attempt(lambda: len(vl)),
        "index": attempt(lambda: vl[0]),
        "sum": attempt(vl.sum),
        "take": attempt(lambda: vl.take([0])),
        "add_each": attempt(lambda: VecList([Vec3d(0, 0, 0)] * 2).add_each(vl)),
        "buffer": attempt(lambda: memoryview(vl)),
        "append": attempt(lambda: vl.append(Vec3d(0, 0, 0))),
        "writable": attempt(vl.writable),
        "operator": attempt(lambda: vl + Vec3d(0, 0, 0)),
    }


HELD = {
    "len": ("RuntimeError", READ_REFUSED), "index": ("RuntimeError", READ_REFUSED),
    "sum": ("RuntimeError", READ_REFUSED), "take": ("RuntimeError", READ_REFUSED),
    "add_each": ("RuntimeError", READ_REFUSED), "buffer": ("RuntimeError", READ_REFUSED),
    "append": ("RuntimeError", WRITE_REFUSED), "writable": ("RuntimeError", WRITE_REFUSED),
    "operator": ("TypeError", "unsupported operand type(s) for +"),
}


def test_writable_view_writes_in_place_and_holds_the_list():
    vl = vl_abc()
    view = vl.writable()
    m = memoryview(view)
    assert (m.shape, m.format, m.readonly, m.c_contiguous) == ((2, 3), "d", False, True)
    m[1, 2] = 6.0
    assert refusals(vl) == HELD
    m.release()
    assert refusals(vl) == HELD  # the view itself still holds it
    assert view.release() is None
    assert [comps(v) for v in vl] == [(1, 2, 3), (4, 5, 6)]
    assert all(r is None for name, r in refusals(vl).items() if name != "operator")


def test_leaving_the_block_with_a_buffer_alive_is_an_error():
    vl = vl_abc()
    with vl.writable() as view:
        memoryview(view)[0, 0] = 9.0
    assert vl[0].x == 9.0
    with pytest.raises(BufferError, match=r"^1 buffer\(s\) taken from the view are still alive"):
        with vl.writable() as view:
            kept = memoryview(view)
    assert refusals(vl) == HELD
    with pytest.raises(BufferError, match="^the writable view was released$"):
        memoryview(view)
    kept.release()
    assert len(vl) == 2


def test_a_dropped_view_releases_the_list():
    vl = vl_abc()
    view = vl.writable()
    del view
    gc.collect()
    vl.append(Vec3d(0, 0, 0))
    with pytest.raises(ValueError), vl.writable():
        raise ValueError("inside")
    assert len(vl) == 3


def test_writable_is_refused_while_the_list_is_read():
    vl = vl_abc()
    reader = memoryview(vl)
    with pytest.raises(RuntimeError, match=f"^{WRITE_REFUSED}$"):
        vl.writable()
    reader.release()
    with vl.writable() as view:
        assert memoryview(view).tolist() == [[1.0, 2.0, 3.0], [4.0, 5.0, -6.0]]


def test_writable_view_of_an_empty_list():
    vl = VecList.empty()
    with vl.writable() as view:
        assert memoryview(view).shape == (0, 3)
    assert len(vl) == 0


def test_masked_update_with_numpy():
    np = pytest.importorskip("numpy", reason="numpy is not installed for this interpreter")
    vl = VecList([Vec3d(1, 2, -3), Vec3d(4, 5, 6), Vec3d(0, 0, -0.5)])
    arr = np.asarray(vl.writable())
    arr[arr[:, 2] < 0, 2] *= -1
    assert refusals(vl) == HELD
    del arr
    assert [v.z for v in vl] == [3.0, 6.0, 0.5]
