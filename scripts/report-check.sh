#!/usr/bin/env bash
# Renders a run report in a real browser (headless Chromium) and fails when the page is blank or
# its result word (from the record beside it) is missing.
# Usage: report-check.sh BUILD_DIR [PNG]         a fresh report of veltrane-bench's first unit
#        report-check.sh --report NAME.html PNG  a report a run already left (NAME.json beside it)
# PNG is where the picture goes (default: a temporary file).
set -euo pipefail
usage="usage: report-check.sh BUILD_DIR [PNG] | --report NAME.html PNG"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ "${1:-}" = "--report" ]; then
  report=$(realpath "${2:?$usage}")
  png=${3:?$usage}
else
  build=${1:?$usage}
  png=${2:-$work/report.png}
  "$build/veltrane-bench" --device 0 --out "$work" >/dev/null
  report=$(ls "$work"/TestRecords/*.html | head -n 1)
fi
[ -f "${report%.html}.json" ] || {
  echo "report-check: no record ${report%.html}.json beside the report" >&2
  exit 1
}
word=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["result"])' \
  "${report%.html}.json")
browser=(chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run
  --disable-background-networking --disable-component-update --disable-sync
  --user-data-dir="$work/profile" --window-size=900,1400 --hide-scrollbars)
"${browser[@]}" --screenshot="$png" "file://$report" >/dev/null 2>&1
"${browser[@]}" --dump-dom "file://$report" 2>/dev/null >"$work/dom.html"
grep -q "id=\"result\">$word</div>" "$work/dom.html" || {
  echo "report-check: the rendered report lacks its result word \"$word\"" >&2
  exit 1
}
colours=$(convert "$png" -format %k info:)
if [ "$colours" -lt 8 ]; then
  echo "report-check: the rendered report is blank ($colours colours)" >&2
  exit 1
fi
echo "report-check: $(basename "$report") rendered with \"$word\", $colours colours, $(stat -c %s "$report") bytes"
