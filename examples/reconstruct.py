"""gyrant reconstruction: a surface from an unoriented point cloud.

Samples points by area from a shipped mesh (examples/data/elephant.off by default) and forgets
its normals; `GyrantEngine.solve_normals` finds scaled normals for the cloud (with points on a
box around it held at winding number 0), the solved engine's winding number is evaluated on a
grid over the cloud's box, and marching cubes (scikit-image) extracts its 0.5 level set. Writes
the mesh as a binary PLY and a shaded picture of it as PNG, and prints the time of each stage.
The engine's calls step by step; `gyrant reconstruct` (or `gyrant.reconstruct`) does the same
in one.

    python3 examples/reconstruct.py [--points N] [--grid N] [--output-dir DIR] [--mesh FILE.off]
"""
import argparse
import pathlib
import sys
import time

import numpy as np

import gyrant_module
from gyrant.io import write_mesh
from gyrant.winding import box_points
from demo import Arrays, read_mesh_or_exit, timed

HERE = pathlib.Path(__file__).resolve().parent

# The evaluation grid covers the cloud's box grown by this fraction of its diagonal, so the
# level set closes inside the grid.
GRID_MARGIN = 0.05


def sample_cloud(vertices, faces, count, rng):
    """count points uniform by area on the mesh, and the unit normals of their faces (kept only
    to score the solved normals)."""
    v = vertices.astype(np.float64)
    v0, v1, v2 = (v[faces[:, k]] for k in range(3))
    cross = np.cross(v1 - v0, v2 - v0)
    areas = np.linalg.norm(cross, axis=1)
    face = rng.choice(len(faces), size=count, p=areas / areas.sum())
    a, b = rng.random(count), rng.random(count)
    flip = a + b > 1.0
    a[flip], b[flip] = 1.0 - a[flip], 1.0 - b[flip]
    points = v0[face] + a[:, None] * (v1 - v0)[face] + b[:, None] * (v2 - v0)[face]
    normals = cross[face] / np.maximum(areas[face], 1e-300)[:, None]
    return points.astype(np.float32), normals


def grid_axes(lo, hi, resolution):
    """Equally spaced axes over the box grown by GRID_MARGIN; the longest gets `resolution`
    nodes."""
    pad = GRID_MARGIN * np.linalg.norm(hi - lo)
    lo, hi = lo - pad, hi + pad
    step = (hi - lo).max() / (resolution - 1)
    counts = np.maximum(np.ceil((hi - lo) / step).astype(int) + 1, 2)
    return [lo[k] + step * np.arange(counts[k]) for k in range(3)], step


def signed_volume(vertices, faces):
    v0, v1, v2 = (vertices[faces[:, k]].astype(np.float64) for k in range(3))
    return float(np.einsum("ij,ij->i", v0, np.cross(v1, v2)).sum() / 6.0)


