#!/usr/bin/env bash
# The service as a user at its process limit: the cancel watcher's thread
# cannot be made, and the service says so in one line on stderr and exits
# with EX_OSERR (71), never with an abort.
#   watcher_thread_limit_test.sh BUILD_DIR FAMILY
# Runs inside scripts/sandbox as root (77: skipped elsewhere).
set -uo pipefail
build=$(realpath "$1")
family=$2
[ "$(id -u)" -eq 0 ] || { echo "needs root to change users; skipped"; exit 77; }
# qemu-user makes a thread of its own before the service's first line runs:
# the limit would stop the emulator, not the service.
[ -z "${PH_EMULATED:-}" ] || { echo "under $PH_EMULATED, whose own thread the limit forbids; skipped"; exit 77; }
# A mount namespace of its own, for the user entry below.
if [ "${PH_NPROC_INNER:-}" != 1 ]; then
  PH_NPROC_INNER=1 exec unshare --mount --propagation private -- "$0" "$@"
fi

work=$(mktemp -d /tmp/ph-nproc.XXXXXX)
chmod 755 "$work"
bus=
trap '[ -n "$bus" ] && kill $bus 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

# A copy of the service that any user can run (a clone under /root is
# closed to others).
cp "$build/families/$family/printer-helper-service" "$work/service"
chmod 755 "$work/service"

# The limit counts a user's tasks on the whole machine, so the service runs
# as a user id that nothing else has: its own main thread is then all there
# is, and a limit of one task leaves no room for another thread.
uid=$((2000000000 + RANDOM * 32768 + RANDOM))
# The bus admits only users that the user database knows: this namespace's
# own copy of it gets one more.
cp /etc/passwd "$work/passwd"
cp /etc/group "$work/group"
echo "ph-nproc:x:$uid:$uid::/nonexistent:/usr/sbin/nologin" >>"$work/passwd"
echo "ph-nproc:x:$uid:" >>"$work/group"
mount --bind "$work/passwd" /etc/passwd && mount --bind "$work/group" /etc/group ||
  { echo "FAIL - cannot enter the test user"; exit 1; }

# A bus that this user may join, so that the service gets as far as it can.
cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$work</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-address=3 3>"$work/address" 2>/dev/null &
bus=$!
for _ in $(seq 100); do [ -s "$work/address" ] && break; sleep 0.05; done
address=$(head -n1 "$work/address")
[ -n "$address" ] || { echo "FAIL - the private bus did not start"; exit 1; }

# Leak checking at exit needs a thread of its own, which the limit forbids.
run() {
  timeout 10 env -i DBUS_SESSION_BUS_ADDRESS="$address" ASAN_OPTIONS=detect_leaks=0 \
    setpriv --reuid="$uid" --regid="$uid" --clear-groups prlimit --nproc="$1" "$work/service" 2>"$work/stderr"
}

pass=0 fail=0
ok() { echo "ok - $1"; pass=$((pass + 1)); }
bad() { echo "FAIL - $1"; fail=$((fail + 1)); }

# The same user with room for threads joins the bus and stays: what follows
# is the limit's doing, not the setup's.
timeout 2 env -i DBUS_SESSION_BUS_ADDRESS="$address" ASAN_OPTIONS=detect_leaks=0 \
  setpriv --reuid="$uid" --regid="$uid" --clear-groups "$work/service" 2>"$work/stderr"
status=$?
if [ $status -eq 124 ]; then ok "with room for threads the service runs"; else bad "with room for threads the service ended with $status: $(cat "$work/stderr")"; fi

run 1
status=$?
if [ $status -eq 71 ]; then ok "at its process limit the service exits with 71"; else bad "at its process limit the service exits with $status, not 71"; fi
lines=$(wc -l <"$work/stderr")
if [ "$lines" -eq 1 ] && grep -q "cannot start the cancel watcher" "$work/stderr"; then
  ok "it says why in one line"
else
  bad "stderr has $lines lines: $(head -c 400 "$work/stderr")"
fi
if grep -q "terminate called" "$work/stderr"; then bad "it aborted"; else ok "it does not abort"; fi

echo "$pass passed, $fail failed"
[ $fail -eq 0 ]
