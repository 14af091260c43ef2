"""The module without its navigation library, or with a broken one.

Each case runs in a fresh interpreter whose module copy sits in a directory of
its own, so the library installed beside the real module is out of sight.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import _pyzibrel

FIXTURES = os.environ.get("ZIBREL_FIXTURES")

PROBE = textwrap.dedent("""
    import _pyzibrel
    p = _pyzibrel.ZibrelPoint(1, 2, 3)  # the module works without the library
    assert p.z == 3.0
    m = _pyzibrel.ZibrelNavigationModel(False, 0)
    m._put_profile_hint("probe")
    try:
        m._enable_navigation(True)
    except RuntimeError as e:
        print("RuntimeError:", e)
    print("enabled:", m._is_enabled())
""")


def run_isolated(tmp_path, library=None, probe=PROBE):
    module = pathlib.Path(_pyzibrel.__file__)
    shutil.copy(module, tmp_path / module.name)
    if library is not None:
        shutil.copy(library, tmp_path / "libQorZibrel.so")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
    env["PYTHONPATH"] = str(tmp_path)
    return subprocess.run([sys.executable, "-c", probe], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=60)


def test_absent_library_fails_the_enable_with_code_126(tmp_path):
    # The number stays 126; the text is the loader's, not the platform's text for 126.
    done = run_isolated(tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "RuntimeError: Cannot create a connection to the 3ZEdizo.: the navigation library could not be loaded: "
        "libQorZibrel.so: cannot open shared object file: No such file or directory",
        "enabled: False",
    ]
    assert os.strerror(126) not in done.stdout


@pytest.mark.skipif(not FIXTURES, reason="ZIBREL_FIXTURES (set by ./dev test) points at the built fixture libraries")
def test_library_without_an_entry_point_is_not_used(tmp_path):
    # The fixture's own ZbCreate would refuse with 0x80040202 ("The requested function is not valid.").
    done = run_isolated(tmp_path, pathlib.Path(FIXTURES) / "no_gettype" / "libQorZibrel.so")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        f"RuntimeError: Cannot create a connection to the 3ZEdizo.: the navigation library {tmp_path}/libQorZibrel.so "
        "lacks the entry point ZbGetType",
        "enabled: False",
    ]


def test_ld_library_path_points_the_module_at_another_build(tmp_path):
    # The copied module finds no library beside it; LD_LIBRARY_PATH supplies the installed one.
    module = pathlib.Path(_pyzibrel.__file__)
    shutil.copy(module, tmp_path / module.name)
    env = dict(os.environ, PYTHONPATH=str(tmp_path), LD_LIBRARY_PATH=str(module.parent))
    done = subprocess.run([sys.executable, "-c", PROBE], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["enabled: True"]


REENTRANT_PROBE = textwrap.dedent("""
    import _pyzibrel

    class Model(_pyzibrel.ZibrelNavigationModel):
        refusals = []

        def _get_camera_matrix(self):
            # Called by the library inside ZbCreate, on this thread.
            try:
                self._enable_navigation(True)
            except RuntimeError as e:
                self.refusals.append(str(e))
            return _pyzibrel.ZibrelMatrix()

    m = Model(False, 0)
    m._put_profile_hint("reentrant")
    m._enable_navigation(True)
    print("enabled:", m._is_enabled())
    print("refusals:", Model.refusals)
""")


@pytest.mark.skipif(not FIXTURES, reason="ZIBREL_FIXTURES (set by ./dev test) points at the built fixture libraries")
def test_enable_from_a_callback_made_during_creation_is_refused(tmp_path):
    # The library calls back inside ZbCreate; enabling again from there must not wait for the connection's lock.
    done = run_isolated(tmp_path, pathlib.Path(FIXTURES) / "create_callback" / "libQorZibrel.so", REENTRANT_PROBE)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "enabled: True",
        "refusals: ['Cannot enable navigation while its connection is being created (as from a callback made during "
        "the creation).']",
    ]
