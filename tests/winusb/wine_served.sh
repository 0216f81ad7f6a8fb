#!/usr/bin/env bash
# The Windows programs on the system's own Win32 USB functions, under Wine, against the emulated
# device served by `bvu-emulator serve`: Wine's wineusb.sys sees the device through the umockdev
# testbed (the prefix's wineserver is started inside it) but binds no driver and registers no
# interface, as on a PC without a WinUSB driver for it. The programs must enumerate the node,
# find no WinUSB binding, call no WinUSB function (Wine's are stubs that end the process) and
# say what to do:
#   1. modeswitch.exe -dfu: exit code 1, its line, the error's own text and then the no-driver
#      advice;
#   2. updater.exe -batch: exit code 1 after the inspection's error box (answered here), and the
#      advice on standard error.
# The device stays in run mode, untouched by either.
#
#   wine_served.sh BVU_EMULATOR MODESWITCH_EXE UPDATER_EXE
# BVU_EMULATOR is the native tool (serve needs umockdev). Runs itself under xvfb-run without a
# DISPLAY. Uses a prefix of its own next to the programs, and stops only that prefix's server.
set -u
emulator=$1 modeswitch=$2 updater=$3

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

build=$(cd "$(dirname "$modeswitch")/.." && pwd)
export WINEPREFIX=$build/wineprefix-served
. "$(dirname "$0")/../wine/prefix.sh"
bvu_wine_prefix "$build"
wineserver -k 2>/dev/null  # it must start again inside the testbed
unset BVU_USB
advice="The device is connected, but Windows has no WinUSB driver for it. Install the driver that comes with this program (brevicor-winusb.inf, see INSTALL.txt), then unplug the device and plug it in again."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

"$emulator" create "$work/state.json" >/dev/null || exit 1

# Inside the testbed: wait until Wine has the device node, run both programs (answering the
# updater's error box), then stop the prefix's server there.
cat >"$work/inside.sh" <<'INSIDE'
work=$1 modeswitch=$2 updater=$3
. "$4"
for _ in $(seq 1 100); do
  wine reg query 'HKLM\System\CurrentControlSet\Enum\USB' 2>/dev/null | tr -d '\r' |
    grep -qi 'VID_03EB&PID_3014' && break
  sleep 0.2
done
export BVU_TIME_SCALE=0.2
wine "$modeswitch" -dfu </dev/null >/dev/null 2>"$work/modeswitch.err"
echo $? >"$work/modeswitch.rc"
bvu_answer_window 'Error \(Brevicor Update Utility\)' &
answerer=$!
wine "$updater" -batch </dev/null >/dev/null 2>"$work/updater.err"
echo $? >"$work/updater.rc"
wait $answerer && touch "$work/answered"
wineserver -k
INSIDE
timeout 300 "$emulator" serve "$work/state.json" -- bash "$work/inside.sh" "$work" "$modeswitch" \
  "$updater" "$(cd "$(dirname "$0")/../wine" && pwd)/answer_window.sh" || fail "serve ended with $?"

echo "--- modeswitch.exe -dfu"
[ "$(cat "$work/modeswitch.rc" 2>/dev/null)" = 1 ] ||
  fail "exit code $(cat "$work/modeswitch.rc" 2>/dev/null), expected 1"
err=$(tr -d '\r' <"$work/modeswitch.err" 2>/dev/null)
[ "$err" = "USB communication error.
Waiting for USB device to attach: Timeout expired
$advice" ] || fail "standard error: $err"

echo "--- updater.exe -batch"
[ -f "$work/answered" ] || fail "no inspection error box appeared"
[ "$(cat "$work/updater.rc" 2>/dev/null)" = 1 ] ||
  fail "exit code $(cat "$work/updater.rc" 2>/dev/null), expected 1"
tr -d '\r' <"$work/updater.err" 2>/dev/null | grep -qxF "$advice" ||
  fail "no advice on standard error: $(cat "$work/updater.err" 2>/dev/null)"

guise=$("$emulator" show "$work/state.json" --json | sed -n 's/^ *"guise": *"\([a-z]*\)".*/\1/p')
[ "$guise" = run ] || fail "guise '$guise' afterwards, expected run"

if [ $failures -eq 0 ]; then
  echo "wine_served: all passed"
else
  echo "wine_served: $failures failure(s)"
  exit 1
fi
