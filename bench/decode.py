"""Decode: one frame payload to the quote dict, in one process, no I/O.

The pipelines and their timing loop are bench_decode.py's (decode_frame
against orjson/json + a2b_base64 + protobuf FromString + ListFields); this
section adds decode_pricing_data on the raw protobuf bytes (what the envelope
and base64 cost), the feed's own quote mix, and a floor.

The floor is what building the same dict costs in C with nothing to decode,
estimated from three C calls per frame, each timed alone with the loop
overhead (a call to id()) taken off, then summed with one loop overhead
added back so it compares with the pipelines' figures:
  dict.copy()      of the decoded dict: the table of the same size, values shared;
  Struct.unpack    of the numeric values packed as doubles and int64s: one new
                   float or int per number;
  str.split("\\0") of the string values joined: one new str per string (and a list).
It leaves out the varint and float reads, the envelope scan and base64, so a
decoder cannot reach it; it is there to show how much of decode_frame is
object construction that any producer of this dict pays. dict(pairs) and
marshal.loads of the same dict were tried as floors and are slower than
decode_frame itself, so they bound nothing.
"""

from __future__ import annotations

import binascii
import dataclasses
import struct
import sys
import time
from collections.abc import Callable
from typing import Any

import orjson

from common import BENCH, ROOT

sys.path.insert(0, str(BENCH))
sys.path.insert(0, str(ROOT / "tests"))

import bench_decode  # noqa: E402
import frames  # noqa: E402
import quotes  # noqa: E402
from vornticker.vornticker import decode_frame, decode_pricing_data  # noqa: E402


@dataclasses.dataclass(frozen=True)
class Config:
    iterations: int
    repeat: int


def shapes() -> dict[str, list[bytes]]:
    """bench_decode's sample quotes, one shape at a time, and the feed's mix."""
    out = {
        kind: [quotes.frame(quotes.sample_wire(kind), before='"type":"pricing",')]
        for kind in sorted(quotes.SAMPLE_QUOTES)
    }
    out["feed mix"] = frames.plain_payloads(1024)
    return out


def _floor_parts(d: dict[str, object]) -> list[tuple[Callable[[Any], object], object]]:
    nums = [v for v in d.values() if isinstance(v, (int, float))]
    fmt = struct.Struct("<" + "".join("d" if isinstance(v, float) else "q" for v in nums))
    strs = [v for v in d.values() if isinstance(v, str)]
    strs += [s for v in d.values() if isinstance(v, list) for s in v]
    return [(dict.copy, d), (fmt.unpack, fmt.pack(*nums)), ("\0".join(strs).split, "\0")]


