#!/usr/bin/env bash
# The programs on Linux against a device whose node this user may not open (the emulated
# device served through umockdev, its node made unreadable; as root, without the capabilities
# that override file permissions). They must tell why, in their own words, and leave the
# device alone:
#   1. modeswitch -dfu: exit code 1, its line, then the advice; with -silent nothing at all;
#   2. updater -batch: exit code 1, the advice under the inspection's error text and as a line
#      of its own on standard error.
#
#   no_permission.sh BVU_EMULATOR MODESWITCH UPDATER
set -u
emulator=$1 modeswitch=$2 updater=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
state=$dir/state.json
unset BVU_USB
supp=$(cd "$(dirname "$0")" && pwd)/tsan.supp
export TSAN_OPTIONS="suppressions=$supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
export BVU_TIME_SCALE=0.05 BVU_FRONTEND=headless
advice="The device is connected, but this user may not open it. Install the udev rule that comes with the package, which lets users open the device, then unplug the device and plug it in again."
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Runs a program inside the testbed with the device node unreadable: exit code in $rc,
# standard error in $err.
locked() {
  local drop=()
  [ "$(id -u)" -eq 0 ] && drop=(setpriv --bounding-set -dac_override,-dac_read_search
                                --inh-caps -dac_override,-dac_read_search)
  err=$(timeout 120 "$emulator" serve "$state" -- sh -c \
    'chmod 000 "$UMOCKDEV_DIR"/dev/bus/usb/*/*; exec "$@"' sh "${drop[@]}" "$@" \
    2>&1 >/dev/null </dev/null)
  rc=$?
}

"$emulator" create "$state" >/dev/null || exit 1

echo "--- modeswitch -dfu"
locked "$modeswitch" -dfu
[ $rc -eq 1 ] || fail "exit code $rc, expected 1"
[ "$err" = "USB communication error.
Waiting for USB device to attach: Timeout expired
$advice" ] || fail "standard error: $err"
locked "$modeswitch" -dfu -silent
[ $rc -eq 1 ] && [ -z "$err" ] || fail "-silent: exit code $rc, standard error: $err"

echo "--- updater -batch"
locked "$updater" -batch
[ $rc -eq 1 ] || fail "exit code $rc, expected 1"
box="box: Error (Brevicor Update Utility): Could not find the device using USB\\n(Check that the device is properly connected)\\n\\n$advice"
grep -qxF "$box" <<<"$err" || fail "no box with the advice: $err"
grep -qxF "$advice" <<<"$err" || fail "the advice is not a line of its own: $err"

requests=$("$emulator" show "$state" --json | sed -n 's/^ *"requests": *\([0-9]*\).*/\1/p')
guise=$("$emulator" show "$state" --json | sed -n 's/^ *"guise": *"\([a-z]*\)".*/\1/p')
[ "$requests" = 0 ] && [ "$guise" = run ] || fail "the device was touched: $requests requests, guise $guise"

if [ $failures -eq 0 ]; then
  echo "no_permission: all passed"
else
  echo "no_permission: $failures failure(s)"
  exit 1
fi
