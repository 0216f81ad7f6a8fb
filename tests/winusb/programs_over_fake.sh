#!/usr/bin/env bash
# The programs through the WinUSB adapter over the emulated device's fake of the Win32 USB
# functions (BVU_USB=winusb-fake:STATE): the whole real adapter code, with the device's state
# checked afterwards. The .exe programs run under Wine (no dialog is shown: every run succeeds);
# native programs run as they are.
#   1. modeswitch -dfu: exit code 0, the device in its bootloader;
#   2. modeswitch -pellin: exit code 0, back in run mode;
#   3. updater -batch -calib against old firmware: exit code 0, the new versions on the device;
#   4. modeswitch -dfu with run mode served by libusbK: exit code 1, the advice naming it;
#   5. the first update on a PC that has WinUSB for run mode only (BVU_WINUSB_FAKE_DRIVERS): the
#      updater warns before the switch, pauses when the bootloader arrives without a driver,
#      goes on once the test has bound WinUSB to it (while the pause is on), and ends with exit
#      code 0 and the new versions; and a bootloader served by libusbK gets the same pause, its
#      driver named.
#   4. with a twin on the next port: updater -list names both by their location paths, and
#      modeswitch -device PATH -dfu switches the twin, not the first unit.
#
#   programs_over_fake.sh UPDATER MODESWITCH BVU_EMULATOR
set -u
updater=$1 modeswitch=$2 emulator_tool=$3

wine_runs=no
case "$modeswitch" in *.exe) wine_runs=yes ;; esac
if [ $wine_runs = yes ]; then
  build=$(cd "$(dirname "$modeswitch")/.." && pwd)
  . "$(dirname "$0")/../wine/prefix.sh"
  bvu_wine_prefix "$build"
  if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
  fi
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

run() {  # run PROGRAM ARGS...: through Wine for an .exe
  case "$1" in
    *.exe) timeout 300 wine "$@" </dev/null 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}" ;;
    *) timeout 300 "$@" </dev/null 2>&1 ;;
  esac
}
field() {  # field STATE NAME: one string field of `show --json`
  run "$emulator_tool" show "$1" --json | sed -n "s/^  \"$2\": \"\\(.*\\)\",\\{0,1\\}\$/\\1/p"
}
program() {  # program STATE PROGRAM ARGS...: exit code in $rc, output in $out
  local state=$1
  shift
  # 0.2: the programs give an arriving device 100 ms nominal before they look for the
  # bootloader instead, which at 0.05 a loaded machine can miss.
  out=$(BVU_USB="winusb-fake:$state" BVU_TIME_SCALE=0.2 BVU_FRONTEND=headless run "$@")
  rc=$?
}
expect() {  # expect STATE NAME=VALUE...
  local state=$1 pair got
  shift
  for pair in "$@"; do
    got=$(field "$state" "${pair%%=*}")
    [ "$got" = "${pair#*=}" ] || fail "${pair%%=*} is '$got', expected '${pair#*=}'"
  done
}

state=$work/device.json
run "$emulator_tool" create "$state" >/dev/null || exit 1

echo "--- modeswitch -dfu"
program "$state" "$modeswitch" -dfu
[ $rc -eq 0 ] || fail "exit code $rc: $out"
expect "$state" guise=bootloader

echo "--- modeswitch -pellin"
program "$state" "$modeswitch" -pellin
[ $rc -eq 0 ] || fail "exit code $rc: $out"
expect "$state" guise=run

echo "--- updater -batch -calib"
run "$emulator_tool" create "$state" --control-version 1.09 --video-version 1.01 \
  --package-version 2.05 >/dev/null
program "$state" "$updater" -batch -calib
[ $rc -eq 0 ] || fail "exit code $rc: $out"
expect "$state" controlVersion=1.12 videoVersion=1.02 packageVersion=2.07 guise=run

