"""gyrant demo: winding numbers of a shipped mesh on a grid slice and at random points.

Builds an engine from examples/data/elephant.off (a closed genus-3 surface, CC0, from CGAL's
data set), evaluates the winding number at random points and on a fine square slice through the
mesh (600 x 600 by default) with the hierarchical `compute` and the exact `brute_force`, prints
inside/outside counts, their largest difference, timings and the slice's queries per second,
and writes a PNG of the slice.

    python3 examples/demo.py [--mesh FILE.off] [--grid N] [--points N] [--output FILE.png]
"""
import argparse
import pathlib
import sys
import time

import numpy as np

import gyrant_module

HERE = pathlib.Path(__file__).resolve().parent


def read_off(path):
    """Vertices (float32) and triangle indices (uint32) of a triangle-only OFF file."""
    words = []
    for line in pathlib.Path(path).read_text().splitlines():
        words.extend(line.split("#", 1)[0].split())
    if not words or words[0] != "OFF":
        raise ValueError(f"{path}: not an OFF file")
    try:
        nv, nf = int(words[1]), int(words[2])
        vertices = np.array(words[4 : 4 + 3 * nv], dtype=np.float32).reshape(nv, 3)
        faces = np.array(words[4 + 3 * nv : 4 + 3 * nv + 4 * nf], dtype=np.int64).reshape(nf, 4)
    except (IndexError, ValueError):
        raise ValueError(f"{path}: truncated or malformed OFF file") from None
    if (faces[:, 0] != 3).any():
        raise ValueError(f"{path}: only triangles are supported")
    if not np.isfinite(vertices).all():
        raise ValueError(f"{path}: non-finite vertex coordinates")
    if faces.size and (faces[:, 1:].min() < 0 or faces[:, 1:].max() >= nv):
        raise ValueError(f"{path}: a face index is out of range")
    return vertices, faces[:, 1:].astype(np.uint32)


def read_mesh_or_exit(path):
    """read_off, or the program ends with its one-line reason (status 2)."""
    try:
        return read_off(path)
    except (OSError, ValueError) as error:
        print(f"error: {error}", file=sys.stderr)
        sys.exit(2)


class Arrays:
    """Moves arrays to the module's device and back: NumPy for the host flavour, CuPy or PyTorch
    for the cuda flavour."""

    def __init__(self):
        self.name = "numpy"
        if gyrant_module.flavour == "cuda":
            try:
                import cupy

                self.cupy, self.name = cupy, "cupy"
            except ImportError:
                import torch

                self.torch, self.name = torch, "torch"

    def to_device(self, a):
        a = np.ascontiguousarray(a)
        if self.name == "cupy":
            return self.cupy.asarray(a)
        if self.name == "torch":
            return self.torch.from_numpy(a).cuda()
        return a

    def to_host(self, result):
        if self.name == "cupy":
            return self.cupy.asnumpy(self.cupy.from_dlpack(result))
        if self.name == "torch":
            return self.torch.from_dlpack(result).cpu().numpy()
        return np.from_dlpack(result).copy()

    def synchronize(self):
        if self.name == "cupy":
            self.cupy.cuda.get_current_stream().synchronize()
        elif self.name == "torch":
            self.torch.cuda.synchronize()


def timed(label, arrays, fn, timings):
    arrays.synchronize()
    start = time.perf_counter()
    result = fn()
    arrays.synchronize()
    timings.append((label, time.perf_counter() - start))
    return result


