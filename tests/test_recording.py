"""Capture files: what is recorded comes back byte for byte, and a damaged,
cut or failed file loses only its bad part, which the reader reports."""

import asyncio
import random
import re
import signal
import struct
import subprocess
import sys
import time
import zlib
from compression import zstd

import pytest

import quotes as q
from children import child_env
from lifecycle import ended, feed, logs, loop_errors, observed, quote, run, start_connected  # noqa: F401
from quote_service import QuoteService
from vornticker import _testsupport, decode_frame, recording
from vornticker import vornticker as vt
from vornticker.feed import encode_frame
from vornticker.recording import Frame, Subscription

URL = "wss://feed.invalid/"
GOOD = [encode_frame(quote) for quote in q.SAMPLE_QUOTES.values()]
BAD = [b"\x00\xff not json", b'{"type":"pricing","message":"@@ not base64 @@"}', b""]


def _run_child(code, *args, **options):
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], env=child_env(), text=True, **options)


def _block_offsets(data):
    """Where each block starts, walked by the documented layout."""
    (meta_len,) = struct.unpack_from("<I", data, 10)
    offsets, pos = [], 14 + meta_len + 4
    while pos + 16 <= len(data):
        offsets.append(pos)
        pos += 16 + struct.unpack_from("<I", data, pos + 4)[0]
    return offsets


@pytest.mark.parametrize("block_size", [64, 1 << 20])
def test_round_trip_keeps_every_record_in_order(tmp_path, block_size):
    path = tmp_path / "session.vtr"
    frames = [Frame(1000 + i, payload) for i, payload in enumerate(GOOD + BAD + GOOD)]
    subs = [Subscription(999, "subscribe", ("AAPL", "BTC-USD")), Subscription(1004, "unsubscribe", ("AAPL",))]
    with recording.Recorder(path, {"url": URL, "symbols": ["AAPL"]}, block_size=block_size) as rec:
        for record in sorted(frames + subs, key=lambda record: record.recv_ns):
            if type(record) is Frame:
                rec.write(bytearray(record.payload), record.recv_ns)
            else:
                rec.note_subscription(record.kind, list(record.symbols), record.recv_ns)
    with recording.open(path) as capture:
        assert capture.metadata["url"] == URL and capture.metadata["symbols"] == ["AAPL"]
        assert {"version", "host", "start_ns"} <= capture.metadata.keys()
        assert list(capture) == frames
        assert list(capture.subscriptions()) == subs
        for (recv_ns, got), frame in zip(capture.quotes(), frames, strict=True):
            assert recv_ns == frame.recv_ns
            try:
                want = decode_frame(frame.payload)
            except Exception as exc:
                assert (type(got), got.args) == (type(exc), exc.args)
            else:
                assert got == want
        stats = capture.stats
        assert (stats.frames, stats.bad_frames, stats.damage) == (len(frames), len(BAD), [])
        assert (stats.blocks > 1) == (block_size == 64)
    summary = recording.summarize(path)
    assert (summary.first_ns, summary.last_ns, summary.stats.bad_frames) == (999, 1000 + len(frames) - 1, len(BAD))
    assert summary.symbols == {quote["id"]: 2 for quote in q.SAMPLE_QUOTES.values()}


def test_a_tickers_frames_and_the_recorders_own_writes_keep_their_order_across_blocks(tmp_path, ticker, ts, recorder):
    # The ticker appends frames straight into the open block; opening and
    # cutting blocks stays with the recorder, whose own writes interleave.
    path = tmp_path / "direct.vtr"
    ts.set_field(ticker, "_message_callback", recorder())
    payloads = [GOOD[i % len(GOOD)] for i in range(60)]
    with recording.Recorder(path, block_size=700) as rec:
        rec.attach(ticker)
        for i, payload in enumerate(payloads):
            if i % 9 == 4:
                rec.note_subscription("subscribe", [f"S{i}"], i)
            if i % 13 == 6:
                rec.write(b"own %d" % i, i)
            ts.call(ticker, "on_data_callback", payload)
        counted = (rec.frames, rec.frame_bytes)
    with recording.open(path) as capture:
        got = [frame.payload for frame in capture]
        subs = [s.symbols for s in capture.subscriptions()]
        blocks = capture.stats.blocks
    want = []
    for i, payload in enumerate(payloads):
        want += [b"own %d" % i] if i % 13 == 6 else []
        want.append(payload)
    assert got == want and subs == [(f"S{i}",) for i in range(60) if i % 9 == 4] and blocks > 10
    assert counted == (len(want), sum(map(len, want))) == (rec.sealed_frames, sum(map(len, got)))


