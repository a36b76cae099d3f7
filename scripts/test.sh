#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the same suite under
# address and undefined-behaviour sanitizers, then the Windows build under Wine
# (skipped with ZEL_WITH_WINDOWS=0).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== native build and tests"
scripts/build.sh build
(cd build && ctest --output-on-failure -j2 --timeout 120)
scripts/show-skipped.sh build

echo "== sanitizer build (address, undefined) and tests"
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j2 --timeout 240)
scripts/show-skipped.sh build-asan

if [[ "${ZEL_WITH_WINDOWS:-1}" == 1 ]]; then
  echo "== Windows cross build (MinGW-w64) and tests under Wine"
  scripts/test-windows.sh
fi
