"""Headline comparison with libigl, in one process on the same queries.

A scanned mesh (the CGAL bunny, 75k triangles) as shipped and midpoint-refined (1.2M), each with
uniform and near-surface queries; the mesh's vertices as an oriented point cloud; brute_force
throughput on the mesh as shipped. Every timing sits beside the errors of both systems against
gyrant's brute_force on a random subset of the same queries.
"""
from __future__ import annotations

import os
import shlex
import sys
import time
import zlib

import numpy as np

import report
import workloads
from measure import _timed, errors, igl

DEFAULT_MESH = os.path.join(workloads.DATA_DIR, "bunny00.off")
DEFAULT_QUERIES = 200_000
DEFAULT_REFINE = 1_200_000
# Uniform queries fill the bounding box grown by this fraction of its extent on every side.
UNIFORM_MARGIN = 0.15
# Untimed calls on this many queries first: thread pools, allocators and caches warm up.
WARMUP_QUERIES = 1024
# The reference subset is sized from a first brute_force call on this many queries.
PROBE = 256
# Seconds of brute_force for the reference of each row (default of --brute-budget).
BRUTE_BUDGET_S = 3.0
# One timed brute_force call for the throughput row lasts about this long.
BRUTE_CALL_S = 0.5
# The float64 check of brute_force (libigl's exact winding_number) runs on this many queries.
EXACT_QUERIES = 1024
MESH_EPSILON = -1.0   # engine default (epsilon only matters for point clouds)
POINT_EPSILON = 0.0   # the plain dipole, which libigl sums too
IGL_ORDER, IGL_BETA = 2, 2.0  # libigl's defaults for both kinds


def command_line(argv):
    """The command that reproduces this run, as typed from the repository root."""
    env = os.environ.get("PYTHONPATH")
    prefix = f"PYTHONPATH={shlex.quote(env)} " if env else ""
    script = os.path.relpath(os.path.join(workloads.HERE, "run.py"))
    return prefix + shlex.join([os.path.basename(sys.executable), script, *argv])


def _seed(name):
    return zlib.crc32(name.encode())


def query_sets(surface, count, sets=("uniform", "near")):
    """Random order, so any prefix is a random sample of the set."""
    makers = {"uniform": lambda s, n, seed: workloads.uniform_queries(s, n, seed, UNIFORM_MARGIN),
              "near": workloads.near_queries}
    return {qs: makers[qs](surface, count, _seed(f"{surface.name}/{qs}")) for qs in sets}


# ---------------------------------------------------------------------------------------------
# gyrant


def gyrant_build(g, surface, repeats):
    args = g.inputs(surface)
    t, engine = _timed(lambda: g.build(args), repeats)
    return t, engine


def gyrant_compute(g, engine, queries, eps, repeats):
    g.get(g.compute(engine, g.put(queries[:WARMUP_QUERIES]), eps))
    d = g.put(queries)
    t, res = _timed(lambda: g.compute(engine, d, eps), repeats)
    return t, g.get(res)


def gyrant_exact(g, engine, queries, repeats):
    g.get(g.compute_exact(engine, g.put(queries[:WARMUP_QUERIES])))
    d = g.put(queries)
    t, res = _timed(lambda: g.compute_exact(engine, d), repeats)
    return t, g.get(res)


def gyrant_reference(g, engine, queries, eps, budget_s):
    """brute_force on the largest prefix that fits budget_s (at least PROBE queries)."""
    n = min(PROBE, len(queries))
    t, ref = _timed(lambda: g.brute_force(engine, g.put(queries[:n]), eps), 1)
    want = min(len(queries), int(n * budget_s / max(t, 1e-9)))
    if want > n:
        n = want
        t, ref = _timed(lambda: g.brute_force(engine, g.put(queries[:n]), eps), 1)
    return g.get(ref).astype(np.float64), t


# ---------------------------------------------------------------------------------------------
# libigl


class IglMesh:
    """libigl's cached triangle hierarchy: init is its build, winding_number its query."""

    def __init__(self, surface, repeats):
        self.bvh = igl.FastWindingNumberBVH()
        v, f = surface.vertices, surface.faces
        self.build_s, _ = _timed(lambda: self.bvh.init(v, f, IGL_ORDER), repeats)

    def query(self, queries, repeats):
        q = np.asarray(queries, np.float64)
        self.bvh.winding_number(q[:WARMUP_QUERIES], IGL_BETA)
        t, out = _timed(lambda: self.bvh.winding_number(q, IGL_BETA), repeats)
        return t, np.asarray(out, np.float64)


