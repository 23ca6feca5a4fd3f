"""Files in and out.

In: triangle meshes (OBJ, PLY, STL, GLB read by trimesh; OFF read here, since trimesh's reader
fails on files mixing polygons of more than four corners; polygons triangulated) and point
clouds (PLY without faces, XYZ, NPY, and gyrant's own NPZ), with or without normals. Every
problem with a file is an `InputError` whose message is one line naming the file.

Out: NPZ, PLY and Zarr, each written beside its destination under a temporary name and moved
into place only once complete, so a failure never leaves a partial file behind.
"""
import contextlib
import os
import pathlib
import shutil
import tempfile

import numpy as np

from gyrant.surface import InputError, Surface, _areas, _float_rows, _one_line

MESH_SUFFIXES = (".obj", ".ply", ".stl", ".off", ".glb")
POINT_SUFFIXES = (".ply", ".xyz", ".npy", ".npz")


class PointCloud:
    """Points read from a file: `points` (N, 3) float32, `normals` (N, 3) float32 or None, `areas`
    (N,) float64 or None (then normals are area-scaled, or unit and to be estimated), `epsilon`
    (a smoothing radius stored with the cloud) or None."""

    def __init__(self, points, normals=None, areas=None, epsilon=None, name=None):
        self.points, self.normals, self.areas, self.epsilon, self.name = points, normals, areas, epsilon, name

    def surface(self, normals_kind="auto"):
        """The oriented cloud as a Surface: stored areas scale the normals; otherwise the normals
        are read by `normals_kind` (see `Surface.from_points`)."""
        if self.normals is None:
            raise InputError(f"{self.name}: the points have no normals (gyrant orient finds them)")
        return Surface.from_points(self.points, self.normals, areas=self.areas, epsilon=self.epsilon,
                                   name=self.name, normals_kind=normals_kind)


def _existing(path):
    path = pathlib.Path(path)
    if not path.exists():
        raise InputError(f"{path}: no such file")
    if path.is_dir():
        raise InputError(f"{path}: is a folder, not a file")
    return path


def _load_trimesh(path, suffix):
    """trimesh's reading of a file: a Trimesh (scenes merged, transforms applied) or a PointCloud."""
    import trimesh

    try:
        loaded = trimesh.load(str(path), file_type=suffix[1:], process=False)
        if isinstance(loaded, trimesh.Scene):
            meshes = [g for g in loaded.dump() if isinstance(g, trimesh.Trimesh)]
            loaded = trimesh.util.concatenate(meshes) if meshes else trimesh.Trimesh()
    except Exception as error:  # trimesh raises many kinds on malformed files
        raise InputError(f"{path}: not a readable {suffix[1:].upper()} file ({_one_line(error)})") from None
    return loaded


def _ply_vertex_fields(loaded, names):
    """Per-vertex PLY properties trimesh keeps unparsed (normals, areas), or None if absent."""
    raw = (getattr(loaded, "metadata", None) or {}).get("_ply_raw", {}).get("vertex", {}).get("data")
    if raw is None:
        return None
    have = raw.dtype.names if isinstance(raw, np.ndarray) else tuple(raw)
    if not have or not all(n in have for n in names):
        return None
    return np.column_stack([np.asarray(raw[n], dtype=np.float64).reshape(-1) for n in names])


def _read_off(path):
    """Vertices and fan-triangulated faces of an OFF file (OFF, COFF, NOFF, STOFF...: the first
    three values of a vertex line are its position; values after a face's indices are ignored)."""
    try:
        text = path.read_text()
    except UnicodeDecodeError:
        raise InputError(f"{path}: not a text OFF file") from None
    lines = [line.split("#", 1)[0].split() for line in text.splitlines()]
    lines = [words for words in lines if words]
    if not lines or not lines[0][0].endswith("OFF") or lines[0][0][:-3] not in ("", "C", "N", "CN", "NC", "ST", "STC", "STN", "STCN"):
        raise InputError(f"{path}: not an OFF file (it must begin with OFF)")
    counts = lines[0][1:] or (lines[1] if len(lines) > 1 else [])
    body = lines[1:] if lines[0][1:] else lines[2:]
    try:
        nv, nf = int(counts[0]), int(counts[1])
        if nv < 0 or nf < 0 or len(body) < nv + nf:
            raise ValueError
        vertices = np.array([words[:3] for words in body[:nv]], dtype=np.float64).reshape(nv, 3)
        rows = body[nv : nv + nf]
        if rows and all(len(words) == len(rows[0]) for words in rows):
            # Polygons of one size without trailing values (the usual case): one array.
            table = np.array(rows, dtype=np.int64)
            if (table[:, 0] == table.shape[1] - 1).all():
                rows = [table[:, 1:]]
        faces = []
        for words in rows:
            corners = np.asarray(words, dtype=np.int64)
            if corners.ndim == 1:  # one polygon: its corner count, then its corners
                k = int(corners[0])
                corners = corners[None, 1 : 1 + k]
                if k != corners.shape[1]:
                    raise ValueError
            if corners.shape[1] < 3:
                raise ValueError
            k = corners.shape[1]
            fan = np.stack([np.repeat(corners[:, :1], k - 2, axis=1), corners[:, 1:-1], corners[:, 2:]], axis=2)
            faces.append(fan.reshape(-1, 3))
    except (IndexError, ValueError):
        raise InputError(f"{path}: truncated or malformed OFF file") from None
    return vertices, (np.concatenate(faces) if faces else np.zeros((0, 3), np.int64))


