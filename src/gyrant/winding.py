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


def _is_soup(a):
    return a.ndim == 3 and a.shape[1:] == (3, 3) and a.dtype.kind in "fiu"


def as_surface(surface=None, *, points=None, normals=None, normals_kind="auto", name=None):
    """A Surface from what users hold, each form read as what it says it is:

    - a Surface; a file path (`read_surface`); a `trimesh.Trimesh` or `trimesh.Scene` (its
      meshes with their transforms);
    - a pair `(vertices, faces)` (faces as integers, or floats holding whole numbers);
    - a triangle soup (N, 3, 3) (a list of triangles too);
    - an oriented point cloud: `points=` and `normals=` (or `Surface.from_points`), the normals
      read by `normals_kind` ("auto", "unit" or "scaled": see `Surface.from_points`).
    """
    if points is not None or normals is not None:
        if surface is not None:
            raise InputError("give a surface or points= and normals=, not both")
        if points is None or normals is None:
            raise InputError("an oriented point cloud needs both points= and normals=")
        return Surface.from_points(points, normals, name=name, normals_kind=normals_kind)
    if isinstance(surface, Surface):
        return surface
    if isinstance(surface, (str, os.PathLike)):
        from gyrant.io import read_surface

        return read_surface(surface, normals_kind=normals_kind)
    mesh = _trimesh_mesh(surface)
    if mesh is not None:
        if len(mesh.faces) == 0:
            raise InputError("surface: the trimesh object holds no triangles")
        return Surface.from_mesh(mesh.vertices, mesh.faces, name=name)
    if _is_point_cloud(surface):
        raise InputError("surface: a trimesh.PointCloud has no normals; orient it first (gyrant.orient), "
                         "or give points= and normals=")
    if isinstance(surface, tuple) and len(surface) == 2:
        return Surface.from_mesh(surface[0], surface[1], name=name)
    if isinstance(surface, list) and len(surface) == 2 and _integer_array(surface[1]):
        return Surface.from_mesh(surface[0], surface[1], name=name)
    if surface is not None and not isinstance(surface, (dict, str, bytes)):
        try:
            a = np.asarray(surface)
        except (TypeError, ValueError):
            a = None
        if a is not None and _is_soup(a):
            return Surface.from_soup(a, name=name)
        if isinstance(surface, list) and len(surface) == 2:
            return Surface.from_mesh(surface[0], surface[1], name=name)
    raise InputError("surface: expected a Surface, a file, a trimesh.Trimesh or Scene, (vertices, faces), "
                     "triangles (N, 3, 3), or points= and normals=")


def _integer_array(x):
    return hasattr(x, "dtype") and getattr(x.dtype, "kind", None) in ("i", "u")


def _trimesh_mesh(x):
    """x as one trimesh.Trimesh (a Scene's meshes concatenated, transforms applied), or None
    when x is no trimesh mesh or scene."""
    module = type(x).__module__ or ""
    if not module.startswith("trimesh"):
        return None
    import trimesh

    if isinstance(x, trimesh.Scene):
        meshes = [g for g in x.dump() if isinstance(g, trimesh.Trimesh)]
        return trimesh.util.concatenate(meshes) if meshes else trimesh.Trimesh()
    if isinstance(x, trimesh.Trimesh):
        return x
    return None


def _is_point_cloud(x):
    return (type(x).__module__ or "").startswith("trimesh") and type(x).__name__ == "PointCloud"


def _bar(total, desc, progress, unit="pt"):
    from tqdm import tqdm

    return tqdm(total=total, desc=desc, unit=unit, unit_scale=unit == "pt", dynamic_ncols=True,
                disable=None if progress is None else not progress)


def _chunk(chunk_size, default=None):
    """Queries per engine call: `chunk_size`, else `default` (else DEFAULT_CHUNK); positive."""
    if chunk_size is None:
        return DEFAULT_CHUNK if default is None else default
    try:
        chunk = int(chunk_size)
    except (TypeError, ValueError):
        chunk = 0
    if chunk < 1 or chunk != chunk_size:
        raise InputError(f"chunk_size must be a positive integer, got {chunk_size}")
    return chunk


