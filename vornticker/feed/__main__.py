"""The command line: ``python -m vornticker.feed [--port N] [--tls-dir DIR] ...``.

Prints the feed's URL on standard output, then how to watch it on standard
error, and serves random-walk quotes until SIGINT or SIGTERM, or until the
reader of standard output goes away (status 0 all three); then it prints
what it served. Failing to start is one line on standard error and status 1.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import errno
import logging
import os
import select
import shlex
import signal
import stat
import sys
import tempfile
from collections.abc import Callable, Iterable, Sequence
from typing import Final

from ..clitools import quotes_per_second
from .server import FeedServer, LocalFeed
from .tls import CA_FILE, EXTRA, tls_unavailable_reason

__all__ = ["main"]

PROG: Final = "python -m vornticker.feed"


def _say(line: str) -> None:
    """One line on standard error, unless nobody reads it any more."""
    with contextlib.suppress(BrokenPipeError):
        print(line, file=sys.stderr, flush=True)


def _error(message: str) -> None:
    _say(f"{PROG}: error: {message}")


def _stop_when_output_closes(stop: asyncio.Event) -> None:
    """Sets stop once standard output is a pipe nobody reads any more, as
    after `python -m vornticker.feed | head -n 1`.

    The feed writes nothing after its URL, so it would never see EPIPE
    itself: the event loop watches the pipe instead. Polled for reading,
    the write end of a pipe reports only the error of a closed far end.
    """
    try:
        fd = sys.stdout.fileno()
        is_pipe = stat.S_ISFIFO(os.fstat(fd).st_mode)
    except (AttributeError, OSError, ValueError):  # replaced or closed stdout
        return
    if not is_pipe:
        return
    loop = asyncio.get_running_loop()
    poller = select.poll()
    poller.register(fd, 0)

    def check() -> None:
        if any(events & (select.POLLERR | select.POLLHUP) for _, events in poller.poll(0)):
            loop.remove_reader(fd)
            stop.set()

    loop.add_reader(fd, check)


def _start_failure(e: OSError | ValueError, args: argparse.Namespace) -> str:
    if isinstance(e, ValueError):
        return str(e)  # a kept CA that cannot be used; the message names the file
    if e.filename is not None:
        return f"{e.filename}: {e.strerror}"
    host = f"[{args.host}]" if ":" in args.host else args.host
    if e.errno is not None and e.errno > 0:
        reason = os.strerror(e.errno)
        reason = reason[:1].lower() + reason[1:]
    else:  # a name that does not resolve
        reason = e.strerror or str(e)
    advice = "; pick another --port, or 0 for any free one" if e.errno == errno.EADDRINUSE else ""
    return f"cannot listen on {host}:{args.port}: {reason}{advice}"


def _ca_file_for_clients(feed: FeedServer, args: argparse.Namespace, temporary: contextlib.ExitStack) -> str | None:
    """Where clients find the CA to trust: --ca-file, the kept one, or a file that lasts while the feed runs."""
    if not feed.tls:
        return None
    if args.ca_file is not None:
        feed.write_ca_file(args.ca_file)
        return str(args.ca_file)
    if args.tls_dir is not None:
        return os.path.join(args.tls_dir, CA_FILE)
    path = os.path.join(temporary.enter_context(tempfile.TemporaryDirectory(prefix="vornticker-feed-")), CA_FILE)
    feed.write_ca_file(path)
    _say(f"note: {path} goes away when the feed stops; --tls-dir DIR keeps a CA across restarts")
    return path


def _watch_command(url: str, ca_file: str | None, symbols: Sequence[str] = ("AAPL", "BTC-USD")) -> str:
    words = ["python", "-m", "vornticker", "watch", "--feed", url]
    if ca_file is not None:
        words += ["--ca-file", os.path.abspath(ca_file)]
    return shlex.join([*words, *symbols])


async def serve_until_stopped(
    feed: FeedServer,
    args: argparse.Namespace,
    error: Callable[[str], None] = _error,
    symbols: Callable[[], Sequence[str]] | None = None,
) -> int | None:
    """Starts ``feed``, prints its URL and a watch command that trusts its
    CA (for ``symbols()``, when given), and serves until SIGINT, SIGTERM or
    a closed standard output; then stops it. Returns the exit status when
    it could not serve, None once it has served."""
    try:
        await feed.start()
    except (OSError, ValueError) as e:
        error(_start_failure(e, args))
        return 1
    try:
        with contextlib.ExitStack() as temporary:
            try:
                ca_file = _ca_file_for_clients(feed, args, temporary)
            except OSError as e:
                error(f"--ca-file: {e.filename}: {e.strerror}")
                return 1
            try:
                print(feed.url, flush=True)
            except BrokenPipeError:  # closed before the first line
                return 0
            names = symbols() if symbols is not None else ()
            command = _watch_command(feed.url, ca_file, names) if names else _watch_command(feed.url, ca_file)
            _say(f"try: {command}")
            stop = asyncio.Event()
            loop = asyncio.get_running_loop()
            for sig in (signal.SIGINT, signal.SIGTERM):
                loop.add_signal_handler(sig, stop.set)
            _stop_when_output_closes(stop)
            await stop.wait()
    finally:
        await feed.stop()
    return None


async def _serve(args: argparse.Namespace) -> int:
    feed = LocalFeed(args.host, args.port, rate=args.rate, tls=args.tls, seed=args.seed, tls_dir=args.tls_dir)
    status = await serve_until_stopped(feed, args)
    if status is not None:
        return status
    stats = feed.stats
    _say(f"served {stats.quotes} quotes ({stats.frames_sent} frames) to {stats.connections} connections")
    return 0


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"a port is 0 to 65535, not {value}")
    return value


def main(argv: Iterable[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Serve random-walk quotes over a local websocket, for vornticker clients.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    parser.add_argument("--port", type=_port, default=8765, help="port, 0 for any free one (default %(default)s)")
    parser.add_argument(
        "--rate",
        type=quotes_per_second,
        default=5.0,
        metavar="QUOTES_PER_S",
        help="quotes per second for each subscribed symbol (default %(default)s)",
    )
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
    parser.add_argument("--seed", type=int, help="fix the random walks (default: different walks every run)")
    parser.add_argument(
        "-v", "--verbose", action="store_true", help="log connections and control messages (default: warnings only)"
    )
    args = parser.parse_args(None if argv is None else list(argv))
    asked = [flag for flag, given in (("--tls", args.tls), ("--ca-file", args.ca_file), ("--tls-dir", args.tls_dir)) if given]
    if args.tls is False and asked:
        parser.error(f"{asked[0]} needs TLS: drop --plain")
    why = None if args.tls is False else tls_unavailable_reason()
    if why is not None:
        if asked:
            parser.error(f"{asked[0]}: {why}")
        _say(f"note: serving ws:// without TLS, as {why}")
    args.tls = args.tls is not False and why is None
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING, format="%(name)s: %(message)s")
    try:
        return asyncio.run(_serve(args))
    except KeyboardInterrupt:  # before the signal handlers were in place
        return 128 + signal.SIGINT


if __name__ == "__main__":
    sys.exit(main())
