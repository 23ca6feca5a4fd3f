#!/usr/bin/env bash
# Installs what building, testing and the demo need, where it is missing. No root is needed for
# the module and the demo: `pip install .` builds the host flavour with gcc alone (OpenMP comes
# with it) and fetches CUDA's headers from PyPI when there is no CUDA toolkit.
#  - Python packages, into the Python that runs this (a virtual environment works): the build
#    tools, the examples' (numpy, matplotlib, scikit-image), the gyrant package's (trimesh, scipy,
#    tqdm; zarr for its Zarr output, dask and distributed for gyrant.dask) and the tests' (pytest,
#    hypothesis, libigl). Without a
#    CUDA toolkit also CUDA's headers from PyPI, for builds outside pip (scripts/test.sh).
#  - Debian packages for the C++ test build only (scripts/test.sh): Boost.Context (the host
#    execution layer, which runs the CUDA kernels on the CPU as the tests' oracle) and GoogleTest.
#    They need root or sudo; without either they are left out with a note.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install -q "nanobind==2.10.2" "scikit-build-core==1.1.2" numpy pytest hypothesis matplotlib \
  scikit-image libigl trimesh scipy tqdm zarr "dask[array]" distributed
# CMake and Ninja for scripts/test.sh, from PyPI where the system has none (no root needed).
command -v cmake >/dev/null 2>&1 || python3 -m pip install -q "cmake>=3.24"
command -v ninja >/dev/null 2>&1 || python3 -m pip install -q ninja
if ! command -v nvcc >/dev/null 2>&1 && [ ! -x /usr/local/cuda/bin/nvcc ]; then
  # Only without a toolkit: with one, the build uses its headers, and these pins could clash with
  # the CUDA packages of a framework installed here.
  mapfile -t cuda_headers < <(python3 cmake/cuda_headers.py --requirements)
  python3 -m pip install -q "${cuda_headers[@]}"
fi

if ! command -v apt-get >/dev/null 2>&1; then
  echo "setup.sh: no apt-get; the C++ test build (scripts/test.sh) needs Boost.Context and" \
       "GoogleTest from your package manager" >&2
  exit 0
fi
need_apt=()
dpkg -s libboost-context-dev >/dev/null 2>&1 || need_apt+=(libboost-context-dev)
dpkg -s libgtest-dev >/dev/null 2>&1 || need_apt+=(libgtest-dev)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    SUDO=()
  elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    SUDO=(sudo)
  else
    echo "setup.sh: not installing ${need_apt[*]} (no root): only the C++ test build" \
         "(scripts/test.sh) needs them; to add them: sudo apt-get install ${need_apt[*]}" >&2
    exit 0
  fi
  "${SUDO[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq "${need_apt[@]}"
fi
