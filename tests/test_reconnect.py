"""The reconnect loop against real local endpoints: failed attempts and their
log lines, the backoff delays, what counts as a stable connection, and how a
close request or a cancellation ends the loop."""

import asyncio
import logging
import re
import sys

import pytest

from children import run_python
from lifecycle import (  # noqa: F401
    ObservedTicker,
    ended,
    fast,
    feed,
    logs,
    loop_errors,
    observed,
    run,
    start_connected,
    ticker_task,
    transport_of,
)
from quote_service import WAIT, QuoteService, SilentService, closed_port_url
from vornticker import _testsupport as ts
from vornticker import vornticker as vt
from vornticker.endpoint import use_endpoint

REFUSED = r"Error occured on connect :: \[Errno 111\] Connect call failed \('127\.0\.0\.1', \d+\)"


def backoff_line(count, delay):
    return f"Reconnect failed/unstable ({count} in a row) :: backing off {delay}s"


@pytest.mark.parametrize(
    "min_backoff, multiplier, max_backoff, delays",
    [
        (0.01, 2.0, 0.04, ["0.01", "0.02", "0.04", "0.04"]),
        (0.02, 3.0, 0.1, ["0.02", "0.06", "0.10", "0.10"]),
        (0.03, 1.0, 1.0, ["0.03", "0.03", "0.03", "0.03"]),
        # The cap applies as soon as the delay is not below it.
        (0.05, 2.0, 0.05, ["0.05", "0.05", "0.05", "0.05"]),
    ],
)
def test_refused_attempts_back_off_exponentially_up_to_the_cap(
    loop, observed, logs, loop_errors, min_backoff, multiplier, max_backoff, delays
):
    ticker = fast(observed, min_backoff=min_backoff, backoff_multiplier=multiplier, max_backoff=max_backoff)

    async def scenario():
        with use_endpoint(closed_port_url()):
            ticker.start_websocket()
            await logs.wait_lines("Reconnect failed/unstable (", 4)
            ticker.close_websocket()
            await ended(ticker)

    run(loop, scenario())
    expected = [backoff_line(n, d) for n, d in enumerate(delays, 1)]
    assert logs.backoffs()[:4] == expected
    errors = logs.lines(logging.ERROR)
    assert len(errors) >= 4 and all(re.fullmatch(REFUSED, line) for line in errors)
    # Each failure is followed by its backoff before the next attempt.
    texts = [text for _, text in logs.records]
    first = texts.index(expected[0])
    assert re.fullmatch(REFUSED, texts[first - 1]) and texts[first + 1 : first + 3] == [texts[first - 1], expected[1]]


class FixedRandom:
    """Stands in for the random module: uniform() returns one end of the
    range and records the range."""

    def __init__(self, end):
        self.end = end
        self.ranges = []

    def uniform(self, low, high):
        self.ranges.append((low, high))
        return low if self.end == "low" else high


@pytest.mark.parametrize(
    "jitter, end, first_delays, first_range",
    [
        (0.5, "high", ["0.03", "0.06"], (-0.01, 0.01)),
        (0.5, "low", ["0.01", "0.02"], (-0.01, 0.01)),
        # A sum below zero is a delay of zero.
        (2.0, "low", ["0.00", "0.00"], (-0.04, 0.04)),
    ],
)
def test_jitter_is_drawn_around_the_capped_delay(
    loop, observed, logs, loop_errors, monkeypatch, jitter, end, first_delays, first_range
):
    ticker = fast(observed, min_backoff=0.02, max_backoff=0.04, backoff_jitter=jitter)
    fake = FixedRandom(end)
    monkeypatch.setattr(vt, "random", fake)

    async def scenario():
        with use_endpoint(closed_port_url()):
            ticker.start_websocket()
            await logs.wait_lines("Reconnect failed/unstable (", 2)
            ticker.close_websocket()
            await ended(ticker)

    run(loop, scenario())
    assert logs.backoffs()[:2] == [backoff_line(1, first_delays[0]), backoff_line(2, first_delays[1])]
    assert fake.ranges[0] == pytest.approx(first_range)
    assert fake.ranges[1] == pytest.approx((-0.04 * jitter, 0.04 * jitter))


class FakeClock:
    """Stands in for the time module; the test moves it forward."""

    def __init__(self):
        self.now = 1000.0

    def monotonic(self):
        return self.now


