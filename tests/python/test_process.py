"""The module inside real processes: after other CUDA-linked libraries, and across fork."""
import ctypes
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import gyrant_module

host_only = pytest.mark.skipif(gyrant_module.flavour != "host", reason="the host flavour's own runtime")


def run_python(code, timeout=240):
    """Runs `code` in a fresh interpreter that imports this same module; returns stdout, stderr."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(gyrant_module.__file__)] + [p for p in [env.get("PYTHONPATH")] if p])
    # A session of its own, so that a hang ends with every process it forked.
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        pytest.fail(f"no answer within {timeout} s: {err[-3000:]}")
    assert proc.returncode == 0, err[-3000:]
    return out, err


@host_only
def test_module_exports_no_cuda_runtime_names():
    # Exported, these would be bound to (or bind) another library's libcudart in the process.
    lib = ctypes.CDLL(gyrant_module.__file__)
    for name in ("cudaMallocAsync", "cudaFreeAsync", "cudaMemcpyAsync", "cudaGetDevice", "cudaLaunchKernel"):
        assert not hasattr(lib, name), name
    assert hasattr(lib, "PyInit_gyrant_module")


def test_engine_works_after_torch_was_imported_first():
    pytest.importorskip("torch")
    out, _ = run_python("""
        import torch  # loads the real CUDA runtime into the process first
        import numpy as np
        import gyrant_module
        device = "cuda" if gyrant_module.flavour == "cuda" else "cpu"
        v = torch.tensor([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], dtype=torch.float32, device=device)
        f = torch.from_numpy(np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]], dtype=np.uint32)).to(device)
        engine = gyrant_module.GyrantEngine(v, f)
        q = torch.tensor([[0.1, 0.1, 0.1], [1.0, 1.0, 1.0]], device=device)
        print("WN", *torch.from_dlpack(engine.compute(q)).cpu().tolist())
    """)
    wn = [float(x) for x in out.split("WN", 1)[1].split()]
    np.testing.assert_allclose(wn, [1.0, 0.0], atol=1e-5)


@host_only
def test_engines_work_in_forked_children_and_in_the_parent_afterwards():
    # GCC's OpenMP runtime cannot restart its threads in a child forked after they started; the
    # child must neither hang (the timeout catches that) nor compute anything different.
    out, err = run_python("""
        import multiprocessing as mp
        import numpy as np
        import gyrant_module

        rng = np.random.default_rng(3)
        points = rng.normal(size=(4000, 3)).astype(np.float32)
        normals = (points / np.linalg.norm(points, axis=1, keepdims=True) * 4 * np.pi / 4000).astype(np.float32)
        queries = rng.uniform(-1.5, 1.5, size=(20000, 3)).astype(np.float32)
        parent = gyrant_module.GyrantEngine(points, normals)
        expected = np.from_dlpack(parent.compute(queries)).copy()

        def inherited(_):
            return np.from_dlpack(parent.compute(queries)).copy()

        def own(_):
            return np.from_dlpack(gyrant_module.GyrantEngine(points, normals).compute(queries)).copy()

        with mp.get_context("fork").Pool(2) as pool:
            results = pool.map(inherited, range(2)) + pool.map(own, range(2))
        for r in results:
            assert np.array_equal(r, expected)
        assert np.array_equal(np.from_dlpack(parent.compute(queries)), expected)
        print("OK")
    """, timeout=90)
    assert "OK" in out
    # Each child that computed says once why it runs on one thread.
    assert 1 <= err.count("forked after gyrant started its threads") <= 2, err
