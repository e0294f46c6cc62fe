"""Run pytest against one chosen build of vornticker.

pytest may put the project root on sys.path (python -m, a root conftest, the
"prepend" import mode), and the root holds the source package ./vornticker.
Importing the package once from the wanted location, before pytest starts,
fixes its __path__, so every later `import vornticker.X` resolves there
whatever pytest does to sys.path afterwards.

Exit status is pytest's, except that "no tests collected" (5) is reported as a
failure with a clear message: a suite that silently runs nothing is broken.
"""

import importlib
import importlib.util
import os
import sys
import traceback


def pin_package(root: str) -> str:
    pkg_dir = os.path.realpath(os.path.join(root, "vornticker"))
    sys.path.insert(0, root)
    try:
        pkg = importlib.import_module("vornticker")
    except Exception:
        traceback.print_exc()
        sys.exit(f"[dev] cannot import vornticker from {pkg_dir}")
    if getattr(pkg, "__file__", None) is None:
        # Namespace package: its path is recomputed from sys.path, pin it.
        pkg.__path__ = [pkg_dir]
    where = [os.path.realpath(p) for p in pkg.__path__]
    if where != [pkg_dir]:
        sys.exit(f"[dev] vornticker was imported from {where}, expected {pkg_dir}")
    spec = importlib.util.find_spec("vornticker.vornticker")
    if spec is None or spec.origin is None:
        sys.exit(f"[dev] no built extension vornticker.vornticker in {pkg_dir}")
    if os.path.dirname(os.path.realpath(spec.origin)) != pkg_dir:
        sys.exit(f"[dev] vornticker.vornticker resolves to {spec.origin}, expected it in {pkg_dir}")
    return spec.origin


def main() -> int:
    # Fixed layout, parsed by hand so pytest's own arguments pass untouched:
    #   run_pytest.py --package-root DIR -- [PYTEST_ARGS...]
    argv = sys.argv[1:]
    if len(argv) < 3 or argv[0] != "--package-root" or argv[2] != "--":
        sys.exit("usage: run_pytest.py --package-root DIR -- [PYTEST_ARGS...]")
    package_root, pytest_args = argv[1], argv[3:]

    origin = pin_package(os.path.abspath(package_root))
    print(f"[dev] testing extension {origin}", file=sys.stderr, flush=True)

    import pytest

    rc = int(pytest.main(pytest_args))
    if rc == int(pytest.ExitCode.NO_TESTS_COLLECTED):
        print("[dev] pytest collected no tests: counted as a failure", file=sys.stderr)
    return rc


if __name__ == "__main__":
    sys.exit(main())
