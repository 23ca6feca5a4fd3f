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


# -- the caller's own device arrays (cuda flavour) ----------------------------------------------


def on_device(a):
    """Whether `a` is a CUDA array the cuda flavour evaluates where it lies (a CUDA torch tensor
    or a CuPy array). The host flavour takes CPU arrays only: those are converted, not here."""
    if flavour != "cuda":
        return False
    module = type(a).__module__ or ""
    if module.startswith("cupy"):
        return True
    return module.startswith("torch") and getattr(getattr(a, "device", None), "type", None) == "cuda"


def namespace(a):
    module = type(a).__module__ or ""
    if module.startswith("cupy"):
        import cupy

        return cupy
    import torch

    return torch


def local_block(xp, block, offset):
    """float32 C-contiguous queries in the surface's frame, on their own device; the offset is
    taken off in float64."""
    if xp.__name__ == "torch":
        if offset.any():
            block = block.double() - xp.as_tensor(offset, device=block.device)
        return block.float().contiguous()
    if offset.any():
        block = block.astype(xp.float64) - xp.asarray(offset)
    return xp.ascontiguousarray(block, dtype=xp.float32)


def all_finite(xp, block):
    return xp.isfinite(block).all()


def empty_like_f32(a, n):
    xp = namespace(a)
    if xp.__name__ == "torch":
        return xp.empty(n, dtype=xp.float32, device=a.device)
    with xp.cuda.Device(a.device.id):
        return xp.empty(n, dtype=xp.float32)


def wrap(xp, result):
    """A DLPack result of the engine in the framework `xp`, without a copy."""
    return xp.from_dlpack(result)


def add_offset(xp, points, offset):
    """Points of the surface's frame back in the caller's: float64 with the offset added, or as
    they are when there is none."""
    if not offset.any():
        return points
    if xp.__name__ == "torch":
        return points.double() + xp.as_tensor(offset, device=points.device)
    return points.astype(xp.float64) + xp.asarray(offset)


def concatenate(xp, parts):
    return xp.cat(parts) if xp.__name__ == "torch" else xp.concatenate(parts)
