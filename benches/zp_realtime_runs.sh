#!/usr/bin/env bash
# Real-time runs of the demo bench's ZP61 (both trays at once) and ZP65 (one tray after the
# other): each run's wall time against the floor its sequence's own pauses put under it, and the
# pauses the platform clock counted.
#
#   benches/zp_realtime_runs.sh [path/to/veltrane-bench]
#
# The floor, from the sequence (the demo units start with closed, empty trays, so no 1.5 s
# tidy-up pause; the bench's trays move at once, so each tray wait is one 500 ms poll):
#   ZP61: 19 states, one per 500 ms cycle (18 pauses between them): 0 to 12, then 22 to 27;
#         the trays-open check sees each tray at its first poll; four tray steps (12, 23, 24, 26).
#   ZP65: 22 states, 0 to 21 (21 pauses); six tray steps (12, 13, 15, 17, 18, 20).
# Needs jq. Takes about 30 s.
set -euo pipefail

bench=${1:-build/linux-debug/veltrane-bench}
if [[ ! -x $bench ]]; then
  echo "no veltrane-bench at $bench (build it, or give its path)" >&2
  exit 2
fi
command -v jq >/dev/null || { echo "jq is needed" >&2; exit 2; }
if [[ $bench != /* ]]; then bench=$PWD/$bench; fi

cycle=500
zp61_floor=$(( 18 * cycle + 4 * cycle ))
zp65_floor=$(( 21 * cycle + 6 * cycle ))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The combo item of the first entry whose text starts with the model name.
item_of() {
  "$bench" --list | sed -n "s/^\[\([0-9]*\)\] $1 .*/\1/p" | head -n 1
}

run() {  # model, floor ms
  local item
  item=$(item_of "$1")
  [[ -n $item ]] || { echo "no $1 on the demo bench" >&2; exit 2; }
  # Test.log goes to the scratch folder; a failed run still has its record.
  (cd "$work" && "$bench" --real-time --device "$item" --json "$1.json" >/dev/null) || true
  jq -r --arg name "$1" --argjson floor "$2" '.[0] |
    [$name, .result, ($floor / 1000), .pause_seconds, .wall_seconds,
     (.wall_seconds - $floor / 1000), (100 * (.wall_seconds * 1000 - $floor) / $floor)] |
    "\(.[0])\t\(.[1])\t\(.[2] | tostring)\t\(.[3] | tostring)\t\(.[4] * 1000 | round / 1000)" +
    "\t\(.[5] * 1000 | round / 1000)\t\(.[6] * 10 | round / 10)%"' "$work/$1.json"
}

{
  printf 'run\tresult\tfloor s\tpaused s\twall s\tover floor s\tover floor\n'
  run ZP61 "$zp61_floor"
  run ZP65 "$zp65_floor"
} | column -t -s $'\t'
