#!/bin/sh
# Runs a test binary under the umockdev preload (the tests build a testbed in their own process
# and talk to it through libusb), with a time limit: a fault in the emulated usbfs shows up as a
# hang, not as a failure. AddressSanitizer refuses to run when the preload comes first unless
# told that this is intended; ThreadSanitizer needs to be told about GLib (tsan.supp).
limit=${BVU_UMOCKDEV_TEST_LIMIT:-120}
here=$(cd "$(dirname "$0")" && pwd)
ASAN_OPTIONS="verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
TSAN_OPTIONS="suppressions=$here/tsan.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
export ASAN_OPTIONS TSAN_OPTIONS
exec timeout --kill-after=5 "$limit" umockdev-wrapper "$@"
