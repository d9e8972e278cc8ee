#!/usr/bin/env bash
# One whole healthy run per model family of the demo bench under valgrind (memcheck, full leak
# check): the program start with discovery, the run and the program end. Prints one row per run
# with valgrind's error count; exits 1 if any run has an error or does not pass.
#
#   benches/valgrind.sh [MODEL...]     default: TM36K TM36P HV22 LQ40 ZP61 (one per family)
#
# Needs valgrind and a built veltrane-bench (build/linux-debug, or set VELTRANE_BENCH).
# Takes about a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
bench=${VELTRANE_BENCH:-build/linux-debug/veltrane-bench}
[[ -x $bench ]] || { echo "build veltrane-bench first (cmake --build --preset linux-debug)" >&2; exit 2; }
command -v valgrind >/dev/null || { echo "valgrind is needed (apt-get install valgrind)" >&2; exit 2; }
if [[ $bench != /* ]]; then bench=$PWD/$bench; fi

models=("$@")
[[ ${#models[@]} -gt 0 ]] || models=(TM36K TM36P HV22 LQ40 ZP61)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The combo item of the first entry whose text names the model.
item_of() {
  "$bench" --list | sed -n "s/^\[\([0-9]*\)\] $1 .*/\1/p" | head -n 1
}

failed=0
row() { printf '%-8s %-5s %-9s %-8s %10s %8s\n' "$@"; }
row model item result errors "wall s" status
for model in "${models[@]}"; do
  item=$(item_of "$model")
  [[ -n $item ]] || { echo "no $model on the demo bench" >&2; exit 2; }
  started=$(date +%s%N)
  # The LQ40 asks for discs in its loading area; the operator answers OK.
  status=0
  (cd "$work" && valgrind --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,possible \
     --log-file="$work/$model.vg" "$bench" --device "$item" --answers ok --json "$model.json" \
     >/dev/null) || status=$?
  wall=$(( ($(date +%s%N) - started) / 1000000 ))
  errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$work/$model.vg" | tail -n 1)
  result=$(jq -r '.[0].result' "$work/$model.json" 2>/dev/null || echo "?")
  verdict=clean
  if [[ $status -ne 0 || $errors != 0 || $result != Success ]]; then
    verdict=FAILED
    failed=1
    sed -n '/ERROR SUMMARY/,$p;/definitely lost\|possibly lost\|Invalid\|uninitialised/p' \
      "$work/$model.vg" | head -n 20 >&2
  fi
  row "$model" "$item" "$result" "${errors:-?}" "$(awk -v ms="$wall" 'BEGIN { printf "%.1f", ms / 1000 }')" "$verdict"
done
exit $failed
