#!/usr/bin/env bash
# The Debian package end to end: builds it (and an older version of it), checks
# the systemd units with systemd-analyze, installs the older one, runs the
# service from the installed layout, upgrades over it while the service runs,
# sends the shutdown control the way the boot unit does at system stop, and
# purges the package while the service runs. Everything happens in a private
# network namespace (loopback only); the package goes into a scratch root
# (dpkg --instdir, maintainer scripts run with DPKG_ROOT), or with
# QEL_PACKAGE_TEST_SYSTEM=1 onto this machine itself (a CI machine).
# Needs root; exit code 77 means skipped.
# Usage: package_test.sh BUILD_DIR   (QEL_SSDP_LISTEN: the tests' SSDP listener, when
#        BUILD_DIR is a tree built without the tests)
set -euo pipefail
build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
name=package_test

skip() { echo "$name: skipped: $*"; exit 77; }
if [ "${QEL_PKG_IN_NETNS:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || skip "needs root (dpkg, a private network namespace, root-owned package files)"
  for tool in dpkg-deb dpkg-shlibdeps systemd-analyze unshare ip; do
    command -v "$tool" >/dev/null || skip "$tool is missing (see scripts/packages.txt)"
  done
  unshare -n true 2>/dev/null || skip "no private network namespace"
  QEL_PKG_IN_NETNS=1 exec unshare -n -- bash "$0" "$@"
fi
ip link set lo up
ip link set lo multicast on
ip route add 239.0.0.0/8 dev lo 2>/dev/null || true

fails=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what" >&2; fails=$((fails + 1)); fi
}
wait_for() { # wait_for SECONDS COMMAND...
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.1
  done
}

cleanup() {
  local rc=$?
  # No process started from the installed program may outlive the test.
  pkill -9 -f "^$R/usr/lib/qelupnp/qelupnp" 2>/dev/null || true
  [ -n "${installed_here:-}" ] && [ -z "$R" ] && dpkg --purge qelupnp >/dev/null 2>&1
  rm -rf "$work"
  exit $rc
}
work=$(mktemp -d /tmp/qel-pkg-XXXXXX)
R=$work/root
trap cleanup EXIT
if [ "${QEL_PACKAGE_TEST_SYSTEM:-}" = 1 ]; then
  R=
  dpkg_() { dpkg --log=/dev/null "$@"; }
  dpkg -s qelupnp >/dev/null 2>&1 && skip "qelupnp is installed on this machine already"
  # The purge removes the state directory: never one that holds someone's state.
  [ -z "$(ls -A /var/lib/qelupnp 2>/dev/null)" ] || skip "/var/lib/qelupnp holds state already"
else
  mkdir -p "$R/var/lib/dpkg/info" "$R/var/lib/dpkg/updates" "$R/var/lib/dpkg/triggers"
  : >"$R/var/lib/dpkg/status"
  # The package's dependencies are this machine's libraries, which the
  # scratch root's own dpkg database does not list.
  dpkg_() {
    local rc=0
    dpkg --instdir="$R" --admindir="$R/var/lib/dpkg" --force-script-chrootless --force-depends \
      --log=/dev/null "$@" >"$work/dpkg.out" 2>&1 || rc=$?
    grep -vE "dependency problems|depends on|not installed|^ *Package " "$work/dpkg.out" || true
    return $rc
  }
fi
export QELUPNP_STATE_DIR=$R/var/lib/qelupnp QELUPNP_MSGBOX_ANSWER=ok QELUPNP_SCM_TIMEOUT_MS=10000
SC=$R/usr/bin/qelupnp-sc REG=$R/usr/bin/qelupnp-reg TOOL=$R/usr/libexec/qelupnp/qelupnp-services
LISTEN=${QEL_SSDP_LISTEN:-$build/tests/net/qel_ssdp_listen}
[ -x "$LISTEN" ] || skip "no SSDP listener at $LISTEN (build the tests, or set QEL_SSDP_LISTEN)"
log=$QELUPNP_STATE_DIR/QelUPnP.log
udn=$(sed -nE 's:.*<m_strUDN>([^<]*)</m_strUDN>.*:\1:p' "$here/../../examples/QelWorkspace.xml" | head -n 1)
state_is() { [ "$("$SC" query QelUPnP 2>/dev/null | sed -nE 's/^ *STATE *: *([0-9]+).*/\1/p')" = "$1" ]; }
service_pid() { "$SC" queryex QelUPnP | sed -nE 's/^ *PID *: *([0-9]+).*/\1/p'; }
last_id() { "$REG" query 'HKCR\SoftWare\Varn2\QelUPnP' /v LastDeviceID 2>/dev/null | sed -nE 's/^ +LastDeviceID +REG_SZ +(.*)$/\1/p'; }
has_id() { [ -n "$(last_id)" ]; }
log_text() { [ -f "$log" ] && iconv -f UTF-16LE -t UTF-8 "$log" | tr -d '\r'; }
# listen SECONDS: collects SSDP NOTIFYs on loopback into $work/ssdp.N; prints N.
listen() {
  listen_n=$((${listen_n:-0} + 1))
  "$LISTEN" "$1" >"$work/ssdp.$listen_n" 2>/dev/null &
  listen_pid=$!
  sleep 1
}
byebye_after() { # byebye_after: waits for the listener, then looks for byebye
  sleep 1
  kill "$listen_pid" 2>/dev/null || true
  wait "$listen_pid" 2>/dev/null || true
  grep -q "ssdp:byebye $udn" "$work/ssdp.$listen_n"
}

