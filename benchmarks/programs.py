"""Whole programs as users write them: quorral, numpy (with scipy's Rotation for
rotations) and PyGLM versions of the same computation, checked against each
other, timed in interleaved repetitions.

Prints one table: each program's median time per library and the ratios
quorral / numpy, quorral / PyGLM and, for programs with a version using scipy's
Rotation alone, quorral / scipy (below 1 means quorral is faster). The
quorral versions have no per-element Python loop; the PyGLM versions use its
array type where it has the operation and Python loops over its vectors where
it has not, as its users do.

    python benchmarks/programs.py [--repeats N] [--scale S] [--only WORD ...]

--scale multiplies every problem size (1.0 gives the sizes in the table).
"""

import argparse
import statistics
import time

import numpy as np

from common import numpy_from_rotation_vectors, numpy_rotation, numpy_zyx
from quorral import KDTree, Mat3, QuatList, RigidTransform, RigidTransformList, Vec3d, VecList, geometry

try:
    import glm
except ImportError:  # the PyGLM column is left empty
    glm = None

try:
    import scipy
    from scipy.spatial import cKDTree
    from scipy.spatial.transform import Rotation
except ImportError:  # the rows that need scipy are left out
    scipy = None


# --- mesh: face normals and areas, projection of the vertices onto a plane -----


def mesh_data(scale):
    rng = np.random.default_rng(7)
    vertices = rng.standard_normal((int(100_000 * scale), 3))
    faces = rng.integers(0, len(vertices), (int(200_000 * scale), 3))
    faces = faces[(faces[:, 0] != faces[:, 1]) & (faces[:, 1] != faces[:, 2]) & (faces[:, 0] != faces[:, 2])]
    normal = np.array([1.0, 2.0, 2.0]) / 3.0  # a unit normal, exactly
    return vertices, faces, normal


def mesh_quorral(vertices, faces, normal):
    verts = VecList.from_buffer(vertices)
    n = Vec3d(*normal)
    v0, v1, v2 = verts.take(faces[:, 0]), verts.take(faces[:, 1]), verts.take(faces[:, 2])
    c = v1.sub_each(v0).cross_each(v2.sub_each(v0))
    normals = c.normalize()
    areas = (c * 0.5).distance_each(Vec3d.zero())
    # p - (p . n) n for every vertex: n repeated by a gather of index 0.
    ns = VecList([n]).take(bytes(len(verts)))
    projected = verts.sub_each(ns.scale_each(verts.dot_each(n)))
    return np.asarray(normals), np.frombuffer(areas), np.asarray(projected)


def mesh_numpy(vertices, faces, normal):
    v0, v1, v2 = vertices[faces[:, 0]], vertices[faces[:, 1]], vertices[faces[:, 2]]
    c = np.cross(v1 - v0, v2 - v0)
    length = np.sqrt(np.einsum("ij,ij->i", c, c))
    normals = c / length[:, None]
    areas = 0.5 * length
    projected = vertices - (vertices @ normal)[:, None] * normal
    return normals, areas, projected


def mesh_glm(vertices, faces, normal):
    verts = [glm.dvec3(*p) for p in vertices.tolist()]
    n = glm.dvec3(*normal)
    normals, areas = [], []
    for a, b, c in faces.tolist():
        p = verts[a]
        cr = glm.cross(verts[b] - p, verts[c] - p)
        normals.append(glm.normalize(cr))
        areas.append(0.5 * glm.length(cr))
    projected = [p - glm.dot(p, n) * n for p in verts]
    return np.array(normals), np.array(areas), np.array(projected)


# --- particles: integration, reflection off a plane, kinetic energy -----------

STEPS = 100
DT = 0.01
GRAVITY = (0.0, -9.81, 0.0)


def reflect_below_floor(pos, vel):
    """The numpy version's reflection, in place on (n, 3) float64 arrays."""
    y, vy = pos[:, 1], vel[:, 1]
    below = y < 0.0
    np.negative(y, out=y, where=below)
    np.negative(vy, out=vy, where=below)


