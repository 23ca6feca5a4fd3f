"""method="auto" | "exact" | "hierarchical" in the package and on the command line: which method
auto picks, exact grids a line at a time against per-query values, and refusals."""
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import gyrant
import gyrant_module
from gyrant import _device, winding
from conftest import icosphere

trimesh = pytest.importorskip("trimesh")
SPHERE = icosphere(3)


def cap():
    """An open spherical cap: one short boundary loop, so the engine counts crossings."""
    v, f = icosphere(2)
    return v, f[v[f].mean(axis=1)[:, 2] > -0.3]


def queries(n=2000, seed=0):
    return np.random.default_rng(seed).uniform(-1.4, 1.4, (n, 3)).astype(np.float32)


@pytest.mark.parametrize("case, picks", [("trimesh", "exact"), ("soup-list", "exact"), ("torch", "exact"),
                                         ("open", "exact"), ("cloud", "hierarchical"),
                                         ("loose-soup", "hierarchical"), ("beta", "hierarchical")])
def test_auto_picks_exact_where_the_engine_counts_crossings(case, picks):
    v, f = SPHERE
    rng = np.random.default_rng(1)
    surface = {"trimesh": lambda: trimesh.Trimesh(v, f, process=False), "soup-list": lambda: v[f].tolist(),
               "open": cap, "cloud": lambda: gyrant.Surface.from_points(v, v),
               # Scattered triangles: every edge is boundary, too many for the crossings to pay.
               "loose-soup": lambda: rng.uniform(-1, 1, (300, 1, 3)) + 0.1 * rng.normal(size=(300, 3, 3))
               }.get(case, lambda: (v, f))()
    q, beta = queries(), (2.5 if case == "beta" else None)
    given = pytest.importorskip("torch").from_numpy(q) if case == "torch" else q
    w = np.asarray(gyrant.winding_numbers(surface, given, beta=beta, progress=False))
    kwargs = {"beta": beta} if picks == "hierarchical" else {}
    np.testing.assert_array_equal(w, gyrant.winding_numbers(surface, q, method=picks, progress=False, **kwargs))
    samples = gyrant.sample_occupancy(surface, 3000, seed=3, beta=beta, progress=False)
    again = gyrant.sample_occupancy(surface, 3000, seed=3, method=picks, progress=False, **kwargs)
    np.testing.assert_array_equal(samples.winding_numbers, again.winding_numbers)
    if picks == "exact":
        s = gyrant.as_surface(surface)
        brute = _device.to_numpy(s.engine().brute_force(_device.to_device(q), -1.0))
        np.testing.assert_allclose(w, brute, atol=1e-4)
        if case != "open":  # closed: whole numbers, which no approximation gives
            assert set(np.unique(w)) <= {0.0, 1.0}


@pytest.mark.parametrize("chunk", [None, 7, 50])  # whole grid; less than a line; a few lines
@pytest.mark.parametrize("shift", [0.0, 1e5])
def test_exact_voxels_equal_per_query_exact_values(chunk, shift):
    zarr = pytest.importorskip("zarr")
    from gyrant import io

    for (v, f), resolution, tolerance in ((SPHERE, (13, 17, 24), 0), (cap(), 16, 2e-6)):
        # Open: the boundary term at the engine's float32 steps, within rounding.
        s = gyrant.Surface.from_mesh(v + shift, f)
        shape = winding.grid_for(s.bounds, resolution)[2]
        # Store chunks larger than `chunk`: each block is several engine calls.
        out = io.zarr_array(zarr.group(), "wn", shape, np.float32, (5, 9, 24))
        grid = gyrant.voxelize(s, resolution, chunk_size=chunk, progress=False, out=out)
        nodes = winding.block_queries(grid.origin, grid.spacing, tuple(slice(0, n) for n in grid.shape), s.offset)
        per_query = gyrant.winding_numbers(s, nodes, method="exact", progress=False).reshape(grid.shape)
        # The sphere's centre lines run through its pole vertices; no node lies on the surface.
        np.testing.assert_allclose(grid.values[...], per_query, rtol=0, atol=tolerance)
        before = gyrant.voxelize(s, resolution, method="hierarchical", progress=False)
        np.testing.assert_array_equal(grid.origin, before.origin)
        np.testing.assert_array_equal(grid.spacing, before.spacing)


def gyrant_cli(*args):
    env = dict(os.environ)
    paths = [str(pathlib.Path(gyrant_module.__file__).parent), str(pathlib.Path(gyrant.__file__).parents[1])]
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", "gyrant", *map(str, args)], capture_output=True, text=True,
                          env=env, timeout=600)


def test_refusals_in_python_and_on_the_command_line(tmp_path):
    v, f = SPHERE
    for call in (lambda: gyrant.winding_numbers(points=v, normals=v, queries=queries(10), method="exact"),
                 lambda: gyrant.sample_occupancy((v, f), 100, method="fast"),
                 lambda: gyrant.voxelize((v, f), 8, method="exact", beta=2.0),
                 lambda: gyrant.voxelize((v, f), 8, method="exact", field="sdf"),
                 lambda: gyrant.reconstruct(v, v, resolution=24, method="exact")):
        with pytest.raises(gyrant.InputError):
            call()
    mesh, cloud = tmp_path / "sphere.off", tmp_path / "cloud.xyz"
    trimesh.Trimesh(v, f, process=False).export(str(mesh))
    np.savetxt(cloud, np.hstack([v, v]))
    run = gyrant_cli("voxelize", mesh, "-o", tmp_path / "exact.npz", "-r", "12", "--method", "exact", "--no-progress")
    assert run.returncode == 0, run.stderr
    expected = gyrant.voxelize((v, f), 12, method="exact", progress=False).values
    np.testing.assert_array_equal(np.load(tmp_path / "exact.npz")["winding_numbers"], expected)
    before = sorted(tmp_path.iterdir())
    for command, source, extra in [("voxelize", mesh, ["--method", "fast"]), ("sample", cloud, ["--method", "exact"]),
                                   ("voxelize", mesh, ["--method", "exact", "--beta", "2"]),
                                   ("reconstruct", cloud, ["--method", "exact"])]:
        out = tmp_path / ("out.ply" if command == "reconstruct" else "out.npz")
        run = gyrant_cli(command, source, "-o", out, "--no-progress", *extra)
        assert run.returncode == 2 and len(run.stderr.strip().splitlines()) == 1, (extra, run.stderr)
    assert sorted(tmp_path.iterdir()) == before
