"""Normals of unoriented point clouds: gyrant's solve_normals against Open3D.

    python3 bench/normals.py [--out bench/out] [--only NAME] [--points N] [--large-points N]

Points are sampled by area from CGAL's closed meshes (bench/setup.sh copies them into
bench/data/); each sample keeps the outward unit normal of its face as the truth. On the same
points, in one process:

- gyrant: `GyrantEngine.solve_normals` with extra points on a box around the cloud (value 0);
- Open3D: `estimate_normals(KDTreeSearchParamKNN(20))` then
  `orient_normals_consistent_tangent_plane(20)`; its sign is global and arbitrary, so the better
  of its two global signs counts.

Per row: the share of normals agreeing in sign with the truth for each system, the share of
uniform queries in the mesh's bounding box that the solved engine puts on the same side of 1/2
as the mesh's own winding number (a gyrant triangle engine of the mesh), the same share for the
true normals on the same (noisy) points (each scaled by the mean area per point), and both times.

Thin parts: besides CGAL's meshes with blades (rotor, fandisk, mech-holes-shark), procedural
closed meshes (`thin:` cases) of plates, parallel fins and a hollow sphere whose walls are a few
point spacings thick; their noise is a share of the wall thickness. `--diagnose` adds, per row,
where the wrong normals lie: their distance to the nearest point whose true normal points the
other way (the other sheet), in point spacings, against the same for all points.
Prints a Markdown table and writes normals.md and normals.json under --out. Open3D is needed
by this script only; without it gyrant is measured alone.
"""
from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import os
import platform
import sys
import time
import zlib

import numpy as np

import workloads

# Open3D's neighbourhood for PCA normals and for the orientation graph.
OPEN3D_KNN = 20
# Extra points: a regular grid of BOX_GRID x BOX_GRID points on each face of the cloud's
# bounding box grown by BOX_MARGIN of its diagonal on every side, target winding number 0.
BOX_GRID = 12
BOX_MARGIN = 0.1
# Floors of the comparison: agreement on noise-free rows, inside/outside on every row, and
# gyrant's time against Open3D's.
AGREE_FLOOR = 0.99
INSIDE_FLOOR = 0.99
TIME_FACTOR = 1.5
TRUTH_SLACK = 0.005


@dataclasses.dataclass(frozen=True)
class Case:
    name: str           # row label
    mesh: str           # file under the data folder, without .off; "thin:KIND" a procedural mesh
    size: str = "points"  # which option sizes it: points, sparse_points or large_points
    noise: float = 0.0  # Gaussian noise, as a fraction of the bounding-box diagonal
    # (procedural meshes: of their wall thickness)


# Wall thickness of the procedural meshes, and their extent (about 1).
THIN_WALL = 0.02


CASES = [
    Case("bunny00", "bunny00"),
    Case("elephant", "elephant"),
    Case("rotor", "rotor"),
    Case("femur", "femur"),
    Case("hand", "hand"),
    Case("knot1", "knot1"),
    Case("bunny00, noise 0.5%", "bunny00", noise=0.005),
    Case("bunny00, sparse", "bunny00", "sparse_points"),
    Case("elephant, large", "elephant", "large_points"),
    Case("rotor, noise 0.2%", "rotor", noise=0.002),
    Case("fandisk", "fandisk"),
    Case("fandisk, noise 0.3%", "fandisk", noise=0.003),
    Case("mech-holes-shark", "mech-holes-shark"),
    Case("mech-holes-shark, noise 0.3%", "mech-holes-shark", noise=0.003),
    Case("thin plate, noise 5%", "thin:plate", noise=0.05),
    Case("thin plate, noise 20%", "thin:plate", noise=0.2),
    Case("fins, noise 5%", "thin:fins", noise=0.05),
    Case("fins, noise 20%", "thin:fins", noise=0.2),
    Case("hollow sphere, noise 5%", "thin:shell", noise=0.05),
    Case("hollow sphere, noise 20%", "thin:shell", noise=0.2),
]


