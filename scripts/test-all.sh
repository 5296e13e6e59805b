#!/usr/bin/env bash
# Builds the driver for Linux (plain, ASan+UBSan, TSan) and Windows (MinGW i686,
# or x86-64 for running the Windows code under wine64 where the i686 build cannot
# run), runs every test of each build, then runs the fuzz targets briefly.
# Each step says how long it took, so a slow step is seen before it grows.
#
# The next build is made while a build's tests run: the tests mostly wait on
# lines, timers and other processes, and the build, at the lowest priority,
# takes the processor time they leave. The tests hold on a busy machine by
# design, so a niced build beside them is a load they must bear anyway.
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

presets=(linux linux-asan linux-tsan windows)
if [ "$wine32_runs" = yes ]; then
  echo "windows-x64: skipped, the i686 build's suites run under Wine"
else
  echo "windows: $wine32_why: the i686 suites under Wine are NOT run, only its static checks and its ZIP's; windows-x64 runs the Windows suites under wine64"
  presets+=(windows-x64)
fi
[ -f fuzz/CMakeLists.txt ] && presets+=(fuzz)

# What a preset's configure, build and ctest are given beyond the preset.
configure_args() {
  # Only what the static checks and the ZIP hold is built; packing it must
  # not build the suites that cannot run here.
  if [ "$1" = windows ] && [ "$wine32_runs" = no ]; then echo -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON; fi
}
build_args() {
  if [ "$1" = windows ] && [ "$wine32_runs" = no ]; then echo --target vuzov_packaged; fi
}
test_args() {
  if [ "$1" = windows ] && [ "$wine32_runs" = no ]; then echo -LE wine; fi
}

# Configures and builds one preset; its output goes to build/<preset>.build.log
# when it runs beside tests, so that the tests' output stays readable.
build() {
  local preset=$1
  # shellcheck disable=SC2046
  cmake --preset "$preset" $(configure_args "$preset") >/dev/null &&
    cmake --build --preset "$preset" -j "$(nproc)" $(build_args "$preset")
}

# A build left running when the script ends early is stopped with it.
builder=
# The processes whose parent is $1, read from /proc (no procps needed).
children_of() {
  awk -v parent="$1" '/^PPid:/ && $2 == parent { split(FILENAME, path, "/"); print path[3] }' \
    /proc/[0-9]*/status 2>/dev/null || true
}
kill_tree() {
  local child
  for child in $(children_of "$1"); do kill_tree "$child"; done
  kill "$1" 2>/dev/null || true
}
stop_builder() {
  [ -z "$builder" ] || kill_tree "$builder"
}
trap stop_builder EXIT

status=0
echo "=== ${presets[0]} build ==="
build "${presets[0]}"
took "${presets[0]} build"
for i in "${!presets[@]}"; do
  preset=${presets[$i]}
  next=${presets[$((i + 1))]:-}
  builder=
  if [ -n "$next" ]; then
    mkdir -p build
    building_since=$SECONDS
    (
      # Before anything starts, so that every compiler inherits it.
      renice -n 19 -p "$BASHPID" >/dev/null || echo "the build runs at the normal priority: renice failed"
      build "$next" >"build/$next.build.log" 2>&1
      echo "$((SECONDS - building_since))" >"build/$next.build.took"
    ) &
    builder=$!
  fi
  echo "=== $preset tests ==="
  # shellcheck disable=SC2046
  if ! ctest --preset "$preset" -j 2 $(test_args "$preset"); then
    status=1
  fi
  took "$preset tests"
  [ -n "$builder" ] || continue
  echo "=== $next build (beside the tests above) ==="
  if ! wait "$builder"; then
    builder=
    tail -40 "build/$next.build.log"
    echo "$next: the build failed (build/$next.build.log)"
    exit 1
  fi
  builder=
  echo "--- $next build took $(cat "build/$next.build.took") s beside the tests, done $((SECONDS - started)) s into the test command"
  step_started=$SECONDS
done
bash scripts/test-packages.sh || status=1
took "package checks"
exit $status
