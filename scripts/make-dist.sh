#!/bin/bash
# Lays out what a user unpacks, from the win32 and win64 builds:
#   panelprep.exe     the launcher (32-bit, what the user starts)
#   panelprep64.exe   its 64-bit edition (started by it under 64-bit Windows)
#   panelup.exe       the updater (32-bit)
#   panelprep.INI     the launcher's settings: the INF file and the updater
#   vcupd.inf/.sys    the update-mode driver; the test bed's stands in for
#                     the real one
#
#   scripts/make-dist.sh [--updater EXE] [OUT]   default build/dist; prints OUT
#
# --updater: another build of panelup in its place (the launcher's tests
# under wine64 without its 32-bit side take the 64-bit twin).
set -euo pipefail
updater=
if [ "${1:-}" = --updater ]; then updater=$(realpath "$2"); shift 2; fi
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/dist}")
w32=${PANEL_WIN32_DIR:-build/win32}
w64=${PANEL_WIN64_DIR:-build/win64}
files=(
  "$w32/launcher/panelprep.exe"
  "$w64/launcher/panelprep64.exe"
  "$w32/updater/panelup.exe"
  launcher/panelprep.INI
  testbed/drivers/vcupd.inf
  "$w64/testbed/vcsetup/vcupd.sys"
)
for f in "${files[@]}"; do
  [ -f "$f" ] || { echo "make-dist: missing $f (build win32 and win64 first)" >&2; exit 1; }
done
rm -rf "$out"
mkdir -p "$out"
cp "${files[@]}" "$out/"
[ -z "$updater" ] || cp "$updater" "$out/panelup.exe"
echo "$out"
