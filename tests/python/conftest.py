import os
import sys
import pathlib

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))

# The library's default source is `auto`, which looks for real devices and
# writes a notice when it finds none: tests name their sources themselves.
os.environ["ZIBREL_DEVICE"] = "none"



@pytest.fixture
def offscreen_mesa(monkeypatch):
    """For the PyVista tests: rendering without a display, and no user settings or device."""
    # Without a display VTK would try X first and warn; EGL renders through Mesa with none.
    if not os.environ.get("DISPLAY"):
        monkeypatch.setenv("VTK_DEFAULT_OPENGL_WINDOW", "vtkEGLRenderWindow")
    monkeypatch.delenv("ZIBREL_CONFIG", raising=False)
    monkeypatch.setenv("ZIBREL_DEVICE", "none")


# ./dev wheel runs this suite against a wheel installed in a fresh venv, from
# outside the checkout, and names that venv's site-packages here: both modules
# must come from there, never from the source tree.
INSTALLED_FROM = os.environ.get("ZIBREL_INSTALLED_FROM")
if INSTALLED_FROM:
    import _pyzibrel
    import pyzibrel

    for _module in (_pyzibrel, pyzibrel):
        if not pathlib.Path(_module.__file__).resolve().is_relative_to(pathlib.Path(INSTALLED_FROM).resolve()):
            raise pytest.UsageError(f"{_module.__name__} was imported from {_module.__file__}, "
                                    f"not from the installed wheel in {INSTALLED_FROM}")