def render(path, vertices, faces, title):
    """A shaded picture of the mesh: faces lit by one directional light, drawn back to front."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection

    # Drawn with the mesh's y axis up (the convention of the shipped meshes): a rotation
    # (x, y, z) -> (x, -z, y) into matplotlib's z-up frame.
    vertices = np.c_[vertices[:, 0], -vertices[:, 2], vertices[:, 1]]
    tris = vertices[faces]
    normals = np.cross(tris[:, 1] - tris[:, 0], tris[:, 2] - tris[:, 0])
    normals /= np.maximum(np.linalg.norm(normals, axis=1, keepdims=True), 1e-30)
    light = np.array([0.4, -0.6, 0.7])
    light /= np.linalg.norm(light)
    shade = 0.25 + 0.75 * np.clip(normals @ light, 0.0, 1.0)
    colours = np.c_[np.outer(shade, [0.85, 0.62, 0.42]), np.ones(len(shade))]

    fig = plt.figure(figsize=(5, 5))
    ax = fig.add_subplot(projection="3d")
    ax.add_collection3d(Poly3DCollection(tris, facecolors=colours, edgecolors="none"))
    lo, hi = vertices.min(axis=0), vertices.max(axis=0)
    centre, half = (lo + hi) / 2, 0.42 * (hi - lo).max()
    for setter, c in zip((ax.set_xlim, ax.set_ylim, ax.set_zlim), centre):
        setter(c - half, c + half)
    ax.set_box_aspect((1, 1, 1))
    ax.view_init(elev=20, azim=-60)
    ax.set_axis_off()
    ax.set_title(title, fontsize=9)
    fig.savefig(path, dpi=90, bbox_inches="tight")
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mesh", default=str(HERE / "data" / "elephant.off"),
                        help="triangle mesh (OFF) to sample the cloud from")
    parser.add_argument("--points", type=int, default=20_000, help="points in the cloud")
    parser.add_argument("--grid", type=int, default=112, help="grid nodes along the longest axis")
    parser.add_argument("--output-dir", default="out", help="folder for reconstruction.ply/.png")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    if args.points < 100:
        parser.error("--points must be at least 100")
    if not 8 <= args.grid <= 1024:
        parser.error("--grid must be between 8 and 1024")
    try:
        from skimage import measure
    except ImportError:
        sys.exit("examples/reconstruct.py needs scikit-image: python3 -m pip install scikit-image")

    arrays = Arrays()
    vertices, faces = read_mesh_or_exit(args.mesh)
    rng = np.random.default_rng(args.seed)
    timings = []
    start = time.perf_counter()
    cloud, true_normals = sample_cloud(vertices, faces, args.points, rng)
    timings.append(("sample cloud", time.perf_counter() - start))
    lo, hi = cloud.min(axis=0).astype(np.float64), cloud.max(axis=0).astype(np.float64)
    extra = box_points((lo, hi))  # points on a box around the cloud, held at winding number 0
    print(f"gyrant {gyrant_module.flavour} flavour; {len(cloud)} unoriented points from "
          f"{pathlib.Path(args.mesh).name}, {len(extra)} box points at 0", flush=True)

    d_cloud, d_extra = arrays.to_device(cloud), arrays.to_device(extra)
    d_zero = arrays.to_device(np.zeros(len(extra), np.float32))
    engine, info = timed("solve_normals", arrays, lambda: gyrant_module.GyrantEngine.solve_normals(
        d_cloud, d_extra, d_zero, return_history=True), timings)
    normals = arrays.to_host(engine.scaled_normals)
    agree = float((np.einsum("ij,ij->i", normals, true_normals) > 0).mean())
    residuals = info["residuals"]
    print(f"solved normals: {len(residuals) - 1} iterations, residual {residuals[0]:.3g} -> "
          f"{residuals[-1]:.3g}, smoothing radius {info['epsilon']:.3g}; "
          f"{100 * agree:.2f}% agree in sign with the mesh's faces", flush=True)

    axes, step = grid_axes(lo, hi, args.grid)
    shape = tuple(len(a) for a in axes)
    nodes = np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, 3).astype(np.float32)
    d_nodes = arrays.to_device(nodes)
    wn = arrays.to_host(timed(f"winding numbers, grid {shape[0]}x{shape[1]}x{shape[2]}", arrays,
                              lambda: engine.compute(d_nodes, epsilon=info["epsilon"]), timings))
    volume = wn.reshape(shape)
    if not np.isfinite(volume).all():
        sys.exit("the solved winding number is not finite on the grid")
    if not volume.min() < 0.5 < volume.max():
        sys.exit(f"the solved winding number does not cross 0.5 on the grid "
                 f"(range {volume.min():.3g} to {volume.max():.3g})")

    start = time.perf_counter()
    mesh_vertices, mesh_faces, _, _ = measure.marching_cubes(volume, level=0.5, spacing=(step,) * 3)
    mesh_vertices = (mesh_vertices + np.array([a[0] for a in axes])).astype(np.float32)
    mesh_faces = mesh_faces.astype(np.int32)
    if signed_volume(mesh_vertices, mesh_faces) < 0:  # outward, counter-clockwise faces
        mesh_faces = mesh_faces[:, ::-1].copy()
    timings.append(("marching cubes", time.perf_counter() - start))
    print(f"mesh: {len(mesh_vertices)} vertices, {len(mesh_faces)} triangles, "
          f"enclosed volume {signed_volume(mesh_vertices, mesh_faces):.4g} "
          f"(source mesh {signed_volume(vertices, faces):.4g})")

    out = pathlib.Path(args.output_dir)
    out.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    write_mesh(out / "reconstruction.ply", mesh_vertices, mesh_faces)
    timings.append(("write PLY", time.perf_counter() - start))
    start = time.perf_counter()
    render(out / "reconstruction.png", mesh_vertices, mesh_faces,
           f"{pathlib.Path(args.mesh).name}: {len(cloud)} unoriented points, grid {args.grid}")
    timings.append(("render PNG", time.perf_counter() - start))
    for label, seconds in timings:
        print(f"  {label:<40s} {seconds:8.2f} s")
    print(f"written: {out / 'reconstruction.ply'}, {out / 'reconstruction.png'}")


if __name__ == "__main__":
    main()
