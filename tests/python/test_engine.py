"""GyrantEngine: argument checking, messages, defaults, result ownership, empty surfaces."""
import gc

import numpy as np
import pytest

from conftest import KDL_CPU, DLPackView, icosphere, solid_angle_winding
import gyrant_module
from gyrant_module import GyrantEngine


def sphere_soup(subdivisions=1):
    v, f = icosphere(subdivisions)
    return v[f]


def sphere_points(n=200, seed=0):
    """Points on the unit sphere with outward normals carrying equal shares of its area."""
    rng = np.random.default_rng(seed)
    p = rng.normal(size=(n, 3))
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    return p, p * (4.0 * np.pi / n)


def random_queries(n, seed=1, scale=1.5):
    return np.random.default_rng(seed).uniform(-scale, scale, size=(n, 3))


@pytest.fixture
def tri_engine(dev):
    return GyrantEngine(dev.array(sphere_soup()))


@pytest.fixture
def point_engine(dev):
    p, n = sphere_points()
    return GyrantEngine(dev.array(p), dev.array(n))


# ---------------------------------------------------------------------------------------------
# Registration, signatures, docstrings, defaults.

SIGNATURES = {
    "__init__": [
        "def __init__(self, triangles: Array[N, 3, 3; float32; cuda]) -> None",
        "def __init__(self, vertices: Array[M, 3; float32; cuda], triange_indices: Array[N, 3; uint32; cuda]) -> None",
        "def __init__(self, points: Array[N, 3; float32; cuda], normals: Array[N, 3; float32; cuda]) -> None",
    ],
    "solve_normals": [
        "def solve_normals(pc: Array[N, 3; float32; cuda], extra_points: Array[K, 3; float32; cuda], extra_wn: Array[K; float32; cuda], pc_wn: Optional[Array[N; float32; cuda]] = None, alpha_extra: float = 0.2, *, iterations: int = 15, tolerance: float = 0.07, coarse_points: int = 8000, consistency_steps: int = 2, return_history: bool = False, progress: Optional[Callable[[str, float], None]] = None) -> GyrantEngine"
    ],
    "scaled_normals": ["@property\ndef scaled_normals(self) -> Array[N, 3]"],
    "compute": [
        "def compute(self, queries: Array[N, 3; float32; cuda], beta: float32 = -1, epsilon: float32 = -1, stream: uint64_t = 0, *, method: str = 'hierarchical') -> Array"
    ],
    "brute_force": [
        "def brute_force(self, queries: Array[N, 3; float32, cuda], epsilon: float32 = -1, stream: uint64_t = 0)-> Array"
    ],
    "grad_scaled_normals": [
        "def grad_scaled_normals(self, grad_output: Array[Q; float32; cuda], queries: Optional[Array[Q, 3; float32; "
        "cuda]] = None, beta: float32 = -1, epsilon: float32 = -1, stream: uint64_t = 0) -> Array[N, 3; float32; cuda]"
    ],
    "grad_points": [
        "def grad_points(self, grad_output: Array[Q; float32; cuda], queries: Optional[Array[Q, 3; float32; "
        "cuda]] = None, beta: float32 = -1, epsilon: float32 = -1, stream: uint64_t = 0) -> Array[N, 3; float32; cucda]"
    ],
    "dump": ["def dump(self) -> str"],
}

FIRST_SENTENCES = {
    "__init__": [
        "Initialize the engine using a triangle soup.",
        "Initialize the engine using a triangle soup with N Triangles using M shared vertices.",
        "Initialize the engine using a point cloud with scaled normals.",
    ],
    "solve_normals": ["Solves for optimal scaled normals for a point cloud."],
    "scaled_normals": ["Returns a copy of the scaled normals currently stored in the engine."],
    "compute": ["Computes the winding number at the given query locations."],
    "brute_force": [
        "Computes the winding numbers at the given query location with brute force on GPU.\n"
        "This is O(N^2) but precise."
    ],
    "grad_scaled_normals": ["Compute the Vector-Jacobian Product (VJP) for the scaled normals."],
    "grad_points": ["Compute the Vector-Jacobian Product (VJP) for the source point positions."],
    "dump": ["Returns a detailed string representation of the internal BVH8 Tree."],
}


