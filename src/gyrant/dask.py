"""Winding numbers over a Dask cluster: queries sharded by rows, surfaces sharded in space, and
batches of files, on `distributed.LocalCluster` (CPUs, host flavour) or
`dask_cuda.LocalCUDACluster` (one worker per GPU, cuda flavour, CuPy chunks).

The winding number is a sum over primitives, so the partial sums of a surface's shards add up to
the whole, and queries split freely. A surface enters a graph as one key named after its token,
and each worker keeps the surfaces it has used by token (a few, most recent first), so that it
builds each surface's engine once and reuses it for every chunk of the run, even when the
graph's key is released and sent again between windows of tasks. Arguments and surfaces are checked before
anything is submitted, with the in-process functions' messages; Dask retries the tasks of a
worker that dies, and every task is deterministic, so a retried run gives the same result.
"""
import collections
import dataclasses
import os
import threading
import types

import dask
import dask.array as da
import numpy as np

from gyrant import _device, commands, distance, winding
from gyrant.surface import InputError, Surface

# Rows of queries per chunk for CPU workers (the README's recommendation): a Dask chunk has a
# fixed cost of about 7 ms on a loaded two-core machine, 1.3% of the 0.54 s one core spends on
# 2^18 queries around a 75k-triangle mesh, and large grids still make many chunks to share out.
DEFAULT_ROWS = 1 << 18


def _key(surface):
    """The surface as one graph key, named after its token: equal surfaces share a key."""
    return dask.delayed(surface, pure=True, name=f"gyrant-surface-{surface.token}")


# Surfaces (with their engines) this process has evaluated, by token, most recent last.
_KEPT = collections.OrderedDict()
_KEPT_LOCK = threading.Lock()
KEPT_SURFACES = 4
# Surfaces this process has taken in (each builds its engine at most once): a test's measure.
kept_count = 0


def _forget():
    """Drops this process's kept surfaces and their engines."""
    with _KEPT_LOCK:
        _KEPT.clear()


def _kept(surface):
    """This process's copy of `surface` with its engine: equal tokens share one engine for the
    whole run, however often the scheduler sends the surface again."""
    with _KEPT_LOCK:
        global kept_count
        kept = _KEPT.get(surface.token)
        if kept is None:
            kept_count += 1
            kept = _KEPT[surface.token] = surface
            while len(_KEPT) > KEPT_SURFACES:
                _KEPT.popitem(last=False)
        else:
            _KEPT.move_to_end(surface.token)
        return kept


def _cupy_of(array):
    """CuPy's module if `array` is a CuPy array, else None."""
    if type(array).__module__.startswith("cupy"):
        import cupy

        return cupy
    return None


def _winding_block(queries, surface, beta, epsilon, method="hierarchical", block_info=None):
    """One chunk of queries (NumPy, or CuPy in the cuda flavour) to its winding numbers, by
    `method` ("auto" resolved here, on this worker's engine of this shard)."""
    offset = block_info[0]["array-location"][0][0] if block_info else 0
    cupy = _cupy_of(queries)
    xp = cupy or np
    finite = xp.isfinite(queries).all(axis=1)
    if not bool(finite.all()):
        row = offset + int(xp.flatnonzero(~finite)[0])
        raise InputError(f"queries: non-finite coordinates (row {row})")
    surface = _kept(surface)
    method = winding.engine_method(surface, method)
    if cupy:
        q = _device.local_block(cupy, queries, surface.offset)
        with surface.lock:
            return cupy.from_dlpack(surface.engine().compute(q, beta, epsilon, method=method))
    return winding.evaluate(surface, queries, beta, epsilon, method)


def _grid_block(surface, origin, spacing, beta, epsilon, chunk, field=None, method="hierarchical",
                block_info=None):
    """One block of a grid: its nodes' winding numbers (or `field`'s values), `chunk` nodes per
    engine call (whole grid lines by the exact method)."""
    block = tuple(slice(a, b) for a, b in block_info[None]["array-location"])
    return winding.grid_block(_kept(surface), origin, spacing, block, chunk, beta, epsilon, field=field,
                              method=method)


