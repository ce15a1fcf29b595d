#!/usr/bin/env bash
# fresh_deb_test.sh [FAMILY...]
# fresh_deb_test.sh --installed
# What a user's machine meets with the Debian packages, in a network, PID and
# mount namespace of its own (the packages' sysctl must not reach the
# machine's), with an ordinary user's session bus open all along:
#   call (the bus starts the packaged service); reinstall the same version;
#   call; upgrade to a newer version; call; remove; install again; call;
#   purge.
# After every package step no process runs a replaced or removed program of
# the packages, and each call is answered by a new service process running
# the installed file. Removal and purge take the sysctl drop-in away and put
# the ping range back. The newer version is the same packages with their
# version raised, which is what dpkg and the maintainer scripts see of an
# upgrade. Sends no packet anywhere.
#
# With no argument, for scripts/fresh-check: run as root at the top of a
# clone of the project in a fresh Debian 12 or 13 tree. It installs what the
# build needs (scripts/deps), builds the packages from a clone of HEAD with
# dpkg-buildpackage (tests left to the other checks), and installs them
# first; with FAMILY, only those families' packages.
#   scripts/fresh-check tests/integration/install/fresh_deb_test.sh
# --installed: the autopkgtest (debian/tests/control). The packages are
# installed already, every family of them; their files come from apt.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "fresh_deb_test: needs root (apt-get install)" >&2; exit 2; }
work=/tmp/ph-fresh-deb
user=ph-fresh-user
dropin=/usr/lib/sysctl.d/50-printer-helper-ping.conf
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
export DEBIAN_FRONTEND=noninteractive

