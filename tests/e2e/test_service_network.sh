#!/usr/bin/env bash
# The whole program as a service, on a private loopback network: installed with
# -Service, started with qelupnp-sc, found by a UPnP control point, its
# descriptions served, stopped (byebye, LastDeviceID gone), killed and restarted
# (the old device is withdrawn first), removed with -UnregServer.
. "$(dirname "$0")/lib.sh"
enter_netns "$@"
new_state
log=$E2E_STATE/QelUPnP.log

"$QELUPNP" -Service
register_device_control
configure_sample 4 "$log"

"$SC" start QelUPnP >/dev/null && rc=0 || rc=$?
check "qelupnp-sc start succeeds" [ "$rc" -eq 0 ]
check "service reaches RUNNING" wait_for 20 state_is 4
check "log says the service started" wait_for 10 grep -q 'QelUPnP:Service started' <(log_text "$log")
check "the description was saved" test -s "$QEL_PROGRAM_DIR/QelUPnPDevice.xml"
check "LastDeviceID is stored" wait_for 10 has_device_id

found=$(discover 3 "$SAMPLE_UDN")
echo "$found"
check "a control point finds the device by its UDN" grep -q "$SAMPLE_UDN" <<<"$found"
found=$(discover 3 upnp:rootdevice)
check "a control point finds the root device" grep -q "$SAMPLE_UDN" <<<"$found"
location=$(sed -nE 's/.*Location: *(http[^ ]*).*/\1/p' <<<"$found" | head -n 1)
[ -n "$location" ] || location=$(sed -nE 's/.*(http:\/\/[^ ]*\.xml).*/\1/p' <<<"$found" | head -n 1)
check "the announcement carries a location" test -n "$location"
if [ -n "$location" ]; then
  desc=$(curl -sf --max-time 5 "$location" || true)
  check "the device description downloads" grep -q "$SAMPLE_UDN" <<<"$desc"
  check "the device description is well-formed" xmllint --noout - <<<"$desc"
  scpd_url=$(sed -nE 's:.*<SCPDURL>([^<]*)</SCPDURL>.*:\1:p' <<<"$desc" | head -n 1)
  base=${location%/*}
  case "$scpd_url" in http*) ;; /*) base=$(sed -E 's|(http://[^/]*).*|\1|' <<<"$location") ;; *) scpd_url=/$scpd_url ;; esac
  scpd=$(curl -sf --max-time 5 "$base$scpd_url" || true)
  check "the service description downloads" grep -q 'GetControllerName' <<<"$scpd"
fi

bye=$E2E_STATE/bye1.txt
listener=$(listen_byebye "$bye" 15)
sleep 1
"$SC" stop QelUPnP >/dev/null && rc=0 || rc=$?
check "qelupnp-sc stop succeeds" [ "$rc" -eq 0 ]
check "service reaches STOPPED" wait_for 20 state_is 1
check "LastDeviceID is gone after stop" wait_for 5 no_device_id
sleep 2
kill "$listener" 2>/dev/null || true
wait "$listener" 2>/dev/null || true
check "byebye seen on stop" byebye_seen "$SAMPLE_UDN" "$bye"
check "log says the service stopped" grep -q 'Service stopped' <(log_text "$log")

# A killed service leaves its device; the next start withdraws it first.
"$SC" start QelUPnP >/dev/null
check "service runs again" wait_for 20 state_is 4
check "LastDeviceID stored again" wait_for 10 has_device_id
old_id=$(last_device_id)
pid=$("$SC" queryex QelUPnP | sed -nE 's/^ *PID *: *([0-9]+).*/\1/p')
check "queryex shows the service's process" test -n "$pid"
[ -n "$pid" ] && kill -9 "$pid"
check "a killed service shows as STOPPED" wait_for 10 state_is 1
check "the killed service's exit code is 1067" grep -qE 'WIN32_EXIT_CODE +: 1067' <<<"$("$SC" query QelUPnP)"
check "LastDeviceID survives the kill" [ "$(last_device_id)" = "$old_id" ]
bye=$E2E_STATE/bye2.txt
listener=$(listen_byebye "$bye" 15)
sleep 1
"$SC" start QelUPnP >/dev/null
check "service restarts after the kill" wait_for 20 state_is 4
sleep 2
kill "$listener" 2>/dev/null || true
wait "$listener" 2>/dev/null || true
check "the old device is withdrawn with byebye on restart" byebye_seen "$SAMPLE_UDN" "$bye"
check "a new id is stored" wait_for 10 has_device_id
"$SC" stop QelUPnP >/dev/null || true
wait_for 20 state_is 1 || true

"$QELUPNP" -UnregServer
check "no service left" bash -c "! '$SC' query QelUPnP >/dev/null 2>&1"
finish
