#!/bin/bash
# Benchmarks: the update run against the virtual controller next to a bare
# ping-pong of the same messages, and 7-bit packing next to memcpy; where
# the kernel runs i386 code (scripts/i386.sh), the USB run and the serial
# link's run once more with the shipped 32-bit build under WoW64.
# Prints figures only; never fails on a timing.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh >/dev/null || exit 1
PANEL_WINESERVER=$(scripts/build-wineserver.sh) || exit 1
export PANEL_WINESERVER
scripts/build.sh native win64 || exit 1
# shellcheck source=scripts/i386.sh
source scripts/i386.sh
bits32=0
why32=
if ! i386_native; then
  why32=$I386_WHY
elif ! i386_wine32; then
  why32="wine32:i386 is missing (scripts/setup.sh installs it)"
else
  bits32=1
  scripts/build.sh win32 || exit 1
fi
# bench NAME [VAR=VALUE...]: the 64-bit benchmark NAME (with the settings),
# and its 32-bit build where 32-bit programs run here (it is built then).
bench() {
  local name=$1
  shift
  env PANEL_VCTL="$vctl" PANEL_TIMEOUT=1200 PANEL_WINE_EXEC_ONCE=1 "$@" scripts/wine-exec.sh "build/win64/bench/$name.exe"
  if [ $bits32 -eq 1 ] && [ -f "build/win32/bench/$name.exe" ]; then
    echo "-- 32-bit (the shipped build, under WoW64)"
    env PANEL_VCTL="$vctl" PANEL_TIMEOUT=1200 PANEL_WINE_EXEC_ONCE=1 scripts/wine-exec.sh "build/win32/bench/$name.exe"
  fi
}
[ $bits32 -eq 1 ] || echo "32-bit builds (USB and serial runs): not measured on this machine: $why32"
echo "== 7-bit packing (native)"
build/native/bench/pack_bench
echo "== update run, 4 MiB system file, virtual controller, no device delay"
export PANEL_WINE_DIR="$root/build/bench-wine"
scripts/wine-env.sh start "$PANEL_WINE_DIR" >/dev/null || exit 1
# shellcheck disable=SC1091
source "$PANEL_WINE_DIR/env"
vctl="$root/build/native/testbed/vctl/vctl"
trap 'scripts/vc-fixture.sh stop "$vctl" >/dev/null 2>&1; scripts/wine-env.sh stop "$PANEL_WINE_DIR"' EXIT
scripts/vc-fixture.sh start "$vctl" >/dev/null || exit 1
bench engine_bench
echo "== update run over the kernel MIDI link, 64 KiB, next to its bound (bare exchange plus pacing)"
bench kmidi_bench
echo "== serial and system MIDI links: whole runs against the 20 ms pauses"
echo "   (32-bit: the serial link only; the test bed's MIDI driver is 64-bit)"
bench links_bench PANEL_VCMIDI="$root/build/win64/testbed/midi/winevcmidi.drv"
