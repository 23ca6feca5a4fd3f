"""gyrant.dask on a LocalCluster of two worker processes: query sharding, surface sharding,
batches of files, a worker killed mid-run, and bad input refused before anything is submitted."""
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
from conftest import DATA_DIR, icosphere

pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import gyrant.dask as gd  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=":0")
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def sphere():
    v, f = icosphere(3)
    return gyrant.Surface.from_mesh(v, f, name="sphere")


def queries(n, seed=0):
    return np.random.default_rng(seed).uniform(-1.5, 1.5, (n, 3)).astype(np.float32)


def test_query_sharding_equals_the_in_process_result_bit_for_bit(client, sphere):
    q = queries(50_001)
    result = gd.winding_numbers(sphere, q, chunk_size=4096)
    assert result.numblocks == (13,)
    np.testing.assert_array_equal(result.compute(), gyrant.winding_numbers(sphere, q, progress=False))
    grid = gd.voxelize(sphere, 33, chunks=(16, 8, 33))
    np.testing.assert_array_equal(grid.values.compute(), gyrant.voxelize(sphere, 33, progress=False).values)
    samples = gd.sample_occupancy(sphere, 70_000, seed=5, chunk_size=1)
    expected = gyrant.sample_occupancy(sphere, 70_000, seed=5, progress=False)
    np.testing.assert_array_equal(samples.points.compute(), expected.points)
    np.testing.assert_array_equal(samples.winding_numbers.compute(), expected.winding_numbers)
    # Once nothing needs it, no worker keeps the surface (nor so its engine).
    deadline = time.monotonic() + 10
    while any(client.run(lambda dask_worker: [k for k in dask_worker.data if str(k).startswith("gyrant-surface-")]).values()):
        assert time.monotonic() < deadline
        time.sleep(0.05)


def test_each_method_on_the_cluster_equals_in_process(client, sphere):
    # Blocks that cut the grid lines too: an exact box may start in the middle of a line.
    for method in ("exact", "hierarchical"):
        grid = gd.voxelize(sphere, 21, chunks=(7, 5, 9), method=method)
        expected = gyrant.voxelize(sphere, 21, method=method, progress=False).values
        np.testing.assert_array_equal(grid.values.compute(), expected)
        q = queries(5000, seed=2)
        np.testing.assert_array_equal(gd.winding_numbers(sphere, q, method=method, chunk_size=1000).compute(),
                                      gyrant.winding_numbers(sphere, q, method=method, progress=False))
    cloud = gyrant.Surface.from_points(sphere.vertices, sphere.vertices)
    for call in (lambda: gd.voxelize(cloud, 8, method="exact"), lambda: gd.winding_numbers(sphere, q, method="x"),
                 lambda: gd.sample_occupancy(cloud, 10, method="exact")):
        with pytest.raises(gyrant.InputError):
            call()


def test_surface_shards_add_up_within_float32_summation_error(client, sphere):
    shards = gd.shard_surface(sphere, 8)
    assert sum(len(s) for s in shards) == len(sphere)
    # Morton-contiguous shards are tight: a split at random gives 8 boxes each about as large as
    # the whole (its triangles are all over the sphere); these add up to under half of that.
    volume = [np.prod(np.ptp(s.bounds, axis=0)) for s in shards]
    assert sum(volume) < 0.5 * 8 * np.prod(np.ptp(sphere.bounds, axis=0))
    q = queries(20_000, seed=1)
    exact = float("inf")  # every pair summed: the shards change only the order of the sum
    sharded = gd.winding_numbers(sphere, q, surface_shards=8, beta=exact, chunk_size=5000).compute()
    whole = gyrant.winding_numbers(sphere, q, beta=exact, progress=False)
    # Each sum of n float32 terms is within (n - 1) u sum|terms| of the exact one (u = 2^-24). Seen
    # from any point, a convex closed surface's terms add up in absolute value to at most 1 (rays
    # cross it at most twice, entering and leaving), so the two sums differ by at most
    # 2 (n - 1) u = 1.5e-4 for the 1280 triangles.
    bound = 2 * (len(sphere) - 1) * 2.0**-24
    assert np.abs(sharded - whole).max() <= bound
    # With the default hierarchical sum each shard's tree approximates on its own: within the
    # engine's accuracy of the exact value instead.
    approximate = gd.winding_numbers(sphere, q, surface_shards=8, chunk_size=5000).compute()
    assert np.abs(approximate - whole).max() < 5e-3


def test_batch_over_three_mesh_files(client, tmp_path):
    trimesh = pytest.importorskip("trimesh")
    sources = []
    for name, radius in (("small.obj", 0.5), ("large.ply", 2.0)):
        v, f = icosphere(2, radius)
        sources.append(tmp_path / name)
        trimesh.Trimesh(v, f, process=False).export(str(sources[-1]))
    sources.append(DATA_DIR / "elephant.off")
    out = tmp_path / "out"
    out.mkdir()
    tasks = gd.batch("sample", sources, out, count=3000, near_fraction=0.25, seed=2)
    results = client.gather(client.compute(tasks))
    assert [r["error"] for r in results] == [None] * 3
    for source in sources:
        with np.load(out / (source.stem + ".npz")) as written:
            expected = gyrant.sample_occupancy(source, 3000, near_fraction=0.25, seed=2, progress=False)
            np.testing.assert_array_equal(written["points"], expected.points)
            np.testing.assert_array_equal(written["inside"], expected.inside)
    # A file that turns out unreadable is reported in its own result; the others are written.
    (tmp_path / "broken.off").write_text("OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n")
    broken = client.gather(client.compute(gd.batch("voxelize", [tmp_path / "broken.off"], out, resolution=8)))
    assert "face index is out of range" in broken[0]["error"] and not (out / "broken.npz").exists()


