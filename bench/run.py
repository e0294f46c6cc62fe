"""The benchmark suite: `./dev bench [--quick] [--only e2e|decode|columnar|memory]`.

  e2e     quotes/s and latency through a real websocket on loopback (wss://
          with a CA made for the run, and ws://), vornticker's callback API
          and its stream against a websockets client and a picows client
          that decode in Python, on asyncio's loop, asyncio's loop with
          eager tasks, and uvloop
  decode  decode_frame against the pure-Python pipeline and a C floor
  columnar  many frames to a table: decode_columns into pyarrow, polars and
          pandas against decode_frame + Table.from_pylist and the pure-Python
          pipeline into pandas
  memory  RSS and tracemalloc growth over a long stream; C allocator calls
          per frame, counted with an LD_PRELOAD shim
  record  what recording to a capture file adds to each frame on the loop's thread
  capture what reading past damage costs per damaged MiB; the longest stall
          of a replay's loop serving 20 clients
  dataset  captures into a partitioned Parquet dataset with one and two
          worker processes: rows/s and the speed-up
  pause   a million frames into stream(overflow="pause") with a consumer
          slower than the server: nothing dropped, nothing out of order

Prints the machine, one table per section and the goals met or missed;
writes bench/out/results.json, bench/out/report.txt and PNG plots to
bench/out/. Exits 0 whether or not the goals are met: these are numbers, not
tests. --quick is a smoke run (well under a minute); the default takes a few
minutes.
"""

from __future__ import annotations

import argparse
import datetime as dt
import hashlib
import importlib
import importlib.metadata
import json
import os
import platform
import subprocess
import sys
import time
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import OUT, ROOT, make_tls  # noqa: E402

SECTIONS = ("e2e", "decode", "columnar", "memory", "record", "capture", "dataset", "pause")


def ensure_dependencies() -> None:
    """Installs requirements/bench.txt when any of its pins is missing (the
    test environment does not carry the benchmark's extra packages)."""
    req = ROOT / "requirements" / "bench.txt"
    pins = [line.split("#")[0].strip() for line in req.read_text().splitlines()]
    stale = []
    for pin in filter(None, pins):
        name, _, want = pin.partition("==")
        try:
            if importlib.metadata.version(name) != want:
                stale.append(pin)
        except importlib.metadata.PackageNotFoundError:
            stale.append(pin)
    if stale:
        log(f"[bench] installing {req.relative_to(ROOT)} ({', '.join(stale)})")
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "-r", str(req)], check=True)
        importlib.invalidate_caches()


def _first(path: str, prefix: str) -> str:
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(prefix):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "?"


def _git_index() -> dict[str, bytes]:
    """path -> blob id of the git index (version 2 or 3)."""
    data = (ROOT / ".git" / "index").read_bytes()
    if data[:4] != b"DIRC" or int.from_bytes(data[4:8]) not in (2, 3):
        raise ValueError("unsupported index")
    out, pos = {}, 12
    for _ in range(int.from_bytes(data[8:12])):
        sha, flags = data[pos + 40 : pos + 60], int.from_bytes(data[pos + 60 : pos + 62])
        start = pos + 62 + (2 if flags & 0x4000 else 0)
        end = data.index(b"\0", start)
        out[data[start:end].decode()] = sha
        pos += (end - pos + 8) // 8 * 8
    return out


def commit() -> str:
    """HEAD, and whether the sources that go into the extension differ from
    it (read from .git directly: the build environment has no git)."""
    git = ROOT / ".git"
    try:
        head = (git / "HEAD").read_text().strip()
        if head.startswith("ref: "):
            ref = head[5:]
            path = git / ref
            if path.exists():
                head = path.read_text().strip()
            else:
                packed = (git / "packed-refs").read_text().splitlines()
                head = next(line.split()[0] for line in packed if line.endswith(" " + ref))
    except (OSError, StopIteration):
        return "?"
    try:
        index = _git_index()
    except (OSError, ValueError):
        return head[:10]
    changed = []
    for path in sorted((ROOT / "src").rglob("*")) + [ROOT / "CMakeLists.txt"]:
        if path.is_file():
            rel = path.relative_to(ROOT).as_posix()
            body = path.read_bytes()
            if hashlib.sha1(b"blob %d\0" % len(body) + body).digest() != index.get(rel):
                changed.append(rel)
    return head[:10] + (f" + uncommitted changes in {', '.join(changed)}" if changed else "")


