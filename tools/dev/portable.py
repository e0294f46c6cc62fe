"""The compiler setup for the distributable (manylinux) wheel.

The development environment's own compiler and C library are far newer than
what a portable wheel may depend on. The `ziglang` package (requirements/
wheel.txt) brings clang with the headers and link stubs of an old glibc and
its own libc++, linked statically: `-target x86_64-linux-gnu.2.17` gives an
extension that needs nothing newer than glibc 2.17 and no C++ runtime from the
system (manylinux_2_17 / manylinux2014).

Two things are prepared under the state directory and returned as CMake
definitions:
  * a small compiler wrapper (CMake takes a single program as the compiler),
    which also keeps zig's cache inside the state directory;
  * a copy of this interpreter's headers whose pyconfig.h is the real one:
    Debian's python3.X-dev installs a pyconfig.h that only includes
    <MULTIARCH/python3.X/pyconfig.h> from /usr/include, which zig's clang,
    rightly, does not search.

Run as a script it prints the definitions as -DKEY=VALUE lines.
"""

from __future__ import annotations

import argparse
import os
import platform
import shutil
import sys
import sysconfig

# The oldest glibc the wheel may need; auditwheel then names the wheel for it.
GLIBC = "2.17"
ZIG_ARCH = {"x86_64": "x86_64", "aarch64": "aarch64"}


def zig_target() -> str:
    machine = platform.machine()
    if machine not in ZIG_ARCH:
        sys.exit(f"no portable target for {machine}")
    return f"{ZIG_ARCH[machine]}-linux-gnu.{GLIBC}"


def zig_binary() -> str:
    try:
        import ziglang
    except ImportError:
        sys.exit("the ziglang package is missing (requirements/wheel.txt)")
    exe = os.path.join(os.path.dirname(ziglang.__file__), "zig")
    if not os.access(exe, os.X_OK):
        sys.exit(f"{exe} is not an executable")
    return exe


def write_if_changed(path: str, text: str, mode: int = 0o644) -> None:
    old = None
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            old = f.read()
    if old != text:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    os.chmod(path, mode)


def cxx_wrapper(state: str) -> str:
    zdir = os.path.join(state, "zig")
    os.makedirs(zdir, exist_ok=True)
    cache = os.path.join(state, "zig-cache")
    path = os.path.join(zdir, "c++")
    write_if_changed(
        path,
        "#!/bin/sh\n"
        f'export ZIG_GLOBAL_CACHE_DIR="${{ZIG_GLOBAL_CACHE_DIR:-{cache}}}"\n'
        f'export ZIG_LOCAL_CACHE_DIR="${{ZIG_LOCAL_CACHE_DIR:-{cache}}}"\n'
        f'exec "{zig_binary()}" c++ -target {zig_target()} "$@"\n',
        0o755,
    )
    return path


def python_headers(state: str) -> str:
    """This interpreter's include directory, with a self-contained pyconfig.h."""
    include = sysconfig.get_paths()["include"]
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    real = os.path.join(os.path.dirname(include), multiarch, os.path.basename(include), "pyconfig.h")
    if not multiarch or not os.path.isfile(real):
        return include  # pyconfig.h is already the real one
    staged = os.path.join(state, "python-include", os.path.basename(include))
    stamp = os.path.join(staged, ".source")
    key = f"{include} {os.stat(real).st_mtime_ns}\n"
    if not (os.path.exists(stamp) and open(stamp, encoding="utf-8").read() == key):
        shutil.rmtree(staged, ignore_errors=True)
        shutil.copytree(include, staged, symlinks=False)
        os.remove(os.path.join(staged, "pyconfig.h"))
        shutil.copyfile(real, os.path.join(staged, "pyconfig.h"))
        write_if_changed(stamp, key)
    return staged


def export_list(state: str) -> str:
    """A linker version script that exports the modules' init functions only."""
    path = os.path.join(state, "zig", "exports.map")
    write_if_changed(path, "{\n  global: PyInit_*;\n  local: *;\n};\n")
    return path


def cmake_defines(state: str) -> dict[str, str]:
    state = os.path.abspath(state)
    return {
        "CMAKE_CXX_COMPILER": cxx_wrapper(state),
        "Python_INCLUDE_DIR": python_headers(state),
        # The statically linked C++ runtime stays private to the module: none
        # of its symbols (operator new among them) is exported to the process.
        "CMAKE_MODULE_LINKER_FLAGS": f"-Wl,--version-script={export_list(state)}",
    }


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--state", required=True, help="directory for the wrappers, headers and zig's cache")
    args = ap.parse_args()
    for key, value in cmake_defines(args.state).items():
        print(f"-D{key}={value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
