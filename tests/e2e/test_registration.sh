#!/usr/bin/env bash
# -RegServer creates exactly the application entry and the type library entries;
# -Service installs the service; -UnregServer leaves nothing of the program behind.
. "$(dirname "$0")/lib.sh"
new_state
expected=$(dirname "$0")/expected

export_utf8() { # export_utf8 KEY -> the .reg export, decoded, with the program path replaced
  local f=$E2E_STATE/export.reg
  rm -f "$f"
  reg export "$1" "$f" /y >/dev/null || return 1
  iconv -f UTF-16LE -t UTF-8 "$f" | sed -e '1s/^\xEF\xBB\xBF//' \
    -e "s|$(realpath "$QEL_PROGRAM_DIR")/|@PROGRAM_DIR@/|g"
}

"$QELUPNP" -RegServer && rc=0 || rc=$?
check "-RegServer exits 0" [ "$rc" -eq 0 ]
check "AppID export matches" diff -u "$expected/appid.reg" <(export_utf8 'HKCR\AppID')
check "TypeLib export matches" diff -u "$expected/typelib.reg" <(export_utf8 'HKCR\TypeLib')
check "no LocalService after -RegServer" bash -c "! '$REG' query 'HKCR\\AppID\\{3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35}' /v LocalService >/dev/null 2>&1"
check "no service after -RegServer" bash -c "! '$SC' query QelUPnP >/dev/null 2>&1"

"$QELUPNP" -Service && rc=0 || rc=$?
check "-Service exits 0" [ "$rc" -eq 0 ]
qc=$("$SC" qc QelUPnP 2>&1 || true)
echo "$qc"
check "service is own-process" grep -qE 'TYPE +: 10 +WIN32_OWN_PROCESS' <<<"$qc"
check "service starts on demand" grep -qE 'START_TYPE +: 3 +DEMAND_START' <<<"$qc"
check "service runs the program" grep -qF "$(realpath "$QEL_PROGRAM_DIR")/qelupnp" <<<"$qc"
check "service depends on RPCSS" grep -qE 'DEPENDENCIES +: RPCSS' <<<"$qc"
check "service depends on UPNPHOST" grep -qE '^ +: UPNPHOST|DEPENDENCIES.*UPNPHOST' <<<"$qc"
check "service display name" grep -qE 'DISPLAY_NAME +: QelUPnP' <<<"$qc"
check "service description" grep -qF 'Access QEL by using UPnP.' <<<"$("$SC" qdescription QelUPnP 2>&1)"
check "LocalService after -Service" grep -q 'LocalService *REG_SZ *QelUPnP' <<<"$(reg query 'HKCR\AppID\{3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35}' 2>&1)"
check "ServiceParameters after -Service" grep -q 'ServiceParameters *REG_SZ *-Service' <<<"$(reg query 'HKCR\AppID\{3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35}' 2>&1)"

# Registering again as a local server removes the service.
"$QELUPNP" /regserver && rc=0 || rc=$?
check "/regserver exits 0" [ "$rc" -eq 0 ]
check "-RegServer removed the service" bash -c "! '$SC' query QelUPnP >/dev/null 2>&1"

"$QELUPNP" -Service >/dev/null
"$QELUPNP" -UnregServer && rc=0 || rc=$?
check "-UnregServer exits 0" [ "$rc" -eq 0 ]
check "no service after -UnregServer" bash -c "! '$SC' query QelUPnP >/dev/null 2>&1"
check "application id key gone" bash -c "! '$REG' query 'HKCR\\AppID\\{3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35}' >/dev/null 2>&1"
check "QelUPnP.EXE key gone" bash -c "! '$REG' query 'HKCR\\AppID\\QelUPnP.EXE' >/dev/null 2>&1"
check "AppID itself stays" reg query 'HKCR\AppID' >/dev/null
check "type library gone" bash -c "! '$REG' query 'HKCR\\TypeLib\\{E4190B6C-2A7F-4C3D-8E25-5B9F17D4A0C6}' >/dev/null 2>&1"

# After removal the start path ends at once again.
"$QELUPNP" >/dev/null 2>&1 && rc=0 || rc=$?
check "start after -UnregServer exits 2" [ "$rc" -eq 2 ]
finish