# ---- Build ----------------------------------------------------------------------
deb=$("$here/../build-deb" "$build" "$work" 1.0)
old=$("$here/../build-deb" "$build" "$work" 0.9)
check "the package builds" test -s "$deb"
contents=$(dpkg-deb -c "$deb")
for path in ./usr/lib/qelupnp/qelupnp ./usr/lib/qelupnp/QelUPnPService.xml ./usr/lib/qelupnp/libqeldevicecontrol.so \
  ./usr/bin/qelupnp-reg ./usr/bin/qelupnp-sc ./usr/bin/qelupnp-regsvr ./usr/libexec/qelupnp/qelupnp-services \
  ./usr/lib/systemd/system/qelupnp.service ./usr/lib/systemd/system/qelupnp@.service; do
  check "the package holds $path" grep -qE " $path\$" <<<"$contents"
done
check "the package links /usr/bin/qelupnp to the program" grep -qF "./usr/bin/qelupnp -> ../lib/qelupnp/qelupnp" <<<"$contents"
check "every file in the package belongs to root" bash -c "! grep -v ' root/root ' <<<'$contents'"
check "the package names its library dependencies" grep -q "libsqlite3" <(dpkg-deb -f "$deb" Depends)

# ---- The units -------------------------------------------------------------------
# systemd-analyze looks for the commands and the units they need inside --root:
# the package's files beside this machine's own units.
vroot=$work/verify
mkdir -p "$vroot/usr/lib/systemd/system"
dpkg-deb -x "$deb" "$vroot"
[ -d /usr/lib/systemd/system ] && cp -a --no-clobber /usr/lib/systemd/system/. "$vroot/usr/lib/systemd/system/"
ln -s usr/lib "$vroot/lib"
out=$(systemd-analyze --root="$vroot" verify "$vroot/usr/lib/systemd/system/qelupnp.service" \
  "$vroot/usr/lib/systemd/system/qelupnp@QelUPnP.service" 2>&1) && rc=0 || rc=$?
[ -n "$out" ] && echo "$out"
check "systemd-analyze verify passes on both units, without a warning" [ "$rc" -eq 0 -a -z "$out" ]

# ---- Install the older version, run the service ------------------------------------
installed_here=1
dpkg_ -i "$old"
check "the state directory exists, owned by root" [ "$(stat -c %U:%G "$R/var/lib/qelupnp")" = root:root ]
check "the state directory is not writable by others" [ $(( 0$(stat -c %a "$R/var/lib/qelupnp") & 022 )) -eq 0 ]
check "the boot unit is enabled" test -L "$R/etc/systemd/system/multi-user.target.wants/qelupnp.service"
check "the device-control component is registered" \
  grep -q "libqeldevicecontrol.so" <("$REG" query 'HKCR\CLSID' /s 2>/dev/null)

"$R/usr/bin/qelupnp" -Service
image=$("$SC" qc QelUPnP | sed -nE 's/^ *BINARY_PATH_NAME *: *(.*)$/\1/p')
check "the service runs the installed program" [ "$image" = "$R/usr/lib/qelupnp/qelupnp" ]
"$REG" add 'HKCR\SoftWare\QelUPnP' /v DataPath /t REG_SZ /d "$R/usr/share/qelupnp/examples/QelWorkspace.xml" /f >/dev/null
"$REG" add 'HKCR\SoftWare\QelUPnP' /v LogLevel /t REG_DWORD /d 0 /f >/dev/null
"$REG" add 'HKCR\SoftWare\QelUPnP' /v LogType /t REG_DWORD /d 4 /f >/dev/null
"$REG" add 'HKCR\SoftWare\QelUPnP' /v FileName /t REG_SZ /d "$log" /f >/dev/null
"$REG" add 'HKLM\SYSTEM\CurrentControlSet\Services\upnphost\Parameters' /v Interfaces /t REG_MULTI_SZ /d lo /f >/dev/null
"$SC" config QelUPnP start= auto >/dev/null
settings=$("$REG" query 'HKCR\SoftWare\QelUPnP')

