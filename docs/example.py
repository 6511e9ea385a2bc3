"""A typed tour of quorral; checked with `mypy --strict` by `make stubtest`."""

from quorral import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry


def centroid(points: VecList) -> Vec3d:
    total = Vec3d.zero()
    for p in points:
        total = total + p
    return total / len(points)


def main() -> None:
    a = Vec3d(1.0, 2.0, 3.0)
    b = Vec3d.new_from_to(a, Vec3d(x=2.0, y=2.0, z=3.0))
    length: float = a.magnitude()
    angle: AngleRadians = a.angle_to(b)
    degrees: AngleDegrees = angle.to_degrees()
    first: float = a[0]
    a.x = 4.0
    print(length, degrees, first, -a, 2 * a, a * 2.0, hash(a), a == b)

    q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
    axis, turned = q.to_axis_angle()
    matrix: list[list[float]] = q.to_rotation_matrix()
    print(q.rotate(Vec3d.i()), axis, turned.angle, matrix[0], q.to_vec3d())

    points = VecList([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(2, 0, 0)])
    points.append(Vec3d(3, 0, 0))
    points.rotate(Quat.identity())
    index, distance = points.minimum_distance_to(Vec3d(2.9, 0, 0), stride=1)
    flags: list[bool] = points.is_unit()
    shifted: VecList = (points + Vec3d.k()) * 0.5
    print(centroid(points), index, distance, flags, shifted.list, points.collapse(axis=0).to_array())

    plane = geometry.Plane.from_points(Vec3d.zero(), Vec3d.i(), Vec3d.j())
    crossing = geometry.plane_line(plane, Vec3d(0, 0, 1), Vec3d(0, 0, -1))
    c1 = geometry.Circle(Vec3d.zero(), 1.0, Vec3d.k())
    c2 = geometry.Circle(center=Vec3d.i(), radius=1.0, normal=Vec3d.k())
    p1, p2 = geometry.circle_circle(c1, c2)
    on_circle: bool = geometry.circle_point(c1, Vec3d(0.6, 0.8, 0), inner=False)
    print(plane.normal, crossing, p1, p2, on_circle, c1.area, c1.in_same_plane(c2))


if __name__ == "__main__":
    main()
