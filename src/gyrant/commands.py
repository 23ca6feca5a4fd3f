"""The commands' work, apart from the command line's entry point: the parser, one function per
command, and the plan of file tasks (one per input of several) that both runners take, the
in-process one here and gyrant.dask's on a cluster."""
import argparse
import copy
import json
import pathlib

import numpy as np

from gyrant import _device, distance, io, winding
from gyrant.surface import NORMALS_KINDS, InputError, Surface, normals_are_unit

EXAMPLES = {
    "info": "gyrant info bunny.off --json",
    "voxelize": "gyrant voxelize bunny.off -o bunny.zarr --resolution 512 [--sdf --band 0.02]",
    "sample": "gyrant sample bunny.obj -o samples.npz --count 1000000 --near-fraction 0.5 --sigma 0.01 "
              "[--sdf --layout deepsdf]",
    "orient": "gyrant orient scan.xyz -o oriented.ply",
    "reconstruct": "gyrant reconstruct scan.ply -o surface.ply --resolution 256",
}

SUMMARY = {
    "info": "what a mesh or point-cloud file holds: counts, box, area, closed or not",
    "voxelize": "the winding number (or occupancy, or signed distance) on a regular grid, to NPZ or Zarr",
    "sample": "uniform and near-surface points labelled inside/outside (or with signed distances), to NPZ, "
              "PLY or Zarr",
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


def _seed(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be an integer of at least 0, got {text}")
    return value


def _padding(text):
    try:
        return winding.check_padding(text)
    except InputError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _band(text):
    try:
        return distance.check_band(text)
    except InputError:
        raise argparse.ArgumentTypeError(f"must be a distance of at least 0, got {text}") from None


def _sdf_options(sub, what):
    sub.add_argument("--sign", choices=distance.SIGNS, default=None,
                     help="with --sdf: inside where the winding number w > 0.5 (winding), where |w| > 0.5 "
                          "(abs_winding: soups oriented inconsistently), or never (none: unsigned) "
                          "(default winding)")
    sub.add_argument("--band", type=_band, default=None, metavar="D",
                     help=f"with --sdf: a narrow band; {what} farther than D (in the surface's units) from "
                          "the surface get +inf, and cost little (default: no band)")


def _normals_option(sub):
    sub.add_argument("--normals", choices=NORMALS_KINDS, default="auto",
                     help="a point cloud's normals: unit (areas estimated from the density), scaled "
                          "(their length is the area each point stands for), or auto: unit when the "
                          "median length of the non-zero normals is within 1%% of 1 (default auto)")


def _common(sub, name, cluster=True, evaluates=True):
    if evaluates:
        sub.add_argument("--chunk-size", type=_positive_int, default=None, metavar="N",
                         help=f"queries per engine call (default {winding.DEFAULT_CHUNK})")
        sub.add_argument("--beta", type=float, default=None,
                         help="accuracy of the hierarchical approximation, larger is more exact (default: the "
                              "engine's)")
        sub.add_argument("--method", choices=winding.METHODS, default="auto",
                         help="exact: signed ray crossings plus the open edges' term (triangle meshes only); "
                              "hierarchical: the approximation --beta tunes; auto: exact for a mesh where the "
                              "engine counts crossings, else hierarchical, and hierarchical with --beta "
                              "(default auto)")
    else:
        sub.set_defaults(chunk_size=None, beta=None, method="auto")
    sub.add_argument("--overwrite", action="store_true", help="replace an output that exists")
    sub.add_argument("--no-progress", action="store_true", help="no progress bar")
    sub.add_argument("--format", default=None, metavar=".EXT",
                     help=f"with several inputs: the outputs' format (default {DEFAULT_SUFFIX[name]})")
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


def version():
    try:
        from importlib.metadata import PackageNotFoundError, version as installed
        return installed("gyrant")
    except (ImportError, PackageNotFoundError):  # run from a source tree
        return "0.1.0+source"


def build_parser():
    parser = _Parser(
        prog="gyrant",
        description="Generalized winding numbers of meshes and point clouds, from files.",
        epilog="examples:\n" + "\n".join(f"  {e}" for e in EXAMPLES.values()),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    from gyrant_module import flavour

    parser.add_argument("--version", action="version", version=f"gyrant {version()} ({flavour} flavour)")
    subs = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    def command(name):
        return subs.add_parser(name, help=SUMMARY[name], description=SUMMARY[name] + ".",
                               epilog=f"example:\n  {EXAMPLES[name]}",
                               formatter_class=argparse.RawDescriptionHelpFormatter)

    sub = command("info")
    sub.add_argument("input", help="mesh (OBJ, PLY, STL, OFF, GLB) or points (PLY, XYZ, NPY, NPZ)")
    sub.add_argument("--json", action="store_true", help="one JSON object on standard output")
    _normals_option(sub)

    several = "; several go to the folder -o, one output each"
    sub = command("voxelize")
    sub.add_argument("input", nargs="+", help="mesh (OBJ, PLY, STL, OFF, GLB) or points with normals "
                                              "(PLY, XYZ, NPY, NPZ)" + several)
    sub.add_argument("-o", "--output", required=True, help="OUT.npz or OUT.zarr (streamed chunk by chunk)")
    sub.add_argument("-r", "--resolution", type=int, nargs="+", default=[128], metavar="N",
                     help="N: N nodes along the longest side of the padded box, cubic cells, over the "
                          "cube around it (an N x N x N grid); NX NY NZ: nodes per axis of the padded box "
                          "(default 128)")
    sub.add_argument("--padding", type=_padding, default=0.05,
                     help="margin around the box, a fraction of its longest side (default 0.05)")
    field = sub.add_mutually_exclusive_group()
    field.add_argument("--occupancy", action="store_true",
                       help="store inside (winding number > 0.5) as booleans instead of winding numbers")
    field.add_argument("--sdf", action="store_true",
                       help="store the signed distance (negative inside) instead of winding numbers")
    _sdf_options(sub, "nodes")
    sub.add_argument("--zarr-chunk", type=_positive_int, default=128, metavar="N",
                     help="Zarr chunks of N x N x N nodes (default 128)")
    _normals_option(sub)
    _common(sub, "voxelize")

    sub = command("sample")
    sub.add_argument("input", nargs="+", help="mesh or points with normals" + several)
    sub.add_argument("-o", "--output", required=True, help="OUT.npz, OUT.ply or OUT.zarr")
    sub.add_argument("-n", "--count", type=_positive_int, default=100_000, help="points (default 100000)")
    sub.add_argument("--near-fraction", type=float, default=0.5,
                     help="share of points near the surface, the rest uniform in the box (default 0.5)")
    sub.add_argument("--sigma", type=float, default=0.01,
                     help="noise of the near points, a fraction of the box's diagonal (default 0.01)")
    sub.add_argument("--padding", type=_padding, default=0.05,
                     help="margin of the uniform points' box, a fraction of its longest side (default 0.05)")
    sub.add_argument("--seed", type=_seed, default=None, help="random seed, at least 0 (default: a fresh one)")
    sub.add_argument("--sdf", action="store_true",
                     help="label the points with their signed distance (negative inside) instead of the "
                          "winding number")
    _sdf_options(sub, "points")
    sub.add_argument("--layout", choices=("points", "deepsdf"), default="points",
                     help="with --sdf, for NPZ: points and sdf arrays (points), or DeepSDF's pos and neg "
                          "arrays of rows x, y, z, sdf (deepsdf) (default points)")
    _normals_option(sub)
    _common(sub, "sample")

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
            sub.add_argument("-r", "--resolution", type=int, nargs="+", default=[128], metavar="N",
                             help="N: nodes along the longest side of the padded box, cubic cells, as "
                                  "voxelize; NX NY NZ: nodes per axis (default 128)")
            sub.add_argument("--padding", type=_padding, default=0.05,
                             help="margin around the box, a fraction of its longest side (default 0.05)")
            _normals_option(sub)
        sub.add_argument("--iterations", type=_positive_int, default=None, help="solver iterations (default 30)")
        sub.add_argument("--coarse-points", type=_positive_int, default=None,
                         help="points of the solver's coarse fit (default 4000)")
        _common(sub, name, cluster=name == "reconstruct", evaluates=name == "reconstruct")
    return parser


def _say(text):
    print(text, flush=True)


def _fmt(v):
    return "[" + ", ".join(f"{x:.6g}" for x in v) + "]"


# ------------------------------------------------------------------------------------------------


def _topology(vertices, faces):
    """(boundary edges, edges in more than two triangles), with vertices at one position merged:
    STL and soups repeat a vertex per triangle, and a closed surface is still closed."""
    _, canonical = np.unique(np.asarray(vertices), axis=0, return_inverse=True)
    f = canonical.reshape(-1)[faces.astype(np.int64)]
    f = f[(f[:, 0] != f[:, 1]) & (f[:, 1] != f[:, 2]) & (f[:, 2] != f[:, 0])]  # collapsed by the merge
    edges = np.sort(np.concatenate([f[:, [0, 1]], f[:, [1, 2]], f[:, [2, 0]]]), axis=1)
    _, uses = np.unique(edges, axis=0, return_counts=True)
    return int((uses == 1).sum()), int((uses > 2).sum())


def info(path, normals_kind="auto"):
    """What a file holds, as a dict of plain values (the `info` command's report)."""
    kind, *data = io._read(path)
    if kind == "mesh":
        surface = Surface.from_mesh(data[0], data[1], name=str(path))
        boundary, nonmanifold = _topology(surface.vertices, surface.faces)
        report = {"kind": "triangle mesh", "vertices": len(surface.vertices), "triangles": len(surface),
                  "closed": boundary == 0 and nonmanifold == 0, "boundary_edges": boundary,
                  "nonmanifold_edges": nonmanifold,
                  "volume": winding._signed_volume(surface.vertices, surface.faces)}
    else:
        cloud = data[0]
        report = {"kind": "point cloud", "points": len(cloud.points)}
        surface = None
        if cloud.normals is None:
            report["normals"] = None
        else:
            surface = cloud.surface(normals_kind)
            report["normals"] = ("unit, with areas" if cloud.areas is not None else
                                 "unit" if normals_are_unit(cloud.normals, normals_kind) else "area-scaled")
            report["epsilon"] = surface.epsilon
    lo, hi = (surface.bounds if surface is not None else
              np.stack([cloud.points.min(axis=0), cloud.points.max(axis=0)]))
    report["bounds"] = [lo.tolist(), hi.tolist()]
    if surface is not None:
        report["area"] = float(surface.primitive_areas().sum())
    return report


def cmd_info(args):
    report = info(args.input, args.normals)
    if args.json:
        _say(json.dumps(report))
        return 0
    lines = [("kind", report["kind"])]
    if report["kind"] == "triangle mesh":
        closed = "yes" if report["closed"] else (f"no ({report['boundary_edges']} boundary edges, "
                                                 f"{report['nonmanifold_edges']} edges in more than two triangles)")
        lines += [("vertices", report["vertices"]), ("triangles", report["triangles"])]
        extra = [("closed", closed),
                 ("volume", f"{report['volume']:.6g} (signed: positive when the faces point outward)")]
    else:
        lines.append(("points", report["points"]))
        if report["normals"] is None:
            extra = [("normals", "none (gyrant orient finds them)")]
        else:
            how = "unit (areas estimated from the density)" if report["normals"] == "unit" else report["normals"]
            extra = [("normals", how), ("epsilon", f"{report['epsilon']:.6g} (smoothing radius)")]
    lines.append(("bounds", f"{_fmt(report['bounds'][0])} to {_fmt(report['bounds'][1])}"))
    if "area" in report:
        lines.append(("area", f"{report['area']:.6g}"))
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
DEFAULT_SUFFIX = {"voxelize": ".npz", "sample": ".npz", "orient": ".ply", "reconstruct": ".ply"}


def _output(args):
    return io.check_output(args.output, OUTPUTS[args.command], inputs=[args.input], overwrite=args.overwrite)


def method_of(args):
    """--method; "auto" for argument sets made without it (by hand, around the parser)."""
    return getattr(args, "method", "auto")


def _resolution(args):
    return args.resolution[0] if len(args.resolution) == 1 else tuple(args.resolution)


def cmd_voxelize(args, run):
    out = _output(args)
    surface = winding.as_surface(args.input, normals_kind=args.normals)
    sdf = sdf_field(args, surface)
    winding.check_method_for_field(surface, method_of(args), "sdf" if sdf else "winding", args.beta)
    origin, spacing, shape = winding.grid_for(surface.bounds, _resolution(args), args.padding)
    name, dtype = (("occupancy", bool) if args.occupancy else ("sdf", np.float32) if sdf else
                   ("winding_numbers", np.float32))
    attrs = {"origin": origin.tolist(), "spacing": spacing.tolist(),
             "bounds": [origin.tolist(), (origin + spacing * (np.array(shape) - 1)).tolist()],
             "source": str(args.input)}
    if sdf:
        attrs["sign"] = sdf.sign
        if np.isfinite(sdf.max_distance):
            attrs["band"] = sdf.max_distance
    if io.is_zarr_path(out):
        with io.staged(out, folder=True) as temp:
            group = io.open_zarr_group(temp, attrs)
            target = io.zarr_array(group, name, shape, dtype, (args.zarr_chunk,) * 3)
            run.grid(surface, origin, spacing, shape, _Occupancy(target) if args.occupancy else target, field=sdf)
    else:
        grid = run.grid(surface, origin, spacing, shape, None, field=sdf)
        values = grid.values > 0.5 if args.occupancy else grid.values
        io.write_npz(out, {name: values, **{k: np.asarray(v) for k, v in attrs.items() if k != "source"}})
    what = "signed distances" if sdf else name.replace("_", " ")
    return f"{'x'.join(map(str, shape))} {what}, spacing {_fmt(spacing)}"


def sdf_field(args, surface):
    """The signed-distance field the command asks for (--sdf, --sign, --band), or None; the
    options that need --sdf are refused without it."""
    if not args.sdf:
        if args.band is not None or args.sign is not None:
            raise InputError("--band and --sign need --sdf")
        if getattr(args, "layout", "points") != "points":
            raise InputError("--layout deepsdf needs --sdf")
        return None
    if args.surface_shards != 1 and args.command == "voxelize":
        raise InputError("--sdf grids take no --surface-shards (gyrant.dask.signed_distance shards queries "
                         "and surfaces)")
    return distance.field(surface, args.sign or "winding", args.band, args.beta, None)


def cmd_sample(args, run):
    out = _output(args)
    surface = winding.as_surface(args.input, normals_kind=args.normals)
    sdf = sdf_field(args, surface)
    winding.check_method_for_field(surface, method_of(args), "sdf" if sdf else "winding", args.beta)
    if sdf and args.layout == "deepsdf" and out.suffix.lower() != ".npz":
        raise InputError(f"--layout deepsdf writes NPZ, not {out.suffix}")
    sampler, chunks = run.samples(surface, args, sdf)  # its n and uniform, then (start, points, values)
    if sdf:
        return _write_sdf_samples(args, sdf, out, sampler, chunks)
    if io.is_zarr_path(out):
        with io.staged(out, folder=True) as temp:
            group = io.open_zarr_group(temp, {"uniform": sampler.uniform, "source": str(args.input)})
            # Rows per chunk as the sampler's: each chunk of the store is written once.
            rows = winding.sample_rows(args.chunk_size)
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


def _write_sdf_samples(args, sdf_field, out, sampler, chunks):
    if io.is_zarr_path(out):
        with io.staged(out, folder=True) as temp:
            attrs = {"uniform": sampler.uniform, "source": str(args.input), "sign": sdf_field.sign}
            if args.band is not None:
                attrs["band"] = args.band
            group = io.open_zarr_group(temp, attrs)
            rows = winding.sample_rows(args.chunk_size)
            points = io.zarr_array(group, "points", (sampler.n, 3), np.float32, (rows, 3))
            sdf = io.zarr_array(group, "sdf", (sampler.n,), np.float32, (rows,))
            for start, p, s in chunks:
                points[start : start + len(p)], sdf[start : start + len(p)] = p, s
    else:
        samples = distance.SdfSamples(np.empty((sampler.n, 3), np.float32), np.empty(sampler.n, np.float32),
                                      sampler.uniform)
        for start, p, s in chunks:
            samples.points[start : start + len(p)], samples.sdf[start : start + len(p)] = p, s
        if out.suffix.lower() != ".npz":
            io.write_ply_points(out, samples.points, [("sdf", samples.sdf)])
        elif args.layout == "deepsdf":
            pos, neg = distance.deepsdf_rows(samples.points, samples.sdf)
            io.write_npz(out, {"pos": pos, "neg": neg})
        else:
            io.write_npz(out, {"points": samples.points, "sdf": samples.sdf, "uniform": np.int64(samples.uniform)})
    return f"{sampler.n} points ({sampler.uniform} uniform), with signed distances"


def solver_options(args):
    """The solver's options given on the command line."""
    return winding.solver_options(iterations=args.iterations, coarse_points=args.coarse_points)


def cmd_orient(args, run):
    # Streams both ways where the formats allow: NPY and binary PLY are read a slice at a time,
    # and every output is written a slice at a time, so that beyond the solver's own memory only
    # the float32 points and the solved normals are held whole.
    out = _output(args)
    local, offset = io.read_positions(args.input)
    engine, history = winding.solve_local(local, progress=run.progress, **solver_options(args))
    mu = _device.to_numpy(engine.scaled_normals)
    del engine
    n = len(local)

    def chunks():
        for a in range(0, n, io.STREAM_ROWS):
            b = min(n, a + io.STREAM_ROWS)
            areas = np.linalg.norm(mu[a:b].astype(np.float64), axis=1)
            unit = (mu[a:b] / np.maximum(areas, 1e-300)[:, None]).astype(np.float32)
            points = local[a:b] + offset if offset.any() else local[a:b]
            yield {"points": points, "normals": unit, "areas": areas.astype(np.float32)}

    coordinate = np.float64 if offset.any() else np.float32
    columns = [("points", coordinate, 3), ("normals", np.float32, 3)]
    columns.append(("area", np.float32, 0) if out.suffix.lower() == ".ply" else ("areas", np.float32, 0))
    rows = chunks() if out.suffix.lower() != ".ply" else ({**c, "area": c.pop("areas")} for c in chunks())
    attrs = {"epsilon": history["epsilon"]}
    if io.is_zarr_path(out):
        attrs["source"] = str(args.input)
    io.write_rows(out, n, columns, rows, attrs)
    residuals = history["residuals"]
    return (f"{n} oriented points ({len(residuals) - 1} solver iterations, "
            f"relative residual {residuals[-1]:.3g})")


def cmd_reconstruct(args, run):
    out = _output(args)
    mesh = run.reconstruct(args)
    io.write_mesh(out, mesh.vertices, mesh.faces)
    return f"{len(mesh.vertices)} vertices, {len(mesh.faces)} triangles"


class InProcess:
    """Runs the commands' work in this process."""

    def __init__(self, args):
        self.args = args
        self.progress = False if args.no_progress else None

    def grid(self, surface, origin, spacing, shape, out, field=None):
        return winding.evaluate_grid(surface, origin, spacing, shape, beta=self.args.beta,
                                     chunk_size=self.args.chunk_size, progress=self.progress, out=out, field=field,
                                     method=method_of(self.args))

    def samples(self, surface, args, field=None):
        return winding._sample_chunks(surface, args.count, args.near_fraction, args.sigma, args.padding,
                                      args.seed, args.beta, None, args.chunk_size, self.progress, field,
                                      method=method_of(args))

    def reconstruct(self, args, grid=None):
        return winding.reconstruct(args.input, normals_kind=args.normals, resolution=_resolution(args),
                                   padding=args.padding, beta=args.beta, method=method_of(args),
                                   chunk_size=args.chunk_size,
                                   progress=self.progress, _grid=grid, **solver_options(args))

    def files(self, tasks):
        with winding._bar(len(tasks), "files", self.progress, unit="file") as bar:
            for args in tasks:
                yield run_file(args)
                bar.update(1)

    def close(self):
        pass


COMMANDS = {"voxelize": cmd_voxelize, "sample": cmd_sample, "orient": cmd_orient, "reconstruct": cmd_reconstruct}


def run_file(args):
    """One input of several, in this process: {"input", "output", "error"}; a refused input is
    reported, not raised, so that the others go on."""
    try:
        COMMANDS[args.command](args, InProcess(args))
    except (InputError, winding.GyrantError) as error:
        return {"input": str(args.input), "output": None, "error": str(error)}
    return {"input": str(args.input), "output": str(args.output), "error": None}


def several(args):
    """Whether a command goes input by input into a folder: several inputs, or an existing folder
    as output that is not a Zarr store (a name ending in .zarr is always a store)."""
    out = pathlib.Path(args.output)
    return len(args.input) > 1 or (out.is_dir() and not io.is_zarr_path(out))


def file_tasks(args):
    """The plan of a command with several inputs (or a folder as output): one argument set per
    input, its output in the folder under the input's name. A derived name that would be the
    input's own file gets the command's name added (`sphere.ply` -> `sphere.reconstruct.ply`);
    an output that exists is refused unless --overwrite, all before any work."""
    folder = pathlib.Path(args.output)
    if not folder.is_dir() or io.is_zarr_path(folder):
        raise InputError(f"{folder}: several inputs need an existing folder as output")
    suffix = (args.format or DEFAULT_SUFFIX[args.command]).lower()
    suffix = suffix if suffix.startswith(".") else "." + suffix
    if suffix not in OUTPUTS[args.command]:
        raise InputError(f"--format: {args.command} writes {', '.join(OUTPUTS[args.command])}, not {suffix}")
    sources = [pathlib.Path(source) for source in args.input]
    for source in sources:
        if not source.is_file():
            raise InputError(f"{source}: no such file")
        if source.suffix.lower() not in io.MESH_SUFFIXES + io.POINT_SUFFIXES:
            raise InputError(f"{source}: unsupported format '{source.suffix}'")
    tasks, seen = [], {}
    for source in sources:
        output = folder / (source.stem + suffix)
        if any(io.same_file(output, s) for s in sources):
            output = folder / f"{source.stem}.{args.command}{suffix}"
        key = output.resolve()
        if key in seen:
            raise InputError(f"{source} and {seen[key]} would both write {output}")
        seen[key] = source
        io.check_output(output, OUTPUTS[args.command], inputs=sources, overwrite=args.overwrite)
        task = copy.copy(args)
        task.input, task.output, task.no_progress = str(source), str(output), True
        task.scheduler = task.workers = None
        tasks.append(task)
    return tasks
