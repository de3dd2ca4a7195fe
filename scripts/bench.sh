#!/bin/bash
# Benchmarks: the update run against the virtual controller next to a bare
# ping-pong of the same messages, and 7-bit packing next to memcpy.
# Prints figures only; never fails on a timing.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh >/dev/null || exit 1
PANEL_WINESERVER=$(scripts/build-wineserver.sh) || exit 1
export PANEL_WINESERVER
scripts/build.sh native win64 || exit 1
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
PANEL_VCTL="$vctl" PANEL_TIMEOUT=1200 PANEL_WINE_EXEC_ONCE=1 scripts/wine-exec.sh build/win64/bench/engine_bench.exe
echo "== update run over the kernel MIDI link, 64 KiB, next to its bound (bare exchange plus pacing)"
PANEL_VCTL="$vctl" PANEL_TIMEOUT=1200 PANEL_WINE_EXEC_ONCE=1 scripts/wine-exec.sh build/win64/bench/kmidi_bench.exe
echo "== serial and system MIDI links: whole runs against the 20 ms pauses"
PANEL_VCTL="$vctl" PANEL_VCMIDI="$root/build/win64/testbed/midi/winevcmidi.drv" PANEL_TIMEOUT=1200 \
  PANEL_WINE_EXEC_ONCE=1 scripts/wine-exec.sh build/win64/bench/links_bench.exe
