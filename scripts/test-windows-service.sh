#!/usr/bin/env bash
# The Windows service and its installer, under Wine, in a Wine prefix of their own:
#   - msiinfo: the installer holds the files, the service registration and the
#     upgrade code of packaging/windows/zelclient.wxs;
#   - zelclient.exe started by Wine's service manager (sc create/start/stop) answers a
#     terminal through zelgateway.exe, then stops with exit code 0 and its shutdown
#     lines; a refused command line leaves the service stopped with exit code 255 and
#     an Event Log entry (Wine writes Event Log entries to standard error);
#   - msiexec installs the .msi silently with the gateway and terminals as properties
#     (the service registered under a quoted path, running and relaying with the shipped
#     settings), upgrades it to a later version built from the same sources (the
#     administrator's configuration and the installer's settings kept, the service
#     running again) and uninstalls it (the service stopped its own way and removed, the
#     working folder kept).
#   scripts/test-windows-service.sh [BUILD_DIR]     BUILD_DIR (build-win) holds the
#                                                   Windows build and its .msi
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-win}
bin=$build/bin
msi=$(ls "$build"/zelclient-*-x64.msi)
wine_bin=$(command -v wine || command -v wine64)

fail() {
  echo "!! $*" >&2
  exit 1
}

echo "== installer $msi"
table() { msiinfo export "$msi" "$1" | tail -n +4; }
files=$(table File)
for f in zelclient.exe zelgateway.exe zelterm.exe zelstatus.exe README.md operations.md zelclient.conf.example; do
  grep -q "^$f	" <<<"$files" || fail "$f is not in the installer"
done
# Name zelclient, own process (16), automatic start (2), LocalService; started at
# install, stopped at install and uninstall, removed at uninstall (1+2+32+128).
grep -q "^ServiceInstall	zelclient	.*	16	2	1	.*NT AUTHORITY\\\\LocalService" <<<"$(table ServiceInstall)" ||
  fail "no automatic LocalService service zelclient in the installer"
grep -q "^ServiceControl	zelclient	163	" <<<"$(table ServiceControl)" ||
  fail "the installer does not start, stop and remove the service"
grep -q "failure zelclient reset= 86400 actions= restart/60000" <<<"$(table CustomAction)" ||
  fail "the installer sets no restart on failure"
upgrade=$(sed -n 's/.*UpgradeCode="\([-0-9A-F]*\)".*/\1/p' packaging/windows/zelclient.wxs)
grep -q "^UpgradeCode	{$upgrade}" <<<"$(table Property)" || fail "upgrade code is not {$upgrade}"
echo "$files" | cut -f1,3,4 | sed 's/^/   /'
table ServiceInstall | cut -f2,4-6,9 | sed 's/^/   /'
echo "   UpgradeCode {$upgrade}"

# Wine's Event Log writes each entry on standard error, as an error of its own channel.
export WINEPREFIX WINEDEBUG=-all,err+eventlog,warn+eventlog WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/zelsvc.XXXXXX")
work=$WINEPREFIX/test
gw=""
cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  [[ -z "$gw" ]] || wait "$gw" 2>/dev/null || true  # ended by the server's end
  [[ -n "${ZEL_KEEP_PREFIX:-}" ]] || rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
mkdir -p "$work"
wineserver -p 2>>"$work/wineserver.err"  # its dump of leftover objects as it ends
timeout 300 wineboot -i >/dev/null 2>&1 || fail "wineboot failed or timed out"
# A new session, whose first process starts Wine's service manager: every Wine
# process here writes its standard error to one file, so the services' Event Log
# entries land there. The gateway lives to the end, keeping the session (and the
# status of stopped services) alive.
timeout 30 wineserver -k >/dev/null 2>&1 || true
wineserver -p 2>>"$work/wineserver.err"
win() { timeout 60 "$wine_bin" "$@" 2>>"$work/session.err"; }

zel="$WINEPREFIX/drive_c/zel"
mkdir -p "$zel/root"
cp "$bin/zelclient.exe" "$bin/zelgateway.exe" "$bin/zelterm.exe" "$zel/"
"$wine_bin" 'C:\zel\zelgateway.exe' -p 0 >"$work/gw.out" 2>>"$work/session.err" &
gw=$!
for _ in $(seq 1 200); do grep -q "listening on port" "$work/gw.out" && break; sleep 0.1; done
port=$(sed -n 's/^listening on port \([0-9]*\).*/\1/p' "$work/gw.out")
[[ -n "$port" ]] || fail "zelgateway.exe did not start"

