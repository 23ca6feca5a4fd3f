"""Surfaces as NumPy arrays (a triangle mesh or an oriented point cloud), checked once, with the
engine built on first use and kept."""
import hashlib
import threading

import numpy as np

from gyrant import _device


class InputError(ValueError):
    """Bad input: a file, an array or an argument. The message is one line."""


def _float_rows(array, name, columns=3):
    """array as float32 (N, columns), C-contiguous; InputError when it is not numeric, not of that
    shape or not finite."""
    try:
        a = np.asarray(array)
    except Exception as error:  # a ragged list, an object that is no array
        raise InputError(f"{name}: not an array ({error})") from None
    if a.dtype.kind not in "fiu" or a.ndim != 2 or a.shape[1] != columns:
        raise InputError(f"{name}: expected a numeric array of shape (N, {columns}), got "
                         f"{a.dtype} {a.shape}")
    a = np.ascontiguousarray(a, dtype=np.float32)
    if not np.isfinite(a).all():
        row = int(np.flatnonzero(~np.isfinite(a).all(axis=1))[0])
        raise InputError(f"{name}: non-finite coordinates (row {row})")
    return a


class Surface:
    """A triangle mesh (`kind == "mesh"`: `vertices`, `faces`) or an oriented point cloud
    (`kind == "points"`: `points` and their area-scaled `normals`), as C-contiguous float32 and
    uint32 NumPy arrays. Build one with `Surface.from_mesh`, `Surface.from_soup`, `Surface.from_points`
    or `gyrant.as_surface`; its
    engine is built the first time `engine()` is called and reused.

    `epsilon` is the smoothing radius a point cloud's winding number is read with (None: the
    engine's default). Pickling keeps the arrays and drops the engine, so a surface travels to
    other processes and builds its engine there.
    """

    def __init__(self, kind, a, b, epsilon=None, name=None):
        self.kind = kind
        self._a, self._b = a, b
        self.epsilon = None if epsilon is None else float(epsilon)
        self.name = name
        self._engine = None
        self._token = None
        # Threads sharing this surface (a Dask worker's) build one engine and call it in turn.
        self.lock = threading.RLock()

    # -- construction ----------------------------------------------------------------------------

    @classmethod
    def from_mesh(cls, vertices, faces, name=None):
        """A triangle mesh: vertices (M, 3), faces (N, 3) of vertex indices, counter-clockwise
        seen from outside."""
        label = name or "mesh"
        v = _float_rows(vertices, f"{label}: vertices")
        f = np.asarray(faces)
        if f.dtype.kind not in "iu" or f.ndim != 2 or f.shape[1] != 3:
            raise InputError(f"{label}: faces must be integers of shape (N, 3), got {f.dtype} {f.shape}")
        if len(f) == 0:
            raise InputError(f"{label}: no triangles")
        if f.min() < 0 or f.max() >= len(v):
            raise InputError(f"{label}: a face index is out of range (vertices: {len(v)})")
        return cls("mesh", v, np.ascontiguousarray(f, dtype=np.uint32), name=name)

    @classmethod
    def from_soup(cls, triangles, name=None):
        """A triangle soup (N, 3, 3): three vertices per triangle."""
        t = np.asarray(triangles)
        if t.ndim != 3 or t.shape[1:] != (3, 3):
            raise InputError(f"{name or 'triangles'}: expected shape (N, 3, 3), got {t.shape}")
        faces = np.arange(3 * len(t), dtype=np.uint32).reshape(-1, 3)
        return cls.from_mesh(t.reshape(-1, 3), faces, name=name)

    @classmethod
    def from_points(cls, points, normals, areas=None, epsilon=None, name=None):
        """An oriented point cloud. `normals` are area-scaled (their length is the area each point
        stands for) unless `areas` is given, which then scales them: unit normals with areas.
        `areas="estimate"` estimates each point's area from the local density of the cloud (for
        scans that come with unit normals). `epsilon` defaults to half the root of the mean area,
        about the mean distance between neighbours."""
        label = name or "points"
        p = _float_rows(points, f"{label}: points")
        n = _float_rows(normals, f"{label}: normals")
        if len(p) == 0:
            raise InputError(f"{label}: no points")
        if len(n) != len(p):
            raise InputError(f"{label}: {len(p)} points but {len(n)} normals")
        if areas is not None:
            if isinstance(areas, str):
                if areas != "estimate":
                    raise InputError(f"{label}: areas must be an array or 'estimate'")
                areas = estimate_areas(p)
            a = np.asarray(areas, dtype=np.float64).reshape(-1)
            if len(a) != len(p) or not np.isfinite(a).all() or (a < 0).any():
                raise InputError(f"{label}: areas must be {len(p)} finite values, none negative")
            length = np.linalg.norm(n.astype(np.float64), axis=1)
            n = (n * (a / np.maximum(length, 1e-300))[:, None]).astype(np.float32)
        if epsilon is None:
            mean_area = float(np.linalg.norm(n.astype(np.float64), axis=1).mean())
            epsilon = 0.5 * np.sqrt(mean_area) if mean_area > 0 else None
        return cls("points", p, np.ascontiguousarray(n), epsilon=epsilon, name=name)

    # -- arrays ------------------------------------------------------------------------------------

    vertices = property(lambda self: self._a if self.kind == "mesh" else None)
    faces = property(lambda self: self._b if self.kind == "mesh" else None)
    points = property(lambda self: self._a if self.kind == "points" else None)

    @property
    def normals(self):
        """Area-scaled normals of a point cloud."""
        return self._b if self.kind == "points" else None

    @property
    def positions(self):
        """The mesh's vertices or the cloud's points."""
        return self._a

    def __len__(self):
        """Primitives: triangles or points."""
        return len(self._b)

    @property
    def bounds(self):
        """(2, 3) float64: the lower and upper corner of the primitives' box."""
        if getattr(self, "_bounds", None) is None:
            used = self._a if self.kind == "points" else self._a[np.unique(self._b)]
            self._bounds = np.stack([used.min(axis=0), used.max(axis=0)]).astype(np.float64)
        return self._bounds.copy()

    def triangles(self):
        """(N, 3, 3) float32 corners of a mesh's triangles."""
        return self._a[self._b]

    def primitive_areas(self):
        """Area of every triangle, or the length of every scaled normal, float64."""
        if self.kind == "points":
            return np.linalg.norm(self._b.astype(np.float64), axis=1)
        t = self.triangles().astype(np.float64)
        return 0.5 * np.linalg.norm(np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0]), axis=1)

    def centroids(self):
        """One position per primitive (triangle centroids, or the points), float32."""
        return self._a if self.kind == "points" else self.triangles().mean(axis=1)

    def subset(self, index):
        """The surface made of the primitives `index` (indices or a mask), vertices compacted."""
        if self.kind == "points":
            return Surface("points", np.ascontiguousarray(self._a[index]),
                           np.ascontiguousarray(self._b[index]), epsilon=self.epsilon, name=self.name)
        faces = self._b[index]
        used, inverse = np.unique(faces, return_inverse=True)
        return Surface("mesh", np.ascontiguousarray(self._a[used]),
                       inverse.reshape(-1, 3).astype(np.uint32), name=self.name)

    # -- engine ------------------------------------------------------------------------------------

    def engine(self):
        """The engine over this surface (built once, on the module's device)."""
        with self.lock:
            if self._engine is None:
                from gyrant_module import GyrantEngine

                a, b = _device.to_device(self._a), _device.to_device(self._b)
                self._engine = GyrantEngine(a, b)
            return self._engine

    @property
    def token(self):
        """A digest of the arrays and epsilon: equal surfaces have equal tokens."""
        if self._token is None:
            h = hashlib.blake2b(digest_size=16)
            h.update(self.kind.encode())
            for array in (self._a, self._b):
                h.update(str(array.shape).encode())
                h.update(memoryview(array).cast("B"))
            h.update(repr(self.epsilon).encode())
            self._token = h.hexdigest()
        return self._token

    def __dask_tokenize__(self):
        return self.token

    def __getstate__(self):
        state = dict(self.__dict__)
        state["_engine"] = None
        del state["lock"]
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self.lock = threading.RLock()

    def __repr__(self):
        what = f"{len(self)} triangles" if self.kind == "mesh" else f"{len(self)} points"
        return f"<gyrant.Surface {self.name or self.kind}: {what}>"


def estimate_areas(points, neighbours=8):
    """The area each point of a cloud stands for, from the local density: pi r^2 / k, with r the
    distance to its k-th nearest neighbour (for points spread evenly at random over a surface,
    the disc of that radius holds k of them on average). Needs SciPy."""
    from scipy.spatial import cKDTree

    p = np.asarray(points, dtype=np.float64)
    k = min(neighbours, len(p) - 1)
    if k < 1:
        return np.ones(len(p))
    distance, _ = cKDTree(p).query(p, k + 1, workers=-1)
    return np.pi * distance[:, -1] ** 2 / k
