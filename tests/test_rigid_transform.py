import array
import copy
import math
import pickle
import struct

import pytest
from hypothesis import given, settings, strategies as st

from conftest import Batch, batch_rule_tests, bits, examples, run_with_workers
from quorral import AngleRadians, Mat3, Quat, QuatList, RigidTransform, RigidTransformList, Vec3d, VecList

NAN = float("nan")
ULP = 2.0**-52

Q = Quat(0.9, 0.1, -0.3, 0.2).normalize()
P = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
X = RigidTransform(Q, Vec3d(1.5, -2.0, 0.25))
Y = RigidTransform(P, Vec3d(0.0, 3.0, -1.0))


def qwords(q):
    return tuple(bits(c) for c in (q.w, q.i, q.j, q.k))


def vwords(v):
    return tuple(bits(c) for c in (v.x, v.y, v.z))


def twords(x):
    return qwords(x.rotation) + vwords(x.translation)


FINITE = st.floats(-1e6, 1e6)
VECTORS = st.tuples(FINITE, FINITE, FINITE).map(lambda c: Vec3d(*c))
UNIT_QUATS = (st.tuples(*[st.floats(-1, 1)] * 4).filter(lambda q: sum(c * c for c in q) > 1e-6)
              .map(lambda q: Quat(*q).normalize()))
TRANSFORMS = st.builds(RigidTransform, UNIT_QUATS, VECTORS)


def test_construction_and_properties():
    assert twords(X) == qwords(Q) + vwords(Vec3d(1.5, -2.0, 0.25))
    assert twords(RigidTransform.identity()) == qwords(Quat(1, 0, 0, 0)) + vwords(Vec3d(0, 0, 0))
    assert twords(RigidTransform.from_rotation(Q)) == qwords(Q) + vwords(Vec3d(0, 0, 0))
    assert twords(RigidTransform.from_translation(Vec3d(1, 2, 3))) == qwords(Quat(1, 0, 0, 0)) + vwords(Vec3d(1, 2, 3))
    assert RigidTransform(rotation=Q, translation=Vec3d(1.5, -2.0, 0.25)) == X
    with pytest.raises(AttributeError):
        X.rotation = Q
    x = RigidTransform(Q, Vec3d(1, 2, 3))
    x.translation.x = 5.0  # a copy: the transform keeps its value
    assert x.translation.x == 1.0


@pytest.mark.parametrize("args, message", [
    ((Vec3d(1, 2, 3), Vec3d(1, 2, 3)), "argument 'rotation': 'Vec3d' object is not an instance of 'Quat'"),
    ((Q, (1, 2, 3)), "argument 'translation': 'tuple' object is not an instance of 'Vec3d'"),
])
def test_constructor_refuses(args, message):
    with pytest.raises(TypeError) as e:
        RigidTransform(*args)
    assert str(e.value) == message


@settings(max_examples=examples(100))
@given(TRANSFORMS, VECTORS)
def test_apply_is_rotate_then_add(x, p):
    assert vwords(x.apply(p)) == vwords(x.rotation.rotate(p) + x.translation)


def test_apply_to_a_list_is_apply_to_each_element():
    points = [Vec3d(i * 0.37, -1.0 / (i + 1), math.cos(i)) for i in range(5000)]
    got = X.apply(VecList(points))
    assert type(got) is VecList
    assert [vwords(g) for g in got] == [vwords(X.apply(p)) for p in points]
    assert len(X.apply(VecList.empty())) == 0


def test_apply_refuses_other_operands():
    with pytest.raises(TypeError, match=r"^argument 'points': 'tuple' object is not an instance of 'Vec3d \| VecList'$"):
        X.apply((1, 2, 3))


@settings(max_examples=examples(100))
@given(TRANSFORMS, TRANSFORMS, VECTORS)
def test_then_formula_and_order(a, b, p):
    z = a.then(b)
    assert qwords(z.rotation) == qwords(a.rotation.then(b.rotation))
    assert vwords(z.translation) == vwords(b.apply(a.translation))
    scale = 1 + p.magnitude() + a.translation.magnitude() + b.translation.magnitude()
    assert (z.apply(p) - b.apply(a.apply(p))).magnitude() <= 32 * ULP * scale


@settings(max_examples=examples(100))
@given(TRANSFORMS, VECTORS)
def test_inverse_formula_and_round_trip(x, p):
    inv = x.inverse()
    assert qwords(inv.rotation) == qwords(x.rotation.inverse())
    assert vwords(inv.translation) == vwords(-inv.rotation.rotate(x.translation))
    scale = 1 + p.magnitude() + x.translation.magnitude()
    assert (inv.apply(x.apply(p)) - p).magnitude() <= 32 * ULP * scale


