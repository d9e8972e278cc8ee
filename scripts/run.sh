#!/usr/bin/env bash
# Builds the programs and runs the main job: the console, headless, on the built-in demo bench,
# testing each unit in turn. Arguments, when given, go to veltrane-bench instead (see --help);
# --fleet-demo [OUT_DIR [ADDRESS:PORT]] runs the fleet demo (scripts/fleet-demo.sh) instead.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset linux-debug >/dev/null
if [ "${1:-}" = --fleet-demo ]; then
  shift
  cmake --build --preset linux-debug -j "$(nproc)" --target veltrane-bench veltrane-fleet
  exec ./scripts/fleet-demo.sh build/linux-debug "$@"
fi
cmake --build --preset linux-debug -j "$(nproc)" --target veltrane-bench veltrane-log
# Without arguments: every unit of the demo bench, one run each. The LQ40 asks the operator to
# supply its loading area with discs; the demo operator answers OK to that first prompt.
if [ $# -eq 0 ]; then set -- --device all --answers ok; fi
exec ./build/linux-debug/veltrane-bench "$@"
