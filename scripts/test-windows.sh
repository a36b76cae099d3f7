#!/usr/bin/env bash
# The Windows half of the tests: cross-builds with MinGW-w64 into build-win and runs
# the suite there under Wine, headless, in a fresh Wine prefix that is removed at the end;
# then the TLS rows against the native gateway simulator (scripts/test-windows-tls.sh),
# builds the installer (target msi) and runs scripts/test-windows-service.sh.
#   scripts/test-windows.sh            build and test
#   ZEL_WINE_KNOWN_FAILING='A|B'       tests (a ctest -R regex) that may fail under Wine:
#                                      run apart, their failures printed but not fatal
set -euo pipefail
cd "$(dirname "$0")/.."

known_failing="${ZEL_WINE_KNOWN_FAILING:-}"

scripts/build.sh build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

wine_bin=$(command -v wine || command -v wine64 || true)
if [[ -z "$wine_bin" ]]; then
  echo "!! Wine is not installed: Windows executables built in build-win/bin, tests not run" >&2
  exit 1
fi

export WINEPREFIX
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/zelwine.XXXXXX")
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer dialogs
cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

echo "== Wine prefix $WINEPREFIX"
# One Wine server for the whole run: by default it quits 3 s after its last process,
# and a test process that starts just then loses its connection to it. Its standard
# error, where it dumps every object left over as it ends, goes to a file.
wineserver -p 2>build-win/wineserver.err
timeout 300 wineboot -i >/dev/null 2>&1 || { echo "!! wineboot failed or timed out" >&2; exit 1; }

cd build-win
if [[ -z "$known_failing" ]]; then
  timeout 600 ctest --output-on-failure -j2 --timeout 120 -O ctest.out
  ../scripts/show-skipped.sh .
else
  timeout 600 ctest --output-on-failure -j2 --timeout 120 -O ctest.out -E "$known_failing"
  ../scripts/show-skipped.sh .
  echo "!! ============================================================"
  echo "!! Tests known to fail under Wine (not fatal): $known_failing"
  if timeout 600 ctest --output-on-failure --timeout 120 -R "$known_failing"; then
    echo "!! ...they all passed: take them off ZEL_WINE_KNOWN_FAILING"
  else
    echo "!! ...some failed, as listed above"
  fi
  echo "!! ============================================================"
fi
cd ..

echo "== TLS under Wine"
timeout 300 scripts/test-windows-tls.sh build-win

echo "== Windows service and installer"
cmake --build build-win --target msi
timeout 300 scripts/test-windows-service.sh build-win
echo "== Windows stage: ${SECONDS} s"
