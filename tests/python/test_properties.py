"""Properties of the Python surface, over random inputs (Hypothesis): every call either raises a
documented exception with a clear message or returns a correct result, and engines stay usable.

CI runs a fixed seed and 200 examples per property. Locally, GYRANT_PROPERTY_EXAMPLES=N runs N
per property, and GYRANT_PROPERTY_RANDOM=1 draws fresh examples on every run.
"""
import math
import os

import numpy as np
import pytest

import gyrant_module
from conftest import icosphere, solid_angle_winding
from gyrant_module import GyrantEngine

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, event, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

pytestmark = pytest.mark.skipif(gyrant_module.flavour != "host",
                                reason="NumPy views stand for every kind of array (host flavour)")

PROPERTY = settings(
    max_examples=int(os.environ.get("GYRANT_PROPERTY_EXAMPLES", "200")),
    derandomize=os.environ.get("GYRANT_PROPERTY_RANDOM") != "1",
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)

TYPE_ERROR = "incompatible function arguments"
# Values an argument may hold besides ordinary ones.
SPECIAL = [math.nan, math.inf, -math.inf, 3.0e38, -3.0e38, 1.0e30, -1.0e30, 1.0e-30, 1.0e-45, 0.0, -0.0]
# Coordinates of "ordinary" inputs lie in [-BOX, BOX]: far from float overflow and from the
# engine's absolute thresholds (see test_huge_and_tiny_surfaces for what lies outside).
BOX = 4.0

# ---------------------------------------------------------------------------------------------
# Double-precision references, sharing no code with the engine.


def soup_terms(soup, q):
    """Per (query, triangle): the solid-angle fraction and the bound on its float32 error."""
    a, b, c = (soup[None, :, k, :] - q[:, None, :] for k in range(3))
    la, lb, lc = (np.linalg.norm(x, axis=-1) for x in (a, b, c))
    det = np.einsum("qtk,qtk->qt", a, np.cross(b, c))
    d = la * lb * lc + np.einsum("qtk,qtk->qt", a, b) * lc + np.einsum("qtk,qtk->qt", a, c) * lb \
        + np.einsum("qtk,qtk->qt", b, c) * la
    size = la * lb * lc
    # det and D are sums of products of size |a||b||c|, each rounded to float32 a few times:
    # their error is below 1e-6 of that size, and the angle's error below that over hypot(det, D).
    # Where det may change sign behind the triangle, the angle may jump by a whole turn.
    with np.errstate(divide="ignore", invalid="ignore"):
        tol = 1e-6 * size / np.hypot(det, d)
    tol = np.where((np.abs(det) <= 1e-5 * size) | (size < 1e-9), 1.0, tol)
    return np.arctan2(det, d) / (2 * np.pi), tol


def point_terms(points, normals, q, epsilon):
    """Per (query, point): the regularised dipole term and the bound on its float32 error."""
    d = points[None, :, :] - q[:, None, :]
    r2 = np.einsum("qpk,qpk->qp", d, d)
    r = np.sqrt(r2)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        x = r / epsilon if epsilon > 0 else np.full_like(r, np.inf)
        erf = np.vectorize(math.erf, otypes=[float])(np.where(np.isfinite(x), x, 0.0))
        smooth = (erf - 2.0 / math.sqrt(math.pi) * x * np.exp(-x * x)) / (r2 * r)
        near = 4.0 / (3.0 * math.sqrt(math.pi)) / np.float64(epsilon) ** 3
        k = np.where(x < 0.1, near, np.where(x < 2.0, smooth, 1.0 / (r2 * r)))
        term = np.where(r2 < 1e-18, 0.0, k * np.einsum("qpk,pk->qp", d, normals) / (4.0 * math.pi))
    # float32 rounding of a handful of operations per term; where the distance sits on a branch
    # of the smoothing (0.1 or 2 smoothing radii) float32 may take the other branch.
    tol = 1e-5 * np.abs(term)
    edge = (np.abs(x - 2.0) < 1e-4) | (np.abs(x - 0.1) < 1e-4) | (np.abs(r2 - 1e-18) < 1e-19)
    return term, np.where(edge, np.inf, tol)


