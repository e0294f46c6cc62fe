"""Real SIGINT and SIGTERM sent to real application processes
(tests/signal_child.py) whose ticker talks to a service run by the test: what
the ticker logs and sends, that the loop stops, and what the signal does once
the application runs its loop again to tidy up."""

import asyncio
import os
import re
import signal
import ssl
import sys
import time
from pathlib import Path

import pytest

import vornticker
from lifecycle import run
from quote_service import Changes, QuoteService, SilentService, tls_contexts
from vornticker import vornticker as vt

CHILD = Path(__file__).with_name("signal_child.py")
LIMIT = 30.0
SIGINT, SIGTERM = signal.SIGINT, signal.SIGTERM

CLOSURE = "LOG INFO WebSocket closure initiated by user interrupt."
ECHO = "LOG INFO VornTicker disconnected with code :: 1000, message :: Connection closed by the user. "
DISCONNECTED = "LOG INFO Websocket disconnected."
CLOSE_FRAME = (1000, b"Connection closed by the user.")


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
    """A running signal_child.py: its stdout lines as they arrive."""

    def __init__(self, proc):
        self.proc = proc
        self.lines = []
        self.stderr = b""
        self.eof = False
        self.changes = Changes()
        self._readers = [asyncio.ensure_future(self._read_stdout()), asyncio.ensure_future(self._read_stderr())]

    @classmethod
    async def start(cls, url, cafile, *options):
        root = Path(vornticker.__path__[0]).parent
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(root), str(CHILD.parent)]))
        proc = await asyncio.create_subprocess_exec(
            sys.executable, str(CHILD), "--url", url, "--cafile", str(cafile), *options,
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


def ends_with(child, rc, last=None):
    """The child's exit status, what it printed last, and no error anywhere:
    none logged by the ticker, none reported by asyncio (to stderr), no
    traceback."""
    assert child.proc.returncode == rc, child.transcript()
    if last is not None:
        assert child.lines[-1].startswith(last), child.transcript()
    assert child.starting("LOG ERROR") == [], child.transcript()
    stderr = child.stderr.decode(errors="replace")
    assert not re.search(r"^(WARNING|ERROR|CRITICAL):|Traceback", stderr, re.M), child.transcript()


# Exits: (return code, last stdout line). A stop by SIGTERM whose re-delivery
# meets the default disposition ends the process by that signal.
KEYBOARDINTERRUPT = (3, "KEYBOARDINTERRUPT")
KILLED = (-SIGTERM, "HANDLERS")
TIDIED = (0, "TIDIED")


@pytest.mark.parametrize(
    "trigger, prev, handlers_after_stop, exit_",
    [
        # Only the triggering signal's handler leaves the loop; the previous
        # one is put back unless it was SIG_IGN.
        (SIGINT, "default", "loop=SIGTERM SIGINT=default_int_handler SIGTERM=loop", KEYBOARDINTERRUPT),
        (SIGTERM, "default", "loop=SIGINT SIGINT=loop SIGTERM=SIG_DFL", KILLED),
        (SIGINT, "app", "loop=SIGTERM SIGINT=app SIGTERM=loop", TIDIED),
        (SIGTERM, "app", "loop=SIGINT SIGINT=loop SIGTERM=app", TIDIED),
        (SIGINT, "ignore", "loop=SIGTERM SIGINT=default_int_handler SIGTERM=loop", KEYBOARDINTERRUPT),
        (SIGTERM, "ignore", "loop=SIGINT SIGINT=loop SIGTERM=SIG_DFL", KILLED),
        # The application's own await: no handler touched, nothing re-delivered.
        (None, "default", "loop=SIGINT,SIGTERM SIGINT=loop SIGTERM=loop", TIDIED),
    ],
    ids=["sigint", "sigterm", "sigint-app-handler", "sigterm-app-handler", "sigint-ignored", "sigterm-ignored",
         "application-await"],
)  # fmt: skip
def test_stop_of_a_connected_ticker(loop, cafile, trigger, prev, handlers_after_stop, exit_):
    async def scenario():
        async with QuoteService() as service:
            options = ["--prev", prev] + ([] if trigger else ["--app-stop"])
            child = await Child.start(service.url, cafile, *options)
            await child.wait_line("READY")
            conn = await service.wait_connection(1)
            if trigger:
                child.signal(trigger)
            await child.finish()
            await service.wait_disconnected(conn)
            return child, service

    child, service = run(loop, scenario(), 2 * LIMIT)
    ends_with(child, *exit_)
    assert service.connections[0].closes == [CLOSE_FRAME], child.transcript()
    assert len(service.connections) == 1 and child.count("ATTEMPT") == 1, child.transcript()
    assert child.starting("ONSIGNAL") == ([f"ONSIGNAL {int(trigger)}"] if trigger else []), child.transcript()
    assert child.count(CLOSURE) == 1 and child.count(DISCONNECTED) == 1, child.transcript()
    child.check_order("READY", CLOSURE, ECHO, DISCONNECTED, "STOPPED", "HANDLERS")
    # The reconnect loop ended by itself and confirmed the stop.
    assert child.starting("STOPPED") == ["STOPPED reconnect=returned stop_event=1"], child.transcript()
    assert child.starting("HANDLERS") == [f"HANDLERS {handlers_after_stop}"], child.transcript()
    if prev == "app":
        # Called once, directly rather than by a real signal, and still installed.
        assert child.starting("HANDLER ") == [f"HANDLER {int(trigger)} None"], child.transcript()
        child.check_order("STOPPED", "HANDLER ", "TIDIED")
        assert f"{trigger.name}=app" in child.starting("TIDIED")[0], child.transcript()
    else:
        assert child.starting("HANDLER ") == [], child.transcript()
    if trigger is None:
        assert child.count("APP-STOP-RETURNED") == 1, child.transcript()


@pytest.mark.parametrize("second", [None, SIGINT, SIGTERM], ids=["once", "sigint-again", "then-sigterm"])
def test_stop_while_stuck_in_a_connection_attempt(loop, cafile, second):
    async def scenario():
        async with SilentService() as service:
            child = await Child.start(service.url, cafile, "--stuck")
            await child.wait_line("ATTEMPT")
            await service.wait_accepted(1)
            signalled = time.monotonic()
            child.signal(SIGINT)
            if second:
                # Lands while the ticker waits for its reconnect loop to confirm.
                await child.wait_line(CLOSURE)
                child.signal(second)
            await child.wait_line("STOPPED")
            stopped_after = time.monotonic() - signalled
            await child.finish()
            return child, stopped_after

    child, stopped_after = run(loop, scenario(), 2 * LIMIT)
    # The attempt never ends, so only the 2-second wait can lead to the stop.
    assert stopped_after < 10.0, child.transcript()
    ends_with(child, *KEYBOARDINTERRUPT)
    expected_deliveries = [SIGINT] + ([second] if second else [])
    assert child.starting("ONSIGNAL") == [f"ONSIGNAL {int(s)}" for s in expected_deliveries], child.transcript()
    assert child.count(CLOSURE) == 1 and child.count(DISCONNECTED) == 1, child.transcript()
    assert child.count("ATTEMPT") == 1 and child.starting("READY") == [], child.transcript()
    child.check_order("ATTEMPT", CLOSURE, DISCONNECTED, "STOPPED", "KEYBOARDINTERRUPT")
    # The attempt was cancelled by the shutdown, not ended by the close.
    assert child.starting("STOPPED") == ["STOPPED reconnect=cancelled stop_event=0"], child.transcript()
    assert child.starting("HANDLERS") == ["HANDLERS loop=SIGTERM SIGINT=default_int_handler SIGTERM=loop"]


def test_loop_in_another_thread_takes_no_handlers(loop, cafile):
    async def scenario():
        async with QuoteService() as service:
            child = await Child.start(service.url, cafile, "--thread")
            await child.wait_line("READY")
            conn = await service.wait_connection(1)
            # Nothing intercepts it: the process keeps its default handling.
            child.signal(SIGTERM)
            await child.finish()
            await service.wait_disconnected(conn)
            return child, conn

    child, conn = run(loop, scenario(), 2 * LIMIT)
    ends_with(child, -SIGTERM)
    assert child.starting("LOG DEBUG signal handler") == [
        "LOG DEBUG signal handler for SIGINT not supported on this loop/thread",
        "LOG DEBUG signal handler for SIGTERM not supported on this loop/thread",
    ], child.transcript()
    assert child.starting("PREV") == ["PREV SIGINT=default_int_handler SIGTERM=SIG_DFL"], child.transcript()
    child.check_order("LOG DEBUG signal handler for SIGTERM", "READY")
    assert child.starting("ONSIGNAL") == [] and child.count(CLOSURE) == 0, child.transcript()
    assert conn.closes == [], child.transcript()