def sample_rows(chunk_size):
    """Rows per chunk of occupancy samples: whole SAMPLE_BLOCKs, at least one, so that every
    chunk (and every stored chunk) holds whole seeded blocks."""
    return max(SAMPLE_BLOCK, _chunk(chunk_size) // SAMPLE_BLOCK * SAMPLE_BLOCK)


def check_padding(padding):
    try:
        value = float(padding)
    except (TypeError, ValueError):
        value = float("nan")
    if not (np.isfinite(value) and value >= 0):
        raise InputError(f"padding must be a number of at least 0, got {padding}")
    return value


def _parameters(surface, beta, epsilon):
    """The engine's beta and epsilon: negative selects its defaults; a point cloud's own
    epsilon unless one is given."""
    b = -1.0 if beta is None else float(beta)
    e = surface.epsilon if epsilon is None else epsilon
    e = -1.0 if e is None else float(e)
    if not (b < 0 or b > 0) or np.isnan(e):
        raise InputError(f"beta must be positive (got {beta}) and epsilon a number (got {epsilon})")
    return b, e


METHODS = ("auto", "exact", "hierarchical")


def check_method(surface, method, beta=None, epsilon=None):
    """`method` checked against the surface before any work, with the caller's `beta` and
    `epsilon` as given (None: not given). "exact" needs triangles and takes neither beta nor
    epsilon (it approximates nothing); "auto" with either given becomes "hierarchical", the
    method they tune. Returns "auto", "exact" or "hierarchical"."""
    if not isinstance(method, str) or method not in METHODS:
        raise InputError(f"method must be one of {', '.join(METHODS)}, got {method!r}")
    if method == "exact":
        if surface.kind != "mesh":
            raise InputError("method 'exact' needs a triangle surface: an oriented point cloud has no ray "
                             "crossings (use 'auto' or 'hierarchical')")
        if beta is not None or epsilon is not None:
            raise InputError("beta and epsilon tune the hierarchical method; method 'exact' takes neither")
    if method == "auto" and (beta is not None or epsilon is not None):
        return "hierarchical"
    return method


def engine_method(surface, method):
    """The engine's method for a checked `method`: "auto" is "exact" where the engine counts ray
    crossings (a triangle surface with a short boundary chain: `GyrantEngine.exact_path`),
    "hierarchical" otherwise (point clouds; surfaces whose open edges are too many to pay)."""
    if method != "auto":
        return method
    if surface.kind != "mesh":
        return "hierarchical"
    with surface.lock:
        return "exact" if surface.engine().exact_path == "crossings" else "hierarchical"


def evaluate(surface, queries, beta=-1.0, epsilon=-1.0, method="hierarchical"):
    """One engine call: (N, 3) NumPy queries in the caller's frame to float32 (N,) NumPy winding
    numbers (the surface's offset taken off in float64), by `method` ("auto" resolved here)."""
    method = engine_method(surface, method)
    with surface.lock:
        engine = surface.engine()
        q = _device.to_device(surface.local(queries))
        return _device.to_numpy(engine.compute(q, beta, epsilon, method=method))


def evaluate_rows(surface, rows, n, chunk, beta=-1.0, epsilon=-1.0, out=None, bar=None, field=None,
                  method="hierarchical"):
    """Winding numbers of n queries made by `rows(start, stop)`, `chunk` at a time, into `out`
    (float32 (n,) made here if None): memory and the time between interruptions are bounded
    by the chunk, whatever n. `field(surface, queries)`, if given, replaces the winding number
    (gyrant.distance's signed distance)."""
    out = np.empty(n, np.float32) if out is None else out
    method = engine_method(surface, method)
    for start in range(0, n, chunk):
        stop = min(start + chunk, n)
        q = rows(start, stop)
        out[start:stop] = evaluate(surface, q, beta, epsilon, method) if field is None else field(surface, q)
        if bar is not None:
            bar.update(stop - start)
    return out


def _torch_of(x):
    return "torch" in (type(x).__module__ or "") and hasattr(x, "detach")


def _queries(queries, chunk):
    """queries as an (N, 3) numeric array, checked finite chunk by chunk before any work."""
    if _torch_of(queries):
        queries = queries.detach()
        if queries.device.type != "cpu":
            raise InputError(f"queries: a tensor on {queries.device}; the {_device.flavour} flavour "
                             "takes CPU arrays")
        queries = queries.numpy()
    q = queries if hasattr(queries, "shape") and hasattr(queries, "dtype") else np.asarray(queries)
    kind = getattr(q.dtype, "kind", None)
    if kind not in ("f", "i", "u") or len(q.shape) != 2 or q.shape[1] != 3:
        raise InputError(f"queries: expected a numeric array of shape (N, 3), got {q.dtype} {tuple(q.shape)}")
    for start in range(0, q.shape[0], chunk):
        block = np.asarray(q[start : start + chunk])
        finite = np.isfinite(block).all(axis=1)
        if not finite.all():
            raise InputError(f"queries: non-finite coordinates (row {start + int(np.flatnonzero(~finite)[0])})")
    return q


def winding_numbers(surface=None, queries=None, *, points=None, normals=None, normals_kind="auto", beta=None,
                    epsilon=None, method="auto", chunk_size=None, progress=None, out=None):
    """The winding number of `surface` (see `as_surface`; or `points=` and `normals=`) at
    `queries` (N, 3), as float32 (N,).

    Queries may be NumPy arrays or anything array-like, CPU torch tensors (the result is then a
    tensor) and, in the cuda flavour, CUDA tensors and CuPy arrays (evaluated and returned on
    their device). `out`, an (N,) array (a NumPy array, a memory map, a Zarr array), receives the
    results chunk by chunk and is returned. `beta` sets the approximation (None: the engine's
    default), `epsilon` a point cloud's smoothing radius (None: the surface's own).

    `method`: "exact" counts the signed crossings of a ray from each query plus the term of the
    surface's open edges (triangle surfaces only; integers on closed ones); "hierarchical" sums
    the approximation that `beta` tunes; "auto" (default) is "exact" where the engine runs it by
    crossings (`GyrantEngine.exact_path`), and "hierarchical" for point clouds, for surfaces
    with long boundaries, and when `beta` or `epsilon` is given.
    """
    surface = as_surface(surface, points=points, normals=normals, normals_kind=normals_kind)
    if queries is None:
        raise InputError("queries: missing")
    chunk = _chunk(chunk_size)
    method = check_method(surface, method, beta, epsilon)
    b, e = _parameters(surface, beta, epsilon)
    if _device.on_device(queries):
        return _device_winding_numbers(surface, queries, chunk, b, e, progress, out, method)
    tensor = _torch_of(queries)
    q = _queries(queries, chunk)
    n = q.shape[0]
    if out is None:
        out = np.empty(n, np.float32)
    elif tuple(out.shape) != (n,):
        raise InputError(f"out: expected shape ({n},), got {tuple(out.shape)}")
    with _bar(n, "winding numbers", progress) as bar:
        evaluate_rows(surface, lambda start, stop: np.asarray(q[start:stop]), n, chunk, b, e, out, bar,
                      method=method)
    if tensor and isinstance(out, np.ndarray):
        import torch

        return torch.from_numpy(out)
    return out


def _device_winding_numbers(surface, queries, chunk, beta, epsilon, progress, out, method="hierarchical"):
    """winding_numbers over a CUDA array (cuda flavour): chunks stay on the device."""
    method = engine_method(surface, method)
    xp = _device.namespace(queries)
    if len(queries.shape) != 2 or queries.shape[1] != 3:
        raise InputError(f"queries: expected shape (N, 3), got {tuple(queries.shape)}")
    n = int(queries.shape[0])
    out = _device.empty_like_f32(queries, n) if out is None else out
    offset = surface.offset
    with surface.lock:
        engine = surface.engine()
    with _bar(n, "winding numbers", progress) as bar:
        for start in range(0, n, chunk):
            block = _device.local_block(xp, queries[start : start + chunk], offset)
            if not bool(_device.all_finite(xp, block)):
                raise InputError(f"queries: non-finite coordinates (in rows {start} to {start + len(block) - 1})")
            with surface.lock:
                out[start : start + len(block)] = _device.wrap(xp, engine.compute(block, beta, epsilon,
                                                                                   method=method))
            bar.update(len(block))
    return out


# ------------------------------------------------------------------------------------------------
# Grids


@dataclasses.dataclass
class Grid:
    """A field on a regular grid: `values[i, j, k]` is the winding number (or the signed
    distance) at `origin + (i, j, k) * spacing`."""

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


def _resolution(resolution, least=2):
    """An int n, or three ints, each at least `least`: nodes along the longest side, or per axis."""
    values = np.atleast_1d(np.asarray(resolution, dtype=object)).ravel().tolist()
    if len(values) == 1:
        values = values[0]
    try:
        ints = [int(r) for r in np.atleast_1d(values)]
    except (TypeError, ValueError):
        ints = []
    if len(ints) not in (1, 3) or min(ints) < least or ints != list(np.atleast_1d(values)):
        raise InputError(f"resolution must be one integer or three, each at least {least}, got {resolution}")
    return ints[0] if len(ints) == 1 else tuple(ints)


def grid_for(bounds, resolution, padding=0.05):
    """(origin, spacing, shape) of a grid over `bounds` grown by `padding` times its longest side
    on every side. The one convention of `voxelize` and `reconstruct`: `resolution` an int n puts
    n nodes along the longest side of that padded box, cells cubic, and `voxelize` fills the
    cube around the box (an n x n x n grid); three ints give that many nodes along each axis of
    the padded box itself."""
    lo, hi = np.asarray(bounds, dtype=np.float64)
    padding = check_padding(padding)
    resolution = _resolution(resolution)
    longest = float((hi - lo).max()) or 1.0  # a single point: any scale
    pad = padding * longest
    if np.ndim(resolution) == 0:
        n = resolution
        centre, half = (lo + hi) / 2, longest / 2 + pad
        return centre - half, np.full(3, 2 * half / (n - 1)), (n, n, n)
    shape = resolution
    lo, hi = lo - pad, hi + pad
    hi = np.where(hi > lo, hi, lo + longest)  # a flat box keeps a thickness
    return lo, (hi - lo) / (np.array(shape) - 1), shape


def _fit_grid(bounds, resolution, padding):
    """`grid_for`'s grid, cropped to the padded box for an int (the cube's other nodes only add
    outside values), with at least two cells of margin, so that a closed level set stays inside."""
    resolution = _resolution(resolution, least=8)
    padding = check_padding(padding)
    lo, hi = np.asarray(bounds, dtype=np.float64)
    if np.ndim(resolution):
        extent = hi - lo
        longest = float(extent.max()) or 1.0
        cells = np.array(resolution) - 1
        # At least two cells of margin on every axis (a flat axis keeps a thickness).
        pad = np.maximum(padding * longest, 2 * np.maximum(extent, longest / cells) / (cells - 4))
        return lo - pad, (extent + 2 * pad) / cells, resolution
    n = resolution
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


def block_queries(origin, spacing, block, offset=None):
    """The grid nodes of one block as (n, 3), in C order of the block: float32, or float64 when
    an offset is given (the surface's frame is then taken in float64)."""
    dtype = np.float32 if offset is None or not np.any(offset) else np.float64
    # Nodes in float64, then one rounding: to float32 here, or into the surface's frame later.
    axes = [origin[k] + spacing[k] * np.arange(block[k].start, block[k].stop) for k in range(3)]
    q = np.empty((len(axes[0]), len(axes[1]), len(axes[2]), 3), dtype)
    q[..., 0] = axes[0][:, None, None]
    q[..., 1] = axes[1][None, :, None]
    q[..., 2] = axes[2][None, None, :]
    return q.reshape(-1, 3)


def evaluate_grid(surface, origin, spacing, shape, *, beta=None, epsilon=None, chunk_size=None,
                  progress=None, out=None, field=None, method="auto"):
    """Grid of winding numbers (or of `field`, see `evaluate_rows`) at origin + index * spacing
    over `shape`, into `out` (any array of that shape taking slice assignment; its `chunks`, if
    any, align the blocks) or a new NumPy array. `method` as in `winding_numbers`: the exact
    method evaluates whole grid lines at a time (see `grid_block`)."""
    surface = as_surface(surface)
    chunk = _chunk(chunk_size)
    method = check_method(surface, method, beta, epsilon) if field is None else "hierarchical"
    shape = tuple(int(s) for s in shape)
    if out is None:
        out = np.empty(shape, np.float32)
    elif tuple(out.shape) != shape:
        raise InputError(f"out: expected shape {shape}, got {tuple(out.shape)}")
    b, e = _parameters(surface, beta, epsilon)
    origin, spacing = np.asarray(origin, np.float64), np.asarray(spacing, np.float64)
    with _bar(int(np.prod(shape)), "voxels", progress) as bar:
        for block in grid_blocks(shape, getattr(out, "chunks", None) or (1, 1, 1), chunk):
            out[block] = grid_block(surface, origin, spacing, block, chunk, b, e, bar, field, method)
    return Grid(out, origin, spacing)


def grid_block(surface, origin, spacing, block, chunk, beta=-1.0, epsilon=-1.0, bar=None, field=None,
               method="hierarchical"):
    """The winding numbers of one block of grid nodes, float32 of the block's shape, evaluated
    `chunk` nodes at a time (a storage chunk may hold more nodes than one call should)."""
    if field is None and engine_method(surface, method) == "exact":
        return _exact_block(surface, origin, spacing, block, chunk, bar)
    dims = [s.stop - s.start for s in block]
    plane = dims[1] * dims[2]
    rows = max(1, chunk // plane)  # whole planes of the block when they fit, else single planes
    values = np.empty(dims, np.float32)
    flat = values.reshape(dims[0], -1)
    for i in range(0, dims[0], rows):
        stop = min(i + rows, dims[0])
        sub = (slice(block[0].start + i, block[0].start + stop), block[1], block[2])
        queries = block_queries(origin, spacing, sub, surface.offset)
        evaluate_rows(surface, lambda a, b_: queries[a:b_], len(queries), chunk, beta, epsilon,
                      flat[i:stop].reshape(-1), bar, field)
    return values


def _exact_block(surface, origin, spacing, block, chunk, bar=None):
    """`grid_block` by the exact method: `GyrantEngine.compute_grid` over boxes of whole grid
    lines (along the last axis, one ray each), at most `chunk` nodes per call where a line fits.

    Each box starts at its first node, as `block_queries` places it; the engine steps from
    there in float32, so a node may sit one rounding away from where `block_queries` puts it,
    which changes its value only when the surface passes between the two."""
    dims = [s.stop - s.start for s in block]
    values = np.empty(dims, np.float32)
    if 0 in dims:
        return values
    lines = max(1, chunk // dims[2])
    nj = min(dims[1], lines)
    ni = max(1, min(dims[0], lines // nj))
    step = tuple(float(np.float32(s)) for s in spacing)
    with surface.lock:
        engine = surface.engine()
    for i in range(0, dims[0], ni):
        for j in range(0, dims[1], nj):
            box = (min(ni, dims[0] - i), min(nj, dims[1] - j), dims[2])
            first = tuple(slice(s.start + d, s.start + d + 1) for s, d in zip(block, (i, j, 0)))
            start = tuple(float(c) for c in surface.local(block_queries(origin, spacing, first, surface.offset))[0])
            with surface.lock:
                values[i : i + box[0], j : j + box[1]] = _device.to_numpy(engine.compute_grid(start, step, box))
            if bar is not None:
                bar.update(int(np.prod(box)))
    return values


FIELDS = ("winding", "sdf")


def check_field(field):
    if field not in FIELDS:
        raise InputError(f"field must be one of {', '.join(FIELDS)}, got {field!r}")
    return field


def check_method_for_field(surface, method, field, beta=None, epsilon=None):
    """`check_method` for winding numbers; signed distances take their sign their own way and
    refuse any method but "auto"."""
    if field == "winding":
        return check_method(surface, method, beta, epsilon)
    if method != "auto":
        raise InputError(f"method applies to winding numbers; field={field!r} takes none (got {method!r})")
    return method


def voxelize(surface=None, resolution=128, padding=0.05, *, points=None, normals=None, normals_kind="auto",
             beta=None, epsilon=None, method="auto", chunk_size=None, progress=None, out=None, field="winding",
             sign="winding", max_distance=None):
    """The winding number of `surface` on a regular grid over its box, as a `Grid` (values,
    origin, spacing, bounds). See `grid_for` for `resolution` and `padding`. `out` (a Zarr array,
    a memory map) receives the grid block by block, aligned to its chunks, so a grid larger than
    memory streams with memory bounded by `chunk_size` queries.

    `method` as in `winding_numbers`; the exact method casts one ray per grid line instead of a
    query per node. `field="sdf"` gives the signed distance instead (negative inside; `sign` and
    `max_distance` as in `gyrant.signed_distance`: beyond a band, +inf)."""
    surface = as_surface(surface, points=points, normals=normals, normals_kind=normals_kind)
    check_field(field)
    check_method_for_field(surface, method, field, beta, epsilon)
    origin, spacing, shape = grid_for(surface.bounds, resolution, padding)
    values = None
    if field == "sdf":
        from gyrant import distance

        values = distance.field(surface, sign, max_distance, beta, epsilon)
    elif sign != "winding" or max_distance is not None:
        raise InputError("sign and max_distance apply to field='sdf' only")
    return evaluate_grid(surface, origin, spacing, shape, beta=beta, epsilon=epsilon,
                         chunk_size=chunk_size, progress=progress, out=out, field=values, method=method)


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
        padding = check_padding(padding)
        lo, hi = surface.bounds
        pad = padding * float((hi - lo).max())
        self.lo, self.size = lo - pad, (hi - lo) + 2 * pad
        self.noise = sigma * float(np.linalg.norm(hi - lo))
        self.n, self.uniform = n, n - int(round(near_fraction * n))
        weights = surface.primitive_areas()
        total = weights.sum()
        self.cdf = np.cumsum(weights) / total if total > 0 else np.arange(1, len(weights) + 1) / len(weights)
        if seed is not None and not (isinstance(seed, (int, np.integer)) and seed >= 0):
            raise InputError(f"seed must be an integer of at least 0, got {seed}")
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


def _sample_chunks(surface, n, near_fraction, sigma, padding, seed, beta, epsilon, chunk_size, progress,
                   field=None, method="auto"):
    """(sampler, generator of (start, points, winding numbers, or `field`'s values: see
    `evaluate_rows`)): arguments are checked before the generator is returned, so bad input
    fails before any work."""
    surface = as_surface(surface)
    sampler = _Sampler(surface, n, near_fraction, sigma, padding, seed)
    chunk = sample_rows(chunk_size)
    method = check_method_for_field(surface, method, "winding" if field is None else "sdf", beta, epsilon)
    b, e = _parameters(surface, beta, epsilon)

    def chunks():
        with _bar(sampler.n, "samples", progress) as bar:
            for start in range(0, sampler.n, chunk):
                points = sampler.rows(surface, start, min(start + chunk, sampler.n))
                values = evaluate(surface, points, b, e, method) if field is None else field(surface, points)
                yield start, points, values
                bar.update(len(points))

    return sampler, chunks()


def sample_occupancy(surface=None, n=100_000, near_fraction=0.5, sigma=0.01, *, points=None, normals=None,
                     normals_kind="auto", padding=0.05, seed=None, beta=None, epsilon=None, method="auto",
                     chunk_size=None, progress=None):
    """`n` query points labelled inside or outside, the usual preparation for occupancy networks:
    `(1 - near_fraction) * n` uniform in the surface's box grown by `padding` times its longest
    side, the others on the surface (by area) moved by Gaussian noise of standard deviation
    `sigma` times the box's diagonal. Returns `Samples` (points, winding_numbers, inside).
    `method` as in `winding_numbers`."""
    surface = as_surface(surface, points=points, normals=normals, normals_kind=normals_kind)
    sampler, chunks = _sample_chunks(surface, n, near_fraction, sigma, padding, seed, beta, epsilon,
                                     chunk_size, progress, method=method)
    return Samples(*_collect_samples(sampler, chunks), sampler.uniform)


def _collect_samples(sampler, chunks):
    """The sample points and their values, gathered from `_sample_chunks`' chunks."""
    points = np.empty((sampler.n, 3), np.float32)
    values = np.empty(sampler.n, np.float32)
    for start, p, v in chunks:
        points[start : start + len(p)], values[start : start + len(p)] = p, v
    return points, values


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


SOLVER_OPTIONS = ("iterations", "tolerance", "coarse_points", "consistency_steps")


def solver_options(**options):
    """The solver's keywords that were given (None: its default), checked by name."""
    unknown = set(options) - set(SOLVER_OPTIONS)
    if unknown:
        raise InputError(f"unknown solver options: {', '.join(sorted(unknown))}")
    return {k: v for k, v in options.items() if v is not None}


def _cloud_points(points):
    """float64 (N, 3) points of an array, a file, a Surface, a trimesh PointCloud or mesh (its
    vertices), or a (vertices, faces) pair."""
    if isinstance(points, (str, os.PathLike)):
        from gyrant.io import read_points

        points = read_points(points).points
    elif isinstance(points, Surface):
        points = points.positions
    elif _trimesh_mesh(points) is not None:
        points = _trimesh_mesh(points).vertices
    elif _is_point_cloud(points):
        points = points.vertices
    elif isinstance(points, tuple) and len(points) == 2:
        points = points[0]
    return _float_rows(points, "points", dtype=np.float64)


SOLVER_STAGES = ("neighbours", "coarse fit", "consistency", "final scale")


class _StageBar:
    """The solver's stages as one tqdm bar of len(SOLVER_STAGES) steps, its description naming
    the stage under way; `progress` a callable gets (stage, done) as the solver reports them."""

    def __init__(self, progress, total_points):
        self.call = progress if callable(progress) else None
        self.bar = None if self.call else _bar(len(SOLVER_STAGES), "orienting normals", progress, unit="stage")
        self.points = total_points

    def __call__(self, stage, done):
        if self.call is not None:
            self.call(stage, done)
            return
        index = SOLVER_STAGES.index(stage) if stage in SOLVER_STAGES else 0
        self.bar.set_description(f"orienting {self.points} points: {stage}", refresh=False)
        self.bar.n = round(index + done, 2)
        self.bar.refresh()

    def close(self):
        if self.bar is not None:
            self.bar.close()


def orient(points, *, box_margin=0.1, box_per_side=12, iterations=None, tolerance=None,
           coarse_points=None, consistency_steps=None, progress=None):
    """Outward area-scaled normals for an unoriented point cloud (an (N, 3) array, a file, a
    trimesh PointCloud, or a mesh's vertices), by `GyrantEngine.solve_normals` with the points
    held at winding number 0.5 and points on a box around them (see `box_points`) at 0. Returns
    the oriented cloud as a Surface (its `normals` scaled, its `epsilon` the solver's smoothing
    radius), whose solved engine is kept for reuse.

    `progress`: None, True or False as for the other functions (a bar of the solver's stages:
    neighbours, coarse fit, consistency, final scale), or a callable that gets (stage, done),
    done the share of that stage finished. The other keywords go to the solver (None: its
    defaults)."""
    from gyrant.surface import _frame

    p = _cloud_points(points)
    if len(p) < 3:
        raise InputError(f"points: at least 3 are needed, got {len(p)}")
    offset = _frame(p)
    local = np.ascontiguousarray(p - offset, dtype=np.float32)
    del p
    engine, history = solve_local(local, box_margin, box_per_side, progress, iterations=iterations,
                                  tolerance=tolerance, coarse_points=coarse_points,
                                  consistency_steps=consistency_steps)
    normals = np.ascontiguousarray(_device.to_numpy(engine.scaled_normals), dtype=np.float32)
    surface = Surface("points", local, normals, epsilon=history["epsilon"] or None, offset=offset)
    surface._engine = engine
    surface.history = history
    return surface


def solve_local(local, box_margin=0.1, box_per_side=12, progress=None, **solver):
    """orient's solve on float32 (N, 3) points already in their frame (see surface._frame):
    (solved engine, history)."""
    from gyrant_module import GyrantEngine

    if len(local) < 3:
        raise InputError(f"points: at least 3 are needed, got {len(local)}")
    lo, hi = local.min(axis=0).astype(np.float64), local.max(axis=0).astype(np.float64)
    extra = box_points((lo, hi), box_margin, box_per_side)
    options = solver_options(**solver)
    stages = _StageBar(progress, len(local))
    try:
        engine, history = GyrantEngine.solve_normals(
            _device.to_device(local), _device.to_device(extra),
            _device.to_device(np.zeros(len(extra), np.float32)), return_history=True, progress=stages, **options)
    finally:
        stages.close()
    return engine, history


def _signed_volume(vertices, faces):
    v0, v1, v2 = (vertices[faces[:, k]].astype(np.float64) for k in range(3))
    return float(np.einsum("ij,ij->i", v0, np.cross(v1, v2)).sum() / 6.0)


def reconstruction_surface(points, normals=None, *, normals_kind="auto", progress=None, **solver):
    """The surface `reconstruct` extracts a level set from (see there)."""
    if normals is not None:
        return Surface.from_points(points, normals, name="points", normals_kind=normals_kind)
    if isinstance(points, Surface):
        return points
    if isinstance(points, (str, os.PathLike)):
        from gyrant.io import _read

        read = _read(points)
        if read[0] == "mesh":
            return Surface.from_mesh(read[1], read[2], name=str(points))
        if read[1].normals is not None:
            return read[1].surface(normals_kind)
        return orient(read[1].points, progress=progress, **solver)
    if _trimesh_mesh(points) is not None or (isinstance(points, tuple) and len(points) == 2):
        return as_surface(points)
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


def reconstruct(points, normals=None, *, normals_kind="auto", resolution=128, padding=0.05, beta=None,
                epsilon=None, method="auto", chunk_size=None, progress=None, _grid=None, **solver):
    """A closed triangle mesh: marching cubes (scikit-image) at winding number 0.5 on a grid of
    cubic cells, `resolution` nodes along the longest side of the surface's box grown by `padding`
    times that side (three values: nodes along each axis), as in `voxelize`.

    `points`: an (N, 3) array with `normals` (read by `normals_kind`, see
    `Surface.from_points`), or without them (then `orient` solves for them, with `solver` as its
    keywords), a trimesh PointCloud too; a file; or a surface: a Surface, a trimesh mesh or
    scene, a (vertices, faces) pair (its winding number's level set is a watertight version of
    it). Returns `Mesh(vertices float32 (V, 3), faces int32 (F, 3))`, faces outward.

    `method` as in `winding_numbers`: by default a mesh's grid is exact, a line at a time."""
    _need_skimage()
    solver = solver_options(**solver)
    check_padding(padding)
    _resolution(resolution, least=8)
    if method not in METHODS:
        check_method(None, method)
    surface = reconstruction_surface(points, normals, normals_kind=normals_kind, progress=progress, **solver)
    method = check_method(surface, method, beta, epsilon)
    origin, spacing, shape = reconstruction_grid(surface, resolution, padding)
    if _grid is not None:  # another runner's evaluation of the grid (gyrant.dask)
        return level_set(_grid(surface, origin, spacing, shape))
    return level_set(evaluate_grid(surface, origin, spacing, shape, beta=beta, epsilon=epsilon,
                                   chunk_size=chunk_size, progress=progress, method=method))
