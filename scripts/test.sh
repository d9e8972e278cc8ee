#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite under every Linux preset:
# the plain test build, AddressSanitizer + UndefinedBehaviorSanitizer, and ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
presets=${VELTRANE_PRESETS:-"linux-debug linux-asan linux-tsan"}
for preset in $presets; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  ctest --preset "$preset" -j "$(nproc)"
done
echo "All presets passed: $presets"
