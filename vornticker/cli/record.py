"""``vornticker record SYMBOL... -o FILE``: what a stream receives, to a capture file.

Writes what a stream of the symbols receives to a capture file
(vornticker.recording), with a status line on standard error, until
--seconds have passed, Ctrl-C or SIGTERM; either way the file is sealed
before the command ends. A write error (disk full, ...) ends it too, with
the blocks sealed before it in the file.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import dataclasses
import logging
import os
import sys
import time
from collections import deque
from typing import IO, Final

from ..recording import Recorder
from ..stream import QuoteStream, stream
from ._common import (
    CommandError,
    Deadline,
    Ending,
    FeedChoice,
    Subcommands,
    TickerFormatter,
    add_feed_options,
    add_verbosity_option,
    feed_choice,
    open_feed,
    plural,
    run_failure,
    run_until_signalled,
    seconds,
)

__all__ = ["add_parser", "run"]

STATUS_INTERVAL: Final = 0.5  # seconds between redraws of the status line on a terminal
STATUS_LINE_INTERVAL: Final = 10.0  # seconds between status lines when standard error is not a terminal


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "record",
        help="record what the connection receives to a capture file",
        description="Record every frame a stream of the symbols receives, as received, to a capture file. "
        "Ctrl-C ends the recording with the file sealed.",
    )
    parser.add_argument("symbols", nargs="+", metavar="SYMBOL", help="e.g. AAPL ^GSPC BTC-USD EURUSD=X")
    parser.add_argument(
        "-o", "--output", required=True, metavar="FILE", help="the capture file to write (e.g. session.vtr)"
    )
    parser.add_argument("--force", action="store_true", help="replace FILE if it exists")
    parser.add_argument("--seconds", type=seconds, metavar="N", help="stop after N seconds (default: at Ctrl-C)")
    add_feed_options(parser)
    add_verbosity_option(parser)
    parser.set_defaults(run=run)
    return parser



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
        # A failed connection attempt in words, as watch shows it.
        self.setFormatter(TickerFormatter())
        self.last_problem: str | None = None  # the latest warning or error, for why a session never connected

    def emit(self, record: logging.LogRecord) -> None:
        try:
            text = self.format(record)
            if record.levelno >= logging.WARNING:
                self.last_problem = text
            self.status.line(text)
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
    force: bool = False
    started: float = dataclasses.field(default_factory=time.monotonic)
    quotes: QuoteStream | None = None
    was_connected: bool = False
    window: deque[tuple[float, int]] = dataclasses.field(default_factory=deque)
    deadline: Deadline | None = None

    def counts(self) -> tuple[int, int, int, int]:
        """Frames, bad frames, payload bytes, and the file's size so far."""
        rec = self.quotes.recorder if self.quotes is not None else None
        if rec is None or self.quotes is None:
            return 0, 0, 0, 0
        # After a write error, what the file holds rather than what arrived.
        frames = rec.frames if rec.error is None else rec.sealed_frames
        return frames, self.quotes.stats.errors, rec.frame_bytes, rec.size

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
        rec = self.quotes.recorder if self.quotes is not None else None
        took = f"{time.monotonic() - self.started:.1f} s"
        if rec is not None and rec.error is not None:
            # Which of the bad frames the file kept is not known without
            # reading it: the figures say what the file holds, then what came.
            return (
                f"recorded {plural(rec.sealed_frames, 'frame')} in {took} to {self.path} before the write error: "
                f"{plural(rec.sealed_frame_bytes, 'byte')} of frames, {plural(file_size, 'byte')} on disk; "
                f"{plural(rec.frames, 'frame')} received ({bad:,} bad)"
            )
        return (
            f"recorded {plural(frames, 'frame')} ({bad:,} bad) in {took} "
            f"to {self.path}: {plural(size, 'byte')} of frames, {plural(file_size, 'byte')} on disk"
        )

    async def redraw(self) -> None:
        while True:
            self.status.show(self.render())
            rec = self.quotes.recorder if self.quotes is not None else None
            if rec is not None and rec.error is not None and self.deadline is not None:
                # The file takes nothing more (disk full, ...): the session ends in order, as at --seconds.
                self.deadline.end_now()
            await asyncio.sleep(STATUS_INTERVAL)

    async def run(self, seconds: float | None, started: float) -> None:
        """Records until ``seconds`` after ``started`` (None: until cancelled)
        or until a write error stops the recording."""
        self.deadline = Deadline(seconds, started)
        await self.deadline.run(self._record)

    async def _record(self, stack: contextlib.AsyncExitStack) -> None:
        # The same choice of feed as watch makes.
        target = await stack.enter_async_context(open_feed(self.feed))
        url, context, label = target.url, target.ssl_context, target.label
        # With --force an existing file stays until the new one holds a sealed block.
        recorder = Recorder(self.path, {"url": url, "symbols": self.symbols}, overwrite=self.force)
        quotes = stream(self.symbols, url=url, ssl_context=context, conflate=True, record_to=recorder)
        self.quotes = await stack.enter_async_context(quotes)
        self.status.line(f"recording {' '.join(self.symbols)} from {label} to {self.path}")
        redraw = asyncio.create_task(self.redraw(), name="vornticker-record-status")
        stack.callback(redraw.cancel)
        async for _ in quotes:
            pass


def run(args: argparse.Namespace) -> Ending:
    choice = feed_choice(args)  # bad options end here, before any file is touched
    path = os.fspath(args.output)
    if not args.force and os.path.lexists(path):
        raise CommandError(f"{path} exists; --force replaces it")
    status = _StatusLine(sys.stderr)
    session = _Recording(list(dict.fromkeys(args.symbols)), path, status, choice, force=args.force)
    log = logging.getLogger("vornticker")
    handler = _LogToStatus(status, logging.DEBUG if args.verbose else logging.WARNING)
    old_level = log.level
    log.setLevel(handler.level)
    log.addHandler(handler)
    try:
        ending = run_until_signalled(lambda: session.run(args.seconds, args.started))
    except (OSError, RuntimeError, ValueError) as e:
        # The file could not be made, the feed not started, the reconnect loop failed, ...
        if session.quotes is not None:
            status.line(session.summary())
        raise CommandError(run_failure(e), at_run_time=True) from None
    finally:
        log.removeHandler(handler)
        log.setLevel(old_level)
    status.line(session.summary())
    quotes = session.quotes
    recorder = quotes.recorder if quotes is not None else None
    if recorder is not None and recorder.error is not None:
        raise CommandError(
            f"{run_failure(recorder.error)}; the file holds {plural(recorder.sealed_frames, 'frame')}", at_run_time=True
        )
    if ending is Ending.DONE and (quotes is None or quotes.stats.connections == 0):
        why = handler.last_problem or "no connection was made"
        raise CommandError(f"never connected: {why}", at_run_time=True)
    return ending
