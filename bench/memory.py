"""Memory: does a long stream grow the client, and does the frame path call
the C allocator?

Growth: a vornticker client takes `frames` quotes from a plain ws:// server
(the fastest way to push millions), as fast as it reads them but in bursts
of 1000, each asked for when the one before has been handled. Unbounded, the
client would read megabytes of frames at once, each waiting as a task with its
dict, and the memory figures would follow that backlog's high-water mark, not
the frame path. After the warm-up, at the end of every `sample_every` quotes,
when no quote is waiting, it samples its resident set (/proc/self/statm); a
second run does the same under tracemalloc (which sees the interpreter's
allocations, not C malloc). Growth is the last sample minus the first. The
baseline client (below) is sampled the same way, for comparison.

C allocations: bench/malloc_count.c, built here with the C compiler of the
environment and loaded with LD_PRELOAD, counts calls to malloc, calloc,
realloc and the aligned allocators. The default allocator stays in place
(no PYTHONMALLOC=malloc): small Python objects come from the interpreter's
own arenas, which it maps with mmap, so they do not count; a large one (a
dict's table above 512 bytes, for instance) does. Per frame:
- decode loop: decode_frame over the feed's mix, and the same dicts built in
  C from ready values (dict(pairs), the interpreter's own cost of a dict this
  size), in a process of its own;
- live: the vornticker client against a baseline client on the same server
  (picows, no decoding, the same dicts built with dict(zip(keys, values))
  and the same task per quote). The difference is what vornticker adds.
"""

from __future__ import annotations

import argparse
import ctypes
import dataclasses
import json
import os
import shutil
import subprocess
import sys
from typing import Any

from common import BENCH, OUT, ROOT, run_pair

MiB = 1 << 20


@dataclasses.dataclass(frozen=True)
class Config:
    sample_every: int  # quotes between two samples (a multiple of BURST)
    warmup_samples: int  # intervals before the first sample
    samples: int  # intervals sampled; frames = sample_every * (warmup_samples + samples)
    picows_py_samples: int  # intervals for the allocation count of picows + Python decoding
    decode_frames: int

    @property
    def frames(self) -> int:
        return self.sample_every * (self.warmup_samples + self.samples)

    @property
    def warmup(self) -> int:
        return self.sample_every * self.warmup_samples


BURST = 1000
STREAM_FORMS = ("stream", "stream-batches", "stream-columns")


def build_counter() -> tuple[str | None, str]:
    """Compiles the LD_PRELOAD counter; (path, why not) if it cannot."""
    cc = shutil.which("gcc") or shutil.which("cc")
    if cc is None:
        return None, "no C compiler on PATH"
    so = OUT / "malloc_count.so"
    src = BENCH / "malloc_count.c"
    r = subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", str(so), str(src)], capture_output=True, text=True)
    if r.returncode != 0:
        return None, f"{cc} failed: {r.stderr.strip()[:500]}"
    return str(so), ""


def counter_env(so: str) -> dict[str, str]:
    return os.environ | {"LD_PRELOAD": so, "VORN_BENCH_MALLOC_COUNTER": so}


def _growth(samples: list[dict[str, int]], key: str) -> dict[str, float]:
    values = [s[key] for s in samples]
    return {"first": values[0], "last": values[-1], "growth": values[-1] - values[0],
            "range": max(values) - min(values)}


def _mallocs_per_frame(samples: list[dict[str, int]]) -> float:
    a, b = samples[0], samples[-1]
    return (b["mallocs"] - a["mallocs"]) / max(1, b["quotes"] - a["quotes"])


