"""What the distributable wheel holds: every module, stub and py.typed of the
package, the one extension, the license, and nothing else: no test-support
module, nothing of tests/, bench/ or fuzz/. Runs when VORN_WHEEL names the
wheel file (./dev test --wheel and cibuildwheel set it)."""

import os
import sysconfig
import zipfile

import pytest

WHEEL = os.environ.get("VORN_WHEEL")
SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "vornticker")

pytestmark = pytest.mark.skipif(not WHEEL, reason="VORN_WHEEL names no wheel file (set by ./dev test --wheel)")


def source_files():
    """The package's files in the source tree, less build outputs."""
    found = set()
    for top, dirs, files in os.walk(SOURCE):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        rel = os.path.relpath(top, os.path.dirname(SOURCE))
        found.update(f"{rel}/{f}" for f in files if not f.endswith((".so", ".pyc")))
    return found


def test_wheel_holds_the_package_its_extension_and_license_only():
    with zipfile.ZipFile(WHEEL) as whl:
        names = {n for n in whl.namelist() if not n.endswith("/")}  # files, not directory entries
        (info,) = {n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info")}
        metadata = whl.read(f"{info}/METADATA").decode()

    assert not [n for n in names if "_testsupport" in n], "the private test-support module is in the wheel"
    assert {n.split("/")[0] for n in names} == {"vornticker", info}, "files outside the package"
    package = {n for n in names if n.startswith("vornticker/")}
    expected = source_files() | {f"vornticker/vornticker{sysconfig.get_config_var('EXT_SUFFIX')}"}
    assert {"vornticker/__init__.py", "vornticker/vornticker.pyi", "vornticker/py.typed"} <= expected
    assert sorted(expected - package) == [], "missing from the wheel"
    assert sorted(package - expected) == [], "in the wheel but not part of the package"
    assert f"{info}/licenses/LICENSE" in names
    assert "License-Expression: MIT" in metadata.splitlines()
