"""Every Python code block of the README runs, against the installed package, with a scripted device."""

import importlib.util
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
README = HERE.parents[1] / "README.md"
ALL_BLOCKS = re.findall(r"^```python\n(.*?)^```\n", README.read_text(), re.M | re.S)
# A block that starts so is a notebook cell: it runs in a Jupyter kernel, not as a script.
NOTEBOOK_CELL = "# a Jupyter notebook cell\n"
BLOCKS = [block for block in ALL_BLOCKS if not block.startswith(NOTEBOOK_CELL)]
CELLS = [block for block in ALL_BLOCKS if block.startswith(NOTEBOOK_CELL)]

# A short session: a turn, then a pan, then let go.
SESSION = """\
0.0  motion 0 0 0     0 0.6 0
0.4  motion 0.3 0 0   0 0 0
0.7  motion 0 0 0     0 0 0
0.9  end
"""

# Blocks that print where the eye ended, and where it started: the device must have moved it.
STARTING_EYES = {"look_at_matrix(eye=(0, 2, 10)": (0.0, 2.0, 10.0), "0, 0, 1, 10,": (0.0, 0.0, 10.0)}


def block_id(block):
    """The block's number and its first import that says what it is about."""
    imports = [line.split()[1] for line in block.splitlines() if line.startswith(("from ", "import "))]
    named = [name for name in imports if name not in ("time", "numpy", "os", "sys")]
    return f"{ALL_BLOCKS.index(block)}-{named[0] if named else 'block'}"


def test_the_readme_has_the_quick_start_blocks():
    assert len(BLOCKS) >= 4
    assert any("from pyzibrel.pyvista import attach" in block for block in BLOCKS)


@pytest.mark.parametrize("block", BLOCKS, ids=[block_id(b) for b in BLOCKS])
def test_readme_block_runs(block, tmp_path):
    uses_pyvista = "pyvista" in block
    windowed = next((name for name in ("napari", "polyscope") if f"import {name}" in block), None)
    for needed in ["pyvista"] * uses_pyvista + [windowed] * bool(windowed):
        if importlib.util.find_spec(needed) is None:
            pytest.skip(f"{needed} is not installed")
    if windowed and shutil.which("Xvfb") is None:
        pytest.skip("needs Xvfb (./dev installs Debian's xvfb)")
    (tmp_path / "session.txt").write_text(SESSION)
    script = tmp_path / "example.py"
    script.write_text(block)
    env = {k: v for k, v in os.environ.items() if k != "ZIBREL_CONFIG"}
    env.update(ZIBREL_DEVICE=f"file:{tmp_path / 'session.txt'}", PYVISTA_OFF_SCREEN="true")
    # From an empty directory: the installed package, as a user has it.
    if windowed:
        # A window of its own under Xvfb, closed after a few seconds as a person would close it.
        from test_pyvista import under_xvfb

        env.update(QT_QPA_PLATFORM="xcb", PYTHONPATH=str(HERE))
        result = under_xvfb([sys.executable, str(HERE / "readme_window_runner.py"), str(script), "6"], env, timeout=120)
        assert result.returncode == 0, result.stdout + result.stderr
        moved = re.search(r"moved=([\d.]+)", result.stdout)
        assert moved and float(moved.group(1)) > 1e-3, result.stdout + result.stderr
        return
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                            timeout=90)
    assert result.returncode == 0, result.stderr
    if not uses_pyvista:
        assert result.stderr == ""
    for marker, start in STARTING_EYES.items():
        if marker in block:
            numbers = re.search(r"eye\D*?([-\d.]+)\D+?([-\d.]+)\D+?([-\d.]+)", result.stdout)
            assert numbers, result.stdout
            eye = tuple(float(n) for n in numbers.groups())
            assert eye != pytest.approx(start, abs=0.05), result.stdout


@pytest.mark.timeout(240)
@pytest.mark.parametrize("cell", CELLS, ids=[block_id(b) for b in CELLS])
def test_readme_notebook_cell_moves_the_view_in_a_kernel(cell, tmp_path, monkeypatch):
    for name in ("pyvista", "trame_pyvista", "nbclient", "ipykernel"):
        if importlib.util.find_spec(name) is None:
            pytest.skip(f"{name} is not installed (./dev installs it)")
    from test_pyvista_notebook import run_notebook

    # A held turn: the replay starts at the first frame, which the kernel may run while show()
    # still waits for the page's server, long before the cell ends.
    (tmp_path / "session.txt").write_text("0.0 motion 0 0 0   0 0.6 0\n")
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)
    monkeypatch.setenv("ZIBREL_DEVICE", f"file:{tmp_path / 'session.txt'}")
    if not os.environ.get("DISPLAY"):
        monkeypatch.setenv("VTK_DEFAULT_OPENGL_WINDOW", "vtkEGLRenderWindow")
    # The cell (where the camera is when it ends: nothing ticked yet), then the kernel idles
    # while the session plays; it starts at the first frame.
    nb = run_notebook(tmp_path, monkeypatch, [
        cell + "start = [list(p) for p in plotter.camera_position]\n", "import asyncio\nawait asyncio.sleep(1.5)",
        "import json\nprint(json.dumps([start, [list(p) for p in plotter.camera_position]]))"])
    errors = [o for c in nb.cells for o in c.outputs if o.get("output_type") == "error"]
    assert not errors, errors
    printed = [o["text"] for o in nb.cells[-1].outputs if o.get("name") == "stdout"]
    start, end = json.loads(printed[-1])
    assert max(abs(a - b) for p, q in zip(start, end) for a, b in zip(p, q)) > 0.05, (start, end)
