#!/usr/bin/env bash
# Regenerates the README's figures with the gyrant_module that python3 imports (installed, or
# PYTHONPATH=build): docs/winding_slice.png, the demo's slice through the mesh with holes, and
# docs/benchmark.png, the benchmark's plot on procedural surfaces of 1k, 10k and 100k
# primitives, docs/reconstruction.png, examples/reconstruct.py's surface from 20k unoriented
# points, and docs/sdf_slice.png, examples/sdf_slice.py's signed distances on the demo's slice
# beside Open3D's. All are reduced to a 256-colour palette to stay small (under 100 KB each). A
# few minutes on two cores in the host flavour; needs matplotlib, scikit-image and libigl
# (scripts/setup.sh), and open3d.
set -euo pipefail
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

python3 examples/demo.py --mesh examples/data/elephant-with-holes.off --output "$tmp/slice.png"
python3 bench/run.py --no-real --sizes 1000,10000,100000 --out "$tmp/bench"
python3 examples/reconstruct.py --output-dir "$tmp/reconstruct"
python3 examples/sdf_slice.py --output "$tmp/sdf_slice.png"

python3 - "$tmp/slice.png" docs/winding_slice.png 640 "$tmp/bench/bench.png" docs/benchmark.png 1100 \
  "$tmp/reconstruct/reconstruction.png" docs/reconstruction.png 480 "$tmp/sdf_slice.png" docs/sdf_slice.png 800 <<'PY'
import sys
from PIL import Image

args = sys.argv[1:]
for source, target, width in zip(args[0::3], args[1::3], args[2::3]):
    image = Image.open(source).convert("RGB")
    width = min(int(width), image.width)
    image = image.resize((width, round(image.height * width / image.width)), Image.LANCZOS)
    image.quantize(colors=256, method=Image.Quantize.MEDIANCUT).save(target, optimize=True)
    with open(target, "rb") as f:
        size = len(f.read())
    print(f"{target}: {image.width} x {image.height}, {size // 1024} KB")
    if size >= 100 * 1024:
        sys.exit(f"{target} is {size} bytes; keep the README's figures under 100 KB")
PY
