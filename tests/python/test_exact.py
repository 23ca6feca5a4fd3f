"""compute(method="exact") and compute_grid: crossings along axis rays plus the boundary term,
against a float64 reference and brute_force."""
import pathlib

import numpy as np
import pytest
import trimesh

from gyrant_module import GyrantEngine

FANDISK = pathlib.Path(__file__).resolve().parents[2] / "bench" / "data" / "fandisk.off"


def reference(soup, queries, chunk=256):
    """Float64 sum of Van Oosterom and Strackee's solid angles, written here."""
    t = np.asarray(soup, np.float64)
    out = []
    for q in np.array_split(np.asarray(queries, np.float64), max(1, len(queries) // chunk)):
        a, b, c = (t[None, :, k] - q[:, None] for k in range(3))
        la, lb, lc = (np.linalg.norm(x, axis=-1) for x in (a, b, c))
        det = np.einsum("qti,qti->qt", a, np.cross(b, c))
        d = la * lb * lc + (a * b).sum(-1) * lc + (a * c).sum(-1) * lb + (b * c).sum(-1) * la
        out.append((np.arctan2(det, d) / (2 * np.pi)).sum(1))
    return np.concatenate(out)


def sphere_soup(subdivisions=2, radius=1.0, centre=(0, 0, 0)):
    s = trimesh.creation.icosphere(subdivisions=subdivisions, radius=radius)
    return (s.vertices[s.faces] + np.asarray(centre)).astype(np.float32)


def open_cap(subdivisions=3):
    soup = sphere_soup(subdivisions)
    return soup[soup.mean(axis=1)[:, 2] > -0.2]


def exact(dev, engine, q):
    return dev.to_numpy(engine.compute(dev.array(q), method="exact")).astype(np.float64)


def off_surface(ref, margin=0.02):
    """Queries whose closed-surface reference is clearly away from a jump."""
    return np.abs(ref - np.round(ref)) < margin


SURFACES = {
    "closed": lambda: sphere_soup(),
    "open": lambda: open_cap(),
    # A fin shares one edge of the sphere with two of its triangles: three faces on an edge.
    "non-manifold": lambda: np.concatenate([sphere_soup(), [sphere_soup()[0][[1, 0]].tolist() + [[0.0, 0.0, 2.0]]]]).astype(np.float32),
    # Two overlapping spheres: w reaches 2 where they overlap.
    "self-intersecting": lambda: np.concatenate([sphere_soup(), sphere_soup(centre=(0.6, 0.2, 0.1))]),
}


@pytest.mark.parametrize("kind", SURFACES)
@pytest.mark.parametrize("scale", [1e-4, 1.0, 1e4])
def test_exact_matches_the_float64_reference(dev, kind, scale):
    soup = SURFACES[kind]().astype(np.float64)
    offset = np.array([0.3, -0.2, 0.1]) * scale
    soup32 = (soup * scale + offset).astype(np.float32)
    rng = np.random.default_rng(3)
    q = (rng.uniform(-1.6, 2.2, (1500, 3)) * scale + offset).astype(np.float32)
    engine = GyrantEngine(dev.array(soup32))
    assert engine.exact_path == "crossings"
    w = exact(dev, engine, q)
    ref = reference(soup32, q)
    assert np.abs(w - ref).max() < 1e-4
    if kind in ("closed", "self-intersecting"):
        keep = off_surface(ref)
        assert keep.mean() > 0.9
        np.testing.assert_array_equal(w[keep], np.round(ref[keep]))
        assert engine.boundary_edges == 0
    else:
        assert engine.boundary_edges > 0


def test_soups_weld_and_degenerate_triangles_change_nothing(dev):
    sphere = sphere_soup()
    # Identical coordinates weld: a soup of a closed sphere has no boundary. Degenerate triangles
    # (a repeated vertex, three collinear vertices) add nothing.
    a, b = sphere[0][0], sphere[0][1]
    degenerate = np.array([[a, a, b], [a, (a + b) / 2, b], [b, b, b]], np.float32)
    soup = np.concatenate([sphere, degenerate])
    engine = GyrantEngine(dev.array(soup))
    q = np.random.default_rng(4).uniform(-1.5, 1.5, (2000, 3)).astype(np.float32)
    ref = reference(sphere, q)
    w = exact(dev, engine, q)
    keep = off_surface(ref)
    # The rounded midpoint leaves a sliver of area about 1e-8: its boundary terms are that small.
    assert np.abs(w[keep] - np.round(ref[keep])).max() < 1e-6
    assert np.abs(w - ref).max() < 1e-4
    # Half-way vertices do not weld: a sphere whose triangles are shrunk a little has every edge
    # on its boundary, and its exact value is that of the gapped surface.
    coarse = sphere_soup(0)
    centres = coarse.mean(axis=1, keepdims=True)
    gapped = (centres + 0.98 * (coarse - centres)).astype(np.float32)
    small = GyrantEngine(dev.array(gapped))
    assert small.boundary_edges == 3 * len(gapped) and small.exact_path == "crossings"
    assert np.abs(exact(dev, small, q) - reference(gapped, q)).max() < 1e-4


SHARK = FANDISK.with_name("mech-holes-shark.off")


def holed_sphere(step):
    """An indexed sphere without every step-th face: many holes, some of them merged."""
    s = trimesh.creation.icosphere(subdivisions=3)
    keep = np.arange(len(s.faces)) % step != 0
    return s.vertices.astype(np.float32), s.faces[keep].astype(np.uint32)


def test_long_boundaries_are_summed_exactly(dev):
    # Hundreds of boundary edges: a soup that does not weld, a mesh with many holes, CGAL's shark.
    sphere = sphere_soup(1)
    centres = sphere.mean(axis=1, keepdims=True)
    gapped = (centres + 0.98 * (sphere - centres)).astype(np.float32)
    v, f = holed_sphere(13)
    cases = [(GyrantEngine(dev.array(gapped)), gapped), (GyrantEngine(dev.array(v), dev.array(f, np.uint32)), v[f])]
    if SHARK.exists():
        m = trimesh.load(SHARK, process=False)
        sv, sf = np.asarray(m.vertices, np.float32), np.asarray(m.faces, np.uint32)
        cases.append((GyrantEngine(dev.array(sv), dev.array(sf, np.uint32)), None))
    rng = np.random.default_rng(9)
    for engine, soup in cases:
        assert engine.exact_path == "crossings" and 200 < engine.boundary_edges <= 512
        pts = (soup.reshape(-1, 3) if soup is not None else sv)
        lo, hi = pts.min(0), pts.max(0)
        q = rng.uniform(lo - 0.2 * (hi - lo), hi + 0.2 * (hi - lo), (1500, 3)).astype(np.float32)
        w = exact(dev, engine, q)
        # The float64 reference where the soup is at hand, brute_force (compensated float) for the
        # shark's 10k triangles; the boundary's float terms add up to a few 1e-6 at most.
        ref = reference(soup, q) if soup is not None else dev.to_numpy(engine.brute_force(dev.array(q)))
        assert np.abs(w - ref).max() < 2e-5
        # Grid rows against the same points as queries (the query may take another axis).
        origin, spacing, shape = tuple(map(float, lo)), tuple(float(s) for s in (hi - lo) / 9), (10, 11, 12)
        g = dev.to_numpy(engine.compute_grid(origin, spacing, shape)).reshape(-1).astype(np.float64)
        axes = [np.float32(o) + np.arange(n, dtype=np.float32) * np.float32(s) for o, s, n in zip(origin, spacing, shape)]
        voxels = np.stack(np.meshgrid(*axes, indexing="ij"), -1).reshape(-1, 3)
        assert np.abs(g - exact(dev, engine, voxels)).max() < 1e-5


def test_long_boundaries_fall_back_to_the_hierarchy(dev):
    # Beyond 512 open edges, the hierarchical compute with a large beta: near the exact values.
    sphere = sphere_soup(3)
    centres = sphere.mean(axis=1, keepdims=True)
    gapped = (centres + 0.98 * (sphere - centres)).astype(np.float32)
    engine = GyrantEngine(dev.array(gapped))
    assert engine.exact_path == "hierarchical" and engine.boundary_edges == 3 * len(gapped)
    assert "// exact method: hierarchical, 3840 boundary edges" in engine.dump()
    q = np.random.default_rng(6).uniform(-1.5, 1.5, (300, 3)).astype(np.float32)
    w = dev.to_numpy(engine.compute(dev.array(q), method="exact"))
    np.testing.assert_array_equal(w, dev.to_numpy(engine.compute(dev.array(q), 6.0)))
    assert np.abs(w - reference(gapped, q)).max() < 1e-4


def test_queries_on_the_surface_and_the_boundary_stay_finite(dev):
    # On the surface w jumps by one; the exact method gives the value of one side. On the
    # boundary curve it is undefined; the result is finite.
    closed, cap = sphere_soup(), open_cap()
    for soup in (closed, cap):
        engine = GyrantEngine(dev.array(soup))
        assert np.isfinite(exact(dev, engine, soup.reshape(-1, 3))).all()  # vertices, boundary's too
        on = soup.mean(axis=1)
        jump = exact(dev, engine, on) - reference(soup, on)  # which side a rounded centroid is on
        assert np.abs(jump).max() < 1 + 1e-4 and np.abs(jump - np.round(jump)).max() < 1e-4
    engine = GyrantEngine(dev.array(closed))
    on = np.concatenate([closed.reshape(-1, 3), closed.mean(axis=1)])
    assert set(np.unique(exact(dev, engine, on))) <= {0.0, 1.0}


def fandisk():
    if not FANDISK.exists():
        pytest.skip("bench/data/fandisk.off is missing (bash bench/setup.sh)")
    m = trimesh.load(FANDISK, process=False)
    return np.asarray(m.vertices, np.float32), np.asarray(m.faces, np.uint32)


def test_rays_through_the_vertices_and_edges_of_a_cad_mesh(dev):
    # Fandisk has axis-aligned faces: queries sharing two coordinates with its vertices cast rays
    # along its edges and through its vertices, on every axis.
    v, f = fandisk()
    engine = GyrantEngine(dev.array(v), dev.array(f, np.uint32))
    assert engine.exact_path == "crossings" and engine.boundary_edges == 0
    rng = np.random.default_rng(8)
    lo, hi = v.min(0), v.max(0)
    picks = v[rng.choice(len(v), 400)]
    q = []
    for axis in range(3):
        p = picks.copy()
        p[:, axis] = rng.uniform(lo[axis] - 0.1, hi[axis] + 0.1, len(p))
        q.append(p)
    q = np.concatenate(q).astype(np.float32)
    def brute(points):
        return dev.to_numpy(engine.brute_force(dev.array(points))).astype(np.float64)

    ref = brute(q)
    # Many of these points lie on the flat faces themselves, where w is undefined: keep those
    # whose value does not change a thousandth away along any axis.
    keep = off_surface(ref, 0.05)
    for shift in np.concatenate([np.eye(3), -np.eye(3)]) * 1e-3:
        keep &= np.round(brute(q + shift.astype(np.float32))) == np.round(ref)
    assert keep.mean() > 0.6
    w = exact(dev, engine, q)
    np.testing.assert_array_equal(w[keep], np.round(ref[keep]))

    # Grid rows along each axis through vertex coordinates: voxels equal the per-query values.
    step = np.float32((hi - lo).max() / 40)
    origin = tuple(float(c) for c in v[0] - 7 * step)
    shape = (30, 30, 30)
    g = dev.to_numpy(engine.compute_grid(origin, (float(step),) * 3, shape))
    assert g.shape == shape
    axes = [np.float32(o) + np.arange(n, dtype=np.float32) * step for o, n in zip(origin, shape)]
    pts = np.stack(np.meshgrid(*axes, indexing="ij"), -1).reshape(-1, 3)
    np.testing.assert_array_equal(g.reshape(-1), exact(dev, engine, pts))


def test_grid_of_an_open_surface_matches_queries(dev):
    cap = open_cap()
    engine = GyrantEngine(dev.array(cap))
    origin, spacing, shape = (-1.2, -1.1, -1.3), (0.1, 0.09, 0.13), (24, 25, 21)
    g = dev.to_numpy(engine.compute_grid(origin, spacing, shape)).astype(np.float64)
    axes = [np.float32(o) + np.arange(n, dtype=np.float32) * np.float32(s) for o, s, n in zip(origin, spacing, shape)]
    pts = np.stack(np.meshgrid(*axes, indexing="ij"), -1).reshape(-1, 3)
    assert np.abs(g.reshape(-1) - reference(cap, pts)).max() < 1e-4


def test_point_clouds_and_bad_arguments_are_refused(dev):
    soup = sphere_soup(1)
    engine = GyrantEngine(dev.array(soup))
    q = dev.array(np.zeros((4, 3)))
    with pytest.raises(ValueError, match="method"):
        engine.compute(q, method="fast")
    with pytest.raises(ValueError, match="spacing"):
        engine.compute_grid((0, 0, 0), (0.1, -0.1, 0.1), (2, 2, 2))
    with pytest.raises(ValueError, match="shape"):
        engine.compute_grid((0, 0, 0), (0.1, 0.1, 0.1), (2, -1, 2))
    assert dev.to_numpy(engine.compute_grid((0, 0, 0), (1, 1, 1), (0, 3, 3))).shape == (0, 3, 3)
    p = soup.mean(axis=1)
    points = GyrantEngine(dev.array(p), dev.array(p))
    assert points.exact_path is None and points.boundary_edges is None
    with pytest.raises(ValueError, match="point cloud has no crossings"):
        points.compute(dev.array(p), method="exact")
    with pytest.raises(ValueError, match="point cloud has no crossings"):
        points.compute_grid((0, 0, 0), (1, 1, 1), (2, 2, 2))
    # Points that are not finite give NaN, as compute and brute_force do.
    bad = dev.array([[np.inf, 0, 0], [0, np.nan, 0], [0, 0, -np.inf]])
    assert np.isnan(dev.to_numpy(engine.compute(bad, method="exact"))).all()
    empty = GyrantEngine(dev.array(np.zeros((0, 3, 3))))
    assert empty.exact_path == "crossings"
    np.testing.assert_array_equal(dev.to_numpy(empty.compute(q, method="exact")), np.zeros(4))
