#!/usr/bin/env bash
# Installs the Debian packages a command needs, when they are missing:
#   setup.sh demo   the build of the service and the gateway simulator
#   setup.sh test   the whole test command (native, sanitizers, Windows under Wine)
#   setup.sh ci     the test command and the rest of CI (fuzzing, benchmarks, packages)
#   setup.sh bench  what CI needs and the charts of a full benchmark run
# ZEL_WITH_WINDOWS=0 leaves the Windows cross compiler and Wine out.
set -euo pipefail

level="${1:-test}"
# OpenSSL for the TLS link to the gateway; its command line checks a gateway by hand.
packages=(g++ cmake ninja-build libssl-dev openssl)
if [[ $level != demo ]]; then
  # The tests: GoogleTest's sources, Samba for the terminals' network share, a
  # metrics collector with its checker for the metrics file, and a clock the fault
  # table can set back and forward.
  packages+=(googletest python3 samba smbclient prometheus-node-exporter prometheus faketime)
  # Windows: the cross compiler, Wine (wine holds the commands, wine64 the 64-bit
  # loader) and the installer's tools.
  [[ "${ZEL_WITH_WINDOWS:-1}" == 1 ]] &&
    packages+=(g++-mingw-w64-x86-64-posix wine wine64 wixl msitools)
fi
if [[ $level == ci || $level == bench ]]; then
  packages+=(clang libfuzzer-14-dev libclang-rt-14-dev libbenchmark-dev strace lintian)
  # The package under a real systemd: a minimal Debian booted in a container.
  packages+=(debootstrap systemd-container)
fi
[[ $level == bench ]] && packages+=(python3-matplotlib)

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
