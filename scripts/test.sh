#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the same suite under
# address and undefined-behaviour sanitizers, then the Windows build under Wine
# (skipped with ZEL_WITH_WINDOWS=0). Ends with one line per stage.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# STAGE BUILD_DIR [MORE]: the stage's CTest tally, for the summary at the end.
tally() { summary+=("$1: $(grep -m1 'tests passed' "$2/ctest.out" || echo 'no tests')${3:-}"); }

echo "== native build and tests"
scripts/build.sh build
(cd build && ctest --output-on-failure -j2 --timeout 120 -O ctest.out)
scripts/show-skipped.sh build
tally native build

echo "== sanitizer build (address, undefined) and tests"
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j2 --timeout 240 -O ctest.out)
scripts/show-skipped.sh build-asan
tally sanitizers build-asan

if [[ "${ZEL_WITH_WINDOWS:-1}" == 1 ]]; then
  echo "== Windows cross build (MinGW-w64) and tests under Wine"
  scripts/test-windows.sh
  tally "Windows under Wine" build-win "; the service and its installer checked"
fi
printf '%s\n' "== summary" "${summary[@]/#/   }"