def _part1by2(x):
    """The 21 low bits of x spread to every third bit."""
    x = x & np.uint64(0x1FFFFF)
    for shift, mask in ((32, 0x1F00000000FFFF), (16, 0x1F0000FF0000FF), (8, 0x100F00F00F00F00F),
                        (4, 0x10C30C30C30C30C3), (2, 0x1249249249249249)):
        x = (x | (x << np.uint64(shift))) & np.uint64(mask)
    return x


def shard_surface(surface, k):
    """`surface` split into k spatially coherent shards: its primitives in Morton order of their
    centroids, cut into k runs of equal count, so that each shard's tree stays tight."""
    surface = winding.as_surface(surface)
    return [surface.subset(part) for part in shard_indices(surface, k)]


def shard_indices(surface, k):
    """The primitives of each of `shard_surface`'s shards, each sorted: shard j's primitive i is
    the surface's `shard_indices(surface, k)[j][i]`."""
    k = int(k)
    if k < 1 or k > len(surface):
        raise InputError(f"surface_shards must be between 1 and the primitive count {len(surface)}, got {k}")
    if k == 1:
        return [np.arange(len(surface))]
    c = surface.centroids().astype(np.float64)
    lo, hi = c.min(axis=0), c.max(axis=0)
    cells = (np.floor((c - lo) / np.maximum(hi - lo, 1e-300) * ((1 << 21) - 1))).astype(np.uint64)
    code = _part1by2(cells[:, 0]) | (_part1by2(cells[:, 1]) << np.uint64(1)) | (_part1by2(cells[:, 2]) << np.uint64(2))
    order = np.argsort(code, kind="stable")
    return [np.sort(part) for part in np.array_split(order, k)]


def _queries(queries, rows):
    """queries as a Dask array (N, 3) chunked by rows only."""
    if not isinstance(queries, da.Array):
        a = queries if hasattr(queries, "shape") and hasattr(queries, "dtype") else np.asarray(queries)
        queries = da.from_array(a, chunks=(rows, 3)) if a.ndim == 2 else da.from_array(a)
    if queries.dtype.kind not in "fiu" or queries.ndim != 2 or queries.shape[1] != 3:
        raise InputError(f"queries: expected a numeric array of shape (N, 3), got {queries.dtype} {queries.shape}")
    if len(queries.chunks[1]) != 1:
        queries = queries.rechunk({1: 3})
    return queries


def _sum(parts):
    """Partial results added shard by shard in order (a fixed order: results repeat exactly)."""
    total = parts[0]
    for part in parts[1:]:
        total = total + part
    return total


def winding_numbers(surface, queries, *, surface_shards=1, beta=None, epsilon=None, method="auto",
                    chunk_size=None):
    """The winding number of `surface` at `queries`, a Dask array (N, 3) chunked by rows (or a
    NumPy array, chunked here by `chunk_size` rows, default `DEFAULT_ROWS`), as a Dask array
    (N,) of float32 with the same row chunks; CuPy chunks give CuPy results.

    `surface_shards=k` evaluates every chunk against k Morton-contiguous shards of the surface
    and adds the partial results, for surfaces too large for one device; each shard's
    hierarchical approximation is its own, so the result differs from the unsharded one by that
    approximation's error and float32 rounding of the k-term sum. `method` as in
    `gyrant.winding_numbers`, "auto" decided shard by shard (a shard's cut edges are boundary)."""
    surface = winding.as_surface(surface)
    method = winding.check_method(surface, method, beta, epsilon)
    b, e = winding._parameters(surface, beta, epsilon)
    q = _queries(queries, winding._chunk(chunk_size, DEFAULT_ROWS))
    meta = np.empty_like(q._meta, shape=(0,), dtype=np.float32)
    parts = [q.map_blocks(_winding_block, _key(shard), b, e, method, drop_axis=1, dtype=np.float32, meta=meta)
             for shard in shard_surface(surface, surface_shards)]
    return _sum(parts)


