"""The `gyrant` command line end to end, each run in its own process as a user runs it."""
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import gyrant
import gyrant_module
from gyrant import _device
from conftest import DATA_DIR, icosphere

trimesh = pytest.importorskip("trimesh")

ELEPHANT = DATA_DIR / "elephant.off"


def gyrant_cli(*args, cwd=None):
    env = dict(os.environ)
    paths = [str(pathlib.Path(gyrant_module.__file__).parent), str(pathlib.Path(gyrant.__file__).parents[1])]
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", "gyrant", *map(str, args)], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=600)


@pytest.fixture(scope="module")
def sphere_off(tmp_path_factory):
    v, f = icosphere(3)
    path = tmp_path_factory.mktemp("sphere") / "sphere.off"
    trimesh.Trimesh(v, f, process=False).export(str(path))
    return path


def test_help_shows_an_example_per_command():
    run = gyrant_cli("--help")
    assert run.returncode == 0
    for command in ("info", "voxelize", "sample", "orient", "reconstruct"):
        assert f"gyrant {command} " in run.stdout
        sub = gyrant_cli(command, "--help")
        assert sub.returncode == 0 and f"example:\n  gyrant {command} " in sub.stdout


def test_voxelized_sphere_is_inside_where_it_must_be(tmp_path, sphere_off):
    out = tmp_path / "grid.npz"
    run = gyrant_cli("voxelize", sphere_off, "-o", out, "--resolution", 24, "--no-progress")
    assert run.returncode == 0, run.stderr
    with np.load(out) as grid:
        wn, origin, spacing = grid["winding_numbers"], grid["origin"], grid["spacing"]
        np.testing.assert_allclose(grid["bounds"][1], origin + 23 * spacing)
    assert wn.shape == (24, 24, 24)
    axes = [origin[k] + spacing[k] * np.arange(24) for k in range(3)]
    radius = np.sqrt(sum(np.meshgrid(*[a * a for a in axes], indexing="ij")))
    # The icosphere lies between radius 0.96 (its faces' centres) and 1 (its vertices).
    assert (wn[radius < 0.9] > 0.99).all() and (np.abs(wn[radius > 1.05]) < 0.01).all()

    occupancy = tmp_path / "occupancy.npz"
    assert gyrant_cli("voxelize", sphere_off, "-o", occupancy, "-r", 24, "--occupancy").returncode == 0
    with np.load(occupancy) as grid:
        np.testing.assert_array_equal(grid["occupancy"], wn > 0.5)


def test_zarr_grid_streams_the_same_values(tmp_path, sphere_off):
    pytest.importorskip("zarr")
    import zarr

    npz, store = tmp_path / "grid.npz", tmp_path / "grid.zarr"
    assert gyrant_cli("voxelize", sphere_off, "-o", npz, "-r", 40).returncode == 0
    run = gyrant_cli("voxelize", sphere_off, "-o", store, "-r", 40, "--zarr-chunk", 16, "--chunk-size", 5000)
    assert run.returncode == 0, run.stderr
    grid = zarr.open_group(str(store), mode="r")
    with np.load(npz) as expected:
        np.testing.assert_array_equal(grid["winding_numbers"][...], expected["winding_numbers"])
        np.testing.assert_allclose(grid.attrs["origin"], expected["origin"])
    # A second run replaces the store only when asked to; nothing temporary is left beside it.
    assert gyrant_cli("voxelize", sphere_off, "-o", store, "-r", 8).returncode == 2
    assert gyrant_cli("voxelize", sphere_off, "-o", store, "-r", 8, "--overwrite").returncode == 0
    assert zarr.open_group(str(store), mode="r")["winding_numbers"].shape == (8, 8, 8)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["grid.npz", "grid.zarr"]
    # Written under private temporary names, published with the usual permissions.
    umask = os.umask(0)
    os.umask(umask)
    assert store.stat().st_mode & 0o777 == 0o777 & ~umask and npz.stat().st_mode & 0o777 == 0o666 & ~umask