def box_mesh(lo, hi):
    """A closed box, faces outward."""
    lo, hi = np.asarray(lo, float), np.asarray(hi, float)
    corners = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], float)
    vertices = lo + corners * (hi - lo)
    quads = [(0, 1, 3, 2), (4, 6, 7, 5), (0, 4, 5, 1), (2, 3, 7, 6), (0, 2, 6, 4), (1, 5, 7, 3)]
    faces = np.array([t for a, b, c, d in quads for t in ((a, b, c), (a, c, d))], np.int64)
    return vertices, faces


def sphere_mesh(radius, subdivisions=5):
    """An icosphere, faces outward."""
    t = (1 + 5 ** 0.5) / 2
    v = np.array([[-1, t, 0], [1, t, 0], [-1, -t, 0], [1, -t, 0], [0, -1, t], [0, 1, t], [0, -1, -t],
                  [0, 1, -t], [t, 0, -1], [t, 0, 1], [-t, 0, -1], [-t, 0, 1]], float)
    f = np.array([[0, 11, 5], [0, 5, 1], [0, 1, 7], [0, 7, 10], [0, 10, 11], [1, 5, 9], [5, 11, 4],
                  [11, 10, 2], [10, 7, 6], [7, 1, 8], [3, 9, 4], [3, 4, 2], [3, 2, 6], [3, 6, 8],
                  [3, 8, 9], [4, 9, 5], [2, 4, 11], [6, 2, 10], [8, 6, 7], [9, 8, 1]], np.int64)
    for _ in range(subdivisions):
        v, f = workloads.midpoint_subdivide(v, f)
    v = v / np.linalg.norm(v, axis=1, keepdims=True) * radius
    return v, workloads.orient_outward(v, f)


def merge(*meshes):
    vertices, faces, base = [], [], 0
    for v, f in meshes:
        vertices.append(v)
        faces.append(f + base)
        base += len(v)
    return np.concatenate(vertices), np.concatenate(faces)


def thin_mesh(kind):
    """Procedural closed meshes with walls THIN_WALL thick: a square plate; five parallel fins two
    walls apart (the gap between two fins is as thin as a fin); a hollow sphere (the inner sphere's
    faces point inwards, into the cavity)."""
    t = THIN_WALL
    if kind == "plate":
        return box_mesh((0, 0, 0), (1, 1, t))
    if kind == "fins":
        return merge(*(box_mesh((0, 0, 3 * t * i), (1, 0.6, 3 * t * i + t)) for i in range(5)))
    if kind == "shell":
        outer = sphere_mesh(0.5)
        inner_v, inner_f = sphere_mesh(0.5 - t)
        return merge(outer, (inner_v, inner_f[:, ::-1]))
    raise SystemExit(f"unknown procedural mesh {kind!r}")


def load_open3d():
    try:
        import open3d
    except ImportError as e:
        return None, f"Open3D is not importable ({e}); install it with `python3 -m pip install open3d`"
    return open3d, None


@contextlib.contextmanager
def quiet_stdout():
    """Silences file descriptor 1 (the engine's factories print a line there) so that stdout
    carries only the table."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def sample_surface(vertices, faces, count, rng):
    """count points uniform by area on the mesh, with their faces' unit normals."""
    if count <= 0:
        raise ValueError(f"need a positive number of points, got {count}")
    area_vectors = workloads.face_area_vectors(vertices, faces)
    areas = np.linalg.norm(area_vectors, axis=1)
    if not np.isfinite(areas).all() or areas.sum() <= 0:
        raise ValueError("the mesh has no area to sample")
    face = rng.choice(len(faces), size=count, p=areas / areas.sum())
    u, v = rng.random(count), rng.random(count)
    flip = u + v > 1.0
    u[flip], v[flip] = 1.0 - u[flip], 1.0 - v[flip]
    v0, v1, v2 = (vertices[faces[face, k]] for k in range(3))
    points = v0 + u[:, None] * (v1 - v0) + v[:, None] * (v2 - v0)
    keep = areas[face] > 0
    normals = np.zeros_like(points)
    normals[keep] = area_vectors[face[keep]] / areas[face[keep], None]
    return points, normals


