"""``vornticker export FILE -o OUT``: a capture's quotes as Parquet, CSV or JSON lines."""

from __future__ import annotations

import argparse
import datetime as dt
import os
import sys

from rich.console import Console
from rich.progress import BarColumn, DownloadColumn, Progress, TextColumn, TimeRemainingColumn, TransferSpeedColumn

from .. import recording
from ..export import FORMATS, DamageError, ExportError, export
from . import export_dataset
from ._common import CommandError, Ending, Subcommands, file_error, say, silence_stdout

__all__ = ["add_parser", "run"]


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "export",
        help="write a capture's quotes as Parquet, CSV or JSON lines",
        description="Decode every frame of a capture file (.vtr) and write one row per quote that decodes.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="capture file written by vornticker record or vornticker.recording (several with --dataset)")
    parser.add_argument(
        "-o", "--output", metavar="OUT",
        help="file to write (replaced if it exists, never FILE itself); - for standard output (CSV or JSON lines)",
    )  # fmt: skip
    parser.add_argument(
        "--format",
        choices=FORMATS,
        default=None,
        help="parquet (needs vornticker[arrow]), csv or jsonl (default: from OUT's suffix; csv for -)",
    )
    parser.add_argument("--symbols", type=_symbols, metavar="A,B", help="only the quotes of these symbols")
    parser.add_argument("--start", type=_time, metavar="TIME", help="only frames received at TIME or later "
                        "(ISO 8601, UTC unless it says otherwise, or nanoseconds since the epoch)")
    parser.add_argument("--end", type=_time, metavar="TIME", help="only frames received before TIME")
    parser.add_argument("--strict", action="store_true", help="fail (status 1, no output) if the capture has damage")
    export_dataset.add_options(parser)
    parser.set_defaults(run=run)
    return parser


def _symbols(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise argparse.ArgumentTypeError(f"no symbols in {text!r}")
    return names


def _time(text: str) -> int:
    """Nanoseconds since the epoch, from an integer or an ISO 8601 time (UTC if it names no zone)."""
    if text.lstrip("-").isdigit():
        return int(text)
    try:
        when = dt.datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO 8601 time or nanoseconds since the epoch: {text!r}") from None
    if when.tzinfo is None:
        when = when.replace(tzinfo=dt.UTC)
    return (when - dt.datetime(1970, 1, 1, tzinfo=dt.UTC)) // dt.timedelta(microseconds=1) * 1000


def run(args: argparse.Namespace) -> Ending:
    if args.dataset is not None:
        if args.output is not None:
            raise CommandError("-o and --dataset exclude each other: a dataset is a directory")
        return export_dataset.run(args)
    if args.output is None or len(args.files) != 1:
        raise CommandError("export one FILE with -o OUT, or many into --dataset DIR")
    args.file = args.files[0]
    to_stdout = args.output == "-"
    fmt = args.format
    if to_stdout:
        fmt = fmt or "csv"
        if fmt == "parquet":
            raise CommandError("-: Parquet cannot be written to standard output: give --format csv or jsonl, or -o FILE")
    console = Console(stderr=True)
    bar = Progress(
        TextColumn("exporting {task.description}"),
        BarColumn(),
        DownloadColumn(),
        TransferSpeedColumn(),
        TimeRemainingColumn(),
        console=console,
        transient=True,
        disable=not console.is_terminal,
    )
    try:
        with bar:
            task = bar.add_task(os.path.basename(args.file), total=None)
            result = export(
                args.file,
                sys.stdout.buffer if to_stdout else args.output,
                fmt,
                symbols=args.symbols,
                start_ns=args.start,
                end_ns=args.end,
                strict=args.strict,
                progress=lambda done, total: bar.update(task, completed=done, total=total),
            )
    except DamageError as e:
        raise CommandError(f"{e} (--strict)", at_run_time=True) from None
    except ExportError as e:
        message = str(e)
        if "names no format" in message:
            message += "; or give --format"
        raise CommandError(message) from None
    except BrokenPipeError:
        silence_stdout()  # the reader of standard output has gone: end quietly
        return Ending.DONE
    except (recording.FormatError, OSError) as e:
        # The capture is the input; anything else (the output's directory, a full disk) failed at run time.
        unreadable = not isinstance(e, OSError) or e.filename == args.file
        raise CommandError(file_error(e), at_run_time=not unreadable) from None
    say(result.summary())
    return Ending.SKIPPED if result.damage else Ending.DONE
