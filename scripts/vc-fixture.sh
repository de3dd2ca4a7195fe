#!/bin/bash
# Brings the virtual controller up for the device tests of a test run, or
# takes it down: start|stop VCTL
set -uo pipefail
cmd=${1:?start|stop}
vctl=${2:?path of vctl}
if [ -z "${WINEPREFIX:-}" ]; then
  envfile="${PANEL_WINE_DIR:-$(dirname "$0")/../build/wine}/env"
  # shellcheck disable=SC1090
  [ -f "$envfile" ] && source "$envfile"
fi
case "$cmd" in
start)
  "$vctl" start || exit 1
  "$vctl" install || { "$vctl" stop; exit 1; }
  "$vctl" plug || { "$vctl" stop; exit 1; }
  "$vctl" status --device
  ;;
stop)
  "$vctl" unplug >/dev/null 2>&1
  "$vctl" stop
  ;;
esac