def particle_data(scale):
    rng = np.random.default_rng(11)
    n = int(50_000 * scale)
    positions = rng.random((n, 3)) * [10.0, 5.0, 10.0]
    velocities = rng.standard_normal((n, 3))
    return positions, velocities


def particles_quorral(positions, velocities):
    pos, vel = VecList.from_buffer(positions), VecList.from_buffer(velocities)
    dv = Vec3d(*GRAVITY) * DT
    floor = geometry.Plane.xz()
    energies = []
    for _ in range(STEPS):
        vel = vel + dv
        pos = pos.add_scaled(vel, DT)
        pos.reflect_off(floor, vel)  # off the floor y = 0, both lists in place
        energies.append(0.5 * vel.dot_sum(vel))
    return np.asarray(pos), np.asarray(vel), np.array(energies)


def particles_numpy(positions, velocities):
    pos, vel = positions.copy(), velocities.copy()
    dv = np.array(GRAVITY) * DT
    energies = []
    for _ in range(STEPS):
        vel += dv
        pos += vel * DT
        reflect_below_floor(pos, vel)
        energies.append(0.5 * np.einsum("ij,ij->", vel, vel))
    return pos, vel, np.array(energies)


def particles_glm(positions, velocities):
    pos = glm.array([glm.dvec3(*p) for p in positions.tolist()])
    vel = glm.array([glm.dvec3(*v) for v in velocities.tolist()])
    dv = glm.dvec3(*GRAVITY) * DT
    energies = []

    def reflect(p):
        return glm.dvec3(p.x, -p.y, p.z) if p.y < 0.0 else p

    for _ in range(STEPS):
        vel = vel + dv
        moved = pos + vel * DT
        vel = glm.array([glm.dvec3(v.x, -v.y, v.z) if p.y < 0.0 else v for p, v in zip(moved, vel)])
        pos = moved.map(reflect)
        energies.append(0.5 * sum(glm.dot(v, v) for v in vel))
    return np.array(pos.to_list()), np.array(vel.to_list()), np.array(energies)


# --- forward kinematics: a 6-joint arm, then a point cloud in the gripper -------