def box_points(points, grid=BOX_GRID, margin=BOX_MARGIN):
    """Points on the six faces of the cloud's bounding box grown by margin x its diagonal."""
    lo, hi = points.min(axis=0), points.max(axis=0)
    centre, half = (lo + hi) / 2, (hi - lo) / 2 + margin * np.linalg.norm(hi - lo)
    t = np.linspace(-1.0, 1.0, grid)
    a, b = (x.ravel() for x in np.meshgrid(t, t))
    sides = []
    for axis in range(3):
        others = [k for k in range(3) if k != axis]
        for sign in (-1.0, 1.0):
            side = np.empty((len(a), 3))
            side[:, axis], side[:, others[0]], side[:, others[1]] = sign, a, b
            sides.append(side)
    return centre + np.concatenate(sides) * half


def agreement(normals, truth):
    """Share of rows whose normal has a positive dot product with the true normal."""
    return float((np.einsum("ij,ij->i", normals, truth) > 0).mean())


def truth_inside(g, points, truth, area, queries, mesh_wn, epsilon):
    """Inside/outside of the true normals on the same points, each scaled by the mean area."""
    with quiet_stdout():
        engine = g.module.GyrantEngine(g.put(points.astype(np.float32)), g.put((truth * area).astype(np.float32)))
    wn = g.get(engine.compute(g.put(queries), epsilon=epsilon))
    return float(((wn > 0.5) == (mesh_wn > 0.5)).mean())


def diagnose(points, normals, truth):
    """Where the wrong normals lie: the distance from each point to the nearest point whose true
    normal points the other way (dot < 0), in mean nearest-neighbour spacings; quantiles over the
    wrong points and over all points, and the share of wrong ones among points within 2 and 4
    spacings of the other sheet and beyond."""
    from scipy.spatial import cKDTree

    tree = cKDTree(points)
    d1, _ = tree.query(points, k=2)
    spacing = float(d1[:, 1].mean())
    k = min(64, len(points))
    dist, idx = tree.query(points, k=k)
    opposite = np.einsum("ij,ikj->ik", truth, truth[idx]) < 0
    nearest = np.where(opposite.any(axis=1), dist[np.arange(len(points)), opposite.argmax(axis=1)], np.inf)
    nearest = np.where(opposite.any(axis=1), nearest, dist[:, -1] * 1.0001)  # beyond the k neighbours
    nearest /= spacing
    wrong = np.einsum("ij,ij->i", normals, truth) <= 0
    out = {"spacing": spacing, "wrong": int(wrong.sum())}
    q = [0.1, 0.5, 0.9]
    out["other_sheet_wrong_q"] = [float(x) for x in np.quantile(nearest[wrong], q)] if wrong.any() else []
    out["other_sheet_all_q"] = [float(x) for x in np.quantile(nearest, q)]
    for lo, hi in ((0, 2), (2, 4), (4, np.inf)):
        band = (nearest >= lo) & (nearest < hi)
        out[f"wrong_share_{lo}_{hi}"] = float(wrong[band].mean()) if band.any() else None
        out[f"points_{lo}_{hi}"] = int(band.sum())
    return out


