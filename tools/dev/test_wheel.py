"""Run the test suite against an installed vornticker wheel.

Run it with the interpreter of a throw-away virtual environment into which the
wheel, its runtime dependencies and the test requirements are installed
(`./dev test --wheel` makes one; so does cibuildwheel). It

 1. checks that `vornticker` imports from that environment's site-packages
    and not from a source tree;
 2. builds the private test-support module, which a wheel never holds, from
    the project's sources for this interpreter (its own CMake tree, target
    _testsupport only; --cmake-define passes the same compiler settings the
    wheel was built with);
 3. routes `vornticker._testsupport` to that build for this environment only:
    a finder appended to sys.meta_path answers for that one name, after the
    installed package was searched, so it never hides a file of the wheel. A
    .pth file in the environment's site-packages installs the finder at every
    interpreter start, so child processes of the tests get it too;
 4. runs pytest on the project's tests/ from a scratch working directory, with
    VORN_WHEEL naming the wheel file for tests/test_wheel_contents.py.

usage: test_wheel.py --project DIR --wheel WHEEL --build DIR
                     [--cmake-define KEY=VALUE]... [-- PYTEST_ARGS...]
"""

from __future__ import annotations

import argparse
import glob
import importlib
import os
import subprocess
import sys
import sysconfig

ROUTE_MODULE = "_vorn_testsupport_route"

ROUTE_SOURCE = '''"""Test runs of an installed vornticker wheel only (tools/dev/test_wheel.py):
resolves vornticker._testsupport, which no wheel holds, to a separate build."""

import importlib.util
import sys

_NAME = "vornticker._testsupport"
_PATH = {path!r}


class TestSupportRoute:
    @staticmethod
    def find_spec(fullname, path=None, target=None):
        if fullname != _NAME:
            return None
        return importlib.util.spec_from_file_location(fullname, _PATH)

    @staticmethod
    def invalidate_caches():
        pass


if TestSupportRoute not in sys.meta_path:
    sys.meta_path.append(TestSupportRoute)
'''


def log(msg: str) -> None:
    print(f"[test-wheel] {msg}", file=sys.stderr, flush=True)


def build_testsupport(project: str, build: str, defines: list[str]) -> str:
    cmd = [
        "cmake", "-S", project, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
        "-DVORN_TESTSUPPORT=ON", f"-DPython_EXECUTABLE={sys.executable}",
        *(f"-D{d}" for d in defines),
    ]  # fmt: skip
    log(f"building vornticker._testsupport in {build}")
    os.makedirs(build, exist_ok=True)
    with open(os.path.join(os.path.dirname(build) or ".", "testsupport-configure.log"), "w") as out:
        done = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        sys.exit(f"[test-wheel] CMake configuration failed; see {out.name}")
    jobs = str(min(2, os.cpu_count() or 1))
    subprocess.run(["cmake", "--build", build, "--target", "_testsupport", "-j", jobs], check=True)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    found = glob.glob(os.path.join(build, f"_testsupport{suffix}"))
    if len(found) != 1:
        sys.exit(f"[test-wheel] no _testsupport{suffix} in {build}")
    return os.path.abspath(found[0])


def install_route(site: str, module_path: str) -> None:
    with open(os.path.join(site, f"{ROUTE_MODULE}.py"), "w", encoding="utf-8") as f:
        f.write(ROUTE_SOURCE.format(path=module_path))
    with open(os.path.join(site, f"{ROUTE_MODULE}.pth"), "w", encoding="utf-8") as f:
        f.write(f"import {ROUTE_MODULE}\n")


def project_paths(project: str, pytest_args: list[str]) -> list[str]:
    """Test paths given relative to the project root made absolute (pytest runs
    elsewhere); tests/ when none is given."""
    out, any_path = [], False
    for arg in pytest_args:
        if not arg.startswith("-") and os.path.exists(os.path.join(project, arg.split("::")[0])):
            arg, any_path = os.path.join(project, arg), True
        out.append(arg)
    return out if any_path else [*out, os.path.join(project, "tests")]


def main() -> int:
    argv = sys.argv[1:]
    pytest_args: list[str] = []
    if "--" in argv:
        cut = argv.index("--")
        argv, pytest_args = argv[:cut], argv[cut + 1 :]
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--project", required=True, help="the source tree whose tests/ are run")
    ap.add_argument("--wheel", required=True, help="the wheel file that was installed")
    ap.add_argument("--build", required=True, help="scratch directory (CMake tree, working directory)")
    ap.add_argument("--cmake-define", action="append", default=[], metavar="KEY=VALUE")
    args = ap.parse_args(argv)
    project, build, wheel = (os.path.abspath(p) for p in (args.project, args.build, args.wheel))
    if sys.prefix == sys.base_prefix:
        sys.exit("[test-wheel] run this with the interpreter of the virtual environment that holds the wheel")
    site = sysconfig.get_paths()["purelib"]

    # 1. The installed package, pinned before pytest touches sys.path.
    sys.path.insert(0, os.path.join(project, "tools", "dev"))
    import run_pytest

    origin = run_pytest.pin_package(site)
    log(f"testing the installed extension {origin}")

    # 2-3. The private module, from the sources, reachable in this environment only.
    install_route(site, build_testsupport(project, os.path.join(build, "testsupport"), args.cmake_define))
    importlib.invalidate_caches()
    importlib.import_module(ROUTE_MODULE)  # what the .pth does in the processes started from now on
    from vornticker import _testsupport

    log(f"vornticker._testsupport comes from {_testsupport.__file__}")

    # 4. From outside the source tree, so nothing resolves there by accident.
    cwd = os.path.join(build, "cwd")
    os.makedirs(cwd, exist_ok=True)
    os.chdir(cwd)
    os.environ["VORN_WHEEL"] = wheel
    import pytest

    rc = int(pytest.main([
        "-c", os.path.join(project, "pyproject.toml"), "--rootdir", project,
        "-o", f"cache_dir={os.path.join(build, 'pytest-cache')}",
        *project_paths(project, pytest_args),
    ]))  # fmt: skip
    if rc == int(pytest.ExitCode.NO_TESTS_COLLECTED):
        log("pytest collected no tests: counted as a failure")
    return rc


if __name__ == "__main__":
    sys.exit(main())