# field SERVICE NAME: a number of `sc query` (STATE, WIN32_EXIT_CODE, SERVICE_EXIT_CODE).
field() { win sc query "$1" | awk -v f="$2" '$1 == f { print $3 }'; }
wait_state() {  # SERVICE STATE: true once the service is in STATE, within 20 s
  for _ in $(seq 1 80); do
    [[ "$(field "$1" STATE)" == "$2" ]] && return 0
    sleep 0.25
  done
  return 1
}

echo "== service: answers a terminal, stops with exit code 0"
# The working folder is the executable's; the options come from zelclient.conf.
printf -- '-n FARM\r\n-r C:\\zel\\root\r\n-t caja1,caja2\r\n-g 127.0.0.1:%s\r\n-l zelclient.log,1,300\r\n' \
  "$port" >"$zel/zelclient.conf"
win sc create zeltest binPath= 'C:\zel\zelclient.exe' >/dev/null || fail "sc create failed"
win sc start zeltest >/dev/null || true
wait_state zeltest 4 || fail "the service is not running: $(win sc query zeltest)"
answer=$(win 'C:\zel\zelterm.exe' -r 'C:\zel\root' -t caja2 -w 20000 G01=1234 G04=556677 G99=000020)
grep -q '^F52=GW' <<<"$answer" || fail "no answer from the gateway: $answer"
win sc stop zeltest >/dev/null || fail "sc stop failed"
wait_state zeltest 1 || fail "the service did not stop: $(win sc query zeltest)"
[[ "$(field zeltest WIN32_EXIT_CODE)" == 0 && "$(field zeltest SERVICE_EXIT_CODE)" == 0 ]] ||
  fail "exit code is not 0: $(win sc query zeltest)"
tail -n 3 "$zel/zelclient.log" | cut -f3 | tr -d '\r' >"$work/last"
printf '%s\n' "ZELClient_Process encontro archivo de stop. Saliendo..." "ZELClient_Process Exit" \
  "ZELClient_Exit Entry" | diff - "$work/last" || fail "the log does not end with the shutdown lines"
[[ ! -e "$zel/root/ZELCLIENTSTOP.tmp" ]] || fail "the stop file was left in the root folder"
win sc delete zeltest >/dev/null
echo "   answered ($(grep '^F52=' <<<"$answer" | tr -d '\r')), stopped: exit code 0, shutdown lines logged"

echo "== service: the gateway down goes to the Event Log"
mkdir -p "$zel/down/root"
cp "$bin/zelclient.exe" "$zel/down/"
printf -- '-n FARM\r\n-r C:\\zel\\down\\root\r\n-t caja1\r\n-g 127.0.0.1:1\r\n' >"$zel/down/zelclient.conf"
win sc create zeldown binPath= 'C:\zel\down\zelclient.exe' >/dev/null || fail "sc create failed"
win sc start zeldown >/dev/null || true
wait_state zeldown 4 || fail "the service is not running: $(win sc query zeldown)"
answer=$(win 'C:\zel\zelterm.exe' -r 'C:\zel\down\root' -t caja1 -w 30000 G01=1 G99=000020)
grep -q '^F52=[GI]' <<<"$answer" || fail "no local answer: $answer"
grep -q 'eventlog.*gateway sin respuesta desde .*, se responde localmente' "$work/session.err" ||
  fail "no Event Log entry for the gateway down"
win sc stop zeldown >/dev/null || fail "sc stop failed"
wait_state zeldown 1 || fail "the service did not stop: $(win sc query zeldown)"
win sc delete zeldown >/dev/null
echo "   answered locally ($(grep '^F52=' <<<"$answer" | tr -d '\r')), Event Log entry written"

echo "== service: a refused command line"
win sc create zelbad binPath= 'C:\zel\zelclient.exe -b x' >/dev/null || fail "sc create failed"
win sc start zelbad >/dev/null || true
wait_state zelbad 1 || fail "the service did not stop: $(win sc query zelbad)"
[[ "$(field zelbad WIN32_EXIT_CODE)" == 1066 && "$(field zelbad SERVICE_EXIT_CODE)" == 255 ]] ||
  fail "exit code is not the service's own 255: $(win sc query zelbad)"
for _ in $(seq 1 40); do grep -q 'err:eventlog.*zelbad did not start: its command line was refused' \
  "$work/session.err" && break; sleep 0.25; done
grep -m 1 'err:eventlog.*zelbad did not start' "$work/session.err" | cut -c1-150 ||
  fail "no Event Log entry"
win sc delete zelbad >/dev/null
echo "   stopped: exit code 1066 (service-specific) with 255, Event Log entry written"

