"""``vornticker feed [--port N] [--tls-dir DIR] ...``: a local feed of random-walk quotes.

Prints the feed's URL on standard output, then how to watch it on standard
error, and serves until SIGINT or SIGTERM, or until the reader of standard
output goes away; then it says what it served.
"""

from __future__ import annotations

import argparse
import asyncio

from ..feed import LocalFeed
from ._common import (
    DEFAULT_RATE,
    Ending,
    Subcommands,
    add_server_options,
    plural,
    quotes_per_second,
    say,
    serve_until_stopped,
    server_tls,
)

__all__ = ["add_parser", "run"]


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "feed",
        help="serve random-walk quotes over a local websocket",
        description="Serve random-walk quotes over a local websocket, for vornticker clients. Prints the URL on "
        "standard output and a watch command on standard error.",
    )
    add_server_options(parser)
    parser.add_argument(
        "--rate",
        type=quotes_per_second,
        default=DEFAULT_RATE,
        metavar="QUOTES_PER_S",
        help="quotes per second for each subscribed symbol (default %(default)s)",
    )
    parser.add_argument("--seed", type=int, help="fix the random walks (default: different walks every run)")
    parser.set_defaults(run=run)
    return parser


async def _serve(args: argparse.Namespace, tls: bool) -> Ending:
    feed = LocalFeed(args.host, args.port, rate=args.rate, tls=tls, seed=args.seed, tls_dir=args.tls_dir)
    ending = await serve_until_stopped(feed, args)
    stats = feed.stats
    say(
        f"served {plural(stats.quotes, 'quote')} ({plural(stats.frames_sent, 'frame')}) "
        f"to {plural(stats.connections, 'connection')}"
    )
    return ending


def run(args: argparse.Namespace) -> Ending:
    tls = server_tls(args)
    return asyncio.run(_serve(args, tls))