KILLED_CHILD = """
import sys, time
from vornticker import recording
rec = recording.Recorder(sys.argv[1])
for i in range(6):
    rec.write(b"frame %d" % i, i)
    if i == 2:
        rec.seal()
print("written", flush=True)
time.sleep(60)
"""


def test_killed_recorder_keeps_what_it_sealed(tmp_path):
    path = tmp_path / "killed.vtr"
    child = _run_child(KILLED_CHILD, path, stdout=subprocess.PIPE)
    try:
        assert child.stdout.readline() == "written\n"
        time.sleep(2.0)  # no more frames come: the timer alone must seal the second block
    finally:
        child.send_signal(signal.SIGKILL)
        child.communicate()
    frames = [Frame(i, b"frame %d" % i) for i in range(6)]
    with recording.open(path) as capture:
        assert list(capture) == frames and capture.stats.damage == []
    # A copy taken mid-write, or a power cut, leaves the last block short.
    data = path.read_bytes()
    path.write_bytes(data[:-3])
    last = _block_offsets(data)[1]
    with recording.open(path) as capture:
        assert list(capture) == frames[:3]
        assert capture.stats.damage == [(last, len(data) - 3 - last)]
        assert capture.stats.skipped_bytes == len(data) - 3 - last


def _put(at, value):
    return lambda data, block: data[: block + at] + value + data[block + at + len(value) :]


def _flip(at):
    return lambda data, block: data[: block + at] + bytes([data[block + at] ^ 0x10]) + data[block + at + 1 :]


def _bad_records(data, block):
    """The block's stored bytes replaced by a well-formed, checksummed Zstandard
    frame whose records do not fill it (the last one is cut)."""
    raw = struct.pack("<BqI", 1, 0, 50) + b"short"
    stored = zstd.compress(raw)
    head = struct.pack("<II", len(stored), len(raw))
    block_bytes = b"VBLK" + head + struct.pack("<I", zlib.crc32(stored, zlib.crc32(head))) + stored
    (old_stored,) = struct.unpack_from("<I", data, block + 4)
    return data[:block] + block_bytes + data[block + 16 + old_stored :]


def _damaged_capture(path, blocks=8, seed=1):
    """A capture of `blocks` blocks of two frames each; frame payloads are
    random bytes, so they stay literal in the compressed data."""
    rng = random.Random(seed)
    frames = [Frame(i, rng.randbytes(300)) for i in range(2 * blocks)]
    # A false block inside a payload: plausible header and Zstandard magic,
    # but no valid checksum; a resync scanning past it must reject it.
    frames[5] = Frame(5, b"VBLK" + struct.pack("<III", 20, 20, 1) + b"\x28\xb5\x2f\xfd" + bytes(40))
    with recording.Recorder(path) as rec:
        for frame in frames:
            rec.write(frame.payload, frame.recv_ns)
            if frame.recv_ns % 2:
                rec.seal()
    return frames


DAMAGE = {
    "stored bit": _flip(40),
    "marker": _put(0, b"XXXX"),
    "stored length": _put(4, b"\xff\xff\xff\xff"),
    "raw length": _put(8, b"\xff\xff\xff\x7f"),
    "checksum": _put(12, b"\0\0\0\0"),
    "records": _bad_records,
}