def main():
    gpu = gyrant_module.flavour == "cuda"
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mesh", default=str(HERE / "data" / "elephant.off"))
    parser.add_argument("--grid", type=int, default=600, help="slice resolution (N x N points)")
    parser.add_argument("--points", type=int, default=1_000_000 if gpu else 10_000,
                        help="random query points")
    parser.add_argument("--output", default="out/winding_slice.png")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    if args.grid < 2 or args.points < 1:
        parser.error("--grid must be at least 2 and --points at least 1")

    arrays = Arrays()
    vertices, faces = read_mesh_or_exit(args.mesh)
    print(f"gyrant {gyrant_module.flavour} flavour, arrays through {arrays.name}")
    # Flushed first: the engine's factory writes its own line to the same stream.
    print(f"mesh {pathlib.Path(args.mesh).name}: {len(vertices)} vertices, {len(faces)} triangles",
          flush=True)

    timings = []
    d_vertices, d_faces = arrays.to_device(vertices), arrays.to_device(faces)
    engine = timed("build engine", arrays, lambda: gyrant_module.GyrantEngine(d_vertices, d_faces), timings)

    # A square slice through the middle of the mesh, across its two longest extents.
    lo, hi = vertices.min(axis=0).astype(np.float64), vertices.max(axis=0).astype(np.float64)
    pad = 0.1 * (hi - lo)
    lo, hi = lo - pad, hi + pad
    thin = int(np.argmin(hi - lo))
    axes = [a for a in range(3) if a != thin]
    centre, half = 0.5 * (lo + hi), 0.5 * (hi - lo)[axes].max()
    nu = nv = args.grid
    u = np.linspace(centre[axes[0]] - half, centre[axes[0]] + half, nu)
    v = np.linspace(centre[axes[1]] - half, centre[axes[1]] + half, nv)
    uu, vv = np.meshgrid(u, v)
    plane = np.empty((uu.size, 3), dtype=np.float32)
    plane[:, axes[0]], plane[:, axes[1]] = uu.ravel(), vv.ravel()
    plane[:, thin] = 0.5 * (lo[thin] + hi[thin])

    rng = np.random.default_rng(args.seed)
    points = rng.uniform(lo, hi, size=(args.points, 3)).astype(np.float32)

    d_plane, d_points = arrays.to_device(plane), arrays.to_device(points)
    # Random points first: the slice's timing then excludes one-time start-up costs.
    fast = arrays.to_host(timed(f"compute, {len(points)} random points", arrays,
                                lambda: engine.compute(d_points), timings))
    exact = arrays.to_host(timed(f"brute_force, {len(points)} random points", arrays,
                                 lambda: engine.brute_force(d_points), timings))
    slice_wn = arrays.to_host(timed(f"compute, {nu} x {nv} slice", arrays,
                                    lambda: engine.compute(d_plane), timings))
    slice_s = timings[-1][1]
    exact_slice = arrays.to_host(engine.brute_force(d_plane))

    inside = int((fast > 0.5).sum())
    print(f"random points: {inside} inside, {len(points) - inside} outside (compute, threshold 0.5)")
    print(f"slice: {int((slice_wn > 0.5).sum())} of {len(plane)} points inside")
    print(f"largest |compute - brute_force|: {np.abs(fast - exact).max():.3e} (random points), "
          f"{np.abs(slice_wn - exact_slice).max():.3e} (slice)")
    disagree = int(((fast > 0.5) != (exact > 0.5)).sum())
    print(f"inside/outside disagreements between compute and brute_force: {disagree}")
    for label, seconds in timings:
        print(f"  {label:<40s} {seconds * 1e3:10.2f} ms")
    print(f"slice {nu} x {nv} ({len(plane)} points): compute {slice_s * 1e3:.1f} ms, "
          f"{len(plane) / slice_s:,.0f} queries/s")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    output = pathlib.Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    names = "xyz"
    fig, ax = plt.subplots(figsize=(7, 7 * nv / nu + 0.6))
    image = ax.imshow(slice_wn.reshape(nv, nu), origin="lower", cmap="RdBu_r", vmin=-0.25, vmax=1.25,
                      extent=(u[0], u[-1], v[0], v[-1]))
    ax.contour(u, v, slice_wn.reshape(nv, nu), levels=[0.5], colors="k", linewidths=0.8)
    ax.set_xlabel(names[axes[0]])
    ax.set_ylabel(names[axes[1]])
    ax.set_title(f"winding number of {pathlib.Path(args.mesh).name}, "
                 f"{names[thin]} = {plane[0, thin]:.3f}")
    fig.colorbar(image, ax=ax, shrink=0.8, label="winding number")
    fig.savefig(output, dpi=120, bbox_inches="tight")
    print(f"slice image written to {output}")


if __name__ == "__main__":
    main()
