#!/usr/bin/env bash
# Prepares the benchmark's real surfaces: installs Debian's libcgal-demo (CGAL's demo data) when
# missing and extracts the meshes and point sets the benchmark uses into bench/data/ (ignored by
# git). With --wheels it also downloads the libigl and scipy wheels for a machine without network
# (bench/wheels/, see bench/README.md).
set -euo pipefail
cd "$(dirname "$0")"

archive=/usr/share/doc/libcgal-dev/data.tar.gz
files=(data/meshes/bunny00.off data/meshes/fandisk.off data/meshes/mech-holes-shark.off
       data/meshes/elephant.off data/meshes/rotor.off data/meshes/femur.off data/meshes/hand.off
       data/meshes/knot1.off data/meshes/armadillo.off data/meshes/refined_elephant.off
       data/meshes/elephant-with-holes.off
       data/points_3/kitten.xyz data/points_3/oni.pwn)

if [ ! -f "$archive" ]; then
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends libcgal-demo
fi

mkdir -p data
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tar -xzf "$archive" -C "$tmp" "${files[@]}"
for f in "${files[@]}"; do cp "$tmp/$f" data/; done
echo "bench/data: $(cd data && ls | tr '\n' ' ')"

if [ "${1:-}" = "--wheels" ]; then
  # The GPU machine runs Python ${GYRANT_PYTHON_VERSION:-3.12} and has numpy; libigl's module
  # imports scipy when it loads, so scipy's wheel comes along for a machine without it.
  for pkg in "libigl==2.6.3" scipy; do
    python3 -m pip download "$pkg" --no-deps --only-binary=:all: \
      --python-version "${GYRANT_PYTHON_VERSION:-3.12}" --platform manylinux_2_28_x86_64 -d wheels
  done
  ls -l wheels
fi
