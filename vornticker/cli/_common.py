"""What every ``vornticker`` command shares.

- Output: :func:`write_line` writes a line to standard output and raises
  :class:`OutputClosed` once its reader has gone away (``... | head -n 3``);
  :func:`watch_stdout` notices that even while nothing is written;
  :func:`say` writes a line to standard error; :func:`quiet_outputs` makes
  the end of the process quiet whichever of them has gone.
- Errors and endings: a command raises :class:`CommandError` or returns an
  :class:`Ending`; ``vornticker.cli.main()`` turns either into the exit
  status (an ``OutputClosed`` into 0).
- Argument types: :func:`seconds`, :func:`port`, :func:`quotes_per_second`;
  :func:`positive_number` for a command's own.
- Signals and time: :func:`run_until_signalled` runs a command's coroutine
  until it ends or SIGINT/SIGTERM; :class:`Deadline` is ``--seconds`` for a
  whole session; :func:`serve_until_stopped` serves a feed until stopped.
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
import enum
import errno
import logging
import math
import os
import re
import select
import shlex
import signal
import ssl
import stat
import sys
import tempfile
import time
from collections.abc import AsyncIterator, Callable, Coroutine, Iterator, Sequence
from typing import IO, TYPE_CHECKING, Any, Final, Literal, Protocol

from .. import vornticker as _vornticker
from ..endpoint import check_url, is_placeholder_url
from ..feed.tls import CA_FILE, EXTRA

if TYPE_CHECKING:
    from ..feed import FeedServer

__all__ = [
    "DEFAULT_RATE",
    "CONNECT_ERROR",
    "CommandError",
    "Deadline",
    "Ending",
    "FeedChoice",
    "FeedTarget",
    "OutputClosed",
    "Subcommands",
    "TickerFormatter",
    "add_feed_options",
    "add_server_options",
    "add_verbosity_option",
    "build_endpoint_url",
    "choose_feed",
    "describe_connect_failure",
    "feed_choice",
    "file_error",
    "is_placeholder_url",
    "open_feed",
    "plural",
    "port",
    "positive_number",
    "process_start",
    "quiet_outputs",
    "quotes_per_second",
    "run_failure",
    "run_until_signalled",
    "say",
    "seconds",
    "serve_until_stopped",
    "server_tls",
    "silence_stdout",
    "stdout_closed",
    "verbosity_logging",
    "watch_stdout",
    "write_line",
]

DEFAULT_RATE: Final = 5.0
# The CMake option that names the service's host at build time.
ENDPOINT_OPTION: Final = "VORN_ENDPOINT_HOST"


# -- errors and output ----------------------------------------------------------------------


class CommandError(Exception):
    """Why a command cannot go on, shown as one line: ``vornticker CMD:
    error: MESSAGE``. Bad usage or input unless ``at_run_time`` (what was
    asked could not be done: no connection, a port in use, a disk full)."""

    def __init__(self, message: str, *, at_run_time: bool = False) -> None:
        super().__init__(message)
        self.at_run_time = at_run_time


class Ending(enum.Enum):
    """How a command that ran ended; ``vornticker.cli.main`` turns it into
    the exit status."""

    DONE = enum.auto()
    SKIPPED = enum.auto()  # done, but some data was skipped
    INTERRUPTED = enum.auto()  # by SIGINT (Ctrl-C)
    TERMINATED = enum.auto()  # by SIGTERM


class Subcommands(Protocol):
    """What a command module adds its parser to (argparse's subparsers)."""

    def add_parser(self, name: str, **kwargs: Any) -> argparse.ArgumentParser: ...


class OutputClosed(Exception):
    """Standard output's reader has gone away; the command should end in
    order. Standard output points at /dev/null by then."""


def say(line: str) -> None:
    """One line on standard error, unless nobody reads it any more."""
    with contextlib.suppress(BrokenPipeError, ValueError):
        print(line, file=sys.stderr, flush=True)


def plural(count: int, word: str) -> str:
    """``1 quote``, ``1,024 quotes``."""
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def run_failure(e: Exception) -> str:
    """Why a session failed at run time, in one line: a file's error as
    ``FILE: reason``, anything else with the error that caused it."""
    if isinstance(e, OSError):
        return file_error(e)
    return f"{e}: {e.__cause__!r}" if e.__cause__ is not None else str(e)


def file_error(e: OSError | ValueError) -> str:
    """An error about a file, as ``FILE: reason`` (a FormatError names its file already)."""
    if isinstance(e, OSError) and e.filename is not None and e.strerror:
        return f"{e.filename}: {e.strerror}"
    return str(e)


def _is_stdout(out: IO[str]) -> bool:
    try:
        return out is sys.stdout or out is sys.__stdout__ or out.fileno() == 1
    except (AttributeError, OSError, ValueError):
        return False


def _to_devnull(fd: int) -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
    finally:
        os.close(devnull)


def silence_stdout() -> None:
    """Points standard output at /dev/null: what is still buffered, and
    anything written later, goes nowhere instead of failing at exit."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - lives as long as the process
        return
    _to_devnull(fd)


def _quiet(stream: IO[str] | None) -> None:
    if stream is None:
        return
    try:
        stream.flush()
    except (OSError, ValueError):
        # Its reader has gone: what is left goes nowhere, rather than fail
        # again at exit with a traceback and status 120.
        with contextlib.suppress(AttributeError, OSError, ValueError):
            _to_devnull(stream.fileno())


def quiet_outputs() -> None:
    """Flushes standard output and standard error; one whose reader has
    gone away is pointed at /dev/null, so that the end of the process is
    quiet whatever was still buffered."""
    _quiet(sys.stdout)
    _quiet(sys.stderr)


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


# The ticker's log text before the cause of a failed connection attempt.
CONNECT_ERROR: Final = "Error occured on connect :: "
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

    def __init__(
        self, connect_timeout: float = 8.0, fmt: str = "%(asctime)s %(name)s %(levelname)s: %(message)s"
    ) -> None:
        super().__init__(fmt)
        self.connect_timeout = connect_timeout

    def formatMessage(self, record: logging.LogRecord) -> str:
        text = record.message
        if record.name == "vornticker.vornticker" and text.startswith(CONNECT_ERROR):
            failure = describe_connect_failure(text[len(CONNECT_ERROR) :], self.connect_timeout)
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


def _number[N: (int, float)](
    text: str, convert: Callable[[str], N], fits: Callable[[N], bool], not_a: str, wrong: str
) -> N:
    # An argparse type's work: text that is no number is "NOT_A: 'text'"; one
    # that does not fit is ``wrong`` with {text} and {value} filled in.
    try:
        value = convert(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{not_a}: {text!r}") from None
    if not fits(value):
        raise argparse.ArgumentTypeError(wrong.format(text=text, value=value))
    return value


def seconds(text: str) -> float:
    """An argparse type: a finite number of seconds, zero or more."""
    return _number(
        text,
        float,
        lambda value: value >= 0 and not math.isinf(value),
        "not a number of seconds",
        "must be a finite number of seconds, zero or more, not {text!r}",
    )


def port(text: str) -> int:
    """An argparse type: a TCP port, 0 for any free one."""
    return _number(text, int, lambda value: 0 <= value <= 65535, "not a port number", "a port is 0 to 65535, not {value}")


def positive_number(text: str, not_a: str, wrong: str) -> float:
    """For an argparse type: ``text`` as a positive, finite number. Text that
    is no number is an ArgumentTypeError ``NOT_A: 'text'``; any other number
    is ``wrong``, where ``{text!r}`` stands for the text."""
    return _number(text, float, lambda value: value > 0 and not math.isinf(value), not_a, wrong)


def quotes_per_second(text: str) -> float:
    """An argparse type: a positive, finite rate."""
    return positive_number(
        text,
        "not a number of quotes per second",
        "the rate must be a positive, finite number of quotes per second, not {text!r}",
    )


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


def process_start() -> float:
    """When this process started, on the event loop's clock (time.monotonic),
    for a command that is the program: its --seconds count from there, start-up included."""
    now = time.monotonic()
    try:
        with open("/proc/self/stat", "rb") as f:
            # The start time is the 22nd field, after the command's name in parentheses.
            ticks = int(f.read().rsplit(b")", 1)[1].split()[19])
        age = time.clock_gettime(time.CLOCK_BOOTTIME) - ticks / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError, AttributeError):
        return now
    return now - age if 0 <= age < 60 else now


class Deadline:
    """``--seconds N`` for a whole session: connecting, running and closing
    what it opened all end within N s plus :attr:`CLOSE_GRACE`. A close
    that takes longer (a connection attempt the stream waits out) is cut
    short; what it cleans up on the way is done all the same.

    ``await deadline.run(session)`` runs ``session(stack)``, which enters
    what it opens on ``stack``; :meth:`end_now` ends it early, in order."""

    CLOSE_GRACE: Final = 0.25

    def __init__(self, seconds: float | None, start: float | None = None) -> None:
        self.seconds = seconds
        self.start = start
        self._timeout: asyncio.Timeout | None = None
        self._ended = False

    def end_now(self) -> None:
        self._ended = True
        if self._timeout is not None and not self._timeout.expired():
            self._timeout.reschedule(asyncio.get_running_loop().time())

    async def run(self, session: Callable[[contextlib.AsyncExitStack], Coroutine[Any, Any, None]]) -> None:
        if self._ended:
            return
        now = asyncio.get_running_loop().time()
        end = None if self.seconds is None else (now if self.start is None else self.start) + self.seconds
        with contextlib.suppress(TimeoutError):
            async with asyncio.timeout_at(None if end is None else end + self.CLOSE_GRACE) as closing:
                async with contextlib.AsyncExitStack() as stack:
                    with contextlib.suppress(TimeoutError):
                        async with asyncio.timeout_at(end) as self._timeout:
                            if self._ended:  # before the timeout existed
                                self._timeout.reschedule(now)
                            await session(stack)
                    # However the session ended, closing gets its grace from now.
                    closing.reschedule(asyncio.get_running_loop().time() + self.CLOSE_GRACE)


def run_until_signalled(main: Callable[[], Coroutine[Any, Any, None]]) -> Ending:
    """``asyncio.run(main())``, where SIGTERM cancels the main task as
    Ctrl-C does, so a command's streams close on the way out either way.
    Any other exception propagates."""
    terminated = False

    async def guarded() -> None:
        loop, task = asyncio.get_running_loop(), asyncio.current_task()
        assert task is not None

        def on_sigterm() -> None:
            nonlocal terminated
            terminated = True
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
        return Ending.INTERRUPTED
    except asyncio.CancelledError:
        if not terminated:
            raise
    return Ending.TERMINATED if terminated else Ending.DONE


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
        from ..feed import LocalFeed, tls_unavailable_reason

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


# -- serving a feed -------------------------------------------------------------------------


def _start_failure(e: OSError | ValueError, host: str, port: int) -> str:
    if isinstance(e, ValueError):
        return str(e)  # a kept CA that cannot be used; the message names the file
    if e.filename is not None:
        return f"{e.filename}: {e.strerror}"
    where = f"[{host}]" if ":" in host else host
    if e.errno is not None and e.errno > 0:
        reason = os.strerror(e.errno)
        reason = reason[:1].lower() + reason[1:]
    else:  # a name that does not resolve
        reason = e.strerror or str(e)
    advice = "; pick another --port, or 0 for any free one" if e.errno == errno.EADDRINUSE else ""
    return f"cannot listen on {where}:{port}: {reason}{advice}"


def _ca_file_for_clients(
    feed: FeedServer, ca_file: str | None, tls_dir: str | None, temporary: contextlib.ExitStack
) -> str | None:
    """Where clients find the CA to trust: --ca-file, the kept one, or a file that lasts while the feed runs."""
    if not feed.tls:
        return None
    if ca_file is not None:
        feed.write_ca_file(ca_file)
        return ca_file
    if tls_dir is not None:
        return os.path.join(tls_dir, CA_FILE)
    path = os.path.join(temporary.enter_context(tempfile.TemporaryDirectory(prefix="vornticker-feed-")), CA_FILE)
    feed.write_ca_file(path)
    say(f"note: {path} goes away when the feed stops; --tls-dir DIR keeps a CA across restarts")
    return path


def _watch_command(program: str, url: str, ca_file: str | None, symbols: Sequence[str]) -> str:
    words = [*shlex.split(program), "watch", "--feed", url]
    if ca_file is not None:
        words += ["--ca-file", os.path.abspath(ca_file)]
    return shlex.join([*words, *symbols])


def add_server_options(parser: argparse.ArgumentParser) -> None:
    """``--host``, ``--port``, ``--tls``/``--plain``, ``--ca-file`` and
    ``--tls-dir``: where and how a feed serves."""
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    parser.add_argument("--port", type=port, default=8765, help="port, 0 for any free one (default %(default)s)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument(
        "--tls",
        dest="tls",
        action="store_true",
        default=None,
        help=f"serve wss:// (default when the cryptography package, the {EXTRA} extra, is installed)",
    )
    mode.add_argument("--plain", dest="tls", action="store_false", help="serve ws:// without TLS")
    parser.add_argument(
        "--ca-file",
        metavar="PATH",
        help="write the CA certificate that clients should trust here (default: a temporary file, "
        "named in the command printed at start, that lasts while the feed runs)",
    )
    parser.add_argument(
        "--tls-dir",
        metavar="DIR",
        help=f"keep the CA ({CA_FILE}) and its key in DIR and reuse them at every start, so clients that trust "
        f"DIR/{CA_FILE} can reconnect after a restart (default: a new CA at every start)",
    )
    parser.add_argument(
        "-v", "--verbose", action="store_true", help="log connections and control messages (default: warnings only)"
    )


def server_tls(args: argparse.Namespace) -> bool:
    """Whether to serve wss://, from the options of :func:`add_server_options`:
    a TLS option that cannot be had is a CommandError; without the
    cryptography package the feed serves ws:// and a note says why."""
    from ..feed.tls import tls_unavailable_reason

    asked = [flag for flag, given in (("--tls", args.tls), ("--ca-file", args.ca_file), ("--tls-dir", args.tls_dir)) if given]
    if args.tls is False and asked:
        raise CommandError(f"{asked[0]} needs TLS: drop --plain")
    why = None if args.tls is False else tls_unavailable_reason()
    if why is not None:
        if asked:
            raise CommandError(f"{asked[0]}: {why}")
        say(f"note: serving ws:// without TLS, as {why}")
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING, format="%(name)s: %(message)s")
    return args.tls is not False and why is None


