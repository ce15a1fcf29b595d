#!/usr/bin/env bash
# Checks, from inside scripts/sandbox --agent, that the sandbox is what the
# other integration tests rely on.
set -u
failures=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}" >/dev/null 2>&1; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}

check "runs inside the sandbox" test "${PH_SANDBOX:-}" = 1
check "loopback is up" ip -br link show lo up
check "the test subnet sits on ph0" sh -c 'ip -4 -br addr show ph0 | grep -q "198.51.100.1/24"'
check "the default route leads through ph0" sh -c 'ip route show default | grep -q "dev ph0"'
check "the sandbox has no other interface (ph1 sits in the router)" sh -c '[ "$(ip -br link | wc -l)" -eq 2 ]'
check "the router answers unreachable for 203.0.113.0/24" python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_ICMP)
s.setsockopt(socket.IPPROTO_IP, 11, 1)  # IP_RECVERR
s.settimeout(2)
s.sendto(bytes([8, 0, 0xF7, 0xFF]) + bytes(24), ("203.0.113.9", 0))
try:
    s.recv(100)
    raise SystemExit(1)
except OSError as e:
    raise SystemExit(0 if e.errno == 113 else 1)  # EHOSTUNREACH'
check "ICMP datagram sockets are allowed" python3 -c '
import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_ICMP).close()'
check "a private bus is exported" sh -c 'case "$DBUS_SESSION_BUS_ADDRESS" in unix:path=/tmp/ph-sandbox.*) ;; *) exit 1;; esac'
check "the bus answers" busctl --user list --no-pager
check "the printer agent answers with its description" sh -c \
  'snmpget -v1 -c public -Oqv 127.0.0.1 1.3.6.1.2.1.1.1.0 | grep -q "Fenwa DX 5200"'
check "the router drops other destinations without a word" python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_ICMP)
s.setsockopt(socket.IPPROTO_IP, 11, 1)  # IP_RECVERR
s.settimeout(0.5)
s.sendto(bytes([8, 0, 0xF7, 0xFF]) + bytes(24), ("192.0.2.77", 0))
try:
    s.recv(100)
    raise SystemExit(1)
except socket.timeout:
    raise SystemExit(0)
except OSError:
    raise SystemExit(1)'
check "the printer agent answers over IPv6 too" sh -c \
  'snmpget -v1 -c public -Oqv udp6:[::1] 1.3.6.1.2.1.1.1.0 | grep -q "Fenwa DX 5200"'
check "the agent refuses other communities" sh -c \
  '! snmpget -v1 -c private -t 0.3 -r 0 127.0.0.1 1.3.6.1.2.1.1.1.0'
check "the process list holds only the sandbox's own" sh -c '[ "$(ls -d /proc/[0-9]* | wc -l)" -lt 20 ]'

echo "$failures failed"
[ $failures -eq 0 ]
