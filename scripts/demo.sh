#!/usr/bin/env bash
# The commissioning demo: builds the Linux driver and zemhost, then runs the
# driver in zemhost against the built-in demo panel on a pty. Zones go into
# alarm, the panel refuses a command, and the operator's silence (15 s) and
# reset (27 s) commands are acknowledged; the run ends by itself after 29 s.
# Extra arguments go to zemhost (e.g. --json, --trace, --for 60s).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >/dev/null
log=build/demo-build.log
mkdir -p build
echo "demo: building the Linux driver and zemhost (the first build takes a few minutes)" >&2
if ! { cmake --preset linux && cmake --build --preset linux -j "$(nproc)" --target zemhost; } >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "demo: the build failed; the whole log is in $log" >&2
  exit 1
fi
exec build/linux/bin/zemhost --simulate demo --discover --for 29s \
  --send 'CP1S!@15s' --send 'CP1R!@27s' "$@"
