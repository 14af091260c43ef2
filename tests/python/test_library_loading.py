"""The module without its navigation library, with a broken one, and where it looks.

Each case runs in a fresh interpreter whose module copy sits in a directory of
its own, so the library installed in the real package is out of sight; the
copy's run path names pyzibrel/_lib under that directory.
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


MODULE = pathlib.Path(_pyzibrel.__file__)
# Where pip puts our library: in the package, relative to the module.
PACKAGE_FOLDER = pathlib.Path("pyzibrel", "_lib")
OURS = MODULE.parent / PACKAGE_FOLDER / "libQorZibrel.so"


def run_isolated(tmp_path, library=None, probe=PROBE, folder=PACKAGE_FOLDER, ld_library_path=None):
    """The probe with a copy of the module in tmp_path and `library`, if given, in tmp_path/`folder`."""
    shutil.copy(MODULE, tmp_path / MODULE.name)
    if library is not None:
        (tmp_path / folder).mkdir(parents=True, exist_ok=True)
        shutil.copy(library, tmp_path / folder / "libQorZibrel.so")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
    env["PYTHONPATH"] = str(tmp_path)
    if ld_library_path is not None:
        env["LD_LIBRARY_PATH"] = str(ld_library_path)
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
        f"RuntimeError: Cannot create a connection to the 3ZEdizo.: the navigation library "
        f"{tmp_path}/pyzibrel/_lib/libQorZibrel.so lacks the entry point ZbGetType",
        "enabled: False",
    ]


NOT_FOUND = ("RuntimeError: Cannot create a connection to the 3ZEdizo.: the navigation library could not be "
             "loaded: libQorZibrel.so: cannot open shared object file: No such file or directory")


@pytest.mark.parametrize("folder, ld_library_path, expected", [
    # pip's place for it: the package's folder, which the module's run path names.
    pytest.param(PACKAGE_FOLDER, None, ["enabled: True"], id="in-the-package"),
    # Loose beside the module, where it could clash with other packages, it is not looked for.
    pytest.param(pathlib.Path("."), None, [NOT_FOUND, "enabled: False"], id="beside-the-module"),
    # LD_LIBRARY_PATH points the module at another build ...
    pytest.param(None, OURS.parent, ["enabled: True"], id="ld-library-path"),
    # ... and comes before the package's own library.
    pytest.param(PACKAGE_FOLDER, "no_gettype", [
        "RuntimeError: Cannot create a connection to the 3ZEdizo.: the navigation library "
        f"{FIXTURES}/no_gettype/libQorZibrel.so lacks the entry point ZbGetType", "enabled: False"],
        id="ld-library-path-first",
        marks=pytest.mark.skipif(not FIXTURES, reason="ZIBREL_FIXTURES (set by ./dev) points at the fixtures")),
])
def test_where_the_library_is_looked_for(tmp_path, folder, ld_library_path, expected):
    if ld_library_path == "no_gettype":
        ld_library_path = pathlib.Path(FIXTURES) / "no_gettype"
    done = run_isolated(tmp_path, OURS if folder is not None else None, folder=folder or PACKAGE_FOLDER,
                        ld_library_path=ld_library_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == expected


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
