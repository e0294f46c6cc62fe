"""The ``vornticker`` command: ``vornticker watch SYMBOL...``.

It runs one :func:`vornticker.stream` under ``asyncio.run`` and shows the
quotes as a live table (or, with --json, as one JSON object per line). A
Ctrl-C cancels the session like any asyncio program's: the stream and the
local feed close on the way out, the summary is printed and the exit status
is 130. A SIGTERM does the same, then ends the process by that signal;
--seconds ends the session normally.
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
import signal
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

from .feed import LocalFeed, tls_available
from .stream import QuoteStream, StreamStats, stream
from .typedefs import Quote

__all__ = ["WatchOptions", "WatchResult", "main", "watch"]

EXIT_SIGINT: Final = 128 + 2


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
    """One stream, and what the display shows about it."""

    def __init__(self, opts: WatchOptions, out: IO[str], console: Console | None) -> None:
        self.opts = opts
        self.out = out
        self.console = console
        self.feed_label = ""
        self.quotes: QuoteStream | None = None
        self.latest: dict[str, dict[str, object]] = {}
        self.direction: dict[str, int] = {}
        self.rtt_ms: float | None = None
        self.log = _LastLog()
        self._window: deque[tuple[float, int]] = deque()

    def stats(self) -> StreamStats | None:
        return self.quotes.stats if self.quotes is not None else None

    @property
    def count(self) -> int:
        """Quotes shown, and those the table skipped to show a newer one."""
        stats = self.stats()
        return stats.delivered + stats.dropped if stats is not None else 0

    def on_quote(self, quote: Quote) -> None:
        if self.opts.json:
            self.out.write(orjson.dumps(quote).decode() + "\n")
            self.out.flush()
        symbol = quote.get("id")
        if symbol is None:
            return
        known = self.latest.setdefault(symbol, {})
        old, new = _number(known.get("price")), _number(quote.get("price"))
        if old is not None and new is not None and new != old:
            self.direction[symbol] = 1 if new > old else -1
        # A quote may carry only what changed; keep the rest from earlier ones.
        known.update(quote)

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
        while True:
            live.update(self.render(), refresh=True)
            await asyncio.sleep(self.opts.refresh)

    # -- display

    def rate(self) -> float:
        now = time.monotonic()
        self._window.append((now, self.count))
        while len(self._window) > 2 and now - self._window[0][0] > 2.0:
            self._window.popleft()
        t0, n0 = self._window[0]
        return (self.count - n0) / (now - t0) if now > t0 else 0.0

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
        stats = self.stats()
        connected = stats is not None and stats.connected
        state = Text("● connected", style="green") if connected else Text("○ disconnected", style="yellow")
        rtt = f"{self.rtt_ms:.2f} ms" if self.rtt_ms is not None else "—"
        status = Text.assemble(
            state,
            f"  {self.rate():.1f} quotes/s  {self.count} quotes  {stats.errors if stats else 0} errors  ",
            f"{stats.reconnects if stats else 0} reconnects  rtt {rtt}",
        )
        # The latest trouble, if any, else where the quotes come from.
        last_error = repr(stats.last_error) if stats is not None and stats.last_error is not None else None
        note = last_error or self.log.last or self.feed_label
        return Group(table, status, Text(note, style="dim", overflow="ellipsis", no_wrap=True))

    # -- running

    async def run(self) -> None:
        """Streams until --seconds have passed (without: until cancelled)."""
        opts = self.opts
        async with contextlib.AsyncExitStack() as stack:
            url: str | None = None
            context: ssl.SSLContext | None = None
            if opts.feed == "local":
                # Without a way to make a certificate, plain ws:// still shows everything else.
                feed = await stack.enter_async_context(LocalFeed(rate=opts.rate, tls=tls_available()))
                url, context = feed.url, feed.client_ssl_context()
                self.feed_label = f"local feed {url}"
            elif opts.feed == "service":
                self.feed_label = "quote service"
            else:
                url, context = opts.feed, _client_context(opts.feed, opts.ca_file)
                self.feed_label = url
            # The table shows each symbol's latest state: a slow terminal skips
            # to it. --json prints every quote.
            quotes = stream(list(opts.symbols), url=url, ssl_context=context, conflate=not opts.json)
            self.quotes = await stack.enter_async_context(quotes)
            helpers: list[asyncio.Task[None]] = []
            stack.push_async_callback(_cancel, helpers)
            if opts.rtt_interval > 0:
                helpers.append(asyncio.create_task(self.probe_rtt(quotes), name="vornticker-watch-rtt"))
            if not opts.json:
                live = Live(self.render(), console=self.console, auto_refresh=False, transient=False)
                live.start()
                stack.callback(self._stop_live, live)
                helpers.append(asyncio.create_task(self.redraw(live), name="vornticker-watch-redraw"))
            with contextlib.suppress(TimeoutError):
                async with asyncio.timeout(opts.seconds):
                    async for quote in quotes:
                        self.on_quote(quote)

    def _stop_live(self, live: Live) -> None:
        live.update(self.render())
        live.stop()
        if not live.console.is_terminal:
            live.console.line()  # a terminal gets its final newline from stop()


async def _cancel(tasks: list[asyncio.Task[None]]) -> None:
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)


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
    """Runs one watch session under asyncio.run and reports how it went.

    A Ctrl-C ends it as interrupted. A SIGTERM ends it the same way and then
    ends the process by that signal (when this runs on the main thread).
    """
    out = sys.stdout if out is None else out
    if console is None and not opts.json:
        # Output that is not a terminal has no width to fit; do not squeeze it into 80 columns.
        wide = not out.isatty() and "COLUMNS" not in os.environ
        console = Console(file=out, width=120 if wide else None)
    session = _Session(opts, out, console)
    interrupted = terminated = False

    async def main() -> None:
        loop, task = asyncio.get_running_loop(), asyncio.current_task()
        assert task is not None

        def on_sigterm() -> None:
            nonlocal terminated
            terminated = True
            task.cancel()

        with contextlib.suppress(NotImplementedError, RuntimeError, ValueError):  # a loop off the main thread
            loop.add_signal_handler(signal.SIGTERM, on_sigterm)
        try:
            await session.run()
        finally:
            with contextlib.suppress(NotImplementedError, RuntimeError, ValueError):
                loop.remove_signal_handler(signal.SIGTERM)

    started = time.monotonic()
    with _ticker_logging(session, console, opts.verbose, opts.json):
        try:
            asyncio.run(main())
        except KeyboardInterrupt:
            interrupted = True
        except asyncio.CancelledError:
            if not terminated:
                raise
    elapsed = time.monotonic() - started
    if terminated:
        signal.raise_signal(signal.SIGTERM)  # its default disposition is back: the process ends here
    stats = session.stats()
    return WatchResult(
        quotes=session.count,
        symbols=len(session.latest),
        seconds=elapsed,
        errors=stats.errors if stats is not None else 0,
        reconnects=stats.reconnects if stats is not None else 0,
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
    w.set_defaults(run=_run_watch)
    from . import capture_cli  # here, not at the top: it imports this module
    capture_cli.register(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    return run(args)


def _run_watch(args: argparse.Namespace) -> int:
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
