#!/usr/bin/env bash
# GPU check for a machine with an NVIDIA GPU and no network (nvcc, cmake, ninja, nanobind,
# scikit-build-core, CuPy and PyTorch present; nothing can be downloaded). Builds the cuda flavour,
# runs the C++ suite and the Python suite on the GPU, runs the benchmarks when present (with
# solve_normals on a million points, closest points and signed distances on a million triangles,
# the exact method on a million triangles), and leaves logs and results under $OUT (default: ./gpu_out).
#
# GoogleTest is built from source when no installed copy is found: pass its source tree in
# GYRANT_GTEST_SOURCE (for instance a copy of Debian's /usr/src/googletest carried along).
set -uo pipefail
cd "$(dirname "$0")/.."
OUT=${OUT:-$PWD/gpu_out}
mkdir -p "$OUT"
build=${GYRANT_BUILD_DIR:-build-gpu}
status=0

{ nvidia-smi; nvcc --version; python3 --version; } >"$OUT/machine.txt" 2>&1

extra=()
[ -n "${GYRANT_GTEST_SOURCE:-}" ] && extra+=(-DGYRANT_GTEST_SOURCE="$GYRANT_GTEST_SOURCE")
if ! cmake -S . -B "$build" -G Ninja -DGYRANT_DEVICE=cuda -DGYRANT_BUILD_TESTS=ON \
     -DGYRANT_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(command -v python3)" "${extra[@]}" \
     >"$OUT/configure.log" 2>&1; then
  echo "configure failed (see configure.log)"; exit 1
fi
if ! cmake --build "$build" -j "$(nproc)" >"$OUT/build.log" 2>&1; then
  echo "build failed (see build.log)"; tail -30 "$OUT/build.log"; exit 1
fi

ctest --test-dir "$build" --output-on-failure -j 4 >"$OUT/ctest.log" 2>&1 || status=1
tail -5 "$OUT/ctest.log"
PYTHONPATH="$PWD/$build:$PWD/src" python3 -m pytest -q tests/python >"$OUT/pytest.log" 2>&1 || status=1
tail -5 "$OUT/pytest.log"

if [ -f bench/run.py ]; then
  # libigl (and scipy, which it imports) come as wheels prepared beforehand with
  # `bash bench/setup.sh --wheels` and carried along with bench/data.
  if [ -d bench/wheels ]; then
    python3 -m pip install --no-index --find-links bench/wheels libigl >"$OUT/pip-libigl.log" 2>&1 || true
  fi
  PYTHONPATH="$PWD/$build" python3 bench/run.py --out "$OUT" >"$OUT/bench.log" 2>&1 || status=1
  tail -30 "$OUT/bench.log"
fi
if [ -f bench/data/elephant.off ]; then
  # solve_normals on a million unoriented points (the elephant, sampled by area), gyrant alone.
  PYTHONPATH="$PWD/$build" python3 bench/normals.py --no-open3d --only "elephant, large" \
    --large-points 1000000 --out "$OUT" >"$OUT/normals.log" 2>&1 || status=1
  tail -8 "$OUT/normals.log"
fi
if [ -f bench/data/refined_elephant.off ]; then
  # The solver at scale: 1M and 10M points of refined_elephant, time per stage and peak memory.
  PYTHONPATH="$PWD/$build:$PWD/src" python3 bench/normals_scale.py --points 1000000 --points 10000000 \
    --out "$OUT" >"$OUT/normals_scale.log" 2>&1 || status=1
  tail -3 "$OUT/normals_scale.log"
fi
if [ -f bench/data/bunny00.off ]; then
  # closest_point and signed_distance on a million triangles (the bunny, midpoint-refined): 2M
  # grid queries over its box and 1M near-surface ones, synchronised timings in Gq/s.
  PYTHONPATH="$PWD/$build:$PWD/bench" python3 - >"$OUT/distance.log" 2>&1 <<'PY' || status=1
import time
import numpy as np
import torch
import gyrant_module
import distance, workloads

v64, f64 = workloads.read_off("bench/data/bunny00.off")
v64, f64 = workloads.refine_to(v64, f64, 1_000_000)
dev = torch.device("cuda")
v = torch.tensor(v64, dtype=torch.float32, device=dev)
f = torch.tensor(f64.astype(np.int32), device=dev)
engine = gyrant_module.GyrantEngine(v[f.long()].contiguous())
lo, hi = v64.min(0), v64.max(0)
sets = {"grid 128^3": distance.grid_queries(lo, hi, 128),
        "near 1M": distance.near_queries(v64, f64, 1_000_000, 1)}
print(f"{len(f64)} triangles")
for name, q_host in sets.items():
    q = torch.tensor(q_host, device=dev)
    for op, call in (("closest_point", lambda: engine.closest_point(q)),
                     ("signed_distance", lambda: engine.signed_distance(q)),
                     ("signed_distance band 2%", lambda: engine.signed_distance(
                         q, max_distance=0.02 * float((hi - lo).max())))):
        call()
        torch.cuda.synchronize()
        t0 = time.perf_counter()
        for _ in range(3):
            call()
        torch.cuda.synchronize()
        dt = (time.perf_counter() - t0) / 3
        print(f"{name:12s} {op:24s} {dt * 1e3:8.2f} ms  {len(q_host) / dt / 1e9:.4f} Gq/s")
d = torch.from_dlpack(engine.closest_point(q)[0]).cpu().numpy()
print("sign passes (tight, exact):", engine.sign_reevaluations, " finite distances:", np.isfinite(d).mean())
PY
  tail -8 "$OUT/distance.log"
  # The exact method on about 1.2M triangles: Gq/s of compute(method="exact") and a 512^3 grid.
  PYTHONPATH="$PWD/$build" python3 bench/gpu_exact.py >"$OUT/exact.log" 2>&1 || status=1
  tail -6 "$OUT/exact.log"
fi
exit $status
