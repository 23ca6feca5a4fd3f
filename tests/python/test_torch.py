"""The PyTorch wrapper: its gradients against the float64 reference of test_gradients."""
import subprocess
import sys

import numpy as np
import pytest

import gyrant_module
from test_gradients import EPS, central, cloud, queries_around, wn64

try:
    import torch
except ImportError:
    torch = None

needs_torch = pytest.mark.skipif(torch is None, reason="PyTorch is not installed")
DEVICE = "cuda" if gyrant_module.flavour == "cuda" else "cpu"


def tensor(values, dtype, grad=False):
    return torch.tensor(np.asarray(values), dtype=dtype, device=DEVICE, requires_grad=grad)


def reference(p, n, q, v):
    """w and the gradients of v . w with respect to points (sampled rows), normals and queries."""
    w = wn64(p, n, q)
    rows = np.arange(0, len(p), 7)
    d_points = np.zeros((len(rows), 3))
    d_normals = np.zeros((len(rows), 3))
    for k, i in enumerate(rows):
        def moved(x, which, i=i):
            a = (p if which == 0 else n).copy()
            a[i] = x
            return v @ (wn64(a, n, q) if which == 0 else wn64(p, a, q))
        d_points[k] = central(lambda x: moved(x, 0), p[i], 1e-7)
        # w is linear in the normals: a large step is exact.
        d_normals[k] = central(lambda x: moved(x, 1), n[i], 1e-2)
    d_queries = v[:, None] * central(lambda x: wn64(p, n, x), q, 1e-7)
    return w, rows, d_points, d_normals, d_queries


@needs_torch
@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_gradients_match_the_float64_reference(dtype):
    dtype = getattr(torch, dtype)
    p32, n32 = cloud(300, seed=21)
    # Far queries take the root's expansion at any finite beta; infinity sums them exactly too.
    q32 = queries_around(p32, seed=22)
    v = np.random.default_rng(23).normal(size=len(q32))
    p, n, q = (a.astype(np.float64) for a in (p32, n32, q32))
    w_ref, rows, ref_p, ref_n, ref_q = reference(p, n, q, v)

    for beta in (float("inf"), -1.0):
        points, normals, queries = (tensor(a, dtype, grad=True) for a in (p32, n32, q32))
        w = gyrant_torch().winding_number(points, normals, queries, beta=beta, epsilon=EPS)
        assert w.dtype == dtype and w.shape == (len(q),)
        (w * tensor(v, dtype)).sum().backward()
        got = [points.grad[rows], normals.grad[rows], queries.grad]
        assert all(g.dtype == dtype for g in got)
        got = [g.cpu().numpy().astype(np.float64) for g in got]
        w = w.detach().cpu().numpy().astype(np.float64)
        if beta == float("inf"):
            # Exact sums of float32 terms: erf and exp in the smoothed shell cost a few hundred ulps.
            np.testing.assert_allclose(w, w_ref, atol=1e-5)
            for g, r in zip(got, (ref_p, ref_n, ref_q)):
                np.testing.assert_allclose(g, r, rtol=1e-4, atol=1e-4 * np.abs(r).max())
        else:
            # The hierarchy at the default beta: half/bfloat16 second-order expansions.
            for g, r in zip(got, (ref_p, ref_n, ref_q)):
                assert np.linalg.norm(g - r) <= 1e-2 * np.linalg.norm(r)


@needs_torch
def test_only_the_requested_gradients_are_computed(monkeypatch):
    calls = []

    class Spy:
        """The engine, recording which products the backward pass asks for."""

        def __init__(self, points, normals):
            self.engine = gyrant_module.GyrantEngine(points, normals)

        @classmethod
        def _quiet(cls, points, normals):  # the package builds its engines without the report line
            return cls(points, normals)

        def __getattr__(self, name):
            calls.append(name)
            return getattr(self.engine, name)

    spy_module = type(sys)("gyrant_module_spy")
    spy_module.GyrantEngine, spy_module.flavour = Spy, gyrant_module.flavour
    monkeypatch.setattr(gyrant_torch(), "gyrant_module", spy_module)
    p, n = cloud(50, seed=24)
    for wanted in ((0,), (1,), (2,), (0, 2)):
        calls.clear()
        inputs = [tensor(a, torch.float32, grad=k in wanted) for k, a in enumerate((p, n, p[:5] * 0.5))]
        gyrant_torch().winding_number(*inputs).sum().backward()
        names = {0: "grad_points", 1: "grad_scaled_normals", 2: "gradient"}
        assert calls == ["compute"] + [names[k] for k in wanted]
        assert [t.grad is not None for t in inputs] == [k in wanted for k in range(3)]


@needs_torch
def test_bad_input_is_refused_clearly():
    wn = gyrant_torch().winding_number
    p, n = (tensor(a, torch.float32) for a in cloud(20, seed=25))
    q = p[:4]
    with pytest.raises(ValueError, match=r"queries must have shape \(n, 3\), not \(4, 2\)"):
        wn(p, n, q[:, :2])
    with pytest.raises(ValueError, match=r"same number of rows \(20 points, 19 normals\)"):
        wn(p, n[:19], q)
    with pytest.raises(TypeError, match="normals must hold floating-point values, not torch.int32"):
        wn(p, n.to(torch.int32), q)
    with pytest.raises(TypeError, match="points must be a torch.Tensor, not ndarray"):
        wn(p.cpu().numpy(), n, q)
    with pytest.raises(ValueError, match="must be on one device"):
        wn(p, n, torch.zeros((4, 3), device="meta"))
    with pytest.raises(ValueError, match=f"takes {DEVICE} tensors, not meta ones"):
        wn(*(torch.zeros((4, 3), device="meta") for _ in range(3)))
    # No queries: an empty result whose backward is defined.
    points = p.clone().requires_grad_()
    w = wn(points, n, q[:0])
    w.sum().backward()
    assert w.shape == (0,) and torch.count_nonzero(points.grad) == 0


def test_imports_without_torch():
    code = ("import sys; sys.modules['torch'] = None\n"
            "import gyrant, gyrant.torch\n"
            "try:\n    gyrant.torch.winding_number(None, None, None)\n"
            "except ImportError as error:\n    print(error)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "gyrant.torch needs PyTorch" in out


@needs_torch
def test_graphs_alive_at_exit_release_their_engines():
    # A module-level result keeps its graph (and engine) until after the extension's teardown,
    # which then reports the engine as leaked, unless the wrapper frees it at exit.
    code = ("import torch, gyrant.torch\n"
            f"p = torch.rand(30, 3, device={DEVICE!r}, requires_grad=True)\n"
            "w = gyrant.torch.winding_number(p, torch.rand_like(p), p.detach() * 2)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "leaked" not in done.stderr


def gyrant_torch():
    import gyrant.torch

    return gyrant.torch