@pytest.mark.parametrize("kind", DAMAGE)
@pytest.mark.parametrize("damaged", [[0], [3], [7], [0, 3, 7], [2, 3]], ids=str)
def test_reader_skips_damaged_blocks_and_returns_every_other_block(tmp_path, kind, damaged):
    path = tmp_path / "damaged.vtr"
    frames = _damaged_capture(path)
    data = path.read_bytes()
    offsets = _block_offsets(data)
    ends = offsets[1:] + [len(data)]
    delta = {}
    for index in sorted(damaged, reverse=True):  # back to front: offsets stay right
        before = len(data)
        data = DAMAGE[kind](data, offsets[index])
        delta[index] = len(data) - before  # a rewritten block may change size
    path.write_bytes(data)
    start = [offset + sum(d for i, d in delta.items() if i < j) for j, offset in enumerate(offsets)]
    end = [start[j] + ends[j] - offsets[j] + delta.get(j, 0) for j in range(len(offsets))]
    stretches = []
    for index in damaged:
        if stretches and index - 1 in damaged:
            stretches[-1] = (stretches[-1][0], end[index] - stretches[-1][0])
        else:
            stretches.append((start[index], end[index] - start[index]))
    with recording.open(path) as capture:
        assert list(capture) == [f for f in frames if f.recv_ns // 2 not in damaged]
        assert capture.stats.damage == stretches
        assert capture.stats.skipped_bytes == sum(length for _, length in stretches)
        assert capture.stats.blocks == 8 - len(damaged)
    summary = recording.summarize(path)
    assert f"{len(stretches)} damaged stretch" in summary.stats.describe_damage()


@pytest.mark.parametrize("cut", [lambda data, last: data[: last + 7], lambda data, last: data[:-1]], ids=["header", "stored"])
def test_a_cut_last_block_is_one_stretch_at_its_offset(tmp_path, cut, caplog):
    path = tmp_path / "cut.vtr"
    frames = _damaged_capture(path, blocks=3)
    data = path.read_bytes()
    last = _block_offsets(data)[-1]
    path.write_bytes(cut(data, last))
    size = path.stat().st_size
    with recording.open(path) as capture:
        assert list(capture) == frames[:4]
        assert capture.stats.damage == [(last, size - last)]
    assert len([r for r in caplog.records if r.levelname == "WARNING"]) == 1


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda data: b"", "truncated header"),
        (lambda data: data[:12], "truncated header"),
        (lambda data: data[:30], "truncated header"),
        (lambda data: b"PK\x03\x04" + data[4:], "bad magic"),
        (lambda data: data[:8] + struct.pack("<H", 3) + data[10:], "unknown format version 3"),
        (lambda data: data[:10] + struct.pack("<I", 1 << 30) + data[14:], "damaged header"),
        (lambda data: data[:16] + b"X" + data[17:], "checksum mismatch"),
    ],
)
def test_header_errors_name_the_file(tmp_path, damage, message):
    path = tmp_path / "header.vtr"
    with recording.Recorder(path, {"url": URL}) as rec:
        rec.write(GOOD[0], 1)
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(recording.FormatError, match=re.escape(str(path)) + ".*" + message):
        recording.open(path)


FULL_DISK_CHILD = """
import random, resource, signal, sys
from vornticker import recording
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # so that a write past the limit fails with EFBIG
resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
rec = recording.Recorder(sys.argv[1], block_size=3000)
assert rec.error is None
try:
    for i in range(1000):
        rec.write(random.Random(i).randbytes(500), i)
except recording.RecordingError as exc:
    print(exc, flush=True)
rec.close()  # the error was reported already
print("error kept" if isinstance(rec.error, recording.RecordingError) else rec.error)
print(rec.sealed_frames, file=sys.stderr)
try:
    rec.write(b"late", 0)
except recording.RecordingError:
    print("still stopped")
"""


def test_write_error_stops_the_recording_and_keeps_the_sealed_blocks(tmp_path):
    path = tmp_path / "full.vtr"
    out, err = _run_child(FULL_DISK_CHILD, path, stdout=subprocess.PIPE, stderr=subprocess.PIPE).communicate()
    assert out.splitlines()[1:] == ["error kept", "still stopped"], err
    assert str(path) in out and "recording stopped" in out
    with recording.open(path) as capture:
        frames = list(capture)
        assert capture.stats.damage == [] and len(frames) >= 5 and err.splitlines()[-1] == str(len(frames))
    assert frames == [Frame(i, random.Random(i).randbytes(500)) for i in range(len(frames))]
    assert path.stat().st_size <= 20000


class FailingTap:
    def __init__(self):
        self.writes = 0

    def write(self, payload, recv_ns):
        self.writes += 1
        raise OSError(28, "No space left on device")

    def note_subscription(self, kind, symbols, recv_ns):
        pass


