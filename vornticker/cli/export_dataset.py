"""``vornticker export FILES... --dataset DIR``: captures into one partitioned Parquet dataset."""

from __future__ import annotations

import argparse

from rich.console import Console
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

from .. import recording
from ._common import CommandError, Ending, file_error, say

__all__ = ["add_options", "run"]


def _partition_by(text: str) -> tuple[str, ...]:
    from ..dataset import PARTITIONS

    names = tuple(name.strip() for name in text.split(","))
    if not names or len(set(names)) != len(names) or not set(names) <= set(PARTITIONS):
        raise argparse.ArgumentTypeError(f"name date and/or symbol, as date,symbol; not {text!r}")
    return names


def _jobs(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"a number of worker processes, at least 1; not {text!r}")
    return int(text)


def add_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("datasets (instead of -o)")
    group.add_argument("--dataset", metavar="DIR",
                       help="write one hive-partitioned Parquet dataset of all FILES into DIR (see docs/analysis.md)")
    group.add_argument("--partition-by", type=_partition_by, default=("date",), metavar="date[,symbol]",
                       help="partition by the receive time's UTC date, and by symbol (default: date)")
    group.add_argument("--jobs", type=_jobs, default=None, metavar="N", help="worker processes (default: the CPU count)")
    group.add_argument("--resume", action="store_true", help="skip the captures DIR already has")


def run(args: argparse.Namespace) -> Ending:
    from ..dataset import DatasetError, export_dataset

    console = Console(stderr=True)
    bar = Progress(TextColumn("exporting"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn(),
                   console=console, transient=True, disable=not console.is_terminal)
    try:
        with bar:
            task = bar.add_task("captures", total=len(args.files))
            result = export_dataset(
                args.files, args.dataset, partition_by=args.partition_by, jobs=args.jobs, resume=args.resume,
                progress=lambda done, total: bar.update(task, completed=done, total=total),
            )
    except DatasetError as e:
        raise CommandError(str(e)) from None
    except (recording.FormatError, OSError) as e:
        unreadable = not isinstance(e, OSError) or e.filename in args.files
        raise CommandError(file_error(e), at_run_time=not unreadable) from None
    say(result.summary())
    return Ending.SKIPPED if result.damaged else Ending.DONE
