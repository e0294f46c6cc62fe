"""What every ``vornticker`` subcommand shares.

- Output: :func:`write_line` writes a line to standard output and raises
  :class:`OutputClosed` once its reader has gone away (``... | head -n 3``);
  :func:`watch_stdout` notices that even while nothing is written;
  :func:`say` writes a line to standard error. :func:`run_subcommand`, which
  ``cli.main()`` calls, turns an ``OutputClosed`` (or a ``BrokenPipeError``
  on standard output) into status 0 and a :class:`CommandError` into one
  line on standard error.
- Logging: :func:`add_verbosity_option` adds ``-v``/``-vv``;
  :func:`verbosity_logging` sets the loggers up for the count.
- Where quotes come from: :func:`add_feed_options` adds ``--feed``,
  ``--ca-file`` and ``--rate``; :func:`feed_choice` checks them;
  ``async with open_feed(choice) as target`` starts the local feed if asked
  and yields the URL and TLS context to hand to :func:`vornticker.stream`.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import dataclasses
import logging
import math
import os
import re
import select
import signal
import ssl
import stat
import sys
from collections.abc import AsyncIterator, Callable, Coroutine, Iterator
from typing import IO, Any, Final, Literal

from . import vornticker as _vornticker
from .endpoint import check_url, is_placeholder_url

__all__ = [
    "CommandError",
    "FeedChoice",
    "FeedTarget",
    "OutputClosed",
    "TickerFormatter",
    "add_feed_options",
    "add_verbosity_option",
    "Ending",
    "build_endpoint_url",
    "run_until_signalled",
    "choose_feed",
    "describe_connect_failure",
    "feed_choice",
    "is_placeholder_url",
    "open_feed",
    "quotes_per_second",
    "run_subcommand",
    "say",
    "silence_stdout",
    "stdout_closed",
    "subcommand_parser",
    "verbosity_logging",
    "watch_stdout",
    "write_line",
]

EXIT_USAGE: Final = 2
DEFAULT_RATE: Final = 5.0
# The CMake option that names the service's host at build time.
ENDPOINT_OPTION: Final = "VORN_ENDPOINT_HOST"


# -- errors and output ----------------------------------------------------------------------


class CommandError(Exception):
    """A problem the user can fix: shown as one line, ``PROG: error: MESSAGE``,
    and the command ends with ``status``."""

    def __init__(self, message: str, status: int = EXIT_USAGE) -> None:
        super().__init__(message)
        self.status = status


class OutputClosed(Exception):
    """Standard output's reader has gone away; the command should end in
    order. Standard output points at /dev/null by then."""


def say(line: str) -> None:
    """One line on standard error, unless nobody reads it any more."""
    with contextlib.suppress(BrokenPipeError, ValueError):
        print(line, file=sys.stderr, flush=True)


def _is_stdout(out: IO[str]) -> bool:
    try:
        return out is sys.stdout or out is sys.__stdout__ or out.fileno() == 1
    except (AttributeError, OSError, ValueError):
        return False


def silence_stdout() -> None:
    """Points standard output at /dev/null: what is still buffered, and
    anything written later, goes nowhere instead of failing at exit."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - lives as long as the process
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
    finally:
        os.close(devnull)


def write_line(line: str, out: IO[str] | None = None) -> None:
    """Writes ``line`` and a newline to ``out`` (standard output), flushed.

    Raises :class:`OutputClosed` when the reader has gone away; standard
    output is silenced first, so nothing fails later at exit."""
    out = sys.stdout if out is None else out
    try:
        out.write(line + "\n")
        out.flush()
    except BrokenPipeError:
        if _is_stdout(out):
            silence_stdout()
        raise OutputClosed from None


def _stdout_pipe() -> int | None:
    try:
        fd = sys.stdout.fileno()
        return fd if stat.S_ISFIFO(os.fstat(fd).st_mode) else None
    except (AttributeError, OSError, ValueError):  # replaced or closed stdout
        return None


def _far_end_gone(poller: select.poll) -> bool:
    return any(events & (select.POLLERR | select.POLLHUP) for _, events in poller.poll(0))


def stdout_closed() -> bool:
    """Whether standard output is a pipe whose reader has gone away."""
    fd = _stdout_pipe()
    if fd is None:
        return False
    poller = select.poll()
    poller.register(fd, 0)
    return _far_end_gone(poller)


