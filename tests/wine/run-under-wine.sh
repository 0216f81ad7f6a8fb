#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine for CTest (the toolchain's emulator).
# One prefix per build tree, set up once (no crash dialog, no window-manager delays).
# A GoogleTest binary passes only when it exits 0 *and* printed its "[  PASSED  ]" line: a
# program that crashed under Wine can still return 0.
set -u
exe=$1; shift
build=$(cd "$(dirname "$exe")/.." && pwd)
. "$(dirname "$0")/prefix.sh"
bvu_wine_prefix "$build"
out=$(mktemp)
wine "$exe" "$@" </dev/null >"$out" 2>&1
rc=$?
tr -d '\r' <"$out"
if [ $rc -eq 0 ] && grep -q '^\[==========\]' "$out" && ! grep -q '^\[  PASSED  \]' "$out"; then
  echo "run-under-wine: no PASSED marker; counting as failure" >&2
  rc=1
fi
rm -f "$out"
exit $rc
