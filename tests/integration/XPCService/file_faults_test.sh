#!/usr/bin/env bash
# The service's file writes where they can go wrong: a full disk, an
# attribute that only root may give, kernel files that must never be written,
# and cancel files on pseudo-file systems. Each part has its own private bus
# and service, run as root or, where owners matter, as nobody.
#   file_faults_test.sh BUILD_DIR FAMILY
# Runs inside scripts/sandbox as root (77: skipped elsewhere), and then in a
# mount and network namespace of its own: the 64 KiB tmpfs and the sysfs it
# mounts, and the ip_default_ttl it tries to write, are that namespace's.
# shellcheck disable=SC2016,SC2034 # check evaluates its conditions, and the variables in them, later
set -uo pipefail
build=$(realpath "$1")
family=$2
[ "$(id -u)" -eq 0 ] || { echo "needs root for mounts and to become nobody; skipped"; exit 77; }
[ "${PH_SANDBOX:-}" = 1 ] || { echo "run inside scripts/sandbox" >&2; exit 1; }
for tool in setfattr getfattr unshare; do
  command -v $tool >/dev/null || { echo "$tool is missing (scripts/deps: acl, attr, util-linux)" >&2; exit 1; }
done
if [ "${PH_FILE_FAULTS_INNER:-}" != 1 ]; then
  PH_FILE_FAULTS_INNER=1 exec unshare --mount --propagation private --net -- "$0" "$@"
fi
[ "$(readlink /proc/self/ns/net)" != "$(readlink /proc/1/ns/net)" ] || { echo "not in a network namespace of our own" >&2; exit 1; }

