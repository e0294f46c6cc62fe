"""``vornticker export FILE -o OUT``: a capture's quotes as Parquet, CSV or JSON lines."""

from __future__ import annotations

import argparse
import os

from rich.console import Console
from rich.progress import BarColumn, DownloadColumn, Progress, TextColumn, TimeRemainingColumn, TransferSpeedColumn

from .. import recording
from ..export import FORMATS, ExportError, export
from ._common import CommandError, Ending, Subcommands, file_error, say

__all__ = ["add_parser", "run"]


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "export",
        help="write a capture's quotes as Parquet, CSV or JSON lines",
        description="Decode every frame of a capture file (.vtr) and write one row per quote that decodes.",
    )
    parser.add_argument("file", metavar="FILE", help="capture file written by vornticker record or vornticker.recording")
    parser.add_argument("-o", "--output", required=True, metavar="OUT", help="file to write (replaced if it exists)")
    parser.add_argument(
        "--format",
        choices=FORMATS,
        default=None,
        help="parquet (needs vornticker[arrow]), csv or jsonl (default: from OUT's suffix, else parquet)",
    )
    parser.set_defaults(run=run)
    return parser


def run(args: argparse.Namespace) -> Ending:

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
                args.output,
                args.format,
                progress=lambda done, total: bar.update(task, completed=done, total=total),
            )
    except ExportError as e:
        raise CommandError(str(e)) from None
    except (recording.FormatError, OSError) as e:
        # The capture is the input; anything else (the output's directory, a full disk) failed at run time.
        unreadable = not isinstance(e, OSError) or e.filename == args.file
        raise CommandError(file_error(e), at_run_time=not unreadable) from None
    say(result.summary())
    return Ending.DONE
