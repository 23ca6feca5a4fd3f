"""Surfaces as NumPy arrays (a triangle mesh or an oriented point cloud), checked once, with the
engine built on first use and kept."""
import hashlib
import threading

import numpy as np

from gyrant import _device


def build_engine(*arrays):
    """The engine over device arrays (a soup; vertices and faces; points and scaled normals),
    built without the module factories' report line: the package's standard output carries only
    what a command reports."""
    from gyrant_module import GyrantEngine

    return GyrantEngine._quiet(*arrays)


class InputError(ValueError):
    """Bad input: a file, an array or an argument. The message is one line."""


def _float_rows(array, name, columns=3, dtype=np.float32):
    """array as `dtype` (N, columns), C-contiguous; InputError when it is not numeric, not of that
    shape or not finite. Takes anything NumPy takes, CPU tensors included."""
    try:
        if hasattr(array, "detach") and hasattr(array, "cpu"):  # a torch tensor
            array = array.detach().cpu().numpy()
        a = np.asarray(array)
    except Exception as error:  # a ragged list, an object that is no array
        raise InputError(f"{name}: not an array ({_one_line(error)})") from None
    if a.dtype.kind not in "fiu" or a.ndim != 2 or a.shape[1] != columns:
        raise InputError(f"{name}: expected a numeric array of shape (N, {columns}), got "
                         f"{a.dtype} {a.shape}")
    a = np.ascontiguousarray(a, dtype=dtype)
    if not np.isfinite(a).all():
        row = int(np.flatnonzero(~np.isfinite(a).all(axis=1))[0])
        raise InputError(f"{name}: non-finite coordinates (row {row})")
    return a


def _one_line(error):
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__


def _index_rows(array, name):
    """Triangle indices as int64 (N, 3); float indices are taken when every value is a whole
    number (faces read with np.loadtxt), refused otherwise."""
    try:
        if hasattr(array, "detach") and hasattr(array, "cpu"):
            array = array.detach().cpu().numpy()
        f = np.asarray(array)
    except Exception as error:
        raise InputError(f"{name}: not an array ({_one_line(error)})") from None
    if f.dtype.kind not in "fiu" or f.ndim != 2 or f.shape[1] != 3:
        raise InputError(f"{name}: faces must be integers of shape (N, 3), got {f.dtype} {f.shape}")
    if f.dtype.kind == "f":
        if not (np.isfinite(f).all() and (f == np.round(f)).all()):
            raise InputError(f"{name}: faces hold values that are not vertex indices (a pair is "
                             "(vertices, faces); for an oriented point cloud use "
                             "Surface.from_points(points, normals) or points=/normals=)")
    return f.astype(np.int64, copy=False)


def _areas(areas, count, label):
    """Per-point areas as float64 (count,): finite, none negative."""
    try:
        a = np.asarray(areas, dtype=np.float64).reshape(-1)
    except (TypeError, ValueError):
        raise InputError(f"{label}: areas must be {count} numbers") from None
    if len(a) != count or not np.isfinite(a).all() or (a < 0).any():
        raise InputError(f"{label}: areas must be {count} finite values, none negative")
    return a


NORMALS_KINDS = ("auto", "unit", "scaled")


def normals_are_unit(normals, kind="auto"):
    """Whether normals are unit (their areas to be estimated) rather than area-scaled.

    "auto" decides by the median length of the non-zero normals: within 1% of 1 means unit.
    Zero normals (a point a scanner could not orient) count for neither, and a few normals of
    other lengths do not change the verdict; area-scaled normals whose median area happens to
    be 1 are read as unit with estimated areas, which then come out near 1 as well."""
    if kind not in NORMALS_KINDS:
        raise InputError(f"normals_kind must be one of {', '.join(NORMALS_KINDS)}, got {kind!r}")
    if kind != "auto":
        return kind == "unit"
    length = np.linalg.norm(np.asarray(normals, dtype=np.float64), axis=1)
    length = length[length > 0]
    return len(length) > 0 and abs(float(np.median(length)) - 1.0) < 1e-2


def _frame(positions):
    """float64 (3,) offset subtracted from every coordinate before the float32 cast: the box's
    centre when it is farther from the origin than the box is long (there float32 would lose
    digits the surface's detail needs), else zero, so that moderate coordinates stay as given."""
    if len(positions) == 0:
        return np.zeros(3)
    lo, hi = positions.min(axis=0), positions.max(axis=0)
    centre = (lo + hi) / 2
    if np.abs(centre).max() <= max(float((hi - lo).max()), np.finfo(np.float32).tiny):
        return np.zeros(3)
    return centre


