import ctypes
import pathlib

import numpy as np
import pytest

import gyrant_module

DATA_DIR = pathlib.Path(__file__).resolve().parents[2] / "examples" / "data"

# DLPack device types.
KDL_CPU = 1
KDL_CUDA = 2


@pytest.fixture(scope="session")
def flavour():
    return gyrant_module.flavour


# ---------------------------------------------------------------------------------------------
# A minimal DLPack producer over a NumPy array's memory, with a device of our choosing. The host
# flavour uses it to present the same memory as "another CPU device" (device mismatch tests) or
# as a CUDA array (device kind tests); the module only compares the device fields, so nothing
# reads the memory under a foreign device.


class _DLDevice(ctypes.Structure):
    _fields_ = [("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32)]


class _DLDataType(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class _DLTensor(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("device", _DLDevice),
        ("ndim", ctypes.c_int32),
        ("dtype", _DLDataType),
        ("shape", ctypes.POINTER(ctypes.c_int64)),
        ("strides", ctypes.POINTER(ctypes.c_int64)),
        ("byte_offset", ctypes.c_uint64),
    ]


class _DLManagedTensor(ctypes.Structure):
    _fields_ = [
        ("dl_tensor", _DLTensor),
        ("manager_ctx", ctypes.c_void_p),
        ("deleter", ctypes.c_void_p),  # none: the wrapper below owns everything
    ]


_PyCapsule_New = ctypes.pythonapi.PyCapsule_New
_PyCapsule_New.restype = ctypes.py_object
_PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

_DTYPE_CODES = {"f": 2, "u": 1, "i": 0}


class DLPackView:
    """Exports `array`'s memory through DLPack as living on (device_type, device_id)."""

    def __init__(self, array, device_type, device_id, shape=None):
        self.array = np.asarray(array)
        self.device = (device_type, device_id)
        # A claimed shape larger than the memory behind it: only for calls that must fail
        # before reading the data.
        self.shape = tuple(shape) if shape is not None else self.array.shape
        self._keep = []  # structures handed out stay alive as long as this object

    def __dlpack_device__(self):
        return self.device

    def __dlpack__(self, *args, **kwargs):
        a = self.array
        shape = (ctypes.c_int64 * max(a.ndim, 1))(*self.shape)
        strides = (ctypes.c_int64 * max(a.ndim, 1))(*(s // a.itemsize for s in a.strides))
        managed = _DLManagedTensor()
        managed.dl_tensor.data = a.ctypes.data
        managed.dl_tensor.device = _DLDevice(*self.device)
        managed.dl_tensor.ndim = a.ndim
        managed.dl_tensor.dtype = _DLDataType(_DTYPE_CODES[a.dtype.kind], a.itemsize * 8, 1)
        managed.dl_tensor.shape = shape
        managed.dl_tensor.strides = strides
        managed.dl_tensor.byte_offset = 0
        self._keep.append((shape, strides, managed))
        return _PyCapsule_New(ctypes.addressof(managed), b"dltensor", None)


# ---------------------------------------------------------------------------------------------
# Arrays on the module's device: NumPy in the host flavour, CuPy (or PyTorch) under cuda, so the
# same suite runs on a GPU machine.


class HostDevice:
    kind = KDL_CPU

    def array(self, values, dtype=np.float32):
        return np.ascontiguousarray(np.asarray(values, dtype=dtype))

    def to_numpy(self, result):
        return np.from_dlpack(result)

    def data_pointer(self, result):
        return np.from_dlpack(result).ctypes.data

    def other_device(self, values, dtype=np.float32):
        return DLPackView(self.array(values, dtype), KDL_CPU, 1)

    def wrong_kind(self, values, dtype=np.float32):
        return DLPackView(self.array(values, dtype), KDL_CUDA, 0)

    def fortran(self, values, dtype=np.float32):
        return np.asfortranarray(np.asarray(values, dtype=dtype))

    def streams(self):
        return []


class CudaDevice:
    kind = KDL_CUDA

    def __init__(self):
        try:
            import cupy
        except ImportError:
            cupy = None
        self.cupy = cupy
        if cupy is None:
            import torch

            self.torch = torch

    def array(self, values, dtype=np.float32):
        host = np.ascontiguousarray(np.asarray(values, dtype=dtype))
        if self.cupy is not None:
            return self.cupy.asarray(host)
        return self.torch.from_numpy(host).cuda()

    def to_numpy(self, result):
        if self.cupy is not None:
            return self.cupy.asnumpy(self.cupy.from_dlpack(result))
        return self.torch.from_dlpack(result).cpu().numpy()

    def data_pointer(self, result):
        if self.cupy is not None:
            return self.cupy.from_dlpack(result).data.ptr
        return self.torch.from_dlpack(result).data_ptr()

    def other_device(self, values, dtype=np.float32):
        host = np.ascontiguousarray(np.asarray(values, dtype=dtype))
        if self.cupy is not None:
            if self.cupy.cuda.runtime.getDeviceCount() < 2:
                pytest.skip("needs two CUDA devices")
            with self.cupy.cuda.Device(1):
                return self.cupy.asarray(host)
        if self.torch.cuda.device_count() < 2:
            pytest.skip("needs two CUDA devices")
        return self.torch.from_numpy(host).to("cuda:1")

    def wrong_kind(self, values, dtype=np.float32):
        return np.ascontiguousarray(np.asarray(values, dtype=dtype))

    def fortran(self, values, dtype=np.float32):
        host = np.asarray(values, dtype=dtype)
        if self.cupy is not None:
            return self.cupy.asfortranarray(self.cupy.asarray(host))
        return self.torch.from_numpy(np.ascontiguousarray(host.T)).cuda().T

    def streams(self):
        """Raw handles of real non-default streams (kept alive by the returned objects)."""
        if self.cupy is not None:
            s = self.cupy.cuda.Stream(non_blocking=True)
            return [(s, s.ptr)]
        s = self.torch.cuda.Stream()
        return [(s, s.cuda_stream)]


@pytest.fixture(scope="session")
def dev():
    return HostDevice() if gyrant_module.flavour == "host" else CudaDevice()


# ---------------------------------------------------------------------------------------------
# Shared geometry.


def read_off(path):
    """Vertices (float64) and triangles (int64) of a triangle-only OFF file."""
    words = []
    for line in pathlib.Path(path).read_text().splitlines():
        words.extend(line.split("#", 1)[0].split())
    assert words[0] == "OFF"
    nv, nf = int(words[1]), int(words[2])
    pos = 4
    vertices = np.array(words[pos : pos + 3 * nv], dtype=np.float64).reshape(nv, 3)
    pos += 3 * nv
    faces = np.array(words[pos : pos + 4 * nf], dtype=np.int64).reshape(nf, 4)
    assert (faces[:, 0] == 3).all(), "triangles only"
    return vertices, faces[:, 1:]


def icosphere(subdivisions=1, radius=1.0):
    """Closed, outward-oriented (counter-clockwise seen from outside) sphere mesh."""
    t = (1.0 + 5.0**0.5) / 2.0
    v = [(-1, t, 0), (1, t, 0), (-1, -t, 0), (1, -t, 0), (0, -1, t), (0, 1, t),
         (0, -1, -t), (0, 1, -t), (t, 0, -1), (t, 0, 1), (-t, 0, -1), (-t, 0, 1)]
    f = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4),
         (11, 10, 2), (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8),
         (3, 8, 9), (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)]
    verts = [np.array(p, dtype=np.float64) / np.linalg.norm(p) for p in v]
    faces = list(f)
    for _ in range(subdivisions):
        cache = {}

        def mid(a, b):
            key = (min(a, b), max(a, b))
            if key not in cache:
                m = verts[a] + verts[b]
                verts.append(m / np.linalg.norm(m))
                cache[key] = len(verts) - 1
            return cache[key]

        nxt = []
        for a, b, c in faces:
            ab, bc, ca = mid(a, b), mid(b, c), mid(c, a)
            nxt += [(a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca)]
        faces = nxt
    return np.array(verts) * radius, np.array(faces, dtype=np.int64)


def solid_angle_winding(soup, queries):
    """Double-precision winding number of a triangle soup (N, 3, 3) at queries (Q, 3)."""
    soup = np.asarray(soup, dtype=np.float64)
    q = np.asarray(queries, dtype=np.float64)
    out = np.zeros(len(q))
    for start in range(0, len(soup), 2048):
        tri = soup[start : start + 2048]
        a = tri[None, :, 0, :] - q[:, None, :]
        b = tri[None, :, 1, :] - q[:, None, :]
        c = tri[None, :, 2, :] - q[:, None, :]
        la, lb, lc = (np.linalg.norm(x, axis=-1) for x in (a, b, c))
        det = np.einsum("qtk,qtk->qt", a, np.cross(b, c))
        d = (la * lb * lc + np.einsum("qtk,qtk->qt", a, b) * lc
             + np.einsum("qtk,qtk->qt", a, c) * lb + np.einsum("qtk,qtk->qt", b, c) * la)
        out += (np.arctan2(det, d) / (2.0 * np.pi)).sum(axis=1)
    return out
