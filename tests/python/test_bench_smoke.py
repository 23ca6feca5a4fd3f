"""The benchmark's surfaces, metrics and command line, on tiny sizes."""
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BENCH = os.path.join(REPO, "bench")
sys.path.insert(0, BENCH)

import measure  # noqa: E402
import workloads  # noqa: E402

needs_libigl = pytest.mark.skipif(measure.igl is None, reason="libigl is not installed")


def solid_angle_wn(vertices, faces, queries):
    """Float64 winding number: sum of signed solid angles over 4 pi (Van Oosterom-Strackee)."""
    out = np.zeros(len(queries))
    for i, q in enumerate(np.asarray(queries, np.float64)):
        a, b, c = (vertices[faces[:, k]] - q for k in range(3))
        la, lb, lc = (np.linalg.norm(x, axis=1) for x in (a, b, c))
        det = np.einsum("ij,ij->i", a, np.cross(b, c))
        d = la * lb * lc + (a * b).sum(1) * lc + (a * c).sum(1) * lb + (b * c).sum(1) * la
        out[i] = np.arctan2(det, d).sum() / (2.0 * math.pi)
    return out


# Probe points of the bumpy torus: inside the tube, in the hole, far outside.
TUBE, HOLE, FAR = [1.0, 0.0, 0.0], [0.0, 0.0, 0.0], [3.0, 0.5, 0.2]


def test_procedural_surfaces_have_the_fields_of_their_shapes():
    torus = workloads.bumpy_torus(2000)
    assert torus.size == 1980 and workloads.boundary_edge_count(torus.faces) == 0
    # Closed and counter-clockwise outside: exactly 1 inside the tube, 0 elsewhere.
    np.testing.assert_allclose(solid_angle_wn(torus.vertices, torus.faces, [TUBE, HOLE, FAR]),
                               [1.0, 0.0, 0.0], atol=1e-9)

    tube = workloads.open_torus(2000)
    _, nv = workloads.torus_dims(2000)
    assert workloads.boundary_edge_count(tube.faces) == 2 * nv  # the two rims
    middle = [math.cos(0.75 * math.pi), math.sin(0.75 * math.pi), 0.0]
    wn = solid_angle_wn(tube.vertices, tube.faces, [middle, TUBE, [0.0, -1.0, 0.0]])
    # Halfway along, the tube still nearly encloses the point; at both rims it is cut in half.
    assert wn[0] > 0.9 and abs(wn[1] - 0.5) < 0.05 and abs(wn[2] - 0.5) < 0.05

    cloud = workloads.torus_cloud(2000)
    areas = np.linalg.norm(cloud.normals, axis=1)
    fine = workloads.bumpy_torus(50_000)
    surface_area = np.linalg.norm(workloads.face_area_vectors(fine.vertices, fine.faces), axis=1).sum()
    # The coarse sampling and the cancelling of face shares on the curved surface: a few percent.
    assert areas.sum() == pytest.approx(surface_area, rel=0.05)
    # A dipole sum over samples 0.05 apart approximates the surface integral to about 1e-2.
    np.testing.assert_allclose(measure.exact_points(cloud.points, cloud.normals, [TUBE, HOLE, FAR], 0.0),
                               [1.0, 0.0, 0.0], atol=1e-2)

    soup = workloads.triangle_soup(300)
    assert soup.kind == "soup" and soup.triangles().shape == (300, 3, 3)
    # Everything is float32-exact, so float32 and float64 consumers see the same geometry.
    assert np.array_equal(soup.vertices, soup.vertices.astype(np.float32).astype(np.float64))


def test_midpoint_subdivision_keeps_the_surface():
    torus = workloads.bumpy_torus(500)
    v, f = workloads.midpoint_subdivide(torus.vertices, torus.faces)
    edges = 3 * len(torus.faces) // 2
    assert len(f) == 4 * len(torus.faces) and len(v) == len(torus.vertices) + edges
    assert workloads.boundary_edge_count(f) == 0  # shared midpoints: still watertight
    q = workloads.uniform_queries(torus, 20, seed=3)
    # Same geometry, so the same winding numbers up to float64 summation order.
    np.testing.assert_allclose(solid_angle_wn(v, f, q), solid_angle_wn(torus.vertices, torus.faces, q),
                               atol=1e-9)
    v2, f2 = workloads.refine_to(torus.vertices, torus.faces, 10 * len(torus.faces))
    assert 5 * len(torus.faces) <= len(f2) <= 20 * len(torus.faces)

    flipped = workloads.orient_outward(torus.vertices, torus.faces[:, ::-1])
    assert workloads.signed_volume(torus.vertices, flipped) > 0


