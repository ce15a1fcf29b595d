#!/usr/bin/env bash
# fresh_deb_test.sh [FAMILY...]
# For scripts/fresh-check: run as root at the top of a clone of the project in
# a fresh Debian 12 or 13 tree. Installs what the build needs (scripts/deps),
# builds, makes the Debian packages, installs them with apt-get, and then, as
# an ordinary user on a session bus of its own, calls each installed family's
# tool: the bus must start the packaged service, which must answer TRUE.
# With no FAMILY every built family is checked. Sends no packet anywhere.
#   scripts/fresh-check tests/integration/install/fresh_deb_test.sh
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "fresh_deb_test: needs root (apt-get install)" >&2; exit 2; }
[ -f CMakeLists.txt ] && [ -x scripts/deps ] || { echo "fresh_deb_test: run me at the top of the project" >&2; exit 2; }
build=build-deb
user=ph-fresh-user
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

scripts/deps
. scripts/lib.sh
ph_configure "$build" -DPH_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
ph_build "$build"
ph_quietly "$build/cpack.log" sh -c "cd '$build' && cpack -G DEB"

families=("$@")
if [ ${#families[@]} -eq 0 ]; then
  for env in "$build"/families/*/family.env; do families+=("$(basename "$(dirname "$env")")"); done
fi
debs=("./$build"/printer-helper-common_*.deb)
for f in "${families[@]}"; do debs+=("./$build"/printer-helper-"$f"_*.deb); done
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q "${debs[@]}"

# Installed where a desktop session looks: dbus' and systemd's own folders.
[ -f /usr/lib/sysctl.d/50-printer-helper-ping.conf ] || fail "no sysctl drop-in"
for f in "${families[@]}"; do
  # shellcheck disable=SC1090
  . "$build/families/$f/family.env"
  [ -f "/usr/share/dbus-1/services/$SERVICE_NAME.service" ] || fail "$f: no activation file"
  [ -f "/usr/lib/systemd/user/printer-helper-$f.service" ] || fail "$f: no systemd user unit"
  [ -f "/usr/share/dbus-1/interfaces/$SERVICE_NAME.XPC_Protocol${PROTOCOL_UUID//-/_}.xml" ] ||
    fail "$f: no introspection file"
done
if command -v systemd-analyze >/dev/null; then
  (cd / && systemd-analyze verify /usr/lib/systemd/user/printer-helper-*.service) ||
    fail "systemd-analyze verify of the installed units"
fi

# An ordinary user, as on a desktop: the tool on the PATH, a session bus of
# its own that knows only what the packages installed.
id "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/bash "$user"
for f in "${families[@]}"; do
  # shellcheck disable=SC1090
  . "$build/families/$f/family.env"
  rm -f /tmp/x
  out=$(runuser -u "$user" -- env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="/home/$user" \
          dbus-run-session -- "printer-helper-tool-$f" IsFilePathWritable_XPC /tmp/x 2>"/tmp/ph-fresh-$f.err") &&
    status=0 || status=$?
  if [ "$status" -eq 0 ] && [ "$out" = "IsFilePathWritable_XPC=TRUE" ]; then
    echo "ok   $f: printer-helper-tool-$f IsFilePathWritable_XPC /tmp/x answers TRUE as $user"
  else
    fail "$f: status $status, printed '$out': $(head -c 500 "/tmp/ph-fresh-$f.err")"
  fi
  help=$(runuser -u "$user" -- "printer-helper-tool-$f" --help) || fail "$f: --help failed"
  grep -qF "$SERVICE_NAME" <<<"$help" || fail "$f: --help does not name $SERVICE_NAME"
  runuser -u "$user" -- env -i PATH=/usr/bin:/bin man -w "printer-helper-tool-$f" >/dev/null 2>&1 ||
    fail "$f: man printer-helper-tool-$f finds no page"
done
rm -f /tmp/x

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "the packages of ${families[*]} install into a fresh Debian $(. /etc/os-release && echo "$VERSION_ID") tree and answer an ordinary user"
