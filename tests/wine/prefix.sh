# Sourced by the Wine test scripts: one Wine prefix per build tree, set up once (no crash dialog,
# no window-manager delays), shared safely by tests that run at the same time.
#   bvu_wine_prefix BUILD_DIR
bvu_wine_prefix() {
  local build=$1
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
}
