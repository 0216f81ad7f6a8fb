#!/usr/bin/env bash
# updater.exe under Wine against the emulated device, on a virtual display:
#   1. a whole `-batch -calib` run: exit code 0 and the device holding the new versions afterwards;
#   2. a run whose video download fails: the "Update Error" box is shown and answered (Return),
#      and the exit code is 1 (batch mode reports the failure);
#   3. `-dfu`: no dialog, the device in its bootloader afterwards;
#   4. `--version` to a redirected standard output, and `--help` started without one (a box
#      shows the text): exit code 0, no request to the device;
#   5. `-batch -json`: JSON lines with CRLF ends on standard output; with a failing video
#      download, the error event and exit code 1 without any box waiting for a person;
#   6. a control firmware update cut off right after the chip erase (the device pulled off the
#      bus): the box is answered, the device is power-cycled and comes up in its bootloader, and
#      one more `-batch -calib` leaves it exactly as run 1 left its device.
# Exit codes are only trusted next to a positive marker (the device's state, a code other than 0).
#
#   wine_updater.sh UPDATER_EXE BVU_EMULATOR [SCREENSHOT.png]
# BVU_EMULATOR may be the native tool or bvu-emulator.exe (then run under Wine as well). With a
# screenshot path, the display is captured while the first run shows its dialog.
# Without DISPLAY the script runs itself under xvfb-run.
set -u
updater=$1
emulator_tool=$2
shot=${3:-}

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

build=$(cd "$(dirname "$updater")/.." && pwd)
. "$(dirname "$0")/../wine/prefix.sh"
. "$(dirname "$0")/../wine/answer_window.sh"
bvu_wine_prefix "$build"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

tool() {
  case "$emulator_tool" in
    *.exe) wine "$emulator_tool" "$@" </dev/null 2>&1 | tr -d '\r' ;;
    *) "$emulator_tool" "$@" 2>&1 ;;
  esac
}
field() {  # field STATE NAME: one string field of `show --json`
  tool show "$1" --json | sed -n "s/^  \"$2\": \"\\(.*\\)\",\\{0,1\\}\$/\\1/p"
}
run_updater() {  # run_updater STATE SCALE ARGS...: exit code in $rc, output in $work/out.txt
  local state=$1 scale=$2
  shift 2
  BVU_USB="emulator:$state" BVU_TIME_SCALE=$scale \
    timeout 300 wine "$updater" "$@" </dev/null >"$work/out.txt" 2>&1
  rc=$?
  tr -d '\r' <"$work/out.txt" >"$work/out.clean"
}
echo "--- 1: -batch -calib against a device with old firmware"
state1=$work/device1.json
tool create "$state1" --control-version 1.09 --video-version 1.01 --package-version 2.05 >/dev/null
scale=0.05
[ -n "$shot" ] && scale=0.2  # slow enough to catch the dialog mid-run
if [ -n "$shot" ]; then
  (
    for _ in $(seq 1 600); do
      xdotool search --name '^Brevicor Update Utility 2.07$' >/dev/null 2>&1 && break
      sleep 0.1
    done
    sleep 4
    import -window root "$shot"
  ) &
  shooter=$!
fi
run_updater "$state1" $scale -batch -calib
[ -n "$shot" ] && wait $shooter
[ $rc -eq 0 ] || fail "exit code $rc, expected 0"
for pair in controlVersion=1.12 videoVersion=1.02 packageVersion=2.07 guise=run; do
  got=$(field "$state1" "${pair%%=*}")
  [ "$got" = "${pair#*=}" ] || fail "${pair%%=*} is '$got', expected '${pair#*=}'"
done
[ -s "$work/out.clean" ] && { echo "unexpected output:"; cat "$work/out.clean"; failures=$((failures + 1)); }

echo "--- 2: -batch with the video download failing"
state2=$work/device2.json
tool create "$state2" >/dev/null
tool fault "$state2" stall --match bulk:0x04 >/dev/null
bvu_answer_window "Update Error" &
answerer=$!
run_updater "$state2" 0.05 -batch -nomicro
wait $answerer || fail "no Update Error box appeared"
[ $rc -eq 1 ] || fail "exit code $rc, expected 1 after a failed batch run"
got=$(field "$state2" packageVersion)
[ "$got" = "2.05" ] || fail "packageVersion is '$got' after a failed run, expected 2.05"

echo "--- 3: -dfu"
state3=$work/device3.json
tool create "$state3" >/dev/null
run_updater "$state3" 0.05 -dfu -batch
[ $rc -eq 0 ] || fail "exit code $rc, expected 0"
sleep 0.2
got=$(field "$state3" guise)
arriving=$(field "$state3" arriving)
[ "$got" = bootloader ] || [ "$arriving" = bootloader ] || fail "guise '$got' after -dfu"

