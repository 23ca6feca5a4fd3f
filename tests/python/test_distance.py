"""closest_point and signed_distance against float64 references, and the PyTorch wrapper."""
import numpy as np
import pytest

import gyrant_module
from conftest import DATA_DIR, icosphere, read_off
from gyrant_module import GyrantEngine

try:
    import torch
except ImportError:
    torch = None

needs_torch = pytest.mark.skipif(torch is None, reason="PyTorch is not installed")


def point_triangle_distance(q, tri):
    """Distance (float64) from every query to every triangle: (Q, T)."""
    a, b, c = (tri[None, :, k] for k in range(3))
    p = q[:, None, :]
    n = np.cross(b - a, c - a)
    nn = np.einsum("qtk,qtk->qt", n, n)
    s = np.einsum("qtk,qtk->qt", p - a, n) / np.where(nn > 0, nn, 1)
    foot = p - s[..., None] * n
    inside = np.broadcast_to(nn > 0, s.shape).copy()
    for u, v in ((a, b), (b, c), (c, a)):
        inside &= np.einsum("qtk,qtk->qt", np.cross(v - u, foot - u), n) >= 0
    best = np.where(inside, np.abs(s) * np.sqrt(nn), np.inf)
    for u, v in ((a, b), (b, c), (c, a)):
        e = v - u
        ee = np.einsum("qtk,qtk->qt", e, e)
        t = np.clip(np.einsum("qtk,qtk->qt", p - u, e) / np.where(ee > 0, ee, 1), 0, 1)
        best = np.minimum(best, np.linalg.norm(p - u - t[..., None] * e, axis=-1))
    return best


def elephant():
    v, f = read_off(DATA_DIR / "elephant-with-holes.off")
    return v.astype(np.float32), f.astype(np.uint32)


def box_grid(v, n, margin=0.2):
    lo, hi = v.min(0), v.max(0)
    pad = margin * (hi - lo)
    t = np.linspace(0, 1, n)
    g = np.stack(np.meshgrid(t, t, t, indexing="ij"), -1).reshape(-1, 3)
    return (lo - pad + g * (hi - lo + 2 * pad)).astype(np.float32)


def test_closest_point_matches_float64_search_on_a_mesh_with_holes(dev):
    v, f = elephant()
    engine = GyrantEngine(dev.array(v), dev.array(f, np.uint32))
    rng = np.random.default_rng(3)
    q = np.concatenate([box_grid(v, 6), v[f[rng.choice(len(f), 40)]].mean(1)]).astype(np.float32)
    d, p, i = (dev.to_numpy(r) for r in engine.closest_point(dev.array(q)))
    tri = v[f].astype(np.float64)
    ref = point_triangle_distance(q.astype(np.float64), tri)
    extent = float((v.max(0) - v.min(0)).max())
    tol = 8 * extent * np.finfo(np.float32).eps  # single-precision rounding of the scene's scale
    np.testing.assert_allclose(d, ref.min(1), rtol=0, atol=tol)
    assert i.dtype == np.int64 and i.min() >= 0
    np.testing.assert_allclose(ref[np.arange(len(q)), i], ref.min(1), rtol=0, atol=tol)  # ties only
    np.testing.assert_allclose(np.linalg.norm(p - q, axis=1), d, rtol=0, atol=tol)
    on = point_triangle_distance(p.astype(np.float64), tri)[np.arange(len(q)), i]
    assert on.max() < tol  # the point lies on its triangle


def test_point_cloud_nearest_point_and_own_sign(dev):
    v, f = icosphere(2)
    n = v * (4 * np.pi / len(v))
    engine = GyrantEngine(dev.array(v), dev.array(n))
    q = np.array([[0, 0, 0], [0, 0, 1.5], [0.1, 0.2, 0.3], [2, 0, 0]], np.float32)
    d, p, i = (dev.to_numpy(r) for r in engine.closest_point(dev.array(q)))
    ref = np.linalg.norm(q[:, None].astype(np.float64) - v[None], axis=2)
    np.testing.assert_allclose(d, ref.min(1), atol=1e-6)
    np.testing.assert_array_equal(p, v[i].astype(np.float32))
    s = dev.to_numpy(engine.signed_distance(dev.array(q), epsilon=0.01))
    w = dev.to_numpy(engine.brute_force(dev.array(q), epsilon=0.01))
    np.testing.assert_array_equal(s < 0, w > 0.5)
    np.testing.assert_allclose(np.abs(s), d)


@pytest.mark.parametrize("beta", [-1.0, 1.0, 2.3])
def test_sign_agrees_with_the_exact_winding_number_through_holes(dev, beta):
    v, f = elephant()
    engine = GyrantEngine(dev.array(v), dev.array(f, np.uint32))
    q = box_grid(v, 24, margin=0.05)
    s = dev.to_numpy(engine.signed_distance(dev.array(q), beta=beta))
    w = dev.to_numpy(engine.brute_force(dev.array(q)))
    d = dev.to_numpy(engine.closest_point(dev.array(q))[0])
    np.testing.assert_array_equal(np.abs(s), d)
    settled = np.abs(w - 0.5) > 1e-5  # the exact sum's own rounding
    assert ((w > 0.3) & (w < 0.7)).sum() > 50  # the holes put queries near 0.5
    np.testing.assert_array_equal((s < 0)[settled], (w > 0.5)[settled])
    tight, exact = engine.sign_reevaluations
    assert tight > 0 and exact <= tight


