#!/usr/bin/env bash
# Builds and runs the benchmarks: micro-benchmarks, the end-to-end run against
# the real zelclient (with the floor measured in the same run), and the idle
# check. Figures go to build/bench-results/. Timings are reported, never
# asserted: the script fails only when a benchmark itself breaks (the service
# does not start, an answer is missing or wrong, the service does not stop
# cleanly, or it wakes up while nobody touches it).
#   scripts/bench.sh          full run (a few minutes), then the latency chart
#   scripts/bench.sh --quick  short run for CI (under 20 s once built)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=""
case "${1:-}" in
  --quick) quick="--quick" ;;
  "") ;;
  *) echo "usage: scripts/bench.sh [--quick]" >&2; exit 2 ;;
esac

if [[ -n $quick ]]; then
  ZEL_WITH_WINDOWS=0 scripts/setup.sh ci
else
  ZEL_WITH_WINDOWS=0 scripts/setup.sh bench
fi
scripts/build.sh build
bin=$PWD/build/bin
out=$PWD/build/bench-results
rm -rf "$out"
mkdir -p "$out"

echo "== machine: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)" \
  "(other work on the machine makes the figures noisy)"
start=$SECONDS

echo "== micro-benchmarks (field operations, fixed layout, packet framing)"
if [[ -x $bin/zelbench_micro ]]; then
  micro_time=()
  [[ -n $quick ]] && micro_time=(--benchmark_min_time=0.02)
  "$bin/zelbench_micro" "${micro_time[@]}" --benchmark_out="$out/micro.json" \
    --benchmark_out_format=json
else
  echo "zelbench_micro was not built (Google Benchmark missing)" >&2
  exit 1
fi

echo "== end to end"
"$bin/zelbench_e2e" $quick --json "$out/e2e.json" --samples "$out/samples"

echo "== system calls per request: the exactly-once floor, zelclient, zelclient with workers"
"$bin/zelbench_e2e" --compare --quick --syscalls | sed -n '/^system calls per request/,/^$/p' |
  tee "$out/syscalls.txt"

echo "== terminals behind a gateway that takes its time, with and without ZELCLIENT_CONCURRENCY"
"$bin/zelbench_concurrency" $quick --json "$out/concurrency.json"

echo "== TLS to the gateway against plain TCP (with session resumption)"
"$bin/zelbench_tls" $quick --json "$out/tls.json"

echo "== idle check"
"$bin/zelbench_idle" $quick | tee "$out/idle.txt"
"$bin/zelbench_idle" $quick --concurrency 10 | tee -a "$out/idle.txt"

if [[ -z $quick ]]; then
  # Debian's python3 carries python3-matplotlib; a python3 of one's own may not.
  py=python3
  [[ -x /usr/bin/python3 ]] && py=/usr/bin/python3
  "$py" bench/chart.py "$out"
  echo "== charts: $out/latency.png, $out/concurrency.png"
fi
echo "== benchmarks done in $((SECONDS - start)) s; results in $out"
