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
trap 'for p in "${pids[@]}"; do kill -- "-$p" 2>/dev/null || kill "$p"; done; wait; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$dir"/{share,work,run}
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
{
  echo "[global]"
  echo "server role = standalone server"
  echo "interfaces = 127.0.0.1"
  echo "bind interfaces only = yes"
  echo "smb ports = $port"
  echo "disable netbios = yes"
  for d in state cache lock pid ncalrpc; do echo "$d directory = $dir/run"; done
  echo "private dir = $dir/run"
  echo "log file = $dir/run/log.%m"
  echo "map to guest = Bad User"
  echo "guest account = $(id -un)"
  echo "load printers = no"
  echo "[root]"
  echo "path = $dir/share"
  echo "read only = no"
  echo "guest ok = yes"
  echo "oplocks = no"
  echo "level2 oplocks = no"
} | sed 's/^ncalrpc directory/ncalrpc dir/' >"$dir/smb.conf"
# smbd signals its whole process group when it stops: it gets a group of its own.
setsid smbd --foreground --no-process-group --configfile="$dir/smb.conf" >"$dir/smbd.out" 2>&1 &
pids+=($!)
smb() { smbclient //127.0.0.1/root -p "$port" -N -c "$1" >/dev/null 2>&1; }
for _ in $(seq 100); do smb ls && break; sleep 0.1; done
smb ls || fail "smbd did not start: $(cat "$dir/smbd.out")"

"$bin/zelgateway" -p 0 >"$dir/gw.out" &
pids+=($!)
for _ in $(seq 100); do grep -q "listening" "$dir/gw.out" && break; sleep 0.05; done
(cd "$dir/work" && exec "$bin/zelclient" -n SMB -r "$dir/share" -t caja1,caja2 \
  -g "127.0.0.1:$(sed -n 's/^listening on port //p' "$dir/gw.out")") &
svc=$!

terminal() {
  local t=$1 id
  for i in $(seq "$count"); do
    id="$t-$i"
    printf '|G01=1234|G04=%s|G08=42|G99=000020|\r\n' "$id" >"$dir/$t.req"
    smb "put $dir/$t.req ${t}in.txt" || fail "$t: put"
    rm -f "$dir/$t.ans"
    for _ in $(seq 200); do smb "get ${t}out.txt $dir/$t.ans" && break; sleep 0.05; done
    [[ $(cat "$dir/$t.ans" 2>/dev/null) == "|F01=1234|F04=$id|F08=42|F41=$t|F50=00|F51=APROBADA|F52=GW"*"|" ]] ||
      fail "$t: request $id got [$(cat "$dir/$t.ans" 2>/dev/null)]"
    smb "del ${t}out.txt" || fail "$t: del"
  done
}
terminal caja1 & t1=$!
terminal caja2 & t2=$!
wait $t1 && wait $t2 || exit 1
echo stop >"$dir/share/ZELCLIENTSTOP.tmp"
wait $svc || fail "zelclient ended with $?"
echo "samba: $((2 * count)) requests through the share, every answer whole and right"
