"""Columnar: many frames to a table, in one process, no I/O.

For the sample quotes (14 to 16 fields, the three shapes in turn) and the
feed's mix, the best ns per frame of:
  columnar      pyarrow.table(decode_columns(payloads)): C++ decoding into
                Arrow batches, taken by pyarrow through the C stream
  decode only   decode_columns(payloads) alone
  to polars     polars.DataFrame(decode_columns(payloads))
  dicts         pyarrow.Table.from_pylist([decode_frame(p) for p in payloads])
  python        the pure-Python pipeline (bench_decode.python_orjson: orjson,
                a2b_base64, protobuf FromString, ListFields) into
                pandas.DataFrame(dicts)
  to pandas     pyarrow.table(decode_columns(payloads)).to_pandas(), the
                columnar path ending where the Python one does
Each pipeline runs on a list of `frames` payloads, the pure-Python one on
`python_frames` of them (it is tens of times slower; fewer frames
only flatter it, as the cost per frame of a pipeline that keeps a dict per
frame grows with the number of dicts alive), best of `repeat` rounds taken in
turn. Frames/s and payload bytes/s follow from the
ns per frame. Everything runs on one thread: polars is held to one, pyarrow's
conversion to pandas is asked for none.
"""

from __future__ import annotations

import dataclasses
import gc
import os
import sys
import time
from collections.abc import Callable
from typing import Any

from common import BENCH, ROOT

sys.path.insert(0, str(BENCH))
sys.path.insert(0, str(ROOT / "tests"))

import bench_decode  # noqa: E402
import frames  # noqa: E402
os.environ.setdefault("POLARS_MAX_THREADS", "1")  # before polars is imported

import pandas  # noqa: E402
import polars  # noqa: E402
import pyarrow  # noqa: E402
import quotes  # noqa: E402
from vornticker.vornticker import decode_columns, decode_frame  # noqa: E402


@dataclasses.dataclass(frozen=True)
class Config:
    frames: int
    python_frames: int
    repeat: int


PIPELINES: dict[str, Callable[[list[bytes]], object]] = {
    "columnar": lambda ps: pyarrow.table(decode_columns(ps)),
    "decode only": decode_columns,
    "to polars": lambda ps: polars.DataFrame(decode_columns(ps)),
    "to pandas": lambda ps: pyarrow.table(decode_columns(ps)).to_pandas(use_threads=False),
    "dicts": lambda ps: pyarrow.Table.from_pylist([decode_frame(p) for p in ps]),
    "python": lambda ps: pandas.DataFrame([bench_decode.python_orjson(p) for p in ps]),
}
_SLOW = ("python",)


def shapes(n: int) -> dict[str, list[bytes]]:
    sample = [quotes.frame(quotes.sample_wire(kind), before='"type":"pricing",')
              for kind in sorted(quotes.SAMPLE_QUOTES)]
    mix = frames.plain_payloads(1024)
    return {"sample": (sample * (n // len(sample) + 1))[:n], "feed mix": (mix * (n // len(mix) + 1))[:n]}


def _ns_per_frame(fn: Callable[[list[bytes]], object], payloads: list[bytes]) -> float:
    gc.collect()
    t0 = time.perf_counter_ns()
    result = fn(payloads)
    elapsed = time.perf_counter_ns() - t0
    del result
    return elapsed / len(payloads)


def measure(payloads: list[bytes], cfg: Config) -> dict[str, float]:
    # The columns must hold what decode_frame gives before their speed means anything.
    check = payloads[:2000]
    assert decode_columns(check).to_pylist() == [decode_frame(p) for p in check]
    assert pyarrow.table(decode_columns(check)).num_rows == len(check)
    inputs = {name: payloads[: cfg.python_frames] if name in _SLOW else payloads for name in PIPELINES}
    best = {name: float("inf") for name in PIPELINES}
    for name, fn in PIPELINES.items():  # an untimed round
        fn(inputs[name][:1000])
    for _ in range(cfg.repeat):
        for name, fn in PIPELINES.items():
            best[name] = min(best[name], _ns_per_frame(fn, inputs[name]))
    best["bytes"] = sum(len(p) for p in payloads) / len(payloads)
    best["fields"] = sum(len(decode_frame(p)) for p in check) / len(check)
    return best


def run(cfg: Config, log: Callable[[str], None] = print) -> dict[str, Any]:
    res: dict[str, Any] = {
        "config": dataclasses.asdict(cfg),
        "versions": {m.__name__: m.__version__ for m in (pyarrow, polars, pandas)},
        "shapes": {},
    }
    for name, payloads in shapes(cfg.frames).items():
        r = measure(payloads, cfg)
        res["shapes"][name] = r
        log(f"  columnar {name:<8} {1e3 / r['columnar']:5.2f} M frames/s, dicts + from_pylist "
            f"{1e3 / r['dicts']:5.2f} M frames/s")
    return res


def table(res: dict[str, Any]) -> list[str]:
    names = list(PIPELINES)
    cfg = res["config"]
    lines = [
        f"ns per frame, best of {cfg['repeat']} rounds over {cfg['frames']} frames "
        f"({cfg['python_frames']} for python); one thread; "
        + ", ".join(f"{k} {v}" for k, v in res["versions"].items()),
        f"{'shape':<9} {'fields':>6} {'bytes':>5}" + "".join(f" {n:>11}" for n in names)
        + f" {'M frames/s':>10} {'MB/s':>6} {'vs dicts':>8} {'vs python':>9}",
    ]
    for shape, r in res["shapes"].items():
        fps = 1e9 / r["columnar"]
        lines.append(
            f"{shape:<9} {r['fields']:>6.1f} {r['bytes']:>5.0f}" + "".join(f" {r[n]:>11.0f}" for n in names)
            + f" {fps / 1e6:>10.2f} {fps * r['bytes'] / 1e6:>6.0f} {r['dicts'] / r['columnar']:>7.1f}x"
            f" {r['python'] / r['columnar']:>8.1f}x"
        )
    lines += [
        "columnar: pyarrow.table(decode_columns(payloads)); M frames/s and MB/s (payload bytes) are its.",
        "dicts: pyarrow.Table.from_pylist of decode_frame's dicts; python: orjson + base64 + protobuf",
        "  into pandas.DataFrame; to pandas: the columnar table's .to_pandas().",
    ]
    return lines


def goals(res: dict[str, Any]) -> list[tuple[str, bool, str]]:
    shapes_ = res["shapes"]
    worst = min(shapes_.items(), key=lambda kv: kv[1]["dicts"] / kv[1]["columnar"])
    ratio = worst[1]["dicts"] / worst[1]["columnar"]
    fps = 1e9 / shapes_["sample"]["columnar"]
    return [
        ("columnar: decode_columns + pyarrow.table >= 10x decode_frame + Table.from_pylist (slowest shape)",
         ratio >= 10, f"{ratio:.1f}x ({worst[0]})"),
        ("columnar: >= 2,000,000 frames/s on the sample quotes, one core", fps >= 2e6, f"{fps / 1e6:.2f} M frames/s"),
    ]


if __name__ == "__main__":
    sys.exit("run bench/run.py --only columnar")
