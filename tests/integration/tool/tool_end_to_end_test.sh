#!/usr/bin/env bash
# Every operation through each built family's tool and its bus-activated
# service, inside scripts/sandbox --agent. Usage: tool_end_to_end_test.sh BUILD_DIR
set -u
[ "${PH_SANDBOX:-}" = 1 ] || { echo "refusing to run outside scripts/sandbox"; exit 1; }
build=$1
work=$(mktemp -d /tmp/ph-e2e.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; failures=$((failures + 1)); }
expect() {  # expect DESCRIPTION EXPECTED-STDOUT EXPECTED-STATUS CMD...
  local what=$1 want=$2 want_status=$3; shift 3
  local out status
  out=$("$@" 2>"$work/stderr"); status=$?
  if [ "$out" = "$want" ] && [ $status -eq "$want_status" ]; then ok "$what"
  else bad "$what: got '$out' status $status, wanted '$want' status $want_status ($(head -c 300 "$work/stderr"))"; fi
}
in_folder() { local folder=$1; shift; (cd "$folder" && "$@"); }
hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n' | tr a-f A-F; }
service_pid() {  # the PID of the process that owns bus name $1, or nothing
  local reply
  reply=$(busctl --user call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
    GetConnectionUnixProcessID s "$1" 2>/dev/null) || return 0
  case $reply in "u "*) echo "${reply#u }" ;; esac
}

