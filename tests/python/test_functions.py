"""The package's chunked functions: chunking changes nothing, streamed grids stay within their
blocks, samples follow their seed, bad queries are refused before any work."""
import tracemalloc

import numpy as np
import pytest

import gyrant
from conftest import icosphere
from gyrant import _device, winding


@pytest.fixture(scope="module")
def sphere():
    v, f = icosphere(2)
    return gyrant.Surface.from_mesh(v, f, name="sphere")


def test_chunks_give_the_same_winding_numbers_as_one_call(sphere):
    rng = np.random.default_rng(0)
    q = rng.uniform(-1.5, 1.5, (10_007, 3))
    whole = _device.to_numpy(sphere.engine().compute(_device.to_device(q.astype(np.float32))))
    np.testing.assert_array_equal(gyrant.winding_numbers(sphere, q, chunk_size=1000, progress=False), whole)
    out = np.full(len(q), np.nan, np.float32)
    assert gyrant.winding_numbers(sphere, q, chunk_size=4096, progress=False, out=out) is out
    np.testing.assert_array_equal(out, whole)
    # The same surface from other forms.
    for form in ((sphere.vertices, sphere.faces), sphere.triangles()):
        np.testing.assert_array_equal(gyrant.winding_numbers(form, q[:100], progress=False), whole[:100])


def test_bad_queries_fail_before_any_work(sphere):
    q = np.zeros((5000, 3))
    q[4321, 1] = np.inf
    out = np.full(len(q), -7.0, np.float32)
    with pytest.raises(gyrant.InputError, match="row 4321"):
        gyrant.winding_numbers(sphere, q, chunk_size=1000, progress=False, out=out)
    assert (out == -7.0).all()
    for bad in (np.zeros((4, 2)), np.array([["a", "b", "c"]])):
        with pytest.raises(gyrant.InputError):
            gyrant.winding_numbers(sphere, bad, progress=False)


class RecordingArray:
    """A Zarr array that records the blocks written to it."""

    def __init__(self, target):
        self.target, self.shape, self.chunks, self.blocks = target, target.shape, target.chunks, []

    def __setitem__(self, key, value):
        self.blocks.append(key)
        self.target[key] = value


def test_zarr_grid_streams_in_bounded_chunk_aligned_blocks(tmp_path, sphere):
    zarr = pytest.importorskip("zarr")
    from gyrant import io

    n, chunk, budget = 96, 16, 16 * 16 * 32
    group = zarr.open_group(str(tmp_path / "grid.zarr"), mode="w")
    # A first small grid loads what the first write needs (codecs, the progress bar).
    gyrant.voxelize(sphere, 8, progress=False, out=io.zarr_array(group, "warm", (8, 8, 8), np.float32, (4, 4, 4)))
    target = RecordingArray(io.zarr_array(group, "wn", (n, n, n), np.float32, (chunk,) * 3))
    tracemalloc.start()
    grid = gyrant.voxelize(sphere, n, chunk_size=budget, progress=False, out=target)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    # Every block is whole chunks, within the budget, and each chunk is written once.
    sizes = [np.prod([s.stop - s.start for s in key]) for key in target.blocks]
    assert max(sizes) <= budget and sum(sizes) == n**3
    assert all(s.start % chunk == 0 and s.stop % chunk == 0 for key in target.blocks for s in key)
    stored = [p for p in (tmp_path / "grid.zarr" / "wn").rglob("*") if p.is_file() and p.name != "zarr.json"]
    assert len(stored) == (n // chunk) ** 3
    # Memory: Python held about one block's queries and results at a time (16 B a node, 128 KiB),
    # not the 3.4 MiB grid.
    assert peak < n**3 * 4 / 8
    np.testing.assert_array_equal(target.target[...], gyrant.voxelize(sphere, n, progress=False).values)
    assert grid.values is target


def test_grids_cover_the_padded_box(sphere):
    grid = gyrant.voxelize(sphere, (9, 5, 3), padding=0.25, progress=False)
    assert grid.shape == (9, 5, 3)
    lo, hi = sphere.bounds
    np.testing.assert_allclose(grid.bounds, [lo - 0.25 * 2, hi + 0.25 * 2], rtol=1e-6)
    cube = gyrant.voxelize(sphere, 5, padding=0, progress=False)
    np.testing.assert_allclose(cube.axes()[0], np.linspace(lo.min(), hi.max(), 5), atol=1e-6)
    for bad in (1, 2.5, (4, 4), (4, 4, 1)):
        with pytest.raises(gyrant.InputError):
            gyrant.voxelize(sphere, bad, progress=False)


def test_samples_follow_the_seed_whatever_the_chunks(sphere):
    n = winding.SAMPLE_BLOCK + 1234
    a = gyrant.sample_occupancy(sphere, n, near_fraction=0.25, sigma=0.02, seed=11, progress=False)
    b = gyrant.sample_occupancy(sphere, n, near_fraction=0.25, sigma=0.02, seed=11, chunk_size=1, progress=False)
    np.testing.assert_array_equal(a.points, b.points)
    assert a.uniform == n - round(0.25 * n)
    radius = np.linalg.norm(a.points, axis=1)
    uniform, near = radius[: a.uniform], radius[a.uniform :]
    # Uniform rows fill the padded cube; near rows lie within a few sigma (0.02 x diagonal 3.46)
    # of the unit sphere.
    assert (np.abs(a.points[: a.uniform]) <= 1.1 + 1e-6).all() and uniform.max() > 1.5
    assert np.abs(near - 1).max() < 6 * 0.02 * np.sqrt(12)
    np.testing.assert_array_equal(a.inside, a.winding_numbers > 0.5)
    assert (a.inside == (radius < 0.95))[np.abs(radius - 0.98) > 0.05].all()
    c = gyrant.sample_occupancy(sphere, 100, seed=12, progress=False)
    assert not np.array_equal(c.points, a.points[:100])


def test_reconstruct_from_points_with_unit_normals():
    pytest.importorskip("skimage")
    rng = np.random.default_rng(4)
    p = rng.normal(size=(4000, 3))
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    mesh = gyrant.reconstruct(p, p, resolution=32, progress=False)
    v0, v1, v2 = (mesh.vertices[mesh.faces[:, k]].astype(np.float64) for k in range(3))
    volume = np.einsum("ij,ij->i", v0, np.cross(v1, v2)).sum() / 6
    assert volume == pytest.approx(4 / 3 * np.pi, rel=0.05)
    assert np.abs(np.linalg.norm(mesh.vertices, axis=1) - 1).max() < 0.1
