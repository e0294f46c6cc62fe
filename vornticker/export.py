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
with the memory of one batch; ``batches()`` gives those batches to a program.
Rows can be selected by symbol and by receive time; frames outside the time
window are never decoded. The output appears under its name only once
complete: it is written beside it under a temporary name, then renamed. The
capture itself is never an output.

Damage in the capture (see vornticker.recording) is skipped and reported in
the result; everything in the good blocks is written.

Parquet needs pyarrow (``pip install 'vornticker[arrow]'``). CSV and JSON
lines need nothing beyond vornticker: CSV writes ``indices`` as a JSON array
and times as integer nanoseconds, and an empty text and an absent field both
as an empty cell; JSON lines writes NaN and infinities as null, since JSON
has no such numbers.
"""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import io
import os
import secrets
import time
from collections.abc import Callable, Iterable, Iterator
from typing import IO, Any, Final, Literal, Protocol

import orjson

from . import recording
from .vornticker import QuoteColumns, decode_columns, decode_frame

__all__ = ["FORMATS", "DamageError", "ExportError", "ExportResult", "batches", "export", "format_for"]

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
    """The export cannot be done as asked: a missing optional dependency, an
    output that is the input, an output whose format is unknown."""


class DamageError(ExportError):
    """The capture had damage and the export was asked to be strict."""


@dataclasses.dataclass(frozen=True)
class ExportResult:
    path: str
    format: Format
    frames: int  # frame records read from the capture
    rows: int  # written: the selected frames that decoded
    bad_frames: int  # frames that did not decode (not written)
    skipped_bytes: int  # damaged or cut stretches of the capture, not read
    seconds: float
    damage: tuple[tuple[int, int], ...] = ()  # (offset, length) of each damaged stretch

    def summary(self) -> str:
        text = f"{self.rows} rows written to {self.path} ({self.format}) in {self.seconds:.1f} s"
        if self.bad_frames:
            text += f"; {self.bad_frames} frames did not decode"
        if self.damage:
            stats = recording.Stats(skipped_bytes=self.skipped_bytes, damage=list(self.damage))
            text += f"; {stats.describe_damage()}"
        return text


def format_for(out: str | os.PathLike[str]) -> Format:
    """The format an output file's suffix names; ExportError if it names none."""
    suffix = os.path.splitext(os.fspath(out))[1].lower()
    fmt = _SUFFIXES.get(suffix)
    if fmt is None:
        known = ", ".join(f"{f} ({', '.join(s for s, g in _SUFFIXES.items() if g == f)})" for f in FORMATS)
        said = f"the suffix {suffix!r}" if suffix else "no suffix"
        raise ExportError(f"{os.fspath(out)}: {said} names no format; the known formats are {known}")
    return fmt


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
        self._text = io.TextIOWrapper(f, encoding="utf-8", newline="", write_through=True)
        self._csv = csv.DictWriter(self._text, columns.column_names, restval="")
        self._csv.writeheader()

    def write(self, columns: QuoteColumns) -> None:
        rows: list[dict[str, Any]] = columns.to_pylist()
        for row in rows:
            if "indices" in row:
                row["indices"] = orjson.dumps(row["indices"]).decode()
        self._csv.writerows(rows)

    def close(self) -> None:
        # The stream stays open: it belongs to the caller.
        self._text.flush()
        self._text.detach()


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


def batches(
    capture: recording.Reader,
    *,
    symbols: Iterable[str] | None = None,
    start_ns: int | None = None,
    end_ns: int | None = None,
    batch_rows: int = DEFAULT_BATCH_ROWS,
    progress: Progress | None = None,
) -> Iterator[QuoteColumns]:
    """One pass over an open capture, as Arrow columns of at most
    ``batch_rows`` rows: the frames whose quote's ``id`` is one of
    ``symbols`` (all frames if None) received at ``start_ns`` or later and
    before ``end_ns`` (ns since the epoch; None: no bound). Frames outside
    the time window are not decoded. Frames that do not decode are counted
    in ``capture.stats.bad_frames`` and left out; ``capture.stats`` has the
    damage. ``progress(done, total)`` follows the bytes of the file read."""
    wanted = None if symbols is None else frozenset(symbols)
    total = capture.size
    pending: list[recording.Frame] = []
    stats = capture.stats
    for block in capture.blocks():
        stats = capture.stats
        frames = [r for r in block.records if type(r) is recording.Frame]
        if start_ns is not None or end_ns is not None:
            frames = [
                f
                for f in frames
                if (start_ns is None or f.recv_ns >= start_ns) and (end_ns is None or f.recv_ns < end_ns)
            ]
        if wanted is not None:
            kept = []
            for frame in frames:
                symbol = recording.frame_symbol(frame.payload)
                if symbol is None:
                    stats.bad_frames += _is_bad(frame.payload)
                elif symbol in wanted:
                    kept.append(frame)
            frames = kept
        pending += frames
        while len(pending) >= batch_rows:
            yield _columns(pending[:batch_rows], stats)
            del pending[:batch_rows]
        if progress is not None:
            progress(block.end, total)
    if pending:
        yield _columns(pending, stats)
    if progress is not None:
        progress(total, total)