def watch_stdout(on_closed: Callable[[], None]) -> Callable[[], None]:
    """Calls ``on_closed`` once, on the running loop, when standard output is
    a pipe and its reader goes away; returns a function that stops watching.

    A command that writes only now and then would otherwise notice only at
    its next write. Terminals and files do not go away and are not watched.
    """
    fd = _stdout_pipe()
    if fd is None:
        return lambda: None
    loop = asyncio.get_running_loop()
    # Polled for reading, the write end of a pipe reports only the error of
    # a closed far end.
    poller = select.poll()
    poller.register(fd, 0)
    watching = True

    def stop() -> None:
        nonlocal watching
        if watching:
            watching = False
            loop.remove_reader(fd)

    def check() -> None:
        if _far_end_gone(poller):
            stop()
            on_closed()

    loop.add_reader(fd, check)
    return stop


def subcommand_parser(parser: argparse.ArgumentParser, name: str) -> argparse.ArgumentParser:
    """The parser of subcommand ``name`` (``parser`` itself if it has none)."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            choice = action.choices.get(name)
            if isinstance(choice, argparse.ArgumentParser):
                return choice
    return parser


def run_subcommand(prog: str, run: Callable[[argparse.Namespace], int], args: argparse.Namespace) -> int:
    """Runs ``run(args)``, the way every subcommand ends.

    A reader of standard output that went away ends the command with status
    0, as it does any Unix filter; a CommandError is one line on standard
    error, ``PROG: error: MESSAGE``, and its status."""
    try:
        return run(args)
    except OutputClosed:
        return 0
    except BrokenPipeError:
        if not stdout_closed():
            raise
        silence_stdout()
        return 0
    except CommandError as e:
        say(f"{prog}: error: {e}")
        return e.status


# -- logging --------------------------------------------------------------------------------


def add_verbosity_option(parser: argparse.ArgumentParser, default: str = "warnings and errors") -> None:
    """``-v`` (vornticker's own loggers, debug included) and ``-vv`` (every
    logger: asyncio's, picows', ...), as ``args.verbose``, a count."""
    parser.add_argument(
        "-v",
        "--verbose",
        action="count",
        default=0,
        help=f"-v logs all of vornticker's messages, -vv every library's too (default: {default})",
    )


_CONNECT_ERROR: Final = "Error occured on connect :: "
_ERRNO = re.compile(r"\[Errno (-?\d+)\] ")
_CALL_FAILED = re.compile(r"Connect call failed \('([^']*)', (\d+)")
_UNRESOLVED = re.compile(r"Name or service not known|name resolution|No address associated")


def describe_connect_failure(text: str, connect_timeout: float = 8.0) -> str:
    """What the ticker's log says after "Error occured on connect :: ", in a
    few words: an attempt that ran into ``connect_timeout`` logs nothing there."""
    text = text.strip()
    if not text:
        return f"timed out after {connect_timeout:g} s"
    errno = _ERRNO.match(text)
    detail = text[errno.end() :] if errno else text
    if _UNRESOLVED.search(text):
        return f"host name not resolved ({detail})"
    if "CERTIFICATE_VERIFY_FAILED" in text:
        reason = text.rsplit("failed: ", 1)[-1] if "failed: " in text else text
        return f"certificate not trusted ({reason}); --ca-file names a CA to trust"
    if errno and int(errno[1]) > 0:
        # "[Errno 111] Connect call failed ('127.0.0.1', 1)": refused, unreachable, ...
        reason = os.strerror(int(errno[1]))
        where = _CALL_FAILED.search(detail)
        return f"{reason[:1].lower()}{reason[1:]} ({f'{where[1]}:{where[2]}' if where else detail})"
    return detail


class TickerFormatter(logging.Formatter):
    """One line per record, the ticker's failed connection attempts in words
    (``describe_connect_failure``)."""

    def __init__(self, connect_timeout: float = 8.0) -> None:
        super().__init__("%(asctime)s %(name)s %(levelname)s: %(message)s")
        self.connect_timeout = connect_timeout

    def formatMessage(self, record: logging.LogRecord) -> str:
        text = record.message
        if record.name == "vornticker.vornticker" and text.startswith(_CONNECT_ERROR):
            failure = describe_connect_failure(text[len(_CONNECT_ERROR) :], self.connect_timeout)
            record = logging.makeLogRecord({**record.__dict__, "message": f"cannot connect: {failure}"})
        return super().formatMessage(record)


@contextlib.contextmanager
def verbosity_logging(verbosity: int, handler: logging.Handler | None = None) -> Iterator[logging.Handler]:
    """Within the block, log what ``-v`` asked for through ``handler``
    (default: one line per record on standard error, TickerFormatter).

    0: vornticker's warnings and errors; 1: everything vornticker logs;
    2 or more: everything any logger logs. The handler's level is set to
    match; vornticker's loggers pass INFO on at 0 too, for handlers of the
    command's own (a status line). Yields the handler, and puts the loggers
    back as they were afterwards."""
    if handler is None:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(TickerFormatter())
    handler.setLevel(logging.WARNING if verbosity <= 0 else logging.NOTSET)
    own, root = logging.getLogger("vornticker"), logging.getLogger()
    target = root if verbosity >= 2 else own
    saved = [(logger, logger.level) for logger in (own, root)]
    own.setLevel(logging.DEBUG if verbosity >= 1 else logging.INFO)
    if verbosity >= 2:
        root.setLevel(logging.DEBUG)
    target.addHandler(handler)
    try:
        yield handler
    finally:
        target.removeHandler(handler)
        for logger, level in saved:
            logger.setLevel(level)


# -- where quotes come from -----------------------------------------------------------------


def _feed(text: str) -> str:
    # A URL is checked by choose_feed, which says what is wrong in one line.
    if text in ("service", "local") or text.startswith(("ws://", "wss://")):
        return text
    raise argparse.ArgumentTypeError(f"use 'service', 'local', or a ws:// or wss:// URL, not {text!r}")


def quotes_per_second(text: str) -> float:
    """An argparse type: a positive, finite rate."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of quotes per second: {text!r}") from None
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(
            f"the rate must be a positive, finite number of quotes per second, not {text!r}"
        )
    return value


