#!/usr/bin/env bash
# The package under a real systemd: boots a minimal Debian with systemd as its init
# in a container (debootstrap, systemd-nspawn) and, inside it, installs the package
# (no warning), runs an instance of the unit against the gateway simulator (ready,
# a terminal answered, zelstatus OK for another account, the unit's status line),
# refuses a wrong configuration and a root the sandbox keeps read-only with the
# reason in the journal and no restart, restarts a running instance on upgrade,
# stops it on removal, and keeps the journal and numbers on purge. The Debian tree
# is kept in ZEL_SYSROOT (default /var/tmp/zelclient-sysroot) for the next run;
# every run boots a throw-away copy of it.
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in debootstrap systemd-nspawn nsenter; do
  command -v "$tool" >/dev/null || { echo "== SKIPPED: systemd check ($tool is not installed)"; exit 0; }
done
scripts/build.sh build
(cd build && cpack -G DEB >/dev/null)
deb=$(basename "$(ls build/zelclient_*_amd64.deb)")

tree=${ZEL_SYSROOT:-/var/tmp/zelclient-sysroot}
if [[ ! -x $tree/lib/systemd/systemd ]]; then
  echo "== a minimal Debian with systemd into $tree"
  rm -rf "$tree.new"
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,adduser,procps bookworm \
    "$tree.new" http://deb.debian.org/debian >/dev/null
  mv "$tree.new" "$tree"
fi

log=$(mktemp /tmp/zelsd.XXXXXX)
systemd-nspawn -D "$tree" --ephemeral --boot --register=no --keep-unit --console=passive \
  --bind-ro="$PWD/build:/pkg" >"$log" 2>&1 &
nspawn=$!
trap 'kill $nspawn 2>/dev/null; wait $nspawn 2>/dev/null; rm -f "$log"' EXIT
init=""
for _ in $(seq 1 100); do
  init=$(pgrep -P "$nspawn" -x systemd || true)
  [[ -n $init ]] && break
  sleep 0.1
done
[[ -n $init ]] || { cat "$log"; echo "== SKIPPED: no container boots here"; exit 0; }
inside() { nsenter -t "$init" -m -u -i -n -p -- "$@"; }
for _ in $(seq 1 100); do  # until its systemd answers and has booted
  state=$(inside systemctl is-system-running --wait 2>/dev/null || true)
  [[ $state == running || $state == degraded ]] && break
  sleep 0.1
done

fail() {
  echo "FAILED: $*"
  inside journalctl -u 'zelclient@*' -o short-precise --no-pager | tail -n 40
  exit 1
}
# Waits up to 10 s for a command inside to succeed.
await() {
  for _ in $(seq 1 100); do inside sh -c "$1" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

out=$(inside dpkg -i "/pkg/$deb" 2>&1) || fail "install: $out"
if echo "$out" | grep -qi "warn"; then fail "the first install warns: $out"; fi
echo "== installed, without a warning"

port=8000
inside systemd-run -q --unit=zelgw /usr/bin/zelgateway -p "$port"
conf() {  # the instance's configuration: its name, then any further line
  printf 'ZEL_NAME=%s\nZEL_TERMINALS=caja1\nZEL_GATEWAY=127.0.0.1:%s\nZEL_ARGS=-p 60\n%s\n' \
    "$1" "$port" "${2:-}" | inside sh -c 'cat >/etc/zelclient/farm.conf'
}
conf FARM ZELCLIENT_CONCURRENCY=10
inside systemctl start zelclient@farm || fail "the instance does not start"
answer=$(inside zelterm -r /srv/zelclient/farm -t caja1 -w 10000 G01=1234 G04=556677 G99=000020)
[[ $answer == *F52=* ]] || fail "no F52 in the answer: $answer"
await "setpriv --reuid=nobody --regid=nogroup --clear-groups zelstatus /var/lib/zelclient/farm |
  grep -q 'ZELCLIENT OK - ready, gateway up'" || fail "zelstatus is not OK for another account"
inside systemctl status zelclient@farm --no-pager | grep -q "Status: \"gateway en linea" ||
  fail "the unit's status line does not say ready: $(inside systemctl status zelclient@farm --no-pager)"
inside journalctl -u zelclient@farm --no-pager -p info | grep -q "respuesta para \[caja1\]" ||
  fail "the answer is not in the journal"
echo "== the unit runs: ready, a terminal answered, zelstatus OK for another account"

pid=$(inside systemctl show -p MainPID --value zelclient@farm)
inside dpkg -i "/pkg/$deb" >/dev/null 2>&1 || fail "the upgrade"
await "[ \"\$(systemctl show -p MainPID --value zelclient@farm)\" != $pid ] &&
  systemctl is-active -q zelclient@farm" || fail "the upgrade does not restart the instance"
echo "== an upgrade restarts the running instance"

for bad in "FARMACIA" "FARM ZEL_ROOT=/opt/farm"; do
  conf $bad
  inside systemctl restart zelclient@farm 2>/dev/null && fail "$bad: the instance starts"
  sleep 6  # past RestartSec
  restarts=$(inside systemctl show -p NRestarts --value zelclient@farm)
  [[ $restarts == 0 ]] || fail "$bad: restarted $restarts times"
  reason=$(inside journalctl -u zelclient@farm --no-pager -p err | grep "zelclient: -" | tail -n 1 || true)
  [[ -n $reason ]] || fail "$bad: no reason at priority err"
  echo "== $bad refused, not restarted: ${reason#*]: }"
done
conf FARM
inside systemctl start zelclient@farm || fail "the instance does not start again"

inside dpkg -r zelclient >/dev/null 2>&1 || fail "the removal"
inside systemctl is-active -q zelclient@farm && fail "the removal leaves the instance running"
echo "== a removal stops the instance"
out=$(inside dpkg -P zelclient 2>&1) || fail "the purge: $out"
echo "$out" | grep -q "kept /var/lib/zelclient" || fail "the purge says nothing: $out"
inside test -s /var/lib/zelclient/farm/zelencurso.dat || fail "the purge removes the records"
echo "== a purge keeps the records and says so"
