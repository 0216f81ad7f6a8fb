#!/usr/bin/env bash
# Builds the Windows release (preset mingw-release: the programs only) and packs it for users:
# build/mingw-release/BrevicorUpdateUtility-<version>-windows.zip with updater.exe,
# modeswitch.exe, the WinUSB driver package (brevicor-winusb.inf) and INSTALL.txt.
# Refuses programs without their version information or that need DLLs other than Windows' own.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset mingw-release >/dev/null
cmake --build --preset mingw-release -j"$(nproc)"

version=$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
bin=build/mingw-release/bin
zip=$PWD/build/mingw-release/BrevicorUpdateUtility-$version-windows.zip

for exe in "$bin/updater.exe" "$bin/modeswitch.exe"; do
  python3 - "$exe" "$version" <<'CHECK'
import sys
data = open(sys.argv[1], 'rb').read()
for text in ('ProductVersion', 'Brevicor Update Utility', sys.argv[2]):
    if text.encode('utf-16-le') not in data:
        sys.exit('%s: no version information "%s"' % (sys.argv[1], text))
CHECK
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
  for dll in $dlls; do
    case "$dll" in
      kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | advapi32.dll | setupapi.dll | \
        winusb.dll | bcrypt.dll | msvcrt.dll | api-ms-win-*) ;;
      *) echo "$exe needs $dll, which Windows does not bring" >&2; exit 1 ;;
    esac
  done
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$bin/updater.exe" "$bin/modeswitch.exe" packaging/windows/brevicor-winusb.inf "$stage/"
sed "s/@VERSION@/$version/" packaging/windows/INSTALL.txt >"$stage/INSTALL.txt"
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip updater.exe modeswitch.exe \
  brevicor-winusb.inf INSTALL.txt)
echo "$zip"
