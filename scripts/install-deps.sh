#!/usr/bin/env bash
# Installs everything the project needs on a Debian 12 machine (apt-get; sudo when not root).
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
PACKAGES=(
  build-essential cmake ninja-build pkg-config git clang-format
  libusb-1.0-0-dev libboost-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libssl-dev libncurses-dev
  umockdev libumockdev-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth xdotool imagemagick tmux jq bc
  clang libclang-rt-14-dev
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