def test_file_readers(tmp_path):
    off = tmp_path / "quad.off"
    # Counts on the keyword line, a comment, a quad and a coloured triangle.
    off.write_text("OFF 5 2 0\n# corners\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n\n0.5 0.5 1\n"
                   "4 0 1 2 3\n3 0 1 4 255 0 0\n")
    v, f = workloads.read_off(str(off))
    assert v.shape == (5, 3)
    assert f.tolist() == [[0, 1, 2], [0, 2, 3], [0, 1, 4]]
    (tmp_path / "short.off").write_text("OFF\n4 2 0\n0 0 0\n1 0 0\n")
    with pytest.raises(ValueError, match="truncated"):
        workloads.read_off(str(tmp_path / "short.off"))

    # A scan sampled evenly on the unit square: k-NN areas add up to about its area.
    rng = np.random.default_rng(0)
    pts = np.c_[rng.random((2000, 2)), np.zeros(2000)]
    xyz = tmp_path / "plane.xyz"
    np.savetxt(xyz, np.c_[pts, np.tile([0.0, 0.0, 2.0], (2000, 1))])
    scan = workloads.load_scan(str(xyz), "plane", "scan", "test")
    # Unit normals are rescaled to areas; points near the border see fewer neighbours (+5%).
    assert np.allclose(scan.normals[:, :2], 0.0) and np.all(scan.normals[:, 2] > 0)
    assert scan.normals[:, 2].sum() == pytest.approx(1.0, rel=0.1)


def test_queries_fill_the_box_or_hug_the_surface():
    torus = workloads.bumpy_torus(2000)
    lo, hi = torus.bounds()
    u = workloads.uniform_queries(torus, 4000, seed=1)
    assert u.dtype == np.float32 and u.shape == (4000, 3)
    margin = workloads.BOX_MARGIN * (hi - lo)
    assert np.all(u >= lo - margin - 1e-6) and np.all(u <= hi + margin + 1e-6)
    assert np.all(u.min(0) < lo) and np.all(u.max(0) > hi)  # the margin is used
    near = workloads.near_queries(torus, 4000, seed=1)
    # The tube's distance field: |dist to the core circle - local radius| stays within a few sigma.
    sigma = workloads.NEAR_SIGMA * np.linalg.norm(hi - lo)
    core = np.hypot(np.hypot(near[:, 0], near[:, 1]) - 1.0, near[:, 2])
    assert np.percentile(np.abs(core - 0.35), 50) < 0.35 * 0.25 + 3 * sigma
    assert np.array_equal(near, workloads.near_queries(torus, 4000, seed=1))  # seeded


def test_error_metrics_count_flips_and_nonfinite_values():
    ref = np.array([0.0, 1.0, 0.49, 0.51, 0.2])
    e = measure.errors(np.array([0.01, 0.98, 0.51, 0.51, np.nan]), ref)
    assert e["max"] == pytest.approx(0.02) and e["mean"] == pytest.approx(0.0125)
    assert e["flips"] == pytest.approx(0.2) and e["nonfinite"] == 1  # NaN is not "inside"
    with pytest.raises(ValueError):
        measure.errors(np.zeros(3), np.zeros(4))


