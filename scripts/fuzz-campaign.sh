#!/usr/bin/env bash
# A long fuzzing campaign for one target of the fuzz preset, at low priority.
#
#   bash scripts/fuzz-campaign.sh TARGET [RUNS] [SECONDS] [WORKERS]
#
# Runs TARGET (fuzz_parse, fuzz_decode or fuzz_exchange) until RUNS executions
# (default 10,000,000) or SECONDS (default 86400) have passed, whichever comes
# first, in a corpus of its own under ${VUZOV_CAMPAIGN_DIR:-/tmp/vuzov-campaign}
# that starts from the checked-in seeds and keeps what the run finds, so the
# seeds in fuzz/corpus stay small. A crashing input lands in that folder's
# artifacts/; the closing figures (executions, cov, ft, corpus) in TARGET.log.
#
# WORKERS (default 1) processes share the corpus and split the executions
# between them. fuzz_exchange spends most of its time waiting out read timeouts
# on its pty, not on the CPU, so it wants many more workers than there are cores.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: fuzz-campaign.sh TARGET [RUNS] [SECONDS] [WORKERS]}
runs=${2:-10000000}
seconds=${3:-86400}
workers=${4:-1}
root=${VUZOV_CAMPAIGN_DIR:-/tmp/vuzov-campaign}
binary=$PWD/build/fuzz/bin/$target
[ -x "$binary" ] || { echo "build the fuzz preset first: $binary is missing" >&2; exit 2; }

work=$root/$target
mkdir -p "$work/corpus" "$work/artifacts"
cp -n fuzz/corpus/"$target"/* "$work/corpus/"
runs_per_worker=$(( (runs + workers - 1) / workers ))

# Niced: the machine is shared. Each worker writes fuzz-<n>.log, with a status
# line at every power of two and closing figures; a small ASan quarantine keeps
# many workers' memory in bounds.
cd "$work"
rm -f fuzz-*.log
ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32} \
  nice -n 19 "$binary" -jobs="$workers" -workers="$workers" -runs="$runs_per_worker" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" >/dev/null 2>&1 || status=$?

# Every worker's closing line, then the campaign's sums.
: >"$target.log"
for log in fuzz-*.log; do
  [ -e "$log" ] || continue
  { echo "== $log"; grep -E "DONE|stat::|ERROR|SUMMARY" "$log" || true; } >>"$target.log"
done
cat "$target.log"
awk '/stat::number_of_executed_units/ {runs += $2} /DONE/ {for (i = 1; i <= NF; ++i) if ($i == "cov:") cov = ($(i+1) > cov ? $(i+1) : cov)}
     END {printf "campaign: %d executions, workers %d, highest cov %d, corpus %d inputs\n", runs, '"$workers"', cov, '"$(ls corpus | wc -l)"'}' \
  "$target.log" | tee -a "$target.log"
ls artifacts | grep -q . && { echo "findings in $work/artifacts" >&2; status=${status:-1}; }
exit "${status:-0}"
