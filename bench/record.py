"""Record: what a recording adds to each frame on the event loop's thread.

The ticker's data path (decode, the quote dict, the callback and its task)
is driven directly, a frame at a time, through the test-support module, with
a stand-in loop whose create_task does nothing and a callback that returns
at once, so what is timed is the ticker's own per-frame work. Three taps:
  none      the normal path;
  null      a Python object whose write() does nothing: the ticker's side of
            a recording (the payload copied, the clock read, the call);
  recorder  a vornticker.recording.Recorder writing a file in bench/out/, its
            background thread sealing blocks (compression and writes) as in
            real use.
The cost of recording is recorder minus none. Rounds take turns so a burst
of load hits all three alike; best of the rounds, with the median of each
round's difference beside it. The same for a stream's route (the frames go
into a QuoteBuffer of 1,000 that drops the oldest, no callback): without a
tap and with the recorder.
"""

from __future__ import annotations

import dataclasses
import statistics
import sys
import time
from collections.abc import Callable
from typing import Any

from common import BENCH, OUT

sys.path.insert(0, str(BENCH))

import frames  # noqa: E402
from vornticker import recording  # noqa: E402
from vornticker.vornticker import QuoteBuffer, VornTicker  # noqa: E402

GOAL_NS = 2000


@dataclasses.dataclass(frozen=True)
class Config:
    frames: int  # per round and tap
    repeat: int


class _Loop:
    """Enough of an event loop for the ticker's data path."""

    def create_task(self, coro: object) -> None:
        pass

    def add_signal_handler(self, *args: object) -> None:
        pass

    def remove_signal_handler(self, *args: object) -> bool:
        return False


class _NullTap:
    def write(self, payload: bytes, recv_ns: int) -> None:
        pass

    def note_subscription(self, kind: str, symbols: list[str], recv_ns: int) -> None:
        pass


def _callback(value: object) -> None:
    return None


def _ns_per_frame(call: Callable[..., object], ticker: VornTicker, payloads: list[bytes], n: int) -> float:
    mask = len(payloads) - 1
    t0 = time.perf_counter_ns()
    for i in range(n):
        call(ticker, "on_data_callback", payloads[i & mask])
    return (time.perf_counter_ns() - t0) / n


def run(cfg: Config, log: Callable[[str], None] = print) -> dict[str, Any]:
    try:
        from vornticker import _testsupport as ts
    except ImportError:
        log("  record: skipped (no vornticker._testsupport in this build)")
        return {"config": dataclasses.asdict(cfg), "skipped": True}
    payloads = frames.plain_payloads(1024)  # a power of two, for the index mask
    ticker = VornTicker(_Loop())  # type: ignore[arg-type]
    ts.set_field(ticker, "_message_callback", _callback)
    ts.set_field(ticker, "_error_callback", _callback)
    OUT.mkdir(parents=True, exist_ok=True)
    path = OUT / "record-bench.vtr"
    path.unlink(missing_ok=True)
    streamed = VornTicker(_Loop())  # type: ignore[arg-type]
    QuoteBuffer(1000, 1 << 26, False, False, lambda: None, None).attach(streamed)
    taps: dict[str, Any] = {"none": None, "null": _NullTap()}
    names = ("none", "null", "recorder", "stream none", "stream recorder")
    times: dict[str, list[float]] = {name: [] for name in names}
    with recording.Recorder(path, {"symbols": []}) as rec:
        taps["recorder"] = rec
        runs = [(name, ticker, tap) for name, tap in taps.items()]
        runs += [("stream none", streamed, None), ("stream recorder", streamed, rec)]
        for name, target, tap in runs:  # an untimed round: caches, free lists, the file's first blocks
            target._set_frame_tap(tap)
            _ns_per_frame(ts.call, target, payloads, cfg.frames // 4)
        for _ in range(cfg.repeat):
            for name, target, tap in runs:
                target._set_frame_tap(tap)
                times[name].append(_ns_per_frame(ts.call, target, payloads, cfg.frames))
                target._set_frame_tap(None)
        written = rec.frames
    size = path.stat().st_size
    path.unlink()
    best = {name: min(values) for name, values in times.items()}
    res = {
        "config": dataclasses.asdict(cfg),
        "best_ns": best,
        "overhead_ns": best["recorder"] - best["none"],
        "overhead_median_ns": statistics.median(r - n for r, n in zip(times["recorder"], times["none"])),
        "tap_call_ns": best["null"] - best["none"],
        "stream_overhead_ns": best["stream recorder"] - best["stream none"],
        "stream_overhead_median_ns": statistics.median(
            r - n for r, n in zip(times["stream recorder"], times["stream none"])
        ),
        "frames_written": written,
        "bytes_per_frame": sum(map(len, payloads)) / len(payloads),
        "file_bytes_per_frame": size / max(written, 1),
    }
    log(f"  record: {best['none']:.0f} ns per frame without, {best['recorder']:.0f} ns recording: "
        f"+{res['overhead_ns']:.0f} ns; a stream's route {best['stream none']:.0f} ns, "
        f"+{res['stream_overhead_ns']:.0f} ns recording")
    return res


def table(res: dict[str, Any]) -> list[str]:
    if res.get("skipped"):
        return ["skipped: this build has no vornticker._testsupport"]
    b, cfg = res["best_ns"], res["config"]
    return [
        f"ns per frame on the loop's thread through the ticker's data path, best of {cfg['repeat']} rounds "
        f"of {cfg['frames']:,} frames",
        f"{'tap':<9} {'ns/frame':>9} {'added':>7}",
        f"{'none':<9} {b['none']:>9.0f} {'':>7}",
        f"{'null':<9} {b['null']:>9.0f} {b['null'] - b['none']:>+7.0f}   (the ticker's side: copy, clock, call)",
        f"{'recorder':<9} {b['recorder']:>9.0f} {res['overhead_ns']:>+7.0f}   "
        f"(median of the rounds' differences {res['overhead_median_ns']:+.0f})",
        f"{'stream':<9} {b['stream none']:>9.0f} {'':>7}   (a stream's route: into its buffer, no callback)",
        f"{'+ record':<9} {b['stream recorder']:>9.0f} {res['stream_overhead_ns']:>+7.0f}   "
        f"(median {res['stream_overhead_median_ns']:+.0f})",
        f"{res['bytes_per_frame']:.0f} payload bytes per frame, {res['file_bytes_per_frame']:.1f} in the file "
        "(the bench repeats 1,024 frames: real sessions compress less)",
    ]


def goals(res: dict[str, Any]) -> list[tuple[str, bool, str]]:
    if res.get("skipped"):
        return []
    return [(f"record: recording adds <= {GOAL_NS / 1000:g} us per frame", res["overhead_ns"] <= GOAL_NS,
             f"{res['overhead_ns']:.0f} ns (median {res['overhead_median_ns']:.0f} ns)"),
            (f"record: recording a stream adds <= {GOAL_NS / 1000:g} us per frame",
             res["stream_overhead_ns"] <= GOAL_NS, f"{res['stream_overhead_ns']:.0f} ns")]


if __name__ == "__main__":
    sys.exit("run bench/run.py --only record")
