"""Build the vornticker wheel in place with scikit-build-core, no isolation.

Calls the PEP 517 backend directly instead of going through pip, so that the
compiler output streams live and the dependencies pinned in requirements/ are
the ones used. Build output goes to stderr; the wheel's path is the only thing
printed on stdout.
"""

import argparse
import os
import shutil
import sys

FLAVOURS = {
    # Same settings as a user's `pip install .`, plus WERROR (warnings are
    # errors in the project's own builds only) and the private test-support
    # module, which only these development builds carry.
    "normal": {"cmake.define.VORN_WERROR": "ON", "cmake.define.VORN_TESTSUPPORT": "ON"},
    # Separate CMake tree so switching flavours never forces a full rebuild;
    # Debug keeps assertions on (the sanitizer flags bring -O1 -g).
    "asan": {
        "build-dir": "build/asan/{wheel_tag}",
        "cmake.build-type": "Debug",
        "cmake.define.VORN_WERROR": "ON",
        "cmake.define.VORN_SANITIZE": "ON",
        "cmake.define.VORN_TESTSUPPORT": "ON",
    },
    # The distributable wheel (./dev wheel): no test-support module, compiled
    # by zig's clang for an old glibc with its C++ runtime linked in
    # (tools/dev/portable.py adds those settings). auditwheel repairs and
    # names it afterwards.
    "dist": {"build-dir": "build/dist/{wheel_tag}", "cmake.define.VORN_WERROR": "ON"},
}
PORTABLE = {"dist"}
STATE = os.path.join("build", ".vorn")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--flavour", choices=sorted(FLAVOURS), required=True)
    ap.add_argument("--out", required=True, help="directory for the wheel (emptied first)")
    args = ap.parse_args()

    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)

    real_stdout = os.dup(1)
    os.dup2(2, 1)
    try:
        from scikit_build_core.build import build_wheel

        settings = dict(FLAVOURS[args.flavour])
        if args.flavour in PORTABLE:
            import portable

            for key, value in portable.cmake_defines(STATE).items():
                settings[f"cmake.define.{key}"] = value
        name = build_wheel(out, config_settings=settings)
    except Exception as exc:  # the build already printed its own diagnostics
        sys.stdout.flush()
        print(f"build failed: {exc}", file=sys.stderr)
        return 1
    finally:
        sys.stdout.flush()
        os.dup2(real_stdout, 1)
    print(os.path.join(out, name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