echo "--- 4: --version and --help"
state4=$work/device4.json
tool create "$state4" >/dev/null
run_updater "$state4" 0.05 --version
[ $rc -eq 0 ] || fail "--version: exit code $rc"
[ "$(head -1 "$work/out.clean")" = "updater 2.07 (Brevicor Update Utility)" ] ||
  fail "--version wrote: $(cat "$work/out.clean")"
grep -q $'\r$' "$work/out.txt" || fail "--version: no CRLF line ends"
# Started without standard handles, as from a shortcut: the text comes in a box.
bvu_answer_window "Brevicor Update Utility" &
answerer=$!
BVU_USB="emulator:$state4" timeout 120 wine start /wait /unix "$(readlink -f "$updater")" --help \
  </dev/null >/dev/null 2>&1
rc=$?
wait $answerer || fail "--help without standard output showed no box"
[ $rc -eq 0 ] || fail "--help: exit code $rc"
[ "$(tool trace "$state4" --json | tr -d '[:space:]')" = "[]" ] || fail "--help or --version used USB"

echo "--- 5: -batch -json"
state5=$work/device5.json
# The carried firmware already: a run that writes none still gives it the package version.
tool create "$state5" --control-version 1.12 --video-version 1.02 >/dev/null
run_json() {  # like run_updater, standard output alone in $work/json.txt
  BVU_USB="emulator:$state5" BVU_TIME_SCALE=0.05 \
    timeout 300 wine "$updater" -batch -json "$@" </dev/null >"$work/json.txt" 2>"$work/err.txt"
  rc=$?
  tr -d '\r' <"$work/json.txt" >"$work/json.clean"
}
run_json -nomicro -nofpga
[ $rc -eq 0 ] || fail "-json: exit code $rc"
lines=$(wc -l <"$work/json.txt")
[ "$lines" -ge 5 ] || fail "-json: only $lines lines"
[ "$(grep -c $'\r$' "$work/json.txt")" = "$lines" ] || fail "-json: not every line ends in CRLF"
grep -qv '^{"event":"[a-z]*",.*}$' "$work/json.clean" && fail "-json: a line that is no event"
tail -1 "$work/json.clean" | grep -q '^{"event":"result","success":true,"before":{"package":"2.05"' ||
  fail "-json: last line $(tail -1 "$work/json.clean")"
[ "$(field "$state5" packageVersion)" = "2.07" ] || fail "-json: the package version not written"
tool fault "$state5" stall --match bulk:0x04 >/dev/null
run_json -nomicro
[ $rc -eq 1 ] || fail "-json with a failing download: exit code $rc"
grep -q '^{"event":"error","message":"The update failed due to a USB communication error.*"detail":"USB communication error: Could not send BVR_DNLOAD to device: HC status: PID stall"}$' \
  "$work/json.clean" || fail "-json: no error event with the driver status"
tail -1 "$work/json.clean" | grep -q '^{"event":"result","success":false' ||
  fail "-json: last line $(tail -1 "$work/json.clean")"

echo "--- 6: an interrupted control firmware update, recovered by one more run"
state6=$work/device4.json
tool create "$state6" --control-version 1.09 --video-version 1.01 --package-version 2.05 >/dev/null
# Bootloader request 11 is the status poll after the chip erase.
tool fault "$state6" unplug --guise bootloader --after 11 >/dev/null
bvu_answer_window "Update Error" &
answerer=$!
run_updater "$state6" 0.05 -batch -calib
wait $answerer || fail "no Update Error box after the interruption"
[ $rc -eq 1 ] || fail "exit code $rc after the interrupted run, expected 1"
tool unplug "$state6" >/dev/null
tool plug "$state6" >/dev/null
got=$(field "$state6" guise)
[ "$got" = bootloader ] || fail "guise '$got' after the power cycle, expected bootloader"
run_updater "$state6" 0.05 -batch -calib
[ $rc -eq 0 ] || fail "exit code $rc after the recovery, expected 0"
for name in guise controlVersion videoVersion packageVersion controlFlashSha256 videoFlashSha256 \
            memory; do
  [ "$(field "$state6" $name)" = "$(field "$state1" $name)" ] ||
    fail "$name after the recovery differs from a clean update's"
done

if [ $failures -eq 0 ]; then
  echo "wine_updater: all passed"
else
  echo "wine_updater: $failures failure(s)"
  exit 1
fi
