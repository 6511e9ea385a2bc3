"""QuatList batch rotations against scipy's Rotation.

Three rows at n = 10^5 (quorral and scipy timed interleaved in one process,
medians of the repeats) and at n = 1.6 * 10^7 (each library in processes of its
own, run alternately, medians over the processes): composing two lists
(`a.then(b)` / `r1 * r2`), applying one list to a list of points pair by pair
(`a.rotate(points)` / `r.apply(points)`), and building rotations from axes and
angles (`QuatList.from_axis_angles` / `Rotation.from_rotvec`). The inputs are
the same unit quaternions for both; quorral stores the conjugate of what scipy
stores (Hamilton product order and rotate's conj(q)·v·q), which changes
neither operation's cost. Writes results/rotations.csv. Then a table of the
conversions (Euler angles, rotation vectors, the (x, y, z, w) order, matrices,
the mean) at n = 10^5 and 10^6 against scipy and a numpy formula.

    python benchmarks/rotations.py [--out DIR] [--small-only] [--conversions]
"""

import argparse
import csv
import json
import os
import statistics
import subprocess
import sys
import timeit
from pathlib import Path

from common import build_info, clean_environment, compare, fmt_time

HERE = Path(__file__).resolve().parent
SMALL_N = 100_000
LARGE_N = 16_000_000
LARGE_ROUNDS = 3  # processes per library at the large n
TARGET = 0.5  # quorral at most half of scipy's time
OPERATIONS = [
    # name, quorral, scipy
    ("then / r1 * r2", "a.then(b)", "r1 * r2"),
    ("rotate(VecList) / r.apply", "a.rotate(points)", "r1.apply(pts)"),
    ("from_axis_angles / from_rotvec", "QuatList.from_axis_angles(axes, angles)", "Rotation.from_rotvec(rotvec)"),
]


# The conversions users exchange rotations through, at each of CONVERSION_SIZES against
# scipy's Rotation and a numpy formula on the same (w, x, y, z) rows ("-": none written).
CONVERSION_SIZES = [100_000, 1_000_000]
CONVERSIONS = [
    # name, quorral, scipy, numpy
    ("from_euler ZYX", "QuatList.from_euler('ZYX', eul)", "Rotation.from_euler('ZYX', eul)", None),
    ("to_euler ZYX", "a.to_euler('ZYX')", "r1.as_euler('ZYX')", "numpy_zyx(np, wxyz)"),
    ("from_rotation_vectors", "QuatList.from_rotation_vectors(rv)", "Rotation.from_rotvec(rotvec)",
     "numpy_from_rotation_vectors(np, rotvec)"),
    ("to_rotation_vectors", "a.to_rotation_vectors()", "r1.as_rotvec()",
     "v = wxyz[:, 1:]; m = np.sqrt(np.einsum('ij,ij->i', v, v)); v * (2 * np.arctan2(m, wxyz[:, 0]) / m)[:, None]"),
    ("from_xyzw", "QuatList.from_xyzw(xyzw)", "Rotation.from_quat(xyzw)", "xyzw[:, [3, 0, 1, 2]] * FLIP"),
    ("to_xyzw", "a.to_xyzw()", "r1.as_quat()", "wxyz[:, [1, 2, 3, 0]]"),
    ("from_applying_matrices", "QuatList.from_applying_matrices(mats)", "Rotation.from_matrix(mats)", None),
    ("to_applying_matrices", "a.to_applying_matrices()", "r1.as_matrix()", None),
    ("mean", "a.mean()", "r1.mean()", "np.linalg.eigh(wxyz.T @ wxyz)[1][:, -1]"),
]


def conversion_rows():
    import numpy as np
    import quorral
    from scipy.spatial.transform import Rotation
    from common import numpy_from_rotation_vectors, numpy_zyx
    rows = []
    for n in CONVERSION_SIZES:
        rng = np.random.default_rng(6)
        xyzw = rng.standard_normal((n, 4))
        xyzw /= np.linalg.norm(xyzw, axis=1)[:, None]
        r1 = Rotation.from_quat(xyzw)
        rotvec = rng.standard_normal((n, 3))
        env = {"np": np, "QuatList": quorral.QuatList, "Rotation": Rotation, "r1": r1, "xyzw": xyzw,
               "wxyz": np.ascontiguousarray(xyzw[:, [3, 0, 1, 2]]), "FLIP": np.array([1.0, -1.0, -1.0, -1.0]),
               "a": quorral.QuatList.from_xyzw(xyzw), "eul": r1.as_euler("ZYX"), "rotvec": rotvec,
               "rv": quorral.VecList.from_buffer(rotvec), "mats": r1.as_matrix(),
               "numpy_zyx": numpy_zyx, "numpy_from_rotation_vectors": numpy_from_rotation_vectors}
        label = f"n=1e{len(str(n)) - 1}"
        for name, q_stmt, s_stmt, p_stmt in CONVERSIONS:
            qt, st = compare(q_stmt, s_stmt, env, repeats=5, target=0.05)
            pt = compare(q_stmt, p_stmt, env, repeats=5, target=0.05, settle=0.1)[1] if p_stmt else None
            rows.append((f"{name} ({label})", qt, st, pt))
    return rows


