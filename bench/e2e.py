"""End to end: server process → loopback websocket → client process →
decoded dict → coroutine callback (or the stream's consumer), for vornticker's
callback API, its stream in its three forms (per quote, batches of at most
BATCH_MAX quotes, Arrow columns), and two Python clients, on three event loop configurations:
asyncio's default, asyncio with eager_task_factory, uvloop.

The server's ceiling: in every repeat and on each transport, the same
server streams the blast into a client that only counts bytes (client.py's
"discard"); the best of those rates is printed with the table, so each
figure can be read against what the server and the socket deliver at most.

Two kinds of run per contender and transport (wss:// with a CA made for the
run, and ws://):
- blast: N frames as fast as the client takes them. Quotes per second are
  counted at the callbacks, after the first tenth (warm-up). Latency here is
  mostly time spent queued in socket buffers, so it is kept but not ranked.
- paced: a steady rate that every contender sustains, in bursts of one loop
  tick (about 1 ms); latency from the server's write to the start of the
  callback is ranked from these runs (first tenth dropped as well).
Each run is a fresh server process and a fresh client process, on CPUs of
their own when the machine has two, kept awake by idle-class spinners with
--spin (see common.IdleSpinners; off by default since they stalled clients
for 80 to 105 ms in two runs of five on Linux 6.18). Contenders take turns within a repeat;
the median of the repeats is reported (the best too, for throughput).
"""

from __future__ import annotations

import dataclasses
import sys
from typing import Any

from common import OUT, STAMP_MASK, IdleSpinners, Tls, median, percentile, read_raw, run_pair

CONTENDERS = ("vornticker", "stream", "stream-batches", "stream-columns", "picows-py", "websockets")
# Batches of at most 256 quotes: under a blast one socket read brings tens of
# thousands of frames, and a list of that many dicts no longer fits a cache
# (batches() alone, everything waiting, runs at about half the rate).
BATCH_MAX = 256
CLIENT_ARGS = {"stream-batches": ["--max-quotes", str(BATCH_MAX)]}
TRANSPORTS = ("tls", "plain")
LOOPS = ("default", "eager", "uvloop")
LOOP_NAMES = {"default": "asyncio", "eager": "asyncio + eager tasks", "uvloop": "uvloop"}


@dataclasses.dataclass(frozen=True)
class Config:
    blast_n: int
    paced_rate: float
    paced_seconds: float
    blast_repeats: int  # throughput varies more from run to run than latency
    paced_repeats: int
    spin: bool = False
    loops: tuple[str, ...] = LOOPS


def _window_stats(path: Any) -> tuple[dict[str, float], list[float]]:
    arrivals, stamps = read_raw(path)
    n = len(arrivals)
    w = n // 10
    lat = sorted(((a - s) & STAMP_MASK) / 1e3 for a, s in zip(arrivals[w:], stamps[w:]))
    span = (arrivals[-1] - arrivals[w]) / 1e9 if n > w + 1 else float("nan")
    return {
        "quotes": n,
        "span_s": (arrivals[-1] - arrivals[0]) / 1e9 if n > 1 else float("nan"),
        "rate": (n - 1 - w) / span if span > 0 else float("nan"),
        "p50_us": percentile(lat, 0.50),
        "p90_us": percentile(lat, 0.90),
        "p99_us": percentile(lat, 0.99),
        "p999_us": percentile(lat, 0.999),
        "max_us": lat[-1] if lat else float("nan"),
    }, lat


def run(cfg: Config, tls: Tls, log: Any = print) -> dict[str, Any]:
    with IdleSpinners(cfg.spin):
        return _run(cfg, tls, log)


