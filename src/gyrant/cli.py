"""The `gyrant` command line: info, voxelize, sample, orient and reconstruct on one's own files.

Exit status 0 on success, 2 on bad input (a missing or unreadable file, an unsupported format, a
bad argument), 1 when the computation fails; either way one line on standard error and no
output file. Several inputs go to a folder, one output each; `--workers N` or `--scheduler
ADDRESS` runs the work on a Dask cluster (gyrant.dask).
"""
import argparse
import copy
import pathlib
import sys
import time

import numpy as np

from gyrant import io, winding
from gyrant.surface import InputError, Surface

EXAMPLES = {
    "info": "gyrant info bunny.off",
    "voxelize": "gyrant voxelize bunny.off -o bunny.zarr --resolution 512",
    "sample": "gyrant sample bunny.obj -o samples.npz --count 1000000 --near-fraction 0.5 --sigma 0.01",
    "orient": "gyrant orient scan.xyz -o oriented.ply",
    "reconstruct": "gyrant reconstruct scan.ply -o surface.ply --resolution 256",
}

SUMMARY = {
    "info": "what a mesh or point-cloud file holds: counts, box, area, closed or not",
    "voxelize": "the winding number (or occupancy) on a regular grid, to NPZ or Zarr",
    "sample": "uniform and near-surface points labelled inside/outside, to NPZ, PLY or Zarr",
    "orient": "outward normals for an unoriented point cloud, to PLY, NPZ or Zarr",
    "reconstruct": "a closed mesh from a point cloud (or a mesh with holes), to PLY, OBJ, STL, OFF, GLB or NPZ",
}


class UsageError(Exception):
    """A refused command line (the parser's message)."""

    def __init__(self, prog, message):
        super().__init__(f"{prog}: error: {message} (see {prog} --help)")


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # Raised, not printed: main prints it as one line, gyrant.dask.batch as an InputError.
        raise UsageError(self.prog, message)


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text}")
    return value


def _common(sub, cluster=True):
    sub.add_argument("--chunk-size", type=_positive_int, default=None, metavar="N",
                     help=f"queries per engine call (default {winding.DEFAULT_CHUNK})")
    sub.add_argument("--beta", type=float, default=None,
                     help="accuracy of the approximation, larger is more exact (default: the engine's)")
    sub.add_argument("--no-progress", action="store_true", help="no progress bar")
    sub.add_argument("--format", default=None, metavar=".EXT",
                     help="with several inputs: the outputs' format (default .npz; .ply for reconstruct)")
    if cluster:
        where = sub.add_mutually_exclusive_group()
        where.add_argument("--scheduler", metavar="ADDRESS",
                           help="run on an existing Dask cluster, e.g. tcp://10.0.0.1:8786 (needs dask, distributed)")
        where.add_argument("--workers", type=_positive_int, metavar="N",
                           help="run on a local Dask cluster of N processes (needs dask, distributed)")
        sub.add_argument("--surface-shards", type=_positive_int, default=1, metavar="K",
                         help="on a cluster: split the surface into K shards and add their results (default 1)")
    else:
        sub.set_defaults(scheduler=None, workers=None, surface_shards=1)


