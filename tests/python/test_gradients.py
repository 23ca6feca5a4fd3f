"""Derivatives of point-cloud winding numbers against a float64 reference written here."""
import numpy as np
import pytest
from scipy.special import erf

from gyrant_module import GyrantEngine

EPS = 0.05


def wn64(points, normals, queries, eps=EPS):
    """The regularised dipole sum in float64: w at every query."""
    d = points[None, :, :] - queries[:, None, :]
    r2 = (d * d).sum(-1)
    r = np.sqrt(r2)
    x = r / eps
    with np.errstate(divide="ignore", invalid="ignore"):
        shell = (erf(x) - 2.0 / np.sqrt(np.pi) * x * np.exp(-x * x)) / r**3
        k = np.where(x < 2.0, np.where(x < 0.1, 4.0 / (3.0 * np.sqrt(np.pi)) / eps**3, shell), 1.0 / r**3)
    c = k * (d * normals[None]).sum(-1) / (4.0 * np.pi)
    c[r2 < 1e-18] = 0.0
    return c.sum(1)


def central(f, x, h):
    """Central differences of the scalar or vector function f at every row of x, per axis."""
    out = []
    for a in range(3):
        e = np.zeros(3)
        e[a] = h
        out.append((f(x + e) - f(x - e)) / (2.0 * h))
    return np.stack(out, -1)


def cloud(n=400, seed=3, scale=1.0):
    """A noisy sphere with outward scaled normals, in float32 (what the engine stores)."""
    rng = np.random.default_rng(seed)
    p = rng.normal(size=(n, 3))
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    nrm = p * (4.0 * np.pi / n) * rng.uniform(0.5, 1.5, size=(n, 1))
    p = p + rng.normal(scale=0.02, size=p.shape)
    return (p * scale).astype(np.float32), (nrm * scale**2).astype(np.float32)


def queries_around(p, seed=4, scale=1.0):
    """Queries at about 0.05, 0.5 and 1.5 smoothing radii from points, inside, outside, far."""
    rng = np.random.default_rng(seed)
    near = []
    for x in (0.05, 0.5, 1.5):
        dirs = rng.normal(size=(20, 3))
        dirs /= np.linalg.norm(dirs, axis=1, keepdims=True)
        near.append(p[rng.choice(len(p), 20)] + dirs * x * EPS * scale)
    box = rng.uniform(-1.6, 1.6, size=(40, 3)) * scale
    far = rng.uniform(-1, 1, size=(5, 3)) * 300 * scale
    return np.concatenate(near + [box, far]).astype(np.float32)


@pytest.fixture
def engine(dev):
    p, n = cloud()
    return GyrantEngine(dev.array(p), dev.array(n)), p.astype(np.float64), n.astype(np.float64)


def test_scaled_normals_are_the_callers_in_order_and_units(dev):
    # Powers of two put the cloud in another frame inside the engine; converting back is exact.
    for scale in (2.0**-6, 1.0, 2.0**8):
        p, n = cloud(300, seed=5, scale=scale)
        stored = dev.to_numpy(GyrantEngine(dev.array(p), dev.array(n)).scaled_normals)
        assert stored.shape == (300, 3) and stored.dtype == np.float32
        np.testing.assert_array_equal(stored, n)
    empty = GyrantEngine(dev.array(np.zeros((0, 3))), dev.array(np.zeros((0, 3))))
    assert dev.to_numpy(empty.scaled_normals).shape == (0, 3)


def test_gradient_matches_finite_differences(dev, engine):
    e, p, n = engine
    q = queries_around(p.astype(np.float32))
    q64 = q.astype(np.float64)
    ref = central(lambda x: wn64(p, n, x), q64, 1e-7)
    scale = np.abs(ref).max(axis=1, keepdims=True) + 1e-3
    exact = dev.to_numpy(e.brute_force_gradient(dev.array(q), epsilon=EPS))
    near_exact = dev.to_numpy(e.gradient(dev.array(q), beta=1e4, epsilon=EPS))
    hier = dev.to_numpy(e.gradient(dev.array(q), epsilon=EPS))
    # Float32 terms (erf and exp in the smoothed shell cost a few hundred ulps); far queries
    # accept the root's expansion even at a large beta, so they are held to the hierarchy's bound.
    assert np.all(np.abs(exact - ref) <= 1e-4 * scale)
    assert np.all(np.abs(near_exact[:-5] - ref[:-5]) <= 1e-4 * scale[:-5])
    # Half/bfloat16 expansions truncated after the second order at beta 2, as for compute.
    assert np.linalg.norm(hier - ref) <= 5e-3 * np.linalg.norm(ref)