def _run(cfg: Config, tls: Tls, log: Any) -> dict[str, Any]:
    raw = OUT / "raw"
    raw.mkdir(parents=True, exist_ok=True)
    paced_n = max(100, int(cfg.paced_rate * cfg.paced_seconds))
    runs: dict[str, dict[str, dict[str, dict[str, list[dict[str, float]]]]]] = {
        lp: {t: {c: {"blast": [], "paced": []} for c in CONTENDERS} for t in TRANSPORTS} for lp in cfg.loops
    }
    latencies: dict[str, dict[str, dict[str, list[float]]]] = {
        lp: {t: {c: [] for c in CONTENDERS} for t in TRANSPORTS} for lp in cfg.loops
    }
    ceiling: dict[str, list[float]] = {t: [] for t in TRANSPORTS}
    repeats = max(cfg.blast_repeats, cfg.paced_repeats)
    for rep in range(repeats):
        if rep < cfg.blast_repeats:
            for transport in TRANSPORTS:
                result, _ = run_pair("discard", cfg.blast_n, tls=tls if transport == "tls" else None,
                                     client_args=[], server_args=["--mode", "blast"])
                ceiling[transport].append(result["rate"])
                log(f"  e2e {rep + 1}/{cfg.blast_repeats} server ceiling {transport:5} {result['rate']:11,.0f} frames/s")
        order = CONTENDERS[rep % len(CONTENDERS) :] + CONTENDERS[: rep % len(CONTENDERS)]
        kinds: list[tuple[str, int, list[str]]] = []
        if rep < cfg.blast_repeats:
            kinds.append(("blast", cfg.blast_n, ["--mode", "blast"]))
        if rep < cfg.paced_repeats:
            kinds.append(("paced", paced_n, ["--mode", "paced", "--rate", str(cfg.paced_rate)]))
        for loop in cfg.loops:
            for transport in TRANSPORTS:
                for contender in order:
                    for kind, n, server_args in kinds:
                        path = raw / f"{loop}-{transport}-{contender}-{kind}.bin"
                        result, server = run_pair(
                            contender, n, tls=tls if transport == "tls" else None,
                            client_args=["--raw", str(path), "--loop", loop, *CLIENT_ARGS.get(contender, [])],
                            server_args=server_args,
                        )
                        if result["quotes"] != n:
                            raise RuntimeError(f"{contender} on {loop} got {result['quotes']} of {n} quotes")
                        stats, lat = _window_stats(path)
                        # The server's CPU time against the client's time to take the
                        # frames: far below 1 means the client set the pace.
                        stats["server_cpu"] = server["cpu_seconds"] / max(stats["span_s"], 1e-9)
                        runs[loop][transport][contender][kind].append(stats)
                        where = f"{loop:7} {transport:5} {contender:10}"
                        if kind == "paced":
                            latencies[loop][transport][contender] += lat
                            log(f"  e2e {rep + 1}/{cfg.paced_repeats} {where} paced  "
                                f"p50 {stats['p50_us']:7.0f} us  p99 {stats['p99_us']:7.0f} us")
                        else:
                            log(f"  e2e {rep + 1}/{cfg.blast_repeats} {where} blast  "
                                f"{stats['rate']:9,.0f} quotes/s")
    summary: dict[str, dict[str, dict[str, dict[str, float]]]] = {}
    for loop in cfg.loops:
        summary[loop] = {}
        for transport in TRANSPORTS:
            summary[loop][transport] = {}
            for contender in CONTENDERS:
                blast, paced = (runs[loop][transport][contender][k] for k in ("blast", "paced"))
                summary[loop][transport][contender] = {
                    "rate": median([r["rate"] for r in blast]),
                    "rate_best": max(r["rate"] for r in blast),
                    "p50_us": median([r["p50_us"] for r in paced]),
                    "p99_us": median([r["p99_us"] for r in paced]),
                    "p999_us": median([r["p999_us"] for r in paced]),
                    "blast_p50_us": median([r["p50_us"] for r in blast]),
                    "server_cpu_blast": max(r["server_cpu"] for r in blast),
                }
    return {
        "config": dataclasses.asdict(cfg) | {"paced_n": paced_n},
        "ceiling": {t: max(r) for t, r in ceiling.items()},
        "summary": summary,
        "runs": runs,
        "_latencies": latencies,  # for the plots; not written to the JSON file
    }


