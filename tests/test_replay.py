"""Recording sessions and replaying them: a session with the local feed is
recorded as the application received it and replays byte for byte; a replay
keeps the recorded pace and each client's subscriptions; and the record,
replay and info commands, run as real processes."""

import asyncio
import math
import re
import resource
import shlex
import signal
import socket
import subprocess
import sys

import orjson
import picows
import pytest

from children import child_env
from vornticker import cli, decode_frame, recording, stream
from vornticker.feed import LocalFeed, Market, ReplayFeed, encode_frame

BAD = [b"\x00\xff not json", b'{"type":"pricing","message":"@@ not base64 @@"}']
SUMMARY = re.compile(
    r"^recorded ([0-9,]+) frames? \(([0-9,]+) bad\) in [0-9.]+ s to .+: ([0-9,]+) bytes? of frames, ([0-9,]+) bytes? on disk$",
    re.M,
)


class Client(picows.WSListener):
    """A raw websocket client: the text frames it got and when."""

    def __init__(self):
        super().__init__()
        self.frames, self.times = [], []
        self.closed = None  # (code, reason) of a close frame
        self.arrived = asyncio.Event()

    def on_ws_frame(self, transport, frame):
        if frame.msg_type == picows.WSMsgType.CLOSE:
            self.closed = (frame.get_close_code(), frame.get_close_message())
        if frame.msg_type == picows.WSMsgType.TEXT:
            self.frames.append(frame.get_payload_as_bytes())
            self.times.append(asyncio.get_running_loop().time())
            self.arrived.set()

    async def wait_frames(self, n, timeout=15.0):
        async with asyncio.timeout(timeout):
            while len(self.frames) < n:
                self.arrived.clear()
                await self.arrived.wait()


async def subscribed(url, symbols):
    transport, client = await picows.ws_connect(Client, url)
    transport.send(picows.WSMsgType.TEXT, orjson.dumps({"subscribe": symbols}))
    return transport, client


def symbol_of(payload):
    try:
        return decode_frame(payload)["id"]
    except Exception:
        return None


def write_capture(path, offsets_ms, seed=3):
    """AAPL and MSFT quotes in turn at these offsets, the bad frames among them."""
    market = Market(seed)
    payloads = [encode_frame(market.tick(("AAPL", "MSFT")[i % 2])) for i in range(len(offsets_ms) - len(BAD))]
    payloads[3:3] = BAD[:1]
    payloads[-1:-1] = BAD[1:]
    with recording.Recorder(path, {"symbols": ["AAPL", "MSFT"]}) as rec:
        for ms, payload in zip(offsets_ms, payloads, strict=True):
            rec.write(payload, 1_700_000_000_000_000_000 + ms * 1_000_000)
    return payloads


