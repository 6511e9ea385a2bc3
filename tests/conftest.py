import dataclasses
import math
import os
import platform
import pathlib
import struct
import subprocess
import sys
import sysconfig
import typing

import pytest
from hypothesis import HealthCheck, Phase, given, settings, strategies as st

# An interpreter built with ThreadSanitizer (which then also instruments this
# extension) runs a thread of its own in every process.
THREAD_SANITIZER = "-fsanitize=thread" in (sysconfig.get_config_var("PY_CFLAGS") or "")


# The source tree, for the tests of its documents and demonstration: named by
# QUORRAL_SOURCE when the suite runs elsewhere (as against an installed wheel).
SOURCE = pathlib.Path(os.environ.get("QUORRAL_SOURCE", "."))


# Property tests run derandomised, so that a commit gets the same verdict on every
# machine; `make test-explore` picks the explore profile with a random seed and
# QUORRAL_EXPLORE times the examples. None keeps an example database. No
# deadline and no too-slow check: a loaded, sanitized or emulated run is slow.
EXPLORE = int(os.environ.get("QUORRAL_EXPLORE", "1"))
_QUIET = [HealthCheck.too_slow]
settings.register_profile("ci", derandomize=True, database=None, deadline=None, print_blob=True,
                          suppress_health_check=_QUIET)
settings.register_profile("explore", derandomize=False, database=None, deadline=None, print_blob=True,
                          suppress_health_check=_QUIET, max_examples=100 * EXPLORE)
# ci with a tenth of the examples and no shrinking, for the suite under qemu-user.
settings.register_profile("emulated", parent=settings.get_profile("ci"), max_examples=10,
                          phases=[Phase.explicit, Phase.reuse, Phase.generate])
settings.load_profile("ci")


def examples(n: int) -> int:
    """A test's own example count, scaled up in exploring runs and down in emulated ones."""
    if settings.get_current_profile_name() == "emulated":
        return max(1, n // 10)
    return n * EXPLORE


def source_file(relative: str) -> pathlib.Path:
    """A file of the source tree; skips the calling test module when there is none."""
    path = SOURCE / relative
    if not path.is_file():
        pytest.skip(f"{relative} not found under {SOURCE.resolve()} (set QUORRAL_SOURCE to the source tree)",
                    allow_module_level=True)
    return path


def run_with_workers(script: str, workers, timeout=None, **env) -> str:
    """The standard output of `python -c script` in a new process whose pool has `workers` threads."""
    env = {**os.environ, "RAYON_NUM_THREADS": str(workers), **env}
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True,
                          timeout=timeout).stdout


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


@pytest.fixture
def panic_type():
    """The module's internal-failure exception class, found by provoking one."""
    import quorral

    try:
        quorral.VecList([]).collapse(3)
    except BaseException as e:  # noqa: BLE001 - the class is what we want
        if type(e).__name__ == "PanicException":
            return type(e)
    pytest.skip("no internal failure could be provoked")


STRESS_LINES = pytest.StashKey[list]()


def pytest_configure(config):
    # The marker of pytest-run-parallel, known also where the plugin is absent.
    config.addinivalue_line("markers", "thread_unsafe: run the test in one thread only")


@pytest.fixture
def stress_report(request):
    """Records one line about a stress test for the summary at the end of the run."""
    lines = request.config.stash.setdefault(STRESS_LINES, [])
    return lambda text: lines.append(f"{request.node.name}: {text}")


def pytest_terminal_summary(terminalreporter, config):
    lines = config.stash.get(STRESS_LINES, [])
    if lines:
        terminalreporter.section("stress: outcomes of the racing calls")
        for line in lines:
            terminalreporter.write_line(line)


def comps(v):
    return (v.x, v.y, v.z)


def same_float(got, want):
    """Bit-exact, except that any NaN matches any NaN."""
    assert type(got) is float
    assert (math.isnan(got) and math.isnan(want)) or bits(got) == bits(want), (got, want)


def same_vec(got, want):
    from quorral import Vec3d

    assert type(got) is Vec3d
    for g, w in zip(comps(got), comps(want)):
        same_float(g, w)


# --- batch members against their single methods, NaN bits included --------------
#
# A batch member is described by how it reads a list of elements and one shared
# operand, each a tuple of floats, and by the single method it repeats.
# Where two NaNs of different bits meet in one addition or multiplication, which
# comes out follows the compiler's operand order; docs/api.md names the members
# where the batch code may choose another one than the single method.

NAN_BITS = (0x7FF8000000000000, 0xFFF8000000000000, 0x7FF8000000000001, 0xFFF8000000000001,
            0x7FF80000DEADBEEF, 0xFFFC000000000123, 0x7FF0000000000001, 0xFFF4000000000000)


