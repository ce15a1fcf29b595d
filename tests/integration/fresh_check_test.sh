#!/usr/bin/env bash
# The parts of scripts/fresh-check and scripts/lib.sh that need no fresh tree:
# which apt sources it reads, "could not run" (75) apart from a failure, and
# a failed step that shows the tool's own output. Usage: fresh_check_test.sh REPO
set -u
repo=$1
check=$repo/scripts/fresh-check
work=$(mktemp -d /tmp/ph-fresh-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; failures=$((failures + 1)); }
same() {  # same DESCRIPTION GOT WANTED
  if [ "$2" = "$3" ]; then ok "$1"; else bad "$1: got"$'\n'"$2"$'\n'"wanted"$'\n'"$3"; fi
}

# apt_dir NAME: a folder laid out like /etc/apt, for PH_FRESH_APT_DIR.
apt_dir() { mkdir -p "$work/$1/sources.list.d"; echo "$work/$1"; }

# One-line and deb822 sources together, with what apt itself skips.
d=$(apt_dir mixed)
cat >"$d/sources.list" <<'LIST'
# deb http://commented.invalid/debian bookworm main
deb-src http://source.invalid/debian bookworm main
deb [arch=amd64 signed-by=/usr/share/keyrings/k.gpg] http://one.invalid/debian/ bookworm main contrib # a note
deb http://one.invalid/debian-security bookworm-security main
deb https://vendor.invalid/apt stable main
LIST
cat >"$d/sources.list.d/debian.sources" <<'SOURCES'
Types: deb deb-src
URIs: http://two.invalid/debian
Suites: bookworm bookworm-updates
Components: main non-free-firmware
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

# a stanza switched off
Types: deb
URIs: http://off.invalid/debian
Suites: bookworm
Components: main
Enabled: no

Types: deb-src
URIs: http://srconly.invalid/debian
Suites: bookworm
Components: main
SOURCES
echo "deb http://disabled.invalid/debian bookworm main" >"$d/sources.list.d/old.list.disabled"
got=$(PH_FRESH_APT_DIR=$d "$check" --sources 2>&1)
same "one-line and deb822 sources, options, comments and switched-off entries" "$got" \
"http://one.invalid/debian bookworm main contrib
http://one.invalid/debian-security bookworm-security main
http://two.invalid/debian bookworm main non-free-firmware
http://two.invalid/debian bookworm-updates main non-free-firmware"

# deb822 alone: its first bookworm entry is the mirror, listed first.
d=$(apt_dir deb822)
printf 'Types: deb\nURIs: http://sec.invalid/debian-security\nSuites: bookworm-security\nComponents: main\n\n' \
  >"$d/sources.list.d/a.sources"
printf 'Types: deb\nURIs: http://main.invalid/debian\nSuites: bookworm\nComponents: main\n' >"$d/sources.list.d/b.sources"
got=$(PH_FRESH_APT_DIR=$d "$check" --sources 2>&1)
same "the bookworm mirror comes first" "$got" \
"http://main.invalid/debian bookworm main
http://sec.invalid/debian-security bookworm-security main"

# "Could not run" cases: one line on stderr, status 75, nothing on stdout.
could_not_run() {  # could_not_run DESCRIPTION APT-DIR [RUNNER...]
  local what=$1 dir=$2; shift 2
  local status=0
  PH_FRESH_APT_DIR=$dir PH_FRESH_DIR=$work/cache "$@" "$check" true >"$work/out" 2>"$work/err" || status=$?
  if [ $status -eq 75 ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" -eq 1 ] &&
     grep -q '^fresh-check: could not run: ' "$work/err"; then ok "$what: $(cat "$work/err")"
  else bad "$what: status $status, stdout '$(cat "$work/out")', stderr '$(cat "$work/err")'"; fi
}
d=$(apt_dir vendor-only)
echo "deb https://vendor.invalid/apt stable main" >"$d/sources.list"
could_not_run "sources with no bookworm mirror" "$d"

if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
  # A network namespace of our own with nothing in it: no mirror answers,
  # and no packet can leave.
  d=$(apt_dir unreachable)
  echo "deb http://127.0.0.1:9/debian bookworm main" >"$d/sources.list"
  could_not_run "a mirror that does not answer" "$d" unshare --net --
  if [ ! -e "$work/cache" ] || [ -z "$(ls -A "$work/cache")" ]; then ok "nothing is built or unpacked then"
  else bad "the cache folder holds $(ls "$work/cache")"; fi
else
  echo "skip the unreachable mirror: needs root for a network namespace"
fi

status=0; "$check" >/dev/null 2>&1 || status=$?
same "no command is a usage error" "$status" 2

# lib.sh: a failed step shows its own output and keeps its status; a step
# that works says nothing.
out=$(cd "$repo" && bash -c '. scripts/lib.sh; ph_quietly "$1/log" sh -c "echo the tool said why >&2; exit 3"' x "$work" 2>&1)
status=$?
same "a failed step keeps its status" "$status" 3
case $out in *"the tool said why"*) ok "a failed step shows the tool's message" ;;
  *) bad "a failed step showed '$out'" ;; esac
out=$(cd "$repo" && bash -c '. scripts/lib.sh; ph_quietly "$1/log" sh -c "echo chatter"' x "$work" 2>&1)
same "a step that works is quiet" "$out" ""

echo "$failures failed"
[ $failures -eq 0 ]
