"""``vornticker bars FILES... --every 1m -o OUT``: OHLC bars of captures' prices."""

from __future__ import annotations

import argparse
import os
import secrets
import sys
from collections.abc import Callable, Sequence
from types import ModuleType
from typing import TYPE_CHECKING

from .. import recording
from ._common import CommandError, Ending, Subcommands, add_verbosity_option, file_error, plural, say, verbosity_logging

if TYPE_CHECKING:
    import polars as pl

    from ..analysis import CaptureRead

__all__ = ["add_parser", "analysis_options", "describe", "interval", "load_analysis", "refuse_inputs", "run"]

_FORMATS = ("parquet", "csv", "jsonl")
_SUFFIXES = {".parquet": "parquet", ".pq": "parquet", ".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl"}
_EXTRA = "pip install 'vornticker[analysis]'"


def load_analysis(command: str) -> ModuleType:
    """vornticker.analysis, or why the command cannot run without it."""
    try:
        from .. import analysis
    except ImportError:
        raise CommandError(f"{command} needs polars and matplotlib, which the extra installs: {_EXTRA}",
                           at_run_time=True) from None
    return analysis


def _checked(text: str, parse: Callable[[str], object]) -> str:
    # ``text`` as given, once ``parse`` takes it; its complaint is the argparse error.
    try:
        parse(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return text


def interval(text: str) -> str:
    from ..analysis import parse_interval

    return _checked(text, parse_interval)


def _instant(text: str) -> str:
    from ..analysis import parse_instant

    return _checked(text, parse_instant)


def _symbols(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise argparse.ArgumentTypeError("name at least one symbol, as A,B")
    return names


def analysis_options(parser: argparse.ArgumentParser) -> None:
    """--start and --end, shared by bars and chart."""
    parser.add_argument("--start", type=_instant, metavar="T",
                        help="only quotes at or after T (ISO 8601, UTC unless it says otherwise; or ns since the epoch)")
    parser.add_argument("--end", type=_instant, metavar="T", help="only quotes before T")
    add_verbosity_option(parser)


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "bars",
        help="OHLC bars of captures' prices, per symbol and interval",
        description="One row per symbol and interval that has quotes: id, time (the interval's start), "
        "open, high, low, close, volume (from dayVolume) and quotes (their count), sorted by id then time.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE", help="capture files, read in the order given")
    parser.add_argument("--every", required=True, type=interval, metavar="INTERVAL",
                        help="bar length: Ns, Nm, Nh or Nd (30s, 1m, 4h, 1d)")
    parser.add_argument("--symbols", type=_symbols, metavar="A,B", help="only these symbols")
    analysis_options(parser)
    parser.add_argument("-o", "--output", required=True, metavar="OUT",
                        help="file to write (replaced if it exists), or - for standard output")
    parser.add_argument("--format", choices=_FORMATS, default=None,
                        help="parquet, csv or jsonl (default: from OUT's suffix; csv for -)")
    parser.set_defaults(run=run)
    return parser


def _format(out: str, given: str | None) -> str:
    if given is not None:
        return given
    if out == "-":
        return "csv"
    fmt = _SUFFIXES.get(os.path.splitext(out)[1].lower())
    if fmt is None:
        raise CommandError(f"{out}: unknown format; name it with --format ({', '.join(_FORMATS)}) or a suffix "
                           f"({', '.join(_SUFFIXES)})")
    return fmt


def refuse_inputs(files: list[str], out: str) -> None:
    """An input is never an output."""
    for path in files:
        same = os.path.abspath(path) == os.path.abspath(out)
        try:
            same = same or os.path.samefile(path, out)
        except OSError:
            pass
        if same:
            raise CommandError(f"{out}: refusing to overwrite the input")


def _write(table: pl.DataFrame, out: str, fmt: str) -> None:
    def into(target: object) -> None:
        if fmt == "parquet":
            table.write_parquet(target)  # type: ignore[arg-type]
        elif fmt == "csv":
            table.write_csv(target)  # type: ignore[call-overload]
        else:
            table.write_ndjson(target)  # type: ignore[call-overload]

    if out == "-":
        if fmt == "parquet":
            raise CommandError("-: Parquet is not written to standard output; name a file")
        into(sys.stdout.buffer)
        sys.stdout.buffer.flush()
        return
    directory, name = os.path.split(os.path.abspath(out))
    tmp = os.path.join(directory, f".{name}.{os.getpid()}-{secrets.token_hex(4)}.part")
    try:
        into(tmp)
        os.replace(tmp, out)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def describe(captures: Sequence[CaptureRead]) -> str:
    """What was lost reading the captures, for a summary line ("" if nothing)."""
    stretches = sum(len(c.damage) for c in captures)
    bad = sum(c.bad_frames for c in captures)
    text = f"; {plural(bad, 'frame')} did not decode" if bad else ""
    if stretches:
        skipped = sum(c.skipped_bytes for c in captures)
        text += f"; {stretches:,} damaged stretch{'' if stretches == 1 else 'es'}, {skipped:,} bytes skipped"
    return text


def run(args: argparse.Namespace) -> Ending:
    if args.output != "-":
        refuse_inputs(args.files, args.output)
    fmt = _format(args.output, args.format)
    if args.output != "-":
        directory = os.path.dirname(os.path.abspath(args.output))
        if not os.path.isdir(directory):
            raise CommandError(f"{directory}: no such directory")
    analysis = load_analysis("bars")
    with verbosity_logging(args.verbose):
        try:
            quotes = analysis.read(args.files, symbols=args.symbols, start=args.start, end=args.end)
        except (recording.FormatError, OSError) as e:
            raise CommandError(file_error(e)) from None
        table = analysis.bars(quotes, args.every)
        try:
            _write(table, args.output, fmt)
        except OSError as e:
            raise CommandError(file_error(e), at_run_time=True) from None
    where = "standard output" if args.output == "-" else args.output
    symbols = table.get_column("id").n_unique()
    say(f"{plural(table.height, 'bar')} of {plural(symbols, 'symbol')} written to {where} ({fmt})"
        + describe(quotes.captures))
    return Ending.SKIPPED if quotes.damaged else Ending.DONE