def test_equality_and_hash_are_exact():
    assert X == RigidTransform(Q, Vec3d(1.5, -2.0, 0.25)) and not X != RigidTransform(Q, Vec3d(1.5, -2.0, 0.25))
    assert X != Y
    assert RigidTransform(Quat(-Q.w, -Q.i, -Q.j, -Q.k), X.translation) != X  # the same rotation, another quaternion
    assert RigidTransform.from_translation(Vec3d(-0.0, 0, 0)) == RigidTransform.identity()
    assert hash(RigidTransform.from_translation(Vec3d(-0.0, 0, 0))) == hash(RigidTransform.identity())
    n = RigidTransform.from_translation(Vec3d(NAN, 0, 0))
    assert n != n
    assert hash(X) == hash(RigidTransform(Q, Vec3d(1.5, -2.0, 0.25))) and hash(X) != hash(Y)
    assert X != (Q, X.translation)


def test_text_form():
    assert repr(Y) == "RigidTransform(Quat(0.7071067811865476, -0, -0, -0.7071067811865475), Vec3d(0, 3, -1))"
    assert str(RigidTransform.identity()) == "RigidTransform(Quat(1, 0, 0, 0), Vec3d(0, 0, 0))"
    assert twords(eval(repr(X), {"RigidTransform": RigidTransform, "Quat": Quat, "Vec3d": Vec3d})) == twords(X)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_keeps_bits(protocol):
    x = RigidTransform(Quat(NAN, -0.0, 1e-310, 0.5), Vec3d(-0.0, float("inf"), 3))
    assert twords(pickle.loads(pickle.dumps(x, protocol))) == twords(x)
    assert twords(copy.copy(x)) == twords(x) and twords(copy.deepcopy(x)) == twords(x)


# --- homogeneous matrices -----------------------------------------------------------

def test_to_matrix_is_the_rotation_matrix_and_the_translation():
    m = X.to_matrix()
    r = Mat3.from_rotation(Q)
    assert [[bits(c) for c in row[:3]] for row in m[:3]] == [[bits(c) for c in row] for row in r.to_array()]
    assert [row[3] for row in m] == [1.5, -2.0, 0.25, 1.0]
    assert m[3] == [0.0, 0.0, 0.0, 1.0]


@settings(max_examples=examples(100))
@given(TRANSFORMS)
def test_from_matrix_gives_back_the_transform(x):
    back = RigidTransform.from_matrix(x.to_matrix())
    s = -1.0 if back.rotation.dot(x.rotation) < 0 else 1.0
    for a, b in zip((back.rotation.w, back.rotation.i, back.rotation.j, back.rotation.k),
                    (x.rotation.w, x.rotation.i, x.rotation.j, x.rotation.k)):
        assert abs(a * s - b) <= 4 * ULP
    assert vwords(back.translation) == vwords(x.translation)
    assert abs(back.rotation.magnitude() - 1) <= 2 * ULP


def test_from_matrix_sources():
    np = pytest.importorskip("numpy")
    m = np.array(X.to_matrix())
    for source in (m, np.asfortranarray(m), X.to_matrix(), [tuple(r) for r in X.to_matrix()]):
        got = RigidTransform.from_matrix(source)
        assert vwords(got.translation) == vwords(X.translation)
        assert (got.rotation.rotate(Vec3d(1, 2, 3)) - Q.rotate(Vec3d(1, 2, 3))).magnitude() < 1e-14


def test_against_scipy():
    np = pytest.importorskip("numpy")
    rotation = pytest.importorskip("scipy.spatial.transform").Rotation
    rng = np.random.default_rng(2)
    for r in rotation.random(30, random_state=4):
        t = rng.normal(size=3)
        h = np.eye(4)
        h[:3, :3], h[:3, 3] = r.as_matrix(), t
        x = RigidTransform.from_matrix(h)
        points = rng.normal(size=(100, 3)) * 10
        got = np.asarray(x.apply(VecList.from_buffer(points)))
        assert np.abs(got - (r.apply(points) + t)).max() < 1e-13
        assert np.abs(np.array(x.to_matrix()) - h).max() < 1e-15


ROW = (0.0, 0.0, 0.0, 1.0)


