"""VecList arrays large enough for huge pages, past the cache."""

import json
import math
import os
import random
import struct
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from conftest import bits, examples
from quorral import Quat, Vec3d, VecList

BLOCK = 1000
COPIES = 1500  # 1.5 million vectors, 36 MB


def comps(v):
    return (v.x, v.y, v.z)


def same_float(got, want):
    """Bit-exact, except that any NaN matches any NaN (as everywhere in the suite)."""
    assert (math.isnan(got) and math.isnan(want)) or bits(got) == bits(want), (got, want)


def same_vec(got, want):
    for g, w in zip(comps(got), comps(want)):
        same_float(g, w)


@pytest.fixture(scope="module")
def block():
    rng = random.Random(13)
    items = [Vec3d(rng.uniform(-1e3, 1e3), rng.uniform(-1e3, 1e3), rng.uniform(-1e3, 1e3)) for _ in range(BLOCK - 3)]
    return items + [Vec3d(0.0, 0.0, 0.0), Vec3d(-0.0, 1e-300, float("inf")), Vec3d(float("nan"), 2.0, -3.0)]


@pytest.fixture(scope="module")
def big(block):
    vl = VecList.empty()
    base = VecList(block)
    for _ in range(COPIES):
        vl.extend(base)
    return vl


def sample(n):
    """First and last elements, those around halves, quarters and 2 MB boundaries, and random ones."""
    picks = {0, 1, n - 2, n - 1}
    for k in (2, 4, 8, 16):
        for j in range(1, k):
            picks.update(range(max(0, j * n // k - 2), min(n, j * n // k + 2)))
    page = (2 << 20) // 24
    for p in range(page, n, page):
        picks.update((p - 1, p, p + 1))
    picks.update(random.Random(5).sample(range(n), 300))
    return sorted(picks)


def test_extend_into_large_arrays_keeps_every_element(big, block):
    assert len(big) == BLOCK * COPIES
    for i in sample(len(big)):
        same_vec(big[i], block[i % BLOCK])


@pytest.mark.parametrize(
    "name, batch, single",
    [
        ("*", lambda vl: vl * 1.5, lambda v: v * 1.5),
        ("r*", lambda vl: -3.0 * vl, lambda v: -3.0 * v),
        ("/", lambda vl: vl / 7.0, lambda v: v / 7.0),
        ("+", lambda vl: vl + Vec3d(0.25, -1.5, 2.0), lambda v: v + Vec3d(0.25, -1.5, 2.0)),
        ("-", lambda vl: vl - Vec3d(0.25, -1.5, 2.0), lambda v: v - Vec3d(0.25, -1.5, 2.0)),
        ("cross", lambda vl: vl.cross(Vec3d(0.25, -1.5, 2.0)), lambda v: v.cross(Vec3d(0.25, -1.5, 2.0))),
        ("normalize", lambda vl: vl.normalize(), lambda v: v.normalize()),
        ("collapse", lambda vl: vl.collapse(2), lambda v: Vec3d(v.x, v.y, 0.0)),
    ],
)
def test_large_vector_results_match_single_vectors(big, block, name, batch, single):
    got = batch(big)
    assert type(got) is VecList and len(got) == len(big)
    for i in sample(len(big)):
        same_vec(got[i], single(block[i % BLOCK]))


@pytest.mark.parametrize("name", ["dot", "distance_squared", "magnitude"])
def test_large_float_results_match_single_vectors(big, block, name):
    other = Vec3d(0.25, -1.5, 2.0)
    call = (lambda v: getattr(v, name)()) if name == "magnitude" else (lambda v: getattr(v, name)(other))
    got = call(big)
    assert len(got) == len(big)
    for i in sample(len(big)):
        same_float(got[i], call(block[i % BLOCK]))


OTHER = Vec3d(0.25, -1.5, 2.0)


@pytest.fixture(scope="module")
def other(big):
    return big * 0.5 - OTHER


# Results of 4 MB and more (float arrays too) are allocated for huge pages and first touched by the pool.
@pytest.mark.parametrize(
    "name, batch, single",
    [
        ("add_each", lambda a, b: a.add_each(b), lambda x, y: x + y),
        ("sub_each", lambda a, b: a.sub_each(b), lambda x, y: x - y),
        ("cross_each", lambda a, b: a.cross_each(b), lambda x, y: x.cross(y)),
        ("add_scaled", lambda a, b: a.add_scaled(b, 0.01), lambda x, y: x + y * 0.01),
        ("dot_each", lambda a, b: a.dot_each(b), lambda x, y: x.dot(y)),
        ("distance_each", lambda a, b: a.distance_each(b), lambda x, y: x.distance_to(y)),
    ],
)
def test_large_pairwise_results_match_single_vectors(big, other, block, name, batch, single):
    got = batch(big, other)
    assert len(got) == len(big)
    same = same_vec if type(got) is VecList else same_float
    for i in sample(len(big)):
        x = block[i % BLOCK]
        same(got[i], single(x, x * 0.5 - OTHER))


def test_growth_after_a_batch_result(big, block):
    out = big * 2.0
    n = len(out)
    out.append(Vec3d(1.0, 2.0, 3.0))
    out.extend(VecList(block[:10]))
    out.extend(VecList(out))
    assert len(out) == 2 * (n + 11)
    for i in sample(n):
        same_vec(out[i], block[i % BLOCK] * 2.0)
        same_vec(out[n + 11 + i], block[i % BLOCK] * 2.0)
    for base in (n, 2 * n + 11):
        same_vec(out[base], Vec3d(1.0, 2.0, 3.0))
        for j in range(10):
            same_vec(out[base + 1 + j], block[j])


def test_rotate_of_a_large_list(big, block):
    vl = big * 1.0
    before = iter(vl)
    q = Quat(0.5, -0.5, 0.5, 0.5)
    assert vl.rotate(q) is None
    assert len(vl) == len(big)
    for i in sample(len(vl)):
        same_vec(vl[i], q.rotate(block[i % BLOCK]))
    for i, v in enumerate(before):
        if i % 4099 == 0:
            same_vec(v, block[i % BLOCK])


def test_iterator_and_copy_of_a_large_list(big, block):
    copy = VecList(big)
    assert len(copy) == len(big)
    for i in sample(len(copy)):
        same_vec(copy[i], block[i % BLOCK])


specials = st.sampled_from([0.0, -0.0, 1e-310, -1e308, float("inf"), -float("inf"), float("nan"), -float("nan"),
                            struct.unpack("<d", struct.pack("<Q", 0x7FF4000000000123))[0],
                            struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000001))[0]])
components = st.floats(allow_nan=True, allow_infinity=True) | specials
moderate = st.floats(-8.0, 8.0)  # of like sizes, whose sums round differently in another order
mixed = components | moderate


# Elements are normalized four or two at a time and rotated four at a time;
# every position of a group, and the last elements of a piece, give the single
# method's bits. Lists this short run as one piece, so the padding moves each
# item through every position.
POSITIONED = {
    "normalize": (lambda vl, q: vl.normalize(), lambda v, q: v.normalize()),
    "rotate": (lambda vl, q: vl.rotate(q) or vl, lambda v, q: q.rotate(v)),
}


@pytest.mark.parametrize("name", POSITIONED)
@settings(max_examples=examples(300))
@given(st.lists(st.builds(Vec3d, mixed, mixed, mixed), max_size=9), st.integers(0, 70),
       st.builds(Quat, moderate, moderate, moderate, moderate) | st.builds(Quat, mixed, mixed, mixed, mixed))
def test_bit_exact_in_every_position(name, items, padding, q):
    batch, single = POSITIONED[name]
    items = [Vec3d(1.0, 2.0, 3.0)] * padding + items + [Vec3d(-4.0, 0.5, 2.0)] * (padding % 5)
    got = batch(VecList(items), q)
    for i, v in enumerate(items):
        same_vec(got[i], single(v, q))


MEMORY_SCRIPT = """
import json
import math
from quorral import Quat, Vec3d, VecList

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

base = VecList([Vec3d(i, -i, 0.5 * i) for i in range(1000)])
vl = VecList.empty()
for _ in range(4000):
    vl.extend(base)
results = {}
for name, op in [("scale", lambda: vl * 2.0), ("cross", lambda: vl.cross(Vec3d(1.0, 2.0, 3.0)))]:
    before = rss()
    out = op()
    results[name] = rss() - before
    del out
# the peak, since an array replaced within the call would be gone again after it
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = rss()
vl.rotate(Quat(0.5, 0.5, 0.5, 0.5))
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
results["rotate"] = peak - before
print(json.dumps({"n": len(vl), "growth": results}))
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_outputs_take_24_bytes_per_element_and_rotate_none():
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True, check=True)
    result = json.loads(out.stdout)
    want = 24 * result["n"]
    rotate = result["growth"].pop("rotate")
    for name, growth in result["growth"].items():
        assert 0.95 * want <= growth <= 1.05 * want, (name, growth, want)
    assert rotate <= 0.05 * want


REUSE_SCRIPT = """
import ctypes
import json
import resource
from quorral import Vec3d, VecList

ctypes.CDLL(None).prctl(41, 1, 0, 0, 0)  # PR_SET_THP_DISABLE: every 4 kB page first touched faults

vl = VecList([Vec3d(i, -i, 0.5 * i) for i in range(300_000)])  # 7.2 MB per array
mid = vl.take(bytes(100_000))  # 2.4 MB
def step():
{step}
for _ in range(3):
    step()
before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
for _ in range(10):
    step()
print(json.dumps(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before))
"""


# Freed arrays of 1 MB to 32 MB stay mapped, several of them, for the next of their sizes.
@pytest.mark.thread_unsafe(reason="runs a subprocess")
@pytest.mark.parametrize(
    "step",
    [
        "    vl * 2.0\n    vl.normalize()",
        "    a = vl * 2.0\n    b = a.sub_each(vl)\n    c = b.cross_each(vl)\n    d = c.normalize()\n"
        "    del a, b\n    e = d.add_each(c)\n    del c, d, e",
        "    a = mid * 2.0\n    b = vl * 2.0\n    c = a.sub_each(mid)\n    del a\n    d = b.normalize()\n    del b, c, d",
    ],
    ids=["one at a time", "four at a time", "two sizes"],
)
def test_repeated_mid_sized_outputs_touch_no_new_pages(step):
    script = REUSE_SCRIPT.format(step=step)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert json.loads(out.stdout) < 10


RELEASE_SCRIPT = """
import json
from quorral import Vec3d, VecList

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

one = VecList([Vec3d(1.0, 2.0, 3.0)])
index = bytes(16_400_000)
before = rss()
big = one.take(index)  # 393 MB
held = rss() - before
del big
after_big = rss() - before
mids = [one.take(index[:300_000 + i]) for i in range(20)]  # 7.2 MB each
del mids
after_mids = rss() - before
print(json.dumps({"bytes": 24 * len(index), "held": held, "after_big": after_big, "after_mids": after_mids}))
"""


# A freed list above 32 MB is unmapped at once; of freed mid-sized ones at most 64 MB stay mapped.
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_freed_lists_return_their_memory():
    out = subprocess.run([sys.executable, "-c", RELEASE_SCRIPT], capture_output=True, text=True, check=True)
    result = json.loads(out.stdout)
    assert result["held"] >= 0.95 * result["bytes"]
    assert result["after_big"] <= 0.02 * result["bytes"]
    assert result["after_mids"] <= (64 + 8) << 20