# The first update on a PC whose WinUSB binding covers run mode only (as a user who bound what
# Windows showed would have it): the bootloader arrives with what the drivers file names, and the
# test binds WinUSB to it once the updater says that it waits for that.
first_update() {  # first_update BINDING PAUSE_LINE_START
  local binding=$1 pause=$2 drivers=$work/drivers.txt out=$work/first.out
  run "$emulator_tool" create "$state" --control-version 1.09 --video-version 1.01 \
    --package-version 2.05 >/dev/null
  printf '# the bootloader guise only\n2ffd %s\n' "$binding" >"$drivers"
  : >"$out"
  # -json: its lines (one per event, the status lines among them) reach the file as they are
  # written, under Wine too, and a box would not wait for a person.
  (
    export BVU_USB="winusb-fake:$state" BVU_WINUSB_FAKE_DRIVERS=$drivers BVU_TIME_SCALE=0.2 \
      BVU_FRONTEND=headless
    case "$updater" in
      *.exe) timeout 300 wine "$updater" -batch -json </dev/null >"$out" 2>"$work/first.err" ;;
      *) timeout 300 "$updater" -batch -json </dev/null >"$out" 2>"$work/first.err" ;;
    esac
    echo $? >"$work/first.rc"
  ) &
  local updating=$! waited=0
  until grep -qF "\"text\":\"$pause" "$out"; do
    if ! kill -0 $updating 2>/dev/null || [ $waited -ge 1500 ]; then
      fail "$binding: no pause: $(tr -d '\r' <"$out")"
      break
    fi
    sleep 0.2
    waited=$((waited + 1))
  done
  printf '2ffd winusb\n' >"$drivers.new" && mv "$drivers.new" "$drivers"  # whole, at once
  wait $updating
  out_text=$(tr -d '\r' <"$out")
  [ "$(cat "$work/first.rc")" = 0 ] || fail "$binding: exit code $(cat "$work/first.rc"): $out_text"
  expect "$state" controlVersion=1.12 videoVersion=1.02 packageVersion=2.07 guise=run
  # In this order: warned before the switch, paused, told that the driver is there, then on.
  local previous=0 at line
  for line in "This PC shows no driver for the device's bootloader (USB ID 03EB 2FFD) yet." \
    "$pause" "The driver for the device's bootloader is ready." \
    "Updating Control Firmware: Downloading to device."; do
    at=$(printf '%s\n' "$out_text" | grep -n -F -m1 "\"text\":\"$line" | cut -d: -f1)
    if [ -z "$at" ] || [ "$at" -le "$previous" ]; then
      fail "$binding: status '$line' missing or out of order: $out_text"
      break
    fi
    previous=$at
  done
}

echo "--- modeswitch -dfu, run mode served by libusbK"
run "$emulator_tool" create "$state" >/dev/null
printf '3014 libusbK\n' >"$work/libusbK.txt"
out=$(BVU_USB="winusb-fake:$state" BVU_WINUSB_FAKE_DRIVERS=$work/libusbK.txt BVU_TIME_SCALE=0.2 \
  run "$modeswitch" -dfu)
rc=$?
[ $rc -eq 1 ] || fail "exit code $rc: $out"
[ "$out" = "USB communication error.
Waiting for USB device to attach: Timeout expired
The device is connected, but Windows uses the driver libusbK for it (USB ID 03EB 3014), which \
this program cannot use. Replace it with WinUSB: in Zadig, choose the device, then WinUSB, then \
Replace Driver (see INSTALL.txt); then unplug the device and plug it in again." ] ||
  fail "modeswitch said: $out"
expect "$state" guise=run

echo "--- updater -batch, first update: the bootloader without a driver"
first_update none "Windows has no driver for the device's bootloader yet. Bind WinUSB to USB ID 03EB 2FFD"
echo "--- updater -batch, first update: the bootloader served by libusbK"
first_update libusbK "Windows uses the driver libusbK for the device's bootloader"
echo "--- updater -list and modeswitch -device with a twin"
run "$emulator_tool" create "$state" --twin >/dev/null
program "$state" "$updater" -list
[ $rc -eq 0 ] || fail "exit code $rc: $out"
first="PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1): run mode, serial 4711, PCB revision C2.1"
second="PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2): run mode, serial 4711, PCB revision C2.1"
grep -qF "$first" <<<"$out" || fail "no line for the first unit: $out"
grep -qF "$second" <<<"$out" || fail "no line for the twin: $out"
run "$emulator_tool" trace "$state" --clear >/dev/null
program "$state" "$modeswitch" -device "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)" -dfu
[ $rc -eq 0 ] || fail "exit code $rc: $out"
expect "$state" guise=run  # the first unit: untouched
trace=$(run "$emulator_tool" trace "$state")
grep -q " twin:bootloader " <<<"$trace" || fail "the twin did not reach its bootloader: $trace"
grep -qE '^ +[0-9]+ twin:run +20 01 0604' <<<"$trace" || fail "no switch in the trace: $trace"
if run "$emulator_tool" trace "$state" --json | grep -q '"device": 0'; then
  fail "the first unit heard a request"
fi

if [ $failures -eq 0 ]; then
  echo "programs_over_fake: all passed"
else
  echo "programs_over_fake: $failures failure(s)"
  exit 1
fi
