"""Surfaces and query sets for the benchmark.

Every surface is held in double precision after rounding its coordinates to float32, so the
engine (which takes float32) and every double-precision system or reference see exactly the
same geometry. Queries are float32 for the same reason.
"""
from __future__ import annotations

import dataclasses
import functools
import glob
import math
import os

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
DATA_DIR = os.path.join(HERE, "data")
SAMPLE_DIR = os.path.join(REPO, "examples", "data")

# Near-surface queries: Gaussian offsets whose deviation is this fraction of the box diagonal.
NEAR_SIGMA = 0.01
# Uniform queries fill the bounding box grown by this fraction of its extent on every side.
BOX_MARGIN = 0.1
# Neighbours used to estimate the area a raw scanned point stands for.
AREA_NEIGHBOURS = 8


def _f32(a):
    """Rounds to float32 and widens back, so float32 and float64 consumers agree exactly."""
    return np.ascontiguousarray(np.asarray(a, np.float32), dtype=np.float64)


@dataclasses.dataclass
class Surface:
    """One benchmark surface.

    kind: "soup" (triangles (N,3,3)), "mesh" (vertices (M,3) + faces (N,3)) or "points"
    (positions (N,3) + scaled normals (N,3), lengths = areas).
    """

    name: str
    kind: str
    family: str
    source: str
    vertices: np.ndarray | None = None
    faces: np.ndarray | None = None
    points: np.ndarray | None = None
    normals: np.ndarray | None = None

    def __post_init__(self):
        if self.kind in ("soup", "mesh"):
            self.vertices = _f32(self.vertices)
            self.faces = np.ascontiguousarray(self.faces, dtype=np.int64)
            if self.faces.size and (self.faces.min() < 0 or self.faces.max() >= len(self.vertices)):
                raise ValueError(f"{self.name}: face index out of range")
        elif self.kind == "points":
            self.points = _f32(self.points)
            self.normals = _f32(self.normals)
            if self.points.shape != self.normals.shape:
                raise ValueError(f"{self.name}: points and normals differ in shape")
        else:
            raise ValueError(f"unknown surface kind {self.kind!r}")

    @property
    def size(self):
        return len(self.faces) if self.kind != "points" else len(self.points)

    def triangles(self):
        """(N,3,3) float64 corner coordinates (triangle kinds only)."""
        return self.vertices[self.faces]

    def bounds(self):
        if self.kind == "points":
            pts = self.points
        else:
            used = np.zeros(len(self.vertices), bool)  # vertices no face uses do not count
            used[self.faces.reshape(-1)] = True
            pts = self.vertices[used]
        return pts.min(axis=0), pts.max(axis=0)


# ---------------------------------------------------------------------------------------------
# Mesh helpers


def face_area_vectors(vertices, faces):
    """Scaled normals 1/2 (v1 - v0) x (v2 - v0): outward for counter-clockwise faces."""
    v0, v1, v2 = (vertices[faces[:, k]] for k in range(3))
    return 0.5 * np.cross(v1 - v0, v2 - v0)


def signed_volume(vertices, faces):
    v0, v1, v2 = (vertices[faces[:, k]] for k in range(3))
    return float(np.einsum("ij,ij->i", v0, np.cross(v1, v2)).sum() / 6.0)


def boundary_edge_count(faces):
    """Edges used by exactly one face (0 for a closed mesh)."""
    edges = np.sort(np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]]), axis=1)
    _, counts = np.unique(edges, axis=0, return_counts=True)
    return int((counts == 1).sum())


def orient_outward(vertices, faces):
    """Flips a closed mesh whose faces wind clockwise seen from outside (negative volume)."""
    if signed_volume(vertices, faces) < 0:
        return faces[:, ::-1].copy()
    return faces


def midpoint_subdivide(vertices, faces):
    """One 1-to-4 midpoint split; shared edges get one shared midpoint, so the result stays
    watertight, and the geometry (hence every winding number) is unchanged."""
    n = len(vertices)
    corners = [(0, 1), (1, 2), (2, 0)]
    edges = np.concatenate([faces[:, list(c)] for c in corners])  # (3F, 2), edge e of face f at e*F+f
    key = np.sort(edges, axis=1)
    unique, inverse = np.unique(key, axis=0, return_inverse=True)
    inverse = inverse.reshape(-1)
    mids = 0.5 * (vertices[unique[:, 0]] + vertices[unique[:, 1]])
    m = (inverse + n).reshape(3, -1).T  # m[f, e]: midpoint index of edge e of face f
    a, b, c = faces[:, 0], faces[:, 1], faces[:, 2]
    mab, mbc, mca = m[:, 0], m[:, 1], m[:, 2]
    new_faces = np.concatenate([
        np.stack([a, mab, mca], 1), np.stack([mab, b, mbc], 1),
        np.stack([mca, mbc, c], 1), np.stack([mab, mbc, mca], 1)])
    return np.concatenate([vertices, mids]), new_faces