def test_occupancy_samples_agree_with_brute_force(tmp_path):
    npz, ply = tmp_path / "samples.npz", tmp_path / "samples.ply"
    for out in (npz, ply):
        run = gyrant_cli("sample", ELEPHANT, "-o", out, "-n", 3000, "--near-fraction", 0.6, "--seed", 7,
                         "--no-progress")
        assert run.returncode == 0, run.stderr
    with np.load(npz) as samples:
        points, wn, inside, uniform = (samples[k] for k in ("points", "winding_numbers", "inside", "uniform"))
    assert points.shape == (3000, 3) and uniform == 1200
    mesh = gyrant.read_surface(ELEPHANT)
    exact = _device.to_numpy(mesh.engine().brute_force(_device.to_device(points)))
    # The hierarchical sum is within 1e-3 of the exact one here; labels may differ only closer
    # than that to 0.5.
    clear = np.abs(exact - 0.5) > 1e-2
    np.testing.assert_array_equal(inside[clear], exact[clear] > 0.5)
    assert clear.mean() > 0.95 and 0.05 < inside.mean() < 0.6
    # The near-surface points are near the surface: most within a few sigma, many inside.
    assert inside[uniform:].mean() > 0.3
    # The PLY holds the same points and labels.
    ply_data = trimesh.load(str(ply), process=False).metadata["_ply_raw"]["vertex"]["data"]
    np.testing.assert_array_equal(np.c_[ply_data["x"], ply_data["y"], ply_data["z"]], points)
    np.testing.assert_array_equal(np.asarray(ply_data["inside"]).reshape(-1) == 1, inside)


def test_orient_then_reconstruct_gives_a_closed_sphere(tmp_path):
    pytest.importorskip("skimage")
    rng = np.random.default_rng(5)
    p = rng.normal(size=(3000, 3))
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    np.savetxt(tmp_path / "scan.xyz", p, fmt="%.8f")
    run = gyrant_cli("orient", tmp_path / "scan.xyz", "-o", tmp_path / "oriented.ply", "--no-progress")
    assert run.returncode == 0, run.stderr
    oriented = gyrant.read_points(tmp_path / "oriented.ply")
    assert (np.einsum("ij,ij->i", oriented.normals, p) > 0).mean() > 0.99
    run = gyrant_cli("reconstruct", tmp_path / "oriented.ply", "-o", tmp_path / "sphere.obj", "-r", 40)
    assert run.returncode == 0, run.stderr
    mesh = trimesh.load(str(tmp_path / "sphere.obj"), process=True)
    assert mesh.is_watertight and mesh.volume == pytest.approx(4 / 3 * np.pi, rel=0.05)
    info = gyrant_cli("info", tmp_path / "sphere.obj")
    assert "closed:    yes" in info.stdout and "triangle mesh" in info.stdout


@pytest.mark.parametrize("case", ["missing", "format", "empty", "nan", "index", "output-format", "no-folder",
                                  "argument"])
def test_bad_input_exits_2_with_one_line_and_writes_nothing(tmp_path, case):
    good = tmp_path / "good.off"
    good.write_text("OFF\n4 4 0\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n3 0 2 1\n3 0 1 3\n3 0 3 2\n3 1 2 3\n")
    bad = {"empty": "OFF\n3 0 0\n0 0 0\n1 0 0\n0 1 0\n",
           "nan": "OFF\n3 1 0\n0 0 nan\n1 0 0\n0 1 0\n3 0 1 2\n",
           "index": "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 9\n",
           "format": "solid"}
    source, out, extra = good, tmp_path / "out.npz", []
    if case in bad:
        source = tmp_path / ("input.dat" if case == "format" else f"{case}.off")
        source.write_text(bad[case])
    elif case == "missing":
        source = tmp_path / "missing.off"
    elif case == "output-format":
        out = tmp_path / "out.txt"
    elif case == "no-folder":
        out = tmp_path / "nowhere" / "out.npz"
    elif case == "argument":
        extra = ["--resolution", "1"]
    before = sorted(tmp_path.iterdir())
    run = gyrant_cli("voxelize", source, "-o", out, *extra)
    assert run.returncode == 2
    assert len(run.stderr.strip().splitlines()) == 1 and "error" in run.stderr
    assert sorted(tmp_path.iterdir()) == before
