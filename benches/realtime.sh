#!/usr/bin/env bash
# Runs demo-bench units in real time and compares each run's wall time with the floor of the
# pauses its sequence must make. Two floors: the pauses the platform clock counted during the run,
# and, for the models whose healthy run has been worked out from the sequence (below), the sum
# that sequence prescribes. Over floor and ratio are taken against the sequence's floor where
# there is one, else against the counted pauses. Usage:
#   benches/realtime.sh [ITEM...]        combo items of the demo bench (default: every item)
# Needs python3 and a built veltrane-bench (build/linux-debug, or set VELTRANE_BENCH). Every item:
# about 100 s.
#
# The floors from the sequences (the demo units start with closed, empty trays, so no 1.5 s
# tidy-up pause; the bench's trays move at once, so each tray wait is one 500 ms poll):
#   HV22: 10 states, one per 500 ms cycle (9 pauses between them); each of its four tray rows
#         waits 500 ms before its sensor poll.
#   LQ40: 11 states (10 cycle pauses); tray settle times 2000 + 2000 + 4000 + 500 ms.
#   ZP61: 19 states, one per 500 ms cycle (18 pauses between them): 0 to 12, then 22 to 27;
#         the trays-open check sees each tray at its first poll; four tray steps (12, 23, 24, 26).
#   ZP65: 22 states, 0 to 21 (21 pauses); six tray steps (12, 13, 15, 17, 18, 20).
set -euo pipefail
cd "$(dirname "$0")/.."
bench=${VELTRANE_BENCH:-build/linux-debug/veltrane-bench}
[ -x "$bench" ] || { echo "build veltrane-bench first (cmake --build --preset linux-debug)" >&2; exit 2; }
if [[ $bench != /* ]]; then bench=$PWD/$bench; fi
items=("$@")
if [ ${#items[@]} -eq 0 ]; then
  count=$("$bench" --list | wc -l)
  items=($(seq 0 $((count - 1))))
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '%-24s %-8s %10s %10s %10s %10s %9s %8s\n' \
  "item" "result" "seq floor" "paused s" "wall s" "over s" "over" "ratio"
for item in "${items[@]}"; do
  # The LQ40 asks for discs in its loading area; the operator answers OK. Test.log goes to the
  # scratch folder; a failed run still has its record.
  (cd "$tmp" && "$bench" --real-time --device "$item" --answers ok --json run.json >/dev/null) || true
  python3 - "$tmp/run.json" <<'PY'
import json, sys
cycle = 500
sequence_floor_ms = {
    "HV22": 9 * cycle + 4 * cycle,
    "LQ40": 10 * cycle + 2000 + 2000 + 4000 + 500,
    "ZP61": 18 * cycle + 4 * cycle,
    "ZP65": 21 * cycle + 6 * cycle,
}
for r in json.load(open(sys.argv[1])):
    if not r["started"]:
        print(f'{r["item"]:<24} {"(no run)":<8}')
        continue
    model = r["item"].split("] ", 1)[-1].split(" ")[0]
    known = sequence_floor_ms.get(model)
    paused, wall = r["pause_seconds"], r["wall_seconds"]
    floor = known / 1000 if known is not None else paused
    shown = f"{floor:10.3f}" if known is not None else f'{"-":>10}'
    over = wall - floor
    percent = f"{100 * over / floor:8.1f}%" if floor else f'{"-":>9}'
    ratio = f"{wall / floor:8.4f}" if floor else f'{"-":>8}'
    print(f'{r["item"]:<24} {r["result"]:<8} {shown} {paused:10.3f} {wall:10.3f} {over:10.3f} {percent} {ratio}')
PY
done
