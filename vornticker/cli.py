"""The ``vornticker`` command: ``vornticker watch SYMBOL...``.

It runs one VornTicker on an event loop of its own and shows the quotes as
a live table (or, with --json, as one JSON object per line). The loop is run
with run_forever() because the ticker ends a session itself: a Ctrl-C or a
SIGTERM reaches its signal handlers, and --seconds calls close_websocket();
either way the ticker closes the connection, cancels the loop's tasks and
stops the loop. A SIGINT is then raised again as KeyboardInterrupt the next
time the loop runs, which is where it is turned into exit status 130.
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
import ssl
import sys
import time
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Final

import orjson
from rich import box
from rich.console import Console, Group
from rich.live import Live
from rich.logging import RichHandler
from rich.table import Table
from rich.text import Text

from .endpoint import use_endpoint
from .feed import LocalFeed, tls_available
from .typedefs import Quote
from .vornticker import VornTicker

__all__ = ["WatchOptions", "WatchResult", "main", "watch"]

EXIT_SIGINT: Final = 128 + 2

# How long after close_websocket() the ticker gets to end the session on its
# own before it is pushed through its signal path instead.
_CLOSE_GRACE: Final = 5.0


@dataclasses.dataclass
class WatchOptions:
    symbols: list[str]
    json: bool = False
    seconds: float | None = None  # None: until Ctrl-C
    feed: str = "service"  # "service" (the ticker's own endpoint), "local", or a ws:// or wss:// URL
    ca_file: str | None = None  # CA certificate to trust for a wss:// --feed URL
    rate: float = 5.0  # quotes per second per symbol, for the local feed
    rtt_interval: float = 5.0  # seconds between round-trip time probes; 0 turns them off
    refresh: float = 0.25  # seconds between redraws of the table
    verbose: bool = False


@dataclasses.dataclass(frozen=True)
class WatchResult:
    quotes: int
    symbols: int  # distinct symbols that sent at least one quote
    seconds: float
    errors: int
    reconnects: int
    interrupted: bool  # ended by SIGINT

    def summary(self) -> str:
        return f"{self.quotes} quotes from {self.symbols} symbols in {self.seconds:.1f} s ({self.errors} errors)"


class _LastLog(logging.Handler):
    """Keeps the ticker's latest warning or error for the status line."""

    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.last: str | None = None

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.last = record.getMessage()
        except Exception:
            self.handleError(record)


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