def nb_signature(name):
    member = GyrantEngine.__dict__[name]
    if isinstance(member, property):
        member = member.fget
    return member.__nb_signature__


def test_members_signatures_and_docstrings():
    members = [k for k in GyrantEngine.__dict__ if k in SIGNATURES]
    assert members == list(SIGNATURES), "registration order"
    for name, texts in SIGNATURES.items():
        overloads = nb_signature(name)
        assert [o[0] for o in overloads] == texts, name
        for (_, doc, _), first in zip(overloads, FIRST_SENTENCES[name]):
            assert doc.startswith(first), name
            assert "Parameters" in doc or "Returns" in doc, name
    for name in ("grad_scaled_normals", "grad_points"):
        assert nb_signature(name)[0][1].rstrip().endswith("SUBJECT TO CHANGE")
    assert isinstance(GyrantEngine.__dict__["scaled_normals"], property)
    assert GyrantEngine.__dict__["scaled_normals"].fset is None


def test_omitted_arguments_select_the_engine_defaults(dev, tri_engine, point_engine):
    q = dev.array(random_queries(300))
    run = lambda r: dev.to_numpy(r).copy()  # noqa: E731
    # Omitted beta/epsilon/stream pass -1, -1, 0, which the engine resolves to 2.3 (triangles)
    # or 2.0 (points) and 0.004: the results are bit for bit those of the explicit values.
    np.testing.assert_array_equal(run(tri_engine.compute(q)), run(tri_engine.compute(q, 2.3, 0.004, 0)))
    np.testing.assert_array_equal(run(tri_engine.compute(q)), run(tri_engine.compute(q, beta=-1, epsilon=-1)))
    np.testing.assert_array_equal(run(point_engine.compute(q)), run(point_engine.compute(q, 2.0, 0.004)))
    np.testing.assert_array_equal(run(point_engine.brute_force(q)),
                                  run(point_engine.brute_force(q, epsilon=0.004, stream=0)))
    # ... and the values given are passed on: a larger smoothing radius changes point results.
    assert not np.array_equal(run(point_engine.brute_force(q)), run(point_engine.brute_force(q, 0.5)))


# ---------------------------------------------------------------------------------------------
# Argument conversion: what nanobind refuses with TypeError.


def test_type_errors(dev, tri_engine):
    q = random_queries(8)
    bad_queries = [
        dev.array(q, np.float64),             # dtype
        dev.array(q[:, :2]),                  # shape (N, 2)
        dev.array(np.zeros((4, 3, 3))),       # rank
        dev.fortran(q),                       # order
        dev.wrong_kind(q),                    # device kind
        q.tolist(),                           # not an array
    ]
    for bad in bad_queries:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            tri_engine.compute(bad)
        with pytest.raises(TypeError, match="incompatible function arguments"):
            tri_engine.brute_force(bad)

    good = dev.array(q)
    for stream in (-1, 2**64, 1.0, np.int64(-1)):
        with pytest.raises(TypeError):
            tri_engine.compute(good, stream=stream)
        with pytest.raises(TypeError):
            tri_engine.brute_force(good, stream=stream)
    with pytest.raises(TypeError):
        tri_engine.compute()
    with pytest.raises(TypeError):
        tri_engine.compute(good, beta="2")

    soup = sphere_soup(0)
    v, f = icosphere(0)
    bad_constructions = [
        (dev.array(soup, np.float64),),
        (dev.array(soup.reshape(-1, 9)),),
        (dev.fortran(soup),),
        (dev.wrong_kind(soup),),
        # int64 indices are refused, not converted (a wrap-around would hide bad indices).
        (dev.array(v), dev.array(f, np.int64)),
        (dev.array(v), dev.array(f, np.float32)[:, :2]),
        (dev.array(v), dev.wrong_kind(f, np.uint32)),
        (dev.array(v, np.float64), dev.array(v)),
        (dev.array(v), dev.array(v), dev.array(v)),
        (),
    ]
    for args in bad_constructions:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            GyrantEngine(*args)
    with pytest.raises(TypeError):
        GyrantEngine(points=dev.array(v))


