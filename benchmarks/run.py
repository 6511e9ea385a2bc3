"""quorral against PyGLM (single objects) and numpy (arrays of vectors).

Prints one table (operation, quorral median, peer median, ratio quorral/peer:
below 1 means quorral is faster), writes it to results/table.csv, and writes
batch throughput against n for quorral with 1 and 2 workers and for numpy to
results/throughput.csv and results/throughput.png. Rows whose feature the
installed module lacks are skipped. Then runs threads.py (thread scaling on the
free-threaded build, single-operation cost against the GIL build).

    python benchmarks/run.py [--out DIR] [--only single|elementwise]
"""

import argparse
import csv
import gc
import json
import os
import statistics
import subprocess
import sys
import time
import timeit
from pathlib import Path

from common import (BLAS_VARIABLES, build_info, calibrate, clean_environment, compare, fmt_time, numpy_rotation,
                    per_call, random_points, single_cases, write_throughput)

SWEEP_SIZES = [10**e for e in range(2, 8)]
BATCH_N = 10**6
EPSILON = 2.0**-52


# --- single objects against PyGLM -------------------------------------------


def single_rows(quorral, glm):
    cases, env = single_cases(quorral, glm)
    out = []
    for name, q_stmt, p_stmt, *skipped in cases:
        if skipped:
            out.append((name, None, None, "PyGLM", skipped[0]))
            continue
        qt, pt = compare(q_stmt, p_stmt, env, repeats=9, target=0.02)
        out.append((name, qt, pt, "PyGLM", ""))
    return out


# --- batches against numpy ---------------------------------------------------


def have_veclist(quorral):
    VecList = getattr(quorral, "VecList", None)
    if VecList is None or not hasattr(VecList, "normalize"):
        return False
    try:
        VecList([])
    except TypeError:
        return False
    return True


# The magnitudes of the rows of arr, in the order quorral computes them.
NORM = "np.sqrt((arr[:, 0] * arr[:, 0] + arr[:, 1] * arr[:, 1]) + arr[:, 2] * arr[:, 2])"


def batch_rows(quorral, np):
    if not have_veclist(quorral):
        return [("VecList batch operations", None, None, "numpy", "skipped: no VecList")]
    Vec3d, VecList = quorral.Vec3d, quorral.VecList
    tuples = random_points(BATCH_N)
    vectors = [Vec3d(*t) for t in tuples]
    arr = np.array(tuples)
    env = {
        "np": np, "VecList": VecList, "Vec3d": Vec3d, "tuples": tuples, "vectors": vectors,
        "arr": arr, "vl": VecList(vectors), "o": Vec3d(0.25, -1.5, 2.0), "oa": np.array([0.25, -1.5, 2.0]),
        "EPS": EPSILON, "vl2": VecList(vectors[:2]), "arr2": arr[:2].copy(),
    }
    rotate_q = (0.5, 0.5, 0.5, 0.5)
    if hasattr(quorral, "Quat"):
        env["q"] = quorral.Quat(*rotate_q)
    env["R"] = numpy_rotation(np, *rotate_q)
    env["M"] = np.array([[2.0, 0.5, 1.0], [0.25, 1.0, -0.5], [3.0, -1.0, 2.5]])
    if hasattr(quorral, "Mat3"):
        env["m"] = quorral.Mat3(env["M"])
    if hasattr(quorral, "RigidTransform") and "q" in env:
        env["x"] = quorral.RigidTransform(env["q"], env["o"])
    rows = [
        ("normalize", "vl.normalize()", f"arr / {NORM}[:, None]"),
        ("cross", "vl.cross(o)", "np.cross(arr, oa)"),
        ("vl + v", "vl + o", "arr + oa"),
        ("vl * 2.0", "vl * 2.0", "arr * 2.0"),
        ("vl / 2.0", "vl / 2.0", "arr / 2.0"),
        ("collapse(1)", "vl.collapse(1)", "c = arr.copy(); c[:, 1] = 0.0"),
        ("rotate(q) / arr @ R.T", "vl.rotate(q)", "arr @ R.T"),
        ("transform(m) / arr @ M.T", "vl.transform(m)", "arr @ M.T"),
        ("RigidTransform.apply / arr @ R.T + t", "x.apply(vl)", "arr @ R.T + oa"),
        ("dot -> list", "vl.dot(o)", "(arr @ oa).tolist()"),
        ("magnitude -> list", "vl.magnitude()", f"{NORM}.tolist()"),
        ("distance_to -> list", "vl.distance_to(o)", "d = arr - oa; np.sqrt((d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]).tolist()"),
        ("is_unit -> list", "vl.is_unit()", f"(np.abs({NORM} - 1.0) < EPS).tolist()"),
        ("VecList(list) / np.array(tuples)", "VecList(vectors)", "np.array(tuples)"),
        ("to_array() / arr.tolist()", "vl.to_array()", "arr.tolist()"),
        (".list / arr.tolist()", "vl.list", "arr.tolist()"),
    ]
    out = []
    for name, q_stmt, p_stmt in rows:
        method = q_stmt.split(".")[1].split("(")[0] if q_stmt.startswith("vl.") else None
        missing = (name.startswith("rotate") and "q" not in env or name.startswith("transform") and "m" not in env
                   or name.startswith("RigidTransform") and "x" not in env)
        if method and not hasattr(VecList, method) or missing:
            out.append((f"{name} (n=1e6)", None, None, "numpy", "skipped: missing"))
            continue
        repeats = 3 if name.startswith(("VecList(", "to_array", ".list")) else 5
        qt, pt = compare(q_stmt, p_stmt, env, repeats=repeats, target=0.05)
        out.append((f"{name} (n=1e6)", qt, pt, "numpy", ""))
    qt, pt = compare("vl2.normalize()", f"arr2 / np.sqrt((arr2 * arr2).sum(axis=1))[:, None]", env, 9, 0.02)
    out.append(("normalize, 2 elements (dispatch)", qt, pt, "numpy", "target < 3 us"))
    return out


