#!/usr/bin/env bash
# Runs a test program against the panel simulator in a process of its own.
#   run_with_panelsim.sh PANELSIM SCENARIO LINK PORT -- PROGRAM [ARGS...]
# The simulator's line is linked at LINK. The program finds the driver's port
# name in VUZOV_TEST_PORT: PORT when given (a COM port the Wine prefix maps to
# LINK), else the simulator's pty in the short form "pts/N".
set -u
panelsim=$1 scenario=$2 link=$3 port=$4
shift 4
[ "$1" = "--" ] && shift

out=$(mktemp)
"$panelsim" --link "$link" "$scenario" >"$out" 2>"$out.err" &
sim=$!
cleanup() {
  kill "$sim" 2>/dev/null
  wait "$sim" 2>/dev/null
  rm -f "$out" "$out.err"
}
trap cleanup EXIT

for _ in $(seq 200); do
  [ -s "$out" ] && break
  sleep 0.02
done
line=$(head -n 1 "$out")
if [ -z "$line" ]; then
  echo "the panel simulator did not start:" >&2
  cat "$out.err" >&2
  exit 1
fi
[ "$port" = "-" ] && port=${line#/dev/}
VUZOV_TEST_PORT=$port "$@"
status=$?
if [ $status -ne 0 ]; then
  echo "--- panel simulator ---" >&2
  cat "$out.err" >&2
fi
exit $status
