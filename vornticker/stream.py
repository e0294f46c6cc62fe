"""Quotes as an async iterator, for programs run with ``asyncio.run``::

    async with vornticker.stream(["AAPL", "BTC-USD"]) as quotes:
        async for quote in quotes:
            ...

Entering the block makes one :class:`~vornticker.VornTicker` on the running
loop, starts it and subscribes; leaving it (normally, by an exception or by
cancellation) closes the connection with code 1000 and ends the ticker's
reconnect loop, and leaves the event loop, its other tasks and the process's
signal handling as they were.  Reconnecting is the ticker's business: the
iteration simply goes on.

Quotes wait in a bounded buffer until the consumer takes them, one at a
time (``async for quote in quotes``), in lists (:meth:`QuoteStream.batches`)
or as Arrow columns (:meth:`QuoteStream.columns`); all three take from the
same buffer, in arrival order. The buffer is filled in C++ straight from the
connection's frames, and a waiting consumer is woken once per read of the
socket, not once per quote.

When the buffer is full the oldest quote is dropped (``overflow="drop"``),
or the stream stops reading the socket until the consumer has taken half
(``overflow="pause"``: nothing is lost, the service's sending waits). With
``conflate=True`` the buffer holds at most one quote per symbol, the newest,
in the place of the first one still waiting.  Either way memory stays
bounded however slow the consumer is, and :attr:`QuoteStream.stats` counts
what was dropped and how long reading was paused.

With ``record_to=PATH`` the stream also writes a capture file
(:mod:`vornticker.recording`): every frame the connection receives, before
it is decoded, and the subscription changes; the endpoint URL and the
symbols go into its header. The quotes the application gets are the same,
and leaving the block seals and closes the file.

The package re-exports :func:`stream`, :class:`QuoteStream` and
:class:`StreamStats`; ``vornticker.stream`` is then the function, so take
names from this module with ``from vornticker.stream import ...``.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import logging
import os
import signal
import ssl
import time
from collections.abc import Callable, Coroutine, Iterable
from types import TracebackType
from typing import TYPE_CHECKING, Any, Final, Generic, Literal, Self, TypeVar

from .endpoint import endpoint_url, starting_stream, stream_closed, StreamEndpoint, is_placeholder_url
from .typedefs import Quote
from .vornticker import QuoteColumns, VornTicker, QuoteBuffer

if TYPE_CHECKING:
    from .recording import Recorder

__all__ = ["QuoteStream", "StreamStats", "stream"]

logger = logging.getLogger(__name__)

# How long leaving the block waits for the service to end the connection
# after the close frame, before the reconnect loop is cancelled.
CLOSE_TIMEOUT: Final = 2.0
# Bad frames after the first are logged as one summary at most this often.
ERROR_SUMMARY_INTERVAL: Final = 60.0
# Bytes of quotes that may wait, besides maxsize quotes.
MAX_WAITING_BYTES: Final = 64 * 1024 * 1024

_SIGNALS: Final = (signal.SIGINT, signal.SIGTERM)
_NEW, _OPEN, _ENDED, _CLOSED = "new", "open", "ended", "closed"


@dataclasses.dataclass(frozen=True, slots=True)
class StreamStats:
    """What a stream has seen so far; ``quotes.stats`` takes a new snapshot."""

    received: int  # quotes that reached the open stream: delivered + dropped + still waiting
    delivered: int  # quotes the iteration handed out
    dropped: int  # quotes dropped: the buffer was full, or a newer quote of the symbol replaced them
    errors: int  # bad frames
    reconnects: int  # connections after the first
    connected: bool
    last_error: Exception | None  # the latest bad frame's error
    recording_stopped: bool = False  # a write error stopped record_to's recording (recorder.error says which)
    connections: int = 0  # connections opened so far
    paused_s: float = 0.0  # seconds the socket's reading was paused in all (overflow="pause")


def stream(
    symbols: Iterable[str],
    *,
    url: str | None = None,
    ssl_context: ssl.SSLContext | None = None,
    maxsize: int = 10_000,
    conflate: bool = False,
    record_to: str | os.PathLike[str] | Recorder | None = None,
    overflow: Literal["drop", "pause"] = "drop",
) -> QuoteStream:
    """Quotes of ``symbols`` as an async iterator; use it with ``async with``.

    ``symbols`` is any iterable of ``str`` (a bare ``str`` is refused).
    ``url`` and ``ssl_context`` send this stream (and only this one) to
    another ``ws://`` or ``wss://`` endpoint; without them it connects where
    a ticker would.  ``maxsize`` bounds the quotes waiting for the consumer;
    ``conflate`` keeps only the newest waiting quote of each symbol.
    ``record_to`` names a capture file to write, which must not exist yet,
    or is a ``Recorder`` made by the caller (to choose its options); either
    way the stream closes it.
    ``overflow`` says what a full buffer does: ``"drop"`` the oldest quote,
    or ``"pause"`` reading the socket until the consumer has taken half.
    """
    return QuoteStream(
        symbols,
        url=url,
        ssl_context=ssl_context,
        maxsize=maxsize,
        conflate=conflate,
        record_to=record_to,
        overflow=overflow,
    )


def _a(value: object) -> str:
    """``value``'s type with its article, for messages: "an int", "a float"."""
    if value is None:
        return "None"
    name = type(value).__name__
    return f"{'an' if name[:1].lower() in 'aeio' else 'a'} {name}"


