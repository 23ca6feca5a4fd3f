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


def brute_force(surface, queries):
    engine = surface.engine()
    return _device.to_numpy(engine.brute_force(_device.to_device(surface.local(queries)), -1.0))


def cap(subdivisions=2):
    """An open spherical cap: one short boundary loop, so the engine counts crossings."""
    v, f = icosphere(subdivisions)
    return v, f[v[f].mean(axis=1)[:, 2] > -0.3]


def queries(n=3000, seed=0, span=1.4, centre=0.0):
    return (centre + np.random.default_rng(seed).uniform(-span, span, (n, 3))).astype(np.float32)


@pytest.fixture(scope="module")
def sphere():
    return icosphere(3)


@pytest.mark.parametrize("form", ["trimesh", "pair", "soup-list", "torch"])
def test_auto_is_exact_on_a_closed_mesh_in_every_input_form(sphere, form):
    v, f = sphere
    surface = {"trimesh": lambda: trimesh.Trimesh(v, f, process=False), "pair": lambda: (v, f),
               "soup-list": lambda: v[f].tolist(), "torch": lambda: (v, f)}[form]()
    q = queries()
    if form == "torch":
        torch = pytest.importorskip("torch")
        q = torch.from_numpy(q)
    w = np.asarray(gyrant.winding_numbers(surface, q, progress=False))
    # The crossings give whole numbers; the hierarchical sum would not.
    assert set(np.unique(w)) <= {0.0, 1.0}
    np.testing.assert_array_equal(w, gyrant.winding_numbers(surface, q, method="exact", progress=False))
    s = gyrant.as_surface(surface)
    assert s.engine().exact_path == "crossings"
    np.testing.assert_allclose(w, brute_force(s, np.asarray(q)), atol=1e-4)


def test_auto_on_an_open_mesh_is_exact_against_brute_force():
    v, f = cap()
    s = gyrant.Surface.from_mesh(v, f)
    assert s.engine().exact_path == "crossings" and s.engine().boundary_edges > 0
    q = queries(span=1.2)
    w = gyrant.winding_numbers(s, q, progress=False)
    np.testing.assert_array_equal(w, gyrant.winding_numbers(s, q, method="exact", progress=False))
    np.testing.assert_allclose(w, brute_force(s, q), atol=1e-4)


@pytest.mark.parametrize("case", ["cloud", "loose-soup", "beta-given"])
def test_auto_is_hierarchical_where_crossings_do_not_apply_or_pay(sphere, case):
    v, f = sphere
    rng = np.random.default_rng(1)
    if case == "cloud":
        normals = np.cross(v[f][:, 1] - v[f][:, 0], v[f][:, 2] - v[f][:, 0]) / 2
        kwargs = {"points": v[f].mean(axis=1), "normals": normals}
    elif case == "loose-soup":  # scattered triangles: every edge is boundary
        kwargs = {"surface": (rng.uniform(-1, 1, (300, 1, 3)) + 0.1 * rng.normal(size=(300, 3, 3)))}
    else:
        kwargs = {"surface": (v, f)}
    beta = 2.5 if case == "beta-given" else None
    s = gyrant.as_surface(**kwargs)
    if case == "loose-soup":
        assert s.engine().exact_path == "hierarchical"
    q = queries(1000)
    w = gyrant.winding_numbers(s, q, beta=beta, progress=False)
    np.testing.assert_array_equal(w, gyrant.winding_numbers(s, q, beta=beta, method="hierarchical", progress=False))
    samples = gyrant.sample_occupancy(s, 2000, seed=3, beta=beta, progress=False)
    again = gyrant.sample_occupancy(s, 2000, seed=3, beta=beta, method="hierarchical", progress=False)
    np.testing.assert_array_equal(samples.winding_numbers, again.winding_numbers)


def test_refusals_before_any_work(sphere):
    v, f = sphere
    cloud = {"points": v, "normals": v}
    with pytest.raises(gyrant.InputError, match="point cloud has no ray crossings"):
        gyrant.winding_numbers(queries=queries(10), method="exact", **cloud)
    with pytest.raises(gyrant.InputError, match="point cloud has no ray crossings"):
        gyrant.voxelize(resolution=8, method="exact", **cloud)
    with pytest.raises(gyrant.InputError, match="method must be one of"):
        gyrant.sample_occupancy((v, f), 100, method="fast")
    with pytest.raises(gyrant.InputError, match="takes neither"):
        gyrant.voxelize((v, f), 8, method="exact", beta=2.0)
    with pytest.raises(gyrant.InputError, match="takes none"):
        gyrant.voxelize((v, f), 8, method="exact", field="sdf")