def _read_xyz(path):
    """x y z or x y z nx ny nz per line; '#' starts a comment."""
    rows = []
    try:
        text = path.read_text()
    except UnicodeDecodeError:
        raise InputError(f"{path}: not a text XYZ file") from None
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            rows.append(line.replace(",", " "))
    if not rows:
        raise InputError(f"{path}: no points")
    columns = len(rows[0].split())
    if columns not in (3, 6):
        raise InputError(f"{path}: expected 3 (x y z) or 6 (x y z nx ny nz) columns, found {columns}")
    lengths = np.array([len(row.split()) for row in rows])
    if (lengths != columns).any():
        line = int(np.flatnonzero(lengths != columns)[0])
        raise InputError(f"{path}: point {line + 1} has {lengths[line]} values where the first has {columns}")
    try:
        values = np.array(" ".join(rows).split(), dtype=np.float64)
    except ValueError:
        raise InputError(f"{path}: a value is not a number") from None
    return values.reshape(-1, columns)


def _read(path):
    """("mesh", vertices, faces) or ("points", PointCloud) from any supported file."""
    path = _existing(path)
    suffix = path.suffix.lower()
    if suffix not in MESH_SUFFIXES + POINT_SUFFIXES:
        raise InputError(f"{path}: unsupported format '{path.suffix}' (meshes: "
                         f"{', '.join(s[1:].upper() for s in MESH_SUFFIXES)}; points: PLY, XYZ, NPY, NPZ)")
    if suffix == ".off":
        return ("mesh", *_read_off(path))
    if suffix == ".xyz":
        table = _read_xyz(path)
        return "points", _cloud(path, table[:, :3], table[:, 3:] if table.shape[1] == 6 else None)
    if suffix in (".npy", ".npz"):
        try:
            loaded = np.load(path, allow_pickle=False)
        except Exception as error:
            raise InputError(f"{path}: not a readable {suffix[1:].upper()} file ({_one_line(error)})") from None
        if suffix == ".npy":
            table = np.asarray(loaded)
            if table.ndim != 2 or table.shape[1] not in (3, 6) or table.dtype.kind not in "fiu":
                raise InputError(f"{path}: expected numbers of shape (N, 3) or (N, 6), got {table.dtype} {table.shape}")
            return "points", _cloud(path, table[:, :3], table[:, 3:] if table.shape[1] == 6 else None)
        with loaded:
            keys = set(loaded.files)

            def get(key):
                if key not in keys:
                    return None
                try:
                    return loaded[key]
                except Exception as error:  # object arrays (pickles), damaged members
                    raise InputError(f"{path}: '{key}' is not a plain array ({_one_line(error)})") from None

            if {"vertices", "faces"} <= keys:
                return "mesh", get("vertices"), get("faces")
            if "points" not in keys:
                raise InputError(f"{path}: an NPZ file needs 'points' (and 'normals', 'areas') or "
                                 f"'vertices' and 'faces'; it has {', '.join(sorted(keys)) or 'nothing'}")
            eps = get("epsilon")
            if eps is not None and (eps.size != 1 or eps.dtype.kind not in "fiu"):
                raise InputError(f"{path}: 'epsilon' must be one number, got {eps.dtype} {eps.shape}")
            return "points", _cloud(path, get("points"), get("normals"), get("areas"),
                                    None if eps is None else float(eps.reshape(-1)[0]))
    loaded = _load_trimesh(path, suffix)
    faces = getattr(loaded, "faces", None)
    if faces is not None and len(faces):
        return "mesh", np.asarray(loaded.vertices), np.asarray(faces)
    if suffix != ".ply":
        raise InputError(f"{path}: no triangles")
    points = np.asarray(getattr(loaded, "vertices", np.zeros((0, 3))))
    areas = _ply_vertex_fields(loaded, ("area",))
    return "points", _cloud(path, points, _ply_vertex_fields(loaded, ("nx", "ny", "nz")),
                            None if areas is None else areas[:, 0], _ply_epsilon(path))


