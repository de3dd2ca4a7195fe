#!/bin/bash
# Runs one Windows program under wine64 inside the environment of
# scripts/wine-env.sh (found through PANEL_WINE_DIR or the default build
# folder). A program that hangs is killed after PANEL_TIMEOUT seconds.
if [ -z "${WINEPREFIX:-}" ]; then
  envfile="${PANEL_WINE_DIR:-$(dirname "$0")/../build/wine}/env"
  if [ -f "$envfile" ]; then
    # shellcheck disable=SC1090
    source "$envfile"
  else
    echo "wine-exec: no wine environment ($envfile); run scripts/wine-env.sh start first" >&2
    exit 2
  fi
fi
limit=${PANEL_TIMEOUT:-120}
timeout -k 5 "$limit" "${WINE64:-/usr/lib/wine/wine64}" "$@"
rc=$?
if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
  echo "wine-exec: TIMEOUT: $* did not end within ${limit}s and was killed" >&2
fi
exit $rc