def test_grad_points_matches_finite_differences(dev, engine):
    e, p, n = engine
    q = queries_around(p.astype(np.float32), seed=6)
    v = np.random.default_rng(7).normal(size=len(q))
    q64 = q.astype(np.float64)
    rows = np.arange(0, len(p), 9)
    ref = np.zeros((len(rows), 3))
    for k, i in enumerate(rows):
        def loss(x, i=i):
            moved = p.copy()
            moved[i] = x
            return v @ wn64(moved, n, q64)
        ref[k] = central(loss, p[i], 1e-7)
    exact = dev.to_numpy(e.grad_points(dev.array(v), dev.array(q), beta=np.inf, epsilon=EPS))[rows]
    hier = dev.to_numpy(e.grad_points(dev.array(v), dev.array(q), epsilon=EPS))[rows]
    np.testing.assert_allclose(exact, ref, rtol=1e-4, atol=1e-4 * np.abs(ref).max())
    assert np.linalg.norm(hier - ref) <= 1e-2 * np.linalg.norm(ref)


def test_adjoint_identity(dev, engine):
    # <A mu, v> = <mu, A^T v>: A is compute over the queries, A^T v is grad_scaled_normals.
    e, p, n = engine
    rng = np.random.default_rng(8)
    for queries in (queries_around(p.astype(np.float32), seed=9), None):
        m = len(p) if queries is None else len(queries)
        v = rng.normal(size=m).astype(np.float32)
        qa = dev.array(p if queries is None else queries)
        q_arg = None if queries is None else dev.array(queries)
        lhs_exact = v.astype(np.float64) @ dev.to_numpy(e.brute_force(qa, epsilon=EPS)).astype(np.float64)
        g_exact = dev.to_numpy(e.grad_scaled_normals(dev.array(v), q_arg, beta=np.inf, epsilon=EPS))
        rhs_exact = np.sum(n * g_exact)
        bound = np.abs(v) @ np.abs(dev.to_numpy(e.brute_force(qa, epsilon=EPS)))
        assert abs(lhs_exact - rhs_exact) <= 1e-5 * bound
        lhs = v.astype(np.float64) @ dev.to_numpy(e.compute(qa, epsilon=EPS)).astype(np.float64)
        rhs = np.sum(n * dev.to_numpy(e.grad_scaled_normals(dev.array(v), q_arg, epsilon=EPS)))
        # The product walks compute's hierarchy transposed (natively; its groups at 1.5 beta) or
        # one over the queries (kernels): each within compute's accuracy.
        assert abs(lhs - rhs) <= 1e-2 * bound


def test_results_follow_the_callers_units(dev):
    # The same cloud at 2^k: w is unchanged, d/dq and d/dp scale by 2^-k, d/dnormal by 2^-2k.
    p, n = cloud(300, seed=10)
    q = queries_around(p, seed=11)
    v = np.random.default_rng(12).normal(size=len(q)).astype(np.float32)
    base = None
    for k in (0, 5, -4):
        s = 2.0**k
        e = GyrantEngine(dev.array(p * s), dev.array(n * s * s))
        qs, eps = dev.array(q * s), EPS * s
        got = [dev.to_numpy(e.gradient(qs, epsilon=eps)) * s,
               dev.to_numpy(e.grad_points(dev.array(v), qs, epsilon=eps)) * s,
               dev.to_numpy(e.grad_scaled_normals(dev.array(v), qs, epsilon=eps)) * s * s,
               dev.to_numpy(e.grad_points(dev.array(v), qs, beta=np.inf, epsilon=eps)) * s]
        if base is None:
            base = got
            continue
        for g, b in zip(got, base):
            np.testing.assert_allclose(g, b, rtol=1e-5, atol=1e-5 * np.abs(b).max())


def test_input_errors_and_empty_sets(dev, engine):
    e, p, _ = engine
    with pytest.raises(RuntimeError, match=r"grad_output must have one value per point \(400 points, 3 values\)"):
        e.grad_scaled_normals(dev.array(np.ones(3)))
    with pytest.raises(RuntimeError, match=r"^grad_output must have one value per query \(5 queries, 4 values\)\.$"):
        e.grad_points(dev.array(np.ones(4)), dev.array(np.zeros((5, 3))))
    none = dev.to_numpy(e.grad_points(dev.array(np.ones(0)), dev.array(np.zeros((0, 3)))))
    np.testing.assert_array_equal(none, np.zeros((400, 3)))
    assert dev.to_numpy(e.gradient(dev.array(np.zeros((0, 3))))).shape == (0, 3)
    empty = GyrantEngine(dev.array(np.zeros((0, 3))), dev.array(np.zeros((0, 3))))
    assert dev.to_numpy(empty.grad_scaled_normals(dev.array(np.ones(0)))).shape == (0, 3)
    np.testing.assert_array_equal(dev.to_numpy(empty.gradient(dev.array(np.ones((2, 3))))), np.zeros((2, 3)))


