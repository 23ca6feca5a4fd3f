"""Accuracy and speed of compute against the caller's units.

    PYTHONPATH=build python3 bench/units.py [--sizes 10000,100000,1000000]

Part 1: the shipped elephant.off scaled to fit [-1, 1]^3 and then by a factor s, with 3,000
queries uniform in the box grown 30%: compute against brute_force on the same engine, and
compute's time relative to s = 1. Part 2: near-surface errors at unit scale (box side about 2)
for meshes of growing size (the benchmark's bumpy torus).
"""
import argparse
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import workloads  # noqa: E402
import gyrant_module  # noqa: E402


def read_elephant():
    s = workloads.load_mesh(os.path.join(workloads.SAMPLE_DIR, "elephant.off"), "elephant", "sample", "shipped")
    v = s.vertices
    v = (v - (v.min(0) + v.max(0)) / 2) / np.abs(v - (v.min(0) + v.max(0)) / 2).max()
    return v.astype(np.float32), s.faces.astype(np.uint32)


def timed(fn, repeats=3):
    best, out = float("inf"), None
    for _ in range(repeats):
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return out, best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="10000,100000,1000000")
    args = ap.parse_args()
    v, f = read_elephant()
    rng = np.random.default_rng(1)
    q = rng.uniform(-1.3, 1.3, (3000, 3)).astype(np.float32)
    print("| s | max error | mean error | compute time |\n|---|---:|---:|---:|")
    base = None
    for s in (1.0, 1e-2, 1e-3, 1e-4, 1e3, 1e4):
        e = gyrant_module.GyrantEngine(v * np.float32(s), f)
        qs = (q * np.float32(s)).astype(np.float32)
        fast, t = timed(lambda: np.from_dlpack(e.compute(qs)))
        err = np.abs(fast - np.from_dlpack(e.brute_force(qs)))
        base = base or t
        print(f"| {s:g} | {err.max():.2e} | {err.mean():.2e} | {t / base:.2f}x |")

    print("\n| triangles | near-surface max error | mean error | queries |\n|---:|---:|---:|---:|")
    for n in (int(x) for x in args.sizes.split(",")):
        s = workloads.bumpy_torus(n)
        vv = s.vertices
        c = (vv.min(0) + vv.max(0)) / 2
        scale = np.abs(vv - c).max()
        s.vertices = (vv - c) / scale
        near = workloads.near_queries(s, 2000, 5).astype(np.float32)
        e = gyrant_module.GyrantEngine(s.vertices.astype(np.float32), s.faces.astype(np.uint32))
        err = np.abs(np.from_dlpack(e.compute(near)) - np.from_dlpack(e.brute_force(near)))
        print(f"| {len(s.faces)} | {err.max():.2e} | {err.mean():.2e} | {len(near)} |")


if __name__ == "__main__":
    main()