def test_large_stream_handles_are_accepted(dev, tri_engine):
    # Any integer below 2**64 is a handle: it passes conversion and reaches the device check,
    # which fails here first because the queries sit on another device.
    other = dev.other_device(random_queries(4))
    for stream in (0, 2**63, 2**64 - 1):
        with pytest.raises(RuntimeError, match="queries must reside on the same CUDA device"):
            tri_engine.compute(other, stream=stream)
        with pytest.raises(RuntimeError, match="queries must reside on the same CUDA device"):
            tri_engine.brute_force(other, 0.1, stream)


def test_real_stream_handles(dev, tri_engine):
    streams = dev.streams()
    if not streams:
        pytest.skip("the host flavour has no framework streams")
    q = dev.array(random_queries(500))
    expected = dev.to_numpy(tri_engine.brute_force(q))
    for owner, handle in streams:
        r = tri_engine.brute_force(q, stream=handle)
        c = tri_engine.compute(q, stream=handle)
        owner.synchronize()
        np.testing.assert_array_equal(dev.to_numpy(r), expected)
        # compute approximates far nodes; on this small sphere it stays within 1e-3.
        np.testing.assert_allclose(dev.to_numpy(c), expected, atol=1e-3)


# ---------------------------------------------------------------------------------------------
# Messages, in the order their tests run.


def test_constructor_messages(dev):
    p, n = sphere_points(100)
    with pytest.raises(RuntimeError, match=r"^Shape of points must be equal to shape of normals\.$"):
        GyrantEngine(dev.array(p), dev.array(n[:99]))
    # The device test comes first, even when the lengths differ too.
    for points, normals in ((dev.array(p), dev.other_device(n[:99])), (dev.other_device(p), dev.array(n))):
        with pytest.raises(RuntimeError, match=r"^Points and Normals must be on the same CUDA device\.$"):
            GyrantEngine(points, normals)
        with pytest.raises(RuntimeError, match=r"^Points and Normals must be on the same CUDA device\.$"):
            GyrantEngine(points=points, normals=normals)

    v, f = icosphere(0)
    with pytest.raises(RuntimeError, match=r"^Vertices and triangle_indices must be on the same CUDA device\.$"):
        GyrantEngine(dev.array(v), dev.other_device(f, np.uint32))
    # Index validation belongs to the engine; its message passes through unchanged.
    bad = f.copy()
    bad[3, 1] = len(v)
    with pytest.raises(RuntimeError, match=r"^The triangle indices are not allowed to exceed the number of "
                                           r"vertices\. Vertex count is 12, max index is 12\.$"):
        GyrantEngine(dev.array(v), dev.array(bad, np.uint32))
    # The largest valid index passes; the keyword is `triangle_indices`.
    GyrantEngine(vertices=dev.array(v), triangle_indices=dev.array(f, np.uint32))
    if isinstance(dev.array(v), np.ndarray):
        # Inputs are only read: read-only arrays are accepted.
        frozen = dev.array(v[f])
        frozen.setflags(write=False)
        engine = GyrantEngine(frozen)
        engine.brute_force(frozen.reshape(-1, 3))


def test_query_device_must_match_the_engine(dev, tri_engine, point_engine):
    other = dev.other_device(random_queries(16))
    grad = dev.other_device(np.ones(16))
    for engine in (tri_engine, point_engine):
        with pytest.raises(RuntimeError, match=r"^queries must reside on the same CUDA device as the engine\.$"):
            engine.compute(other)
        with pytest.raises(RuntimeError, match=r"^queries must reside on the same CUDA device as the engine\.$"):
            engine.brute_force(queries=other)
        # The device is checked before anything else, the triangle engine's refusal included.
        with pytest.raises(RuntimeError, match=r"^grad_output must reside on the same CUDA device as the engine\.$"):
            engine.grad_scaled_normals(grad)
        with pytest.raises(RuntimeError, match=r"^grad_output must reside on the same CUDA device as the engine\.$"):
            engine.grad_points(grad_output=grad)