@pytest.mark.parametrize("matrix, message", [
    ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 2]], "the last row is (0, 0, 0, 2), not (0, 0, 0, 1)"),
    ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0.5, 0, 1]], "the last row is (0, 0.5, 0, 1), not (0, 0, 0, 1)"),
    ([[2, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], ROW], "the rows of the 3x3 block are 3 from orthonormal, more than 1e-9"),
    ([[1, 1e-8, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], ROW],
     "the rows of the 3x3 block are 0.00000001 from orthonormal, more than 1e-9"),
    ([[1, 0, 0, 0], [0, NAN, 0, 0], [0, 0, 1, 0], ROW],
     "the rows of the 3x3 block are NaN from orthonormal, more than 1e-9"),
    ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, -1, 0], ROW], "the 3x3 block is a reflection (determinant -1)"),
])
def test_from_matrix_refuses_what_is_not_rigid(matrix, message):
    with pytest.raises(ValueError) as e:
        RigidTransform.from_matrix(matrix)
    assert str(e.value) == "not a rigid transform: " + message


@pytest.mark.parametrize("source, error, message", [
    ([[1, 0, 0], [0, 1, 0], [0, 0, 1]], ValueError, "expected a sequence of 4 rows of 4 floats, got length 3"),
    ([[1, 0, 0, 0], [0, 1, 0], [0, 0, 1, 0], ROW], ValueError,
     "expected a sequence of 4 rows of 4 floats, got row 1 of length 3"),
    (array.array("d", [0.0] * 16), ValueError, "expected a buffer of shape (4, 4), got shape (16,)"),
    (array.array("f", [0.0] * 16), TypeError, "argument 'matrix': expected a buffer of float64 (format 'd'), got format 'f'"),
    ("abcd", TypeError, "argument 'matrix': 'str' object is not an instance of 'Sequence'"),
])
def test_from_matrix_refuses_shapes_and_types(source, error, message):
    with pytest.raises(error) as e:
        RigidTransform.from_matrix(source)
    assert str(e.value) == message


def test_near_orthonormal_matrices_are_taken_and_normalised():
    m = X.to_matrix()
    m[0][0] += 1e-10
    x = RigidTransform.from_matrix(m)
    assert abs(x.rotation.magnitude() - 1) <= 2 * ULP


# --- the list form on the pool ----------------------------------------------------------

def transforms_of(elements, at=0):
    return RigidTransformList([RigidTransform(Quat(*e[at:at + 4]), Vec3d(*e[at + 4:at + 7])) for e in elements])


def one(e, at=0):
    return RigidTransform(Quat(*e[at:at + 4]), Vec3d(*e[at + 4:at + 7]))


def parts(x):
    """A transform as the tuple the batch tables compare."""
    return x.rotation, x.translation


NAN_RULE = {
    "RigidTransformList.apply(Vec3d)": Batch(lambda es, o: transforms_of(es).apply(Vec3d(*o)),
                                             lambda e, o: one(e).apply(Vec3d(*o)), 7, 3, nan_in=(4, 5, 6)),
    "RigidTransformList.apply(VecList)": Batch(
        lambda es, o: transforms_of(es).apply(VecList([Vec3d(*e[7:]) for e in es])),
        lambda e, o: one(e).apply(Vec3d(*e[7:])), 10, nan_in=(4, 5, 6, 7, 8, 9)),
    "RigidTransformList.then(RigidTransform)": Batch(lambda es, o: map(parts, transforms_of(es).then(one(o))),
                                                     lambda e, o: parts(one(e).then(one(o))), 7, 7,
                                                     nan_in_operand=False),
    "RigidTransformList.then(RigidTransformList)": Batch(
        lambda es, o: map(parts, transforms_of(es).then(transforms_of(es, 7))),
        lambda e, o: parts(one(e).then(one(e, 7))), 14, nan_in=(0, 1, 2, 3, 4, 5, 6)),
    "RigidTransformList.inverse": Batch(lambda es, o: map(parts, transforms_of(es).inverse()),
                                        lambda e, o: parts(one(e).inverse()), 7, nan_in=(4, 5, 6)),
    "apply(VecList)": Batch(
        lambda es, o: RigidTransform(Quat(*o[:4]), Vec3d(*o[4:])).apply(VecList([Vec3d(*e) for e in es])),
        lambda e, o: RigidTransform(Quat(*o[:4]), Vec3d(*o[4:])).apply(Vec3d(*e)), 3, 7, nan_in_operand=False),
}

test_nan_rule_with_lone_nans, test_nan_rule_where_nans_meet = batch_rule_tests(NAN_RULE)


APPLY_SCRIPT = """
import hashlib, math
from quorral import Quat, RigidTransform, Vec3d, VecList
x = RigidTransform(Quat(0.9, 0.1, -0.3, 0.2).normalize(), Vec3d(1.5, -2.0, 0.25))
points = VecList([Vec3d(math.sin(i) * 1e3, math.cos(i * 0.7), (i % 17) - 8.5) for i in range({n})])
print(hashlib.sha256(memoryview(x.apply(points)).cast("B")).hexdigest())
"""


