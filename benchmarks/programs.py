"""Whole programs as users write them: quorral, numpy and PyGLM versions of the
same computation, checked against each other, timed in interleaved repetitions.

Prints one table: each program's median time per library and the ratios
quorral / numpy and quorral / PyGLM (below 1 means quorral is faster). The
quorral versions have no per-element Python loop; the PyGLM versions use its
array type where it has the operation and Python loops over its vectors where
it has not, as its users do.

    python benchmarks/programs.py [--repeats N] [--scale S]

--scale multiplies every problem size (1.0 gives the sizes in the table).
"""

import argparse
import statistics
import time

import numpy as np

from quorral import Vec3d, VecList

try:
    import glm
except ImportError:  # the PyGLM column is left empty
    glm = None


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
    """The numpy step both the quorral and the numpy version use, on (n, 3) float64 arrays."""
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
    energies = []
    for _ in range(STEPS):
        vel = vel + dv
        pos = pos.add_scaled(vel, DT)
        # Reflection off the floor y = 0, in place through the writable views.
        with pos.writable() as wp, vel.writable() as wv:
            p, v = np.asarray(wp), np.asarray(wv)
            reflect_below_floor(p, v)
            del p, v
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


# --- forward kinematics: needs QuatList ----------------------------------------

# FORWARD KINEMATICS (not built yet): a 6-joint serial arm over 10,000 random
# joint configurations with QuatList (composition of the joint rotations per
# configuration), then rotating a 100,000-point cloud by one end-effector pose
# and finding the point nearest a target (VecList.rotate and
# minimum_distance_to(target, 1)). Add fk_data / fk_quorral / fk_numpy / fk_glm
# here and a row in PROGRAMS once QuatList has landed.


# --- checking and timing --------------------------------------------------------

PROGRAMS = [
    ("mesh: 200k face normals and areas, 100k vertices projected", mesh_data, mesh_quorral, mesh_numpy, mesh_glm),
    ("particles: 50k for 100 steps, reflection, kinetic energy", particle_data, particles_quorral, particles_numpy,
     particles_glm),
]


def check(name, reference, other, library):
    for got, want in zip(other, reference, strict=True):
        assert got.shape == want.shape, (name, library, got.shape, want.shape)
        assert np.allclose(got, want, rtol=1e-9, atol=1e-9, equal_nan=True), (name, library)


def run(repeats=5, scale=1.0):
    print(f"programs (medians of {repeats} interleaved repetitions, numpy {np.__version__}"
          f"{', PyGLM ' + glm.version.split()[-1] if glm else ', no PyGLM'}):\n")
    print("| program | quorral | numpy | PyGLM | quorral / numpy | quorral / PyGLM |")
    print("|---|---|---|---|---|---|")
    for name, data, *versions in PROGRAMS:
        inputs = data(scale)
        libraries = [("quorral", versions[0]), ("numpy", versions[1])] + ([("PyGLM", versions[2])] if glm else [])
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
        glm_ms = f"{med['PyGLM'] * 1e3:.1f} ms" if glm else "-"
        glm_ratio = f"{med['quorral'] / med['PyGLM']:.2f}" if glm else "-"
        print(f"| {name} | {med['quorral'] * 1e3:.1f} ms | {med['numpy'] * 1e3:.1f} ms | {glm_ms} | "
              f"{med['quorral'] / med['numpy']:.2f} | {glm_ratio} |")
    print("| forward kinematics (6 joints, 10k configurations, 100k points) | needs QuatList | | | | |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args()
    run(args.repeats, args.scale)


if __name__ == "__main__":
    main()
