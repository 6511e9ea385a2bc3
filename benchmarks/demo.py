"""A short tour of quorral: prints a few results and a quick timing."""

import statistics
import sys
import time

import quorral
from quorral import AngleDegrees, AngleRadians, Quat, Vec3d, VecList
from quorral import geometry


REPEATS = 7


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def median_time(call) -> float:
    return statistics.median(timed(call)[0] for _ in range(REPEATS))


def main() -> None:
    free = not getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"quorral on Python {sys.version.split()[0]} ({'free-threaded' if free else 'GIL'} build)")

    a, b = Vec3d(1, 2, 3), Vec3d(-2, 0.5, 4)
    print("a =", a, " b =", b)
    print("a . b =", a.dot(b), " a x b =", a.cross(b), " |a| =", a.magnitude())
    print("angle(a, b) =", a.angle_to(b), "=", a.angle_to(b).to_degrees())
    print("90 degrees =", AngleDegrees(90).to_radians())

    q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
    print("quarter turn about z:", q, "rotates (1, 0, 0) to", q.rotate(Vec3d.i()))

    plane = geometry.Plane(Vec3d(0, 0, 1), 3.0)
    print("line through (1, 2, 0), (1, 2, 1) meets", geometry.plane_line(plane, Vec3d(1, 2, 0), Vec3d(1, 2, 1)))
    c1 = geometry.Circle(Vec3d.zero(), 1.0, Vec3d.k())
    c2 = geometry.Circle(Vec3d.i(), 1.0, Vec3d.k())
    print("unit circles at 0 and (1, 0, 0) cross at", geometry.circle_circle(c1, c2))

    points = VecList([Vec3d(i, 1.0, 2.0) for i in range(1000)])
    for _ in range(10):
        points.extend(VecList(points))
    cold, unit = timed(points.normalize)
    print(f"normalize of {len(points):,} vectors, first call (page faults and pool start-up included): "
          f"{cold * 1e3:.2f} ms; first {unit[0]}")
    warm = median_time(points.normalize)
    line = f"normalize of {len(points):,} vectors, median of {REPEATS} warm calls: {warm * 1e3:.2f} ms"
    try:
        import numpy as np
    except ImportError:
        print(line, "(numpy not installed: no comparison)")
    else:
        array = np.asarray(points).copy()
        peer = median_time(lambda: array / np.linalg.norm(array, axis=1)[:, None])
        print(f"{line}; numpy's a / norm(a, axis=1)[:, None]: {peer * 1e3:.2f} ms")
    print(f"nearest to (500.2, 1, 2) with stride 64: {points.minimum_distance_to(Vec3d(500.2, 1, 2), 64)}")


if __name__ == "__main__":
    main()
    print("modules:", quorral.__all__)
