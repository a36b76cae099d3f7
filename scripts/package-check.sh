#!/usr/bin/env bash
# Builds the Debian package, checks it with lintian (any tag fails, the pedantic and
# informational ones included), unpacks it into a scratch root, checks the systemd
# unit and its sandbox's rating, and makes a round trip with the packaged binaries:
# zelgateway, zelclient started the way the unit does, zelterm as a terminal,
# zelstatus's check, and the unit's stop (SIGTERM).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh build
(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/zelclient_*_amd64.deb)
echo "== package $deb"
command -v lintian >/dev/null || { echo "lintian is not installed (scripts/setup.sh installs it)"; exit 1; }
lintian --pedantic -I --fail-on error,warning,info,pedantic "$deb"
echo "== lintian: clean, pedantic and informational tags included (hardening among them)"

scratch=$(mktemp -d /tmp/zelpkg.XXXXXX)
trap 'kill $gw $svc 2>/dev/null || true; rm -rf "$scratch"' EXIT
gw=""
svc=""
dpkg-deb -x "$deb" "$scratch/root"
sh -n packaging/debian/postinst packaging/debian/postrm
for f in usr/bin/zelclient usr/bin/zelgateway usr/bin/zelterm usr/bin/zelstatus \
  usr/share/man/man1/zelstatus.1.gz \
  usr/lib/systemd/system/zelclient@.service usr/share/man/man1/zelclient.1.gz \
  usr/share/doc/zelclient/copyright usr/share/doc/zelclient/changelog.gz; do
  [[ -e "$scratch/root/$f" ]] || { echo "missing from the package: $f"; exit 1; }
done

if command -v systemd-analyze >/dev/null && [[ -d /lib/systemd/system ]]; then
  # The unit's own commands come from the package; the rest of the system's.
  unitdir="$scratch/root/usr/lib/systemd/system"
  cp -a /lib/systemd/system/*.target "$unitdir/"
  mkdir -p "$scratch/root/usr/bin" && cp /usr/bin/install "$scratch/root/usr/bin/"
  cp "$unitdir/zelclient@.service" "$scratch/zelclient@demo.service"
  out=$(systemd-analyze verify --man=no --root="$scratch/root" zelclient@demo.service 2>&1) || {
    echo "$out"
    exit 1
  }
  [[ -z "$out" ]] || { echo "systemd-analyze verify: $out"; exit 1; }
  echo "== systemd unit verified"
  # The sandbox's rating: 2.0 or lower (0 is the tightest, 10 none).
  (cd "$scratch" && systemd-analyze security --offline=true --threshold=20 zelclient@demo.service \
    >"$scratch/security.out" 2>&1) || { cat "$scratch/security.out"; exit 1; }
  tail -n 1 "$scratch/security.out"
else
  echo "== SKIPPED: systemd-analyze verify (no systemd on this machine)"
fi

bin="$scratch/root/usr/bin"
root="$scratch/share"
work="$scratch/state"
mkdir -p "$root" "$work"
"$bin/zelgateway" -p 0 >"$scratch/gw.out" &
gw=$!
for _ in $(seq 1 100); do grep -q "listening on port" "$scratch/gw.out" && break; sleep 0.05; done
port=$(sed -n 's/^listening on port \([0-9]*\).*/\1/p' "$scratch/gw.out")
(cd "$work" && exec "$bin/zelclient" -n FARM -r "$root" -t caja1,caja2 -g "127.0.0.1:$port" \
  -l ,1,300 >"$scratch/svc.out") &
svc=$!
answer=$("$bin/zelterm" -r "$root" -t caja2 -w 10000 G01=1234 G04=556677 G99=000020)
echo "$answer" | grep -q '^F52=' || { echo "no F52 in the answer: $answer"; exit 1; }
# The check: the gateway up, said within a moment of its answer.
ok='^ZELCLIENT OK - ready, gateway up since '
for _ in $(seq 1 40); do
  "$bin/zelstatus" "$work" >"$scratch/status.out" || true
  grep -q "$ok" "$scratch/status.out" && break
  sleep 0.05
done
grep -q "$ok" "$scratch/status.out" || { cat "$scratch/status.out"; echo "zelstatus: not OK"; exit 1; }
kill -TERM "$svc"
wait "$svc" && status=0 || status=$?
[[ $status == 0 ]] || { echo "zelclient ended with status $status"; exit 1; }
"$bin/zelstatus" "$work" >/dev/null && status=0 || status=$?
[[ $status == 2 ]] || { echo "zelstatus gives $status for a stopped service, not 2"; exit 1; }
svc=""
echo "== round trip with the packaged binaries: answered, checked, stopped with status 0"
