#!/usr/bin/env bash
# A long fuzzing campaign for one target of the fuzz preset, at low priority.
#
#   bash scripts/fuzz-campaign.sh TARGET [RUNS] [SECONDS]
#
# Runs TARGET (fuzz_parse, fuzz_decode or fuzz_exchange) until RUNS executions
# (default 10,000,000) or SECONDS (default 86400) have passed, whichever comes
# first, in a corpus of its own under ${VUZOV_CAMPAIGN_DIR:-/tmp/vuzov-campaign}
# that starts from the checked-in seeds and keeps what the run finds, so the
# seeds in fuzz/corpus stay small. A crashing input lands in that folder's
# artifacts/; the closing figures (executions, cov, ft, corpus) in TARGET.log.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: fuzz-campaign.sh TARGET [RUNS] [SECONDS]}
runs=${2:-10000000}
seconds=${3:-86400}
root=${VUZOV_CAMPAIGN_DIR:-/tmp/vuzov-campaign}
binary=build/fuzz/bin/$target
[ -x "$binary" ] || { echo "build the fuzz preset first: $binary is missing" >&2; exit 2; }

work=$root/$target
mkdir -p "$work/corpus" "$work/artifacts"
cp -n fuzz/corpus/"$target"/* "$work/corpus/"

# One worker, niced: the machine is shared. libFuzzer prints a status line at
# every power of two and a final "DONE" line with the figures.
cd "$work"
nice -n 19 "$OLDPWD/$binary" -jobs=1 -workers=1 -runs="$runs" -max_total_time="$seconds" \
  -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
  "$work/corpus" >/dev/null 2>&1 || status=$?
mv -f fuzz-0.log "$target.log" 2>/dev/null || true
grep -E "DONE|stat::|ERROR|SUMMARY" "$target.log" || true
exit "${status:-0}"
