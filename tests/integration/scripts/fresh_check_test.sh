#!/usr/bin/env bash
# scripts/fresh-check and scripts/lib.sh: which apt sources it reads for each
# release, "could not run" (75) apart from a failure, the help texts, and a
# failed step that shows the tool's own output. Where a Debian 13 tree has
# been built ($PH_FRESH_DIR), also what a tree can reach of this machine: its
# settings read-only, namespaces of its own (a user namespace with its own
# binfmt_misc and a sandbox in it included), the compiler cache bound in, and
# a change of the machine's settings failing the check; with --offline, so
# that no packet leaves. Usage: fresh_check_test.sh REPO
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

# Each release gets the machine's suites renamed to its own, whichever of the
# two the machine runs; the security suite keeps its own mirror.
d=$(apt_dir bookworm-machine)
cat >"$d/sources.list.d/debian.sources" <<'SOURCES'
Types: deb
URIs: http://main.invalid/debian
Suites: bookworm bookworm-updates
Components: main non-free-firmware

Types: deb
URIs: http://sec.invalid/debian-security
Suites: bookworm-security
Components: main
SOURCES
d13=$(apt_dir trixie-machine)
sed 's/bookworm/trixie/g' "$d/sources.list.d/debian.sources" >"$d13/sources.list.d/debian.sources"
while read -r machine release wanted; do
  got=$(PH_FRESH_APT_DIR=$work/$machine-machine "$check" --release "$release" --sources 2>&1)
  same "a $machine machine's sources for Debian $release" "$got" \
"http://main.invalid/debian $wanted main non-free-firmware
http://main.invalid/debian $wanted-updates main non-free-firmware
http://sec.invalid/debian-security $wanted-security main"
done <<'CASES'
bookworm 12 bookworm
bookworm 13 trixie
trixie 12 bookworm
trixie 13 trixie
CASES
got=$(PH_FRESH_APT_DIR=$d "$check" --sources 2>&1)
same "Debian 12 is the default" "$got" "$(PH_FRESH_APT_DIR=$d "$check" --release 12 --sources 2>&1)"

# Usage errors: status 2, before anything else.
while IFS='|' read -r what args; do
  # shellcheck disable=SC2086 # the arguments are words
  status=0; PH_FRESH_APT_DIR=$d "$check" $args >"$work/out" 2>&1 || status=$?
  same "$what is a usage error" "$status" 2
done <<'CASES'
a release we do not build|--release 14 true
--release with no release|--release
an unknown option|--frobnicate true
no command|--release 13
CASES

