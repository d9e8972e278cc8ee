#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite under every preset: the plain
# Linux test build, AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer, and the 32-bit
# Windows build, whose suite runs under Wine (inside Xvfb, for the window tests) followed by the
# GUI check of veltrane-sim.exe (scripts/gui-check.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
presets=${VELTRANE_PRESETS:-"linux-debug linux-asan linux-tsan windows-i686"}
for preset in $presets; do
  echo "=== $preset ==="
  started=$(date +%s)
  if [ "$preset" = windows-i686 ]; then
    ./scripts/install-windows-deps.sh
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" ctest --preset "$preset" -j "$(nproc)"
    ./scripts/wine-run.sh --wait
    ./scripts/gui-check.sh build/windows-i686
    ./scripts/wine-run.sh --wait
  else
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    ctest --preset "$preset" -j "$(nproc)"
  fi
  echo "=== $preset took $(($(date +%s) - started))s ==="
done
echo "All presets passed: $presets"
