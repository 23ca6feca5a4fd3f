#!/usr/bin/env bash
# Runs a command as on a machine without the CUDA toolkit: in a private mount namespace (needs
# root; unshare -m) where the toolkit's prefixes (/usr/local/cuda*) are empty and nvcc and its
# helpers on PATH, libcudart and CUDA's headers under /usr/local/include are removed from view.
# Nothing changes outside the command. Checks that they are gone before running the command.
#   .ci/without_cuda_toolkit.sh COMMAND [ARGS...]
set -euo pipefail
if [ "${GYRANT_TOOLKIT_HIDDEN:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then echo "$0: needs root (it mounts in a private namespace)" >&2; exit 1; fi
  exec unshare --mount --propagation private env GYRANT_TOOLKIT_HIDDEN=1 bash "$0" "$@"
fi

# Covers DIR with an overlay in which the named entries do not exist (whiteouts).
hide() {
  local dir=$1 name layer
  shift
  local present=()
  for name in "$@"; do
    if [ -e "$dir/$name" ] || [ -L "$dir/$name" ]; then present+=("$name"); fi
  done
  if [ ${#present[@]} -eq 0 ]; then return 0; fi
  layer=$(mktemp -d)
  mount -t tmpfs tmpfs "$layer"
  mkdir "$layer/upper" "$layer/work"
  for name in "${present[@]}"; do mknod "$layer/upper/$name" c 0 0; done
  mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/upper,workdir=$layer/work" "$dir"
}

for prefix in /usr/local/cuda*; do
  if [ -d "$prefix" ] && [ ! -L "$prefix" ]; then mount -t tmpfs -o ro tmpfs "$prefix"; fi
done
IFS=: read -r -a path_dirs <<<"$PATH"
for dir in $(printf '%s\n' "${path_dirs[@]}" /usr/local/bin | sort -u); do
  if [ -d "$dir" ]; then hide "$dir" nvcc ptxas cudafe++ __nvcc_device_query fatbinary nvlink nvidia-smi; fi
done
for dir in /usr/local/lib /usr/local/lib64 /usr/lib/*-linux-gnu /usr/lib64; do
  if [ -d "$dir" ]; then
    # shellcheck disable=SC2046  # library names have no spaces
    hide "$dir" $(cd "$dir" && ls -d libcudart* 2>/dev/null)
  fi
done
hide /usr/local/include cuda.h cuda_runtime.h cuda_runtime_api.h cuda_fp16.h cuda_bf16.h \
     builtin_types.h crt cccl cub thrust cuda nv cooperative_groups

# What the toolkit gave must be gone.
if command -v nvcc >/dev/null; then echo "nvcc still visible: $(command -v nvcc)" >&2; exit 1; fi
if echo '#include <cuda_runtime_api.h>' | ${CXX:-c++} -E -x c++ - >/dev/null 2>&1; then
  echo "cuda_runtime_api.h still on the compiler's include path" >&2; exit 1
fi
for lib in libcudart.so libcudart.so.13 libcudart.so.12; do
  if python3 -c 'import ctypes, sys; ctypes.CDLL(sys.argv[1])' "$lib" 2>/dev/null; then
    echo "$lib still loadable" >&2; exit 1
  fi
done
echo "CUDA toolkit hidden: no nvcc, no CUDA headers, no libcudart"
exec "$@"