def run_gyrant(g, points, queries, mesh_wn):
    extra = box_points(points)
    args = (g.put(points.astype(np.float32)), g.put(extra.astype(np.float32)),
            g.put(np.zeros(len(extra), np.float32)))
    g.sync()
    with quiet_stdout():
        start = time.perf_counter()
        engine, info = g.module.GyrantEngine.solve_normals(*args, return_history=True)
        g.sync()
        elapsed = time.perf_counter() - start
    normals = g.get(engine.scaled_normals)
    wn = g.get(engine.compute(g.put(queries), epsilon=info["epsilon"]))
    residuals = [float(r) for r in info["residuals"]]
    return normals, {
        "time_s": elapsed,
        "iterations": len(residuals) - 1,
        "residual_first": residuals[0] if residuals else None,
        "residual_last": residuals[-1] if residuals else None,
        "epsilon": float(info["epsilon"]),
        "inside_right": float(((wn > 0.5) == (mesh_wn > 0.5)).mean()),
        "nonfinite": int((~np.isfinite(wn)).sum() + (~np.isfinite(normals)).sum()),
    }


def run_open3d(o3d, points):
    cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(np.asarray(points, np.float64)))
    start = time.perf_counter()
    cloud.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(OPEN3D_KNN))
    cloud.orient_normals_consistent_tangent_plane(OPEN3D_KNN)
    elapsed = time.perf_counter() - start
    return np.asarray(cloud.normals), elapsed


def floor_check(row):
    """Which floors the row misses (an empty list when it meets all of them)."""
    g, o = row.get("gyrant") or {}, row.get("open3d") or {}
    if "error" in g or not g:
        return ["no gyrant result"]
    missed = []
    if "agree" in o and g["agree"] < o["agree"]:
        missed.append("agreement below Open3D")
    if row["noise"] == 0 and g["agree"] < AGREE_FLOOR:
        missed.append(f"agreement below {AGREE_FLOOR:.0%}")
    # A noisy row may instead come within half a point of what the true normals give.
    if g["inside_right"] < INSIDE_FLOOR and not (
            row["noise"] and g["inside_right"] >= g.get("truth_inside_right", 1.0) - TRUTH_SLACK):
        missed.append(f"inside/outside below {INSIDE_FLOOR:.0%}")
    if "time_s" in o and g["time_s"] > TIME_FACTOR * o["time_s"]:
        missed.append(f"slower than {TIME_FACTOR:g}x Open3D")
    return missed


def run_case(case, count, args, g, o3d, log):
    if case.mesh.startswith("thin:"):
        vertices, faces = thin_mesh(case.mesh[5:])
        noise_unit = THIN_WALL
    else:
        path = os.path.join(args.data_dir, case.mesh + ".off")
        if not os.path.exists(path):
            raise SystemExit(f"{path} is missing: run `bash bench/setup.sh` first")
        vertices, faces = workloads.read_off(path)
        if workloads.boundary_edge_count(faces) == 0:
            faces = workloads.orient_outward(vertices, faces)
        noise_unit = None
    vertices = workloads._f32(vertices)
    rng = np.random.default_rng(zlib.crc32(f"{case.name}/{count}/{args.seed}".encode()))
    points, truth = sample_surface(vertices, faces, count, rng)
    lo, hi = vertices[np.unique(faces)].min(axis=0), vertices[np.unique(faces)].max(axis=0)
    total_area = float(np.linalg.norm(workloads.face_area_vectors(vertices, faces), axis=1).sum())
    if case.noise:
        unit = noise_unit if noise_unit is not None else np.linalg.norm(hi - lo)
        points = points + rng.normal(scale=case.noise * unit, size=points.shape)
    points = workloads._f32(points)
    queries = rng.uniform(lo, hi, size=(args.queries, 3)).astype(np.float32)
    row = {"case": case.name, "mesh": case.mesh, "points": count, "noise": case.noise,
           "queries": args.queries}

    with quiet_stdout():
        mesh_engine = g.module.GyrantEngine(g.put(vertices.astype(np.float32)),
                                            g.put(faces.astype(np.uint32)))
    mesh_wn = g.get(mesh_engine.compute(g.put(queries)))
    row["mesh_inside"] = float((mesh_wn > 0.5).mean())
    del mesh_engine

    try:
        normals, part = run_gyrant(g, points, queries, mesh_wn)
        part["agree"] = agreement(normals, truth)
        part["truth_inside_right"] = truth_inside(g, points, truth, total_area / count, queries, mesh_wn,
                                                  part["epsilon"])
        if args.diagnose:
            part["diagnosis"] = diagnose(points, normals, truth)
        row["gyrant"] = part
    except Exception as e:  # one failing row must not hide the others
        row["gyrant"] = {"error": f"{type(e).__name__}: {e}"}
    if o3d is not None:
        try:
            normals, elapsed = run_open3d(o3d, points)
            a = agreement(normals, truth)
            row["open3d"] = {"time_s": elapsed, "agree": max(a, 1.0 - a), "sign_flipped": a < 0.5}
        except Exception as e:
            row["open3d"] = {"error": f"{type(e).__name__}: {e}"}
    row["missed"] = floor_check(row)
    log(summary(row))
    return row


