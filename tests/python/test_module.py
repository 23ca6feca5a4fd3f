import os
import subprocess
import sys

import pytest

import gyrant_module


def test_module_doc_and_flavour():
    doc = gyrant_module.__doc__
    lines = doc.splitlines()
    assert lines[0] == "        GPU-accelerated Differentiable Winding Number Field library."
    assert lines[1] == ""
    assert "Compatible with any framework supporting DLPack / Array API" in doc
    # Every text line carries the eight-space indentation.
    assert all(line.startswith(" " * 8) for line in lines if line)
    assert gyrant_module.flavour in ("cuda", "host")


_PINNED = """
import numpy as np
from gyrant_module import GyrantEngine
tri = np.array([[[0, 0, 0], [1, 0, 0], [0, 1, 0]]] * 40, np.float32)
e = GyrantEngine(tri)
print(np.asarray(e.compute(np.zeros((3, 3), np.float32) + 0.25)).tolist())
"""


@pytest.mark.skipif(gyrant_module.flavour != "host", reason="the SIMD target is a host-flavour setting")
def test_simd_target_can_be_pinned_from_the_environment():
    def run(value):
        env = dict(os.environ, GYRANT_SIMD_TARGET=value)
        return subprocess.run([sys.executable, "-c", _PINNED], capture_output=True, text=True, env=env,
                              timeout=120)

    assert run("baseline").returncode == 0
    for bad, says in (("avx9000", "is not a target of this build"), ("x86-64-v3", "is not a target")):
        done = run(bad)
        assert done.returncode != 0
        assert "RuntimeError: GYRANT_SIMD_TARGET=" + bad in done.stderr and says in done.stderr, done.stderr