def test_engine_built_on_another_device(dev):
    # An engine lives where its input arrays live; queries there are accepted, queries on the
    # caller's usual device are refused.
    soup = sphere_soup()
    engine = GyrantEngine(dev.other_device(soup))
    q = random_queries(64)
    with pytest.raises(RuntimeError, match="queries must reside on the same CUDA device"):
        engine.brute_force(dev.array(q))
    result = engine.brute_force(dev.other_device(q))
    assert result.__dlpack_device__() == (dev.kind, 1)
    if dev.kind == KDL_CPU:  # host flavour: the memory is ordinary memory
        np.testing.assert_allclose(np.from_dlpack(result), solid_angle_winding(soup, q), atol=2e-6)


def test_point_cloud_only_messages(dev, tri_engine):
    with pytest.raises(RuntimeError, match=r"^Normals are not explicitly stored for triangle based geometry\.$"):
        tri_engine.scaled_normals
    g = dev.array(np.ones(10))
    only = r" is only available for point clouds; this engine holds triangles\.$"
    with pytest.raises(RuntimeError, match=r"^grad_scaled_normals" + only):
        tri_engine.grad_scaled_normals(g)
    with pytest.raises(RuntimeError, match=r"^grad_points" + only):
        tri_engine.grad_points(g)
    with pytest.raises(RuntimeError, match=r"^gradient" + only):
        tri_engine.gradient(dev.array(random_queries(4)))


def test_solve_normals_messages(dev):
    p, _ = sphere_points(64)
    pc, extra = dev.array(p), dev.array(random_queries(5))
    extra_wn = dev.array(np.zeros(5))
    same_device = r"^All input arrays must reside on the same CUDA device\.$"
    with pytest.raises(RuntimeError, match=same_device):
        GyrantEngine.solve_normals(pc, dev.other_device(random_queries(5)), extra_wn)
    with pytest.raises(RuntimeError, match=same_device):
        GyrantEngine.solve_normals(pc, extra, dev.other_device(np.zeros(5)))
    # pc_wn: device first, then length.
    with pytest.raises(RuntimeError, match=r"^pc_wn must reside on the same CUDA device as pc\.$"):
        GyrantEngine.solve_normals(pc, extra, extra_wn, dev.other_device(np.zeros(3)))
    with pytest.raises(RuntimeError, match=r"^pc_wn must have one value per point\.$"):
        GyrantEngine.solve_normals(pc, extra, extra_wn, dev.array(np.zeros(63)))
    # A shorter extra_wn would be read past its end.
    with pytest.raises(RuntimeError, match=r"^extra_wn must have one value per extra point\.$"):
        GyrantEngine.solve_normals(pc=pc, extra_points=extra, extra_wn=dev.array(np.zeros(2)),
                                   pc_wn=dev.array(np.full(64, 0.5)), alpha_extra=1)
    bad = p.copy()
    bad[3, 1] = np.nan
    with pytest.raises(RuntimeError, match=r"^solve_normals: points must be finite\.$"):
        GyrantEngine.solve_normals(dev.array(bad), extra, extra_wn)
    with pytest.raises(RuntimeError, match=r"^solve_normals: extra_wn must be finite\.$"):
        GyrantEngine.solve_normals(pc, extra, dev.array([0, 0, np.inf, 0, 0]))
    with pytest.raises(RuntimeError, match=r"^solve_normals: alpha_extra must be finite and not negative\.$"):
        GyrantEngine.solve_normals(pc, extra, extra_wn, None, -1.0)
    # Empty clouds and no extra points are defined.
    empty = GyrantEngine.solve_normals(dev.array(np.zeros((0, 3))), extra, extra_wn)
    assert dev.to_numpy(empty.scaled_normals).shape == (0, 3)
    alone = GyrantEngine.solve_normals(pc, dev.array(np.zeros((0, 3))), dev.array(np.zeros(0)))
    assert dev.to_numpy(alone.scaled_normals).shape == (64, 3)
    with pytest.raises(TypeError):
        GyrantEngine.solve_normals(pc, extra, extra_wn, dev.array(np.zeros(64), np.float64))


