#!/bin/bash
# Draws the program icon (a wrench over a plug) at
# 128 x 128 and writes panelprep.ico with 128, 64, 48, 32 and 16 pixel images.
# Needs ImageMagick. Run from any folder; writes beside this script.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

convert -size 128x128 xc:none \
  -fill '#5a3d1d' -draw 'roundrectangle 0,0 127,127 16,16' \
  -fill '#8a6a2f' -draw 'roundrectangle 6,6 121,121 12,12' \
  -fill '#d9dde2' -stroke '#1a1a1a' -strokewidth 2 -draw 'roundrectangle 40,62 88,112 6,6' \
  -stroke none -fill '#1a1a1a' -draw 'rectangle 50,40 58,62' -draw 'rectangle 70,40 78,62' \
  -fill '#3fd16b' -draw 'circle 64,88 64,98' \
  -fill '#ffffff' -draw 'polygon 60,78 68,78 68,88 74,88 64,100 54,88 60,88' \
  -fill '#ffc21a' -stroke '#6b4a00' -strokewidth 2 \
  -draw 'polygon 14,20 34,12 40,26 30,36 18,34' \
"$tmp/icon128.png"

for s in 64 48 32 16; do
  convert "$tmp/icon128.png" -filter Lanczos -resize ${s}x${s} "$tmp/icon$s.png"
done
convert "$tmp/icon128.png" "$tmp/icon64.png" "$tmp/icon48.png" "$tmp/icon32.png" "$tmp/icon16.png" \
  "$here/panelprep.ico"
