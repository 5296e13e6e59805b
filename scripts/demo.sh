#!/usr/bin/env bash
# The commissioning demo: builds the Linux driver and zemhost, then runs the
# driver in zemhost against the built-in demo panel on a pty. Zones go into
# alarm, the panel refuses a command, and the operator's silence (15 s) and
# reset (27 s) commands are acknowledged; the run ends by itself after 29 s.
# Extra arguments go to zemhost (e.g. --json, --trace, --for 60s). A --for
# shorter than 27s is refused: zemhost never drops a timed command silently.
#
# With --mqtt first, zemhost is a gateway: a mosquitto broker is started on a
# free loopback port for the demo, and what the broker gets is shown as
# mosquitto_sub -v prints it; zemhost's own lines go to build/demo-zemhost.log.
#
# With --modbus first, zemhost is a Modbus TCP server on a free loopback port,
# and mbpoll shows its panel block and the zones in alarm once a second, as a
# BMS would read them; zemhost's own lines go to build/demo-zemhost.log.
set -euo pipefail
cd "$(dirname "$0")/.."

mqtt=no
modbus=no
if [[ "${1:-}" == "--mqtt" ]]; then
  mqtt=yes
  shift
elif [[ "${1:-}" == "--modbus" ]]; then
  modbus=yes
  shift
fi

# Only the demo's packages (with mbpoll, for --modbus, and the MQTT clients
# for --mqtt); setup's progress lines are left out, what it reports (a failed
# index, a package that cannot be installed) is on stderr.
groups=(demo)
[[ $mqtt == no ]] || groups+=(mqtt)
started=$SECONDS
if ! bash scripts/setup.sh "${groups[@]}" >/dev/null; then
  echo "demo: the set-up failed (its reasons are above); nothing was built" >&2
  exit 1
fi
setup_seconds=$((SECONDS - started))

# zemhost alone, and what it loads: the module, the host library stand-in.
log=build/demo-build.log
mkdir -p build
echo "demo: building the Linux driver and zemhost (the first build takes a few minutes)" >&2
started=$SECONDS
if ! { cmake --preset linux && cmake --build --preset linux -j "$(nproc)" --target zemhost; } >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "demo: the build failed; the whole log is in $log" >&2
  exit 1
fi
echo "demo: set-up took $setup_seconds s, the build $((SECONDS - started)) s" >&2
demo=(build/linux/bin/zemhost --simulate demo --discover --for 29s
  --send 'CP1S!@15s' --send 'CP1R!@27s')
# The Modbus demo: zemhost in the background, mbpoll in front.
zemhost_pid=
# shellcheck disable=SC2317  # called by the EXIT trap
stop_zemhost() { [[ -z $zemhost_pid ]] || { kill "$zemhost_pid" 2>/dev/null && wait "$zemhost_pid" 2>/dev/null; }; }
show_modbus() {
  local log=build/demo-zemhost.log port='' started=$SECONDS next
  "${demo[@]}" --lines --modbus 127.0.0.1:0 "$@" >"$log" 2>&1 &
  zemhost_pid=$!
  trap stop_zemhost EXIT
  for _ in $(seq 1 100); do
    port=$(sed -n 's/.*serving Modbus TCP on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log")
    [[ -n $port ]] && break
    kill -0 "$zemhost_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -z $port ]]; then
    cat "$log" >&2
    echo "demo: zemhost did not start its Modbus server" >&2
    exit 1
  fi
  echo "demo: zemhost serves Modbus TCP on 127.0.0.1:$port, unit 1; its own lines go to $log" >&2
  # The names of the panel block's registers, from the map zemhost prints.
  local names
  names=$(build/linux/bin/zemhost --modbus-map | awk -F, '$2 == "input register" { print $1, $3 }')
  local poll=(mbpoll -m tcp -p "$port" -a 1 -0 -1 -o 2)
  while kill -0 "$zemhost_pid" 2>/dev/null; do
    next=$((SECONDS + 1))
    echo "--- $((SECONDS - started)) s"
    "${poll[@]}" -t 3 -r 0 -c 22 127.0.0.1 2>&1 |
      awk -v names="$names" '
        BEGIN { n = split(names, parts, "\n"); for (i = 1; i <= n; i++) { split(parts[i], f, " "); row[i] = f[1]; name[i] = f[2] } }
        /^\[[0-9]+\]:/ { gsub(/[\[\]:]/, "", $1); value[$1] = $2 }
        /failed/ { print; failed = 1 }
        END {
          if (failed) exit
          line = ""
          for (i = 1; i <= n; i++) {
            split(row[i], span, "-"); first = span[1] + 0; last = (span[2] == "" ? first : span[2] + 0)
            if (first > 21 || last - first > 1) continue
            shown = (last > first) ? value[first] * 65536 + value[last] : value[first]
            line = line name[i] "=" shown "  "
          }
          print "panel block: " line
        }' | fold -s -w 100
    local alarms='' first
    for first in $(seq 1 125 1024); do
      # Zones 1 to 1024, the map's, in reads of at most 125 (mbpoll's most).
      alarms+=$("${poll[@]}" -t 1 -r "$first" -c $((first + 124 > 1024 ? 1025 - first : 125)) 127.0.0.1 2>/dev/null |
                awk '/^\[[0-9]+\]:/ && $2 == 1 { gsub(/[\[\]:]/, "", $1); printf " %s", $1 }')
    done
    echo "zones in alarm:${alarms:- none}"
    while ((SECONDS < next)); do sleep 0.1; done
  done
  trap - EXIT
  wait "$zemhost_pid"
}

if [[ $modbus == yes ]]; then
  show_modbus "$@"
  exit
fi
if [[ $mqtt == no ]]; then
  exec "${demo[@]}" "$@"
fi

# A loopback port nothing answers on.
port=
for _ in $(seq 1 50); do
  candidate=$((20000 + RANDOM % 40000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
    port=$candidate
    break
  fi
done
[[ -n $port ]] || { echo "demo: no free loopback port found" >&2; exit 1; }

work=$(mktemp -d)
broker_pid=
sub_pid=
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
  [[ -n $sub_pid ]] && kill "$sub_pid" 2>/dev/null && wait "$sub_pid" 2>/dev/null
  [[ -n $broker_pid ]] && kill "$broker_pid" 2>/dev/null && wait "$broker_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$work/mosquitto.conf"
chmod 755 "$work"
broker=$(command -v mosquitto || echo /usr/sbin/mosquitto)
"$broker" -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
broker_pid=$!
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done
echo "demo: mosquitto on 127.0.0.1:$port; zemhost's own lines go to build/demo-zemhost.log" >&2
mosquitto_sub -h 127.0.0.1 -p "$port" -v -t 'vuzov/#' -t 'homeassistant/#' &
sub_pid=$!
sleep 0.3
status=0
"${demo[@]}" --lines --mqtt "mqtt://127.0.0.1:$port" --mqtt-commands --mqtt-discovery "$@" \
  >build/demo-zemhost.log 2>&1 || status=$?
sleep 0.5
exit "$status"
