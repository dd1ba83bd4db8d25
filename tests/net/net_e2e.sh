#!/bin/sh
# End-to-end checks of the UPnP device host with real clients (gssdp-discover,
# curl, xmllint). Runs inside a network namespace of its own:
#   unshare -n sh net_e2e.sh SCENARIO
# Environment: PUBLISH (qel_net_publish), LISTEN (qel_ssdp_listen),
# REGSVR (qelupnp-regsvr), REG (qelupnp-reg), DEVCTL (the device-control library), FIXTURE (dir).
set -u

fail() { echo "FAIL: $*"; for f in "$WORK"/*.txt "$WORK"/*.err; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done; exit 1; }

ip link set lo up multicast on && ip route add 239.0.0.0/8 dev lo || { echo "FAIL: cannot set up loopback"; exit 1; }

WORK=$(mktemp -d)
PIDS=""
cleanup() { for p in $PIDS; do kill -9 "$p" 2>/dev/null; done; rm -rf "$WORK"; }
trap cleanup EXIT
export QELUPNP_STATE_DIR="$WORK/state"
RES="$WORK/res"
mkdir -p "$RES"
cp "$FIXTURE/QelUPnPService.xml" "$RES/"
UDN=uuid:3f2a9c1e-8b7d-4e6f-a5c4-0d1e2f3a4b5c

"$REGSVR" /s "$DEVCTL" || fail "qelupnp-regsvr /s $DEVCTL failed"
# This network is the namespace's loopback, which the host leaves out by default.
"$REG" add 'HKLM\SYSTEM\CurrentControlSet\Services\upnphost\Parameters' /v Interfaces /t REG_SZ /d lo /f >/dev/null \
  || fail "cannot set the host's Interfaces"

# wait_for FILE PATTERN [SECONDS]
wait_for() {
  n=0
  while [ $n -lt $((${3:-5} * 10)) ]; do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
    n=$((n + 1))
  done
  return 1
}

start_listener() {
  "$LISTEN" 60 > "$WORK/ssdp.txt" 2>&1 &
  PIDS="$PIDS $!"
  wait_for "$WORK/ssdp.txt" listening || fail "SSDP listener did not start"
}

start_publisher() {
  "$PUBLISH" serve "$FIXTURE/device.xml" "$RES/" > "$WORK/pub.txt" 2> "$WORK/pub.err" &
  PUB=$!
  PIDS="$PIDS $PUB"
  wait_for "$WORK/pub.txt" "^id=" 10 || fail "the device was not registered"
  ID=$(sed -n 's/^id=//p' "$WORK/pub.txt")
}

location() {
  gssdp-discover -i lo -t "$UDN" -n 3 > "$WORK/discover.txt" 2>&1
  grep -q "USN:.*$UDN" "$WORK/discover.txt" || fail "M-SEARCH for $UDN found nothing"
  sed -n 's/^ *Location: *//p' "$WORK/discover.txt" | head -1
}

