#!/usr/bin/env bash
# Builds the programs and runs the main job: the console, headless, on the built-in demo bench.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset linux-debug >/dev/null
cmake --build --preset linux-debug -j "$(nproc)" --target veltrane-bench veltrane-log
exec ./build/linux-debug/veltrane-bench "$@"
