"""CUDA's headers from PyPI, for the host flavour on machines without a CUDA toolkit.

The host flavour compiles the CUDA sources with the host compiler and needs CUDA's headers only:
the runtime headers (nvidia-cuda-runtime), the crt/ headers they include (nvidia-cuda-crt) and
CCCL (nvidia-cuda-cccl). pyproject.toml pins them as build requirements; this script is the one
reader of those pins.

    python cmake/cuda_headers.py                 for CMake: the include directories
                                                 (';'-separated), then the packages found
    python cmake/cuda_headers.py --requirements  the pinned requirements, one a line (for pip)

The first form exits with status 1 and says what to install when a package is missing from the
Python that runs it.
"""
import importlib.metadata
import pathlib
import re
import sys

PYPROJECT = pathlib.Path(__file__).resolve().parents[1] / "pyproject.toml"

# Each package and a header it ships, relative to the include directory it provides.
PACKAGES = {
    "nvidia-cuda-runtime": "cuda_runtime_api.h",
    "nvidia-cuda-crt": "crt/host_defines.h",
    "nvidia-cuda-cccl": "thrust/version.h",
}


def requirements():
    """The pins of PACKAGES in pyproject.toml's build requirements, e.g. nvidia-cuda-crt==13.0.88."""
    text = PYPROJECT.read_text()
    pins = {}
    for name in PACKAGES:
        match = re.search(r'"(' + re.escape(name) + r'==[^";\s]+)', text)
        if match is None:
            sys.exit(f"{PYPROJECT}: no pinned build requirement for {name}")
        pins[name] = match.group(1)
    return pins


def include_directories():
    """The include directories of the installed packages, and their versions."""
    pins = requirements()
    directories, found, missing = [], [], []
    for name, header in PACKAGES.items():
        try:
            dist = importlib.metadata.distribution(name)
        except importlib.metadata.PackageNotFoundError:
            missing.append(pins[name])
            continue
        matches = [f for f in dist.files or [] if f.as_posix().endswith("/include/" + header)
                   or f.as_posix().endswith("/include/cccl/" + header)]
        if not matches:
            sys.exit(f"{name} {dist.version} has no {header}: is it a CUDA headers package?")
        path = pathlib.Path(dist.locate_file(matches[0])).resolve()
        root = path.parents[header.count("/")]
        if str(root) not in directories:
            directories.append(str(root))
        # Other versions may do (a build outside pip, in an environment that has them); say so.
        pinned = pins[name].split("==")[1]
        found.append(f"{name} {dist.version}" + ("" if dist.version == pinned else f" (pinned: {pinned})"))
    if missing:
        print(f"gyrant: no CUDA toolkit was found, and the CUDA headers from PyPI are missing from "
              f"{sys.executable}. Install them with\n    {sys.executable} -m pip install "
              + " ".join(missing) + "\nor build through pip (pip install .), which installs them "
              "for the build.", file=sys.stderr)
        sys.exit(1)
    return directories, found


def main():
    args = sys.argv[1:]
    if args == ["--requirements"]:
        print("\n".join(requirements().values()))
    elif not args:
        directories, found = include_directories()
        print(";".join(directories))
        print(", ".join(found))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
