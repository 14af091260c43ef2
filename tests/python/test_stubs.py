"""The committed type stubs describe the module as built."""

import pathlib
import subprocess
import sys

import pytest

STUBS = pathlib.Path(__file__).resolve().parents[2] / "binding" / "module" / "_pyzibrel.pyi"


def test_stubs_match_the_module(tmp_path):
    pytest.importorskip("pybind11_stubgen")
    subprocess.run([sys.executable, "-m", "pybind11_stubgen", "_pyzibrel", "-o", str(tmp_path)], check=True,
                   capture_output=True)
    generated = (tmp_path / "_pyzibrel.pyi").read_text()
    assert generated == STUBS.read_text(), (
        "binding/module/_pyzibrel.pyi is out of date: regenerate it with "
        ".venv/bin/python -m pybind11_stubgen _pyzibrel -o binding/module")
