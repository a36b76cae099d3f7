#!/usr/bin/env bash
# Builds everything and runs every test: the native build, then the same suite
# under address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== native build and tests"
scripts/build.sh build
(cd build && ctest --output-on-failure -j2 --timeout 120)

echo "== sanitizer build (address, undefined) and tests"
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j2 --timeout 240)
