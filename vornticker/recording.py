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

A reader never fails on a damaged or cut file: it returns every block up to
the first bad one and reports the rest as skipped.
"""

from __future__ import annotations

import atexit
import collections
import dataclasses
import importlib.metadata
import io
import json
import logging
import os
import socket
import struct
import threading
import time
import zlib
from collections.abc import Buffer, Iterable, Iterator, Mapping
from compression import zstd
from types import TracebackType
from typing import Final, Literal, NamedTuple, Self

from .typedefs import Quote
from .vornticker import QuoteColumns, VornTicker, decode_columns, decode_frame

__all__ = [
    "FormatError",
    "Frame",
    "Reader",
    "Recorder",
    "RecordingError",
    "Stats",
    "Subscription",
    "Summary",
    "open",
    "summarize",
]

logger = logging.getLogger(__name__)

# --- layout (docs/recording.md); every integer is little-endian ---------------------

MAGIC: Final = b"\x89VTR\r\n\x1a\n"
VERSION: Final = 1
_HEADER = struct.Struct("<8sHI")  # magic, format version, metadata length
_CRC = struct.Struct("<I")
_BLOCK = struct.Struct("<4sIII")  # marker, stored length, raw length, CRC-32
_BLOCK_MARKER: Final = b"VBLK"
_RECORD = struct.Struct("<BqI")  # record type, receive time (ns), payload length

_FRAME: Final = 1
_KIND_CODE: Final = {"subscribe": 2, "unsubscribe": 3}
_CODE_KIND: Final = {code: kind for kind, code in _KIND_CODE.items()}

# Limits a reader enforces before it allocates, so a damaged length field
# costs nothing. The writer never produces anything larger.
MAX_PAYLOAD: Final = 1 << 24
MAX_BLOCK_SIZE: Final = 1 << 24
_MAX_METADATA: Final = 1 << 20
_MAX_RAW_BLOCK: Final = max(MAX_BLOCK_SIZE, _RECORD.size + MAX_PAYLOAD)
_MAX_STORED_BLOCK: Final = _MAX_RAW_BLOCK + (_MAX_RAW_BLOCK >> 7) + 4096  # above zstd's worst case
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
    in the file, sealed blocks only) say how far the recording has got.

    Any method may be called from any thread. A write error (disk full, ...)
    stops the recording: the partial block is cut off the file, the error
    is logged, and the next call (or ``close()``) raises RecordingError.
    Close the recorder, or use it as a context manager; an open one is
    closed at interpreter exit.
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
        flags = os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC | (os.O_TRUNC if overwrite else os.O_EXCL)
        self._fd = os.open(self.path, flags, 0o644)
        try:
            self._write_all(head)
        except OSError as exc:
            os.close(self._fd)
            os.unlink(self.path)
            raise RecordingError(exc.errno, f"cannot start the recording: {exc.strerror}", self.path) from exc
        self._sealed_end = len(head)
        self._compressor = zstd.ZstdCompressor()
        self.frames = 0
        self.frame_bytes = 0

        # _lock guards the open block, the queue of cut blocks and the state
        # flags; _io_lock serialises writing cut blocks, in the order cut.
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._io_lock = threading.Lock()
        self._buf = bytearray()
        self._opened_at: float | None = None  # monotonic time of the open block's first record
        self._pending: list[bytearray] = []
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
        try:
            head = _RECORD.pack(code, recv_ns, len(data))
        except struct.error:
            raise ValueError(f"recv_ns must be an int64 count of nanoseconds, not {recv_ns!r}") from None
        with self._lock:
            if self._error is not None:
                self._error_reported = True
                raise self._error
            if self._closed:
                raise ValueError(f"{self.path}: the recorder is closed")
            if self._buf and len(self._buf) + len(head) + len(data) > self._block_size:
                self._cut()
            if self._opened_at is None:
                # A new block: the sealing thread learns its deadline, or
                # that a full block waits to be written.
                self._opened_at = time.monotonic()
                self._cond.notify()
            self._buf += head
            self._buf += data
            if code == _FRAME:
                self.frames += 1
                self.frame_bytes += len(data)
            backlog = len(self._pending) > _MAX_PENDING
        if backlog:
            # The thread cannot keep up: write here rather than hold ever more blocks.
            self._write_pending()
            self._raise_if_failed()

    def _cut(self) -> None:
        # Called with _lock held: the open block joins the queue to be written.
        if self._buf:
            self._pending.append(self._buf)
            self._buf = bytearray()
        self._opened_at = None

    def _write_pending(self) -> None:
        with self._io_lock:
            with self._lock:
                blocks, self._pending = self._pending, []
            for raw in blocks:
                if self._error is not None:
                    return
                try:
                    self._compressor.set_pledged_input_size(len(raw))
                    stored = self._compressor.compress(raw, zstd.ZstdCompressor.FLUSH_FRAME)
                    head = _BLOCK.pack(_BLOCK_MARKER, len(stored), len(raw), 0)
                    crc = zlib.crc32(stored, zlib.crc32(head[4:12]))
                    block = head[:12] + _CRC.pack(crc) + stored
                    self._write_all(block)
                except (OSError, zstd.ZstdError) as exc:
                    self._fail(exc)
                    return
                self._sealed_end += len(block)

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
            self._buf = bytearray()
            self._cond.notify_all()
        # A block written in part would read as damage; cut it off.
        try:
            os.ftruncate(self._fd, self._sealed_end)
        except OSError:
            pass
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
    only by passes that decode (``quotes()``, ``summarize``)."""

    frames: int = 0
    subscriptions: int = 0
    bad_frames: int = 0
    blocks: int = 0
    skipped_bytes: int = 0
    damage: list[tuple[int, int]] = dataclasses.field(default_factory=list)  # (offset, length) skipped