@pytest.mark.asyncio
@pytest.mark.parametrize("loop", [False, True], ids=["once", "loop"])
async def test_a_local_session_is_recorded_as_received_and_replays_byte_for_byte(tmp_path, loop):
    path = tmp_path / "local.vtr"
    got = []
    async with LocalFeed(rate=200, tls=False, seed=1) as feed:
        async with stream(["AAPL", "MSFT"], url=feed.url, record_to=path) as quotes:
            async for quote in quotes:
                got.append(quote)
                if len(got) in (10, 20):
                    feed.publish("MSFT", BAD[len(got) // 10 - 1])  # the service sends something broken
                if len(got) == 40:
                    break
            errors = quotes.stats.errors
        url = feed.url
    with recording.open(path) as capture:
        payloads = [frame.payload for frame in capture]
        assert capture.metadata["url"] == url and capture.metadata["symbols"] == ["AAPL", "MSFT"]
        assert [(s.kind, s.symbols) for s in capture.subscriptions()] == [("subscribe", ("AAPL", "MSFT"))]
    assert [p for p in payloads if p in BAD] == BAD and errors == len(BAD)
    assert [decode_frame(p) for p in payloads if p not in BAD][: len(got)] == got

    async with ReplayFeed(path, math.inf, loop=loop, tls=False) as replay:
        transport, client = await subscribed(replay.url, ["AAPL", "MSFT"])
        n = len(payloads) * (2 if loop else 1)
        await client.wait_frames(n)
        transport.disconnect()
    assert client.frames[:n] == (payloads * 2)[:n]


@pytest.mark.asyncio
async def test_replay_keeps_the_recorded_spacing_and_each_clients_subscriptions(tmp_path):
    path = tmp_path / "paced.vtr"
    offsets_ms = [0, 40, 60, 500, 1500, 1520, 4000, 4100, 7000, 9000, 9990, 10000]
    payloads = write_capture(path, offsets_ms)
    speed = 10
    async with ReplayFeed(path, speed, tls=False) as feed:
        first = await subscribed(feed.url, ["AAPL"])
        await asyncio.sleep(0.3)
        second = await subscribed(feed.url, ["MSFT"])  # its replay starts at the file's start too
        clients = {"AAPL": first, "MSFT": second}
        wanted = {s: [(ms, p) for ms, p in zip(offsets_ms, payloads) if symbol_of(p) in (s, None)] for s in clients}
        for s, (transport, client) in clients.items():
            await client.wait_frames(len(wanted[s]))
            transport.disconnect()
    for s, (_, client) in clients.items():
        assert client.frames == [p for _, p in wanted[s]]
        # Arrival times against the recorded offsets divided by the speed: the
        # whole replay takes a second, and a shared machine may run late by
        # a good part of one, but never all of it.
        due = [ms / 1000 / speed for ms, _ in wanted[s]]
        start = min(t - d for t, d in zip(client.times, due))
        lag = max(t - start - d for t, d in zip(client.times, due))
        assert lag <= 0.4, (s, [round(t - start, 3) for t in client.times], due)


@pytest.mark.asyncio
async def test_replay_plays_a_connection_gap_as_silence_and_can_close_at_the_end(tmp_path, caplog):
    path = tmp_path / "gap.vtr"
    market = Market(5)
    payloads = [encode_frame(market.tick("AAPL")) for _ in range(4)]
    ms = 1_000_000
    with recording.Recorder(path) as rec:
        rec.note_connection("connected", "wss://x/", 0)
        rec.write(payloads[0], 0)
        rec.write(payloads[1], 10 * ms)
        rec.note_connection("disconnected", "1006", 20 * ms)
        rec.seal()  # the gap spans a block boundary
        rec.note_connection("connected", "wss://x/", 1600 * ms)
        rec.write(payloads[2], 1600 * ms)
        rec.write(payloads[3], 1610 * ms)
    caplog.set_level("INFO", logger="vornticker.feed.replay")
    async with ReplayFeed(path, 4, close_at_end=True, tls=False) as feed:
        transport, client = await subscribed(feed.url, ["AAPL"])
        await client.wait_frames(4)
        await asyncio.wait_for(transport.wait_disconnected(), 5)
    assert client.frames == payloads and client.closed == (picows.WSCloseCode.OK, b"end of capture")
    assert 0.35 <= client.times[2] - client.times[1] <= 0.8  # 1.59 s of silence at speed 4
    assert any("end of the capture, 4 frames" in r.getMessage() for r in caplog.records)


async def record_replay(source, out, frames, *options, speed=math.inf, interrupt=False, preexec_fn=None):
    """Runs `vornticker record AAPL MSFT -o OUT OPTIONS` against a replay of
    the capture ``source`` (of ``frames`` frames) until it ends, after
    SIGINT once every frame was sent if ``interrupt``: its status and
    standard error."""
    async with ReplayFeed(source, speed, tls=False) as feed:
        proc = await asyncio.create_subprocess_exec(
            sys.executable, "-m", "vornticker", "record", "AAPL", "MSFT", "-o", str(out), "--feed", feed.url, *options,
            stderr=subprocess.PIPE, cwd=out.parent, env=child_env(), preexec_fn=preexec_fn,
        )  # fmt: skip
        try:
            async with asyncio.timeout(30):
                while feed.stats.frames_sent < frames:
                    await asyncio.sleep(0.02)
            if interrupt:
                proc.send_signal(signal.SIGINT)
            _, err = await asyncio.wait_for(proc.communicate(), 30)
        finally:
            if proc.returncode is None:
                proc.kill()
                await proc.wait()
    return proc.returncode, err.decode()


def reported_counts(err):
    counts = SUMMARY.search(err)
    assert counts, err
    return [int(c.replace(",", "")) for c in counts.groups()]


@pytest.mark.asyncio
@pytest.mark.parametrize("end", ["seconds", "sigint"])
async def test_record_command_seals_the_file_and_its_counts_match_it(tmp_path, end):
    payloads = write_capture(tmp_path / "source.vtr", list(range(0, 150, 10)))
    out = tmp_path / "out.vtr"
    status, err = await record_replay(
        tmp_path / "source.vtr", out, len(payloads), *(["--seconds", "2"] if end == "seconds" else []),
        interrupt=end == "sigint",
    )  # fmt: skip
    assert status == (130 if end == "sigint" else 0), err
    with recording.open(out) as capture:
        assert [frame.payload for frame in capture] == payloads and capture.stats.damage == []
    summary = recording.summarize(out)
    assert reported_counts(err) == [
        len(payloads), summary.stats.bad_frames, sum(map(len, payloads)), out.stat().st_size,
    ]  # fmt: skip
    assert summary.stats.bad_frames == len(BAD) and "Traceback" not in err


def _file_size_limit():
    # In the child: a write past 16 KiB fails with EFBIG (SIGXFSZ would kill it), as on a full disk.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384))


@pytest.mark.asyncio
async def test_record_command_fails_with_status_1_when_the_file_cannot_grow_and_keeps_what_was_sealed(tmp_path):
    # A few frames sealed in a block of their own, a second later more than the file may take.
    payloads = write_capture(tmp_path / "source.vtr", [0, 10, 20, 30, 40] + [2500 + i // 10 for i in range(1000)])
    out = tmp_path / "out.vtr"
    # No --seconds: the command ends by itself once the recording has stopped.
    status, err = await record_replay(tmp_path / "source.vtr", out, len(payloads), speed=1, preexec_fn=_file_size_limit)
    errors = [line for line in err.splitlines() if line.startswith("vornticker record: error: ")]
    assert status == 1 and errors == [err.splitlines()[-1]] and "Traceback" not in err, err
    assert f"{out}: recording stopped: File too large; the file holds 5 frames" in errors[0]
    with recording.open(out) as capture:
        assert [frame.payload for frame in capture] == payloads[:5] and capture.stats.damage == []
    summary = re.search(
        r"^recorded 5 frames in [0-9.]+ s to .+ before the write error: ([0-9,]+) bytes of frames, ([0-9,]+) bytes "
        r"on disk; ([0-9,]+) frames received \(2 bad\)$", err, re.M,
    )  # fmt: skip
    assert summary, err
    assert [int(c.replace(",", "")) for c in summary.groups()] == [
        sum(map(len, payloads[:5])), out.stat().st_size, len(payloads),
    ]  # fmt: skip


def test_replay_command_serves_the_capture_until_its_output_closes(tmp_path):
    payloads = write_capture(tmp_path / "source.vtr", list(range(0, 100, 10)))
    proc = subprocess.Popen(
        [sys.executable, "-m", "vornticker", "replay", "source.vtr", "--port", "0", "--plain", "--max"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path, env=child_env(),
    )  # fmt: skip
    try:
        url = proc.stdout.readline().decode().strip()
        suggested = shlex.split(proc.stderr.readline().decode().removeprefix("try: "))
        assert suggested[suggested.index("--feed") + 1] == url and suggested[-2:] == ["AAPL", "MSFT"]

        async def fetch():
            transport, client = await subscribed(url, ["AAPL", "MSFT"])
            await client.wait_frames(len(payloads))
            transport.disconnect()
            await transport.wait_disconnected()
            return client.frames

        assert asyncio.run(fetch()) == payloads
        proc.stdout.close()  # as `vornticker replay FILE | head -n 1`
        proc.wait(timeout=15)
        err = proc.stderr.read().decode()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err
    assert f"replayed {len(payloads)} frames to 1 connection" in err and "Traceback" not in err


@pytest.mark.parametrize("command", ["info", "replay"])
@pytest.mark.parametrize("content", [None, b"not a capture file"], ids=["missing", "not-a-capture"])
def test_commands_name_the_file_they_cannot_read(tmp_path, capsys, command, content):
    path = tmp_path / "bad.vtr"
    if content is not None:
        path.write_bytes(content)
    assert cli.main([command, str(path)]) == 2
    (line,) = capsys.readouterr().err.splitlines()
    assert line.startswith(f"vornticker {command}: error: {path}: ")


def test_info_counts_each_symbol_and_reports_damage_with_status_3(tmp_path, capsys):
    path = tmp_path / "cut.vtr"
    write_capture(path, list(range(10)))
    path.write_bytes(path.read_bytes()[:-2])
    with recording.open(path) as capture:
        list(capture)
        ((offset, length),) = capture.stats.damage
    write_capture(tmp_path / "whole.vtr", list(range(10)))
    assert cli.main(["info", str(tmp_path / "whole.vtr")]) == 0
    whole = capsys.readouterr().out
    assert "10 (2 bad)" in whole and re.search(r"^ +AAPL +4$", whole, re.M) and "damaged" not in whole
    assert cli.main(["info", str(path)]) == 3
    assert f"1 damaged stretch, {length:,} bytes skipped, at offset {offset:,}" in capsys.readouterr().out
    # A crash's leftover of `record --force` is named as such.
    leftover = tmp_path / f".whole.vtr.{12}-0123abcd.vtr-partial"
    leftover.write_bytes((tmp_path / "whole.vtr").read_bytes())
    assert cli.main(["info", str(leftover)]) == 0
    assert f"temporary capture left by a recording to {tmp_path / 'whole.vtr'}" in capsys.readouterr().out


def test_record_force_keeps_the_old_file_when_the_new_recording_fails(tmp_path):
    out = tmp_path / "day.vtr"
    write_capture(out, [0, 10, 20])
    before = out.read_bytes()
    with socket.socket() as free:
        free.bind(("127.0.0.1", 0))
        port = free.getsockname()[1]  # nothing listens there once closed
    done = subprocess.run(
        [sys.executable, "-m", "vornticker", "record", "AAPL", "-o", str(out), "--force",
         "--feed", f"ws://127.0.0.1:{port}/", "--seconds", "1"],
        capture_output=True, text=True, cwd=tmp_path, env=child_env(), timeout=30,
    )  # fmt: skip
    assert done.returncode == 1 and "error: never connected" in done.stderr.splitlines()[-1], done.stderr
    assert out.read_bytes() == before and sorted(p.name for p in tmp_path.iterdir()) == ["day.vtr"]
    assert "Traceback" not in done.stderr