def _frozen(a):
    """A read-only copy (never the caller's array made read-only), or `a` if already read-only."""
    if not a.flags.writeable and a.flags.c_contiguous:
        return a
    a = np.array(a, order="C", copy=True)
    a.setflags(write=False)
    return a


class Surface:
    """A triangle mesh (`kind == "mesh"`: `vertices`, `faces`) or an oriented point cloud
    (`kind == "points"`: `points` and their area-scaled `normals`). Build one with
    `Surface.from_mesh`, `Surface.from_soup`, `Surface.from_points` or `gyrant.as_surface`; its
    engine is built the first time `engine()` is called and reused.

    The arrays are read-only (the engine is built from them once). Coordinates far from the
    origin compared with the surface's size are kept relative to `offset` (float64), in float32;
    `vertices`/`points` give them back in the caller's frame, and queries are moved into the
    same frame in float64 before their cast, so that a shifted surface keeps its accuracy.

    `epsilon` is the smoothing radius a point cloud's winding number is read with (None: the
    engine's default). Pickling keeps the arrays and drops the engine, so a surface travels to
    other processes and builds its engine there.
    """

    def __init__(self, kind, a, b, epsilon=None, name=None, offset=None):
        # The public constructor checks as the factories do: its arrays build the engine as is.
        label = name or kind
        if kind == "mesh":
            v = _float_rows(a, f"{label}: vertices", dtype=np.float64 if offset is None else np.float32)
            f = _index_rows(b, f"{label}: faces")
            if len(f) and (f.min() < 0 or f.max() >= len(v)):
                raise InputError(f"{label}: a face index is out of range (vertices: {len(v)})")
            b = f.astype(np.uint32)
        elif kind == "points":
            v = _float_rows(a, f"{label}: points", dtype=np.float64 if offset is None else np.float32)
            b = _float_rows(b, f"{label}: normals")
            if len(b) != len(v):
                raise InputError(f"{label}: {len(v)} points but {len(b)} normals")
        else:
            raise InputError(f"surface kind must be 'mesh' or 'points', got {kind!r}")
        if offset is None:
            offset = _frame(v if kind == "points" or len(b) == 0 else v[np.unique(b)])
            v = v - offset if offset.any() else v
        if epsilon is not None and not (np.isfinite(float(epsilon)) and float(epsilon) > 0):
            raise InputError(f"{label}: epsilon must be a positive number, got {epsilon}")
        self.kind = kind
        self._a, self._b = _frozen(v.astype(np.float32, copy=False)), _frozen(b)
        self.offset = _frozen(np.asarray(offset, dtype=np.float64).reshape(3))
        self.epsilon = None if epsilon is None else float(epsilon)
        self.name = name
        self._engine = None
        self._token = None
        # Threads sharing this surface (a Dask worker's) build one engine and call it in turn.
        self.lock = threading.RLock()

    # -- construction ----------------------------------------------------------------------------

    @classmethod
    def from_mesh(cls, vertices, faces, name=None):
        """A triangle mesh: vertices (M, 3), faces (N, 3) of vertex indices (integers, or floats
        holding whole numbers), counter-clockwise seen from outside."""
        label = name or "mesh"
        f = _index_rows(faces, f"{label}: faces")
        if len(f) == 0:
            raise InputError(f"{label}: no triangles")
        return cls("mesh", vertices, f, name=name)

    @classmethod
    def from_soup(cls, triangles, name=None):
        """A triangle soup (N, 3, 3): three vertices per triangle."""
        t = np.asarray(triangles)
        if t.ndim != 3 or t.shape[1:] != (3, 3):
            raise InputError(f"{name or 'triangles'}: expected shape (N, 3, 3), got {t.shape}")
        faces = np.arange(3 * len(t), dtype=np.uint32).reshape(-1, 3)
        return cls.from_mesh(t.reshape(-1, 3), faces, name=name)

    @classmethod
    def from_points(cls, points, normals, areas=None, epsilon=None, name=None, normals_kind="auto"):
        """An oriented point cloud. `normals_kind` says what the normals' lengths are: "scaled"
        (the area each point stands for), "unit" (areas then come from `areas`, or are estimated
        from the local density of the cloud), or "auto" (see `normals_are_unit`). `areas` given
        scales the normals whatever their lengths; `areas="estimate"` estimates them. `epsilon`
        defaults to half the root of the mean area, about the mean distance between neighbours."""
        label = name or "points"
        p = _float_rows(points, f"{label}: points", dtype=np.float64)
        n = _float_rows(normals, f"{label}: normals", dtype=np.float64)
        if len(p) == 0:
            raise InputError(f"{label}: no points")
        if len(n) != len(p):
            raise InputError(f"{label}: {len(p)} points but {len(n)} normals")
        if areas is None and normals_are_unit(n, normals_kind):
            areas = "estimate"
        if areas is not None:
            if isinstance(areas, str):
                if areas != "estimate":
                    raise InputError(f"{label}: areas must be an array or 'estimate'")
                areas = estimate_areas(p)
            a = _areas(areas, len(p), label)
            length = np.linalg.norm(n, axis=1)
            n = n * (a / np.maximum(length, 1e-300))[:, None]
        if epsilon is None:
            mean_area = float(np.linalg.norm(n, axis=1).mean())
            epsilon = 0.5 * np.sqrt(mean_area) if mean_area > 0 else None
        return cls("points", p, n.astype(np.float32), epsilon=epsilon, name=name)

    # -- arrays ------------------------------------------------------------------------------------

    def _caller(self, a):
        """Local float32 coordinates in the caller's frame: as stored when there is no offset,
        else float64 with the offset added back."""
        if not self.offset.any():
            return a
        out = a.astype(np.float64) + self.offset
        out.setflags(write=False)
        return out

    def local(self, queries):
        """float32 (N, 3) queries in the engine's frame: the offset is taken off in float64."""
        if not self.offset.any():
            return np.ascontiguousarray(queries, dtype=np.float32)
        return np.ascontiguousarray(np.asarray(queries, dtype=np.float64) - self.offset, dtype=np.float32)

    vertices = property(lambda self: self._caller(self._a) if self.kind == "mesh" else None)
    faces = property(lambda self: self._b if self.kind == "mesh" else None)
    points = property(lambda self: self._caller(self._a) if self.kind == "points" else None)

    @property
    def normals(self):
        """Area-scaled normals of a point cloud."""
        return self._b if self.kind == "points" else None

    @property
    def positions(self):
        """The mesh's vertices or the cloud's points."""
        return self._caller(self._a)

    def __len__(self):
        """Primitives: triangles or points."""
        return len(self._b)

    @property
    def bounds(self):
        """(2, 3) float64: the lower and upper corner of the primitives' box."""
        if getattr(self, "_bounds", None) is None:
            used = self._a if self.kind == "points" else self._a[np.unique(self._b)]
            self._bounds = np.stack([used.min(axis=0), used.max(axis=0)]).astype(np.float64) + self.offset
        return self._bounds.copy()

    def triangles(self):
        """(N, 3, 3) corners of a mesh's triangles (float32, or float64 with an offset)."""
        return self.positions[self._b]

    def primitive_areas(self):
        """Area of every triangle, or the length of every scaled normal, float64."""
        if self.kind == "points":
            return np.linalg.norm(self._b.astype(np.float64), axis=1)
        t = self._a[self._b].astype(np.float64)
        return 0.5 * np.linalg.norm(np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0]), axis=1)

    def centroids(self):
        """One position per primitive (triangle centroids, or the points)."""
        return self.positions if self.kind == "points" else self.triangles().mean(axis=1)

    def subset(self, index):
        """The surface made of the primitives `index` (indices or a mask), vertices compacted."""
        if self.kind == "points":
            return Surface("points", self._a[index], self._b[index], epsilon=self.epsilon, name=self.name,
                           offset=self.offset)
        faces = self._b[index]
        used, inverse = np.unique(faces, return_inverse=True)
        return Surface("mesh", self._a[used], inverse.reshape(-1, 3), name=self.name, offset=self.offset)

    # -- engine ------------------------------------------------------------------------------------

    def engine(self):
        """The engine over this surface (built once, on the module's device)."""
        with self.lock:
            if self._engine is None:
                self._engine = build_engine(_device.to_device(self._a), _device.to_device(self._b))
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
            h.update(self.offset.tobytes())
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
        for array in (self._a, self._b, self.offset):
            array.setflags(write=False)  # unpickled arrays come back writeable
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
