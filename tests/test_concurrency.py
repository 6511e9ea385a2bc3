"""Threads sharing objects: every access sees a whole value or is refused with
the documented RuntimeError; nothing deadlocks or crashes."""

import sys
import threading
import time

import pytest

import quorral
import surface
from quorral import Vec3d

pytestmark = pytest.mark.thread_unsafe(reason="starts its own threads and sets the switch interval")

RUN_SECONDS = 0.4
JOIN_TIMEOUT = 30.0
READ_REFUSED = "Already mutably borrowed"
WRITE_REFUSED = "Already borrowed"


class NoPanic(BaseException):
    """Stands in for the internal-failure class until one can be provoked."""


PANIC = surface.panic_type() or NoPanic


@pytest.fixture(autouse=True, scope="module")
def frequent_switches():
    print(f"\nGIL enabled: {getattr(sys, '_is_gil_enabled', lambda: True)()}")
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def usable(name, *args, module=quorral):
    """The class when it has landed (an instance can be built), else skip."""
    cls = getattr(module, name, None)
    try:
        cls(*args)
    except Exception:  # noqa: BLE001 - not written yet
        pytest.skip(f"{name} has not landed")
    return cls


class Refusals:
    """Counts refused accesses; anything other than the documented refusal is re-raised."""

    def __init__(self):
        self.reads = self.writes = 0
        self.lock = threading.Lock()

    def read(self, fn, *args):
        try:
            return fn(*args)
        except RuntimeError as e:
            assert str(e) == READ_REFUSED, e
            with self.lock:
                self.reads += 1
            return None

    def write(self, fn, *args):
        try:
            fn(*args)
            return True
        except RuntimeError as e:
            assert str(e) == WRITE_REFUSED, e
            with self.lock:
                self.writes += 1
            return False


def hammer(*workers, seconds=RUN_SECONDS):
    """Runs each worker(stop) in its own thread until the time is up; re-raises the first failure."""
    stop = threading.Event()
    barrier = threading.Barrier(len(workers) + 1)
    errors = []

    def body(worker):
        try:
            barrier.wait(JOIN_TIMEOUT)
            while not stop.is_set():
                worker()
        except BaseException as e:  # noqa: BLE001 - handed to the test thread
            errors.append(e)
            stop.set()

    threads = [threading.Thread(target=body, args=(w,), daemon=True) for w in workers]
    for t in threads:
        t.start()
    barrier.wait(JOIN_TIMEOUT)
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "a thread did not finish (deadlock?)"
    if errors:
        raise errors[0]


def test_property_reader_and_writer_see_whole_values():
    v = Vec3d(1.0, 2.0, 3.0)
    values = (1.0, -7.5e300, 0.1)
    refusals = Refusals()
    seen = set()

    def reader():
        x = refusals.read(getattr, v, "x")
        if x is not None:
            seen.add(x)

    def writer():
        for value in values:
            refusals.write(setattr, v, "x", value)

    hammer(reader, writer)
    assert seen <= set(values)
    assert v.x in values


def test_shared_vector_mixed_operations():
    v = Vec3d(1.0, 2.0, 3.0)
    other = Vec3d(0.5, 0.5, 0.5)
    xs = (1.0, 4.0)
    refusals = Refusals()

    def reader():
        r = refusals.read(lambda: (v.dot(other), v.magnitude(), v.to_array(), repr(v), hash(v), v[0]))
        if r is not None:
            assert r[2][0] in xs and r[2][1:] == [2.0, 3.0]
        try:
            assert (v + other) is not None and (v * 2.0) is not None
        except TypeError:
            pass  # a refused operand reads as NotImplemented
        try:
            other == v  # noqa: B015
        except PANIC as e:  # the other operand is being written
            assert str(e.args[0]).startswith(READ_REFUSED)

    def writer():
        for x in xs:
            refusals.write(setattr, v, "x", x)

    hammer(reader, reader, writer)
    assert v.x in xs and (v.y, v.z) == (2.0, 3.0)


def test_shared_quat():
    Quat = usable("Quat", 1, 0, 0, 0)
    q = Quat(1.0, 0.0, 0.0, 0.0)
    p = Vec3d(1.0, 2.0, 3.0)
    refusals = Refusals()

    def reader():
        r = refusals.read(lambda: (q.rotate(p), q.magnitude(), repr(q)))
        if r is not None:
            assert r[0].to_array() in ([1.0, 2.0, 3.0], [4.0, 8.0, 12.0])
        try:
            Quat(1, 0, 0, 0) == q  # noqa: B015
        except PANIC as e:
            assert str(e.args[0]).startswith(READ_REFUSED)

    def writer():
        for w in (2.0, 1.0):
            refusals.write(setattr, q, "w", w)

    hammer(reader, reader, writer)
    assert q.w in (1.0, 2.0)