"$TOOL" autostart
check "autostart runs the auto-start service" state_is 4
check "the device is registered" wait_for 10 has_id
check "the description is saved in the program directory" test -s "$R/usr/lib/qelupnp/QelUPnPDevice.xml"

# ---- Upgrade while it runs: stopped, restarted, settings kept ----------------------------
pid1=$(service_pid)
listen 30
dpkg_ -i "$deb"
check "the upgrade withdrew the running device (byebye)" byebye_after
check "the version installed is the new one" grep -qx "Version: 1.0" <(dpkg --admindir="$R/var/lib/dpkg" -s qelupnp)
check "the old service process is gone" bash -c "! kill -0 $pid1 2>/dev/null || [ \"\$(ps -o stat= -p $pid1 | cut -c1)\" = Z ]"
check "the service runs again after the upgrade" wait_for 15 state_is 4
check "the settings survive the upgrade unchanged" [ "$("$REG" query 'HKCR\SoftWare\QelUPnP')" = "$settings" ]
check "the service keeps its start type" grep -qE "START_TYPE +: 2" <("$SC" qc QelUPnP)
check "a device is registered again" wait_for 10 has_id

# ---- System stop: the boot unit's shutdown control --------------------------------
listen 30
"$TOOL" shutdown
check "shutdown ends the service (STOPPED)" state_is 1
check "shutdown ends with exit code 0" grep -qE "WIN32_EXIT_CODE +: 0 " <("$SC" query QelUPnP)
check "shutdown withdraws the device (byebye)" byebye_after
check "the log says the service stopped" grep -q "Service stopped" <(log_text)
check "LastDeviceID is gone after the shutdown" [ -z "$(last_id)" ]

# ---- Remove keeps the state; a reinstall finds it ---------------------------------
dpkg_ -r qelupnp
check "remove takes the program directory" test ! -e "$R/usr/lib/qelupnp"
check "remove keeps the registry" test -n "$(ls -A "$R/var/lib/qelupnp")"
dpkg_ -i "$deb"
check "after a reinstall the boot unit is enabled, not masked" \
  [ -L "$R/etc/systemd/system/multi-user.target.wants/qelupnp.service" -a ! -e "$R/etc/systemd/system/qelupnp.service" ]
check "after a reinstall the service is still installed" grep -qE "START_TYPE +: 2" <("$SC" qc QelUPnP)
check "after a reinstall the settings are unchanged" [ "$("$REG" query 'HKCR\SoftWare\QelUPnP')" = "$settings" ]

# ---- Purge while it runs ---------------------------------------------------------------
"$TOOL" start QelUPnP --pidfile "$work/pid"
check "start from the installed layout runs the service" state_is 4
pid2=$(cat "$work/pid")
check "a device is registered for the purge" wait_for 10 has_id
listen 30
dpkg_ --purge qelupnp
check "removal withdraws the running device (byebye)" byebye_after
check "removal leaves no service process" bash -c "! kill -0 $pid2 2>/dev/null || [ \"\$(ps -o stat= -p $pid2 | cut -c1)\" = Z ]"
check "no program process is left" bash -c "! pgrep -f '^$R/usr/lib/qelupnp/qelupnp' >/dev/null"
if [ -n "$R" ]; then
  left=$(cd "$R" && find . -path ./var/lib/dpkg -prune -o \( -type f -o -type l \) -print)
  [ -n "$left" ] && echo "left behind: $left"
  check "purge leaves no file of the package" [ -z "$left" ]
fi
for dir in usr/lib/qelupnp usr/libexec/qelupnp var/lib/qelupnp usr/share/qelupnp usr/share/doc/qelupnp; do
  check "purge removes /$dir" test ! -e "$R/$dir"
done
for f in usr/bin/qelupnp usr/bin/qelupnp-sc usr/lib/systemd/system/qelupnp.service \
  etc/systemd/system/multi-user.target.wants/qelupnp.service; do
  check "purge removes /$f" test ! -e "$R/$f" -a ! -L "$R/$f"
done

[ "$fails" -eq 0 ] && echo "$name: all checks passed" && exit 0
echo "$name: $fails check(s) failed" >&2
exit 1