class _Session:
    """One ticker, its callbacks and what the display shows about them."""

    def __init__(self, opts: WatchOptions, out: IO[str], console: Console | None, feed_label: str) -> None:
        self.opts = opts
        self.out = out
        self.console = console
        self.feed_label = feed_label
        self.ticker: VornTicker | None = None
        self.latest: dict[str, dict[str, object]] = {}
        self.direction: dict[str, int] = {}
        self.quotes = 0
        self.errors = 0
        self.opens = 0
        self.connected = False
        self.last_error: str | None = None
        self.rtt_ms: float | None = None
        self.log = _LastLog()
        self._window: deque[tuple[float, int]] = deque()

    # -- the ticker's callbacks

    async def on_quote(self, quote: Quote) -> None:
        self.quotes += 1
        if self.opts.json:
            self.out.write(orjson.dumps(quote).decode() + "\n")
            self.out.flush()
        symbol = quote.get("id")
        if not isinstance(symbol, str):
            return
        known = self.latest.setdefault(symbol, {})
        old, new = _number(known.get("price")), _number(quote.get("price"))
        if old is not None and new is not None and new != old:
            self.direction[symbol] = 1 if new > old else -1
        # A quote may carry only what changed; keep the rest from earlier ones.
        known.update(quote)

    async def on_error(self, error: Exception) -> None:
        self.errors += 1
        self.last_error = repr(error)
        if self.opts.json:
            print(f"error: {error!r}", file=sys.stderr, flush=True)

    async def on_open(self, message: str) -> None:
        self.opens += 1
        self.connected = True

    async def on_close(self, message: str) -> None:
        self.connected = False

    # -- tasks of the session

    async def subscribe(self, ticker: VornTicker) -> None:
        await ticker.subscribe(list(self.opts.symbols))

    async def probe_rtt(self, ticker: VornTicker) -> None:
        await asyncio.sleep(min(1.0, self.opts.rtt_interval))
        while True:
            if ticker.IS_CONNECTED.is_set():
                try:
                    rtts = await asyncio.wait_for(ticker.check_round_trip_time(3), timeout=5.0)
                except Exception:
                    # Lost the connection mid-probe: the next one will tell.
                    pass
                else:
                    if rtts:
                        self.rtt_ms = min(rtts) * 1000.0
            await asyncio.sleep(self.opts.rtt_interval)

    async def redraw(self, live: Live) -> None:
        while True:
            live.update(self.render(), refresh=True)
            await asyncio.sleep(self.opts.refresh)

    # -- display

    def rate(self) -> float:
        now = time.monotonic()
        self._window.append((now, self.quotes))
        while len(self._window) > 2 and now - self._window[0][0] > 2.0:
            self._window.popleft()
        t0, n0 = self._window[0]
        return (self.quotes - n0) / (now - t0) if now > t0 else 0.0

    def render(self) -> Group:
        # Names, then times, are the first things to go on a narrow terminal.
        width = self.console.width if self.console is not None else 120
        with_names, with_time = width >= 110, width >= 95
        table = Table(box=box.SIMPLE_HEAD, pad_edge=False, collapse_padding=True)
        table.add_column("Symbol", style="bold", no_wrap=True)
        if with_names:
            table.add_column("Name", overflow="ellipsis", no_wrap=True, max_width=22)
        for name in ("Last", "Change", "% Chg", "Bid", "Ask", "Volume") + (("Time",) if with_time else ()):
            table.add_column(name, justify="right", no_wrap=True)
        for symbol in self.opts.symbols:
            q = self.latest.get(symbol)
            if q is None:
                table.add_row(symbol, *([""] if with_names else []), Text("waiting…", style="dim"))
                continue
            d = _digits(q)
            tick = self.direction.get(symbol, 0)
            last_style = "bold green" if tick > 0 else "bold red" if tick < 0 else "bold"
            sign = _colour(q.get("change"))
            short_name = q.get("shortName")
            volume = q.get("dayVolume")
            table.add_row(
                symbol,
                *([short_name if isinstance(short_name, str) else ""] if with_names else []),
                Text(_fmt(q.get("price"), d), style=last_style),
                Text(_fmt(q.get("change"), d, sign=True), style=sign),
                Text(_fmt(q.get("changePercent"), 2, sign=True, suffix="%"), style=sign),
                _fmt(q.get("bid"), d),
                _fmt(q.get("ask"), d),
                f"{volume:,}" if isinstance(volume, int) and not isinstance(volume, bool) else "—",
                *([_fmt_time(q.get("time"))] if with_time else []),
            )
        state = Text("● connected", style="green") if self.connected else Text("○ disconnected", style="yellow")
        rtt = f"{self.rtt_ms:.2f} ms" if self.rtt_ms is not None else "—"
        status = Text.assemble(
            state,
            f"  {self.rate():.1f} quotes/s  {self.quotes} quotes  {self.errors} errors  ",
            f"{max(0, self.opens - 1)} reconnects  rtt {rtt}",
        )
        # The latest trouble, if any, else where the quotes come from.
        note = self.last_error or self.log.last or self.feed_label
        return Group(table, status, Text(note, style="dim", overflow="ellipsis", no_wrap=True))

    # -- running

    def run(self, loop: asyncio.AbstractEventLoop) -> None:
        """Runs the session until the ticker has stopped the loop."""
        ticker = VornTicker(loop)  # installs the ticker's SIGINT and SIGTERM handlers
        self.ticker = ticker
        ticker.start_websocket(self.on_quote, self.on_error, self.on_open, self.on_close)
        loop.create_task(self.subscribe(ticker), name="vornticker-watch-subscribe")
        if self.opts.rtt_interval > 0:
            loop.create_task(self.probe_rtt(ticker), name="vornticker-watch-rtt")

        handles: list[asyncio.TimerHandle] = []

        def push() -> None:
            loop.create_task(ticker.stop_signal_handler())

        def finish() -> None:
            ticker.close_websocket()
            handles.append(loop.call_later(_CLOSE_GRACE, push))

        if self.opts.seconds is not None:
            handles.append(loop.call_later(self.opts.seconds, finish))

        live: Live | None = None
        if not self.opts.json:
            live = Live(self.render(), console=self.console, auto_refresh=False, transient=False)
            live.start()
            loop.create_task(self.redraw(live), name="vornticker-watch-redraw")
        try:
            loop.run_forever()
        finally:
            for handle in handles:
                handle.cancel()
            if live is not None:
                live.update(self.render())
                live.stop()
                if not live.console.is_terminal:
                    live.console.line()  # a terminal gets its final newline from stop()


