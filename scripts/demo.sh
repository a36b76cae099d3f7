#!/usr/bin/env bash
# The service's main job on a temporary root: starts zelclient with full logging,
# shows its log, and stops it with the stop file.
set -euo pipefail
cd "$(dirname "$0")/.."
ZEL_WITH_WINDOWS=0 scripts/setup.sh
scripts/build.sh build

root=$(mktemp -d /tmp/zeldemo.XXXXXX)
echo "== root directory: $root"
build/bin/zelclient -n DEMO -r "$root" -t caja1,caja2 -T 1000 -l "$root/svc.log,1,300" &
svc=$!
sleep 1
echo "== stopping with $root/ZELCLIENTSTOP.tmp"
touch "$root/ZELCLIENTSTOP.tmp"
wait $svc && status=0 || status=$?
echo "== zelclient ended with status $status; its log:"
cat "$root/svc.log"
