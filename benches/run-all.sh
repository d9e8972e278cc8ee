#!/usr/bin/env bash
# Every benchmark of the project, printed as tables (figures, never pass or fail, except where a
# section checks something: the soak's findings and valgrind's errors make the exit status 1).
#
#   benches/run-all.sh [SECTION...]
#
# Sections, in this order by default (all of them take about eleven minutes on two cores, five and
# a half of them the station's real-time sessions):
#   discovery  discovery time on generated benches of 16, 64, 256 and 1,024 hubs: start-up,
#              a rescan with nothing changed, a rebuild after a removal and an arrival
#              (a Release build of its own in build/linux-release)
#   realtime   each demo unit's real-time run against the floor of its pauses (benches/realtime.sh)
#   virtual    the wall time of a whole demo-bench session (every unit once) in virtual time
#   memory     peak memory (maximum resident set) of veltrane-bench, from /usr/bin/time -v
#   size       the size of Veltrane.exe and the other Windows programs, if they have been built
#   soak       veltrane-soak: every demo unit 200 times with drawn faults, memory as runs add up
#   valgrind   one healthy run per family under valgrind (benches/valgrind.sh)
#   fleet      veltrane-fleet on SQLite and PostgreSQL: ingest against the parse-only floor, a
#              second ingest, every page at 10,000 and 1,000,000 runs (benches/fleet.sh; not in
#              the default list: it takes the better part of an hour)
#
# Builds veltrane-bench, veltrane-soak and veltrane-discovery-bench in the linux-debug preset
# first, unless VELTRANE_BUILD names a build folder to use as it is. Needs python3, GNU time
# (/usr/bin/time) and valgrind; installs the missing ones when run as root (Debian).
# VELTRANE_SOAK_ITERATIONS and VELTRANE_SOAK_SEED change the soak (200 and 1);
# VELTRANE_STATION_VIRTUAL_ONLY=1 leaves out the station's real-time sessions.
set -euo pipefail
cd "$(dirname "$0")/.."