@pytest.mark.parametrize("tap", ["recorder", "failing"])
def test_a_live_ticker_records_frames_as_received(loop, observed, feed, logs, loop_errors, tmp_path, tap):
    """The tap sees every text frame before it is decoded and the subscription
    changes; the application's callbacks get the same either way, and a tap
    that fails stops only the recording."""
    ticker = observed
    (q1, m1), (q2, m2) = quote("ABC", 1), quote("XYZ", 2)
    sent = [q1, b'{"message": "bad base64!"}', q2]
    path = tmp_path / "live.vtr"
    target = recording.Recorder(path, {"symbols": ["ABC"]}) if tap == "recorder" else FailingTap()

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                if tap == "recorder":
                    target.attach(ticker)
                else:
                    ticker._set_frame_tap(target)
                await ticker.subscribe(["ABC"])
                conn = await start_connected(ticker, service, feed)
                for payload in sent:
                    service.send_text(payload)
                await feed.wait("message", 2)
                await ticker.unsubscribe(["ABC"])
                await service.wait_controls(2, conn)
                ticker.close_websocket()
                await ended(ticker)

    run(loop, scenario())
    assert feed.of("message") == [m1, m2] and len(feed.of("error")) == 1
    if tap == "recorder":
        target.close()
        with recording.open(path) as capture:
            assert [frame.payload for frame in capture] == sent
            assert [(s.kind, s.symbols) for s in capture.subscriptions()] == [
                ("subscribe", ("ABC",)),
                ("unsubscribe", ("ABC",)),
            ]
    else:
        assert target.writes == 1
        assert logs.lines(startswith="Recording stopped :: ") == ["Recording stopped :: [Errno 28] No space left on device"]


def _as_version_1(path):
    data = path.read_bytes()
    (meta_len,) = struct.unpack_from("<I", data, 10)
    head = data[:8] + struct.pack("<H", 1) + data[10 : 14 + meta_len]
    path.write_bytes(head + struct.pack("<I", zlib.crc32(head)) + data[18 + meta_len :])


def test_connection_records_give_the_gaps_and_version_1_files_still_read(tmp_path):
    path = tmp_path / "gaps.vtr"
    with recording.Recorder(path, block_size=64) as rec:
        rec.note_connection("connected", URL, 100)
        rec.write(GOOD[0], 150)
        rec.note_connection("disconnected", "1006 abnormal closure", 200)
        rec.note_connection("disconnected", "ConnectionRefusedError(111)", 250)
        rec.note_connection("connected", URL, 400)
        rec.write(GOOD[1], 450)
        rec.note_connection("disconnected", "TimeoutError()", 500)
        rec.note_subscription("unsubscribe", ["AAPL"], 700)  # ends while disconnected
        for kind, detail in [("opened", URL), ("connected", b"wss://")]:
            with pytest.raises((ValueError, TypeError), match="kind|detail"):
                rec.note_connection(kind, detail)
    with recording.open(path) as capture:
        assert [tuple(c) for c in capture.connections()][:3] == [
            (100, "connected", URL),
            (200, "disconnected", "1006 abnormal closure"),
            (250, "disconnected", "ConnectionRefusedError(111)"),
        ]
        assert capture.gaps() == [recording.Gap(200, 400), recording.Gap(500, 700)]
        assert capture.stats.connections == 5 and capture.stats.damage == []
        assert [f.recv_ns for f in capture] == [150, 450]
    assert recording.summarize(path).gaps == [(200, 400), (500, 700)]

    # The same records but frames only, as a version 1 reader wrote them; a
    # connection record is a type that version does not have.
    old = tmp_path / "v1.vtr"
    with recording.Recorder(old) as rec:
        rec.write(GOOD[0], 1)
        rec.seal()
        rec.note_connection("connected", URL, 2)
    _as_version_1(old)
    with recording.open(old) as capture:
        assert (capture.version, list(capture), capture.gaps()) == (1, [Frame(1, GOOD[0])], [])
        assert len(capture.stats.damage) == 1


def test_overwrite_keeps_the_old_file_until_the_first_sealed_block(tmp_path):
    path = tmp_path / "day.vtr"
    with recording.Recorder(path) as rec:
        rec.write(b"old", 1)
    old = path.read_bytes()
    rec = recording.Recorder(path, overwrite=True)
    rec.write(b"new", 2)
    assert path.read_bytes() == old
    [temporary] = [p for p in tmp_path.iterdir() if p != path]
    assert recording.temporary_target(temporary) == str(path) and recording.temporary_target(path) is None
    rec.seal()
    assert sorted(tmp_path.iterdir()) == [path]
    rec.write(b"more", 3)
    rec.close()
    with recording.open(path) as capture:
        assert [f.payload for f in capture] == [b"new", b"more"]
    # Closed before anything was sealed: the old file stays, no temporary is left.
    recording.Recorder(path, overwrite=True).close()
    assert sorted(tmp_path.iterdir()) == [path]
    with recording.open(path) as capture:
        assert [f.payload for f in capture] == [b"new", b"more"]
    with pytest.raises(IsADirectoryError):
        recording.Recorder(tmp_path, overwrite=True)


