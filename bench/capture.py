"""Capture: what reading past damage costs, and how long a replay holds up its loop.

  resync  a capture whose middle is overwritten with random bytes: the
          reader scans the damaged stretch for the next good block. Timed
          per damaged MiB, against a plain read of the same bytes (1 MiB
          preads, nothing else) and a pass over the same file undamaged.
  replay  ReplayFeed serving a 100 MB capture (1 MiB blocks, 20 symbols,
          1,000 frames/s) to 20 websocket clients in another process, each
          subscribed to all 20 symbols, at the recorded pace. A task on the feed's loop
          sleeps 1 ms at a time and notes how late each wake-up is: the
          longest is the loop's longest stall (reading, decompressing and
          parsing a block, if that happens on the loop). The loop thread's
          CPU time over each sleep is noted too: on a shared machine a
          wake-up can also be late for want of a CPU.
"""

from __future__ import annotations

import asyncio
import dataclasses
import os
import random
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from typing import Any

from common import OUT

from vornticker import recording
from vornticker.feed import Market, ReplayFeed, encode_frame

STALL_GOAL_MS = 5.0
SYMBOLS = tuple(f"S{i:02d}" for i in range(20))
T0 = 1_700_000_000_000_000_000


@dataclasses.dataclass(frozen=True)
class Config:
    damaged_mib: int  # size of the damaged stretch
    capture_mb: int  # size of the replayed capture
    clients: int
    seconds: float  # of replay measured
    speed: float


def _capture(path: os.PathLike[str] | str, megabytes: int, spacing_ns: int = 1_000_000) -> int:
    """A capture of about `megabytes` MB: 20,000 distinct frames in turn, one
    per `spacing_ns`; each 1 MiB block holds distinct frames, so it compresses
    like a real session."""
    market = Market(7)
    payloads = [encode_frame(market.tick(SYMBOLS[i % len(SYMBOLS)])) for i in range(20_000)]
    n = 0
    with recording.Recorder(path, {"symbols": list(SYMBOLS)}, overwrite=True) as rec:
        while rec.size < megabytes * 1_000_000:
            for payload in payloads:
                rec.write(payload, T0 + n * spacing_ns)
                n += 1
    return n


def _best(fn: Callable[[], object], repeat: int = 3) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def _resync(cfg: Config, log: Callable[[str], None]) -> dict[str, Any]:
    path = OUT / "resync-bench.vtr"
    _capture(path, cfg.damaged_mib + 4)
    with recording.open(path) as capture:
        blocks = [(b.offset, b.size) for b in capture.blocks()]
    start = blocks[1][0]
    damaged = cfg.damaged_mib << 20
    assert start + damaged < blocks[-1][0], "the damage must end before the last block"
    intact = _best(lambda: sum(1 for _ in recording.open(path).blocks()))
    # The header, one good block, the damage, the last good block: the
    # damaged pass is all scanning but for two blocks.
    data = path.read_bytes()
    last = blocks[-1][0]
    bad = OUT / "resync-bench-damaged.vtr"
    bad.write_bytes(data[:start] + random.Random(1).randbytes(damaged) + data[last:])
    size = bad.stat().st_size
    two_blocks = (size - damaged) / len(data) * intact
    del data

    def plain_read() -> None:
        fd = os.open(bad, os.O_RDONLY)
        try:
            for offset in range(0, size, 1 << 20):
                os.pread(fd, 1 << 20, offset)
        finally:
            os.close(fd)

    def damaged_pass() -> list[tuple[int, int]]:
        with recording.open(bad) as capture:
            for _ in capture.blocks():
                pass
            return capture.stats.damage

    damage = damaged_pass()
    assert damage == [(start, damaged)], damage
    read = _best(plain_read)
    scan = _best(damaged_pass) - two_blocks
    intact_mib = path.stat().st_size / (1 << 20)
    path.unlink()
    bad.unlink()
    mib = size / (1 << 20)
    res = {
        "file_mib": round(mib, 1),
        "damaged_mib": round(damage[0][1] / (1 << 20), 1),
        "stretches": len(damage),
        "plain_read_ms_per_mib": 1000 * read / mib,
        "intact_pass_ms_per_mib": 1000 * intact / intact_mib,
        "scan_ms_per_damaged_mib": 1000 * scan / cfg.damaged_mib,
    }
    log(f"  resync: {res['scan_ms_per_damaged_mib']:.2f} ms per damaged MiB "
        f"(plain read {res['plain_read_ms_per_mib']:.2f}, intact pass {res['intact_pass_ms_per_mib']:.2f})")
    return res


_CLIENTS = """
import asyncio, sys, orjson, picows
url, n, seconds, symbols = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4].split(",")
count = 0
class C(picows.WSListener):
    def on_ws_frame(self, transport, frame):
        global count
        if frame.msg_type == picows.WSMsgType.TEXT:
            count += 1
async def main():
    conns = [await picows.ws_connect(C, url) for _ in range(n)]
    for transport, _ in conns:
        transport.send(picows.WSMsgType.TEXT, orjson.dumps({"subscribe": symbols}))
    print("ready", flush=True)
    await asyncio.sleep(seconds)
    print(count, flush=True)
    for transport, _ in conns:
        transport.disconnect()
asyncio.run(main())
"""