def grid_array(surface, origin, spacing, shape, *, chunks=128, surface_shards=1, beta=None, epsilon=None,
               chunk_size=None, field=None, method="auto"):
    """The winding numbers at origin + index * spacing over `shape` as a Dask array chunked by
    `chunks` (an int or three); each task makes its own block's nodes, `chunk_size` per engine
    call (default `gyrant.winding.DEFAULT_CHUNK`). `field` (a `gyrant.distance.SignedDistance`)
    gives its values instead, on the whole surface only. `method` as in `winding_numbers`: the
    exact method evaluates each block a grid line at a time."""
    surface = winding.as_surface(surface)
    if field is not None and surface_shards != 1:
        raise InputError("signed-distance grids take no surface shards; shard their queries instead")
    method = winding.check_method_for_field(surface, method, "winding" if field is None else "sdf", beta, epsilon)
    b, e = winding._parameters(surface, beta, epsilon)
    chunk = winding._chunk(chunk_size)
    shape = tuple(int(s) for s in shape)
    normal = da.core.normalize_chunks(chunks if np.ndim(chunks) else (int(chunks),) * 3, shape)
    origin, spacing = np.asarray(origin, np.float64), np.asarray(spacing, np.float64)
    parts = [da.map_blocks(_grid_block, _key(shard), origin, spacing, b, e, chunk, field, method, chunks=normal,
                           dtype=np.float32, meta=np.empty((0, 0, 0), np.float32))
             for shard in shard_surface(surface, surface_shards)]
    return _sum(parts)


def voxelize(surface, resolution=128, padding=0.05, *, chunks=128, surface_shards=1, beta=None, epsilon=None,
             method="auto", field="winding", sign="winding", max_distance=None):
    """`gyrant.voxelize` as a Grid whose values are a Dask array chunked by `chunks`: compute it,
    or store it (`values.to_zarr(...)`: workers write their own chunks). `field="sdf"` (with
    `sign`, `max_distance`) as there, without surface shards."""
    surface = winding.as_surface(surface)
    winding.check_method_for_field(surface, method, winding.check_field(field), beta, epsilon)
    f = None
    if field == "sdf":
        f = distance.field(surface, sign, max_distance, beta, epsilon)
    elif sign != "winding" or max_distance is not None:
        raise InputError("sign and max_distance apply to field='sdf' only")
    origin, spacing, shape = winding.grid_for(surface.bounds, resolution, padding)
    values = grid_array(surface, origin, spacing, shape, chunks=chunks, surface_shards=surface_shards,
                        beta=beta, epsilon=epsilon, field=f, method=method)
    return winding.Grid(values, origin, spacing)


def _sample_block(sampler, surface, block_info=None):
    start, stop = block_info[None]["array-location"][0]
    return sampler.rows(surface, start, stop)


def sample_occupancy(surface, n, near_fraction=0.5, sigma=0.01, *, padding=0.05, seed=None, beta=None,
                     epsilon=None, method="auto", chunk_size=None, surface_shards=1):
    """`gyrant.sample_occupancy` as `Samples` of Dask arrays. The samples are those of the
    in-process function with the same seed (drawn block by block from seeded streams); without a
    seed, one is drawn here, so that retried tasks draw the same points. `surface_shards` as in
    `winding_numbers`."""
    surface = winding.as_surface(surface)
    sampler = winding._Sampler(surface, n, near_fraction, sigma, padding, seed)
    method = winding.check_method(surface, method, beta, epsilon)
    b, e = winding._parameters(surface, beta, epsilon)
    shards = shard_surface(surface, surface_shards)
    points = _sample_points(surface, sampler, winding.sample_rows(winding._chunk(chunk_size, DEFAULT_ROWS)))
    wn = _sum([points.map_blocks(_winding_block, _key(shard), b, e, method, drop_axis=1, dtype=np.float32,
                                 meta=np.empty((0,), np.float32)) for shard in shards])
    return winding.Samples(points, wn, sampler.uniform)


# ------------------------------------------------------------------------------------------------
# Closest points and signed distances


def _checked_rows(queries, offset):
    cupy = _cupy_of(queries)
    xp = cupy or np
    finite = xp.isfinite(queries).all(axis=1)
    if not bool(finite.all()):
        raise InputError(f"queries: non-finite coordinates (row {offset + int(xp.flatnonzero(~finite)[0])})")
    return cupy


