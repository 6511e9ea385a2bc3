"""Threads on the free-threaded build, and single-operation cost against the GIL build.

(a) Scaling: throughput with 2 threads over throughput with 1 thread, for
    quorral and for builtin `complex` running the same kind of loop, with
    objects of each thread's own and with two objects shared by all threads.
    Measured on the free-threaded interpreter, all cases alternating within
    each round; medians over the rounds.
(b) Single-thread cost of each single-object operation on the free-threaded
    build next to the GIL build, the two interpreters measured alternately.

    python benchmarks/threads.py [--ft PYTHON] [--gil PYTHON] [--rounds N] [--scaling-only | --costs-only]

The interpreters come from --ft / --gil, else FT_PYTHON / GIL_PYTHON, else
the running interpreter (for its own kind), the checkout's .venv-ft / .venv,
scripts/provision-python-ft and a pyenv or PATH CPython 3.13. Each must be
able to import quorral. The machine is rarely quiet: compare rows within one
run, and read the spread columns (lowest and highest round) before the medians.
Each scaling time in a round is the median of a few short runs (threads
pinned one per CPU), each cost the best of three. On a busy machine,
real-time priority (`chrt -f 1 python benchmarks/threads.py`) keeps other
processes off the cores for the minute it takes.
"""

import argparse
import glob
import json
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Per-thread loops; `a` and `b` are the operands, `n` the number of iterations.
WORKLOADS = {
    "operators": {
        "quorral": "a + b; a - b; a * 2.0; -a",
        "complex": "a + b; a - b; a * 2.0; -a",
    },
    # complex has no method taking another complex; its closest equivalent is
    # the same shape of call: a method looked up on the receiver, one operand
    # of the same type, a new object as result.
    "methods": {
        "quorral": "a.dot(b); a.cross(b); a.distance_to(b)",
        "complex": "a.__add__(b); a.__sub__(b); a.__mul__(b)",
    },
}
DESCRIPTION = {
    ("operators", "quorral"): "a + b; a - b; a * 2.0; -a",
    ("methods", "quorral"): "a.dot(b); a.cross(b); a.distance_to(b)",
    ("methods", "complex"): "a.__add__(b); a.__sub__(b); a.__mul__(b)",
}

# Single-object operations: (name, statement); `v`, `w` are vectors, `q` a Quat.
OPERATIONS = [
    ("Vec3d(1.0, 2.0, 3.0)", "Vec3d(1.0, 2.0, 3.0)"),
    ("a + b", "v + w"),
    ("a - b", "v - w"),
    ("a * 2.0", "v * 2.0"),
    ("2.0 * a", "2.0 * v"),
    ("-a", "-v"),
    ("a / 2.0", "v / 2.0"),
    ("a.dot(b)", "v.dot(w)"),
    ("a.cross(b)", "v.cross(w)"),
    ("a.distance_to(b)", "v.distance_to(w)"),
    ("a.normalize()", "v.normalize()"),
    ("a.magnitude()", "v.magnitude()"),
    ("a.x", "v.x"),
    ("a.x = 1.5", "v.x = 1.5"),
    ("a[1]", "v[1]"),
    ("a == b", "v == w"),
    ("hash(a)", "hash(v)"),
    ("q.rotate(a)", "q.rotate(v)"),
    # The rest of the single-object table of run.py; `p`, `q2` are Quats,
    # `m` a rotation matrix as to_rotation_matrix gives it, `r`, `s`, `g` angles
    # (`c`, `d` are the complex numbers of the reference rows).
    ("Quat(w, i, j, k)", "Quat(0.5, 0.5, 0.5, 0.5)"),
    ("p.then(q)", "p.then(q)"),
    ("q.slerp(p, t)", "q.slerp(p, 0.3)"),
    ("Quat.from_rotation_matrix(m)", "Quat.from_rotation_matrix(m)"),
    ("q.conjugate()", "q.conjugate()"),
    ("q.normalize()", "q.normalize()"),
    ("q.magnitude()", "q.magnitude()"),
    ("q.w", "q.w"),
    ("q == q2", "q == q2"),
    ("AngleRadians(x)", "AngleRadians(0.75)"),
    ("r.angle", "r.angle"),
    ("r + s", "r + s"),
    ("r * 2.0", "r * 2.0"),
    ("-r", "-r"),
    ("r == s", "r == s"),
    ("r.sin()", "r.sin()"),
    ("r.to_degrees()", "r.to_degrees()"),
    ("d.to_radians()", "g.to_radians()"),
    ("complex: a + b (reference)", "c + d"),
    ("complex: a * 2.0 (reference)", "c * 2.0"),
    ("complex: a.conjugate() (reference)", "c.conjugate()"),
]


