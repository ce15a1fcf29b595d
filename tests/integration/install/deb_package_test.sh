#!/usr/bin/env bash
# deb_package_test.sh CHANGES
# Checks the packages of a dpkg-buildpackage run (its .changes): what they
# hold and depend on, their maintainer scripts, the programs' hardening and
# version, and lintian on the source and binary packages. Installs nothing.
set -euo pipefail
changes=$(readlink -f "$1")
dir=$(dirname "$changes")
out=$(mktemp -d /tmp/ph-deb-package-test.XXXXXX)
trap 'rm -rf "$out"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

debs=$(sed -n '/^Files:/,/^[^ ]/s/^ .* \([^ ]*\.deb\)$/\1/p' "$changes")
[ -n "$debs" ] || { echo "FAIL: $changes lists no binary package" >&2; exit 1; }
families=()
for deb in $debs; do
  package=$(dpkg-deb -f "$dir/$deb" Package)
  [ "$package" = printer-helper-common ] || families+=("${package#printer-helper-}")
done

deb_of() { ls "$dir"/printer-helper-"$1"_*.deb 2>/dev/null | head -n1; }
# The package (without its architecture) that holds a shared library as the
# dynamic loader finds it; merged /usr means dpkg may know it under /lib.
package_of_library() {
  local path candidate
  path=$(ldconfig -p | awk -v lib="$1" '$1 == lib && /x86-64|=>/ { print $NF; exit }')
  [ -n "$path" ] || return 0
  for candidate in "$path" "$(readlink -f "$path")" "${path#/usr}" "/usr$path"; do
    dpkg -S "$candidate" 2>/dev/null | head -n1 | cut -d: -f1 | grep . && return 0
  done
  return 0
}
has() { grep -qxF "$2" "$1" || fail "$(basename "$1" .list) lacks $2"; }

common=$(deb_of common)
[ -n "$common" ] || { echo "FAIL: no printer-helper-common package" >&2; exit 1; }
dpkg-deb --contents "$common" | awk '{print $6}' > "$out/common.list"
has "$out/common.list" ./usr/share/man/man1/printer-helper-tool.1.gz
has "$out/common.list" ./usr/lib/sysctl.d/50-printer-helper-ping.conf
dpkg-deb --fsys-tarfile "$common" | tar -xO ./usr/lib/sysctl.d/50-printer-helper-ping.conf |
  grep -qx 'net.ipv4.ping_group_range = 0 2147483647' || fail "the sysctl drop-in does not open the ping range"
for script in postinst postrm; do
  dpkg-deb --ctrl-tarfile "$common" | tar -tv "./$script" 2>/dev/null | grep -q '^-rwxr-xr-x' ||
    fail "printer-helper-common has no executable $script"
done
# Installing says what it widens; removing and purging put the range back.
dpkg-deb --ctrl-tarfile "$common" | tar -xO ./postinst | grep -q 'ping_group_range is widened to every group' ||
  fail "printer-helper-common's postinst does not say what it widens"
dpkg-deb --ctrl-tarfile "$common" | tar -xO ./postrm > "$out/common.postrm"
grep -q 'remove|purge)' "$out/common.postrm" && grep -q 'sysctl -q --system' "$out/common.postrm" ||
  fail "printer-helper-common's postrm does not re-apply the system's settings on remove and purge"
[ "$(dpkg-deb -f "$common" Depends)" = procps ] ||
  fail "printer-helper-common depends on '$(dpkg-deb -f "$common" Depends)', not on procps (its sysctl)"

# The licence, machine-readable, in every package.
dpkg-deb --fsys-tarfile "$common" | tar -xO ./usr/share/doc/printer-helper-common/copyright > "$out/copyright"
head -n1 "$out/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in the machine-readable format"
[ "$(grep -c '^License: Apache-2.0$' "$out/copyright")" -eq 2 ] && grep -q '/usr/share/common-licenses/Apache-2.0' "$out/copyright" ||
  fail "the copyright file grants no Apache-2.0 licence"

