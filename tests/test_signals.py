"""Real SIGINT and SIGTERM sent to real application processes
(tests/signal_child.py) whose ticker talks to a service run by the test: what
the ticker logs and sends, that the loop stops, and what the signal does once
the application runs its loop again to tidy up."""

import re
import signal
import time
from pathlib import Path

import pytest

from children import LIMIT, Child, cafile  # noqa: F401
from lifecycle import run
from quote_service import QuoteService, SilentService

CHILD = Path(__file__).with_name("signal_child.py")
SIGINT, SIGTERM = signal.SIGINT, signal.SIGTERM

CLOSURE = "LOG INFO WebSocket closure initiated by user interrupt."
ECHO = "LOG INFO VornTicker disconnected with code :: 1000, message :: Connection closed by the user. "
DISCONNECTED = "LOG INFO Websocket disconnected."
CLOSE_FRAME = (1000, b"Connection closed by the user.")


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
            child = await Child.start(CHILD, service.url, cafile, *options)
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
            child = await Child.start(CHILD, service.url, cafile, "--stuck")
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
            child = await Child.start(CHILD, service.url, cafile, "--thread")
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
