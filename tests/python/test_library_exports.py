"""The installed navigation library is the product: it exports what its public
headers declare and nothing of the test variant's control interface, which the
tests load instead (./dev test puts the test variant first on LD_LIBRARY_PATH)."""

import pathlib
import re
import shutil
import subprocess

import _pyzibrel
from pyzibrel import _library

ROOT = pathlib.Path(__file__).resolve().parents[2]
PUBLIC_HEADERS = [ROOT / "qorzibrel" / "include" / name for name in ("zibrel_entry.h", "zibrel_control.h", "zibrel_extras.h")]
TEST_HEADER = ROOT / "qorzibrel" / "src" / "testing" / "zibrel_test_control.h"
# A function declaration at the start of a line: "<type> <name>(" for the library's prefixes.
DECLARATION = re.compile(r"^[A-Za-z_][\w \t*]*?\b((?:Zb|zbctl_|zbx_)\w+)\s*\(", re.MULTILINE)


def declared(*headers):
    return {m.group(1) for header in headers for m in DECLARATION.finditer(header.read_text())}


def exported(library):
    nm = shutil.which("nm")
    assert nm, "nm (binutils) lists a library's exports; install binutils"
    listing = subprocess.run([nm, "-D", "--defined-only", str(library)], capture_output=True, text=True, check=True,
                             timeout=60).stdout
    return {line.split()[-1] for line in listing.splitlines() if line.strip()}


def test_the_installed_library_exports_no_test_control():
    product_functions = declared(*PUBLIC_HEADERS)
    test_functions = declared(TEST_HEADER) - product_functions
    # The headers were read: the product's entry points and input functions, the test variant's controls.
    assert {"ZbCreate", "ZbGetType", "zbctl_device_sample", "zbctl_device_button", "zbx_input_fd"} <= product_functions
    assert {"zbctl_inject", "zbctl_write_count", "zbctl_hammer_start", "zbctl_reset"} <= test_functions

    installed = pathlib.Path(_pyzibrel.__file__).parent / "pyzibrel" / "_lib" / "libQorZibrel.so"
    assert exported(installed) == product_functions

    # The library the module loaded for these tests is the test variant, with every control.
    loaded = pathlib.Path(_library.library_path())
    assert loaded != installed, "the tests must run against the library's test variant (LD_LIBRARY_PATH)"
    assert exported(loaded) == product_functions | test_functions