class Reader:
    """A capture file opened for reading; see ``open()``.

    Each iteration (``iter(reader)``, ``subscriptions()``, ``quotes()``) is a
    new pass from the first block, and ``stats`` describes the latest pass
    as far as it has got. A pass ends at the first damaged or cut block and
    records it in ``stats.damage``; it never raises for damage.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._file = io.FileIO(self.path, "r")
        try:
            self.metadata, self._data_start = self._read_header()
        except BaseException:
            self._file.close()
            raise
        self.stats = Stats()

    def __iter__(self) -> Iterator[Frame]:
        """The frame records, in file order."""
        for records in self._blocks():
            for record in records:
                if type(record) is Frame:
                    yield record

    def subscriptions(self) -> Iterator[Subscription]:
        """The subscription records, in file order."""
        for records in self._blocks():
            for record in records:
                if type(record) is Subscription:
                    yield record

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

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def _read_header(self) -> tuple[dict[str, object], int]:
        fd = self._file.fileno()
        head = os.pread(fd, _HEADER.size, 0)
        if head[: len(MAGIC)] != MAGIC[: len(head)]:
            raise FormatError(self.path, "not a vornticker capture file (bad magic bytes)")
        if len(head) < _HEADER.size:
            raise FormatError(self.path, "truncated header")
        _, version, size = _HEADER.unpack(head)
        if version != VERSION:
            raise FormatError(
                self.path, f"unknown format version {version} (this vornticker reads version {VERSION})"
            )
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
        return metadata, _HEADER.size + size + _CRC.size

    def _blocks(self) -> Iterator[list[Frame | Subscription]]:
        # One pass: the records of each good block, a block at a time.
        stats = self.stats = Stats()
        fd = self._file.fileno()
        offset = self._data_start
        while head := os.pread(fd, _BLOCK.size, offset):
            block = self._read_block(fd, offset, head)
            if block is None:
                length = max(os.fstat(fd).st_size - offset, 0)
                stats.damage.append((offset, length))
                stats.skipped_bytes += length
                logger.warning("%s: damaged or cut block at offset %d, %d bytes skipped", self.path, offset, length)
                return
            records, offset = block
            stats.blocks += 1
            for record in records:
                if type(record) is Frame:
                    stats.frames += 1
                else:
                    stats.subscriptions += 1
            yield records

    @staticmethod
    def _read_block(fd: int, offset: int, head: bytes) -> tuple[list[Frame | Subscription], int] | None:
        """The records of the block at offset and the next block's offset,
        or None if the block is damaged or cut."""
        if len(head) < _BLOCK.size:
            return None
        marker, stored_len, raw_len, crc = _BLOCK.unpack(head)
        if marker != _BLOCK_MARKER or not 0 < raw_len <= _MAX_RAW_BLOCK or stored_len > _MAX_STORED_BLOCK:
            return None
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
        records = _parse_records(raw)
        return None if records is None else (records, offset + _BLOCK.size + stored_len)


def _parse_records(raw: bytes) -> list[Frame | Subscription] | None:
    records: list[Frame | Subscription] = []
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
        kind = _CODE_KIND.get(code)
        try:
            symbols = json.loads(payload)
        except ValueError:
            return None
        if kind is None or not isinstance(symbols, list) or not all(isinstance(s, str) for s in symbols):
            return None
        records.append(Subscription(recv_ns, kind, tuple(symbols)))
    return records


def open(path: str | os.PathLike[str]) -> Reader:
    """Opens a capture file. Raises FormatError (naming the file) if its
    header is bad, OSError if it cannot be opened."""
    return Reader(path)


# --- summary ------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Summary:
    """What a capture holds. ``symbols`` counts the good frames by the
    decoded quote's ``id`` ("" for a quote without one); first_ns and
    last_ns are the receive times of the first and last record in file
    order (None for an empty capture)."""

    path: str
    metadata: dict[str, object]
    first_ns: int | None
    last_ns: int | None
    symbols: dict[str, int]
    stats: Stats


def summarize(path: str | os.PathLike[str]) -> Summary:
    """Reads a whole capture and sums it up."""
    symbols: collections.Counter[str] = collections.Counter()
    first_ns: int | None = None
    last_ns: int | None = None
    with open(path) as capture:
        for records in capture._blocks():
            if first_ns is None:
                first_ns = records[0].recv_ns
            last_ns = records[-1].recv_ns
            for record in records:
                if type(record) is not Frame:
                    continue
                try:
                    quote = decode_frame(record.payload)
                except Exception:
                    capture.stats.bad_frames += 1
                else:
                    symbols[str(quote.get("id", ""))] += 1
        return Summary(capture.path, capture.metadata, first_ns, last_ns, dict(sorted(symbols.items())), capture.stats)