# --- worker side (runs inside each interpreter) ------------------------------

def make_operands(lib):
    if lib == "quorral":
        import quorral
        return quorral.Vec3d(1.0, 2.0, 3.0), quorral.Vec3d(-4.0, 0.5, 2.25)
    return complex(1.0, 2.0), complex(-4.0, 0.5)


CPUS = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else []


def loop_function(stmt):
    namespace = {}
    exec(f"def run(a, b, n):\n    for _ in range(n):\n        {stmt}\n", namespace)
    return namespace["run"]


def timed_threads(lib, stmt, threads, shared, n):
    """Wall time of `threads` threads each running the loop n times, released together."""
    run = loop_function(stmt)
    common = make_operands(lib) if shared else None
    barrier = threading.Barrier(threads)
    spans = [None] * threads

    def body(index):
        # One thread per CPU, so that where the scheduler happens to put the threads does not decide the result.
        if CPUS:
            os.sched_setaffinity(0, {CPUS[index % len(CPUS)]})
        a, b = common if shared else make_operands(lib)  # own operands are made by their thread
        barrier.wait()
        start, cpu = time.perf_counter(), time.thread_time()
        run(a, b, n)
        spans[index] = (start, time.perf_counter(), time.thread_time() - cpu)

    workers = [threading.Thread(target=body, args=(i,)) for i in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    wall = max(end for _, end, _ in spans) - min(start for start, _, _ in spans)
    return wall, sum(cpu for _, _, cpu in spans)


def scaling_cases():
    for workload in WORKLOADS:
        for shared in (False, True):
            for lib in ("quorral", "complex"):
                yield workload, shared, lib


def calibrate_loops(target):
    loops = {}
    for workload, shared, lib in scaling_cases():
        stmt = WORKLOADS[workload][lib]
        n = 1000
        while (t := timed_threads(lib, stmt, 1, shared, n)[0]) < target / 4:
            n *= 4
        loops[f"{workload}/{shared}/{lib}"] = max(1000, int(n * target / t))
    return loops


def typical_time(lib, stmt, threads, shared, n, tries=5):
    """Median wall time and median thread CPU time of a few runs. Not the
    lowest: threads on shared objects now and then barely overlap, and such a
    run says nothing about contention."""
    runs = [timed_threads(lib, stmt, threads, shared, n) for _ in range(tries)]
    return statistics.median(w for w, _ in runs), statistics.median(c for _, c in runs)


def scaling_round(loops, reverse):
    """One round: per case, throughput(2 threads) / throughput(1 thread), each
    time the median of a few runs; every other round runs the cases backwards so
    that drift in the machine's load falls on both sides alike."""
    out = {}
    cases = list(scaling_cases())
    for workload, shared, lib in reversed(cases) if reverse else cases:
        key = f"{workload}/{shared}/{lib}"
        stmt, n = WORKLOADS[workload][lib], loops[key]
        counts = (2, 1) if reverse else (1, 2)
        t = {k: typical_time(lib, stmt, k, shared, n) for k in counts}
        # Wall-time scaling, and the same from CPU time per iteration: what
        # the threads would reach with both cores to themselves.
        out[key] = (2.0 * t[1][0] / t[2][0], 2.0 * t[1][1] / t[2][1])
    return out


def cost_environment():
    import quorral
    env = {
        "Vec3d": quorral.Vec3d, "v": quorral.Vec3d(1.0, 2.0, 3.0), "w": quorral.Vec3d(-4.0, 0.5, 2.25),
        "c": complex(1.0, 2.0), "d": complex(-4.0, 0.5),
    }
    if hasattr(quorral, "Quat"):
        Quat = env["Quat"] = quorral.Quat
        env["q"], env["q2"] = Quat(0.5, 0.5, 0.5, 0.5), Quat(0.5, -0.5, 0.5, 0.5)
        if hasattr(Quat, "from_axis_angle"):
            env["p"] = Quat.from_axis_angle(quorral.Vec3d(0.6, 0.0, 0.8), quorral.AngleRadians(1.2))
            env["m"] = env["p"].to_rotation_matrix()
    if hasattr(quorral, "AngleRadians"):
        env["AngleRadians"] = quorral.AngleRadians
        env["r"], env["s"] = quorral.AngleRadians(0.75), quorral.AngleRadians(-1.25)
        env["g"] = quorral.AngleDegrees(42.0)
    return env


def cost_round(numbers, env):
    """Seconds per call of each operation, the best of three timings each."""
    return {name: min(timeit.Timer(stmt, globals=env).repeat(3, numbers[name])) / numbers[name]
            for name, stmt in OPERATIONS if name in numbers}


def calibrate_costs(env, target):
    numbers = {}
    for name, stmt in OPERATIONS:
        try:
            numbers[name] = timeit.Timer(stmt, globals=env).autorange()[0]
        except Exception:
            continue
        t = timeit.Timer(stmt, globals=env).timeit(numbers[name])
        numbers[name] = max(1, int(numbers[name] * target / max(t, 1e-9)))
    return numbers


def worker():
    """Answers one JSON request per input line with one JSON line."""
    env = numbers = loops = None
    for line in sys.stdin:
        request = json.loads(line)
        kind = request["kind"]
        if kind == "info":
            import quorral
            reply = {"version": sys.version.split()[0],
                     "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                     "gil_enabled": getattr(sys, "_is_gil_enabled", lambda: True)(),
                     "quorral": quorral.__file__}
        elif kind == "cost":
            if env is None:
                env = cost_environment()
                numbers = calibrate_costs(env, request["target"])
            reply = cost_round(numbers, env)
        else:
            if loops is None:
                loops = calibrate_loops(request["target"])
            reply = scaling_round(loops, request["reverse"])
        print(json.dumps(reply), flush=True)


# --- driver side ---------------------------------------------------------------

def is_free_threaded(python):
    out = subprocess.run([python, "-c", "import sysconfig; print(bool(sysconfig.get_config_var('Py_GIL_DISABLED')))"],
                         capture_output=True, text=True)
    return out.returncode == 0 and out.stdout.strip() == "True"


def imports_quorral(python):
    return subprocess.run([python, "-c", "import quorral"], capture_output=True, cwd="/").returncode == 0


def provisioned_ft():
    script = ROOT / "scripts" / "provision-python-ft"
    if not script.exists():
        return None
    out = subprocess.run([str(script)], capture_output=True, text=True)
    return out.stdout.strip() or None if out.returncode == 0 else None


def gil_on_path():
    root = os.environ.get("PYENV_ROOT", str(Path.home() / ".pyenv"))
    found = sorted(glob.glob(f"{root}/versions/3.13*/bin/python3.13"))
    for name in ("python3.13", "python3"):
        if p := shutil.which(name):
            found.append(p)
    return found


def pick(kind, given, env_name):
    """First candidate of the wanted kind that imports quorral; the rejected ones, for the message."""
    want_ft = kind == "ft"
    if given or os.environ.get(env_name):
        candidates = [os.path.abspath(given or os.environ[env_name])]
    else:
        candidates = [sys.executable, str(ROOT / (".venv-ft" if want_ft else ".venv") / "bin" / "python")]
        candidates += [provisioned_ft] if want_ft else gil_on_path()
    rejected = []
    for c in candidates:
        c = c() if callable(c) else c
        if not c or not os.path.exists(c):
            continue
        if is_free_threaded(c) != want_ft:
            rejected.append(f"{c} (a {'GIL' if want_ft else 'free-threaded'} build)")
            continue
        if imports_quorral(c):
            return c, rejected
        rejected.append(f"{c} (cannot import quorral)")
    return None, rejected


class Worker:
    def __init__(self, python):
        self.proc = subprocess.Popen([python, str(Path(__file__).resolve()), "--worker"], cwd="/",
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(self, **request):
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError("benchmark worker ended early")
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def median_spread(values):
    return statistics.median(values), min(values), max(values)


def print_scaling(rounds):
    print(f"{'workload':<10} {'operands':<8} {'quorral 2T/1T':>13} {'complex 2T/1T':>13} "
          f"{'quorral/complex':>15} {'(low - high)':>13}   {'by CPU time':>11} {'(low - high)':>13}")
    for workload in WORKLOADS:
        for shared in (False, True):
            key = f"{workload}/{shared}"
            q = [r[f"{key}/quorral"] for r in rounds]
            c = [r[f"{key}/complex"] for r in rounds]
            wall = median_spread([x[0] / y[0] for x, y in zip(q, c)])
            cpu = median_spread([x[1] / y[1] for x, y in zip(q, c)])
            print(f"{workload:<10} {'shared' if shared else 'own':<8} {statistics.median(x[0] for x in q):13.2f} "
                  f"{statistics.median(x[0] for x in c):13.2f} {wall[0]:15.2f} {wall[1]:6.2f} - {wall[2]:<4.2f}"
                  f"   {cpu[0]:11.2f} {cpu[1]:6.2f} - {cpu[2]:<4.2f}")
    print("  2T/1T: throughput of 2 threads over that of 1 thread, by wall time (2.0 is perfect scaling).")
    print("  quorral/complex: per round, quorral's 2T/1T over complex's, then the median over rounds.")
    print("  by CPU time: the same ratio with 2T/1T taken from thread CPU time per iteration, which")
    print("  other processes on the machine disturb less (contention still costs CPU time).")
    for (workload, lib), text in DESCRIPTION.items():
        print(f"  {workload}, {lib}: {text}")


def fmt_ns(seconds):
    return f"{seconds * 1e9:8.1f} ns"


def print_costs(ft_rounds, gil_rounds):
    print(f"{'operation':<36} {'GIL build':>11} {'free-threaded':>14} {'FT/GIL':>7}  {'FT/GIL spread':>14}")
    for name, _ in OPERATIONS:
        if name not in ft_rounds[0] or name not in gil_rounds[0]:
            continue
        ft = [r[name] for r in ft_rounds]
        gil = [r[name] for r in gil_rounds]
        rel = [x / y for x, y in zip(ft, gil)]
        m, lo, hi = median_spread(rel)
        print(f"{name:<36} {fmt_ns(statistics.median(gil)):>11} {fmt_ns(statistics.median(ft)):>14} "
              f"{m:7.2f}  {lo:6.2f} - {hi:<6.2f}")


def describe(name, info):
    kind = "free-threaded" if info["free_threaded"] else "GIL"
    return f"{name}: Python {info['version']} ({kind} build, GIL enabled: {info['gil_enabled']}), {info['quorral']}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ft", help="free-threaded interpreter that imports quorral")
    parser.add_argument("--gil", help="GIL interpreter that imports quorral")
    parser.add_argument("--rounds", type=int, default=7, help="alternating rounds (medians over them)")
    parser.add_argument("--target", type=float, default=0.02, help="seconds per single-thread scaling run")
    parser.add_argument("--scaling-only", action="store_true", help="skip the single-thread costs")
    parser.add_argument("--costs-only", action="store_true", help="skip the thread scaling")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker()

    ft, ft_rejected = pick("ft", args.ft, "FT_PYTHON")
    gil, gil_rejected = (None, []) if args.scaling_only else pick("gil", args.gil, "GIL_PYTHON")
    for name, chosen, rejected in (("free-threaded", ft, ft_rejected), ("GIL", gil, gil_rejected)):
        if chosen is None and not (name == "GIL" and args.scaling_only):
            hint = f" (rejected: {', '.join(rejected)})" if rejected else ""
            print(f"threads: no {name} interpreter with quorral found{hint}; "
                  f"pass --{'ft' if name != 'GIL' else 'gil'} or set {'FT' if name != 'GIL' else 'GIL'}_PYTHON")
    if ft is None:
        return 1

    workers = {"ft": Worker(ft)}
    if gil:
        workers["gil"] = Worker(gil)
    try:
        for name, w in workers.items():
            print(describe({"ft": "free-threaded", "gil": "GIL"}[name], w.ask(kind="info")))
        print(f"{os.cpu_count()} CPUs; {args.rounds} rounds, every case measured once per round, "
              "cases and interpreters alternating\n")
        scaling, costs = [], {name: [] for name in workers}
        for r in range(args.rounds):
            if not args.costs_only:
                scaling.append(workers["ft"].ask(kind="scaling", target=args.target, reverse=r % 2 == 1))
            for name, w in workers.items() if not args.scaling_only else ():
                costs[name].append(w.ask(kind="cost", target=0.003))
    finally:
        for w in workers.values():
            w.close()

    if scaling:
        print("Thread scaling on the free-threaded build")
        print_scaling(scaling)
    if "gil" in costs:
        print("\nSingle-thread cost per operation, free-threaded build next to the GIL build")
        print_costs(costs["ft"], costs["gil"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
