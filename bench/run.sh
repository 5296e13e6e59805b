#!/usr/bin/env bash
# Builds the Linux and Windows builds (and the Wine prefix the Windows figure
# needs), then runs the benchmark at low priority. Arguments go to vuzov_bench,
# e.g. --only exchange,idle or --smoke. Takes about five minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset linux >/dev/null
cmake --build --preset linux -j2 >/dev/null
if cmake --preset windows >/dev/null && cmake --build --preset windows -j2 >/dev/null; then
  ctest --preset windows -R wine_prefix_setup >/dev/null || echo "bench: no Wine prefix; the Wine figure is skipped" >&2
else
  echo "bench: the Windows build failed; the Wine figure is skipped" >&2
fi
exec nice build/linux/bin/vuzov_bench "$@"
