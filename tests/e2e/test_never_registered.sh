#!/usr/bin/env bash
# A program that was never registered, started without a switch, ends at once
# with exit code 2 and prints nothing.
. "$(dirname "$0")/lib.sh"
new_state
out=$("$QELUPNP" 2>&1) && rc=0 || rc=$?
check "never-registered start exits 2" [ "$rc" -eq 2 ]
check "never-registered start prints nothing" [ -z "$out" ]
check "no log file is written" [ ! -e "$E2E_STATE/QelUPnP.log" ]
finish
