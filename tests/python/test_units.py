"""The winding number does not change when a surface and its queries are scaled together, and
neither do compute's accuracy nor the hierarchy gyrant builds (the engine works in a frame of its
own, a power of two away from the caller's units)."""
import re

import numpy as np
import pytest

from conftest import DATA_DIR, read_off
from gyrant_module import GyrantEngine

FACTORS = [2.0**-20, 2.0**-10, 2.0**-4, 1.0, 2.0**4, 2.0**10, 2.0**20, 1e-3, 0.37, 7.0, 1e3]
NUMBER = re.compile(r"-?\d+\.\d+")


@pytest.fixture(scope="module")
def elephant():
    """The shipped mesh in [-1, 1]^3, and queries: uniform in its box grown 30%, and near it."""
    v, f = read_off(DATA_DIR / "elephant.off")
    v = (v - (v.min(0) + v.max(0)) / 2) / (np.abs(v).max() or 1.0)
    rng = np.random.default_rng(1)
    tris = v[f]
    near = tris[rng.integers(0, len(f), 1000)].mean(axis=1) + rng.normal(0.0, 0.01, (1000, 3))
    uniform = rng.uniform(-1.3, 1.3, (1000, 3))
    return v.astype(np.float32), f.astype(np.uint32), np.vstack([uniform, near]).astype(np.float32)


@pytest.fixture(scope="module")
def cloud():
    """An oriented sphere of points (scaled normals = area shares) and queries around it."""
    n = 4000
    i = np.arange(n) + 0.5
    phi, theta = np.arccos(1 - 2 * i / n), np.pi * (1 + 5**0.5) * i
    p = np.stack([np.cos(theta) * np.sin(phi), np.sin(theta) * np.sin(phi), np.cos(phi)], 1)
    q = np.random.default_rng(2).uniform(-1.5, 1.5, (1500, 3))
    return p.astype(np.float32), (p * 4 * np.pi / n).astype(np.float32), q.astype(np.float32)


def errors(engine, dev, queries, **kw):
    q = dev.array(queries)
    fast = dev.to_numpy(engine.compute(q, **kw))
    exact = dev.to_numpy(engine.brute_force(q, **{k: v for k, v in kw.items() if k == "epsilon"}))
    return np.abs(fast - exact), fast


def test_accuracy_does_not_depend_on_units(dev, elephant, cloud):
    v, f, q = elephant
    p, n, qp = cloud
    base_mesh = errors(GyrantEngine(dev.array(v), dev.array(f, np.uint32)), dev, q)[0]
    base_cloud = errors(GyrantEngine(dev.array(p), dev.array(n)), dev, qp, epsilon=0.0)[0]
    for s in FACTORS:
        mesh = errors(GyrantEngine(dev.array(v * s), dev.array(f, np.uint32)), dev, (q * s).astype(np.float32))[0]
        pts = errors(GyrantEngine(dev.array(p * s), dev.array(n * s * s)), dev, (qp * s).astype(np.float32),
                     epsilon=0.0)[0]
        # The frame absorbs a power of two exactly; another factor rounds the coordinates once
        # (2^-24), which moves the far field's truncation and rounding errors a little.
        for got, base in ((mesh, base_mesh), (pts, base_cloud)):
            assert np.isfinite(got).all(), s
            assert got.max() <= 1.5 * base.max() + 1e-5, s
            assert got.mean() <= 1.2 * base.mean() + 1e-6, s


def test_smoothing_radius_scales_with_the_cloud(dev, cloud):
    p, n, q = cloud
    eps = 0.05
    base = dev.to_numpy(GyrantEngine(dev.array(p), dev.array(n)).compute(dev.array(q), epsilon=eps))
    for s in (2.0**-12, 2.0**9):
        engine = GyrantEngine(dev.array(p * s), dev.array(n * s * s))
        got = dev.to_numpy(engine.compute(dev.array((q * s).astype(np.float32)), epsilon=eps * s))
        np.testing.assert_array_equal(got, base)  # the same frame, hence the same bits
    # Another factor rounds every coordinate once, which can change the tree and so which nodes
    # are accepted: the values then agree to the far field's accuracy.
    engine = GyrantEngine(dev.array(p * 0.37), dev.array(n * 0.37**2))
    q37 = dev.array((q * 0.37).astype(np.float32))
    got = dev.to_numpy(engine.compute(q37, epsilon=eps * 0.37))
    exact = dev.to_numpy(engine.brute_force(q37, epsilon=eps * 0.37))
    assert np.abs(got - base).max() <= 2 * np.abs(got - exact).max() + 1e-5


def test_dump_shows_the_callers_units(dev, elephant, cloud):
    v, f, _ = elephant
    p, n, _ = cloud
    # Factors that leave every printed number large enough to compare.
    for s in (4.0, 16.0):
        for plain, scaled in (
            (GyrantEngine(dev.array(v), dev.array(f, np.uint32)), GyrantEngine(dev.array(v * s), dev.array(f, np.uint32))),
            (GyrantEngine(dev.array(p), dev.array(n)), GyrantEngine(dev.array(p * s), dev.array(n * s * s))),
        ):
            a, b = plain.dump(), scaled.dump()
            # The same document but for the numbers: the hierarchy does not depend on units.
            assert NUMBER.sub("#", a) == NUMBER.sub("#", b)
            x = np.array([float(t) for t in NUMBER.findall(a)])
            y = np.array([float(t) for t in NUMBER.findall(b)])
            # Every printed number is a length, an area or a moment, the unscaled one times its
            # power of s; from 1 on, the printed digits pin that power down.
            large = np.abs(x) >= 1.0
            assert large.sum() > 20
            power = np.log2(y[large] / x[large]) / np.log2(s)
            assert np.allclose(power, np.round(power), atol=0.01)
            assert set(np.round(power)) <= {1.0, 2.0, 3.0, 4.0}


def test_surfaces_in_the_frame_keep_their_bits(dev, elephant):
    v, f, q = elephant
    # Extent 10 is already in the engine's frame; 10 * 2^12 is brought back to exactly it.
    inside = GyrantEngine(dev.array(v * 5), dev.array(f, np.uint32))
    outside = GyrantEngine(dev.array(v * 5 * 2**12), dev.array(f, np.uint32))
    a = dev.to_numpy(inside.compute(dev.array(q * 5)))
    b = dev.to_numpy(outside.compute(dev.array((q * 5 * 2**12).astype(np.float32))))
    np.testing.assert_array_equal(a, b)


def test_normals_of_any_size_keep_their_bits(dev, cloud):
    # Scaled normals need not be area-sized: the engine brings them into its expansions' range by
    # a power of two and undoes it, so 2^k normals give 2^k times every result, bit for bit.
    p, n, q = cloud
    qd = dev.array(q)
    plain = GyrantEngine(dev.array(p), dev.array(n))
    base = [dev.to_numpy(plain.compute(qd)), dev.to_numpy(plain.brute_force(qd)), dev.to_numpy(plain.gradient(qd))]
    for k in (-40, 40):
        s = np.float32(2.0**k)
        e = GyrantEngine(dev.array(p), dev.array(n * s))
        got = [dev.to_numpy(e.compute(qd)), dev.to_numpy(e.brute_force(qd)), dev.to_numpy(e.gradient(qd))]
        for g, b in zip(got, base):
            np.testing.assert_array_equal(g, b * s)
        np.testing.assert_array_equal(dev.to_numpy(e.scaled_normals), n * s)