def _run_leftovers(loop: asyncio.AbstractEventLoop) -> bool:
    """Runs what the stopped loop still has queued; True if that raised KeyboardInterrupt.

    The ticker's shutdown queues the re-delivery of a SIGINT behind the
    loop's stop, so it only happens here.
    """
    interrupted = False
    step = loop.create_task(asyncio.sleep(0))
    while True:
        try:
            loop.run_until_complete(step)
            return interrupted
        except KeyboardInterrupt:
            interrupted = True


def _cancel_leftover_tasks(loop: asyncio.AbstractEventLoop) -> None:
    # Only left when the ticker did not get to its own shutdown.
    tasks = [t for t in asyncio.all_tasks(loop) if not t.done()]
    for task in tasks:
        task.cancel()
    if tasks:
        loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))


def _client_context(url: str, ca_file: str | None) -> ssl.SSLContext | None:
    if not url.startswith("wss://"):
        return None
    return ssl.create_default_context(cafile=ca_file)


@contextlib.contextmanager
def _ticker_logging(session: _Session, console: Console | None, verbose: bool, json: bool) -> Iterator[None]:
    log = logging.getLogger("vornticker")
    handlers: list[logging.Handler] = [session.log]
    if verbose or json:
        shown: logging.Handler
        if json or console is None:
            shown = logging.StreamHandler(sys.stderr)
            shown.setFormatter(logging.Formatter("%(asctime)s %(name)s %(levelname)s: %(message)s"))
        else:
            shown = RichHandler(console=console, show_path=False)
        shown.setLevel(logging.DEBUG if verbose else logging.WARNING)
        handlers.append(shown)
    old_level = log.level
    log.setLevel(logging.DEBUG if verbose else logging.WARNING)
    for h in handlers:
        log.addHandler(h)
    try:
        yield
    finally:
        for h in handlers:
            log.removeHandler(h)
        log.setLevel(old_level)


