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
    hierarchical = {"method": "hierarchical", "progress": False}
    np.testing.assert_array_equal(gyrant.winding_numbers(sphere, q, chunk_size=1000, **hierarchical), whole)
    out = np.full(len(q), np.nan, np.float32)
    assert gyrant.winding_numbers(sphere, q, chunk_size=4096, out=out, **hierarchical) is out
    np.testing.assert_array_equal(out, whole)
    # The same surface from other forms.
    for form in ((sphere.vertices, sphere.faces), sphere.triangles()):
        np.testing.assert_array_equal(gyrant.winding_numbers(form, q[:100], **hierarchical), whole[:100])


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


@pytest.mark.parametrize("method", ["hierarchical", "exact"])
def test_zarr_grid_streams_in_bounded_chunk_aligned_blocks(tmp_path, sphere, method):
    zarr = pytest.importorskip("zarr")
    from gyrant import io

    n, chunk, budget = 96, 16, 16 * 16 * 32
    group = zarr.open_group(str(tmp_path / "grid.zarr"), mode="w")
    # A first small grid loads what the first write needs (codecs, the progress bar).
    gyrant.voxelize(sphere, 8, progress=False, out=io.zarr_array(group, "warm", (8, 8, 8), np.float32, (4, 4, 4)))
    target = RecordingArray(io.zarr_array(group, "wn", (n, n, n), np.float32, (chunk,) * 3))
    tracemalloc.start()
    grid = gyrant.voxelize(sphere, n, chunk_size=budget, progress=False, out=target, method=method)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    # Every block is whole chunks, within the budget, and each chunk is written once.
    sizes = [np.prod([s.stop - s.start for s in key]) for key in target.blocks]
    assert max(sizes) <= budget and sum(sizes) == n**3
    assert all(s.start % chunk == 0 and s.stop % chunk == 0 for key in target.blocks for s in key)
    stored = [p for p in (tmp_path / "grid.zarr" / "wn").rglob("*") if p.is_file() and p.name != "zarr.json"]
    # Zarr stores no chunk that is all fill value (0): exact grids have many outside the sphere.
    values = target.target[...].reshape(n // chunk, chunk, n // chunk, chunk, n // chunk, chunk)
    assert len(stored) == int((values != 0).any(axis=(1, 3, 5)).sum())
    # Memory: Python held about one block's queries and results at a time (16 B a node, 128 KiB),
    # not the 3.4 MiB grid.
    assert peak < n**3 * 4 / 8
    np.testing.assert_array_equal(target.target[...], gyrant.voxelize(sphere, n, progress=False, method=method).values)
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


def exact(surface, queries):
    """The surface's winding numbers summed exactly, in its own frame."""
    e = -1.0 if surface.epsilon is None else surface.epsilon
    return _device.to_numpy(surface.engine().brute_force(_device.to_device(surface.local(queries)), e))


def test_inputs_are_what_they_say_they_are(sphere):
    trimesh = pytest.importorskip("trimesh")
    v, f = sphere.vertices, sphere.faces
    q = np.array([[0.0, 0.0, 0.0], [2.0, 0.0, 0.0], [0.1, 0.2, 0.1]])
    # A pair is (vertices, faces): whole-number float faces (np.loadtxt) are indices.
    np.testing.assert_allclose(gyrant.winding_numbers((v, f.astype(float)), q, progress=False), [1, 0, 1], atol=2e-3)
    with pytest.raises(gyrant.InputError, match="points="):
        gyrant.winding_numbers((v, v), q, progress=False)
    assert gyrant.as_surface([v[f[0]].tolist(), v[f[1]].tolist()]).kind == "mesh"  # a list of two triangles
    # Points and normals by keyword; integer normals are normals.
    cloud = gyrant.as_surface(points=v, normals=np.sign(v).astype(int))
    assert cloud.kind == "points" and len(cloud) == len(v)
    # A Scene, a Trimesh, a pair and a PointCloud go to every function that takes their kind.
    tm = trimesh.Trimesh(v, f, process=False)
    for form in (tm, trimesh.Scene([tm])):
        np.testing.assert_allclose(gyrant.winding_numbers(form, q, progress=False), [1, 0, 1], atol=2e-3)
    assert len(gyrant.orient(trimesh.PointCloud(v), progress=False)) == len(v)
    assert len(gyrant.orient((v, f), progress=False)) == len(v)


def test_unit_normals_are_read_as_unit_everywhere():
    rng = np.random.default_rng(3)
    p = rng.normal(size=(3000, 3))
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    q = rng.uniform(-1.6, 1.6, (2000, 3))
    r = np.linalg.norm(q, axis=1)
    normals = p.copy()
    normals[5] = 0.0  # one point without a normal leaves the verdict alone
    for kind in ("auto", "unit"):
        w = gyrant.winding_numbers(points=p, normals=normals, normals_kind=kind, queries=q, progress=False)
        clear = np.abs(r - 1) > 0.1
        np.testing.assert_array_equal((w > 0.5)[clear], (r < 1)[clear])
    scaled = gyrant.as_surface(points=p, normals=p, normals_kind="scaled")
    np.testing.assert_allclose(scaled.primitive_areas(), 1.0, rtol=1e-6)
    with pytest.raises(gyrant.InputError):
        gyrant.as_surface(points=p, normals=p, normals_kind="unitary")


def test_far_offsets_keep_their_accuracy(sphere):
    shift = np.array([1e6, -2e6, 3e6])
    far = gyrant.as_surface((sphere.vertices.astype(np.float64) + shift, sphere.faces))
    q = np.random.default_rng(1).uniform(-1.3, 1.3, (3000, 3))
    near_values = exact(sphere, q)
    far_values = gyrant.winding_numbers(far, q + shift, progress=False)
    np.testing.assert_allclose(far_values, near_values, atol=2e-3)  # the hierarchy's own error
    np.testing.assert_allclose(far.bounds, sphere.bounds + shift, rtol=0, atol=1e-6)
    grid = gyrant.voxelize(far, 9, progress=False)
    np.testing.assert_allclose(grid.values, gyrant.voxelize(sphere, 9, progress=False).values, atol=2e-3)


def test_torch_tensors_are_queries():
    torch = pytest.importorskip("torch")
    v, f = icosphere(2)
    q = np.random.default_rng(2).uniform(-1.5, 1.5, (500, 3))
    values = gyrant.winding_numbers((v, f), torch.tensor(q, requires_grad=True), progress=False)
    assert isinstance(values, torch.Tensor)
    np.testing.assert_array_equal(values.numpy(), gyrant.winding_numbers((v, f), q, progress=False))


def test_a_surface_cannot_go_stale_nor_be_built_unchecked(sphere):
    v = sphere.vertices.copy()
    s = gyrant.Surface.from_mesh(v, sphere.faces)
    with pytest.raises(ValueError):
        s.vertices[:] *= 3
    v *= 3  # the caller's own array stays theirs, and the surface does not follow it
    assert v.flags.writeable and np.abs(s.vertices).max() <= 1.0 + 1e-6
    for bad in (("mesh", v, sphere.faces + 10_000), ("points", v, v[:5]), ("cube", v, v)):
        with pytest.raises(gyrant.InputError):
            gyrant.Surface(*bad)


def test_a_store_chunk_larger_than_the_chunk_size_is_evaluated_in_chunks(sphere, monkeypatch):
    zarr = pytest.importorskip("zarr")
    from gyrant import io

    calls = []
    evaluate = winding.evaluate
    monkeypatch.setattr(winding, "evaluate", lambda s, q, *a: calls.append(len(q)) or evaluate(s, q, *a))
    target = io.zarr_array(zarr.group(), "wn", (24, 24, 24), np.float32, (24, 24, 24))
    gyrant.voxelize(sphere, 24, chunk_size=1000, progress=False, out=target, method="hierarchical")
    assert max(calls) <= 1000 and sum(calls) == 24**3
    expected = gyrant.voxelize(sphere, 24, progress=False, method="hierarchical").values
    np.testing.assert_array_equal(target[...], expected)


def test_voxelize_and_reconstruct_share_one_resolution_convention(sphere):
    origin, spacing, shape = winding.grid_for(sphere.bounds, 40, 0.1)
    fit = winding.reconstruction_grid(sphere, 40, 0.1)
    np.testing.assert_allclose(fit[1], spacing)
    assert max(fit[2]) == 40 and shape == (40, 40, 40)
    assert winding.reconstruction_grid(sphere, (20, 30, 40), 0.1)[2] == (20, 30, 40)
