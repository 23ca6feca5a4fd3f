"""The README's Python snippets run as written and give the winding numbers their comments claim.

Each ```python block runs where its framework is installed and takes the module's arrays: NumPy
and PyTorch in both flavours (PyTorch on the module's device), CuPy in the cuda flavour only.
"""
import pathlib
import re

import numpy as np
import pytest

import gyrant_module

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(), flags=re.S | re.M)


def test_readme_has_the_framework_snippets():
    imports = [set(re.findall(r"^import (\w+)", block, flags=re.M)) for block in BLOCKS]
    assert [bool({"torch", "cupy"} & found) for found in imports].count(False) >= 1  # NumPy
    assert any("torch" in found for found in imports)
    assert any("cupy" in found for found in imports)


@pytest.mark.parametrize("block", BLOCKS, ids=[f"snippet{i}" for i in range(len(BLOCKS))])
def test_readme_snippet_runs(block):
    imported = set(re.findall(r"^import (\w+)", block, flags=re.M))
    for framework in ("torch", "cupy"):
        if framework in imported:
            pytest.importorskip(framework)
    if "cupy" in imported and gyrant_module.flavour != "cuda":
        pytest.skip("CuPy arrays live on a GPU: cuda flavour only")
    scope = {}
    exec(compile(block, "README.md", "exec"), scope)
    wn = scope["wn"]
    if "cupy" in imported:
        wn = scope["cp"].asnumpy(wn)
    elif "torch" in imported:
        wn = wn.detach().cpu().numpy()  # a differentiable result may require grad
    # One query inside the tetrahedron, one outside. Its 4 triangles share one leaf, whose
    # contributions are always exact: float rounding is the only error. The point-cloud snippet's
    # six points share one leaf too; its centre query is exact and its far one within 1e-6.
    np.testing.assert_allclose(np.asarray(wn), [1.0, 0.0], atol=1e-5)
    if "exact" in scope:
        np.testing.assert_allclose(np.asarray(scope["exact"]), [1.0, 0.0], atol=1e-5)
