#!/usr/bin/env bash
# GPU check for a machine with an NVIDIA GPU and no network (nvcc, cmake, ninja, nanobind,
# scikit-build-core, CuPy and PyTorch present; nothing can be downloaded). Builds the cuda flavour,
# runs the C++ suite and the Python suite on the GPU, runs the benchmarks when present (with
# solve_normals on a million points, the exact method on a million triangles), and leaves logs
# and results under $OUT (default: ./gpu_out).
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
if [ -f bench/data/bunny00.off ]; then
  # The exact method on about 1.2M triangles: Gq/s of compute(method="exact") and a 512^3 grid.
  PYTHONPATH="$PWD/$build" python3 bench/gpu_exact.py >"$OUT/exact.log" 2>&1 || status=1
  tail -6 "$OUT/exact.log"
fi
exit $status
