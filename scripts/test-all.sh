#!/usr/bin/env bash
# Builds the driver for Linux (plain, ASan+UBSan, TSan) and Windows (MinGW i686,
# or x86-64 for running the Windows code under wine64 where the i686 build cannot
# run), runs every test of each build, then runs the fuzz targets briefly.
# Each step says how long it took, so a slow step is seen before it grows.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
step_started=$SECONDS
took() {
  echo "--- $1 took $((SECONDS - step_started)) s (test command at $((SECONDS - started)) s)"
  step_started=$SECONDS
}

# Every group but the MQTT clients, which only the demo shows messages with.
# The 32-bit Wine is optional: setup says so when it cannot install it.
bash scripts/setup.sh demo test windows package wine32
took setup

# The i686 build's suites need the 32-bit Wine loader, itself a 32-bit Linux
# program: the mirror may not have let setup install it, and some kernels
# cannot execute it. Running it is the only sure test.
wine32_loader=/usr/lib/wine/wine
wine32_runs=yes
wine32_why=
if [ ! -e "$wine32_loader" ]; then
  wine32_runs=no
  wine32_why="the 32-bit Wine (wine32:i386) is not installed: no $wine32_loader"
elif ! "$wine32_loader" --version >/dev/null 2>&1; then
  wine32_runs=no
  wine32_why="this machine cannot execute 32-bit programs ($wine32_loader --version failed)"
fi

presets=(linux linux-asan linux-tsan windows windows-x64)
[ -f fuzz/CMakeLists.txt ] && presets+=(fuzz)

status=0
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  configure=()
  targets=()
  only_static=()
  if [ "$preset" = windows ] && [ "$wine32_runs" = no ]; then
    echo "windows: $wine32_why: the i686 suites under Wine are NOT run, only its static checks and its ZIP's; windows-x64 runs the Windows suites under wine64"
    # Only what the static checks and the ZIP hold is built; packing it must
    # not build the suites that cannot run here.
    configure=(-DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON)
    targets=(--target vuzov_packaged)
    only_static=(-LE wine)
  fi
  if [ "$preset" = windows-x64 ] && [ "$wine32_runs" = yes ]; then
    echo "windows-x64: skipped, the i686 build's suites ran under Wine"
    continue
  fi
  cmake --preset "$preset" "${configure[@]}" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" "${targets[@]}"
  took "$preset build"
  if ! ctest --preset "$preset" -j 2 "${only_static[@]}"; then
    status=1
  fi
  took "$preset tests"
done
bash scripts/test-packages.sh || status=1
took "package checks"
exit $status
