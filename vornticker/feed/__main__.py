"""The command line: ``python -m vornticker.feed [--port N] [--ca-file PATH] ...``.

Serves random-walk quotes until SIGINT or SIGTERM, then prints what it served.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import math
import signal
import sys
from collections.abc import Iterable
from typing import Final

from .server import LocalFeed
from .tls import CA_FILE, EXTRA, tls_unavailable_reason

__all__ = ["main"]

PROG: Final = "python -m vornticker.feed"


async def _serve(args: argparse.Namespace) -> int:
    feed = LocalFeed(args.host, args.port, rate=args.rate, tls=args.tls, seed=args.seed, tls_dir=args.tls_dir)
    try:
        await feed.start()
    except ValueError as e:  # a kept CA that cannot be used; the message names the file
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1
    if args.ca_file:
        feed.write_ca_file(args.ca_file)
    print(feed.url, flush=True)
    if args.tls and not args.ca_file:
        print("note: clients cannot verify the certificate without --ca-file", file=sys.stderr)
    hint = f" --ca-file {args.ca_file}" if args.ca_file else ""
    print(f"try: python -m vornticker watch --feed '{feed.url}'{hint} AAPL BTC-USD", file=sys.stderr)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    try:
        await stop.wait()
    finally:
        await feed.stop()
        stats = feed.stats
        print(
            f"served {stats.quotes} quotes ({stats.frames_sent} frames) to {stats.connections} connections",
            file=sys.stderr,
        )
    return 0


def _positive_rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError("the rate must be a positive number")
    return value


def main(argv: Iterable[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Serve random-walk quotes over a local websocket, for vornticker clients.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    parser.add_argument("--port", type=int, default=8765, help="port, 0 for any free one (default %(default)s)")
    parser.add_argument(
        "--rate",
        type=_positive_rate,
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
    parser.add_argument("--ca-file", metavar="PATH", help="write the CA certificate that clients should trust here")
    parser.add_argument(
        "--tls-dir",
        metavar="DIR",
        help=f"keep the CA ({CA_FILE}) and its key in DIR and reuse them at every start, so clients that trust "
        f"DIR/{CA_FILE} can reconnect after a restart (default: a new CA at every start)",
    )
    parser.add_argument("--seed", type=int, help="fix the random walks")
    parser.add_argument("-v", "--verbose", action="store_true", help="log connections and control messages")
    args = parser.parse_args(None if argv is None else list(argv))
    asked = [flag for flag, given in (("--tls", args.tls), ("--ca-file", args.ca_file), ("--tls-dir", args.tls_dir)) if given]
    if args.tls is False and asked:
        parser.error(f"{asked[0]} needs TLS: drop --plain")
    why = None if args.tls is False else tls_unavailable_reason()
    if why is not None:
        if asked:
            parser.error(f"{asked[0]}: {why}")
        print(f"note: serving ws:// without TLS, as {why}", file=sys.stderr)
    args.tls = args.tls is not False and why is None
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING, format="%(name)s: %(message)s")
    return asyncio.run(_serve(args))


if __name__ == "__main__":
    sys.exit(main())
