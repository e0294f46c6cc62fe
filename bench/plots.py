"""PNG plots of the results, written under bench/out/."""

from __future__ import annotations

import pathlib
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COLORS = {"vornticker": "#1f77b4", "stream": "#17becf", "stream-batches": "#9467bd", "stream-columns": "#8c564b",
          "picows-py": "#ff7f0e", "websockets": "#2ca02c"}
LOOP_NAMES = {"default": "asyncio", "eager": "asyncio + eager tasks", "uvloop": "uvloop"}


def throughput(e2e: dict[str, Any], path: pathlib.Path, machine: str) -> None:
    loops = list(e2e["summary"])
    fig, axes = plt.subplots(1, len(loops), figsize=(6 * len(loops), 4.8), sharey=True, squeeze=False)
    width = 0.38
    for ax, loop in zip(axes[0], loops):
        summary, runs = e2e["summary"][loop], e2e["runs"][loop]
        contenders = list(summary["tls"])
        for k, transport in enumerate(("tls", "plain")):
            xs, heights, lo, hi, tops = [], [], [], [], []
            for i, c in enumerate(contenders):
                rates = [r["rate"] for r in runs[transport][c]["blast"]]
                med = summary[transport][c]["rate"]
                xs.append(i + (k - 0.5) * width)
                heights.append(med)
                lo.append(med - min(rates))
                hi.append(max(rates) - med)
                tops.append(max(rates))
            bars = ax.bar(xs, heights, width, yerr=[lo, hi], capsize=3,
                          color=[COLORS.get(c, "grey") for c in contenders],
                          alpha=1.0 if transport == "tls" else 0.55, label="wss:// (TLS)" if k == 0 else "ws://")
            ours = summary[transport]["vornticker"]["rate"]
            for bar, top in zip(bars, tops):  # above the error bar, not on it
                ax.annotate(f"{bar.get_height() / 1000:.0f}k\n{bar.get_height() / ours:.2f}x",
                            (bar.get_x() + bar.get_width() / 2, top),
                            ha="center", va="bottom", fontsize=7, xytext=(0, 3), textcoords="offset points")
        ax.set_xticks(range(len(contenders)), contenders, fontsize=8)
        ax.set_title(LOOP_NAMES.get(loop, loop), fontsize=10)
        ax.margins(y=0.2)
    axes[0][0].set_ylabel("quotes per second (median, min-max)")
    axes[0][0].legend()
    fig.suptitle(f"End to end throughput, {e2e['config']['blast_n']:,} frames, "
                 f"{e2e['config']['blast_repeats']} runs\n{machine}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def latency(e2e: dict[str, Any], path: pathlib.Path, machine: str) -> None:
    loops = list(e2e["summary"])
    fig, axes = plt.subplots(len(loops), 2, figsize=(11, 4 * len(loops)), sharey=True, squeeze=False)
    for row, loop in zip(axes, loops):
        summary = e2e["summary"][loop]
        for ax, transport in zip(row, ("tls", "plain")):
            for c, lat in e2e["_latencies"][loop][transport].items():
                if not lat:
                    continue
                s = sorted(lat)
                n = len(s)
                ys = [(i + 1) / n for i in range(n)]
                step = max(1, n // 4000)  # enough points for the curve, the tail kept
                idx = list(range(0, n, step)) + list(range(max(0, n - 200), n))
                idx = sorted(set(idx))
                p99 = summary[transport][c]["p99_us"]
                ax.plot([s[i] for i in idx], [ys[i] for i in idx], color=COLORS.get(c, "grey"),
                        label=f"{c} (p50 {summary[transport][c]['p50_us']:.0f}, p99 {p99:.0f} us)")
                ax.axvline(p99, color=COLORS.get(c, "grey"), linestyle=":", linewidth=1)
            ax.set_xscale("log")
            ax.set_xlabel("server write -> callback start (us)")
            ax.set_title(f"{LOOP_NAMES.get(loop, loop)}, {'wss:// (TLS)' if transport == 'tls' else 'ws://'}",
                         fontsize=10)
            ax.axhline(0.99, color="grey", linewidth=0.5)
            ax.legend(fontsize=7, loc="lower right")
            ax.grid(True, which="both", alpha=0.3)
        row[0].set_ylabel("fraction of quotes")
    fig.suptitle(f"Latency at {e2e['config']['paced_rate']:,.0f} quotes/s, all runs pooled\n{machine}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def decode(dec: dict[str, Any], path: pathlib.Path, machine: str) -> None:
    series = [("floor", "floor (C, no decoding)", "#bbbbbb"), ("decode_pricing_data", "raw proto", "#9ecae1"),
              ("decode_frame", "decode_frame", COLORS["vornticker"]), ("python orjson", "python orjson", "#ff7f0e"),
              ("python json", "python json", "#d62728")]
    shapes = list(dec["shapes"])
    fig, ax = plt.subplots(figsize=(9, 4.5))
    width = 0.8 / len(series)
    for k, (key, label, color) in enumerate(series):
        xs = [i + (k - (len(series) - 1) / 2) * width for i in range(len(shapes))]
        ax.bar(xs, [dec["shapes"][s][key] for s in shapes], width, label=label, color=color)
    ax.set_yscale("log")
    ax.set_xticks(range(len(shapes)), shapes)
    ax.set_ylabel("ns per frame (best round, log scale)")
    ax.set_title(f"Decoding one frame to the quote dict\n{machine}", fontsize=10)
    ax.legend(fontsize=8, ncol=len(series), loc="upper center", bbox_to_anchor=(0.5, -0.1), frameon=False)
    ax.grid(True, axis="y", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def memory(mem: dict[str, Any], path: pathlib.Path, machine: str) -> None:
    fig, ax = plt.subplots(figsize=(8, 4.5))
    rss = mem["rss"]["samples"]
    base = mem["baseline_rss"]["samples"]
    traced = mem["traced"]["samples"]
    ax.plot([s["quotes"] / 1e6 for s in rss], [s["rss"] / (1 << 20) for s in rss], "o-", label="resident set")
    ax.plot([s["quotes"] / 1e6 for s in base], [s["rss"] / (1 << 20) for s in base], ".:", color="grey",
            label="resident set, baseline client (picows, no decoding)")
    ax2 = ax.twinx()
    ax2.plot([s["quotes"] / 1e6 for s in traced], [s["traced"] / (1 << 20) for s in traced], "s--",
             color="#2ca02c", label="tracemalloc (separate run)")
    ax.set_xlabel("quotes received (millions)")
    ax.set_ylabel("resident set (MiB)")
    ax2.set_ylabel("traced by tracemalloc (MiB)")
    for a in (ax, ax2):
        lo, hi = a.get_ylim()
        mid = (lo + hi) / 2
        a.set_ylim(min(lo, mid - 1), max(hi, mid + 1))  # at least 2 MiB tall: growth is judged against 1 MiB
    lines = ax.get_legend_handles_labels()[0] + ax2.get_legend_handles_labels()[0]
    labels = ax.get_legend_handles_labels()[1] + ax2.get_legend_handles_labels()[1]
    ax.legend(lines, labels, loc="upper center", bbox_to_anchor=(0.5, -0.15), ncol=2, fontsize=8, frameon=False)
    ax.set_title(f"vornticker client memory after warm-up, ws://\n{machine}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