# ---------------------------------------------------------------------------------------------
# Results: values, shape, device, ownership.


def test_results_are_exact_on_a_closed_sphere(dev):
    soup = sphere_soup(2)
    v, f = icosphere(2)
    q = random_queries(1000, seed=5)
    expected = solid_angle_winding(soup, q)
    for engine in (GyrantEngine(dev.array(soup)), GyrantEngine(dev.array(v), dev.array(f, np.uint32))):
        exact = dev.to_numpy(engine.brute_force(dev.array(q)))
        approx = dev.to_numpy(engine.compute(dev.array(q)))
        # Single-precision atan2 per triangle, summed with compensation over 320 triangles.
        np.testing.assert_allclose(exact, expected, atol=2e-6)
        # The far field uses half/bfloat16 second-order expansions at beta 2.3; the largest
        # difference we measured on these queries is 5.7e-4.
        np.testing.assert_allclose(approx, expected, atol=1e-3)
        r = np.linalg.norm(q, axis=1)
        clear = np.abs(r - 1.0) > 0.1
        assert ((approx[clear] > 0.5) == (r[clear] < 1.0)).all()


def test_result_arrays_own_their_memory(dev):
    engine = GyrantEngine(dev.array(sphere_soup()))
    q = random_queries(257)
    qa = dev.array(q)
    result = engine.brute_force(qa)
    approx = engine.compute(qa)
    assert type(result).__name__ == "nb_ndarray"
    assert result.__dlpack_device__() == (dev.kind, 0)
    assert approx.__dlpack_device__() == (dev.kind, 0)
    values = dev.to_numpy(result).copy()
    assert values.shape == (257,) and values.dtype == np.float32

    # Imports share the buffer: no copy.
    assert dev.data_pointer(result) == dev.data_pointer(result)
    imported = dev.to_numpy(result) if dev.kind == KDL_CPU else None

    # Results outlive the engine and the query array.
    del engine, qa
    gc.collect()
    np.testing.assert_array_equal(dev.to_numpy(result), values)
    np.testing.assert_allclose(dev.to_numpy(approx), values, atol=1e-3)

    # An imported array keeps the buffer alive after the result object is gone, even while
    # new results are allocated (which would reuse a freed buffer).
    if imported is not None:
        del result
        gc.collect()
        other = GyrantEngine(dev.array(sphere_soup(0) * 3.0))
        scratch = [other.brute_force(dev.array(random_queries(257, seed=k))) for k in range(4)]
        np.testing.assert_array_equal(imported, values)
        assert len(scratch) == 4  # kept alive until the check is done


def test_empty_queries(dev, tri_engine, point_engine):
    empty = dev.array(np.zeros((0, 3)))
    for engine in (tri_engine, point_engine):
        for r in (engine.brute_force(empty), engine.compute(empty)):
            out = dev.to_numpy(r)
            assert out.shape == (0,) and out.dtype == np.float32
            assert r.__dlpack_device__() == (dev.kind, 0)


def test_oversized_query_arrays_are_refused(dev, tri_engine):
    if dev.kind != KDL_CPU:
        pytest.skip("needs an array that claims more rows than its memory holds (host flavour)")
    # 2^50 claimed rows over 12 real bytes: refused before anything is allocated or read.
    huge = DLPackView(np.zeros((1, 3), np.float32), KDL_CPU, 0, shape=(2**50, 3))
    with pytest.raises(RuntimeError, match="brute_force takes at most 4294967040 query points"):
        tri_engine.brute_force(huge)
    with pytest.raises(RuntimeError, match="compute takes at most 4294967040 query points"):
        tri_engine.compute(huge)


