#!/usr/bin/env bash
# scripts/sandbox passes CMD's status through and leaves nothing running,
# whether CMD ends by itself or is interrupted.
set -u
sandbox=$1
marker=$((300 + RANDOM % 1000)).25   # a sleep length no one else uses
failures=0

"$sandbox" sh -c "sleep $marker & exit 7"
status=$?
[ $status -eq 7 ] && echo "ok   the command's status comes back" || { echo "FAIL status $status, not 7"; failures=$((failures + 1)); }

"$sandbox" sleep "$marker" &
outer=$!
sleep 1
kill -TERM $outer
wait $outer 2>/dev/null
sleep 0.5
if pgrep -f "sleep $marker" >/dev/null; then
  echo "FAIL something outlived the sandbox:"; pgrep -af "sleep $marker"
  failures=$((failures + 1))
else
  echo "ok   nothing outlives the sandbox, also when it is interrupted"
fi
echo "$failures failed"
[ $failures -eq 0 ]
