#!/usr/bin/env bash
# fresh_deb_test.sh [FAMILY...]
# For scripts/fresh-check: run as root at the top of a clone of the project in
# a fresh Debian 12 or 13 tree. Installs what the build needs (scripts/deps),
# builds, makes the Debian packages twice (the second time as the next Debian
# revision), and then, in a network namespace of its own (the packages'
# sysctl must not reach the machine's), goes through what a user's machine
# meets, with an ordinary user's session bus open all along:
#   install; call (the bus starts the packaged service); reinstall the same
#   version; call; upgrade to the rebuilt version; call; remove; install
#   again; call; purge.
# After every package step no process runs a replaced or removed program of
# the packages, and each call is answered by a new service process running
# the installed file. Removal and purge take the sysctl drop-in away and put
# the ping range back. With no FAMILY every built family is checked. Sends
# no packet anywhere.
#   scripts/fresh-check tests/integration/install/fresh_deb_test.sh
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "fresh_deb_test: needs root (apt-get install)" >&2; exit 2; }
[ -f CMakeLists.txt ] && [ -x scripts/deps ] || { echo "fresh_deb_test: run me at the top of the project" >&2; exit 2; }
build=build-deb
user=ph-fresh-user
dropin=/usr/lib/sysctl.d/50-printer-helper-ping.conf
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

if [ "${1:-}" != --in-own-network ]; then
  scripts/deps
  . scripts/lib.sh
  # The first packages, then the same sources as the next Debian revision.
  for release in 1 2; do
    ph_configure "$build" -DPH_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPH_PACKAGE_RELEASE=$release
    ph_build "$build"
    rm -rf "$build/packages-$release"
    ph_quietly "$build/cpack-$release.log" cpack --config "$build/CPackConfig.cmake" -G DEB -B "$build/packages-$release"
  done
  # Whatever the packages depend on is fetched now; the namespace has no network.
  export DEBIAN_FRONTEND=noninteractive
  ph_quietly "$build/apt-download.log" apt-get install -y -q --download-only ./"$build"/packages-1/*.deb
  # A /proc of its own as well: the tree's /proc/sys is read-only, a new
  # network namespace's own settings in a new /proc are not.
  exec unshare --net --mount --pid --fork --mount-proc -- "$0" --in-own-network "$@"
fi
shift
export DEBIAN_FRONTEND=noninteractive

families=("$@")
if [ ${#families[@]} -eq 0 ]; then
  for env in "$build"/families/*/family.env; do families+=("$(basename "$(dirname "$env")")"); done
fi
debs_of() {  # debs_of RELEASE: the common package and the families' packages of one build
  local f
  printf '%s\n' "./$build/packages-$1"/printer-helper-common_*.deb
  for f in "${families[@]}"; do printf '%s\n' "./$build/packages-$1"/printer-helper-"$f"_*.deb; done
}
packages=(printer-helper-common)
for f in "${families[@]}"; do packages+=("printer-helper-$f"); done
service_of() { echo "/usr/libexec/printer-helper/$1/printer-helper-service"; }

# Every process that runs a program of the packages, whether the file is
# still the installed one or was replaced or removed: "PID EXE" a line.
package_processes() {
  local exe target f
  for exe in /proc/[0-9]*/exe; do
    target=$(readlink "$exe" 2>/dev/null) || continue
    for f in "${families[@]}"; do
      case $target in
        "$(service_of "$f")"|"$(service_of "$f") (deleted)")
          pid=${exe#/proc/}; echo "${pid%/exe} $target" ;;
      esac
    done
  done
}
# After a package step: no process runs a replaced or removed program.
check_no_stale_process() {  # check_no_stale_process STEP
  local stale
  stale=$(package_processes | grep ' (deleted)$' || true)
  [ -z "$stale" ] || fail "after $1, processes still run a replaced or removed program: $stale"
}

# An ordinary user, as on a desktop, with a session bus of its own that stays
# open through every step and activates what is installed in
# /usr/share/dbus-1/services (the Exec= of the packaged activation files).
id "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/bash "$user"
busdir=$(mktemp -d /tmp/ph-fresh-bus.XXXXXX)
chown "$user" "$busdir"
bus_pid=
cleanup() { [ -z "$bus_pid" ] || kill "$bus_pid" 2>/dev/null || true; rm -rf "$busdir"; }
trap cleanup EXIT
as_user() {
  runuser -u "$user" -- env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="/home/$user" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$busdir/bus" "$@"
}
runuser -u "$user" -- dbus-daemon --session --nofork --nopidfile --address="unix:path=$busdir/bus" \
  2> >(grep --line-buffered -v 'Failed to set fd limit' >&2) &
bus_pid=$!
for _ in $(seq 100); do [ -S "$busdir/bus" ] && break; sleep 0.05; done
[ -S "$busdir/bus" ] || { echo "FAIL: the user's session bus did not start" >&2; exit 1; }

