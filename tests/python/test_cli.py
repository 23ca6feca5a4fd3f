"""The `gyrant` command line end to end, each run in its own process as a user runs it."""
import importlib.util
import os
import pathlib
import signal
import subprocess
import sys
import time

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


BENCH_DATA = pathlib.Path(__file__).resolve().parents[2] / "bench" / "data"


def test_outputs_never_replace_an_input_nor_an_existing_file(tmp_path, sphere_off):
    pytest.importorskip("skimage")
    ply = tmp_path / "sphere.ply"
    trimesh.load(str(sphere_off), process=False).export(str(ply))
    before = ply.read_bytes()
    # A folder output derives a name that is not the input's.
    run = gyrant_cli("reconstruct", ply, "-o", tmp_path, "-r", 16, "--no-progress")
    assert run.returncode == 0, run.stderr
    assert ply.read_bytes() == before and (tmp_path / "sphere.reconstruct.ply").is_file()
    # The input named as the output, and an existing output without --overwrite: refused.
    for out in (ply, tmp_path / "sphere.reconstruct.ply"):
        run = gyrant_cli("reconstruct", ply, "-o", out, "-r", 16)
        assert run.returncode == 2 and len(run.stderr.strip().splitlines()) == 1
    assert ply.read_bytes() == before
    # A folder named .zarr is a store, never a folder of outputs.
    store = tmp_path / "x.zarr"
    store.mkdir()
    assert gyrant_cli("voxelize", sphere_off, "-o", store, "-r", 8).returncode == 2
    assert gyrant_cli("voxelize", sphere_off, "-o", store, "-r", 8, "--overwrite").returncode == 0
    assert not (store / "sphere.npz").exists() and any(store.iterdir())