def add_feed_options(parser: argparse.ArgumentParser, *, rate: bool = True) -> None:
    """``--feed``, ``--ca-file`` and (with ``rate``) ``--rate``, in a group of
    their own; check them with :func:`feed_choice`."""
    group = parser.add_argument_group("where quotes come from")
    group.add_argument(
        "--feed",
        type=_feed,
        metavar="FEED",
        help="'service': the quote service this build connects to; 'local': a feed of random-walk quotes started "
        "in this process; or a ws:// or wss:// URL (default: the service, unless this build names a placeholder)",
    )
    group.add_argument(
        "--ca-file",
        metavar="PATH",
        help="PEM file of the CA certificates to trust for a wss:// feed (default: the system's)",
    )
    if rate:
        group.add_argument(
            "--rate",
            type=quotes_per_second,
            metavar="QUOTES_PER_S",
            help=f"quotes per second per symbol from --feed local (default {DEFAULT_RATE:g})",
        )


@dataclasses.dataclass(frozen=True)
class FeedChoice:
    """Where a command's quotes come from, as the options asked."""

    kind: Literal["service", "local", "url"]
    url: str | None = None  # for "url"
    ssl_context: ssl.SSLContext | None = None  # from --ca-file
    rate: float = DEFAULT_RATE  # for "local"
    asked: bool = True  # --feed was given: the service is tried even where its host is a placeholder


def _ca_context(path: str) -> ssl.SSLContext:
    try:
        return ssl.create_default_context(cafile=path)
    except ssl.SSLError as e:
        if "NO_CERTIFICATE" in str(e):
            raise CommandError(f"--ca-file {path}: holds no PEM certificate") from None
        raise CommandError(f"--ca-file {path}: not a usable certificate file ({e.reason or e})") from None
    except OSError as e:
        reason = os.strerror(e.errno) if e.errno else str(e)
        raise CommandError(f"--ca-file {path}: {reason[:1].lower()}{reason[1:]}") from None


