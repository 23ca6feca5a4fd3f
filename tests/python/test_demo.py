"""The README demo runs end to end on the shipped mesh and writes its image."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

import gyrant_module

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_demo_runs(tmp_path):
    pytest.importorskip("matplotlib")
    output = tmp_path / "slice.png"
    env = dict(os.environ)
    module_dir = str(pathlib.Path(gyrant_module.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, env.get("PYTHONPATH", "")])
    run = subprocess.run(
        [sys.executable, str(DEMO), "--grid", "40", "--points", "2000", "--output", str(output)],
        capture_output=True, text=True, env=env, timeout=600,
    )
    assert run.returncode == 0, run.stderr
    out = run.stdout
    assert "mesh elephant.off: 2775 vertices, 5558 triangles" in out
    inside, outside = map(int, re.search(r"random points: (\d+) inside, (\d+) outside", out).groups())
    assert inside + outside == 2000 and inside > 0 and outside > 0
    largest = float(re.search(r"largest \|compute - brute_force\|: (\S+) \(random points\)", out).group(1))
    # The far-field error of the default beta on this mesh stays well below the 0.5 threshold.
    assert largest < 2e-3
    assert "inside/outside disagreements between compute and brute_force: 0" in out
    # The slice is square, grid x grid, and its throughput is reported.
    assert re.search(r"slice: \d+ of 1600 points inside", out)
    assert re.search(r"slice 40 x 40 \(1600 points\): compute [\d.]+ ms, [\d,]+ queries/s", out)
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("text, reason", [
    ("OFF\n3 1 0\n0 0 0\n1 0\n", "truncated or malformed"),
    ("OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n", "face index is out of range"),
    (None, "No such file"),
])
def test_demo_refuses_a_bad_mesh_file_in_one_line(tmp_path, text, reason):
    pytest.importorskip("matplotlib")
    mesh = tmp_path / "bad.off"
    if text is not None:
        mesh.write_text(text)
    output = tmp_path / "slice.png"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(pathlib.Path(gyrant_module.__file__).parent), env.get("PYTHONPATH", "")])
    run = subprocess.run([sys.executable, str(DEMO), "--mesh", str(mesh), "--output", str(output)],
                         capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 2 and reason in run.stderr and "Traceback" not in run.stderr, run.stderr
    assert not output.exists()
