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
# Otherwise the program's output goes through files (not a pipe, which wine
# processes it starts could hold open) and is passed on when it ends. Now and
# then a wine64 start ends with 1 having done nothing and said nothing; the
# test programs run here always say something, so such a start is made once
# more.
out=$(mktemp "${TMPDIR:-/tmp}/wine-exec.XXXXXX")
trap 'rm -f "$out" "$out.err"' EXIT
for try in 1 2; do
  timeout -k 5 "$limit" "$wine" "$@" >"$out" 2>"$out.err"
  rc=$?
  cat "$out"
  cat "$out.err" >&2
  if [ $rc -ne 1 ] || [ -s "$out" ] || [ -s "$out.err" ] || [ $try -eq 2 ]; then
    break
  fi
  echo "wine-exec: note: $1 ended with 1 without a word; running it once more" >&2
done
if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
  echo "wine-exec: TIMEOUT: $* did not end within ${limit}s and was killed" >&2
fi
exit $rc
