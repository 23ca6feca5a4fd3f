"""gyrant.dask on a LocalCluster: 1 worker against 2 on the same queries (scaling), and the cost
of a Dask chunk against the same engine call made directly in a worker process (overhead), for
several chunk sizes.

Each worker is one process with one task thread and one gyrant (OpenMP) thread, so 1 worker uses
one core and 2 workers two. Queries are uniform in the mesh's box grown by 5%, drawn per chunk
from seeded streams inside the tasks (no query crosses the network); results stay on the
workers (persist), as they would on the way to a Zarr store. The direct baseline runs in the
worker process itself (client.run): the same chunks, the same draws, the same engine calls, in a
plain loop.

    PYTHONPATH=build:src python3 bench/dask_scaling.py [--mesh bench/data/bunny00.off]
        [--queries 20000000] [--chunk 262144] [--sweep 16384,65536,262144,1048576]
        [--sweep-queries 2000000] [--out bench/out]
"""
import argparse
import json
import os
import pathlib
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent


def draw(lo, hi, start, stop):
    """Queries [start, stop) of the stream: a seeded block per chunk start."""
    rng = np.random.default_rng([7, start])
    return (lo + rng.random((stop - start, 3)) * (hi - lo)).astype(np.float32)


def draw_block(lo, hi, block_info=None):
    start, stop = block_info[None]["array-location"][0]
    return draw(lo, hi, start, stop)


def direct(surface, lo, hi, total, chunk):
    """In the worker: the same chunks as plain engine calls; seconds."""
    from gyrant import winding

    engine = surface.engine()
    begin = time.perf_counter()
    for start in range(0, total, chunk):
        winding.evaluate(engine, draw(lo, hi, start, min(start + chunk, total)))
    return time.perf_counter() - begin


