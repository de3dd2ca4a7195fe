# shellcheck shell=bash
# shellcheck disable=SC2034  # constants for the scenario scripts
# Shell helpers for scenarios that drive panelup through uiauto under wine64
# + Xvfb. Source it after setting UIAUTO (uiauto.exe), ART (folder for
# screenshots) and SHOT_PREFIX (name prefix of the screenshots).
#
#   ui ARGS...                 runs uiauto
#   winpath PATH               the Windows name of a Linux path (drive Z:)
#   start_updater [--env V=X]... EXE [ARGS...]
#                              starts panelup in the background and waits for its window
#   end_updater                closes the window; the process must end with 0
#   second_start EXE [ARGS...] runs a second panelup that must end by itself with 0
#   check WHAT CMD...          CMD must succeed
#   check_fails WHAT CMD...    CMD must fail
#   expect_out WHAT WANT CMD...   CMD's output must be WANT
#   expect_line WHAT LINE CMD...  CMD's output must hold the line LINE
#   shot NAME                  screenshot of the whole screen into ART
#   at_finish CMD...           runs CMD when finish runs (restoring shared state)
#   finish                     cleans up, prints the outcome, exits 0 or 1
# and what panelup shows: make_vsb, expect_file_shown, expect_restart_prompt,
# expect_menu_untouched; and the virtual controller (VCTL, VSBTOOL and WORK
# set): vc, expect_flash_is (below).

if [ -z "${WINEPREFIX:-}" ]; then
  envfile="${PANEL_WINE_DIR:-$(dirname "${BASH_SOURCE[0]}")/../../build/wine}/env"
  if [ ! -f "$envfile" ]; then
    echo "no wine environment ($envfile); run scripts/wine-env.sh start first" >&2
    exit 2
  fi
  # shellcheck disable=SC1090
  source "$envfile"
fi
WINE64=${WINE64:-/usr/lib/wine/wine64}

UI_FAILS=0
UI_PID=
UI_BACKGROUND=()
UI_SHOTS=()
UI_AT_FINISH=()

fail() {
  echo "FAIL: $*"
  UI_FAILS=$((UI_FAILS + 1))
}

# UI_ENV: VAR=VALUE settings for uiauto, e.g. the updater's locale, so that
# its fonts are matched the same way as the updater's.
UI_ENV=()
# The scenario's own stderr, for notes that must not mix into a captured
# output.
exec 9>&2
# uiauto and vsbtool say why whenever they fail: a start that ends with 1
# without a word is made once more (scripts/once-more.sh).
# shellcheck source=scripts/once-more.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/once-more.sh"
# Its files in a folder of this scenario's own: a helper stopped in the
# background leaves its files behind, and finish removes the folder.
ONCE_MORE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/uitest.XXXXXX")
ui() {
  once_more 9 "uiauto $1" env "${UI_ENV[@]}" "$WINE64" "$UIAUTO" "$@"
}

winpath() {
  printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"
}

check() {
  local what=$1 rc=0
  shift
  "$@" || rc=$?
  [ $rc -eq 0 ] || fail "$what (exit code $rc)"
}

check_fails() {
  local what=$1
  shift
  ! "$@" 2>/dev/null || fail "$what"
}

expect_out() {
  local what=$1 want=$2 got
  shift 2
  got=$("$@" 2>&1)
  [ "$got" = "$want" ] || fail "$what: got [$got], wanted [$want]"
}

expect_line() {
  local what=$1 line=$2 got
  shift 2
  got=$("$@" 2>&1)
  grep -qxF -- "$line" <<<"$got" || fail "$what: no line [$line] in:
$got"
}

shot() {
  local file="$ART/${SHOT_PREFIX}$1.png"
  mkdir -p "$ART"
  if import -window root "$file" 2>/dev/null; then
    UI_SHOTS+=("$file")
  else
    fail "screenshot $file"
  fi
}

start_updater() {
  local envs=()
  while [ "${1:-}" = "--env" ]; do
    envs+=("$2")
    shift 2
  done
  if [ -n "$(ui wait-window --timeout 0 2>/dev/null)" ]; then
    fail "an updater window is already open before the start"
  fi
  local try rc
  for try in 1 2; do
    env "${envs[@]}" "$WINE64" "$@" >/dev/null 2>&1 &
    UI_PID=$!
    ui wait-window >/dev/null 2>&1 && break
    rc=running
    if ! kill -0 "$UI_PID" 2>/dev/null; then
      rc=0
      wait "$UI_PID" || rc=$?
    fi
    # Gone with 1 before it showed a window: the start did not happen (see
    # once_more); once more.
    if [ $try -eq 1 ] && [ "$rc" = 1 ]; then
      echo "note: panelup ended with 1 before it showed a window; starting it once more" >&9
      continue
    fi
    fail "no window after starting $* (process: $rc)"
    break
  done
  # Let the start-up file's open run before anything is checked.
  ui sync || fail "the window does not answer"
}

# The updater's process has ended (by itself) with 0.
updater_ended() {
  local rc=0
  if ! timeout 10 tail --pid="$UI_PID" -f /dev/null; then
    fail "the updater did not end"
    kill "$UI_PID" 2>/dev/null
  fi
  wait "$UI_PID" || rc=$?
  [ $rc -eq 0 ] || fail "the updater ended with $rc"
  UI_PID=
  check "window gone" ui wait-gone --timeout 2
}

end_updater() {
  [ -n "$UI_PID" ] || return 0
  expect_out "exit code seen from Windows" "exit-code=0" ui close --wait
  updater_ended
}

