#!/bin/bash
# The wine test environment of one test run: a fresh prefix, one Xvfb, one
# persistent wineserver. Everything it starts, `stop` stops.
#
#   scripts/wine-env.sh start DIR   creates DIR/prefix, starts Xvfb and the server,
#                                   writes DIR/env (source it to use the environment)
#   scripts/wine-env.sh stop DIR    stops the server and Xvfb
set -euo pipefail

cmd=${1:?start|stop}
dir=$(realpath -m "${2:?directory}")
WINE64=${WINE64:-/usr/lib/wine/wine64}
# The test bed's devices need the patched server (scripts/build-wineserver.sh,
# cached after the first build); the stock one only when that cannot be had.
if [ -z "${PANEL_WINESERVER:-}" ] && [ "$cmd" = start ]; then
  PANEL_WINESERVER=$("$(dirname "$0")/build-wineserver.sh") || PANEL_WINESERVER=
fi
SERVER=${PANEL_WINESERVER:-/usr/lib/wine/wineserver64}

stop_env() {
  if [ -f "$dir/env" ]; then
    # shellcheck disable=SC1091
    source "$dir/env"
    "$SERVER" -k >/dev/null 2>&1 || true
    if [ -f "$dir/xvfb.pid" ]; then kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true; rm -f "$dir/xvfb.pid"; fi
    if [ -f "$dir/keeper.pid" ]; then kill "$(cat "$dir/keeper.pid")" 2>/dev/null || true; rm -f "$dir/keeper.pid"; fi
    rm -f "$dir/env"
  fi
}

case "$cmd" in
start)
  stop_env
  mkdir -p "$dir"
  rm -rf "$dir/prefix"
  mkdir -p "$dir/prefix"
  # One Xvfb on the first free display from 90 on.
  disp=90
  while [ -e "/tmp/.X11-unix/X$disp" ] || [ -e "/tmp/.X$disp-lock" ]; do disp=$((disp + 1)); done
  Xvfb ":$disp" -screen 0 1024x768x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/xvfb.pid"
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$disp" ] && break; sleep 0.05; done
  cat >"$dir/env" <<ENV
export WINEPREFIX="$dir/prefix"
export WINEDEBUG=-all
export WINEARCH=win64
export DISPLAY=":$disp"
export WINE64="$WINE64"
export PANEL_WINESERVER="$SERVER"
export PANEL_WINE_DIR="$dir"
ENV
  # shellcheck disable=SC1091
  source "$dir/env"
  # The server first, persistent, so that every program of the run reuses it.
  "$SERVER" -p
  # The loader initialises a new prefix itself; an explicit "wineboot --init"
  # would boot it a second time (two service managers, half the services in each).
  WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE64" wineboot.exe -u >"$dir/wineboot.log" 2>&1
  # Wine shuts its system processes (services, device hosts, desktop) down
  # when the last ordinary process ends and starts them again for the next
  # one, which costs seconds per program. A console that waits on a silent
  # pipe for the whole run keeps them up.
  # The silent writer's pid is kept, so that stop ends it too.
  ( (sleep infinity & echo $! >"$dir/keeper.pid"; wait) | "$WINE64" cmd.exe /q >/dev/null 2>&1 &)
  # Unmanaged X11 windows: no window-manager round trips.
  "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # Debian's wine looks for its own fonts in /usr/share/fonts, where
  # fonts-wine does not put them: Marlett (the caption buttons' glyphs) goes
  # where Windows has it, so that screenshots show the buttons, not letters.
  if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
  echo "wine-env: prefix $WINEPREFIX, display $DISPLAY"
  ;;
stop)
  stop_env
  ;;
*)
  echo "usage: $0 start|stop DIR" >&2; exit 2;;
esac
