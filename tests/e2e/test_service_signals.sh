#!/usr/bin/env bash
# The service as Linux ends it: SIGTERM (and SIGINT, twice in a row) to the
# service process stop it through its own handler (STOPPED with exit code 0,
# byebye, "Service stopped" in its log, LastDeviceID gone); a second instance
# started beside the running service leaves its device alone.
. "$(dirname "$0")/lib.sh"
enter_netns "$@"
new_state
"$QELUPNP" -Service
register_device_control
configure_sample 0   # messages on standard output: the service's log

service_pid() { "$SC" queryex QelUPnP | sed -nE 's/^ *PID *: *([0-9]+).*/\1/p'; }
exit_code_is() { grep -qE "WIN32_EXIT_CODE +: $1 " <<<"$("$SC" query QelUPnP)"; }
start_service() {
  "$SC" start QelUPnP >/dev/null
  wait_for 20 state_is 4 && wait_for 10 device_id_stored
}

for signals in TERM "INT INT"; do
  check "service runs (before SIG$signals)" start_service
  pid=$(service_pid)
  bye=$E2E_STATE/bye-${signals// /}.txt
  listener=$(listen_byebye "$bye" 15)
  sleep 1
  for s in $signals; do kill -"$s" "$pid"; done
  check "SIG$signals: the service reaches STOPPED" wait_for 10 state_is 1
  check "SIG$signals: exit code 0, not 1067" exit_code_is 0
  check "SIG$signals: the process is gone" wait_for 10 bash -c "! kill -0 $pid 2>/dev/null"
  check "SIG$signals: LastDeviceID is deleted" test -z "$(last_device_id)"
  sleep 1
  kill "$listener" 2>/dev/null || true
  wait "$listener" 2>/dev/null || true
  check "SIG$signals: byebye is sent" byebye_seen "$SAMPLE_UDN" "$bye"
done
log=$("$SC" log QelUPnP)
echo "$log"
check "the service's log holds its messages" grep -q 'QelUPnP:Service started' <<<"$log"
check "the service's log says it stopped, once per stop" [ "$(grep -c '^Service stopped$' <<<"$log")" -eq 2 ]
check "no withdrawal failed on the way" bash -c "! grep -q 'UnregisterDevice failed' <<<'$log'"

# A second instance beside the running service: the service's device stays.
check "service runs again" start_service
id=$(last_device_id)
sleep 3   # the announcement's own burst (it opens with a byebye) is over
bye=$E2E_STATE/bye-second.txt
listener=$(listen_byebye "$bye" 20)
sleep 1
out=$(timeout 20 "$QELUPNP" 2>&1) && rc=0 || rc=$?
echo "$out"
check "the second instance ends by itself" [ "$rc" -ne 124 ]
check "the second instance may not withdraw the running device" grep -q 'QelUPnP:UnregisterDevice failed.' <<<"$out"
check "the second instance may not announce the UDN again" grep -q 'announced by the live process' <<<"$out"
check "LastDeviceID is the running service's" [ "$(last_device_id)" = "$id" ]
"$QELUPNP" --help >/dev/null
check "the service still runs" state_is 4
found=$(discover 3 "$SAMPLE_UDN")
check "the device is still found" grep -q "$SAMPLE_UDN" <<<"$found"
kill "$listener" 2>/dev/null || true
wait "$listener" 2>/dev/null || true
check "no byebye for the running device" bash -c "! grep -q 'ssdp:byebye' '$bye'"

"$SC" stop QelUPnP >/dev/null
check "stop still works" wait_for 20 state_is 1
"$QELUPNP" -UnregServer
finish