def refine_to(vertices, faces, target):
    """Midpoint subdivision until the mesh has at least target/2 faces (one split multiplies by
    four, so this lands within a factor of two of target)."""
    while 2 * len(faces) < target:
        vertices, faces = midpoint_subdivide(vertices, faces)
    return vertices, faces


def vertex_area_normals(vertices, faces):
    """Area-weighted vertex normals: each face gives a third of its area vector to each corner,
    so a normal's length is the barycentric area its vertex stands for."""
    share = face_area_vectors(vertices, faces) / 3.0
    normals = np.zeros_like(vertices)
    for k in range(3):
        np.add.at(normals, faces[:, k], share)
    return normals


def knn_areas(points, k=AREA_NEIGHBOURS, chunk=1024):
    """Area per point of a raw scan: pi r_k^2 / k, r_k the distance to the k-th neighbour
    (k points share a disc of radius r_k on a locally flat, evenly sampled surface)."""
    n = len(points)
    k = min(k, n - 1)
    if k < 1:
        return np.ones(n)
    sq = (points ** 2).sum(axis=1)
    rk2 = np.empty(n)
    for s in range(0, n, chunk):
        block = points[s:s + chunk]
        d2 = sq[s:s + chunk, None] + sq[None, :] - 2.0 * block @ points.T
        # Column k of the partition is the k-th neighbour; column 0 is the point itself.
        rk2[s:s + chunk] = np.partition(np.maximum(d2, 0.0), k, axis=1)[:, k]
    return math.pi * rk2 / k


# ---------------------------------------------------------------------------------------------
# Procedural surfaces


def _torus_grid(nu, nv, u_span=2.0 * math.pi, closed_u=True):
    """Bumpy torus (tube radius varies around both circles) as an nu x nv quad grid split into
    triangles that wind counter-clockwise seen from outside."""
    rows = nu if closed_u else nu + 1
    u = np.arange(rows) * (u_span / nu)
    v = np.arange(nv) * (2.0 * math.pi / nv)
    uu, vv = np.meshgrid(u, v, indexing="ij")
    r = 0.35 * (1.0 + 0.25 * np.sin(7.0 * uu) * np.cos(3.0 * vv))
    ring = 1.0 + r * np.cos(vv)
    verts = np.stack([ring * np.cos(uu), ring * np.sin(uu), r * np.sin(vv)], -1).reshape(-1, 3)
    i = np.arange(nu)[:, None]
    j = np.arange(nv)[None, :]
    i1 = (i + 1) % rows
    j1 = (j + 1) % nv
    a, b, c, d = i * nv + j, i1 * nv + j, i1 * nv + j1, i * nv + j1
    a, b, c, d = (np.broadcast_to(x, (nu, nv)).reshape(-1) for x in (a, b, c, d))
    # d/du x d/dv points out of the tube, so a-b-c and a-c-d wind counter-clockwise outside.
    faces = np.concatenate([np.stack([a, b, c], 1), np.stack([a, c, d], 1)])
    return verts, faces


def torus_dims(n_faces):
    nv = max(3, round(math.sqrt(n_faces / 4.0)))
    return max(3, round(n_faces / (2.0 * nv))), nv


def bumpy_torus(n_faces):
    nu, nv = torus_dims(n_faces)
    v, f = _torus_grid(nu, nv)
    return Surface(f"torus-{_size(len(f))}", "mesh", "torus", "procedural, closed", v, f)


def open_torus(n_faces):
    """Three quarters of the bumpy torus: an open tube whose two rims give fractional values."""
    nu, nv = torus_dims(n_faces)
    v, f = _torus_grid(nu, nv, u_span=1.5 * math.pi, closed_u=False)
    return Surface(f"open-tube-{_size(len(f))}", "mesh", "open", "procedural, open", v, f)