# The service process that owns a family's bus name, or nothing.
service_pid() {  # service_pid FAMILY
  # shellcheck disable=SC1090
  . "$build/families/$1/family.env"
  as_user busctl --user call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
    GetConnectionUnixProcessID s "$SERVICE_NAME" 2>/dev/null | awk '{ print $2 }' || true
}
# Calls each family's tool as the user: the answer must come from a service
# process that runs the installed file and, after a package step, is not the
# one that answered before it. Remembers the processes in previous[].
declare -A previous=()
call_each() {  # call_each STEP
  local f out status pid exe
  for f in "${families[@]}"; do
    rm -f /tmp/x
    out=$(as_user "printer-helper-tool-$f" IsFilePathWritable_XPC /tmp/x 2>"/tmp/ph-fresh-$f.err") &&
      status=0 || status=$?
    if [ "$status" -ne 0 ] || [ "$out" != "IsFilePathWritable_XPC=TRUE" ]; then
      fail "$1, $f: status $status, printed '$out': $(head -c 500 "/tmp/ph-fresh-$f.err")"; continue
    fi
    pid=$(service_pid "$f")
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null || true)
    if [ -z "$pid" ] || [ "$exe" != "$(service_of "$f")" ]; then
      fail "$1, $f: the answer came from '$pid' running '$exe', not from $(service_of "$f")"
    elif [ -n "${previous[$f]:-}" ] && [ "$pid" = "${previous[$f]}" ]; then
      fail "$1, $f: the service $pid that answered before the package step answered again"
    else
      echo "ok   $1, $f: answered TRUE by service $pid ($exe) as $user"
    fi
    previous[$f]=$pid
  done
  rm -f /tmp/x
}
# apt-get with its output kept; STEP names it in failures.
apt() {  # apt STEP ARGS...
  local step=$1; shift
  apt-get -y -q "$@" >"/tmp/ph-fresh-apt.log" 2>&1 || { cat /tmp/ph-fresh-apt.log >&2; fail "$step: apt-get $*"; }
}
# The maintainer scripts said that they ended each family's running service.
check_ended_by_scripts() {  # check_ended_by_scripts STEP
  local f
  for f in "${families[@]}"; do
    grep -qF "printer-helper-$f: ending the running $(service_of "$f")" /tmp/ph-fresh-apt.log ||
      fail "$1: the maintainer scripts did not end the running service of $f"
  done
}
ping_range() { tr -s '\t ' '  ' < /proc/sys/net/ipv4/ping_group_range; }
default_range=$(ping_range)

# --- Install.
mapfile -t debs < <(debs_of 1)
apt "installing" install "${debs[@]}"
grep -q 'ping_group_range is widened to every group' /tmp/ph-fresh-apt.log ||
  fail "installing does not say what it widens"
[ -f "$dropin" ] || fail "no sysctl drop-in"
[ "$(ping_range)" = "0 2147483647" ] || fail "installing left the ping range at '$(ping_range)'"
for f in "${families[@]}"; do
  # shellcheck disable=SC1090
  . "$build/families/$f/family.env"
  [ -f "/usr/share/dbus-1/services/$SERVICE_NAME.service" ] || fail "$f: no activation file"
  [ -f "/usr/lib/systemd/user/printer-helper-$f.service" ] || fail "$f: no systemd user unit"
  [ -f "/usr/share/dbus-1/interfaces/$INTERFACE.xml" ] ||
    fail "$f: no introspection file"
  help=$(as_user "printer-helper-tool-$f" --help) || fail "$f: --help failed"
  grep -qF "$SERVICE_NAME" <<<"$help" || fail "$f: --help does not name $SERVICE_NAME"
  as_user man -w "printer-helper-tool-$f" >/dev/null 2>&1 || fail "$f: man printer-helper-tool-$f finds no page"
done
if command -v systemd-analyze >/dev/null; then
  (cd / && systemd-analyze verify /usr/lib/systemd/user/printer-helper-*.service) ||
    fail "systemd-analyze verify of the installed units"
fi
call_each "installed"

# --- The same version again, then the rebuilt one: each ends the services
# that run the program it replaces, and the next call starts the new file.
apt "reinstalling" install --reinstall "${debs[@]}"
check_ended_by_scripts "reinstalling"
check_no_stale_process "reinstalling"
call_each "reinstalled"

mapfile -t debs2 < <(debs_of 2)
new_version=$(dpkg-deb -f "${debs2[0]}" Version)
apt "upgrading" install "${debs2[@]}"
check_ended_by_scripts "upgrading"
check_no_stale_process "upgrading"
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Version}' "$p")" = "$new_version" ] || fail "upgrading left $p at $(dpkg-query -W -f='${Version}' "$p")"
done
call_each "upgraded"
for f in "${families[@]}"; do
  version=$(as_user "printer-helper-tool-$f" --version | head -n1) || true
  [ "$version" = "printer-helper-tool $new_version" ] || fail "upgraded, $f: --version says '$version'"
done

# --- Remove, then install and purge: nothing of the packages keeps running,
# the drop-in is gone and the ping range is the system's again.
check_removed() {  # check_removed STEP
  local left
  check_ended_by_scripts "$1"
  left=$(package_processes)
  [ -z "$left" ] || fail "after $1, processes of the packages are left: $left"
  [ ! -e "$dropin" ] || fail "after $1, the sysctl drop-in is still there"
  [ "$(ping_range)" = "$default_range" ] || fail "after $1, the ping range is '$(ping_range)', not '$default_range'"
  grep -q "ping_group_range is back to the system's setting" /tmp/ph-fresh-apt.log ||
    fail "$1 does not say that the ping range is back"
}
apt "removing" remove "${packages[@]}"
check_removed "removing"
for f in "${families[@]}"; do
  # shellcheck disable=SC1090
  . "$build/families/$f/family.env"
  [ ! -e "/usr/share/dbus-1/services/$SERVICE_NAME.service" ] || fail "removing left the activation file of $f"
done

previous=()
apt "installing again" install "${debs2[@]}"
call_each "installed again"
apt "purging" purge "${packages[@]}"
check_removed "purging"
for p in "${packages[@]}"; do
  state=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  case $state in ''|un*) ;; *) fail "purging left $p in state '$state'" ;; esac
  [ ! -e "/usr/share/doc/$p" ] || fail "purging left /usr/share/doc/$p"
done

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "the packages of ${families[*]} install, reinstall, upgrade, remove and purge in a fresh Debian" \
  "$(. /etc/os-release && echo "$VERSION_ID") tree, with no service left on a replaced program, and answer an" \
  "ordinary user at every step"