def test_shared_circle():
    Circle = usable("Circle", Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 1), module=quorral.geometry)
    c = Circle(Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 1))
    refusals = Refusals()

    def reader():
        r = refusals.read(lambda: (c.radius, c.area, c.center.to_array(), repr(c)))
        if r is not None:
            assert r[0] in (1.0, 2.0)

    def writer():
        for radius in (2.0, 1.0):
            refusals.write(setattr, c, "radius", radius)
        refusals.write(setattr, c, "center", Vec3d(0, 0, 0))

    hammer(reader, reader, writer)
    assert c.radius in (1.0, 2.0)


def test_shared_vec_list_batches_and_writes():
    VecList = usable("VecList", [])
    Quat = usable("Quat", 1, 0, 0, 0)
    element = Vec3d(1.0, 2.0, 3.0)
    vl = VecList([element] * 64)
    identity = Quat(1.0, 0.0, 0.0, 0.0)
    refusals = Refusals()
    expected_magnitude = element.magnitude()

    def batch_reader():
        r = refusals.read(lambda: (vl.magnitude(), vl.dot(element), len(vl), vl.to_array()))
        if r is not None:
            magnitudes, dots, _, array = r
            assert set(magnitudes) <= {expected_magnitude} and set(dots) <= {14.0}
            assert all(row == [1.0, 2.0, 3.0] for row in array)
        snapshot = refusals.read(lambda: list(iter(vl)))
        if snapshot is not None:
            assert all(e == element for e in snapshot)

    def writer():
        if len(vl) < 4096:
            refusals.write(vl.append, element)
            refusals.write(vl.extend, VecList([element, element]))
        refusals.write(vl.rotate, identity)  # identity leaves every element as it is

    hammer(batch_reader, batch_reader, writer)
    assert all(row == [1.0, 2.0, 3.0] for row in vl.to_array())


def test_concurrent_batch_jobs_give_single_thread_results():
    VecList = usable("VecList", [])
    lists = [VecList([Vec3d(i, j, 0.5) for j in range(300)]) for i in range(4)]
    probe = Vec3d(0.25, -1.0, 2.0)
    expected = [(vl.dot(probe), vl.distance_to(probe), vl.normalize().to_array(), vl.minimum_distance_to(probe, 7))
                for vl in lists]

    def job(index):
        def run():
            vl = lists[index % len(lists)]
            got = (vl.dot(probe), vl.distance_to(probe), vl.normalize().to_array(), vl.minimum_distance_to(probe, 7))
            assert got == expected[index % len(lists)]
        return run

    hammer(*[job(i) for i in range(6)])


def test_shared_quat_list_batches_and_writes():
    QuatList = usable("QuatList", [])
    Quat = usable("Quat", 1, 0, 0, 0)
    element = Quat(0.5, 0.5, -0.5, 0.5)
    ql = QuatList([element] * 64)
    vectors = quorral.VecList([Vec3d(1.0, 2.0, 3.0)] * 64)
    refusals = Refusals()
    composed = element.then(element)
    rotated = element.rotate(Vec3d(1.0, 2.0, 3.0))
    inverse = element.inverse()

    def batch_reader():
        r = refusals.read(lambda: (ql.then(ql), ql.inverse(), ql.rotate(Vec3d(1.0, 2.0, 3.0)), ql.to_array()))
        if r is not None:
            # Four calls, between which the writer may append: each sees whole elements.
            products, inverses, turned, array = r
            assert all(p == composed for p in products) and all(v == rotated for v in turned)
            assert all(q == inverse for q in inverses)
            assert all(row == [0.5, 0.5, -0.5, 0.5] for row in array)
        pairwise = refusals.read(lambda: ql.rotate(vectors) if len(ql) == 64 else None)
        if pairwise is not None:
            assert all(v == rotated for v in pairwise)
        snapshot = refusals.read(lambda: list(iter(ql)))
        if snapshot is not None:
            assert all(e == element for e in snapshot)

    def writer():
        if len(ql) < 4096:
            refusals.write(ql.append, element)
            refusals.write(ql.extend, QuatList([element, element]))
        refusals.write(vectors.rotate, Quat(1.0, 0.0, 0.0, 0.0))

    hammer(batch_reader, batch_reader, writer)
    assert all(row == [0.5, 0.5, -0.5, 0.5] for row in ql.to_array())


def test_shared_kd_tree_queries_and_builds():
    VecList = usable("VecList", [])
    KDTree = usable("KDTree", VecList([]))
    points = VecList([Vec3d(i % 11, (i * 7) % 5, i % 3) for i in range(500)])
    tree = KDTree(points)
    queries = VecList([Vec3d(i * 0.1, 2.0, 1.0) for i in range(100)])
    def answers():
        return (bytes(tree.nearest(queries, 4)[1]), bytes(tree.within(queries, 1.0)[1]),
                tree.count_within(Vec3d(5, 2, 1), 2.0), bytes(tree.normals(6)))

    expected = answers()
    refusals = Refusals()

    def reader():
        assert answers() == expected

    def builder():
        built = refusals.read(KDTree, points)
        if built is not None:
            assert len(built) >= 500 and built.nearest(Vec3d(0, 0, 0), 1)[1].tolist() == [0]

    def writer():
        if len(points) < 3000:
            refusals.write(points.append, Vec3d(100.0, 0, 0))

    hammer(reader, reader, builder, writer)
