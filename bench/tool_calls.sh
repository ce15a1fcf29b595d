#!/usr/bin/env bash
# The tool's cost per call beside the bus's own client and beside snmpget, in
# alternating pairs (the order swapped every round), medians compared:
#   tool IsFilePathWritable_XPC   / dbus-send --print-reply of the same method
#   tool PdeSnmpGet_XPC of sysDescr / snmpget -v1 of the same OID
# Inside scripts/sandbox --agent (scripts/bench runs it there). Family:
# PH_BENCH_FAMILY (briar); rounds: PH_BENCH_ROUNDS (200); PH_BENCH_TOOL runs
# another build of the tool against the same service.
set -euo pipefail
[ "${PH_SANDBOX:-}" = 1 ] || { echo "run through scripts/bench" >&2; exit 1; }
build=${PH_BUILD_DIR:-build}
family=${PH_BENCH_FAMILY:-briar}
rounds=${PH_BENCH_ROUNDS:-200}
tool=${PH_BENCH_TOOL:-$build/families/$family/printer-helper-tool}
. "$build/families/$family/family.env"
work=$(mktemp -d /tmp/ph-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
oid=1.3.6.1.2.1.1.1.0
now() { date +%s%N; }
median() { sort -n | awk '{a[NR]=$1} END {printf "%d\n", (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

tool_probe() { "$tool" IsFilePathWritable_XPC "$work/probe"; }
dbus_send_probe() {
  dbus-send --session --print-reply --dest="$SERVICE_NAME" / "$INTERFACE.isFilePathWritable_XPC" string:"$work/probe"
}
tool_read() { "$tool" PdeSnmpGet_XPC 4 0 "$work/c" 1000 3 0 p0 p1 p2 public p4 p5 127.0.0.1 $oid; }
snmpget_read() { snmpget -v1 -c public -Oqv 127.0.0.1 $oid; }

# pair A B LABEL: A and B alternate for $rounds rounds; prints both medians
# and A/B.
pair() {
  local a=$1 b=$2 label=$3 round which t0 t1
  : > "$work/$a"; : > "$work/$b"
  for round in $(seq "$rounds"); do
    for which in $([ $((round % 2)) -eq 0 ] && echo "$a $b" || echo "$b $a"); do
      t0=$(now); $which >/dev/null; t1=$(now)
      echo $((t1 - t0)) >> "$work/$which"
    done
  done
  local ma mb
  ma=$(median < "$work/$a"); mb=$(median < "$work/$b")
  printf '%s, median of %d alternating pairs: %.2f ms / %.2f ms = %.2f\n' "$label" "$rounds" \
    "$(echo "$ma / 1000000" | bc -l)" "$(echo "$mb / 1000000" | bc -l)" "$(echo "$ma / $mb" | bc -l)"
}

# The first call starts the service; both checks also prove the calls work.
[ "$(tool_probe)" = "IsFilePathWritable_XPC=TRUE" ] || { echo "the probe failed: $(tool_probe)" >&2; exit 1; }
tool_read >/dev/null
echo "tool: $tool"
pair tool_probe dbus_send_probe "file probe, tool / dbus-send --print-reply  [goal: <= 1.0]"
pair tool_read snmpget_read "SNMP read, tool / snmpget -v1  [goal: <= 0.65]"
