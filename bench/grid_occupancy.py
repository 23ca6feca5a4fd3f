"""Grids: gyrant's compute_grid (one ray per row, exact) against Open3D's
RaycastingScene.compute_occupancy (one ray per voxel) on CGAL's meshes, both on the same threads.

The grid holds the centres of each mesh's bounding box cut into `resolution`^3 cells. "right" is agreement
with w > 0.5 of the exact winding number (gyrant's grid, itself checked against brute_force on
a random sample of voxels).
"""
from __future__ import annotations

import os
import time

import numpy as np

import workloads

MESHES = ("bunny00", "elephant", "fandisk", "knot1", "femur", "rotor", "hand", "mech-holes-shark",
          "elephant-with-holes")
# Voxels of each grid checked against brute_force.
SAMPLE = 2000


def _best(fn, repeats):
    best, out = None, None
    for _ in range(repeats):
        t = time.perf_counter()
        out = fn()
        t = time.perf_counter() - t
        best = t if best is None else min(best, t)
    return best, out


def grid_of(vertices, resolution):
    """Voxel centres of the bounding box cut into resolution^3 cells (off CAD meshes' flat
    faces, where w is undefined)."""
    lo, hi = vertices.min(0), vertices.max(0)
    spacing = ((hi - lo) / resolution).astype(np.float32)
    origin = (lo + spacing / 2).astype(np.float32)
    axes = [origin[a] + np.arange(resolution, dtype=np.float32) * spacing[a] for a in range(3)]
    points = np.stack(np.meshgrid(*axes, indexing="ij"), -1)
    return tuple(float(c) for c in origin), tuple(float(s) for s in spacing), points


def run(args, g, machine_info, log):
    import open3d as o3d
    import trimesh

    resolution = args.resolution or 128
    threads = args.threads or 2
    repeats = args.repeats or 3
    rows = []
    for name in MESHES:
        path = os.path.join(workloads.DATA_DIR, name + ".off")
        if not os.path.exists(path):
            log(f"{name}: missing, skipped")
            continue
        m = trimesh.load(path, process=False)
        v = np.ascontiguousarray(m.vertices, np.float32)
        f = np.ascontiguousarray(m.faces, np.uint32)
        engine = g.module.GyrantEngine(v, f)
        origin, spacing, points = grid_of(v, resolution)
        shape = (resolution,) * 3
        t_g, w = _best(lambda: np.asarray(engine.compute_grid(origin, spacing, shape)), repeats)
        scene = o3d.t.geometry.RaycastingScene()
        scene.add_triangles(o3d.core.Tensor(v), o3d.core.Tensor(f))
        qp = o3d.core.Tensor(points)
        scene.compute_occupancy(qp[:2, :2, :2], nthreads=threads)
        t_o, occ = _best(lambda: scene.compute_occupancy(qp, nthreads=threads).numpy(), repeats)
        rng = np.random.default_rng(1)
        pick = rng.choice(w.size, min(SAMPLE, w.size), replace=False)
        sample = np.ascontiguousarray(points.reshape(-1, 3)[pick])
        bf = np.asarray(engine.brute_force(sample)).astype(np.float64)
        err = np.abs(w.reshape(-1)[pick] - bf)
        inside = w > 0.5
        row = {"mesh": name, "triangles": len(f), "boundary_edges": engine.boundary_edges,
               "exact_path": engine.exact_path, "voxels": w.size, "gyrant_s": t_g, "open3d_s": t_o,
               "open3d_right": float((occ.astype(bool) == inside).mean()),
               "gyrant_vs_brute_max": float(err.max()),
               "gyrant_vs_brute_right": float(((w.reshape(-1)[pick] > 0.5) == (bf > 0.5)).mean())}
        rows.append(row)
        log(f"{name}: gyrant {t_g:.3g} s, Open3D {t_o:.3g} s, Open3D right {row['open3d_right']:.2%}, "
            f"gyrant vs brute max {row['gyrant_vs_brute_max']:.2e}")
    lines = [f"# Grids: gyrant compute_grid vs Open3D compute_occupancy ({resolution}^3 over the mesh box)",
             "", f"{machine_info.get('cpu', '')}; {threads} threads each (gyrant: OMP_NUM_THREADS; Open3D: "
             f"nthreads); best of {repeats}.", "",
             "| mesh | triangles | boundary edges | gyrant path | gyrant | Open3D | Open3D / gyrant time "
             "| Open3D right | gyrant - brute_force (max, sample) |",
             "|---|---:|---:|---|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['mesh']} | {r['triangles']} | {r['boundary_edges']} | {r['exact_path']} "
                     f"| {r['gyrant_s']:.3g} s | {r['open3d_s']:.3g} s | {r['open3d_s'] / r['gyrant_s']:.2f} "
                     f"| {r['open3d_right']:.2%} | {r['gyrant_vs_brute_max']:.1e} |")
    text = "\n".join(lines) + "\n"
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "grid.md"), "w") as fh:
        fh.write(text)
    print(text)
    return 0
