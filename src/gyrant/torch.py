"""Differentiable winding numbers of oriented point clouds for PyTorch.

    import gyrant.torch
    w = gyrant.torch.winding_number(points, normals, queries)   # (Q,), differentiable

w(q) = sum_i normal_i . K(point_i - q) with the engine's regularised dipole kernel K, so the
derivatives with respect to the points, the scaled normals and the queries are the engine's
three vector-Jacobian products (`grad_points`, `grad_scaled_normals`, `gradient`). Only the
inputs that require grad get one.

The engine works in float32: other floating dtypes are converted for it, and the winding
numbers and gradients come back in the inputs' dtypes (with float32 accuracy). Tensors live on
the module's device: CPU in the host flavour, one CUDA device in the cuda flavour, where the
work is ordered on PyTorch's current stream.

PyTorch is imported when first needed, so this module imports without it.
"""
import atexit
import weakref

import gyrant_module

from gyrant.surface import quiet_stdout

__all__ = ["winding_number", "WindingNumber"]

_function = None


class _Held:
    """An engine kept by an autograd graph for its backward pass."""

    __slots__ = ("engine", "__weakref__")

    def __init__(self, engine):
        self.engine = engine


_held = weakref.WeakSet()


@atexit.register
def _release_engines():
    # A graph still alive at exit (a module-level result) is not freed before the extension's
    # teardown, which would then report its engines as leaked: free them first.
    for held in list(_held):
        held.engine = None


def _torch():
    try:
        import torch
    except ImportError as error:
        raise ImportError("gyrant.torch needs PyTorch: install it with `python3 -m pip install torch`.") from error
    return torch


def _stream(torch, device):
    """The raw handle of the current stream on `device` (0, the host flavour's only stream, on CPU)."""
    return torch.cuda.current_stream(device).cuda_stream if device.type == "cuda" else 0


def _engine_input(tensor, torch):
    """`tensor` as the engine reads it: detached, float32, C-contiguous."""
    return tensor.detach().to(torch.float32).contiguous()


def _build_function():
    torch = _torch()
    from torch.autograd.function import once_differentiable

    class WindingNumber(torch.autograd.Function):
        """w = compute(queries) on an engine built from (points, normals); backward by the VJPs.

        apply(points, normals, queries, beta, epsilon); `winding_number` checks the inputs first.
        """

        @staticmethod
        def forward(ctx, points, normals, queries, beta, epsilon):
            stream = _stream(torch, queries.device)
            p, n, q = (_engine_input(t, torch) for t in (points, normals, queries))
            if stream != 0:
                # The engine builds on a stream of its own: the inputs must be ready for it.
                torch.cuda.current_stream(queries.device).synchronize()
            with quiet_stdout():  # the package's standard output is the caller's
                engine = gyrant_module.GyrantEngine(p, n)
            w = torch.from_dlpack(engine.compute(q, beta=beta, epsilon=epsilon, stream=stream))
            # The backward products reuse the engine (its tree and expansions) and these queries.
            ctx.held, ctx.queries, ctx.beta, ctx.epsilon = _Held(engine), q, beta, epsilon
            _held.add(ctx.held)
            ctx.dtypes = (points.dtype, normals.dtype, queries.dtype)
            return w.to(torch.promote_types(torch.promote_types(points.dtype, normals.dtype), queries.dtype))

        @staticmethod
        @once_differentiable
        def backward(ctx, grad_w):
            engine, q, beta, epsilon = ctx.held.engine, ctx.queries, ctx.beta, ctx.epsilon
            stream = _stream(torch, q.device)
            v = _engine_input(grad_w, torch)  # a sum's gradient arrives expanded (stride 0)
            want_p, want_n, want_q = ctx.needs_input_grad[:3]
            args = dict(beta=beta, epsilon=epsilon, stream=stream)
            g_p = g_n = g_q = None
            if want_p:
                g_p = torch.from_dlpack(engine.grad_points(v, q, **args)).to(ctx.dtypes[0])
            if want_n:
                g_n = torch.from_dlpack(engine.grad_scaled_normals(v, q, **args)).to(ctx.dtypes[1])
            if want_q:
                g_q = (v[:, None] * torch.from_dlpack(engine.gradient(q, **args))).to(ctx.dtypes[2])
            return g_p, g_n, g_q, None, None

    return WindingNumber


def __getattr__(name):
    # The Function subclasses torch's, so it is defined on first access, not at import.
    global _function
    if name == "WindingNumber":
        if _function is None:
            _function = _build_function()
        return _function
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _check(torch, points, normals, queries, beta, epsilon):
    named = (("points", points), ("normals", normals), ("queries", queries))
    for name, t in named:
        if not isinstance(t, torch.Tensor):
            raise TypeError(f"{name} must be a torch.Tensor, not {type(t).__name__}.")
        if t.dim() != 2 or t.shape[1] != 3:
            raise ValueError(f"{name} must have shape (n, 3), not {tuple(t.shape)}.")
        if not t.is_floating_point():
            raise TypeError(f"{name} must hold floating-point values, not {t.dtype}.")
    if points.shape[0] != normals.shape[0]:
        raise ValueError(f"points and normals must have the same number of rows "
                         f"({points.shape[0]} points, {normals.shape[0]} normals).")
    devices = {t.device for _, t in named}
    if len(devices) > 1:
        raise ValueError(f"points, normals and queries must be on one device, not {sorted(map(str, devices))}.")
    device = queries.device
    wanted = "cuda" if gyrant_module.flavour == "cuda" else "cpu"
    if device.type != wanted:
        raise ValueError(f"gyrant's {gyrant_module.flavour} flavour takes {wanted} tensors, not {device.type} ones.")
    for name, value in (("beta", beta), ("epsilon", epsilon)):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"{name} must be a number, not {type(value).__name__}.")


def winding_number(points, normals, queries, beta=-1.0, epsilon=-1.0):
    """Differentiable winding number of an oriented point cloud at every query.

    Parameters
    ----------
    points : Tensor (N, 3)
        The point positions.
    normals : Tensor (N, 3)
        Scaled normals: the outward direction at each point, its length the point's area.
    queries : Tensor (Q, 3)
        Where to evaluate.
    beta : float
        Degree of approximation, as for `GyrantEngine.compute` (larger is more precise; negative
        for the default, 2.0). `float('inf')` sums every pair exactly, also in the backward pass.
    epsilon : float
        Regularisation radius, as for `GyrantEngine.compute` (negative for the default, 1/250).

    Returns
    -------
    Tensor (Q,)
        The winding numbers, differentiable with respect to whichever of points, normals and
        queries require grad. The engine is built anew at every call (its points may move).
    """
    torch = _torch()
    _check(torch, points, normals, queries, beta, epsilon)
    return __getattr__("WindingNumber").apply(points, normals, queries, float(beta), float(epsilon))