# The end-effector pose of every configuration; the configuration that reaches
# nearest a goal moves a cloud given in the gripper's frame, and the cloud's
# point nearest a target is found.
# Joint j turns about JOINT_AXES[j] in the frame of the links before it; link j
# then reaches LINK_OFFSETS[j] further in the frame after the turn.
JOINT_AXES = ((0.0, 0.0, 1.0), (0.0, 1.0, 0.0), (0.0, 1.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (1.0, 0.0, 0.0))
LINK_OFFSETS = ((0.0, 0.0, 0.35), (0.45, 0.0, 0.0), (0.4, 0.0, 0.05), (0.1, 0.0, 0.0), (0.08, 0.0, 0.0),
                (0.06, 0.0, 0.0))


def fk_data(scale):
    """Joint angles (configurations, 6), a cloud in the gripper's frame, a goal and a target."""
    rng = np.random.default_rng(5)
    angles = rng.uniform(-np.pi, np.pi, (int(10_000 * scale), len(JOINT_AXES)))
    cloud = rng.standard_normal((int(100_000 * scale), 3)) * 0.05
    return angles, cloud, np.array([0.5, 0.3, 0.4]), np.array([0.52, 0.29, 0.43])


def fk_results(quats, positions, best, pose_distance, moved, nearest, distance):
    """Orientations as quorral's (w, i, j, k), end-effector positions, (index, distance) of the
    configuration nearest the goal, the cloud moved by its pose, (index, distance) of its point nearest the target."""
    return (np.asarray(quats), np.asarray(positions), np.array([best, pose_distance]), np.asarray(moved),
            np.array([nearest, distance]))


def fk_quorral(angles, cloud, goal, target):
    joints = [QuatList.from_axis_angles(Vec3d(*axis), angles[:, j]) for j, axis in enumerate(JOINT_AXES)]
    orientation = joints[0]
    positions = orientation.rotate(Vec3d(*LINK_OFFSETS[0]))
    for joint, offset in zip(joints[1:], LINK_OFFSETS[1:]):
        orientation = joint.then(orientation)  # the joint's turn first, then the links before it
        positions = positions.add_each(orientation.rotate(Vec3d(*offset)))
    best, pose_distance = positions.minimum_distance_to(Vec3d(*goal), 1)
    moved = VecList.from_buffer(cloud)
    moved.rotate(orientation[best])
    moved = moved + positions[best]
    nearest, distance = moved.minimum_distance_to(Vec3d(*target), 1)
    return fk_results(orientation, positions, best, pose_distance, moved, nearest, distance)


def fk_numpy(angles, cloud, goal, target):
    axes = np.array(JOINT_AXES)
    orientation = Rotation.from_rotvec(angles[:, :1] * axes[0])
    positions = orientation.apply(LINK_OFFSETS[0])
    for j in range(1, len(JOINT_AXES)):
        orientation = orientation * Rotation.from_rotvec(angles[:, j:j + 1] * axes[j])  # the joint applies first
        positions += orientation.apply(LINK_OFFSETS[j])
    d = positions - goal
    best = np.argmin(np.einsum("ij,ij->i", d, d))
    moved = orientation[best].apply(cloud) + positions[best]
    d = moved - target
    squared = np.einsum("ij,ij->i", d, d)
    nearest = np.argmin(squared)
    x, y, z, w = orientation.as_quat().T
    quats = np.column_stack([w, -x, -y, -z])
    return fk_results(quats, positions, best, np.linalg.norm(positions[best] - goal), moved, nearest,
                      np.sqrt(squared[nearest]))


def fk_glm(angles, cloud, goal, target):
    axes = [glm.dvec3(*a) for a in JOINT_AXES]
    offsets = [glm.dvec3(*o) for o in LINK_OFFSETS]
    orientations, positions = [], []
    for configuration in angles.tolist():
        q, p = glm.dquat(), glm.dvec3()
        for theta, axis, offset in zip(configuration, axes, offsets):
            q = q * glm.angleAxis(theta, axis)
            p = p + q * offset
        orientations.append(q)
        positions.append(p)
    g = glm.dvec3(*goal)
    best = min(range(len(positions)), key=lambda i: glm.distance2(positions[i], g))
    q, p = orientations[best], positions[best]
    moved = q * glm.array(cloud) + p
    t = glm.dvec3(*target)
    squared = [glm.distance2(m, t) for m in moved]
    nearest = min(range(len(squared)), key=squared.__getitem__)
    quats = [(o.w, -o.x, -o.y, -o.z) for o in orientations]
    return fk_results(quats, positions, best, glm.distance(p, g), moved, nearest, glm.distance(moved[nearest], t))


# --- camera: world to camera, frustum culling, pinhole projection ---------------

# Each frame's camera is given as a rotation camera -> world in (x, y, z, w)
# order and a centre; a camera looks along +z with a 90 x 60 degree field of
# view and a near plane at z = 0.1.
FOCAL = (800.0, 800.0)
PRINCIPAL = (640.0, 360.0)
HALF_FOV = (np.radians(45.0), np.radians(30.0))
NEAR = 0.1


def frustum_planes():
    """(unit normal, c) of the planes keeping n . p >= c in camera coordinates: near, left, right, bottom, top."""
    (cx, sx), (cy, sy) = ((np.cos(h), np.sin(h)) for h in HALF_FOV)
    return [((0.0, 0.0, 1.0), NEAR), ((cx, 0.0, sx), 0.0), ((-cx, 0.0, sx), 0.0), ((0.0, cy, sy), 0.0),
            ((0.0, -cy, sy), 0.0)]


def camera_data(scale):
    rng = np.random.default_rng(3)
    world = rng.uniform(-10.0, 10.0, (int(200_000 * scale), 3))
    frames = max(1, int(100 * scale))
    xyzw = rng.standard_normal((frames, 4))
    xyzw /= np.linalg.norm(xyzw, axis=1)[:, None]
    centres = rng.uniform(-2.0, 2.0, (frames, 3))
    return world, xyzw, centres


def camera_results(counts, pixels):
    """The visible count of every frame and the (u, v) pixels of the visible points, frame after frame;
    pixels holds one array-like of rows starting (u, v) per frame."""
    return np.array(counts), np.concatenate([np.asarray(p)[:, :2] for p in pixels])


def camera_quorral(world, xyzw, centres):
    points = VecList.from_buffer(world)
    poses = RigidTransformList.from_lists(QuatList.from_xyzw(xyzw), VecList.from_buffer(centres)).inverse()
    planes = [geometry.Plane(Vec3d(*n), c) for n, c in frustum_planes()]
    intrinsics = Mat3([[FOCAL[0], 0.0, PRINCIPAL[0]], [0.0, FOCAL[1], PRINCIPAL[1]], [0.0, 0.0, 1.0]])
    counts, pixels = [], []
    for world_to_camera in poses:
        seen = world_to_camera.apply(points)
        seen = seen.compress(seen.inside(planes))
        image = seen.perspective_divide().transform(intrinsics)
        counts.append(len(image))
        pixels.append(image)
    return camera_results(counts, pixels)


def camera_numpy(world, xyzw, centres):
    planes = frustum_planes()
    normals = np.array([n for n, _ in planes])
    offsets = np.array([c for _, c in planes])
    counts, pixels = [], []
    for (x, y, z, w), centre in zip(xyzw, centres):
        rotation = numpy_rotation(np, w, -x, -y, -z)  # camera -> world
        camera = (world - centre) @ rotation  # rotation.T @ (p - centre) for every row
        seen = camera[np.all(camera @ normals.T >= offsets, axis=1)]
        u = FOCAL[0] * (seen[:, 0] / seen[:, 2]) + PRINCIPAL[0]
        v = FOCAL[1] * (seen[:, 1] / seen[:, 2]) + PRINCIPAL[1]
        counts.append(len(seen))
        pixels.append(np.column_stack([u, v]))
    return camera_results(counts, pixels)


def camera_glm(world, xyzw, centres):
    points = glm.array(world)
    planes = frustum_planes()
    normals = np.array([n for n, _ in planes])
    offsets = np.array([c for _, c in planes])
    intrinsics = glm.dmat3(FOCAL[0], 0.0, 0.0, 0.0, FOCAL[1], 0.0, PRINCIPAL[0], PRINCIPAL[1], 1.0)  # column by column
    counts, pixels = [], []
    for (x, y, z, w), centre in zip(xyzw.tolist(), centres.tolist()):
        to_camera = glm.inverse(glm.dquat(w, x, y, z))
        camera = to_camera * (points - glm.dvec3(*centre))
        array = np.asarray(camera)
        seen = glm.array(np.ascontiguousarray(array[np.all(array @ normals.T >= offsets, axis=1)]))
        image = intrinsics * (seen / seen.map(lambda p: glm.dvec3(p.z)))
        counts.append(len(seen))
        pixels.append(image)
    return camera_results(counts, pixels)


# --- attitude: gyro integration in the body frame, then yaw, pitch and roll -------

DT = 1e-3


def attitude_data(scale):
    """Body-frame angular rates (rad/s) of every body at every step; the first sample of
    every body, and about one in a hundred more, exactly zero (a body at rest)."""
    rng = np.random.default_rng(5)
    steps, bodies = max(1, int(2000 * scale)), max(1, int(1000 * scale))
    rates = rng.standard_normal((steps, bodies, 3)) * 2.0
    rates[0] = 0.0
    rates[rng.random((steps, bodies)) < 0.01] = 0.0
    return (rates,)


def attitude_quorral(rates):
    attitude = QuatList.from_rotation_vectors(VecList.from_buffer(np.zeros((rates.shape[1], 3))))
    for sample in rates:
        # The increment is applied first, in the body frame.
        attitude = QuatList.from_rotation_vectors(VecList.from_buffer(sample), scale=DT).then(attitude)
    return (np.asarray(attitude.to_euler("ZYX")),)


def attitude_numpy(rates):
    q = np.zeros((rates.shape[1], 4))
    q[:, 0] = 1.0
    for sample in rates:
        d = numpy_from_rotation_vectors(np, sample, DT)
        w1, x1, y1, z1 = q.T
        w2, x2, y2, z2 = d.T
        q = np.column_stack([w1 * w2 - x1 * x2 - y1 * y2 - z1 * z2, w1 * x2 + x1 * w2 + y1 * z2 - z1 * y2,
                             w1 * y2 - x1 * z2 + y1 * w2 + z1 * x2, w1 * z2 + x1 * y2 - y1 * x2 + z1 * w2])
    return (numpy_zyx(np, q),)


def attitude_scipy(rates):
    attitude = Rotation.identity(rates.shape[1])
    for sample in rates:
        attitude = attitude * Rotation.from_rotvec(sample * DT)
    return (attitude.as_euler("ZYX"),)


def attitude_glm(rates):
    # PyGLM has no rotation vectors for arrays: numpy makes the increments, PyGLM composes.
    attitude = glm.array(np.tile([1.0, 0.0, 0.0, 0.0], (rates.shape[1], 1))).reinterpret_cast(glm.dquat)
    for sample in rates:
        attitude = attitude * glm.array(numpy_from_rotation_vectors(np, sample, DT)).reinterpret_cast(glm.dquat)
    return (numpy_zyx(np, np.asarray(attitude)),)


# --- ICP: rigid registration of two clouds by nearest neighbours ---------------

ICP_ITERATIONS = 10


def icp_data(scale):
    """A target cloud (points on a wavy sheet, with thickness) and the source: the target moved by
    a known small rotation and translation, plus noise."""
    rng = np.random.default_rng(8)
    n = int(50_000 * scale)
    u, v = rng.uniform(-1.0, 1.0, (2, n))
    target = np.column_stack([u, v, 0.2 * np.sin(3 * u) * np.cos(2 * v) + rng.normal(scale=0.01, size=n)])
    angle, axis = 0.15, np.array([0.3, -0.5, 0.8]) / np.linalg.norm([0.3, -0.5, 0.8])
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    rotation = np.eye(3) + np.sin(angle) * k + (1 - np.cos(angle)) * k @ k
    source = (target - [0.05, -0.02, 0.03]) @ rotation + rng.normal(scale=0.002, size=(n, 3))
    return source, target


def icp_results(rotation, translation, rms):
    """The transform source -> target found: its 3x3 rotation matrix (applying), translation, final rms."""
    return np.asarray(rotation, dtype=float), np.asarray(translation, dtype=float), np.array([rms])


def icp_quorral(source, target):
    goal = VecList.from_buffer(target)
    tree = KDTree(goal)
    moved = VecList.from_buffer(source)
    total = RigidTransform.identity()
    for _ in range(ICP_ITERATIONS):
        _, nearest = tree.nearest(moved)
        step, rms = moved.align_to(goal.take(nearest.cast("B").cast("q")))
        moved = step.apply(moved)
        total = total.then(step)
    return icp_results(Mat3.from_rotation(total.rotation), total.translation.to_array(), rms)


def numpy_kabsch(a, b):
    """R, t minimising sum |R a_i + t - b_i|^2, by the SVD of the cross-covariance."""
    ma, mb = a.mean(axis=0), b.mean(axis=0)
    u, _, vt = np.linalg.svd((a - ma).T @ (b - mb))
    d = np.diag([1.0, 1.0, np.sign(np.linalg.det(vt.T @ u.T))])
    rotation = vt.T @ d @ u.T
    return rotation, mb - rotation @ ma


def icp_numpy(source, target):
    tree = cKDTree(target)
    moved = source
    rotation, translation = np.eye(3), np.zeros(3)
    for _ in range(ICP_ITERATIONS):
        _, nearest = tree.query(moved, workers=-1)
        matched = target[nearest]
        r, t = numpy_kabsch(moved, matched)
        moved = moved @ r.T + t
        rotation, translation = r @ rotation, r @ translation + t
        rms = np.sqrt(((moved - matched) ** 2).sum(axis=1).mean())
    return icp_results(rotation, translation, rms)


def icp_glm(source, target):
    # PyGLM moves the points; the neighbours and the SVD come from scipy and numpy.
    tree = cKDTree(target)
    moved = glm.array(source)
    rotation, translation = glm.dmat3(1.0), glm.dvec3(0.0)
    for _ in range(ICP_ITERATIONS):
        points = np.asarray(moved)
        _, nearest = tree.query(points, workers=-1)
        matched = target[nearest]
        r, t = numpy_kabsch(points, matched)
        step, shift = glm.dmat3(*r.T.ravel()), glm.dvec3(*t)  # dmat3 takes columns
        moved = step * moved + shift
        rotation, translation = step * rotation, step * translation + shift
        rms = np.sqrt(((np.asarray(moved) - matched) ** 2).sum(axis=1).mean())
    return icp_results(np.array(rotation.to_list()).T, translation.to_list(), rms)


# --- checking and timing --------------------------------------------------------

PROGRAMS = [
    ("mesh: 200k face normals and areas, 100k vertices projected", mesh_data, mesh_quorral, mesh_numpy, mesh_glm),
    ("particles: 50k for 100 steps, reflection, kinetic energy", particle_data, particles_quorral, particles_numpy,
     particles_glm),
    ("camera: 200k points, 100 frames, world to camera, frustum culling, projection", camera_data,
     camera_quorral, camera_numpy, camera_glm),
] + ([("attitude: 1000 bodies, 2000 gyro samples, yaw / pitch / roll", attitude_data, attitude_quorral,
       attitude_numpy, attitude_glm, attitude_scipy)] if scipy else []) \
  + ([("ICP: two 50k-point clouds, 10 iterations of nearest neighbours and a rigid fit", icp_data, icp_quorral,
        icp_numpy, icp_glm)] if scipy else []) \
  + ([("forward kinematics: 6 joints, 10k configurations, 100k points moved, nearest", fk_data, fk_quorral,
        fk_numpy, fk_glm)] if scipy else [])


def check(name, reference, other, library):
    for got, want in zip(other, reference, strict=True):
        assert got.shape == want.shape, (name, library, got.shape, want.shape)
        assert np.allclose(got, want, rtol=1e-9, atol=1e-9, equal_nan=True), (name, library)


def run(repeats=5, scale=1.0, only=None):
    print(f"programs (medians of {repeats} interleaved repetitions, numpy {np.__version__}"
          f"{', scipy ' + scipy.__version__ if scipy else ''}"
          f"{', PyGLM ' + glm.version.split()[-1] if glm else ', no PyGLM'}):\n")
    print("| program | quorral | numpy | PyGLM | scipy | quorral / numpy | quorral / PyGLM | quorral / scipy |")
    print("|---|---|---|---|---|---|---|---|")
    for name, data, *versions in PROGRAMS:
        if only and not any(name.startswith(word) for word in only):
            continue
        inputs = data(scale)
        libraries = [("quorral", versions[0]), ("numpy", versions[1])] + ([("PyGLM", versions[2])] if glm else []) \
            + ([("scipy", versions[3])] if len(versions) > 3 and scipy else [])
        results = {lib: fn(*inputs) for lib, fn in libraries}
        for lib, result in results.items():
            check(name, results["numpy"], result, lib)
        times = {lib: [] for lib, _ in libraries}
        for _ in range(repeats):
            for lib, fn in libraries:
                start = time.perf_counter()
                fn(*inputs)
                times[lib].append(time.perf_counter() - start)
        med = {lib: statistics.median(t) for lib, t in times.items()}
        ms = {lib: f"{med[lib] * 1e3:.1f} ms" if lib in med else "-" for lib in ("numpy", "PyGLM", "scipy")}
        ratio = {lib: f"{med['quorral'] / med[lib]:.2f}" if lib in med else "-" for lib in ("numpy", "PyGLM", "scipy")}
        print(f"| {name} | {med['quorral'] * 1e3:.1f} ms | {ms['numpy']} | {ms['PyGLM']} | {ms['scipy']} | "
              f"{ratio['numpy']} | {ratio['PyGLM']} | {ratio['scipy']} |")
    if not scipy:
        print("\nforward kinematics, attitude and ICP skipped: scipy is not installed")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--only", nargs="+", metavar="WORD", help="the programs whose names start with WORD")
    args = parser.parse_args()
    run(args.repeats, args.scale, args.only)


if __name__ == "__main__":
    main()
