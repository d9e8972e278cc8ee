#!/usr/bin/env bash
# GUI check of the Windows build: veltrane-sim.exe on the demo bench, inside a Wine virtual
# desktop on a display of its own (Xvfb), so that the windows have the frame and caption an
# operator sees. Waits for the main window, clicks Start with xdotool, waits for the result dialog
# and requires that it says "Success" and that every step shows the check mark, reading both from
# the windows' own texts (the program's VELTRANE_UI_DUMP file). It also requires the captions
# "Veltrane" and "Test Report" (naming its unit, as several are attached): in the windows' texts,
# as the names of visible X windows, and drawn in a caption bar of the screenshot. Screenshots of the main window before the run, of the result
# dialog and of the main window after it, each with its frame, are kept in BUILD/gui-check/ with
# Test.log and TestRecords/, and so is a picture of the run's report rendered by headless Chromium
# (scripts/report-check.sh). The program then runs once more at 144 DPI (150 %), in a Wine
# prefix made for it: its main window and result dialog, shot again in BUILD/gui-check/144dpi/,
# must be those at 96 DPI scaled by 1.5, width and height alike. Between the two, a station of
# three units (benches/gui-station.json) runs at once after a click on "Start all": two of them ask,
# their boxes (captions naming the unit) are shot and answered by clicks, the combo's list is shot
# dropped down while the runs go and after, and all three records must say "Success"
# (BUILD/gui-check/station/). Parts go by the keyboard alone (xdotool key): the station's second
# box and its result dialog are answered with Enter, and the run at 144 DPI is started with Alt+S
# in the window that came up active and its dialog closed with Esc.
# Usage: scripts/gui-check.sh [BUILD_DIR]   (default build/windows-i686)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath "${1:-build/windows-i686}")
out=$build/gui-check
exe=$build/veltrane-sim.exe
[ -f "$exe" ] || { echo "gui-check: $exe not built" >&2; exit 1; }
command -v chromium >/dev/null || {
  echo "gui-check: chromium is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
}
rm -rf "$out"
mkdir -p "$out"
state=$out/ui-state.txt
# The desktop is named per run: the Wine prefix (and its server) is shared with other runs, and a
# desktop of the same name would show this run's windows on their display.
desktop=veltrane-gui-check-$$
desktop_x=0
desktop_y=0

