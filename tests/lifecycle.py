"""Helpers for the connection tests: the ticker's log lines as something to
wait on, application callbacks that record what reaches them, a ticker that
records the start of its shutdown instead of stopping the loop, and quote
frames built from known fields with the protobuf runtime.

Test modules import the fixtures they use from here by name."""

from __future__ import annotations

import asyncio
import logging
from typing import Any

import pytest

from quote_service import WAIT, Changes
from quotes import PricingData, expected_dict, frame
from vornticker import _testsupport as ts
from vornticker import vornticker as vt

LOGGER = "vornticker.vornticker"


def run(loop: asyncio.AbstractEventLoop, coro: Any, timeout: float = 30.0) -> Any:
    """Runs one scenario on the test's loop, with a generous overall limit."""
    return loop.run_until_complete(asyncio.wait_for(coro, timeout))


# --- log lines -------------------------------------------------------------------


class LogWatch(logging.Handler):
    """Collects the ticker's log lines, (level, text), in order."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[tuple[int, str]] = []
        self.changes = Changes()
        self._loop: asyncio.AbstractEventLoop | None = None

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append((record.levelno, record.getMessage()))
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is not None:
            self.changes.notify()
        elif self._loop is not None and not self._loop.is_closed():
            self._loop.call_soon_threadsafe(self.changes.notify)

    def lines(self, level: int | None = None, startswith: str = "") -> list[str]:
        return [text for lvl, text in self.records if (level is None or lvl == level) and text.startswith(startswith)]

    def count(self, text: str) -> int:
        return sum(1 for _, t in self.records if t == text)

    async def wait_lines(self, startswith: str, n: int = 1, level: int | None = None, timeout: float = WAIT) -> list[str]:
        """The first n lines that start with the text, once logged."""
        self._loop = asyncio.get_running_loop()
        await self.changes.until(
            lambda: len(self.lines(level, startswith)) >= n, f"{n} log line(s) starting {startswith!r}", timeout
        )
        return self.lines(level, startswith)[:n]

    def backoffs(self) -> list[str]:
        return self.lines(logging.WARNING, "Reconnect failed/unstable (")


@pytest.fixture
def logs():
    logger = logging.getLogger(LOGGER)
    watch = LogWatch()
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addHandler(watch)
    yield watch
    logger.removeHandler(watch)
    logger.setLevel(old_level)


class LoopErrors(list):
    """What reaches the loop's exception handler, less what the test allowed."""

    def __init__(self) -> None:
        super().__init__()
        self._allowed: list[Any] = []

    def allow(self, predicate: Any) -> None:
        self._allowed.append(predicate)

    def record(self, _loop: Any, context: dict[str, Any]) -> None:
        if not any(allowed(context) for allowed in self._allowed):
            self.append(context)


def failed_server_handshake(context: dict[str, Any]) -> bool:
    """The service's own report of a client that refused its certificate."""
    return context.get("message") == "SSL handshake failed" and "server" in repr(context.get("transport"))


@pytest.fixture
def loop_errors(loop):
    """Must stay empty: nothing unexpected may reach the loop's handler."""
    errors = LoopErrors()
    loop.set_exception_handler(errors.record)
    yield errors
    if errors:
        pytest.fail(f"reached the loop's exception handler: {list(errors)!r}")


# --- the application side ------------------------------------------------------------


class Feed:
    """The application's four callbacks, recording (kind, argument) in the
    order the loop runs them."""

    def __init__(self) -> None:
        self.events: list[tuple[str, Any]] = []
        self.changes = Changes()

    def _record(self, kind: str, arg: Any) -> None:
        self.events.append((kind, arg))
        self.changes.notify()

    async def message(self, quote: Any) -> None:
        self._record("message", quote)

    async def error(self, exc: Any) -> None:
        self._record("error", exc)

    async def opened(self, text: Any) -> None:
        self._record("open", text)

    async def closed(self, text: Any) -> None:
        self._record("close", text)

    @property
    def callbacks(self) -> tuple[Any, Any, Any, Any]:
        return self.message, self.error, self.opened, self.closed

    def of(self, kind: str) -> list[Any]:
        return [arg for k, arg in self.events if k == kind]

    async def wait(self, kind: str, n: int = 1, timeout: float = WAIT) -> list[Any]:
        await self.changes.until(lambda: len(self.of(kind)) >= n, f"{n} {kind} callback(s)", timeout)
        return self.of(kind)[:n]


@pytest.fixture
def feed():
    return Feed()


class ObservedTicker(vt.VornTicker):
    """Counts the start of its shutdown instead of cancelling every task and
    stopping the loop, so that a test can go on looking at it."""

    shutdowns = 0

    def _schedule_async_shutdown(self) -> None:
        self.shutdowns += 1


def fast(ticker: vt.VornTicker, **overrides: float) -> vt.VornTicker:
    """Scales the timing properties down; no jitter, and no connection
    counts as stable unless a test says otherwise."""
    settings = dict(
        min_backoff=0.01,
        backoff_multiplier=2.0,
        max_backoff=0.04,
        backoff_jitter=0.0,
        min_stable_secs=30.0,
        connect_timeout=WAIT,
        handshake_timeout=WAIT,
    )
    settings.update(overrides)
    for name, value in settings.items():
        setattr(ticker, name, value)
    return ticker


@pytest.fixture
def observed(loop):
    return fast(ObservedTicker(loop))


def ticker_task(ticker: vt.VornTicker) -> asyncio.Task:
    return ts.get_field(ticker, "_ticker_task")


async def ended(ticker: vt.VornTicker, timeout: float = WAIT) -> Any:
    """Waits for the reconnect loop's task to finish and returns its result."""
    try:
        return await asyncio.wait_for(asyncio.shield(ticker_task(ticker)), timeout)
    except TimeoutError:
        raise AssertionError("the reconnect loop did not end") from None


async def start_connected(ticker: vt.VornTicker, service: Any, feed: Feed) -> Any:
    """Starts `ticker` with `feed`'s callbacks against `service` (whose
    endpoint is in use) and returns the service's side of the connection once
    the open callback has run."""
    ticker.start_websocket(*feed.callbacks)
    conn = await service.wait_connection(1)
    await feed.wait("open")
    return conn


def transport_of(ticker: vt.VornTicker) -> Any:
    return ts.get_field(ticker, "_transport")


# --- quote frames ---------------------------------------------------------------------


def quote(symbol: str, seq: int, name: str | None = None) -> tuple[bytes, dict[str, Any]]:
    """A quote frame with id, time (= seq) and optionally shortName, and the
    mapping the message callback should receive for it, as the protobuf
    runtime reads the message."""
    fields: dict[str, Any] = {"id": symbol, "time": seq}
    if name is not None:
        fields["shortName"] = name
    wire = PricingData(**fields).SerializeToString()
    return frame(wire), expected_dict(wire)


def big_quote(symbol: str, seq: int, size: int) -> tuple[bytes, dict[str, Any]]:
    """A well-formed quote frame of about `size` bytes."""
    return quote(symbol, seq, "N" * (size * 3 // 4))
