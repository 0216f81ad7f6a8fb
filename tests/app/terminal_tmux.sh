#!/usr/bin/env bash
# The terminal front end as a person uses it: updater runs in a tmux pane (a real terminal)
# against the emulated device, and the script reads the screen back with capture-pane.
#   1. At 100x30, 80x24 and 60x18: the focus starts on Update once it is offered; Tab and
#      Shift-Tab move it; an arrow on the video standard selects the other one (on the device at
#      once); Enter presses Update, and after the run Enter presses Exit (the focus went there).
#   2. A resize is drawn at once, without a key; a terminal too small gets one line; the mouse
#      presses Exit.
#   3. Ctrl-C outside a write ends the program at once; during the control firmware download it
#      asks first ("n" goes on), and a second Ctrl-C stops; one more run (headless) finishes the
#      unit.
#   4. -batch: the run ends by itself, and its last look stays on the terminal.
# After every end the terminal is checked to be given back (no alternate screen, keypad or
# mouse mode left on).
#
#   terminal_tmux.sh UPDATER BVU_EMULATOR [TIME_SCALE [SCREEN_TEXT_OUT]]
set -u
updater=$1
emulator_tool=$2
scale=${3:-0.05}
screen_out=${4:-}

work=$(mktemp -d)
socket="bvu-app-$$"
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# new_device STATE: a unit that runs the carried firmware under an older package version, so that
# a run that writes no firmware (-nomicro -nofpga) still gives it the package version.
new_device() {
  rm -f "$1"
  "$emulator_tool" create "$1" --control-version 1.12 --video-version 1.02 \
    --package-version 2.05 >/dev/null || { echo "FAIL: cannot create the device"; exit 1; }
}
device_has() {  # device_has STATE NAME VALUE
  "$emulator_tool" show "$1" --json | grep -qF "\"$2\": \"$3\""
}

# start COLUMNSxROWS STATE SCALE ARGS...: updater in a new pane; its exit code lands in
# $work/exit. The pane's shell survives Ctrl-C (its trap), so the code can be read.
start() {
  local size=$1 state=$2 runscale=$3
  shift 3
  tmux -L "$socket" kill-server 2>/dev/null
  rm -f "$work/exit"
  tmux -L "$socket" new-session -d -s updater -x "${size%x*}" -y "${size#*x}" \
    "bash -c \"trap 'true' INT; env -u BVU_FRONTEND BVU_USB='emulator:$state' \
       BVU_TIME_SCALE=$runscale '$updater' $*; echo \\\$? > '$work/exit'; sleep 600\""
}
screen() { tmux -L "$socket" capture-pane -p -t updater; }
# Waits until the screen shows the text (up to 60 s); the screen is left in $work/screen.
wait_for() {
  for _ in $(seq 1 600); do
    screen >"$work/screen" 2>/dev/null
    grep -qF -- "$1" "$work/screen" && return 0
    sleep 0.1
  done
  return 1
}
keys() { tmux -L "$socket" send-keys -t updater "$@"; }
# The exit code once the program has ended (up to 60 s).
exit_code() {
  for _ in $(seq 1 600); do
    [ -s "$work/exit" ] && { cat "$work/exit"; return; }
    sleep 0.1
  done
  echo none
}
# The terminal as the program found it: no alternate screen, no keypad or cursor-key mode, no
# mouse reporting.
restored() {
  local flags
  flags=$(tmux -L "$socket" display -p -t updater \
    '#{alternate_on}#{keypad_flag}#{keypad_cursor_flag}#{mouse_any_flag}#{mouse_standard_flag}')
  [ "$flags" = 00000 ] || fail "$1: terminal not given back (flags $flags)"
}
# A left click on the first cell of TEXT on the screen (xterm's mouse report).
click() {
  local row col
  row=$(grep -nF -- "$1" "$work/screen" | head -1 | cut -d: -f1)
  [ -n "$row" ] || { fail "nothing to click: $1"; return; }
  col=$(sed -n "${row}p" "$work/screen" | awk -v t="$1" '{ print index($0, t) - 1 }')
  local press release
  press=$(printf '\033[M %b%b' "\\$(printf '%03o' $((33 + col)))" "\\$(printf '%03o' $((32 + row)))")
  release=$(printf '\033[M#%b%b' "\\$(printf '%03o' $((33 + col)))" "\\$(printf '%03o' $((32 + row)))")
  keys -l "$press$release"
}

state=$work/device.json

