"""Child Python processes that import the very package under test (the
sanitizer build lives elsewhere than the sources), whatever their working
directory."""

from __future__ import annotations

import os
import subprocess
import sys
from typing import Any

import vornticker

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(vornticker.__file__)))


def child_env(**extra: str) -> dict[str, str]:
    path = os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))
    return dict(os.environ, PYTHONPATH=path, **extra)


def run_python(code: str, *args: str, timeout: float = 60, **kwargs: Any) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter; its output comes back as text."""
    return subprocess.run(
        [sys.executable, "-c", code, *args], capture_output=True, text=True, env=child_env(), timeout=timeout, **kwargs
    )
