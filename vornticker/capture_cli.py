"""The capture commands of ``vornticker``: record, replay and info.

``vornticker record SYMBOL... -o FILE`` writes what a stream of the symbols
receives to a capture file (vornticker.recording), with a status line on
standard error, until --seconds have passed or Ctrl-C; either way the file
is sealed before the command ends. ``vornticker replay FILE`` serves a
capture as a local feed (vornticker.feed.ReplayFeed) and prints its URL, as
``python -m vornticker.feed`` does. ``vornticker info FILE`` says what a
capture holds.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import dataclasses
import datetime as dt
import itertools
import json
import logging
import math
import os
import signal
import sys
import time
from collections import deque
from typing import IO, Final

from . import recording
from .cli import EXIT_SIGINT, _seconds
from .clitools import FeedChoice, add_feed_options, add_verbosity_option, feed_choice, open_feed, run_until_signalled
from .feed import ReplayFeed, tls_unavailable_reason
from .feed.__main__ import _port, _say, serve_until_stopped
from .feed.tls import CA_FILE
from .stream import QuoteStream, stream

__all__ = ["register"]

STATUS_INTERVAL: Final = 0.5  # seconds between redraws of the status line on a terminal
STATUS_LINE_INTERVAL: Final = 10.0  # seconds between status lines when standard error is not a terminal


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds the record, replay and info commands to the ``vornticker`` parser."""
    r = commands.add_parser(
        "record",
        help="record what the connection receives to a capture file",
        description="Record every frame a stream of the symbols receives, as received, to a capture file. "
        "Ctrl-C ends the recording with the file sealed.",
    )
    r.add_argument("symbols", nargs="+", metavar="SYMBOL", help="e.g. AAPL ^GSPC BTC-USD EURUSD=X")
    r.add_argument("-o", "--output", required=True, metavar="FILE", help="the capture file to write (e.g. session.vtr)")
    r.add_argument("--force", action="store_true", help="replace FILE if it exists")
    r.add_argument("--seconds", type=_seconds, metavar="N", help="stop after N seconds (default: at Ctrl-C)")
    add_feed_options(r)
    add_verbosity_option(r)
    r.set_defaults(run=_run_record)

    p = commands.add_parser(
        "replay",
        help="serve a capture file as a local feed",
        description="Serve a capture file over a local websocket as the service would have sent it: each "
        "client gets the recorded frames of the symbols it subscribes to, from the file's start, at the "
        "recorded pace. Prints the URL on standard output and a watch command on standard error.",
    )
    p.add_argument("file", metavar="FILE", help="a capture file written by vornticker record")
    pace = p.add_mutually_exclusive_group()
    pace.add_argument("--speed", type=_speed, default=1.0, metavar="X", help="replay X times as fast (default 1)")
    pace.add_argument("--max", action="store_true", help="as fast as each client takes the frames")
    p.add_argument("--loop", action="store_true", help="start each client's replay again at the end of the file")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    p.add_argument("--port", type=_port, default=8765, help="port, 0 for any free one (default %(default)s)")
    p.add_argument("--plain", action="store_true", help="serve ws:// without TLS (default: wss:// when possible)")
    p.add_argument(
        "--ca-file",
        metavar="PATH",
        help="write the CA certificate that clients should trust here (default: a temporary file)",
    )
    p.add_argument(
        "--tls-dir", metavar="DIR", help=f"keep the CA ({CA_FILE}) and its key in DIR and reuse them at every start"
    )
    p.add_argument("-v", "--verbose", action="store_true", help="log connections and control messages")
    p.set_defaults(run=_run_replay)

    i = commands.add_parser(
        "info",
        help="what a capture file holds",
        description="Show a capture file's metadata, time span, frames per symbol, bad frames and damage.",
    )
    i.add_argument("file", metavar="FILE", help="a capture file")
    i.set_defaults(run=_run_info)


def _speed(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"the speed must be a positive, finite number, not {text!r}")
    return value


def _error(command: str, message: str) -> None:
    _say(f"vornticker {command}: error: {message}")


def _os_error(e: Exception) -> str:
    # A FormatError already names the file; an OSError is shown as "FILE: reason".
    if isinstance(e, OSError) and e.filename is not None and e.strerror:
        return f"{e.filename}: {e.strerror}"
    return str(e)


def _clean(value: object) -> str:
    """A value from a file, safe to print on a terminal."""
    if isinstance(value, list) and value and all(isinstance(v, str) for v in value):
        return " ".join(_clean(v) for v in value)
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)
    return text if text.isprintable() and text.strip() == text and text else repr(text)


# --- record ---------------------------------------------------------------------------------


