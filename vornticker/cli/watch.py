"""``vornticker watch SYMBOL...``: live quotes as a table, or as JSON lines.

It runs one :func:`vornticker.stream` under ``asyncio.run`` and shows the
quotes as a live table (or, with --json, as one JSON object per line). A
Ctrl-C or a SIGTERM cancels the session like any asyncio program's: the
stream and the local feed close on the way out and the summary is printed;
--seconds, and a reader of standard output that goes away, end the session
normally.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import dataclasses
import datetime as dt
import logging
import math
import os
import re
import sys
import time
from collections import deque
from collections.abc import Iterator, Sequence
from typing import IO, Final

import orjson
from rich import box
from rich.console import Console, Group
from rich.live import Live
from rich.logging import RichHandler
from rich.measure import Measurement
from rich.table import Table
from rich.text import Text

from ..stream import QuoteStream, StreamStats, stream
from ..typedefs import Quote
from ._common import (
    CONNECT_ERROR,
    CommandError,
    Deadline,
    Ending,
    FeedChoice,
    FeedTarget,
    OutputClosed,
    Subcommands,
    TickerFormatter,
    add_feed_options,
    add_verbosity_option,
    choose_feed,
    describe_connect_failure,
    open_feed,
    plural,
    run_failure,
    run_until_signalled,
    say,
    seconds,
    silence_stdout,
    verbosity_logging,
    watch_stdout,
    write_line,
)

__all__ = ["WatchOptions", "WatchResult", "add_parser", "run", "watch"]


@dataclasses.dataclass
class WatchOptions:
    symbols: list[str]
    json: bool = False
    seconds: float | None = None  # None: until Ctrl-C
    # None: the build's quote service, refused when its host is a placeholder;
    # "service": that service whatever its host; "local"; or a ws:// or wss:// URL.
    feed: str | None = None
    ca_file: str | None = None  # CA certificates to trust for a wss:// feed
    rate: float | None = None  # quotes per second per symbol, for the local feed (None: its default)
    rtt_interval: float = 5.0  # seconds between round-trip time probes; 0 turns them off
    refresh: float = 0.25  # seconds between redraws of the table
    verbose: int = 0  # 1: all of vornticker's log; 2: every logger's
    started: float | None = None  # time.monotonic() that --seconds count from (None: the session's start)


@dataclasses.dataclass(frozen=True)
class WatchResult:
    quotes: int
    symbols: int  # distinct symbols that sent at least one quote
    seconds: float
    errors: int
    reconnects: int
    ending: Ending  # DONE, INTERRUPTED (SIGINT) or TERMINATED (SIGTERM)

    @property
    def interrupted(self) -> bool:
        """Ended by SIGINT."""
        return self.ending is Ending.INTERRUPTED

    def summary(self) -> str:
        return (
            f"{plural(self.quotes, 'quote')} from {plural(self.symbols, 'symbol')} in {self.seconds:.1f} s "
            f"({plural(self.errors, 'error')})"
        )


_CONNECTED: Final = "Connected to Vorn"
_CONNECTION_LOST: Final = "Connection lost, reconnecting.."
_BACKOFF: Final = re.compile(r"Reconnect failed/unstable \((\d+) in a row\) :: backing off ([0-9.]+)s")


class _TickerLog(logging.Handler):
    """What the status line says about the connection, read from the log:
    why the last attempt failed, when the next one starts, and the latest
    other warning or error."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.cause: str | None = None  # the ticker's text after "Error occured on connect :: ", or our words
        self.failures = 0  # in a row
        self.retry_at: float | None = None  # time.time() of the next attempt
        self.connected_at: float | None = None
        self.last: str | None = None

    def emit(self, record: logging.LogRecord) -> None:
        try:
            text = record.getMessage()
            if record.name == "vornticker.vornticker" and self._connection(text, record.created):
                return
            if record.levelno >= logging.WARNING:
                self.last = text
        except Exception:
            self.handleError(record)

    def _connection(self, text: str, when: float) -> bool:
        if text == _CONNECTED:
            self.connected_at, self.cause, self.failures, self.retry_at = when, None, 0, None
        elif text.startswith(CONNECT_ERROR):
            self.cause = text[len(CONNECT_ERROR) :]
        elif text == _CONNECTION_LOST:
            self.connected_at, self.cause = None, "connection lost"
        elif backoff := _BACKOFF.fullmatch(text):
            if self.connected_at is not None:  # it connected, then dropped too soon
                self.cause = f"connection dropped after {when - self.connected_at:.1f} s"
                self.connected_at = None
            self.failures, self.retry_at = int(backoff[1]), when + float(backoff[2])
        else:
            return False
        return True


