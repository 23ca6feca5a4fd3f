"""Timing and accuracy of gyrant and libigl on one surface and one query set."""
from __future__ import annotations

import math
import time

import numpy as np

try:
    import igl
except ImportError:  # the benchmark still measures gyrant alone
    igl = None

# Classification threshold: inside where the winding number exceeds one half.
INSIDE = 0.5


def errors(approx, ref):
    """Max and mean absolute error, and the fraction of points on the other side of 1/2."""
    approx = np.asarray(approx, np.float64)
    ref = np.asarray(ref, np.float64)
    if approx.shape != ref.shape:
        raise ValueError(f"shape mismatch {approx.shape} vs {ref.shape}")
    if ref.size == 0:
        return {"max": None, "mean": None, "flips": None, "nonfinite": 0}
    diff = np.abs(approx - ref)
    bad = ~np.isfinite(diff)
    # A non-finite result is an error of its own kind; it must not vanish from the mean or max.
    finite = diff[~bad]
    return {
        "max": float(finite.max()) if finite.size else math.inf,
        "mean": float(finite.mean()) if finite.size else math.inf,
        "flips": float(((approx > INSIDE) != (ref > INSIDE)).mean()),
        "nonfinite": int(bad.sum()),
    }


# Repeats stop early once a measurement has taken this long in all.
REPEAT_BUDGET_S = 2.0
# libigl's query time is a difference of two timings; it is measured over at least this many
# seconds and this many times the build, repeating the query set up to IGL_MAX_TILE times
# (and IGL_MAX_TILED_QUERIES queries) in one call. IGL_NOISE: the relative timing noise assumed.
IGL_MIN_QUERY_S = 0.2
IGL_QUERY_TO_BUILD = 2.0
IGL_MAX_TILE = 64
IGL_MAX_TILED_QUERIES = 4_000_000
IGL_NOISE = 0.05


def _timed(fn, repeats):
    """Best wall time of up to repeats calls (the least disturbed by other work on the
    machine); returns (seconds, last result)."""
    best, spent, out = math.inf, 0.0, None
    for _ in range(max(1, repeats)):
        t0 = time.perf_counter()
        out = fn()
        elapsed = time.perf_counter() - t0
        best, spent = min(best, elapsed), spent + elapsed
        if spent > REPEAT_BUDGET_S:
            break
    return best, out


# ---------------------------------------------------------------------------------------------
# Double-precision references


def _dipole_kernel(r, inv_eps):
    """Gaussian-smoothed dipole factor k(r) of the point kernel (plain 1/r^3 from two smoothing
    radii on, and everywhere when inv_eps is infinite)."""
    k = 1.0 / r ** 3
    if math.isinf(inv_eps):
        return k
    x = r * inv_eps
    near = x < 2.0
    if near.any():
        xn, rn = x[near], r[near]
        erf = np.vectorize(math.erf)(xn)
        s = erf - 2.0 / math.sqrt(math.pi) * xn * np.exp(-xn * xn)
        small = xn < 0.1
        kn = np.where(small, 4.0 / (3.0 * math.sqrt(math.pi)) * inv_eps ** 3, s / rn ** 3)
        k[near] = kn
    return k


