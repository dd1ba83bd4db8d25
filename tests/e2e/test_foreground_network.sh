#!/usr/bin/env bash
# The program in the foreground (registered with -RegServer): it announces the
# sample device on loopback, and Ctrl+C (SIGINT) ends it with byebye.
. "$(dirname "$0")/lib.sh"
enter_netns "$@"
new_state
"$QELUPNP" -RegServer
register_device_control
configure_sample 0
out=$E2E_STATE/stdout.txt
"$QELUPNP" >"$out" 2>&1 &
pid=$!
check "foreground run says the service started" wait_for 15 grep -q 'QelUPnP:Service started' "$out"
check "foreground run stores LastDeviceID" wait_for 15 device_id_stored
found=$(discover 3 "$SAMPLE_UDN")
check "the device is found" grep -q "$SAMPLE_UDN" <<<"$found"
bye=$E2E_STATE/bye.txt
listener=$(listen_byebye "$bye" 10)
sleep 1
kill -INT "$pid"
wait "$pid" && rc=0 || rc=$?
check "Ctrl+C ends the process with a failure status" [ "$rc" -ne 0 ]
sleep 2
kill "$listener" 2>/dev/null || true
wait "$listener" 2>/dev/null || true
check "byebye is sent on Ctrl+C" byebye_seen "$SAMPLE_UDN" "$bye"
cat "$out"

# The device was withdrawn cleanly: the next start withdraws its id without a failure.
old_id=$(last_device_id)
check "LastDeviceID survives Ctrl+C" test -n "$old_id"
new_id_stored() { local id; id=$(last_device_id); [ -n "$id" ] && [ "$id" != "$old_id" ]; }
out2=$E2E_STATE/stdout2.txt
"$QELUPNP" >"$out2" 2>&1 &
pid=$!
check "the restarted run stores a new LastDeviceID" wait_for 15 new_id_stored
kill -INT "$pid"
wait "$pid" || true
cat "$out2"
check "no withdrawal failure after a Ctrl+C" bash -c "! grep -q 'UnregisterDevice failed' '$out2'"

# Two instances started at once: exactly one announces, the other ends.
"$QELUPNP" >"$E2E_STATE/a.txt" 2>&1 &
a=$!
"$QELUPNP" >"$E2E_STATE/b.txt" 2>&1 &
b=$!
one_ended() { ! kill -0 "$a" 2>/dev/null || ! kill -0 "$b" 2>/dev/null; }
check "one of two instances started at once ends" wait_for 15 one_ended
sleep 1
alive=0
for p in "$a" "$b"; do kill -0 "$p" 2>/dev/null && alive=$((alive + 1)); done
check "the other one runs on" [ "$alive" -eq 1 ]
check "exactly one registration was refused" [ "$(cat "$E2E_STATE/a.txt" "$E2E_STATE/b.txt" | grep -c 'egisterUPnPDevice() Failed.')" -eq 1 ]
found=$(discover 3 "$SAMPLE_UDN")
check "the device is found" grep -q "$SAMPLE_UDN" <<<"$found"
kill -INT "$a" "$b" 2>/dev/null || true
wait "$a" "$b" 2>/dev/null || true
cat "$E2E_STATE/a.txt" "$E2E_STATE/b.txt"
finish