def _per_query(surface, grid, method="exact"):
    nodes = winding.block_queries(grid.origin, grid.spacing, tuple(slice(0, n) for n in grid.shape), surface.offset)
    return gyrant.winding_numbers(surface, nodes, method=method, progress=False).reshape(grid.shape)


@pytest.mark.parametrize("chunk", [None, 7, 150])  # whole grid; less than a line; a few lines
@pytest.mark.parametrize("shift", [0.0, 1e5])
def test_exact_voxels_equal_per_query_exact_values(sphere, chunk, shift):
    v, f = sphere
    closed = gyrant.Surface.from_mesh(v + shift, f)
    # Centre lines run through the vertices at the poles; no node lies on the surface.
    grid = gyrant.voxelize(closed, (13, 17, 24), chunk_size=chunk, progress=False)
    assert set(np.unique(grid.values)) == {0.0, 1.0}
    np.testing.assert_array_equal(grid.values, _per_query(closed, grid))
    # The grid is today's: the same nodes as the hierarchical method's.
    before = gyrant.voxelize(closed, (13, 17, 24), method="hierarchical", progress=False)
    np.testing.assert_array_equal(grid.origin, before.origin)
    np.testing.assert_array_equal(grid.spacing, before.spacing)
    np.testing.assert_array_equal(grid.values, before.values > 0.5)
    # An open surface: the boundary term at the engine's nodes, within float rounding.
    vc, fc = cap()
    opened = gyrant.Surface.from_mesh(vc + shift, fc)
    grid = gyrant.voxelize(opened, 16, chunk_size=chunk, progress=False)
    np.testing.assert_allclose(grid.values, _per_query(opened, grid), atol=2e-6)


def test_reconstruct_of_a_mesh_takes_the_exact_grid(sphere):
    pytest.importorskip("skimage")
    v, f = sphere
    auto = gyrant.reconstruct((v, f), resolution=24)
    exact = gyrant.reconstruct((v, f), resolution=24, method="exact")
    np.testing.assert_array_equal(auto.vertices, exact.vertices)
    # A 0/1 field puts the vertices at edge midpoints: within half a cell (0.105) of the sphere.
    assert np.abs(np.linalg.norm(auto.vertices, axis=1) - 1.0).max() < 0.06
    with pytest.raises(gyrant.InputError, match="point cloud"):
        gyrant.reconstruct(v, v, resolution=24, method="exact")


def gyrant_cli(*args):
    env = dict(os.environ)
    paths = [str(pathlib.Path(gyrant_module.__file__).parent), str(pathlib.Path(gyrant.__file__).parents[1])]
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", "gyrant", *map(str, args)], capture_output=True, text=True,
                          env=env, timeout=600)


def test_command_line_method(tmp_path, sphere):
    v, f = sphere
    mesh = tmp_path / "sphere.off"
    trimesh.Trimesh(v, f, process=False).export(str(mesh))
    cloud = tmp_path / "cloud.xyz"
    np.savetxt(cloud, np.hstack([v, v]))
    run = gyrant_cli("voxelize", mesh, "-o", tmp_path / "exact.npz", "-r", "12", "--method", "exact", "--no-progress")
    assert run.returncode == 0, run.stderr
    expected = gyrant.voxelize((v, f), 12, method="exact", progress=False).values
    np.testing.assert_array_equal(np.load(tmp_path / "exact.npz")["winding_numbers"], expected)
    before = sorted(tmp_path.iterdir())
    for command, source, extra in [("voxelize", mesh, ["--method", "fast"]),
                                   ("sample", cloud, ["--method", "exact"]),
                                   ("voxelize", mesh, ["--method", "exact", "--beta", "2"]),
                                   ("voxelize", mesh, ["--method", "exact", "--sdf"]),
                                   ("reconstruct", cloud, ["--method", "exact"])]:
        out = tmp_path / ("out.ply" if command == "reconstruct" else "out.npz")
        run = gyrant_cli(command, source, "-o", out, "--no-progress", *extra)
        assert run.returncode == 2, (extra, run.stderr)
        assert len(run.stderr.strip().splitlines()) == 1 and "Traceback" not in run.stderr
    assert sorted(tmp_path.iterdir()) == before
