#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
set -euo pipefail

packages=(g++ cmake ninja-build googletest libbenchmark-dev python3 clang libfuzzer-14-dev
          libclang-rt-14-dev lintian)
# Windows: the cross compiler, Wine (wine holds the commands, wine64 the 64-bit loader)
# and the installer's tools.
[[ "${ZEL_WITH_WINDOWS:-1}" == 1 ]] &&
  packages+=(g++-mingw-w64-x86-64-posix wine wine64 wixl msitools)
# The benchmarks' idle check counts system calls with strace where it is installed.
[[ "${ZEL_WITH_BENCH_TOOLS:-0}" == 1 ]] && packages+=(strace)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
