"""Signed distances and closest points in the package, the command line and gyrant.dask: the
distance against a float64 reference, the sign against the exact winding number (brute_force),
in the caller's frame, and the grids, samples and files built from them."""
import numpy as np
import pytest

import gyrant
from conftest import DATA_DIR
from gyrant import _device
from test_cli import gyrant_cli

trimesh = pytest.importorskip("trimesh")

HOLES = DATA_DIR / "elephant-with-holes.off"
SHIFT = np.array([3.0e4, -2.0e4, 1.0e4])  # far from the origin compared with the 1-unit mesh


@pytest.fixture(scope="module")
def holes():
    mesh = gyrant.read_surface(HOLES)
    return gyrant.Surface.from_mesh(mesh.vertices.astype(np.float64) + SHIFT, mesh.faces)


def reference(surface, queries):
    """float64 (distance, closest point of every triangle) for each query: all pairs."""
    triangles = surface.triangles().astype(np.float64)
    q = np.asarray(queries, np.float64)
    points = trimesh.triangles.closest_point(np.repeat(triangles[None], len(q), 0).reshape(-1, 3, 3),
                                             np.repeat(q, len(triangles), 0)).reshape(len(q), len(triangles), 3)
    d = np.linalg.norm(points - q[:, None], axis=2)
    return d.min(axis=1), points


def exact_winding(surface, queries):
    return _device.to_numpy(surface.engine().brute_force(_device.to_device(surface.local(queries))))


