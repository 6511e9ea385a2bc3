"""Every member, called in a loop on its success and failure paths, keeps the
number of allocated blocks bounded and the reference counts of its arguments
unchanged."""

import gc
import sys

import pytest

import quorral
import surface

pytestmark = [
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
    # Allocated blocks are counted for the whole process, and the watched
    # arguments are shared by every thread that runs the same case.
    pytest.mark.thread_unsafe(reason="measures process-wide allocations and shared reference counts"),
]

SAMPLES = surface.find_samples()
SEEDS = surface.seeds_for(SAMPLES)
LOOPS = 1000
# Bounded growth: well below one block per call, above the interpreter's own
# caches and free lists settling.
MAX_GROWTH = LOOPS // 10
EXPECTED_FAILURES = (*surface.ALLOWED, StopIteration)

CAUSE = KeyError("inner")


class Unconvertible:
    """Neither a number nor an instance of any class of the module."""


class FloatTypeError:
    """Its float conversion fails with a TypeError that has a cause."""

    def __float__(self):
        raise TypeError("no float here") from CAUSE

    def __index__(self):
        raise TypeError("no index here") from CAUSE


FAILING = [Unconvertible(), FloatTypeError()]


def receiver_factory(member):
    if not surface.needs_receiver(member):
        return None
    return SAMPLES[member.owner][0].make


def paths():
    """(member, receiver factory, success args or None, failing args list)."""
    out = []
    for member in surface.members(SAMPLES):
        if member.kind == "rbinop":
            continue
        make = receiver_factory(member)
        ok = None if member.kind == "del" else surface.valid_args(member, make, SEEDS)
        if member.kind in ("unop", "get"):
            failing = []
        elif member.params:
            failing = [[bad] + list(ok or SEEDS[: len(member.params)])[1:] for bad in FAILING]
        else:
            failing = [[bad] for bad in FAILING]
        if ok is None and not failing:
            continue
        out.append((member, make, ok, failing))
    return out


PATHS = paths()


def run(member, receiver, args, expect_failure):
    try:
        member.call(receiver, args)
    except EXPECTED_FAILURES as e:
        exhausted = isinstance(e, StopIteration) and member.name == "next"  # one receiver, many calls
        if not expect_failure and not exhausted:
            raise
    else:
        # ==, != and `in` answer any operand
        assert not expect_failure or member.name in ("==", "!=", "in"), f"{member.label}{tuple(args)!r} succeeded"


@pytest.fixture(autouse=True, scope="module")
def quick_collections():
    """Earlier tests' objects go to the permanent generation, so collecting here is cheap."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def block_growth(fn):
    """Blocks gained over LOOPS calls, after as many to warm up. A growth past the bound is
    measured once more and the smaller count kept: a leak grows again, while an allocator or
    interpreter cache that settles late (the free-threaded allocator's, numpy's) does not."""
    for _ in range(LOOPS):
        fn()

    def measure():
        gc.collect()
        start = sys.getallocatedblocks()
        for _ in range(LOOPS):
            fn()
        gc.collect()
        return sys.getallocatedblocks() - start

    growth = measure()
    return growth if growth < MAX_GROWTH else min(growth, measure())


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


@pytest.mark.parametrize("member, make, ok, failing", PATHS, ids=[p[0].label for p in PATHS])
def test_no_leak(member, make, ok, failing):
    calls = []
    if ok is not None:
        calls.append((ok, False))
    calls.extend((args, True) for args in failing)
    for args, expect_failure in calls:
        fresh = make or (lambda: None)

        def once():
            run(member, fresh(), args, expect_failure)

        growth = block_growth(once)
        assert growth < MAX_GROWTH, f"{member.label}{tuple(args)!r}: {growth} blocks after {LOOPS} calls"

        receiver = fresh()
        watched = [receiver, CAUSE, *args] if receiver is not None else [CAUSE, *args]
        before = refcounts(watched)
        for _ in range(100):
            run(member, receiver, args, expect_failure)
        gc.collect()
        assert refcounts(watched) == before, f"{member.label}{tuple(args)!r}: reference counts changed"


def test_paths_cover_the_surface():
    if not PATHS:
        pytest.skip("no class of the module has landed")
    assert {p[0].owner for p in PATHS} >= {"Vec3d"}
    # Every method and property setter has a path that succeeds.
    missing = [p[0].label for p in PATHS if p[2] is None and p[0].kind in ("method", "set", "ctor")]
    assert not missing, missing


def _interop_paths():
    import pickle

    vl = quorral.VecList([quorral.Vec3d(1, 2, 3), quorral.Vec3d(4, 5, 6)])
    spread = memoryview(bytes(96))[::2]  # the list's 48 bytes, non-contiguous

    def out_of_band(obj):
        return pickle.dumps(obj, 5, buffer_callback=lambda b: False)

    paths = {
        "reduce-5": (lambda: pickle.dumps(vl, 5), [vl]),
        "reduce-out-of-band": (lambda: pickle.loads(out_of_band(vl), buffers=[spread]), [vl, spread]),
        "reconstruct-strided": (lambda: quorral._reconstruct("VecList", spread), [spread]),
        "reconstruct-refused": (lambda: _fails(quorral._reconstruct, "Vec3d", 5), []),
        "array-bad-keyword": (lambda: _fails(vl.__array__, order="C"), [vl]),
    }
    try:
        import numpy
    except ImportError:
        return paths
    paths["array"] = (lambda: vl.__array__(copy=True), [vl])
    paths["asarray"] = (lambda: numpy.asarray(vl, dtype=numpy.float32), [vl])
    return paths


def _fails(fn, *args, **kwargs):
    with pytest.raises((TypeError, ValueError)):
        fn(*args, **kwargs)


INTEROP = _interop_paths()


@pytest.mark.parametrize("name", INTEROP)
def test_no_leak_in_pickle_and_numpy_paths(name):
    fn, watched = INTEROP[name]
    growth = block_growth(fn)
    assert growth < MAX_GROWTH, f"{name}: {growth} blocks after {LOOPS} calls"
    before = refcounts(watched)
    for _ in range(100):
        fn()
    gc.collect()
    assert refcounts(watched) == before, f"{name}: reference counts changed"
