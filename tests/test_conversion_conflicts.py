"""Access conflicts caused by Python code that runs while a call converts its
arguments, and whole values under concurrent multi-word writes."""

import sys
import threading
import time

import pytest

import quorral
from quorral import AngleRadians, Vec3d
Circle, Plane = quorral.geometry.Circle, quorral.geometry.Plane

WRITE_REFUSED = "Already borrowed"
JOIN_TIMEOUT = 30.0


class Writes:
    """A number whose conversion assigns `attr` of `target` and records the outcome."""

    def __init__(self, target, attr="x", value=9.0, result=2.0):
        self.target, self.attr, self.value, self.result = target, attr, value, result
        self.outcome = None

    def _convert(self):
        try:
            setattr(self.target, self.attr, self.value)
            self.outcome = "written"
        except RuntimeError as e:
            self.outcome = str(e)
        return self.result

    def __float__(self):
        return self._convert()

    def __index__(self):
        return int(self._convert())


def v123():
    return Vec3d(1.0, 2.0, 3.0)


def bits(v):
    return [c.hex() for c in v.to_array()]


# (name, build receiver, call with receiver and the converting number, attribute
#  written, outcome of the write, expected result from the unchanged receiver)
REFUSED = [
    ("vec * number", v123, lambda v, s: v * s, "x", lambda: v123() * 2.0),
    ("vec / number", v123, lambda v, s: v / s, "x", lambda: v123() / 2.0),
    ("vec[number]", v123, lambda v, s: v[s], "x", lambda: 3.0),
    ("angle * number", lambda: AngleRadians(1.5), lambda a, s: a * s, "angle", lambda: AngleRadians(3.0)),
    ("angle / number", lambda: AngleRadians(1.5), lambda a, s: a / s, "angle", lambda: AngleRadians(0.75)),
    ("Circle(center, number, normal)", v123,
     lambda v, s: Circle(v, s, Vec3d(0.0, 0.0, 1.0)).center, "x", v123),
    ("Plane(normal, number)", v123, lambda v, s: Plane(v, s).distance, "x", lambda: Plane(v123(), 2.0).distance),
]


@pytest.mark.parametrize("name, make, call, attr, expected", REFUSED, ids=[r[0] for r in REFUSED])
def test_conversion_writing_an_entered_object_is_refused(name, make, call, attr, expected):
    obj = make()
    before = getattr(obj, attr)
    number = Writes(obj, attr)
    result = call(obj, number)
    assert number.outcome == WRITE_REFUSED
    assert getattr(obj, attr) == before
    if isinstance(result, Vec3d):
        assert bits(result) == bits(expected())
    else:
        assert result == expected()


def test_reflected_multiply_converts_the_number_before_entering_the_vector():
    v = v123()
    number = Writes(v)
    result = number * v
    assert number.outcome == "written"
    assert bits(result) == bits(Vec3d(18.0, 4.0, 6.0))


def test_setter_converts_before_entering_the_receiver():
    v = v123()
    number = Writes(v, attr="y", value=7.0, result=5.0)
    v.x = number
    assert number.outcome == "written"
    assert bits(v) == bits(Vec3d(5.0, 7.0, 3.0))


def test_operands_of_the_same_object_read_together():
    v = v123()
    assert bits(v + v) == bits(Vec3d(2.0, 4.0, 6.0))
    assert v.dot(v) == 14.0
    assert v == v


@pytest.fixture
def switch_often():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(*bodies, seconds=0.3):
    """Runs each body in a loop on its own thread until time is up; re-raises the first failure."""
    barrier = threading.Barrier(len(bodies))
    errors = []
    deadline = [0.0]

    def loop(body):
        try:
            barrier.wait()
            deadline[0] = deadline[0] or time.monotonic() + seconds
            while time.monotonic() < deadline[0]:
                body()
        except BaseException as e:  # noqa: BLE001 - handed to the main thread
            errors.append(e)

    threads = [threading.Thread(target=loop, args=(b,)) for b in bodies]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
        assert not t.is_alive()
    if errors:
        raise errors[0]


def refused_or(fn, message):
    try:
        return fn()
    except RuntimeError as e:
        assert str(e) == message
        return None


@pytest.mark.usefixtures("switch_often")
@pytest.mark.thread_unsafe(reason="starts its own threads and sets the switch interval")
def test_multi_word_values_are_read_whole_while_written():
    """Each write stores a whole vector; every read sees one of those, never a mix."""
    ones, twos = Vec3d(1.0, 1.0, 1.0), Vec3d(2.0, 2.0, 2.0)
    circle = Circle(ones, 1.0, twos)
    plane = Plane(ones, 1.0)
    plane.normal = ones
    state = {"i": 0}

    def write():
        state["i"] += 1
        pick = ones if state["i"] % 2 else twos
        refused_or(lambda: setattr(circle, "center", pick), WRITE_REFUSED)
        refused_or(lambda: setattr(plane, "normal", pick), WRITE_REFUSED)

    def whole(v):
        assert v is None or v.to_array() in ([1.0] * 3, [2.0] * 3), v

    def read():
        whole(refused_or(lambda: circle.center, "Already mutably borrowed"))
        whole(refused_or(lambda: plane.normal, "Already mutably borrowed"))
        c = refused_or(lambda: Circle(circle.center, 1.0, twos), "Already mutably borrowed")
        whole(c and c.center)

    run_threads(write, read, read)


@pytest.mark.usefixtures("switch_often")
@pytest.mark.thread_unsafe(reason="starts its own threads and sets the switch interval")
def test_list_built_from_vectors_being_written_holds_whole_values():
    vectors = [Vec3d(1.0, 1.0, 1.0) for _ in range(8)]
    values = {1.0, 2.0}

    def write():
        for v in vectors:
            value = 3.0 - v.x
            for attr in "xyz":
                try:
                    setattr(v, attr, value)
                except RuntimeError as e:
                    assert str(e) == WRITE_REFUSED

    def read():
        try:
            items = quorral.VecList(vectors).to_array()
        except RuntimeError as e:
            assert str(e) == "Already mutably borrowed"
            return
        assert all(c in values for item in items for c in item)

    run_threads(write, read)
