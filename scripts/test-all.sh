#!/usr/bin/env bash
# Builds the driver for Linux (plain, ASan+UBSan, TSan) and Windows (MinGW i686,
# and x86-64 for running the Windows code under wine64), runs every test of each
# build, then runs the fuzz targets briefly.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# The i686 build's suites need the 32-bit Wine loader, itself a 32-bit Linux
# program; some kernels cannot execute those. Running one is the only sure test.
wine32_loader=/usr/lib/wine/wine
wine32_runs=yes
if ! "$wine32_loader" --version >/dev/null 2>&1; then
  wine32_runs=no
fi

presets=(linux linux-asan linux-tsan windows windows-x64)
[ -f fuzz/CMakeLists.txt ] && presets+=(fuzz)

status=0
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  only_static=()
  if [ "$preset" = windows ] && [ "$wine32_runs" = no ]; then
    echo "windows: this machine cannot execute 32-bit programs ($wine32_loader --version failed): the i686 suites under Wine are NOT run, only its static checks; windows-x64 runs the Windows suites under wine64"
    only_static=(-LE wine)
  fi
  if ! ctest --preset "$preset" -j 2 "${only_static[@]}"; then
    status=1
  fi
done
bash scripts/test-packages.sh || status=1
exit $status