def _ply_epsilon(path):
    """The smoothing radius gyrant writes into a PLY header's comments, or None."""
    with open(path, "rb") as f:
        for _ in range(64):
            line = f.readline()
            if not line or line.startswith(b"end_header"):
                break
            words = line.split()
            if words[:3] == [b"comment", b"gyrant", b"epsilon"] and len(words) == 4:
                try:
                    return float(words[3])
                except ValueError:
                    return None
    return None


def _cloud(path, points, normals=None, areas=None, epsilon=None):
    """A PointCloud with its arrays checked; points kept in float64 until a Surface is made."""
    p = _float_rows(points, f"{path}: points", dtype=np.float64)
    if len(p) == 0:
        raise InputError(f"{path}: no points")
    n = None if normals is None else _float_rows(normals, f"{path}: normals")
    a = None if areas is None else _areas(areas, len(p), str(path))
    if epsilon is not None and not (np.isfinite(epsilon) and epsilon > 0):
        raise InputError(f"{path}: epsilon must be positive")
    return PointCloud(p, n, a, epsilon, name=str(path))


def read_surface(path, normals_kind="auto"):
    """The Surface in a mesh file, or in a point-cloud file with normals (read by
    `normals_kind`: see `Surface.from_points`)."""
    read = _read(path)
    if read[0] == "mesh":
        return Surface.from_mesh(read[1], read[2], name=str(path))
    return read[1].surface(normals_kind)


def read_points(path):
    """The points of any supported file as a PointCloud: a cloud's own points (and normals if it
    has them), or a mesh's vertices (without normals)."""
    read = _read(path)
    if read[0] == "mesh":
        return _cloud(path, read[1])
    return read[1]


# ------------------------------------------------------------------------------------------------
# Output


def same_file(a, b):
    """Whether paths a and b name one file (links and relative spellings included)."""
    a, b = pathlib.Path(a), pathlib.Path(b)
    try:
        if a.exists() and b.exists():
            return os.path.samefile(a, b)
    except OSError:
        pass
    return a.resolve() == b.resolve()


def check_output(path, suffixes, inputs=(), overwrite=False):
    """The output path, refused (InputError) before any work when its format is not one of
    `suffixes`, its folder is missing, it is one of `inputs`, or it exists and `overwrite` is
    false. An existing folder is replaced only when it is a Zarr store or empty."""
    path = pathlib.Path(path)
    if path.suffix.lower() not in suffixes:
        raise InputError(f"{path}: the output must end in {', '.join(suffixes)}")
    parent = path.parent if str(path.parent) else pathlib.Path(".")
    if not parent.is_dir():
        raise InputError(f"{path}: the folder {parent} does not exist")
    for source in inputs:
        if same_file(path, source):
            raise InputError(f"{path}: is the input; choose another output")
    if path.is_dir() and not (is_zarr_path(path) and (_is_zarr_store(path) or not any(path.iterdir()))):
        raise InputError(f"{path}: is a folder that is not a Zarr store; not replacing it")
    if path.exists() and not path.is_dir() and is_zarr_path(path):
        raise InputError(f"{path}: is a file; a Zarr store is a folder")
    if (path.exists() or path.is_symlink()) and not overwrite:
        raise InputError(f"{path}: exists; --overwrite (overwrite=True) replaces it")
    return path


def is_zarr_path(path):
    """A path ending in .zarr names a Zarr store (a folder), never a folder of outputs."""
    return pathlib.Path(path).suffix.lower() == ".zarr"


def _is_zarr_store(path):
    return any((path / marker).exists() for marker in ("zarr.json", ".zgroup", ".zarray"))


@contextlib.contextmanager
def staged(path, folder=False):
    """A temporary path beside `path` (a file, or a folder if `folder`) to write into; moved onto
    `path` when the block ends normally, removed when it raises."""
    path = pathlib.Path(path)
    parent = path.parent if str(path.parent) else pathlib.Path(".")
    prefix = f".{path.name}.partial-"
    if folder:
        temp = pathlib.Path(tempfile.mkdtemp(prefix=prefix, dir=parent))
    else:
        fd, name = tempfile.mkstemp(prefix=prefix, suffix=path.suffix, dir=parent)
        os.close(fd)
        temp = pathlib.Path(name)
    try:
        yield temp
    except BaseException:
        shutil.rmtree(temp, ignore_errors=True) if folder else temp.unlink(missing_ok=True)
        raise
    # mkstemp and mkdtemp make private files; the result gets the usual permissions.
    os.chmod(temp, (0o777 if folder else 0o666) & ~_UMASK)
    if folder and path.is_dir():
        # A folder cannot be replaced in one step: the old store goes aside first.
        old = pathlib.Path(tempfile.mkdtemp(prefix=f".{path.name}.old-", dir=parent))
        os.replace(path, old / "store")
        os.replace(temp, path)
        shutil.rmtree(old, ignore_errors=True)
    else:
        os.replace(temp, path)


