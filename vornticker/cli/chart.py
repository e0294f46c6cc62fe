"""``vornticker chart FILES... SYMBOL... -o chart.png``: price over time, as a picture."""

from __future__ import annotations

import argparse
import os

from .. import recording
from .bars import analysis_options, describe, load_analysis, refuse_inputs
from ._common import CommandError, Ending, Subcommands, file_error, plural, say, verbosity_logging

__all__ = ["add_parser", "run"]


def _size(text: str) -> tuple[int, int]:
    width, x, height = text.lower().partition("x")
    if not x or not width.isdigit() or not height.isdigit() or not (100 <= int(width) <= 20000 and 100 <= int(height) <= 20000):
        raise argparse.ArgumentTypeError(f"not a size in pixels from 100 to 20000, as 1200x800: {text!r}")
    return int(width), int(height)


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    from .bars import interval

    parser = commands.add_parser(
        "chart",
        help="draw symbols' prices over time from captures (PNG, SVG or PDF)",
        description="One panel per symbol: a line through its prices, or candles with --every; "
        "stretches when the recording was not connected are shown as gaps.",
    )
    parser.add_argument("items", nargs="+", metavar="FILE... SYMBOL...",
                        help="capture files (the leading arguments that name files), then the symbols to draw")
    parser.add_argument("--every", type=interval, metavar="INTERVAL", help="candles of this length (Ns, Nm, Nh, Nd)")
    analysis_options(parser)
    parser.add_argument("--size", type=_size, default=(1200, 800), metavar="WxH",
                        help="picture size in pixels (default 1200x800)")
    parser.add_argument("-o", "--output", required=True, metavar="OUT", help="a .png, .svg or .pdf file to write")
    parser.set_defaults(run=run)
    return parser


def _split(items: list[str]) -> tuple[list[str], list[str]]:
    files: list[str] = []
    for item in items:
        if files and not (os.path.exists(item) or item.endswith(".vtr")):
            break
        files.append(item)
    symbols = items[len(files):]
    if not symbols:
        raise CommandError("name the symbols to draw after the capture files")
    return files, symbols


def _gaps(path: str) -> list[recording.Gap]:
    # A second pass over the records only (no decoding): when the recording
    # was not connected, which the chart leaves blank.
    with recording.open(path) as capture:
        return capture.gaps()


def run(args: argparse.Namespace) -> Ending:
    files, symbols = _split(args.items)
    refuse_inputs(files, args.output)
    analysis = load_analysis("chart")
    # A bad output is told before the captures are read.
    if os.path.splitext(args.output)[1].lower() not in analysis.CHART_FORMATS:
        raise CommandError(f"{args.output}: a chart is written as {', '.join(analysis.CHART_FORMATS)}")
    directory = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(directory):
        raise CommandError(f"{directory}: no such directory")
    with verbosity_logging(args.verbose):
        try:
            quotes = analysis.read(files, symbols=symbols, start=args.start, end=args.end)
            gaps = [gap for path in files for gap in _gaps(path)]
        except (recording.FormatError, OSError) as e:
            raise CommandError(file_error(e)) from None
        try:
            analysis.chart(quotes, symbols, args.output, every=args.every, gaps=gaps, size=args.size)
        except ValueError as e:
            raise CommandError(str(e)) from None
        except FileNotFoundError as e:
            raise CommandError(file_error(e)) from None
        except OSError as e:
            raise CommandError(file_error(e), at_run_time=True) from None
    say(f"{plural(len(symbols), 'symbol')} drawn into {args.output}" + describe(quotes.captures))
    return Ending.SKIPPED if quotes.damaged else Ending.DONE
