#!/usr/bin/env bash
# Installs what building and testing gyrant needs, where it is missing: Debian packages (Boost.Context,
# GoogleTest, CMake, Ninja) and the Python build/test packages. The CUDA toolkit (nvcc, CCCL headers)
# is expected to be present already.
set -euo pipefail

need_apt=()
dpkg -s libboost-context-dev >/dev/null 2>&1 || need_apt+=(libboost-context-dev)
dpkg -s libgtest-dev >/dev/null 2>&1 || need_apt+=(libgtest-dev)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
command -v ninja >/dev/null 2>&1 || need_apt+=(ninja-build)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

python3 -m pip install -q "nanobind==2.10.2" "scikit-build-core==1.1.2" numpy pytest matplotlib libigl
