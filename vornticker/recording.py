"""Capture files (``.vtr``): every text frame of a session exactly as it was
received, bad frames included, with the subscription changes between them.
The byte layout is in docs/recording.md.

Writing::

    with Recorder("session.vtr", metadata={"url": url, "symbols": symbols}) as rec:
        rec.note_subscription("subscribe", symbols, time.time_ns())
        rec.write(payload, time.time_ns())

Reading::

    with recording.open("session.vtr") as capture:
        for frame in capture:          # Frame(recv_ns, payload), in file order
            ...
        print(capture.stats)           # damage, if any, is listed here

A reader never fails on a damaged or cut file: it skips each damaged stretch,
finds the next good block past it and goes on; ``stats.damage`` lists what
was skipped.
"""

from __future__ import annotations

import atexit
import collections
import contextlib
import dataclasses
import errno
import functools
import importlib.metadata
import io
import json
import logging
import os
import re
import secrets
import socket
import struct
import threading
import time
import zlib
from collections.abc import Buffer, Callable, Iterable, Iterator, Mapping
from compression import zstd
from types import TracebackType
from typing import Final, Literal, NamedTuple, Self

from .typedefs import Quote
from .vornticker import OpenBlock, QuoteColumns, VornTicker, decode_columns, decode_frame

__all__ = [
    "Block",
    "Connection",
    "FormatError",
    "Frame",
    "Gap",
    "Reader",
    "Recorder",
    "RecordingError",
    "Stats",
    "Subscription",
    "Summary",
    "frame_symbol",
    "open",
    "summarize",
    "temporary_target",
]

logger = logging.getLogger(__name__)

# --- layout (docs/recording.md); every integer is little-endian ---------------------

MAGIC: Final = b"\x89VTR\r\n\x1a\n"
VERSION: Final = 2  # what the recorder writes
READ_VERSIONS: Final = (1, 2)  # version 1 lacks the connection records
_HEADER = struct.Struct("<8sHI")  # magic, format version, metadata length
_CRC = struct.Struct("<I")
_BLOCK = struct.Struct("<4sIII")  # marker, stored length, raw length, CRC-32
_BLOCK_MARKER: Final = b"VBLK"
_RECORD = struct.Struct("<BqI")  # record type, receive time (ns), payload length

_ZSTD_MAGIC: Final = b"\x28\xb5\x2f\xfd"  # how every block's stored bytes begin

_FRAME: Final = 1
_OPENED: Final = 2  # OpenBlock.append(): the record opened the block
_INT64_MIN: Final = -(1 << 63)
_INT64_MAX: Final = (1 << 63) - 1
_KIND_CODE: Final = {"subscribe": 2, "unsubscribe": 3}
_CODE_KIND: Final = {code: kind for kind, code in _KIND_CODE.items()}
_CONNECTION_CODE: Final = {"connected": 4, "disconnected": 5}
_CODE_CONNECTION: Final = {code: kind for kind, code in _CONNECTION_CODE.items()}
_HIGHEST_CODE: Final = {1: 3, 2: 5}  # the record types each format version has

# Limits a reader enforces before it allocates, so a damaged length field
# costs nothing. The writer never produces anything larger.
MAX_PAYLOAD: Final = 1 << 24
MAX_BLOCK_SIZE: Final = 1 << 24
_MAX_METADATA: Final = 1 << 20
_MAX_RAW_BLOCK: Final = max(MAX_BLOCK_SIZE, _RECORD.size + MAX_PAYLOAD)
_MAX_STORED_BLOCK: Final = _MAX_RAW_BLOCK + (_MAX_RAW_BLOCK >> 7) + 4096  # above zstd's worst case
_TEMPORARY_SUFFIX: Final = ".vtr-partial"
_TEMPORARY_NAME: Final = re.compile(r"\.(.+)\.\d+-[0-9a-f]{8}" + re.escape(_TEMPORARY_SUFFIX))
_SCAN_CHUNK: Final = 1 << 20  # what a resync past damage reads at a time
_MAX_PENDING: Final = 2  # cut blocks waiting for the thread before write() writes them itself
_DECOMPRESS_OPTIONS: Final[dict[int, int]] = {zstd.DecompressionParameter.window_log_max: 25}