def run(cfg: Config, log: Any = print) -> dict[str, Any]:
    so, why = build_counter()
    res: dict[str, Any] = {
        "config": dataclasses.asdict(cfg) | {"frames": cfg.frames, "warmup": cfg.warmup},
        "counter": so is not None,
        "counter_note": why,
    }
    env = counter_env(so) if so else None
    burst = ["--burst", str(BURST)]
    mem_args = ["--memory", *burst, "--sample-every", str(cfg.sample_every), "--warmup", str(cfg.warmup)]

    res["live_mallocs"] = {}
    for contender in ("vornticker", "picows-null"):
        r, _ = run_pair(contender, cfg.frames, tls=None, client_args=mem_args, server_args=burst, env=env,
                        timeout=900)
        key = "rss" if contender == "vornticker" else "baseline_rss"
        res[key] = _growth(r["samples"], "rss") | {"samples": r["samples"]}
        log(f"  memory {contender} {cfg.frames:,} frames: RSS {res[key]['growth'] / 1024:+.0f} KiB after warm-up")
        if so:
            res["live_mallocs"][contender] = _mallocs_per_frame(r["samples"])

    # The stream's three forms, the same way: what waits is in the stream's
    # buffer instead of tasks, and each burst is taken in steps.
    res["streams"] = {}
    for contender in STREAM_FORMS:
        r, _ = run_pair(contender, cfg.frames, tls=None, client_args=mem_args, server_args=burst, env=env,
                        timeout=900)
        form = _growth(r["samples"], "rss")
        if so:
            form["mallocs"] = _mallocs_per_frame(r["samples"])
        res["streams"][contender] = form
        log(f"  memory {contender} {cfg.frames:,} frames: RSS {form['growth'] / 1024:+.0f} KiB after warm-up"
            + (f", {form['mallocs']:.3f} mallocs/frame" if so else ""))

    r, _ = run_pair("vornticker", cfg.frames, tls=None, client_args=[*mem_args, "--tracemalloc"],
                    server_args=burst, timeout=1800)
    res["traced"] = _growth(r["samples"], "traced") | {"samples": r["samples"]}
    log(f"  memory vornticker {cfg.frames:,} frames under tracemalloc: {res['traced']['growth'] / 1024:+.1f} KiB")

    if so:
        n = cfg.sample_every * (cfg.warmup_samples + cfg.picows_py_samples)
        r, _ = run_pair("picows-py", n, tls=None, client_args=mem_args, server_args=burst, env=env)
        res["live_mallocs"]["picows-py"] = _mallocs_per_frame(r["samples"])
        log("  memory live mallocs/frame: "
            + ", ".join(f"{k} {v:.3f}" for k, v in res["live_mallocs"].items()))
        probe = subprocess.run(
            [sys.executable, str(BENCH / "memory.py"), "--probe", str(cfg.decode_frames)],
            capture_output=True, text=True, cwd=ROOT, env=env, timeout=600,
        )
        if probe.returncode != 0:
            raise RuntimeError(f"decode malloc probe failed:\n{probe.stderr[-2000:]}")
        res["decode_mallocs"] = json.loads(probe.stdout.splitlines()[-1])
        log("  memory decode mallocs/frame: "
            + ", ".join(f"{k} {v:.3f}" for k, v in res["decode_mallocs"].items()))
    return res


def table(res: dict[str, Any]) -> list[str]:
    cfg = res["config"]
    rss, base, traced = res["rss"], res["baseline_rss"], res["traced"]
    lines = [
        f"{cfg['frames']:,} frames over ws:// in bursts of {BURST}, sampled every {cfg['sample_every']:,} "
        f"after {cfg['warmup']:,} of warm-up",
        f"resident set      {rss['first'] / MiB:8.1f} MiB -> {rss['last'] / MiB:8.1f} MiB  "
        f"growth {rss['growth'] / 1024:+8.0f} KiB  (range {rss['range'] / 1024:.0f} KiB)",
        f"  baseline client {base['first'] / MiB:8.1f} MiB -> {base['last'] / MiB:8.1f} MiB  "
        f"growth {base['growth'] / 1024:+8.0f} KiB  (picows, same dicts built in C, no decoding)",
        f"tracemalloc       {traced['first'] / MiB:8.2f} MiB -> {traced['last'] / MiB:8.2f} MiB  "
        f"growth {traced['growth'] / 1024:+8.1f} KiB  (range {traced['range'] / 1024:.0f} KiB)",
    ]
    if not res["counter"]:
        lines.append(f"C allocation counter unavailable: {res['counter_note']}")
        return lines
    live, dec = res["live_mallocs"], res["decode_mallocs"]
    lines += [
        "C allocator calls per frame (LD_PRELOAD counter; pymalloc's small objects never reach it):",
        f"  decode loop  decode_frame {dec['decode_frame']:.3f}   decode_pricing_data {dec['decode_pricing_data']:.3f}"
        f"   same dicts via dict(pairs) {dec['dict(pairs)']:.3f}   python orjson pipeline {dec['python orjson']:.3f}",
        f"  decode loop  vornticker's own: {dec['decode_frame'] - dec['dict(pairs)']:+.3f} per frame; on the "
        f"14-16 field sample quotes {dec['samples decode_frame']:.3f} against {dec['samples dict(pairs)']:.3f}",
        f"  live         vornticker {live['vornticker']:.3f}   baseline (picows, same dicts, no decoding) "
        f"{live['picows-null']:.3f}   picows + Python decoding {live['picows-py']:.3f}",
        f"  live         vornticker's own: {live['vornticker'] - live['picows-null']:+.3f} per frame",
    ]
    return lines + _stream_lines(res)