def machine() -> dict[str, Any]:
    def version(dist: str) -> str:
        try:
            return importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            return "-"

    mem_kb = _first("/proc/meminfo", "MemTotal").split()[0]
    return {
        "cpu": _first("/proc/cpuinfo", "model name"),
        "cores": os.cpu_count(),
        "memory_gib": round(int(mem_kb) / (1 << 20), 1) if mem_kb.isdigit() else None,
        "kernel": platform.release(),
        "python": platform.python_version() + ("" if sys._is_gil_enabled() else " free-threaded"),
        "versions": {d: version(d) for d in ("picows", "websockets", "protobuf", "orjson", "uvloop")},
        "commit": commit(),
        "loadavg_before": os.getloadavg()[0],
        "date": dt.datetime.now(dt.UTC).strftime("%Y-%m-%d %H:%M UTC"),
    }


def _busy_seconds() -> float:
    """CPU time all processes of the machine have used (from /proc/stat)."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    user, nice, system, _idle, _iowait, irq, softirq, steal = fields[:8]
    return (user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


def _own_seconds() -> float:
    import resource

    return sum(
        r.ru_utime + r.ru_stime
        for r in (resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN))
    )


def machine_lines(m: dict[str, Any]) -> list[str]:
    v = m["versions"]
    return [
        f"machine: {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB, Linux {m['kernel']}",
        f"python {m['python']}; picows {v['picows']}, websockets {v['websockets']}, protobuf {v['protobuf']}, "
        f"orjson {v['orjson']}, uvloop {v['uvloop']}",
        f"vornticker at {m['commit']}; {m['date']}; load average {m['loadavg_before']:.2f} before",
    ] + ([f"other processes used {m['others_cpu']:.0%} of one CPU while this ran (steal included); "
          "above a few percent, figures are disturbed: run again on a quiet machine"]
         if "others_cpu" in m else [])


def configs(quick: bool, args: argparse.Namespace) -> dict[str, Any]:
    import capture
    import columnar
    import dataset
    import decode
    import e2e
    import memory
    import pause
    import record

    if quick:
        cfg = {
            "e2e": e2e.Config(blast_n=20_000, paced_rate=10_000, paced_seconds=1.0, blast_repeats=1,
                              paced_repeats=1),
            "decode": decode.Config(iterations=4_000, repeat=5),
            "columnar": columnar.Config(frames=100_000, python_frames=10_000, repeat=3),
            "record": record.Config(frames=20_000, repeat=5),
            "capture": capture.Config(damaged_mib=16, capture_mb=100, clients=20, seconds=4.0, speed=1.0),
            "dataset": dataset.Config(captures=10, frames=20_000),
            "pause": pause.Config(frames=50_000, maxsize=5_000, slow_ms=2.0),
            "memory": memory.Config(sample_every=10_000, warmup_samples=3, samples=17, picows_py_samples=3,
                                    decode_frames=50_000),
        }
    else:
        cfg = {
            "e2e": e2e.Config(blast_n=100_000, paced_rate=10_000, paced_seconds=2.0, blast_repeats=5,
                              paced_repeats=3),
            "decode": decode.Config(iterations=20_000, repeat=10),
            "columnar": columnar.Config(frames=500_000, python_frames=50_000, repeat=5),
            "record": record.Config(frames=100_000, repeat=10),
            "capture": capture.Config(damaged_mib=64, capture_mb=100, clients=20, seconds=10.0, speed=1.0),
            "dataset": dataset.Config(captures=10, frames=1_000_000),
            "pause": pause.Config(frames=1_000_000, maxsize=10_000, slow_ms=2.0),
            "memory": memory.Config(sample_every=100_000, warmup_samples=2, samples=18, picows_py_samples=2,
                                    decode_frames=200_000),
        }
    if args.repeats:
        both = {"blast_repeats": args.repeats, "paced_repeats": args.repeats}
        cfg["e2e"] = e2e.Config(**(vars(cfg["e2e"]) | both))
    if args.rate:
        cfg["e2e"] = e2e.Config(**(vars(cfg["e2e"]) | {"paced_rate": args.rate}))
    if args.spin:
        cfg["e2e"] = e2e.Config(**(vars(cfg["e2e"]) | {"spin": True}))
    if args.loop:
        cfg["e2e"] = e2e.Config(**(vars(cfg["e2e"]) | {"loops": tuple(dict.fromkeys(args.loop))}))
    return cfg


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(prog="./dev bench", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small runs, for a smoke test")
    ap.add_argument("--only", choices=SECTIONS, action="append", help="run this section (may be repeated)")
    ap.add_argument("--repeats", type=int, help="e2e: runs per contender and transport")
    ap.add_argument("--rate", type=float, help="e2e: quotes per second of the latency runs")
    ap.add_argument("--loop", choices=("default", "eager", "uvloop"), action="append",
                    help="e2e: run on this event loop configuration only (may be repeated; default all three)")
    ap.add_argument("--spin", action="store_true",
                    help="e2e: keep the CPUs awake with idle-class spinners (on this machine's kernel they "
                    "stalled the clients 80 to 105 ms in many runs, so they are off by default)")
    ap.add_argument("--no-plots", action="store_true", help="skip the PNG files")
    args = ap.parse_args()
    sections = args.only or list(SECTIONS)

    ensure_dependencies()
    import capture
    import columnar
    import dataset
    import decode
    import e2e
    import memory
    import pause
    import record

    OUT.mkdir(parents=True, exist_ok=True)
    cfg = configs(args.quick, args)
    mach = machine()
    log("\n".join(machine_lines(mach)))
    t0, busy0, own0 = time.monotonic(), _busy_seconds(), _own_seconds()
    results: dict[str, Any] = {"machine": mach, "quick": args.quick}
    if "decode" in sections:
        log("decode ...")
        results["decode"] = decode.run(cfg["decode"], log)
    if "columnar" in sections:
        log("columnar ...")
        results["columnar"] = columnar.run(cfg["columnar"], log)
    if "e2e" in sections:
        log("end to end ...")
        results["e2e"] = e2e.run(cfg["e2e"], make_tls(OUT / "tls"), log)
    if "memory" in sections:
        log("memory ...")
        results["memory"] = memory.run(cfg["memory"], log)
    if "record" in sections:
        log("record ...")
        results["record"] = record.run(cfg["record"], log)
    if "capture" in sections:
        log("capture ...")
        results["capture"] = capture.run(cfg["capture"], log)
    if "dataset" in sections:
        log("dataset ...")
        results["dataset"] = dataset.run(cfg["dataset"], log)
    if "pause" in sections:
        log("pause ...")
        results["pause"] = pause.run(cfg["pause"], log)
    mach["seconds"] = round(time.monotonic() - t0, 1)
    # The idle-class spinners are this process's children; their time is
    # counted as their own, so what is left is other processes'.
    mach["others_cpu"] = max(0.0, (_busy_seconds() - busy0) - (_own_seconds() - own0)) / mach["seconds"]

    report = ["", *machine_lines(mach), ""]
    goal_rows: list[tuple[str, bool, str]] = []
    for name, module, title in (("e2e", e2e, "END TO END"), ("decode", decode, "DECODE"),
                                ("columnar", columnar, "COLUMNAR"), ("memory", memory, "MEMORY"),
                                ("record", record, "RECORD"), ("capture", capture, "CAPTURE"),
                                ("dataset", dataset, "DATASET"), ("pause", pause, "PAUSE")):
        if name in results:
            report += [title, *module.table(results[name]), ""]
            goal_rows += module.goals(results[name])
    report.append("GOALS")
    report += [f"  [{'met ' if ok else 'MISS'}] {what}: {detail}" for what, ok, detail in goal_rows]
    report.append(f"\n{sum(ok for _, ok, _ in goal_rows)} of {len(goal_rows)} goals met; "
                  f"{mach['seconds']:.0f} s; details in {OUT.relative_to(ROOT)}/")
    print("\n".join(report), flush=True)

    (OUT / "report.txt").write_text("\n".join(report).lstrip() + "\n")
    latencies = results.get("e2e", {}).pop("_latencies", None)
    (OUT / "results.json").write_text(json.dumps(results, indent=1) + "\n")
    if not args.no_plots:
        import plots

        label = f"{mach['cpu']}, {mach['cores']} cores, Python {mach['python']}"
        written = []
        if "e2e" in results:
            results["e2e"]["_latencies"] = latencies
            plots.throughput(results["e2e"], OUT / "e2e_throughput.png", label)
            plots.latency(results["e2e"], OUT / "e2e_latency.png", label)
            written += ["e2e_throughput.png", "e2e_latency.png"]
        if "decode" in results:
            plots.decode(results["decode"], OUT / "decode.png", label)
            written.append("decode.png")
        if "memory" in results:
            plots.memory(results["memory"], OUT / "memory.png", label)
            written.append("memory.png")
        print(f"plots: {', '.join(f'{OUT.relative_to(ROOT)}/{w}' for w in written)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
