"""KDTree against scipy's cKDTree (workers=1 and -1) and pykdtree where installed.

Build, k = 1 and k = 8 batch queries, a radius query and the normals from 10
neighbours (numpy's batched eigh after cKDTree), on uniform points and
on clustered ones (Gaussian blobs; the queries drawn uniformly over the same
cube, so that many fall between the blobs). Every case runs alternately within
each round; the table gives medians in ms. Before timing, the answers of a
small case are checked against a scan over all points.

    python benchmarks/kd_tree.py [--sizes 100000,1000000] [--rounds 3] [--kinds uniform,clustered]
                                 [--ckdtree-workers 1,-1]
"""

import argparse
import statistics
import time

import numpy as np

from quorral import KDTree, VecList

try:
    from scipy.spatial import cKDTree
except ImportError:  # pragma: no cover - bench dependency
    cKDTree = None
try:
    from pykdtree.kdtree import KDTree as PyKDTree
except ImportError:  # pragma: no cover - bench dependency
    PyKDTree = None

RADIUS = {"uniform": 0.01, "clustered": 0.01}


def cloud(kind, n, rng):
    if kind == "uniform":
        return rng.random((n, 3)), rng.random((n, 3))
    centres = rng.random((64, 3))
    points = centres[rng.integers(0, len(centres), n)] + rng.normal(scale=0.01, size=(n, 3))
    return points, rng.random((n, 3))


def check_small(rng):
    points, queries = cloud("clustered", 2000, rng)
    points = np.round(points * 20) / 20  # ties
    tree = KDTree(VecList.from_buffer(points))
    d, i = tree.nearest(VecList.from_buffer(queries[:50]), 4)
    for j, q in enumerate(queries[:50]):
        diff = points - q
        keys = (diff[:, 0] * diff[:, 0] + diff[:, 1] * diff[:, 1]) + diff[:, 2] * diff[:, 2]
        order = np.lexsort((np.arange(len(points)), keys))[:4]
        assert np.asarray(i)[j].tolist() == order.tolist()
        assert np.array_equal(np.asarray(d)[j], np.sqrt(keys[order]))
    print("check: the small case equals the scan, ties included")


NORMAL_K = 10
# numpy's normals hold k gathered copies of the points at once: 16M points need more than 24 GB.
NUMPY_NORMALS_MAX = 2_000_000


def numpy_normals(ref, points, k, workers):
    """The least eigenvector of each point's k-neighbourhood covariance, batched in numpy."""
    _, near = ref.query(points, k, workers=workers)
    centred = points[near] - points[near].mean(axis=1, keepdims=True)
    return np.linalg.eigh(np.einsum("nki,nkj->nij", centred, centred) / (k - 1))[1][:, :, 0]


def cases(points, queries, r, ckd_workers):
    vl, ql = VecList.from_buffer(points), VecList.from_buffer(queries)
    tree = KDTree(vl)
    out = {
        "build": {"quorral": lambda: KDTree(vl)},
        "k=1": {"quorral": lambda: tree.nearest(ql, 1)},
        "k=8": {"quorral": lambda: tree.nearest(ql, 8)},
        "radius": {"quorral": lambda: tree.within(ql, r)},
        "normals": {"quorral": lambda: tree.normals(NORMAL_K)},
    }
    if cKDTree is not None:
        ref = cKDTree(points)
        out["build"]["cKDTree"] = lambda: cKDTree(points)
        for w in ckd_workers:
            out["k=1"][f"cKDTree w={w}"] = lambda w=w: ref.query(queries, 1, workers=w)
            out["k=8"][f"cKDTree w={w}"] = lambda w=w: ref.query(queries, 8, workers=w)
            out["radius"][f"cKDTree w={w}"] = lambda w=w: ref.query_ball_point(queries, r, workers=w)
            if len(points) <= NUMPY_NORMALS_MAX:
                out["normals"][f"cKDTree+numpy w={w}"] = lambda w=w: numpy_normals(ref, points, NORMAL_K, w)
    if PyKDTree is not None:
        other = PyKDTree(points)
        out["build"]["pykdtree"] = lambda: PyKDTree(points)
        out["k=1"]["pykdtree"] = lambda: other.query(queries, k=1)
        out["k=8"]["pykdtree"] = lambda: other.query(queries, k=8)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--kinds", default="uniform,clustered")
    parser.add_argument("--ckdtree-workers", default="1,-1", help="cKDTree's workers values to time, e.g. -1 alone at large n")
    args = parser.parse_args()
    rng = np.random.default_rng(2026)
    check_small(rng)
    ckd_workers = [int(w) for w in args.ckdtree_workers.split(",")]
    for kind in args.kinds.split(","):
        for n in (int(s) for s in args.sizes.split(",")):
            points, queries = cloud(kind, n, rng)
            table = cases(points, queries, RADIUS[kind], ckd_workers)
            times = {(op, who): [] for op, runs in table.items() for who in runs}
            for _ in range(args.rounds):
                for op, runs in table.items():
                    for who, fn in runs.items():
                        start = time.perf_counter()
                        fn()
                        times[op, who].append((time.perf_counter() - start) * 1e3)
            for op, runs in table.items():
                row = ", ".join(f"{who} {statistics.median(times[op, who]):.0f}" for who in runs)
                print(f"{kind:9} n={n:<9} {op:6}: {row}")


if __name__ == "__main__":
    main()
