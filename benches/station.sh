#!/usr/bin/env bash
# The station: every unit of a bench tested one after another (veltrane-bench --device all)
# against all of them at once (--device all --parallel), in virtual and in real time. Usage:
#   benches/station.sh [--virtual-only] [BENCH...]
#     BENCH          demo (the built-in bench) or a bench file; default: demo and
#                    benches/station.json (20 units: three of each model, two of each ZP model)
#     --virtual-only skips the real-time passes (they take about 2 min for the demo bench and
#                    about 4 min for the 20-unit bench; the virtual ones a few seconds)
# Per bench and time: the sum of the lone runs, the longest lone run, the station time (the
# parallel session from its common start to the end of its last run), station / longest and
# sum / station. Virtual time is the simulated clock (virtual_seconds); real time is the wall
# clock of --real-time runs (wall_seconds), where every pause takes its time. Targets, printed as
# met or missed (figures, not a test: the exit status does not depend on them): station time at
# most 1.05 times the longest lone run; on the demo bench, sum / station at least 6.4.
# Needs python3 and a built veltrane-bench (build/linux-debug, or set VELTRANE_BENCH).
set -euo pipefail
cd "$(dirname "$0")/.."
bench=${VELTRANE_BENCH:-build/linux-debug/veltrane-bench}
[ -x "$bench" ] || { echo "build veltrane-bench first (cmake --build --preset linux-debug)" >&2; exit 2; }
if [[ $bench != /* ]]; then bench=$PWD/$bench; fi

modes=(virtual real)
benches=()
for arg in "$@"; do
  case $arg in
    --virtual-only) modes=(virtual) ;;
    -h | --help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option: $arg (see --help)" >&2; exit 2 ;;
    demo) benches+=(demo) ;;
    *) [ -f "$arg" ] || { echo "no bench file $arg" >&2; exit 2; }; benches+=("$(cd "$(dirname "$arg")" && pwd)/$(basename "$arg")") ;;
  esac
done
[ ${#benches[@]} -gt 0 ] || benches=(demo "$PWD/benches/station.json")

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# One session into its own folder (Test.log and records stay in the scratch folder). The LQ40 asks
# for discs in its loading area: every box is answered OK. One after another the runs take their
# answers from one list, so it holds an OK for every box any unit may show; at once, each run
# reads the list from its start. A run that fails still has its record.
answers=$(printf 'ok,%.0s' {1..99})ok
session() {
  local name=$1 file=$2
  shift 2
  mkdir -p "$tmp/$name"
  (cd "$tmp/$name" && "$bench" --bench "$file" --device all --answers "$answers" \
    --json "$tmp/$name.json" "$@" >/dev/null) || true
}

printf '%-20s %-8s %6s %12s %12s %12s %10s %10s\n' \
  "bench" "mode" "runs" "sequential s" "longest s" "station s" "st/longest" "sum/st"
for file in "${benches[@]}"; do
  for mode in "${modes[@]}"; do
    pace=()
    [ "$mode" = real ] && pace=(--real-time)
    session seq "$file" "${pace[@]}"
    session par "$file" "${pace[@]}" --parallel
    python3 - "$(basename "$file")" "$mode" "$tmp/seq.json" "$tmp/par.json" "$tmp/targets.txt" <<'PY'
import json, sys
name, mode, seq_file, par_file, targets_file = sys.argv[1:6]
field = "virtual_seconds" if mode == "virtual" else "wall_seconds"
seq = json.load(open(seq_file))
par = json.load(open(par_file))
# A run that did not end well is shorter than a healthy one: the figures would flatter the
# station, so say so beside them.
bad = [f'{r["item"]}: {r["result"] if r["started"] else "not started"} ({how})'
       for how, runs in (("lone", seq), ("parallel", par)) for r in runs
       if not r["started"] or r["result"] not in ("Success", "Warning")]
total = sum(r[field] for r in seq)
longest = max(r[field] for r in seq)
station = max(r[field] for r in par)
print(f'{name:<20} {mode:<8} {len(seq):>3}/{len(par):<2} {total:12.3f} {longest:12.3f} '
      f'{station:12.3f} {station / longest:10.4f} {total / station:10.2f}')
for line in bad:
    print(f'    not healthy: {line}')
verdict = lambda ok: "target met" if ok else "target missed"
with open(targets_file, "a") as targets:
    print(f'{name} {mode}: station / longest {station / longest:.4f} <= 1.05: '
          f'{verdict(station <= 1.05 * longest)}', file=targets)
    if name == "demo":
        print(f'{name} {mode}: sum / station {total / station:.2f} >= 6.4: '
              f'{verdict(total / station >= 6.4)}', file=targets)
PY
  done
done
echo
cat "$tmp/targets.txt"
