#!/usr/bin/env bash
# installed_family_test.sh BUILD_DIR FAMILY...
# Runs inside scripts/sandbox. Installs the build into a staging prefix, starts
# a second private bus whose only activation directory is the installed
# share/dbus-1/services, and checks that each installed tool starts its
# installed service (not the build tree's) and prints its reply.
set -euo pipefail
build=$1; shift
[ "${PH_SANDBOX:-}" = 1 ] || { echo "run me inside scripts/sandbox" >&2; exit 1; }

work=$(mktemp -d /tmp/ph-install-test.XXXXXX)
bus_pid=
cleanup() {
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
stage=$work/stage
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$stage" >"$work/install.log" ||
  { cat "$work/install.log" >&2; echo "FAIL: cmake --install" >&2; exit 1; }

# The layout that architecture.md fixes, checked before anything runs.
for f in "$@"; do
  # shellcheck disable=SC1090
  . "$build/families/$f/family.env"
  dir=$stage/libexec/printer-helper/$f
  for p in printer-helper-service printer-helper-tool; do
    [ -x "$dir/$p" ] || fail "$f: no executable $dir/$p"
  done
  [ "$(readlink -f "$stage/bin/printer-helper-tool-$f")" = "$dir/printer-helper-tool" ] ||
    fail "$f: bin/printer-helper-tool-$f does not lead to the family's tool"
  activation=$stage/share/dbus-1/services/$SERVICE_NAME.service
  expected=$(printf '[D-BUS Service]\nName=%s\nExec=%s\nSystemdService=%s\n' "$SERVICE_NAME" "$dir/printer-helper-service" "printer-helper-$f.service")
  [ "$(cat "$activation" 2>/dev/null)" = "$expected" ] ||
    fail "$f: $activation is not the activation file of the installed service"
  [ "$(readlink -f "$stage/share/man/man1/printer-helper-tool-$f.1.gz")" = "$stage/share/man/man1/printer-helper-tool.1.gz" ] ||
    fail "$f: no manual page link"
done
[ -f "$stage/lib/sysctl.d/50-printer-helper-ping.conf" ] || fail "no sysctl drop-in"
[ $failures -eq 0 ] || exit 1

# The programs must be the real ones; the placeholders that stand in until
# the service and the tool land cannot answer.
for f in "$@"; do
  for p in tool service; do
    if ! grep -qa isFilePathWritable_XPC "$stage/libexec/printer-helper/$f/printer-helper-$p"; then
      echo "SKIP: the $f $p is still a placeholder (it knows no operation names)"
      exit 77
    fi
  done
done

# A second private bus that activates only what was installed.
cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$work</listen>
  <auth>EXTERNAL</auth>
  <limit name="service_start_timeout">10000</limit>
  <servicedir>$stage/share/dbus-1/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-address=3 3>"$work/address" \
  2> >(grep --line-buffered -v 'Failed to set fd limit' >&2) &
bus_pid=$!
for _ in $(seq 100); do [ -s "$work/address" ] && break; sleep 0.05; done
[ -s "$work/address" ] || { echo "FAIL: the installed-tree bus did not start" >&2; exit 1; }
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/address")
export DBUS_SESSION_BUS_ADDRESS

service_pids=()
for f in "$@"; do
  # shellcheck disable=SC1090
  . "$build/families/$f/family.env"
  exec_path=$stage/libexec/printer-helper/$f/printer-helper-service
  tool=$stage/bin/printer-helper-tool-$f

  probe=$work/probe-$f
  : > "$probe"
  out=$("$tool" IsFilePathWritable_XPC "$probe") && status=0 || status=$?
  [ "$status" -eq 0 ] || fail "$f: IsFilePathWritable_XPC exited $status"
  [ "$out" = "IsFilePathWritable_XPC=TRUE" ] || fail "$f: IsFilePathWritable_XPC printed '$out'"

  out=$("$tool" NoSuchOperation_XPC x) && status=0 || status=$?
  [ "$status" -eq 0 ] && [ -z "$out" ] || fail "$f: an unknown operation exited $status and printed '$out'"

  # The bus started the installed program, not the one in the build tree.
  pid=$(busctl --address="$DBUS_SESSION_BUS_ADDRESS" call org.freedesktop.DBus /org/freedesktop/DBus \
          org.freedesktop.DBus GetConnectionUnixProcessID s "$SERVICE_NAME" 2>/dev/null | awk '{print $2}') || pid=
  if [ -z "$pid" ]; then
    fail "$f: $SERVICE_NAME is not on the installed-tree bus after a call"
  else
    service_pids+=("$pid")
    exe=$(readlink "/proc/$pid/exe" || true)
    # Under an emulator the process is the emulator's, with the program it
    # runs the second word of its command line.
    [ -z "${PH_EMULATED:-}" ] || exe=$(tr '\0' '\n' <"/proc/$pid/cmdline" | sed -n 2p)
    [ "$exe" = "$exec_path" ] || fail "$f: the bus ran '$exe' instead of $exec_path"
  fi
done

# The services live no longer than their bus.
kill "$bus_pid"; wait "$bus_pid" 2>/dev/null || true; bus_pid=
for pid in "${service_pids[@]}"; do
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && fail "service $pid outlived its bus"
done

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "installed families work on their own bus: $*"
