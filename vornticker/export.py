"""A capture file's quotes as a table on disk: Parquet, CSV or JSON lines.

    from vornticker.export import export

    result = export("session.vtr", "session.parquet")
    print(result.summary())

One row per frame that decoded: ``recv_ns`` (the receive time) first, then
one column per quote field in field-number order, named as in the quote
dicts; a field the quote lacks is null (an empty CSV cell, a key left out
of the JSON object). Frames that did not decode are counted, not written.

The capture is read and decoded ``batch_rows`` frames at a time (by
vornticker.decode_columns, in C++), so a capture of any size streams through
with the memory of one batch. The output appears under its name only once
complete: it is written beside it under a temporary name, then renamed.

Parquet needs pyarrow (``pip install 'vornticker[arrow]'``). CSV and JSON
lines need nothing beyond vornticker: CSV writes ``indices`` as a JSON array
and times as integer nanoseconds, and an empty text and an absent field both
as an empty cell; JSON lines writes NaN and infinities as null, since JSON
has no such numbers.
"""

from __future__ import annotations

import csv
import dataclasses
import itertools
import os
import secrets
import time
from collections.abc import Callable
from typing import IO, Any, Final, Literal, Protocol

import orjson

from . import recording
from .vornticker import QuoteColumns, decode_columns

__all__ = ["FORMATS", "ExportError", "ExportResult", "export", "format_for"]

Format = Literal["parquet", "csv", "jsonl"]
FORMATS: Final[tuple[Format, ...]] = ("parquet", "csv", "jsonl")
DEFAULT_BATCH_ROWS: Final = 65536

_SUFFIXES: Final[dict[str, Format]] = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".csv": "csv",
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
}

# progress(done, total): bytes of the capture file read so far, and in all.
Progress = Callable[[int, int], None]


class ExportError(Exception):
    """The export cannot be done as asked (a missing optional dependency)."""


@dataclasses.dataclass(frozen=True)
class ExportResult:
    path: str
    format: Format
    frames: int  # frame records read from the capture
    rows: int  # written: the frames that decoded
    bad_frames: int  # frames that did not decode (not written)
    skipped_bytes: int  # damaged or cut end of the capture, not read
    seconds: float

    def summary(self) -> str:
        text = f"{self.rows} rows written to {self.path} ({self.format}) in {self.seconds:.1f} s"
        if self.bad_frames:
            text += f"; {self.bad_frames} frames did not decode"
        if self.skipped_bytes:
            text += f"; {self.skipped_bytes} damaged bytes at the end of the capture skipped"
        return text


def format_for(out: str | os.PathLike[str]) -> Format:
    """The format an output file's suffix names; Parquet when it names none."""
    return _SUFFIXES.get(os.path.splitext(os.fspath(out))[1].lower(), "parquet")


class _Writer(Protocol):
    def write(self, columns: QuoteColumns) -> None: ...
    def close(self) -> None: ...


class _ParquetWriter:
    def __init__(self, f: IO[bytes], columns: QuoteColumns) -> None:
        try:
            import pyarrow as pa  # type: ignore[import-untyped,unused-ignore]
            import pyarrow.parquet as pq  # type: ignore[import-untyped,unused-ignore]
        except ImportError as exc:
            raise ExportError(
                "Parquet export needs pyarrow, which the extra vornticker[arrow] installs: "
                "pip install 'vornticker[arrow]'"
            ) from exc
        self._table = pa.table
        self._writer = pq.ParquetWriter(f, pa.schema(columns))

    def write(self, columns: QuoteColumns) -> None:
        # pyarrow takes the columns through the Arrow C stream, without a copy.
        self._writer.write_table(self._table(columns))

    def close(self) -> None:
        self._writer.close()


class _CsvWriter:
    def __init__(self, f: IO[bytes], columns: QuoteColumns) -> None:
        self._text = open(f.fileno(), "w", newline="", encoding="utf-8", closefd=False)
        self._csv = csv.DictWriter(self._text, columns.column_names, restval="")
        self._csv.writeheader()

    def write(self, columns: QuoteColumns) -> None:
        rows: list[dict[str, Any]] = columns.to_pylist()
        for row in rows:
            if "indices" in row:
                row["indices"] = orjson.dumps(row["indices"]).decode()
        self._csv.writerows(rows)

    def close(self) -> None:
        self._text.close()


class _JsonLinesWriter:
    def __init__(self, f: IO[bytes], columns: QuoteColumns) -> None:
        self._f = f

    def write(self, columns: QuoteColumns) -> None:
        self._f.write(b"".join(orjson.dumps(row, option=orjson.OPT_APPEND_NEWLINE) for row in columns.to_pylist()))

    def close(self) -> None:
        self._f.flush()


_WRITERS: Final[dict[Format, Callable[[IO[bytes], QuoteColumns], _Writer]]] = {
    "parquet": _ParquetWriter,
    "csv": _CsvWriter,
    "jsonl": _JsonLinesWriter,
}


def _block_ends(capture: recording.Reader) -> list[int]:
    """Where each block of the capture ends, from the block headers alone (one
    small read per block): progress is told at block granularity."""
    ends: list[int] = []
    fd = capture._file.fileno()
    offset = capture._data_start
    while len(head := os.pread(fd, recording._BLOCK.size, offset)) == recording._BLOCK.size:
        marker, stored, _, _ = recording._BLOCK.unpack(head)
        if marker != recording._BLOCK_MARKER:
            break
        offset += recording._BLOCK.size + stored
        ends.append(offset)
    return ends


def export(
    path: str | os.PathLike[str],
    out: str | os.PathLike[str],
    format: Format | None = None,
    *,
    progress: Progress | None = None,
    batch_rows: int = DEFAULT_BATCH_ROWS,
) -> ExportResult:
    """Writes the quotes of the capture at ``path`` to ``out`` (replacing it)
    as ``format`` ("parquet", "csv" or "jsonl"; by default the one out's
    suffix names, else Parquet). ``progress(done, total)`` is called now and
    then with the bytes of the capture read so far and in all.

    Raises ExportError when Parquet is asked for without pyarrow, before
    anything is written; recording.FormatError or OSError when the capture
    cannot be read.
    """
    fmt = format_for(out) if format is None else format
    if fmt not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {fmt!r}")
    out = os.fspath(out)
    t0 = time.monotonic()
    with recording.open(path) as capture:
        total = os.fstat(capture._file.fileno()).st_size
        ends = _block_ends(capture)
        directory, name = os.path.split(os.path.abspath(out))
        tmp = os.path.join(directory, f".{name}.{os.getpid()}-{secrets.token_hex(4)}.part")
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        try:
            with os.fdopen(fd, "wb") as f:
                # The schema is fixed: an empty batch with receive times gives it.
                writer = _WRITERS[fmt](f, decode_columns((), ()))
                rows = bad = 0
                try:
                    for chunk in itertools.batched(capture, batch_rows):
                        columns = decode_columns(chunk, batch_rows=batch_rows)
                        writer.write(columns)
                        rows += columns.num_rows
                        bad += len(columns.errors)
                        if progress is not None:
                            blocks = capture.stats.blocks
                            progress(ends[blocks - 1] if 0 < blocks <= len(ends) else 0, total)
                finally:
                    writer.close()
            os.replace(tmp, out)
        except BaseException:
            os.unlink(tmp)
            raise
        if progress is not None:
            progress(total, total)
        stats = capture.stats
        return ExportResult(out, fmt, stats.frames, rows, bad, stats.skipped_bytes, round(time.monotonic() - t0, 3))
