#!/usr/bin/env bash
# GUI check of the Windows build: veltrane-sim.exe under Xvfb + Wine on the demo bench. Waits for
# the main window, clicks Start with xdotool, waits for the result dialog and requires that it
# says "Success" and that every step shows the check mark, reading both from the windows' own
# texts (the program's VELTRANE_UI_DUMP file). Screenshots of the main window before the run, the
# result dialog and the main window after it are kept in BUILD/gui-check/, with Test.log.
# Usage: scripts/gui-check.sh [BUILD_DIR]   (default build/windows-i686)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath "${1:-build/windows-i686}")
out=$build/gui-check
exe=$build/veltrane-sim.exe
[ -f "$exe" ] || { echo "gui-check: $exe not built" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"
state=$out/ui-state.txt

xvfb_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

fail() {
  echo "gui-check: FAILED: $*" >&2
  [ -f "$state" ] && sed 's/^/  | /' "$state" >&2
  [ -n "${DISPLAY:-}" ] && import -window root "$out/failure.png" 2>/dev/null || true
  exit 1
}

# Waits until the state dump has a line matching the extended regex, at most $2 seconds.
wait_for() {
  local pattern=$1 seconds=$2 i
  for ((i = 0; i < seconds * 5; i++)); do
    if [ -f "$state" ] && grep -Eq "$pattern" "$state"; then return 0; fi
    if [ -n "$app_pid" ] && ! kill -0 "$app_pid" 2>/dev/null; then fail "the program ended"; fi
    sleep 0.2
  done
  fail "no '$pattern' within ${seconds}s"
}

# Clicks the middle of a control, from its screen rectangle in the state dump.
click() {
  local rect left top right bottom
  rect=$(grep -E "^$1	" "$state" | sed -E 's/.*screen=([-0-9,]+).*/\1/')
  IFS=, read -r left top right bottom <<<"$rect"
  xdotool mousemove $(((left + right) / 2)) $(((top + bottom) / 2)) click 1
}

# A display of our own: Xvfb picks a free number and tells it on fd 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$out/display" 2>"$out/xvfb.log" &
xvfb_pid=$!
for ((i = 0; i < 50; i++)); do [ -s "$out/display" ] && break; sleep 0.2; done
[ -s "$out/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(head -n1 "$out/display")

cd "$out"  # Test.log is written into the current directory
started=$(date +%s)
VELTRANE_UI_DUMP="$(winepath -w "$state" 2>/dev/null || echo "$state")" \
  "$root/scripts/wine-run.sh" "$exe" >"$out/program.log" 2>&1 &
app_pid=$!

wait_for $'^Form1\\.Button1\ttext=Start\tvisible=1\tenabled=1' 90
wait_for $'^Form1\\.ListView1\\.item\\[0\\]' 10
sleep 1  # let the window paint before the picture is taken
import -window root "$out/1-main-window-before.png"

click 'Form1\.Button1'
wait_for $'^Form2\ttext=Test Report\tvisible=1.*modal=1' 120
sleep 1
import -window root "$out/2-result-dialog.png"
grep -Eq $'^Form2\\.Label2\ttext=Success\t' "$state" ||
  fail "the result dialog does not say Success: $(grep -E '^Form2\.Label2' "$state")"
if grep -E $'^Form1\\.ListView1\\.item' "$state" | grep -vq $'\timage=1\t'; then
  fail "not every step shows the check mark"
fi
steps=$(grep -cE $'^Form1\\.ListView1\\.item' "$state")

click 'Form2\.Button1'  # Close
wait_for $'^Form2\t.*modal=0' 20
wait_for $'^Form1\\.Button1\ttext=Start\tvisible=1\tenabled=1' 20
sleep 1
import -window root "$out/3-main-window-after.png"
[ -f "$out/Test.log" ] || fail "no Test.log written"

# Alt+F4 on the main window; the program must end by itself.
for window in $(xdotool search --name '^Veltrane$' 2>/dev/null); do
  xdotool windowfocus "$window" key alt+F4 2>/dev/null || true
done
for ((i = 0; i < 50; i++)); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.2; done
if kill -0 "$app_pid" 2>/dev/null; then
  echo "gui-check: note: the program did not end on Alt+F4 (no window manager); stopped it"
else
  wait "$app_pid" || true
fi
app_pid=""
echo "gui-check: Success shown for $steps steps in $(($(date +%s) - started))s;" \
  "screenshots in $out"
