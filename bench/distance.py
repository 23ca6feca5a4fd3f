"""Closest points and signed distances: gyrant against Open3D's RaycastingScene and libigl.

Per mesh and query set, in one process on the same float32 queries and the same number of
threads: Open3D's compute_closest_points and compute_signed_distance, libigl's signed_distance
with the fast-winding-number sign, gyrant's closest_point and signed_distance, and gyrant's
narrow band (max_distance = 2% of the box's largest side). Then, on a random subset:
- gyrant's distances against libigl's float64 closest points (point_mesh_squared_distance),
  in single-precision units (2^-24) of the box's largest side;
- the signs of gyrant, Open3D and libigl against the exact winding number (gyrant's
  brute_force, a compensated sum over every triangle), inside where w > 0.5.

    python3 bench/distance.py                      # CGAL's meshes, 128^3 grid and 200k near samples
    python3 bench/distance.py --grid 64 --near 50000 --meshes bunny00

Meshes come from bench/data (bash bench/setup.sh extracts them) and examples/data.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
import zlib

THREADS_DEFAULT = 2
if __name__ == "__main__":
    # OpenMP reads its thread count once, when gyrant's first parallel region starts.
    _t = next((a.split("=", 1)[1] for a in sys.argv if a.startswith("--threads=")), None)
    os.environ.setdefault("OMP_NUM_THREADS", _t or str(THREADS_DEFAULT))

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import workloads  # noqa: E402

MESHES = {
    "bunny00": os.path.join(workloads.DATA_DIR, "bunny00.off"),
    "armadillo": os.path.join(workloads.DATA_DIR, "armadillo.off"),
    "refined_elephant": os.path.join(workloads.DATA_DIR, "refined_elephant.off"),
    "elephant-with-holes": os.path.join(workloads.SAMPLE_DIR, "elephant-with-holes.off"),
    "mech-holes-shark": os.path.join(workloads.DATA_DIR, "mech-holes-shark.off"),
}
BAND_FRACTION = 0.02   # narrow band: this fraction of the box's largest side
NEAR_SIGMA = 0.01      # near samples: Gaussian offsets of this fraction of the box's diagonal
WARMUP = 1024


def grid_queries(lo, hi, n):
    t = np.linspace(0.0, 1.0, n, dtype=np.float64)
    g = np.stack(np.meshgrid(t, t, t, indexing="ij"), -1).reshape(-1, 3)
    return np.ascontiguousarray(lo + g * (hi - lo), dtype=np.float32)


def near_queries(v, f, count, seed):
    rng = np.random.default_rng(seed)
    tri = v[f]
    area = 0.5 * np.linalg.norm(np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0]), axis=1)
    idx = rng.choice(len(f), count, p=area / area.sum())
    r1, r2 = rng.random(count), rng.random(count)
    s = np.sqrt(r1)
    bary = np.stack([1.0 - s, s * (1.0 - r2), s * r2], 1)
    base = np.einsum("qk,qkd->qd", bary, tri[idx])
    sigma = NEAR_SIGMA * float(np.linalg.norm(v.max(0) - v.min(0)))
    return np.ascontiguousarray(base + rng.normal(0.0, sigma, (count, 3)), dtype=np.float32)


def timed(fn):
    t0 = time.perf_counter()
    r = fn()
    return time.perf_counter() - t0, r


def run_mesh(name, path, args, log):
    import gyrant_module
    import igl
    import open3d as o3d

    v64, f64 = workloads.read_off(path)
    v = np.ascontiguousarray(v64, np.float32)
    f = np.ascontiguousarray(f64, np.uint32)
    lo, hi = v64.min(0), v64.max(0)
    side = float((hi - lo).max())
    engine = gyrant_module.GyrantEngine(v, f)
    scene = o3d.t.geometry.RaycastingScene()
    scene.add_triangles(o3d.core.Tensor(v), o3d.core.Tensor(f))
    vd, fi = np.ascontiguousarray(v, np.float64), np.ascontiguousarray(f, np.int64)
    sets = {"grid": grid_queries(lo, hi, args.grid), "near": near_queries(v64, f64, args.near, zlib.crc32(name.encode()))}
    rows = []
    for set_name, q in sets.items():
        qt = o3d.core.Tensor(q)
        warm = np.ascontiguousarray(q[:WARMUP])
        engine.signed_distance(warm)
        engine.closest_point(warm)
        scene.compute_signed_distance(o3d.core.Tensor(warm))
        row = {"mesh": name, "triangles": len(f), "set": set_name, "queries": len(q)}
        row["o3d_closest"], _ = timed(lambda: scene.compute_closest_points(qt))
        row["o3d_sdf"], o3d_sdf = timed(lambda: scene.compute_signed_distance(qt).numpy())
        if not args.skip_igl:
            row["igl_sdf"], igl_out = timed(lambda: igl.signed_distance(
                q.astype(np.float64), vd, fi, sign_type=igl.SIGNED_DISTANCE_TYPE_FAST_WINDING_NUMBER))
        row["closest"], (d, _, _) = timed(lambda: engine.closest_point(q))
        before, heads = engine.sign_reevaluations, engine.sign_exact_evaluations
        row["sdf"], sdf = timed(lambda: np.asarray(engine.signed_distance(q)))
        after = engine.sign_reevaluations
        row["tight"], row["exact"] = after[0] - before[0], after[1] - before[1]
        row["heads"] = engine.sign_exact_evaluations - heads
        row["band"], band = timed(lambda: np.asarray(engine.signed_distance(q, max_distance=BAND_FRACTION * side)))
        row["in_band"] = float(np.isfinite(band).mean())

        # Accuracy on a random subset.
        rng = np.random.default_rng(1)
        sub = rng.choice(len(q), min(args.check, len(q)), replace=False)
        qs = np.ascontiguousarray(q[sub])
        d2_ref, _, _ = igl.point_mesh_squared_distance(qs.astype(np.float64), vd, fi)
        ulp = side * 2.0 ** -24
        row["dist_err_ulps"] = float(np.max(np.abs(np.asarray(d)[sub] - np.sqrt(d2_ref))) / ulp)
        band_sub = band[sub]
        inside = np.isfinite(band_sub)
        row["band_err_ulps"] = float(np.max(np.abs(np.abs(band_sub[inside]) - np.sqrt(d2_ref[inside])), initial=0.0) / ulp)
        w = np.asarray(engine.brute_force(qs))
        exact_in = w > 0.5
        row["sign_ok"] = float(np.mean((sdf[sub] < 0) == exact_in))
        row["o3d_sign_ok"] = float(np.mean((o3d_sdf[sub] < 0) == exact_in))
        if not args.skip_igl:
            row["igl_sign_ok"] = float(np.mean((igl_out[0][sub] < 0) == exact_in))
        row["checked"] = len(sub)
        rows.append(row)
        log(format_row(row))
    return rows


HEADER = ("| mesh | tris | set | queries | Open3D closest s | Open3D sdf s | libigl sdf s | gyrant closest s "
          "| gyrant sdf s | x Open3D sdf | band s | x full | in band | tight / exact passes / run heads "
          "| dist err (ulps) | sign ok: gyrant / Open3D / libigl |")


def format_row(r):
    igl_t = f"{r['igl_sdf']:.2f}" if "igl_sdf" in r else "n/a"
    igl_s = f"{100 * r['igl_sign_ok']:.3f}%" if "igl_sign_ok" in r else "n/a"
    return (f"| {r['mesh']} | {r['triangles']} | {r['set']} | {r['queries']} | {r['o3d_closest']:.2f} "
            f"| {r['o3d_sdf']:.2f} | {igl_t} | {r['closest']:.2f} | {r['sdf']:.2f} | {r['o3d_sdf'] / r['sdf']:.1f} "
            f"| {r['band']:.2f} | {r['sdf'] / r['band']:.1f} | {100 * r['in_band']:.1f}% | {r['tight']} / {r['exact']} / {r['heads']} "
            f"| {r['dist_err_ulps']:.1f} | {100 * r['sign_ok']:.3f}% / {100 * r['o3d_sign_ok']:.2f}% / {igl_s} |")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--meshes", nargs="*", default=list(MESHES), choices=list(MESHES))
    p.add_argument("--grid", type=int, default=128, help="grid points per side over the box")
    p.add_argument("--near", type=int, default=200_000, help="near-surface samples")
    p.add_argument("--check", type=int, default=20_000, help="queries checked against the references")
    p.add_argument("--threads", type=int, default=THREADS_DEFAULT,
                   help="OpenMP threads of gyrant (Open3D and libigl use the machine's cores)")
    p.add_argument("--skip-igl", action="store_true", help="leave libigl out (it is the slowest)")
    args = p.parse_args(argv)
    missing = [m for m in args.meshes if not os.path.exists(MESHES[m])]
    if missing:
        sys.exit(f"missing meshes {missing}: run `bash bench/setup.sh` first")
    print(f"threads: gyrant {os.environ.get('OMP_NUM_THREADS')}, machine {os.cpu_count()}; "
          f"band = {BAND_FRACTION:g} of the box's largest side")
    print(HEADER)
    print("|" + "---|" * (HEADER.count("|") - 1))
    for name in args.meshes:
        run_mesh(name, MESHES[name], args, lambda s: print(s, flush=True))


if __name__ == "__main__":
    main()
