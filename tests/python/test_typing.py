"""Type checkers see pyzibrel's and _pyzibrel's types in the installed package."""

import subprocess
import sys
import textwrap

import pytest

SNIPPET = textwrap.dedent('''\
    import numpy as np
    import numpy.typing as npt

    import _pyzibrel
    import pyzibrel


    class MyViewer(pyzibrel.Viewer):
        def __init__(self) -> None:
            self.camera = pyzibrel.look_at_matrix((0, 0, 10), (0, 0, 0))

        def get_camera(self) -> npt.NDArray[np.float64]:
            return self.camera

        def set_camera(self, matrix: npt.NDArray[np.float64]) -> None:
            self.camera = matrix


    nav = pyzibrel.Navigator(MyViewer(), enable=False)
    changed: bool = nav.tick(0.0)
    matrix: _pyzibrel.ZibrelMatrix = pyzibrel.to_matrix(np.eye(4))
    eye_x: float = matrix.m03
    reveal_type(nav.tick)
    reveal_type(_pyzibrel.ZibrelBox().min)
    reveal_type(pyzibrel.vertical_fov(1.0, 1.5))
    ''')


def mypy(tmp_path, source):
    path = tmp_path / "snippet.py"
    path.write_text(source)
    # Run from an empty directory, so only the installed packages can be found.
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
                             str(tmp_path / "cache"), str(path)], cwd=tmp_path, capture_output=True, text=True,
                            timeout=100)
    # mypy versions differ in spelling builtins.float or float.
    return result.returncode, result.stdout.replace(str(path), "snippet.py").replace("builtins.", "")


@pytest.mark.timeout(240)
def test_mypy_finds_both_packages_types_and_reports_a_type_error(tmp_path):
    pytest.importorskip("mypy")
    code, out = mypy(tmp_path, SNIPPET)
    assert code == 0, out
    assert "Cannot find implementation or library stub" not in out
    notes = [line for line in out.splitlines() if "Revealed type" in line]
    assert notes == [
        'snippet.py:23: note: Revealed type is "def (now_seconds: float | None =) -> bool"',
        'snippet.py:24: note: Revealed type is "_pyzibrel.ZibrelPoint"',
        'snippet.py:25: note: Revealed type is "float"',
    ]

    code, out = mypy(tmp_path, SNIPPET + "wrong: str = _pyzibrel.ZibrelPoint().x\nnav.tick('now')\n")
    assert code == 1
    errors = [line for line in out.splitlines() if ": error:" in line]
    assert errors == [
        'snippet.py:26: error: Incompatible types in assignment (expression has type "float", variable has type '
        '"str")  [assignment]',
        'snippet.py:27: error: Argument 1 to "tick" of "Navigator" has incompatible type "str"; expected '
        '"float | None"  [arg-type]',
    ]
