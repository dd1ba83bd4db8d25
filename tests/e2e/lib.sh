# Shared helpers of the end-to-end tests. Source it first thing.
set -euo pipefail
: "${QEL_BIN_DIR:?}" "${QEL_PROGRAM_DIR:?}" "${QEL_SOURCE_DIR:?}"
export QELUPNP_MSGBOX_ANSWER=ok
E2E_NAME=$(basename "$0" .sh)
E2E_FAILS=0

QELUPNP=$QEL_PROGRAM_DIR/qelupnp
REG=$QEL_BIN_DIR/qelupnp-reg
SC=$QEL_BIN_DIR/qelupnp-sc
REGSVR=$QEL_BIN_DIR/qelupnp-regsvr
SAMPLE=$QEL_SOURCE_DIR/examples/QelWorkspace.xml
SAMPLE_UDN=$(sed -nE 's:.*<m_strUDN>([^<]*)</m_strUDN>.*:\1:p' "$SAMPLE" | head -n 1)

fail() { echo "FAIL: $*" >&2; E2E_FAILS=$((E2E_FAILS + 1)); }
pass() { echo "ok: $*"; }
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
finish() {
  if [ "$E2E_FAILS" -eq 0 ]; then echo "$E2E_NAME: all checks passed"; exit 0; fi
  echo "$E2E_NAME: $E2E_FAILS check(s) failed" >&2
  exit 1
}

# A private state directory for this test, removed at exit (with any service it started).
new_state() {
  E2E_STATE=$(mktemp -d /tmp/qel-e2e-XXXXXX)
  chmod 755 "$E2E_STATE"
  export QELUPNP_STATE_DIR=$E2E_STATE
  trap e2e_cleanup EXIT
}
e2e_cleanup() {
  local rc=$?
  if [ -n "${E2E_STATE:-}" ]; then
    # End every process still started from this state directory.
    for p in $(pgrep -f "$QEL_PROGRAM_DIR/qelupnp" || true); do
      if tr '\0' '\n' </proc/$p/environ 2>/dev/null | grep -qx "QELUPNP_STATE_DIR=$E2E_STATE"; then kill -9 "$p" 2>/dev/null || true; fi
    done
    rm -rf "$E2E_STATE"
  fi
  exit $rc
}

# Re-runs the calling script inside a private network namespace whose loopback
# carries multicast; skips (77) when that is not possible.
enter_netns() {
  if [ "${QEL_E2E_IN_NETNS:-}" = 1 ]; then
    ip link set lo up
    ip link set lo multicast on
    ip route add 239.0.0.0/8 dev lo 2>/dev/null || true
    return 0
  fi
  if ! command -v unshare >/dev/null || ! unshare -n true 2>/dev/null; then
    echo "$E2E_NAME: skipped: no private network namespace (needs root)"
    exit 77
  fi
  QEL_E2E_IN_NETNS=1 exec unshare -n -- bash "$0" "$@"
}

reg() { "$REG" "$@"; }
configure_sample() { # configure_sample [LOGTYPE] [LOGFILE]
  reg add 'HKCR\SoftWare\QelUPnP' /v DataPath /t REG_SZ /d "$SAMPLE" /f >/dev/null
  reg add 'HKCR\SoftWare\QelUPnP' /v LogLevel /t REG_DWORD /d 0 /f >/dev/null
  reg add 'HKCR\SoftWare\QelUPnP' /v LogType /t REG_DWORD /d "${1:-0}" /f >/dev/null
  reg add 'HKCR\SoftWare\QelUPnP' /v FileName /t REG_SZ /d "${2:-$E2E_STATE/QelUPnP.log}" /f >/dev/null
  reg add 'HKCR\SoftWare\QelUPnP' /v ProcessPriority /t REG_DWORD /d 1 /f >/dev/null
  reg add 'HKCR\SoftWare\QelUPnP' /v LCID /t REG_DWORD /d 0 /f >/dev/null
  # The tests' network is the namespace's loopback, which the host leaves out by default.
  reg add 'HKLM\SYSTEM\CurrentControlSet\Services\upnphost\Parameters' /v Interfaces /t REG_SZ /d lo /f >/dev/null
}
register_device_control() {
  local lib
  for lib in "$QEL_PROGRAM_DIR"/*.so; do "$REGSVR" /s "$lib"; done
}

# wait_for SECONDS COMMAND...: polls every 0.1 s.
wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  while [ $SECONDS -lt $end ]; do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

service_state() { "$SC" query QelUPnP 2>/dev/null | sed -nE 's/^ *STATE *: *([0-9]+).*/\1/p'; }
state_is() { [ "$(service_state)" = "$1" ]; }
last_device_id() { reg query 'HKCR\SoftWare\Varn2\QelUPnP' /v LastDeviceID 2>/dev/null | sed -nE 's/^ +LastDeviceID +REG_SZ +(.*)$/\1/p'; }
# For wait_for, which must run the query on every poll.
device_id_stored() { test -n "$(last_device_id)"; }
device_id_gone() { test -z "$(last_device_id)"; }
log_text() { [ -f "$1" ] && iconv -f UTF-16LE -t UTF-8 "$1"; }

# discover SECONDS [TARGET]: what gssdp-discover sees on loopback.
discover() { timeout $(( $1 + 5 )) gssdp-discover -i lo -n "$1" ${2:+-t "$2"} 2>/dev/null || true; }
# Starts a background listener for SSDP NOTIFY messages on loopback (one line
# "<NTS> <USN>" each) for $2 seconds; its output goes to the file $1. A raw
# listener, since a control point reports byebye only for devices it has seen.
listen_byebye() { "$QEL_SSDP_LISTEN" "${2:-30}" >"$1" 2>/dev/null & echo $!; }
byebye_seen() { grep -q "ssdp:byebye $1" "$2"; }
