"""NumPy arrays to the module's device and results back: NumPy itself in the host flavour, CuPy
(else PyTorch) in the cuda flavour."""
import numpy as np

from gyrant_module import flavour

_framework = None


def _cuda_framework():
    global _framework
    if _framework is None:
        try:
            import cupy

            _framework = ("cupy", cupy)
        except ImportError:
            try:
                import torch
            except ImportError:
                raise RuntimeError("the cuda flavour of gyrant needs CuPy or PyTorch for its "
                                   "arrays: python3 -m pip install cupy-cuda12x") from None
            _framework = ("torch", torch)
    return _framework


def _aligned(a):
    # C-contiguous and aligned: arrays rebuilt from pickled bytes (Dask's workers) can start at
    # any byte, and the engine reads whole floats.
    return np.require(a, requirements=["C", "A"])


def to_device(a):
    """a (NumPy or device array) as a C-contiguous, aligned array the engine reads in place."""
    if flavour == "host":
        return _aligned(a)
    name, lib = _cuda_framework()
    if name == "cupy":
        return lib.ascontiguousarray(lib.asarray(a))
    if isinstance(a, lib.Tensor):
        return a.cuda().contiguous()
    return lib.from_numpy(_aligned(a)).cuda()


def to_numpy(result):
    """A DLPack result of the engine as a NumPy array."""
    if flavour == "host":
        return np.from_dlpack(result)
    name, lib = _cuda_framework()
    if name == "cupy":
        return lib.asnumpy(lib.from_dlpack(result))
    return lib.from_dlpack(result).cpu().numpy()
