"""Files in and out of the gyrant package: every input format round-trips through files written
by trimesh or NumPy, gyrant's own outputs read back unchanged, and bad files are refused with one
line naming them."""
import numpy as np
import pytest

import gyrant
from conftest import icosphere
from gyrant import io

trimesh = pytest.importorskip("trimesh")


def sphere_mesh():
    v, f = icosphere(2)
    return v.astype(np.float32), f


@pytest.mark.parametrize("suffix", [".obj", ".ply", ".stl", ".off", ".glb"])
def test_mesh_formats_round_trip(tmp_path, suffix):
    v, f = sphere_mesh()
    path = tmp_path / f"sphere{suffix}"
    trimesh.Trimesh(v, f, process=False).export(str(path))
    surface = gyrant.read_surface(path)
    assert surface.kind == "mesh" and len(surface) == len(f)
    # Text formats keep about eight digits; STL stores a soup, so triangles are what to compare.
    np.testing.assert_allclose(surface.triangles(), v[f], atol=1e-6)


def test_polygons_are_triangulated(tmp_path):
    # A unit square and a pentagon (area 1 + 0.25) in one OFF file.
    path = tmp_path / "polygons.off"
    path.write_text("OFF\n9 2 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n"
                    "0 0 1\n1 0 1\n1 1 1\n0.5 1.5 1\n0 1 1\n4 0 1 2 3\n5 4 5 6 7 8\n")
    surface = gyrant.read_surface(path)
    assert len(surface) == 2 + 3
    assert surface.primitive_areas().sum() == pytest.approx(2.25)


def test_point_formats_round_trip(tmp_path):
    rng = np.random.default_rng(1)
    p = rng.normal(size=(300, 3)).astype(np.float32)
    n = p / np.linalg.norm(p, axis=1, keepdims=True)
    trimesh.PointCloud(p).export(str(tmp_path / "a.ply"))
    trimesh.PointCloud(p).export(str(tmp_path / "a.xyz"))
    np.savetxt(tmp_path / "b.xyz", np.c_[p, n], fmt="%.9g")
    np.save(tmp_path / "a.npy", p)
    np.save(tmp_path / "b.npy", np.c_[p, n])
    for name, normals in (("a.ply", None), ("a.xyz", None), ("b.xyz", n), ("a.npy", None), ("b.npy", n)):
        cloud = gyrant.read_points(tmp_path / name)
        np.testing.assert_allclose(cloud.points, p, atol=1e-6, err_msg=name)
        if normals is None:
            assert cloud.normals is None, name
        else:
            np.testing.assert_allclose(cloud.normals, normals, atol=1e-6, err_msg=name)
    # A mesh file gives its vertices as points.
    v, f = sphere_mesh()
    trimesh.Trimesh(v, f, process=False).export(str(tmp_path / "m.off"))
    np.testing.assert_allclose(gyrant.read_points(tmp_path / "m.off").points, v, atol=1e-6)


def test_written_clouds_and_meshes_read_back(tmp_path):
    rng = np.random.default_rng(2)
    p = rng.normal(size=(200, 3)).astype(np.float32)
    unit = (p / np.linalg.norm(p, axis=1, keepdims=True)).astype(np.float32)
    areas = rng.uniform(0.01, 0.02, 200).astype(np.float32)
    scaled = unit * areas[:, None]
    io.write_ply_points(tmp_path / "o.ply", p, [("nx", unit[:, 0]), ("ny", unit[:, 1]), ("nz", unit[:, 2]),
                                               ("area", areas)])
    io.write_npz(tmp_path / "o.npz", {"points": p, "normals": unit, "areas": areas, "epsilon": np.float64(0.01)})
    for name in ("o.ply", "o.npz"):
        surface = gyrant.read_surface(tmp_path / name)
        assert surface.kind == "points"
        np.testing.assert_array_equal(surface.points, p)
        np.testing.assert_allclose(surface.normals, scaled, rtol=1e-6, atol=1e-9)
    assert gyrant.read_surface(tmp_path / "o.npz").epsilon == 0.01
    v, f = sphere_mesh()
    for suffix in (".ply", ".npz", ".obj", ".stl", ".off", ".glb"):
        io.write_mesh(tmp_path / f"m{suffix}", v, f)
        back = gyrant.read_surface(tmp_path / f"m{suffix}")
        np.testing.assert_allclose(back.triangles(), v[f], atol=1e-6, err_msg=suffix)
    assert not list(tmp_path.glob(".*partial*"))


def test_unit_normals_get_areas_from_the_density():
    # Points even at random on the unit sphere, unit normals: the estimated areas add up to the
    # sphere's, and the winding number is 1 inside and 0 outside.
    rng = np.random.default_rng(3)
    p = rng.normal(size=(20000, 3))
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    surface = gyrant.Surface.from_points(p, p, areas="estimate")
    assert surface.primitive_areas().sum() == pytest.approx(4 * np.pi, rel=0.03)
    wn = gyrant.winding_numbers(surface, [[0, 0, 0], [0.5, 0.2, 0.1], [2, 0, 0], [0, 0, -3]], progress=False)
    np.testing.assert_allclose(wn, [1, 1, 0, 0], atol=0.02)


BAD_FILES = {
    "missing.off": None,
    "mesh.abc": "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n",
    "empty.off": "OFF\n3 0 0\n0 0 0\n1 0 0\n0 1 0\n",
    "nan.off": "OFF\n3 1 0\n0 0 nan\n1 0 0\n0 1 0\n3 0 1 2\n",
    "index.off": "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n",
    "truncated.off": "OFF\n3 2 0\n0 0 0\n1 0 0\n",
    "garbage.stl": "this is not an STL file\n",
    "ragged.xyz": "0 0 0\n1 1\n",
    "columns.xyz": "0 0 0 1\n",
    "inf.xyz": "0 0 0\n1 inf 0\n",
    "empty.ply": "ply\nformat ascii 1.0\nelement vertex 0\nproperty float x\nproperty float y\nproperty float z\nend_header\n",
}


@pytest.mark.parametrize("name", sorted(BAD_FILES))
def test_bad_files_are_refused_in_one_line(tmp_path, name):
    path = tmp_path / name
    if BAD_FILES[name] is not None:
        path.write_text(BAD_FILES[name])
    with pytest.raises(gyrant.InputError) as caught:
        gyrant.read_surface(path)
    message = str(caught.value)
    assert str(path) in message and "\n" not in message


def test_bad_arrays_are_refused():
    v, f = sphere_mesh()
    for args in ((v, f + 1000), (v[:, :2], f), (v, f[:0]), (np.full_like(v, np.nan), f)):
        with pytest.raises(gyrant.InputError):
            gyrant.Surface.from_mesh(*args)
    with pytest.raises(gyrant.InputError, match="3 points but 2 normals"):
        gyrant.Surface.from_points(v[:3], v[:2])