sections=("$@")
[[ ${#sections[@]} -gt 0 ]] || sections=(discovery realtime virtual station memory size soak valgrind)

install_missing() {
  local need=()
  command -v python3 >/dev/null || need+=(python3)
  [[ -x /usr/bin/time ]] || need+=(time)
  command -v valgrind >/dev/null || need+=(valgrind)
  [[ ${#need[@]} -eq 0 ]] && return
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing: ${need[*]} (install them, or run as root)" >&2
    exit 2
  fi
  echo "Installing: ${need[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
}

if [[ -z ${VELTRANE_BUILD:-} ]]; then
  ./scripts/install-deps.sh
  cmake --preset linux-debug >/dev/null
  cmake --build --preset linux-debug -j "$(nproc)" \
    --target veltrane-bench veltrane-soak veltrane-discovery-bench
  build=build/linux-debug
else
  build=$VELTRANE_BUILD
fi
install_missing
build=$(cd "$build" && pwd)
bench=$build/veltrane-bench
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
echo "Build: $build (${build_type:-unknown type}); host: $(nproc) cores, $(uname -sr)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

heading() { printf '\n== %s ==\n' "$1"; }

discovery() {
  heading "Discovery scaling (start-up, rescan, rebuild after a removal and an arrival)"
  local timed=$build
  # Times mean something only optimised: a Release folder of its own unless VELTRANE_BUILD names one.
  if [[ -z ${VELTRANE_BUILD:-} ]]; then
    timed=$PWD/build/linux-release
    cmake -S . -B "$timed" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRANE_TESTS=OFF >/dev/null
    cmake --build "$timed" -j "$(nproc)" --target veltrane-discovery-bench >/dev/null
  fi
  "$timed/veltrane-discovery-bench"
}

realtime() {
  heading "Real-time runs against the floor of their pauses"
  VELTRANE_BENCH=$bench ./benches/realtime.sh
}

# Milliseconds of wall time of a command, its output dropped.
wall_ms() {
  local start
  start=$(date +%s%N)
  "$@" >/dev/null
  echo $((($(date +%s%N) - start) / 1000000))
}

virtual() {
  heading "A whole demo-bench session in virtual time (every unit once, veltrane-bench --device all)"
  local times=() i
  for i in 1 2 3 4 5 6 7 8 9 10; do
    times+=("$(cd "$work" && wall_ms "$bench" --device all --answers ok --json virtual.json)")
  done
  printf '%s\n' "${times[@]}" | sort -n | python3 -c '
import sys
ms = [int(x) for x in sys.stdin]
print(f"process wall time over {len(ms)} sessions: min {ms[0]} ms, median {ms[len(ms) // 2]} ms, max {ms[-1]} ms")'
  python3 - "$work/virtual.json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))
print(f'{"item":<24} {"result":<8} {"virtual s":>10} {"wall ms":>9} {"speed-up":>9}')
for r in runs:
    print(f'{r["item"]:<24} {r["result"]:<8} {r["virtual_seconds"]:10.3f} '
          f'{1000 * r["wall_seconds"]:9.2f} {r["virtual_seconds"] / r["wall_seconds"]:9.0f}')
v = sum(r["virtual_seconds"] for r in runs)
w = sum(r["wall_seconds"] for r in runs)
print(f'{"all runs":<24} {"":<8} {v:10.3f} {1000 * w:9.2f} {v / w:9.0f}')
PY
}

station() {
  heading "A station: every unit one after another against all at once (benches/station.sh)"
  local only=()
  [[ ${VELTRANE_STATION_VIRTUAL_ONLY:-0} == 1 ]] && only=(--virtual-only)
  VELTRANE_BENCH=$bench ./benches/station.sh "${only[@]}"
}

# Peak resident set (kB) and elapsed time of a command under GNU time.
peak() {
  /usr/bin/time -v "$@" 2>"$work/time.txt" >/dev/null || true
  local kb elapsed
  kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
  elapsed=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt")
  printf '%-44s %12s %10s\n' "$label" "$kb" "$elapsed"
}

memory() {
  heading "Peak memory of veltrane-bench (maximum resident set size)"
  printf '%-44s %12s %10s\n' "what" "peak kB" "elapsed"
  cd "$work"
  label="start-up and the main window (no run)" peak "$bench"
  label="every demo unit once (--device all)" peak "$bench" --device all --answers ok
  label="every demo unit once, with --json" peak "$bench" --device all --answers ok --json m.json
  cd - >/dev/null
}

size() {
  heading "Size of the Windows programs (build/windows-i686, Release, static)"
  local exe=build/windows-i686/Veltrane.exe f
  if [[ ! -f $exe ]]; then
    echo "skipped: no $exe (cmake --preset windows-i686 && cmake --build --preset windows-i686)"
    return
  fi
  printf '%-28s %12s %10s\n' "program" "bytes" "KiB"
  for f in build/windows-i686/*.exe; do
    printf '%-28s %12d %10.1f\n' "$(basename "$f")" "$(stat -c %s "$f")" \
      "$(awk -v b="$(stat -c %s "$f")" 'BEGIN { print b / 1024 }')"
  done
}

soak() {
  local n=${VELTRANE_SOAK_ITERATIONS:-200} seed=${VELTRANE_SOAK_SEED:-1}
  heading "Soak: every demo unit $n times, faults drawn from seed $seed (veltrane-soak)"
  "$build/veltrane-soak" --soak "$n" --seed "$seed" --keep "$PWD/build/soak-findings" || status=1
}

valgrind_runs() {
  heading "valgrind (memcheck, full leak check): one healthy run per family"
  VELTRANE_BENCH=$bench ./benches/valgrind.sh || status=1
}

for section in "${sections[@]}"; do
  case $section in
    discovery | realtime | virtual | station | memory | size | soak) "$section" ;;
    valgrind) valgrind_runs ;;
    fleet) heading "The fleet's store and dashboard (benches/fleet.sh)"; ./benches/fleet.sh ;;
    *) echo "unknown section: $section" >&2; exit 2 ;;
  esac
done
exit $status