ELEMENTWISE_SIZES = [2, 10**3, 10**4, 10**5, 10**6]


def elementwise_rows(quorral, np):
    """Every element-wise operation at each n of ELEMENTWISE_SIZES; n = 2 is the dispatch cost.
    wl is a second list of the same length, fa n float64 factors; rotate turns its own list in place."""
    if not have_veclist(quorral):
        return [("VecList element-wise operations", None, None, "numpy", "skipped: no VecList")]
    Vec3d, VecList = quorral.Vec3d, quorral.VecList
    rows = [
        ("vl + v", "vl + o", "arr + oa"),
        ("vl - v", "vl - o", "arr - oa"),
        ("vl * 2.0", "vl * 2.0", "arr * 2.0"),
        ("2.0 * vl", "2.0 * vl", "2.0 * arr"),
        ("vl / 2.0", "vl / 2.0", "arr / 2.0"),
        ("vl / 3.0", "vl / 3.0", "arr / 3.0"),  # no exact reciprocal: divides
        ("cross", "vl.cross(o)", "np.cross(arr, oa)"),
        ("normalize", "vl.normalize()", f"arr / {NORM}[:, None]"),
        ("collapse(1)", "vl.collapse(1)", "c = arr.copy(); c[:, 1] = 0.0"),
        ("add_each", "vl.add_each(wl)", "arr + warr"),
        ("sub_each", "vl.sub_each(wl)", "arr - warr"),
        ("cross_each", "vl.cross_each(wl)", "np.cross(arr, warr)"),
        ("add_scaled", "vl.add_scaled(wl, 0.01)", "arr + warr * 0.01"),
        ("scale_each", "vl.scale_each(fa)", "arr * fa[:, None]"),
        ("dot_each -> array", "vl.dot_each(wl)", "np.einsum('ij,ij->i', arr, warr)"),
        ("distance_each -> array", "vl.distance_each(wl)", "d = arr - warr; np.sqrt(np.einsum('ij,ij->i', d, d))"),
        ("covariance", "vl.covariance()", "c = arr - arr.mean(axis=0); c.T @ c"),
        ("cross_covariance", "vl.cross_covariance(wl)", "a = arr - arr.mean(axis=0); b = warr - warr.mean(axis=0); a.T @ b"),
        # Last: numpy's BLAS threads keep spinning for a while after a matrix product, which
        # slows whatever runs next on the cores: this row waits for them after each repeat.
        ("rotate(q) / arr @ R.T", "rl.rotate(q)", "arr @ R.T"),
    ]
    out = []
    for n in ELEMENTWISE_SIZES:
        tuples, others = random_points(n), random_points(n, seed=8)
        env = {"np": np, "vl": VecList([Vec3d(*t) for t in tuples]), "arr": np.array(tuples),
               "wl": VecList([Vec3d(*t) for t in others]), "warr": np.array(others),
               "rl": VecList([Vec3d(*t) for t in tuples]), "fa": np.array([t[0] for t in others]),
               "o": Vec3d(0.25, -1.5, 2.0), "oa": np.array([0.25, -1.5, 2.0]),
               "R": numpy_rotation(np, 0.5, 0.5, 0.5, 0.5)}
        if hasattr(quorral, "Quat"):
            env["q"] = quorral.Quat(0.5, 0.5, 0.5, 0.5)
        label = "n=2" if n == 2 else f"n=1e{len(str(n)) - 1}"
        for name, q_stmt, p_stmt in rows:
            method = q_stmt.split(".")[1].split("(")[0] if q_stmt.startswith(("vl.", "rl.")) else None
            missing = method and not hasattr(VecList, method) or (method == "rotate" and "q" not in env)
            if missing:
                out.append((f"{name} ({label})", None, None, "numpy", "skipped: missing"))
                continue
            qt, pt = compare(q_stmt, p_stmt, env, repeats=9, target=0.01, settle=0.2 if "@" in p_stmt else 0.0)
            out.append((f"{name} ({label})", qt, pt, "numpy", "dispatch" if n == 2 else "target <= 0.5"))
            if name == "vl * 2.0":
                scale_numpy = pt
        if n > 2:
            # What the machine allows for the traffic of vl * 2.0: a C++ loop on two threads that
            # never sleep, into one output kept for every call; after numpy's BLAS threads sleep.
            time.sleep(0.5)
            limit = kept_limit_seconds(n)
            out.append((f"  limit: out = 2 * in, C++ ({label})", limit, scale_numpy, "numpy",
                        "2 threads spinning, output kept"))
        time.sleep(0.5)  # until the BLAS threads of the last row sleep
    return out