def print_conversions(rows):
    print(f"{'conversions':<34} {'quorral':>11} {'scipy':>11} {'numpy':>11} {'/scipy':>7} {'/numpy':>7}")
    for name, qt, st, pt in rows:
        numpy_time, numpy_ratio = (fmt_time(pt), f"{qt / pt:7.2f}") if pt else ("-", "-")
        print(f"{name:<34} {fmt_time(qt):>11} {fmt_time(st):>11} {numpy_time:>11} {qt / st:7.2f} {numpy_ratio:>7}")


def inputs(n, kind, seed=5):
    """The statements' names for one library: unit quaternions, points and rotation vectors."""
    import numpy as np
    rng = np.random.default_rng(seed)
    qa, qb = rng.standard_normal((n, 4)), rng.standard_normal((n, 4))
    qa /= np.linalg.norm(qa, axis=1)[:, None]
    qb /= np.linalg.norm(qb, axis=1)[:, None]
    pts = rng.standard_normal((n, 3))
    rotvec = rng.standard_normal((n, 3))
    angles = np.linalg.norm(rotvec, axis=1)
    env = {}
    if kind in ("quorral", "both"):
        import quorral
        env.update(QuatList=quorral.QuatList, a=quorral.QuatList.from_buffer(qa), b=quorral.QuatList.from_buffer(qb),
                   points=quorral.VecList.from_buffer(pts),
                   axes=quorral.VecList.from_buffer(rotvec / angles[:, None]), angles=angles)
    if kind in ("scipy", "both"):
        from scipy.spatial.transform import Rotation
        env.update(Rotation=Rotation, r1=Rotation.from_quat(qa[:, [1, 2, 3, 0]]),
                   r2=Rotation.from_quat(qb[:, [1, 2, 3, 0]]), pts=pts, rotvec=rotvec)
    return env


def small_rows():
    env = inputs(SMALL_N, "both")
    rows = []
    for name, q_stmt, s_stmt in OPERATIONS:
        qt, st = compare(q_stmt, s_stmt, env, repeats=7, target=0.05)
        rows.append((f"{name} (n=1e5)", qt, st))
    return rows


def large_worker(kind):
    """Seconds per operation at LARGE_N for one library, as JSON on stdout."""
    env = inputs(LARGE_N, kind)
    results = {}
    for name, q_stmt, s_stmt in OPERATIONS:
        timer = timeit.Timer(q_stmt if kind == "quorral" else s_stmt, globals=env)
        timer.timeit(1)
        results[name] = statistics.median(timer.timeit(1) for _ in range(3))
    print(json.dumps(results))


def large_rows():
    runs = {"quorral": [], "scipy": []}
    for _ in range(LARGE_ROUNDS):
        for kind in runs:
            proc = subprocess.run([sys.executable, __file__, "--large", kind], env=clean_environment(),
                                  capture_output=True, text=True, check=True)
            runs[kind].append(json.loads(proc.stdout))
    return [(f"{name} (n=1.6e7)", statistics.median(r[name] for r in runs["quorral"]),
             statistics.median(r[name] for r in runs["scipy"])) for name, _, _ in OPERATIONS]


def run(out_dir, with_large=True):
    rows = small_rows() + (large_rows() if with_large else [])
    print(f"{'batch rotations':<40} {'quorral':>11} {'scipy':>11} {'ratio':>6}  goal")
    for name, qt, st in rows:
        goal = "ok" if qt / st <= TARGET else f"MISS: > {TARGET}"
        print(f"{name:<40} {fmt_time(qt):>11} {fmt_time(st):>11} {qt / st:6.2f}  {goal}")
    out_dir.mkdir(parents=True, exist_ok=True)
    with open(out_dir / "rotations.csv", "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["operation", "quorral_seconds", "scipy_seconds", "ratio"])
        for name, qt, st in rows:
            w.writerow([name, f"{qt:.6e}", f"{st:.6e}", f"{qt / st:.4f}"])
    print(f"wrote {out_dir / 'rotations.csv'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--small-only", action="store_true", help="only n = 10^5")
    parser.add_argument("--conversions", action="store_true", help="only the conversions table")
    parser.add_argument("--large", choices=["quorral", "scipy"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.large:
        return large_worker(args.large)
    print("build:", build_info(), "; RAYON_NUM_THREADS =", os.environ.get("RAYON_NUM_THREADS", "unset"))
    if not args.conversions:
        run(args.out, with_large=not args.small_only)
    print_conversions(conversion_rows())


if __name__ == "__main__":
    main()
