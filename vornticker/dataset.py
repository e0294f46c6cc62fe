"""Many captures as one hive-partitioned Parquet dataset, written in parallel.

    from vornticker.dataset import export_dataset

    result = export_dataset(glob.glob("captures/*.vtr"), "quotes", partition_by=("date", "symbol"), jobs=4)
    print(result.summary())

gives ``quotes/date=2026-12-08/symbol=AAPL/part-<capture>-0.parquet``, ...
(``date`` is the receive time's UTC day), which DuckDB, polars, pyarrow and
Spark read as one table (docs/analysis.md). Rows have the columns of
vornticker.export, in capture order within each file; the partition
columns live in the directory names.

Each capture is exported by one worker process; each file is written under
a temporary name and renamed when complete, so a crash or Ctrl-C leaves no
partial file where a reader looks. ``DIR/_vornticker_dataset.json``, the
manifest, records which capture produced which files: ``resume=True``
skips captures already done (same path, size and modification time), and
exporting a capture again replaces its files. A directory that holds
anything but one of these datasets is refused.

Needs pyarrow (the extra ``vornticker[analysis]`` or ``vornticker[arrow]``).
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import fcntl
import hashlib
import itertools
import json
import multiprocessing
import os
import secrets
import shutil
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Final

from . import recording
from .vornticker import decode_columns

__all__ = ["MANIFEST", "PARTITIONS", "CaptureExport", "DatasetError", "DatasetResult", "export_dataset"]

MANIFEST: Final = "_vornticker_dataset.json"
PARTITIONS: Final = ("date", "symbol")
_LOCK: Final = ".vornticker.lock"
_STAGING: Final = ".staging-"
_KIND: Final = "vornticker-dataset"
DEFAULT_BATCH_ROWS: Final = 65536

# progress(done, total): captures finished (or skipped) so far, and in all.
Progress = Callable[[int, int], None]


class DatasetError(Exception):
    """The dataset cannot be written as asked: the directory is not one of
    ours, another export holds it, or the arguments contradict it."""


@dataclasses.dataclass(frozen=True)
class CaptureExport:
    """One capture's part of the dataset. ``files`` are relative to the
    dataset's directory; ``resumed`` is true for a capture skipped because
    the manifest has it already (its counts are then the manifest's)."""

    path: str
    files: tuple[str, ...]
    frames: int
    rows: int
    bad_frames: int
    damage: tuple[tuple[int, int], ...]
    skipped_bytes: int
    resumed: bool = False


@dataclasses.dataclass(frozen=True)
class DatasetResult:
    directory: str
    captures: tuple[CaptureExport, ...]
    seconds: float

    @property
    def rows(self) -> int:
        return sum(c.rows for c in self.captures if not c.resumed)

    @property
    def damaged(self) -> bool:
        """Whether damaged stretches of this run's captures were skipped."""
        return any(c.damage for c in self.captures if not c.resumed)

    def summary(self) -> str:
        done = [c for c in self.captures if not c.resumed]
        files = sum(len(c.files) for c in done)
        text = (
            f"{self.rows} rows of {len(done)} captures written to {self.directory} "
            f"({files} files) in {self.seconds:.1f} s"
        )
        if resumed := len(self.captures) - len(done):
            text += f"; {resumed} captures already in the dataset skipped"
        if bad := sum(c.bad_frames for c in done):
            text += f"; {bad} frames did not decode"
        if stretches := sum(len(c.damage) for c in done):
            skipped = sum(c.skipped_bytes for c in done)
            text += f"; {stretches} damaged stretches, {skipped} bytes skipped"
        return text


def _pyarrow() -> tuple[Any, Any]:
    try:
        import pyarrow as pa  # type: ignore[import-untyped,unused-ignore]
        import pyarrow.dataset as ds  # type: ignore[import-untyped,unused-ignore]
    except ImportError as exc:
        raise DatasetError(
            "a dataset needs pyarrow, which the extra vornticker[analysis] installs: "
            "pip install 'vornticker[analysis]'"
        ) from exc
    return pa, ds


def _partition_by(names: Iterable[str]) -> tuple[str, ...]:
    names = tuple(names)
    if not names or len(set(names)) != len(names) or not set(names) <= set(PARTITIONS):
        raise ValueError(f"partition_by must name date and/or symbol once each, not {','.join(names) or 'nothing'}")
    return names


def _key(path: str) -> str:
    # A capture's files are named after its path, so a rerun replaces them.
    return hashlib.sha256(path.encode()).hexdigest()[:16]


def _identity(path: str) -> dict[str, int]:
    st = os.stat(path)
    return {"size": st.st_size, "mtime_ns": st.st_mtime_ns}


def _write_json(path: str, value: object) -> None:
    directory, name = os.path.split(path)
    tmp = os.path.join(directory, f".{name}.{os.getpid()}-{secrets.token_hex(4)}.part")
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(value, f, indent=1, ensure_ascii=False)
            f.write("\n")
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def _open_manifest(directory: str, partition_by: tuple[str, ...]) -> dict[str, Any]:
    """The manifest of the dataset at directory, made if the directory is new
    or empty. Refuses a directory that is anything else."""
    path = os.path.join(directory, MANIFEST)
    if os.path.exists(directory) and not os.path.isdir(directory):
        raise DatasetError(f"{directory}: not a directory")
    os.makedirs(directory, exist_ok=True)
    if not os.path.exists(path):
        if [name for name in os.listdir(directory) if name != _LOCK]:
            raise DatasetError(f"{directory}: not a vornticker dataset (it holds other files); name a new or empty directory")
        manifest: dict[str, Any] = {"kind": _KIND, "version": 1, "partition_by": list(partition_by), "captures": {}}
        _write_json(path, manifest)
        return manifest
    try:
        with open(path, encoding="utf-8") as f:
            manifest = json.load(f)
        ok = manifest.get("kind") == _KIND and isinstance(manifest.get("captures"), dict)
    except (ValueError, AttributeError):
        ok = False
    if not ok:
        raise DatasetError(f"{path}: not a vornticker dataset manifest")
    if tuple(manifest.get("partition_by", ())) != partition_by:
        raise DatasetError(
            f"{directory}: the dataset is partitioned by {','.join(manifest.get('partition_by', ()))}, "
            f"not {','.join(partition_by)}"
        )
    return manifest


def _export_one(path: str, directory: str, partition_by: tuple[str, ...], batch_rows: int) -> CaptureExport:
    """Writes one capture's files into the dataset (run in a worker)."""
    pa, ds = _pyarrow()
    import pyarrow.compute as pc  # type: ignore[import-untyped,unused-ignore]

    key = _key(path)
    staging = os.path.join(directory, f"{_STAGING}{key}-{os.getpid()}-{secrets.token_hex(4)}")
    kinds = {"date": pa.date32(), "symbol": pa.string()}
    parts = pa.schema([(name, kinds[name]) for name in partition_by])
    schema = pa.schema([*pa.schema(decode_columns((), ())), *parts])
    written: list[str] = []
    bad = 0

    def batches(capture: recording.Reader) -> Iterator[Any]:
        nonlocal bad
        for chunk in itertools.batched(capture, batch_rows):
            columns = decode_columns(chunk, batch_rows=batch_rows)
            bad += len(columns.errors)
            table = pa.table(columns)
            if "date" in partition_by:
                table = table.append_column("date", pc.cast(table["recv_ns"], pa.date32()))
            if "symbol" in partition_by:
                table = table.append_column("symbol", table["id"])
            yield from table.to_batches()

    try:
        with recording.open(path) as capture:
            # Into a staging directory first (a dot name, where no reader
            # looks); each finished file is then moved into place by a rename.
            ds.write_dataset(
                batches(capture),
                staging,
                schema=schema,
                format="parquet",
                partitioning=ds.partitioning(parts, flavor="hive"),
                basename_template=f"part-{key}-{{i}}.parquet",
                existing_data_behavior="error",
                use_threads=False,  # keeps the capture's order within each file
                file_visitor=lambda f: written.append(os.path.relpath(f.path, staging)),
            )
            stats = capture.stats
        files = sorted(written)
        for rel in files:
            os.makedirs(os.path.join(directory, os.path.dirname(rel)), exist_ok=True)
            os.replace(os.path.join(staging, rel), os.path.join(directory, rel))
        return CaptureExport(
            path, tuple(files), stats.frames, stats.frames - bad, bad, tuple(stats.damage), stats.skipped_bytes
        )
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def export_dataset(
    paths: Sequence[str | os.PathLike[str]],
    directory: str | os.PathLike[str],
    *,
    partition_by: Iterable[str] = ("date",),
    jobs: int | None = None,
    resume: bool = False,
    progress: Progress | None = None,
    batch_rows: int = DEFAULT_BATCH_ROWS,
) -> DatasetResult:
    """Exports the captures at ``paths`` into the dataset at ``directory``
    (made if missing), partitioned by ``partition_by`` (``("date",)``,
    ``("date", "symbol")``, ...), with ``jobs`` worker processes (default:
    the CPU count; 1 works in this process).

    Raises DatasetError when the directory is not one of these datasets (or
    is partitioned otherwise, or another export holds it);
    recording.FormatError or OSError for a capture that cannot be read,
    before anything is written.
    """
    _pyarrow()
    parts = _partition_by(partition_by)
    if jobs is not None and jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    directory = os.path.abspath(os.fspath(directory))
    captures = list(dict.fromkeys(os.path.abspath(os.fspath(p)) for p in paths))
    for path in captures:
        recording.open(path).close()  # a bad header fails here, before any work
    t0 = time.monotonic()
    manifest = _open_manifest(directory, parts)
    lock = os.open(os.path.join(directory, _LOCK), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise DatasetError(f"{directory}: another export is writing this dataset") from None
        for name in os.listdir(directory):
            if name.startswith(_STAGING):  # left by an export that was killed
                shutil.rmtree(os.path.join(directory, name), ignore_errors=True)
        return _run(captures, directory, manifest, parts, jobs, resume, progress, batch_rows, t0)
    finally:
        os.close(lock)


def _run(
    captures: list[str],
    directory: str,
    manifest: dict[str, Any],
    parts: tuple[str, ...],
    jobs: int | None,
    resume: bool,
    progress: Progress | None,
    batch_rows: int,
    t0: float,
) -> DatasetResult:
    known: dict[str, Any] = manifest["captures"]
    results: dict[str, CaptureExport] = {}
    todo: list[str] = []
    for path in captures:
        entry = known.get(path)
        if resume and entry is not None and entry.get("identity") == _identity(path):
            results[path] = CaptureExport(
                path, tuple(entry["files"]), entry["frames"], entry["rows"], entry["bad_frames"],
                tuple(map(tuple, entry["damage"])), entry["skipped_bytes"], resumed=True,
            )
        else:
            todo.append(path)

    def finished(path: str, identity: dict[str, int], result: CaptureExport) -> None:
        old = known.get(path, {}).get("files", [])
        known[path] = {
            "identity": identity,
            "files": list(result.files),
            "frames": result.frames,
            "rows": result.rows,
            "bad_frames": result.bad_frames,
            "damage": [list(d) for d in result.damage],
            "skipped_bytes": result.skipped_bytes,
        }
        _write_json(os.path.join(directory, MANIFEST), manifest)
        for rel in set(old) - set(result.files):  # a changed capture's files that are gone
            try:
                os.unlink(os.path.join(directory, rel))
            except FileNotFoundError:
                pass
        results[path] = result
        if progress is not None:
            progress(len(results), len(captures))

    if progress is not None:
        progress(len(results), len(captures))
    workers = min(jobs or os.cpu_count() or 1, len(todo))
    if workers <= 1:
        for path in todo:
            identity = _identity(path)  # before reading: a capture still growing is redone
            finished(path, identity, _export_one(path, directory, parts, batch_rows))
    else:
        context = multiprocessing.get_context("forkserver")
        with concurrent.futures.ProcessPoolExecutor(workers, mp_context=context) as pool:
            identities = {path: _identity(path) for path in todo}
            futures = {pool.submit(_export_one, path, directory, parts, batch_rows): path for path in todo}
            try:
                for future in concurrent.futures.as_completed(futures):
                    path = futures[future]
                    finished(path, identities[path], future.result())
            except BaseException:
                # What is still queued is not started; what runs is let finish
                # and kept, so a rerun with resume does not redo it.
                pool.shutdown(wait=True, cancel_futures=True)
                for future, path in futures.items():
                    if path not in results and future.done() and not future.cancelled() and future.exception() is None:
                        finished(path, identities[path], future.result())
                raise
    ordered = tuple(results[path] for path in captures)
    return DatasetResult(directory, ordered, round(time.monotonic() - t0, 3))
