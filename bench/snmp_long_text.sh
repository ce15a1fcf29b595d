#!/usr/bin/env bash
# A 250-byte text (its binding takes the long length form) read through the
# tool and the bus-activated service, beside snmpget -v1 for the same OID:
# interleaved in one run, the order swapped every round, medians compared.
# Inside scripts/sandbox --agent (scripts/bench runs it there). Family:
# PH_BENCH_FAMILY (briar); rounds: PH_BENCH_ROUNDS (200).
set -euo pipefail
[ "${PH_SANDBOX:-}" = 1 ] || { echo "run through scripts/bench" >&2; exit 1; }
build=${PH_BUILD_DIR:-build}
family=${PH_BENCH_FAMILY:-briar}
rounds=${PH_BENCH_ROUNDS:-200}
tool=$build/families/$family/printer-helper-tool
work=$(mktemp -d /tmp/ph-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
oid=1.3.6.1.4.1.59999.3.6.0
now() { date +%s%N; }
ms() { echo "scale=3; ($2 - $1) / 1000000" | bc; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
tool_read() { "$tool" PdeSnmpGet_XPC 4 0 "$work/c" 1000 3 0 p0 p1 p2 public p4 p5 127.0.0.1 $oid; }
snmpget_read() { snmpget -v1 -c public -Oqv 127.0.0.1 $oid; }

# The first call starts the service; it also checks that the whole text comes.
reply=$(tool_read)
case $reply in *"TRUE:uResult.string=Fenwa DX 5200 maintenance log"*"paper path c") ;; *) echo "unexpected reply: $reply" >&2; exit 1 ;; esac

: > "$work/tool"; : > "$work/snmpget"
for round in $(seq "$rounds"); do
  for which in $([ $((round % 2)) -eq 0 ] && echo "tool snmpget" || echo "snmpget tool"); do
    t0=$(now); ${which}_read >/dev/null; t1=$(now)
    ms "$t0" "$t1" >> "$work/$which"
  done
done
tool_ms=$(median < "$work/tool")
snmpget_ms=$(median < "$work/snmpget")
echo "250-byte text, median of $rounds interleaved: tool $tool_ms ms, snmpget -v1 $snmpget_ms ms," \
  "ratio snmpget/tool $(echo "scale=2; $snmpget_ms / $tool_ms" | bc)"