class Frame(NamedTuple):
    """One text frame: when it arrived (ns since the epoch) and its payload."""

    recv_ns: int
    payload: bytes


class Subscription(NamedTuple):
    """A subscription change the client sent: kind is "subscribe" or "unsubscribe"."""

    recv_ns: int
    kind: str
    symbols: tuple[str, ...]


class Connection(NamedTuple):
    """A connection opened ("connected", the URL as detail) or ended
    ("disconnected", the close code and reason or the error as detail)."""

    recv_ns: int
    kind: str
    detail: str


class Gap(NamedTuple):
    """A stretch of the recording with no connection open: from a
    "disconnected" record to the next "connected" one (ns since the epoch)."""

    start_ns: int
    end_ns: int


Record = Frame | Subscription | Connection


class Block(NamedTuple):
    """One good block of a capture: where it starts in the file, its size
    there (header and stored bytes) and its records, in file order."""

    offset: int
    size: int
    records: list[Record]

    @property
    def end(self) -> int:
        """The offset just past the block."""
        return self.offset + self.size


class FormatError(ValueError):
    """The file is not a capture this reader can read (its header is bad)."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.filename = path


class RecordingError(OSError):
    """A write failed; the recording has stopped. The file stays readable up
    to the last sealed block."""


def _version() -> str:
    try:
        return importlib.metadata.version("vornticker")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


# --- writing ------------------------------------------------------------------------


class Recorder:
    """Writes a capture file.

    ``metadata`` is merged into the header's JSON object over the defaults
    (``version``, ``host``, ``start_ns``, ``url`` = None, ``symbols`` = []);
    it must be JSON-serialisable. The file must not exist unless
    ``overwrite`` is true.

    ``write()`` only appends to an open block in memory, so it is cheap
    enough for an event loop's thread. A block is sealed (compressed,
    checksummed and handed to the OS in one write) when it reaches
    ``block_size`` bytes, and at the latest ``seal_interval`` seconds after
    its first record, even if nothing else arrives. A small background
    thread does both: it waits for the open block's deadline or for a full
    block, then compresses and writes without holding up ``write()``. A
    process killed at any moment thus loses at most the last
    ``seal_interval`` seconds. Only if the thread falls more than a few
    blocks behind does ``write()`` write them itself, which bounds memory.

    ``frames``, ``frame_bytes`` (their payloads) and ``size`` (the bytes
    in the file, sealed blocks only) say how far the recording has got;
    ``sealed_frames`` and ``sealed_frame_bytes`` count the frames in the
    file and their payloads (after a write error, what it holds).

    With ``overwrite``, an existing file stays as it is until the new
    recording holds data: the capture is written under a temporary name
    beside it (see ``temporary_target()``) and renamed over it when the
    first block holding a frame is sealed. A recording closed before that leaves the old
    file alone.

    Any method may be called from any thread. A write error (disk full, ...)
    stops the recording: the partial block is cut off the file, the error
    is logged and kept in ``error``, and the next call (or ``close()``)
    raises it. Close the recorder, or use it as a context manager; an open
    one is closed at interpreter exit.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        metadata: Mapping[str, object] | None = None,
        *,
        seal_interval: float = 1.0,
        block_size: int = 1 << 20,
        overwrite: bool = False,
    ) -> None:
        if not seal_interval > 0:
            raise ValueError(f"seal_interval must be positive, not {seal_interval!r}")
        if not 0 < block_size <= MAX_BLOCK_SIZE:
            raise ValueError(f"block_size must be in 1..{MAX_BLOCK_SIZE}, not {block_size!r}")
        self.path = os.fspath(path)
        meta: dict[str, object] = {
            "version": _version(),
            "host": socket.gethostname(),
            "start_ns": time.time_ns(),
            "url": None,
            "symbols": [],
        }
        meta.update(metadata or {})
        meta_bytes = json.dumps(meta, ensure_ascii=False, separators=(",", ":")).encode()
        if len(meta_bytes) > _MAX_METADATA:
            raise ValueError(f"metadata of {len(meta_bytes)} bytes is over the {_MAX_METADATA} byte limit")
        self.metadata = meta
        self._interval = float(seal_interval)
        self._block_size = block_size

        head = _HEADER.pack(MAGIC, VERSION, len(meta_bytes)) + meta_bytes
        head += _CRC.pack(zlib.crc32(head))
        # Until the first block is sealed, an overwriting recorder writes to
        # _writing, a temporary name; afterwards _writing is self.path.
        self._writing = self.path
        if overwrite:
            if os.path.isdir(self.path):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.path)
            directory, name = os.path.split(self.path)
            self._writing = os.path.join(directory, f".{name}.{os.getpid()}-{secrets.token_hex(4)}{_TEMPORARY_SUFFIX}")
        self._fd = os.open(self._writing, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
        try:
            self._write_all(head)
        except OSError as exc:
            os.close(self._fd)
            os.unlink(self._writing)
            raise RecordingError(exc.errno, f"cannot start the recording: {exc.strerror}", self.path) from exc
        self._sealed_end = len(head)
        self._compressor = zstd.ZstdCompressor()
        self.sealed_frames = 0
        self.sealed_frame_bytes = 0

        # _lock guards the open block, the queue of cut blocks and the state
        # flags; _io_lock serialises writing cut blocks, in the order cut.
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._io_lock = threading.Lock()
        # The records not yet sealed, and the counts. A ticker this records
        # appends frames to it directly while it is open and has room (so
        # never one over MAX_PAYLOAD, since block_size is at most that); the
        # block is opened and cut only here, under _lock.
        self._open_block = OpenBlock(block_size)
        self._opened_at: float | None = None  # monotonic time of the open block's first record
        self._pending: list[tuple[bytes, int, int]] = []  # cut blocks, their frames and frame bytes
        self._closed = False
        self._error: RecordingError | None = None
        self._error_reported = False
        self._tickers: list[VornTicker] = []
        self._thread = threading.Thread(target=self._seal_on_time, name="vornticker-recorder", daemon=True)
        self._thread.start()
        atexit.register(self.close)

    def write(self, payload: Buffer, recv_ns: int | None = None) -> None:
        """Records one text frame's payload, received at ``recv_ns``
        (nanoseconds since the epoch; now if None)."""
        self._append(_FRAME, payload, recv_ns)

    def note_subscription(
        self, kind: Literal["subscribe", "unsubscribe"], symbols: Iterable[str], recv_ns: int | None = None
    ) -> None:
        """Records a subscription change sent at ``recv_ns``."""
        code = _KIND_CODE.get(kind)
        if code is None:
            raise ValueError(f"kind must be 'subscribe' or 'unsubscribe', not {kind!r}")
        names = [symbols] if isinstance(symbols, str) else list(symbols)
        if not all(isinstance(name, str) for name in names):
            raise TypeError("symbols must be strings")
        self._append(code, json.dumps(names, ensure_ascii=False).encode(), recv_ns)

    def note_connection(
        self, kind: Literal["connected", "disconnected"], detail: str, recv_ns: int | None = None
    ) -> None:
        """Records a connection opened ("connected", ``detail`` the URL) or
        ended ("disconnected", ``detail`` the close code and reason, or the
        error) at ``recv_ns`` (now if None)."""
        code = _CONNECTION_CODE.get(kind)
        if code is None:
            raise ValueError(f"kind must be 'connected' or 'disconnected', not {kind!r}")
        if not isinstance(detail, str):
            raise TypeError(f"detail must be a str, not {type(detail).__name__}")
        self._append(code, json.dumps(detail, ensure_ascii=False).encode(), recv_ns)

    @property
    def error(self) -> RecordingError | None:
        """The write error that stopped the recording, or None while it runs."""
        with self._lock:
            return self._error

    @property
    def frames(self) -> int:
        """Frames recorded so far (sealed or still in the open block)."""
        return self._open_block.frames

    @property
    def frame_bytes(self) -> int:
        """Their payload bytes."""
        return self._open_block.frame_bytes

    @property
    def size(self) -> int:
        """The file's length: the header and the blocks sealed so far."""
        return self._sealed_end

    def attach(self, ticker: VornTicker) -> None:
        """Records what ``ticker`` receives from now on: every text frame
        exactly as it arrived, before it is decoded (so what the application
        gets is unchanged), and each subscription change as the ticker
        applies it. Call on the ticker's loop thread. ``close()`` and
        ``detach()`` end it; a failed write ends it with one error line from
        the ticker, and the quotes go on."""
        ticker._set_frame_tap(self)
        if ticker not in self._tickers:
            self._tickers.append(ticker)

    def detach(self, ticker: VornTicker) -> None:
        """Stops recording ``ticker``."""
        if ticker in self._tickers:
            self._tickers.remove(ticker)
            ticker._set_frame_tap(None)

    def seal(self) -> None:
        """Seals the open block now, if it holds anything."""
        with self._lock:
            if self._closed:
                raise ValueError(f"{self.path}: the recorder is closed")
            self._cut()
        self._write_pending()
        self._raise_if_failed()

    def close(self) -> None:
        """Seals what is left and closes the file; a second call does nothing."""
        for ticker in list(self._tickers):
            self.detach(ticker)
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._open_block.accepting = False
            self._cut()
            self._cond.notify_all()
        atexit.unregister(self.close)
        self._thread.join()
        try:
            self._write_pending()
            if self._error is None:
                try:
                    os.fsync(self._fd)
                except OSError as exc:
                    self._fail(exc)
        finally:
            os.close(self._fd)
            if self._writing != self.path:
                # Nothing was sealed: an existing file stays as it was; a
                # new one is the empty capture a recorder without overwrite leaves.
                if self._error is None and not os.path.lexists(self.path):
                    self._rename()
                else:
                    with contextlib.suppress(OSError):
                        os.unlink(self._writing)
        if not self._error_reported:
            self._raise_if_failed()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def _append(self, code: int, payload: Buffer, recv_ns: int | None) -> None:
        data = payload if type(payload) is bytes else bytes(memoryview(payload))
        if len(data) > MAX_PAYLOAD:
            raise ValueError(f"a payload of {len(data)} bytes is over the {MAX_PAYLOAD} byte limit")
        if recv_ns is None:
            recv_ns = time.time_ns()
        if not isinstance(recv_ns, int) or not _INT64_MIN <= recv_ns <= _INT64_MAX:
            raise ValueError(f"recv_ns must be an int64 count of nanoseconds, not {recv_ns!r}")
        with self._lock:
            if self._error is not None:
                self._error_reported = True
                raise self._error
            if self._closed:
                raise ValueError(f"{self.path}: the recorder is closed")
            # No room: the open block is cut and the record opens the next.
            # (A ticker's tap may have filled it meanwhile, hence the loop.)
            while not (appended := self._open_block.append(code, recv_ns, data)):
                self._cut()
            if appended == _OPENED:
                # A new block: the sealing thread learns its deadline, or
                # that a full block waits to be written.
                self._opened_at = time.monotonic()
                self._cond.notify()
            backlog = len(self._pending) > _MAX_PENDING
        if backlog:
            # The thread cannot keep up: write here rather than hold ever more blocks.
            self._write_pending()
            self._raise_if_failed()

    def _cut(self) -> None:
        # Called with _lock held: the open block joins the queue to be written.
        if (taken := self._open_block.take()) is not None:
            self._pending.append(taken)
        self._opened_at = None

    def _write_pending(self) -> None:
        with self._io_lock:
            with self._lock:
                blocks, self._pending = self._pending, []
            for raw, frames, frame_bytes in blocks:
                if self._error is not None:
                    return
                try:
                    self._compressor.set_pledged_input_size(len(raw))
                    stored = self._compressor.compress(raw, zstd.ZstdCompressor.FLUSH_FRAME)
                    head = _BLOCK.pack(_BLOCK_MARKER, len(stored), len(raw), 0)
                    crc = zlib.crc32(stored, zlib.crc32(head[4:12]))
                    block = head[:12] + _CRC.pack(crc) + stored
                    self._write_all(block)
                    if self._writing != self.path and frames:
                        # Subscription and connection records alone are no data worth the old file.
                        self._rename()
                except (OSError, zstd.ZstdError) as exc:
                    self._fail(exc)
                    return
                self._sealed_end += len(block)
                self.sealed_frames += frames
                self.sealed_frame_bytes += frame_bytes

    def _rename(self) -> None:
        # The open descriptor follows the file to its real name.
        os.replace(self._writing, self.path)
        self._writing = self.path

    def _write_all(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(self._fd, view) :]

    def _fail(self, exc: Exception) -> None:
        errno = exc.errno if isinstance(exc, OSError) else None
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        error = RecordingError(errno, f"recording stopped: {reason}", self.path)
        error.__cause__ = exc
        with self._lock:
            self._error = error
            self._pending.clear()
            self._open_block.accepting = False
            self._open_block.clear()
            self._cond.notify_all()
        # A block written in part would read as damage; cut it off.
        with contextlib.suppress(OSError):
            os.ftruncate(self._fd, self._sealed_end)
        logger.error("%s", error)

    def _raise_if_failed(self) -> None:
        with self._lock:
            error = self._error
            if error is not None:
                self._error_reported = True
        if error is not None:
            raise error

    def _seal_on_time(self) -> None:
        # The background thread: writes blocks cut by size, and cuts and
        # writes the open block once it is seal_interval old.
        while True:
            with self._lock:
                while True:
                    if self._closed or self._error is not None:
                        return
                    if self._pending:
                        break
                    delay = None
                    if self._opened_at is not None:
                        delay = self._opened_at + self._interval - time.monotonic()
                        if delay <= 0:
                            self._cut()
                            break
                    self._cond.wait(delay)
            self._write_pending()


# --- reading ------------------------------------------------------------------------


@dataclasses.dataclass
class Stats:
    """What a pass over a capture has read so far. ``bad_frames`` is counted
    only by passes that decode (``quotes()``, ``summarize``). ``damage``
    lists each damaged stretch skipped, as (offset, length), in file order."""

    frames: int = 0
    subscriptions: int = 0
    connections: int = 0
    bad_frames: int = 0
    blocks: int = 0
    skipped_bytes: int = 0
    damage: list[tuple[int, int]] = dataclasses.field(default_factory=list)

    def describe_damage(self) -> str:
        """The damage in one phrase ("2 damaged stretches, 1,048,612 bytes
        skipped, first at offset 2,097,254"); "" when there was none."""
        if not self.damage:
            return ""
        count = len(self.damage)
        where = "first at" if count > 1 else "at"
        return (
            f"{count} damaged {'stretch' if count == 1 else 'stretches'}, "
            f"{self.skipped_bytes:,} bytes skipped, {where} offset {self.damage[0][0]:,}"
        )


class _GapTracker:
    """Turns a pass's records into gaps, a record at a time."""

    def __init__(self) -> None:
        self.gaps: list[Gap] = []
        self._down_since: int | None = None
        self._last_ns: int | None = None

    def add(self, record: Record) -> None:
        self._last_ns = record.recv_ns
        if type(record) is not Connection:
            return
        if record.kind == "disconnected":
            if self._down_since is None:
                self._down_since = record.recv_ns
        elif self._down_since is not None:
            self.gaps.append(Gap(self._down_since, record.recv_ns))
            self._down_since = None

    def finish(self) -> list[Gap]:
        # Ending while disconnected: the gap lasts to the last record. A
        # recording closed right after its connection (nothing later) has no gap.
        if self._down_since is not None and self._last_ns is not None and self._last_ns > self._down_since:
            self.gaps.append(Gap(self._down_since, self._last_ns))
        self._down_since = None
        return self.gaps


@dataclasses.dataclass
class _Cursor:
    """Where a pass has got to."""

    stats: Stats
    offset: int
    bad_from: int | None = None  # where the damaged stretch being skipped began


class Reader:
    """A capture file opened for reading; see ``open()``.

    Each iteration (``iter(reader)``, ``subscriptions()``, ``connections()``,
    ``quotes()``, ``blocks()``) is a new pass from the first block, and
    ``stats`` describes the latest pass as far as it has got. A pass skips
    each damaged or cut stretch of the file, resumes at the next good block
    and records the stretch in ``stats.damage``; it never raises for damage.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._file = io.FileIO(self.path, "r")
        try:
            self.metadata, self._data_start, self.version = self._read_header()
        except BaseException:
            self._file.close()
            raise
        self.stats = Stats()

    @property
    def size(self) -> int:
        """The file's length in bytes, now."""
        return os.fstat(self._file.fileno()).st_size

    def __iter__(self) -> Iterator[Frame]:
        """The frame records, in file order."""
        for block in self.blocks():
            for record in block.records:
                if type(record) is Frame:
                    yield record

    def subscriptions(self) -> Iterator[Subscription]:
        """The subscription records, in file order."""
        for block in self.blocks():
            for record in block.records:
                if type(record) is Subscription:
                    yield record

    def connections(self) -> Iterator[Connection]:
        """The connection records, in file order (none in a version 1 file)."""
        for block in self.blocks():
            for record in block.records:
                if type(record) is Connection:
                    yield record

    def gaps(self) -> list[Gap]:
        """The stretches with no connection open, in file order."""
        tracker = _GapTracker()
        for block in self.blocks():
            for record in block.records:
                tracker.add(record)
        return tracker.finish()

    def quotes(self) -> Iterator[tuple[int, Quote | Exception]]:
        """(recv_ns, quote) for each frame, decoded as the ticker decodes it;
        a bad frame gives the exception the ticker's error callback would get."""
        for frame in self:
            try:
                quote = decode_frame(frame.payload)
            except Exception as exc:
                self.stats.bad_frames += 1
                yield frame.recv_ns, exc
            else:
                yield frame.recv_ns, quote

    def to_arrow(self, *, batch_rows: int = 65536) -> QuoteColumns:
        """Every frame decoded into Arrow columns, in one pass: recv_ns, then
        one column per quote field; ``errors`` lists the frames that did
        not decode (also counted in ``stats.bad_frames``). Hand the result
        to ``pyarrow.table()``, ``polars.DataFrame()`` or DuckDB. The whole
        capture is held in memory, as columns; vornticker.export streams a
        capture of any size to a file instead."""
        columns = decode_columns(self, batch_rows=batch_rows)
        if self.stats.frames == 0:
            # No frame told decode_columns that the items carry receive times.
            columns = decode_columns((), (), batch_rows=batch_rows)
        self.stats.bad_frames = len(columns.errors)
        return columns

    def blocks(self) -> Iterator[Block]:
        """A pass over the good blocks, in file order, each with its records;
        the damage skipped between them goes to ``stats``."""
        self.stats = Stats()
        cursor = _Cursor(self.stats, self._data_start)
        # Through a callable, so that a paused pass holds no block of its own.
        yield from iter(functools.partial(self._next_block, cursor), None)

    def _next_block(self, cursor: _Cursor) -> Block | None:
        fd = self._file.fileno()
        while head := os.pread(fd, _BLOCK.size, cursor.offset):
            block = self._read_block(fd, cursor.offset, head)
            if block is None:
                if cursor.bad_from is None:
                    cursor.bad_from = cursor.offset
                found = self._resync(fd, cursor.offset + 1)
                if found is None:
                    break
                cursor.offset = found
                continue
            if cursor.bad_from is not None:
                self._skipped(cursor, cursor.offset)
            cursor.offset = block.end
            stats = cursor.stats
            stats.blocks += 1
            for record in block.records:
                if type(record) is Frame:
                    stats.frames += 1
                elif type(record) is Subscription:
                    stats.subscriptions += 1
                else:
                    stats.connections += 1
            return block
        if cursor.bad_from is not None:
            self._skipped(cursor, max(self.size, cursor.bad_from))
        return None

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def _skipped(self, cursor: _Cursor, end: int) -> None:
        start, cursor.bad_from = cursor.bad_from, None
        assert start is not None
        cursor.stats.damage.append((start, end - start))
        cursor.stats.skipped_bytes += end - start
        logger.warning("%s: damaged or cut data at offset %d, %d bytes skipped", self.path, start, end - start)

    def _read_header(self) -> tuple[dict[str, object], int, int]:
        fd = self._file.fileno()
        head = os.pread(fd, _HEADER.size, 0)
        if head[: len(MAGIC)] != MAGIC[: len(head)]:
            raise FormatError(self.path, "not a vornticker capture file (bad magic bytes)")
        if len(head) < _HEADER.size:
            raise FormatError(self.path, "truncated header")
        _, version, size = _HEADER.unpack(head)
        if version not in READ_VERSIONS:
            known = " and ".join(map(str, READ_VERSIONS))
            raise FormatError(self.path, f"unknown format version {version} (this vornticker reads versions {known})")
        if size > _MAX_METADATA:
            raise FormatError(self.path, f"damaged header (metadata length {size})")
        rest = os.pread(fd, size + _CRC.size, _HEADER.size)
        if len(rest) < size + _CRC.size:
            raise FormatError(self.path, "truncated header")
        if zlib.crc32(head + rest[:size]) != _CRC.unpack_from(rest, size)[0]:
            raise FormatError(self.path, "damaged header (checksum mismatch)")
        try:
            metadata = json.loads(rest[:size])
        except ValueError:
            metadata = None
        if not isinstance(metadata, dict):
            raise FormatError(self.path, "damaged header (metadata is not a JSON object)")
        return metadata, _HEADER.size + size + _CRC.size, version

    def _read_block(self, fd: int, offset: int, head: bytes) -> Block | None:
        """The block at offset, or None if it is damaged or cut."""
        lengths = _plausible(head)
        if lengths is None:
            return None
        stored_len, raw_len, crc = lengths
        stored = os.pread(fd, stored_len, offset + _BLOCK.size)
        if len(stored) < stored_len or zlib.crc32(stored, zlib.crc32(head[4:12])) != crc:
            return None
        decompressor = zstd.ZstdDecompressor(options=_DECOMPRESS_OPTIONS)
        try:
            raw = decompressor.decompress(stored, max_length=raw_len)
        except zstd.ZstdError:
            return None
        if len(raw) != raw_len or not decompressor.eof or decompressor.unused_data:
            return None
        records = _parse_records(raw, _HIGHEST_CODE[self.version])
        return None if records is None else Block(offset, _BLOCK.size + stored_len, records)

    def _resync(self, fd: int, start: int) -> int | None:
        """The offset of the next block at or after start whose header is
        plausible and whose checksum verifies, or None. Reads _SCAN_CHUNK
        bytes at a time, so skipping damage of any size costs one block's memory."""
        size = self.size
        pos = start
        # Enough past each chunk to check a header starting near its end.
        overlap = _BLOCK.size + len(_ZSTD_MAGIC)
        while pos + _BLOCK.size <= size:
            chunk = os.pread(fd, _SCAN_CHUNK + overlap, pos)
            limit = min(_SCAN_CHUNK, len(chunk))
            i = chunk.find(_BLOCK_MARKER, 0, limit + len(_BLOCK_MARKER) - 1)
            while i != -1:
                if self._verifies(fd, pos + i, chunk[i : i + overlap], size):
                    return pos + i
                i = chunk.find(_BLOCK_MARKER, i + 1, limit + len(_BLOCK_MARKER) - 1)
            pos += limit
        return None

    @staticmethod
    def _verifies(fd: int, offset: int, head: bytes, size: int) -> bool:
        # A marker in the middle of damaged or compressed data is taken only
        # if its lengths fit and the checksum holds over the stored bytes.
        lengths = _plausible(head[: _BLOCK.size])
        if lengths is None or head[_BLOCK.size :] != _ZSTD_MAGIC:
            return False
        stored_len, _, want = lengths
        at = offset + _BLOCK.size
        if at + stored_len > size:
            return False
        crc = zlib.crc32(head[4:12])
        end = at + stored_len
        while at < end:
            piece = os.pread(fd, min(_SCAN_CHUNK, end - at), at)
            if not piece:
                return False
            crc = zlib.crc32(piece, crc)
            at += len(piece)
        return crc == want


def _plausible(head: bytes) -> tuple[int, int, int] | None:
    """A block header's (stored length, raw length, CRC) if its marker is
    right and its lengths are within the limits, else None."""
    if len(head) < _BLOCK.size:
        return None
    marker, stored_len, raw_len, crc = _BLOCK.unpack(head)
    if marker != _BLOCK_MARKER or not 0 < raw_len <= _MAX_RAW_BLOCK or not 0 < stored_len <= _MAX_STORED_BLOCK:
        return None
    return stored_len, raw_len, crc


def _parse_records(raw: bytes, highest_code: int) -> list[Record] | None:
    records: list[Record] = []
    pos, end = 0, len(raw)
    while pos < end:
        if end - pos < _RECORD.size:
            return None
        code, recv_ns, size = _RECORD.unpack_from(raw, pos)
        pos += _RECORD.size
        if size > end - pos:
            return None
        payload = raw[pos : pos + size]
        pos += size
        if code == _FRAME:
            records.append(Frame(recv_ns, payload))
            continue
        if not 1 < code <= highest_code:
            return None
        try:
            value = json.loads(payload)
        except ValueError:
            return None
        if code in _CODE_KIND:
            if not isinstance(value, list) or not all(isinstance(s, str) for s in value):
                return None
            records.append(Subscription(recv_ns, _CODE_KIND[code], tuple(value)))
        else:
            if not isinstance(value, str):
                return None
            records.append(Connection(recv_ns, _CODE_CONNECTION[code], value))
    return records


def open(path: str | os.PathLike[str]) -> Reader:
    """Opens a capture file. Raises FormatError (naming the file) if its
    header is bad, OSError if it cannot be opened."""
    return Reader(path)


def temporary_target(path: str | os.PathLike[str]) -> str | None:
    """If path is the temporary name an overwriting Recorder writes under
    (left behind by a crash before the first block was sealed), the file it
    was to replace; else None."""
    directory, name = os.path.split(os.fspath(path))
    match = _TEMPORARY_NAME.fullmatch(name)
    return None if match is None else os.path.join(directory, match.group(1))


# --- summary ------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Summary:
    """What a capture holds. ``symbols`` counts the good frames by the
    decoded quote's ``id`` ("" for a quote without one); first_ns and
    last_ns are the receive times of the first and last record in file
    order (None for an empty capture); ``gaps`` are the stretches with no
    connection open; ``stats.damage`` what was skipped."""

    path: str
    metadata: dict[str, object]
    first_ns: int | None
    last_ns: int | None
    symbols: dict[str, int]
    stats: Stats
    gaps: list[Gap] = dataclasses.field(default_factory=list)


def frame_symbol(payload: bytes) -> str | None:
    """The ``id`` of the quote a frame carries; None for a frame that does
    not decode or a quote without one."""
    try:
        symbol = decode_frame(payload).get("id")
    except Exception:
        return None
    return symbol if isinstance(symbol, str) else None


def summarize(path: str | os.PathLike[str], *, progress: Callable[[int, int], None] | None = None) -> Summary:
    """Reads a whole capture and sums it up. ``progress(done, total)`` is
    called after each block with the bytes read so far and the file's size."""
    symbols: collections.Counter[str] = collections.Counter()
    first_ns: int | None = None
    last_ns: int | None = None
    gaps = _GapTracker()
    with open(path) as capture:
        total = capture.size
        for block in capture.blocks():
            records = block.records
            if first_ns is None:
                first_ns = records[0].recv_ns
            last_ns = records[-1].recv_ns
            for record in records:
                gaps.add(record)
                if type(record) is not Frame:
                    continue
                try:
                    quote = decode_frame(record.payload)
                except Exception:
                    capture.stats.bad_frames += 1
                else:
                    symbols[str(quote.get("id", ""))] += 1
            if progress is not None:
                progress(block.end, total)
        return Summary(
            capture.path,
            capture.metadata,
            first_ns,
            last_ns,
            dict(sorted(symbols.items())),
            capture.stats,
            gaps.finish(),
        )