def watch(opts: WatchOptions, *, out: IO[str] | None = None, console: Console | None = None) -> WatchResult:
    """Runs one watch session on a new event loop and reports how it went."""
    out = sys.stdout if out is None else out
    if console is None and not opts.json:
        # Output that is not a terminal has no width to fit; do not squeeze it into 80 columns.
        wide = not out.isatty() and "COLUMNS" not in os.environ
        console = Console(file=out, width=120 if wide else None)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    feed: LocalFeed | None = None
    session: _Session | None = None
    interrupted = False
    started = time.monotonic()

    def step(fn: Callable[[], object]) -> None:
        # Each clean-up step runs even when a Ctrl-C cut an earlier one short.
        nonlocal interrupted
        try:
            fn()
        except KeyboardInterrupt:
            interrupted = True

    try:
        url: str | None = None
        context: ssl.SSLContext | None = None
        if opts.feed == "local":
            # Without a way to make a certificate, plain ws:// still shows everything else.
            feed = LocalFeed(rate=opts.rate, tls=tls_available())
            loop.run_until_complete(feed.start())
            url, context = feed.url, feed.client_ssl_context()
            label = f"local feed {url}"
        elif opts.feed == "service":
            label = "quote service"
        else:
            url, context = opts.feed, _client_context(opts.feed, opts.ca_file)
            label = url
        session = _Session(opts, out, console, label)
        endpoint = use_endpoint(url, context) if url is not None else contextlib.nullcontext()
        with _ticker_logging(session, console, opts.verbose, opts.json), endpoint:
            started = time.monotonic()
            session.run(loop)
            interrupted = _run_leftovers(loop) or interrupted
    except KeyboardInterrupt:
        interrupted = True
    finally:
        elapsed = time.monotonic() - started
        step(lambda: _cancel_leftover_tasks(loop))
        if feed is not None:
            stop_feed = feed.stop
            step(lambda: loop.run_until_complete(stop_feed()))
        step(lambda: loop.run_until_complete(loop.shutdown_asyncgens()))
        step(lambda: loop.run_until_complete(loop.shutdown_default_executor()))
        asyncio.set_event_loop(None)
        loop.close()

    if session is None:
        return WatchResult(0, 0, elapsed, 0, 0, interrupted)
    return WatchResult(
        quotes=session.quotes,
        symbols=len(session.latest),
        seconds=elapsed,
        errors=session.errors,
        reconnects=max(0, session.opens - 1),
        interrupted=interrupted,
    )


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value >= 0 or math.isinf(value):
        raise argparse.ArgumentTypeError("must be a finite number of seconds, zero or more")
    return value


def _rate(text: str) -> float:
    value = _seconds(text)
    if value == 0:
        raise argparse.ArgumentTypeError("the rate must be positive")
    return value


def _feed(text: str) -> str:
    if text in ("service", "local") or text.startswith(("ws://", "wss://")):
        return text
    raise argparse.ArgumentTypeError("use 'service', 'local', or a ws:// or wss:// URL")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vornticker", description="Stream market quotes.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    w = commands.add_parser("watch", help="show live quotes for some symbols", description="Show live quotes.")
    w.add_argument("symbols", nargs="+", metavar="SYMBOL", help="e.g. AAPL ^GSPC BTC-USD EURUSD=X")
    w.add_argument("--json", action="store_true", help="print each quote as one JSON object per line")
    w.add_argument("--seconds", type=_seconds, metavar="N", help="stop after N seconds (default: at Ctrl-C)")
    w.add_argument(
        "--feed",
        type=_feed,
        default="service",
        help="'service' (default), 'local' for a feed started in this process, or a ws(s):// URL",
    )
    w.add_argument("--ca-file", metavar="PATH", help="CA certificate to trust for a wss:// --feed URL")
    w.add_argument(
        "--rate", type=_rate, default=5.0, metavar="QUOTES_PER_S", help="local feed: quotes/s per symbol"
    )
    w.add_argument(
        "--rtt-interval",
        type=_seconds,
        default=5.0,
        metavar="N",
        help="seconds between round-trip time probes, 0 for none (default %(default)s)",
    )
    w.add_argument("-v", "--verbose", action="store_true", help="show the ticker's log")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    opts = WatchOptions(
        symbols=list(dict.fromkeys(args.symbols)),
        json=args.json,
        seconds=args.seconds,
        feed=args.feed,
        ca_file=args.ca_file,
        rate=args.rate,
        rtt_interval=args.rtt_interval,
        verbose=args.verbose,
    )
    try:
        result = watch(opts)
    except KeyboardInterrupt:
        return EXIT_SIGINT
    print(result.summary(), file=sys.stderr)
    return EXIT_SIGINT if result.interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