def build_parser():
    parser = _Parser(
        prog="gyrant",
        description="Generalized winding numbers of meshes and point clouds, from files.",
        epilog="examples:\n" + "\n".join(f"  {e}" for e in EXAMPLES.values()),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    subs = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    def command(name):
        return subs.add_parser(name, help=SUMMARY[name], description=SUMMARY[name] + ".",
                               epilog=f"example:\n  {EXAMPLES[name]}",
                               formatter_class=argparse.RawDescriptionHelpFormatter)

    sub = command("info")
    sub.add_argument("input", help="mesh (OBJ, PLY, STL, OFF, GLB) or points (PLY, XYZ, NPY, NPZ)")

    several = "; several go to the folder -o, one output each"
    sub = command("voxelize")
    sub.add_argument("input", nargs="+", help="mesh (OBJ, PLY, STL, OFF, GLB) or points with normals "
                                              "(PLY, XYZ, NPY, NPZ)" + several)
    sub.add_argument("-o", "--output", required=True, help="OUT.npz or OUT.zarr (streamed chunk by chunk)")
    sub.add_argument("-r", "--resolution", type=int, default=128,
                     help="N: an N x N x N grid of cubic cells over the padded box (default 128)")
    sub.add_argument("--padding", type=float, default=0.05,
                     help="margin around the box, a fraction of its longest side (default 0.05)")
    sub.add_argument("--occupancy", action="store_true",
                     help="store inside (winding number > 0.5) as booleans instead of winding numbers")
    sub.add_argument("--zarr-chunk", type=_positive_int, default=128, metavar="N",
                     help="Zarr chunks of N x N x N nodes (default 128)")
    _common(sub)

    sub = command("sample")
    sub.add_argument("input", nargs="+", help="mesh or points with normals" + several)
    sub.add_argument("-o", "--output", required=True, help="OUT.npz, OUT.ply or OUT.zarr")
    sub.add_argument("-n", "--count", type=_positive_int, default=100_000, help="points (default 100000)")
    sub.add_argument("--near-fraction", type=float, default=0.5,
                     help="share of points near the surface, the rest uniform in the box (default 0.5)")
    sub.add_argument("--sigma", type=float, default=0.01,
                     help="noise of the near points, a fraction of the box's diagonal (default 0.01)")
    sub.add_argument("--padding", type=float, default=0.05,
                     help="margin of the uniform points' box, a fraction of its longest side (default 0.05)")
    sub.add_argument("--seed", type=int, default=None, help="random seed (default: a fresh one)")
    _common(sub)

    for name in ("orient", "reconstruct"):
        sub = command(name)
        if name == "orient":
            sub.add_argument("input", nargs="+", help="points (PLY, XYZ, NPY, NPZ; normals ignored) or a mesh's "
                                                      "vertices" + several)
            sub.add_argument("-o", "--output", required=True, help="OUT.ply, OUT.npz or OUT.zarr")
        else:
            sub.add_argument("input", nargs="+", help="points, with normals or without (then solved), or a mesh"
                                                      + several)
            sub.add_argument("-o", "--output", required=True, help="OUT.ply, .obj, .stl, .off, .glb or .npz")
            sub.add_argument("-r", "--resolution", type=int, default=128,
                             help="grid nodes along the longest side (default 128)")
            sub.add_argument("--padding", type=float, default=0.05,
                             help="margin around the box, a fraction of its longest side (default 0.05)")
        sub.add_argument("--iterations", type=_positive_int, default=None, help="solver iterations (default 30)")
        sub.add_argument("--coarse-points", type=_positive_int, default=None,
                         help="points of the solver's coarse fit (default 4000)")
        _common(sub, cluster=name == "reconstruct")
    return parser


def _say(text):
    print(text, flush=True)


def _fmt(v):
    return "[" + ", ".join(f"{x:.6g}" for x in v) + "]"


# ------------------------------------------------------------------------------------------------


def cmd_info(args):
    kind, *data = io._read(args.input)
    if kind == "mesh":
        surface = Surface.from_mesh(data[0], data[1], name=args.input)
        faces = surface.faces.astype(np.int64)
        edges = np.sort(np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]]), axis=1)
        _, uses = np.unique(edges, axis=0, return_counts=True)
        boundary, nonmanifold = int((uses == 1).sum()), int((uses > 2).sum())
        lines = [("kind", "triangle mesh"), ("vertices", len(surface.vertices)), ("triangles", len(surface))]
        closed = "yes" if boundary == 0 and nonmanifold == 0 else \
            f"no ({boundary} boundary edges, {nonmanifold} edges in more than two triangles)"
        extra = [("closed", closed),
                 ("volume", f"{winding._signed_volume(surface.vertices, surface.faces):.6g} "
                            "(signed: positive when the faces point outward)")]
    else:
        cloud = data[0]
        lines = [("kind", "point cloud"), ("points", len(cloud.points))]
        if cloud.normals is None:
            extra = [("normals", "none (gyrant orient finds them)")]
            surface = None
        else:
            surface = cloud.surface()
            length = np.linalg.norm(cloud.normals.astype(np.float64), axis=1)
            how = ("unit, with areas" if cloud.areas is not None else
                   "unit (areas estimated from the density)" if np.abs(length - 1).max() < 1e-3 else "area-scaled")
            extra = [("normals", how), ("epsilon", f"{surface.epsilon:.6g} (smoothing radius)")]
    lo, hi = (surface.bounds if surface is not None else
              np.stack([cloud.points.min(axis=0), cloud.points.max(axis=0)]))
    lines.append(("bounds", f"{_fmt(lo)} to {_fmt(hi)}"))
    if surface is not None:
        lines.append(("area", f"{surface.primitive_areas().sum():.6g}"))
    for key, value in lines + extra:
        _say(f"{key + ':':<11}{value}")
    return 0