for env in "$build"/families/*/family.env; do
  ( . "$env"; echo "$FAMILY $SERVICE_NAME $TOOL_OUTPUT $STRING_FORM" ) > "$work/fam"
  read -r FAMILY SERVICE_NAME TOOL_OUTPUT STRING_FORM < "$work/fam"
  tool=$build/families/$FAMILY/printer-helper-tool
  snmpline() {  # what the tool prints for an SNMP reply in this family's form
    if [ "$TOOL_OUTPUT" = hex ]; then hex "PdeSnmpGet_XPC=$1"; else printf '%s' "PdeSnmpGet_XPC=$1"; fi
  }
  snmp() {  # snmp iType cancelFlag timeout rtnCharFlag host OID
    "$tool" PdeSnmpGet_XPC "$1" "$2" "$work/$FAMILY.cancel" "$3" 3 "$4" p0 p1 p2 public p4 p5 "$5" "$6"
  }
  echo "== $FAMILY ($TOOL_OUTPUT, $STRING_FORM)"

  busctl --user list --no-pager | grep -F "$SERVICE_NAME" | grep -q activatable ||
    bad "$FAMILY: the service is activatable before the first call"
  expect "$FAMILY: the first call starts the service and reads a text" \
    "$(snmpline 'TRUE:uResult.string=Fenwa DX 5200 colour laser printer')" 0 \
    snmp 4 0 1000 0 127.0.0.1 1.3.6.1.2.1.1.1.0
  busctl --user status "$SERVICE_NAME" >/dev/null 2>&1 && ok "$FAMILY: the service now owns its name" ||
    bad "$FAMILY: the service does not own its name"
  expect "$FAMILY: an integer" "$(snmpline 'TRUE:uResult.integer=-3')" 0 snmp 2 0 0 0 127.0.0.1 1.3.6.1.2.1.43.11.1.1.9.1.1
  expect "$FAMILY: an object identifier" "$(snmpline 'TRUE:uResult.string=1.3.6.1.4.1.59999.1.5200')" 0 \
    snmp 6 0 0 0 127.0.0.1 1.3.6.1.2.1.1.2.0
  expect "$FAMILY: a MAC address in MAC form" "$(snmpline 'TRUE:uResult.string=aa:bb:cc:dd:ee:ff')" 0 \
    snmp 4 0 0 1 127.0.0.1 1.3.6.1.4.1.59999.2.1.0
  if [ "$STRING_FORM" = utf8 ]; then
    expect "$FAMILY: UTF-8 text in the UTF-8 form" "$(snmpline 'TRUE:uResult.string=Fenwa Büro')" 0 \
      snmp 4 0 0 0 127.0.0.1 1.3.6.1.4.1.59999.2.5.0
  else
    expect "$FAMILY: UTF-8 text in the byte form, one character a byte" "$(snmpline 'TRUE:uResult.string=Fenwa BÃ¼ro')" 0 \
      snmp 4 0 0 0 127.0.0.1 1.3.6.1.4.1.59999.2.5.0
  fi
  expect "$FAMILY: a time-ticks value asked as an integer comes back as text" "$(snmpline 'TRUE:uResult.string=4242')" 0 \
    snmp 2 0 0 0 127.0.0.1 1.3.6.1.4.1.59999.2.2.0
  expect "$FAMILY: a counter above 2^31 as text" "$(snmpline 'TRUE:uResult.string=3000000000')" 0 \
    snmp 2 0 0 0 127.0.0.1 1.3.6.1.4.1.59999.3.3.0
  expect "$FAMILY: a missing value asked as an integer" "$(snmpline 'FALSE:rtn_ExitValue=-30896')" 0 \
    snmp 2 0 0 0 127.0.0.1 1.3.6.1.4.1.59999.9.9.0
  expect "$FAMILY: a cancel file in a missing folder" "$(snmpline FALSE)" 0 \
    "$tool" PdeSnmpGet_XPC 4 0 "$work/none/x" 0 3 0 p0 p1 p2 public p4 p5 127.0.0.1 1.3.6.1.2.1.1.1.0

  # A relative cancel file is the caller's, in the folder the tool runs in.
  mkdir -p "$work/caller-$FAMILY"
  expect "$FAMILY: a read with a relative cancel file" "$(snmpline 'TRUE:uResult.integer=2')" 0 in_folder \
    "$work/caller-$FAMILY" "$tool" PdeSnmpGet_XPC 2 0 rel.cancel 250 3 0 p0 p1 p2 public p4 p5 127.0.0.1 1.3.6.1.2.1.25.3.2.1.5.1
  [ -f "$work/caller-$FAMILY/rel.cancel" ] && ok "$FAMILY: the relative cancel file is made in the caller's folder" ||
    bad "$FAMILY: no cancel file in the caller's folder"

  # A time-out of 1000 stays in force for a call that gives 0.
  snmp 4 NULL 1000 0 127.0.0.1 1.3.6.1.2.1.1.1.0 >/dev/null
  start=$(date +%s%N)
  expect "$FAMILY: a silent host" "$(snmpline 'FALSE:rtn_ExitValue=-9780')" 0 snmp 4 NULL 0 0 198.51.100.77 1.3.6.1.2.1.1.1.0
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  [ $ms -ge 900 ] && [ $ms -lt 3000 ] && ok "$FAMILY: the stored time-out of 1000 ms holds ($ms ms)" ||
    bad "$FAMILY: a stored time-out of 1000 ms took $ms ms"

  # A cancel from a second tool run, then the flag that stays raised.
  snmp 4 0 5000 0 198.51.100.77 1.3.6.1.2.1.1.1.0 > "$work/slow" &
  slow=$!
  sleep 0.4
  expect "$FAMILY: the cancel call" "CancelFileWrite_XPC=TRUE" 0 "$tool" CancelFileWrite_XPC "$work/$FAMILY.cancel"
  wait $slow
  [ "$(cat "$work/slow")" = "$(snmpline 'FALSE:rtn_ExitValue=-1')" ] && ok "$FAMILY: the waiting read is cancelled" ||
    bad "$FAMILY: the waiting read answered '$(cat "$work/slow")'"
  expect "$FAMILY: a later call with the flag NULL is cancelled at once" "$(snmpline 'FALSE:rtn_ExitValue=-1')" 0 \
    snmp 4 NULL 0 0 127.0.0.1 1.3.6.1.2.1.1.1.0
  expect "$FAMILY: a call with the flag 0 works again" "$(snmpline 'TRUE:uResult.integer=2')" 0 \
    snmp 2 0 250 0 127.0.0.1 1.3.6.1.2.1.25.3.2.1.5.1

  expect "$FAMILY: ping of loopback" "SendEchoAndRecvReply_XPC=TRUE" 0 "$tool" SendEchoAndRecvReply_XPC 127.0.0.1 1000
  expect "$FAMILY: magic packet" "SendMagicPacket_XPC=0" 0 "$tool" SendMagicPacket_XPC NULL 00:11:22:33:44:55 abc
  expect "$FAMILY: magic packet with the print switch OFF" "" 0 "$tool" SendMagicPacket_XPC NULL 00:11:22:33:44:55 abc OFF
  : > "$work/exists"
  expect "$FAMILY: probe of an existing file" "IsFilePathWritable_XPC=TRUE" 0 "$tool" IsFilePathWritable_XPC "$work/exists"
  expect "$FAMILY: probe of an empty path" "IsFilePathWritable_XPC=FALSE" 0 "$tool" IsFilePathWritable_XPC ""
  expect "$FAMILY: property-list write" "WriteDictionaryToPlistFile_XPC=TRUE" 0 \
    "$tool" WriteDictionaryToPlistFile_XPC "file://$work/$FAMILY.plist" "<plist>a:AddURL:ENDb</plist>"
  [ "$(cat "$work/$FAMILY.plist")" = "<plist>a:AddURL:ENDb</plist>" ] && ok "$FAMILY: the property list is written whole" ||
    bad "$FAMILY: the property list holds '$(cat "$work/$FAMILY.plist")'"
  expect "$FAMILY: a URL of another scheme" "WriteDictionaryToPlistFile_XPC=FALSE" 0 \
    "$tool" WriteDictionaryToPlistFile_XPC "http://example.invalid/x" "<plist/>"
  expect "$FAMILY: an unknown operation prints nothing" "" 0 "$tool" pdeSnmpGet_XPC 1 2 3
  expect "$FAMILY: too few arguments" "" 2 "$tool" SendEchoAndRecvReply_XPC 127.0.0.1
  expect "$FAMILY: an argument that is not UTF-8" "" 2 "$tool" IsFilePathWritable_XPC $'\xff'

  # A service killed mid-call: the tool says so (69), the next call starts a new one.
  # (192.0.2.77 lies behind the sandbox's router, which drops it silently:
  # a local absent host would soon be reported unreachable.)
  "$tool" SendEchoAndRecvReply_XPC 192.0.2.77 5000 > "$work/killed" 2>/dev/null &
  victim=$!
  sleep 0.4
  # The sandbox's own bus names the process that owns the name: a pattern
  # would also match services of other runs on this machine.
  owner=$(service_pid "$SERVICE_NAME")
  if [ -n "$owner" ]; then kill -KILL "$owner"; else bad "$FAMILY: no process owns $SERVICE_NAME to be killed"; fi
  wait $victim; status=$?
  [ $status -eq 69 ] && [ ! -s "$work/killed" ] && ok "$FAMILY: a killed service gives status 69 and no output" ||
    bad "$FAMILY: a killed service gave status $status, output '$(cat "$work/killed")'"
  expect "$FAMILY: the next call starts a new service" "IsFilePathWritable_XPC=TRUE" 0 \
    "$tool" IsFilePathWritable_XPC "$work/exists"
done

# The hex form of "PdeSnmpGet_XPC=FALSE", byte for byte.
[ "$(hex 'PdeSnmpGet_XPC=FALSE')" = 506465536E6D704765745F5850433D46414C5345 ] && ok "the hex form of FALSE" || bad "the hex form of FALSE"
echo "$failures failed"
[ $failures -eq 0 ]
