"""Differentiable winding numbers of oriented point clouds, and signed distances, for PyTorch.

    import gyrant.torch
    w = gyrant.torch.winding_number(points, normals, queries)   # (Q,), differentiable
    s = gyrant.torch.signed_distance(vertices, faces, queries)  # (Q,), differentiable in queries
    s = gyrant.torch.point_signed_distance(points, normals, queries)

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


__all__ = ["winding_number", "WindingNumber", "signed_distance", "point_signed_distance", "SignedDistance"]

_function = None
_sdf_function = None


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
            engine = gyrant_module.GyrantEngine._quiet(p, n)  # stdout is the caller's
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
    global _sdf_function
    if name == "WindingNumber":
        if _function is None:
            _function = _build_function()
        return _function
    if name == "SignedDistance":
        if _sdf_function is None:
            _sdf_function = _build_sdf_function()
        return _sdf_function
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


def _build_sdf_function():
    torch = _torch()
    from torch.autograd.function import once_differentiable

    class SignedDistance(torch.autograd.Function):
        """s = engine.signed_distance(queries); ds/dq = sign(s) (q - c) / |q - c|, c the closest point.

        apply(engine, queries, beta, epsilon, sign, max_distance): the engine is built by the caller.
        """

        @staticmethod
        def forward(ctx, engine, queries, beta, epsilon, sign, max_distance):
            stream = _stream(torch, queries.device)
            q = _engine_input(queries, torch)
            s = torch.from_dlpack(engine.signed_distance(q, beta=beta, epsilon=epsilon, sign=sign,
                                                         max_distance=max_distance, stream=stream))
            if ctx.needs_input_grad[1]:
                _, closest, _ = engine.closest_point(q, max_distance=max_distance, stream=stream)
                offset = q - torch.from_dlpack(closest)
                length = torch.linalg.vector_norm(offset, dim=1, keepdim=True)
                # On the surface (and beyond the band, where there is no closest point) the
                # direction is undefined: no gradient there rather than NaN.
                unit = torch.where(length > 0, offset / length, torch.zeros_like(offset))
                sign_of = torch.where(s < 0, -1.0, 1.0).to(unit.dtype)[:, None]
                ctx.save_for_backward(torch.nan_to_num(unit * sign_of, nan=0.0))
            ctx.dtype = queries.dtype
            return s.to(queries.dtype)

        @staticmethod
        @once_differentiable
        def backward(ctx, grad_s):
            (direction,) = ctx.saved_tensors
            g = (grad_s.to(direction.dtype)[:, None] * direction).to(ctx.dtype)
            return None, g, None, None, None, None

    return SignedDistance


def _check_sdf(torch, named, queries, sign, max_distance):
    for name, t in named + (("queries", queries),):
        if not isinstance(t, torch.Tensor):
            raise TypeError(f"{name} must be a torch.Tensor, not {type(t).__name__}.")
        if t.dim() != 2 or t.shape[1] != 3:
            raise ValueError(f"{name} must have shape (n, 3), not {tuple(t.shape)}.")
    devices = {t.device for _, t in named + (("queries", queries),)}
    if len(devices) > 1:
        raise ValueError(f"the surface and the queries must be on one device, not {sorted(map(str, devices))}.")
    wanted = "cuda" if gyrant_module.flavour == "cuda" else "cpu"
    if queries.device.type != wanted:
        raise ValueError(f"gyrant's {gyrant_module.flavour} flavour takes {wanted} tensors, not {queries.device.type} ones.")
    if not queries.is_floating_point():
        raise TypeError(f"queries must hold floating-point values, not {queries.dtype}.")
    if sign not in ("winding", "abs_winding", "none"):
        raise ValueError(f"sign must be 'winding', 'abs_winding' or 'none', not {sign!r}.")
    if not float(max_distance) >= 0:
        raise ValueError("max_distance must be zero or positive (inf for no limit).")


def _build_engine(torch, queries, *arrays):
    if queries.device.type == "cuda":
        # The engine builds on a stream of its own: the inputs must be ready for it.
        torch.cuda.current_stream(queries.device).synchronize()
    return gyrant_module.GyrantEngine._quiet(*arrays)  # stdout is the caller's


def signed_distance(vertices, faces, queries, beta=-1.0, sign="winding", max_distance=float("inf")):
    """Signed distance from a triangle mesh, differentiable with respect to the queries.

    Parameters
    ----------
    vertices : Tensor (V, 3)
    faces : integer Tensor (F, 3)
        Corner indices into vertices, counter-clockwise seen from outside.
    queries : Tensor (Q, 3)
    beta : float
        Degree of approximation of the winding number that gives the sign (negative: default);
        the sign is certified by the exact sum wherever the approximation is in doubt.
    sign : str
        "winding" (inside where w > 0.5), "abs_winding" (|w| > 0.5, for inconsistently oriented
        soups) or "none" (unsigned).
    max_distance : float
        Narrow band: queries farther from the surface get +inf (and a zero gradient).

    Returns
    -------
    Tensor (Q,)
        Negative inside, in the queries' dtype. Its gradient with respect to the queries is the
        unit vector from the closest point, times the sign (zero on the surface). The mesh gets no
        gradient.
    """
    torch = _torch()
    _check_sdf(torch, (("vertices", vertices), ("faces", faces)), queries, sign, max_distance)
    if faces.is_floating_point() or faces.dtype == torch.bool:
        raise TypeError(f"faces must hold integer indices, not {faces.dtype}.")
    f = faces.detach()
    if f.numel() and (int(f.min()) < 0 or int(f.max()) >= vertices.shape[0]):
        raise ValueError(f"faces index vertices 0 to {vertices.shape[0] - 1}; "
                         f"{int(f.min())} to {int(f.max())} were given.")
    # The soup of the faces, in their order (an engine's triangle indices are the faces').
    soup = _engine_input(vertices, torch)[f.to(torch.int64)].contiguous()
    engine = _build_engine(torch, queries, soup)
    return __getattr__("SignedDistance").apply(engine, queries, float(beta), -1.0, sign, float(max_distance))


def point_signed_distance(points, normals, queries, beta=-1.0, epsilon=-1.0, max_distance=float("inf")):
    """Signed distance to an oriented point cloud (a scan), differentiable with respect to the queries.

    The distance is to the nearest point; the sign is the cloud's own winding number (with
    `epsilon`, as for `GyrantEngine.compute`), inside where it exceeds 0.5. Arguments and result
    as for `signed_distance`; normals are scaled normals as for `winding_number`.
    """
    torch = _torch()
    _check_sdf(torch, (("points", points), ("normals", normals)), queries, "winding", max_distance)
    if points.shape[0] != normals.shape[0]:
        raise ValueError(f"points and normals must have the same number of rows "
                         f"({points.shape[0]} points, {normals.shape[0]} normals).")
    engine = _build_engine(torch, queries, _engine_input(points, torch), _engine_input(normals, torch))
    return __getattr__("SignedDistance").apply(engine, queries, float(beta), float(epsilon), "winding",
                                               float(max_distance))
