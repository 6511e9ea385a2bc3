import math
import os
import pathlib
import struct
import sysconfig

import pytest
from hypothesis import HealthCheck, settings

# An interpreter built with ThreadSanitizer (which then also instruments this
# extension) runs a thread of its own in every process.
THREAD_SANITIZER = "-fsanitize=thread" in (sysconfig.get_config_var("PY_CFLAGS") or "")


# The source tree, for the tests of its documents and demonstration: named by
# QUORRAL_SOURCE when the suite runs elsewhere (as against an installed wheel).
SOURCE = pathlib.Path(os.environ.get("QUORRAL_SOURCE", "."))


# Property tests run derandomised, so that a commit gets the same verdict on every
# machine; `make test-explore` picks the explore profile with a random seed and
# QUORRAL_EXPLORE times the examples. Neither keeps an example database. No
# deadline and no too-slow check: a loaded, sanitized or emulated run is slow.
EXPLORE = int(os.environ.get("QUORRAL_EXPLORE", "1"))
_QUIET = [HealthCheck.too_slow]
settings.register_profile("ci", derandomize=True, database=None, deadline=None, print_blob=True,
                          suppress_health_check=_QUIET)
settings.register_profile("explore", derandomize=False, database=None, deadline=None, print_blob=True,
                          suppress_health_check=_QUIET, max_examples=100 * EXPLORE)
settings.load_profile("ci")


def examples(n: int) -> int:
    """A test's own example count, scaled up in exploring runs."""
    return n * EXPLORE


def source_file(relative: str) -> pathlib.Path:
    """A file of the source tree; skips the calling test module when there is none."""
    path = SOURCE / relative
    if not path.is_file():
        pytest.skip(f"{relative} not found under {SOURCE.resolve()} (set QUORRAL_SOURCE to the source tree)",
                    allow_module_level=True)
    return path


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