@pytest.mark.parametrize("workers", ["1", "2", "4"])
def test_apply_is_independent_of_workers(workers):
    import hashlib

    n = 50_000
    points = [Vec3d(math.sin(i) * 1e3, math.cos(i * 0.7), (i % 17) - 8.5) for i in range(n)]
    want = hashlib.sha256(struct.pack(f"<{3 * n}d", *(c for p in points for c in X.apply(p).to_array()))).hexdigest()
    assert run_with_workers(APPLY_SCRIPT.format(n=n), workers, timeout=120).strip() == want


# --- RigidTransformList ---------------------------------------------------------------

POSES = [RigidTransform(Quat(math.cos(i), math.sin(i * 0.7), 0.3, -0.2).normalize(),
                        Vec3d(i * 0.5, -1.0 / (i + 1), math.cos(i))) for i in range(300)]


def test_list_container():
    tl = RigidTransformList(POSES)
    assert len(tl) == 300 and [twords(x) for x in tl] == [twords(x) for x in POSES]
    assert twords(tl[7]) == twords(POSES[7]) and [twords(x) for x in tl.list] == [twords(x) for x in POSES]
    assert tl.to_array()[1] == [*POSES[1].rotation.to_vec3d()[:0], POSES[1].rotation.w, *POSES[1].rotation.to_vec3d(),
                                *POSES[1].translation.to_array()]
    tl.append(X)
    assert twords(tl[300]) == twords(X)
    assert len(RigidTransformList.empty()) == 0
    assert repr(RigidTransformList([X, Y])) == f"[{X!r}\n{Y!r}]"
    back = pickle.loads(pickle.dumps(tl))
    assert [twords(x) for x in back] == [twords(x) for x in tl]
    view = memoryview(tl)
    assert view.shape == (301, 7) and view.readonly
    view.release()
    assert [twords(x) for x in RigidTransformList.from_buffer(memoryview(tl))] == [twords(x) for x in tl]
    assert [twords(x) for x in tl.compress([i % 2 == 0 for i in range(301)])] == [twords(x) for x in tl][::2]


def test_list_from_lists_rotations_translations():
    rotations = QuatList([x.rotation for x in POSES])
    translations = VecList([x.translation for x in POSES])
    tl = RigidTransformList.from_lists(rotations, translations)
    assert [twords(x) for x in tl] == [twords(x) for x in POSES]
    assert [qwords(q) for q in tl.rotations()] == [qwords(x.rotation) for x in POSES]
    assert [vwords(v) for v in tl.translations()] == [vwords(x.translation) for x in POSES]
    with pytest.raises(ValueError, match="^lengths differ: rotations has 300 elements, translations has 1$"):
        RigidTransformList.from_lists(rotations, VecList([Vec3d(1, 2, 3)]))


def test_list_members_are_the_single_methods():
    tl = RigidTransformList(POSES)
    points = VecList([Vec3d(i, -0.5 * i, 3.0) for i in range(300)])
    assert [vwords(v) for v in tl.apply(Vec3d(1, 2, 3))] == [vwords(x.apply(Vec3d(1, 2, 3))) for x in POSES]
    assert [vwords(v) for v in tl.apply(points)] == [vwords(x.apply(p)) for x, p in zip(POSES, points)]
    assert [twords(z) for z in tl.then(X)] == [twords(x.then(X)) for x in POSES]
    others = RigidTransformList(POSES[::-1])
    assert [twords(z) for z in tl.then(others)] == [twords(x.then(y)) for x, y in zip(POSES, POSES[::-1])]
    assert [twords(z) for z in tl.inverse()] == [twords(x.inverse()) for x in POSES]


@pytest.mark.parametrize("call, error, message", [
    (lambda tl: tl.apply(VecList([Vec3d(1, 2, 3)])), ValueError, "lengths differ: self has 300 elements, points has 1"),
    (lambda tl: tl.then(RigidTransformList([X])), ValueError, "lengths differ: self has 300 elements, other has 1"),
    (lambda tl: tl.apply((1, 2, 3)), TypeError,
     "argument 'points': 'tuple' object is not an instance of 'Vec3d | VecList'"),
    (lambda tl: tl.then(Quat(1, 0, 0, 0)), TypeError,
     "argument 'other': 'Quat' object is not an instance of 'RigidTransform | RigidTransformList'"),
    (lambda tl: RigidTransformList([X, Vec3d(1, 2, 3)]), TypeError,
     "'Vec3d' object is not an instance of 'RigidTransform'"),
])
def test_list_refusals_leave_it_unchanged(call, error, message):
    tl = RigidTransformList(POSES)
    with pytest.raises(error) as e:
        call(tl)
    assert message in str(e.value)
    assert [twords(x) for x in tl] == [twords(x) for x in POSES]