def _stream_lines(res: dict[str, Any]) -> list[str]:
    lines = ["the stream's forms, the same run (mallocs against the baseline client's, per frame):"]
    base = res.get("live_mallocs", {}).get("picows-null")
    for name, form in res.get("streams", {}).items():
        extra = "" if base is None else f"   C allocator calls {form['mallocs']:.3f} ({form['mallocs'] - base:+.3f})"
        lines.append(f"  {name:<15} RSS {form['first'] / MiB:6.1f} MiB -> {form['last'] / MiB:6.1f} MiB  "
                     f"growth {form['growth'] / 1024:+6.0f} KiB{extra}")
    return lines


def goals(res: dict[str, Any]) -> list[tuple[str, bool, str]]:
    out = [
        ("memory: RSS growth < 1 MiB over the stream", res["rss"]["growth"] < MiB,
         f"{res['rss']['growth'] / 1024:+.0f} KiB"),
        ("memory: tracemalloc growth < 1 MiB over the stream", res["traced"]["growth"] < MiB,
         f"{res['traced']['growth'] / 1024:+.1f} KiB"),
    ]
    if res["counter"]:
        dec, live = res["decode_mallocs"], res["live_mallocs"]
        own_dec = dec["decode_frame"] - dec["dict(pairs)"]
        own_live = live["vornticker"] - live["picows-null"]
        # Far below one call per frame: what is left is the loop's and the
        # transport's own, now and then.
        out.append(("memory: no C allocation of vornticker's own per frame", own_dec < 0.01 and own_live < 0.05,
                    f"decode {own_dec:+.3f}, live {own_live:+.3f} per frame"))
    for name, form in res.get("streams", {}).items():
        out.append((f"memory: {name} RSS growth < 1 MiB over the stream", form["growth"] < MiB,
                    f"{form['growth'] / 1024:+.0f} KiB"))
        if "mallocs" in form and name == "stream-columns":
            # No dict at all: every call is for a step's Arrow buffers (per
            # batch, not per frame; a step here is at most one burst).
            per_step = form["mallocs"] * BURST
            out.append((f"memory: {name} C allocations per step (batch of up to {BURST}) < {BURST}",
                        per_step < BURST, f"{per_step:.0f} per step, {form['mallocs']:.3f} per frame"))
        elif "mallocs" in form:
            own = form["mallocs"] - res["live_mallocs"]["picows-null"]
            out.append((f"memory: {name} C allocations per frame beyond the baseline's dicts < 0.05", own < 0.05,
                        f"{own:+.3f} per frame"))
    return out


# --- the decode-loop probe, run in a process with the counter preloaded ---------------------


def probe(frames_total: int) -> dict[str, float]:
    sys.path.insert(0, str(BENCH))
    sys.path.insert(0, str(ROOT / "tests"))
    import binascii

    import orjson

    import bench_decode
    import frames
    import quotes
    from vornticker.vornticker import decode_frame, decode_pricing_data

    lib = ctypes.CDLL(os.environ["VORN_BENCH_MALLOC_COUNTER"])
    count = lib.vorn_malloc_count
    count.restype = ctypes.c_uint64
    payloads = frames.plain_payloads(1024)
    wires = [binascii.a2b_base64(orjson.loads(p)["message"]) for p in payloads]
    pairs = [tuple(decode_frame(p).items()) for p in payloads]
    # bench_decode's sample quotes: 14 to 16 fields, the common size
    samples = [quotes.frame(quotes.sample_wire(kind), before='"type":"pricing",') for kind in quotes.SAMPLE_QUOTES]
    sample_pairs = [tuple(decode_frame(p).items()) for p in samples]

    def per_frame(fn: Any, inputs: list[Any]) -> float:
        rounds = max(1, frames_total // len(inputs))
        for x in inputs:  # warm-up: buffers, caches and free lists filled
            fn(x)
        c0 = count()
        for _ in range(rounds):
            for x in inputs:
                fn(x)
        return (count() - c0) / (rounds * len(inputs))

    return {
        "decode_frame": per_frame(decode_frame, payloads),
        "decode_pricing_data": per_frame(decode_pricing_data, wires),
        "dict(pairs)": per_frame(dict, pairs),
        "python orjson": per_frame(bench_decode.python_orjson, payloads[: max(1, len(payloads) // 4)]),
        "samples decode_frame": per_frame(decode_frame, samples * 64),
        "samples dict(pairs)": per_frame(dict, sample_pairs * 64),
    }


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--probe", type=int, required=True, help="frames to decode under the counter")
    print(json.dumps(probe(ap.parse_args().probe)))
