#!/bin/bash
# The release bytes depend on the sources alone: builds the shipped programs
# once more, from a copy of the sources in another folder into build folders
# elsewhere (other paths, other lengths), and compares them byte for byte
# with those of build/win32 and build/win64 (brought up to date first);
# then lays out the release from each (scripts/make-dist.sh) and compares
# their SHA256SUMS, which also name the zip's.
#
#   scripts/check-release-bytes.sh [WORKDIR]   default build/release-bytes
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
work=$(realpath -m "${1:-build/release-bytes}")
copy=$work/another/source/folder
# configuration, target, program below the build folder
shipped=(
  "win32 panelup updater/panelup.exe"
  "win32 panelprep launcher/panelprep.exe"
  "win64 panelprep64 launcher/panelprep64.exe"
  "win64 vc_drivers testbed/vcsetup/vcupd.sys"
)

rm -rf "$work"
mkdir -p "$copy"
git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$copy" || { echo "cannot copy the sources"; exit 1; }

status=0
for cfg in win32 win64; do
  targets=()
  for s in "${shipped[@]}"; do
    read -r c t _ <<<"$s"
    [ "$c" = "$cfg" ] && targets+=("$t")
  done
  log=$work/$cfg.log
  cmake --build "build/$cfg" --target "${targets[@]}" >"$log" 2>&1 || { tail -30 "$log"; echo "build/$cfg failed"; exit 1; }
  (cd "$copy" && cmake --preset "$cfg" -B "$work/b-$cfg" && cmake --build "$work/b-$cfg" --target "${targets[@]}") >>"$log" 2>&1 ||
    { tail -30 "$log"; echo "the second $cfg build failed"; exit 1; }
done
for s in "${shipped[@]}"; do
  read -r cfg _ exe <<<"$s"
  if cmp -s "build/$cfg/$exe" "$work/b-$cfg/$exe"; then
    echo "same bytes: $cfg/$exe ($(sha256sum <"build/$cfg/$exe" | cut -c1-16))"
  else
    echo "DIFFERENT: $cfg/$exe, first differences (offset, bytes in octal):"
    cmp -l "build/$cfg/$exe" "$work/b-$cfg/$exe" | head -5
    status=1
  fi
done
bash scripts/make-dist.sh "$work/here/panelup" >/dev/null &&
  (cd "$copy" && PANEL_WIN32_DIR="$work/b-win32" PANEL_WIN64_DIR="$work/b-win64" bash scripts/make-dist.sh "$work/there/panelup" >/dev/null) ||
  { echo "make-dist failed"; exit 1; }
if cmp -s "$work/here/SHA256SUMS" "$work/there/SHA256SUMS"; then
  echo "same release: $(grep 'panelup.zip' "$work/here/SHA256SUMS")"
else
  echo "DIFFERENT releases:"
  diff "$work/here/SHA256SUMS" "$work/there/SHA256SUMS"
  status=1
fi
[ $status -eq 0 ] && rm -rf "$work"
exit $status
