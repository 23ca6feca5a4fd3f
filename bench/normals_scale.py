"""The normal solver at scale: time per stage, peak memory and agreement on N points sampled from
a CGAL mesh (refined_elephant by default).

    OMP_WAIT_POLICY=passive PYTHONPATH=build:src python3 bench/normals_scale.py --points 1000000 [--points 10000000]

Each size runs in a fresh process that loads the sampled points from an NPY file and calls
`GyrantEngine.solve_normals` with a box of extra points (as bench/normals.py does), so that its
peak resident memory (getrusage) is the solve's plus the interpreter's; the bytes per point are
(peak - resident before the solve) / N. Stage times come from the solver's progress reports.
Prints one line per size and writes normals_scale.json under --out.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import zlib

import numpy as np

import workloads
from normals import agreement, box_points, sample_surface

CHILD = r"""
import json, resource, sys, time
import numpy as np
import gyrant_module

def rss():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS"))

points = np.load(sys.argv[1])
extra = np.load(sys.argv[2])
before = rss()
stages, reports, start = {}, [], time.perf_counter()
def progress(stage, done):
    now = time.perf_counter() - start
    stages.setdefault(stage, now)
    reports.append((stage, round(done, 3), round(now, 2)))
try:
    engine, info = gyrant_module.GyrantEngine.solve_normals(points, extra, np.zeros(len(extra), np.float32),
                                                            return_history=True, progress=progress)
except TypeError:  # a build without progress reports
    engine, info = gyrant_module.GyrantEngine.solve_normals(points, extra, np.zeros(len(extra), np.float32),
                                                            return_history=True)
elapsed = time.perf_counter() - start
np.save(sys.argv[3], np.asarray(engine.scaled_normals))
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"time_s": elapsed, "stage_start_s": stages, "reports": reports, "rss_before": before, "peak_rss": peak,
                  "iterations": len(info["residuals"]) - 1}))
"""


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--points", type=int, action="append", help="cloud sizes (default 1000000)")
    p.add_argument("--mesh", default="refined_elephant")
    p.add_argument("--data-dir", default=workloads.DATA_DIR)
    p.add_argument("--out", default=os.path.join(workloads.HERE, "out"))
    args = p.parse_args(argv)
    sizes = args.points or [1_000_000]
    vertices, faces = workloads.read_off(os.path.join(args.data_dir, args.mesh + ".off"))
    if workloads.boundary_edge_count(faces) == 0:
        faces = workloads.orient_outward(vertices, faces)
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for n in sizes:
            rng = np.random.default_rng(zlib.crc32(f"{args.mesh}/{n}".encode()))
            points, truth = sample_surface(vertices, faces, n, rng)
            points = np.ascontiguousarray(points, np.float32)
            files = [os.path.join(tmp, f) for f in ("points.npy", "extra.npy", "normals.npy")]
            np.save(files[0], points)
            np.save(files[1], box_points(points).astype(np.float32))
            del points
            started = time.perf_counter()
            run = subprocess.run([sys.executable, "-c", CHILD, *files], capture_output=True, text=True)
            if run.returncode != 0:
                print(f"N={n}: failed ({run.returncode}): {run.stderr.strip().splitlines()[-1:]}", file=sys.stderr)
                rows.append({"points": n, "error": run.stderr[-2000:]})
                continue
            row = json.loads(run.stdout.strip().splitlines()[-1])
            row.update(points=n, mesh=args.mesh, wall_s=time.perf_counter() - started,
                       agree=agreement(np.load(files[2]), truth),
                       bytes_per_point=(row["peak_rss"] - row["rss_before"]) / n)
            rows.append(row)
            stages = ", ".join(f"{k} from {v:.1f} s" for k, v in row["stage_start_s"].items())
            print(f"N={n}: {row['time_s']:.1f} s ({stages}), peak RSS {row['peak_rss'] / 2**30:.2f} GiB "
                  f"({row['bytes_per_point']:.0f} B/point over {row['rss_before'] / 2**20:.0f} MiB before), "
                  f"agree {100 * row['agree']:.2f}%", flush=True)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "normals_scale.json"), "w") as f:
        json.dump({"command": "python3 bench/normals_scale.py " + " ".join(sys.argv[1:] if argv is None else argv),
                   "cpu_count": os.cpu_count(), "rows": rows}, f, indent=1)
    return 1 if any("error" in r for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
