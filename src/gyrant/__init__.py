"""gyrant: generalized winding numbers of triangle soups, meshes and oriented point clouds.

The engine is the extension module's `GyrantEngine`; `flavour` says which arrays it takes
("host": CPU arrays, "cuda": CUDA arrays). On it sit:

- `Surface` and `as_surface` (what each input form means), and file input (`read_surface`, `read_points`: OBJ, PLY, STL, OFF, GLB meshes; PLY,
  XYZ, NPY, NPZ point clouds);
- chunked functions with progress bars: `winding_numbers`, `voxelize`, `sample_occupancy`,
  `signed_distance`, `closest_points`, `sample_sdf`, `orient`, `reconstruct`;
- the command line `gyrant` (`gyrant.cli`).

`gyrant.torch` (PyTorch) and `gyrant.dask` (a Dask cluster) load on first use, so that their
frameworks stay optional.
"""
import importlib

from gyrant_module import GyrantEngine, flavour

from gyrant.distance import ClosestPoints, SdfSamples, closest_points, sample_sdf, signed_distance
from gyrant.io import read_points, read_surface
from gyrant.surface import InputError, Surface
from gyrant.winding import (GyrantError, Grid, Mesh, Samples, as_surface, orient, reconstruct,
                            sample_occupancy, voxelize, winding_numbers)

__all__ = ["GyrantEngine", "flavour", "Surface", "as_surface", "InputError", "GyrantError", "Grid", "Mesh", "Samples",
           "read_surface", "read_points", "winding_numbers", "voxelize", "sample_occupancy", "orient",
           "reconstruct", "signed_distance", "closest_points", "sample_sdf", "ClosestPoints", "SdfSamples"]


def __getattr__(name):
    # Submodules with optional dependencies load on first access, not with the package.
    if name in ("torch", "dask"):
        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