def _pct(x):
    return "-" if x is None else f"{100 * x:.2f}%"


def _secs(x):
    return "-" if x is None else (f"{x:.2f} s" if x < 100 else f"{x:.0f} s")


def summary(row):
    g, o = row.get("gyrant") or {}, row.get("open3d") or {}
    text = f"{row['case']:>22} N={row['points']:<7}"
    if "error" in g:
        return text + f" gyrant ERROR {g['error']}"
    text += (f" gyrant agree {_pct(g['agree'])} inside {_pct(g['inside_right'])} "
             f"(truth {_pct(g.get('truth_inside_right'))}) {_secs(g['time_s'])} ({g['iterations']} it)")
    if "diagnosis" in g:
        d = g["diagnosis"]
        text += (f"\n{'':>24}wrong {d['wrong']}: other sheet at "
                 f"{'/'.join(f'{x:.1f}' for x in d['other_sheet_wrong_q'])} spacings (all points "
                 f"{'/'.join(f'{x:.1f}' for x in d['other_sheet_all_q'])}); wrong share <2: "
                 f"{_pct(d['wrong_share_0_2'])} of {d['points_0_2']}, 2-4: {_pct(d['wrong_share_2_4'])} "
                 f"of {d['points_2_4']}, >=4: {_pct(d['wrong_share_4_inf'])}")
    if "agree" in o:
        text += f" | Open3D agree {_pct(o['agree'])} {_secs(o['time_s'])}"
    return text