class _Occupancy:
    """Stores `value > 0.5` into a boolean array: the grid writer's view of an occupancy grid."""

    def __init__(self, target):
        self.target, self.shape = target, target.shape
        self.chunks = getattr(target, "chunks", None)

    def __setitem__(self, key, value):
        self.target[key] = value > 0.5


OUTPUTS = {"voxelize": (".npz", ".zarr"), "sample": (".npz", ".ply", ".zarr"), "orient": (".ply", ".npz", ".zarr"),
           "reconstruct": (".ply", ".obj", ".stl", ".off", ".glb", ".npz")}


def cmd_voxelize(args, run):
    out = io.check_output(args.output, OUTPUTS["voxelize"])
    surface = winding.as_surface(args.input)
    origin, spacing, shape = winding.grid_for(surface.bounds, args.resolution, args.padding)
    name, dtype = ("occupancy", bool) if args.occupancy else ("winding_numbers", np.float32)
    attrs = {"origin": origin.tolist(), "spacing": spacing.tolist(),
             "bounds": [origin.tolist(), (origin + spacing * (np.array(shape) - 1)).tolist()],
             "source": str(args.input)}
    if out.suffix.lower() == ".zarr":
        with io.staged(out, folder=True) as temp:
            group = io.open_zarr_group(temp, attrs)
            target = io.zarr_array(group, name, shape, dtype, (args.zarr_chunk,) * 3)
            run.grid(surface, origin, spacing, shape, _Occupancy(target) if args.occupancy else target)
    else:
        grid = run.grid(surface, origin, spacing, shape, None)
        values = grid.values > 0.5 if args.occupancy else grid.values
        io.write_npz(out, {name: values, **{k: np.asarray(v) for k, v in attrs.items() if k != "source"}})
    return f"{'x'.join(map(str, shape))} {name.replace('_', ' ')}, spacing {spacing[0]:.6g}"


