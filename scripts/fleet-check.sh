#!/usr/bin/env bash
# The fleet's dashboard in a real browser (headless Chromium) on a known set of records: two
# simulated stations' folders (and a copy of one, the same runs found twice) ingested into a
# fresh SQLite store, the dashboard served on the loopback, and every page rendered. Each page
# must show the figures worked out here from the record files themselves, and name no outside
# resource. Screenshots and the pages' DOMs are kept in BUILD/gui-check/fleet/.
# Usage: scripts/fleet-check.sh [BUILD_DIR]   (default build/linux-debug)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/linux-debug}")
out=$build/gui-check/fleet
work=$(mktemp -d)
server_pid=""
finish() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
rm -rf "$out"
mkdir -p "$out" "$work/a" "$work/b"
bench=$build/veltrane-bench
fleet=$build/fleet/veltrane-fleet
"$bench" --device all --station STATION-A --seed 1 --day 2026-12-07 --out "$work/a" >/dev/null || true
"$bench" --device all --station STATION-B --seed 2 --day 2026-12-08 --answers ok \
  --out "$work/b" >/dev/null 2>&1 || true
cp -r "$work/a/TestRecords" "$work/b/copy-of-a"
"$fleet" ingest --db "$work/fleet.sqlite" "$work/a" "$work/b" >"$work/ingest.txt" 2>&1 || {
  cat "$work/ingest.txt" >&2
  exit 1
}
# The expected figures, from the record files alone.
read -r runs units fpy serial run_id model < <(python3 - "$work" <<'PY'
import glob, json, sys
records = {}
for path in glob.glob(sys.argv[1] + "/*/TestRecords/*.json"):
    r = json.load(open(path))
    records[r["run_id"]] = r
first = {}
for r in sorted(records.values(), key=lambda r: (r["start"], r["run_id"])):
    first.setdefault((r["unit"]["model"], r["unit"]["serial"]), r)
passed = sum(r["result"] in ("Success", "Warning") for r in first.values())
some = sorted(records.values(), key=lambda r: r["run_id"])[0]
print(len(records), len(first), "%.1f" % (100.0 * passed / len(first)), some["unit"]["serial"],
      some["run_id"], some["unit"]["model"])
PY
)
"$fleet" serve --db "$work/fleet.sqlite" --listen 127.0.0.1:0 >"$work/serve.txt" 2>&1 &
server_pid=$!
address=""
for _ in $(seq 1 100); do
  address=$(grep -o 'http://127.0.0.1:[0-9]*/' "$work/serve.txt" || true)
  [ -n "$address" ] && break
  sleep 0.1
done
[ -n "$address" ] || { echo "fleet-check: the dashboard did not start" >&2; cat "$work/serve.txt" >&2; exit 1; }
browser=(chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run
  --disable-background-networking --disable-component-update --disable-sync
  --user-data-dir="$work/profile" --window-size=1200,1600 --hide-scrollbars)
# name, path, what the page must show
pages=(
  "overview||<b id=\"runs\">$runs</b>"
  "overview-units||<b id=\"units\">$units</b>"
  "overview-fpy||<b id=\"fpy\">$fpy %</b>"
  "model|?model=$model|<option value=\"$model\" selected=\"\">"
  "steps|steps|<h2>LQ40</h2>"
  "unit|unit?serial=$serial|<h1>Unit $serial</h1>"
  "run|run?id=$run_id|id=\"result\">"
  "search|search?serial=$serial|>$serial</a>"
)
failed=0
for page in "${pages[@]}"; do
  IFS='|' read -r name path expected <<<"$page"
  "${browser[@]}" --dump-dom "$address$path" 2>/dev/null >"$out/$name.html"
  case $name in overview-*) ;; *) "${browser[@]}" --screenshot="$out/$name.png" "$address$path" >/dev/null 2>&1 ;; esac
  if ! grep -qF "$expected" "$out/$name.html"; then
    echo "fleet-check: /$path lacks $expected" >&2
    failed=1
  fi
  # Nothing from outside: every link and source is the dashboard's own.
  if grep -oE '(src|href)="[a-z]+:[^"]*"' "$out/$name.html" | grep -v '^href="/' | grep -q .; then
    echo "fleet-check: /$path names an outside resource" >&2
    failed=1
  fi
done
[ "$failed" = 0 ] || exit 1
echo "fleet-check: $runs runs of $units units, first-pass yield $fpy %, every page rendered ($out)"
