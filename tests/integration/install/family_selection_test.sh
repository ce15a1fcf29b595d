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

# A copy of the sources with one more family that repeats the bus name, then
# the UUID, of the first: the configure stops and names both families.
copy=$scratch/src
mkdir -p "$copy"
tar -C "$src" --exclude-tag-all=CMakeCache.txt --exclude=./.git -cf - . | tar -C "$copy" -xf -
printf 'include(%s)\nmessage("${FAMILY_SERVICE_NAME} ${FAMILY_PROTOCOL_UUID}")\n' \
  "$src/build-config/$first.cmake" > "$scratch/read.cmake"
read -r name uuid < <(cmake -P "$scratch/read.cmake" 2>&1)
for clash in name uuid; do
  if [ $clash = name ]; then dup_name=$name; dup_uuid=00000000-0000-4000-8000-000000000000
  else dup_name=org.example.Clash; dup_uuid=$uuid; fi
  cat > "$copy/build-config/zzclash.cmake" <<CONF
set(FAMILY_SERVICE_NAME "$dup_name")
set(FAMILY_PROTOCOL_UUID "$dup_uuid")
set(FAMILY_TOOL_OUTPUT plain)
set(FAMILY_STRING_FORM utf8)
set(FAMILY_MODEL_ROWS "FENWA|Fenwa ZZ 1|ZZ1|1|4|1")
CONF
  if cmake -S "$copy" -B "$scratch/clash-$clash" -DPH_TESTS=OFF -DPH_FAMILIES=zzclash >"$scratch/clash-$clash.log" 2>&1; then
    fail "a family repeating the $clash of $first was accepted"
  else
    grep -q "'$first' and 'zzclash'" "$scratch/clash-$clash.log" ||
      fail "the $clash clash does not name both families: $(grep -A3 'CMake Error' "$scratch/clash-$clash.log" | head -5)"
  fi
done

# Model texts with quotes and backslashes reach the programs unchanged: the
# generated C++ literals are escaped.
rm -f "$copy/build-config/zzclash.cmake"
cat > "$copy/build-config/zzquote.cmake" <<'CONF'
set(FAMILY_SERVICE_NAME "org.example.Quote")
set(FAMILY_PROTOCOL_UUID "00000000-0000-4000-8000-000000000001")
set(FAMILY_TOOL_OUTPUT plain)
set(FAMILY_STRING_FORM utf8)
set(FAMILY_MODEL_ROWS "FENWA|Fenwa \"Q\" 1\\n|Q\\1|1|4|1")
CONF
if cmake -S "$copy" -B "$scratch/quote" -DPH_TESTS=OFF -DPH_FAMILIES=zzquote >"$scratch/quote.log" 2>&1; then
  printf '#include "MyPPDModel.h"\n#include <cstdio>\nint main() { std::printf("%%s|%%s", kMyPrinterModels[0].nickname, kMyPrinterModels[0].jobTicketKey); }\n' \
    > "$scratch/print_row.cpp"
  if c++ -std=c++17 -I "$src/models" -o "$scratch/print_row" "$scratch/print_row.cpp" \
       "$scratch/quote/families/zzquote/gen/FamilyConstants.cpp" 2>"$scratch/quote-cc.log"; then
    row=$("$scratch/print_row")
    [ "$row" = 'Fenwa "Q" 1\n|Q\1' ] || fail "the model texts came out as '$row'"
  else
    fail "the generated model table does not compile: $(head -5 "$scratch/quote-cc.log")"
  fi
else
  fail "a family with quotes in its model texts does not configure: $(grep -A3 'CMake Error' "$scratch/quote.log" | head -5)"
fi

[ $failures -eq 0 ] || exit 1
echo "PH_FAMILIES selects families; every family by default: $all; shared bus names and UUIDs stop the configure;" \
  "model texts are escaped"
rm -rf "$scratch"