def _location(block_info):
    return block_info[0]["array-location"][0][0] if block_info else 0


def _distance_block(queries, surface, field, block_info=None):
    """One chunk of queries to its signed distances (`field`, a SignedDistance)."""
    cupy = _checked_rows(queries, _location(block_info))
    surface = _kept(surface)
    if cupy:
        q = _device.local_block(cupy, queries, surface.offset)
        with surface.lock:
            return cupy.from_dlpack(surface.engine().signed_distance(q, field.beta, field.epsilon, field.sign,
                                                                     field.max_distance))
    return field(surface, queries)


def _nearest_block(queries, surface, max_distance, index, block_info=None):
    """One chunk of queries to rows (distance, x, y, z, index) in float64 (exact for all
    three), the index mapped through `index` (a shard's primitives in the whole surface; None
    for the whole surface itself)."""
    cupy = _checked_rows(queries, _location(block_info))
    if cupy:
        queries = cupy.asnumpy(queries)
    surface = _kept(surface)
    d, p, i = distance.nearest(surface, queries, max_distance)
    rows = np.empty((len(d), 5))
    rows[:, 0], rows[:, 1:4] = d, p
    rows[:, 4] = i if index is None else np.where(i >= 0, np.asarray(index)[np.maximum(i, 0)], -1)
    return cupy.asarray(rows) if cupy else rows


def _nearest_of(*parts):
    """The nearest of each row over shards (rows as `_nearest_block`'s); ties to the first."""
    stacked = np.stack([np.asarray(p) for p in parts])
    d = np.where(np.isnan(stacked[:, :, 0]), np.inf, stacked[:, :, 0])
    return stacked[np.argmin(d, axis=0), np.arange(stacked.shape[1])]


def _winding_where(queries, mask, surface, beta, epsilon, exact):
    """Winding numbers at the rows of `mask` (hierarchical, or summed exactly), 0 elsewhere."""
    cupy = _cupy_of(queries)
    q, m = (cupy.asnumpy(queries), cupy.asnumpy(mask[:, 0])) if cupy else (queries, mask[:, 0])
    out = np.zeros(len(q), np.float32)
    if m.any():
        surface = _kept(surface)
        rows = surface.local(q[m])
        with surface.lock:
            engine = surface.engine()
            w = engine.brute_force(_device.to_device(rows), epsilon) if exact else \
                engine.compute(_device.to_device(rows), beta, epsilon)
            out[m] = _device.to_numpy(w)
    return cupy.asarray(out) if cupy else out


def _sign_margin(surface, beta):
    """How far from 0.5 one shard's hierarchical winding number may err (the engine's own rule:
    4 times its measured far-field error at the default beta, growing as beta^-3 below it)."""
    default = 2.0 if surface.kind == "points" else 2.3
    beta = default if beta < 0 else beta
    return 0.05 * (default / beta) ** 3


def closest_points(surface, queries, *, max_distance=None, surface_shards=1, chunk_size=None):
    """`gyrant.closest_points` as `ClosestPoints` of Dask arrays with the queries' row chunks
    (points float64, exact: the engine's float32 moved into the caller's frame). With
    `surface_shards=k`, the nearest of the k shards' answers, indices in the whole surface."""
    surface = winding.as_surface(surface)
    band = distance.check_band(max_distance)
    q = _queries(queries, winding._chunk(chunk_size, DEFAULT_ROWS))
    shards = shard_indices(surface, surface_shards)
    meta = np.empty((0, 0), np.float64)
    if len(shards) == 1:
        shards = [(surface, None)]
    else:
        shards = [(surface.subset(index), dask.delayed(index, pure=True)) for index in shards]
    parts = [q.map_blocks(_nearest_block, _key(shard), band, index, chunks=(q.chunks[0], (5,)), dtype=np.float64,
                          meta=meta) for shard, index in shards]
    rows = parts[0] if len(parts) == 1 else da.map_blocks(_nearest_of, *parts, dtype=np.float64, meta=meta)
    return distance.ClosestPoints(rows[:, 0].astype(np.float32), rows[:, 1:4], rows[:, 4].astype(np.int64))