def _is_bad(payload: bytes) -> bool:
    # A frame without a symbol: bad if it does not decode, else a quote without an id.
    try:
        decode_frame(payload)
    except Exception:
        return True
    return False


def _columns(frames: list[recording.Frame], stats: recording.Stats) -> QuoteColumns:
    columns = decode_columns(frames, batch_rows=len(frames))
    stats.bad_frames += len(columns.errors)
    return columns


def _is_input(path: str, out: str) -> bool:
    if os.path.abspath(path) == os.path.abspath(out):
        return True
    try:
        return os.path.samefile(path, out)
    except OSError:  # out does not exist yet
        return False


@contextlib.contextmanager
def _naming(out: str) -> Iterator[None]:
    # An error writing the output names the output, never its temporary file.
    try:
        yield
    except OSError as exc:
        if exc.filename == out:
            raise
        raise OSError(exc.errno, exc.strerror or str(exc), out) from exc


def export(
    path: str | os.PathLike[str],
    out: str | os.PathLike[str] | IO[bytes],
    format: Format | None = None,
    *,
    symbols: Iterable[str] | None = None,
    start_ns: int | None = None,
    end_ns: int | None = None,
    strict: bool = False,
    progress: Progress | None = None,
    batch_rows: int = DEFAULT_BATCH_ROWS,
) -> ExportResult:
    """Writes the quotes of the capture at ``path`` to ``out`` (replacing it)
    as ``format`` ("parquet", "csv" or "jsonl"; by default the one out's
    suffix names). ``out`` may also be a binary stream, such as
    ``sys.stdout.buffer``: the rows are written to it as they come (it
    needs ``format``). ``symbols``, ``start_ns`` and ``end_ns`` select rows
    as ``batches()`` does. ``progress(done, total)`` is called now and then
    with the bytes of the capture read so far and in all.

    Raises ExportError before anything is written when Parquet is asked for
    without pyarrow, when out is the capture itself ("refusing to overwrite
    the input"), or when its suffix names no format; DamageError (an
    ExportError) with ``strict`` when the capture has damage, leaving no
    output behind; recording.FormatError or OSError when the capture cannot
    be read, OSError naming out when it cannot be written.
    """
    stream = None if isinstance(out, (str, os.PathLike)) else out
    # A stream's own name where it has one (sys.stdout.buffer: "<stdout>").
    if stream is not None:
        stream_name = getattr(stream, "name", None)
        name = stream_name if isinstance(stream_name, str) else "<stream>"
    else:
        name = os.fspath(out)  # type: ignore[arg-type]
    src = os.fspath(path)
    if stream is None and _is_input(src, name):
        raise ExportError(f"{name}: refusing to overwrite the input")
    if format is None:
        if stream is not None:
            raise ExportError("a stream has no suffix to tell the format by: name the format")
        format = format_for(name)
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    t0 = time.monotonic()
    with recording.open(src) as capture:
        selected = batches(
            capture, symbols=symbols, start_ns=start_ns, end_ns=end_ns, batch_rows=batch_rows, progress=progress
        )
        if stream is not None:
            rows = _write(stream, name, format, selected, capture, strict)
        else:
            directory, base = os.path.split(os.path.abspath(name))
            tmp = os.path.join(directory, f".{base}.{os.getpid()}-{secrets.token_hex(4)}.part")
            try:
                with _naming(name):
                    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
                with os.fdopen(fd, "wb") as f:
                    rows = _write(f, name, format, selected, capture, strict)
                with _naming(name):
                    os.replace(tmp, name)
            except BaseException:
                with contextlib.suppress(OSError):
                    os.unlink(tmp)
                raise
        stats = capture.stats
        return ExportResult(
            name,
            format,
            stats.frames,
            rows,
            stats.bad_frames,
            stats.skipped_bytes,
            round(time.monotonic() - t0, 3),
            tuple(stats.damage),
        )


def _write(
    f: IO[bytes], name: str, fmt: Format, selected: Iterator[QuoteColumns], capture: recording.Reader, strict: bool
) -> int:
    # The schema is fixed: an empty batch with receive times gives it.
    with _naming(name):
        writer = _WRITERS[fmt](f, decode_columns((), ()))
    rows = 0
    try:
        for columns in selected:  # reading the capture: its errors name the capture
            if strict and capture.stats.damage:
                break
            with _naming(name):
                writer.write(columns)
            rows += columns.num_rows
    finally:
        with _naming(name):
            writer.close()
    if strict and capture.stats.damage:
        raise DamageError(f"{capture.path}: {capture.stats.describe_damage()}")
    return rows
