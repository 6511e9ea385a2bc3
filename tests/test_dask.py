"""The scale-out example of docs/api.md on a local Dask cluster of two worker
processes, against the same computation in one process."""

import re
import subprocess
import sys

import pytest

pytest.importorskip("numpy", reason="numpy is not installed for this interpreter")
pytest.importorskip("dask.array", reason="dask[array] is not installed for this interpreter", exc_type=ImportError)
pytest.importorskip("distributed", reason="distributed is not installed for this interpreter", exc_type=ImportError)

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


def example() -> str:
    (block,) = re.findall(r"```python\n(.*?)```", DOC.read_text(), flags=re.S)
    return block


@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_scale_out_example_is_bit_identical(tmp_path):
    import numpy as np

    from quorral import VecList

    files = [tmp_path / f"{name}.npy" for name in ("points", "unit", "joined")]
    proc = subprocess.run(
        [sys.executable, "-c", RUNNER, *map(str, files)],
        input=example(), capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    points, unit, joined = (np.load(f) for f in files)
    single = np.asarray(VecList.from_buffer(points).normalize())
    assert unit.shape == joined.shape == (100_003, 3)
    assert unit.tobytes() == single.tobytes()
    assert joined.tobytes() == single.tobytes()