def queries_around(surface, n, seed=0):
    """Half uniform around the box, half near the vertices (many close to the surface)."""
    rng = np.random.default_rng(seed)
    lo, hi = surface.bounds
    near = surface.vertices[rng.integers(0, len(surface.vertices), n // 2)] + rng.normal(0, 0.02, (n // 2, 3))
    return np.concatenate([rng.uniform(lo - 0.1, hi + 0.1, (n - n // 2, 3)), near])


def test_distances_points_and_signs_in_the_callers_frame(holes):
    q = queries_around(holes, 300)
    d_ref, points_ref = reference(holes, q)
    sdf = gyrant.signed_distance(holes, q.tolist(), chunk_size=64, progress=False)
    # float32 in the engine's frame, whose scale is the mesh's (about 1): a few of its ulps.
    np.testing.assert_allclose(np.abs(sdf), d_ref, rtol=0, atol=2e-6)
    np.testing.assert_array_equal(sdf < 0, exact_winding(holes, q) > 0.5)
    assert 0.1 < (sdf < 0).mean() < 0.5

    d, p, index = gyrant.closest_points(holes, q, chunk_size=100, progress=False)
    assert p.dtype == np.float64 and index.dtype == np.int64
    np.testing.assert_allclose(d, d_ref, rtol=0, atol=2e-6)
    # The point lies on the triangle named (ties may name either one), near the reference's own
    # closest point there: the engine's float32 point on an edge is off by up to 5e-5 here.
    on = points_ref[np.arange(len(q)), index]
    np.testing.assert_allclose(p, on, rtol=0, atol=1e-4)
    np.testing.assert_allclose(np.linalg.norm(on - q, axis=1), d_ref, rtol=0, atol=2e-6)

    torch = pytest.importorskip("torch")
    t = gyrant.signed_distance(holes, torch.from_numpy(q[:10]), progress=False)
    assert isinstance(t, torch.Tensor)
    np.testing.assert_array_equal(t.numpy(), sdf[:10])


def test_band_signs_and_bad_arguments(holes):
    q = queries_around(holes, 4000, seed=1)
    full = gyrant.signed_distance(holes, q, progress=False)
    band = gyrant.signed_distance(holes, q, max_distance=0.03, progress=False)
    inside_band = np.abs(full) <= 0.03
    np.testing.assert_array_equal(band[inside_band], full[inside_band])
    assert np.isposinf(band[~inside_band]).all() and 0.05 < inside_band.mean() < 0.9
    d, p, index = gyrant.closest_points(holes, q, max_distance=0.03, progress=False)
    assert np.isposinf(d[~inside_band]).all() and np.isnan(p[~inside_band]).all() and (index[~inside_band] == -1).all()

    np.testing.assert_array_equal(gyrant.signed_distance(holes, q, sign="none", progress=False), np.abs(full))
    # Every face turned over: w is about -1 inside; only |w| still sees the inside.
    flipped = gyrant.Surface.from_mesh(holes.vertices, holes.faces[:, ::-1])
    assert (gyrant.signed_distance(flipped, q, progress=False) >= 0).all()
    np.testing.assert_array_equal(gyrant.signed_distance(flipped, q, sign="abs_winding", progress=False) < 0,
                                  full < 0)

    bad_query = q[:5].copy()
    bad_query[3, 2] = np.nan
    for call, match in ((lambda: gyrant.signed_distance(holes, q, sign="parity"), "sign must be"),
                        (lambda: gyrant.signed_distance(holes, q, max_distance=-1), "max_distance"),
                        (lambda: gyrant.closest_points(holes, q, max_distance="far"), "max_distance"),
                        (lambda: gyrant.signed_distance(holes, bad_query), "row 3"),
                        (lambda: gyrant.voxelize(holes, 8, max_distance=0.1), "field='sdf'"),
                        (lambda: gyrant.voxelize(holes, 8, field="distance"), "field must be")):
        with pytest.raises(gyrant.InputError, match=match):
            call()


def test_sdf_grid_streams_and_matches_the_queries(holes):
    zarr = pytest.importorskip("zarr")
    grid = gyrant.voxelize(holes, 20, field="sdf", max_distance=0.1, progress=False)
    nodes = np.stack(np.meshgrid(*grid.axes(), indexing="ij"), axis=-1).reshape(-1, 3)
    expected = gyrant.signed_distance(holes, nodes, max_distance=0.1, progress=False).reshape(grid.shape)
    np.testing.assert_array_equal(grid.values, expected)
    store = zarr.open_array(zarr.storage.MemoryStore(), mode="w", shape=grid.shape, chunks=(7, 7, 7),
                            dtype=np.float32)
    streamed = gyrant.voxelize(holes, 20, field="sdf", max_distance=0.1, chunk_size=500, out=store,
                               progress=False)
    np.testing.assert_array_equal(streamed.values[...], grid.values)


def test_sdf_samples_are_the_occupancy_samples_with_distances(holes):
    samples = gyrant.sample_sdf(holes, 3000, near_fraction=0.7, sigma=0.005, seed=4, progress=False)
    occupancy = gyrant.sample_occupancy(holes, 3000, near_fraction=0.7, sigma=0.005, seed=4, progress=False)
    np.testing.assert_array_equal(samples.points, occupancy.points)
    assert samples.uniform == occupancy.uniform == 900
    np.testing.assert_array_equal(samples.sdf < 0, exact_winding(holes, samples.points) > 0.5)
    assert np.abs(samples.sdf[900:]).mean() < np.abs(samples.sdf[:900]).mean() / 3
    pos, neg = samples.pos, samples.neg
    assert len(pos) + len(neg) == 3000 and (pos[:, 3] >= 0).all() and (neg[:, 3] < 0).all()
    np.testing.assert_array_equal(np.sort(np.concatenate([pos, neg])[:, 3]), np.sort(samples.sdf))


def test_cli_sdf_grids_and_samples(tmp_path, holes):
    zarr = pytest.importorskip("zarr")
    npz, store = tmp_path / "band.npz", tmp_path / "band.zarr"
    for out in (npz, store):
        run = gyrant_cli("voxelize", HOLES, "-o", out, "-r", 24, "--sdf", "--band", 0.05, "--zarr-chunk", 10,
                         "--no-progress")
        assert run.returncode == 0, run.stderr
    stored = zarr.open_group(str(store), mode="r")
    with np.load(npz) as grid:
        np.testing.assert_array_equal(stored["sdf"][...], grid["sdf"])
        assert grid["band"] == 0.05 and stored.attrs["band"] == 0.05 and stored.attrs["sign"] == "winding"
        mesh = gyrant.read_surface(HOLES)
        nodes = np.stack(np.meshgrid(*[grid["origin"][k] + grid["spacing"][k] * np.arange(24) for k in range(3)],
                                     indexing="ij"), axis=-1).reshape(-1, 3)
        sdf = grid["sdf"].reshape(-1)
    near = np.isfinite(sdf)
    assert (np.abs(sdf[near]) <= 0.05).all() and 0.02 < near.mean() < 0.8
    np.testing.assert_array_equal(sdf[near] < 0, exact_winding(mesh, nodes[near]) > 0.5)

    deepsdf, plain = tmp_path / "deepsdf.npz", tmp_path / "plain.npz"
    for out, layout in ((deepsdf, "deepsdf"), (plain, "points")):
        run = gyrant_cli("sample", HOLES, "-o", out, "-n", 2000, "--sdf", "--layout", layout, "--seed", 2,
                         "--no-progress")
        assert run.returncode == 0, run.stderr
    with np.load(deepsdf) as d, np.load(plain) as p:
        assert sorted(d.files) == ["neg", "pos"] and sorted(p.files) == ["points", "sdf", "uniform"]
        rows = np.concatenate([d["pos"], d["neg"]])
        expected = np.concatenate([p["points"], p["sdf"][:, None]], axis=1)
        np.testing.assert_array_equal(rows[np.lexsort(rows.T)], expected[np.lexsort(expected.T)])
        np.testing.assert_array_equal(p["sdf"] < 0, exact_winding(mesh, p["points"]) > 0.5)


@pytest.mark.parametrize("source, output, argv", [
    ("holes", "out.npz", ["voxelize", "-r", 8, "--band", 0.1]),
    ("holes", "out.npz", ["voxelize", "-r", 8, "--sdf", "--band", -1]),
    ("holes", "out.npz", ["voxelize", "-r", 8, "--sdf", "--occupancy"]),
    ("holes", "out.ply", ["sample", "-n", 100, "--sdf", "--layout", "deepsdf"]),
    ("nan.off", "out.npz", ["sample", "-n", 100, "--sdf"])])
def test_cli_bad_sdf_input_exits_2_and_writes_nothing(tmp_path, source, output, argv):
    (tmp_path / "nan.off").write_text("OFF\n3 1 0\n0 0 nan\n1 0 0\n0 1 0\n3 0 1 2\n")
    source = HOLES if source == "holes" else tmp_path / source
    run = gyrant_cli(argv[0], source, "-o", tmp_path / output, *argv[1:], "--no-progress")
    assert run.returncode == 2 and len(run.stderr.strip().splitlines()) == 1, run.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["nan.off"]


def test_dask_matches_in_process_sharded_by_queries_and_surfaces(holes):
    pytest.importorskip("dask.array")
    distributed = pytest.importorskip("distributed")
    import gyrant.dask as gd

    q = queries_around(holes, 20_000, seed=5).astype(np.float64)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster):
        full = gyrant.signed_distance(holes, q, progress=False)
        band = gyrant.signed_distance(holes, q, max_distance=0.05, progress=False)
        np.testing.assert_array_equal(gd.signed_distance(holes, q, chunk_size=3000).compute(), full)
        for shards, max_distance, expected in ((3, None, full), (4, 0.05, band)):
            result = gd.signed_distance(holes, q, surface_shards=shards, max_distance=max_distance,
                                        chunk_size=3000).compute()
            # The least of the shards' distances is the whole surface's; the summed w's sign is
            # certified as in-process, so the signs agree everywhere.
            np.testing.assert_array_equal(np.isinf(result), np.isinf(expected))
            finite = np.isfinite(expected)
            np.testing.assert_allclose(result[finite], expected[finite], rtol=0, atol=1e-6)
            np.testing.assert_array_equal(result < 0, expected < 0)
        # A coarse beta gets thousands of these signs wrong from the hierarchical sums alone:
        # the summed w is then in doubt everywhere and summed exactly.
        coarse = gd.signed_distance(holes, q, surface_shards=3, beta=0.5, chunk_size=3000).compute()
        np.testing.assert_array_equal(coarse < 0, exact_winding(holes, q) > 0.5)

        d_ref = np.abs(full)
        for shards in (1, 3):
            d, p, index = (a.compute() for a in gd.closest_points(holes, q[:2000], surface_shards=shards,
                                                                  chunk_size=700))
            np.testing.assert_allclose(d, d_ref[:2000], rtol=0, atol=1e-6)
            # Indices are the whole surface's: each names a triangle at the distance found.
            _, points_ref = reference(holes, q[:50])
            on = points_ref[np.arange(50), index[:50]]
            np.testing.assert_allclose(np.linalg.norm(on - q[:50], axis=1), d[:50], rtol=0, atol=2e-6)

        samples = gd.sample_sdf(holes, 5000, seed=3, surface_shards=2)
        expected = gyrant.sample_sdf(holes, 5000, seed=3, progress=False)
        np.testing.assert_array_equal(samples.points.compute(), expected.points)
        np.testing.assert_allclose(samples.sdf.compute(), expected.sdf, rtol=0, atol=1e-6)
        grid = gd.voxelize(holes, 17, field="sdf", chunks=8)
        np.testing.assert_array_equal(grid.values.compute(), gyrant.voxelize(holes, 17, field="sdf",
                                                                             progress=False).values)
