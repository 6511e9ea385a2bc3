"""The Dask examples of docs/api.md against the same computation in one call:
a local cluster of two worker processes, and the threaded scheduler (the case
of the free-threaded build)."""

import re
import subprocess
import sys
import sysconfig

import pytest

pytest.importorskip("numpy", reason="numpy is not installed for this interpreter")
pytest.importorskip("dask.array", reason="dask[array] is not installed for this interpreter", exc_type=ImportError)

from conftest import source_file  # noqa: E402

DOC = source_file("docs/api.md")

# Runs in a fresh process, so that the cluster and its workers end with it.
RUNNER = """
import sys
import numpy as np

namespace = {"__name__": "scale_out_example"}
exec(compile(sys.stdin.read(), "docs/api.md", "exec"), namespace)
if __name__ == "__main__":
    rng = np.random.default_rng(11)
    points = rng.standard_normal((100_003, 3)) * 1e3
    points[:3] = [[0, 0, 0], [np.inf, 1, 2], [-0.0, np.nan, 5e-324]]
    unit, joined = namespace["directions"](points)
    np.save(sys.argv[1], points)
    np.save(sys.argv[2], unit)
    np.save(sys.argv[3], np.asarray(joined))
"""


def example(function: str) -> str:
    """The documentation's python block that defines the function."""
    (block,) = [b for b in re.findall(r"```python\n(.*?)```", DOC.read_text(), flags=re.S) if f"def {function}(" in b]
    return block


def special_points(n: int):
    import numpy as np

    points = np.random.default_rng(11).standard_normal((n, 3)) * 1e3
    points[:3] = [[0, 0, 0], [np.inf, 1, 2], [-0.0, np.nan, 5e-324]]
    return points


@pytest.mark.thread_unsafe(reason="starts a pool of threads")
def test_threaded_example_is_bit_identical():
    import dask
    import dask.array
    import numpy as np

    from quorral import VecList

    namespace: dict = {}
    exec(compile(example("directions_threaded"), "docs/api.md", "exec"), namespace)
    points = special_points(400_003)
    single = np.asarray(VecList.from_buffer(points).normalize())
    unit = namespace["directions_threaded"](points)
    assert unit.shape == (400_003, 3)
    assert unit.tobytes() == single.tobytes()
    # The same blocks one after another on the calling thread.
    x = dask.array.from_array(points, chunks=(-(-len(points) // 16), 3))
    one_thread = x.map_blocks(lambda b: np.asarray(VecList.from_buffer(b).normalize()), dtype=np.float64)
    assert one_thread.compute(scheduler="synchronous").tobytes() == unit.tobytes()
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert not sys._is_gil_enabled(), "an import re-enabled the GIL"


@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_scale_out_example_is_bit_identical(tmp_path):
    pytest.importorskip("distributed", reason="distributed is not installed for this interpreter", exc_type=ImportError)
    import numpy as np

    from quorral import VecList

    files = [tmp_path / f"{name}.npy" for name in ("points", "unit", "joined")]
    proc = subprocess.run(
        [sys.executable, "-c", RUNNER, *map(str, files)],
        input=example("directions"), capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    points, unit, joined = (np.load(f) for f in files)
    single = np.asarray(VecList.from_buffer(points).normalize())
    assert unit.shape == joined.shape == (100_003, 3)
    assert unit.tobytes() == single.tobytes()
    assert joined.tobytes() == single.tobytes()
