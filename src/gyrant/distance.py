"""Closest points and signed distances, chunked like the winding numbers (see gyrant.winding).

The distance is the engine's nearest walk; the sign comes from the winding number, negative
inside (w > 0.5), as libigl, Open3D and DeepSDF have it. The engine certifies the sign with the
exact sum wherever its hierarchical w is too close to 0.5 to trust, so broken meshes (holes,
soups, self-intersections) get the sign their winding number gives, not a ray's parity.

`max_distance` makes a narrow band: queries with no primitive within it get +inf (whatever side
they lie on: no winding number is evaluated for them, which is what makes a band cheap),
closest points NaN and index -1.
"""
import collections
import dataclasses

import numpy as np

from gyrant import _device, winding
from gyrant.surface import InputError

SIGNS = ("winding", "abs_winding", "none")

ClosestPoints = collections.namedtuple("ClosestPoints", "distances points indices")
ClosestPoints.__doc__ = """Nearest primitives: `distances` float32 (N,), `points` (N, 3) in the
caller's frame (float32, or float64 for a surface kept relative to an offset), `indices` int64
(N,) of the triangle (the caller's order) or the point; beyond max_distance inf, NaN and -1."""


def check_sign(sign):
    if sign not in SIGNS:
        raise InputError(f"sign must be one of {', '.join(SIGNS)}, got {sign!r}")
    return sign


def check_band(max_distance):
    """max_distance as a float: None is no limit (inf); negative or NaN is refused."""
    try:
        value = float("inf") if max_distance is None else float(max_distance)
    except (TypeError, ValueError):
        value = float("nan")
    if not value >= 0:
        raise InputError(f"max_distance must be zero or positive (inf for no limit), got {max_distance}")
    return value


@dataclasses.dataclass(frozen=True)
class SignedDistance:
    """The field `voxelize(field="sdf")` and `sample_sdf` evaluate: a picklable callable of
    (surface, queries) for the grid and sample helpers, and for Dask's workers."""

    sign: str = "winding"
    max_distance: float = float("inf")
    beta: float = -1.0
    epsilon: float = -1.0

    def __call__(self, surface, queries):
        with surface.lock:
            engine = surface.engine()
            result = engine.signed_distance(_device.to_device(surface.local(queries)), self.beta, self.epsilon,
                                            self.sign, self.max_distance)
            return _device.to_numpy(result)


def field(surface, sign="winding", max_distance=None, beta=None, epsilon=None):
    """A checked `SignedDistance` for `surface` (beta and epsilon as for winding numbers)."""
    b, e = winding._parameters(surface, beta, epsilon)
    return SignedDistance(check_sign(sign), check_band(max_distance), b, e)


def nearest(surface, queries, max_distance=float("inf")):
    """One engine call: (N, 3) NumPy queries in the caller's frame to ClosestPoints."""
    with surface.lock:
        engine = surface.engine()
        d, p, i = engine.closest_point(_device.to_device(surface.local(queries)), max_distance)
        d, p, i = _device.to_numpy(d), _device.to_numpy(p), _device.to_numpy(i)
    return ClosestPoints(d, surface._caller(p), i)


def _checked(surface, queries, points, normals, normals_kind):
    surface = winding.as_surface(surface, points=points, normals=normals, normals_kind=normals_kind)
    if queries is None:
        raise InputError("queries: missing")
    return surface


def signed_distance(surface=None, queries=None, *, points=None, normals=None, normals_kind="auto",
                    sign="winding", max_distance=None, beta=None, epsilon=None, chunk_size=None, progress=None,
                    out=None):
    """The signed distance from `queries` (N, 3) to `surface` (any form `as_surface` takes, or
    `points=` and `normals=`), float32 (N,), negative inside.

    `sign`: "winding" (inside where w > 0.5), "abs_winding" (|w| > 0.5, for soups whose
    triangles are oriented inconsistently) or "none" (the unsigned distance). `max_distance`:
    a narrow band, +inf beyond it (None: no limit). `beta` and `epsilon` as in
    `winding_numbers`; a point cloud's distance is to its nearest point, its sign from its own
    winding number. Queries and `out` as in `winding_numbers` (torch tensors in, tensors out;
    CUDA arrays in the cuda flavour)."""
    surface = _checked(surface, queries, points, normals, normals_kind)
    chunk = winding._chunk(chunk_size)
    f = field(surface, sign, max_distance, beta, epsilon)
    if _device.on_device(queries):
        xp = _device.namespace(queries)
        out = _device.empty_like_f32(queries, int(queries.shape[0])) if out is None else out
        for start, block, engine in _device_chunks(surface, queries, chunk, "signed distances", progress):
            result = engine.signed_distance(block, f.beta, f.epsilon, f.sign, f.max_distance)
            out[start : start + len(block)] = _device.wrap(xp, result)
        return out
    tensor = winding._torch_of(queries)
    q = winding._queries(queries, chunk)
    n = q.shape[0]
    if out is None:
        out = np.empty(n, np.float32)
    elif tuple(out.shape) != (n,):
        raise InputError(f"out: expected shape ({n},), got {tuple(out.shape)}")
    with winding._bar(n, "signed distances", progress) as bar:
        winding.evaluate_rows(surface, lambda start, stop: np.asarray(q[start:stop]), n, chunk, out=out, bar=bar,
                              field=f)
    if tensor and isinstance(out, np.ndarray):
        import torch

        return torch.from_numpy(out)
    return out


