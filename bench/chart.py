#!/usr/bin/env python3
"""Latency chart of a benchmark run, as a hand-written SVG (no plotting library).

usage: bench/chart.py RESULTS_DIR OUT.svg

RESULTS_DIR is what scripts/bench.sh leaves in build/bench-results: samples/*.txt
(one latency in nanoseconds per line) and e2e.json. The chart shows the share of
requests answered within a given time (a cumulative distribution, time on a log
scale) for the floors and the end-to-end runs, with the targets marked. A
Markdown table of the figures is printed on standard output.
"""
import json
import math
import os
import sys
from xml.sax.saxutils import escape

SERIES = [  # file, label, colour, dashed
    ("floor.txt", "floor: one process, no wake-up", "#888888", True),
    ("floor-woken.txt", "floor with two wake-ups (minimal relay)", "#444444", True),
    ("e2e-t1-nolog.txt", "zelclient, 1 terminal, log off", "#1f77b4", False),
    ("e2e-t10-nolog.txt", "zelclient, 10 terminals, log off", "#2ca02c", False),
    ("e2e-t1-log.txt", "zelclient, 1 terminal, full log", "#ff7f0e", False),
    ("e2e-t10-log.txt", "zelclient, 10 terminals, full log", "#d62728", False),
]

WIDTH, HEIGHT = 860, 520
LEFT, RIGHT, TOP, BOTTOM = 70, 20, 50, 180
X_MIN_MS, X_MAX_MS = 0.01, 100.0


def load(path):
    with open(path) as f:
        return sorted(int(line) for line in f if line.strip())


def x_of(ms):
    ms = min(max(ms, X_MIN_MS), X_MAX_MS)
    span = math.log10(X_MAX_MS) - math.log10(X_MIN_MS)
    return LEFT + (math.log10(ms) - math.log10(X_MIN_MS)) / span * (WIDTH - LEFT - RIGHT)


def y_of(fraction):
    return TOP + (1 - fraction) * (HEIGHT - TOP - BOTTOM)


def percentile(values, p):
    rank = max(1, math.ceil(p / 100 * len(values)))
    return values[min(rank, len(values)) - 1]


