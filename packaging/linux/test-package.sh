#!/usr/bin/env bash
# Installs the Debian package on this machine, tries the installed programs and the place of the
# udev rule, and removes the package again (also when a check fails). Needs root (or sudo).
#
#   packaging/linux/test-package.sh build/linux-release/brevicor-update-utility_2.07_amd64.deb
set -u
deb=$(readlink -f "$1")
name=brevicor-update-utility
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

remove() {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get remove -y -qq --purge "$name" >/dev/null
}
trap remove EXIT

echo "--- installing $(basename "$deb")"
if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --reinstall "$deb"; then
  echo "FAIL: apt-get install $deb"
  exit 1
fi
dpkg-query -W -f='${Package} ${Version} depends on: ${Depends}\n' "$name"

echo "--- the installed programs"
out=$(/usr/bin/updater --version 2>&1); rc=$?
echo "$out"
[ $rc -eq 0 ] || fail "updater --version: exit code $rc"
[ "$(echo "$out" | head -1)" = "updater 2.07 (Brevicor Update Utility)" ] ||
  fail "updater --version: first line '$(echo "$out" | head -1)'"
out=$(/usr/bin/modeswitch --help 2>&1); rc=$?
[ $rc -eq 0 ] || fail "modeswitch --help: exit code $rc"
case "$out" in
  "Usage: modeswitch "*) ;;
  *) fail "modeswitch --help: '$(echo "$out" | head -1)'" ;;
esac

echo "--- the rule and the manual pages"
for f in /usr/lib/udev/rules.d/60-brevicor.rules /usr/share/man/man1/updater.1.gz \
         /usr/share/man/man1/modeswitch.1.gz; do
  [ -f "$f" ] || fail "$f is missing"
done
grep -q 'ATTR{idProduct}=="2ffd", TAG+="uaccess"' /usr/lib/udev/rules.d/60-brevicor.rules ||
  fail "the rule gives no access to the bootloader"

echo "--- removing"
trap - EXIT
remove || fail "apt-get remove"
for f in /usr/bin/updater /usr/bin/modeswitch /usr/lib/udev/rules.d/60-brevicor.rules; do
  [ ! -e "$f" ] || fail "$f is still there after the removal"
done

if [ $failures -eq 0 ]; then
  echo "test-package: all passed"
else
  echo "test-package: $failures failure(s)"
  exit 1
fi
