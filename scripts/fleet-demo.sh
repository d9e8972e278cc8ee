#!/usr/bin/env bash
# The fleet demo: two simulated stations test their units on several days (the demo bench, and the
# 20-unit station bench with operators who sometimes cancel), each keeping its own TestRecords;
# veltrane-fleet gathers both folders into one store and serves the dashboard on the loopback.
# Usage: scripts/fleet-demo.sh [BUILD_DIR [OUT_DIR [ADDRESS:PORT]]]
#        (default build/linux-debug, fleet-demo, 127.0.0.1:8080); Ctrl-C ends the dashboard.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/linux-debug}")
out=${2:-fleet-demo}
listen=${3:-127.0.0.1:8080}
mkdir -p "$out/line-1" "$out/line-2"
out=$(realpath "$out")
for day in 1 2 3 4 5; do
  date=2026-12-0$day
  "$build/veltrane-bench" --device all --parallel --station LINE-1 --seed "$day" --day "$date" \
    --answers ok --out "$out/line-1" >/dev/null 2>&1 || true
  # Line 2's operators cancel the first box on odd days.
  answers=ok
  [ $((day % 2)) = 1 ] && answers=cancel
  "$build/veltrane-bench" --bench benches/station.json --device all --parallel --station LINE-2 \
    --seed $((100 + day)) --day "$date" --answers "$answers" --out "$out/line-2" >/dev/null 2>&1 || true
done
"$build/fleet/veltrane-fleet" ingest --db "$out/fleet.sqlite" "$out/line-1" "$out/line-2" || true
exec "$build/fleet/veltrane-fleet" serve --db "$out/fleet.sqlite" --listen "$listen"