class IglPoints:
    """libigl's point fast winding number. Build: a one-query call of the overload that builds
    its octree and expansions inside (here faster than igl.octree plus
    fast_winding_number_precompute, which is kept in the JSON). Query: the overload taking the
    precomputed octree, minus a one-query call of it (the fixed cost of every call)."""

    def __init__(self, surface, repeats):
        self.p = surface.points
        self.areas = np.linalg.norm(surface.normals, axis=1)
        self.unit = surface.normals / np.maximum(self.areas, 1e-300)[:, None]
        one = np.zeros((1, 3))
        self.build_s, _ = _timed(lambda: igl.fast_winding_number(
            self.p, self.unit, self.areas, one, IGL_ORDER, IGL_BETA), repeats)
        t0 = time.perf_counter()
        indices, ch, _, _ = igl.octree(self.p)
        cm, r, ec = igl.fast_winding_number_precompute(self.p, self.unit, self.areas, indices, ch,
                                                       IGL_ORDER)
        self.split_build_s = time.perf_counter() - t0
        self._tree = (indices, ch, cm, r, ec)

    def _call(self, q):
        return igl.fast_winding_number(self.p, self.unit, self.areas, *self._tree, q, IGL_BETA)

    def query(self, queries, repeats):
        q = np.asarray(queries, np.float64)
        self._call(q[:WARMUP_QUERIES])
        t_one, _ = _timed(lambda: self._call(q[:1]), repeats)
        t, out = _timed(lambda: self._call(q), repeats)
        self.call_overhead_s = t_one
        return (t - t_one if t > t_one else t), np.asarray(out, np.float64)


# ---------------------------------------------------------------------------------------------
# Rows


def measure_surface(g, surface, sets, count, opts, log):
    """Build row and one query row per query set."""
    kind_eps = POINT_EPSILON if surface.kind == "points" else MESH_EPSILON
    t_g, engine = gyrant_build(g, surface, opts["repeats"])
    lib = (IglPoints if surface.kind == "points" else IglMesh)(surface, opts["repeats"])
    build = {"surface": surface.name, "kind": surface.kind, "n": surface.size,
             "gyrant_build_s": t_g, "libigl_build_s": lib.build_s}
    if surface.kind == "points":
        build["libigl_split_build_s"] = lib.split_build_s
    log(f"{surface.name}: build gyrant {t_g * 1e3:.4g} ms, libigl {lib.build_s * 1e3:.4g} ms")
    rows = []
    for qs, queries in query_sets(surface, count, sets).items():
        t_c, approx = gyrant_compute(g, engine, queries, kind_eps, opts["repeats"])
        t_i, out = lib.query(queries, opts["repeats"])
        ref, t_ref = gyrant_reference(g, engine, queries, kind_eps, opts["brute_budget_s"])
        r = len(ref)
        row = {"surface": surface.name, "kind": surface.kind, "n": surface.size, "query_set": qs,
               "queries": len(queries), "gyrant_compute_s": t_c, "libigl_query_s": t_i,
               "reference_queries": r, "reference_s": t_ref,
               "gyrant_vs_brute": errors(approx[:r], ref), "libigl_vs_brute": errors(out[:r], ref)}
        if surface.kind == "points":
            row["libigl_call_overhead_s"] = lib.call_overhead_s
        rows.append(row)
        log(f"{surface.name} {qs}: compute {t_c:.3g} s, libigl {t_i:.3g} s, reference on {r} "
            f"({t_ref:.3g} s), max err gyrant {row['gyrant_vs_brute']['max']:.2e}, "
            f"libigl {row['libigl_vs_brute']['max']:.2e}")
        if surface.kind != "points":
            t_e, ex = gyrant_exact(g, engine, queries, opts["repeats"])
            rows.append(dict(row, method="exact", exact_path=engine.exact_path, gyrant_compute_s=t_e,
                             gyrant_vs_brute=errors(ex[:r], ref)))
            log(f"{surface.name} {qs} exact ({engine.exact_path}): {t_e:.3g} s, max err "
                f"{rows[-1]['gyrant_vs_brute']['max']:.2e}")
    return build, rows, engine


def measure_brute(g, engine, surface, queries, opts, log):
    """brute_force pairs per second (best of repeats), and its agreement with libigl's exact
    winding_number in float64. libigl has no plain summation to race: its exact call costs
    about the same for 1 query as for thousands, so it is no throughput peer."""
    n = min(PROBE, len(queries))
    t, _ = _timed(lambda: g.brute_force(engine, g.put(queries[:n]), MESH_EPSILON), 1)
    b = int(min(len(queries), max(n, n * BRUTE_CALL_S / max(t, 1e-9))))
    d = g.put(queries[:b])
    t_g, _ = _timed(lambda: g.brute_force(engine, d, MESH_EPSILON), opts["repeats"])

    k = min(len(queries), EXACT_QUERIES)
    exact = igl.winding_number(surface.vertices, surface.faces, np.asarray(queries[:k], np.float64))
    ours = g.get(g.brute_force(engine, g.put(queries[:k]), MESH_EPSILON))
    row = {"surface": surface.name, "n": surface.size, "queries": b, "seconds": t_g,
           "pairs_per_s": b * surface.size / t_g, "exact_queries": k,
           "brute_vs_float64": errors(ours, exact)}
    log(f"{surface.name} brute_force: {row['pairs_per_s']:.3g} pairs/s, max |brute_force - float64| "
        f"{row['brute_vs_float64']['max']:.2e}")
    return row


