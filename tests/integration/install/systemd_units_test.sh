#!/usr/bin/env bash
# systemd_units_test.sh BUILD_DIR FAMILY...
# Installs the build into a scratch prefix and checks each family's systemd
# user unit with systemd-analyze verify and systemd-analyze security (its
# sandbox), the activation file that names it, and the installed
# introspection file. Runs nothing and sends nothing.
set -euo pipefail
build=$1; shift
command -v systemd-analyze >/dev/null || { echo "SKIP: no systemd-analyze"; exit 77; }
work=$(mktemp -d /tmp/ph-units-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$stage" >"$work/install.log" ||
  { cat "$work/install.log" >&2; echo "FAIL: cmake --install" >&2; exit 1; }

# The folders come from pkg-config, relative to the prefix; Debian 12's are these.
units_dir=$stage/lib/systemd/user
services_dir=$stage/share/dbus-1/services
interfaces_dir=$stage/share/dbus-1/interfaces

for f in "$@"; do
  # shellcheck disable=SC1090
  . "$build/families/$f/family.env"
  unit=printer-helper-$f.service
  exec_path=$stage/libexec/printer-helper/$f/printer-helper-service
  [ -f "$units_dir/$unit" ] || { fail "$f: no $units_dir/$unit"; continue; }
  grep -qx 'Type=dbus' "$units_dir/$unit" || fail "$f: the unit is not Type=dbus"
  grep -qx "BusName=$SERVICE_NAME" "$units_dir/$unit" || fail "$f: the unit's BusName= is not $SERVICE_NAME"
  grep -qx "ExecStart=$exec_path" "$units_dir/$unit" || fail "$f: the unit does not start $exec_path"
  # Sandboxed in what the operations never need...
  for setting in NoNewPrivileges=yes 'RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK' \
                 LockPersonality=yes MemoryDenyWriteExecute=yes RestrictRealtime=yes RestrictNamespaces=yes \
                 SystemCallArchitectures=native SystemCallFilter=@system-service; do
    grep -qxF "$setting" "$units_dir/$unit" || fail "$f: the unit lacks $setting"
  done
  # ... and in nothing that the caller's rights allow: callers share /tmp and
  # home with the service, the file operations reach any file the user may
  # write, and printers are anywhere. CapabilityBoundingSet= would stop a
  # user manager from starting the service at all.
  for setting in PrivateTmp ProtectHome ProtectSystem PrivateNetwork IPAddressDeny InaccessiblePaths ReadOnlyPaths \
                 TemporaryFileSystem CapabilityBoundingSet; do
    grep -q "^$setting=" "$units_dir/$unit" && fail "$f: the unit sets $setting=, which takes from the caller's rights"
  done
  grep -qx "SystemdService=$unit" "$services_dir/$SERVICE_NAME.service" ||
    fail "$f: the activation file does not name $unit"
  grep -qx "Exec=$exec_path" "$services_dir/$SERVICE_NAME.service" ||
    fail "$f: the activation file lost its Exec= for buses without systemd"

  cmp -s "$interfaces_dir/$INTERFACE.xml" "$build/dbus-1/interfaces/$INTERFACE.xml" ||
    fail "$f: $interfaces_dir/$INTERFACE.xml is missing or not the generated one"
done

# systemd's own check, as the user manager that runs them: syntax, Type=dbus
# with BusName= (and the user's dbus.socket that it needs), an executable
# ExecStart=, and the Documentation= page (found through MANPATH).
mkdir -m 700 "$work/runtime"
(cd "$work" && XDG_RUNTIME_DIR=$work/runtime MANPATH=$stage/share/man systemd-analyze --user verify "$units_dir"/*.service) \
  >"$work/verify.log" 2>&1 ||
  fail "systemd-analyze verify: $(cat "$work/verify.log")"
[ ! -s "$work/verify.log" ] || fail "systemd-analyze verify complains: $(cat "$work/verify.log")"

# systemd's rating of the sandbox, as a user manager would run it: an
# exposure of 6.0 at most (without the sandbox it is 9.8).
for unit in "$units_dir"/*.service; do
  (cd "$work" && XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user security --offline=yes --threshold=60 "$unit") \
    >"$work/security.log" 2>&1 || fail "$(basename "$unit"): $(grep -i 'exposure level' "$work/security.log" || tail -n3 "$work/security.log")"
done

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "systemd user units of $* verify, are sandboxed to an exposure of 6.0 at most and are named by their activation files"