@pytest.mark.parametrize(
    "min_stable, second_lasts, backoffs, lost",
    [
        # Lasting exactly min_stable_secs counts as stable and resets the count.
        (10.0, 10.0, [backoff_line(1, "0.01"), backoff_line(1, "0.01")], 1),
        # A connection that falls short keeps the count going.
        (10.0, 9.99, [backoff_line(1, "0.01"), backoff_line(2, "0.02"), backoff_line(3, "0.04")], 0),
        # With min_stable_secs 0 every connection made is stable.
        (0.0, 0.0, [], 3),
        # The real clock: the threshold is lowered to 0.05 s while the second
        # connection is held open for longer.
        (10.0, None, [backoff_line(1, "0.01"), backoff_line(1, "0.01")], 1),
    ],
    ids=["exactly-stable", "just-short", "zero-threshold", "real-clock"],
)
def test_only_a_stable_connection_resets_the_backoff(
    loop, observed, logs, loop_errors, monkeypatch, min_stable, second_lasts, backoffs, lost
):
    """Three connections, each dropped by the service: the first and third at
    once, the second after it has lasted second_lasts seconds."""
    ticker = fast(observed, min_stable_secs=min_stable)
    clock = None
    if second_lasts is not None:
        clock = FakeClock()
        monkeypatch.setattr(vt, "time", clock)

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                ticker.start_websocket()
                for n in (1, 2, 3):
                    conn = await service.wait_connection(n)
                    # The ticker has taken the connection's start time.
                    await logs.wait_lines("Connected to Vorn", n)
                    if n == 2:
                        if clock is not None:
                            clock.now += second_lasts
                        else:
                            ticker.min_stable_secs = 0.05
                            await asyncio.sleep(0.1)
                    service.drop(conn)
                    await logs.wait_lines("Connected to Vorn", n + 1)
                    # The second connection's end has been judged by now.
                    ticker.min_stable_secs = min_stable
                ticker.close_websocket()
                await ended(ticker)

    run(loop, scenario())
    assert logs.backoffs() == backoffs
    assert logs.count("Connection lost, reconnecting..") == lost


def test_close_during_a_backoff_ends_the_loop_at_once(loop, observed, logs, loop_errors):
    # A backoff far longer than the wait for the loop to end.
    ticker = fast(observed, min_backoff=600.0, max_backoff=600.0)

    async def scenario():
        with use_endpoint(closed_port_url()):
            ticker.start_websocket()
            await logs.wait_lines("Reconnect failed/unstable (1 in a row) :: backing off 600.00s")
            assert ticker.shutdowns == 0
            ticker.close_websocket()
            assert await ended(ticker) is None

    run(loop, scenario())
    assert logs.lines()[-2:] == ["Backoff aborted early -- close requested", "Websocket disconnected."]
    assert len(logs.lines(logging.ERROR)) == 1
    assert ts.get_field(ticker, "_stop_event").is_set() and ticker.shutdowns == 1


def test_close_before_the_first_attempt_makes_none(loop, observed, logs, loop_errors):
    ticker = observed

    async def scenario():
        async with SilentService() as service:
            with service.endpoint():
                ticker.close_websocket()
                ticker.start_websocket()
                assert await ended(ticker) is None
                assert service.accepted == 0

    run(loop, scenario())
    assert logs.lines() == ["Websocket disconnected."]
    assert ts.get_field(ticker, "_stop_event").is_set() and ticker.shutdowns == 1


def test_close_while_connected_sends_the_close_and_ends_without_reconnecting(loop, observed, feed, logs, loop_errors):
    ticker = observed

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                conn = await start_connected(ticker, service, feed)
                ticker.close_websocket()
                assert await ended(ticker) is None
                assert conn.closes == [(1000, b"Connection closed by the user.")]
                assert len(service.connections) == 1
                await feed.wait("close")

    run(loop, scenario())
    assert transport_of(ticker) is None and not ticker.IS_CONNECTED.is_set()
    assert ts.get_field(ticker, "_stop_event").is_set() and ticker.shutdowns == 1
    assert logs.backoffs() == [] and logs.lines()[-1] == "Websocket disconnected."


@pytest.mark.parametrize(
    "target, connect_timeout, handshake_timeout, line",
    [
        ("stalled", 0.2, WAIT, re.escape("Error occured on connect :: ")),
        ("stalled", WAIT, 0.2, re.escape("Error occured on connect :: websocket handshake timeout")),
        ("refused", WAIT, WAIT, REFUSED),
    ],
    ids=["connect-timeout", "handshake-timeout", "refused"],
)
def test_failed_attempt_is_logged_then_backed_off(
    loop, observed, logs, loop_errors, target, connect_timeout, handshake_timeout, line
):
    ticker = fast(observed, connect_timeout=connect_timeout, handshake_timeout=handshake_timeout)

    async def scenario():
        async with SilentService() as stalled:
            url = stalled.url if target == "stalled" else closed_port_url()
            with use_endpoint(url, stalled.client_ssl):
                ticker.start_websocket()
                await logs.wait_lines("Reconnect failed/unstable (1 in a row)")
                ticker.close_websocket()
                await ended(ticker)
                assert stalled.accepted == (target == "stalled")

    run(loop, scenario())
    texts = [text for _, text in logs.records]
    assert re.fullmatch(line, texts[0])
    assert texts[1] == backoff_line(1, "0.01")
    assert logs.lines(logging.INFO, "Connected to Vorn") == []