if [ "${1:-}" != --in-own-network ]; then
  rm -rf "$work"; mkdir -p "$work/debs" "$work/upgrade"
  if [ "${1:-}" = --installed ]; then
    mode=installed
    mapfile -t packages < <(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' 'printer-helper-*' |
      awk '$1 == "ii" { print $2 }')
    (cd "$work/debs" && apt-get download -q "${packages[@]}" >"$work/download.log" 2>&1) ||
      { cat "$work/download.log" >&2; echo "FAIL: apt-get download ${packages[*]}" >&2; exit 1; }
  else
    mode=fresh
    [ -f debian/control ] && [ -x scripts/deps ] || { echo "fresh_deb_test: run me at the top of the project" >&2; exit 2; }
    scripts/deps
    . scripts/lib.sh
    rm -rf "$work/src"; git -c advice.defaultBranchName=false clone -q . "$work/src/printer-helper"
    (cd "$work/src/printer-helper" && ph_quietly "$work/build.log" env DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
      dpkg-buildpackage -us -uc -b)
    cp "$work"/src/printer-helper-common_*.deb "$work/debs/"
    if [ $# -eq 0 ]; then cp "$work"/src/printer-helper-*.deb "$work/debs/"
    else for f in "$@"; do cp "$work"/src/printer-helper-"$f"_*.deb "$work/debs/"; done; fi
    # Whatever the packages depend on is fetched now; the namespace has no network.
    ph_quietly "$work/apt-download.log" apt-get install -y -q --download-only "$work"/debs/*.deb
  fi
  # The newer version: each package again with its version, and the
  # families' dependency on printer-helper-common, raised by "+1".
  for deb in "$work"/debs/*.deb; do
    old=$(dpkg-deb -f "$deb" Version)
    rm -rf "$work/repack"; dpkg-deb -R "$deb" "$work/repack"
    sed -i -e "s/^Version: .*/Version: $old+1/" -e "s/(= $old)/(= $old+1)/" "$work/repack/DEBIAN/control"
    dpkg-deb -b "$work/repack" "$work/upgrade/" >/dev/null
  done
  rm -rf "$work/repack"
  # A /proc of its own as well: the tree's /proc/sys is read-only, a new
  # network namespace's own settings in a new /proc are not.
  exec unshare --net --mount --pid --fork --mount-proc -- "$0" --in-own-network "$mode"
fi
mode=$2
# That /proc's settings read-only but for the network namespace's own: the
# packages' postrm runs sysctl --system, whose fs.* and kernel.* settings no
# namespace holds, and must not reach the machine's.
mount --bind /proc/sys/net /proc/sys/net
mount --rbind /proc/sys /proc/sys
mount -o remount,bind,ro /proc/sys

# The families are those of the packages at hand.
families=()
for deb in "$work"/debs/printer-helper-*.deb; do
  package=$(dpkg-deb -f "$deb" Package)
  [ "$package" = printer-helper-common ] || families+=("${package#printer-helper-}")
done
debs_of() {  # debs_of debs|upgrade: the packages of one version
  local f
  printf '%s\n' "$work/$1"/printer-helper-common_*.deb
  for f in "${families[@]}"; do printf '%s\n' "$work/$1"/printer-helper-"$f"_*.deb; done
}
# family_names FAMILY: SERVICE_NAME and INTERFACE, from the files of its package.
family_names() {
  local files
  files=$(dpkg-deb -c "$work"/debs/printer-helper-"$1"_*.deb | awk '{ print $6 }')
  SERVICE_NAME=$(sed -n 's|^\./usr/share/dbus-1/services/\(.*\)\.service$|\1|p' <<<"$files")
  INTERFACE=$(sed -n 's|^\./usr/share/dbus-1/interfaces/\(.*\)\.xml$|\1|p' <<<"$files")
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
  family_names "$1"
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

# The drop-in is there and applied, and installing said so.
check_widened() {  # check_widened STEP
  grep -q 'ping_group_range is widened to every group' /tmp/ph-fresh-apt.log ||
    fail "$1 does not say what it widens"
  [ -f "$dropin" ] || fail "after $1, no sysctl drop-in"
  [ "$(ping_range)" = "0 2147483647" ] || fail "$1 left the ping range at '$(ping_range)'"
}

# --- Install (the autopkgtest finds them installed).
mapfile -t debs < <(debs_of debs)
if [ "$mode" = fresh ]; then
  apt "installing" install "${debs[@]}"
  check_widened "installing"
fi
for f in "${families[@]}"; do
  family_names "$f"
  [ -f "/usr/share/dbus-1/services/$SERVICE_NAME.service" ] || fail "$f: no activation file"
  [ -f "/usr/lib/systemd/user/printer-helper-$f.service" ] || fail "$f: no systemd user unit"
  [ -f "/usr/share/dbus-1/interfaces/$INTERFACE.xml" ] ||
    fail "$f: no introspection file"
  help=$(as_user "printer-helper-tool-$f" --help) || fail "$f: --help failed"
  grep -qF "$SERVICE_NAME" <<<"$help" || fail "$f: --help does not name $SERVICE_NAME"
  as_user man -w "printer-helper-tool-$f" >/dev/null 2>&1 || fail "$f: man printer-helper-tool-$f finds no page"
  version=$(as_user "printer-helper-tool-$f" --version | head -n1) || true
  [ "$version" = "printer-helper-tool $(dpkg-query -W -f='${Version}' "printer-helper-$f")" ] ||
    fail "$f: --version says '$version'"
done
if command -v systemd-analyze >/dev/null; then
  (cd / && systemd-analyze verify /usr/lib/systemd/user/printer-helper-*.service) ||
    fail "systemd-analyze verify of the installed units"
fi
call_each "installed"

# --- The same version again, then the newer one: each ends the services
# that run the program it replaces, and the next call starts the new file.
apt "reinstalling" install --reinstall "${debs[@]}"
check_widened "reinstalling"
check_ended_by_scripts "reinstalling"
check_no_stale_process "reinstalling"
call_each "reinstalled"

mapfile -t debs2 < <(debs_of upgrade)
new_version=$(dpkg-deb -f "${debs2[0]}" Version)
apt "upgrading" install "${debs2[@]}"
check_ended_by_scripts "upgrading"
check_no_stale_process "upgrading"
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Version}' "$p")" = "$new_version" ] || fail "upgrading left $p at $(dpkg-query -W -f='${Version}' "$p")"
done
call_each "upgraded"

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
  family_names "$f"
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
echo "the packages of ${families[*]} install, reinstall, upgrade, remove and purge on Debian" \
  "$(. /etc/os-release && echo "$VERSION_ID") ($mode), with no service left on a replaced program, and answer an" \
  "ordinary user at every step"
