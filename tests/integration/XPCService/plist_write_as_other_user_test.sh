#!/usr/bin/env bash
# The property-list write as an ordinary user: the service and the tool run
# as nobody, on a bus started as nobody, so the file's own rights count.
#   plist_write_as_other_user_test.sh BUILD_DIR FAMILY
# Runs inside scripts/sandbox as root (77: skipped elsewhere).
set -uo pipefail
build=$(realpath "$1")
family=$2
[ "$(id -u)" -eq 0 ] || { echo "needs root to become nobody; skipped"; exit 77; }
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

work=$(mktemp -d /tmp/ph-plist-user.XXXXXX)
chmod 755 "$work"
trap 'kill $bus 2>/dev/null; wait $bus 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/home" "$work/closed" "$work/bin" "$work/services"
chown nobody:nogroup "$work/home"

# nobody may not reach the build folder (a clone under /root is closed to
# others), so the two programs run from a copy, activated from a file of ours.
# shellcheck disable=SC1090
. "$build/families/$family/family.env"
cp "$build/families/$family/printer-helper-tool" "$build/families/$family/printer-helper-service" "$work/bin/"
chmod 755 "$work/bin" "$work/bin/"*
tool=$work/bin/printer-helper-tool
printf '[D-BUS Service]\nName=%s\nExec=%s\n' "$SERVICE_NAME" "$work/bin/printer-helper-service" \
  > "$work/services/$SERVICE_NAME.service"

# The system's session bus setup, plus the copy's activation file.
cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <include>/usr/share/dbus-1/session.conf</include>
  <servicedir>$work/services</servicedir>
</busconfig>
CONF
as_nobody dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-address=3 3>"$work/address" 2>/dev/null &
bus=$!
for _ in $(seq 100); do [ -s "$work/address" ] && break; sleep 0.05; done
address=$(head -n1 "$work/address")
write() { as_nobody env DBUS_SESSION_BUS_ADDRESS="$address" "$tool" WriteDictionaryToPlistFile_XPC "file://$1" "$2"; }

pass=0 fail=0
ok() { echo "ok - $1"; pass=$((pass + 1)); }
bad() { echo "FAIL - $1"; fail=$((fail + 1)); }
check() { if eval "$2"; then ok "$1"; else bad "$1 ($2)"; fi; }

h=$work/home
# A read-only file of the caller's own: FALSE, contents kept.
printf old > "$h/ro.plist"; chown nobody:nogroup "$h/ro.plist"; chmod 0444 "$h/ro.plist"
check "a read-only file answers FALSE" '[ "$(write "$h/ro.plist" new)" = WriteDictionaryToPlistFile_XPC=FALSE ]'
check "a read-only file keeps its contents" '[ "$(cat "$h/ro.plist")" = old ]'

# Another owner's file that the caller may not write, in the caller's folder:
# the folder would allow a rename, the file does not.
printf old > "$h/theirs.plist"; chmod 0644 "$h/theirs.plist"
check "another owner's read-only file answers FALSE" '[ "$(write "$h/theirs.plist" new)" = WriteDictionaryToPlistFile_XPC=FALSE ]'
check "another owner's read-only file keeps its contents" '[ "$(cat "$h/theirs.plist")" = old ]'

# Another owner's writable file: written in place, still theirs.
printf old > "$h/shared.plist"; chmod 0666 "$h/shared.plist"
check "another owner's writable file is written" '[ "$(write "$h/shared.plist" new)" = WriteDictionaryToPlistFile_XPC=TRUE ]'
check "another owner's writable file holds the text" '[ "$(cat "$h/shared.plist")" = new ]'
check "another owner's writable file keeps its owner" '[ "$(stat -c %U "$h/shared.plist")" = root ]'

# Two hard links: both see the new text.
printf old > "$h/a.plist"; chown nobody:nogroup "$h/a.plist"; ln "$h/a.plist" "$h/b.plist"
check "a hard-linked file is written" '[ "$(write "$h/a.plist" new)" = WriteDictionaryToPlistFile_XPC=TRUE ]'
check "the other hard link sees the text" '[ "$(cat "$h/b.plist")" = new ] && [ "$(stat -c %h "$h/a.plist")" = 2 ]'

# The caller's own file in a folder it may not add names to: in place.
printf old > "$work/closed/own.plist"; chown nobody:nogroup "$work/closed/own.plist"
check "a file in a closed folder is written" '[ "$(write "$work/closed/own.plist" new)" = WriteDictionaryToPlistFile_XPC=TRUE ]'
check "a file in a closed folder holds the text" '[ "$(cat "$work/closed/own.plist")" = new ]'

# Everywhere else the atomic replace stays: a new inode, same mode.
printf old > "$h/plain.plist"; chown nobody:nogroup "$h/plain.plist"; chmod 0640 "$h/plain.plist"
inode=$(stat -c %i "$h/plain.plist")
check "the caller's own file is written" '[ "$(write "$h/plain.plist" new)" = WriteDictionaryToPlistFile_XPC=TRUE ]'
check "the caller's own file is replaced whole, mode kept" \
  '[ "$(cat "$h/plain.plist")" = new ] && [ "$(stat -c %i "$h/plain.plist")" != "$inode" ] && [ "$(stat -c %a "$h/plain.plist")" = 640 ]'
check "a new file belongs to the caller with 0664" \
  '[ "$(write "$h/new.plist" x)" = WriteDictionaryToPlistFile_XPC=TRUE ] && [ "$(stat -c "%U %a" "$h/new.plist")" = "nobody 664" ]'

echo "$pass passed, $fail failed"
[ $fail -eq 0 ]
