"""The exact method on a GPU: queries per second of compute(method="exact") and one 512^3
compute_grid on CGAL's bunny midpoint-refined to about 1.2M triangles, with the errors against
brute_force on a sample. Needs the cuda flavour and PyTorch.

    PYTHONPATH=build-gpu python3 bench/gpu_exact.py [--queries N]
"""
import argparse
import os
import time

import numpy as np
import torch
import trimesh

import gyrant_module

HERE = os.path.dirname(os.path.abspath(__file__))


def timed(fn, repeats=5):
    fn()
    torch.cuda.synchronize()
    best = None
    for _ in range(repeats):
        t = time.perf_counter()
        out = fn()
        torch.cuda.synchronize()
        t = time.perf_counter() - t
        best = t if best is None else min(best, t)
    return best, out


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--queries", type=int, default=10_000_000)
    p.add_argument("--resolution", type=int, default=512)
    args = p.parse_args()
    m = trimesh.load(os.path.join(HERE, "data", "bunny00.off"), process=False)
    v, f = m.vertices, m.faces
    while len(f) < 1_000_000:
        v, f = trimesh.remesh.subdivide(v, f)
    dev = torch.device("cuda")
    engine = gyrant_module.GyrantEngine(torch.tensor(v, dtype=torch.float32, device=dev),
                                        torch.from_numpy(f.astype(np.uint32)).to(dev))
    lo, hi = v.min(0), v.max(0)
    rng = np.random.default_rng(0)
    q = torch.tensor(rng.uniform(lo - 0.15 * (hi - lo), hi + 0.15 * (hi - lo), (args.queries, 3)),
                     dtype=torch.float32, device=dev)
    print(f"{len(f)} triangles, exact path {engine.exact_path}, {engine.boundary_edges} boundary edges")
    t_e, w = timed(lambda: torch.from_dlpack(engine.compute(q, method="exact")))
    t_h, _ = timed(lambda: torch.from_dlpack(engine.compute(q)))
    print(f"compute exact: {t_e:.4g} s, {args.queries / t_e / 1e9:.3g} Gq/s; hierarchical: {t_h:.4g} s, "
          f"{args.queries / t_h / 1e9:.3g} Gq/s")
    sample = q[:20000].contiguous()
    bf = torch.from_dlpack(engine.brute_force(sample)).double()
    print(f"exact - brute_force on 20000 queries: max {float((w[:20000].double() - bf).abs().max()):.2e}")
    n = args.resolution
    spacing = tuple(float(x) for x in ((hi - lo) / n).astype(np.float32))
    origin = tuple(float(x) for x in (lo + (hi - lo) / (2 * n)).astype(np.float32))
    t_g, g = timed(lambda: torch.from_dlpack(engine.compute_grid(origin, spacing, (n, n, n))), 3)
    print(f"compute_grid {n}^3: {t_g:.4g} s, {n ** 3 / t_g / 1e9:.3g} G voxels/s, "
          f"inside fraction {float((g > 0.5).float().mean()):.4f}")


if __name__ == "__main__":
    main()
