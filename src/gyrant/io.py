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


# Rows read or written at a time by the streaming paths (about 24 MB of float64 coordinates).
STREAM_ROWS = 1 << 20

_PLY_NUMPY = {"char": "i1", "int8": "i1", "uchar": "u1", "uint8": "u1", "short": "i2", "int16": "i2",
              "ushort": "u2", "uint16": "u2", "int": "i4", "int32": "i4", "uint": "u4", "uint32": "u4",
              "float": "f4", "float32": "f4", "double": "f8", "float64": "f8"}


def _binary_ply_vertices(path):
    """A read-only memory map of a binary PLY's vertex rows (a structured array) when the file
    holds vertices only, in a binary format; None for any other PLY (ASCII, faces, lists)."""
    with open(path, "rb") as f:
        if f.readline().strip() != b"ply":
            return None
        fmt, count, fields, elements = None, None, [], []
        for _ in range(10_000):
            line = f.readline()
            if not line:
                return None
            words = line.decode("ascii", "replace").split()
            if not words or words[0] in ("comment", "obj_info"):
                continue
            if words[0] == "end_header":
                break
            if words[0] == "format" and len(words) >= 2:
                fmt = words[1]
            elif words[0] == "element" and len(words) == 3:
                elements.append(words[1])
                if words[1] == "vertex":
                    count = int(words[2]) if words[2].isdigit() else None
            elif words[0] == "property" and elements and elements[-1] == "vertex":
                if len(words) != 3 or words[1] not in _PLY_NUMPY:
                    return None  # lists in vertex rows: not a fixed-size record
                fields.append((words[2], _PLY_NUMPY[words[1]]))
        else:
            return None
        offset = f.tell()
    order = {"binary_little_endian": "<", "binary_big_endian": ">"}.get(fmt)
    if order is None or elements != ["vertex"] or count is None or not {"x", "y", "z"} <= {n for n, _ in fields}:
        return None
    dtype = np.dtype([(name, order + t) for name, t in fields])
    if os.path.getsize(path) < offset + count * dtype.itemsize:
        raise InputError(f"{path}: truncated PLY file ({count} vertices announced)")
    if count == 0:
        return np.zeros(0, dtype)
    return np.memmap(path, dtype=dtype, mode="r", offset=offset, shape=(count,))


def _streamed_rows(path):
    """(n, rows(start, stop) -> float64 (k, 3)) for files whose points can be read a slice at a
    time without reading the rest: NPY of shape (N, 3) or (N, 6), and binary PLY without faces.
    None for other files."""
    suffix = path.suffix.lower()
    if suffix == ".npy":
        try:
            table = np.load(path, mmap_mode="r", allow_pickle=False)
        except Exception as error:
            raise InputError(f"{path}: not a readable NPY file ({_one_line(error)})") from None
        if table.ndim != 2 or table.shape[1] not in (3, 6) or table.dtype.kind not in "fiu":
            raise InputError(f"{path}: expected numbers of shape (N, 3) or (N, 6), got {table.dtype} {table.shape}")
        return len(table), lambda a, b: np.asarray(table[a:b, :3], dtype=np.float64)
    if suffix == ".ply":
        try:
            rows = _binary_ply_vertices(path)
        except (OSError, ValueError) as error:
            raise InputError(f"{path}: not a readable PLY file ({_one_line(error)})") from None
        if rows is None:
            return None
        return len(rows), lambda a, b: np.stack([np.asarray(rows[k][a:b], np.float64) for k in "xyz"], axis=1)
    return None


def read_positions(path, rows_per_read=STREAM_ROWS):
    """(local float32 (N, 3), offset float64 (3,)) of a file's points, the way `Surface` keeps
    them (see surface._frame): NPY and binary PLY files are read a slice at a time, twice (the box,
    then the points), so that only the float32 result is held whole; other files (XYZ, NPZ, ASCII
    PLY, meshes) are read whole first."""
    from gyrant.surface import _frame

    path = _existing(path)
    streamed = _streamed_rows(path)
    if streamed is None:
        p = read_points(path).points
        offset = _frame(p)
        return np.ascontiguousarray(p - offset, dtype=np.float32), offset
    n, rows = streamed
    if n == 0:
        raise InputError(f"{path}: no points")
    lo, hi = np.full(3, np.inf), np.full(3, -np.inf)
    for a in range(0, n, rows_per_read):
        chunk = rows(a, min(n, a + rows_per_read))
        finite = np.isfinite(chunk).all(axis=1)
        if not finite.all():
            raise InputError(f"{path}: points: non-finite coordinates (row {a + int(np.flatnonzero(~finite)[0])})")
        lo, hi = np.minimum(lo, chunk.min(axis=0)), np.maximum(hi, chunk.max(axis=0))
    offset = _frame(np.stack([lo, hi]))
    local = np.empty((n, 3), np.float32)
    for a in range(0, n, rows_per_read):
        b = min(n, a + rows_per_read)
        local[a:b] = rows(a, b) - offset
    return local, offset


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


