"""Benchmark of gyrant against libigl's fast winding number.

    python3 bench/run.py [--out bench/out] [--plan host|cuda] [...]
    python3 bench/run.py --headline [--out bench/out] [--queries N] [--refine-to N] [--mesh F]
    python3 bench/run.py --grid [--out bench/out] [--resolution N] [--threads N]

Sizes follow the flavour of the gyrant_module found on the path (small in host, large in cuda).
Writes bench.md (the table, also printed), bench.json and bench.png under --out.
--grid: compute_grid (exact, one ray per row) against Open3D's compute_occupancy on CGAL's
meshes; writes grid.md.
--headline: the CGAL bunny as shipped and refined, its vertices as points, brute_force
throughput, gyrant and libigl on the same queries; writes headline.md and headline.json.
"""
from __future__ import annotations

import argparse
import dataclasses
import importlib.metadata
import os
import platform
import sys
import time
import traceback
import zlib

import numpy as np

import grid_occupancy
import headline
import measure
import report
import workloads

# Engine default smoothing radius of the point kernel (used when --epsilon is negative).
ENGINE_DEFAULT_EPSILON = 1.0 / 250.0
# The float64 check of the reference evaluates about this many query-primitive pairs (on one
# CPU thread for points), but never fewer than EXACT_MIN_QUERIES queries.
EXACT_PAIRS = 50_000_000
EXACT_MIN_QUERIES = 16


@dataclasses.dataclass
class Config:
    epsilon: float          # passed to compute and brute_force (point clouds only)
    repeats: int            # timed runs per gyrant measurement (the best is kept)
    warmup: int             # untimed builds and full-size computes before timing
    probe: int              # queries of the first brute_force call, which sizes the reference
    brute_budget_s: float   # time the reference may take per row
    igl_queries: int        # libigl runs on this prefix of the queries
    igl_repeats: int        # timed runs per libigl measurement
    exact_queries: int      # float64 check of the reference on this prefix


DEFAULTS = {
    "host": Config(0.0, 1, 0, 1024, 2.0, 10**9, 3, 128),
    "cuda": Config(0.0, 3, 1, 65536, 2.0, 1_000_000, 3, 128),
}


def load_gyrant():
    """The module when it offers the engine, else (None, why)."""
    try:
        import gyrant_module
    except ImportError as e:
        return None, f"gyrant_module not importable ({e})"
    if not hasattr(gyrant_module, "GyrantEngine"):
        return None, "gyrant_module has no GyrantEngine"
    return measure.Gyrant(gyrant_module), None


def machine(g, why_no_gyrant):
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    try:
        igl_version = importlib.metadata.version("libigl")
    except importlib.metadata.PackageNotFoundError:
        igl_version = "missing"
    return {
        "flavour": g.flavour if g else "none",
        "device": g.device_name if g else f"none: {why_no_gyrant}",
        "array_library": (g.xp or "numpy") if g else None,
        "cpu": cpu,
        "cpu_count": os.cpu_count(),
        "libigl": igl_version,
        "python": platform.python_version(),
        "numpy": np.__version__,
        "date": time.strftime("%Y-%m-%d %H:%M:%S"),
    }


