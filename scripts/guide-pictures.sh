#!/bin/bash
# The pictures of the user's guide (docs/updating.md), made from the
# screenshots of real runs, never by hand: the launcher's boxes and the
# updater's window from the main job (build/main-job/), and the launcher's
# Japanese boxes, in one picture, from the whole sequence on a Japanese
# system in the launcher's language scenario (build/win64/artefacts/launcher/).
# Each screenshot is cut to the windows on the screen, scaled and reduced to a
# small palette; the results go to docs/pictures/.
#
#   scripts/guide-pictures.sh         reuse the screenshots that are there; run
#                                     the main job or the scenario only when
#                                     theirs are missing
#   scripts/guide-pictures.sh --run   run both afresh first
#
# Settings: PANEL_GUIDE_SCALE (default 80%), PANEL_GUIDE_COLORS (default 32).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)

job=$root/build/main-job
art=$root/build/win64/artefacts/launcher
wine_dir=$root/build/guide-wine
pics=$root/docs/pictures
scale=${PANEL_GUIDE_SCALE:-80%}
colors=${PANEL_GUIDE_COLORS:-32}

# Main job screenshot -> picture.
job_shots=(01-plug-in:plug-in 02-driver-notice:driver-notice 03-updater:updater 04-during:updating
  05-completed:completed 06-updater-ended:updater-ended 07-uninstalled:uninstalled)
# The Japanese boxes of the whole sequence, in the order they come.
ja_boxes=(M6 M7 M10 M11)
ja_prefix=launcher-language-

die() {
  echo "guide-pictures: $*" >&2
  exit 1
}

wine_started=0
cleanup() {
  [ $wine_started -eq 1 ] && scripts/wine-env.sh stop "$wine_dir" >/dev/null 2>&1
  rm -rf "${tmp:-}"
}
trap cleanup EXIT
tmp=$(mktemp -d) || die "no temporary folder"

run=0
case "${1:-}" in
--run) run=1 ;;
"") ;;
*) die "usage: scripts/guide-pictures.sh [--run]" ;;
esac

job_complete() {
  local pair
  for pair in "${job_shots[@]}"; do [ -f "$job/${pair%%:*}.png" ] || return 1; done
}

# The last screenshot of box KEY in the language scenario: the whole
# sequence on a Japanese system is the scenario's last part.
ja_shot() {
  find "$art" -maxdepth 1 -name "${ja_prefix}[0-9]*-$1.png" 2>/dev/null | sort -V | tail -n 1
}

ja_complete() {
  local key
  for key in "${ja_boxes[@]}"; do [ -n "$(ja_shot "$key")" ] || return 1; done
}

if [ $run -eq 1 ] || ! job_complete; then
  echo "== the main job"
  scripts/main-job.sh || die "the main job failed; no pictures made"
fi
job_complete || die "the main job left no screenshots in $job"

if [ $run -eq 1 ] || ! ja_complete; then
  echo "== the launcher's language scenario (its last part runs on a Japanese system)"
  PANEL_WINESERVER=$(scripts/build-wineserver.sh) || die "the patched wineserver could not be built"
  export PANEL_WINESERVER
  rm -f "$art/$ja_prefix"*.png
  scripts/wine-env.sh start "$wine_dir" >"$tmp/wine-env.log" 2>&1 || { cat "$tmp/wine-env.log"; die "wine environment did not start"; }
  wine_started=1
  # shellcheck disable=SC1091
  source "$wine_dir/env"
  ctest --test-dir build/win64 -R '^launcher_language$' --output-on-failure || die "the language scenario failed"
  scripts/wine-env.sh stop "$wine_dir" >/dev/null 2>&1
  wine_started=0
fi
ja_complete || die "the language scenario left no screenshots of ${ja_boxes[*]} in $art"

# cut SHOT OUT: the windows on the screen (everything that is not the black
# root window), one pixel wider and higher so that the frames' dark bottom and
# right edges stay.
cut() {
  local geometry w h x y
  geometry=$(convert "$1" -trim -format '%w %h %X %Y' info: 2>/dev/null) || die "cannot read $1"
  read -r w h x y <<<"$geometry"
  # A message box is well over this size; less means no window was shown.
  [ "$w" -ge 100 ] && [ "$h" -ge 50 ] || die "no window on $1"
  convert "$1" -crop "$((w + 1))x$((h + 1))$x$y" +repage "$2" || die "cannot cut $1"
}

# small IN OUT: scaled and reduced to a palette, without metadata.
small() {
  convert "$1" -resize "$scale" -dither None -colors "$colors" -strip "PNG8:$2" || die "cannot write $2"
}

mkdir -p "$pics"
for pair in "${job_shots[@]}"; do
  cut "$job/${pair%%:*}.png" "$tmp/cut.png"
  small "$tmp/cut.png" "$pics/${pair#*:}.png"
done

parts=()
for key in "${ja_boxes[@]}"; do
  cut "$(ja_shot "$key")" "$tmp/ja-$key.png"
  parts+=("$tmp/ja-$key.png")
done
convert "${parts[@]}" -bordercolor white -border 6 -background white -gravity west -append "$tmp/japanese.png" ||
  die "cannot put the Japanese boxes together"
small "$tmp/japanese.png" "$pics/japanese.png"

for f in "$pics"/*.png; do
  printf '  %-24s %s, %s bytes\n' "$(basename "$f")" "$(identify -format '%wx%h' "$f")" "$(stat -c %s "$f")"
done