def cmd_sample(args, run):
    out = io.check_output(args.output, OUTPUTS["sample"])
    surface = winding.as_surface(args.input)
    sampler, chunks = run.samples(surface, args)  # its n and uniform, then (start, points, wn)
    if out.suffix.lower() == ".zarr":
        with io.staged(out, folder=True) as temp:
            group = io.open_zarr_group(temp, {"uniform": sampler.uniform, "source": str(args.input)})
            # Rows per chunk as the sampler's: each chunk of the store is written once.
            block = winding.SAMPLE_BLOCK
            rows = max(block, (args.chunk_size or winding.DEFAULT_CHUNK) // block * block)
            points = io.zarr_array(group, "points", (sampler.n, 3), np.float32, (rows, 3))
            wn = io.zarr_array(group, "winding_numbers", (sampler.n,), np.float32, (rows,))
            inside = io.zarr_array(group, "inside", (sampler.n,), bool, (rows,))
            for start, p, w in chunks:
                points[start : start + len(p)], wn[start : start + len(p)] = p, w
                inside[start : start + len(p)] = w > 0.5
    else:
        samples = winding.Samples(np.empty((sampler.n, 3), np.float32), np.empty(sampler.n, np.float32),
                                  sampler.uniform)
        for start, p, w in chunks:
            samples.points[start : start + len(p)], samples.winding_numbers[start : start + len(p)] = p, w
        if out.suffix.lower() == ".npz":
            io.write_npz(out, {"points": samples.points, "winding_numbers": samples.winding_numbers,
                               "inside": samples.inside, "uniform": np.int64(samples.uniform)})
        else:
            io.write_ply_points(out, samples.points, [("winding_number", samples.winding_numbers),
                                                       ("inside", samples.inside.astype(np.uint8))])
    return f"{sampler.n} points ({sampler.uniform} uniform), labelled"


def _solver_options(args):
    return {k: v for k, v in (("iterations", args.iterations), ("coarse_points", args.coarse_points))
            if v is not None}


def cmd_orient(args, run):
    out = io.check_output(args.output, OUTPUTS["orient"])
    points = io.read_points(args.input).points
    oriented = winding.orient(points, progress=run.progress, **_solver_options(args))
    areas = oriented.primitive_areas()
    unit = (oriented.normals / np.maximum(areas, 1e-300)[:, None]).astype(np.float32)
    arrays = {"points": oriented.points, "normals": unit, "areas": areas.astype(np.float32)}
    if out.suffix.lower() == ".ply":
        io.write_ply_points(out, oriented.points, [("nx", unit[:, 0]), ("ny", unit[:, 1]), ("nz", unit[:, 2]),
                                                   ("area", arrays["areas"])])
    elif out.suffix.lower() == ".npz":
        io.write_npz(out, {**arrays, "epsilon": np.float64(oriented.epsilon)})
    else:
        io.write_zarr(out, arrays, {"epsilon": oriented.epsilon, "source": str(args.input)})
    residuals = oriented.history["residuals"]
    return (f"{len(points)} oriented points ({len(residuals) - 1} solver iterations, "
            f"relative residual {residuals[-1]:.3g})")


def cmd_reconstruct(args, run):
    out = io.check_output(args.output, OUTPUTS["reconstruct"])
    mesh = run.reconstruct(args)
    io.write_mesh(out, mesh.vertices, mesh.faces)
    return f"{len(mesh.vertices)} vertices, {len(mesh.faces)} triangles"


class _InProcess:
    """Runs the commands' work in this process."""

    def __init__(self, args):
        self.args = args
        self.progress = False if args.no_progress else None

    def grid(self, surface, origin, spacing, shape, out, chunks=None):
        return winding.evaluate_grid(surface, origin, spacing, shape, beta=self.args.beta,
                                     chunk_size=self.args.chunk_size, progress=self.progress, out=out)

    def samples(self, surface, args):
        return winding._sample_chunks(surface, args.count, args.near_fraction, args.sigma, args.padding,
                                      args.seed, args.beta, None, args.chunk_size, self.progress)

    def reconstruct(self, args):
        return winding.reconstruct(args.input, resolution=args.resolution, padding=args.padding,
                                   beta=args.beta, chunk_size=args.chunk_size, progress=self.progress,
                                   **_solver_options(args))

    def files(self, tasks):
        with winding._bar(len(tasks), "files", self.progress, unit="file") as bar:
            for args in tasks:
                yield run_file(args)
                bar.update(1)

    def close(self):
        pass


COMMANDS = {"voxelize": cmd_voxelize, "sample": cmd_sample, "orient": cmd_orient, "reconstruct": cmd_reconstruct}
DEFAULT_SUFFIX = {"voxelize": ".npz", "sample": ".npz", "orient": ".ply", "reconstruct": ".ply"}


def run_file(args):
    """One input of several, in this process: {"input", "output", "error"}; a refused input is
    reported, not raised, so that the others go on."""
    try:
        COMMANDS[args.command](args, _InProcess(args))
    except (InputError, winding.GyrantError) as error:
        return {"input": str(args.input), "output": None, "error": str(error)}
    return {"input": str(args.input), "output": str(args.output), "error": None}


def file_tasks(args):
    """The per-input argument sets of a command with several inputs (or a folder as output)."""
    folder = pathlib.Path(args.output)
    if not folder.is_dir():
        raise InputError(f"{folder}: several inputs need an existing folder as output")
    suffix = (args.format or DEFAULT_SUFFIX[args.command]).lower()
    suffix = suffix if suffix.startswith(".") else "." + suffix
    if suffix not in OUTPUTS[args.command]:
        raise InputError(f"--format: {args.command} writes {', '.join(OUTPUTS[args.command])}, not {suffix}")
    tasks, seen = [], {}
    for source in args.input:
        source = pathlib.Path(source)
        if not source.is_file():
            raise InputError(f"{source}: no such file")
        if source.suffix.lower() not in io.MESH_SUFFIXES + io.POINT_SUFFIXES:
            raise InputError(f"{source}: unsupported format '{source.suffix}'")
        output = folder / (source.stem + suffix)
        if output in seen:
            raise InputError(f"{source} and {seen[output]} would both write {output}")
        seen[output] = source
        task = copy.copy(args)
        task.input, task.output, task.no_progress = str(source), str(output), True
        task.scheduler = task.workers = None
        tasks.append(task)
    return tasks


def _several(args, run):
    """Several inputs: each to its own output in the folder; one line per input."""
    tasks = file_tasks(args)
    refused = 0
    for result in run.files(tasks):
        if result["error"]:
            refused += 1
            print(f"gyrant {args.command}: error: {result['error']}", file=sys.stderr)
        else:
            _say(f"wrote {result['output']}")
    return 2 if refused else 0


def _runner(args):
    if args.scheduler or args.workers:
        try:
            from gyrant import dask as gyrant_dask
        except ImportError:
            raise InputError("--scheduler and --workers need Dask: python3 -m pip install 'dask[array]' "
                             "distributed") from None
        return gyrant_dask.CommandRunner(args)
    if args.surface_shards != 1:
        raise InputError("--surface-shards needs a Dask cluster (--workers or --scheduler)")
    return _InProcess(args)


def main(argv=None):
    """Runs one command; returns its exit status."""
    try:
        args = build_parser().parse_args(argv)
    except UsageError as error:
        print(error, file=sys.stderr)
        return 2
    try:
        if args.command == "info":
            return cmd_info(args)
        start = time.perf_counter()
        several = len(args.input) > 1 or (pathlib.Path(args.output).is_dir() and not io._is_zarr_store(
            pathlib.Path(args.output)))
        if several:
            file_tasks(args)  # refuses bad inputs before any cluster starts
        else:
            args.input = args.input[0]
        run = _runner(args)
        try:
            if several:
                return _several(args, run)
            done = COMMANDS[args.command](args, run)
        finally:
            run.close()
        _say(f"wrote {args.output}: {done} in {time.perf_counter() - start:.2f} s")
        return 0
    except InputError as error:
        print(f"gyrant {args.command}: error: {error}", file=sys.stderr)
        return 2
    except (winding.GyrantError, RuntimeError, MemoryError, OSError) as error:
        text = str(error).strip().splitlines()
        print(f"gyrant {args.command}: error: {text[0] if text else type(error).__name__}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"gyrant {args.command}: interrupted; nothing written", file=sys.stderr)
        return 130


def entry_point():
    sys.exit(main())


if __name__ == "__main__":
    entry_point()