# The manual page renders without complaint and tells what a user needs.
dpkg-deb --fsys-tarfile "$common" | tar -xO ./usr/share/man/man1/printer-helper-tool.1.gz > "$out/page.1.gz"
warnings=$(MANWIDTH=80 man --warnings -l "$out/page.1.gz" 2>&1 >/dev/null || true)
[ -z "$warnings" ] || fail "the manual page has formatting warnings: $warnings"
MANWIDTH=80 man -l "$out/page.1.gz" 2>/dev/null > "$out/page.txt"
# Phrases may wrap: they are looked for in the text as one line, with the
# line ends, hyphenation breaks and justification spaces taken out.
sed -e ':a' -e 'N' -e '$!ba' -e 's/\xe2\x80\x90\n[[:space:]]*//g' "$out/page.txt" | tr -s ' \n' '  ' > "$out/page.flat"
for word in SYNOPSIS IsFilePathWritable_XPC WriteDictionaryToPlistFile_XPC SendMagicPacket_XPC \
            SendEchoAndRecvReply_XPC PdeSnmpGet_XPC CancelFileWrite_XPC 'EXIT STATUS' '69' \
            DBUS_SESSION_BUS_ADDRESS 'CANCEL FILE' EXAMPLES 'FALSE:rtn_ExitValue=' \
            'systemctl --user status' 'CancelFileWrite_XPC=TRUE' 'SendEchoAndRecvReply_XPC=TRUE' \
            'D-BUS INTERFACE' 'journalctl --user -u printer-helper-' 'with no call for 30 seconds the' \
            'the next call starts it again' '--version' 'org.gtk.GDBus.DocString' 'gdbus call --session' \
            'sysctl --system'; do
  grep -q -- "$word" "$out/page.flat" || fail "the manual page does not mention $word"
done