case "$1" in
  discover)
    start_listener
    start_publisher
    wait_for "$WORK/ssdp.txt" "ssdp:alive $UDN::upnp:rootdevice" || fail "no ssdp:alive for the root device"
    for t in "$UDN" "$UDN::urn:schemas-upnp-org:device:QelUPnP:1" "$UDN::urn:schemas-upnp-org:service:Boiler:1" \
             "$UDN::urn:schemas-upnp-org:service:Pump 2 (東):1"; do
      wait_for "$WORK/ssdp.txt" "ssdp:alive $t\$" || fail "no ssdp:alive for $t"
    done
    "$LISTEN" search "urn:schemas-upnp-org:service:Pump 2 (東):1" > "$WORK/search.txt" 2>&1
    grep -q "$UDN::urn:schemas-upnp-org:service:Pump 2 (東):1" "$WORK/search.txt" \
      || fail "M-SEARCH for the Japanese service type found nothing"
    [ -n "$(location)" ] || fail "no LOCATION"
    ;;
  descriptions)
    start_publisher
    LOC=$(location)
    curl -sf "$LOC" -o "$WORK/device.xml" || fail "device description did not download from $LOC"
    xmllint --noout "$WORK/device.xml" || fail "device description is not valid XML"
    grep -q "<UDN>$UDN</UDN>" "$WORK/device.xml" || fail "device description lacks its UDN"
    BASE=$(echo "$LOC" | sed 's#^\(http://[^/]*\)/.*#\1#')
    SCPD=$(grep -o '<SCPDURL>[^<]*' "$WORK/device.xml" | head -1 | sed 's/<SCPDURL>//')
    curl -sf "$BASE$SCPD" -o "$WORK/service.xml" || fail "service description did not download from $BASE$SCPD"
    xmllint --noout "$WORK/service.xml" || fail "service description is not valid XML"
    cmp -s "$WORK/service.xml" "$RES/QelUPnPService.xml" || fail "service description differs from the file"
    code=$(curl -s -o /dev/null -w '%{http_code}' --path-as-is "$BASE${SCPD%/*}/../../../etc/passwd")
    [ "$code" != 200 ] || fail "path traversal answered 200"
    ;;
  control)
    start_publisher
    LOC=$(location)
    BASE=$(echo "$LOC" | sed 's#^\(http://[^/]*\)/.*#\1#')
    curl -sf "$LOC" -o "$WORK/device.xml" || fail "no description"
    CTL=$(grep -o '<controlURL>[^<]*' "$WORK/device.xml" | head -1 | sed 's/<controlURL>//')
    TYPE=urn:schemas-upnp-org:service:Boiler:1
    BODY='<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:GetControllerName xmlns:u="'$TYPE'"/></s:Body></s:Envelope>'
    curl -s -X POST -H 'Content-Type: text/xml; charset="utf-8"' -H "SOAPACTION: \"$TYPE#GetControllerName\"" \
      --data "$BODY" "$BASE$CTL" > "$WORK/answer.txt" || fail "control request failed"
    grep -q "<ControllerName>Boiler</ControllerName>" "$WORK/answer.txt" || fail "no GetControllerName answer"
    BAD=$(echo "$BODY" | sed 's/GetControllerName/SetControllerName/g')
    curl -s -X POST -H 'Content-Type: text/xml; charset="utf-8"' -H "SOAPACTION: \"$TYPE#SetControllerName\"" \
      --data "$BAD" "$BASE$CTL" > "$WORK/fault.txt"
    grep -q "<errorCode>401</errorCode>" "$WORK/fault.txt" || fail "an unknown action did not get 401"
    ;;
  sigterm|sigint)
    start_publisher
    start_listener
    SIG=TERM; EXPECT=143
    [ "$1" = sigint ] && { SIG=INT; EXPECT=130; }
    kill -$SIG "$PUB"
    wait "$PUB"; st=$?
    [ $st -eq $EXPECT ] || fail "the publisher ended with $st, not $EXPECT"
    wait_for "$WORK/ssdp.txt" "ssdp:byebye $UDN::upnp:rootdevice" 3 || fail "no ssdp:byebye after SIG$SIG"
    wait_for "$WORK/ssdp.txt" "ssdp:byebye $UDN::urn:schemas-upnp-org:service:Pump 2 (東):1" 3 \
      || fail "no ssdp:byebye for the Japanese service type"
    [ -z "$(ls "$QELUPNP_STATE_DIR/upnphost/" 2>/dev/null | grep '\.device$')" ] || fail "the record was left"
    ;;
  killed)
    start_publisher
    kill -9 "$PUB"
    wait "$PUB" 2>/dev/null
    [ -f "$QELUPNP_STATE_DIR/upnphost/$ID.device" ] || fail "a killed process left no record"
    start_listener
    "$PUBLISH" withdraw "$ID" > "$WORK/withdraw.txt" 2>&1 || fail "the next process could not withdraw $ID"
    wait_for "$WORK/ssdp.txt" "ssdp:byebye $UDN::upnp:rootdevice" 3 || fail "no ssdp:byebye for the old device"
    wait_for "$WORK/ssdp.txt" "ssdp:byebye $UDN\$" 3 || fail "no ssdp:byebye for the old UDN"
    [ ! -f "$QELUPNP_STATE_DIR/upnphost/$ID.device" ] || fail "the record was not removed"
    "$PUBLISH" withdraw "$ID" > "$WORK/again.txt" 2>&1 && fail "a second withdrawal of $ID succeeded"
    "$PUBLISH" withdraw "{01234567-89AB-4CDE-8F01-23456789ABCD}" > "$WORK/never.txt" 2>&1 \
      && fail "an id never handed out was withdrawn"
    ;;
  *)
    echo "unknown scenario $1"; exit 2 ;;
esac
echo "PASS: $1"
