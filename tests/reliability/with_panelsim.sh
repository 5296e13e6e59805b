#!/bin/sh
# Runs PROGRAM while the native panel simulator plays SCENARIO on a pty whose
# link is LINK (a Wine prefix maps its COM port there), then stops the
# simulator. The simulator's notes are shown when PROGRAM fails.
#
# usage: with_panelsim.sh PANELSIM LINK SCENARIO -- PROGRAM [ARGS...]
panelsim=$1 link=$2 scenario=$3
shift 4
notes=$(mktemp)
"$panelsim" --link "$link" "$scenario" >"$notes" 2>&1 &
simulator=$!
i=0
while [ ! -L "$link" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
"$@"
status=$?
kill "$simulator" 2>/dev/null
wait "$simulator" 2>/dev/null
if [ "$status" -ne 0 ]; then
  echo "--- panelsim notes ---"
  cat "$notes"
fi
rm -f "$notes"
exit "$status"
