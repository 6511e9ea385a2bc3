"""Many threads on shared objects of every class, released together.

Without a global lock the calls really overlap; with one they only interleave
between calls, and the same checks must hold. Every exception has to be a
documented conflict, every value read has to be one that was written (never a
mix of two writes), every successful mutation has to show up exactly once, and
batch results have to match a single-threaded reference bit for bit.
"""

import collections
import enum
import json
import math
import os
import struct
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import pytest

import surface
from conftest import bits
from quorral import (AngleDegrees, AngleRadians, KDTree, Mat3, Quat, QuatList, RigidTransform, RigidTransformList,
                     Vec3d, VecList, geometry)

Circle, Plane = geometry.Circle, geometry.Plane
TILTED = Plane(Vec3d(1.0, 0.5, -0.25), 3.0)

pytestmark = pytest.mark.thread_unsafe(reason="starts its own threads")

THREADS = 8
ROUNDS = 150  # per thread, at least
# Without a global lock the threads also keep going for at least this long,
# and up to four times as long until some call has met a conflict: on a busy
# machine the threads of one race are not always on the cores together.
SECONDS = 0.2 if sysconfig.get_config_var("Py_GIL_DISABLED") else 0.0
MAX_ROUNDS = 40 * ROUNDS
DEADLINE = 20.0  # seconds per race; a slow build stops early instead of hanging
READ_REFUSED = "Already mutably borrowed"
WRITE_REFUSED = "Already borrowed"
PANIC = surface.panic_type()


class Conflict(enum.Flag):
    READ = enum.auto()  # RuntimeError: a reader met a writer
    WRITE = enum.auto()  # RuntimeError: a writer met a reader or writer
    OPERATOR = enum.auto()  # the interpreter's TypeError after NotImplemented
    PANIC = enum.auto()  # internal failure: == whose other operand is being written


def conflict_of(e: BaseException) -> Conflict | None:
    text = str(e)
    if type(e) is RuntimeError:
        return {READ_REFUSED: Conflict.READ, WRITE_REFUSED: Conflict.WRITE}.get(text)
    if type(e) is TypeError and (
        text.startswith("unsupported operand type(s) for ") or " not supported between instances of " in text
    ):
        return Conflict.OPERATOR
    if type(e) is PANIC and str(e.args[0]).startswith(READ_REFUSED):
        return Conflict.PANIC
    return None


REFUSED = object()


class Tally:
    """One thread's outcomes; a call either succeeds or ends in one of the conflicts it allows."""

    def __init__(self):
        self.counts = collections.Counter()
        self.conflicts = 0

    def call(self, allowed: Conflict, fn, *args):
        try:
            result = fn(*args)
        except BaseException as e:  # noqa: BLE001 - checked below
            kind = conflict_of(e)
            if kind is None or kind not in allowed:
                raise AssertionError(f"{getattr(fn, '__name__', fn)}: unexpected {type(e).__name__}: {e}") from e
            self.counts[kind.name] += 1
            self.conflicts += 1
            return REFUSED
        self.counts["ok"] += 1
        return result