cp "$out/common.list" "$out/all.list"
for f in "${families[@]}"; do
  deb=$(deb_of "$f")
  [ -n "$deb" ] || { fail "no printer-helper-$f package"; continue; }
  list=$out/$f.list
  dpkg-deb --contents "$deb" | awk '{print $6}' > "$list"
  SERVICE_NAME=$(sed -n 's|^\./usr/share/dbus-1/services/\(.*\)\.service$|\1|p' "$list")
  INTERFACE=$(sed -n 's|^\./usr/share/dbus-1/interfaces/\(.*\)\.xml$|\1|p' "$list")
  has "$list" "./usr/libexec/printer-helper/$f/printer-helper-service"
  has "$list" "./usr/libexec/printer-helper/$f/printer-helper-tool"
  has "$list" "./usr/bin/printer-helper-tool-$f"
  has "$list" "./usr/share/dbus-1/services/$SERVICE_NAME.service"
  has "$list" "./usr/lib/systemd/user/printer-helper-$f.service"
  has "$list" "./usr/share/dbus-1/interfaces/$INTERFACE.xml"
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

  # The page teaches every method's request with the example that the
  # introspection file documents (both come from one table).
  xml=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/dbus-1/interfaces/$INTERFACE.xml")
  examples=$(grep -o 'Example: [^&]*' <<<"$xml" | sed 's/^Example: //' || true)
  [ "$(grep -c . <<<"$examples")" -eq 6 ] || fail "$f: the introspection file documents $(grep -c . <<<"$examples") examples, not 6"
  while read -r example; do
    [ -n "$example" ] || continue
    # Up to the first character that the XML escapes (the plist's "<").
    grep -qF -- "$example" "$out/page.flat" || fail "the manual page lacks the documented example $example"
  done <<<"$examples"

  # Maintainer scripts end the family's running services by the exact file.
  for script in prerm postinst postrm; do
    dpkg-deb --ctrl-tarfile "$deb" | tar -tv "./$script" 2>/dev/null | grep -q '^-rwxr-xr-x' ||
      fail "$f: no executable $script"
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$script" 2>/dev/null |
      grep -qx "service=/usr/libexec/printer-helper/$f/printer-helper-service" ||
      fail "$f: the $script does not name the packaged service's file"
    # The bus starts the user unit; the package enables and starts nothing.
    text=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$script" 2>/dev/null)
    ! grep -qE 'deb-systemd-(helper|invoke)|systemctl' <<<"$text" || fail "$f: the $script enables or starts the user unit"
  done

  # Hardened and stripped as Debian's own programs are; the tool says the
  # package's version.
  rm -rf "$out/root-$f"; mkdir -p "$out/root-$f"
  dpkg-deb -x "$deb" "$out/root-$f"
  for p in printer-helper-service printer-helper-tool; do
    program=$out/root-$f/usr/libexec/printer-helper/$f/$p
    # Whole outputs first: grep -q would close the pipe on readelf.
    elf=$(readelf -dhlSW --dyn-syms "$program")
    grep -qE ' \.(comment|symtab|debug_info) ' <<<"$elf" && fail "$f: $p is not stripped"
    grep -q 'FLAGS.*BIND_NOW' <<<"$elf" || fail "$f: $p is not linked with -z now"
    grep -q GNU_RELRO <<<"$elf" || fail "$f: $p has no RELRO segment"
    grep -q 'DYN (Position-Independent Executable' <<<"$elf" || fail "$f: $p is not PIE"
    grep -q ' UND __[a-z_]*_chk@' <<<"$elf" || fail "$f: $p uses no fortified function"
    grep -q ' UND __stack_chk_fail@' <<<"$elf" || fail "$f: $p has no stack protector"
  done
  # The packaged unit's sandbox as systemd rates it for a user manager: an
  # exposure of 6.0 at most.
  mkdir -p -m 700 "$out/runtime"
  (cd "$out" && XDG_RUNTIME_DIR=$out/runtime systemd-analyze --user security --offline=yes --threshold=60 \
    "$out/root-$f/usr/lib/systemd/user/printer-helper-$f.service") >"$out/security.log" 2>&1 ||
    fail "$f: the packaged unit: $(grep -i 'exposure level' "$out/security.log" || tail -n3 "$out/security.log")"
  version=$("$out/root-$f/usr/libexec/printer-helper/$f/printer-helper-tool" --version | head -n1) || true
  [ "$version" = "printer-helper-tool $(dpkg-deb -f "$deb" Version)" ] ||
    fail "$f: --version says '$version', the package is $(dpkg-deb -f "$deb" Version)"

  [ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "$f: section is not utils"
  [ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "$f: no maintainer"
  depends=$(dpkg-deb -f "$deb" Depends)
  grep -q 'printer-helper-common (= ' <<<"$depends" || fail "$f: does not depend on printer-helper-common"
  grep -q 'libc6' <<<"$depends" || fail "$f: no library dependencies (dpkg-shlibdeps): $depends"
  # Every shared library the programs need comes in through a dependency on
  # the package that holds it, whichever libraries they link.
  for p in printer-helper-service printer-helper-tool; do
    for lib in $(readelf -d "$out/root-$f/usr/libexec/printer-helper/$f/$p" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      owner=$(package_of_library "$lib")
      if [ -z "$owner" ]; then
        fail "$f: $p needs $lib, which no installed package holds"
      elif ! tr ',|' '\n\n' <<<"$depends" | awk '{ print $1 }' | grep -qxF "$owner"; then
        fail "$f: $p needs $lib of $owner, but the package depends on: $depends"
      fi
    done
  done
done

# Debian's package checker, pedantic and with its hints, on the source and
# the binaries: nothing but the tag about the first upload's changelog, which
# names no bug to close (these packages go to no archive); what a package
# accepts says why in its debian/*.lintian-overrides.
if command -v lintian >/dev/null; then
  report=$(lintian -I --pedantic "$changes" 2>/dev/null) || true
  tags=$(grep -v ': initial-upload-closes-no-bugs' <<<"$report" || true)
  [ -z "$tags" ] || fail "lintian -I --pedantic: $tags"
else
  fail "lintian is not installed (scripts/deps installs it)"
fi

# Families install side by side: no file belongs to two packages.
dupes=$(grep -v '/$' "$out/all.list" | sort | uniq -d)
[ -z "$dupes" ] || fail "files in more than one package: $dupes"

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "packages of common and ${families[*]} hold what they must"