def closest_points(surface=None, queries=None, *, points=None, normals=None, normals_kind="auto",
                   max_distance=None, chunk_size=None, progress=None):
    """The nearest primitive of `surface` to each of `queries` (N, 3), as `ClosestPoints`
    (distances, points, indices): points in the caller's frame, indices of the triangle in the
    caller's order or of the point. Beyond `max_distance`: inf, NaN and -1. Torch queries give
    tensors; CUDA arrays (cuda flavour) give arrays on their device."""
    surface = _checked(surface, queries, points, normals, normals_kind)
    chunk = winding._chunk(chunk_size)
    band = check_band(max_distance)
    if _device.on_device(queries):
        xp = _device.namespace(queries)
        parts = []
        for _, block, engine in _device_chunks(surface, queries, chunk, "closest points", progress):
            d, p, i = (_device.wrap(xp, r) for r in engine.closest_point(block, band))
            parts.append((d, _device.add_offset(xp, p, surface.offset), i))
        return ClosestPoints(*(_device.concatenate(xp, [part[k] for part in parts]) for k in range(3)))
    tensor = winding._torch_of(queries)
    q = winding._queries(queries, chunk)
    n = q.shape[0]
    dtype = np.float64 if surface.offset.any() else np.float32
    result = ClosestPoints(np.empty(n, np.float32), np.empty((n, 3), dtype), np.empty(n, np.int64))
    with winding._bar(n, "closest points", progress) as bar:
        for start in range(0, n, chunk):
            stop = min(start + chunk, n)
            for whole, part in zip(result, nearest(surface, np.asarray(q[start:stop]), band)):
                whole[start:stop] = part
            bar.update(stop - start)
    if tensor:
        import torch

        return ClosestPoints(*(torch.from_numpy(a) for a in result))
    return result


def _device_chunks(surface, queries, chunk, description, progress):
    """(start, local float32 block, engine) over a CUDA array's rows (cuda flavour), each block
    checked finite; the surface's lock is held while the caller uses the engine."""
    xp = _device.namespace(queries)
    if len(queries.shape) != 2 or queries.shape[1] != 3:
        raise InputError(f"queries: expected shape (N, 3), got {tuple(queries.shape)}")
    n = int(queries.shape[0])
    if n == 0:  # one empty call, so that the results have their device and shapes
        yield 0, _device.local_block(xp, queries, surface.offset), surface.engine()
        return
    with winding._bar(n, description, progress) as bar:
        for start in range(0, n, chunk):
            block = _device.local_block(xp, queries[start : start + chunk], surface.offset)
            if not bool(_device.all_finite(xp, block)):
                raise InputError(f"queries: non-finite coordinates (in rows {start} to {start + len(block) - 1})")
            with surface.lock:
                yield start, block, surface.engine()
            bar.update(len(block))


# ------------------------------------------------------------------------------------------------
# Grids and samples


@dataclasses.dataclass
class SdfSamples:
    """Query points with their signed distances (negative inside). The first `uniform` rows are
    uniform in the padded box, the others near the surface. `pos` and `neg` are DeepSDF's
    layout: rows (x, y, z, sdf) with sdf >= 0 and sdf < 0 (a row beyond a band, +inf, is
    in neither)."""

    points: np.ndarray
    sdf: np.ndarray
    uniform: int

    @property
    def pos(self):
        return deepsdf_rows(self.points, self.sdf)[0]

    @property
    def neg(self):
        return deepsdf_rows(self.points, self.sdf)[1]


def deepsdf_rows(points, sdf):
    """(pos, neg): float32 rows (x, y, z, sdf) of the finite samples outside (sdf >= 0) and
    inside (sdf < 0)."""
    rows = np.concatenate([np.asarray(points, np.float32), np.asarray(sdf, np.float32)[:, None]], axis=1)
    finite = np.isfinite(rows[:, 3])
    return rows[finite & (rows[:, 3] >= 0)], rows[finite & (rows[:, 3] < 0)]


def sample_sdf(surface=None, count=100_000, near_fraction=0.5, sigma=0.01, *, points=None, normals=None,
               normals_kind="auto", padding=0.05, seed=None, sign="winding", max_distance=None, beta=None,
               epsilon=None, chunk_size=None, progress=None):
    """`count` points with their signed distances, DeepSDF's training data: the points of
    `sample_occupancy` with the same arguments and seed (`(1 - near_fraction) * count` uniform in
    the box grown by `padding`, the others on the surface moved by Gaussian noise of `sigma`
    times the box's diagonal), labelled by `signed_distance` (`sign`, `max_distance` as there).
    Returns `SdfSamples` (points, sdf, uniform; `pos` and `neg` in DeepSDF's layout)."""
    surface = winding.as_surface(surface, points=points, normals=normals, normals_kind=normals_kind)
    f = field(surface, sign, max_distance, beta, epsilon)
    sampler, chunks = winding._sample_chunks(surface, count, near_fraction, sigma, padding, seed, beta, epsilon,
                                             chunk_size, progress, field=f)
    return SdfSamples(*winding._collect_samples(sampler, chunks), sampler.uniform)
