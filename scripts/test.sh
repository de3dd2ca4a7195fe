#!/bin/bash
# Sets up, builds and runs every test: native unit tests (ASan/UBSan), the
# wine64 tests in one prefix with one Xvfb and one persistent wineserver
# (with those of the shipped 32-bit programs where the kernel runs i386
# code, scripts/i386.sh; skipped elsewhere), the release bytes built twice,
# and short fuzzer runs.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh || exit 1
if [ -x scripts/build-wineserver.sh ]; then
  PANEL_WINESERVER=$(scripts/build-wineserver.sh) || { echo "patched wineserver build failed"; exit 1; }
  export PANEL_WINESERVER
fi
scripts/build.sh native win64 win32 || exit 1
scripts/check-binaries.sh || exit 1

fail=0
echo "== native tests"
ctest --preset native --output-on-failure -j2 || fail=1

echo "== wine64 tests"
bash scripts/i386.sh line
export PANEL_WINE_DIR="$root/build/wine"
scripts/wine-env.sh start "$PANEL_WINE_DIR" || exit 1
trap 'scripts/wine-env.sh stop "$PANEL_WINE_DIR"' EXIT
# The tests take this run's prefix and display, whatever the caller's shell had.
# shellcheck disable=SC1091
source "$PANEL_WINE_DIR/env"
ctest --preset win64 --output-on-failure || fail=1
scripts/wine-env.sh stop "$PANEL_WINE_DIR"
trap - EXIT

if [ -x scripts/run-fuzzers.sh ]; then
  echo "== fuzzers"
  scripts/run-fuzzers.sh build/native || fail=1
fi
[ $fail -eq 0 ] && echo "all tests passed" || echo "SOME TESTS FAILED"
exit $fail
