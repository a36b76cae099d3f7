#!/usr/bin/env bash
# The service's metrics through a real collector: two instances of zelclient write
# their metrics files into one node exporter's text-file directory, the exporter
# is scraped over 127.0.0.1, and the scrape shows both instances' series without
# a collector error; promtool, where it is installed, checks the files and runs
# the alert rules' tests. Skips (77) without the node exporter.
#   metrics_test.sh BIN_DIR
set -uo pipefail
bin=$(cd "$1" && pwd)
exporter=$(command -v prometheus-node-exporter || command -v node_exporter) || {
  echo "no node exporter"
  exit 77
}
dir=$(mktemp -d /tmp/zelmetrics.XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$dir"/{root,work,textfile}
"$bin/zelgateway" -p 0 >"$dir/gw.out" &
pids+=($!)
for _ in $(seq 100); do grep -q "listening on port" "$dir/gw.out" && break; sleep 0.05; done
gw=$(sed -n 's/^listening on port \([0-9]*\).*/\1/p' "$dir/gw.out")
for name in FARM FARN; do  # the unit's instance names, as ZELCLIENT_INSTANCE gives them
  mkdir -p "$dir/$name/root" "$dir/$name/work"
  (cd "$dir/$name/work" && ZELCLIENT_METRICS_FILE="$dir/textfile/zelclient-$name.prom" \
    ZELCLIENT_INSTANCE="$name" exec "$bin/zelclient" -n AB -r "$dir/$name/root" -t caja1 \
    -g "127.0.0.1:$gw" -p -1) &
  pids+=($!)
  answer=$("$bin/zelterm" -r "$dir/$name/root" -t caja1 -w 10000 G01=1234 G04=556677 G99=000020)
  grep -q '^F52=GW' <<<"$answer" || fail "no answer from the gateway: $answer"
done

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$exporter" --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$dir/textfile" --web.listen-address="127.0.0.1:$port" \
  >"$dir/exporter.out" 2>&1 &
pids+=($!)
scrape() {
  python3 -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=2).read().decode())' \
    "http://127.0.0.1:$port/metrics" 2>/dev/null
}
for _ in $(seq 100); do scrape | grep -q '^zelclient_' && break; sleep 0.1; done
metrics=$(scrape)
for name in FARM FARN; do
  for line in "zelclient_ready{instance_name=\"$name\"} 1" \
    "zelclient_requests_total{instance_name=\"$name\",outcome=\"gateway\"} 1" \
    "zelclient_gateway_up{instance_name=\"$name\"} 1" \
    "zelclient_build_info{instance_name=\"$name\",version=\"" \
    "zelclient_exchange_duration_seconds_count{instance_name=\"$name\"} 1"; do
    grep -qF "$line" <<<"$metrics" || fail "the scrape lacks [$line]: $(grep zelclient_ <<<"$metrics")"
  done
  if command -v promtool >/dev/null; then
    promtool check metrics <"$dir/textfile/zelclient-$name.prom" || fail "promtool refuses $name's file"
  fi
  : >"$dir/$name/root/ZELCLIENTSTOP.tmp"
done
grep -q 'node_textfile_scrape_error 0' <<<"$metrics" || fail "the exporter could not read the files"
! grep -q 'collected before' "$dir/exporter.out" || fail "the exporter dropped a series: $(cat "$dir/exporter.out")"
if command -v promtool >/dev/null; then
  (cd "$(dirname "$0")" && promtool test rules zelclient-rules.test.yml) || fail "the alert rules' tests"
fi
echo "ok: the collector shows both instances' metrics, and the alert rules fire as they should"