def test_point_reference_kernel_regimes():
    p = np.array([[0.0, 0.0, 0.0]])
    n = np.array([[0.0, 0.0, 1.0]])
    eps = 0.01
    q = np.array([[0.0, 0.0, -0.05], [0.0, 0.0, -0.01], [0.0, 0.0, -1e-4], [0.0, 0.0, 0.0]])
    plain = 0.05 ** -2 / (4 * math.pi)
    smoothed = measure.exact_points(p, n, q, eps)
    # From two smoothing radii on, the plain dipole; at one radius, erf(1) - 2/sqrt(pi) e^-1 of it;
    # very close, the finite limit 4/(3 sqrt(pi)) eps^-3 r; on the point itself, nothing.
    s1 = math.erf(1.0) - 2.0 / math.sqrt(math.pi) * math.exp(-1.0)
    expected = [plain, s1 * 0.01 ** -2 / (4 * math.pi),
                4.0 / (3.0 * math.sqrt(math.pi)) * eps ** -3 * 1e-4 / (4 * math.pi), 0.0]
    np.testing.assert_allclose(smoothed, expected, rtol=1e-12)
    assert measure.exact_points(p, n, q[:2], 0.0)[1] == pytest.approx(0.01 ** -2 / (4 * math.pi))


@needs_libigl
def test_bench_command_writes_table_json_and_plot(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    cmd = [sys.executable, os.path.join(BENCH, "run.py"), "--out", str(tmp_path), "--plan", "host",
           "--sizes", "600", "--queries", "700", "--no-real", "--brute-budget", "1"]
    done = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    assert "| torus-600 | mesh |" in done.stdout and "## Accuracy" in done.stdout
    result = json.loads((tmp_path / "bench.json").read_text())
    assert (tmp_path / "bench.md").read_text() in done.stdout
    rows = result["rows"]
    assert [(r["family"], r["kind"], r["query_set"]) for r in rows] == [
        (f, k, q) for f, k in (("torus", "mesh"), ("open", "mesh"), ("soup", "soup"),
                               ("torus points", "points"))
        for q in ("uniform", "near")]
    for r in rows:
        assert r["libigl"]["igl_queries"] == 700 and r["libigl"]["igl_qps"] > 0
        # libigl at its defaults stays within a few 1e-2 of the exact sums on these surfaces.
        assert r["libigl"]["vs_reference"]["max"] < 0.1
    if result["machine"]["flavour"] != "none":
        for r in rows:
            g = r["gyrant"]
            assert "error" not in g, g
            assert g["compute_qps"] > 0 and g["brute_queries"] > 0
            # A mismatch of query order or of results would give errors of order 1; the engine's
            # own accuracy targets are far tighter than this harness check.
            assert g["gyrant_vs_brute"]["max"] < 0.05 and g["gyrant_vs_brute"]["nonfinite"] == 0
            # float32 brute_force against float64 on 600 primitives: rounding of a few 1e-6.
            assert r["reference_vs_exact"]["max"] < 1e-4
    assert (tmp_path / "bench.png").stat().st_size > 0


@needs_libigl
def test_headline_command_compares_both_systems_on_the_same_queries(tmp_path):
    pytest.importorskip("gyrant_module")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    mesh = os.path.join(REPO, "examples", "data", "elephant.off")
    cmd = [sys.executable, os.path.join(BENCH, "run.py"), "--headline", "--out", str(tmp_path),
           "--mesh", mesh, "--refine-to", "20000", "--queries", "1500", "--brute-budget", "0.2",
           "--repeats", "1"]
    done = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    text = (tmp_path / "headline.md").read_text()
    assert text in done.stdout and "--refine-to 20000" in text.splitlines()[2]
    result = json.loads((tmp_path / "headline.json").read_text())
    assert [b["surface"] for b in result["builds"]] == ["elephant-6k", "elephant-22k",
                                                        "elephant-points-3k"]
    # Each mesh row is followed by its exact method's row.
    assert [(r["n"], r["query_set"], r.get("method")) for r in result["rows"]] == [
        (5558, "uniform", None), (5558, "uniform", "exact"), (5558, "near", None), (5558, "near", "exact"),
        (22232, "uniform", None), (22232, "uniform", "exact"), (22232, "near", None),
        (22232, "near", "exact"), (2775, "uniform", None)]
    for r in result["rows"]:
        if r.get("method") == "exact":  # closed meshes: integers, exactly brute_force's rounding
            assert r["exact_path"] == "crossings" and r["gyrant_vs_brute"]["max"] < 1e-4
    for r in result["rows"]:
        assert r["queries"] == 1500 and r["reference_queries"] >= 256
        # Both systems answer the reference's queries: a mix-up of query sets or orders would
        # show errors of order 1.
        for part in ("gyrant_vs_brute", "libigl_vs_brute"):
            assert r[part]["max"] < 0.1 and r[part]["nonfinite"] == 0, (r["surface"], part, r[part])
    brute = result["brute"]
    assert brute["pairs_per_s"] > 0 and brute["brute_vs_float64"]["max"] < 1e-4
    # Every query row says whether gyrant was as accurate as libigl.
    verdicts = [line.rsplit("|", 2)[1].strip() for line in text.splitlines()
                if line.startswith("| elephant") and ("uniform" in line or "near" in line)]
    assert len(verdicts) == 9 and set(verdicts) <= {"yes", "NO"}, verdicts


def test_headline_rejects_options_of_the_other_mode():
    import run
    with pytest.raises(SystemExit):
        run.parse(["--headline", "--sizes", "100"])
    with pytest.raises(SystemExit):
        run.parse(["--refine-to", "1000"])
    assert run.parse(["--headline", "--queries", "10"]).headline


def test_normals_sampling_box_and_agreement():
    import normals
    v, f = workloads.read_off(os.path.join(REPO, "examples", "data", "elephant.off"))
    f = workloads.orient_outward(v, f)
    rng = np.random.default_rng(5)
    points, truth = normals.sample_surface(v, f, 4000, rng)
    np.testing.assert_allclose(np.linalg.norm(truth, axis=1), 1.0, rtol=1e-9)
    # Each sample lies in the plane of the face whose normal it carries (a mix-up of faces and
    # normals would not), and inside the mesh's box.
    lo, hi = v.min(0), v.max(0)
    assert (points >= lo - 1e-12).all() and (points <= hi + 1e-12).all()
    # By area: the share of samples on the upper half follows the upper half's area.
    area = np.linalg.norm(workloads.face_area_vectors(v, f), axis=1)
    upper = v[f].mean(axis=1)[:, 1] > 0
    assert abs((points[:, 1] > 0).mean() - area[upper].sum() / area.sum()) < 0.03
    box = normals.box_points(points)
    assert box.shape == (6 * normals.BOX_GRID ** 2, 3)
    assert (box.min(0) < points.min(0)).all() and (box.max(0) > points.max(0)).all()
    assert normals.agreement(truth, truth) == 1.0 and normals.agreement(-truth, truth) == 0.0
    row = {"noise": 0.0, "gyrant": {"agree": 0.995, "inside_right": 0.98, "time_s": 4.0},
           "open3d": {"agree": 0.999, "time_s": 1.0}}
    assert normals.floor_check(row) == ["agreement below Open3D", "inside/outside below 99%",
                                        "slower than 1.5x Open3D"]


def test_normals_command_on_the_shipped_mesh(tmp_path):
    pytest.importorskip("gyrant_module")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    cmd = [sys.executable, os.path.join(BENCH, "normals.py"), "--out", str(tmp_path),
           "--data-dir", os.path.join(REPO, "examples", "data"), "--only", "elephant",
           "--points", "1500", "--large-points", "0", "--queries", "2000"]
    done = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    assert (tmp_path / "normals.md").read_text() in done.stdout
    assert "CreateFrom" not in done.stdout  # the factories' lines stay out of the table
    result = json.loads((tmp_path / "normals.json").read_text())
    (row,) = result["rows"]
    assert row["case"] == "elephant" and row["points"] == 1500 and row["queries"] == 2000
    g = row["gyrant"]
    # The solver's own tests hold it to far more; here a broken harness (mixed-up points,
    # normals or queries) would score near one half.
    assert g["agree"] > 0.95 and g["inside_right"] > 0.95 and g["nonfinite"] == 0
    assert 0.05 < row["mesh_inside"] < 0.5
    if "open3d" in row:
        # The better of two global signs; 1500 points leave the trunk and legs thin for its
        # propagation (about 83% here), but a sign bug would give under one half.
        assert 0.7 < row["open3d"]["agree"] <= 1.0 and row["open3d"]["time_s"] > 0


def test_gradients_bench_times_every_summed_query(capsys):
    import gradients
    assert gradients.main(["--points", "300", "--queries", "200"]) == 0
    out = capsys.readouterr().out
    for name in ("compute", "gradient", "grad_scaled_normals", "grad_points"):
        assert f"| {name} |" in out
