#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build tree build-fuzz) and runs each
# for a bounded time: fuzz.sh [SECONDS_PER_TARGET [TARGET...]].
# Default: 12 seconds for each of the two targets.
# New inputs go to build-fuzz/corpus/<target> (the committed seeds under
# fuzz/corpus/ are only read); a crash is written to build-fuzz/artifacts/ and
# fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds="${1:-12}"
shift || true
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(messages pipeline)

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is needed (scripts/setup.sh installs it)" >&2
  exit 1
fi

echo "== fuzz build (clang, libFuzzer, address and undefined sanitizers)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DZEL_BUILD_FUZZ=ON -DZEL_BUILD_TESTS=OFF \
  -DZEL_BUILD_BENCH=OFF -DZEL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target fuzz -- -j2

mkdir -p build-fuzz/artifacts
total=0
failed=0
for t in "${targets[@]}"; do
  corpus="$root/build-fuzz/corpus/$t"
  mkdir -p "$corpus"
  log="$root/build-fuzz/fuzz_$t.log"
  echo "== fuzz_$t for ${seconds}s"
  if "$root/build-fuzz/bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$root/build-fuzz/artifacts/$t-" \
      "$corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "   ${runs:-0} executions, no failure"
    total=$((total + ${runs:-0}))
  else
    echo "   FAILED: see $log and build-fuzz/artifacts/" >&2
    grep -E "ERROR|invariant|runtime error|SUMMARY" "$log" | head -5 >&2 || true
    failed=1
  fi
done
echo "== fuzz: $total executions in all"
exit "$failed"
