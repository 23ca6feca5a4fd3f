"""Chunked winding-number functions over whole files' worth of queries.

Every function evaluates its queries in chunks of `chunk_size` (memory stays bounded by the
chunk, whatever the query count) and shows a tqdm progress bar on standard error: `progress=None`
shows it when standard error is a terminal, True always, False never.
"""
import collections
import dataclasses
import os

import numpy as np

from gyrant import _device
from gyrant.surface import InputError, Surface, _float_rows

# Queries per engine call: a few tens of MB of queries and results on the CPU, more on a GPU,
# where small calls leave it idle.
DEFAULT_CHUNK = (1 << 20) if _device.flavour == "host" else (1 << 24)

# Occupancy samples are drawn in blocks of this many rows, each from its own seeded stream, so the
# same seed gives the same samples whatever the chunk size or the number of workers.
SAMPLE_BLOCK = 1 << 16

Mesh = collections.namedtuple("Mesh", "vertices faces")


class GyrantError(RuntimeError):
    """A computation that ran but cannot give the asked-for result (one-line message)."""


def as_surface(surface):
    """A Surface from a Surface, a file path, a trimesh.Trimesh, a (vertices, faces) or
    (points, scaled normals) pair, or a triangle soup (N, 3, 3)."""
    if isinstance(surface, Surface):
        return surface
    if isinstance(surface, (str, os.PathLike)):
        from gyrant.io import read_surface

        return read_surface(surface)
    if hasattr(surface, "vertices") and hasattr(surface, "faces"):  # trimesh.Trimesh and alike
        return Surface.from_mesh(surface.vertices, surface.faces)
    if isinstance(surface, (tuple, list)) and len(surface) == 2:
        second = np.asarray(surface[1])
        if second.dtype.kind in "iu":
            return Surface.from_mesh(surface[0], second)
        return Surface.from_points(surface[0], second)
    a = np.asarray(surface) if not isinstance(surface, (tuple, list, dict)) else None
    if a is not None and a.ndim == 3:
        return Surface.from_soup(a)
    raise InputError("surface: expected a Surface, a file, a trimesh.Trimesh, (vertices, faces), "
                     "(points, normals) or triangles (N, 3, 3)")


def _bar(total, desc, progress, unit="pt"):
    from tqdm import tqdm

    return tqdm(total=total, desc=desc, unit=unit, unit_scale=unit == "pt", dynamic_ncols=True,
                disable=None if progress is None else not progress)


def _chunk(chunk_size):
    chunk = DEFAULT_CHUNK if chunk_size is None else int(chunk_size)
    if chunk < 1:
        raise InputError(f"chunk_size must be positive, got {chunk_size}")
    return chunk


def _parameters(surface, beta, epsilon):
    """The engine's beta and epsilon: negative selects its defaults; a point cloud's own
    epsilon unless one is given."""
    b = -1.0 if beta is None else float(beta)
    e = surface.epsilon if epsilon is None else epsilon
    e = -1.0 if e is None else float(e)
    if not (b < 0 or b > 0) or np.isnan(e):
        raise InputError(f"beta must be positive (got {beta}) and epsilon a number (got {epsilon})")
    return b, e


def evaluate(engine, queries, beta=-1.0, epsilon=-1.0):
    """One engine call: float32 (N, 3) NumPy queries to float32 (N,) NumPy winding numbers."""
    return _device.to_numpy(engine.compute(_device.to_device(queries), beta, epsilon))


def _queries(queries, chunk):
    """queries as an (N, 3) numeric array, checked finite chunk by chunk before any work."""
    q = queries if hasattr(queries, "shape") and hasattr(queries, "dtype") else np.asarray(queries)
    if q.dtype.kind not in "fiu" or len(q.shape) != 2 or q.shape[1] != 3:
        raise InputError(f"queries: expected a numeric array of shape (N, 3), got {q.dtype} {tuple(q.shape)}")
    for start in range(0, q.shape[0], chunk):
        block = np.asarray(q[start : start + chunk])
        finite = np.isfinite(block).all(axis=1)
        if not finite.all():
            raise InputError(f"queries: non-finite coordinates (row {start + int(np.flatnonzero(~finite)[0])})")
    return q