def _read_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


# Read once, at import: setting and restoring it later could race with other threads' files.
_UMASK = _read_umask()


def write_npz(path, arrays):
    """arrays (a dict of arrays and scalars) as an uncompressed NPZ file."""
    with staged(path) as temp:
        with open(temp, "wb") as f:
            np.savez(f, **arrays)


def open_zarr_group(path, attrs=None):
    """A new Zarr group at `path` (a temporary folder from `staged`), with attributes."""
    try:
        import zarr
    except ImportError:
        raise InputError("writing Zarr needs the zarr package: python3 -m pip install zarr") from None
    group = zarr.open_group(str(path), mode="w")
    if attrs:
        group.attrs.update(attrs)
    return group


def zarr_array(group, name, shape, dtype, chunks):
    """An array in `group` with chunks clipped to its shape (zarr 3 or 2)."""
    chunks = tuple(max(1, min(int(c), int(s))) for c, s in zip(chunks, shape))
    create = getattr(group, "create_array", None)
    if create is not None:
        return create(name, shape=shape, dtype=dtype, chunks=chunks)
    return group.create_dataset(name, shape=shape, dtype=dtype, chunks=chunks)


def write_zarr(path, arrays, attrs=None, rows_per_chunk=1 << 20):
    """Whole arrays into a new Zarr group, chunked by rows."""
    with staged(path, folder=True) as temp:
        group = open_zarr_group(temp, attrs)
        for name, a in arrays.items():
            a = np.asarray(a)
            z = zarr_array(group, name, a.shape, a.dtype, (rows_per_chunk,) + a.shape[1:])
            z[...] = a


_PLY_TYPES = {"f4": "float", "f8": "double", "u1": "uchar", "i4": "int", "u4": "uint"}


def write_ply_points(path, points, fields=(), epsilon=None):
    """Binary little-endian PLY of vertices only: x y z, then `fields` as (name, (N,) array)
    properties in the arrays' own types (float32, uint8, ...); `epsilon`, a cloud's smoothing
    radius, goes into a header comment that `read_points` reads back."""
    points = np.asarray(points)
    # Doubles where float32 would move a point (coordinates far from the origin).
    exact = points.dtype == np.float32 or np.array_equal(points.astype(np.float32), points)
    coordinate = "<f4" if exact else "<f8"
    columns = [("x", coordinate), ("y", coordinate), ("z", coordinate)]
    columns += [(name, np.asarray(a).dtype.newbyteorder("<").str) for name, a in fields]
    rows = np.empty(len(points), dtype=columns)
    for k, axis in enumerate("xyz"):
        rows[axis] = points[:, k]
    for name, a in fields:
        rows[name] = a
    header = ["ply", "format binary_little_endian 1.0", "comment written by gyrant"]
    if epsilon is not None:
        header.append(f"comment gyrant epsilon {float(epsilon)!r}")
    header.append(f"element vertex {len(points)}")
    header += [f"property {_PLY_TYPES[t[1:]]} {name}" for name, t in columns]
    header.append("end_header")
    with staged(path) as temp:
        with open(temp, "wb") as f:
            f.write(("\n".join(header) + "\n").encode("ascii"))
            f.write(rows.tobytes())


def write_mesh(path, vertices, faces):
    """A triangle mesh: binary PLY and NPZ written here, OBJ, STL, OFF and GLB by trimesh."""
    path = pathlib.Path(path)
    suffix = path.suffix.lower()
    vertices = np.ascontiguousarray(vertices, dtype=np.float32)
    faces = np.ascontiguousarray(faces, dtype=np.int32)
    if suffix == ".npz":
        return write_npz(path, {"vertices": vertices, "faces": faces})
    if suffix == ".ply":
        header = ("ply\nformat binary_little_endian 1.0\ncomment written by gyrant\n"
                  f"element vertex {len(vertices)}\nproperty float x\nproperty float y\nproperty float z\n"
                  f"element face {len(faces)}\nproperty list uchar int vertex_indices\nend_header\n")
        face_rows = np.empty(len(faces), dtype=[("n", "u1"), ("i", "<i4", (3,))])
        face_rows["n"], face_rows["i"] = 3, faces
        with staged(path) as temp:
            with open(temp, "wb") as f:
                f.write(header.encode("ascii"))
                f.write(vertices.astype("<f4").tobytes())
                f.write(face_rows.tobytes())
        return None
    import trimesh

    mesh = trimesh.Trimesh(vertices, faces, process=False)
    with staged(path) as temp:
        mesh.export(str(temp), file_type=suffix[1:])
    return None
