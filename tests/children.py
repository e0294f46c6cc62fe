"""Child processes started by the tests. They import the very package under
test (the sanitizer build lives elsewhere than the sources), whatever their
working directory: one-off interpreters (run_python), and application
programs of tests/ run against a service of the test, their stdout read line
by line (Child)."""

from __future__ import annotations

import asyncio
import os
import ssl
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import vornticker
from quote_service import Changes, tls_contexts
from vornticker import vornticker as vt

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(vornticker.__file__)))


def child_env(**extra: str) -> dict[str, str]:
    path = os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))
    return dict(os.environ, PYTHONPATH=path, **extra)


def run_python(code: str, *args: str, timeout: float = 60, **kwargs: Any) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter; its output comes back as text."""
    return subprocess.run(
        [sys.executable, "-c", code, *args], capture_output=True, text=True, env=child_env(), timeout=timeout, **kwargs
    )

TESTS = Path(__file__).parent
LIMIT = 30.0


@pytest.fixture(scope="module")
def cafile(tmp_path_factory):
    """The certificates that the test services' clients trust beyond the
    system's, as a PEM file for the child processes."""
    system = set(ssl.create_default_context().get_ca_certs(binary_form=True))
    ours = [c for c in tls_contexts()[1].get_ca_certs(binary_form=True) if c not in system]
    assert ours, "the test client context trusts no certificate of its own"
    path = tmp_path_factory.mktemp("signals") / "ca.pem"
    path.write_text("".join(ssl.DER_cert_to_PEM_cert(c) for c in ours))
    return path


class Child:
    """A running child program (started with --url and --cafile): its
    stdout lines as they arrive. Its first line names the extension it
    loaded: "EXTENSION <path>"."""

    def __init__(self, proc):
        self.proc = proc
        self.lines = []
        self.stderr = b""
        self.eof = False
        self.changes = Changes()
        self._readers = [asyncio.ensure_future(self._read_stdout()), asyncio.ensure_future(self._read_stderr())]

    @classmethod
    async def start(cls, script, url, cafile, *options):
        root = Path(vornticker.__path__[0]).parent
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(root), str(TESTS)]))
        proc = await asyncio.create_subprocess_exec(
            sys.executable, str(script), "--url", url, "--cafile", str(cafile), *options,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE, env=env,
        )  # fmt: skip
        return cls(proc)

    async def _read_stdout(self):
        while line := await self.proc.stdout.readline():
            self.lines.append(line.decode().rstrip("\n"))
            self.changes.notify()
        self.eof = True
        self.changes.notify()

    async def _read_stderr(self):
        self.stderr = await self.proc.stderr.read()

    def transcript(self):
        return "\n".join(["stdout:", *self.lines, "stderr:", self.stderr.decode(errors="replace")])

    async def fail(self, what):
        if self.proc.returncode is None:
            self.proc.kill()
        # Whatever it wrote up to then, for the failure message.
        await asyncio.wait([*self._readers, asyncio.ensure_future(self.proc.wait())], timeout=5.0)
        pytest.fail(f"{what}\n{self.transcript()}")

    async def wait_line(self, text):
        """Waits for a line starting with text; fails if the child ends or
        takes too long first."""
        try:
            await self.changes.until(lambda: self.eof or any(ln.startswith(text) for ln in self.lines), text, LIMIT)
        except AssertionError:
            await self.fail(f"no {text!r} line after {LIMIT} s")
        if not any(ln.startswith(text) for ln in self.lines):
            await self.fail(f"the child ended without a {text!r} line")

    def signal(self, sig):
        self.proc.send_signal(sig)

    async def finish(self):
        try:
            await asyncio.wait_for(asyncio.gather(self.proc.wait(), *self._readers), LIMIT)
        except TimeoutError:
            await self.fail(f"the child did not end within {LIMIT} s")
        # The child tested the same build as this process.
        assert self.lines[:1] == [f"EXTENSION {vt.__file__}"], self.transcript()
        return self.proc.returncode

    def count(self, text):
        return self.lines.count(text)

    def starting(self, prefix):
        return [ln for ln in self.lines if ln.startswith(prefix)]

    def check_order(self, *prefixes):
        """Each line is there, and the first of each comes in this order."""
        positions = []
        for prefix in prefixes:
            found = [i for i, ln in enumerate(self.lines) if ln.startswith(prefix)]
            assert found, f"no {prefix!r} line\n{self.transcript()}"
            positions.append(found[0])
        assert positions == sorted(positions), f"expected in this order: {prefixes}\n{self.transcript()}"