class _StatusLine:
    """Standard error for the recording: a status line redrawn in place on a
    terminal (a line now and then otherwise), and whole lines above it."""

    def __init__(self, out: IO[str]) -> None:
        self.out = out
        try:
            self.tty = out.isatty()
        except (AttributeError, ValueError):
            self.tty = False
        self.drawn = False
        self.printed_at = time.monotonic()

    def _write(self, text: str) -> None:
        # Nobody reading any more is no reason to stop recording.
        with contextlib.suppress(OSError, ValueError):
            self.out.write(text)
            self.out.flush()

    def show(self, text: str) -> None:
        if self.tty:
            self._write("\r\x1b[K" + text)
            self.drawn = True
        elif time.monotonic() - self.printed_at >= STATUS_LINE_INTERVAL:
            self.printed_at = time.monotonic()
            self._write(text + "\n")

    def line(self, text: str) -> None:
        self._write(("\r\x1b[K" if self.drawn else "") + text + "\n")
        self.drawn = False


class _LogToStatus(logging.Handler):
    def __init__(self, status: _StatusLine, level: int) -> None:
        super().__init__(level)
        self.status = status
        self.setFormatter(logging.Formatter("%(asctime)s %(name)s %(levelname)s: %(message)s"))

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.status.line(self.format(record))
        except Exception:
            self.handleError(record)


def _size(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:,.0f} {unit}" if unit == "B" else f"{n:,.1f} {unit}"
        n /= 1024
    raise AssertionError("unreachable")


@dataclasses.dataclass
class _Recording:
    """One record session and what its status line shows."""

    symbols: list[str]
    path: str
    status: _StatusLine
    feed: FeedChoice
    started: float = dataclasses.field(default_factory=time.monotonic)
    quotes: QuoteStream | None = None
    was_connected: bool = False
    window: deque[tuple[float, int]] = dataclasses.field(default_factory=deque)

    def counts(self) -> tuple[int, int, int, int]:
        """Frames, bad frames, payload bytes, and the file's size so far."""
        rec = self.quotes.recorder if self.quotes is not None else None
        if rec is None or self.quotes is None:
            return 0, 0, 0, 0
        return rec.frames, self.quotes.stats.errors, rec.frame_bytes, rec.size

    def render(self) -> str:
        frames, bad, size, file_size = self.counts()
        connected = self.quotes is not None and self.quotes.stats.connected
        self.was_connected |= connected
        state = "● connected" if connected else "○ reconnecting" if self.was_connected else "○ connecting"
        now = time.monotonic()
        self.window.append((now, frames))
        while len(self.window) > 2 and now - self.window[0][0] > 2.0:
            self.window.popleft()
        t0, n0 = self.window[0]
        rate = (frames - n0) / (now - t0) if now > t0 else 0.0
        return (
            f"{state}  {frames:,} frames  {bad:,} bad  {_size(size)} received  {rate:,.1f} frames/s  "
            f"file {_size(file_size)}"
        )

    def summary(self) -> str:
        frames, bad, size, file_size = self.counts()
        return (
            f"recorded {frames} frames ({bad} bad, {size} bytes) in {time.monotonic() - self.started:.1f} s "
            f"to {self.path}: {file_size} bytes"
        )

    async def redraw(self) -> None:
        while True:
            self.status.show(self.render())
            await asyncio.sleep(STATUS_INTERVAL)

    async def run(self, args: argparse.Namespace) -> None:
        """Records until --seconds have passed (without: until cancelled)."""
        async with contextlib.AsyncExitStack() as stack:
            # The same choice of feed as watch makes.
            target = await stack.enter_async_context(open_feed(self.feed))
            url, context, label = target.url, target.ssl_context, target.label
            quotes = stream(self.symbols, url=url, ssl_context=context, conflate=True, record_to=self.path)
            self.quotes = await stack.enter_async_context(quotes)
            self.status.line(f"recording {' '.join(self.symbols)} from {label} to {self.path}")
            redraw = asyncio.create_task(self.redraw(), name="vornticker-record-status")
            stack.callback(redraw.cancel)
            with contextlib.suppress(TimeoutError):
                async with asyncio.timeout(args.seconds):
                    async for _ in quotes:
                        pass


def _run_record(args: argparse.Namespace) -> int:
    choice = feed_choice(args)  # bad options end here, before any file is touched
    path = os.fspath(args.output)
    if args.force:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
    elif os.path.lexists(path):
        _error("record", f"{path} exists; --force replaces it")
        return 1
    status = _StatusLine(sys.stderr)
    session = _Recording(list(dict.fromkeys(args.symbols)), path, status, choice)
    log = logging.getLogger("vornticker")
    handler = _LogToStatus(status, logging.DEBUG if args.verbose else logging.WARNING)
    old_level = log.level
    log.setLevel(handler.level)
    log.addHandler(handler)
    try:
        ending = run_until_signalled(lambda: session.run(args))
    except (OSError, RuntimeError, ValueError) as e:
        # The file could not be made, the feed not started, the reconnect loop failed, ...
        if session.quotes is not None:
            status.line(session.summary())
        _error("record", _os_error(e) if isinstance(e, OSError) else str(e))
        return 1
    finally:
        log.removeHandler(handler)
        log.setLevel(old_level)
    status.line(session.summary())
    if ending.terminated:
        signal.raise_signal(signal.SIGTERM)  # its default disposition is back: the process ends here
    return EXIT_SIGINT if ending.interrupted else 0