def kept_limit_seconds(vectors):
    """Seconds per call of limit_scale.cpp's in-cache kernel over `vectors` vectors."""
    import large_n
    out = subprocess.run([str(large_n.limit_kernel()), str(3 * vectors), "2", "9", "kept"], capture_output=True,
                         text=True, check=True)
    return float(out.stdout.split()[0]) / 1e3


def buffer_rows(quorral, np):
    """Copying an array into a list, and a list viewed as an array."""
    VecList = getattr(quorral, "VecList", None)
    if not hasattr(VecList, "from_buffer"):
        return [("from_buffer / np.asarray(vl)", None, None, "numpy", "skipped: no buffer support")]
    big = np.random.default_rng(7).standard_normal((4_000_000, 3))
    env = {"np": np, "VecList": VecList, "big": big, "vl": VecList.from_buffer(big[:BATCH_N]), "arr": big[:BATCH_N]}
    qt, pt = compare("VecList.from_buffer(big)", "big.copy()", env, repeats=5, target=0.2)
    out = [("from_buffer / arr.copy() (n=4e6)", qt, pt, "numpy", "target <= 1.5x")]
    qt, pt = compare("np.asarray(vl)", "arr.view()", env, repeats=5, target=0.05)
    out.append(("np.asarray(vl) / arr.view() (n=1e6)", qt, pt, "numpy", "zero-copy view"))
    return out


# --- subprocess parts ----------------------------------------------------------