def test_sigterm_removes_the_partial_output(tmp_path, sphere_off):
    pytest.importorskip("zarr")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(pathlib.Path(gyrant_module.__file__).parent),
                                                        str(pathlib.Path(gyrant.__file__).parents[1])]))
    child = subprocess.Popen([sys.executable, "-m", "gyrant", "voxelize", str(sphere_off), "-o",
                              str(tmp_path / "big.zarr"), "-r", "400", "--chunk-size", "20000", "--no-progress",
                              "--method", "hierarchical"],  # long enough to be stopped: a query per node
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not any(tmp_path.iterdir()):  # the staged store appears once work begins
        assert child.poll() is None and time.monotonic() < deadline
        time.sleep(0.02)
    child.send_signal(signal.SIGTERM)
    _, err = child.communicate(timeout=120)
    assert child.returncode == 143, err
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("case", ["seed", "npz-object", "npz-epsilon", "xyz-ragged", "padding-nan",
                                  "padding-negative", "resolution-two"])
def test_more_bad_input_exits_2_with_one_line(tmp_path, sphere_off, case):
    points = np.random.default_rng(0).normal(size=(10, 3))
    if case == "npz-object":
        np.savez(tmp_path / "in.npz", points=np.array([object()] * 3))
    elif case == "npz-epsilon":
        np.savez(tmp_path / "in.npz", points=points, normals=points, epsilon=np.ones(3))
    elif case == "xyz-ragged":  # 12 values in all, as 4 points of 3 would be
        (tmp_path / "in.xyz").write_text("0 0 0\n1 0 0 1\n0 1\n0 0 1\n")
    source = {"npz-object": tmp_path / "in.npz", "npz-epsilon": tmp_path / "in.npz",
              "xyz-ragged": tmp_path / "in.xyz"}.get(case, sphere_off)
    extra = {"seed": ["--seed", "-1"], "padding-nan": ["--padding", "nan"], "padding-negative": ["--padding", "-1"],
             "resolution-two": ["-r", "16", "16"]}.get(case, [])
    command = "sample" if case in ("seed", "npz-object", "npz-epsilon") else "reconstruct"
    before = sorted(tmp_path.iterdir())
    if case == "xyz-ragged":  # read as 4 misaligned points, so even info must refuse it
        run = gyrant_cli("info", source)
    else:
        run = gyrant_cli(command, source, "-o", tmp_path / ("out.npz" if command == "sample" else "out.ply"), *extra)
    assert run.returncode == 2, run.stderr
    assert len(run.stderr.strip().splitlines()) == 1 and "Traceback" not in run.stderr
    assert sorted(tmp_path.iterdir()) == before


def test_info_json_version_and_quiet_standard_output(tmp_path, sphere_off):
    import json

    stl = tmp_path / "sphere.stl"
    trimesh.load(str(sphere_off), process=False).export(str(stl))  # STL repeats vertices per triangle
    run = gyrant_cli("info", stl, "--json")
    report = json.loads(run.stdout)
    assert run.returncode == 0 and report["closed"] and report["boundary_edges"] == 0
    run = gyrant_cli("voxelize", sphere_off, "-o", tmp_path / "g.npz", "-r", 8)
    assert run.returncode == 0 and run.stdout.startswith("wrote ") and "CreateFrom" not in run.stdout
    assert gyrant_cli("--version").stdout.startswith("gyrant ")
    help_text = gyrant_cli("orient", "--help").stdout
    assert "--beta" not in help_text and "--chunk-size" not in help_text and "default .npz" not in help_text


def test_orients_ply_reads_back_its_smoothing_radius(tmp_path):
    rng = np.random.default_rng(2)
    p = rng.normal(size=(1500, 3))
    np.savetxt(tmp_path / "scan.xyz", p / np.linalg.norm(p, axis=1, keepdims=True), fmt="%.8f")
    for out in ("o.ply", "o.npz"):
        assert gyrant_cli("orient", tmp_path / "scan.xyz", "-o", tmp_path / out, "--no-progress").returncode == 0
    with np.load(tmp_path / "o.npz") as written:
        epsilon = float(written["epsilon"])
    assert gyrant.read_surface(tmp_path / "o.ply").epsilon == epsilon


@pytest.mark.skipif(not (BENCH_DATA / "kitten.xyz").exists(), reason="bench/data not set up (bench/setup.sh)")
def test_unit_normals_with_a_zero_normal_are_still_unit(tmp_path):
    table = np.loadtxt(BENCH_DATA / "kitten.xyz")
    table[17, 3:] = 0.0  # a point the scanner could not orient
    np.savetxt(tmp_path / "kitten.xyz", table)
    run = gyrant_cli("sample", tmp_path / "kitten.xyz", "-o", tmp_path / "s.npz", "-n", 4000, "--seed", 1,
                     "--no-progress")
    assert run.returncode == 0, run.stderr
    with np.load(tmp_path / "s.npz") as samples:
        points, inside = samples["points"], samples["inside"]
    unit = gyrant.Surface.from_points(table[:, :3], table[:, 3:], normals_kind="unit")
    exact = _device.to_numpy(unit.engine().brute_force(_device.to_device(points), unit.epsilon))
    clear = np.abs(exact - 0.5) > 0.05
    np.testing.assert_array_equal(inside[clear], exact[clear] > 0.5)
    assert 0.1 < inside.mean() < 0.6


def test_orient_streams_npy_and_binary_ply_to_every_format(tmp_path):
    # Far from the origin (the points are kept relative to their centre) and in both byte orders:
    # the streamed reading, in slices smaller than the cloud, gives what reading it whole gives,
    # and every output holds the same oriented cloud.
    from gyrant import io

    rng = np.random.default_rng(5)
    p = rng.normal(size=(3000, 3))
    p = p / np.linalg.norm(p, axis=1, keepdims=True) + 1e4
    np.save(tmp_path / "scan.npy", p)
    rows = np.empty(len(p), dtype=[("x", ">f8"), ("y", ">f8"), ("z", ">f8"), ("intensity", ">u1")])
    rows["x"], rows["y"], rows["z"], rows["intensity"] = p[:, 0], p[:, 1], p[:, 2], 7
    header = (f"ply\nformat binary_big_endian 1.0\nelement vertex {len(p)}\nproperty double x\n"
              "property double y\nproperty double z\nproperty uchar intensity\nend_header\n")
    (tmp_path / "scan.ply").write_bytes(header.encode() + rows.tobytes())
    local, offset = io.read_positions(tmp_path / "scan.npy", rows_per_read=700)
    whole = gyrant.orient(p, progress=False)
    np.testing.assert_array_equal(offset, whole.offset)
    np.testing.assert_array_equal(local.astype(np.float64) + offset, whole.positions)
    formats = ("o.ply", "o.npz") + (("o.zarr",) if importlib.util.find_spec("zarr") else ())
    for source, outs in (("scan.npy", formats), ("scan.ply", ("o.ply",))):
        for out in outs:
            run = gyrant_cli("orient", tmp_path / source, "-o", tmp_path / out, "--no-progress", "--overwrite")
            assert run.returncode == 0, run.stderr
            if out.endswith(".zarr"):
                import zarr

                group = zarr.open_group(str(tmp_path / out), mode="r")
                points, normals, areas = (np.asarray(group[k]) for k in ("points", "normals", "areas"))
                epsilon = group.attrs["epsilon"]
            else:
                read = gyrant.read_points(tmp_path / out)
                points, normals, areas, epsilon = read.points, read.normals, read.areas, read.epsilon
            np.testing.assert_array_equal(points, whole.positions)
            unit = whole.normals / np.linalg.norm(whole.normals, axis=1, keepdims=True)
            np.testing.assert_allclose(normals, unit, atol=1e-6)
            np.testing.assert_allclose(areas, np.linalg.norm(whole.normals, axis=1), rtol=1e-6)
            assert epsilon == pytest.approx(whole.epsilon)
    (tmp_path / "short.ply").write_bytes(header.encode() + rows.tobytes()[:-5])
    run = gyrant_cli("orient", tmp_path / "short.ply", "-o", tmp_path / "x.ply", "--no-progress")
    assert run.returncode == 2 and "truncated" in run.stderr and not (tmp_path / "x.ply").exists()
