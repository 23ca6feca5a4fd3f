#!/usr/bin/env bash
# Checks of the host flavour that a GPU would not make (CI jobs; each prints its time):
#   scripts/sanitize.sh fuzz    [build]  the C++ suite of an existing build (default build/) under
#                                        the schedule seeds in GYRANT_SCHEDULE_SEEDS (default "1 2")
#   scripts/sanitize.sh address [build]  ASan + UBSan build (default build-asan/): C++ suite, pytest
#   scripts/sanitize.sh thread  [build]  TSan build (default build-tsan/): C++ suite on the emulated
#                                        kernels (libgomp is not instrumented: OpenMP runs one thread)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:?usage: scripts/sanitize.sh fuzz|address|thread [build dir]}
jobs=${GYRANT_JOBS:-$(nproc)}
start=$(date +%s)

configure_and_build() {
    cmake -S . -B "$1" -G Ninja -DGYRANT_DEVICE=host -DGYRANT_SANITIZE="$2" -DGYRANT_BUILD_TESTS=ON \
          -DGYRANT_BUILD_PYTHON="$3" -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
    cmake --build "$1" -j "$jobs"
}

case "$mode" in
fuzz)
    build=${2:-build}
    for seed in ${GYRANT_SCHEDULE_SEEDS:-1 2}; do
        echo "== C++ suite, schedule seed $seed"
        GYRANT_SCHEDULE_SEED=$seed ctest --test-dir "$build" --output-on-failure -j "$jobs"
    done
    ;;
address)
    build=${2:-build-asan}
    configure_and_build "$build" address ON
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:check_initialization_order=1 \
        ctest --test-dir "$build" --output-on-failure -j "$jobs"
    # Leaks are not checked in Python: the interpreter keeps much of what it allocated until exit.
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
    # Python is not instrumented: the ASan runtime goes first so that it sees every allocation;
    # libstdc++ too, or ASan finds no real __cxa_throw for libraries that throw (matplotlib's).
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" PYTHONPATH="$PWD/$build:$PWD/src${PYTHONPATH:+:$PYTHONPATH}" \
        python3 -m pytest -q -p no:cacheprovider tests/python
    ;;
thread)
    build=${2:-build-tsan}
    configure_and_build "$build" thread OFF
    # One OpenMP thread: libgomp's barriers are invisible to TSan, so the native code's parallel
    # loops would only produce false reports. Left out: the tests that set their own OpenMP thread
    # counts, the comparisons of native code with kernels and the deepest traversal (minutes each
    # under TSan; the kernels they run are covered by the kernel families' own tests).
    export OMP_NUM_THREADS=1
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
    ctest --test-dir "$build" --output-on-failure -j "$jobs" -E '^Native(Build|Walk)\.|^Traversal.FullStackFallsBackToExactSums$|^Traversal.ResultsDependOnlyOnTheQuery$|^VectorJacobianProducts.SameBitsForEveryThreadCount$'
    ;;
*)
    echo "unknown mode '$mode' (fuzz, address or thread)" >&2
    exit 2
    ;;
esac
echo "sanitize.sh $mode took $(( $(date +%s) - start )) s"
