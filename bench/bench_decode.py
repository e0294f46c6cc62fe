"""decode_frame against the pure-Python pipeline a user would write.

    python bench/bench_decode.py [--iterations N] [--repeat R]

For each realistic quote shape, and for a mix of them, prints the best
ns/frame of:
  vornticker   decode_frame(payload)
  orjson       orjson.loads -> binascii.a2b_base64 -> protobuf FromString ->
               ListFields into a dict (the sample quotes carry no repeated
               field, so no list() is needed: the fastest form)
  json         the same with the standard json module
and how many times faster decode_frame is.  Not a test: numbers only.
"""

import argparse
import binascii
import json
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import orjson  # noqa: E402

import quotes  # noqa: E402
from vornticker.vornticker import decode_frame  # noqa: E402

PricingData = quotes.PricingData
from_string = PricingData.FromString


def python_orjson(payload):
    msg = from_string(binascii.a2b_base64(orjson.loads(payload)["message"]))
    return {f.name: v for f, v in msg.ListFields()}


def python_json(payload):
    msg = from_string(binascii.a2b_base64(json.loads(payload)["message"]))
    return {f.name: v for f, v in msg.ListFields()}


def best_ns_per_frame(pipelines, frames, iterations, repeat):
    """Best ns/frame of each pipeline.  Rounds of the pipelines alternate so a
    burst of load on the machine hits them alike; the best round counts."""
    per_round = max(1, iterations // len(frames))
    best = {name: float("inf") for name, _ in pipelines}
    for _ in range(repeat):
        for name, fn in pipelines:
            t0 = time.perf_counter_ns()
            for _ in range(per_round):
                for p in frames:
                    fn(p)
            best[name] = min(best[name], (time.perf_counter_ns() - t0) / (per_round * len(frames)))
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--iterations", type=int, default=20_000, help="frames per timing round")
    ap.add_argument("--repeat", type=int, default=50, help="timing rounds; the best one counts")
    args = ap.parse_args()

    shapes = {
        kind: quotes.frame(quotes.sample_wire(kind), before='"type":"pricing",')
        for kind in sorted(quotes.SAMPLE_QUOTES)
    }
    shapes["mixed"] = None
    pipelines = [("vornticker", decode_frame), ("orjson", python_orjson), ("json", python_json)]

    # The pipelines must agree before their speed means anything.
    for kind, payload in shapes.items():
        if payload is not None:
            ours, theirs = decode_frame(payload), python_orjson(payload)
            assert ours == theirs, (kind, ours, theirs)

    print(f"{'shape':<8} {'fields':>6} {'bytes':>6}" + "".join(f" {name:>12}" for name, _ in pipelines)
          + "   orjson/ours   json/ours")
    ratios = []
    for kind, payload in shapes.items():
        frames = [p for p in shapes.values() if p is not None] if payload is None else [payload]
        fields = "-" if payload is None else str(len(decode_frame(payload)))
        size = "-" if payload is None else str(len(payload))
        times = best_ns_per_frame(pipelines, frames, args.iterations, args.repeat)
        r_orjson = times["orjson"] / times["vornticker"]
        r_json = times["json"] / times["vornticker"]
        ratios.append(r_orjson)
        print(f"{kind:<8} {fields:>6} {size:>6}" + "".join(f" {times[n]:>9.0f} ns" for n, _ in pipelines)
              + f"   {r_orjson:>10.1f}x  {r_json:>9.1f}x")
    print(f"\nslowest ratio against the orjson pipeline: {min(ratios):.1f}x (goal: 6x)")


if __name__ == "__main__":
    main()