echo "== installer: install, upgrade, uninstall"
cp "$msi" "$WINEPREFIX/drive_c/zelclient.msi"
win msiexec /i 'C:\zelclient.msi' NAME=SILE TERMINALS=caja1 "GATEWAY=127.0.0.1:$port" /qn ||
  fail "msiexec /i failed"
pf="$WINEPREFIX/drive_c/Program Files/zelclient"
data="$WINEPREFIX/drive_c/ProgramData/zelclient"
for f in "$pf/zelclient.exe" "$pf/zelgateway.exe" "$pf/zelterm.exe" "$pf/zelstatus.exe" "$pf/doc/operations.md" \
  "$data/zelclient.conf" "$data/terminales"; do
  [[ -e "$f" ]] || fail "not installed: $f"
done
wait_state zelclient 4 || fail "the installed service is not running: $(win sc query zelclient)"
win reg query 'HKLM\SYSTEM\CurrentControlSet\Services\zelclient\Parameters' /v WorkingDirectory |
  grep -q 'ProgramData\\zelclient' || fail "no working folder in the service's parameters"
win reg query 'HKLM\SYSTEM\CurrentControlSet\Services\zelclient' /v ImagePath |
  grep -q '"C:\\Program Files\\zelclient\\zelclient.exe"' || fail "the image path is not quoted"
# The silent install's settings, and the shipped configuration's (ten exchanges at
# once: each line of a terminal names it; one line per answer at the shipped window).
answer=$(win "$pf/zelterm.exe" -r 'C:\ProgramData\zelclient\terminales' -t caja1 -w 20000 G01=1 G99=000020)
grep -q '^F52=GW' <<<"$answer" || fail "the installed service does not relay: $answer"
grep -q '\[caja1\] ZELClient_Process respuesta para \[caja1\]: del gateway' "$data/zelclient.log" ||
  fail "the shipped configuration's settings are not in effect"
echo "   installed: service zelclient running, working folder C:\\ProgramData\\zelclient"
echo "   the silent install's gateway and terminals relay ($(grep '^F52=' <<<"$answer" | tr -d '\r'))"

version=$(sed -n 's/.*zelclient-\([0-9.]*\)-x64\.msi$/\1/p' <<<"$msi")
next=${version%.*}.$((${version##*.} + 1))
wxs=$PWD/packaging/windows/zelclient.wxs
(cd "$build/msi" && wixl -a x64 -D Version="$next" -D BinDir=. -D DocDir=doc \
  -D ConfFile=zelclient.conf -o "$WINEPREFIX/drive_c/next.msi" "$wxs")
# The administrator's edit: another name, and the log window raised to every line.
sed -i 's/^-l zelclient\.log,1,44/-l zelclient.log,1,300/' "$data/zelclient.conf"
printf -- '-n NEXT\r\n' >>"$data/zelclient.conf"
win msiexec /i 'C:\next.msi' /qn || fail "msiexec /i of version $next failed"
wait_state zelclient 4 || fail "the upgraded service is not running: $(win sc query zelclient)"
grep -q '^-n NEXT' "$data/zelclient.conf" || fail "the upgrade replaced the configuration"
for _ in $(seq 1 40); do grep -q 'Name=\[NEXT\]' "$data/zelclient.log" && break; sleep 0.25; done
grep -q 'Name=\[NEXT\]' "$data/zelclient.log" || fail "the upgraded service did not start with it"
win reg query 'HKLM\SYSTEM\CurrentControlSet\Services\zelclient\Parameters' /v Gateway |
  grep -q "127.0.0.1:$port" || fail "the upgrade lost the installer's gateway"
grep -q "PortGateway=\[$port\]" "$data/zelclient.log" || fail "the upgraded service has not the gateway"
echo "   upgraded to $next: configuration kept, service running again"
win msiexec /x 'C:\next.msi' /qn || fail "msiexec /x failed"
! win sc query zelclient >/dev/null || fail "the service is still registered"
for f in zelgateway.exe zelterm.exe zelstatus.exe doc; do
  [[ ! -e "$pf/$f" ]] || fail "$f was left in $pf"
done
# Wine's msiexec, which has no Restart Manager, removes zelclient.exe a moment after the
# service reports it has stopped, when the process may not have ended yet: the file
# is then in use and left in place.
if [[ -e "$pf/zelclient.exe" ]]; then
  echo "   (zelclient.exe was still in use when Wine's msiexec removed the files)"
fi
[[ -e "$data/zelclient.conf" ]] || fail "the uninstall removed the configuration"
tail -n 1 "$data/zelclient.log" | grep -q "ZELClient_Exit Entry" ||
  fail "the service did not stop its own way at uninstall"
echo "   uninstalled: service stopped its own way and removed, configuration kept"