# ---------------------------------------------------------------------------------------------
# Report


def _time(seconds):
    return f"{seconds * 1e3:.3g} ms" if seconds < 1 else f"{seconds:.3g} s"


def _pairs(x):
    return report._rate(x).replace("/s", "pairs/s")


def _ratio(a, b):
    return "n/a" if not a or not b else f"{a / b:.3g}"


def _errs(e):
    return f"{report._err(e, 'max')} / {report._err(e, 'mean')}"


def as_accurate(r):
    """gyrant's error against brute_force no worse than libigl's on the row: mean at or below
    libigl's mean, max below libigl's max (None when either is missing)."""
    g, i = r["gyrant_vs_brute"], r["libigl_vs_brute"]
    if any(e.get(k) is None for e in (g, i) for k in ("max", "mean")) or g["nonfinite"]:
        return None
    return g["mean"] <= i["mean"] and g["max"] < i["max"]


def markdown(result):
    m = result["machine"]
    where = f"{m['cpu_count']} CPU threads" if m["flavour"] == "host" else m["device"]
    lines = [
        "# gyrant vs libigl: headline",
        "",
        f"Command: `{result['command']}`",
        "",
        f"gyrant {m['flavour']} flavour on {where}; libigl {m['libigl']} on {m['cpu_count']} "
        f"CPU threads ({m['cpu']}). gyrant at its defaults (beta, epsilon), point clouds at "
        f"epsilon 0; libigl at its defaults (order-2 expansions, beta 2). Ratios are "
        f"gyrant time / libigl time: below 1, gyrant is faster.",
        "",
        "## Build",
        "",
        "| surface | kind | N | gyrant build | libigl build | gyrant/libigl |",
        "|---|---|---:|---:|---:|---:|",
    ]
    for b in result["builds"]:
        lines.append(f"| {b['surface']} | {b['kind']} | {report._count(b['n'])} "
                     f"| {_time(b['gyrant_build_s'])} | {_time(b['libigl_build_s'])} "
                     f"| {_ratio(b['gyrant_build_s'], b['libigl_build_s'])} |")
    lines += [
        "",
        "## Queries",
        "",
        "Errors: max / mean |value - brute_force| on the first R queries (a random sample).",
        "",
        "| surface | queries | Q | gyrant compute | libigl | gyrant/libigl | R "
        "| gyrant error | libigl error | as accurate |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in result["rows"]:
        q = r["queries"]
        label = r["query_set"] + (", exact" if r.get("method") == "exact" else "")
        lines.append(
            f"| {r['surface']} | {label} | {report._count(q)} "
            f"| {_time(r['gyrant_compute_s'])} ({report._rate(q / r['gyrant_compute_s'])}) "
            f"| {_time(r['libigl_query_s'])} ({report._rate(q / r['libigl_query_s'])}) "
            f"| {_ratio(r['gyrant_compute_s'], r['libigl_query_s'])} "
            f"| {report._count(r['reference_queries'])} "
            f"| {_errs(r['gyrant_vs_brute'])} | {_errs(r['libigl_vs_brute'])} "
            f"| { {True: 'yes', False: 'NO'}.get(as_accurate(r), 'n/a')} |")
    b = result.get("brute")
    if b:
        lines += [
            "",
            "## brute_force",
            "",
            "| surface | N | queries | time | queries x triangles | vs float64: max / mean (K) |",
            "|---|---:|---:|---:|---:|---:|",
            f"| {b['surface']} | {report._count(b['n'])} | {report._count(b['queries'])} "
            f"| {_time(b['seconds'])} | {_pairs(b['pairs_per_s'])} "
            f"| {_errs(b['brute_vs_float64'])} ({b['exact_queries']}) |",
        ]
    lines += ["", "Notes:", ""] + [f"- {n}" for n in result["notes"]]
    lines.append(f"- total {result['total_s']:.0f} s")
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------------------------


NOTES = [
    f"uniform: queries uniform in the bounding box grown by {UNIFORM_MARGIN:.0%} of its extent on "
    f"every side; near: area-weighted surface samples moved by Gaussian offsets of "
    f"{workloads.NEAR_SIGMA:.0%} of the box diagonal",
    "gyrant times: inputs already on the device, synchronised; best of up to `repeats` runs "
    "(no further run once 2 s are spent) after an untimed call on 1024 queries; libigl "
    "likewise, on float64 copies of the same float32 values",
    "libigl mesh build: FastWindingNumberBVH.init; query: its winding_number",
    "exact: compute(method=\"exact\"), the signed crossings of one axis ray per query plus the "
    "boundary chain's term (closed meshes: integers); its errors are those of brute_force's own "
    "float rounding",
    "libigl points build: a one-query call of the overload that builds internally (faster here "
    "than octree + precompute, kept in the JSON); query: the precomputed-octree overload minus a "
    "one-query call of it (its fixed cost per call)",
    "point clouds: gyrant at epsilon 0 (the plain dipole that libigl evaluates too) in compute "
    "and brute_force",
    "R: brute_force on a prefix of the (random) queries sized by a time budget per row",
    "as accurate: gyrant's mean error at or below libigl's and its max error below libigl's, "
    "both against brute_force on the same R queries",
    "brute_force: uniform queries x triangles per second, best of `repeats`; checked against "
    "libigl's exact winding_number (float64) on the first K queries. libigl has no plain sum to "
    "compare with: its exact call takes about as long for one query as for a thousand",
]


def run(args, argv, g, machine_info, log):
    if g is None:
        raise SystemExit("--headline compares gyrant with libigl: gyrant_module is missing")
    if igl is None:
        raise SystemExit("--headline compares gyrant with libigl: libigl is not installed "
                         "(python3 -m pip install libigl)")
    mesh = args.mesh or DEFAULT_MESH
    if not os.path.exists(mesh):
        raise SystemExit(f"{mesh} not found: run bash bench/setup.sh, or pass --mesh FILE.off")
    count = args.queries or DEFAULT_QUERIES
    refine = DEFAULT_REFINE if args.refine_to is None else args.refine_to
    if count < 1 or refine < 0:
        raise SystemExit("--queries must be positive and --refine-to at least 0")
    opts = {"repeats": args.repeats or 3,
            "brute_budget_s": BRUTE_BUDGET_S if args.brute_budget is None else args.brute_budget}
    if opts["repeats"] < 1 or opts["brute_budget_s"] < 0:
        raise SystemExit("--repeats must be positive and --brute-budget at least 0")

    started = time.perf_counter()
    stem = "bunny" if mesh == DEFAULT_MESH else os.path.splitext(os.path.basename(mesh))[0]
    try:
        base = workloads.load_mesh(mesh, stem, "scan", "mesh file")
    except (OSError, ValueError, IndexError) as e:
        raise SystemExit(f"{mesh}: cannot read a triangle mesh ({e})") from None
    if base.size == 0:
        raise SystemExit(f"{mesh}: no triangles")
    base.name = f"{stem}-{workloads._size(base.size)}"
    result = {"command": command_line(argv), "machine": machine_info, "mesh": mesh,
              "config": {"queries": count, "refine_to": refine, **opts,
                         "uniform_margin": UNIFORM_MARGIN, "mesh_epsilon": MESH_EPSILON,
                         "point_epsilon": POINT_EPSILON, "igl_order": IGL_ORDER,
                         "igl_beta": IGL_BETA},
              "builds": [], "rows": [], "brute": None, "notes": list(NOTES)}
    log(result["command"])

    def add(surface, sets):
        build, rows, engine = measure_surface(g, surface, sets, count, opts, log)
        result["builds"].append(build)
        result["rows"] += rows
        return engine

    engine = add(base, ("uniform", "near"))
    result["brute"] = measure_brute(g, engine, base, query_sets(base, count, ("uniform",))["uniform"],
                                    opts, log)
    del engine
    if 2 * base.size < refine:
        fine = workloads.load_mesh(mesh, stem, "scan", "mesh file, midpoint-refined", refine)
        fine.name = f"{stem}-{workloads._size(fine.size)}"
        add(fine, ("uniform", "near"))
        del fine
    add(workloads.mesh_cloud(base, f"{stem}-points-{workloads._size(len(base.vertices))}"),
        ("uniform",))
    result["total_s"] = time.perf_counter() - started

    text = markdown(result)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "headline.md"), "w") as f:
        f.write(text)
    report.write_json(result, os.path.join(args.out, "headline.json"))
    print(text)
    print(f"written: {os.path.join(args.out, 'headline.md')}, headline.json")
    bad = [r for r in result["rows"] if r["gyrant_vs_brute"]["nonfinite"]]
    return 1 if bad else 0
