#!/usr/bin/env bash
# Real-time runs of the demo bench's HV22 (product 0923) and LQ40: each run's wall time against
# the floor its sequence's own pauses put under it, and the pauses the platform clock counted.
#
#   benches/realtime_runs.sh [path/to/veltrane-bench]
#
# The floor, from the sequences:
#   HV22: 10 states, one per 500 ms cycle (9 pauses between them); each of its four tray rows
#         waits 500 ms before every sensor poll, and the bench's trays move at once, so one poll
#         each; the demo drives start closed, so no 1.5 s tidy-up pause.
#   LQ40: 11 states (10 cycle pauses); tray settle times 2000 + 2000 + 4000 + 500 ms.
# Needs jq. Takes about 25 s.
set -euo pipefail

bench=${1:-build/linux-debug/veltrane-bench}
if [[ ! -x $bench ]]; then
  echo "no veltrane-bench at $bench (build it, or give its path)" >&2
  exit 2
fi
command -v jq >/dev/null || { echo "jq is needed" >&2; exit 2; }
if [[ $bench != /* ]]; then bench=$PWD/$bench; fi

cycle=500
hv22_floor=$(( 9 * cycle + 4 * cycle ))
lq40_floor=$(( 10 * cycle + 2000 + 2000 + 4000 + 500 ))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The combo item of the first entry whose text starts with the model name.
item_of() {
  "$bench" --list | sed -n "s/^\[\([0-9]*\)\] $1 .*/\1/p" | head -n 1
}

run() {  # name, model, floor ms
  local item
  item=$(item_of "$2")
  [[ -n $item ]] || { echo "no $2 on the demo bench" >&2; exit 2; }
  # Test.log goes to the scratch folder; a failed run still has its record.
  (cd "$work" && "$bench" --real-time --device "$item" --answers ok --json "$1.json" \
      >/dev/null) || true
  jq -r --arg name "$1" --argjson floor "$3" '.[0] |
    [$name, .result, ($floor / 1000), .pause_seconds, .wall_seconds,
     (.wall_seconds - $floor / 1000), (100 * (.wall_seconds * 1000 - $floor) / $floor)] |
    "\(.[0])\t\(.[1])\t\(.[2] | tostring)\t\(.[3] | tostring)\t\(.[4] * 1000 | round / 1000)" +
    "\t\(.[5] * 1000 | round / 1000)\t\(.[6] * 10 | round / 10)%"' "$work/$1.json"
}

{
  printf 'run\tresult\tfloor s\tpaused s\twall s\tover floor s\tover floor\n'
  run HV22-0923 HV22 "$hv22_floor"
  run LQ40 LQ40 "$lq40_floor"
} | column -t -s $'\t'