def cdf_points(values, steps=400):
    """Points of the cumulative distribution, thinned to about `steps` points."""
    n = len(values)
    stride = max(1, n // steps)
    points = [(x_of(values[0] / 1e6), y_of(0))]
    for i in range(0, n, stride):
        points.append((x_of(values[i] / 1e6), y_of((i + 1) / n)))
    points.append((x_of(values[-1] / 1e6), y_of(1)))
    return points


def svg(results_dir):
    samples_dir = os.path.join(results_dir, "samples")
    out = []
    add = out.append
    add(f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{HEIGHT}" '
        f'viewBox="0 0 {WIDTH} {HEIGHT}" font-family="sans-serif" font-size="12">')
    add(f'<rect width="{WIDTH}" height="{HEIGHT}" fill="white"/>')
    title = "Latency from the request's close to the answer's close"
    meta = {}
    e2e_json = os.path.join(results_dir, "e2e.json")
    if os.path.exists(e2e_json):
        with open(e2e_json) as f:
            meta = json.load(f)
    add(f'<text x="{LEFT}" y="22" font-size="15" font-weight="bold">{escape(title)}</text>')
    if meta:
        subtitle = (f'{meta.get("machine", "")}; load average {meta.get("load_before", 0):.2f} '
                    f'at the start, {meta.get("load_after", 0):.2f} at the end')
        add(f'<text x="{LEFT}" y="40" fill="#555">{escape(subtitle)}</text>')

    # Grid: decades and their 2 and 5 on x, tenths on y.
    plot_bottom = y_of(0)
    decade = X_MIN_MS
    while decade <= X_MAX_MS * 1.0001:
        for m in (1, 2, 5):
            v = decade * m
            if v > X_MAX_MS * 1.0001:
                break
            x = x_of(v)
            major = m == 1
            add(f'<line x1="{x:.1f}" y1="{TOP}" x2="{x:.1f}" y2="{plot_bottom:.1f}" '
                f'stroke="{"#ccc" if major else "#eee"}"/>')
            if major or m == 5:
                label = f"{v:g}"
                add(f'<text x="{x:.1f}" y="{plot_bottom + 16:.1f}" text-anchor="middle">'
                    f'{label}</text>')
        decade *= 10
    for tenth in range(0, 11):
        y = y_of(tenth / 10)
        add(f'<line x1="{LEFT}" y1="{y:.1f}" x2="{WIDTH - RIGHT}" y2="{y:.1f}" stroke="#eee"/>')
        add(f'<text x="{LEFT - 6}" y="{y + 4:.1f}" text-anchor="end">{tenth * 10}%</text>')
    add(f'<text x="{(LEFT + WIDTH - RIGHT) / 2:.0f}" y="{plot_bottom + 34:.1f}" '
        f'text-anchor="middle">milliseconds (log scale)</text>')
    add(f'<text x="16" y="{(TOP + plot_bottom) / 2:.0f}" text-anchor="middle" '
        f'transform="rotate(-90 16 {(TOP + plot_bottom) / 2:.0f})">requests answered within</text>')

    # Targets: median under 1 ms, p99 under 5 ms.
    for ms, fraction, text in ((1.0, 0.5, "target: median < 1 ms"),
                               (5.0, 0.99, "target: p99 < 5 ms")):
        x, y = x_of(ms), y_of(fraction)
        add(f'<line x1="{x:.1f}" y1="{TOP}" x2="{x:.1f}" y2="{plot_bottom:.1f}" '
            f'stroke="#c00" stroke-dasharray="2,3"/>')
        add(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="3" fill="#c00"/>')
        add(f'<text x="{x + 5:.1f}" y="{y + 15:.1f}" fill="#c00">{escape(text)}</text>')

    legend_y = plot_bottom + 58
    shown = 0
    for name, label, colour, dashed in SERIES:
        path = os.path.join(samples_dir, name)
        if not os.path.exists(path):
            continue
        values = load(path)
        if not values:
            continue
        points = " ".join(f"{x:.1f},{y:.1f}" for x, y in cdf_points(values))
        dash = ' stroke-dasharray="6,4"' if dashed else ""
        add(f'<polyline points="{points}" fill="none" stroke="{colour}" stroke-width="2"{dash}/>')
        y = legend_y + shown * 18
        add(f'<line x1="{LEFT}" y1="{y - 4}" x2="{LEFT + 30}" y2="{y - 4}" stroke="{colour}" '
            f'stroke-width="2"{dash}/>')
        median = percentile(values, 50) / 1e6
        p99 = percentile(values, 99) / 1e6
        add(f'<text x="{LEFT + 38}" y="{y}">{escape(label)}: median {median:.3f} ms, '
            f'p99 {p99:.3f} ms, {len(values)} requests</text>')
        shown += 1
    add("</svg>")
    return "\n".join(out) + "\n"


def markdown(results_dir):
    path = os.path.join(results_dir, "e2e.json")
    if not os.path.exists(path):
        return ""
    with open(path) as f:
        data = json.load(f)
    lines = ["| terminals | log | req/s | median ms | p90 ms | p99 ms | max ms | "
             "CPU s / 1000 req | peak RSS KiB | heap allocs / req |",
             "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in data["runs"]:
        if not r.get("ok"):
            lines.append(f'| {r["terminals"]} | {"full" if r["logging"] else "off"} | '
                         f'failed: {r.get("error", "")} |')
            continue
        lat = r["latency"]
        lines.append(
            f'| {r["terminals"]} | {"full" if r["logging"] else "off"} | {r["throughput"]:.0f} | '
            f'{lat["median_ms"]:.3f} | {lat["p90_ms"]:.3f} | {lat["p99_ms"]:.3f} | '
            f'{lat["max_ms"]:.3f} | {r["cpu_s_per_1000"]:.4f} | {r["peak_rss_kib"]} | '
            f'{r.get("allocs_per_request", float("nan")):.3f} |')
    for key, name in (("floor", "floor (one process)"), ("floor_woken", "floor with wake-ups")):
        f = data.get(key)
        if f:
            lines.append(f'\n{name}: median {f["median_ms"]:.3f} ms, p90 {f["p90_ms"]:.3f}, '
                         f'p99 {f["p99_ms"]:.3f}, max {f["max_ms"]:.3f} ({f["count"]} requests)')
    return "\n".join(lines) + "\n"


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    results_dir, out_path = sys.argv[1], sys.argv[2]
    with open(out_path, "w") as f:
        f.write(svg(results_dir))
    print(markdown(results_dir), end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