class _Console(Console):
    """A console whose closed output ends the session in order, instead of
    exiting the process from whichever task happened to write."""

    def on_broken_pipe(self) -> None:
        self.quiet = True
        if self.file is sys.stdout:
            silence_stdout()
        raise OutputClosed


def _number(value: object) -> float | None:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        return None
    return float(value)


def _digits(quote: dict[str, object]) -> int:
    hint = quote.get("priceHint")
    return hint if isinstance(hint, int) and 0 <= hint <= 8 else 2


def _fmt(value: object, digits: int, sign: bool = False, suffix: str = "") -> str:
    v = _number(value)
    if v is None:
        return "—"
    return f"{v:{'+' if sign else ''},.{digits}f}{suffix}"


def _fmt_time(value: object) -> str:
    if isinstance(value, bool) or not isinstance(value, int):
        return "—"
    try:
        return dt.datetime.fromtimestamp(value / 1000).strftime("%H:%M:%S")
    except (OverflowError, OSError, ValueError):
        return "—"


def _colour(value: object) -> str:
    v = _number(value)
    if v is None or v == 0:
        return ""
    return "green" if v > 0 else "red"


_COLUMNS: Final = ("Symbol", "Name", "Last", "Trend", "Change", "% Chg", "Bid", "Ask", "Volume", "Time")
# Dropped whole, in this order, as the terminal narrows: a number cut short
# would be a wrong number. Symbol and Last always stay.
_DROP_ORDER: Final = (("Trend",), ("Name",), ("Time",), ("Volume",), ("Bid", "Ask"), ("Change",), ("% Chg",))
_NAME_WIDTH: Final = (8, 22)  # names are cut (with an ellipsis) to fit, down to the first


_SPARK_SECONDS: Final = 60.0  # how far back the sparkline looks
_SPARK_CELLS: Final = 12  # one cell per 5 seconds
_SPARKS: Final = "▁▂▃▄▅▆▇█"


