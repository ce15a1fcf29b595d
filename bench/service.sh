#!/usr/bin/env bash
# Figures of the tool and the service through the bus, inside scripts/sandbox
# --agent (scripts/bench runs it there). Family: PH_BENCH_FAMILY (briar).
set -euo pipefail
[ "${PH_SANDBOX:-}" = 1 ] || { echo "run through scripts/bench" >&2; exit 1; }
build=${PH_BUILD_DIR:-build}
family=${PH_BENCH_FAMILY:-briar}
tool=$build/families/$family/printer-helper-tool
. "$build/families/$family/family.env"
work=$(mktemp -d /tmp/ph-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
oid=1.3.6.1.2.1.1.1.0
now() { date +%s%N; }
ms() { echo "scale=2; ($2 - $1) / 1000000" | bc; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
read_oid() { "$tool" PdeSnmpGet_XPC 4 0 "$work/c" "${2:-1000}" 3 0 p0 p1 p2 public p4 p5 "${1:-127.0.0.1}" $oid; }

# 2. The first call, which starts the service.
t0=$(now); read_oid >/dev/null; t1=$(now)
echo "first call, service start included: $(ms $t0 $t1) ms"

# 1. A warm read beside snmpget, 200 runs each.
for _ in $(seq 200); do t0=$(now); read_oid >/dev/null; t1=$(now); ms $t0 $t1; done | median > "$work/tool"
for _ in $(seq 200); do t0=$(now); snmpget -v1 -c public -Oqv 127.0.0.1 $oid >/dev/null; t1=$(now); ms $t0 $t1; done | median > "$work/snmpget"
echo "warm read, median of 200: tool $(cat "$work/tool") ms, snmpget -v1 $(cat "$work/snmpget") ms," \
  "ratio snmpget/tool $(echo "scale=2; $(cat "$work/snmpget") / $(cat "$work/tool")" | bc)"

# 3. 32 tool runs at once against a silent address, 300 ms time-out.
t0=$(now)
for i in $(seq 32); do
  "$tool" PdeSnmpGet_XPC 4 NULL "$work/c$i" 300 3 0 p0 p1 p2 public p4 p5 198.51.100.77 $oid >/dev/null &
done
wait
t1=$(now)
echo "32 parallel reads of a silent address (300 ms time-out): $(ms $t0 $t1) ms wall"

# 4. Cancel latency: from the cancel run to the reply of a 5000 ms read.
for i in $(seq 5); do
  "$tool" PdeSnmpGet_XPC 4 0 "$work/slow" 5000 3 0 p0 p1 p2 public p4 p5 198.51.100.77 $oid > "$work/slow.out" &
  reader=$!
  sleep 0.3
  t0=$(now); "$tool" CancelFileWrite_XPC "$work/slow" >/dev/null; wait $reader; t1=$(now)
  ms $t0 $t1
done | median > "$work/cancel"
echo "cancel latency (cancel run to reply), median of 5: $(cat "$work/cancel") ms"

# 5. Resident memory and threads of the service over 10,000 calls.
pid=$(busctl --user status "$SERVICE_NAME" 2>/dev/null | awk -F= '/^PID=/{print $2}')
sample() { echo "after $1 calls: RSS $(awk '/VmRSS/{print $2, $3}' /proc/$pid/status), threads $(ls /proc/$pid/task | wc -l)"; }
sample 0
for round in 1 2; do
  for _ in $(seq 2500); do
    read_oid 127.0.0.1 250 >/dev/null
    "$tool" IsFilePathWritable_XPC "$work/probe" >/dev/null
  done
  sample $((round * 5000))
done