def choose_feed(feed: str | None, ca_file: str | None = None, rate: float | None = None) -> FeedChoice:
    """Checks where quotes should come from: ``feed`` is None (the build's
    service), "service" (the same, asked for), "local" or a ws:// or wss://
    URL. CommandError names the option at fault and what is wrong."""
    if feed is not None and feed not in ("service", "local"):
        try:
            check_url(_feed(feed))
        except (argparse.ArgumentTypeError, ValueError) as e:
            raise CommandError(f"--feed: {e}") from None
    if rate is not None and feed != "local":
        raise CommandError("--rate applies to --feed local only")
    if ca_file is not None:
        if feed == "local":
            raise CommandError("--ca-file does not apply to --feed local, whose own CA is trusted already")
        if feed is not None and feed.startswith("ws://"):
            raise CommandError(f"--ca-file does not apply to {feed}: ws:// has no TLS")
    context = _ca_context(ca_file) if ca_file is not None else None
    if feed == "local":
        return FeedChoice("local", rate=DEFAULT_RATE if rate is None else rate)
    if feed is None or feed == "service":
        return FeedChoice("service", ssl_context=context, asked=feed is not None)
    return FeedChoice("url", url=feed, ssl_context=context)


def feed_choice(args: argparse.Namespace) -> FeedChoice:
    """:func:`choose_feed` on the options of :func:`add_feed_options`."""
    return choose_feed(args.feed, args.ca_file, getattr(args, "rate", None))


@dataclasses.dataclass
class Ending:
    """How :func:`run_until_signalled` ended: by Ctrl-C, or by SIGTERM (the
    caller raises it again once it has reported, so the process ends by
    that signal)."""

    interrupted: bool = False
    terminated: bool = False


def run_until_signalled(main: Callable[[], Coroutine[Any, Any, None]]) -> Ending:
    """``asyncio.run(main())``, where SIGTERM cancels the main task as
    Ctrl-C does, so a command's streams close on the way out either way.
    Any other exception propagates."""
    ending = Ending()

    async def guarded() -> None:
        loop, task = asyncio.get_running_loop(), asyncio.current_task()
        assert task is not None

        def on_sigterm() -> None:
            ending.terminated = True
            task.cancel()

        with contextlib.suppress(NotImplementedError, RuntimeError, ValueError):  # a loop off the main thread
            loop.add_signal_handler(signal.SIGTERM, on_sigterm)
        try:
            await main()
        finally:
            with contextlib.suppress(NotImplementedError, RuntimeError, ValueError):
                loop.remove_signal_handler(signal.SIGTERM)

    try:
        asyncio.run(guarded())
    except KeyboardInterrupt:
        ending.interrupted = True
    except asyncio.CancelledError:
        if not ending.terminated:
            raise
    return ending


def build_endpoint_url() -> str:
    """The URL a ticker connects to when nothing redirects it, fixed at
    build time (``wss://HOST/?version=2``)."""
    return _vornticker.ENDPOINT_URL


@dataclasses.dataclass(frozen=True)
class FeedTarget:
    """Where to point :func:`vornticker.stream`: ``url=None`` is the build's
    own endpoint. ``label`` says where that is, for people."""

    url: str | None
    ssl_context: ssl.SSLContext | None
    label: str


def _placeholder_advice(url: str) -> str:
    return (
        f"this build's quote service, {url}, is a placeholder: use --feed local for a local feed, "
        f"--feed wss://HOST/... for a service of yours, or build with -Ccmake.define.{ENDPOINT_OPTION}=HOST"
    )


@contextlib.asynccontextmanager
async def open_feed(choice: FeedChoice) -> AsyncIterator[FeedTarget]:
    """Starts what ``choice`` needs (the local feed) for the block's length.

    The build's service, when its host is a placeholder, is a CommandError
    unless ``--feed service`` asked for it; then a note on standard error
    says what it is. Without TLS support the local feed serves ws://, and a
    note says why."""
    if choice.kind == "local":
        from .feed import LocalFeed, tls_unavailable_reason

        why = tls_unavailable_reason()
        if why is not None:
            say(f"note: the local feed serves ws:// without TLS, as {why}")
        async with LocalFeed(rate=choice.rate, tls=why is None) as feed:
            yield FeedTarget(feed.url, feed.client_ssl_context(), f"local feed {feed.url}")
        return
    if choice.kind == "url":
        assert choice.url is not None
        yield FeedTarget(choice.url, choice.ssl_context, choice.url)
        return
    url = build_endpoint_url()
    if is_placeholder_url(url):
        if not choice.asked:
            raise CommandError(_placeholder_advice(url))
        say(f"note: {_placeholder_advice(url)}; trying it anyway, as --feed service asks")
    yield FeedTarget(None, choice.ssl_context, url)
