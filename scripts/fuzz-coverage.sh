#!/usr/bin/env bash
# What a fuzzing corpus reaches in the driver's own sources, line by line.
#
#   bash scripts/fuzz-coverage.sh [TARGET...]
#
# Builds the fuzz targets with source coverage and no sanitizers, runs every
# input of each TARGET's campaign corpus (${VUZOV_CAMPAIGN_DIR:-/tmp/vuzov-campaign}
# /TARGET/corpus, or the checked-in seeds where no campaign has run) once, and
# prints llvm-cov's per-file table for the sources that target compiles from
# host/, serial/ and panel/. The default is all three targets.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_parse fuzz_decode fuzz_exchange)
root=${VUZOV_CAMPAIGN_DIR:-/tmp/vuzov-campaign}
build=build/fuzz-coverage

cmake --preset fuzz-coverage >/dev/null
cmake --build --preset fuzz-coverage --target "${targets[@]}" >/dev/null

for target in "${targets[@]}"; do
  corpus=$root/$target/corpus
  [ -d "$corpus" ] || corpus=fuzz/corpus/$target
  profiles=$build/coverage/$target
  rm -rf "$profiles" && mkdir -p "$profiles"
  # -runs=0 runs each input of the corpus once and stops.
  LLVM_PROFILE_FILE="$profiles/%p.profraw" "$build/bin/$target" -runs=0 "$corpus" \
    >"$profiles/run.log" 2>&1
  llvm-profdata merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"
  echo "== $target: $(find "$corpus" -type f | wc -l) inputs from $corpus"
  llvm-cov report "$build/bin/$target" -instr-profile="$profiles/merged.profdata" \
    -ignore-filename-regex='(fuzz|qarpro)/|/usr/' |
    awk -v root="$PWD/" '$1 ~ /\.cpp$|^TOTAL$/ {
      sub(root, "", $1)
      printf "%-30s lines %7s (%s of %s missed)  branches %7s  functions %7s\n", $1, $10, $9, $8, $13, $7
    }'
done