echo "--- 1: keys at each size"
for size in 100x30 80x24 60x18; do
  new_device "$state"
  start "$size" "$state" "$scale" -nomicro -nofpga
  if ! wait_for "Ready to perform updates."; then
    fail "$size: the dialog never became ready"; cat "$work/screen"; continue
  fi
  for text in "Brevicor Update Utility 2.07" "3014-004711" "C2.1" "(*) NTSC" "( ) PAL" \
              "Update Version: 1.12" ">[ Update ]<"; do
    grep -qF -- "$text" "$work/screen" || fail "$size: '$text' not on the screen"
  done
  keys Tab
  wait_for ">[ Exit ]<" || fail "$size: Tab did not move the focus to Exit"
  keys BTab
  wait_for ">[ Update ]<" || fail "$size: Shift-Tab did not move the focus back"
  keys Tab Tab Right  # Exit, then the video standard, and select the other one
  wait_for ">(*) PAL<" || fail "$size: the arrow did not select PAL"
  keys Tab
  wait_for ">[ Update ]<" || fail "$size: Tab did not move the focus to Update"
  keys Enter
  wait_for "All updates complete." || { fail "$size: the update did not complete"; cat "$work/screen"; }
  wait_for ">[ Exit ]<" || fail "$size: the focus did not go to Exit after the run"
  grep -qF "Current Firmware Version: 2.07" "$work/screen" || fail "$size: package not shown"
  [ "$size" = 80x24 ] && [ -n "$screen_out" ] && cp "$work/screen" "$screen_out"
  keys Enter
  code=$(exit_code)
  [ "$code" = 0 ] || fail "$size: exit code '$code', expected 0"
  restored "$size"
  device_has "$state" packageVersion 2.07 || fail "$size: package version not written"
  device_has "$state" videoStandard PAL || fail "$size: the device was not set to PAL"
done

echo "--- 2: resize, a terminal too small, the mouse"
new_device "$state"
start 80x24 "$state" "$scale" -nomicro -nofpga
wait_for "Ready to perform updates." || fail "not ready"
tmux -L "$socket" resize-window -t updater -x 40 -y 10
wait_for "Terminal too small (58x18 needed)" || fail "no too-small line at 40x10"
[ "$(grep -c . "$work/screen")" = 1 ] || fail "more than one line at 40x10"
tmux -L "$socket" resize-window -t updater -x 100 -y 30
wait_for "Ready to perform updates." || fail "the dialog did not come back at 100x30"
click "[ Exit ]"
code=$(exit_code)
[ "$code" = 0 ] || fail "the click on Exit: exit code '$code', expected 0"
restored "mouse"
device_has "$state" packageVersion 2.05 || fail "Exit wrote the device"

echo "--- 3: Ctrl-C outside a write, and during one"
new_device "$state"
start 80x24 "$state" "$scale"
wait_for "Ready to perform updates." || fail "not ready"
keys C-c
code=$(exit_code)
[ "$code" = 130 ] || fail "Ctrl-C when ready: exit code '$code', expected 130"
restored "Ctrl-C when ready"
device_has "$state" packageVersion 2.05 || fail "Ctrl-C when ready changed the device"

new_device "$state"
start 80x24 "$state" "$scale"
wait_for "Ready to perform updates." || fail "not ready"
keys Enter
wait_for "Updating Control Firmware" || fail "the control firmware step did not start"
keys C-c
wait_for "Stop the update?" || { fail "Ctrl-C during the write did not ask"; cat "$work/screen"; }
keys n
for _ in $(seq 1 100); do screen >"$work/screen"; grep -qF "Stop the update?" "$work/screen" || break; sleep 0.1; done
grep -qF "Stop the update?" "$work/screen" && fail "n did not close the question"
[ -s "$work/exit" ] && fail "the program ended after n"
keys C-c
wait_for "Stop the update?" || fail "the second Ctrl-C did not ask again"
keys C-c
code=$(exit_code)
if [ "$code" = 130 ]; then
  echo "stopped during the write; one more run follows"
  restored "Ctrl-C during the write"
  # The next run finishes the unit, wherever the stop left it.
  BVU_USB="emulator:$state" BVU_TIME_SCALE=$scale BVU_FRONTEND=headless \
    "$updater" -batch </dev/null >/dev/null 2>"$work/rerun.txt" || fail "the re-run failed: $(cat "$work/rerun.txt")"
  for pair in controlVersion=1.12 videoVersion=1.02 packageVersion=2.07; do
    device_has "$state" "${pair%%=*}" "${pair#*=}" || fail "after the re-run ${pair%%=*} is not ${pair#*=}"
  done
else
  # The run may have ended on its own between the two presses.
  grep -qF "All updates complete." "$work/screen" || fail "Ctrl-C twice: exit code '$code', expected 130"
fi

echo "--- 4: -batch leaves its last look"
new_device "$state"
start 80x24 "$state" "$scale" -batch -nomicro -nofpga
code=$(exit_code)
[ "$code" = 0 ] || fail "-batch: exit code '$code', expected 0"
restored "-batch"
screen >"$work/screen"
grep -qF "All updates complete." "$work/screen" || { fail "-batch: the last look is gone"; cat "$work/screen"; }
grep -qF "Current Firmware Version: 2.07" "$work/screen" || fail "-batch: no package version in the last look"

if [ $failures -eq 0 ]; then
  echo "terminal_tmux: all passed"
else
  echo "terminal_tmux: $failures failure(s)"
  exit 1
fi