def table(result):
    lines = [f"Normals of unoriented clouds: gyrant solve_normals ({result['machine']['device']}) "
             f"against Open3D {result['machine']['open3d']} (KNN {OPEN3D_KNN}, consistent "
             f"tangent plane {OPEN3D_KNN}); {result['machine']['cpu']}, "
             f"{result['machine']['cpu_count']} threads.", "",
             f"Command: `{result['command']}`", "",
             "| case | points | gyrant agree | Open3D agree | gyrant inside/outside | "
             "true normals inside/outside | gyrant time | Open3D time | ratio | iterations | floors |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    for row in result["rows"]:
        g, o = row.get("gyrant") or {}, row.get("open3d") or {}
        if "error" in g:
            lines.append(f"| {row['case']} | {row['points']} | error: {g['error']} ||||||||")
            continue
        o_agree = o.get("agree")
        ratio = g["time_s"] / o["time_s"] if o.get("time_s") else None
        lines.append(
            f"| {row['case']} | {row['points']} | {_pct(g['agree'])} | "
            f"{_pct(o_agree) if o else 'not run'} | {_pct(g['inside_right'])} | "
            f"{_pct(g.get('truth_inside_right'))} | {_secs(g['time_s'])} | "
            f"{_secs(o.get('time_s'))} | {'-' if ratio is None else f'{ratio:.2f}'} | "
            f"{g['iterations']} | {'met' if not row['missed'] else '; '.join(row['missed'])} |")
    lines += ["", f"agree: share of normals with a positive dot product with the sampled face's "
              f"outward normal (Open3D: the better of its two global signs). inside/outside: "
              f"share of {result['rows'][0]['queries'] if result['rows'] else 0} uniform queries in "
              f"the mesh's bounding box on the same side of 1/2 as the mesh's own winding number. "
              f"ratio: gyrant time / Open3D time. floors: agreement at least Open3D's, at least "
              f"{AGREE_FLOOR:.0%} without noise, inside/outside at least {INSIDE_FLOOR:.0%} (noisy rows: "
              f"or within {100 * TRUTH_SLACK:g} points of the true normals'), "
              f"time at most {TIME_FACTOR:g}x Open3D's."]
    for note in result["notes"]:
        lines.append(f"Note: {note}")
    return "\n".join(lines) + "\n"


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--out", default=os.path.join(workloads.HERE, "out"), help="output folder")
    p.add_argument("--data-dir", default=workloads.DATA_DIR, help="folder of the .off meshes")
    p.add_argument("--only", action="append", default=[], help="keep cases whose name contains this")
    p.add_argument("--points", type=int, default=20_000, help="points per regular case")
    p.add_argument("--large-points", type=int, default=200_000, help="points of the large case (0: skip)")
    p.add_argument("--sparse-points", type=int, default=3000, help="points of the sparse case")
    p.add_argument("--queries", type=int, default=20_000, help="uniform queries per case")
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--no-open3d", action="store_true", help="measure gyrant alone")
    p.add_argument("--diagnose", action="store_true",
                   help="per row, where the wrong normals lie against the other sheet (needs scipy)")
    args = p.parse_args(argv)
    for name in ("points", "sparse_points", "queries"):
        if getattr(args, name) <= 0:
            p.error(f"--{name.replace('_', '-')} must be positive")
    if args.large_points < 0:
        p.error("--large-points must not be negative")
    return args


def main(argv=None):
    args = parse(argv)
    log = lambda *a: print(*a, file=sys.stderr, flush=True)  # noqa: E731
    try:
        import gyrant_module
    except ImportError as e:
        raise SystemExit(f"gyrant_module is not importable ({e}); build it and set PYTHONPATH=build")
    import measure
    g = measure.Gyrant(gyrant_module)
    notes = []
    o3d = None
    if args.no_open3d:
        notes.append("Open3D not run (--no-open3d)")
    else:
        o3d, why = load_open3d()
        if o3d is None:
            log(f"note: {why}; measuring gyrant alone")
            notes.append(why)
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(ln.split(":", 1)[1].strip() for ln in f if ln.startswith("model name"))
    except (OSError, StopIteration):
        pass
    command = "PYTHONPATH=build python3 bench/normals.py " + " ".join(sys.argv[1:] if argv is None else argv)
    result = {"machine": {"flavour": g.flavour, "device": g.device_name, "cpu": cpu,
                          "cpu_count": os.cpu_count(),
                          "open3d": getattr(o3d, "__version__", "not run"),
                          "python": platform.python_version(), "numpy": np.__version__,
                          "date": time.strftime("%Y-%m-%d %H:%M:%S")},
              "command": command.strip(), "rows": [], "notes": notes}
    started = time.perf_counter()
    for case in CASES:
        if args.only and not any(o in case.name for o in args.only):
            continue
        count = getattr(args, case.size)
        if count == 0:
            continue
        log(f"{case.name}: {count} points ...")
        result["rows"].append(run_case(case, count, args, g, o3d, log))
    result["total_s"] = time.perf_counter() - started

    text = table(result)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "normals.md"), "w") as f:
        f.write(text)
    with open(os.path.join(args.out, "normals.json"), "w") as f:
        json.dump(result, f, indent=1)
    print(text)
    print(f"written: {os.path.join(args.out, 'normals.md')}, normals.json; {result['total_s']:.1f} s")
    return 1 if any("error" in (r.get("gyrant") or {}) for r in result["rows"]) else 0


if __name__ == "__main__":
    sys.exit(main())
