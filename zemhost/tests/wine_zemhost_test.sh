#!/usr/bin/env bash
# The Windows zemhost under Wine, as an integrator runs it on a Windows PC: its
# help, the driver's banner through vuzov.dll, polling and a command against a
# panel on COM<N>, which the prefix maps to a link that the Linux panel
# simulator keeps pointing at its pty.
#
# usage: wine_zemhost_test.sh WINE_RUN ZEMHOST_EXE PANELSIM PORT_DIR SCENARIOS N
set -uo pipefail

wine_run=$1
zemhost=$2
panelsim=$3
port_dir=$4
scenarios=$5
port=COM$6
link=$port_dir/com$6

# shellcheck source=../../tests/support/checks.sh
source "$(dirname "$0")/../../tests/support/checks.sh"

work=$(mktemp -d)
panel_pid=
cleanup() {
  if [ -n "$panel_pid" ]; then
    kill "$panel_pid" 2>/dev/null
    wait "$panel_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# --help needs no module and no port.
help=$("$wine_run" "$zemhost" --help 2>&1)
status=$?
check "--help exits 0" test "$status" -eq 0
check "--help documents the exit codes" contains "$help" "4  a port did not open"

# No simulator on Windows: a clear word and exit 2.
out=$("$wine_run" "$zemhost" 2>&1)
status=$?
check "no port: exit 2" test "$status" -eq 2
check "no port: says the simulator needs Linux" contains "$out" "needs the Linux build"

# No Modbus server on Windows: a clear word and exit 5, an output that cannot
# start, after the settings (an allow rule among them) were read as on Linux.
out=$("$wine_run" "$zemhost" --port COM40 --modbus :1502 --modbus-allow 10.0.0.0/8 2>&1)
status=$?
check "--modbus: exit 5" test "$status" -eq 5
check "--modbus: says the server is in the Linux build" contains "$out" "has no Modbus TCP server (it is in the Linux build)"
out=$("$wine_run" "$zemhost" --modbus-map 2>&1)
status=$?
check "--modbus-map: exit 0" test "$status" -eq 0
check "--modbus-map: the map's CSV" contains "$out" "1001-2024,input register,zone_word,"

# A port that does not exist: exit 4 with the driver's own lines.
out=$("$wine_run" "$zemhost" --port COM40 2>&1)
status=$?
check "missing COM40: exit 4" test "$status" -eq 4
check "missing COM40: the driver's line" contains "$out" "ZODODA> ColdStart() unable to open COM40"

# The panel on the test's own port.
mkdir -p "$port_dir"
"$panelsim" --link "$link" "$scenarios/quick.scn" >"$work/panel.out" 2>"$work/panel.err" &
panel_pid=$!
for _ in $(seq 1 100); do
  [ -L "$link" ] && [ -s "$work/panel.out" ] && break
  sleep 0.05
done
check "the panel's link is up" test -L "$link"

out=$("$wine_run" "$zemhost" --port "$port" --timeout 5 --interval 20ms --polls 16 --discover \
      --send 'CP1S!' 2>"$work/zemhost.err")
status=$?
echo "$out" | sed 's/^/  | /'
sed 's/^/  ! /' "$work/zemhost.err"
check "poll run: exit 0" test "$status" -eq 0
check "banner through vuzov.dll, as UTF-8" contains "$out" "║                   VUZOV - Firepanel FP11x                             ║"
check "the driver opened $port" contains "$out" "ZODODA> ColdStart() port $port opened"
check "zone 3 in alarm" contains "$out" " CP1Z3 = 1"
check "zone range 20..22" contains "$out" " CP1Z22 = 1"
check "element 5 of zone 260 in state 3" contains "$out" " CP1Z260E5 = 3"
check "the panel's refusal" contains "$out" "ZODODA> Command 53 rejected - type 33"
check "silence acknowledged" contains "$out" "instance 1 command CP1S! acknowledged"
check "clean shutdown" contains "$out" "ZODODA> EndZem() exited, 0"
check "every poll answered" contains "$out" "zemhost: 17 exchanges, 0 failed; 1 command, 1 acknowledged"
check "the link up with the first answer" contains "$out" "instance 1 link up: command answered"

# The panel's line hangs up for good after its second poll: the link goes
# down by the count of failed exchanges.
kill "$panel_pid" 2>/dev/null
wait "$panel_pid" 2>/dev/null
printf 'clock first-poll\nat poll 3 hangup\n' >"$work/gone.scn"
"$panelsim" --link "$link" "$work/gone.scn" >"$work/panel.out" 2>"$work/panel.err" &
panel_pid=$!
for _ in $(seq 1 100); do
  [ -s "$work/panel.out" ] && break
  sleep 0.05
done
out=$("$wine_run" "$zemhost" --port "$port" --timeout 5 --interval 20ms --polls 8 --json \
      2>"$work/zemhost.err")
status=$?
echo "$out" | grep -F '"event":"link"' | sed 's/^/  | /'
check "lost panel: exit 0 (polls were answered)" test "$status" -eq 0
check "lost panel: link up first" contains "$out" '"state":"up","why":"poll answered"'
check "lost panel: link down by the count" contains "$out" '"state":"down","why":"3 failed exchanges in a row"'

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