def race(report, *roles, rounds=ROUNDS, seconds=SECONDS):
    """Runs THREADS threads, thread t calling roles[t % len(roles)](tally, t, round),
    all released by one barrier: `rounds` rounds each, then more (up to MAX_ROUNDS)
    until `seconds` have passed and a conflict has been met (or 4 * `seconds`).
    Re-raises the first failure and returns the summed tallies."""
    assert len(roles) <= THREADS
    barrier = threading.Barrier(THREADS)
    deadline = time.monotonic() + DEADLINE
    tallies = [Tally() for _ in range(THREADS)]
    errors = []
    met = threading.Event()

    def body(t):
        role, tally = roles[t % len(roles)], tallies[t]
        try:
            barrier.wait(DEADLINE)
            until = time.monotonic() + seconds
            for r in range(max(rounds, MAX_ROUNDS)):
                now = time.monotonic()
                if now > deadline or errors or (r >= rounds and now > until and (met.is_set() or now > until + 3 * seconds)):
                    break
                role(tally, t, r)
                if tally.conflicts and not met.is_set():
                    met.set()
        except BaseException as e:  # noqa: BLE001 - handed to the test thread
            errors.append(e)
            barrier.abort()

    threads = [threading.Thread(target=body, args=(t,), daemon=True) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(DEADLINE + 10)
    assert not any(th.is_alive() for th in threads), "a thread did not finish (deadlock?)"
    if errors:
        raise errors[0]
    total = sum((tally.counts for tally in tallies), collections.Counter())
    report(", ".join(f"{k} {total[k]}" for k in ["ok", *(c.name for c in Conflict)] if total[k]))
    return total


def exact(values) -> bytes:
    """The bit patterns of a flat sequence of floats, for bit-exact comparison."""
    return struct.pack(f"<{len(values)}d", *values)


def vec_bits(v: Vec3d) -> bytes:
    return exact(v.to_array())


def list_bits(vl: VecList | QuatList | RigidTransformList) -> bytes:
    return exact([c for row in vl.to_array() for c in row])


def combos(**choices):
    """Every assignment of one value per name, as dicts."""
    out = [{}]
    for name, values in choices.items():
        out = [{**d, name: v} for d in out for v in values]
    return out


def check(value, allowed, what):
    if value is not REFUSED:
        assert value in allowed, f"{what}: {value!r} was never written"


# Values whose bit patterns differ in both halves, so a torn double cannot pass.
VEC_VALUES = {"x": (1.0, -7.5e300, 0.1), "y": (2.0, 3.1e-310, -1e-9), "z": (3.0, 1.5e200, -0.7)}
QUAT_VALUES = {"w": (1.0, 0.5), "i": (0.0, -0.25), "j": (0.1, 2.0), "k": (-3.0, 1e-300)}


def test_vec3d_readers_writers_operators(stress_report):
    v = Vec3d(1.0, 2.0, 3.0)
    other = Vec3d(0.5, -0.25, 4.0)
    states = [Vec3d(**c) for c in combos(**VEC_VALUES)]
    components = {name: {bits(x) for x in values} for name, values in VEC_VALUES.items()}
    reprs = {repr(s) for s in states}
    hashes = {hash(s) for s in states}
    dots = {s.dot(other) for s in states}
    crosses = {vec_bits(s.cross(other)) for s in states}
    sums = {vec_bits(s + other) for s in states}
    doubled = {vec_bits(s * 2.0) for s in states}
    negated = {vec_bits(-s) for s in states}
    arrays = {vec_bits(s) for s in states}
    self_dots = {s.dot(s) for s in states}
    R, W, OP, P = Conflict.READ, Conflict.WRITE, Conflict.OPERATOR, Conflict.PANIC

    def writer(tally, t, r):
        for k in range(12):
            name = "xyz"[k % 3]
            tally.call(W, setattr, v, name, VEC_VALUES[name][(r + t + k) % 3])

    def reader(tally, t, r):
        for name in "xyz":
            x = tally.call(R, getattr, v, name)
            check(x if x is REFUSED else bits(x), components[name], name)
        check(tally.call(R, repr, v), reprs, "repr")
        check(tally.call(R, hash, v), hashes, "hash")
        check(tally.call(R, v.dot, other), dots, "dot")
        check(tally.call(R, lambda: vec_bits(v.cross(other))), crosses, "cross")
        check(tally.call(R, lambda: vec_bits(v)), arrays, "to_array")
        for i, name in enumerate("xyz"):
            x = tally.call(R, v.__getitem__, i)
            check(x if x is REFUSED else bits(x), components[name], f"[{i}]")

    def operators(tally, t, r):
        check(tally.call(OP, lambda: vec_bits(v + other)), sums, "+")
        check(tally.call(OP, lambda: vec_bits(v * 2.0)), doubled, "*")
        check(tally.call(OP, lambda: vec_bits(2.0 * v)), doubled, "reflected *")
        check(tally.call(R, lambda: vec_bits(-v)), negated, "unary -")
        # Either operand being written: the reflected == meets it as its other operand.
        assert tally.call(P, lambda: v == other) in (False, REFUSED)
        assert tally.call(P, lambda: other != v) in (True, REFUSED)
        assert tally.call(P, lambda: v == v) in (True, REFUSED)
        # One object passed twice is read once: both operands hold the same value.
        check(tally.call(OP, lambda: vec_bits(v - v)), {exact([0.0, 0.0, 0.0])}, "v - v")
        check(tally.call(R, v.distance_to, v), {0.0}, "distance to itself")
        check(tally.call(R, v.dot, v), self_dots, "dot with itself")

    race(stress_report, writer, reader, operators, reader, writer, operators, reader, operators)
    assert vec_bits(v) in arrays


MATRIX = Mat3(((1.5, -2.0, 0.25), (3.0, 0.1, -7.0), (0.3, 4.0, 2.0)))
RIGID = RigidTransform(Quat(0.9, 0.1, -0.3, 0.2).normalize(), Vec3d(1.5, -2.0, 0.25))


def test_mat3_and_rigid_transform_shared_by_readers_with_operands_being_written(stress_report):
    import pickle

    m, x = MATRIX, RIGID
    v = Vec3d(1.0, 2.0, 3.0)
    points = VecList([Vec3d(i * 0.37, -1.0 / (i + 1), math.cos(i)) for i in range(3000)])
    states = [Vec3d(**c) for c in combos(**VEC_VALUES)]
    products = {vec_bits(m @ s) for s in states}
    applied = {vec_bits(x.apply(s)) for s in states}
    vectors = {vec_bits(s) for s in states}
    moved = {vec_bits(x.then(RigidTransform.from_translation(s)).translation) for s in states}
    rows = {exact([c for r in Mat3.from_rows(s, s, s).rows for c in r.to_array()]) for s in states}
    text, key, entries = repr(m), hash(m), exact([c for r in m.to_array() for c in r])
    square, inverse, transformed = m @ m, m.inverse(), list_bits(points.transform(m))
    rigid_text, rigid_inverse, rigid_points = repr(x), x.inverse(), list_bits(x.apply(points))
    R, W, OP = Conflict.READ, Conflict.WRITE, Conflict.OPERATOR

    def writer(tally, t, r):
        for k in range(12):
            name = "xyz"[k % 3]
            tally.call(W, setattr, v, name, VEC_VALUES[name][(r + t + k) % 3])

    def reader(tally, t, r):
        check(tally.call(OP, lambda: vec_bits(m @ v)), products, "m @ v")
        got = tally.call(R, lambda: exact([c for r in Mat3.from_rows(v, v, v).rows for c in r.to_array()]))
        check(got, rows, "from_rows")
        built = tally.call(R, lambda: Mat3([v, v, v]))
        for row in () if built is REFUSED else built.rows:  # each row read whole, one after the other
            check(vec_bits(row), vectors, "Mat3 rows")
        assert tally.call(Conflict(0), repr, m) == text
        assert tally.call(Conflict(0), hash, m) == key
        assert tally.call(Conflict(0), lambda: memoryview(m).tobytes()) == entries
        assert tally.call(Conflict(0), lambda: pickle.loads(pickle.dumps(m))) == m
        check(tally.call(R, lambda: vec_bits(x.apply(v))), applied, "apply")
        check(tally.call(R, lambda: vec_bits(x.then(RigidTransform.from_translation(v)).translation)), moved, "then")
        assert tally.call(Conflict(0), repr, x) == rigid_text

    def operators(tally, t, r):
        assert tally.call(Conflict(0), lambda: m @ m) == square
        assert tally.call(Conflict(0), m.inverse) == inverse
        assert tally.call(Conflict(0), lambda: m == Mat3(m)) is True
        assert tally.call(Conflict(0), lambda: list_bits(points.transform(m))) == transformed
        assert tally.call(Conflict(0), x.inverse) == rigid_inverse
        assert tally.call(Conflict(0), lambda: list_bits(x.apply(points))) == rigid_points

    race(stress_report, writer, reader, operators, reader, writer, operators, reader, operators)


def test_quat_readers_writers_comparisons(stress_report):
    q = Quat(1.0, 0.0, 0.1, -3.0)
    p = Vec3d(1.0, -2.0, 0.5)
    states = [Quat(**c) for c in combos(**QUAT_VALUES)]
    components = {name: {bits(x) for x in values} for name, values in QUAT_VALUES.items()}
    reprs = {repr(s) for s in states}
    rotated = {vec_bits(s.rotate(p)) for s in states}
    magnitudes = {bits(s.magnitude()) for s in states}
    conjugates = {repr(s.conjugate()) for s in states}
    R, W, P = Conflict.READ, Conflict.WRITE, Conflict.PANIC

    def writer(tally, t, r):
        for k in range(12):
            name = "wijk"[(r + t + k) % 4]
            tally.call(W, setattr, q, name, QUAT_VALUES[name][(r + k // 4) % 2])

    def reader(tally, t, r):
        for name in "wijk":
            x = tally.call(R, getattr, q, name)
            check(x if x is REFUSED else bits(x), components[name], name)
        check(tally.call(R, repr, q), reprs, "repr")
        check(tally.call(R, lambda: vec_bits(q.rotate(p))), rotated, "rotate")
        check(tally.call(R, lambda: bits(q.magnitude())), magnitudes, "magnitude")
        check(tally.call(R, lambda: repr(q.conjugate())), conjugates, "conjugate")
        assert tally.call(P, lambda: q == Quat(9.0, 9.0, 9.0, 9.0)) in (False, REFUSED)
        assert tally.call(P, lambda: Quat(9.0, 9.0, 9.0, 9.0) != q) in (True, REFUSED)
        assert tally.call(P, lambda: q == q) in (True, REFUSED)

    race(stress_report, writer, reader, reader, writer, reader, reader, writer, reader)
    assert repr(q) in reprs


ANGLES = (0.5, -2.75, 1e-300, 3.0e10)


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_angles_readers_writers_operators(cls, stress_report):
    a = cls(ANGLES[0])
    b = cls(1.0)
    states = [cls(x) for x in ANGLES]
    reprs = {repr(s) for s in states}
    values = {bits(x) for x in ANGLES}
    negated = {bits(-x) for x in ANGLES}
    below = {x < 1.0 for x in ANGLES}
    if cls is AngleRadians:
        converted = {bits(s.to_degrees().angle) for s in states}
        derived = {bits(s.sin()) for s in states} | {bits(s.cos()) for s in states}
    else:
        converted = {bits(s.to_radians().angle) for s in states}
        derived = set()
    R, W, OP = Conflict.READ, Conflict.WRITE, Conflict.OPERATOR

    def writer(tally, t, r):
        for k in range(12):
            tally.call(W, setattr, a, "angle", ANGLES[(r + t + k) % len(ANGLES)])

    def reader(tally, t, r):
        check(tally.call(R, lambda: bits(a.angle)), values, "angle")
        check(tally.call(R, repr, a), reprs, "repr")
        check(tally.call(R, lambda: bits((-a).angle)), negated, "unary -")
        check(tally.call(OP, lambda: a < b), below, "<")
        # A refused operand reads as NotImplemented, and == falls back to identity.
        assert (a == b) is False and (a != b) is True
        if cls is AngleRadians:
            check(tally.call(R, lambda: bits(a.to_degrees().angle)), converted, "to_degrees")
            check(tally.call(R, lambda: bits(a.sin())), derived, "sin")
            check(tally.call(OP, lambda: bits((a * 1.0).angle)), values, "*")
            check(tally.call(OP, lambda: bits((a + AngleRadians(0.0)).angle)), values, "+")
            check(tally.call(OP, lambda: bits((a / 1.0).angle)), values, "/")
        else:
            check(tally.call(R, lambda: bits(a.to_radians().angle)), converted, "to_radians")

    race(stress_report, writer, reader, reader, reader, writer, reader, reader, reader)
    assert bits(a.angle) in values


def test_plane_and_circle_readers_writers(stress_report):
    normals = (Vec3d(0.0, 0.0, 2.0), Vec3d(0.6, -0.8, 0.0), Vec3d(1e-300, 7.0, -3.5))
    distances = (-3.0, 0.25, 1e10)
    centers = (Vec3d(0.0, 0.0, 0.0), Vec3d(1.5, -2.0, 1e-7))
    radii = (1.0, 2.5, -4.0)
    point = Vec3d(0.3, 0.4, 5.0)
    a, b = Vec3d(0.0, 0.0, -10.0), Vec3d(1.0, 2.0, 10.0)
    fixed = Circle(Vec3d(0.5, 0.0, 0.0), 1.0, Vec3d(0.0, 0.0, 1.0))

    def stored_plane(n, d):
        s = Plane(n, 0.0)
        s.normal, s.distance = n, d
        return s

    def stored_circle(c, r, n):
        s = Circle(c, 1.0, n)
        s.center, s.radius, s.normal = c, r, n
        return s

    def meets(s):
        try:
            return tuple(vec_bits(v) for v in geometry.circle_circle(s, fixed))
        except ValueError as e:
            return str(e)

    plane = stored_plane(normals[0], distances[0])
    circle = stored_circle(centers[0], radii[0], normals[0])
    planes = [stored_plane(n, d) for n in normals for d in distances]
    circles = [stored_circle(c, r, n) for c in centers for r in radii for n in normals]
    normal_bits = {vec_bits(n) for n in normals}
    center_bits = {vec_bits(c) for c in centers}
    distance_bits = {bits(d) for d in distances}
    radius_bits = {bits(r) for r in radii}
    plane_distances = {bits(s.distance_to_point(point)) for s in planes}
    crossings = {vec_bits(geometry.plane_line(s, a, b)) for s in planes}
    areas = {bits(s.area) for s in circles}
    circle_planes = {(vec_bits(s.get_plane().normal), bits(s.get_plane().distance)) for s in circles}
    meetings = {meets(s) for s in circles}
    R, W = Conflict.READ, Conflict.WRITE

    def writer(tally, t, r):
        for k in range(r + t, r + t + 10):
            write(tally, k)

    def write(tally, k):
        match k % 5:
            case 0: tally.call(W, setattr, plane, "normal", normals[k % 3])
            case 1: tally.call(W, setattr, plane, "distance", distances[k % 3])
            case 2: tally.call(W, setattr, circle, "center", centers[k % 2])
            case 3: tally.call(W, setattr, circle, "radius", radii[k % 3])
            case 4: tally.call(W, setattr, circle, "normal", normals[k % 3])

    def plane_reader(tally, t, r):
        check(tally.call(R, lambda: vec_bits(plane.normal)), normal_bits, "plane.normal")
        check(tally.call(R, lambda: bits(plane.distance)), distance_bits, "plane.distance")
        check(tally.call(R, lambda: bits(plane.distance_to_point(point))), plane_distances, "distance_to_point")
        check(tally.call(R, lambda: vec_bits(geometry.plane_line(plane, a, b))), crossings, "plane_line")
        assert tally.call(R, plane.contains_point, point) in (True, False, REFUSED)

    def circle_reader(tally, t, r):
        check(tally.call(R, lambda: vec_bits(circle.center)), center_bits, "circle.center")
        check(tally.call(R, lambda: vec_bits(circle.normal)), normal_bits, "circle.normal")
        check(tally.call(R, lambda: bits(circle.radius)), radius_bits, "circle.radius")
        check(tally.call(R, lambda: bits(circle.area)), areas, "area")
        check(tally.call(R, lambda: meets(circle)), meetings, "circle_circle")
        plane_of = tally.call(R, circle.get_plane)
        if plane_of is not REFUSED:
            assert (vec_bits(plane_of.normal), bits(plane_of.distance)) in circle_planes
        assert tally.call(R, geometry.circle_point, circle, point, True) in (True, False, REFUSED)
        assert tally.call(R, circle.in_same_plane, fixed) in (True, False, REFUSED)
        # Refused operands read as NotImplemented: identity decides.
        assert circle == circle and (circle == fixed) is False and circle != fixed

    race(stress_report, writer, plane_reader, circle_reader, plane_reader, writer, circle_reader, plane_reader,
         circle_reader)
    assert vec_bits(plane.normal) in normal_bits and bits(plane.distance) in distance_bits
    assert vec_bits(circle.center) in center_bits and bits(circle.radius) in radius_bits


# Per list class: an element made of (thread, round, tag), and a batch read.
LIST_KINDS = {
    "VecList": (VecList, lambda t, r, c: Vec3d(t, r, c), lambda vl: vl.magnitude()),
    "QuatList": (QuatList, lambda t, r, c: Quat(t, r, c, 0.5), lambda ql: ql.then(Quat(0.5, 0.5, 0.5, 0.5))),
    "RigidTransformList": (RigidTransformList, lambda t, r, c: RigidTransform(Quat(t, r, c, 0.5), Vec3d(c, r, t)),
                           lambda tl: tl.apply(Vec3d(0.5, 0.5, 0.5))),
}


@pytest.mark.parametrize("kind", LIST_KINDS)
def test_append_and_extend_are_neither_lost_nor_duplicated(kind, stress_report):
    cls, element, batch = LIST_KINDS[kind]
    target = cls([])
    done = [[] for _ in range(THREADS)]  # per thread: the element groups that went in
    snapshots = []
    R, W = Conflict.READ, Conflict.WRITE

    def grower(tally, t, r):
        if r < ROUNDS:
            if r % 2:
                group = [element(t, r, 0.0)]
                ok = tally.call(W, target.append, group[0])
            else:
                group = [element(t, r, 1.0), element(t, r, 2.0)]
                ok = tally.call(W, target.extend, cls(group))
            if ok is not REFUSED:
                done[t].append([tuple(row) for row in cls(group).to_array()])
        # A list extended with itself meets its own writer.
        assert tally.call(R | W, target.extend, target) is REFUSED

    def reader(tally, t, r):
        rows = tally.call(R, lambda: [tuple(row) for row in cls(list(iter(target))).to_array()])
        if rows is not REFUSED:
            snapshots.append(rows)
        tally.call(R, len, target)
        tally.call(R, batch, target)

    race(stress_report, grower, grower, reader, grower, grower, grower, reader, grower)
    final = [tuple(row) for row in target.to_array()]
    position = {row: i for i, row in enumerate(final)}
    per_thread = [[row for group in groups for row in group] for groups in done]
    assert len(final) == len(target) == len(position) == sum(map(len, per_thread))
    for t, rows in enumerate(per_thread):
        assert [row for row in final if row[0] == t] == rows, f"thread {t}"
    for group in (group for groups in done for group in groups):  # an extend lands as one block
        start = position[group[0]]
        assert final[start:start + len(group)] == group
    for rows in snapshots:  # each snapshot is the list as it stood at one moment
        mine = collections.defaultdict(list)
        for row in rows:
            mine[int(row[0])].append(row)
        for t, got in mine.items():
            assert got == per_thread[t][:len(got)], f"snapshot, thread {t}"


def test_rotate_is_never_seen_half_done(stress_report):
    start = VecList([Vec3d(i, 1.0 - i * 0.5, 2.0 ** -i) for i in range(48)])
    q = Quat.from_axis_angle(Vec3d(1.0, 2.0, 2.0).normalize(), AngleRadians(0.3))
    probe = Vec3d(0.25, -1.0, 2.0)
    rotators, rounds = 2, 60
    # Every state the list can pass through, one successful rotate after another.
    reference = VecList(start)
    states, dots, norms, doubled, texts = {}, {}, {}, {}, {}
    for k in range(rotators * rounds + 1):
        states[list_bits(reference)] = k
        dots[exact(reference.dot(probe))] = k
        norms[list_bits(reference.normalize())] = k
        doubled[list_bits(reference * 2.0)] = k
        texts[repr(reference)] = k
        reference.rotate(q)
    shared = VecList(start)
    applied = []
    R, W, OP = Conflict.READ, Conflict.WRITE, Conflict.OPERATOR

    def rotator(tally, t, r):
        if r >= rounds:
            return
        if tally.call(W, shared.rotate, q) is not REFUSED:
            applied.append(t)

    def reader(tally, t, r):
        check(tally.call(R, lambda: list_bits(shared)), states, "to_array")
        check(tally.call(R, lambda: exact(shared.dot(probe))), dots, "dot")
        check(tally.call(R, lambda: list_bits(shared.normalize())), norms, "normalize")
        check(tally.call(OP, lambda: list_bits(shared * 2.0)), doubled, "*")
        check(tally.call(R, repr, shared), texts, "repr")
        check(tally.call(R, lambda: list_bits(VecList(list(iter(shared))))), states, "iter")
        assert tally.call(R, len, shared) in (48, REFUSED)

    race(stress_report, rotator, reader, reader, reader, rotator, reader, reader, reader, rounds=rounds)
    # No rotate lost or applied twice: the final state counts the successful ones.
    assert states[list_bits(shared)] == len(applied)


def test_concurrent_batches_match_single_thread_bits(stress_report):
    n = 1500
    shared = VecList([Vec3d(math.sin(i) * 1e3, math.cos(i * 0.7), (i % 17) - 8.5) for i in range(n)])
    probe = Vec3d(0.25, -1.0, 2.0)
    q = Quat.from_axis_angle(Vec3d(0.0, 0.6, 0.8), AngleRadians(1.1))

    other = VecList([Vec3d(i * 0.37, -1.0 / (i + 1), math.cos(i)) for i in range(n)])
    factors = [0.5 + (i % 7) for i in range(n)]
    indices = [(i * 7919) % n for i in range(n)]
    plane = geometry.Plane(Vec3d(0.3, 1.0, -0.2), 0.5)

    poses = RigidTransformList.from_lists(QuatList([Quat(0.5, 0.5, 0.5 + i % 3, 1.0) for i in range(n)]), other)

    def rotated(vl):
        copy = VecList(vl)
        copy.rotate(q)
        return copy

    def reflected(vl):
        points, velocities = VecList(vl), VecList(other)
        points.reflect_off(plane, velocities)
        return list_bits(points) + list_bits(velocities)

    jobs = {
        "dot": lambda vl: exact(vl.dot(probe)),
        "cross": lambda vl: list_bits(vl.cross(probe)),
        "magnitude": lambda vl: exact(vl.magnitude()),
        "normalize": lambda vl: list_bits(vl.normalize()),
        "distance_to": lambda vl: exact(vl.distance_to(probe)),
        "distance_squared": lambda vl: exact(vl.distance_squared(probe)),
        "is_unit": lambda vl: tuple(vl.is_unit()),
        "collapse": lambda vl: list_bits(vl.collapse(1)),
        "minimum_distance_to": lambda vl: (vl.minimum_distance_to(probe, 7), vl.minimum_distance_to(probe, 1)),
        "rotate": lambda vl: list_bits(rotated(vl)),
        "+": lambda vl: list_bits(vl + probe),
        "-": lambda vl: list_bits(vl - probe),
        "*": lambda vl: list_bits(3.0 * vl),
        "/": lambda vl: list_bits(vl / 7.0),
        "repr": repr,
        "list": lambda vl: exact([c for v in vl.list for c in v.to_array()]),
        "add_each": lambda vl: list_bits(vl.add_each(other)),
        "sub_each": lambda vl: list_bits(other.sub_each(vl)),
        "cross_each": lambda vl: list_bits(vl.cross_each(other)),
        "dot_each": lambda vl: (vl.dot_each(other).tobytes(), vl.dot_each(probe).tobytes()),
        "distance_each": lambda vl: (vl.distance_each(other).tobytes(), vl.distance_each(probe).tobytes()),
        "dot_sum": lambda vl: exact([vl.dot_sum(other), vl.dot_sum(vl)]),
        "scale_each": lambda vl: list_bits(vl.scale_each(factors)),
        "add_scaled": lambda vl: list_bits(vl.add_scaled(other, 0.01)),
        "reflect_off": reflected,
        "sum": lambda vl: vec_bits(vl.sum()) + vec_bits(vl.mean()),
        "take": lambda vl: list_bits(vl.take(indices)),
        "compress": lambda vl: list_bits(vl.compress(vl.inside([TILTED]))),
        "slice": lambda vl: list_bits(vl.slice(-7, 3, -3)) + list_bits(vl.slice(1, None, 2)),
        "column": lambda vl: vl.column(2).tobytes(),
        "divide_each": lambda vl: list_bits(vl.divide_each(factors)),
        "perspective_divide": lambda vl: list_bits(vl.perspective_divide()),
        "signed_distance": lambda vl: TILTED.signed_distance(vl).tobytes(),
        "transform": lambda vl: list_bits(vl.transform(MATRIX)),
        "RigidTransform.apply": lambda vl: list_bits(RIGID.apply(vl)),
        "RigidTransformList.apply": lambda vl: list_bits(poses.apply(vl)),
        "RigidTransformList.then": lambda vl: list_bits(poses.then(RIGID)),
        "cross_covariance": lambda vl: repr((vl.cross_covariance(other, factors), vl.covariance())),
        "align_to": lambda vl: repr((vl.align_to(other, factors), vl.rotation_to(other))),
    }
    expected = {name: job(shared) for name, job in jobs.items()}
    names = list(jobs)

    def worker(tally, t, r):
        name = names[(t + r * THREADS) % len(names)]
        got = tally.call(Conflict(0), jobs[name], shared)
        assert got == expected[name], name

    race(stress_report, worker, rounds=2 * len(names), seconds=0.0)


def test_quat_list_batches_under_writers_match_single_thread_bits(stress_report):
    n = 1500
    shared = QuatList([Quat(math.cos(i), math.sin(i * 0.7), (i % 17) - 8.5, 0.1 * i) for i in range(n)])
    other = QuatList([Quat(0.5, -0.5, 0.5 + i % 3, 1.0 / (i + 1)) for i in range(n)])
    vectors = VecList([Vec3d(i, -1.5, 0.1 * i) for i in range(n)])
    q = Quat.from_axis_angle(Vec3d(0.0, 0.6, 0.8), AngleRadians(1.1))
    jobs = {
        "then": lambda ql: list_bits(ql.then(other)),
        "then-one": lambda ql: list_bits(ql.then(q)),
        "then-itself": lambda ql: list_bits(ql.then(ql)),
        "inverse": lambda ql: list_bits(ql.inverse()),
        "conjugate": lambda ql: list_bits(ql.conjugate()),
        "normalize": lambda ql: list_bits(ql.normalize()),
        "slerp": lambda ql: list_bits(ql.slerp(other, 0.3)),
        "slerp-one": lambda ql: list_bits(ql.slerp(q, -0.5)),
        "rotate": lambda ql: list_bits(ql.rotate(vectors)),
        "rotate-one": lambda ql: list_bits(ql.rotate(Vec3d(1.0, 2.0, 3.0))),
        "mean": lambda ql: exact([(m := ql.mean()).w, m.i, m.j, m.k]),
        "angle_to": lambda ql: bytes(ql.angle_to(other)),
        "angle_to-one": lambda ql: bytes(ql.angle_to(q)),
        "rotation_angle": lambda ql: bytes(ql.rotation_angle()),
        "random": lambda ql: list_bits(QuatList.random(len(ql), 5)),
        "from_axis_angles": lambda ql: list_bits(QuatList.from_axis_angles(vectors, [row[1] for row in ql.to_array()])),
        "from_rotation_vectors": lambda ql: list_bits(QuatList.from_rotation_vectors(vectors, 0.01)),
        "to_rotation_vectors": lambda ql: list_bits(ql.to_rotation_vectors()),
        "to_xyzw": lambda ql: bytes(ql.to_xyzw()),
        "to_wxyz": lambda ql: bytes(ql.to_wxyz()),
        "from_xyzw": lambda ql: list_bits(QuatList.from_xyzw(ql)),
        "from_wxyz": lambda ql: list_bits(QuatList.from_wxyz(ql)),
        "to_rotation_matrices": lambda ql: bytes(ql.to_rotation_matrices()),
        "to_applying_matrices": lambda ql: bytes(ql.to_applying_matrices()),
        "from_rotation_matrices": lambda ql: list_bits(QuatList.from_rotation_matrices(ql.to_rotation_matrices())),
        "from_applying_matrices": lambda ql: list_bits(QuatList.from_applying_matrices(ql.to_applying_matrices())),
        "to_euler": lambda ql: bytes(ql.to_euler("ZYX")),
        "from_euler": lambda ql: list_bits(QuatList.from_euler("xyx", ql.to_euler("xyz"))),
        "repr": repr,
        "list": lambda ql: exact([c for e in ql.list for c in (e.w, e.i, e.j, e.k)]),
        "export": lambda ql: bytes(memoryview(ql)),
    }
    expected = {name: job(shared) for name, job in jobs.items()}
    names = list(jobs)
    R, W = Conflict.READ, Conflict.WRITE

    def worker(tally, t, r):
        name = names[(t + r * THREADS) % len(names)]
        got = tally.call(R, jobs[name], shared)
        assert got is REFUSED or got == expected[name], name

    def writer(tally, t, r):
        # Writes that change nothing: a batch running at that moment makes them fail, and they make
        # readers fail, but every result that comes back is the unchanged list's.
        for target in (shared, other, vectors):
            tally.call(W, target.extend, type(target).empty())

    race(stress_report, worker, worker, worker, writer, worker, worker, worker, writer, rounds=2 * len(names))
def test_threads_query_one_tree_and_build_others(stress_report):
    n = 3000
    shared = KDTree(VecList([Vec3d(i % 13 * 0.5, math.sin(i) * 3, (i % 7) - 3.0) for i in range(n)]))
    queries = VecList([Vec3d(math.cos(i) * 4, i % 5 - 2.0, math.sin(i * 0.3) * 3) for i in range(400)])
    growing = VecList([Vec3d(i, -i, 0.5 * i) for i in range(64)])

    def answers(tree, qs):
        d, i = tree.nearest(qs, 5)
        offsets, found = tree.within(qs, 1.0)
        return (bytes(d), bytes(i), bytes(offsets), bytes(found), bytes(tree.count_within(qs, 2.0)),
                bytes(tree.normals(4)))

    def one_by_one(tree, q):
        d, i = tree.nearest(q, 3)
        return bytes(d), bytes(i), bytes(tree.within(q, 1.5)), tree.count_within(q, 0.5)

    expected = answers(shared, queries)
    singles = [one_by_one(shared, queries[j]) for j in range(16)]
    R, W = Conflict.READ, Conflict.WRITE

    def batch_reader(tally, t, r):
        assert tally.call(Conflict(0), answers, shared, queries) == expected

    def single_reader(tally, t, r):
        for j in range(16):
            assert tally.call(Conflict(0), one_by_one, shared, queries[j]) == singles[j]

    def builder(tally, t, r):
        # Builds from a list other threads append to: refused while a writer is in, else a tree of one moment.
        tree = tally.call(R, KDTree, growing)
        if tree is not REFUSED:
            m = len(tree)
            assert m >= 64 and tree.nearest(Vec3d(0, 0, 0), 1)[1].tolist() == [0]
            assert tree.count_within(Vec3d(0, 0, 0), math.inf) == m and len(tree.normals(3)) == m

    def appender(tally, t, r):
        if len(growing) < 2000:
            tally.call(W, growing.append, Vec3d(1000.0 + r, 0, 0))

    race(stress_report, batch_reader, single_reader, builder, appender, batch_reader, single_reader, builder,
         single_reader)


def test_writable_views_race_with_readers_and_appenders(stress_report):
    n = 24
    values = [tuple(VEC_VALUES[c][k] for c in "xyz") for k in range(3)]
    appended = values[0]
    shared = VecList([Vec3d(*appended)] * n)
    appends = []
    R, W, OP = Conflict.READ, Conflict.WRITE, Conflict.OPERATOR

    def rows_of(flat):
        return [tuple(flat[i:i + 3]) for i in range(0, len(flat), 3)]

    def valid(rows):
        # One write's rows, then rows appended since; never a write half done.
        first = rows[0]
        p = next((i for i, r in enumerate(rows) if r != first), len(rows))
        return first in values and all(r == appended for r in rows[p:])

    def writer(tally, t, r):
        view = tally.call(W, shared.writable)
        if view is REFUSED:
            return
        k = (t + r) % len(values)
        with view:
            m = memoryview(view)
            for i in range(m.shape[0]):
                m[i, 0], m[i, 1], m[i, 2] = values[k]
            assert rows_of(m.cast("B").cast("d").tolist()) == [values[k]] * m.shape[0], "another writer came in"
            m.release()

    def reader(tally, t, r):
        for got in (tally.call(R, lambda: shared.to_array()), tally.call(R, lambda: shared.take(range(n)).to_array())):
            if got is not REFUSED:
                assert valid([tuple(row) for row in got]), got
        tally.call(R, shared.sum)
        tally.call(OP, lambda: shared + Vec3d(0, 0, 0))
        tally.call(R, len, shared)

    def appender(tally, t, r):
        if r < 40 and tally.call(W, shared.append, Vec3d(*appended)) is not REFUSED:
            appends.append(t)

    race(stress_report, writer, reader, appender, reader, writer, reader, appender, reader)
    assert len(shared) == n + len(appends)
    assert valid([tuple(row) for row in shared.to_array()])


def test_shared_iterator_yields_each_element_once(stress_report):
    n = 3000
    it = iter(VecList([Vec3d(i, 0.0, 0.0) for i in range(n)]))
    taken = [[] for _ in range(THREADS)]
    ended = []

    def taker(tally, t, r):
        while True:  # until this thread sees the end; refusals only repeat the attempt
            v = tally.call(Conflict.WRITE, next, it, None)
            if v is None:
                ended.append(t)
                return
            if v is not REFUSED:
                taken[t].append(int(v.x))

    race(stress_report, taker, rounds=1, seconds=0.0)
    assert sorted(ended) == list(range(THREADS))
    for mine in taken:
        assert mine == sorted(mine)
    assert sorted(i for mine in taken for i in mine) == list(range(n))
    assert next(it, None) is None


FIRST_USE = textwrap.dedent("""
    import json, sys, threading

    barrier = threading.Barrier({threads})
    seen = [None] * {threads}

    def first_use(t):
        barrier.wait()
        import quorral
        from quorral import geometry
        steps = [
            lambda: ("iterator", id(type(iter(quorral.VecList([quorral.Vec3d(t, 0, 0)]))))),
            lambda: ("pool", quorral.VecList([quorral.Vec3d(3, 4, 0)] * (t + 2)).magnitude() == [5.0] * (t + 2)),
            lambda: ("panic", id(panic_class(quorral))),
            lambda: ("circle", id(type(geometry.Circle(quorral.Vec3d(0, 0, 0), 1.0, quorral.Vec3d(0, 0, 1))))),
            lambda: ("module", (id(quorral), id(geometry), id(quorral.Vec3d), id(geometry.Plane))),
            lambda: ("floats", (quorral.VecList([quorral.Vec3d(1, 2, 3)] * (t + 1)).dot_each(quorral.Vec3d(1, 1, 1))
                                .tolist() == [6.0] * (t + 1), quorral._float_arrays())),
        ]
        out = dict(steps[(t + i) % len(steps)]() for i in range(len(steps)))
        seen[t] = out

    def panic_class(quorral):
        try:
            quorral.VecList([]).collapse(3)
        except BaseException as e:
            return type(e)

    threads = [threading.Thread(target=first_use, args=(t,)) for t in range({threads})]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    json.dump(seen, sys.stdout)
""")


@pytest.mark.parametrize("workers", ["1", "3"])
def test_threads_racing_on_first_use_in_a_fresh_process(workers, stress_report):
    env = dict(os.environ, RAYON_NUM_THREADS=workers)
    done = subprocess.run([sys.executable, "-c", FIRST_USE.format(threads=THREADS)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    assert None not in seen, "a thread failed"
    assert all(s == seen[0] for s in seen), seen
    assert seen[0]["pool"] is True
    assert done.stderr.count(": assertion failed: axis <= 2\n") == THREADS
    stress_report(f"{THREADS} threads agree on every process-wide object")