xvfb_pid=""
app_pid=""
prefix144=""
# This run's Wine processes (the desktop's explorer and the program), found by the dump path in
# their environment, which no other run shares; never the prefix's shared server.
our_processes() {
  local proc
  for proc in /proc/[0-9]*; do
    [ "${proc#/proc/}" = "$$" ] && continue
    { tr '\0' '\n' <"$proc/cmdline"; } 2>/dev/null |
      grep -qiE 'veltrane-sim\.exe|explorer\.exe' || continue
    { tr '\0' '\n' <"$proc/environ"; } 2>/dev/null |
      grep -qxF "VELTRANE_UI_DUMP=$state_windows" || continue
    echo "${proc#/proc/}"
  done
}
stop_program() {
  local pid
  for pid in $(our_processes); do kill "$pid" 2>/dev/null || true; done
}
cleanup() {
  if [ -n "$app_pid" ]; then
    stop_program
    kill "$app_pid" 2>/dev/null || true
  fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  if [ -n "$prefix144" ]; then
    VELTRANE_WINEPREFIX=$prefix144 WINEPREFIX=$prefix144 wineserver -k 2>/dev/null || true
    rm -rf "$prefix144"
  fi
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

# The window rectangle (left top right bottom, desktop coordinates) of a control or form.
rect_of() {
  grep -E "^$1	" "$state" | head -n1 | sed -E 's/.*screen=([-0-9,]+).*/\1/' | tr , ' '
}

# Clicks the middle of a control.
click() {
  local left top right bottom
  read -r left top right bottom <<<"$(rect_of "$1")"
  xdotool mousemove $((desktop_x + (left + right) / 2)) $((desktop_y + (top + bottom) / 2)) click 1
}

# Presses keys (xdotool's names) where the keyboard goes: the X input focus on this run's Wine
# desktop, whose active window takes them as an operator's.
press() {
  local window
  window=$(xdotool search --onlyvisible --name "^$desktop - Wine desktop\$" 2>/dev/null | head -n1)
  [ -n "$window" ] || fail "no Wine desktop \"$desktop\" to type on"
  xdotool windowfocus "$window" 2>/dev/null || true
  xdotool key "$@"
}

# A visible X window of that exact name: Wine names each window's X window after its caption.
# The X server may map it a moment after the dump shows it: 2s at most. xdotool takes the name as
# a regular expression: a box's caption holds brackets ("Error - TM36K (TK36K0007)").
require_x_window() {
  local i name
  name=$(sed 's/[][().*^$+?{}|\\]/\\&/g' <<<"$1")
  for ((i = 0; i < 10; i++)); do
    xdotool search --onlyvisible --name "^$name\$" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  fail "no visible window named \"$1\" on the display"
}

# Starts the program on the virtual desktop with the state dump at $state, in the Wine prefix of
# VELTRANE_WINEPREFIX (the shared one when unset), on the bench file $1 (the built-in demo bench
# when none), and waits for its main window with its steps.
start_program() {
  local paths bench_windows=()
  # Windows paths through the prefix's own drive mapping (Z: is the Unix root by default).
  paths=$("$root/scripts/wine-run.sh" winepath -w "$state" "$exe" ${1:+"$1"} 2>/dev/null |
    tr -d '\r') || true
  state_windows=$(sed -n 1p <<<"$paths")
  exe_windows=$(sed -n 2p <<<"$paths")
  [ -n "${1:-}" ] && bench_windows=("$(sed -n 3p <<<"$paths")")
  if [ -z "$exe_windows" ] || { [ -n "${1:-}" ] && [ -z "${bench_windows[0]}" ]; }; then
    state_windows="Z:${state//\//\\}"
    exe_windows="Z:${exe//\//\\}"
    [ -n "${1:-}" ] && bench_windows=("Z:${1//\//\\}")
  fi
  VELTRANE_UI_DUMP="$state_windows" "$root/scripts/wine-run.sh" \
    explorer "/desktop=$desktop,1024x768" "$exe_windows" "${bench_windows[@]}" \
    >"$(dirname "$state")/program.log" 2>&1 &
  app_pid=$!
  wait_for $'^Form1\\.Button1\ttext=Start\tvisible=1\tenabled=1' 90
  wait_for $'^Form1\\.ListView1\\.item\\[0\\]' 10
}

# Width and height of a control's or form's window.
size_of() {
  local left top right bottom
  read -r left top right bottom <<<"$(rect_of "$1")"
  echo "$((right - left)) $((bottom - top))"
}

# Screenshot of the desktop around the visible forms and message box (frames included, with a
# margin of desktop), taken once the caption bar of every window named in $2.. is drawn: more than two colours (bar,
# text, icon) in a strip across it, where an undecorated window would leave one. Up to 5 tries.
shoot() {
  local png=$1 form left top right bottom x0=100000 y0=100000 x1=0 y1=0 try ok colours
  shift
  for form in Form1 Form2 Box; do
    grep -Eq "^$form	.*	visible=1	" "$state" || continue
    read -r left top right bottom <<<"$(rect_of "$form")"
    ((left < x0)) && x0=$left
    ((top < y0)) && y0=$top
    ((right > x1)) && x1=$right
    ((bottom > y1)) && y1=$bottom
  done
  ((x1 > x0)) || fail "no visible window to take a picture of"
  for ((try = 0; try < 5; try++)); do
    sleep 1  # let the windows paint
    import -window root "$out/screen.png"
    ok=1
    for form in "$@"; do
      read -r left top right bottom <<<"$(rect_of "$form")"
      colours=$(convert "$out/screen.png" \
        -crop "$((right - left - 80))x8+$((desktop_x + left + 4))+$((desktop_y + top + 6))" \
        +repage -format %k info:)
      ((colours > 2)) || ok=0
    done
    ((ok)) && break
  done
  ((ok)) || fail "$png: no caption bar drawn on $*"
  x0=$((desktop_x + (x0 > 12 ? x0 - 12 : 0)))
  y0=$((desktop_y + (y0 > 12 ? y0 - 12 : 0)))
  x1=$((desktop_x + x1 + 12))
  y1=$((desktop_y + y1 + 12))
  convert "$out/screen.png" -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage "$out/$png"
  rm -f "$out/screen.png"
}

# A display of our own: Xvfb picks a free number and tells it on fd 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$out/display" 2>"$out/xvfb.log" &
xvfb_pid=$!
for ((i = 0; i < 50; i++)); do [ -s "$out/display" ] && break; sleep 0.2; done
[ -s "$out/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(head -n1 "$out/display")

cd "$out"  # Test.log and TestRecords/ are written into the current directory
started=$(date +%s)
start_program
grep -Eq $'^Form1\ttext=Veltrane\tvisible=1' "$state" ||
  fail "the main window's caption is not \"Veltrane\": $(grep -E '^Form1	' "$state")"
# The desktop's own X window: where desktop coordinates start on the display.
for ((i = 0; i < 25; i++)); do
  desktop_window=$(xdotool search --onlyvisible --name "^$desktop - Wine desktop\$" 2>/dev/null |
    head -n1) && [ -n "$desktop_window" ] && break
  sleep 0.2
done
[ -n "$desktop_window" ] || fail "no Wine desktop \"$desktop\" on the display"
eval "$(xdotool getwindowgeometry --shell "$desktop_window" | grep -E '^[XY]=')"
desktop_x=$X
desktop_y=$Y
require_x_window Veltrane
click 'Form1\.Label1'  # an operator's first click on the window makes it the active one
shoot 1-main-window-before.png Form1

click 'Form1\.Button1'
# Several units are attached (the demo bench): the dialog's caption names the unit it reports on.
wait_for $'^Form2\ttext=Test Report - TM36K \\(TK36K0001\\)\tvisible=1.*modal=1' 120
require_x_window 'Test Report - TM36K (TK36K0001)'
shoot 2-result-dialog.png Form1 Form2
result=$(grep -E $'^Form2\\.Label2\t' "$state" | cut -f2)
[ "$result" = "text=Success" ] || fail "the result dialog does not say Success: $result"
if grep -E $'^Form1\\.ListView1\\.item' "$state" | grep -vq $'\timage=1\t'; then
  fail "not every step shows the check mark"
fi
steps=$(grep -cE $'^Form1\\.ListView1\\.item' "$state")

click 'Form2\.Button1'  # Close
wait_for $'^Form2\t.*modal=0' 20
wait_for $'^Form1\\.Button1\ttext=Start\tvisible=1\tenabled=1' 20
require_x_window Veltrane
shoot 3-main-window-after.png Form1
[ -f "$out/Test.log" ] || fail "no Test.log written"

sizes96=$(for part in Form1 'Form1\.ListView1' 'Form1\.Button1' Form2; do size_of "$part"; done)

# The report the run left, as a browser shows it; its result word must be the dialog's.
reports=("$out"/TestRecords/*.html)
report=${reports[0]}
[ -f "$report" ] || fail "no report in $out/TestRecords"
grep -q '"result": "Success"' "${report%.html}.json" ||
  fail "the run's record does not say \"Success\" as the dialog did"
"$root/scripts/report-check.sh" --report "$report" "$out/4-report.png" || fail "report check"

# Alt+F4 on the main window; the program, and with it the desktop, must end by itself. A second
# press if the first went astray, then 10s at most.
for press in 1 2; do
  for window in $(xdotool search --onlyvisible --name '^Veltrane$' 2>/dev/null); do
    xdotool windowfocus "$window" 2>/dev/null || true
  done
  xdotool key alt+F4
  for ((i = 0; i < 25 * press; i++)); do kill -0 "$app_pid" 2>/dev/null || break 2; sleep 0.2; done
done
kill -0 "$app_pid" 2>/dev/null && fail "the desktop did not end on Alt+F4"
for ((i = 0; i < 25; i++)); do [ -z "$(our_processes)" ] && break; sleep 0.2; done
[ -z "$(our_processes)" ] || fail "the program still runs after its window closed"
wait "$app_pid" || true
app_pid=""

# --- A station: three units at once ------------------------------------------------------------
# benches/gui-station.json: a TM36K whose input bin is empty until the operator fills it at its box
# (Retry), an LQ40 that asks for discs (OK) and a ZP61 that asks nothing. Start all starts the
# three; the two boxes must come one at a time, each caption naming its unit, and be answered by
# clicking their buttons; the combo must show each unit's state while they run (its list dropped
# down and shot) and their results after; all three records must say "Success".
out=$build/gui-check/station
mkdir -p "$out"
cd "$out"
state=$out/ui-state.txt
desktop=veltrane-gui-check-station-$$
station_started=$(date +%s)
start_program "$root/benches/gui-station.json"
wait_for $'^Form1\\.StartAllButton\ttext=Start all\tvisible=1\tenabled=1' 10
for unit in 0:TM36K:TK36K0007 1:LQ40:LQ40A0007 2:ZP61:ZP61A0007; do
  IFS=: read -r index model serial <<<"$unit"
  wait_for "^Form1\\.ComboBox1\\.item\\[$index\\]	text=\\[$index\\] $model \\($serial\\) - idle\$" 10
done
require_x_window Veltrane
click 'Form1\.Label1'
shoot 5-station-idle.png Form1

# Opens or closes the combo's list with a click on its arrow, as the operator does.
click_combo_arrow() {
  local left top right bottom
  read -r left top right bottom <<<"$(rect_of 'Form1\.ComboBox1')"
  xdotool mousemove $((desktop_x + right - 8)) $((desktop_y + (top + bottom) / 2)) click 1
}

click 'Form1\.StartAllButton'
# The boxes, in the order the units ask: the caption of each names its unit, the record keeps the
# run's own caption. Either may come first; a second box waits for the first one's answer.
declare -A answer_of=(["Information - LQ40 (LQ40A0007)"]=OK ["Error - TM36K (TK36K0007)"]=Retry)
declare -A text_of=(["Information - LQ40 (LQ40A0007)"]="Supply the loading area with discs."
  ["Error - TM36K (TK36K0007)"]="Supply the loader mechanism with discs.")
boxes_seen=()
for box_number in 1 2; do
  wait_for $'^Box\ttext=' 60
  grep -q $'^Box2\t' "$state" && fail "two message boxes open at once"
  caption=$(grep -E $'^Box\t' "$state" | head -n1 | cut -f2)
  caption=${caption#text=}
  button=${answer_of[$caption]:-}
  [ -n "$button" ] || fail "box $box_number: unexpected caption \"$caption\""
  for seen in "${boxes_seen[@]}"; do
    [ "$seen" = "$caption" ] && fail "box \"$caption\" shown twice"
  done
  boxes_seen+=("$caption")
  grep -qxF "$(printf 'Box.Text\ttext=%s' "${text_of[$caption]}")" <(grep -E $'^Box\\.Text\t' "$state" | cut -f1,2) ||
    fail "box \"$caption\" does not say \"${text_of[$caption]}\""
  require_x_window "$caption"
  unit_model=${caption##* - }
  shoot "$((5 + box_number))-box-${unit_model%% *}.png" Box
  # The first box is answered by a click, the second by the keyboard: Enter on its default button.
  if ((box_number == 1)); then click "Box\\.$button"; else press Return; fi
  for ((i = 0; i < 50; i++)); do
    grep -qF "$(printf 'Box\ttext=%s\t' "$caption")" "$state" || break
    sleep 0.2
  done
  ((i < 50)) || fail "box \"$caption\" still open after its $button was clicked"
done

# While the runs go: the operator drops the combo's list down and reads each unit's state.
grep -Eq $'^Form2\t.*modal=1' "$state" && fail "the runs ended before the combo could be looked at"
click_combo_arrow
wait_for $'^Form1\\.ComboBox1\\.list\tdropped=1' 10
wait_for $'^Form1\\.ComboBox1\\.item\\[[0-9]\\]\ttext=.* - running, row [0-9]+ of [0-9]+$' 10
shoot 8-combo-while-running.png Form1
grep -E $'^Form1\\.ComboBox1\\.item' "$state" | cut -f2 | sed 's/^text=/gui-check: while running: /'
# The closed box holds every item whole: index, model, serial and state.
require_combo_whole() {
  local cut
  cut=$(grep -E $'^Form1\\.ComboBox1\\.list\t' "$state" | sed -E 's/.*\tcut=([-0-9]+).*/\1/')
  [ "$cut" = 0 ] || fail "the closed combo box cuts off $cut of the station's items ($1)"
}
require_combo_whole "while running"
click_combo_arrow  # closes the list again

# The last run to end opens its own result dialog, its caption naming its unit.
wait_for $'^Form2\ttext=Test Report - [A-Z0-9]+ \\([A-Z0-9]+\\)\tvisible=1.*modal=1' 120
shoot 9-station-result-dialog.png Form1 Form2
result=$(grep -E $'^Form2\\.Label2\t' "$state" | cut -f2)
[ "$result" = "text=Success" ] || fail "the station's result dialog does not say Success: $result"
press Return  # its default button, Close
wait_for $'^Form2\t.*modal=0' 20
for unit in 0:TM36K:TK36K0007 1:LQ40:LQ40A0007 2:ZP61:ZP61A0007; do
  IFS=: read -r index model serial <<<"$unit"
  wait_for "^Form1\\.ComboBox1\\.item\\[$index\\]	text=\\[$index\\] $model \\($serial\\) - Success\$" 20
done
click_combo_arrow
wait_for $'^Form1\\.ComboBox1\\.list\tdropped=1' 10
shoot 10-combo-after.png Form1
require_combo_whole "after the runs"
click_combo_arrow

# Each unit's record: its own result and the answers its boxes got, with the run's own captions.
records=("$out"/TestRecords/*.json)
[ "${#records[@]}" -eq 3 ] && [ -f "${records[0]}" ] ||
  fail "not three records in $out/TestRecords: ${records[*]}"
for record in "${records[@]}"; do
  grep -q '"result": "Success"' "$record" || fail "$(basename "$record") does not say \"Success\""
done
grep -l '"serial": "TK36K0007"' "${records[@]}" | xargs grep -q '"answer": "Retry"' ||
  fail "the TM36K's record does not hold its Retry"
grep -l '"serial": "LQ40A0007"' "${records[@]}" | xargs grep -q '"answer": "OK"' ||
  fail "the LQ40's record does not hold its OK"
stop_program
wait "$app_pid" 2>/dev/null || true
app_pid=""
echo "gui-check: station of 3 units: Success for all three in $(($(date +%s) - station_started))s;" \
  "boxes answered: ${boxes_seen[*]}; screenshots in $out"

# --- The same windows at 144 DPI (150 %) --------------------------------------------------------
# A prefix of its own: the shared one (and the tests running in it) keeps 96 DPI.
prefix144=$(mktemp -d /tmp/veltrane-wine144.XXXXXX)
export VELTRANE_WINEPREFIX=$prefix144
for key in 'HKCU\Control Panel\Desktop' \
  'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
  "$root/scripts/wine-run.sh" reg add "$key" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1 ||
    fail "cannot set 144 DPI in $prefix144"
done
out=$build/gui-check/144dpi
mkdir -p "$out"
cd "$out"
state=$out/ui-state.txt
desktop=veltrane-gui-check-144-$$
start_program
require_x_window Veltrane
# By the keyboard alone: the main window comes up active, Alt+S starts the run, Esc closes the
# result dialog and Start is back.
shoot 1-main-window-before.png Form1
press alt+s
wait_for $'^Form2\ttext=Test Report - TM36K \\(TK36K0001\\)\tvisible=1.*modal=1' 120
shoot 2-result-dialog.png Form1 Form2
result=$(grep -E $'^Form2\\.Label2\t' "$state" | cut -f2)
[ "$result" = "text=Success" ] || fail "at 144 DPI the result dialog does not say Success: $result"
sizes144=$(for part in Form1 'Form1\.ListView1' 'Form1\.Button1' Form2; do size_of "$part"; done)
press Escape
wait_for $'^Form2\t.*modal=0' 20
wait_for $'^Form1\\.Button1\ttext=Start\tvisible=1\tenabled=1' 20
# Each measured window piece 1.5 times its size at 96 DPI, width and height alike (within 8 %: frames, rounding).
paste <(tr ' ' '\n' <<<"$sizes96") <(tr ' ' '\n' <<<"$sizes144") |
  awk '{ r = $2 / $1; if (r < 1.38 || r > 1.62) bad = 1; ratios = ratios sprintf(" %.2f", r) }
       END { print "gui-check: 144/96 DPI widths and heights of main, list, button, dialog:" ratios
             exit bad }' || fail "the windows at 144 DPI are not those at 96 DPI scaled by 1.5"
stop_program
wait "$app_pid" 2>/dev/null || true
app_pid=""
echo "gui-check: Success shown for $steps steps in $(($(date +%s) - started))s;" \
  "screenshots in $out"
