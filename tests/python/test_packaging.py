"""The installed package as a user has it: one version everywhere, the licence,
and nothing loose at the top of site-packages."""

import importlib.metadata
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import _pyzibrel
import pyzibrel
from pyzibrel import _library

FIXTURES = os.environ.get("ZIBREL_FIXTURES")
DIST = importlib.metadata.distribution("pyzibrel")
MODULE = pathlib.Path(_pyzibrel.__file__)


def pyzibrel_version(cwd, env=None):
    return subprocess.run([sys.executable, "-m", "pyzibrel", "--version"], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=60)


def test_one_version_in_the_metadata_the_package_the_command_line_and_the_library(tmp_path):
    assert pyzibrel.__version__ == DIST.version
    done = pyzibrel_version(tmp_path)
    assert done.returncode == 0, done.stderr
    # The library is built with the package's version, from the same pyproject.toml.
    assert done.stdout.splitlines() == [f"pyzibrel {DIST.version}",
                                        f"navigation library {_library.library_path()}: version {DIST.version}"]


@pytest.mark.parametrize("library, says", [
    (None, "navigation library: none (libQorZibrel.so was not found)"),
    pytest.param("create_callback", "navigation library {lib}: version unknown (it has no zbx_version)",
                 marks=pytest.mark.skipif(not FIXTURES, reason="ZIBREL_FIXTURES (set by ./dev) points at the "
                                                               "fixtures")),
])
def test_version_names_a_missing_or_older_library(tmp_path, library, says):
    # A copy of the module alone, and a library that answers the entry points but not the version query.
    shutil.copy(MODULE, tmp_path / MODULE.name)
    lib = tmp_path / "pyzibrel" / "_lib" / "libQorZibrel.so"
    if library is not None:
        lib.parent.mkdir(parents=True)
        shutil.copy(pathlib.Path(FIXTURES) / library / "libQorZibrel.so", lib)
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    env["PYTHONPATH"] = str(tmp_path)
    done = pyzibrel_version(tmp_path, env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [f"pyzibrel {DIST.version}", says.format(lib=lib)]


def test_the_licence_ships_with_the_package():
    assert DIST.metadata["License-Expression"] == "MIT"
    assert DIST.metadata.get_all("License-File") == ["LICENSE"]
    [licence] = [f for f in DIST.files if f.match("*.dist-info/licenses/LICENSE")]
    text = licence.read_text()
    assert text.startswith("MIT License") and "Copyright (c) 2026 The pyzibrel developers" in text


def test_nothing_loose_at_the_top_of_site_packages():
    # Names of its own only, and no shared library but the module itself: our
    # navigation library lives in the package, where it clashes with nobody's.
    top = {f.parts[0] for f in DIST.files}
    assert all(name.startswith(("pyzibrel", "_pyzibrel")) for name in top), top
    assert [f.name for f in DIST.files if len(f.parts) == 1 and ".so" in f.suffixes] == [MODULE.name]
    assert "pyzibrel/_lib/libQorZibrel.so" in {f.as_posix() for f in DIST.files}