def _symbol_list(symbols: object) -> list[str]:
    # A str is an iterable of str too, and would subscribe to its letters.
    if isinstance(symbols, (str, bytes)) or not isinstance(symbols, Iterable):
        raise TypeError(f"symbols must be an iterable of str such as a list, not {_a(symbols)}")
    listed = list(symbols)
    for i, symbol in enumerate(listed):
        if not isinstance(symbol, str):
            raise TypeError(f"symbols must be an iterable of str, but symbols[{i}] is {_a(symbol)}")
        if not symbol:
            raise ValueError(f"symbols[{i}] is an empty string")
        if any(c.isspace() or not c.isprintable() for c in symbol):
            raise ValueError(f"symbols[{i}] {symbol!r} contains whitespace or a control character")
    return listed


class _Ticker(VornTicker):
    """The stream's ticker. The end of its reconnect loop does not shut the
    event loop down, and the coroutine of that loop is kept so that the
    stream can find its task."""

    reconnect_loop: Coroutine[Any, Any, None] | None = None

    def start_ticker(self, reconnect: object = False) -> Coroutine[Any, Any, None]:
        self.reconnect_loop = super().start_ticker(reconnect)
        return self.reconnect_loop

    def _schedule_async_shutdown(self) -> None:
        # The loop and its other tasks belong to the application.
        pass


async def _ignored(message: object) -> None:
    # The stream's frames go to its buffer, never to the message callback.
    pass


# Waiters live in one list each for the stream's life, emptied in place when
# woken, so a cancelled wait can always find its own future to take out.
def _set_all(waiters: list[asyncio.Future[None]]) -> None:
    woken = waiters[:]
    waiters.clear()
    for waiter in woken:
        if not waiter.done():
            waiter.set_result(None)


def _set_first(waiters: list[asyncio.Future[None]]) -> None:
    while waiters:
        waiter = waiters.pop(0)
        if not waiter.done():
            waiter.set_result(None)
            return


_T = TypeVar("_T")


class _Takes(Generic[_T]):
    """An async iterator over what ``take()`` gives from the stream's buffer
    (None: nothing waits), waiting only when nothing does."""

    __slots__ = ("_stream", "_take")

    def __init__(self, stream: QuoteStream, take: Callable[[], _T | None]) -> None:
        self._stream = stream
        self._take = take

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> _T:
        while (got := self._take()) is None:
            if not await self._stream._frames_waiting():
                raise StopAsyncIteration
        return got


def _limit(value: object, name: str) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return value


class _ErrorLog:
    """Logs the first bad frame, then a summary at most once a minute."""

    def __init__(self) -> None:
        self.logged_at: float | None = None
        self.unlogged = 0
        self.latest: Exception | None = None

    def report(self, error: Exception) -> None:
        self.latest = error
        now = time.monotonic()
        if self.logged_at is None:
            self.logged_at = now
            logger.warning("Bad frame :: %r", error)
            return
        self.unlogged += 1
        if now - self.logged_at >= ERROR_SUMMARY_INTERVAL:
            self.flush(now)

    def flush(self, now: float | None = None) -> None:
        if not self.unlogged or self.logged_at is None:
            return
        now = time.monotonic() if now is None else now
        logger.warning(
            "%d more bad frames in the last %.0f s; the latest :: %r", self.unlogged, now - self.logged_at, self.latest
        )
        self.logged_at, self.unlogged = now, 0


def _close_recorder(recorder: Recorder) -> None:
    # A write error (a RecordingError, an OSError) was logged when it
    # happened; the file is readable up to the last block sealed before it.
    with contextlib.suppress(OSError):
        recorder.close()


