#!/usr/bin/env bash
# deb_package_test.sh BUILD_DIR FAMILY...
# Builds the Debian packages into a scratch folder and checks what they hold
# and depend on. Installs nothing on this machine.
set -euo pipefail
build=$1; shift
out=$build/deb-package-test
rm -rf "$out"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out.log" 2>&1 ||
  { cat "$out.log" >&2; echo "FAIL: cpack" >&2; exit 1; }

deb_of() { ls "$out"/printer-helper-"$1"_*.deb 2>/dev/null | head -n1; }
has() { grep -qxF "$2" "$1" || fail "$(basename "$1" .list) lacks $2"; }

common=$(deb_of common)
[ -n "$common" ] || { echo "FAIL: no printer-helper-common package" >&2; exit 1; }
dpkg-deb --contents "$common" | awk '{print $6}' > "$out/common.list"
has "$out/common.list" ./usr/share/man/man1/printer-helper-tool.1.gz
has "$out/common.list" ./usr/lib/sysctl.d/50-printer-helper-ping.conf
dpkg-deb --fsys-tarfile "$common" | tar -xO ./usr/lib/sysctl.d/50-printer-helper-ping.conf |
  grep -qx 'net.ipv4.ping_group_range = 0 2147483647' || fail "the sysctl drop-in does not open the ping range"
dpkg-deb --ctrl-tarfile "$common" | tar -tv ./postinst 2>/dev/null | grep -q '^-rwxr-xr-x' ||
  fail "printer-helper-common has no executable postinst"

# The manual page renders without complaint and tells what a user needs.
dpkg-deb --fsys-tarfile "$common" | tar -xO ./usr/share/man/man1/printer-helper-tool.1.gz > "$out/page.1.gz"
warnings=$(MANWIDTH=80 man --warnings -l "$out/page.1.gz" 2>&1 >/dev/null || true)
[ -z "$warnings" ] || fail "the manual page has formatting warnings: $warnings"
MANWIDTH=80 man -l "$out/page.1.gz" 2>/dev/null > "$out/page.txt"
for word in SYNOPSIS IsFilePathWritable_XPC WriteDictionaryToPlistFile_XPC SendMagicPacket_XPC \
            SendEchoAndRecvReply_XPC PdeSnmpGet_XPC CancelFileWrite_XPC 'EXIT STATUS' '69' \
            DBUS_SESSION_BUS_ADDRESS 'CANCEL FILE' EXAMPLES 'FALSE:rtn_ExitValue=' \
            'systemctl --user status' 'CancelFileWrite_XPC=TRUE' 'SendEchoAndRecvReply_XPC=TRUE'; do
  grep -q -- "$word" "$out/page.txt" || fail "the manual page does not mention $word"
done

cp "$out/common.list" "$out/all.list"
for f in "$@"; do
  # shellcheck disable=SC1090
  . "$build/families/$f/family.env"
  deb=$(deb_of "$f")
  [ -n "$deb" ] || { fail "no printer-helper-$f package"; continue; }
  list=$out/$f.list
  dpkg-deb --contents "$deb" | awk '{print $6}' > "$list"
  has "$list" "./usr/libexec/printer-helper/$f/printer-helper-service"
  has "$list" "./usr/libexec/printer-helper/$f/printer-helper-tool"
  has "$list" "./usr/bin/printer-helper-tool-$f"
  has "$list" "./usr/share/dbus-1/services/$SERVICE_NAME.service"
  has "$list" "./usr/lib/systemd/user/printer-helper-$f.service"
  has "$list" "./usr/share/dbus-1/interfaces/$SERVICE_NAME.XPC_Protocol${PROTOCOL_UUID//-/_}.xml"
  has "$list" "./usr/share/man/man1/printer-helper-tool-$f.1.gz"
  has "$list" "./usr/share/doc/printer-helper-$f/copyright"
  cat "$list" >> "$out/all.list"

  exec_line=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/dbus-1/services/$SERVICE_NAME.service" | grep '^Exec=')
  [ "$exec_line" = "Exec=/usr/libexec/printer-helper/$f/printer-helper-service" ] ||
    fail "$f: the packaged activation file says '$exec_line'"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/dbus-1/services/$SERVICE_NAME.service" |
    grep -qx "SystemdService=printer-helper-$f.service" || fail "$f: the packaged activation file names no unit"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/lib/systemd/user/printer-helper-$f.service" |
    grep -qx "ExecStart=/usr/libexec/printer-helper/$f/printer-helper-service" ||
    fail "$f: the packaged unit does not start the packaged service"

  [ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "$f: section is not utils"
  [ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "$f: no maintainer"
  depends=$(dpkg-deb -f "$deb" Depends)
  grep -q 'printer-helper-common (= ' <<<"$depends" || fail "$f: does not depend on printer-helper-common"
  grep -q 'libc6' <<<"$depends" || fail "$f: no library dependencies (dpkg-shlibdeps): $depends"
  # Every shared library the service needs comes in through a dependency.
  if readelf -d "$build/families/$f/printer-helper-service" | grep -q 'libsdbus-c++'; then
    grep -q 'libsdbus-c++1' <<<"$depends" || fail "$f: needs libsdbus-c++ but depends on: $depends"
  fi
done

# Debian's package checker: no errors (its warnings about archive uploads do
# not apply to packages built here).
if command -v lintian >/dev/null; then
  errors=$(lintian "$out"/*.deb 2>/dev/null | grep '^E:' || true)
  [ -z "$errors" ] || fail "lintian: $errors"
else
  echo "note: lintian is not installed (scripts/deps installs it); package checks skipped"
fi

# Families install side by side: no file belongs to two packages.
dupes=$(grep -v '/$' "$out/all.list" | sort | uniq -d)
[ -z "$dupes" ] || fail "files in more than one package: $dupes"

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "packages of common and $* hold what they must"
rm -rf "$out" "$out.log"