async def _stalls(cfg: Config, path: os.PathLike[str] | str) -> tuple[list[float], list[float], int]:
    async with ReplayFeed(path, speed=cfg.speed, tls=False) as feed:
        child = await asyncio.create_subprocess_exec(
            sys.executable, "-c", _CLIENTS, feed.url, str(cfg.clients), str(cfg.seconds), ",".join(SYMBOLS),
            stdout=subprocess.PIPE,
        )
        assert child.stdout is not None
        assert (await child.stdout.readline()).strip() == b"ready"
        late: list[float] = []
        busy: list[float] = []
        loop = asyncio.get_running_loop()
        end = loop.time() + cfg.seconds - 0.5
        while loop.time() < end:
            t0, c0 = time.perf_counter(), time.thread_time()
            await asyncio.sleep(0.001)
            late.append(time.perf_counter() - t0 - 0.001)
            # What the loop's thread itself ran meanwhile: a wake-up late for
            # want of a CPU (a busy machine) shows in late, not here.
            busy.append(time.thread_time() - c0)
        received = int((await child.stdout.readline()).strip() or 0)
        await child.wait()
    return late, busy, received


def _replay(cfg: Config, log: Callable[[str], None]) -> dict[str, Any]:
    path = OUT / f"replay-bench-{cfg.capture_mb}mb.vtr"
    if not path.exists():
        log(f"  replay: writing a {cfg.capture_mb} MB capture (once; kept in {path.name})")
        _capture(path, cfg.capture_mb)
    late, busy, received = asyncio.run(_stalls(cfg, path))
    late_ms = sorted(1000 * x for x in late)
    busy_ms = sorted(1000 * x for x in busy)
    res = {
        "capture_mb": round(path.stat().st_size / 1e6, 1),
        "clients": cfg.clients,
        "speed": cfg.speed,
        "seconds": cfg.seconds,
        "frames_sent": received,
        "max_stall_ms": late_ms[-1],
        "p999_stall_ms": late_ms[int(len(late_ms) * 0.999)],
        "median_stall_ms": statistics.median(late_ms),
        "max_busy_ms": busy_ms[-1],
        "p999_busy_ms": busy_ms[int(len(busy_ms) * 0.999)],
    }
    log(f"  replay: longest stall {res['max_stall_ms']:.1f} ms (p99.9 {res['p999_stall_ms']:.1f} ms), "
        f"{received:,} frames to {cfg.clients} clients in {cfg.seconds:g} s")
    return res


def run(cfg: Config, log: Callable[[str], None] = print) -> dict[str, Any]:
    OUT.mkdir(parents=True, exist_ok=True)
    return {"config": dataclasses.asdict(cfg), "resync": _resync(cfg, log), "replay": _replay(cfg, log)}


def table(res: dict[str, Any]) -> list[str]:
    r, p = res["resync"], res["replay"]
    return [
        f"resync past {r['damaged_mib']:.1f} MiB of random bytes between two good blocks, best of 3:",
        f"  scan          {r['scan_ms_per_damaged_mib']:7.2f} ms per damaged MiB",
        f"  plain read    {r['plain_read_ms_per_mib']:7.2f} ms per MiB (1 MiB preads)",
        f"  intact pass   {r['intact_pass_ms_per_mib']:7.2f} ms per MiB (check, decompress, parse)",
        f"replay of a {p['capture_mb']:.0f} MB capture to {p['clients']} clients at speed {p['speed']:g}, "
        f"{p['seconds']:g} s: {p['frames_sent']:,} frames",
        f"  loop stall    longest {p['max_stall_ms']:.1f} ms, p99.9 {p['p999_stall_ms']:.1f} ms, "
        f"median {p['median_stall_ms']:.2f} ms",
        f"  loop's CPU    longest {p['max_busy_ms']:.1f} ms, p99.9 {p['p999_busy_ms']:.1f} ms "
        "(run by the loop's thread during one 1 ms sleep)",
    ]


def goals(res: dict[str, Any]) -> list[tuple[str, bool, str]]:
    r, p = res["resync"], res["replay"]
    return [
        ("capture: skipping damage costs less than reading intact data", r["scan_ms_per_damaged_mib"]
         < r["intact_pass_ms_per_mib"], f"{r['scan_ms_per_damaged_mib']:.2f} ms per damaged MiB, "
         f"{r['scan_ms_per_damaged_mib'] / r['plain_read_ms_per_mib']:.0f}x a read from the page cache"),
        (f"capture: replay to {p['clients']} clients stalls its loop < {STALL_GOAL_MS:g} ms",
         p["max_stall_ms"] < STALL_GOAL_MS, f"{p['max_stall_ms']:.1f} ms"),
    ]


if __name__ == "__main__":
    sys.exit("run bench/run.py --only capture")
