#!/usr/bin/env bash
# Builds the Linux driver and runs it in the host emulator.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >/dev/null
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" >/dev/null
exec build/linux/bin/zemhost "$@"
