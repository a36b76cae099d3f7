#!/usr/bin/env python3
"""Charts of a benchmark run, drawn with matplotlib (Debian's python3-matplotlib).

usage: bench/chart.py RESULTS_DIR

RESULTS_DIR is what scripts/bench.sh leaves in build/bench-results:
  samples/*.txt     one latency in nanoseconds per line (zelbench_e2e --samples)
  concurrency.json  the cases of zelbench_concurrency
It writes latency.png (the share of requests answered within a given time, for the
floors and the end-to-end runs) and concurrency.png (how long the last of the
terminals waits, by gateway delay, with and without ZELCLIENT_CONCURRENCY), and
prints the concurrency figures as a Markdown table.
"""
import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

SERIES = [  # file, label, style
    ("floor.txt", "floor: one process, no wake-up", "k--"),
    ("floor-woken.txt", "floor with two wake-ups (minimal relay)", "k:"),
    ("e2e-t1-nolog.txt", "zelclient, 1 terminal, log off", "C0-"),
    ("e2e-t10-nolog.txt", "zelclient, 10 terminals, log off", "C2-"),
    ("e2e-t1-log.txt", "zelclient, 1 terminal, full log", "C1-"),
    ("e2e-t10-log.txt", "zelclient, 10 terminals, full log", "C3-"),
]


def latency(results):
    fig, ax = plt.subplots(figsize=(9, 5))
    for name, label, style in SERIES:
        path = os.path.join(results, "samples", name)
        if not os.path.exists(path):
            continue
        with open(path) as f:
            ms = sorted(int(line) / 1e6 for line in f if line.strip())
        if ms:
            ax.plot(ms, [(i + 1) / len(ms) for i in range(len(ms))], style, label=label)
    ax.axvline(1.0, color="grey", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_xlabel("latency, from the request's close to the answer's (ms, log scale)")
    ax.set_ylabel("share of requests answered")
    ax.legend(loc="lower right", fontsize="small")
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(os.path.join(results, "latency.png"), dpi=110)


def concurrency(results):
    path = os.path.join(results, "concurrency.json")
    if not os.path.exists(path):
        return
    with open(path) as f:
        cases = json.load(f)
    print("| gateway delay (ms) | terminals | concurrency | median wait (ms) | last answer (ms) "
          "| answers/s |")
    print("|---|---|---|---|---|---|")
    for c in cases:
        print("| %d | %d | %d | %.1f | %.1f | %.1f |" % (
            c["delay_ms"], c["terminals"], c["concurrency"], c["burst_median_ms"],
            c["burst_max_ms"], c["throughput"]))
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.5))
    for terminals, ax in zip((1, 10), axes):
        for conc, style in ((1, "o-"), (10, "s-")):
            rows = [c for c in cases if c["terminals"] == terminals and c["concurrency"] == conc]
            rows.sort(key=lambda c: c["delay_ms"])
            if rows:
                ax.plot([c["delay_ms"] for c in rows], [c["burst_max_ms"] for c in rows], style,
                        label="ZELCLIENT_CONCURRENCY=%d" % conc)
        ax.set_title("%d terminal%s dropping at once" % (terminals, "" if terminals == 1 else "s"))
        ax.set_xlabel("gateway delay (ms)")
        ax.set_ylabel("the last terminal's wait (ms)")
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(os.path.join(results, "concurrency.png"), dpi=110)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    latency(sys.argv[1])
    concurrency(sys.argv[1])


if __name__ == "__main__":
    main()
