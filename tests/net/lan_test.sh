#!/bin/bash
# The device host on a small LAN of namespaces, with no "Interfaces" value (so
# every interface is served): a control point in the other namespace finds
# the device over IPv6 link-local and, once the address arrives, IPv4; reads
# the descriptions, calls an action and subscribes over both; finds it again
# after an address change and a link flap; sees byebye on both at the end.
#   unshare -n bash lan_test.sh
# Environment: PUBLISH, LISTEN, REGSVR, DEVCTL, FIXTURE (as for net_e2e.sh).
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lan.sh"

WORK=$(mktemp -d); [ -n "${KEEP:-}" ] && echo "work: $WORK"
PIDS=""
cleanup() { for p in $PIDS; do kill -9 "$p" 2>/dev/null; done; lan_down; wait 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$WORK"; }
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in "$WORK"/*.txt "$WORK"/*.err; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done
  exit 1
}
# wait_for FILE PATTERN [SECONDS]
wait_for() {
  local n=0
  while [ $n -lt $((${3:-5} * 20)) ]; do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05; n=$((n + 1))
  done
  return 1
}
count() { grep -c -- "$2" "$1" 2>/dev/null; }

lan_up || fail "cannot make the namespace LAN"
export QELUPNP_STATE_DIR="$WORK/state"
RES="$WORK/res"; mkdir -p "$RES"; cp "$FIXTURE/QelUPnPService.xml" "$RES/"
UDN=uuid:3f2a9c1e-8b7d-4e6f-a5c4-0d1e2f3a4b5c
JP="$UDN::urn:schemas-upnp-org:service:Pump 2 (東):1"
TYPE=urn:schemas-upnp-org:service:Boiler:1
"$REGSVR" /s "$DEVCTL" || fail "qelupnp-regsvr /s $DEVCTL failed"

incp "$LISTEN" -i eth0 60 > "$WORK/v4.txt" 2>&1 & PIDS="$PIDS $!"
incp "$LISTEN" -i eth0 -6 60 > "$WORK/v6.txt" 2>&1 & PIDS="$PIDS $!"
incp "$LISTEN" http-sink 8058 60 > "$WORK/callbacks.txt" 2>&1 & PIDS="$PIDS $!"
wait_for "$WORK/v4.txt" listening && wait_for "$WORK/v6.txt" listening && wait_for "$WORK/callbacks.txt" listening \
  || fail "the control point's listeners did not start"

# No Interfaces value at all: the store no longer says "lo".
"$PUBLISH" serve "$FIXTURE/device.xml" "$RES/" > "$WORK/pub.txt" 2> "$WORK/pub.err" & PUB=$!; PIDS="$PIDS $PUB"
wait_for "$WORK/pub.txt" "^id=" 10 || fail "the device was not registered"

# IPv6 link-local from the start.
LL=$(lan_linklocal)
wait_for "$WORK/v6.txt" "ssdp:alive http://\[$LL\]:[0-9]*/.* $UDN::upnp:rootdevice" 3 \
  || fail "no ssdp:alive over IPv6 with LOCATION [$LL]"
grep -q "ssdp:byebye" "$WORK/v6.txt" && fail "byebye before the first alive"

# The IPv4 address arrives after the start (the boot race).
ip addr add 192.168.77.10/24 dev eth0
wait_for "$WORK/v4.txt" "ssdp:alive http://192.168.77.10:[0-9]*/.* $UDN::upnp:rootdevice" 3 \
  || fail "no ssdp:alive once the IPv4 address arrived"
wait_for "$WORK/v4.txt" "ssdp:alive .* $JP\$" 2 || fail "no ssdp:alive for the Japanese service type"

# check_device FAMILY_OPTS CURL_HOST: search, descriptions, an action, a subscription.
check_device() {
  local opts=$1 label=$2 loc base scpd ctl ev
  incp "$LISTEN" -i eth0 $opts -w 1500 search upnp:rootdevice > "$WORK/search-$label.txt" 2>&1
  loc=$(awk -v u="$UDN::upnp:rootdevice" '$3 == u { print $2; exit }' "$WORK/search-$label.txt")
  [ -n "$loc" ] || fail "$label: an M-SEARCH found nothing"
  [ "$label" = v6 ] && loc=$(echo "$loc" | sed 's#\]#%25eth0]#')
  base=$(echo "$loc" | sed 's#^\(http://[^/]*\)/.*#\1#')
  incp curl -sfg "$loc" -o "$WORK/device-$label.xml" || fail "$label: no description from $loc"
  grep -q "<UDN>$UDN</UDN>" "$WORK/device-$label.xml" || fail "$label: the description lacks its UDN"
  scpd=$(grep -o '<SCPDURL>[^<]*' "$WORK/device-$label.xml" | head -1 | sed 's/<SCPDURL>//')
  incp curl -sfg "$base$scpd" -o "$WORK/scpd-$label.xml" || fail "$label: no service description"
  cmp -s "$WORK/scpd-$label.xml" "$RES/QelUPnPService.xml" || fail "$label: the service description differs"
  ctl=$(grep -o '<controlURL>[^<]*' "$WORK/device-$label.xml" | head -1 | sed 's/<controlURL>//')
  body='<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:GetControllerName xmlns:u="'$TYPE'"/></s:Body></s:Envelope>'
  incp curl -sg -X POST -H 'Content-Type: text/xml; charset="utf-8"' -H "SOAPACTION: \"$TYPE#GetControllerName\"" \
    --data "$body" "$base$ctl" > "$WORK/answer-$label.txt" || fail "$label: the control request failed"
  grep -q "<ControllerName>Boiler</ControllerName>" "$WORK/answer-$label.txt" || fail "$label: no action answer"
  if [ -n "${3:-}" ]; then
    ev=$(grep -o '<eventSubURL>[^<]*' "$WORK/device-$label.xml" | head -1 | sed 's/<eventSubURL>//')
    code=$(incp curl -sg -o /dev/null -w '%{http_code}' -X SUBSCRIBE -H "CALLBACK: <$3>" -H 'NT: upnp:event' \
           -H 'TIMEOUT: Second-300' "$base$ev")
    [ "$code" = 200 ] || fail "$label: SUBSCRIBE answered $code"
  fi
}
check_device "" v4 "http://192.168.77.20:8058/v4"
wait_for "$WORK/callbacks.txt" "NOTIFY upnp:event uuid:" 3 || fail "no initial event over IPv4"
CPLL=$(incp ip -6 -o addr show dev eth0 scope link | sed -n 's#.* inet6 \([^/]*\)/.*#\1#p' | head -1)
check_device -6 v6 "http://[$CPLL]:8058/v6"
n=0
while [ "$(count "$WORK/callbacks.txt" "NOTIFY upnp:event uuid:")" -lt 2 ]; do
  n=$((n + 1)); [ $n -gt 60 ] && fail "no initial event over IPv6 link-local"; sleep 0.05
done

# MX 0 and a unicast search without MX are answered at once.
incp "$LISTEN" -i eth0 -x 0 -w 400 search "$UDN" > "$WORK/mx0.txt" 2>&1
grep -q "^$UDN " "$WORK/mx0.txt" || fail "MX: 0 was not answered within 400 ms"
incp "$LISTEN" -i eth0 -u 192.168.77.10 -w 400 search ssdp:all > "$WORK/unicast.txt" 2>&1
grep -q " $JP\$" "$WORK/unicast.txt" || fail "a unicast M-SEARCH was not answered"

# A new address: found there, with its own LOCATION.
ip addr del 192.168.77.10/24 dev eth0
ip addr add 192.168.77.11/24 dev eth0
wait_for "$WORK/v4.txt" "ssdp:alive http://192.168.77.11:[0-9]*/.* $UDN::upnp:rootdevice" 2 \
  || fail "no ssdp:alive with the new address"
check_device "" v4new ""
grep -q "http://192.168.77.11:" "$WORK/search-v4new.txt" || fail "the search answer still names the old address"

# Link down and up: a fresh announcement set.
before=$(count "$WORK/v4.txt" "ssdp:alive http://192.168.77.11:.* $UDN::upnp:rootdevice")
ip link set eth0 down; sleep 0.3; ip link set eth0 up
n=0
while [ "$(count "$WORK/v4.txt" "ssdp:alive http://192.168.77.11:.* $UDN::upnp:rootdevice")" -le "$before" ]; do
  n=$((n + 1)); [ $n -gt 40 ] && fail "no ssdp:alive after the link came back"; sleep 0.05
done

# The end: byebye for every target on both families.
kill -TERM "$PUB"; wait "$PUB"
for f in v4 v6; do
  wait_for "$WORK/$f.txt" "ssdp:byebye .*$UDN::upnp:rootdevice" 2 || fail "$f: no byebye for the root device"
  wait_for "$WORK/$f.txt" "ssdp:byebye .*$JP\$" 2 || fail "$f: no byebye for the Japanese service type"
done
grep -q "upnphost: serving on eth0" "$WORK/pub.err" || fail "the host did not say where it serves"
echo "PASS: lan"