def exact_points(points, normals, queries, epsilon, chunk=1 << 22):
    """Exact point-kernel sum in double precision (points closer than 1e-9 contribute 0)."""
    inv_eps = math.inf if epsilon == 0 else 1.0 / epsilon
    q = np.asarray(queries, np.float64)
    out = np.zeros(len(q))
    step = max(1, chunk // max(1, len(points)))
    for s in range(0, len(q), step):
        d = points[None, :, :] - q[s:s + step, None, :]
        r = np.sqrt((d * d).sum(-1))
        far = r >= 1e-9
        k = np.zeros_like(r)
        k[far] = _dipole_kernel(r[far], inv_eps)
        out[s:s + step] = (k * np.einsum("qpd,pd->qp", d, normals)).sum(1) / (4.0 * math.pi)
    return out


def exact_reference(surface, queries, epsilon):
    """Float64 winding numbers: libigl's exact solid-angle sum for triangles, the kernel sum
    above for points. None when libigl is missing and the surface is made of triangles."""
    if surface.kind == "points":
        return exact_points(surface.points, surface.normals, queries, epsilon)
    if igl is None:
        return None
    return igl.winding_number(surface.vertices, surface.faces, np.asarray(queries, np.float64))


# ---------------------------------------------------------------------------------------------
# gyrant


class Gyrant:
    """The module plus the array library of its flavour (NumPy in host, CuPy or torch in cuda)."""

    def __init__(self, module):
        self.module = module
        self.flavour = module.flavour
        self.xp = None
        self.device_name = "CPU (host flavour)"
        if self.flavour == "cuda":
            try:
                import cupy
                self.xp = "cupy"
                self._cp = cupy
                props = cupy.cuda.runtime.getDeviceProperties(cupy.cuda.Device().id)
                self.device_name = props["name"].decode() if isinstance(props["name"], bytes) else props["name"]
            except ImportError:
                import torch
                if not torch.cuda.is_available():
                    raise RuntimeError("the cuda flavour needs CuPy or a CUDA build of torch")
                self.xp = "torch"
                self._torch = torch
                self.device_name = torch.cuda.get_device_name()

    def put(self, array):
        array = np.ascontiguousarray(array)
        if self.xp == "cupy":
            return self._cp.asarray(array)
        if self.xp == "torch":
            return self._torch.from_numpy(array).cuda()
        return array

    def get(self, result):
        if self.xp == "cupy":
            return self._cp.asnumpy(self._cp.from_dlpack(result))
        if self.xp == "torch":
            return self._torch.from_dlpack(result).cpu().numpy()
        return np.array(np.from_dlpack(result), copy=True)

    def sync(self):
        if self.xp == "cupy":
            self._cp.cuda.Device().synchronize()
        elif self.xp == "torch":
            self._torch.cuda.synchronize()

    def inputs(self, surface):
        if surface.kind == "soup":
            return (self.put(surface.triangles().astype(np.float32)),)
        if surface.kind == "mesh":
            return (self.put(surface.vertices.astype(np.float32)),
                    self.put(surface.faces.astype(np.uint32)))
        return (self.put(surface.points.astype(np.float32)),
                self.put(surface.normals.astype(np.float32)))

    def build(self, args):
        engine = self.module.GyrantEngine(*args)
        self.sync()
        return engine

    def compute(self, engine, queries, epsilon):
        out = engine.compute(queries, epsilon=epsilon)
        self.sync()
        return out

    def brute_force(self, engine, queries, epsilon):
        out = engine.brute_force(queries, epsilon=epsilon)
        self.sync()
        return out

    def compute_exact(self, engine, queries):
        out = engine.compute(queries, method="exact")
        self.sync()
        return out


def measure_gyrant(g, surface, queries, cfg):
    """Build time, compute and brute_force throughput; returns the row part and the reference
    (brute_force results on the first R queries)."""
    row = {}
    eps = cfg.epsilon
    args = g.inputs(surface)
    for _ in range(cfg.warmup):
        g.build(args)  # the first build on a device also pays for its memory pool
    t_build, engine = _timed(lambda: g.build(args), cfg.repeats)
    row["build_s"] = t_build

    q_all = g.put(queries)
    q_probe = g.put(queries[:cfg.probe])
    # Warm-up: the first call on a fresh engine pays for allocations the next ones reuse.
    g.get(g.compute(engine, q_all if cfg.warmup else q_probe, eps))
    t_comp, res = _timed(lambda: g.compute(engine, q_all, eps), cfg.repeats)
    approx = g.get(res)
    del res
    row["compute_s"] = t_comp
    row["compute_qps"] = len(queries) / t_comp

    # Reference on as many queries as the time budget allows, measured on a probe first.
    t_probe, ref = _timed(lambda: g.brute_force(engine, q_probe, eps), 1)
    ref_n = min(len(queries), cfg.probe)
    if len(queries) > ref_n:
        rate = ref_n / max(t_probe, 1e-9)
        want = int(min(len(queries), max(ref_n, rate * cfg.brute_budget_s)))
        if want > ref_n:
            # A prefix of randomly ordered queries is itself a random sample.
            q_ref = g.put(queries[:want])
            t_probe, ref = _timed(lambda: g.brute_force(engine, q_ref, eps), 1)
            ref_n = want
    reference = g.get(ref).astype(np.float64)
    row["brute_queries"] = ref_n
    row["brute_s"] = t_probe
    row["brute_qps"] = ref_n / t_probe
    row["gyrant_vs_brute"] = errors(approx[:ref_n], reference)
    return row, approx, reference


# ---------------------------------------------------------------------------------------------
# libigl


def measure_libigl(surface, queries, cfg):
    """libigl's fast winding number on the first cfg.igl_queries queries, at its defaults
    (mesh: order-2 expansion, accuracy scale 2; points: order 2, beta 2)."""
    q = np.asarray(queries[:cfg.igl_queries], np.float64)
    row = {"igl_queries": len(q)}
    if surface.kind == "points":
        areas = np.linalg.norm(surface.normals, axis=1)
        unit = surface.normals / np.maximum(areas, 1e-300)[:, None]
        p = surface.points
        call = lambda qq: igl.fast_winding_number(p, unit, areas, qq, 2, 2.0)  # noqa: E731
    else:
        v, f = surface.vertices, surface.faces
        call = lambda qq: igl.fast_winding_number(v, f, qq)  # noqa: E731
    # The bindings build their tree inside every call (the split octree entry points pass the
    # tree through Python lists, which costs more than building it): a one-query call measures
    # the build, and the query time is what a full call takes beyond it. Where that difference
    # would drown in timing noise, the same queries are evaluated several times over in one call.
    t_build, _ = _timed(lambda: call(q[:1]), cfg.igl_repeats)
    t_total, out = _timed(lambda: call(q), cfg.igl_repeats)
    t_query, reps = t_total - t_build, 1
    target = max(IGL_QUERY_TO_BUILD * t_build, IGL_MIN_QUERY_S)
    if t_query < target and len(q):
        reps = math.ceil(target / max(t_query, IGL_NOISE * t_total))
        reps = max(1, min(IGL_MAX_TILE, reps, IGL_MAX_TILED_QUERIES // len(q)))
        if reps > 1:
            tiled = np.tile(q, (reps, 1))
            t_tiled, _ = _timed(lambda: call(tiled), cfg.igl_repeats)
            t_query = t_tiled - t_build
    row.update(igl_build_s=t_build, igl_total_s=t_total, igl_tiles=reps,
               igl_query_s=t_query / reps if t_query > 0 else None)
    row["igl_qps"] = reps * len(q) / t_query if t_query > 0 else None
    return row, np.asarray(out, np.float64)
