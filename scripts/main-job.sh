#!/usr/bin/env bash
# The main job, on a fresh Debian 12 machine: installs what is missing, builds the updater and
# the device emulator (preset linux), creates an emulated device that holds old firmware, updates
# it with `updater -batch -calib` on a compressed clock, and shows the device before and after.
#
#   scripts/main-job.sh [extra updater options...]
#
# BVU_TIME_SCALE (default 0.05) compresses every wait of the updater and the device alike; 1 is
# real time (about a minute and a half). In a terminal the updater shows its dialog there;
# otherwise each status line is written to standard error as it changes.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf '\n=== %s\n' "$*"; }

say "Installing dependencies"
scripts/install-deps.sh

say "Building (preset linux)"
cmake --preset linux >/dev/null
cmake --build --preset linux --target updater bvu-emulator -j"$(nproc)"
bin=build/linux/bin

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
state=$work/device.json

say "Creating an emulated device with control firmware 1.09 and video firmware 1.01"
"$bin/bvu-emulator" create "$state" --control-version 1.09 --video-version 1.01
"$bin/bvu-emulator" show "$state"

say "Updating: updater -batch -calib $*"
started=$(date +%s)
status=0
BVU_USB="emulator:$state" BVU_TIME_SCALE="${BVU_TIME_SCALE:-0.05}" \
  "$bin/updater" -batch -calib "$@" || status=$?
echo "updater ended with exit code $status after $(( $(date +%s) - started )) s"

say "The device afterwards"
"$bin/bvu-emulator" show "$state"
exit $status
