#!/usr/bin/env bash
# The long soak on a busy machine: 20,000 exchanges of 4 instances with 10%
# faults, for each seed, with every core kept busy beside the hosts.
#
#   bash scripts/soak.sh [--quiet] [--at-once N] [--exchanges N] [SEED...]
#
# Seeds default to 1 2 3 4 5. Each soak runs with busy loops (threads of the
# soak's own, spinning for its whole run and gone with it) that keep every core
# busy; --quiet runs it without them. --at-once N starts N soaks at a time, the
# cores' busy loops shared out between them. Each soak's output goes to
# ${VUZOV_SOAK_LOGS:-/tmp/vuzov-soak}/seed-<S>.log; one line per seed is
# printed here. Exit status 1 when any soak failed.
set -euo pipefail
cd "$(dirname "$0")/.."

quiet=0
at_once=1
exchanges=20000
seeds=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quiet) quiet=1 ;;
    --at-once) at_once=${2:?--at-once needs a number}; shift ;;
    --exchanges) exchanges=${2:?--exchanges needs a number}; shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "soak.sh: unknown option $1" >&2; exit 2 ;;
    *) seeds+=("$1") ;;
  esac
  shift
done
[ ${#seeds[@]} -gt 0 ] || seeds=(1 2 3 4 5)
[ "$at_once" -ge 1 ] || { echo "soak.sh: --at-once must be 1 or more" >&2; exit 2; }

soak=build/linux/bin/vuzov_soak
[ -d build/linux ] || cmake --preset linux >/dev/null
cmake --build --preset linux -j 2 --target vuzov_soak >/dev/null
logs=${VUZOV_SOAK_LOGS:-/tmp/vuzov-soak}
mkdir -p "$logs"

cores=$(nproc)
busy=$(( quiet ? 0 : (cores + at_once - 1) / at_once ))
echo "soak.sh: $exchanges exchanges, 4 instances, 10% faults; $at_once at a time," \
     "$busy busy loop(s) each beside $cores core(s); logs in $logs"

# One line per soak from its log: time, figures and verdict.
report() {
  local seed=$1 log=$logs/seed-$1.log
  local time lost never misattributed verdict
  time=$(sed -n 's/^soak: .* seed [0-9]*, \([0-9.]* s\)$/\1/p' "$log")
  lost=$(sed -n 's/^alarms queued .*, lost \([0-9]*\) .*/\1/p' "$log")
  never=$(sed -n 's/.*(never reopened \([0-9]*\))$/\1/p' "$log")
  misattributed=$(sed -n 's/^misattributed \([0-9]*\) .*/\1/p' "$log")
  verdict=$(tail -n 1 "$log")
  echo "seed $seed: ${time:-?}, lost ${lost:-?}, misattributed ${misattributed:-?}," \
       "never reopened ${never:-?}: $verdict"
}

failed=0
for (( i = 0; i < ${#seeds[@]}; i += at_once )); do
  pids=()
  batch=("${seeds[@]:i:at_once}")
  for seed in "${batch[@]}"; do
    "$soak" --exchanges "$exchanges" --instances 4 --fault-percent 10 --seed "$seed" \
      --busy-loops "$busy" >"$logs/seed-$seed.log" 2>&1 &
    pids+=($!)
  done
  for n in "${!pids[@]}"; do
    wait "${pids[$n]}" || failed=1
    report "${batch[$n]}"
  done
done
exit "$failed"