def far_field_tolerance(centres, weights, q, beta):
    """What the hierarchy's far field may add, per query, at acceptance parameter beta >= 2.

    A node of radius r is expanded only at R >= beta r from the query, so a primitive at distance
    s from it lies at R >= s beta / (beta + 1). The second-order remainder is below 4 beta^-3 of
    the primitive's dipole term weight / (4 pi R^2), and the half/bfloat16 coefficients add 1%.
    """
    s = np.linalg.norm(centres[None, :, :] - q[:, None, :], axis=-1) * beta / (beta + 1.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        bound = (4.0 / beta**3 + 0.01) * weights[None, :] / (4.0 * math.pi * s * s)
    return np.where(weights[None, :] == 0.0, 0.0, bound).sum(axis=1)  # nothing from empty primitives


# ---------------------------------------------------------------------------------------------
# Inputs: an ordinary array drawn from a seeded generator, maybe salted with special values,
# then handed over with a dtype, shape and memory layout of the test's choosing.

ROWS = st.one_of(st.sampled_from([0, 1, 2, 31, 32, 33]), st.integers(0, 70))
LAYOUTS = ["contiguous", "readonly", "offset", "strided", "fortran", "broadcast"]


@st.composite
def values(draw, rows, trailing):
    """(array of float64 values, whether all are ordinary)."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    a = rng.uniform(-1.0, 1.0, size=(rows,) + trailing) * draw(st.sampled_from([BOX, 1.0, 0.25]))
    if draw(st.booleans()):
        a = np.round(a * 4.0) / 4.0  # a coarse grid: shared vertices, degenerate triangles
    ordinary = True
    if a.size and draw(st.integers(0, 3)) == 0:
        flat = a.reshape(-1)
        for _ in range(draw(st.integers(1, 4))):
            flat[draw(st.integers(0, flat.size - 1))] = draw(st.sampled_from(SPECIAL))
        ordinary = bool(np.all(np.abs(flat) <= BOX))
    return a, ordinary


@st.composite
def handed_over(draw, a, dtype, good_dtypes=(np.float32,), others=(np.float64, np.float16, np.int32, np.uint32)):
    """(array as the engine gets it, whether the binding must accept it). One array in four is
    handed over in any dtype and layout, the others in the right dtype and a layout it takes."""
    unusual = draw(st.integers(0, 3)) == 0
    dtype = draw(st.sampled_from([dtype] + list(others))) if unusual else dtype
    with np.errstate(invalid="ignore", over="ignore"):
        a = np.asarray(a).astype(dtype)
    layout = draw(st.sampled_from(LAYOUTS if unusual else LAYOUTS[:3]))
    if layout == "readonly":
        a = a.copy()
        a.setflags(write=False)
    elif layout == "offset":  # contiguous, but not at the start of its buffer
        buf = np.zeros((len(a) + 1,) + a.shape[1:], a.dtype)
        buf[1:] = a
        a = buf[1:]
    elif layout == "strided":
        buf = np.zeros((2 * len(a),) + a.shape[1:], a.dtype)
        buf[::2] = a
        a = buf[::2]
    elif layout == "fortran":
        a = np.asfortranarray(a)
    elif layout == "broadcast" and len(a):
        a = np.broadcast_to(a[:1], a.shape)
    return a, a.dtype in [np.dtype(t) for t in good_dtypes] and a.flags.c_contiguous


def construct(accepted, *args):
    """The engine, or None after checking that the binding refused the arguments."""
    event(f"engine {'built' if accepted else 'refused'}")
    if accepted:
        return GyrantEngine(*args)
    with pytest.raises(TypeError, match=TYPE_ERROR):
        GyrantEngine(*args)
    return None


BETAS = st.one_of(st.sampled_from([-1.0, -0.0, 0.0, 2.0, 2.3, 5.0, 1e6] + SPECIAL[:3] + [-1e30]),
                  st.floats(-10.0, 10.0), st.integers(-3, 10))
EPSILONS = st.one_of(st.sampled_from([-1.0, -0.0, 0.0, 0.004, 0.1, 1.0] + SPECIAL[:3] + [1e30, 1e-30]),
                     st.floats(-1.0, 1.0))
STREAMS = st.one_of(st.sampled_from([0, 1, 2]), st.integers(0, 2**64 - 1))


def f32(x):
    return float(np.float32(x))


def query(engine, method, q, stream, *args):
    """engine.method(q, *args, stream=stream) as a float64 NumPy array, or None when the stream
    handle names no stream (host flavour: 0, 1 and 2 are the default streams)."""
    call = getattr(engine, method)
    if stream > 2 and len(q) > 0:
        with pytest.raises(RuntimeError, match="invalid resource handle"):
            call(q, *args, stream=stream)
        return None
    out = np.from_dlpack(call(q, *args, stream=stream))
    assert out.shape == (len(q),) and out.dtype == np.float32
    return out.astype(np.float64)


def check(exact, approx, reference, tol, far, ordinary_rows):
    """brute_force within tol of the reference; compute within tol + far (None: no accuracy
    claim at this beta); rows of unusual queries are checked elsewhere."""
    rows = ordinary_rows & np.isfinite(tol)
    event(f"compared with the reference: {'some' if rows.any() else 'no'} queries, "
          f"compute {'too' if far is not None else 'not (beta < 2)'}")
    if exact is not None:
        err = np.abs(exact - reference)
        assert np.all(err[rows] <= tol[rows] + 1e-6), (err[rows].max(), np.flatnonzero(rows & (err > tol + 1e-6)))
    if approx is not None and far is not None:
        err = np.abs(approx - reference)
        bound = tol + far + 1e-6
        assert np.all(err[rows] <= bound[rows]), (err[rows].max(), np.flatnonzero(rows & (err > bound)))


def queries_strategy():
    return st.integers(0, 40).flatmap(lambda n: values(n, (3,)))


# The engine all properties leave alone: its results must never change.
CANARY_SOUP = np.asarray(icosphere(1)[0][icosphere(1)[1]], np.float32)
CANARY_QUERIES = np.random.default_rng(3).uniform(-1.5, 1.5, size=(64, 3)).astype(np.float32)
CANARY = GyrantEngine(CANARY_SOUP)
CANARY_RESULTS = (np.from_dlpack(CANARY.compute(CANARY_QUERIES)).copy(),
                  np.from_dlpack(CANARY.brute_force(CANARY_QUERIES)).copy())


def canary_is_unchanged():
    assert np.array_equal(np.from_dlpack(CANARY.compute(CANARY_QUERIES)), CANARY_RESULTS[0])
    assert np.array_equal(np.from_dlpack(CANARY.brute_force(CANARY_QUERIES)), CANARY_RESULTS[1])


def queries_and_results(data, engine, surface_ok, reference):
    """Draws queries and arguments, runs compute and brute_force and checks them against
    reference(q64, epsilon) -> (values, tol, centres, weights)."""
    qa, q_accepted = data.draw(queries_strategy().flatmap(lambda v: handed_over(v[0], np.float32)))
    beta, epsilon, stream = data.draw(BETAS), data.draw(EPSILONS), data.draw(STREAMS)
    if not q_accepted:
        with pytest.raises(TypeError, match=TYPE_ERROR):
            engine.compute(qa, beta, epsilon, stream)
        with pytest.raises(TypeError, match=TYPE_ERROR):
            engine.brute_force(qa, epsilon, stream)
        return
    exact = query(engine, "brute_force", qa, stream, epsilon)
    approx = query(engine, "compute", qa, stream, beta, epsilon)
    if exact is None:
        return
    q64 = np.asarray(qa, dtype=np.float64)
    rows = np.all(np.abs(q64) <= BOX, axis=1)
    # Unusual queries change nothing for the others: the same engine gives those the same bits
    # in a batch of their own.
    if len(q64) and not rows.all() and rows.any():
        alone = np.ascontiguousarray(qa[rows])
        same = lambda got, want: np.array_equal(np.from_dlpack(got), want[rows].astype(np.float32), equal_nan=True)  # noqa: E731
        assert same(engine.brute_force(alone, epsilon), exact)
        assert same(engine.compute(alone, beta, epsilon), approx)
    if not surface_ok:
        return
    with np.errstate(all="ignore"):  # rows of unusual queries come out NaN; they are not compared
        expected, tol, centres, weights = reference(q64, epsilon)
    b = f32(beta)
    resolved = b if not b < 0 else None  # negative: the default (2.3 or 2.0)
    if resolved is None:
        far = far_field_tolerance(centres, weights, q64, 2.0)
    elif resolved >= 2.0:
        far = far_field_tolerance(centres, weights, q64, resolved) if math.isfinite(resolved) else 0.0
    else:
        far = None  # beta below 2 trades accuracy for speed without a bound
    if len(centres) <= 32:
        far = 0.0  # up to 32 primitives: summed exactly whatever beta
    check(exact, approx, expected, tol, far, rows)


def soup_reference(soup):
    def reference(q, epsilon):
        terms, tol = soup_terms(soup, q)
        centres = soup.mean(axis=1)
        areas = 0.5 * np.linalg.norm(np.cross(soup[:, 1] - soup[:, 0], soup[:, 2] - soup[:, 0]), axis=1)
        return terms.sum(axis=1), tol.sum(axis=1), centres, areas
    return reference


def check_dump(engine, n, marker):
    text = engine.dump()
    assert text.startswith("digraph BVH8 {\n") and text.endswith("}\n")
    assert text.count(marker) == n  # every primitive listed in exactly one leaf


# ---------------------------------------------------------------------------------------------
# Properties.


@PROPERTY
@given(st.data())
def test_triangle_soups(data):
    n = data.draw(ROWS)
    soup, ordinary = data.draw(values(n, (3, 3)))
    arr, accepted = data.draw(handed_over(soup, np.float32))
    if data.draw(st.integers(0, 7)) == 0:  # a wrong shape
        arr, accepted = arr.reshape(len(arr), 9) if data.draw(st.booleans()) else arr[:, :, :2], False
    engine = construct(accepted, arr)
    if engine is not None:
        s64 = np.asarray(arr, dtype=np.float64)
        queries_and_results(data, engine, ordinary and np.all(np.abs(s64) <= BOX), soup_reference(s64))
        check_dump(engine, n, "v0:(")
        queries_and_results(data, engine, ordinary and np.all(np.abs(s64) <= BOX), soup_reference(s64))
    canary_is_unchanged()


@PROPERTY
@given(st.data())
def test_indexed_meshes(data):
    m = data.draw(ROWS)
    vertices, ordinary = data.draw(values(m, (3,)))
    n = data.draw(st.integers(0, 50))
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    top = data.draw(st.sampled_from([m] * 3 + [m + 1, m + 3, 2**32 - 1]))  # maybe past the vertex count
    indices = rng.integers(0, max(top, 1), size=(n, 3), dtype=np.uint64) if top < 2**32 - 1 else \
        np.full((n, 3), top, np.uint64)
    va, v_accepted = data.draw(handed_over(vertices, np.float32))
    ia, i_accepted = data.draw(handed_over(indices, np.uint32, good_dtypes=(np.uint32,)))
    if not (v_accepted and i_accepted):
        construct(False, va, ia)
        canary_is_unchanged()
        return
    largest = int(ia.max()) if n else 0
    if n and largest >= m:
        with pytest.raises(RuntimeError, match=rf"^The triangle indices are not allowed to exceed the number of "
                                               rf"vertices\. Vertex count is {m}, max index is {largest}\.$"):
            GyrantEngine(va, ia)
        canary_is_unchanged()
        return
    engine = GyrantEngine(va, ia)
    v64 = np.asarray(va, dtype=np.float64)
    soup = v64[np.asarray(ia, dtype=np.int64)] if n else np.zeros((0, 3, 3))
    queries_and_results(data, engine, ordinary and np.all(np.abs(v64) <= BOX), soup_reference(soup))
    check_dump(engine, n, "v0:(")
    canary_is_unchanged()


@PROPERTY
@given(st.data())
def test_point_clouds(data):
    n = data.draw(ROWS)
    points, p_ordinary = data.draw(values(n, (3,)))
    normals, n_ordinary = data.draw(values(n, (3,)))
    if data.draw(st.integers(0, 7)) == 0:  # one normal too many or too few
        normals = normals[:-1] if n and data.draw(st.booleans()) else np.vstack([normals, np.ones((1, 3))])
    pa, p_accepted = data.draw(handed_over(points, np.float32))
    # (uint32 normals would make it an indexed mesh)
    na, n_accepted = data.draw(handed_over(normals, np.float32, others=(np.float64, np.float16, np.int32)))
    if not (p_accepted and n_accepted):
        construct(False, pa, na)
    elif len(pa) != len(na):
        with pytest.raises(RuntimeError, match=r"^Shape of points must be equal to shape of normals\.$"):
            GyrantEngine(pa, na)
    else:
        engine = GyrantEngine(pa, na)
        p64, n64 = np.asarray(pa, dtype=np.float64), np.asarray(na, dtype=np.float64)
        ok = p_ordinary and n_ordinary and np.all(np.abs(p64) <= BOX) and np.all(np.abs(n64) <= BOX)

        def reference(q, epsilon):
            e = f32(epsilon)
            e = 0.004 if e < 0 else (0.0 if math.isnan(e) else f32(e))  # negative: the default
            terms, tol = point_terms(p64, n64, q, e)
            return terms.sum(axis=1), tol.sum(axis=1), p64, np.linalg.norm(n64, axis=1)

        queries_and_results(data, engine, ok, reference)
        check_dump(engine, n, "Pos:(")
    canary_is_unchanged()


# The properties keep to one scale; the engine's own frame makes the far ends work as well.


@pytest.mark.parametrize("scale", [2.0**-40, 1e-6, 1e13, 2.0**60])
def test_huge_and_tiny_surfaces(scale):
    # The winding number does not change when surface and queries are scaled together.
    v, f = icosphere(1)
    soup = (v[f] * scale).astype(np.float32)
    q = (np.array([[0.1, 0.2, 0.3], [2.0, 0.0, 0.0], [0.5, -0.5, 0.1]]) * scale).astype(np.float32)
    engine = GyrantEngine(soup)
    expected = solid_angle_winding(soup, q)
    # Single-precision terms of 80 triangles seen from well clear of the surface.
    np.testing.assert_allclose(np.from_dlpack(engine.brute_force(q)), expected, atol=1e-5)
    # Far field of half/bfloat16 expansions at beta 2.3 on a coarse sphere (1e-3 at unit scale).
    np.testing.assert_allclose(np.from_dlpack(engine.compute(q)), expected, atol=2e-3)


def test_far_queries_see_a_surface_as_small():
    # From 1e13 radii away up to the float limit a unit sphere subtends almost nothing: products
    # of three distances overflow, and so may a query scaled into the engine's frame; neither
    # may turn into NaN.
    v, f = icosphere(1)
    engine = GyrantEngine(v[f].astype(np.float32))
    q = np.array([[1e13, 0.0, 0.0], [0.0, -3e20, 1.0], [2e20, -3e20, 1e20], [1e38, 0.0, 0.0],
                  [0.0, -3e38, 1.0], [3e38, 3e38, -3e38]], np.float32)
    np.testing.assert_allclose(np.from_dlpack(engine.brute_force(q)), 0.0, atol=1e-6)
    np.testing.assert_allclose(np.from_dlpack(engine.compute(q)), 0.0, atol=1e-6)
    # Between queries inside: the far lanes' fallback must take its own lane's query.
    inside = (0.5 * v[:6]).astype(np.float32)
    mixed = np.empty((12, 3), np.float32)
    mixed[0::2], mixed[1::2] = q, inside
    got = np.from_dlpack(engine.brute_force(mixed))
    np.testing.assert_allclose(got[0::2], 0.0, atol=1e-6)
    np.testing.assert_array_equal(got[1::2], np.from_dlpack(engine.brute_force(inside)))


def test_a_triangle_filling_a_quarter_sphere_counts_a_quarter():
    # Found by test_triangle_soups: off the surface, a triangle seen under a quarter of the sphere.
    tri = np.array([[[0.75, 0.5, 0.5], [1.0, 0.0, 0.5], [0.25, -0.25, 0.0]]], np.float32)
    q = np.array([[0.75, 0.0, 0.5]], np.float32)
    for soup, expected in ((tri, 0.25), (tri[:, ::-1], -0.25)):
        engine = GyrantEngine(np.ascontiguousarray(soup))
        assert solid_angle_winding(soup, q)[0] == pytest.approx(expected, abs=1e-12)
        assert np.from_dlpack(engine.brute_force(q))[0] == expected
        assert np.from_dlpack(engine.compute(q))[0] == expected


def test_compute_smooths_like_brute_force_when_nothing_is_far():
    # Found by test_point_clouds: 65 points make a last leaf of a single point. Its radius is 0,
    # so beta alone accepts it anywhere; it is summed because it lies within the smoothing band
    # (points are accepted only beyond r + 2 epsilon, where the unregularised expansion holds).
    rng = np.random.default_rng(0)
    points, normals = (rng.uniform(-1.0, 1.0, (65, 3)).astype(np.float32) for _ in range(2))
    engine = GyrantEngine(points, normals)
    q = np.array([[0.3, 0.2, 0.1]], np.float32)
    for epsilon in (1.0, math.inf):
        exact = np.from_dlpack(engine.brute_force(q, epsilon))
        # At beta 1e6 no node of this cloud is far: compute sums what brute_force sums.
        np.testing.assert_allclose(np.from_dlpack(engine.compute(q, 1e6, epsilon)), exact, atol=1e-6)


# Large surfaces: many leaves and levels, so the reference sees internal nodes accepted, deep
# walks and expansions translated upwards. A few examples keep them to seconds.
LARGE = settings(PROPERTY, max_examples=int(os.environ.get("GYRANT_PROPERTY_LARGE_EXAMPLES", "3")))


def large_surface_and_queries(data):
    n = data.draw(st.integers(1000, 20000), label="primitives")
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1), label="seed"))
    # Clusters of sizes a thousand times apart, so the hierarchy is uneven.
    centres = rng.uniform(-BOX / 2, BOX / 2, (8, 3))
    spreads = 10.0 ** rng.uniform(-3, 0, 8)
    which = rng.integers(0, 8, n)
    points = centres[which] + rng.normal(0.0, 1.0, (n, 3)) * spreads[which, None]
    q = np.vstack([rng.uniform(-BOX, BOX, (32, 3)), points[rng.integers(0, n, 16)] + rng.normal(0, 0.01, (16, 3))])
    return n, rng, np.clip(points, -BOX, BOX), q.astype(np.float32)


@LARGE
@given(st.data())
def test_large_soups_against_the_reference(data):
    n, rng, corners, q = large_surface_and_queries(data)
    soup = (corners[:, None, :] + rng.normal(0.0, 0.02, (n, 3, 3))).astype(np.float32)
    engine = GyrantEngine(soup)
    q64 = q.astype(np.float64)
    expected, tol, centres, weights = soup_reference(soup.astype(np.float64))(q64, -1.0)
    check(query(engine, "brute_force", q, 0), query(engine, "compute", q, 0), expected, tol,
          far_field_tolerance(centres, weights, q64, 2.3), np.ones(len(q), bool))


@LARGE
@given(st.data())
def test_large_point_clouds_against_the_reference(data):
    n, rng, points, q = large_surface_and_queries(data)
    p = points.astype(np.float32)
    normals = (rng.normal(0.0, 1.0, (n, 3)) * 1e-3).astype(np.float32)
    engine = GyrantEngine(p, normals)
    q64 = q.astype(np.float64)
    terms, tol = point_terms(p.astype(np.float64), normals.astype(np.float64), q64, 0.0)
    far = far_field_tolerance(p.astype(np.float64), np.linalg.norm(normals, axis=1).astype(np.float64), q64, 2.0)
    check(query(engine, "brute_force", q, 0, 0.0), query(engine, "compute", q, 0, -1.0, 0.0), terms.sum(axis=1),
          tol.sum(axis=1), far, np.ones(len(q), bool))
