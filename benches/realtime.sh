#!/usr/bin/env bash
# Runs demo-bench units in real time and compares each run's wall time with the floor of the
# pauses its sequence must make (the sum of its timed waits). Usage:
#   benches/realtime.sh [ITEM...]        combo items of the demo bench (default: every item)
# Needs a built veltrane-bench (build/linux-debug, or set VELTRANE_BENCH).
set -euo pipefail
cd "$(dirname "$0")/.."
bench=${VELTRANE_BENCH:-build/linux-debug/veltrane-bench}
[ -x "$bench" ] || { echo "build veltrane-bench first (cmake --build --preset linux-debug)"; exit 2; }
items=("$@")
if [ ${#items[@]} -eq 0 ]; then
  count=$("$bench" --list | wc -l)
  items=($(seq 0 $((count - 1))))
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '%-24s %-8s %10s %10s %8s\n' "item" "result" "floor s" "wall s" "ratio"
for item in "${items[@]}"; do
  "$bench" --real-time --device "$item" --out "$tmp" --json "$tmp/run.json" >/dev/null || true
  python3 - "$tmp/run.json" <<'PY'
import json, sys
for r in json.load(open(sys.argv[1])):
    if not r["started"]:
        print(f'{r["item"]:<24} {"(no run)":<8}')
        continue
    floor, wall = r["pause_seconds"], r["wall_seconds"]
    ratio = wall / floor if floor else float("nan")
    print(f'{r["item"]:<24} {r["result"]:<8} {floor:10.3f} {wall:10.3f} {ratio:8.4f}')
PY
done
