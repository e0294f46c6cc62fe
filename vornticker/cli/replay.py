"""``vornticker replay FILE``: a capture file served as a local feed.

Serves the capture (vornticker.feed.ReplayFeed) and prints its URL, as
``vornticker feed`` does, until SIGINT or SIGTERM, or until the reader of
standard output goes away.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import itertools
import math

from .. import recording
from ..feed import ReplayFeed
from ._common import (
    CommandError,
    Ending,
    Subcommands,
    add_server_options,
    file_error,
    plural,
    positive_number,
    say,
    serve_until_stopped,
    server_tls,
)

__all__ = ["add_parser", "run"]


def _speed(text: str) -> float:
    return positive_number(text, "not a number", "the speed must be a positive, finite number, not {text!r}")


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "replay",
        help="serve a capture file as a local feed",
        description="Serve a capture file over a local websocket as the service would have sent it: each "
        "client gets the recorded frames of the symbols it subscribes to, from the file's start, at the "
        "recorded pace. Prints the URL on standard output and a watch command on standard error.",
    )
    parser.add_argument("file", metavar="FILE", help="a capture file written by vornticker record")
    pace = parser.add_mutually_exclusive_group()
    pace.add_argument("--speed", type=_speed, default=1.0, metavar="X", help="replay X times as fast (default 1)")
    pace.add_argument("--max", action="store_true", help="as fast as each client takes the frames")
    parser.add_argument("--loop", action="store_true", help="start each client's replay again at the end of the file")
    parser.add_argument(
        "--close-at-end",
        action="store_true",
        help="close each client's connection (1000, \"end of capture\") once it has had every frame",
    )
    add_server_options(parser)
    parser.set_defaults(run=run)
    return parser


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


async def _serve(feed: ReplayFeed, args: argparse.Namespace) -> Ending:
    ending = await serve_until_stopped(feed, args, lambda: _suggested_symbols(feed))
    stats = feed.stats
    say(f"replayed {plural(stats.frames_sent, 'frame')} to {plural(stats.connections, 'connection')}")
    return ending


def run(args: argparse.Namespace) -> Ending:
    tls = server_tls(args)
    speed = math.inf if args.max else args.speed
    try:
        feed = ReplayFeed(
            args.file,
            speed,
            loop=args.loop,
            close_at_end=args.close_at_end,
            host=args.host,
            port=args.port,
            tls=tls,
            tls_dir=args.tls_dir,
        )
    except (recording.FormatError, OSError) as e:
        raise CommandError(file_error(e)) from None
    return asyncio.run(_serve(feed, args))
