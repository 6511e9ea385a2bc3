"""What the benchmark scripts share: timing, the environment of child runs, the
build line, input data, plots, and the single-object table against PyGLM."""

import csv
import os
import random
import statistics
import sys
import sysconfig
import time
import timeit


# numpy's BLAS is tuned from these; the peer runs with its own defaults.
BLAS_VARIABLES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def clean_environment(workers=None):
    env = {k: v for k, v in os.environ.items() if k not in BLAS_VARIABLES}
    if workers is not None:
        env["RAYON_NUM_THREADS"] = str(workers)
    return env


def per_call(timer, number):
    return timer.timeit(number) / number


def calibrate(timer, target):
    """Loop count that makes one repeat take about `target` seconds."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target / 4 or number >= 10**7:
            return max(1, int(number * target / max(elapsed, 1e-9)))
        number *= 10


def compare(q_stmt, p_stmt, env, repeats, target, settle=0.0):
    """Medians (seconds per call) of interleaved repeats of both statements; `settle` seconds of
    sleep follow each repeat of the peer, for threads it leaves spinning."""
    q = timeit.Timer(q_stmt, globals=env)
    p = timeit.Timer(p_stmt, globals=env)
    qn, pn = calibrate(q, target), calibrate(p, target)
    qs, ps = [], []
    for _ in range(repeats):
        qs.append(per_call(q, qn))
        ps.append(per_call(p, pn))
        time.sleep(settle)
    return statistics.median(qs), statistics.median(ps)


def time_once(stmt, env, repeats):
    t = timeit.Timer(stmt, globals=env)
    return statistics.median(t.repeat(repeats, 1))


def build_info():
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    disabled = sysconfig.get_config_var("Py_GIL_DISABLED")
    kind = "free-threaded" if disabled else "GIL"
    return (f"Python {sys.version.split()[0]} ({kind} build: Py_GIL_DISABLED={disabled}, "
            f"sys._is_gil_enabled()={gil}), {os.cpu_count()} CPUs")


def fmt_time(seconds):
    if seconds < 1e-6:
        return f"{seconds * 1e9:8.1f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:8.2f} us"
    return f"{seconds * 1e3:8.2f} ms"


def single_cases(quorral, glm):
    """The single-object rows (name, quorral statement, PyGLM statement), those whose feature
    the installed module lacks as (name, None, None, reason), and the names they use."""
    Vec3d, Quat = quorral.Vec3d, getattr(quorral, "Quat", None)
    env = {
        "Vec3d": Vec3d, "Quat": Quat, "dvec3": glm.dvec3, "dquat": glm.dquat,
        "a": Vec3d(1.0, 2.0, 3.0), "b": Vec3d(-4.0, 0.5, 2.25), "c": Vec3d(1.0, 2.0, 3.0),
        "ga": glm.dvec3(1.0, 2.0, 3.0), "gb": glm.dvec3(-4.0, 0.5, 2.25), "gc": glm.dvec3(1.0, 2.0, 3.0),
        "dot": glm.dot, "cross": glm.cross, "normalize": glm.normalize, "length": glm.length,
        "conjugate": glm.conjugate, "eulerAngles": glm.eulerAngles, "sin": glm.sin, "degrees": glm.degrees, "radians": glm.radians,
        "dvec1": glm.dvec1, "gr": glm.dvec1(0.75), "gs": glm.dvec1(-1.25), "x": 0.75,
        "AngleRadians": getattr(quorral, "AngleRadians", None), "AngleDegrees": getattr(quorral, "AngleDegrees", None),
    }
    rows = [
        ("Vec3d(1.0, 2.0, 3.0)", "Vec3d(1.0, 2.0, 3.0)", "dvec3(1.0, 2.0, 3.0)", None),
        ("a.dot(b)", "a.dot(b)", "dot(ga, gb)", None),
        ("a.cross(b)", "a.cross(b)", "cross(ga, gb)", None),
        ("a + b", "a + b", "ga + gb", None),
        ("a * 2.0", "a * 2.0", "ga * 2.0", None),
        ("2.0 * a", "2.0 * a", "2.0 * ga", None),
        ("-a", "-a", "-ga", None),
        ("a.normalize()", "a.normalize()", "normalize(ga)", None),
        ("a.magnitude()", "a.magnitude()", "length(ga)", None),
        ("a.x", "a.x", "ga.x", None),
        ("a == b", "a == b", "ga == gb", None),
        ("hash(a)", "hash(a)", "hash(ga)", None),
        ("a - b", "a - b", "ga - gb", None),
        ("a / 2.0", "a / 2.0", "ga / 2.0", None),
        ("a[1]", "a[1]", "ga[1]", None),
        ("c.x = 1.5", "c.x = 1.5", "gc.x = 1.5", None),
        ("Quat(w, i, j, k)", "Quat(0.5, 0.5, 0.5, 0.5)", "dquat(0.5, 0.5, 0.5, 0.5)", "Quat"),
        ("q.rotate(v) / q * v", "q.rotate(a)", "gq * ga", "Quat"),
        # PyGLM stores the conjugate, and g1 * g2 applies g2 first: p.then(q) is gq * gp.
        ("p.then(q) / q1 * q2", "p.then(q)", "gq * gp", "algebra"),
        ("q.slerp(p, t) / slerp", "q.slerp(p, 0.3)", "slerp(gq, gp, 0.3)", "algebra"),
        # m is what to_rotation_matrix returns, a list of three lists of floats; quat_cast reads
        # PyGLM's own matrix in the first row, and the same list of lists in the second.
        ("Quat.from_rotation_matrix(m) / quat_cast", "Quat.from_rotation_matrix(m)", "quat_cast(gm)", "algebra"),
        ("  the same, list of lists on both sides", "Quat.from_rotation_matrix(m)", "quat_cast(dmat3(m))", "algebra"),
        ("q.conjugate()", "q.conjugate()", "conjugate(gq)", "Quat"),
        ("q.normalize()", "q.normalize()", "normalize(gq)", "Quat"),
        ("q.magnitude()", "q.magnitude()", "length(gq)", "Quat"),
        ("q.w", "q.w", "gq.w", "Quat"),
        ("q == q2", "q == q2", "gq == gq2", "Quat"),
        # Angles against PyGLM's one-component vector and its float functions.
        ("AngleRadians(x) / dvec1(x)", "AngleRadians(0.75)", "dvec1(0.75)", "Angle"),
        ("r.angle / dvec1.x", "r.angle", "gr.x", "Angle"),
        ("r + s", "r + s", "gr + gs", "Angle"),
        ("r * 2.0", "r * 2.0", "gr * 2.0", "Angle"),
        ("-r", "-r", "-gr", "Angle"),
        ("r == s", "r == s", "gr == gs", "Angle"),
        ("r.sin() / sin(x)", "r.sin()", "sin(x)", "Angle"),
        ("r.to_degrees() / degrees(x)", "r.to_degrees()", "degrees(x)", "Angle"),
        ("d.to_radians() / radians(x)", "d.to_radians()", "radians(x)", "Angle"),
        # PyGLM's dmat3 takes its entries column by column; gm3 is the same matrix as m3.
        ("m3 @ a / dmat3 * dvec3", "m3 @ a", "gm3 * ga", "Mat3"),
        ("m3 @ m3 / dmat3 * dmat3", "m3 @ m3", "gm3 * gm3", "Mat3"),
        ("m3.inverse() / inverse(dmat3)", "m3.inverse()", "inverse(gm3)", "Mat3"),
        ("pose.apply(a) / dquat * dvec3 + dvec3", "pose.apply(a)", "gq * ga + gb", "RigidTransform"),
        # Conversions: PyGLM's Euler angles are its own x-y-z order, as cheap as any sequence here.
        ("p.to_euler('xyz') / eulerAngles(dquat)", "p.to_euler('xyz')", "eulerAngles(gp)", "algebra"),
        ("Mat3.from_rotation(p) / mat3_cast(dquat)", "Mat3.from_rotation(p)", "mat3_cast(gp)", "Mat3 rotations"),
        ("r3.to_rotation() / quat_cast(dmat3)", "r3.to_rotation()", "quat_cast(gm)", "Mat3 rotations"),
    ]
    have_quat = Quat is not None and hasattr(Quat, "rotate")
    have = {"Quat": have_quat, "algebra": have_quat and hasattr(Quat, "then")}
    if have_quat:
        env["q"] = Quat(0.5, 0.5, 0.5, 0.5)
        env["gq"] = glm.dquat(0.5, 0.5, 0.5, 0.5)
        env["q2"] = Quat(0.5, -0.5, 0.5, 0.5)
        env["gq2"] = glm.dquat(0.5, -0.5, 0.5, 0.5)
    if have["algebra"]:
        env["p"] = Quat.from_axis_angle(Vec3d(0.6, 0.0, 0.8), quorral.AngleRadians(1.2))
        env["gp"] = glm.dquat(env["p"].w, -env["p"].i, -env["p"].j, -env["p"].k)
        env["m"] = env["p"].to_rotation_matrix()
        env["gm"] = glm.mat3_cast(env["gp"])
        env["slerp"], env["quat_cast"], env["dmat3"] = glm.slerp, glm.quat_cast, glm.dmat3
    have["Mat3"] = hasattr(quorral, "Mat3")
    if have["Mat3"]:
        env["m3"] = quorral.Mat3([[2.0, 0.5, 1.0], [0.25, 1.0, -0.5], [3.0, -1.0, 2.5]])
        env["gm3"] = glm.dmat3(*(x for column in env["m3"].columns for x in column.to_array()))
        env["inverse"], env["mat3_cast"] = glm.inverse, glm.mat3_cast
        env["Mat3"] = quorral.Mat3
    have["Mat3 rotations"] = have["Mat3"] and have["algebra"]
    if have["Mat3 rotations"]:
        env["r3"] = quorral.Mat3.from_rotation(env["p"])
    have["RigidTransform"] = have_quat and hasattr(quorral, "RigidTransform")
    if have["RigidTransform"]:
        env["pose"] = quorral.RigidTransform(env["q"], env["b"])
    have_angle = env["AngleRadians"] is not None and env["AngleDegrees"] is not None
    if have_angle:
        env["r"] = env["AngleRadians"](0.75)
        env["s"] = env["AngleRadians"](-1.25)
        env["d"] = env["AngleDegrees"](42.0)
    have["Angle"] = have_angle
    cases = [(name, q, p) if needs is None or have[needs] else (name, None, None, f"skipped: no {needs}")
             for name, q, p, needs in rows]
    return cases, env


def random_points(n, seed=7):
    rng = random.Random(seed)
    return [(rng.uniform(-10, 10), rng.uniform(-10, 10), rng.uniform(-10, 10)) for _ in range(n)]


def numpy_rotation(np, w, i, j, k):
    """Matrix of v -> conjugate(q) * v * q for q = (w, i, j, k), not normalised."""
    u = np.array([-i, -j, -k])
    skew = np.array([[0.0, -u[2], u[1]], [u[2], 0.0, -u[0]], [-u[1], u[0], 0.0]])
    return (w * w - u @ u) * np.eye(3) + 2.0 * np.outer(u, u) + 2.0 * w * skew


def numpy_from_rotation_vectors(np, vectors, scale=1.0):
    """(w, x, y, z) rows of the rotations by the vectors * scale: sin(|v|/2) / |v| through sinc, no 0/0."""
    rate = np.sqrt(np.einsum("ij,ij->i", vectors, vectors))
    half = 0.5 * scale * rate
    return np.column_stack([np.cos(half), vectors * (0.5 * scale * np.sinc(half / np.pi))[:, None]])


def numpy_zyx(np, q):
    """Intrinsic Z-Y-X yaw, pitch and roll of unit (w, x, y, z) rows."""
    w, x, y, z = q.T
    yaw = np.arctan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z))
    pitch = np.arcsin(np.clip(2 * (w * y - z * x), -1.0, 1.0))
    roll = np.arctan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y))
    return np.column_stack([yaw, pitch, roll])


def write_throughput(stem, series, ylabel, title, marks=()):
    """series {name: {n: seconds}} to stem.csv and a log-log plot stem.png; marks are (x, label) lines."""
    with open(stem.with_suffix(".csv"), "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["series", "n", "seconds", "vectors_per_second"])
        for name, times in series.items():
            for n, t in times.items():
                w.writerow([name, n, f"{t:.6e}", f"{int(n) / t:.6e}"])
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for name, times in series.items():
        ns = sorted(int(n) for n in times)
        ax.plot(ns, [n / times[str(n)] / 1e6 for n in ns], marker="o", label=name)
    for x, label in marks:
        ax.axvline(x, color="grey", linestyle=":", label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("n (vectors)")
    ax.set_ylabel(ylabel)
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(stem.with_suffix(".png"), dpi=120)
