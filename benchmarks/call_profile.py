"""Where the time of one single-object call goes: instructions per call of each row of
run.py's single-object table, for quorral and for PyGLM, counted by callgrind and split into
the library's own code, the C math library and the rest (the interpreter, the C library and
the loader). Instruction counts repeat exactly from run to run, unlike times on a busy machine.

Each statement runs in a timeit-like loop, N and 3N times in two processes; the difference
over 2N is the cost of one call and its share of the loop (FOR_ITER and the jump, the same for
both libraries).

    python benchmarks/call_profile.py [--rows SUBSTRING ...] [--calls N]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

LOOP = "def _loop(_n):\n    for _ in range(_n):\n        {stmt}\n"


def child(index, side, calls):
    import glm
    import quorral

    import common

    cases, env = common.single_cases(quorral, glm)
    stmt = cases[index][1 if side == "quorral" else 2]
    exec(LOOP.format(stmt=stmt), env)
    env["_loop"](calls)


def library_paths():
    import quorral
    from pyglm import glm as extension  # the compiled module behind the `glm` package
    return {"quorral": os.path.basename(quorral.__file__), "PyGLM": os.path.basename(extension.__file__)}


def counts(index, side, calls, library):
    """(total, library, libm) instructions of a process running the row `calls` times."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
                        "--child", str(index), side, str(calls)], check=True, capture_output=True)
        text = subprocess.run(["callgrind_annotate", "--threshold=100", str(out)], check=True, capture_output=True,
                              text=True).stdout
    total = own = libm = 0
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) \([^)]*\)\s+(.*)$", line)
        if not m:
            continue
        ir = int(m.group(1).replace(",", ""))
        if "PROGRAM TOTALS" in m.group(2):
            total = ir
        elif library in m.group(2):
            own += ir
        elif "libm.so" in m.group(2) or "/libm-" in m.group(2):
            libm += ir
    return total, own, libm


def per_call(index, side, calls, library):
    low, high = counts(index, side, calls, library), counts(index, side, 3 * calls, library)
    return [(h - lo) / (2 * calls) for h, lo in zip(high, low)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", nargs="*", help="only rows whose name contains one of these")
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(int(args.child[0]), args.child[1], int(args.child[2]))
    if not shutil.which("valgrind") or not shutil.which("callgrind_annotate"):
        sys.exit("call_profile.py needs valgrind (Debian's valgrind package)")

    import glm
    import quorral

    import common

    cases, _ = common.single_cases(quorral, glm)
    paths = library_paths()
    print(f"instructions per call (callgrind), {common.build_info()}")
    print("own: the library's .so; libm: the C math library; rest: interpreter, C library, loader\n")
    print(f"{'operation':<40} {'quorral':>8} {'own':>5} {'libm':>5} {'rest':>5}   {'PyGLM':>8} {'own':>5} "
          f"{'libm':>5} {'rest':>5}   ratio")
    for index, (name, q_stmt, p_stmt, *skipped) in enumerate(cases):
        if skipped or (args.rows and not any(r in name for r in args.rows)):
            continue
        row = []
        for side in ("quorral", "PyGLM"):
            total, own, libm = per_call(index, side, args.calls, paths[side])
            row.append((total, own, libm, total - own - libm))
        q, p = row
        print(f"{name:<40} {q[0]:8.0f} {q[1]:5.0f} {q[2]:5.0f} {q[3]:5.0f}   {p[0]:8.0f} {p[1]:5.0f} {p[2]:5.0f} "
              f"{p[3]:5.0f}   {q[0] / p[0]:5.2f}", flush=True)


if __name__ == "__main__":
    main()