def from_bits(u: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", u))[0]


NANS = tuple(from_bits(u) for u in NAN_BITS)  # both signs, several payloads, quiet and signalling


@dataclasses.dataclass(frozen=True)
class Batch:
    """batch(elements, operand) gives one result per element (one in all for a
    reduction); single(element, operand) the single method's (for a reduction,
    single(elements, operand)). A lone NaN may go to the element positions
    `nan_in` (all when None) or, with `nan_in_operand`, to the operand. `exact`:
    the same bits even where NaNs meet."""

    batch: typing.Callable
    single: typing.Callable
    width: int
    operand: int = 0
    exact: bool = False
    reduction: bool = False
    nan_in: tuple | None = None
    nan_in_operand: bool = True
    # Machines (platform.machine()) where a lone NaN too may come out with another sign or payload.
    lone_nans_alike_on: tuple = ()


def words(result):
    """The bits of a result: a float, a bool or int (kept), a vector, a quaternion or a tuple of them."""
    if isinstance(result, float):
        return bits(result)
    if isinstance(result, int):
        return result
    if isinstance(result, tuple):
        return tuple(words(r) for r in result)
    names = ("w", "i", "j", "k") if hasattr(result, "w") else ("x", "y", "z")
    return tuple(bits(getattr(result, n)) for n in names)


def nan_alike(w):
    """The words with the bits of every NaN made alike, the rest kept (indices are far below NaN bits)."""
    if isinstance(w, (tuple, list)):
        return tuple(nan_alike(x) for x in w)
    if type(w) is int and (w >> 52) & 0x7FF == 0x7FF and w & ((1 << 52) - 1):
        return "NaN"
    return w


def check_batch(member: Batch, elements, operand, nans_alike: bool):
    got = [words(r) for r in member.batch(elements, operand)]
    if member.reduction:
        want = [words(member.single(elements, operand))]
    else:
        want = [words(member.single(e, operand)) for e in elements]
    if nans_alike:
        got, want = nan_alike(got), nan_alike(want)
    assert got == want, (elements, operand)


# Finite values whose products of a few cannot overflow, so that no infinity
# arises; any values, NaNs of every kind among them.
FINITE = st.floats(-1e60, 1e60)
ANY = st.one_of(st.floats(), st.sampled_from((0.0, -0.0, math.inf, -math.inf)), st.sampled_from(NANS),
                st.sampled_from(NANS))
SIZES = st.sampled_from((1, 2, 3, 4, 5, 7, 8, 9, 12, 13, 17, 31))  # blocks of two and four, and the rest


@st.composite
def lone_nans(draw, member: Batch):
    """Elements and an operand where at most one NaN enters each operation: one NaN
    in the operand, or one in every element (one in the list for a reduction)."""
    n = draw(SIZES)
    elements = [list(draw(st.tuples(*[FINITE] * member.width))) for _ in range(n)]
    operand = list(draw(st.tuples(*[FINITE] * member.operand)))
    positions = tuple(range(member.width)) if member.nan_in is None else member.nan_in
    places = (["operand"] if member.operand and member.nan_in_operand else []) + (["elements"] if positions else [])
    if draw(st.sampled_from(places)) == "operand":
        operand[draw(st.integers(0, member.operand - 1))] = draw(st.sampled_from(NANS))
    else:
        for e in [elements[draw(st.integers(0, n - 1))]] if member.reduction else elements:
            e[draw(st.sampled_from(positions))] = draw(st.sampled_from(NANS))
    return [tuple(e) for e in elements], tuple(operand)


@st.composite
def meeting_nans(draw, member: Batch):
    """Elements and an operand of any values: NaNs meet each other, infinities and zeros."""
    n = draw(SIZES)
    elements = [draw(st.tuples(*[ANY] * member.width)) for _ in range(n)]
    return elements, draw(st.tuples(*[ANY] * member.operand))


def batch_rule_tests(members: dict):
    """The two tests of the NaN rule over a table of batch members (id -> Batch)."""
    params = [pytest.param(m, id=name) for name, m in members.items()]

    @pytest.mark.parametrize("member", params)
    @settings(max_examples=examples(25))
    @given(data=st.data())
    def test_with_lone_nans_batch_is_single_bit_for_bit(member, data):
        check_batch(member, *data.draw(lone_nans(member)), nans_alike=platform.machine() in member.lone_nans_alike_on)

    @pytest.mark.parametrize("member", params)
    @settings(max_examples=examples(25))
    @given(data=st.data())
    def test_where_nans_meet_batch_is_single_but_for_the_named_exception(member, data):
        check_batch(member, *data.draw(meeting_nans(member)), nans_alike=not member.exact)

    return test_with_lone_nans_batch_is_single_bit_for_bit, test_where_nans_meet_batch_is_single_but_for_the_named_exception