def test_closed_surfaces_take_the_sign_from_crossings_in_one_pass(dev):
    v, f = icosphere(3)
    inner = (0.9 * v)[f[:, ::-1]]  # a shell: w = 1 between the spheres, 0 inside the inner one
    soup = np.concatenate([v[f], inner]).astype(np.float32)
    engine = GyrantEngine(dev.array(soup))
    assert engine.exact_path == "crossings"
    q = box_grid(v.astype(np.float32), 20, margin=0.1)
    s = dev.to_numpy(engine.signed_distance(dev.array(q), beta=0.5))  # beta no longer matters
    w = dev.to_numpy(engine.brute_force(dev.array(q)))
    settled = np.abs(w - 0.5) > 1e-5
    np.testing.assert_array_equal((s < 0)[settled], (w > 0.5)[settled])
    assert engine.sign_reevaluations == (0, 0)
    # Closed: neighbours that see each other share one exact evaluation, in a band too.
    shared = engine.sign_exact_evaluations
    assert 0 < shared < len(q) // 2
    band = dev.to_numpy(engine.signed_distance(dev.array(q), max_distance=0.05))
    inside = np.isfinite(band)
    assert 0 < inside.sum() < len(q)
    np.testing.assert_array_equal(band[inside], s[inside])
    assert engine.sign_exact_evaluations - shared <= inside.sum()


def holed_sphere(kind):
    """An open icosphere: one cap cut off (a short boundary: crossings), riddled with small holes,
    or cut by a thin belt at the equator (long boundaries: the hierarchical w)."""
    v, f = icosphere(6 if kind == "belt" else 4)
    centre_z = v[f].mean(axis=1)[:, 2]
    keep = {"cap": centre_z < 0.6, "riddled": np.arange(len(f)) % 20 != 0, "belt": np.abs(centre_z) > 0.015}[kind]
    return v.astype(np.float32), f[keep].astype(np.uint32)


@pytest.mark.parametrize("kind, path", [("cap", "crossings"), ("riddled", "hierarchical"), ("belt", "hierarchical")])
def test_open_surfaces_share_signs_along_runs_where_the_boundary_allows(dev, kind, path):
    v, f = holed_sphere(kind)
    engine = GyrantEngine(dev.array(v), dev.array(f, np.uint32))
    assert engine.exact_path == path and engine.boundary_edges > 0
    # A fine grid: long runs of queries that see each other, far from the surface and near it.
    q = box_grid(v, 40, margin=0.3)
    s = dev.to_numpy(engine.signed_distance(dev.array(q)))
    w = dev.to_numpy(engine.brute_force(dev.array(q)))
    np.testing.assert_array_equal(np.abs(s), dev.to_numpy(engine.closest_point(dev.array(q))[0]))
    settled = np.abs(w - 0.5) > 1e-5
    np.testing.assert_array_equal((s < 0)[settled], (w > 0.5)[settled])
    assert (s < 0).sum() > 1000
    # A few long runs cross the cap's opening and the belt's two loops (764 edges, hierarchical w);
    # the riddled sphere's runs are too short to share.
    if kind != "riddled":
        assert 0 < engine.sign_exact_evaluations < len(q) * 3 // 4
    # The same in a band, and with |w|.
    band = dev.to_numpy(engine.signed_distance(dev.array(q), max_distance=0.1))
    inside = np.isfinite(band)
    np.testing.assert_array_equal(band[inside], s[inside])
    a = dev.to_numpy(engine.signed_distance(dev.array(q), sign="abs_winding"))
    np.testing.assert_array_equal((a < 0)[settled], (np.abs(w) > 0.5)[settled])


def test_open_signs_where_w_passes_one_half_off_the_surface(dev):
    # Through the cap's opening w falls from about 1 inside to 0 outside without meeting the surface:
    # runs pass there, and the bound must stop them sharing a sign across 0.5.
    v, f = holed_sphere("cap")
    engine = GyrantEngine(dev.array(v), dev.array(f, np.uint32))
    t = np.linspace(-0.75, 0.75, 60)
    z = np.linspace(0.5, 1.3, 120)
    q = np.stack(np.meshgrid(t, t, z, indexing="ij"), -1).reshape(-1, 3).astype(np.float32)
    s = dev.to_numpy(engine.signed_distance(dev.array(q)))
    w = dev.to_numpy(engine.brute_force(dev.array(q)))
    assert ((w > 0.4) & (w < 0.6)).sum() > 500
    settled = np.abs(w - 0.5) > 1e-5
    np.testing.assert_array_equal((s < 0)[settled], (w > 0.5)[settled])


