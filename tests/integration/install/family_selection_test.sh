#!/usr/bin/env bash
# family_selection_test.sh SOURCE_DIR SCRATCH_DIR
# Configures (no build) with and without PH_FAMILIES and checks which
# families the build would make.
set -euo pipefail
src=$1 scratch=$2
rm -rf "$scratch"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
configure() { cmake -S "$src" -B "$scratch/$1" -DPH_TESTS=OFF "${@:2}" >"$scratch/$1.log" 2>&1; }
families_of() { (cd "$scratch/$1/families" 2>/dev/null && ls -d -- */ | tr -d / | sort | xargs); }
mkdir -p "$scratch"

all=$(cd "$src/build-config" && ls -- *.cmake | sed 's/\.cmake$//' | sort | xargs)
configure default || fail "default configure failed"
[ "$(families_of default)" = "$all" ] || fail "default builds '$(families_of default)', not every family '$all'"
[ "$(ls "$scratch/default/dbus-1/services" | wc -l)" -eq "$(wc -w <<<"$all")" ] ||
  fail "default has not one activation file per family"

first=${all%% *}
last=${all##* }
configure subset "-DPH_FAMILIES=$first;$last" || fail "configure with two families failed"
[ "$(families_of subset)" = "$(printf '%s\n' "$first" "$last" | sort -u | xargs)" ] ||
  fail "PH_FAMILIES=$first;$last builds '$(families_of subset)'"
[ "$(ls "$scratch/subset/dbus-1/services" | wc -l)" -eq "$(printf '%s\n' "$first" "$last" | sort -u | wc -l)" ] ||
  fail "the subset build has activation files of families it does not build"

if configure unknown -DPH_FAMILIES=no-such-family; then
  fail "an unknown family was accepted"
else
  grep -q "no-such-family" "$scratch/unknown.log" || fail "the unknown family is not named in the error"
fi

[ $failures -eq 0 ] || exit 1
echo "PH_FAMILIES selects families; every family by default: $all"
rm -rf "$scratch"
