"""Time and accuracy against the size of the weights, the caller's units and outliers.

    OMP_WAIT_POLICY=passive PYTHONPATH=build python3 bench/magnitudes.py [--quick] [--normals-up-to 300]

(Passive waiting keeps OpenMP's spinning threads from dominating the times on a machine shared by
more processes than it has cores.)

1. Products with the Jacobians on a sphere of 20k points with area-sized normals and 20k queries
   uniform in its box grown 30%, for grad_output of typical size |v| (standard normal times |v|):
   time of grad_scaled_normals and grad_points, and their largest error relative to the largest
   exact value (beta = inf, scaled from |v| = 1). Then compute on the same cloud with its normals
   multiplied by a factor: time and largest error against brute_force.
2. solve_normals on a 3000-point sphere scaled by s (extra points: a box around it, value 0): the
   coarse fit's last relative residual, the share of normals that point outward, and the error
   raised, if any.
3. solve_normals on spheres of 20k and 80k points, without and with one point at (1e4, 1e4, 1e4).
"""
import argparse
import time

import numpy as np

from gyrant_module import GyrantEngine


def sphere(n, seed=7):
    p = np.random.default_rng(seed).normal(size=(n, 3))
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    return p


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t


def products(n, magnitudes, normals_up_to=None):
    p = sphere(n).astype(np.float32)
    mu = (p * 4 * np.pi / n).astype(np.float32)
    rng = np.random.default_rng(1)
    q = rng.uniform(-1.3, 1.3, (n, 3)).astype(np.float32)
    v = rng.normal(size=n).astype(np.float32)
    e = GyrantEngine(p, mu)
    exact_n = np.from_dlpack(e.grad_scaled_normals(v, q, beta=float("inf"))).astype(np.float64)
    exact_p = np.from_dlpack(e.grad_points(v, q, beta=float("inf"))).astype(np.float64)
    print(f"\n## Products, {n} points, {n} queries\n")
    print("| abs(v) | grad_scaled_normals | rel. error | grad_points | rel. error |\n|---:|---:|---:|---:|---:|")
    for m in magnitudes:
        vm = (v * np.float32(m)).astype(np.float32)
        row = f"| {m:g} |"
        for product, exact, limit in ((e.grad_scaled_normals, exact_n, normals_up_to), (e.grad_points, exact_p, None)):
            if limit is not None and m > limit:
                row += " skipped | |"
                continue
            g, t = timed(lambda: np.from_dlpack(product(vm, q)))
            row += f" {t:.2f} s | {np.abs(g / m - exact).max() / np.abs(exact).max():.1e} |"
        print(row, flush=True)
    print("\n| normals times | compute | max error |\n|---:|---:|---:|")
    for f in (1.0, 1e-12, 1e5, 1e12):
        ef = GyrantEngine(p, (mu * np.float32(f)).astype(np.float32))
        w, t = timed(lambda: np.from_dlpack(ef.compute(q)))
        exact = np.from_dlpack(ef.brute_force(q)).astype(np.float64)
        print(f"| {f:g} | {t:.2f} s | {np.abs(w - exact).max() / f:.1e} |", flush=True)


def box_around(points, margin=0.3, per_side=8):
    lo, hi = points.min(0) - margin * np.ptp(points, 0), points.max(0) + margin * np.ptp(points, 0)
    g = np.linspace(0, 1, per_side)
    u, w = (x.ravel() for x in np.meshgrid(g, g))
    faces = []
    for axis in range(3):
        for side in (0.0, 1.0):
            f = np.empty((u.size, 3))
            others = [k for k in range(3) if k != axis]
            f[:, axis], f[:, others[0]], f[:, others[1]] = side, u, w
            faces.append(f)
    return (lo + np.concatenate(faces) * (hi - lo)).astype(np.float32)


def solve(points, box_of=None):
    extra = box_around(points if box_of is None else box_of)
    return GyrantEngine.solve_normals(points, extra, np.zeros(len(extra), np.float32), return_history=True)


def solver_scales(scales):
    p = sphere(3000)
    print("\n## solve_normals, 3000-point sphere scaled by s\n")
    print("| s | last residual | outward | time | error |\n|---:|---:|---:|---:|---|")
    for s in scales:
        ps = (p * s).astype(np.float32)
        try:
            (engine, info), t = timed(lambda: solve(ps))
            mu = np.from_dlpack(engine.scaled_normals)
            outward = np.mean(np.einsum("ij,ij->i", mu.astype(np.float64), p) > 0)
            print(f"| {s:g} | {info['residuals'][-1]:.3f} | {outward:.3f} | {t:.2f} s | |", flush=True)
        except Exception as exc:  # noqa: BLE001 (a row per outcome)
            print(f"| {s:g} | | | | {type(exc).__name__}: {str(exc)[:80]} |")


def solver_outlier(sizes):
    print("\n## solve_normals with one far outlier\n")
    print("| points | clean | with (1e4, 1e4, 1e4) |\n|---:|---:|---:|")
    for n in sizes:
        p = sphere(n).astype(np.float32)
        _, clean = timed(lambda: solve(p))
        far = np.vstack([p, [[1e4, 1e4, 1e4]]]).astype(np.float32)
        _, outlier = timed(lambda: solve(far, box_of=p))
        print(f"| {n} | {clean:.2f} s | {outlier:.2f} s |", flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller sizes, fewer magnitudes")
    ap.add_argument("--normals-up-to", type=float, default=None,
                    help="skip grad_scaled_normals above this |v| (before the fix it sums every pair: minutes)")
    args = ap.parse_args()
    if args.quick:
        products(5000, (1e-9, 1.0, 30.0, 1e4))
        solver_scales((1e-12, 1.0, 1e12))
        solver_outlier((20000,))
        return
    products(20000, (1e-12, 1e-9, 1.0, 30.0, 100.0, 300.0, 1e4, 1e12), args.normals_up_to)
    solver_scales((1e-18, 1e-12, 1e-9, 1e-6, 1.0, 1e4, 1e6, 1e9, 1e12, 1e18, 1e21))
    solver_outlier((20000, 80000))


if __name__ == "__main__":
    main()