second_start() {
  local rc=0
  timeout 20 "$WINE64" "$@" >/dev/null 2>&1 || rc=$?
  [ $rc -eq 0 ] || fail "second start $* ended with $rc"
}

# Starts CMD in the background; finish stops it if it is still running
# (with the programs it started: a shell function such as ui runs in a
# subshell of its own).
background() {
  "$@" &
  UI_BACKGROUND+=($!)
}

at_finish() {
  UI_AT_FINISH+=("$(printf '%q ' "$@")")
}

finish() {
  if [ -n "$UI_PID" ] && kill -0 "$UI_PID" 2>/dev/null; then
    ui close --wait --timeout 3 >/dev/null 2>&1 || kill "$UI_PID" 2>/dev/null
    wait "$UI_PID" 2>/dev/null
  fi
  local p
  for p in "${UI_BACKGROUND[@]}"; do
    pkill -P "$p" 2>/dev/null
    kill "$p" 2>/dev/null
    wait "$p" 2>/dev/null
  done
  rm -rf "$ONCE_MORE_DIR"
  for p in "${UI_AT_FINISH[@]}"; do eval "$p" || fail "at the end: $p"; done
  for p in "${UI_SHOTS[@]}"; do echo "screenshot: $p"; done
  if [ $UI_FAILS -eq 0 ]; then
    echo "passed"
    exit 0
  fi
  echo "$UI_FAILS check(s) failed"
  exit 1
}

# --- what panelup shows ------------------------------------------------------

TITLE="ORLO VELTRIX Updater"
IDM_EXIT=201 IDM_OPEN=207 IDM_ABOUT=212 IDM_FORCE_UPDATE=213
WARNING_EN='Are sure you want to force update?\nUnnecessary updates may shorten the\nlifespan of the Flash ROM.'
WARNING_JA='不要なアップデートはFlash ROMの\n寿命を縮める危険があります。\nバージョンを無視して書き込みますか？'
HOLDING='holding down [SETTING], [MESSAGE], [EXIT], and [>].'

# make_vsb FILE NAME VERSION [EXTRA]: a one-block system file (VSBTOOL),
# 4 KiB unless EXTRA gives size= or data=.
make_vsb() {
  local size=,size=4K
  case ",${4:-}" in *,size=* | *,data=*) size= ;; esac
  mkdir -p "$(dirname "$1")"
  once_more 9 vsbtool "$WINE64" "$VSBTOOL" build "$(winpath "$1")" \
    --block "name=$2,type=MAIN,code=1,version=$3,pid=44:01:ff,base=0x10000$size${4:+,$4}" >/dev/null ||
    fail "vsbtool could not build $1"
}

# A copy of the updater in a folder of its own, for the search beside it.
updater_in() {
  mkdir -p "$1"
  cp "$PANELUP" "$1/panelup.exe"
}

# The info area of an opened file: expect_file_shown NAME VERSION [DEVICE]
# (DEVICE: what the device query showed, empty when it has not run).
expect_file_shown() {
  local name=$1 version=$2 device=${3:-}
  check "Name label" ui expect-info 0 200 "Name :" --bold --right
  check "device name $name" ui expect-info 0 210 "$name"
  check "Software Version label" ui expect-info 1 200 "Software Version :" --bold --right
  check "device version [$device]" ui expect-info 1 210 "$device"
  check "Latest Software Version label" ui expect-info 2 200 "Latest Software Version :" --bold --right
  check "file version $version" ui expect-info 2 210 "$version"
}

expect_restart_prompt() {
  check "restart prompt line 1 ($1)" ui expect-message 0 "Plug in a $1 to update after turning it on by"
  check "restart prompt line 2" ui expect-message 1 "$HOLDING"
}

expect_menu_untouched() {
  local id
  for id in $IDM_OPEN $IDM_EXIT $IDM_FORCE_UPDATE $IDM_ABOUT; do
    check "menu item $id enabled, not ticked" ui expect-menu "$id" enabled unchecked
  done
}

# --- the virtual controller -----------------------------------------------------

# vc ARGS...: vctl, which must succeed.
vc() {
  "$VCTL" "$@" >/dev/null 2>"$WORK/vctl.err" || { fail "vctl $*: $(cat "$WORK/vctl.err")"; return 1; }
}

# expect_flash_is FILE: for a one-block file, the flash at the block's
# address holds the block's data, byte for byte.
expect_flash_is() {
  local file=$1 info base offset length
  info=$("$WINE64" "$VSBTOOL" info "$(winpath "$file")" 2>&1)
  base=$(sed -n 's/^ *base address *: *\(0x[0-9A-Fa-f]*\).*/\1/p' <<<"$info")
  offset=$(sed -n 's/^ *block offset *: *\(0x[0-9A-Fa-f]*\).*/\1/p' <<<"$info")
  length=$(sed -n 's/^ *block length *: *\([0-9]*\).*/\1/p' <<<"$info")
  if [ -z "$base" ] || [ -z "$offset" ] || [ -z "$length" ]; then
    fail "cannot read the block of $file: $info"
    return
  fi
  tail -c +257 "$file" | head -c "$length" >"$WORK/expected.bin"
  vc flash "$WORK/flash.bin" --base $((base + offset)) --length "$length" || return
  cmp -s "$WORK/flash.bin" "$WORK/expected.bin" ||
    fail "flash differs from the block data of $file: $(cmp "$WORK/flash.bin" "$WORK/expected.bin" 2>&1 | head -1)"
}