def _best_pairs(calls: list[tuple[Callable[[Any], object], object]], iterations: int) -> float:
    per_round = max(1, iterations // len(calls))
    t0 = time.perf_counter_ns()
    for _ in range(per_round):
        for fn, arg in calls:
            fn(arg)
    return (time.perf_counter_ns() - t0) / (per_round * len(calls))


def measure(payloads: list[bytes], cfg: Config) -> dict[str, float]:
    wires = [binascii.a2b_base64(orjson.loads(p)["message"]) for p in payloads]
    decoded = [decode_frame(p) for p in payloads]
    # The pipelines must agree before their speed means anything. The Python
    # one leaves the repeated field as the runtime's container (less work).
    for p, w, d in zip(payloads, wires, decoded):
        theirs = bench_decode.python_orjson(p)
        theirs = {k: (list(v) if k == "indices" else v) for k, v in theirs.items()}
        assert d == theirs, (d, theirs)
        assert decode_pricing_data(w) == d
    parts = [_floor_parts(d) for d in decoded]
    floor_calls = [[p[i] for p in parts] for i in range(3)]
    noop_pairs: list[tuple[Callable[[Any], object], object]] = [(id, p) for p in payloads]

    best: dict[str, float] = {}

    def keep(name: str, value: float) -> None:
        best[name] = min(best.get(name, float("inf")), value)

    pipelines = [
        ("decode_frame", decode_frame, payloads),
        ("decode_pricing_data", decode_pricing_data, wires),
        ("python orjson", bench_decode.python_orjson, payloads),
        ("python json", bench_decode.python_json, payloads),
        ("noop", id, payloads),
    ]
    for name, fn, inputs in pipelines:  # an untimed round: caches, free lists, branch history
        bench_decode.best_ns_per_frame([(name, fn)], inputs, cfg.iterations // 4, 1)
    for _ in range(cfg.repeat):
        # One round of each, in turn, so a burst of load hits all alike.
        for name, fn, inputs in pipelines:
            keep(name, bench_decode.best_ns_per_frame([(name, fn)], inputs, cfg.iterations, 1)[name])
        keep("noop pairs", _best_pairs(noop_pairs, cfg.iterations))
        for i, calls in enumerate(floor_calls):
            keep(f"floor part {i}", _best_pairs(calls, cfg.iterations))
    best["floor"] = best["noop"] + sum(max(0.0, best[f"floor part {i}"] - best["noop pairs"]) for i in range(3))
    best["fields"] = sum(len(d) for d in decoded) / len(decoded)
    best["bytes"] = sum(len(p) for p in payloads) / len(payloads)
    return best


def run(cfg: Config, log: Callable[[str], None] = print) -> dict[str, Any]:
    res: dict[str, Any] = {"config": dataclasses.asdict(cfg), "shapes": {}}
    for name, payloads in shapes().items():
        r = measure(payloads, cfg)
        res["shapes"][name] = r
        log(f"  decode {name:<9} decode_frame {r['decode_frame']:6.0f} ns  python orjson {r['python orjson']:6.0f} ns")
    return res


def table(res: dict[str, Any]) -> list[str]:
    lines = [
        f"ns per frame, best of {res['config']['repeat']} rounds; "
        "ratios are python/decode_frame and decode_frame/floor",
        f"{'shape':<9} {'fields':>6} {'bytes':>5} {'decode_frame':>12} {'raw proto':>9} {'py orjson':>9} "
        f"{'py json':>8} {'floor':>6} {'vs orjson':>9} {'vs json':>8} {'vs floor':>8}",
    ]
    for name, r in res["shapes"].items():
        lines.append(
            f"{name:<9} {r['fields']:>6.1f} {r['bytes']:>5.0f} {r['decode_frame']:>12.0f} "
            f"{r['decode_pricing_data']:>9.0f} {r['python orjson']:>9.0f} {r['python json']:>8.0f} "
            f"{r['floor']:>6.0f} {r['python orjson'] / r['decode_frame']:>8.1f}x "
            f"{r['python json'] / r['decode_frame']:>7.1f}x {r['decode_frame'] / r['floor']:>7.2f}x"
        )
    lines += [
        "raw proto: decode_pricing_data on the protobuf bytes (no envelope, no base64).",
        "floor: the same dict made in C from values already decoded: dict.copy() + Struct.unpack of the",
        "  numbers + str.split of the strings, each net of loop overhead; no decoder can reach it.",
        f"loop overhead (a call to id()): {min(r['noop'] for r in res['shapes'].values()):.0f} ns, "
        "included in every figure.",
    ]
    return lines


def goals(res: dict[str, Any]) -> list[tuple[str, bool, str]]:
    worst = min(res["shapes"].items(), key=lambda kv: kv[1]["python orjson"] / kv[1]["decode_frame"])
    ratio = worst[1]["python orjson"] / worst[1]["decode_frame"]
    return [("decode: decode_frame >= 6x the orjson pipeline (slowest shape)", ratio >= 6,
             f"{ratio:.1f}x ({worst[0]})")]


if __name__ == "__main__":
    sys.exit("run bench/run.py --only decode")