class Unprintable(OSError):
    def __str__(self):
        raise ValueError("no text")


def test_an_attempt_whose_error_cannot_be_logged_is_still_retried(loop, observed, logs, loop_errors, monkeypatch):
    """Reporting a failed attempt is fail-soft too: the loop goes on."""
    ticker = observed
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    def ws_connect(*args, **kwargs):
        raise Unprintable()

    monkeypatch.setattr(vt, "ws_connect", ws_connect)

    async def scenario():
        ticker.start_websocket()
        await logs.wait_lines("Reconnect failed/unstable (", 2)
        ticker.close_websocket()
        await ended(ticker)

    run(loop, scenario())
    assert len(unraisable) >= 2 and all(type(u.exc_value) is ValueError for u in unraisable)


@pytest.mark.parametrize("moment", ["as-soon-as-connected", "after-connected-logged"])
def test_cancelling_the_loop_while_connected_clears_the_connection_state(
    loop, observed, feed, logs, loop_errors, moment
):
    ticker = observed

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                ticker.start_websocket(*feed.callbacks)
                if moment == "as-soon-as-connected":
                    # The listener has recorded the connection; the loop has
                    # not yet got it back from ws_connect.
                    await ticker.IS_CONNECTED.wait()
                else:
                    await logs.wait_lines("Connected to Vorn")
                task = ticker_task(ticker)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
                conn = await service.wait_connection(1)
                # The connection does not outlive the loop that owned it (it
                # would go on delivering quotes that no close could stop).
                await service.wait_disconnected(conn)
                await feed.wait("close")

    run(loop, scenario())
    assert transport_of(ticker) is None and not ticker.IS_CONNECTED.is_set()
    assert not ts.get_field(ticker, "_stop_event").is_set() and ticker.shutdowns == 0
    assert logs.lines(startswith="Websocket disconnected.") == []


ABANDONED = """
import asyncio, gc, socket, sys, weakref
from vornticker import vornticker as vt
from vornticker.endpoint import use_endpoint

class Ticker(vt.VornTicker):
    pass

def abandoned(state):
    loop = asyncio.new_event_loop()
    ticker = Ticker(loop)
    ticker.min_backoff = ticker.max_backoff = ticker.connect_timeout = ticker.handshake_timeout = 60.0
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    if state == "connecting":
        server.listen()  # accepted by the kernel, the TLS handshake never answered
    with use_endpoint(f"wss://127.0.0.1:{server.getsockname()[1]}/?version=2"):
        ticker.start_websocket()
        loop.run_until_complete(asyncio.sleep(0.3))
    loop.close()
    server.close()
    return weakref.ref(ticker)

ref = abandoned(sys.argv[1])
gc.collect()
print("alive" if ref() is not None else "freed")
"""


@pytest.mark.parametrize("state", ["connecting", "backoff"])
def test_a_ticker_abandoned_with_its_loop_is_collected(state):
    """What the reconnect loop holds across an await (listener, transport, the
    last failure) is seen by the collector, as a native coroutine's frame is."""
    done = run_python(ABANDONED, state)
    assert done.stdout.split() == ["freed"], done.stderr


class OwnBackoff(ObservedTicker):
    """Replaces the backoff; the third one asks to close."""

    def __init__(self, loop):
        super().__init__(loop)
        self.backoffs = []

    async def _sleep_backoff(self):
        self.backoffs.append(ts.get_field(self, "_fail_count"))
        if len(self.backoffs) == 3:
            self.close_websocket()


def test_the_loop_uses_a_subclass_backoff(loop, logs, loop_errors):
    ticker = fast(OwnBackoff(loop))

    async def scenario():
        with use_endpoint(closed_port_url()):
            ticker.start_websocket()
            await ended(ticker)

    run(loop, scenario())
    assert ticker.backoffs == [0, 0, 0]
    assert len(logs.lines(logging.ERROR)) == 3 and logs.backoffs() == []
    assert ticker.shutdowns == 1
