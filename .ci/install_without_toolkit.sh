#!/usr/bin/env bash
# CI: a new user's install on a machine without the CUDA toolkit (hidden by
# .ci/without_cuda_toolkit.sh, which needs root), from a fresh copy of the working tree, as an
# unprivileged user (nobody) with the system's Python and an empty pip cache:
#  1. in a fresh virtual environment, the README's first command;
#  2. `pip wheel .`, the wheel installed into a second fresh virtual environment, and there, from
#     outside the source tree, the demo and the whole Python suite (a module built without the
#     host execution layer aborts on any kernel launch, so the suite also shows that none of its
#     calls launches one).
# Also checks that nothing was compiled for this machine's CPU beyond the levels chosen at run
# time, and that the module links neither Boost nor libcudart. Prints the time of each step.
# With GYRANT_KEEP_WHEEL_DIR set, the wheel is copied there.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --inside ]; then
  start=$(date +%s)
  work=$(mktemp -d /tmp/gyrant-install.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  # What a clone would hold: tracked and untracked files that git does not ignore.
  mkdir "$work/src"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do if [ -e "$f" ]; then printf '%s\0' "$f"; fi; done |
    xargs -0 cp --parents -t "$work/src"
  mkdir "$work/home"
  chown -R 65534:65534 "$work"
  .ci/without_cuda_toolkit.sh setpriv --reuid=65534 --regid=65534 --clear-groups \
    env HOME="$work/home" PATH=/usr/local/bin:/usr/bin:/bin \
    bash "$work/src/.ci/install_without_toolkit.sh" --inside "$work"
  # The caller may keep the wheel, to test the shipped module beside packages this job lacks.
  if [ -n "${GYRANT_KEEP_WHEEL_DIR:-}" ]; then cp "$work"/dist/gyrant-*.whl "$GYRANT_KEEP_WHEEL_DIR"/; fi
  echo "install without toolkit: $(( $(date +%s) - start )) s in all"
  exit 0
fi

work=$2
cd "$work/src"
step() { echo "== $1: $(( $(date +%s) - step_start )) s"; step_start=$(date +%s); }
step_start=$(date +%s)

echo "as $(id -un), $(command -v python3) $(python3 -c 'import platform; print(platform.python_version())')"
python3 -m venv "$work/venv"
# shellcheck disable=SC1091
. "$work/venv/bin/activate"
# The README's first command, timed part by part (as with &&, a failure stops the job).
bash scripts/setup.sh
step "README: scripts/setup.sh"
python3 -m pip install .
step "README: pip install ."
python3 examples/demo.py
step "README: demo"
test -s out/winding_slice.png
python3 - <<'EOF'
import gyrant_module
assert gyrant_module.flavour == "host", gyrant_module.flavour
EOF

# Instruction sets: only the dispatched copies carry -march (the baseline copy its own, plain
# x86-64, so a -march in CMAKE_CXX_FLAGS cannot reach it), and only x86-64 levels.
flags=$(grep -rhoE -- '-m(arch|tune|cpu)=[^ ]+' build-wheel/*/build.ninja | sort -u | tr '\n' ' ')
echo "target flags in the build: ${flags:-none}"
for flag in $flags; do
  case "$flag" in
    -march=x86-64 | -march=x86-64-v2 | -march=x86-64-v3 | -march=x86-64-v4 | -mtune=generic) ;;
    *) echo "unexpected target flag $flag" >&2; exit 1 ;;
  esac
done
module=$(python3 -c 'import gyrant_module; print(gyrant_module.__file__)')
if ldd "$module" | grep -E 'boost|cudart'; then echo "$module links Boost or libcudart" >&2; exit 1; fi

python3 -m pip wheel . --no-deps -w "$work/dist"
step "pip wheel ."
wheel=$(ls "$work"/dist/gyrant-*.whl)
echo "wheel: $(basename "$wheel"), $(du -k "$wheel" | cut -f1) KB"
deactivate

python3 -m venv "$work/venv-wheel"
"$work/venv-wheel/bin/python" -m pip install -q "$wheel" matplotlib pytest hypothesis libigl
step "wheel into a fresh virtual environment"
cd "$work"
"$work/venv-wheel/bin/python" "$work/src/examples/demo.py" --output "$work/wheel-demo.png"
test -s "$work/wheel-demo.png"
# The wheel's console script, on a shipped mesh.
"$work/venv-wheel/bin/gyrant" info "$work/src/examples/data/elephant.off" | grep -q "closed:    yes"
step "demo and the gyrant command from the wheel"
"$work/venv-wheel/bin/python" -m pytest -q -p no:cacheprovider "$work/src/tests/python"
step "Python suite against the wheel"
