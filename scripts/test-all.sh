#!/usr/bin/env bash
# Builds the driver for Linux (plain, ASan+UBSan, TSan) and Windows (MinGW, run
# under Wine), runs every test of each build, then runs the fuzz targets briefly.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

presets=(linux linux-asan linux-tsan windows)
[ -f fuzz/CMakeLists.txt ] && presets+=(fuzz)

status=0
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  if ! ctest --preset "$preset" -j 2; then
    status=1
  fi
done
bash scripts/test-packages.sh || status=1
exit $status