def _signal_state(loop: asyncio.AbstractEventLoop) -> dict[int, tuple[Any, Any]]:
    # asyncio's own Unix loops keep their signal handlers in this table; a
    # loop that keeps it elsewhere only has the process's handler restored.
    table = getattr(loop, "_signal_handlers", None)
    loop_handlers = table if isinstance(table, dict) else {}
    return {sig: (signal.getsignal(sig), loop_handlers.get(sig)) for sig in _SIGNALS}


def _restore_signals(loop: asyncio.AbstractEventLoop, before: dict[int, tuple[Any, Any]]) -> None:
    table = getattr(loop, "_signal_handlers", None)
    for sig, (process_handler, loop_handler) in before.items():
        if loop_handler is not None and isinstance(table, dict):
            table[sig] = loop_handler  # the application's own loop handler, in the ticker's place
            continue
        try:
            loop.remove_signal_handler(sig)
        except (NotImplementedError, RuntimeError, ValueError):
            pass  # the ticker could not install one either
        if process_handler is not None and signal.getsignal(sig) is not process_handler:
            signal.signal(sig, process_handler)


class QuoteStream:
    """Quotes of some symbols as an async iterator; see :func:`stream`.

    Use it once: ``async with`` starts it and leaving the block closes it.
    """

    def __init__(
        self,
        symbols: Iterable[str],
        *,
        url: str | None = None,
        ssl_context: ssl.SSLContext | None = None,
        maxsize: int = 10_000,
        conflate: bool = False,
        record_to: str | os.PathLike[str] | Recorder | None = None,
        overflow: Literal["drop", "pause"] = "drop",
    ) -> None:
        self._symbols = _symbol_list(symbols)
        if overflow not in ("drop", "pause"):
            raise ValueError(f"overflow must be 'drop' or 'pause', got {overflow!r}")
        if record_to is not None and not isinstance(record_to, (str, os.PathLike)):
            from .recording import Recorder

            if not isinstance(record_to, Recorder):
                raise TypeError(f"record_to must be a path, a Recorder or None, not {type(record_to).__name__}")
        self._record_to = record_to
        self._recorder: Recorder | None = None
        if isinstance(maxsize, bool) or not isinstance(maxsize, int):
            raise TypeError(f"maxsize must be an int, not {type(maxsize).__name__}")
        if maxsize < 1:
            raise ValueError(f"maxsize must be at least 1, got {maxsize}")
        self._endpoint = None if url is None and ssl_context is None else StreamEndpoint(url, ssl_context)
        self._maxsize = maxsize
        self._conflate = bool(conflate)
        self._state = _NEW
        self._ticker: _Ticker | None = None
        self._task: asyncio.Task[None] | None = None
        self._failure: BaseException | None = None
        self._closed: asyncio.Event | None = None
        self._pause = overflow == "pause"
        # The quotes waiting, filled by the ticker's data path; it counts
        # what it received, handed out and dropped, and the bad frames.
        self._buffer = QuoteBuffer(maxsize, MAX_WAITING_BYTES, self._conflate, self._pause, self._wake, self._on_error)
        self._waiters: list[asyncio.Future[None]] = []  # consumers waiting for a quote
        self._watchers: list[asyncio.Future[None]] = []  # waiting for the connection to open or close
        self._opens = self._closes = 0
        self._error_log = _ErrorLog()

    def __repr__(self) -> str:
        mode = "conflated" if self._conflate else "plain"
        return f"<QuoteStream {self._state}, {len(self)} of {self._maxsize} waiting ({mode})>"

    def __len__(self) -> int:
        """Quotes waiting for the consumer."""
        return len(self._buffer)

    # -- the ticker's callbacks and the buffer's

    def _on_error(self, error: Exception) -> None:
        # Called by the buffer for each bad frame, as it comes.
        self._error_log.report(error)

    async def _on_open(self, message: str) -> None:
        self._opens += 1
        self._notify()

    async def _on_close(self, message: str) -> None:
        self._closes += 1
        self._notify()

    def _wake(self) -> None:
        _set_all(self._waiters)

    def _notify(self) -> None:
        _set_all(self._watchers)

    def _reconnect_loop_ended(self, task: asyncio.Task[None]) -> None:
        # It ends by itself only when someone closed the ticker directly, or
        # on an error of its own: no more quotes will come either way.
        if not task.cancelled() and (error := task.exception()) is not None:
            logger.error("The ticker's reconnect loop failed :: %r", error)
            self._failure = error
        if self._state is _OPEN:
            self._state = _ENDED
            self._wake()
            self._notify()

    # -- entering and leaving

    async def __aenter__(self) -> Self:
        if self._state is not _NEW:
            raise RuntimeError("a stream can be entered only once")
        loop = asyncio.get_running_loop()
        if self._endpoint is None or self._endpoint.url is None:
            url = endpoint_url(self._endpoint)
            if url is not None and is_placeholder_url(url):
                # It would only retry "Name or service not known" forever.
                raise RuntimeError(
                    f"this build has no quote service endpoint ({url} is a placeholder): give the stream "
                    "url=..., install one with vornticker.endpoint.use_endpoint(...), "
                    "or build with -Ccmake.define.VORN_ENDPOINT_HOST=HOST"
                )
        if self._record_to is not None and not isinstance(self._record_to, (str, os.PathLike)):
            self._recorder = self._record_to
        elif self._record_to is not None:
            # Imported only here: the capture format needs compression.zstd,
            # which a Python built without zstd lacks.
            from .recording import Recorder

            # First, so that a file that cannot be made leaves nothing started.
            metadata = {"url": endpoint_url(self._endpoint), "symbols": self._symbols}
            self._recorder = Recorder(self._record_to, metadata)
        self._closed = asyncio.Event()
        signals = _signal_state(loop)
        try:
            ticker = _Ticker(loop)
        except BaseException:
            if self._recorder is not None:
                self._recorder.close()
            raise
        finally:
            # Ctrl-C and SIGTERM do what they did before: under asyncio.run,
            # Ctrl-C cancels the main task and the stream closes on the way out.
            _restore_signals(loop, signals)
        self._ticker = ticker
        self._state = _OPEN
        try:
            if self._recorder is not None:
                self._recorder.attach(ticker)
            self._buffer.attach(ticker)
            with starting_stream(self._endpoint):
                ticker.start_websocket(_ignored, _ignored, self._on_open, self._on_close)
            coro = ticker.reconnect_loop
            self._task = next((t for t in asyncio.all_tasks(loop) if t.get_coro() is coro), None)
            if self._task is not None:
                self._task.add_done_callback(self._reconnect_loop_ended)
            if self._symbols:
                await ticker.subscribe(self._symbols)
        except BaseException:
            await self.aclose()
            raise
        return self

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Closes the connection (code 1000) and ends the ticker's reconnect
        loop; waits at most 2 s for the service to end the connection. Quotes
        still waiting are discarded. Closing again waits for the first close."""
        if self._state is _NEW:
            self._state = _CLOSED
            return
        assert self._closed is not None and self._ticker is not None
        if self._state is _CLOSED:
            await self._closed.wait()
            return
        self._state = _CLOSED
        # Discards what waits, and a paused connection reads again so that
        # the close handshake can finish.
        self._buffer.close()
        self._wake()
        self._notify()
        task = self._task
        try:
            try:
                self._ticker.close_websocket()
            except Exception as e:  # the transport was closing already
                logger.debug("close frame not sent :: %r", e)
            if task is not None and not task.done():
                await asyncio.wait([task], timeout=CLOSE_TIMEOUT)
                if not task.done():
                    task.cancel()
                    await asyncio.wait([task])
            if self._opens > self._closes:
                # A cancelled reconnect loop drops the connection; its close
                # callback is still to come.
                with contextlib.suppress(TimeoutError):
                    async with asyncio.timeout(1.0):
                        while self._opens > self._closes:
                            await self._state_changed()
        finally:
            if task is not None and not task.done():
                task.cancel()
            self._error_log.flush()
            stream_closed(self._endpoint)
            try:
                if self._recorder is not None:
                    # The last seal and the fsync run off the loop's thread.
                    self._recorder.detach(self._ticker)
                    await asyncio.to_thread(_close_recorder, self._recorder)
            finally:
                self._closed.set()

    # -- iterating

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> Quote:
        buffer = self._buffer
        while (quote := buffer.next()) is None:
            if not await self._frames_waiting():
                raise StopAsyncIteration
        return quote

    def batches(self, max_quotes: int | None = None) -> _Takes[list[Quote]]:
        """An async iterator of lists of quotes: each step everything waiting
        (at most ``max_quotes``), oldest first, waiting only when nothing
        does. Takes from the same buffer as ``async for quote in quotes``.

        Under a flood one socket read can bring tens of thousands of quotes;
        a ``max_quotes`` of a few hundred keeps each list small enough for
        the CPU's caches and is then about twice as fast (the rest waits,
        undecoded into Python, for the next steps, which do not wait)."""
        limit = _limit(max_quotes, "max_quotes")
        take = self._buffer.take
        return _Takes(self, lambda: take(limit) or None)

    def columns(self, max_rows: int | None = None) -> _Takes[QuoteColumns]:
        """An async iterator of :class:`~vornticker.QuoteColumns`: each step
        the quotes waiting (at most ``max_rows``) decoded into Arrow columns,
        with their receive time as the ``recv_ns`` column, and the bad frames
        among them in ``.errors``. Read each with ``pyarrow.table()``,
        ``polars.DataFrame()`` or DuckDB."""
        limit = _limit(max_rows, "max_rows")
        take = self._buffer.take_columns
        return _Takes(self, lambda: take(limit))

    async def _frames_waiting(self) -> bool:
        """Waits for the buffer's next frame; False when none will come."""
        if self._state is not _OPEN:
            if self._state is _NEW:
                raise RuntimeError("enter the stream with async with before iterating")
            if self._failure is not None and self._state is _ENDED:
                raise RuntimeError("the ticker's reconnect loop failed") from self._failure
            return False
        self._buffer.arm()
        await self._wait(self._waiters)
        return True

    # -- the rest of the session

    @property
    def ticker(self) -> VornTicker:
        """The ticker underneath, for its timing settings."""
        if self._ticker is None:
            raise RuntimeError("the stream has no ticker before it is entered")
        return self._ticker

    @property
    def recorder(self) -> Recorder | None:
        """The capture being written (``record_to``), for its counters; None
        without one or before the stream is entered. Closed with the stream."""
        return self._recorder

    @property
    def stats(self) -> StreamStats:
        received, delivered, dropped, errors, paused_s = self._buffer.stats()
        return StreamStats(
            received=received,
            delivered=delivered,
            dropped=dropped,
            errors=errors,
            reconnects=max(0, self._opens - 1),
            connected=self._ticker is not None and self._state is _OPEN and self._ticker.IS_CONNECTED.is_set(),
            last_error=self._error_log.latest,
            recording_stopped=self._recorder is not None and self._recorder.error is not None,
            connections=self._opens,
            paused_s=paused_s,
        )

    def _open_ticker(self) -> _Ticker:
        if self._state is not _OPEN or self._ticker is None:
            raise RuntimeError(f"the stream is {self._state}")
        return self._ticker

    async def _state_changed(self) -> None:
        await self._wait(self._watchers)

    @staticmethod
    async def _wait(waiters: list[asyncio.Future[None]]) -> None:
        """Waits until _wake or _notify wakes the list. A wait that is
        cancelled (a timeout, say) takes its future out of the list, and hands
        on a wake it got but can no longer act on."""
        waiter = asyncio.get_running_loop().create_future()
        waiters.append(waiter)
        try:
            await waiter
        except BaseException:
            if not waiter.done() or waiter.cancelled():
                with contextlib.suppress(ValueError):  # woken and cancelled in one step
                    waiters.remove(waiter)
            else:
                _set_first(waiters)
            raise

    async def wait_connected(self, timeout: float | None = None) -> None:
        """Returns once the stream is connected; TimeoutError after ``timeout`` s.

        Iterating does not need it: quotes come once connected."""
        async with asyncio.timeout(timeout):
            while not self._open_ticker().IS_CONNECTED.is_set():
                await self._state_changed()

    async def subscribe(self, symbols: list[str]) -> None:
        """Adds symbols; they are sent again after every reconnection."""
        symbols = _symbol_list(symbols)
        await self._open_ticker().subscribe(symbols)

    async def unsubscribe(self, symbols: list[str]) -> None:
        symbols = _symbol_list(symbols)
        await self._open_ticker().unsubscribe(symbols)

    async def round_trip_time(self, count: int = 5) -> list[float]:
        """``count`` round trips of a ping over the connection, in seconds.

        ``ConnectionError`` when the stream is not connected or the connection
        drops meanwhile; ``TimeoutError`` when a ping gets no answer within the
        ticker's ``connect_timeout``, so it never waits longer than that plus
        the pings answered before."""
        if isinstance(count, bool) or not isinstance(count, int):
            raise TypeError(f"count must be an int, not {type(count).__name__}")
        if count < 1:
            raise ValueError(f"count must be at least 1, got {count}")
        ticker = self._open_ticker()
        times: list[float] = []
        # One ping at a time, each with its own limit: a ping sent on a
        # connection that has just gone (or a service that stopped answering)
        # is otherwise waited for forever.
        for _ in range(count):
            if not ticker.IS_CONNECTED.is_set():
                raise ConnectionError("the stream is not connected")
            limit = ticker.connect_timeout
            try:
                async with asyncio.timeout(limit):
                    times += await ticker.check_round_trip_time(1)
            except TimeoutError:
                raise TimeoutError(f"no answer to a ping within {limit:g} s (connect_timeout)") from None
            except AttributeError:  # no transport: the connection went while the ping was being sent
                raise ConnectionError("the stream is not connected") from None
        return times
