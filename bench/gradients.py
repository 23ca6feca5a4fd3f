"""The point cloud's summing queries against compute, on the same cloud and queries.

    OMP_WAIT_POLICY=passive PYTHONPATH=build:src python3 bench/gradients.py [--points N]
        [--queries N] [--accuracy]

Times (best of 3) of compute, gradient, grad_scaled_normals and grad_points on a sphere of N
points (unit normals scaled by the area per point) with uniform queries in its box grown by 15%,
each also as a ratio to compute. --accuracy adds the gradient's error against brute_force_gradient
on a 20k-point sphere at epsilon = 1 and 2 point spacings, beta = 1.5 and the default: at the
points themselves (where the solver evaluates it), within a few spacings of the surface, and
uniform in the box. An error is |g - brute| over the larger of |brute| and the set's mean |brute|
(inside the sphere the gradient nearly vanishes). It also gives both products' rms error against
their exact sums.
"""
from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np


def sphere(n, seed=1):
    rng = np.random.default_rng(seed)
    p = rng.normal(size=(n, 3))
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    return p.astype(np.float32), (p * (4.0 * np.pi / n)).astype(np.float32)


def uniform(n, seed=2, margin=0.15):
    rng = np.random.default_rng(seed)
    return rng.uniform(-1.0 - 2 * margin, 1.0 + 2 * margin, size=(n, 3)).astype(np.float32)


def best(fn, repeats=3):
    t = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        t = min(t, time.perf_counter() - t0)
    return t


def timings(g, n_points, n_queries):
    p, nrm = sphere(n_points)
    q = uniform(n_queries)
    e = g.GyrantEngine._quiet(p, nrm)
    v = np.random.default_rng(3).normal(size=n_queries).astype(np.float32)
    e.compute(q[:1024])  # warm-up: thread pool, allocator
    rows = {
        "compute": best(lambda: e.compute(q)),
        "gradient": best(lambda: e.gradient(q)),
        "grad_scaled_normals": best(lambda: e.grad_scaled_normals(v, q)),
        "grad_points": best(lambda: e.grad_points(v, q)),
    }
    print(f"{n_points} points, {n_queries} uniform queries, "
          f"OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')}")
    print("| query | time | / compute |\n|---|---:|---:|")
    for name, t in rows.items():
        print(f"| {name} | {t * 1e3:.1f} ms | {t / rows['compute']:.2f} |")


def accuracy(g, n=20_000):
    p, nrm = sphere(n, seed=5)
    spacing = float(np.sqrt(4.0 * np.pi / n))
    rng = np.random.default_rng(6)
    d = rng.normal(size=(2000, 3))
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    near = (d * rng.uniform(1.0 - 3 * spacing, 1.0 + 3 * spacing, size=(2000, 1))).astype(np.float32)
    e = g.GyrantEngine._quiet(p, nrm)
    print(f"\ngradient error, {n}-point sphere, spacing {spacing:.4f}: |g - brute| / |brute|")
    print("| queries | epsilon | beta | mean | max |\n|---|---|---|---:|---:|")
    at_points = p[rng.choice(n, 2000, replace=False)]
    for label, q in (("points", at_points), ("near", near), ("uniform", uniform(2000, seed=7))):
        for k in (1, 2):
            eps = k * spacing
            ref = np.asarray(e.brute_force_gradient(q, eps), np.float64)
            scale = np.linalg.norm(ref, axis=1)
            for beta in (1.5, -1.0):
                got = np.asarray(e.gradient(q, beta, eps), np.float64)
                rel = np.linalg.norm(got - ref, axis=1) / np.maximum(scale, scale.mean())
                print(f"| {label} | {k} spacing | {'default' if beta < 0 else beta} "
                      f"| {rel.mean():.2e} | {rel.max():.2e} |")


def product_accuracy(g, n=20_000):
    p, nrm = sphere(n, seed=5)
    spacing = float(np.sqrt(4.0 * np.pi / n))
    rng = np.random.default_rng(8)
    e = g.GyrantEngine._quiet(p, nrm)
    print(f"\nproducts' error, {n}-point sphere, 5000 uniform queries and the own points, random v: "
          "rms |got - exact| / rms |exact| (exact: beta = inf)")
    print("| queries | epsilon | product | rms |\n|---|---|---|---:|")
    for label, q in (("uniform", uniform(5000, seed=9)), ("own points", None)):
        v = rng.normal(size=n if q is None else len(q)).astype(np.float32)
        for eps, eps_label in ((-1.0, "default"), (2 * spacing, "2 spacings")):
            for name in ("grad_scaled_normals", "grad_points"):
                f = getattr(e, name)
                ref = np.asarray(f(v, q, beta=np.inf, epsilon=eps), np.float64)
                got = np.asarray(f(v, q, epsilon=eps), np.float64)
                rms = np.sqrt(((got - ref) ** 2).sum() / (ref ** 2).sum())
                print(f"| {label} | {eps_label} | {name} | {rms:.2e} |")


def main(argv=None):
    a = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    a.add_argument("--points", type=int, default=75_000)
    a.add_argument("--queries", type=int, default=100_000)
    a.add_argument("--accuracy", action="store_true")
    args = a.parse_args(argv)
    import gyrant_module as g
    timings(g, args.points, args.queries)
    if args.accuracy:
        accuracy(g)
        product_accuracy(g)
    return 0


if __name__ == "__main__":
    sys.exit(main())