class NotingTap:
    """A tap that keeps what the ticker tells it, and fails as told."""

    def __init__(self, fail=None):
        self.fail = fail
        self.calls = []

    def write(self, payload, recv_ns):
        self.calls.append(("write", payload))
        if self.fail is not None:
            raise self.fail

    def note_subscription(self, kind, symbols, recv_ns):
        self.calls.append((kind, list(symbols)))

    def note_connection(self, kind, detail):
        self.calls.append((kind, detail))


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


class RaisingLogger:
    def __getattr__(self, name):
        raise RuntimeError("the logger is broken")


@pytest.mark.parametrize(
    "fail, logger, line",
    [
        (OSError(28, "No space left on device"), None, "Recording stopped :: [Errno 28] No space left on device"),
        (Unprintable(), None, "Recording stopped :: <Unprintable: str() failed>"),
        (OSError(28, "full"), RaisingLogger(), None),
        (KeyboardInterrupt(), None, None),
        (SystemExit(3), None, None),
    ],
    ids=["oserror", "str-raises", "logger-raises", "keyboard-interrupt", "system-exit"],
)
def test_a_failing_tap_stops_only_the_recording(loop, ticker, ts, logs, recorder, monkeypatch, fail, logger, line):
    """Whatever an ordinary failure of the tap does, the quote still reaches
    the callback; KeyboardInterrupt and SystemExit go on as from the callback."""
    (payload, mapping) = quote("ABC", 1)
    got = recorder()
    ts.set_field(ticker, "_message_callback", got)
    tap = NotingTap(fail)
    ticker._set_frame_tap(tap)
    if logger is not None:
        monkeypatch.setattr(vt, "logger", logger)
    if not isinstance(fail, Exception):
        with pytest.raises(type(fail)):
            ts.call(ticker, "on_data_callback", payload)
        return
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    ts.call(ticker, "on_data_callback", payload)
    ts.call(ticker, "on_data_callback", payload)  # the tap is gone: written once
    run(loop, asyncio.sleep(0))
    assert got.calls == [mapping, mapping] and tap.calls == [("write", payload)]
    if line is None:
        assert [type(u.exc_value) for u in unraisable] == [RuntimeError]
    else:
        assert logs.lines(startswith="Recording stopped") == [line] and unraisable == []


class FailingSend(vt.VornTicker):
    def _send_payload(self, payload):
        raise ConnectionResetError("gone")


@pytest.mark.parametrize("send_fails", [False, True])
def test_every_change_of_the_subscriptions_is_noted(loop, send_fails):
    ticker = (FailingSend if send_fails else vt.VornTicker)(loop)
    tap = NotingTap()
    ticker._set_frame_tap(tap)
    for apply, symbols in [(ticker._apply_subscribe, ["A", "B"]), (ticker._apply_subscribe, ["A"]),
                           (ticker._apply_unsubscribe, ["C"]), (ticker._apply_unsubscribe, ["A"])]:
        if send_fails:
            with pytest.raises(ConnectionResetError):
                apply(symbols, b"{}")
        else:
            apply(symbols, b"{}")
    # Subscribing to what is there or dropping what is not changes nothing.
    assert tap.calls == [("subscribe", ["A", "B"]), ("unsubscribe", ["A"])]


def test_the_tap_hears_of_each_connection_opening_and_ending(loop, observed, feed, logs, loop_errors):
    ticker = observed
    tap = NotingTap()
    ticker._set_frame_tap(tap)

    async def scenario():
        async with QuoteService() as service:
            with service.endpoint():
                conn = await start_connected(ticker, service, feed)
                service.close(4000, b"going away", conn)
                conn = await service.wait_connection(2)
                await feed.wait("open", 2)
                service.drop(conn)
                await service.wait_connection(3)
                await feed.wait("open", 3)
                ticker.close_websocket()
                await ended(ticker)

    run(loop, scenario())
    url = _testsupport.get_field(ticker, "_ws_url")
    assert [call for call in tap.calls if call[0] in ("connected", "disconnected")] == [
        ("connected", url),
        ("disconnected", "4000 going away"),
        ("connected", url),
        ("disconnected", "connection lost without a close frame"),
        ("connected", url),
        ("disconnected", "1000 Connection closed by the user."),
    ]