def sparkline(samples: Sequence[tuple[float, float]], now: float, cells: int = _SPARK_CELLS,
              seconds: float = _SPARK_SECONDS) -> str:
    """The last ``seconds`` of (monotonic time, price) samples as ``cells``
    block characters, the last price of each slice, scaled from the lowest
    to the highest; a slice without a price is a space."""
    step = seconds / cells
    last: list[float | None] = [None] * cells
    for at, price in samples:
        slot = cells - 1 - int((now - at) // step)
        if 0 <= slot < cells:
            last[slot] = price
    known = [p for p in last if p is not None]
    if not known:
        return ""
    lo, hi = min(known), max(known)
    top = len(_SPARKS) - 1
    return "".join(
        " " if p is None else _SPARKS[top // 2 if hi == lo else round((p - lo) / (hi - lo) * top)] for p in last
    )


def _cell(text: str, style: str = "") -> Text:
    # Should a number ever be wider than its column (a terminal narrower
    # than Symbol and Last), it folds onto a second line rather than losing digits.
    return Text(text, style=style, no_wrap=False, overflow="fold")


def _label(text: str, style: str = "") -> Text:
    return Text(text, style=style, no_wrap=True, overflow="ellipsis")


class _Session:
    """One stream, and what the display shows about it."""

    def __init__(self, opts: WatchOptions, out: IO[str], console: Console | None) -> None:
        self.opts = opts
        self.out = out
        self.console = console
        self.target: FeedTarget | None = None
        self.quotes: QuoteStream | None = None
        self.latest: dict[str, dict[str, object]] = {}
        self.direction: dict[str, int] = {}
        self.recent: dict[str, deque[tuple[float, float]]] = {}  # (monotonic time, price), for the sparkline
        self.rtt_ms: float | None = None
        self.log = _TickerLog()
        self.output_closed = False
        self._window: deque[tuple[float, int]] = deque()
        self.deadline = Deadline(opts.seconds, opts.started)

    def stats(self) -> StreamStats | None:
        return self.quotes.stats if self.quotes is not None else None

    @property
    def count(self) -> int:
        """Quotes shown, and those the table skipped to show a newer one."""
        stats = self.stats()
        return stats.delivered + stats.dropped if stats is not None else 0

    def on_quote(self, quote: Quote) -> None:
        if self.opts.json:
            write_line(orjson.dumps(quote).decode(), self.out)
        symbol = quote.get("id")
        if symbol is None:
            return
        known = self.latest.setdefault(symbol, {})
        old, new = _number(known.get("price")), _number(quote.get("price"))
        if old is not None and new is not None and new != old:
            self.direction[symbol] = 1 if new > old else -1
        if new is not None:
            now = time.monotonic()
            recent = self.recent.setdefault(symbol, deque())
            recent.append((now, new))
            while now - recent[0][0] > _SPARK_SECONDS:
                recent.popleft()
        # A quote may carry only what changed; keep the rest from earlier ones.
        known.update(quote)

    def stop(self) -> None:
        """Ends the session in order, as if --seconds had run out."""
        self.deadline.end_now()

    def output_gone(self) -> None:
        self.output_closed = True
        if self.console is not None:
            self.console.quiet = True
        if self.out is sys.stdout:
            silence_stdout()
        self.stop()

    # -- tasks of the session

    async def probe_rtt(self, quotes: QuoteStream) -> None:
        await asyncio.sleep(min(1.0, self.opts.rtt_interval))
        while True:
            if quotes.stats.connected:
                try:
                    rtts = await asyncio.wait_for(quotes.round_trip_time(3), timeout=5.0)
                except Exception:
                    # Lost the connection mid-probe: the next one will tell.
                    pass
                else:
                    if rtts:
                        self.rtt_ms = min(rtts) * 1000.0
            await asyncio.sleep(self.opts.rtt_interval)

    async def redraw(self, live: Live) -> None:
        console = live.console
        width = console.width
        try:
            while True:
                if console.width != width and console.is_terminal:
                    # The terminal may have rewrapped the old, wider lines
                    # into more rows than the view knows to redraw over.
                    width = console.width
                    console.clear()
                live.update(self.render(), refresh=True)
                await asyncio.sleep(self.opts.refresh)
        except OutputClosed:
            self.output_gone()

    # -- display

    def rate(self) -> float:
        now = time.monotonic()
        self._window.append((now, self.count))
        while len(self._window) > 2 and now - self._window[0][0] > 2.0:
            self._window.popleft()
        t0, n0 = self._window[0]
        return (self.count - n0) / (now - t0) if now > t0 else 0.0

    def _cells(self, symbol: str) -> dict[str, Text]:
        q = self.latest.get(symbol)
        if q is None:
            return {"Symbol": _label(symbol, "bold"), "Last": Text("waiting…", style="dim")}
        d = _digits(q)
        tick = self.direction.get(symbol, 0)
        sign = _colour(q.get("change"))
        name, volume = q.get("shortName"), q.get("dayVolume")
        return {
            "Symbol": _label(symbol, "bold"),
            "Name": _label(name if isinstance(name, str) else ""),
            "Last": _cell(_fmt(q.get("price"), d), "bold green" if tick > 0 else "bold red" if tick < 0 else "bold"),
            "Change": _cell(_fmt(q.get("change"), d, sign=True), sign),
            "% Chg": _cell(_fmt(q.get("changePercent"), 2, sign=True, suffix="%"), sign),
            "Bid": _cell(_fmt(q.get("bid"), d)),
            "Ask": _cell(_fmt(q.get("ask"), d)),
            "Volume": _cell(f"{volume:,}" if isinstance(volume, int) and not isinstance(volume, bool) else "—"),
            "Time": _cell(_fmt_time(q.get("time"))),
            "Trend": _label(sparkline(self.recent.get(symbol, ()), time.monotonic()), "cyan"),
        }

    def _table(self, rows: list[dict[str, Text]], columns: Sequence[str], name_width: int) -> Table:
        table = Table(box=box.SIMPLE_HEAD, pad_edge=False, collapse_padding=True)
        for column in columns:
            # Only text columns may narrow (their cells end in an ellipsis):
            # rich narrows wrappable columns first.
            if column == "Symbol":
                table.add_column(column)
            elif column == "Name":
                table.add_column(column, max_width=name_width)
            else:
                table.add_column(column, justify="right", no_wrap=True)
        for row in rows:
            table.add_row(*(row.get(column, "") for column in columns))
        return table

    def table(self, width: int) -> Table:
        """The quotes, with as many whole columns as fit in ``width``."""
        rows = [self._cells(symbol) for symbol in self.opts.symbols]
        columns = list(_COLUMNS)
        console = self.console or Console(width=width)
        # Measured unconstrained: a table measured within a width shrinks to fit it.
        options = console.options.update(width=1_000_000)
        for dropped in ((), *_DROP_ORDER):
            columns = [c for c in columns if c not in dropped]
            needed = Measurement.get(console, options, self._table(rows, columns, _NAME_WIDTH[0])).maximum
            if needed <= width:
                break
        return self._table(rows, columns, _NAME_WIDTH[1])

    def status(self, width: int) -> Text:
        """Parts of the status line, most important first, as many whole ones as fit."""
        stats = self.stats()
        connected = stats is not None and stats.connected
        if connected:
            parts = [Text("● connected", style="green")]
        else:
            parts = [Text("○ disconnected", style="yellow")]
            if self.log.retry_at is not None:
                wait = max(0.0, self.log.retry_at - time.time())
                parts.append(Text(f"next try in {wait:.1f} s ({plural(self.log.failures, 'failure')} in a row)"))
        rtt = f"{self.rtt_ms:.2f} ms" if self.rtt_ms is not None else "—"
        parts += [
            Text(f"{self.rate():.1f} quotes/s"),
            Text(plural(self.count, "quote")),
            Text(plural(stats.errors if stats else 0, "error")),
            Text(plural(stats.reconnects if stats else 0, "reconnect")),
            Text(f"rtt {rtt}"),
        ]
        line = Text(no_wrap=True, overflow="crop")
        for part in parts:
            gap = "  " if line else ""
            if len(line) + len(gap) + len(part) > width:
                break
            line.append(gap)
            line.append_text(part)
        return line

    def note(self) -> str:
        """Why the connection failed, else the latest trouble, else where the quotes come from."""
        stats = self.stats()
        if self.log.cause is not None and not (stats is not None and stats.connected):
            timeout = self.quotes.ticker.connect_timeout if self.quotes is not None else 8.0
            return f"cannot connect: {describe_connect_failure(self.log.cause, timeout)}"
        if stats is not None and stats.last_error is not None:
            return f"bad frame: {stats.last_error!r}"
        if self.log.last is not None:
            return self.log.last
        return self.target.label if self.target is not None else ""

    def render(self) -> Group:
        width = self.console.width if self.console is not None else 120
        status = self.status(width)
        note = Text(self.note(), style="dim", no_wrap=True, overflow="ellipsis")
        return Group(self.table(width), status, note)

    # -- running

    async def run(self) -> None:
        """Streams until --seconds have passed, or stop() (without: until cancelled)."""
        choice = choose_feed(self.opts.feed, self.opts.ca_file, self.opts.rate)
        await self.deadline.run(lambda stack: self._run(choice, stack))

    async def _run(self, choice: FeedChoice, stack: contextlib.AsyncExitStack) -> None:
        opts = self.opts
        self.target = target = await stack.enter_async_context(open_feed(choice))
        # The table shows each symbol's latest state: a slow terminal skips
        # to it. --json prints every quote.
        quotes = stream(list(opts.symbols), url=target.url, ssl_context=target.ssl_context, conflate=not opts.json)
        self.quotes = await stack.enter_async_context(quotes)
        if self.out is sys.stdout:
            stack.callback(watch_stdout(self.output_gone))
        helpers: list[asyncio.Task[None]] = []
        stack.push_async_callback(_cancel, helpers)
        if opts.rtt_interval > 0:
            helpers.append(asyncio.create_task(self.probe_rtt(quotes), name="vornticker-watch-rtt"))
        if not opts.json:
            live = Live(self.render(), console=self.console, auto_refresh=False, transient=False)
            try:
                live.start()
            except OutputClosed:
                self.output_gone()
                return
            stack.callback(self._stop_live, live)
            helpers.append(asyncio.create_task(self.redraw(live), name="vornticker-watch-redraw"))
        async for quote in quotes:
            try:
                self.on_quote(quote)
            except OutputClosed:
                self.output_gone()
                break

    def _stop_live(self, live: Live) -> None:
        with contextlib.suppress(OutputClosed):
            live.update(self.render())
            live.stop()
            if not live.console.is_terminal:
                live.console.line()  # a terminal gets its final newline from stop()


async def _cancel(tasks: list[asyncio.Task[None]]) -> None:
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)


@contextlib.contextmanager
def _ticker_logging(session: _Session, console: Console | None, opts: WatchOptions) -> Iterator[None]:
    # The status line reads the log; --json, and -v in the table, show it as well.
    shown: logging.Handler
    if opts.json or console is None:
        shown = logging.StreamHandler(sys.stderr)
        shown.setFormatter(TickerFormatter())
    elif opts.verbose:
        shown = RichHandler(console=console, show_path=False)
        shown.setFormatter(TickerFormatter(fmt="%(message)s"))  # the handler shows time and level itself
    else:
        shown = logging.NullHandler()
    own = logging.getLogger("vornticker")
    with verbosity_logging(opts.verbose, shown):
        own.addHandler(session.log)
        try:
            yield
        finally:
            own.removeHandler(session.log)


def watch(opts: WatchOptions, *, out: IO[str] | None = None, console: Console | None = None) -> WatchResult:
    """Runs one watch session under asyncio.run and reports how it went.

    A Ctrl-C or a SIGTERM ends it early (``WatchResult.ending`` says which);
    a reader of ``out`` that goes away ends it normally. Bad options raise
    CommandError.
    """
    out = sys.stdout if out is None else out
    if console is None and not opts.json:
        # Output that is not a terminal has no width to fit; do not squeeze it into 80 columns.
        wide = not out.isatty() and "COLUMNS" not in os.environ
        console = _Console(file=out, width=120 if wide else None)
    session = _Session(opts, out, console)
    started = time.monotonic()
    with _ticker_logging(session, console, opts):
        ending = run_until_signalled(session.run)
    elapsed = time.monotonic() - started
    stats = session.stats()
    return WatchResult(
        quotes=session.count,
        symbols=len(session.latest),
        seconds=elapsed,
        errors=stats.errors if stats is not None else 0,
        reconnects=stats.reconnects if stats is not None else 0,
        ending=ending,
    )


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    parser = commands.add_parser("watch", help="show live quotes for some symbols", description="Show live quotes.")
    parser.add_argument("symbols", nargs="+", metavar="SYMBOL", help="e.g. AAPL ^GSPC BTC-USD EURUSD=X")
    parser.add_argument(
        "--json", action="store_true", help="print each quote as one JSON object per line (default: a live table)"
    )
    parser.add_argument("--seconds", type=seconds, metavar="N", help="stop after N seconds (default: at Ctrl-C)")
    parser.add_argument(
        "--rtt-interval",
        type=seconds,
        default=5.0,
        metavar="N",
        help="seconds between round-trip time probes, 0 for none (default %(default)g)",
    )
    add_verbosity_option(parser, default="warnings in the status line, or on standard error with --json")
    add_feed_options(parser)
    parser.set_defaults(run=run)
    return parser


def run(args: argparse.Namespace) -> Ending:
    opts = WatchOptions(
        symbols=list(dict.fromkeys(args.symbols)),
        json=args.json,
        seconds=args.seconds,
        feed=args.feed,
        ca_file=args.ca_file,
        rate=args.rate,
        rtt_interval=args.rtt_interval,
        verbose=args.verbose,
        started=args.started,
    )
    try:
        result = watch(opts)
    except (OSError, RuntimeError) as e:
        # The local feed could not start, the reconnect loop failed: as record reports them.
        raise CommandError(run_failure(e), at_run_time=True) from None
    say(result.summary())
    return result.ending
