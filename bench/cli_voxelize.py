"""`gyrant voxelize` of a mesh to Zarr against trimesh's `contains`, on the same grid.

Runs the command line as a user would, under /usr/bin/time -v (wall time and peak resident
memory of the whole process), then times trimesh's inside test on a random subset of the same
grid nodes and extrapolates it to the whole grid (labelled as such), for each ray engine trimesh
has here: its own NumPy one (needs rtree) and Embree (needs embreex). The subset's labels are
compared with the grid's (winding number > 0.5).

    PYTHONPATH=build:src python3 bench/cli_voxelize.py [--mesh bench/data/bunny00.off]
        [--resolution 512] [--method hierarchical auto] [--out bench/out] [--subset 3000]
        [--embree-subset 2000000]

Several --method values run the command once each, in that order, in one run; trimesh's labels
are compared with the last one's grid.
"""
import argparse
import json
import os
import pathlib
import re
import subprocess
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent


def run_cli(mesh, store, resolution, chunk, method="auto"):
    import gyrant
    import gyrant_module

    env = dict(os.environ)
    paths = [str(pathlib.Path(gyrant_module.__file__).parent), str(pathlib.Path(gyrant.__file__).parents[1])]
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    command = [sys.executable, "-m", "gyrant", "voxelize", str(mesh), "-o", str(store), "-r", str(resolution),
               "--no-progress", "--method", method] + (["--chunk-size", str(chunk)] if chunk else [])
    done = subprocess.run(["/usr/bin/time", "-v"] + command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.exit(f"gyrant voxelize failed:\n{done.stderr}")
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", done.stderr).group(1)
    seconds = sum(float(x) * 60**i for i, x in enumerate(reversed(wall.split(":"))))
    peak_kb = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr).group(1))
    return {"command": " ".join(["gyrant"] + command[3:]), "seconds": seconds, "peak_mib": peak_kb / 1024,
            "says": done.stdout.strip().splitlines()[-1]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mesh", default=str(HERE / "data" / "bunny00.off"))
    parser.add_argument("--resolution", type=int, default=512)
    parser.add_argument("--chunk-size", type=int, default=None)
    parser.add_argument("--method", nargs="+", choices=("auto", "exact", "hierarchical"), default=["auto"],
                        help="gyrant's --method, one run each (default auto)")
    parser.add_argument("--out", default=str(HERE / "out"))
    parser.add_argument("--subset", type=int, default=3000, help="grid nodes for trimesh's NumPy ray engine")
    parser.add_argument("--embree-subset", type=int, default=2_000_000, help="grid nodes for Embree")
    parser.add_argument("--keep", action="store_true", help="keep the Zarr store")
    args = parser.parse_args()
    import trimesh
    import zarr

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    load = os.getloadavg()
    queries = args.resolution**3
    stores, runs = [], []
    for method in args.method:
        store = out / f"voxelize_{args.resolution}_{method}.zarr"
        stores.append(store)
        runs.append(run_cli(args.mesh, store, args.resolution, args.chunk_size, method))
    gy = runs[-1]
    grid = zarr.open_group(str(store), mode="r")
    values = grid["winding_numbers"]
    origin, spacing = np.array(grid.attrs["origin"]), np.array(grid.attrs["spacing"])

    mesh = trimesh.load(args.mesh, process=False)
    rng = np.random.default_rng(0)
    rows = [{"what": f"gyrant voxelize --method {method}, whole grid ({queries:,} nodes, Zarr)",
             "seconds": r["seconds"],
             "queries_per_s": queries / r["seconds"], "peak_mib": r["peak_mib"], "measured": "whole grid"}
            for method, r in zip(args.method, runs)]
    gyrant_rows = len(rows)
    engines = []
    try:
        import rtree  # noqa: F401  (trimesh's NumPy ray engine needs it)
        from trimesh.ray.ray_triangle import RayMeshIntersector

        engines.append(("trimesh contains (NumPy rays + rtree)", RayMeshIntersector, args.subset))
    except ImportError:
        print("rtree missing: trimesh's own ray engine left out (pip install rtree)")
    try:
        from trimesh.ray.ray_pyembree import RayMeshIntersector as EmbreeIntersector

        engines.append(("trimesh contains (Embree rays, embreex)", EmbreeIntersector, args.embree_subset))
    except ImportError:
        print("embreex missing: trimesh's Embree engine left out (pip install embreex)")
    for label, engine, count in engines:
        index = rng.integers(0, args.resolution, (count, 3))
        points = origin + spacing * index
        start = time.perf_counter()
        inside = engine(mesh).contains_points(points)
        seconds = time.perf_counter() - start
        wn = values.vindex[index[:, 0], index[:, 1], index[:, 2]]
        rows.append({"what": f"{label}: {count:,} random grid nodes, extrapolated to the grid",
                     "seconds": seconds * queries / count, "queries_per_s": count / seconds,
                     "measured": f"{count:,} nodes in {seconds:.2f} s",
                     "label_disagreement": float(((wn > 0.5) != inside).mean())})
    if not args.keep:
        import shutil

        for store in stores:
            shutil.rmtree(store)

    print(f"\nmesh {pathlib.Path(args.mesh).name} ({len(mesh.faces)} triangles), grid {args.resolution}^3; "
          f"load average before: {load[0]:.2f}, {os.cpu_count()} CPUs")
    for r in runs:
        print(f"command: {r['command']}\n  {r['says']}")
    print()
    print("| run | time (s) | queries/s | peak memory | measured | labels differing from gyrant |")
    print("|---|---:|---:|---:|---|---:|")
    for r in rows:
        peak = f"{r['peak_mib']:.0f} MiB" if "peak_mib" in r else "-"
        differ = f"{100 * r['label_disagreement']:.3f}%" if "label_disagreement" in r else "-"
        print(f"| {r['what']} | {r['seconds']:.1f} | {r['queries_per_s']:,.0f} | {peak} | {r['measured']} | {differ} |")
    for r in rows[gyrant_rows:]:
        ratio = r["seconds"] / rows[gyrant_rows - 1]["seconds"]
        print(f"{r['what'].split(':')[0]} / gyrant, time on the whole grid: {ratio:.2f} "
              f"(gyrant {ratio if ratio >= 1 else 1 / ratio:.1f}x {'faster' if ratio >= 1 else 'slower'})")
    (out / "cli_voxelize.json").write_text(json.dumps({"load": load, "rows": rows, "gyrant": runs}, indent=1))


if __name__ == "__main__":
    main()
