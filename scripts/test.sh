#!/usr/bin/env bash
# Builds gyrant with its tests (flavour: GYRANT_DEVICE, default auto) and runs every test:
# the C++ suite through CTest, then the Python suite with pytest against the module just built.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${GYRANT_BUILD_DIR:-build}
jobs=${GYRANT_JOBS:-$(nproc)}
cmake -S . -B "$build" -G Ninja -DGYRANT_DEVICE="${GYRANT_DEVICE:-auto}" -DGYRANT_BUILD_TESTS=ON \
      -DGYRANT_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(command -v python3)"
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
PYTHONPATH="$PWD/$build:$PWD/src${PYTHONPATH:+:$PYTHONPATH}" python3 -m pytest -q tests/python
