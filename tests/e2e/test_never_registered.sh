#!/usr/bin/env bash
# A program that was never registered, started without a switch, ends at once
# with exit code 2 and prints nothing; --help prints the usage and starts
# nothing; a program file named like a switch is not that switch.
. "$(dirname "$0")/lib.sh"
new_state
out=$("$QELUPNP" 2>&1) && rc=0 || rc=$?
check "never-registered start exits 2" [ "$rc" -eq 2 ]
check "never-registered start prints nothing" [ -z "$out" ]
check "no log file is written" [ ! -e "$E2E_STATE/QelUPnP.log" ]

for ask in --help -h -? /?; do
  out=$("$QELUPNP" "$ask" 2>&1) && rc=0 || rc=$?
  check "$ask exits 0" [ "$rc" -eq 0 ]
  check "$ask prints the usage" grep -q '^Usage: qelupnp \[-RegServer | -Service | -UnregServer | --help\]' <<<"$out"
  check "$ask names the state directory and the service log" grep -q 'QELUPNP_STATE_DIR is set here: '"$E2E_STATE" <<<"$out"
done
check "--help registers nothing" bash -c "! '$REG' query 'HKCR\\AppID' >/dev/null 2>&1"

# Copies of the program named like the switches, started without an argument.
bin=$E2E_STATE/bin
mkdir -p "$bin"
for name in service RegServer UnregServer; do
  cp "$(realpath "$QELUPNP")" "$bin/$name"
  "$bin/$name" >/dev/null 2>&1 && rc=0 || rc=$?
  check "a program file named $name starts (and, never registered, ends with 2)" [ "$rc" -eq 2 ]
done
check "the program files named like switches registered nothing" bash -c "! '$REG' query 'HKCR\\AppID' >/dev/null 2>&1"
"$bin/service" -RegServer && rc=0 || rc=$?
check "a switch after such a program path still counts" [ "$rc" -eq 0 ]
finish
