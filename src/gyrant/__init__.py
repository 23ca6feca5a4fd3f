"""gyrant: generalized winding numbers of triangle soups, meshes and oriented point clouds.

The engine is the extension module's `GyrantEngine`; `flavour` says which arrays it takes
("host": CPU arrays, "cuda": CUDA arrays). `gyrant.torch` (loaded on first use, so that PyTorch
stays optional) makes point-cloud winding numbers differentiable.
"""
import importlib

from gyrant_module import GyrantEngine, flavour

__all__ = ["GyrantEngine", "flavour"]


def __getattr__(name):
    # Submodules with optional dependencies load on first access, not with the package.
    if name == "torch":
        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
