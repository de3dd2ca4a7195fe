#!/bin/bash
# Draws the program icon (a controller face with a download arrow) at
# 128 x 128 and writes panelup.ico with 128, 64, 48, 32 and 16 pixel images.
# Needs ImageMagick. Run from any folder; writes beside this script.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

convert -size 128x128 xc:none \
  -fill '#1d4f7c' -draw 'roundrectangle 0,0 127,127 16,16' \
  -fill '#2f6fa6' -draw 'roundrectangle 6,6 121,121 12,12' \
  -fill '#d9dde2' -stroke '#0d2236' -strokewidth 2 -draw 'roundrectangle 14,66 113,112 6,6' \
  -stroke none -fill '#ffffff' -draw 'rectangle 22,88 105,106' \
  -fill '#1a1a1a' \
  -draw 'rectangle 30,88 34,99' -draw 'rectangle 42,88 46,99' \
  -draw 'rectangle 62,88 66,99' -draw 'rectangle 74,88 78,99' -draw 'rectangle 86,88 90,99' \
  -stroke '#1a1a1a' -strokewidth 1 \
  -draw 'line 38,100 38,106' -draw 'line 54,100 54,106' -draw 'line 70,100 70,106' \
  -draw 'line 82,100 82,106' -draw 'line 94,100 94,106' \
  -stroke none -fill '#3fd16b' -draw 'rectangle 22,72 60,82' \
  -fill '#ff4a3d' -draw 'circle 98,77 98,81' \
  -fill '#ffc21a' -stroke '#6b4a00' -strokewidth 2 \
  -draw 'polygon 54,12 74,12 74,36 90,36 64,60 38,36 54,36' \
  "$tmp/icon128.png"

for s in 64 48 32 16; do
  convert "$tmp/icon128.png" -filter Lanczos -resize ${s}x${s} "$tmp/icon$s.png"
done
convert "$tmp/icon128.png" "$tmp/icon64.png" "$tmp/icon48.png" "$tmp/icon32.png" "$tmp/icon16.png" \
  "$here/panelup.ico"