def test_empty_surfaces(dev):
    q = dev.array(random_queries(100))
    engines = [
        GyrantEngine(dev.array(np.zeros((0, 3, 3)))),
        GyrantEngine(dev.array(np.zeros((0, 3))), dev.array(np.zeros((0, 3)))),
        GyrantEngine(dev.array(np.zeros((5, 3))), dev.array(np.zeros((0, 3)), np.uint32)),
    ]
    for engine in engines:
        np.testing.assert_array_equal(dev.to_numpy(engine.compute(q)), np.zeros(100, np.float32))
        np.testing.assert_array_equal(dev.to_numpy(engine.brute_force(q)), np.zeros(100, np.float32))
        assert engine.dump() == "digraph BVH8 {\n}\n"


def test_point_cloud_winding_numbers(dev):
    p, n = sphere_points(2000, seed=3)
    engine = GyrantEngine(dev.array(p), dev.array(n))
    q = random_queries(400, seed=4)
    r = np.linalg.norm(q, axis=1)
    clear = np.abs(r - 1.0) > 0.2
    exact = dev.to_numpy(engine.brute_force(dev.array(q)))
    approx = dev.to_numpy(engine.compute(dev.array(q)))
    # Double-precision dipole sum, unregularized beyond 2 * epsilon from every point.
    d = p[None, :, :] - q[:, None, :]
    dist = np.linalg.norm(d, axis=-1)
    reference = (np.einsum("qpk,pk->qp", d, n) / (4.0 * np.pi * dist**3)).sum(axis=1)
    # Single-precision terms with compensated summation (measured: 1e-7 absolute).
    np.testing.assert_allclose(exact[clear], reference[clear], rtol=1e-4, atol=1e-5)
    # Far field of half/bfloat16 expansions at beta 2.0; measured largest difference 3.1e-3.
    np.testing.assert_allclose(approx[clear], exact[clear], atol=5e-3)
    # Monte-Carlo points: away from the surface the sum is close enough to 0/1 to classify.
    assert ((exact[clear] > 0.5) == (r[clear] < 1.0)).all()


def _at_odd_offset(values, dtype=np.float32):
    """A C-contiguous NumPy view whose data starts one byte past an aligned address."""
    a = np.ascontiguousarray(values, dtype=dtype)
    raw = np.zeros(a.nbytes + 1, np.uint8)
    view = np.frombuffer(raw.data, dtype=dtype, count=a.size, offset=1).reshape(a.shape)
    view[...] = a
    return view


@pytest.mark.skipif(gyrant_module.flavour != "host", reason="a NumPy view at an odd byte offset")
def test_misaligned_arrays_are_refused_by_name(point_engine):
    # Read in place they would be misaligned reads (undefined; a fault on a GPU): refused, not copied.
    p, n = sphere_points()
    q = random_queries(4)
    calls = {
        "triangles": lambda: GyrantEngine(_at_odd_offset(sphere_soup())),
        "vertices": lambda: GyrantEngine(_at_odd_offset(icosphere()[0]), icosphere()[1].astype(np.uint32)),
        "triangle_indices": lambda: GyrantEngine(icosphere()[0].astype(np.float32),
                                                 _at_odd_offset(icosphere()[1], np.uint32)),
        "normals": lambda: GyrantEngine(p.astype(np.float32), _at_odd_offset(n)),
        "queries": lambda: point_engine.compute(_at_odd_offset(q)),
        "grad_output": lambda: point_engine.grad_points(_at_odd_offset(np.ones(4)), q.astype(np.float32)),
        "pc": lambda: GyrantEngine.solve_normals(_at_odd_offset(p), q.astype(np.float32), np.zeros(4, np.float32)),
    }
    for name, call in calls.items():
        with pytest.raises(ValueError, match=rf"^{name} is not aligned: its data must start at a multiple of 4 bytes"):
            call()
    # Empty arrays are never read, wherever they start.
    assert np.from_dlpack(point_engine.compute(_at_odd_offset(np.zeros((0, 3))))).shape == (0,)
