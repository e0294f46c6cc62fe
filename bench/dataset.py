"""Dataset: many captures into one hive-partitioned Parquet dataset
(vornticker.dataset.export_dataset), with one worker process and with two.

One capture of ``frames`` realistic quotes (1,024 distinct payloads, over
two UTC days) is recorded once and copied ``captures`` times; each run
exports all copies, partitioned by date and symbol, into a new directory.
Rows per second are the rows written over the run's wall time; the
speed-up is jobs=2 over jobs=1 (at most 2 on this machine's two cores, and
less while other work shares them).
"""

from __future__ import annotations

import dataclasses
import shutil
import sys
import time
from collections.abc import Callable
from typing import Any

from common import BENCH, OUT

sys.path.insert(0, str(BENCH))

import frames  # noqa: E402
from vornticker import recording  # noqa: E402
from vornticker.dataset import export_dataset  # noqa: E402

DAY_NS = 86_400 * 10**9
T0_NS = 1_765_000_000 * 10**9


@dataclasses.dataclass(frozen=True)
class Config:
    captures: int
    frames: int  # per capture
    jobs: tuple[int, ...] = (1, 2)


def _make_capture(path: Any, n: int) -> None:
    payloads = frames.plain_payloads(1024)
    step = 2 * DAY_NS // n
    with recording.Recorder(path, {"symbols": []}, overwrite=True) as rec:
        for i in range(n):
            rec.write(payloads[i & 1023], T0_NS + i * step)


def run(cfg: Config, log: Callable[[str], None] = print) -> dict[str, Any]:
    top = OUT / "dataset-bench"
    shutil.rmtree(top, ignore_errors=True)
    top.mkdir(parents=True)
    try:
        first = top / "c0.vtr"
        _make_capture(first, cfg.frames)
        paths = [first] + [top / f"c{i}.vtr" for i in range(1, cfg.captures)]
        for path in paths[1:]:
            shutil.copyfile(first, path)
        runs: dict[str, Any] = {}
        for jobs in cfg.jobs:
            t0 = time.perf_counter()
            result = export_dataset(paths, top / f"jobs{jobs}", partition_by=("date", "symbol"), jobs=jobs)
            seconds = time.perf_counter() - t0
            runs[str(jobs)] = {"seconds": seconds, "rows": result.rows, "rows_per_s": result.rows / seconds,
                               "files": sum(len(c.files) for c in result.captures)}
            log(f"  dataset: jobs={jobs}: {result.rows:,} rows in {seconds:.1f} s, {result.rows / seconds:,.0f} rows/s")
    finally:
        shutil.rmtree(top, ignore_errors=True)
    one, two = runs.get("1"), runs.get("2")
    speedup = two["rows_per_s"] / one["rows_per_s"] if one and two else None
    return {"config": dataclasses.asdict(cfg), "runs": runs, "speedup": speedup}


def table(res: dict[str, Any]) -> list[str]:
    cfg = res["config"]
    lines = [f"{cfg['captures']} captures of {cfg['frames']:,} frames to Parquet, partitioned by date and symbol",
             f"{'jobs':>4} {'seconds':>8} {'rows/s':>12} {'files':>6}"]
    for jobs, r in res["runs"].items():
        lines.append(f"{jobs:>4} {r['seconds']:>8.1f} {r['rows_per_s']:>12,.0f} {r['files']:>6}")
    if res["speedup"] is not None:
        lines.append(f"speed-up of 2 jobs over 1: {res['speedup']:.2f}x")
    return lines


def goals(res: dict[str, Any]) -> list[tuple[str, bool, str]]:
    if res["speedup"] is None:
        return []
    return [("dataset: two workers export faster than one", res["speedup"] > 1.2, f"{res['speedup']:.2f}x")]


if __name__ == "__main__":
    sys.exit("run bench/run.py --only dataset")