def triangle_soup(n_faces, seed=1):
    """Independent random triangles in the unit cube, each about the mean spacing in size, with
    random orientation: no connectivity, overlaps everywhere."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-1.0, 1.0, (n_faces, 1, 3))
    scale = 2.0 / n_faces ** (1.0 / 3.0)
    corners = centres + rng.normal(0.0, 0.5 * scale, (n_faces, 3, 3))
    verts = corners.reshape(-1, 3)
    faces = np.arange(3 * n_faces).reshape(-1, 3)
    return Surface(f"soup-{_size(n_faces)}", "soup", "soup", "random triangles", verts, faces)


def torus_cloud(n_points):
    """Vertices of a bumpy torus of about n_points vertices with area-weighted normals."""
    nv = max(3, round(math.sqrt(n_points / 2.0)))
    nu = max(3, round(n_points / nv))
    v, f = _torus_grid(nu, nv)
    return Surface(f"torus-points-{_size(len(v))}", "points", "torus points",
                   "procedural, area-weighted normals", points=v,
                   normals=vertex_area_normals(v, f))


def mesh_cloud(surface, name):
    return Surface(name, "points", surface.family + " points",
                   surface.source + ", vertices with area-weighted normals",
                   points=surface.vertices,
                   normals=vertex_area_normals(surface.vertices, surface.faces))


# ---------------------------------------------------------------------------------------------
# Files


def read_off(path):
    """Triangle mesh from an OFF file: polygons are split into fans; '#' comments, blank lines
    and per-face colours after the indices are ignored."""
    with open(path) as f:
        lines = [ln.split("#", 1)[0].split() for ln in f]
    lines = [ln for ln in lines if ln]
    if not lines or not lines[0][0].endswith("OFF"):
        raise ValueError(f"{path}: not an OFF file")
    # The counts may follow the keyword on its own line or share it.
    header = lines[0][1:] or lines[1]
    body = lines[1:] if lines[0][1:] else lines[2:]
    nv, nf = int(header[0]), int(header[1])
    if len(body) < nv + nf:
        raise ValueError(f"{path}: truncated ({len(body)} lines for {nv} vertices, {nf} faces)")
    verts = np.array([ln[:3] for ln in body[:nv]], dtype=np.float64).reshape(nv, 3)
    faces = []
    for ln in body[nv:nv + nf]:
        k = int(ln[0])
        idx = [int(t) for t in ln[1:1 + k]]
        faces.extend([idx[0], idx[t], idx[t + 1]] for t in range(1, k - 1))
    return verts, np.array(faces, dtype=np.int64).reshape(-1, 3)


def read_oriented_points(path):
    """Points with unit normals from an .xyz/.pwn text file (x y z nx ny nz per line)."""
    data = np.loadtxt(path, ndmin=2)
    if data.shape[1] < 6:
        raise ValueError(f"{path}: needs six columns (position and normal)")
    return data[:, :3], data[:, 3:6]


@functools.lru_cache(maxsize=2)
def _mesh_file(path, target):
    """Read (and refined) once: the same refined mesh serves as triangles and as points."""
    v, f = read_off(path)
    if boundary_edge_count(f) == 0:
        f = orient_outward(v, f)
    if target:
        v, f = refine_to(v, f, target)
    return v, f


def load_mesh(path, name, family, source, target=None):
    v, f = _mesh_file(path, target)
    return Surface(name, "mesh", family, source, v, f)


def load_scan(path, name, family, source):
    p, n = read_oriented_points(path)
    unit = n / np.maximum(np.linalg.norm(n, axis=1, keepdims=True), 1e-30)
    return Surface(name, "points", family, source, points=p,
                   normals=unit * knn_areas(p)[:, None])


# ---------------------------------------------------------------------------------------------
# Queries


def uniform_queries(surface, count, seed, margin=BOX_MARGIN):
    """Uniform in the bounding box grown by margin times its extent on every side."""
    lo, hi = surface.bounds()
    ext = hi - lo
    rng = np.random.default_rng(seed)
    q = rng.uniform(lo - margin * ext, hi + margin * ext, (count, 3))
    return np.ascontiguousarray(q, dtype=np.float32)


def near_queries(surface, count, seed):
    """Surface samples (area-weighted) moved by isotropic Gaussian offsets."""
    rng = np.random.default_rng(seed)
    lo, hi = surface.bounds()
    sigma = NEAR_SIGMA * float(np.linalg.norm(hi - lo))
    if surface.kind == "points":
        w = np.linalg.norm(surface.normals, axis=1)
        idx = rng.choice(len(w), count, p=w / w.sum()) if w.sum() > 0 else rng.integers(0, len(w), count)
        base = surface.points[idx]
    else:
        w = np.linalg.norm(face_area_vectors(surface.vertices, surface.faces), axis=1)
        idx = rng.choice(len(w), count, p=w / w.sum()) if w.sum() > 0 else rng.integers(0, len(w), count)
        tri = surface.triangles()[idx]
        r1, r2 = rng.random(count), rng.random(count)
        s = np.sqrt(r1)
        bary = np.stack([1.0 - s, s * (1.0 - r2), s * r2], 1)
        base = np.einsum("qk,qkd->qd", bary, tri)
    q = base + rng.normal(0.0, sigma, (count, 3))
    return np.ascontiguousarray(q, dtype=np.float32)


QUERY_SETS = {"uniform": uniform_queries, "near": near_queries}


# ---------------------------------------------------------------------------------------------
# Workload lists


@dataclasses.dataclass
class Plan:
    """Sizes for one run."""

    mesh_sizes: tuple           # closed procedural mesh, triangles
    soup_size: int
    open_size: int
    point_sizes: tuple          # procedural point clouds, points
    real_target: int | None     # refine real meshes until within 2x of this; None: as shipped
    queries: int                # per query set
    large_queries: int          # uniform queries for the largest closed mesh (scaling row)


PLANS = {
    # The host flavour runs kernels on the CPU: sized so that the run takes a few minutes on two
    # cores (its compute, not libigl, dominates).
    "host": Plan((10_000,), 10_000, 10_000, (10_000,), None, 10_000, 10_000),
    "cuda": Plan((10_000, 100_000, 1_000_000), 1_000_000, 1_000_000,
                 (10_000, 100_000, 1_000_000), 1_000_000, 1_000_000, 10_000_000),
}

# Real data from CGAL's demo package, extracted by bench/setup.sh: (file, name, family, source).
CGAL_MESHES = [
    ("bunny00.off", "bunny", "scan", "CGAL scanned mesh"),
    ("fandisk.off", "fandisk", "cad", "CGAL CAD mesh"),
    ("mech-holes-shark.off", "shark-holes", "cad open", "CGAL CAD mesh with holes"),
]
CGAL_POINTS = [
    ("kitten.xyz", "kitten-points", "scan points", "CGAL scanned points, k-NN areas"),
    ("oni.pwn", "oni-points", "scan points", "CGAL scanned points, k-NN areas"),
]


def _size(n):
    """Short size label: 10k, 100k, 1.2M."""
    if n >= 999_500:
        return f"{n / 1e6:.2g}M"
    if n >= 1000:
        return f"{n / 1000:.0f}k"
    return str(n)


def surfaces(plan, data_dir=DATA_DIR, sample_dir=SAMPLE_DIR, real=True, log=print):
    """Yields makers of the run's surfaces, so large ones are built only when their turn comes.
    real=False keeps the procedural ones only."""
    for n in plan.mesh_sizes:
        yield lambda n=n: bumpy_torus(n)
    yield lambda: open_torus(plan.open_size)
    yield lambda: triangle_soup(plan.soup_size)
    for n in plan.point_sizes:
        yield lambda n=n: torus_cloud(n)
    if not real:
        return

    for path in sorted(glob.glob(os.path.join(sample_dir, "*.off"))):
        stem = os.path.splitext(os.path.basename(path))[0]
        yield lambda p=path, s=stem: load_mesh(p, f"sample-{s}", "sample", "shipped sample")

    missing = []
    for fname, name, family, source in CGAL_MESHES:
        path = os.path.join(data_dir, fname)
        if not os.path.exists(path):
            missing.append(fname)
            continue
        yield lambda p=path, n=name, fa=family, so=source: load_mesh(p, n, fa, so)
        if plan.real_target:
            def refined(p=path, n=name, fa=family, so=source):
                s = load_mesh(p, n, fa, so + ", midpoint-refined", plan.real_target)
                s.name = f"{n}-{_size(s.size)}"
                return s
            yield refined
        if name == "bunny":
            def bunny_points(p=path, so=source):
                base = load_mesh(p, "bunny", "scan", so, plan.real_target)
                return mesh_cloud(base, f"bunny-points-{_size(len(base.vertices))}")
            yield bunny_points
    for fname, name, family, source in CGAL_POINTS:
        path = os.path.join(data_dir, fname)
        if not os.path.exists(path):
            missing.append(fname)
            continue
        yield lambda p=path, n=name, fa=family, so=source: load_scan(p, n, fa, so)
    if missing:
        log(f"note: CGAL data missing in {data_dir} ({', '.join(missing)}); run bench/setup.sh")