async def serve_until_stopped(
    feed: FeedServer,
    args: argparse.Namespace,
    symbols: Callable[[], Sequence[str]] | None = None,
) -> Ending:
    """Starts ``feed``, prints its URL and a watch command that trusts its
    CA (for ``symbols()``, when given), and serves until SIGINT, SIGTERM or
    a closed standard output (DONE); then stops it. ``args`` has the options
    ``host``, ``port``, ``ca_file`` and ``tls_dir``. Raises CommandError
    when it could not serve."""
    try:
        await feed.start()
    except (OSError, ValueError) as e:
        raise CommandError(_start_failure(e, args.host, args.port), at_run_time=True) from None
    try:
        with contextlib.ExitStack() as temporary:
            try:
                ca_file = _ca_file_for_clients(feed, args.ca_file, args.tls_dir, temporary)
            except OSError as e:
                raise CommandError(f"--ca-file: {file_error(e)}", at_run_time=True) from None
            loop = asyncio.get_running_loop()
            stopped: asyncio.Future[Ending] = loop.create_future()

            def stop(ending: Ending) -> None:
                if not stopped.done():
                    stopped.set_result(ending)

            # Before the URL: whoever read it may signal at once.
            for sig, ending in ((signal.SIGINT, Ending.INTERRUPTED), (signal.SIGTERM, Ending.TERMINATED)):
                loop.add_signal_handler(sig, stop, ending)
            stop_watching: Callable[[], None] = lambda: None  # noqa: E731
            try:
                write_line(feed.url)
                names = (symbols() if symbols is not None else ()) or ("AAPL", "BTC-USD")
                say(f"try: {_watch_command(getattr(args, 'program', 'vornticker'), feed.url, ca_file, names)}")
                stop_watching = watch_stdout(lambda: stop(Ending.DONE))
                return await stopped
            finally:
                stop_watching()
                for sig in (signal.SIGINT, signal.SIGTERM):
                    loop.remove_signal_handler(sig)
    finally:
        await feed.stop()