def table(res: dict[str, Any]) -> list[str]:
    cfg = res["config"]
    lines = [
        f"throughput: {cfg['blast_n']:,} frames as fast as the client reads, "
        f"median of {cfg['blast_repeats']} runs (best in brackets)",
        f"latency: server write -> callback start at {cfg['paced_rate']:,.0f} quotes/s for "
        f"{cfg['paced_seconds']:g} s, median of {cfg['paced_repeats']} runs' percentiles",
        f"CPUs {'kept awake by idle-class spinners' if cfg['spin'] else 'left to idle (no --spin)'}; "
        "first tenth of every run dropped as warm-up; ratios against vornticker on the same loop",
        f"{'loop':<8} {'transport':<9} {'contender':<11} {'quotes/s':>10} {'(best)':>10} {'p50 us':>8} "
        f"{'p99 us':>8} {'rate vs vornticker':>19} {'p99 vs vornticker':>18}",
    ]
    for loop in res["summary"]:
        for transport in TRANSPORTS:
            s = res["summary"][loop][transport]
            ours = s["vornticker"]
            for contender in CONTENDERS:
                r = s[contender]
                lines.append(
                    f"{loop:<8} {transport:<9} {contender:<11} {r['rate']:>10,.0f} {r['rate_best']:>10,.0f} "
                    f"{r['p50_us']:>8.0f} {r['p99_us']:>8.0f} {r['rate'] / ours['rate']:>18.2f}x "
                    f"{r['p99_us'] / ours['p99_us']:>17.2f}x"
                )
    busy = max(r["server_cpu_blast"] for lp in res["summary"].values() for t in lp.values() for r in t.values())
    lines.append(f"(the server used at most {busy:.0%} of a client's receiving time in CPU: the clients set the pace)")
    if "ceiling" in res:
        lines.append("server ceiling, into a client that discards the bytes (best run): " + ", ".join(
            f"{'wss://' if t == 'tls' else 'ws://'} {r:,.0f} frames/s" for t, r in res["ceiling"].items()))
    return lines


def goals(res: dict[str, Any]) -> list[tuple[str, bool, str]]:
    out = []
    for loop, by_transport in res["summary"].items():
        for transport in TRANSPORTS:
            s = by_transport[transport]
            v, st, w, p = s["vornticker"], s["stream"], s["websockets"], s["picows-py"]
            sb, sc = s["stream-batches"], s["stream-columns"]
            where = f"e2e {loop} {transport}"
            if loop == "default":
                out += [
                    (f"{where}: quotes/s >= 3x websockets client", v["rate"] >= 3 * w["rate"],
                     f"{v['rate'] / w['rate']:.2f}x"),
                    (f"{where}: quotes/s >= 1.5x picows + Python decoding", v["rate"] >= 1.5 * p["rate"],
                     f"{v['rate'] / p['rate']:.2f}x"),
                    (f"{where}: p99 latency <= half the websockets client's", v["p99_us"] <= 0.5 * w["p99_us"],
                     f"{v['p99_us']:.0f} us vs {w['p99_us']:.0f} us ({v['p99_us'] / w['p99_us']:.2f})"),
                ]
            columns_goal = 1_000_000 if transport == "tls" else 1_500_000
            out += [
                (f"{where}: stream quotes/s >= 2x the callback API", st["rate"] >= 2 * v["rate"],
                 f"{st['rate'] / v['rate']:.2f}x"),
                (f"{where}: stream batches >= 3x the callback API", sb["rate"] >= 3 * v["rate"],
                 f"{sb['rate'] / v['rate']:.2f}x"),
                (f"{where}: stream batches >= 10x the websockets client", sb["rate"] >= 10 * w["rate"],
                 f"{sb['rate'] / w['rate']:.2f}x"),
                (f"{where}: stream columns >= {columns_goal:,} quotes/s", sc["rate"] >= columns_goal,
                 f"{sc['rate']:,.0f}"),
                (f"{where}: stream p99 latency <= the callback API's", st["p99_us"] <= v["p99_us"],
                 f"{st['p99_us']:.0f} us vs {v['p99_us']:.0f} us ({st['p99_us'] / v['p99_us']:.2f})"),
                (f"{where}: stream batches p99 latency <= the callback API's", sb["p99_us"] <= v["p99_us"],
                 f"{sb['p99_us']:.0f} us vs {v['p99_us']:.0f} us ({sb['p99_us'] / v['p99_us']:.2f})"),
            ]
    return out


if __name__ == "__main__":
    sys.exit("run bench/run.py --only e2e")