def winding_numbers(surface, queries, *, beta=None, epsilon=None, chunk_size=None, progress=None, out=None):
    """The winding number of `surface` at `queries` (N, 3), as float32 (N,).

    `out`, an (N,) array (a NumPy array, a memory map, a Zarr array), receives the results chunk
    by chunk and is returned. `beta` sets the approximation (None: the engine's default),
    `epsilon` a point cloud's smoothing radius (None: the surface's own).
    """
    surface = as_surface(surface)
    chunk = _chunk(chunk_size)
    q = _queries(queries, chunk)
    n = q.shape[0]
    if out is None:
        out = np.empty(n, np.float32)
    elif tuple(out.shape) != (n,):
        raise InputError(f"out: expected shape ({n},), got {tuple(out.shape)}")
    b, e = _parameters(surface, beta, epsilon)
    engine = surface.engine()
    with _bar(n, "winding numbers", progress) as bar:
        for start in range(0, n, chunk):
            block = np.ascontiguousarray(q[start : start + chunk], dtype=np.float32)
            out[start : start + len(block)] = evaluate(engine, block, b, e)
            bar.update(len(block))
    return out


# ------------------------------------------------------------------------------------------------
# Grids


@dataclasses.dataclass
class Grid:
    """Winding numbers on a regular grid: `values[i, j, k]` is the winding number at
    `origin + (i, j, k) * spacing`."""

    values: object
    origin: np.ndarray
    spacing: np.ndarray

    @property
    def shape(self):
        return tuple(self.values.shape)

    @property
    def bounds(self):
        """(2, 3): the first and the last grid node."""
        return np.stack([self.origin, self.origin + self.spacing * (np.array(self.shape) - 1)])

    def axes(self):
        """The node coordinates along each axis."""
        return [self.origin[k] + self.spacing[k] * np.arange(self.shape[k]) for k in range(3)]


def grid_for(bounds, resolution, padding=0.05):
    """(origin, spacing, shape) of a grid over `bounds` grown by `padding` times its longest side
    on every side: `resolution` an int n gives an n x n x n grid of cubic cells over the cube
    around that box; three ints give that many nodes along each axis of the box itself."""
    lo, hi = np.asarray(bounds, dtype=np.float64)
    if not np.isfinite(padding) or padding < 0:
        raise InputError(f"padding must be at least 0, got {padding}")
    longest = float((hi - lo).max()) or 1.0  # a single point: any scale
    pad = padding * longest
    if np.ndim(resolution) == 0:
        n = int(resolution)
        if n < 2 or n != resolution:
            raise InputError(f"resolution must be an integer of at least 2, got {resolution}")
        centre, half = (lo + hi) / 2, longest / 2 + pad
        return centre - half, np.full(3, 2 * half / (n - 1)), (n, n, n)
    shape = tuple(int(r) for r in resolution)
    if len(shape) != 3 or min(shape) < 2 or list(shape) != list(resolution):
        raise InputError(f"resolution must be one integer or three, each at least 2, got {resolution}")
    lo, hi = lo - pad, hi + pad
    hi = np.where(hi > lo, hi, lo + longest)  # a flat box keeps a thickness
    return lo, (hi - lo) / (np.array(shape) - 1), shape


