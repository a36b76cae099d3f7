#!/usr/bin/env bash
# Terminals on a real network share: a private Samba server on 127.0.0.1 serves the
# root, the service relays from it, and smbclient plays two terminals the way a
# point-of-sale program does: put the request, poll for the answer with get, delete
# it. Every answer must be whole and the terminal's own. Skips (77) without Samba.
#   samba_test.sh BIN_DIR [REQUESTS_PER_TERMINAL]
set -uo pipefail
bin=$(cd "$1" && pwd)
count="${2:-8}"
command -v smbd >/dev/null && command -v smbclient >/dev/null || { echo "no samba"; exit 77; }

dir=$(mktemp -d /tmp/zelsmb.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM -- "-$p" 2>/dev/null || kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

mkdir -p "$dir"/{share,work,run/state,run/cache,run/lock,run/private,run/pid,run/ncalrpc,run/log}
port=$(free_port)
cat >"$dir/smb.conf" <<CONF
[global]
  server role = standalone server
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = $port
  disable netbios = yes
  state directory = $dir/run/state
  cache directory = $dir/run/cache
  lock directory = $dir/run/lock
  private dir = $dir/run/private
  pid directory = $dir/run/pid
  ncalrpc dir = $dir/run/ncalrpc
  log file = $dir/run/log/%m
  map to guest = Bad User
  guest account = $(id -un)
  load printers = no
  disable spoolss = yes
[root]
  path = $dir/share
  read only = no
  guest ok = yes
  oplocks = no
  level2 oplocks = no
CONF
# smbd signals its whole process group when it stops: it gets a group of its own.
setsid smbd --foreground --no-process-group --configfile="$dir/smb.conf" --debug-stdout -d0 >"$dir/smbd.out" 2>&1 &
pids+=($!)
smb() { smbclient //127.0.0.1/root -p "$port" -N -c "$1" 2>&1; }
for _ in $(seq 100); do smb 'ls' >/dev/null && break; sleep 0.1; done
smb 'ls' >/dev/null || fail "smbd did not start: $(cat "$dir/smbd.out")"

"$bin/zelgateway" -p 0 >"$dir/gw.out" &
pids+=($!)
for _ in $(seq 100); do grep -q "listening on port" "$dir/gw.out" && break; sleep 0.05; done
gwport=$(sed -n 's/^listening on port \([0-9]*\).*/\1/p' "$dir/gw.out")
(cd "$dir/work" && exec "$bin/zelclient" -n SMB -r "$dir/share" -t caja1,caja2 \
  -g "127.0.0.1:$gwport" -l "$dir/work/svc.log,1,300") &
svc=$!

terminal() {
  local t=$1
  for i in $(seq "$count"); do
    local id="$t-$i" answer=""
    printf '|G01=1234|G04=%s|G08=42|G99=000020|\r\n' "$id" >"$dir/$t.req"
    smb "put $dir/$t.req ${t}in.txt" >/dev/null || fail "$t: put"
    for _ in $(seq 200); do
      rm -f "$dir/$t.ans"
      smb "get ${t}out.txt $dir/$t.ans" >/dev/null && [[ -s "$dir/$t.ans" ]] && break
      sleep 0.05
    done
    answer=$(cat "$dir/$t.ans" 2>/dev/null)
    [[ $answer == "|F01=1234|F04=$id|F08=42|F41=$t|F50=00|F51=APROBADA|F52=GW"*"|" ]] ||
      fail "$t: request $id got [$answer]"
    smb "del ${t}out.txt" >/dev/null || fail "$t: del"
  done
}
terminal caja1 & t1=$!
terminal caja2 & t2=$!
wait $t1 || exit 1
wait $t2 || exit 1

echo stop >"$dir/share/ZELCLIENTSTOP.tmp"
wait $svc || fail "zelclient ended with $?"
echo "samba: $((2 * count)) requests through the share, every answer whole and right"
