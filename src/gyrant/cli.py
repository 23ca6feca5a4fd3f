"""The `gyrant` command line: info, voxelize, sample, orient and reconstruct on one's own files.

Exit status 0 on success, 2 on bad input (a missing or unreadable file, an unsupported format, a
bad argument), 1 when the computation fails; either way one line on standard error and no
output file.
"""
import argparse
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


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, like every other refusal of the command.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text}")
    return value


def _common(sub):
    sub.add_argument("--chunk-size", type=_positive_int, default=None, metavar="N",
                     help=f"queries per engine call (default {winding.DEFAULT_CHUNK})")
    sub.add_argument("--beta", type=float, default=None,
                     help="accuracy of the approximation, larger is more exact (default: the engine's)")
    sub.add_argument("--no-progress", action="store_true", help="no progress bar")


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

    sub = command("voxelize")
    sub.add_argument("input", help="mesh (OBJ, PLY, STL, OFF, GLB) or points with normals (PLY, XYZ, NPY, NPZ)")
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
    sub.add_argument("input", help="mesh or points with normals")
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
            sub.add_argument("input", help="points (PLY, XYZ, NPY, NPZ; normals ignored) or a mesh's vertices")
            sub.add_argument("-o", "--output", required=True, help="OUT.ply, OUT.npz or OUT.zarr")
        else:
            sub.add_argument("input", help="points, with normals or without (then solved), or a mesh")
            sub.add_argument("-o", "--output", required=True, help="OUT.ply, .obj, .stl, .off, .glb or .npz")
            sub.add_argument("-r", "--resolution", type=int, default=128,
                             help="grid nodes along the longest side (default 128)")
            sub.add_argument("--padding", type=float, default=0.05,
                             help="margin around the box, a fraction of its longest side (default 0.05)")
        sub.add_argument("--iterations", type=_positive_int, default=None, help="solver iterations (default 30)")
        sub.add_argument("--coarse-points", type=_positive_int, default=None,
                         help="points of the solver's coarse fit (default 4000)")
        _common(sub)
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


def cmd_voxelize(args, run):
    out = io.check_output(args.output, (".npz", ".zarr"))
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
    out = io.check_output(args.output, (".npz", ".ply", ".zarr"))
    surface = winding.as_surface(args.input)
    sampler, chunks = run.samples(surface, args)
    if out.suffix.lower() == ".zarr":
        with io.staged(out, folder=True) as temp:
            group = io.open_zarr_group(temp, {"uniform": sampler.uniform, "source": str(args.input)})
            rows = max(winding.SAMPLE_BLOCK, args.chunk_size or winding.DEFAULT_CHUNK)
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
    out = io.check_output(args.output, (".ply", ".npz", ".zarr"))
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
    out = io.check_output(args.output, (".ply", ".obj", ".stl", ".off", ".glb", ".npz"))
    mesh = run.reconstruct(args)
    io.write_mesh(out, mesh.vertices, mesh.faces)
    return f"{len(mesh.vertices)} vertices, {len(mesh.faces)} triangles"


class _InProcess:
    """Runs the commands' work in this process."""

    def __init__(self, args):
        self.args = args
        self.progress = False if args.no_progress else None

    def grid(self, surface, origin, spacing, shape, out):
        return winding.evaluate_grid(surface, origin, spacing, shape, beta=self.args.beta,
                                     chunk_size=self.args.chunk_size, progress=self.progress, out=out)

    def samples(self, surface, args):
        return winding._sample_chunks(surface, args.count, args.near_fraction, args.sigma, args.padding,
                                      args.seed, args.beta, None, args.chunk_size, self.progress)

    def reconstruct(self, args):
        return winding.reconstruct(args.input, resolution=args.resolution, padding=args.padding,
                                   beta=args.beta, chunk_size=args.chunk_size, progress=self.progress,
                                   **_solver_options(args))

    def close(self):
        pass


COMMANDS = {"voxelize": cmd_voxelize, "sample": cmd_sample, "orient": cmd_orient, "reconstruct": cmd_reconstruct}


def _runner(args):
    return _InProcess(args)


def main(argv=None):
    """Runs one command; returns its exit status."""
    args = build_parser().parse_args(argv)
    try:
        if args.command == "info":
            return cmd_info(args)
        start = time.perf_counter()
        run = _runner(args)
        try:
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