# Help: each script's whole header, however long, and nothing past it.
for script in fresh-check sandbox; do
  header=$(awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$repo/scripts/$script")
  got=$("$repo/scripts/$script" --help 2>&1)
  same "$script --help prints its $(wc -l <<<"$header")-line header" "$got" "$header"
done

# "Could not run" cases: one line on stderr, status 75, nothing on stdout.
could_not_run() {  # could_not_run DESCRIPTION APT-DIR "OPTIONS" [RUNNER...]
  local what=$1 dir=$2 options=$3; shift 3
  local status=0
  # shellcheck disable=SC2086 # the options are words
  PH_FRESH_APT_DIR=$dir PH_FRESH_DIR=$work/cache "$@" "$check" $options true >"$work/out" 2>"$work/err" || status=$?
  if [ $status -eq 75 ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" -eq 1 ] &&
     grep -q '^fresh-check: could not run: ' "$work/err"; then ok "$what: $(cat "$work/err")"
  else bad "$what: status $status, stdout '$(cat "$work/out")', stderr '$(cat "$work/err")'"; fi
}
d=$(apt_dir vendor-only)
echo "deb https://vendor.invalid/apt stable main" >"$d/sources.list"
could_not_run "sources with no bookworm mirror" "$d" ""
could_not_run "sources with no mirror for Debian 13 either" "$d" "--release 13"

if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
  # A network namespace of our own with nothing in it: no mirror answers,
  # and no packet can leave.
  d=$(apt_dir unreachable)
  echo "deb http://127.0.0.1:9/debian bookworm main" >"$d/sources.list"
  could_not_run "a mirror that does not answer" "$d" "" unshare --net --
  could_not_run "the same for Debian 13" "$d" "--release 13" unshare --net --
  # --offline asks no mirror, and builds no tree.
  could_not_run "--offline with no tree built" "$d" "--offline --release 13" unshare --net --
  grep -q 'offline builds none' "$work/err" || bad "--offline said otherwise: $(cat "$work/err")"
  if [ ! -e "$work/cache" ] || [ -z "$(ls -A "$work/cache")" ]; then ok "nothing is built or unpacked then"
  else bad "the cache folder holds $(ls "$work/cache")"; fi
else
  echo "skip the unreachable mirror: needs root for a network namespace"
fi

status=0; "$check" >/dev/null 2>&1 || status=$?
same "no command is a usage error" "$status" 2

# In a Debian 13 tree, offline: a folder of our own that links the tree
# built in $PH_FRESH_DIR, so that the compiler cache folder bound in is ours
# too. The settings compared are a copy of ours in that cache folder, which
# CMD can reach, so that a change of them is seen without changing any of
# this machine's.
trees=${PH_FRESH_DIR:-/var/tmp/printer-helper-fresh}
tarballs=("$trees"/trixie-minbase-*.tar.*)
if [ "$(id -u)" -eq 0 ] && [ -f "${tarballs[0]}" ]; then
  fresh=$work/fresh
  mkdir -p "$fresh/ccache-trixie/sys/net/ipv4"
  ln -s "${tarballs[@]}" "$fresh/"
  settings=$fresh/ccache-trixie/sys
  echo "1	0" >"$settings/net/ipv4/ping_group_range"
  echo 8192 >"$settings/net/ipv4/tcp_max_syn_backlog"
  # What CMD sees, a line each after "@ "; $1: this machine's namespaces.
  # Opening a file for writing writes nothing to it.
  probe='
    writable() { if ( : >"$1" ) 2>/dev/null; then echo "@ writable $1"; else echo "@ read-only $1"; fi; }
    writable /proc/sys/net/ipv4/ping_group_range
    writable /proc/sys/kernel/hostname
    writable /sys/kernel/mm/transparent_hugepage/enabled
    writable "$(find /sys/fs/cgroup -name cgroup.procs -print -quit)"
    # As scripts/sandbox does: a network namespace mounts a /proc of its own.
    unshare --net --pid --fork --mount-proc bash -c "$(declare -f writable); writable /proc/sys/net/ipv4/ping_group_range"
    # As scripts/cross-check does: a user namespace, ids one to one, with a
    # binfmt_misc of its own, and a sandbox in it.
    export -f writable
    unshare --user --map-users=0:0:65536 --map-groups=0:0:65536 --mount bash -c "
      mount -t binfmt_misc binfmt_misc /mnt 2>/dev/null && echo \"@ a binfmt_misc of its own\" ||
        echo \"@ no binfmt_misc of its own\"
      unshare --net --pid --fork --mount-proc bash -c \"writable /proc/sys/net/ipv4/ping_group_range\""
    for ns in net uts ipc; do
      if [[ " $1 " == *" $(readlink /proc/self/ns/$ns) "* ]]; then echo "@ the machine'"'"'s $ns"; else echo "@ a $ns of its own"; fi
    done
    echo "@ interfaces:" $(awk "NR > 2 { sub(/:.*/, \"\"); print \$1 }" /proc/net/dev)
    # Settings as the machine has them: one changed, one new, as an
    # interface that comes brings its own.
    echo "0 2147483647" >/root/.cache/ccache/sys/net/ipv4/ping_group_range
    mkdir -p /root/.cache/ccache/sys/net/ipv4/conf/ph9 && echo 1 >/root/.cache/ccache/sys/net/ipv4/conf/ph9/forwarding'
  # Linux 6.7 gave each user namespace a binfmt_misc of its own.
  own_binfmt="a binfmt_misc of its own"
  printf '6.7\n%s\n' "$(uname -r)" | sort -VC || own_binfmt="no binfmt_misc of its own"
  machine_ns="$(readlink /proc/self/ns/net) $(readlink /proc/self/ns/uts) $(readlink /proc/self/ns/ipc)"
  status=0
  PH_FRESH_DIR=$fresh PH_FRESH_SYSCTL_DIR=$settings "$check" --release 13 --offline \
    bash -c "$probe" probe "$machine_ns" >"$work/out" 2>"$work/err" || status=$?
  got=$(sed -n 's/^@ //p' "$work/out")
  same "what a Debian 13 tree can reach" "$got" \
"read-only /proc/sys/net/ipv4/ping_group_range
read-only /proc/sys/kernel/hostname
read-only /sys/kernel/mm/transparent_hugepage/enabled
read-only $(find /sys/fs/cgroup -name cgroup.procs -print -quit)
writable /proc/sys/net/ipv4/ping_group_range
$own_binfmt
writable /proc/sys/net/ipv4/ping_group_range
a net of its own
a uts of its own
a ipc of its own
interfaces: lo"
  same "a changed setting of the machine fails the check" "$status" 1
  same "and is named, the new one not" "$(sed -n 's/^  //p' "$work/err")" \
    "net.ipv4.ping_group_range: 1	0 -> 0 2147483647"

  # --cold: no compiler cache of ours in the tree; CMD's own status stays.
  status=0
  PH_FRESH_DIR=$fresh PH_FRESH_SYSCTL_DIR=$settings "$check" --release 13 --offline --cold \
    bash -c '[ -e /root/.cache/ccache/sys ] && exit 4; exit 3' >"$work/out" 2>"$work/err" || status=$?
  same "--cold binds no cache, and CMD's status is the check's" "$status" 3
  same "no setting changed then" "$(grep -c 'settings changed' "$work/err")" 0
  same "nothing is left of the runs" "$(cd "$fresh" && ls -d run.* 2>/dev/null; findmnt -rn -o TARGET | grep -cF "$fresh/")" 0
else
  echo "skip the Debian 13 tree: needs root and a tree built by scripts/fresh-check --release 13"
fi

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
