#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine for CTest (the toolchain's emulator).
# One prefix per build tree, set up once (no crash dialog, no window-manager delays).
# A GoogleTest binary passes only when it exits 0 *and* printed its "[  PASSED  ]" line: a
# program that crashed under Wine can still return 0.
set -u
exe=$1; shift
build=$(cd "$(dirname "$exe")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.bvu-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.bvu-ready" ]; then
      wineboot -i >/dev/null 2>&1
      wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
      wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
      wineserver -w
      touch "$WINEPREFIX/.bvu-ready"
    fi
  ) 9>"$build/.wineprefix.lock"
fi
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