def write_rows(path, n, columns, chunks, attrs=None):
    """Rows written a chunk at a time: `columns` a list of (name, dtype, width) (width 0: one
    value per row), `chunks` an iterable of dicts name -> array of the chunk's rows, in order, n
    rows in all. The suffix picks the format: PLY (binary little-endian vertices, width-3 columns
    as name_x name_y name_z... except "points" (x y z) and "normals" (nx ny nz); `attrs`' epsilon
    in a header comment), NPZ (one array per column, written into the archive as they come) or
    Zarr (one array per column, `attrs` on the group). Staged: nothing is left at `path` unless
    every row was written."""
    suffix = pathlib.Path(path).suffix.lower()
    attrs = dict(attrs or {})
    shapes = {name: (n,) if width == 0 else (n, width) for name, _, width in columns}
    if suffix == ".ply":
        names = {"points": ("x", "y", "z"), "normals": ("nx", "ny", "nz")}
        record = []
        for name, dtype, width in columns:
            parts = names.get(name, tuple(f"{name}_{k}" for k in "xyz")) if width else (name,)
            record += [(part, np.dtype(dtype).newbyteorder("<").str) for part in parts]
        header = ["ply", "format binary_little_endian 1.0", "comment written by gyrant"]
        if attrs.get("epsilon") is not None:
            header.append(f"comment gyrant epsilon {float(attrs['epsilon'])!r}")
        header.append(f"element vertex {n}")
        header += [f"property {_PLY_TYPES[t[1:]]} {name}" for name, t in record]
        header.append("end_header")
        written = 0
        with staged(path) as temp:
            with open(temp, "wb") as f:
                f.write(("\n".join(header) + "\n").encode("ascii"))
                for chunk in chunks:
                    k = len(next(iter(chunk.values())))
                    rows = np.empty(k, dtype=record)
                    at = 0
                    for name, _, width in columns:
                        a = np.asarray(chunk[name])
                        for c in range(max(width, 1)):
                            rows[record[at][0]] = a[:, c] if width else a
                            at += 1
                    f.write(rows.tobytes())
                    written += k
            if written != n:
                raise RuntimeError(f"{path}: {written} rows written, {n} announced")
        return
    if suffix == ".npz":
        import zipfile

        with staged(path) as temp:
            parts = {name: [] for name, _, _ in columns}
            # One member per column, each streamed: the chunks are kept on disk, column by column,
            # in temporary files beside the archive, then copied in.
            spill = {name: tempfile.TemporaryFile(dir=pathlib.Path(temp).parent) for name, _, _ in columns}
            try:
                for chunk in chunks:
                    for name, dtype, _ in columns:
                        spill[name].write(np.ascontiguousarray(chunk[name], dtype=dtype).tobytes())
                        parts[name].append(len(chunk[name]))
                for name, _, _ in columns:
                    if sum(parts[name]) != n:
                        raise RuntimeError(f"{path}: {sum(parts[name])} rows of {name} written, {n} announced")
                with zipfile.ZipFile(temp, "w", zipfile.ZIP_STORED, allowZip64=True) as z:
                    for name, dtype, _ in columns:
                        with z.open(name + ".npy", "w", force_zip64=True) as member:
                            np.lib.format.write_array_header_2_0(member, {
                                "descr": np.lib.format.dtype_to_descr(np.dtype(dtype)), "fortran_order": False,
                                "shape": shapes[name]})
                            spill[name].seek(0)
                            shutil.copyfileobj(spill[name], member, 1 << 24)
                    for key, value in attrs.items():
                        if isinstance(value, (int, float)):
                            with z.open(key + ".npy", "w") as member:
                                np.lib.format.write_array(member, np.asarray(value, np.float64))
            finally:
                for f in spill.values():
                    f.close()
        return
    with staged(path, folder=True) as temp:
        group = open_zarr_group(temp, attrs)
        arrays = {name: zarr_array(group, name, shapes[name], np.dtype(dtype), (STREAM_ROWS,) + shapes[name][1:])
                  for name, dtype, _ in columns}
        at = 0
        for chunk in chunks:
            k = len(next(iter(chunk.values())))
            for name in arrays:
                arrays[name][at:at + k] = chunk[name]
            at += k
        if at != n:
            raise RuntimeError(f"{path}: {at} rows written, {n} announced")


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