def make_veclist(quorral, n):
    """A VecList of n random vectors; 10^7 is built from copies of a 10^6 block."""
    VecList, Vec3d = quorral.VecList, quorral.Vec3d
    block = min(n, BATCH_N)
    base = VecList([Vec3d(*t) for t in random_points(block)])
    if n == block:
        return base
    vl = VecList.empty()
    for _ in range(n // block):
        vl.extend(base)
    return vl


def sweep_worker(kind):
    """Seconds per normalize at each n, as JSON on stdout."""
    results = {}
    if kind == "quorral":
        import quorral
        for n in SWEEP_SIZES:
            vl = make_veclist(quorral, n)
            results[n] = sweep_time("vl.normalize()", {"vl": vl}, n)
            del vl
            gc.collect()
    else:
        import numpy as np
        for n in SWEEP_SIZES:
            arr = np.array(random_points(min(n, BATCH_N)))
            if n > BATCH_N:
                arr = np.tile(arr, (n // BATCH_N, 1))
            stmt = "arr / np.sqrt((arr[:, 0] * arr[:, 0] + arr[:, 1] * arr[:, 1]) + arr[:, 2] * arr[:, 2])[:, None]"
            results[n] = sweep_time(stmt, {"arr": arr, "np": np}, n)
            del arr
    print(json.dumps(results))


def sweep_time(stmt, env, n):
    timer = timeit.Timer(stmt, globals=env)
    if n >= 10**7:
        return statistics.median(timer.repeat(3, 1))
    number = calibrate(timer, 0.03)
    return statistics.median(per_call(timer, number) for _ in range(5))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_worker():
    import quorral
    base = make_veclist(quorral, BATCH_N)
    gc.collect()
    before = rss_bytes()
    vl = quorral.VecList.empty()
    for _ in range(10):
        vl.extend(base)
    after = rss_bytes()
    print(json.dumps({"n": len(vl), "growth": after - before}))


def run_child(args, workers=None):
    proc = subprocess.run([sys.executable, __file__, *args], env=clean_environment(workers),
                          capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def sweep(out_dir, have):
    series = {}
    if have:
        series["quorral, 1 worker"] = run_child(["--sweep", "quorral"], workers=1)
        series["quorral, 2 workers"] = run_child(["--sweep", "quorral"], workers=2)
    series["numpy"] = run_child(["--sweep", "numpy"])
    write_throughput(out_dir / "throughput", series, "normalize throughput (million vectors / s)",
                     "Batch normalize: quorral VecList against numpy")
    return series


# --- main ------------------------------------------------------------------------

def print_table(rows):
    print(f"{'operation':<40} {'quorral':>11} {'peer':>11}  {'peer name':<6} {'ratio':>6}  note")
    for name, qt, pt, peer, note in rows:
        if qt is None:
            print(f"{name:<40} {'-':>11} {'-':>11}  {peer:<6} {'-':>6}  {note}")
        else:
            print(f"{name:<40} {fmt_time(qt):>11} {fmt_time(pt):>11}  {peer:<6} {qt / pt:6.2f}  {note}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    parser.add_argument("--only", choices=["single", "elementwise"],
                        help="stop after the single-object table, or after it and the in-cache element-wise rows")
    parser.add_argument("--sweep", choices=["quorral", "numpy"], help=argparse.SUPPRESS)
    parser.add_argument("--memory", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.sweep:
        return sweep_worker(args.sweep)
    if args.memory:
        return memory_worker()
    if any(v in os.environ for v in BLAS_VARIABLES):
        os.execve(sys.executable, [sys.executable, *sys.argv], clean_environment())

    import glm
    import numpy as np
    import quorral

    args.out.mkdir(parents=True, exist_ok=True)
    print("build:", build_info())
    print(f"quorral {quorral.__file__}; PyGLM {glm.version}; numpy {np.__version__}")
    print("times are medians of interleaved timeit repeats; ratio = quorral / peer (< 1: quorral faster)\n")

    rows = single_rows(quorral, glm)
    if args.only == "single":
        return print_table(rows)
    rows += elementwise_rows(quorral, np)
    if args.only == "elementwise":
        return print_table(rows)
    rows += batch_rows(quorral, np)
    rows += buffer_rows(quorral, np)
    have = have_veclist(quorral)
    if have:
        memory = run_child(["--memory"])
        growth = memory["growth"]
        target = 24 * memory["n"]
        rows.append((f"RSS growth, VecList of {memory['n']:.0e} (bytes)", growth, target, "24 B/vec",
                     f"{growth / 1e6:.1f} MB against {target / 1e6:.0f} MB"))
    series = sweep(args.out, have)
    if have:
        t1 = series["quorral, 1 worker"][str(BATCH_N)]
        t2 = series["quorral, 2 workers"][str(BATCH_N)]
        rows.append(("normalize n=1e6, 2 workers / 1 worker", t2, t1, "1 worker", f"speed-up {t1 / t2:.2f}x"))

    print_table([r if not r[0].startswith("RSS") else (r[0], None, None, r[3], r[4]) for r in rows])
    for r in rows:
        if r[0].startswith("RSS"):
            print(f"memory: {r[4]} (ratio {r[1] / r[2]:.3f})")
    with open(args.out / "table.csv", "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["operation", "quorral_seconds", "peer_seconds", "peer", "ratio", "note"])
        for name, qt, pt, peer, note in rows:
            w.writerow([name, "" if qt is None else f"{qt:.6e}", "" if pt is None else f"{pt:.6e}", peer,
                        "" if qt is None else f"{qt / pt:.4f}", note])
    print(f"\nwrote {args.out / 'table.csv'}, {args.out / 'throughput.csv'}, {args.out / 'throughput.png'}")

    # Thread scaling on the free-threaded build and single-operation cost there
    # against the GIL build; the script finds both interpreters itself.
    print()
    subprocess.run([sys.executable, str(Path(__file__).with_name("threads.py"))], check=False)

    if have:
        import large_n  # lists far larger than the cache: its own table and plot
        large_n.run(args.out)

    if hasattr(quorral, "QuatList"):
        try:
            import scipy  # noqa: F401 - only the batch rotation rows need it
        except ImportError:
            print("\nbatch rotations skipped: scipy is not installed")
        else:
            import rotations  # QuatList against scipy's Rotation
            print()
            rotations.run(args.out)


if __name__ == "__main__":
    main()
