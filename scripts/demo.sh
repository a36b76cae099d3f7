#!/usr/bin/env bash
# The service's main job on a temporary root: the gateway simulator on
# localhost:8000, zelclient with two terminals, a few requests dropped the way a
# terminal does, each answer shown, and both stopped cleanly; then an outage
# with a limit, and TLS to two gateway addresses, the first of which goes away.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
# Only what the demo runs: the service and the gateway simulator.
cmake -S . -B build -G Ninja -DZEL_WERROR=ON >/dev/null
cmake --build build --target zelclient zelgateway -- -j"$(nproc)"
bin=$PWD/build/bin

demo=$(mktemp -d /tmp/zeldemo.XXXXXX)
root=$demo/root
work=$demo/work
mkdir -p "$root" "$work"
echo "== root directory $root, working directory $work"

"$bin/zelgateway" -p 8000 -m approve >"$demo/gateway.out" &
gateway=$!
sleep 0.3
(cd "$work" && exec "$bin/zelclient" -n DEMO -r "$root" -t caja1,caja2 -g 127.0.0.1:8000 -F 1234 -p 60 \
  -l "$work/svc.log,1,300") >"$demo/client.out" &
client=$!
sleep 0.3

troquel() { printf '%-51s' "$1" | tr ' ' 'X'; }

# request TERMINAL TEXT: writes the request file, waits for the answer, shows it.
request() {
  local in="$root/${1}in.txt" out="$root/${1}out.txt"
  printf '%s\r\n' "$2" >"$in"
  for _ in $(seq 1 200); do
    [[ -s $out && ! -e $in ]] && break
    sleep 0.05
  done
  echo "-- $1 sent:    $2"
  echo "   $1 answer:  $(tr -d '\r' <"$out" | iconv -f WINDOWS-1252 -t UTF-8)"
  rm -f "$out"
}

echo "== a good request, answered by the gateway"
request caja1 "|G01=1234|G04=556677|G08=42|G06=$(troquel 7791234)|G99=000020|"
echo "== three troqueles where two are allowed: refused locally"
request caja2 "|G01=1234|G04=556678|G08=42|G06=$(troquel 1)$(troquel 2)$(troquel 3)|G99=000020|"
echo "== the gateway stops: the service pre-authorises by itself"
kill -INT $gateway
wait $gateway || true
request caja1 "|G01=1234|G04=556679|G08=42|G99=000020|"

touch "$root/ZELCLIENTSTOP.tmp"
wait $client && status=0 || status=$?

echo "== an outage with a limit: at most 2 local pre-authorisations, then error answers"
"$bin/zelgateway" -p 8000 -m close -n 4 >"$demo/gateway2.out" &
gateway=$!
sleep 0.3
(cd "$work" && ZELCLIENT_STANDIN_MAX_PER_OUTAGE=2 exec "$bin/zelclient" -n DEMO -r "$root" \
  -t caja1 -g 127.0.0.1:8000 -F 1234 -p 60 -l "$work/svc.log,1,300") >>"$demo/client.out" &
client=$!
sleep 0.3
for n in 1 2 3 4 5; do request caja1 "|G01=1234|G04=55670$n|G08=42|G99=000020|"; done
touch "$root/ZELCLIENTSTOP.tmp"
wait $client || true
kill -INT $gateway
wait $gateway || true
echo "== TLS to two gateways (ports 8443 and 8444, one authority made for the run): the first stops"
mkdir -p "$demo/tls"
"$bin/zelgateway" -p 8443 -s "$demo/tls" >"$demo/gateway-tls1.out" &
first=$!
sleep 0.5
"$bin/zelgateway" -p 8444 -s "$demo/tls" >"$demo/gateway-tls2.out" &
second=$!
sleep 0.3
(cd "$work" && ZELCLIENT_TLS=on ZELCLIENT_TLS_CA="$demo/tls/ca.pem" \
  ZELCLIENT_GATEWAY_ALT=127.0.0.1:8444 exec "$bin/zelclient" -n DEMO -r "$root" -t caja1 \
  -g 127.0.0.1:8443 -F 1234 -p 60 -l "$work/tls.log,1,300") >>"$demo/client.out" &
client=$!
sleep 0.3
request caja1 "|G01=1234|G04=556690|G08=42|G99=000020|"
kill -INT $first
wait $first || true
request caja1 "|G01=1234|G04=556691|G08=42|G99=000020|"
touch "$root/ZELCLIENTSTOP.tmp"
wait $client || true
kill -INT $second
wait $second || true
echo "   the first gateway saw $(grep -c '^type=' "$demo/gateway-tls1.out") request(s), the second" \
  "$(grep -c '^type=' "$demo/gateway-tls2.out")"
grep -E "TLS con|conectandose al gateway|el gateway responde en" "$work/tls.log" | cut -f2- | sed 's/^/   /'

echo "== why each local answer was given ($work/zelcausas.txt):"
tr -d '\r' <"$work/zelcausas.txt"
echo "== zelclient ended with status $status"
echo "== the gateway's view of the traffic:"
cat "$demo/gateway.out"
echo "== journal of local pre-authorisations ($work/zelautoresp.txt):"
tr -d '\r' <"$work/zelautoresp.txt"
echo "== the service's logs are $work/svc.log and, for the TLS part, $work/tls.log"
