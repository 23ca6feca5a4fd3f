"""The reconstruction example runs end to end on a small cloud and writes a closed mesh."""
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import gyrant_module

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "reconstruct.py"


def read_ply(path):
    """Vertices and triangles of the example's binary PLY."""
    data = path.read_bytes()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    header = data[:end].decode("ascii")
    assert "format binary_little_endian 1.0" in header
    nv = int(re.search(r"element vertex (\d+)", header).group(1))
    nf = int(re.search(r"element face (\d+)", header).group(1))
    vertices = np.frombuffer(data, "<f4", 3 * nv, end).reshape(nv, 3)
    rows = np.frombuffer(data, [("n", "u1"), ("i", "<i4", (3,))], nf, end + 12 * nv)
    assert len(data) == end + 12 * nv + 13 * nf and (rows["n"] == 3).all()
    return vertices, rows["i"]


def test_reconstruction_writes_a_closed_mesh_inside_the_cloud_box(tmp_path):
    pytest.importorskip("skimage")
    pytest.importorskip("matplotlib")
    env = dict(os.environ)
    module_dir = str(pathlib.Path(gyrant_module.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, env.get("PYTHONPATH", "")])
    run = subprocess.run(
        [sys.executable, str(EXAMPLE), "--points", "2000", "--grid", "32", "--output-dir", str(tmp_path)],
        capture_output=True, text=True, env=env, timeout=600,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    for stage in ("solve_normals", "winding numbers, grid", "marching cubes", "write PLY", "render PNG"):
        assert re.search(rf"{re.escape(stage)}.*\s[\d.]+ s\n", run.stdout), stage
    vertices, faces = read_ply(tmp_path / "reconstruction.ply")
    assert len(faces) > 500 and faces.min() >= 0 and faces.max() < len(vertices)

    # Closed-ish: almost every edge is shared by two triangles.
    edges = np.sort(np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]]), axis=1)
    _, counts = np.unique(edges, axis=0, return_counts=True)
    assert (counts == 1).mean() < 0.01

    # The elephant's box (the cloud's, up to its sampling) holds the surface, within a grid
    # step (the grid's 32 nodes span about 1.14 along y).
    lo, hi = np.array([-0.3602, -0.5, -0.3015]), np.array([0.3602, 0.5, 0.3015])
    step = 0.04
    assert (vertices >= lo - step).all() and (vertices <= hi + step).all()
    # Outward faces and about the source mesh's volume (0.0462): a wrong sign or an empty or
    # inverted field would fail here.
    v0, v1, v2 = (vertices[faces[:, k]].astype(np.float64) for k in range(3))
    volume = np.einsum("ij,ij->i", v0, np.cross(v1, v2)).sum() / 6.0
    assert 0.03 < volume < 0.06
    assert (tmp_path / "reconstruction.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