def test_a_killed_worker_leaves_the_result_unchanged(client):
    mesh = gyrant.read_surface(DATA_DIR / "elephant.off")
    q = queries(600_000, seed=2) * 0.4
    expected = gyrant.winding_numbers(mesh, q, progress=False)
    future = client.compute(gd.winding_numbers(mesh, q, chunk_size=20_000))
    pids = client.run(os.getpid)
    deadline = time.monotonic() + 60
    while not any(client.processing().values()):
        assert time.monotonic() < deadline
        time.sleep(0.01)
    victim = next(w for w, keys in client.processing().items() if keys)
    os.kill(pids[victim], signal.SIGKILL)
    assert not future.done()
    np.testing.assert_array_equal(future.result(timeout=300), expected)


def test_bad_input_fails_before_anything_is_submitted(client, sphere, tmp_path):
    v, f = icosphere(1)
    v[3, 0] = np.nan
    with pytest.raises(gyrant.InputError) as in_process:
        gyrant.winding_numbers((v, f), queries(10), progress=False)
    with pytest.raises(gyrant.InputError) as on_cluster:
        gd.winding_numbers((v, f), queries(10))
    assert str(on_cluster.value) == str(in_process.value)
    for call in (lambda: gd.winding_numbers(sphere, np.zeros((5, 2))),
                 lambda: gd.winding_numbers(sphere, queries(10), surface_shards=10_000),
                 lambda: gd.voxelize(sphere, 1),
                 lambda: gd.sample_occupancy(sphere, 10, near_fraction=3),
                 lambda: gd.batch("sample", [DATA_DIR / "missing.off"], tmp_path),
                 lambda: gd.batch("sample", [DATA_DIR / "elephant.off"], tmp_path, count=-1),
                 lambda: gd.batch("voxelize", [DATA_DIR / "elephant.off"], tmp_path, format=".ply")):
        with pytest.raises(gyrant.InputError):
            call()
    assert not list(tmp_path.iterdir())
    # Values inside a lazy array are only seen by its task, which says which row.
    bad = queries(30)
    bad[17, 2] = np.inf
    with pytest.raises(gyrant.InputError, match="row 17"):
        gd.winding_numbers(sphere, bad, chunk_size=8).compute()


def test_command_line_on_local_workers_matches_in_process(tmp_path):
    env = dict(os.environ)
    paths = [str(pathlib.Path(gyrant_module.__file__).parent), str(pathlib.Path(gyrant.__file__).parents[1])]
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    outputs = {}
    for name, extra in (("local", []), ("cluster", ["--workers", "2", "--chunk-size", "4096"])):
        outputs[name] = tmp_path / f"{name}.npz"
        run = subprocess.run([sys.executable, "-m", "gyrant", "voxelize", str(DATA_DIR / "elephant.off"), "-o",
                              str(outputs[name]), "-r", "40", "--no-progress", *extra],
                             capture_output=True, text=True, env=env, timeout=600)
        assert run.returncode == 0, run.stderr
    with np.load(outputs["local"]) as a, np.load(outputs["cluster"]) as b:
        np.testing.assert_array_equal(a["winding_numbers"], b["winding_numbers"])


def test_command_runner_builds_one_engine_per_worker_and_shares_the_blocks(client, tmp_path):
    zarr = pytest.importorskip("zarr")
    import argparse

    from gyrant import commands, io

    v, f = icosphere(3)
    surface = gyrant.Surface.from_mesh(v * 1.5, f)  # a token no earlier test used
    taken = lambda: client.run(lambda: gd.kept_count)  # noqa: E731
    before = taken()
    args = argparse.Namespace(scheduler=client.scheduler.address, workers=None, no_progress=True, beta=None,
                              surface_shards=1, chunk_size=None, zarr_chunk=8)
    runner = gd.CommandRunner(args)
    try:
        origin, spacing, shape = gyrant.winding.grid_for(surface.bounds, 48, 0.05)
        # Small store chunks: far more blocks than one window of tasks.
        target = io.zarr_array(zarr.open_group(str(tmp_path / "g.zarr"), mode="w"), "wn", shape, np.float32, (8, 8, 8))
        runner.grid(surface, origin, spacing, shape, target)
        # One store chunk for the whole grid: it is still split among the workers.
        single = runner.grid(surface, origin, spacing, shape, commands._Occupancy(
            io.zarr_array(zarr.open_group(str(tmp_path / "o.zarr"), mode="w"), "in", shape, bool, (64,) * 3)))
    finally:
        after = taken()
        runner.close()
    assert all(after[w] - before[w] <= 1 for w in after)
    expected = gyrant.voxelize(surface, 48, progress=False).values
    np.testing.assert_array_equal(target[...], expected)
    np.testing.assert_array_equal(single.values.target[...], expected > 0.5)


def test_sample_on_workers_honours_surface_shards(client, sphere):
    many = gd.sample_occupancy(sphere, 5000, seed=4, surface_shards=4)
    one = gyrant.sample_occupancy(sphere, 5000, seed=4, progress=False)
    np.testing.assert_array_equal(many.points.compute(), one.points)
    shards = gd.shard_surface(sphere, 4)
    expected = sum(exact_values(s, one.points) for s in shards)
    np.testing.assert_allclose(many.winding_numbers.compute(), expected, atol=2e-3)


def exact_values(surface, points):
    return gyrant._device.to_numpy(surface.engine().brute_force(gyrant._device.to_device(surface.local(points))))