def run_row(g, surface, query_set, count, cfg, log):
    seed = zlib.crc32(f"{surface.name}/{query_set}".encode())
    queries = workloads.QUERY_SETS[query_set](surface, count, seed)
    row = {"surface": surface.name, "kind": surface.kind, "family": surface.family,
           "source": surface.source, "n": surface.size, "query_set": query_set,
           "queries": count, "notes": []}
    reference, label = None, None
    if g is not None:
        try:
            part, _, reference = measure.measure_gyrant(g, surface, queries, cfg)
            row["gyrant"] = part
            label = "brute_force"
        except Exception as e:  # keep going: one failing surface must not hide the others
            row["gyrant"] = {"error": f"{type(e).__name__}: {e}"}
            row["notes"].append(f"{surface.name}/{query_set}: gyrant failed: {type(e).__name__}: {e}")
            log(traceback.format_exc())

    # Float64 check of the reference, or the reference itself when gyrant is unavailable.
    eps = cfg.epsilon if cfg.epsilon >= 0 else ENGINE_DEFAULT_EPSILON
    k = min(cfg.exact_queries, max(EXACT_MIN_QUERIES, EXACT_PAIRS // surface.size),
            count if reference is None else len(reference))
    exact = measure.exact_reference(surface, queries[:k], eps)
    row["exact_queries"] = k
    if exact is not None and reference is not None:
        row["reference_vs_exact"] = measure.errors(reference[:k], exact)
    elif exact is not None:
        reference, label = exact, "float64"
    row["reference"] = label or "none"
    row["reference_queries"] = 0 if reference is None else len(reference)

    if measure.igl is not None and cfg.igl_queries > 0:
        try:
            part, out = measure.measure_libigl(surface, queries, cfg)
            if reference is not None:
                m = min(len(out), len(reference))
                part["vs_reference"] = measure.errors(out[:m], reference[:m])
            row["libigl"] = part
        except Exception as e:
            row["libigl"] = {"error": f"{type(e).__name__}: {e}"}
            row["notes"].append(f"{surface.name}/{query_set}: libigl failed: {type(e).__name__}: {e}")
        if surface.kind == "points" and cfg.epsilon != 0:
            row["notes"].append("point clouds with epsilon > 0: libigl sums the plain dipole, the "
                                "reference is smoothed within 2 epsilon of every point")
    return row


def summary(row):
    g, i = row.get("gyrant") or {}, row.get("libigl") or {}
    parts = [f"{row['surface']:>20} {row['query_set']:>7} N={row['n']:<8} Q={row['queries']:<8}"]
    if "error" in g:
        parts.append("gyrant ERROR")
    elif g:
        parts.append(f"build {g['build_s'] * 1e3:.3g} ms, compute {report._rate(g['compute_qps'])}, "
                     f"brute {report._rate(g['brute_qps'])}, max err {g['gyrant_vs_brute']['max']:.2e}")
    if i.get("igl_qps"):
        e = (i.get("vs_reference") or {}).get("max")
        parts.append(f"libigl {report._rate(i['igl_qps'])}" + (f", max err {e:.2e}" if e is not None else ""))
    return " | ".join(parts)


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--out", default=os.path.join(workloads.HERE, "out"), help="output folder")
    p.add_argument("--plan", choices=sorted(workloads.PLANS), help="size plan (default: the module's flavour)")
    p.add_argument("--queries", type=int, help="queries per query set")
    p.add_argument("--sizes", help="comma-separated sizes of the procedural surfaces, e.g. 2000,20000")
    p.add_argument("--only", action="append", default=[], help="keep surfaces whose name contains this")
    p.add_argument("--query-sets", default="uniform,near", help="comma-separated: uniform, near")
    p.add_argument("--no-real", action="store_true", help="skip the sample and CGAL surfaces")
    p.add_argument("--no-libigl", action="store_true", help="measure gyrant alone")
    p.add_argument("--epsilon", type=float, help="point-kernel smoothing radius, negative: engine "
                   "default (default 0: the plain dipole that libigl evaluates too)")
    p.add_argument("--repeats", type=int)
    p.add_argument("--brute-budget", type=float, help="seconds of brute_force per row")
    p.add_argument("--igl-queries", type=int, help="libigl runs on this many of the queries")
    p.add_argument("--exact-queries", type=int, help="float64 check of the reference on this many")
    h = p.add_argument_group("headline")
    h.add_argument("--headline", action="store_true", help="gyrant against libigl on the bunny "
                   f"({headline.DEFAULT_QUERIES} queries per set unless --queries)")
    h.add_argument("--mesh", help="headline mesh (OFF; default bench/data/bunny00.off)")
    h.add_argument("--refine-to", type=int, help="headline refined mesh: midpoint-refined to within "
                   f"2x of this many triangles (default {headline.DEFAULT_REFINE}; 0: none)")
    gr = p.add_argument_group("grid")
    gr.add_argument("--grid", action="store_true", help="compute_grid against Open3D's compute_occupancy "
                    "on CGAL's meshes")
    gr.add_argument("--resolution", type=int, help="--grid: voxels per axis (default 128)")
    gr.add_argument("--threads", type=int, help="--grid: Open3D's threads (default 2; gyrant follows "
                    "OMP_NUM_THREADS)")
    args = p.parse_args(argv)
    if args.headline:
        unused = [f"--{k.replace('_', '-')}" for k in ("plan", "sizes", "igl_queries", "exact_queries",
                                                        "epsilon") if getattr(args, k) is not None]
        unused += [f for f, on in (("--only", args.only), ("--no-real", args.no_real),
                                   ("--no-libigl", args.no_libigl),
                                   ("--query-sets", args.query_sets != "uniform,near")) if on]
        if unused:
            p.error(f"not used by --headline: {', '.join(unused)}")
    elif args.mesh is not None or args.refine_to is not None:
        p.error("--mesh and --refine-to apply to --headline only")
    return args


def main(argv=None):
    args = parse(argv)
    log = lambda *a: print(*a, file=sys.stderr, flush=True)  # noqa: E731
    g, why = load_gyrant()
    if args.grid:
        if g is None:
            raise SystemExit(f"--grid needs gyrant_module: {why}")
        return grid_occupancy.run(args, g, machine(g, why), log)
    if args.headline:
        return headline.run(args, sys.argv[1:] if argv is None else argv, g, machine(g, why), log)
    if g is None:
        log(f"note: measuring libigl alone: {why}")
    plan_name = args.plan or (g.flavour if g else "host")
    plan = workloads.PLANS[plan_name]
    cfg = dataclasses.replace(DEFAULTS[plan_name])
    if args.queries:
        plan = dataclasses.replace(plan, queries=args.queries, large_queries=args.queries)
    if args.sizes:
        sizes = tuple(int(s) for s in args.sizes.split(","))
        plan = dataclasses.replace(plan, mesh_sizes=sizes, point_sizes=sizes,
                                   soup_size=max(sizes), open_size=max(sizes))
    for field, value in (("epsilon", args.epsilon), ("repeats", args.repeats),
                         ("brute_budget_s", args.brute_budget), ("igl_queries", args.igl_queries),
                         ("exact_queries", args.exact_queries)):
        if value is not None:
            cfg = dataclasses.replace(cfg, **{field: value})
    if args.no_libigl or measure.igl is None:
        if measure.igl is None:
            log("note: libigl is not installed; measuring gyrant alone")
        cfg = dataclasses.replace(cfg, igl_queries=0)
    query_sets = [s for s in args.query_sets.split(",") if s]
    for s in query_sets:
        if s not in workloads.QUERY_SETS:
            raise SystemExit(f"unknown query set {s!r}")

    result = {"machine": machine(g, why), "plan": plan_name,
              "config": dataclasses.asdict(cfg), "rows": [], "notes": []}
    notes = result["notes"]
    if cfg.epsilon == 0:
        notes.append("point clouds use epsilon 0 (plain dipole, as libigl) in compute and brute_force")
    if cfg.igl_queries < plan.queries:
        notes.append(f"libigl runs on the first {cfg.igl_queries} queries of larger sets (column I)")
    notes.append("libigl's bindings build their tree in every call: its build time is a "
                 "one-query call, its query time the rest of a full call (with the query set "
                 "repeated in that call where the rest would be too short to time)")
    notes.append("R: brute_force runs on a prefix of the (random) queries sized by a time budget")

    started = time.perf_counter()
    for make in workloads.surfaces(plan, real=not args.no_real, log=log):
        surface = make()
        if args.only and not any(o in surface.name for o in args.only):
            continue
        todo = [(qs, plan.queries) for qs in query_sets]
        if (surface.family == "torus" and surface.kind == "mesh" and "uniform" in query_sets
                and plan.large_queries > plan.queries and 2 * surface.size >= max(plan.mesh_sizes)):
            todo.append(("uniform", plan.large_queries))
        for qs, count in todo:
            row = run_row(g, surface, qs, count, cfg, log)
            result["rows"].append(row)
            log(summary(row))
        del surface
    result["total_s"] = time.perf_counter() - started

    text, plotted = report.write_all(result, args.out)
    print(text)
    print(f"written: {os.path.join(args.out, 'bench.md')}, bench.json"
          + (", bench.png" if plotted else " (no plot: matplotlib missing)")
          + f"; {result['total_s']:.1f} s")
    failed = any("error" in (r.get("gyrant") or {}) for r in result["rows"])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