def signed_distance(surface, queries, *, sign="winding", max_distance=None, surface_shards=1, beta=None,
                    epsilon=None, chunk_size=None):
    """`gyrant.signed_distance` as a Dask array (N,) of float32 with the queries' row chunks.

    With `surface_shards=k`, the distance is the least of the shards' and the sign comes from
    their summed winding numbers; where that sum lies within k times one shard's error bound of
    0.5 (and within the band), every shard sums those queries exactly, so the sign agrees with
    the exact winding number as in-process."""
    surface = winding.as_surface(surface)
    f = distance.field(surface, sign, max_distance, beta, epsilon)
    q = _queries(queries, winding._chunk(chunk_size, DEFAULT_ROWS))
    shards = shard_surface(surface, surface_shards)
    meta = np.empty_like(q._meta, shape=(0,), dtype=np.float32)
    if len(shards) == 1:
        return q.map_blocks(_distance_block, _key(surface), f, drop_axis=1, dtype=np.float32, meta=meta)
    keys = [_key(shard) for shard in shards]
    unsigned = dataclasses.replace(f, sign="none")
    parts = [q.map_blocks(_distance_block, key, unsigned, drop_axis=1, dtype=np.float32, meta=meta) for key in keys]
    d = parts[0]
    for part in parts[1:]:
        d = da.minimum(d, part)
    if f.sign == "none":
        return d

    def summed(mask, exact):
        # The mask as a column, so that its rows line up with the queries' (map_blocks aligns
        # arrays of fewer dimensions on the last axes).
        return _sum([da.map_blocks(_winding_where, q, mask[:, None], key, f.beta, f.epsilon, exact, drop_axis=1,
                                   dtype=np.float32, meta=meta) for key in keys])

    def statistic(w):
        return abs(w) if f.sign == "abs_winding" else w

    near = da.isfinite(d)
    w = summed(near, False)
    doubt = near & (abs(statistic(w) - 0.5) <= len(keys) * _sign_margin(surface, f.beta))
    w = da.where(doubt, summed(doubt, True), w)
    return da.where(near & (statistic(w) > 0.5), -d, d).astype(np.float32)


def sample_sdf(surface, count, near_fraction=0.5, sigma=0.01, *, padding=0.05, seed=None, sign="winding",
               max_distance=None, beta=None, epsilon=None, chunk_size=None, surface_shards=1):
    """`gyrant.sample_sdf` as `SdfSamples` of Dask arrays: the in-process samples for the same
    seed (a seed is drawn here if none is given, so that retried tasks draw the same points);
    `surface_shards` as in `signed_distance`."""
    surface = winding.as_surface(surface)
    sampler = winding._Sampler(surface, count, near_fraction, sigma, padding, seed)
    rows = winding.sample_rows(winding._chunk(chunk_size, DEFAULT_ROWS))
    points = _sample_points(surface, sampler, rows)
    sdf = signed_distance(surface, points, sign=sign, max_distance=max_distance, surface_shards=surface_shards,
                          beta=beta, epsilon=epsilon)
    return distance.SdfSamples(points, sdf, sampler.uniform)


