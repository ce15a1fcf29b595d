#!/bin/sh
# recording-pass.sh SNMPREC -g OID
# A "pass" program of net-snmp's snmpd that answers a GET of OID with its
# value in an snmpsim recording (lines "OID|TAG|VALUE"), so that snmpd can
# serve the recorded printer where snmpsimd cannot run. snmpd does the BER.
# A GETNEXT (-n) and an OID not recorded answer nothing.
rec=$1 op=$2 oid=${3#.}
[ "$op" = -g ] || exit 0
awk -F'|' -v want="$oid" '
  $1 == want {
    tag = $2; value = substr($0, length($1) + length($2) + 3)
    if (tag == "2") type = "integer"
    else if (tag == "4") type = "string"
    else if (tag == "4x") { type = "octet"; hex = value; value = ""
      for (i = 1; i < length(hex); i += 2) value = value (i > 1 ? " " : "") substr(hex, i, 2) }
    else if (tag == "6") type = "objectid"
    else if (tag == "64") type = "ipaddress"
    else if (tag == "65") type = "counter"
    else if (tag == "66") type = "gauge"
    else if (tag == "67") type = "timeticks"
    else exit
    print "." $1; print type; print value
    exit
  }' "$rec"
