#!/usr/bin/env bash
# qelupnp-services against the manager's test service, in a private state
# directory: which services autostart starts, who gets the shutdown control,
# stop and its escalation, start failures, the pid file, and the unit names
# it hands to systemctl.
# Usage: services_tool_test.sh QELUPNP-SERVICES QELUPNP-SC SCM_TESTSVC
set -euo pipefail
TOOL=$(realpath "$1") SC=$(realpath "$2") SVC=$(realpath "$3")
fails=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what" >&2; fails=$((fails + 1)); fi
}
state=$(mktemp -d)
export QELUPNP_STATE_DIR=$state QELUPNP_SCM_TIMEOUT_MS=3000
cleanup() {
  # Nothing started here may outlive the test.
  for f in "$state"/rec.*; do
    [ -f "$f" ] && sed -n 's/^process //p' "$f" | xargs -r kill -9 2>/dev/null || true
  done
  rm -rf "$state"
}
trap cleanup EXIT
rec() { echo "$state/rec.$1"; }
# Gone, or a zombie that the reaper has not collected yet.
gone() { ! kill -0 "$1" 2>/dev/null || [ "$(ps -o stat= -p "$1" | cut -c1)" = Z ]; }
state_of() { "$SC" query "$1" | sed -nE 's/^ *STATE *: *([0-9]+).*/\1/p'; }
create() { # create NAME START TESTSVC-ARGS...
  local name=$1 start=$2; shift 2
  "$SC" create "$name" binPath= "$SVC --record $(rec "$name") $*" start= "$start" >/dev/null
}

create Auto1 auto
create Auto2 auto --accept stop
create Manual demand
create Off disabled
create Stubborn auto --accept stop,shutdown --stop-delay 60000
create Broken demand --mode exit

# autostart: exactly the auto-start services run afterwards.
"$TOOL" autostart 2>"$state/err" && rc=0 || rc=$?
check "autostart succeeds" [ "$rc" -eq 0 ]
for row in Auto1:4 Auto2:4 Stubborn:4 Manual:1 Off:1 Broken:1; do
  check "after autostart ${row%%:*} is in state ${row#*:}" [ "$(state_of "${row%%:*}")" = "${row#*:}" ]
done

# shutdown: the control reaches those that accept it; the others, and one
# that does not end in time, get signals; afterwards nothing runs.
pids=$(cat "$state"/rec.* | sed -n 's/^process //p')
"$TOOL" shutdown 2>"$state/err" && rc=0 || rc=$?
check "shutdown succeeds" [ "$rc" -eq 0 ]
check "Auto1 got the shutdown control (5)" grep -qx "control 5" "$(rec Auto1)"
check "Auto1 ended by itself" grep -q "Auto1: ended in" "$state/err"
check "Auto2 (no shutdown accepted) got no control" bash -c "! grep -q '^control' '$(rec Auto2)'"
check "Auto2 was ended by signal" grep -q "Auto2: ended by signal" "$state/err"
check "Stubborn got SIGTERM after the timeout" grep -q "Stubborn: process .* sending SIGTERM" "$state/err"
for p in $pids; do check "process $p is gone" gone "$p"; done

# A service still starting when the system stops gets the control once it runs.
create Slow demand --start-delay 1000
"$SC" start Slow >/dev/null
"$TOOL" shutdown 2>"$state/err" || true
check "a starting service gets the shutdown control once running" grep -qx "control 5" "$(rec Slow)"
check "the starting service ended by itself" grep -q "Slow: ended in" "$state/err"

# start: waits for RUNNING and writes the pid file; a failing start gives its code.
"$TOOL" start manual --pidfile "$state/manual.pid" 2>/dev/null && rc=0 || rc=$?
check "start succeeds" [ "$rc" -eq 0 ]
check "the service runs when start returns" [ "$(state_of Manual)" = 4 ]
check "the pid file names the service process" \
  [ "$(cat "$state/manual.pid")" = "$(sed -n 's/^process //p' "$(rec Manual)" | tail -n 1)" ]
"$TOOL" start Manual 2>/dev/null && rc=0 || rc=$?
check "starting a running service succeeds" [ "$rc" -eq 0 ]
for row in "Broken:255" "Off:255" "Missing:255" ; do
  "$TOOL" start "${row%%:*}" 2>"$state/err" && rc=0 || rc=$?
  check "start ${row%%:*} fails with exit ${row#*:}" [ "$rc" -eq "${row#*:}" ]
done
check "an aborted start names its code" grep -q "1067" <("$TOOL" start Broken 2>&1 || true)

# stop: STOP control, waits for the process; --all prints what it stopped.
"$TOOL" start Auto1 2>/dev/null
out=$("$TOOL" stop --all 2>/dev/null)
check "stop --all names the stopped services" [ "$(sort <<<"$out" | tr '\n' ' ')" = "Auto1 Manual " ]
check "Manual got the stop control (1)" grep -qx "control 1" "$(rec Manual)"
check "nothing runs after stop --all" [ "$(state_of Manual)$(state_of Auto1)" = 11 ]
"$TOOL" stop Manual 2>/dev/null && rc=0 || rc=$?
check "stopping a stopped service succeeds" [ "$rc" -eq 0 ]
# A unit's main process that outlives its service's report gets the same end.
sleep 30 &
lingering=$!
QELUPNP_SCM_TIMEOUT_MS=300 MAINPID=$lingering "$TOOL" stop Manual 2>/dev/null
check "stop ends the unit's lingering main process" gone "$lingering"
wait "$lingering" 2>/dev/null || true

# --systemd: each start becomes a queued start of the service's unit, with
# the name escaped as systemd-escape does.
mkdir "$state/bin"
printf '#!/bin/sh\necho "$*" >>"%s"\n' "$state/systemctl.log" >"$state/bin/systemctl"
chmod +x "$state/bin/systemctl"
"$SC" create 'My-Svc 2' binPath= "$SVC" start= auto >/dev/null
"$SC" config Auto2 start= demand >/dev/null
"$SC" config Stubborn start= demand >/dev/null
PATH=$state/bin:$PATH "$TOOL" --systemd autostart 2>/dev/null
check "autostart --systemd queues one unit per auto-start service" [ "$(sort "$state/systemctl.log" | tr '\n' '|')" = \
  '--no-block start qelupnp@Auto1.service|--no-block start qelupnp@My\x2dSvc\x202.service|' ]
if command -v systemd-escape >/dev/null; then
  check "the escaping matches systemd-escape" grep -qF "qelupnp@$(systemd-escape 'My-Svc 2').service" "$state/systemctl.log"
fi

[ "$fails" -eq 0 ] && echo "services tool: all checks passed" && exit 0
echo "services tool: $fails check(s) failed" >&2
exit 1
