"""Pause: back-pressure without loss. The server blasts N frames over ws://
into `vornticker.stream(..., overflow="pause")` with a bounded buffer and a
consumer slower than the server (it sleeps after every 1,000 quotes), so the
buffer fills again and again and the stream stops reading the socket each
time. Counted: quotes the consumer got (all N, in the server's order),
stats.dropped (0), how long reading was paused, and reconnections (0: the
connection survives the pauses)."""

from __future__ import annotations

import dataclasses
import sys
from typing import Any

from common import run_pair


@dataclasses.dataclass(frozen=True)
class Config:
    frames: int
    maxsize: int
    slow_ms: float  # the consumer's sleep after every 1,000 quotes


def run(cfg: Config, log: Any = print) -> dict[str, Any]:
    result, server = run_pair(
        "stream-pause", cfg.frames, tls=None, server_args=["--mode", "blast"],
        client_args=["--maxsize", str(cfg.maxsize), "--slow-ms", str(cfg.slow_ms)],
        timeout=max(300.0, cfg.frames / 1000 * cfg.slow_ms / 1000 * 3),
    )  # fmt: skip
    res = {"config": dataclasses.asdict(cfg), "client": result, "server_seconds": server.get("cpu_seconds")}
    log(f"  pause: {result['quotes']:,} of {cfg.frames:,} quotes, {result['dropped']:,} dropped, "
        f"paused {result['paused_s']:.1f} s of {result['seconds']:.1f} s")
    return res


def table(res: dict[str, Any]) -> list[str]:
    cfg, c = res["config"], res["client"]
    return [
        f"{cfg['frames']:,} frames blasted over ws:// into stream(overflow=\"pause\", maxsize={cfg['maxsize']:,}), "
        f"consumer sleeping {cfg['slow_ms']:g} ms after every 1,000 quotes",
        f"quotes delivered {c['quotes']:,}  received {c['received']:,}  dropped {c['dropped']:,}  "
        f"out of order {c['out_of_order']:,}  reconnections {c['reconnects']}",
        f"{c['seconds']:.1f} s ({c['quotes'] / c['seconds']:,.0f} quotes/s), reading paused {c['paused_s']:.1f} s "
        f"({c['paused_s'] / c['seconds']:.0%})",
    ]


def goals(res: dict[str, Any]) -> list[tuple[str, bool, str]]:
    cfg, c = res["config"], res["client"]
    lossless = c["quotes"] == cfg["frames"] and c["dropped"] == 0 and c["out_of_order"] == 0
    return [(f"pause: 0 quotes lost over {cfg['frames']:,} with a slow consumer", lossless,
             f"{cfg['frames'] - c['quotes']:,} lost, {c['dropped']:,} dropped, {c['out_of_order']:,} out of order, "
             f"paused {c['paused_s']:.1f} s")]


if __name__ == "__main__":
    sys.exit("run bench/run.py --only pause")