def _fit_grid(bounds, resolution, padding):
    """(origin, spacing, shape) of cubic cells over the padded box, `resolution` nodes along its
    longest side and at least two cells of margin, so that a closed level set stays inside."""
    n = int(resolution)
    if n < 8 or n != resolution:
        raise InputError(f"resolution must be an integer of at least 8, got {resolution}")
    lo, hi = np.asarray(bounds, dtype=np.float64)
    longest = float((hi - lo).max()) or 1.0
    pad = padding * longest
    step = (longest + 2 * pad) / (n - 1)
    if pad < 2 * step:
        pad = 2 * longest / (n - 5)
        step = (longest + 2 * pad) / (n - 1)
    centre = (lo + hi) / 2
    counts = np.minimum(np.ceil((hi - lo + 2 * pad) / step).astype(int) + 1, n)
    counts = np.maximum(counts, 2)
    origin = centre - step * (counts - 1) / 2
    return origin, np.full(3, step), tuple(int(c) for c in counts)


def _block_shape(shape, chunks, budget):
    """Blocks of whole `chunks` (the output's storage chunks) of at most `budget` nodes where one
    chunk allows, grown along the last axis first."""
    block = [max(1, min(int(c), s)) for c, s in zip(chunks, shape)]
    for axis in (2, 1, 0):
        others = int(np.prod(block)) // block[axis]
        fit = max(1, budget // (others * block[axis]))
        block[axis] = min(shape[axis], fit * block[axis])
    return block


def grid_blocks(shape, chunks, budget):
    """The (slice, slice, slice) blocks that tile a grid of `shape`, in C order."""
    block = _block_shape(shape, chunks, budget)
    for i in range(0, shape[0], block[0]):
        for j in range(0, shape[1], block[1]):
            for k in range(0, shape[2], block[2]):
                yield (slice(i, min(i + block[0], shape[0])), slice(j, min(j + block[1], shape[1])),
                       slice(k, min(k + block[2], shape[2])))


def block_queries(origin, spacing, block):
    """The grid nodes of one block as float32 (n, 3), in C order of the block."""
    axes = [origin[k] + spacing[k] * np.arange(block[k].start, block[k].stop) for k in range(3)]
    q = np.empty((len(axes[0]), len(axes[1]), len(axes[2]), 3), np.float32)
    q[..., 0] = axes[0][:, None, None]
    q[..., 1] = axes[1][None, :, None]
    q[..., 2] = axes[2][None, None, :]
    return q.reshape(-1, 3)


def evaluate_grid(surface, origin, spacing, shape, *, beta=None, epsilon=None, chunk_size=None,
                  progress=None, out=None):
    """Grid of winding numbers at origin + index * spacing over `shape`, into `out` (any array
    of that shape taking slice assignment; its `chunks`, if any, align the blocks) or a new
    NumPy array."""
    surface = as_surface(surface)
    chunk = _chunk(chunk_size)
    shape = tuple(int(s) for s in shape)
    if out is None:
        out = np.empty(shape, np.float32)
    elif tuple(out.shape) != shape:
        raise InputError(f"out: expected shape {shape}, got {tuple(out.shape)}")
    b, e = _parameters(surface, beta, epsilon)
    engine = surface.engine()
    origin, spacing = np.asarray(origin, np.float64), np.asarray(spacing, np.float64)
    with _bar(int(np.prod(shape)), "voxels", progress) as bar:
        for block in grid_blocks(shape, getattr(out, "chunks", None) or (1, 1, 1), chunk):
            values = evaluate(engine, block_queries(origin, spacing, block), b, e)
            out[block] = values.reshape([s.stop - s.start for s in block])
            bar.update(values.size)
    return Grid(out, origin, spacing)


def voxelize(surface, resolution=128, padding=0.05, *, beta=None, epsilon=None, chunk_size=None,
             progress=None, out=None):
    """The winding number of `surface` on a regular grid over its box, as a `Grid` (values,
    origin, spacing, bounds). See `grid_for` for `resolution` and `padding`. `out` (a Zarr array,
    a memory map) receives the grid block by block, aligned to its chunks, so a grid larger than
    memory streams with memory bounded by `chunk_size` queries."""
    surface = as_surface(surface)
    origin, spacing, shape = grid_for(surface.bounds, resolution, padding)
    return evaluate_grid(surface, origin, spacing, shape, beta=beta, epsilon=epsilon,
                         chunk_size=chunk_size, progress=progress, out=out)


# ------------------------------------------------------------------------------------------------
# Occupancy samples


@dataclasses.dataclass
class Samples:
    """Query points with their winding numbers; `inside` is winding number > 0.5. The first
    `uniform` rows are uniform in the padded box, the others near the surface."""

    points: np.ndarray
    winding_numbers: np.ndarray
    uniform: int

    @property
    def inside(self):
        return self.winding_numbers > 0.5


class _Sampler:
    """Draws rows [start, stop) of an occupancy sample of a surface: uniform rows first, then
    surface points moved by Gaussian noise. Holds no arrays of the surface but its primitives'
    area distribution, so that it travels to workers apart from the surface."""

    def __init__(self, surface, n, near_fraction, sigma, padding, seed):
        n = int(n)
        if n < 1:
            raise InputError(f"the sample count must be positive, got {n}")
        if not 0.0 <= near_fraction <= 1.0:
            raise InputError(f"near_fraction must be between 0 and 1, got {near_fraction}")
        if not (np.isfinite(sigma) and sigma >= 0):
            raise InputError(f"sigma must be at least 0, got {sigma}")
        if not (np.isfinite(padding) and padding >= 0):
            raise InputError(f"padding must be at least 0, got {padding}")
        lo, hi = surface.bounds
        pad = padding * float((hi - lo).max())
        self.lo, self.size = lo - pad, (hi - lo) + 2 * pad
        self.noise = sigma * float(np.linalg.norm(hi - lo))
        self.n, self.uniform = n, n - int(round(near_fraction * n))
        weights = surface.primitive_areas()
        total = weights.sum()
        self.cdf = np.cumsum(weights) / total if total > 0 else np.arange(1, len(weights) + 1) / len(weights)
        self.entropy = np.random.SeedSequence(seed).entropy

    def rows(self, surface, start, stop):
        parts = []
        for b in range(start // SAMPLE_BLOCK, (stop - 1) // SAMPLE_BLOCK + 1):
            lo_row, hi_row = b * SAMPLE_BLOCK, min((b + 1) * SAMPLE_BLOCK, self.n)
            rng = np.random.default_rng(np.random.SeedSequence(self.entropy, spawn_key=(b,)))
            u = min(max(self.uniform - lo_row, 0), hi_row - lo_row)
            block = np.empty((hi_row - lo_row, 3), np.float64)
            block[:u] = self.lo + rng.random((u, 3)) * self.size
            block[u:] = self._near(surface, rng, hi_row - lo_row - u)
            parts.append(block[max(start - lo_row, 0) : stop - lo_row])
        return np.concatenate(parts).astype(np.float32)

    def _near(self, s, rng, count):
        if count == 0:
            return np.zeros((0, 3))
        pick = np.minimum(np.searchsorted(self.cdf, rng.random(count) * self.cdf[-1]), len(self.cdf) - 1)
        if s.kind == "points":
            at = s.points[pick].astype(np.float64)
        else:
            t = s.vertices[s.faces[pick]].astype(np.float64)
            a, b = rng.random(count), rng.random(count)
            flip = a + b > 1.0
            a[flip], b[flip] = 1.0 - a[flip], 1.0 - b[flip]
            at = t[:, 0] + a[:, None] * (t[:, 1] - t[:, 0]) + b[:, None] * (t[:, 2] - t[:, 0])
        return at + rng.normal(scale=self.noise, size=(count, 3))


def _sample_chunks(surface, n, near_fraction, sigma, padding, seed, beta, epsilon, chunk_size, progress):
    """(sampler, generator of (start, points, winding numbers)): arguments are checked before
    the generator is returned, so bad input fails before any work."""
    surface = as_surface(surface)
    sampler = _Sampler(surface, n, near_fraction, sigma, padding, seed)
    chunk = max(SAMPLE_BLOCK, _chunk(chunk_size) // SAMPLE_BLOCK * SAMPLE_BLOCK)
    b, e = _parameters(surface, beta, epsilon)

    def chunks():
        engine = surface.engine()
        with _bar(sampler.n, "samples", progress) as bar:
            for start in range(0, sampler.n, chunk):
                points = sampler.rows(surface, start, min(start + chunk, sampler.n))
                yield start, points, evaluate(engine, points, b, e)
                bar.update(len(points))

    return sampler, chunks()


def sample_occupancy(surface, n, near_fraction=0.5, sigma=0.01, *, padding=0.05, seed=None, beta=None,
                     epsilon=None, chunk_size=None, progress=None):
    """`n` query points labelled inside or outside, the usual preparation for occupancy networks:
    `(1 - near_fraction) * n` uniform in the surface's box grown by `padding` times its longest
    side, the others on the surface (by area) moved by Gaussian noise of standard deviation
    `sigma` times the box's diagonal. Returns `Samples` (points, winding_numbers, inside)."""
    sampler, chunks = _sample_chunks(surface, n, near_fraction, sigma, padding, seed, beta, epsilon,
                                     chunk_size, progress)
    points = np.empty((sampler.n, 3), np.float32)
    wn = np.empty(sampler.n, np.float32)
    for start, p, w in chunks:
        points[start : start + len(p)], wn[start : start + len(p)] = p, w
    return Samples(points, wn, sampler.uniform)


# ------------------------------------------------------------------------------------------------
# Normals and surfaces of point clouds


def box_points(bounds, margin=0.1, per_side=12):
    """per_side x per_side points on each face of the box `bounds` grown by `margin` times its
    diagonal: points known to be outside, winding number 0."""
    lo, hi = np.asarray(bounds, dtype=np.float64)
    centre, half = (lo + hi) / 2, (hi - lo) / 2 + margin * np.linalg.norm(hi - lo)
    t = np.linspace(-1.0, 1.0, per_side)
    a, b = (x.ravel() for x in np.meshgrid(t, t))
    sides = []
    for axis in range(3):
        u, w = [k for k in range(3) if k != axis]
        for sign in (-1.0, 1.0):
            side = np.empty((len(a), 3))
            side[:, axis], side[:, u], side[:, w] = sign, a, b
            sides.append(side)
    return (centre + np.concatenate(sides) * half).astype(np.float32)


def _cloud_points(points):
    """float32 (N, 3) points of an array, a file, or a Surface/PointCloud."""
    if isinstance(points, (str, os.PathLike)):
        from gyrant.io import read_points

        points = read_points(points).points
    elif isinstance(points, Surface):
        points = points.positions
    elif hasattr(points, "points") and not hasattr(points, "shape"):
        points = points.points
    return _float_rows(points, "points")


def orient(points, *, box_margin=0.1, box_per_side=12, iterations=None, tolerance=None,
           coarse_points=None, consistency_steps=None, progress=None):
    """Outward area-scaled normals for an unoriented point cloud (an (N, 3) array or a file), by
    `GyrantEngine.solve_normals` with the points held at winding number 0.5 and points on a box
    around them (see `box_points`) at 0. Returns the oriented cloud as a Surface (its `normals`
    scaled, its `epsilon` the mean point spacing), whose solved engine is kept for reuse.

    The other keywords go to the solver (None: its defaults)."""
    from gyrant_module import GyrantEngine

    p = _cloud_points(points)
    if len(p) < 3:
        raise InputError(f"points: at least 3 are needed, got {len(p)}")
    lo, hi = p.min(axis=0).astype(np.float64), p.max(axis=0).astype(np.float64)
    extra = box_points((lo, hi), box_margin, box_per_side)
    options = {k: v for k, v in dict(iterations=iterations, tolerance=tolerance, coarse_points=coarse_points,
                                      consistency_steps=consistency_steps).items() if v is not None}
    with _bar(len(p), "orienting normals", progress) as bar:
        engine, history = GyrantEngine.solve_normals(
            _device.to_device(p), _device.to_device(extra), _device.to_device(np.zeros(len(extra), np.float32)),
            return_history=True, **options)
        bar.update(len(p))
    normals = np.ascontiguousarray(_device.to_numpy(engine.scaled_normals), dtype=np.float32)
    surface = Surface("points", p, normals, epsilon=history["epsilon"] or None)
    surface._engine = engine
    surface.history = history
    return surface


def _signed_volume(vertices, faces):
    v0, v1, v2 = (vertices[faces[:, k]].astype(np.float64) for k in range(3))
    return float(np.einsum("ij,ij->i", v0, np.cross(v1, v2)).sum() / 6.0)


def reconstruction_surface(points, normals=None, *, progress=None, **solver):
    """The surface `reconstruct` extracts a level set from (see there)."""
    if isinstance(points, Surface):
        return points
    if normals is not None:
        from gyrant.io import PointCloud

        return PointCloud(_float_rows(points, "points"), _float_rows(normals, "normals"), name="points").surface()
    if isinstance(points, (str, os.PathLike)):
        from gyrant.io import _read

        read = _read(points)
        if read[0] == "mesh":
            return Surface.from_mesh(read[1], read[2], name=str(points))
        if read[1].normals is not None:
            return read[1].surface()
        return orient(read[1].points, progress=progress, **solver)
    return orient(points, progress=progress, **solver)


def reconstruction_grid(surface, resolution, padding):
    """(origin, spacing, shape) of `reconstruct`'s grid over the surface."""
    return _fit_grid(surface.bounds, resolution, padding)


def level_set(grid):
    """Marching cubes at 0.5 over a Grid: a Mesh with outward faces."""
    from skimage import measure

    volume = np.asarray(grid.values)
    low, high = float(volume.min()), float(volume.max())
    if not low < 0.5 < high:
        raise GyrantError(f"the winding number does not cross 0.5 on the grid (from {low:.3g} to {high:.3g})")
    vertices, faces, _, _ = measure.marching_cubes(volume, level=0.5, spacing=tuple(grid.spacing))
    vertices = (vertices + grid.origin).astype(np.float32)
    faces = faces.astype(np.int32)
    if _signed_volume(vertices, faces) < 0:
        faces = np.ascontiguousarray(faces[:, ::-1])
    return Mesh(vertices, faces)


def _need_skimage():
    try:
        import skimage  # noqa: F401
    except ImportError:
        raise InputError("reconstruct needs scikit-image: python3 -m pip install scikit-image") from None


def reconstruct(points, normals=None, *, resolution=128, padding=0.05, beta=None, epsilon=None,
                chunk_size=None, progress=None, **solver):
    """A closed triangle mesh: marching cubes (scikit-image) at winding number 0.5 on a grid of
    cubic cells, `resolution` nodes along the longest side of the surface's box grown by `padding`
    times that side.

    `points`: an (N, 3) array with `normals` (area-scaled, or unit: then areas are estimated from
    the density), or without them (then `orient` solves for them, with `solver` as its keywords);
    a file; or a Surface (a mesh too: its winding number's level set is a watertight version of
    it). Returns `Mesh(vertices float32 (V, 3), faces int32 (F, 3))`, faces outward."""
    _need_skimage()
    surface = reconstruction_surface(points, normals, progress=progress, **solver)
    origin, spacing, shape = reconstruction_grid(surface, resolution, padding)
    return level_set(evaluate_grid(surface, origin, spacing, shape, beta=beta, epsilon=epsilon,
                                   chunk_size=chunk_size, progress=progress))