def on_cluster(client, surface, lo, hi, total, chunk):
    """Seconds to compute every chunk as a Dask task, results kept on the workers, and the CPU
    seconds the worker processes spent meanwhile (all their threads)."""
    import dask.array as da
    from distributed import wait

    import gyrant.dask as gd

    def stream(lo, hi, total):
        return da.map_blocks(draw_block, lo, hi, chunks=(da.core.normalize_chunks((chunk, 3), (total, 3))),
                             dtype=np.float32, meta=np.empty((0, 0), np.float32))

    queries = stream(lo, hi, total)
    # The surface's key is held for the run, and every worker builds its engine before the clock
    # starts: a cost per run, not per chunk.
    held = client.persist(gd._key(surface))
    workers = len(client.scheduler_info()["workers"])
    # Other queries (other keys), so that no result of the warm-up is reused.
    warm = client.persist(gd.winding_numbers(surface, stream(lo * 1.01, hi * 1.01, 2 * workers * chunk)))
    wait(warm)
    del warm
    cpu = client.run(time.process_time)
    begin = time.perf_counter()
    result = client.persist(gd.winding_numbers(surface, queries))
    wait(result)
    seconds = time.perf_counter() - begin
    cpu = sum(t - cpu[w] for w, t in client.run(time.process_time).items())
    del result, held
    return seconds, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mesh", default=str(HERE / "data" / "bunny00.off"))
    parser.add_argument("--queries", type=int, default=20_000_000)
    parser.add_argument("--chunk", type=int, default=1 << 18)
    parser.add_argument("--sweep", default="1024,16384,65536,262144,1048576",
                        help="chunk sizes; the smallest measures the fixed cost of a chunk")
    parser.add_argument("--sweep-queries", type=int, default=2_000_000)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each measurement; the fastest counts")
    parser.add_argument("--out", default=str(HERE / "out"))
    args = parser.parse_args()
    from distributed import Client

    import gyrant
    import gyrant.dask as gd

    surface = gyrant.read_surface(args.mesh)
    lo, hi = surface.bounds
    pad = 0.05 * (hi - lo).max()
    lo, hi = lo - pad, hi + pad
    report = {"mesh": pathlib.Path(args.mesh).name, "triangles": len(surface), "load_before": os.getloadavg(),
              "repeat": args.repeat}
    # Both clusters stay up (idle workers cost nothing) and their runs alternate, so that load from
    # elsewhere on the machine falls on both alike; the fastest of the repeats counts.
    with gd.local_cluster(1, threads=1) as c1, Client(c1) as one, \
            gd.local_cluster(2, threads=1) as c2, Client(c2) as two:
        times, cpus = {1: [], 2: []}, {1: [], 2: []}
        for r in range(args.repeat):
            for workers, client in ((1, one), (2, two)):
                seconds, cpu = on_cluster(client, surface, lo, hi, args.queries, args.chunk)
                times[workers].append(seconds)
                cpus[workers].append(cpu)
                print(f"{workers} worker(s), run {r + 1}: {args.queries:,} queries in {seconds:.2f} s, "
                      f"workers' CPU {cpu:.2f} s; load {os.getloadavg()[0]:.2f}", flush=True)
        sweep = []
        for chunk in [int(c) for c in args.sweep.split(",")]:
            base, dasked = [], []
            for _ in range(args.repeat):
                base.append(list(one.run(direct, surface, lo, hi, args.sweep_queries, chunk).values())[0])
                dasked.append(on_cluster(one, surface, lo, hi, args.sweep_queries, chunk)[0])
            b, d = min(base), min(dasked)
            chunks = -(-args.sweep_queries // chunk)
            sweep.append({"chunk": chunk, "chunks": chunks, "direct_s": b, "dask_s": d,
                          "direct_runs": base, "dask_runs": dasked,
                          "overhead_per_chunk_ms": 1e3 * (d - b) / chunks, "overhead_fraction": (d - b) / b})
            print(f"  chunk {chunk:>9,}: direct {b:.2f} s, Dask {d:.2f} s for {chunks} chunks: "
                  f"{1e3 * (d - b) / chunks:+.2f} ms a chunk ({100 * (d - b) / b:+.1f}%)", flush=True)
    t1, t2 = min(times[1]), min(times[2])
    # The smallest chunks are nearly all fixed cost, large against the noise of a shared machine:
    # that cost over each size's direct time a chunk is the overhead to expect at that size.
    small = sweep[0]
    fixed = (small["dask_s"] - small["direct_s"]) / small["chunks"]
    for s in sweep:
        s["expected_overhead_fraction"] = fixed / (s["direct_s"] / s["chunks"])
    report.update(times=times, worker_cpu=cpus, sweep=sweep, scaling_efficiency=t1 / (2 * t2),
                  load_after=os.getloadavg(), fixed_cost_per_chunk_ms=1e3 * fixed)
    print(f"\n| workers | queries | chunk | runs (s) | fastest (s) | queries/s | workers' CPU time, runs (s) |")
    print("|---:|---:|---:|---|---:|---:|---|")
    for w in (1, 2):
        print(f"| {w} | {args.queries:,} | {args.chunk:,} | {', '.join(f'{t:.2f}' for t in times[w])} | "
              f"{min(times[w]):.2f} | {args.queries / min(times[w]):,.0f} | {', '.join(f'{t:.2f}' for t in cpus[w])} |")
    print(f"\nscaling efficiency 1 -> 2 workers: {100 * t1 / (2 * t2):.1f}% (t1 / (2 t2), fastest runs); "
          f"CPU time of 1 worker over that of 2: {100 * min(cpus[1]) / min(cpus[2]):.1f}%")
    print(f"\nfixed cost of a Dask chunk (from {small['chunk']:,}-query chunks): {1e3 * fixed:.2f} ms")
    print("\n| chunk (queries) | chunks | direct in the worker (s) | as Dask tasks (s) | overhead a chunk, measured "
          "| overhead, measured | overhead, fixed cost / direct time a chunk |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for s in sweep:
        print(f"| {s['chunk']:,} | {s['chunks']} | {s['direct_s']:.2f} | {s['dask_s']:.2f} | "
              f"{s['overhead_per_chunk_ms']:+.2f} ms | {100 * s['overhead_fraction']:+.1f}% | "
              f"{100 * s['expected_overhead_fraction']:.2f}% |")
    print(f"load average before {report['load_before'][0]:.2f}, after {report['load_after'][0]:.2f} "
          f"({os.cpu_count()} CPUs)")
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "dask_scaling.json").write_text(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