def _sample_points(surface, sampler, rows):
    """The sampler's points as a Dask array of `rows` per chunk (the last one shorter)."""
    sizes = (rows,) * (sampler.n // rows) + ((sampler.n % rows,) if sampler.n % rows else ())
    chunks = da.core.normalize_chunks((sizes, (3,)), (sampler.n, 3))
    return da.map_blocks(_sample_block, dask.delayed(sampler, pure=True), _key(surface), chunks=chunks,
                         dtype=np.float32, meta=np.empty((0, 0), np.float32))


# ------------------------------------------------------------------------------------------------
# Batches of files


def _options_argv(options):
    argv = []
    for name, value in options.items():
        flag = "--" + name.replace("_", "-")
        if value is True:
            argv.append(flag)
        elif value is not None and value is not False:
            argv += [flag, str(value)]
    return argv


def batch(command, inputs, output_dir, *, format=None, **options):
    """One Dask task per file: the command line's `command` ("voxelize", "sample", "orient" or
    "reconstruct") on each input, written to `output_dir` under the input's name with the suffix
    `format` (default .npz; .ply for orient and reconstruct). `options` are the command's options
    by their Python names (resolution=64, count=100_000, near_fraction=0.5, seed=1, ...).

    Returns a list of Delayed, one per file, each computing to {"input", "output", "error"}: a
    file that cannot be read is reported there and does not stop the others. The command, its
    options, the inputs' existence and the output folder are checked before anything is
    submitted, by the command line's own parser."""
    if command not in commands.COMMANDS:
        raise InputError(f"command must be one of {', '.join(commands.COMMANDS)}, got {command!r}")
    inputs = [str(i) for i in inputs]
    if not inputs:
        raise InputError("no input files")
    argv = [command, *inputs, "-o", str(output_dir), "--no-progress"] + _options_argv(options)
    if format:
        argv += ["--format", format]
    try:
        args = commands.build_parser().parse_args(argv)
    except commands.UsageError as error:
        raise InputError(str(error)) from None
    return [dask.delayed(commands.run_file, pure=True)(task) for task in commands.file_tasks(args)]


# ------------------------------------------------------------------------------------------------
# The command line on a cluster


def local_cluster(workers, threads=None):
    """A LocalCluster of `workers` processes, one task thread each; each process's gyrant uses
    `threads` CPU threads (default: the CPUs shared out evenly)."""
    from distributed import LocalCluster

    threads = threads or max(1, (os.cpu_count() or 1) // workers)
    env = {"OMP_NUM_THREADS": str(threads)}
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, env=env,
                        dashboard_address=":0")


class CommandRunner:
    """Runs the command line's work on a Dask cluster: an existing one (`--scheduler`) or a local
    one it starts and stops (`--workers`)."""

    def __init__(self, args):
        from distributed import Client

        self.args = args
        self.progress = False if args.no_progress else None
        self.cluster = None
        if args.scheduler:
            try:
                self.client = Client(args.scheduler, timeout="20s")
            except (OSError, TimeoutError) as error:
                raise InputError(f"no Dask scheduler at {args.scheduler} ({error})") from None
        else:
            self.cluster = local_cluster(args.workers)
            self.client = Client(self.cluster)

    def _run(self, tasks, weights, description, unit="pt"):
        """Computes `tasks` (Delayed) a window at a time, so that results wait in no more memory
        than the window's; yields (index, result) as they complete."""
        from distributed import as_completed

        window = 4 * max(1, len(self.client.scheduler_info()["workers"]))
        pending = collections.deque(enumerate(tasks))
        running = as_completed()
        index_of = {}

        def submit():
            i, task = pending.popleft()
            future = self.client.compute(task)
            index_of[future.key] = i
            running.add(future)

        with winding._bar(int(sum(weights)), description, self.progress, unit) as bar:
            for _ in range(min(window, len(pending))):
                submit()
            for future in running:
                i = index_of.pop(future.key)
                result = future.result()
                future.release()
                if pending:
                    submit()
                bar.update(weights[i])
                yield i, result

    def _workers(self):
        return max(1, len(self.client.scheduler_info()["workers"]))

    def grid(self, surface, origin, spacing, shape, out, chunks=None, field=None):
        """The grid's blocks computed on the workers: written there into `out` (a Zarr array,
        whose chunks they follow) when the store has chunks enough for every worker; otherwise
        smaller blocks, gathered here and written (into `out`, or a NumPy array)."""
        stored = commands._Occupancy
        target = out.target if isinstance(out, stored) else out
        store_chunks = getattr(out, "chunks", None)
        chunks = store_chunks or chunks or (getattr(self.args, "zarr_chunk", None) or 128,) * 3
        workers = self._workers()
        wanted = 2 * workers
        on_workers = False
        if target is not None:
            # Tasks of whole store chunks, as large as leaves each worker a few of them: small
            # chunks one per task would cost more in scheduling than in evaluation.
            total = int(np.prod(shape))
            per_task = max(1, min(winding._chunk(self.args.chunk_size), total // (4 * workers)))
            grouped = tuple(winding._block_shape(shape, chunks, per_task))
            on_workers = _block_count(shape, grouped) >= wanted
            chunks = grouped if on_workers else chunks
        if not on_workers:
            chunks = _split(shape, chunks, wanted)
        values = grid_array(surface, origin, spacing, shape, chunks=chunks, beta=self.args.beta,
                            surface_shards=self.args.surface_shards, chunk_size=self.args.chunk_size,
                            field=field, method=commands.method_of(self.args))
        if isinstance(out, stored):
            values = values > 0.5
        starts = [np.cumsum((0,) + c)[:-1] for c in values.chunks]
        regions = [_region(index, starts, values.chunks) for index in np.ndindex(*values.numblocks)]
        blocks = list(np.ravel(values.to_delayed()))
        if on_workers:
            # Whole chunks of the store, written by the worker that computed them.
            blocks = [dask.delayed(_store, pure=True)(b, target, r) for b, r in zip(blocks, regions)]
        result = np.empty(shape, np.float32) if target is None else target
        weights = [int(np.prod([s.stop - s.start for s in r])) for r in regions]
        for i, block in self._run(blocks, weights, "voxels"):
            if not on_workers:
                result[regions[i]] = block
        return winding.Grid(out if target is not None else result, np.asarray(origin), np.asarray(spacing))

    def samples(self, surface, args, field=None):
        rows = args.chunk_size or winding.DEFAULT_CHUNK  # the store's rows
        if field is None:
            samples = sample_occupancy(surface, args.count, args.near_fraction, args.sigma, padding=args.padding,
                                       seed=args.seed, beta=args.beta, method=commands.method_of(args),
                                       surface_shards=args.surface_shards, chunk_size=rows)
            values = samples.winding_numbers
        else:
            samples = sample_sdf(surface, args.count, args.near_fraction, args.sigma, padding=args.padding,
                                 seed=args.seed, sign=field.sign, max_distance=field.max_distance, beta=args.beta,
                                 surface_shards=args.surface_shards, chunk_size=rows)
            values = samples.sdf
        sizes = samples.points.chunks[0]
        starts = np.cumsum((0,) + sizes)[:-1]
        tasks = [dask.delayed(tuple)(pair) for pair in zip(np.ravel(samples.points.to_delayed()),
                                                          np.ravel(values.to_delayed()))]

        def chunks():
            for i, (points, wn) in self._run(tasks, list(sizes), "samples"):
                yield int(starts[i]), points, wn

        n = samples.points.shape[0]
        return types.SimpleNamespace(n=n, uniform=samples.uniform), chunks()

    def reconstruct(self, args):
        # The in-process pipeline, with the grid evaluated here on the cluster.
        return commands.InProcess(args).reconstruct(
            args, grid=lambda surface, origin, spacing, shape: self.grid(surface, origin, spacing, shape, None,
                                                                         chunks=64))

    def files(self, tasks):
        delayed = [dask.delayed(commands.run_file, pure=True)(task) for task in tasks]
        for _, result in self._run(delayed, [1] * len(delayed), "files", unit="file"):
            yield result

    def close(self):
        if self.cluster is None:  # an existing cluster's workers go on: they keep no engine of ours
            try:
                self.client.run(_forget)
            except Exception:  # a worker gone is no reason to fail a finished run
                pass
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()


def _block_count(shape, chunks):
    return int(np.prod([-(-s // max(1, min(int(c), s))) for s, c in zip(shape, chunks)]))


def _split(shape, chunks, wanted):
    """chunks halved along their longest axis until the grid has at least `wanted` blocks (or
    blocks of one node)."""
    chunks = [max(1, min(int(c), s)) for s, c in zip(shape, chunks)]
    while _block_count(shape, chunks) < wanted and max(chunks) > 1:
        axis = int(np.argmax(chunks))
        chunks[axis] = (chunks[axis] + 1) // 2
    return tuple(chunks)


def _region(index, starts, chunks):
    return tuple(slice(int(starts[a][i]), int(starts[a][i] + chunks[a][i])) for a, i in enumerate(index))


def _store(block, target, region):
    target[region] = block