# In a user namespace (scripts/cross-check runs this test in one), root may
# set no security.* attribute and mount no sysfs that can be written.
in_user_namespace() { [ "$(readlink /proc/self/ns/user)" != "user:[4026531837]" ]; }  # the first one's
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
work=$(mktemp -d /tmp/ph-file-faults.XXXXXX)
chmod 755 "$work"
buses=()
cleanup() {
  for pid in "${buses[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  umount "$work/small" "$work/sys" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# nobody may not reach the build folder, so the programs run from a copy.
# shellcheck disable=SC1090
. "$build/families/$family/family.env"
mkdir "$work/bin"
cp "$build/families/$family/printer-helper-tool" "$build/families/$family/printer-helper-service" "$work/bin/"
chmod 755 "$work/bin" "$work/bin/"*

# start_bus NAME [nobody]: a private session bus (as root or nobody) that
# activates the copy; its address lands in the variable bus_NAME.
start_bus() {
  local name=$1 user=${2:-} dir=$work/bus-$1
  mkdir -p "$dir/services"
  printf '[D-BUS Service]\nName=%s\nExec=%s\n' "$SERVICE_NAME" "$work/bin/printer-helper-service" \
    > "$dir/services/$SERVICE_NAME.service"
  cat > "$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <include>/usr/share/dbus-1/session.conf</include>
  <servicedir>$dir/services</servicedir>
</busconfig>
CONF
  chmod -R a+rX "$dir"
  local run=()
  [ "$user" = nobody ] && run=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  "${run[@]}" dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile --print-address=3 3>"$dir/address" 2>/dev/null &
  buses+=($!)
  for _ in $(seq 100); do [ -s "$dir/address" ] && break; sleep 0.05; done
  printf -v "bus_$name" '%s' "$(head -n1 "$dir/address")"
}
start_bus root
start_bus nobody nobody
# shellcheck disable=SC2154
as_root() { env DBUS_SESSION_BUS_ADDRESS="$bus_root" "$work/bin/printer-helper-tool" "$@"; }
# shellcheck disable=SC2154
as_user() { as_nobody env DBUS_SESSION_BUS_ADDRESS="$bus_nobody" "$work/bin/printer-helper-tool" "$@"; }
hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n' | tr a-f A-F; }
snmp_false=$( [ "$TOOL_OUTPUT" = hex ] && hex PdeSnmpGet_XPC=FALSE || printf PdeSnmpGet_XPC=FALSE )

pass=0 fail=0
ok() { echo "ok - $1"; pass=$((pass + 1)); }
bad() { echo "FAIL - $1"; fail=$((fail + 1)); }
check() { if eval "$2"; then ok "$1"; else bad "$1 ($2)"; fi; }
leftovers() { find "$1" -maxdepth 1 -name ".$2.*" | wc -l; }
text() { head -c "$1" /dev/zero | tr '\0' "$2"; }

# --- a full disk: 64 KiB, of which two 20,000-byte files hold 40 KiB -------
mkdir "$work/small"
mount -t tmpfs -o size=64k,mode=0755 tmpfs "$work/small"
s=$work/small
text 20000 o > "$s/linked.plist"; ln "$s/linked.plist" "$s/link.plist"
text 20000 o > "$s/single.plist"
cp "$s/linked.plist" "$work/old20000"
big=$(text 60000 n)
check "in place, a text that does not fit answers FALSE" \
  '[ "$(as_root WriteDictionaryToPlistFile_XPC "file://$s/linked.plist" "$big")" = WriteDictionaryToPlistFile_XPC=FALSE ]'
check "in place, the old text is whole after it" 'cmp -s "$s/link.plist" "$work/old20000"'
check "replaced, a text that does not fit answers FALSE" \
  '[ "$(as_root WriteDictionaryToPlistFile_XPC "file://$s/single.plist" "$big")" = WriteDictionaryToPlistFile_XPC=FALSE ]'
check "replaced, the old text is whole and no temporary file is left" \
  'cmp -s "$s/single.plist" "$work/old20000" && [ "$(leftovers "$s" single.plist)" = 0 ]'
fits=$(text 24000 f)
check "in place, a text that fits is written" \
  '[ "$(as_root WriteDictionaryToPlistFile_XPC "file://$s/linked.plist" "$fits")" = WriteDictionaryToPlistFile_XPC=TRUE ] &&
   [ "$(cat "$s/link.plist")" = "$fits" ]'

# --- as nobody: what belongs to the file stays ----------------------------
# (user attributes and ACLs are the unit test's; here, what only a service
# running as another user shows.)
h=$work/home
mkdir "$h"; chown nobody:nogroup "$h"
printf old > "$h/own.plist"; chown nobody:nogroup "$h/own.plist"; chmod 0640 "$h/own.plist"
check "the caller's own file is written" \
  '[ "$(as_user WriteDictionaryToPlistFile_XPC "file://$h/own.plist" new)" = WriteDictionaryToPlistFile_XPC=TRUE ] && [ "$(cat "$h/own.plist")" = new ]'
check "its owner and mode are kept" '[ "$(stat -c "%U %a" "$h/own.plist")" = "nobody 640" ]'

# A security attribute that only root may set: nobody's service cannot give
# it to a new file, so the text is written in place and the attribute stays.
if in_user_namespace; then
  echo "skip the security attribute: a user namespace's root may not set one"
else
  printf old > "$h/labelled.plist"; chown nobody:nogroup "$h/labelled.plist"
  setfattr -n security.ph -v mark "$h/labelled.plist"
  check "a file with a security attribute is written" \
    '[ "$(as_user WriteDictionaryToPlistFile_XPC "file://$h/labelled.plist" new)" = WriteDictionaryToPlistFile_XPC=TRUE ] && [ "$(cat "$h/labelled.plist")" = new ]'
  check "its security attribute is kept" '[ "$(getfattr --only-values -n security.ph "$h/labelled.plist" 2>/dev/null)" = mark ]'
  check "no temporary file is left in the folder" '[ "$(find "$h" -name ".*.plist.*" | wc -l)" = 0 ]'
fi

# --- kernel files, as root, in this namespace -----------------------------
ttl=/proc/sys/net/ipv4/ip_default_ttl
before=$(cat $ttl)
new_ttl=$(( before == 77 ? 78 : 77 ))
check "a write to ip_default_ttl answers FALSE" \
  '[ "$(as_root WriteDictionaryToPlistFile_XPC "file://$ttl" "$new_ttl")" = WriteDictionaryToPlistFile_XPC=FALSE ]'
check "ip_default_ttl is unchanged" '[ "$(cat $ttl)" = "$before" ]'
check "the probe calls ip_default_ttl not writable" '[ "$(as_root IsFilePathWritable_XPC "$ttl")" = IsFilePathWritable_XPC=FALSE ]'
kernel_files=("$ttl")
mtu=
if in_user_namespace; then
  echo "skip the sysfs file: a user namespace may mount only a read-only sysfs"
else
  mkdir "$work/sys"
  mount -t sysfs sysfs "$work/sys"
  mtu=$work/sys/class/net/lo/mtu
  mtu_before=$(cat "$mtu")
  kernel_files+=("$mtu")
  check "the probe calls a sysfs file not writable" '[ "$(as_root IsFilePathWritable_XPC "$mtu")" = IsFilePathWritable_XPC=FALSE ]'
fi
for cancel in "${kernel_files[@]}"; do
  check "an SNMP read whose cancel file is $cancel answers FALSE at once" \
    '[ "$(as_root PdeSnmpGet_XPC 4 0 "$cancel" 300 3 0 p0 p1 p2 public p4 p5 192.0.2.77 1.3.6.1.2.1.1.1.0)" = "$snmp_false" ]'
  check "a cancel byte for $cancel answers FALSE" '[ "$(as_root CancelFileWrite_XPC "$cancel")" = CancelFileWrite_XPC=FALSE ]'
done
check "ip_default_ttl and the loopback MTU are unchanged" \
  '[ "$(cat $ttl)" = "$before" ] && { [ -z "$mtu" ] || [ "$(cat "$mtu")" = "$mtu_before" ]; }'

echo "$pass passed, $fail failed"
[ $fail -eq 0 ]
