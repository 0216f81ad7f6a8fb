#!/usr/bin/env bash
# modeswitch through real libusb: the emulated device served by a umockdev testbed
# (bvu-emulator serve), no BVU_USB. -dfu must leave the device in its bootloader, -tarsel back
# in run mode, each with exit code 0 and nothing on standard error.
# Usage: serve_test.sh BVU_EMULATOR MODESWITCH
set -u
emulator=$1 modeswitch=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
state=$dir/state.json
unset BVU_USB
# ThreadSanitizer builds: GLib's and umockdev's own synchronisation is invisible to it.
supp=$(cd "$(dirname "$0")/../libusb" 2>/dev/null && pwd)/tsan.supp
if [ -f "$supp" ]; then
  export TSAN_OPTIONS="suppressions=$supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
fi
export BVU_TIME_SCALE=0.1
failures=0

guise() { "$emulator" show "$state" --json | sed -n 's/^ *"guise": *"\([a-z]*\)".*/\1/p'; }

check() {  # check OPTION EXPECTED_GUISE
  local err rc
  err=$(timeout 60 "$emulator" serve "$state" -- "$modeswitch" "$1" 2>&1 >/dev/null)
  rc=$?
  if [ "$rc" -ne 0 ] || [ -n "$err" ] || [ "$(guise)" != "$2" ]; then
    echo "FAIL: modeswitch $1: exit $rc, guise '$(guise)' (expected $2), stderr: $err"
    failures=$((failures + 1))
  else
    echo "ok: modeswitch $1 -> $2"
  fi
}

"$emulator" create "$state" >/dev/null || exit 1
check -dfu bootloader
check -tarsel run
# The bootloader was asked for its start-up bit, then saw the start-application block and the
# empty download that carries it out.
if ! "$emulator" trace "$state" | grep -q ' 21 01 00F. .* 0403010000 '; then
  echo "FAIL: no start-application block in the trace"
  failures=$((failures + 1))
fi
exit $((failures > 0))