# --- replay ---------------------------------------------------------------------------------


def _usable_symbol(value: object) -> bool:
    return isinstance(value, str) and 0 < len(value) <= 32 and value.isprintable() and not value.startswith("-")


def _suggested_symbols(feed: ReplayFeed) -> list[str]:
    """Symbols for the watch command: those recorded in the header, else
    the first few that the frames carry."""
    listed = feed.replay.metadata.get("symbols")
    names = [s for s in listed if _usable_symbol(s)] if isinstance(listed, list) else []
    if not names:
        with contextlib.suppress(OSError, ValueError), recording.open(feed.replay.path) as capture:
            for _, quote in itertools.islice(capture.quotes(), 1000):
                symbol = quote.get("id") if isinstance(quote, dict) else None
                if _usable_symbol(symbol) and symbol not in names:
                    names.append(str(symbol))
    return list(dict.fromkeys(str(s) for s in names))[:8]


async def _serve_replay(feed: ReplayFeed, args: argparse.Namespace) -> int:
    status = await serve_until_stopped(
        feed, args, lambda message: _error("replay", message), lambda: _suggested_symbols(feed)
    )
    if status is not None:
        return status
    stats = feed.stats
    _say(f"replayed {stats.frames_sent} frames to {stats.connections} connections")
    return 0


def _run_replay(args: argparse.Namespace) -> int:
    asked = [flag for flag, given in (("--ca-file", args.ca_file), ("--tls-dir", args.tls_dir)) if given]
    if args.plain and asked:
        _error("replay", f"{asked[0]} needs TLS: drop --plain")
        return 2
    why = None if args.plain else tls_unavailable_reason()
    if why is not None:
        if asked:
            _error("replay", f"{asked[0]}: {why}")
            return 2
        _say(f"note: serving ws:// without TLS, as {why}")
    speed = math.inf if args.max else args.speed
    try:
        feed = ReplayFeed(
            args.file,
            speed,
            loop=args.loop,
            host=args.host,
            port=args.port,
            tls=not args.plain and why is None,
            tls_dir=args.tls_dir,
        )
    except (recording.FormatError, OSError) as e:
        _error("replay", _os_error(e))
        return 1
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING, format="%(name)s: %(message)s")
    try:
        return asyncio.run(_serve_replay(feed, args))
    except KeyboardInterrupt:  # before the signal handlers were in place
        return EXIT_SIGINT


# --- info -----------------------------------------------------------------------------------


def _when(ns: int) -> str:
    try:
        return dt.datetime.fromtimestamp(ns / 1e9, dt.UTC).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3] + " UTC"
    except (OverflowError, OSError, ValueError):
        return f"{ns} ns"


def _run_info(args: argparse.Namespace) -> int:
    try:
        summary = recording.summarize(args.file)
    except (recording.FormatError, OSError) as e:
        _error("info", _os_error(e))
        return 1
    stats = summary.stats
    lines = [_clean(summary.path)]
    for key, value in summary.metadata.items():
        shown = _when(value) if key == "start_ns" and type(value) is int else _clean(value)
        lines.append(f"  {_clean(key):<12} {shown}")
    if summary.first_ns is None or summary.last_ns is None:
        lines.append(f"  {'span':<12} empty")
    else:
        seconds = (summary.last_ns - summary.first_ns) / 1e9
        lines.append(f"  {'span':<12} {_when(summary.first_ns)} to {_when(summary.last_ns)} ({seconds:,.3f} s)")
    changes = f"{stats.subscriptions:,} subscription change{'' if stats.subscriptions == 1 else 's'}"
    lines.append(f"  {'frames':<12} {stats.frames:,} ({stats.bad_frames:,} bad), {changes}, {stats.blocks:,} blocks")
    width = max((len(_clean(s)) for s in summary.symbols), default=0)
    lines += [f"    {_clean(symbol):<{width}}  {count:>10,}" for symbol, count in summary.symbols.items()]
    for offset, length in stats.damage:
        lines.append(f"  damaged tail: {length:,} bytes from offset {offset:,} not read")
    try:
        print("\n".join(lines), flush=True)
    except BrokenPipeError:  # as `vornticker info FILE | head -n 3`
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0
