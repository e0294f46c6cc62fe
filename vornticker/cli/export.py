"""``vornticker export FILE -o OUT``: a capture's quotes as Parquet, CSV or JSON lines."""

from __future__ import annotations

import argparse
import os

from rich.console import Console
from rich.progress import BarColumn, DownloadColumn, Progress, TextColumn, TimeRemainingColumn, TransferSpeedColumn

from .. import recording
from ..export import FORMATS, ExportError, export
from . import export_dataset
from ._common import CommandError, Ending, Subcommands, file_error, say

__all__ = ["add_parser", "run"]


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "export",
        help="write a capture's quotes as Parquet, CSV or JSON lines",
        description="Decode every frame of a capture file (.vtr) and write one row per quote that decodes.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="capture file written by vornticker record or vornticker.recording (several with --dataset)")
    parser.add_argument("-o", "--output", metavar="OUT", help="file to write (replaced if it exists)")
    parser.add_argument(
        "--format",
        choices=FORMATS,
        default=None,
        help="parquet (needs vornticker[arrow]), csv or jsonl (default: from OUT's suffix, else parquet)",
    )
    export_dataset.add_options(parser)
    parser.set_defaults(run=run)
    return parser


def run(args: argparse.Namespace) -> Ending:
    if args.dataset is not None:
        if args.output is not None:
            raise CommandError("-o and --dataset exclude each other: a dataset is a directory")
        return export_dataset.run(args)
    if args.output is None or len(args.files) != 1:
        raise CommandError("export one FILE with -o OUT, or many into --dataset DIR")
    args.file = args.files[0]

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
