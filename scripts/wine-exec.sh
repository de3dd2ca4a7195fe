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
wine=${WINE64:-/usr/lib/wine/wine64}
# PANEL_WINE_EXEC_ONCE=1: one start, output streamed (a program that may end
# without a word, or a long one whose output should be seen as it comes).
if [ "${PANEL_WINE_EXEC_ONCE:-}" = 1 ]; then
  timeout -k 5 "$limit" "$wine" "$@"
  rc=$?
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    echo "wine-exec: TIMEOUT: $* did not end within ${limit}s and was killed" >&2
  fi
  exit $rc
fi
# Otherwise once more when the start did not happen (scripts/once-more.sh).
# shellcheck source=scripts/once-more.sh
source "$(dirname "$0")/once-more.sh"
once_more 2 "wine-exec: $1" timeout -k 5 "$limit" "$wine" "$@"
rc=$?
if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
  echo "wine-exec: TIMEOUT: $* did not end within ${limit}s and was killed" >&2
fi
exit $rc
