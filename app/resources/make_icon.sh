#!/bin/sh
# Draws the updater's icon (a device board with an upward arrow) and writes updater.ico with
# 48, 32 and 16 pixel images. Run by hand after a change; the .ico is committed so that a build
# does not need ImageMagick.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 256x256 xc:none \
    -fill '#1f4e8c' -draw 'roundrectangle 8,8 248,248 40,40' \
    -fill '#2e7d32' -draw 'roundrectangle 40,120 216,216 12,12' \
    -fill '#c8e6c9' -draw 'rectangle 64,140 104,196' -draw 'rectangle 120,140 192,160' \
    -draw 'rectangle 120,176 192,196' \
    -fill white -draw 'polygon 128,28 196,96 152,96 152,128 104,128 104,96 60,96' \
    "$tmp/master.png"
for s in 48 32 16; do
    convert "$tmp/master.png" -resize ${s}x${s} "$tmp/icon$s.png"
done
convert "$tmp/icon48.png" "$tmp/icon32.png" "$tmp/icon16.png" updater.ico
