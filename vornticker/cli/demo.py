"""``python -m vornticker.demo [--seconds N]`` (what ``./dev demo`` runs).

Starts a local quote feed in this process, streams from it with
vornticker.stream and shows the live view on a few instruments of every
kind, for N seconds or until Ctrl-C. Then it stops in order and prints one line:
``<quotes> quotes from <symbols> symbols in <seconds> s (<errors> errors)``.
"""

from __future__ import annotations

import argparse
import datetime as dt
import signal
from collections.abc import Sequence

from . import EXIT_DONE, EXIT_SIGINT
from ._common import Ending, quotes_per_second, seconds
from .watch import WatchOptions, watch

__all__ = ["demo_symbols", "main"]


def _option_expiry(today: dt.date) -> dt.date:
    # Monthly options expire on the third Friday; take the one about two months out.
    month = today.month + 2
    year, month = today.year + (month - 1) // 12, (month - 1) % 12 + 1
    first = dt.date(year, month, 1)
    return first + dt.timedelta(days=(4 - first.weekday()) % 7 + 14)


def demo_symbols(today: dt.date | None = None) -> list[str]:
    """A stock or two, an index, coins, a currency pair and an option."""
    expiry = _option_expiry(today or dt.date.today())
    return ["AAPL", "MSFT", "^GSPC", "BTC-USD", "ETH-USD", "EURUSD=X", f"AAPL{expiry:%y%m%d}C00200000"]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m vornticker.demo", description="Live quotes from a local feed, for a while."
    )
    parser.add_argument("--seconds", type=seconds, default=15.0, metavar="N", help="how long (default %(default)s)")
    parser.add_argument(
        "--rate",
        type=quotes_per_second,
        default=4.0,
        metavar="QUOTES_PER_S",
        help="quotes per second per symbol (default %(default)s)",
    )
    args = parser.parse_args(argv)
    print(f"vornticker demo: live quotes from a local feed for {args.seconds:g} s (Ctrl-C stops it sooner)")
    result = watch(
        WatchOptions(symbols=demo_symbols(), seconds=args.seconds, feed="local", rate=args.rate, rtt_interval=2.0)
    )
    print(result.summary(), flush=True)
    if result.ending is Ending.TERMINATED:
        signal.raise_signal(signal.SIGTERM)  # its default disposition is back: the process ends here
    return EXIT_SIGINT if result.ending is Ending.INTERRUPTED else EXIT_DONE
