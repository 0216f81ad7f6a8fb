#!/usr/bin/env bash
# The terminal front end as a person uses it: updater runs in a tmux pane (a real terminal)
# against the emulated device; the script reads the screen back with capture-pane, presses
# Update (Tab, Enter) once the dialog says it is ready, waits for "All updates complete.",
# presses Exit (Enter) and checks the exit code, the screen and the device afterwards.
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

state=$work/device.json
"$emulator_tool" create "$state" --control-version 1.09 --video-version 1.01 \
  --package-version 2.05 >/dev/null || { echo "FAIL: cannot create the device"; exit 1; }

tmux -L "$socket" new-session -d -s updater -x 120 -y 40 \
  "env -u BVU_FRONTEND BVU_USB='emulator:$state' BVU_TIME_SCALE=$scale '$updater' -calib; \
   echo \$? > '$work/exit'; sleep 60"

screen() { tmux -L "$socket" capture-pane -p -t updater; }
# Waits until the screen shows the text (up to 60 s); the screen is left in $work/screen.
# wait_for -E PATTERN waits for an extended regular expression instead.
wait_for() {
  local how=-F
  [ "$1" = -E ] && { how=-E; shift; }
  for _ in $(seq 1 600); do
    screen >"$work/screen" 2>/dev/null
    grep -q "$how" -- "$1" "$work/screen" && return 0
    sleep 0.1
  done
  return 1
}

if ! wait_for "Ready to perform updates."; then
  fail "the dialog never became ready"; cat "$work/screen"; exit 1
fi
grep -qF "Brevicor Update Utility 2.07" "$work/screen" || fail "no title on the screen"
grep -qF "3014-004711" "$work/screen" || fail "no serial number on the screen"

tmux -L "$socket" send-keys -t updater Tab Enter  # from Exit to Update, and press it
wait_for "Updating " || fail "the update did not start"
if ! wait_for "All updates complete."; then
  fail "the update did not complete"; cat "$work/screen"; exit 1
fi
# The package version is written to the device, and then shown, once the worker that set the
# status line has ended.
wait_for -E "Current Firmware Version: +2\.07" || fail "package version not shown"
[ -n "$screen_out" ] && cp "$work/screen" "$screen_out"
grep -qE "Current Version: +1\.02 +Update Version: +1\.02" "$work/screen" ||
  fail "video version not refreshed"

tmux -L "$socket" send-keys -t updater Enter  # focus is back on Exit
for _ in $(seq 1 100); do [ -s "$work/exit" ] && break; sleep 0.1; done
code=$(cat "$work/exit" 2>/dev/null)
[ "$code" = 0 ] || fail "exit code '$code', expected 0"

json=$("$emulator_tool" show "$state" --json)
for pair in controlVersion=1.12 videoVersion=1.02 packageVersion=2.07; do
  echo "$json" | grep -qF "\"${pair%%=*}\": \"${pair#*=}\"" || fail "device ${pair%%=*} is not ${pair#*=}"
done

if [ $failures -eq 0 ]; then
  echo "terminal_tmux: all passed"
else
  echo "terminal_tmux: $failures failure(s)"
  exit 1
fi