def test_products_scale_exactly_with_grad_output(dev):
    # The engine over the queries brings its weights (grad_output's products) into the range of
    # its half/bfloat16 expansions by a power of two and undoes it: 2^k grad_output gives 2^k the
    # products, bit for bit, from about 1e-12 to 1e12 (large ones used to overflow and be summed
    # pair by pair, tiny ones to lose their digits).
    p, n = cloud(2000, seed=15)
    e = GyrantEngine(dev.array(p), dev.array(n))
    q = dev.array(np.random.default_rng(16).uniform(-1.3, 1.3, (2000, 3)).astype(np.float32))
    v = np.random.default_rng(17).normal(size=2000).astype(np.float32)
    products = (e.grad_scaled_normals, e.grad_points)
    base = [dev.to_numpy(f(dev.array(v), q, epsilon=EPS)) for f in products]
    for k in (-40, 40):
        s = np.float32(2.0**k)
        for f, b in zip(products, base):
            np.testing.assert_array_equal(dev.to_numpy(f(dev.array(v * s), q, epsilon=EPS)), b * s)


def test_grad_points_without_queries_holds_them_fixed(dev, engine):
    # As documented: with the engine's own points as queries, each point moves while the queries
    # stay where the points were (the partial derivative, not the total one).
    e, p, n = engine
    v = np.random.default_rng(18).normal(size=len(p))
    rows = np.arange(0, len(p), 40)
    ref = np.zeros((len(rows), 3))
    for k, i in enumerate(rows):
        def loss(x, i=i):
            moved = p.copy()
            moved[i] = x
            return v @ wn64(moved, n, p)
        ref[k] = central(loss, p[i], 1e-7)
    got = dev.to_numpy(e.grad_points(dev.array(v), beta=np.inf, epsilon=EPS))[rows]
    np.testing.assert_allclose(got, ref, rtol=1e-4, atol=1e-4 * np.abs(ref).max())


def test_gradient_error_at_the_solvers_epsilon(dev):
    # At the points of a 20k-point sphere with epsilon of 1 and 2 point spacings (where the
    # normal solver evaluates it): nodes, leaves and groups inside the smoothing band (distance
    # below r + 2 epsilon) are summed, not expanded. Accepting them at beta r alone gave, at
    # beta 1.5, max errors of 4.5% (1 spacing) and 3.1% (2 spacings) and a mean of 7.9e-3 at 2
    # spacings (measured with the band: 2.3%, 1.8%, 5.4e-3). Errors relative to |grad| (never
    # small here: every query is a point).
    n = 20_000
    rng = np.random.default_rng(5)
    p = rng.normal(size=(n, 3))
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    nrm = (p * (4.0 * np.pi / n)).astype(np.float32)
    p = p.astype(np.float32)
    e = GyrantEngine(dev.array(p), dev.array(nrm))
    q = dev.array(p[rng.choice(n, 1000, replace=False)])
    spacing = np.sqrt(4.0 * np.pi / n)
    # (spacings, beta): (mean, max) allowed; measured within 0.85 of each.
    bounds = {(1, 1.5): (5e-3, 3.3e-2), (2, 1.5): (6.5e-3, 3e-2), (1, -1.0): (1.2e-3, 9e-3), (2, -1.0): (2.5e-3, 1.2e-2)}
    for (k, beta), (mean, largest) in bounds.items():
        ref = dev.to_numpy(e.brute_force_gradient(q, epsilon=k * spacing)).astype(np.float64)
        got = dev.to_numpy(e.gradient(q, beta=beta, epsilon=k * spacing)).astype(np.float64)
        rel = np.linalg.norm(got - ref, axis=1) / np.linalg.norm(ref, axis=1)
        assert rel.mean() <= mean and rel.max() <= largest, (k, beta, rel.mean(), rel.max())
    # The normals' product, as the solver's fit takes it (its adjoint): rms error against the exact
    # sum, measured 3.1e-2 / 3.3e-2 at beta 1.5 and 8.4e-3 / 1.5e-2 at the default.
    v = dev.array(rng.normal(size=1000).astype(np.float32))
    products = {(1, 1.5): 3.7e-2, (2, 1.5): 3.9e-2, (1, -1.0): 1e-2, (2, -1.0): 1.8e-2}
    for (k, beta), largest in products.items():
        ref = dev.to_numpy(e.grad_scaled_normals(v, q, beta=np.inf, epsilon=k * spacing)).astype(np.float64)
        got = dev.to_numpy(e.grad_scaled_normals(v, q, beta=beta, epsilon=k * spacing)).astype(np.float64)
        assert np.linalg.norm(got - ref) <= largest * np.linalg.norm(ref), (k, beta)