def test_sign_modes_on_an_inside_out_soup(dev):
    v, f = icosphere(2)
    soup = v[f[:, ::-1]].astype(np.float32)  # every triangle flipped: w = -1 inside
    engine = GyrantEngine(dev.array(soup))
    q = dev.array([[0, 0, 0.2], [0, 0, 2]])
    winding, absolute, none = (dev.to_numpy(engine.signed_distance(q, sign=m)) for m in ("winding", "abs_winding", "none"))
    assert winding[0] > 0 and absolute[0] < 0 and none[0] > 0
    np.testing.assert_array_equal(np.abs(absolute), none)
    assert winding[1] == absolute[1] == none[1] > 0


def test_max_distance_cuts_off_the_band(dev):
    v, f = elephant()
    engine = GyrantEngine(dev.array(v), dev.array(f, np.uint32))
    q = dev.array(box_grid(v, 16))
    full = dev.to_numpy(engine.signed_distance(q))
    limit = 0.05 * float((v.max(0) - v.min(0)).max())
    band = dev.to_numpy(engine.signed_distance(q, max_distance=limit))
    near = np.abs(full) < limit
    assert 0 < near.sum() < len(full)
    np.testing.assert_array_equal(band[near], full[near])
    assert np.all(band[np.abs(full) > limit] == np.inf)
    d, p, i = (dev.to_numpy(r) for r in engine.closest_point(q, max_distance=limit))
    far = ~np.isfinite(d)
    np.testing.assert_array_equal(far, np.abs(full) > limit)
    assert np.all(i[far] == -1) and np.isnan(p[far]).all()


def test_bad_input(dev):
    v, f = icosphere(1)
    engine = GyrantEngine(dev.array(v[f]))
    q = dev.array([[0, 0, 0], [np.nan, 0, 0], [0, np.inf, 0], [0, 0, 3]])
    d, p, i = (dev.to_numpy(r) for r in engine.closest_point(q))
    assert np.isnan(d[1:3]).all() and np.isnan(p[1:3]).all() and (i[1:3] == -1).all()
    assert np.isfinite(d[[0, 3]]).all()
    s = dev.to_numpy(engine.signed_distance(q))
    assert np.isnan(s[1:3]).all() and s[0] < 0 < s[3]
    with pytest.raises(ValueError, match="sign must be"):
        engine.signed_distance(q, sign="parity")
    for bad in (-1.0, float("nan")):
        with pytest.raises(ValueError, match="max_distance"):
            engine.closest_point(q, max_distance=bad)
        with pytest.raises(ValueError, match="max_distance"):
            engine.signed_distance(q, max_distance=bad)
    empty = GyrantEngine(dev.array(np.zeros((0, 3, 3))))
    d, _, i = (dev.to_numpy(r) for r in empty.closest_point(q))
    assert d[0] == np.inf and i[0] == -1
    assert dev.to_numpy(empty.signed_distance(q))[0] == np.inf


@needs_torch
@pytest.mark.parametrize("kind", ["mesh", "points"])
def test_torch_gradient_matches_finite_differences(kind):
    import gyrant.torch as gt
    device = "cuda" if gyrant_module.flavour == "cuda" else "cpu"
    v, f = elephant() if kind == "mesh" else icosphere(3)
    rng = np.random.default_rng(5)
    lo, hi = v.min(0), v.max(0)
    q0 = (lo + rng.random((60, 3)) * (hi - lo)).astype(np.float64)
    vt = torch.tensor(v, dtype=torch.float32, device=device)
    if kind == "mesh":
        ft = torch.tensor(f.astype(np.int64), device=device)
        sdf = lambda q: gt.signed_distance(vt, ft, q)  # noqa: E731
    else:
        nt = torch.tensor(v * (4 * np.pi / len(v)), dtype=torch.float32, device=device)
        sdf = lambda q: gt.point_signed_distance(vt, nt, q, epsilon=0.01)  # noqa: E731
    q = torch.tensor(q0, dtype=torch.float64, device=device, requires_grad=True)
    s = sdf(q)
    assert s.dtype == torch.float64
    (g,) = torch.autograd.grad(s.sum(), q)
    h = 1e-3 * float((hi - lo).max())
    fd = np.zeros_like(q0)
    for k in range(3):
        step = np.zeros(3)
        step[k] = h
        plus = sdf(torch.tensor(q0 + step, device=device)).cpu().numpy()
        minus = sdf(torch.tensor(q0 - step, device=device)).cpu().numpy()
        fd[:, k] = (plus - minus) / (2 * h)
    # Where the sign, the nearest primitive's region and float rounding all stay put over the
    # step, the central difference is the gradient; a few queries sit on such a boundary.
    g = g.cpu().numpy()
    close = np.linalg.norm(g - fd, axis=1) < 1e-2
    assert close.mean() > 0.9
    np.testing.assert_allclose(np.linalg.norm(g, axis=1), 1.0, atol=1e-5)
    if kind == "mesh":
        with pytest.raises(ValueError, match="sign must be"):
            gt.signed_distance(vt, ft, q, sign="parity")
        with pytest.raises(ValueError, match="faces index"):
            gt.signed_distance(vt, ft + len(v), q)
