#!/bin/bash
# Lays out what a user unpacks, from the win32 and win64 builds:
#   panelprep.exe     the launcher (32-bit, what the user starts)
#   panelprep64.exe   its 64-bit edition (started by it under 64-bit Windows)
#   panelup.exe       the updater (32-bit)
#   panelprep.INI     the launcher's settings: the INF file and the updater
#   vcupd.inf/.sys    the update-mode driver; the test bed's stands in for
#                     the real one
# and beside the folder OUT, what a release publishes:
#   OUT.zip           the folder, its files in name order with fixed time
#                     stamps and attributes (the same bytes for the same files)
#   SHA256SUMS        the SHA-256 of every file of the folder and of the zip
#                     (check with: cd "$(dirname OUT)" && sha256sum -c SHA256SUMS)
#
#   scripts/make-dist.sh [--updater EXE] [OUT]   default build/dist/panelup; prints OUT
#
# --updater: another build of panelup in its place (the launcher's tests
# under wine64 without its 32-bit side take the 64-bit twin).
set -euo pipefail
updater=
if [ "${1:-}" = --updater ]; then updater=$(realpath "$2"); shift 2; fi
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/dist/panelup}")
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

# The zip: entries in byte order of their names, each dated 1980-01-01 00:00
# (the earliest date a zip holds), mode 0644, deflated at level 9.
name=$(basename "$out")
python3 - "$out" <<'PY'
import os, sys, zipfile
folder = sys.argv[1]
name = os.path.basename(folder)
with zipfile.ZipFile(folder + ".zip", "w") as z:
    for f in sorted(os.listdir(folder)):
        info = zipfile.ZipInfo(name + "/" + f, date_time=(1980, 1, 1, 0, 0, 0))
        info.create_system = 3
        info.external_attr = 0o100644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(folder, f), "rb") as src:
            z.writestr(info, src.read(), compresslevel=9)
PY
(
  cd "$(dirname "$out")"
  find "$name" -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
  sha256sum "$name.zip"
) >"$(dirname "$out")/SHA256SUMS"
echo "$out"
