"""``vornticker info FILE``: what a capture file holds."""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import time

from rich.console import Console
from rich.progress import BarColumn, DownloadColumn, Progress, TextColumn, TimeRemainingColumn

from .. import recording
from ._common import CommandError, Ending, Subcommands, file_error, plural, write_line

__all__ = ["add_parser", "run"]


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "info",
        help="what a capture file holds",
        description="Show a capture file's metadata, time span, frames per symbol, bad frames and damage.",
    )
    parser.add_argument("file", metavar="FILE", help="a capture file")
    parser.set_defaults(run=run)
    return parser


def _clean(value: object) -> str:
    """A value from a file, safe to print on a terminal; an absent one (null) is "-"."""
    if value is None:
        return "-"
    if isinstance(value, list) and value and all(isinstance(v, str) for v in value):
        return " ".join(_clean(v) for v in value)
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)
    return text if text.isprintable() and text.strip() == text and text else repr(text)


def _when(ns: int) -> str:
    try:
        return dt.datetime.fromtimestamp(ns / 1e9, dt.UTC).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3] + " UTC"
    except (OverflowError, OSError, ValueError):
        return f"{ns} ns"


def run(args: argparse.Namespace) -> Ending:
    console = Console(stderr=True)
    bar = Progress(
        TextColumn("reading {task.description}"), BarColumn(), DownloadColumn(), TimeRemainingColumn(),
        console=console, transient=True, disable=not console.is_terminal,
    )  # fmt: skip
    task = bar.add_task(os.path.basename(args.file), total=None)
    started = time.monotonic()

    def progress(done: int, total: int) -> None:
        # Shown only for files that take more than about a second.
        if not bar.live.is_started and time.monotonic() - started > 1.0:
            bar.start()
        bar.update(task, completed=done, total=total)

    try:
        try:
            summary = recording.summarize(args.file, progress=progress)
        finally:
            bar.stop()
    except (recording.FormatError, OSError) as e:
        raise CommandError(file_error(e)) from None
    stats = summary.stats
    lines = [_clean(summary.path)]
    for key, value in summary.metadata.items():
        shown = _when(value) if key == "start_ns" and type(value) is int else _clean(value)
        lines.append(f"  {_clean(key):<12} {shown}")
    if summary.first_ns is None or summary.last_ns is None:
        lines.append(f"  {'span':<12} empty")
    else:
        seconds = (summary.last_ns - summary.first_ns) / 1e9
        lines.append(f"  {'span':<12} {_when(summary.first_ns)} to {_when(summary.last_ns)} ({seconds:,.3f} s)")
    changes = plural(stats.subscriptions, "subscription change")
    lines.append(f"  {'frames':<12} {stats.frames:,} ({stats.bad_frames:,} bad), {changes}, {plural(stats.blocks, 'block')}")
    width = max((len(_clean(s)) for s in summary.symbols), default=0)
    lines += [f"    {_clean(symbol):<{width}}  {count:>10,}" for symbol, count in summary.symbols.items()]
    gaps = summary.gaps
    if gaps:
        total = sum(g.end_ns - g.start_ns for g in gaps) / 1e9
        longest = max(gaps, key=lambda g: g.end_ns - g.start_ns)
        lines.append(
            f"  {'gaps':<12} {len(gaps):,} without a connection, {total:,.3f} s in all; longest "
            f"{(longest.end_ns - longest.start_ns) / 1e9:,.3f} s from {_when(longest.start_ns)}"
        )
    target = recording.temporary_target(args.file)
    if target is not None:
        lines.append(f"  note: a temporary capture left by a recording to {_clean(target)} that did not finish")
    if stats.damage:
        lines.append(f"  damage: {stats.describe_damage()}")
    for line in lines:
        write_line(line)
    return Ending.SKIPPED if stats.damage else Ending.DONE
