#!/bin/bash
# Scenarios of panelup that need no device, run under wine64 + Xvfb.
# usage: scenarios.sh GROUP PANELUP VSBTOOL UIAUTO WORKDIR ARTEFACTS
set -u
GROUP=$1
PANELUP=$(realpath "$2") VSBTOOL=$(realpath "$3") UIAUTO=$(realpath "$4")
WORK=$(realpath -m "$5") ART=$(realpath -m "$6")
SHOT_PREFIX="${GROUP}-"
# shellcheck source=tests/ui/uitest.sh
source "$(dirname "$0")/uitest.sh"
trap finish EXIT

# No device here: when the virtual controller of the device scenarios is
# plugged in, it goes away for the time of the group.
if [ -n "${PANEL_VCTL:-}" ] && "$PANEL_VCTL" status --device 2>/dev/null | grep -q '^child: *plugged in'; then
  "$PANEL_VCTL" unplug >/dev/null || { fail "cannot unplug the virtual controller"; exit 1; }
  at_finish "$PANEL_VCTL" plug
fi

rm -rf "$WORK"
mkdir -p "$WORK"
cd "$WORK" || exit 1

case $GROUP in

idle)
  # No path and nothing beside the program: an idle window.
  updater_in empty
  start_updater empty/panelup.exe
  expect_out "caption" "$TITLE" ui caption
  geometry=$(ui geometry)
  [ "$(sed -n 's/^window //p' <<<"$geometry")" = "$(sed -n 's/^expected //p' <<<"$geometry")" ] ||
    fail "window not centred or of the wrong size: $geometry"
  # A caption with the system menu and a minimize box, no sizing border; the
  # extended overlapped style; no class style.
  expect_line "window styles" "class-style=0x00000000 style=0x00ca0000 exstyle=0x00000300" ui geometry
  expect_out "menu texts" "$(printf '%s\n' '&File' '  &Open... 207' '  &Exit 201' '&Setting' '  &Force Update 213' \
    '&Help' '  &About... 212')" ui menu-texts "$(winpath "$PANELUP")"
  expect_out "Update button" "Update disabled" ui button
  expect_out "progress bar" "pos=0 range=0..100" ui progress
  # A plain push button (disabled) and a smooth bar with a border.
  expect_out "Update button control" "style=0x58000000 exstyle=0x00000000 rect=20,105 80x24" ui style 220
  expect_out "progress bar control" "style=0x50800001 exstyle=0x00000000 rect=25,167 465x16" ui style 0
  check "open prompt" ui expect-info 0 0 "Open system file(*.vsb)" --bold
  check_fails "open prompt not in the normal font" ui expect-info 0 0 "Open system file(*.vsb)" --timeout 0.2
  for row in 1 2; do check "info row $row empty" ui expect-blank info $row; done
  for row in 0 1; do check "message row $row empty" ui expect-blank message $row; done
  expect_menu_untouched
  shot 01-idle
  # Device changes without a file change nothing.
  ui devchange 7
  check "still the open prompt" ui expect-info 0 0 "Open system file(*.vsb)" --bold
  for row in 0 1; do check "message row $row still empty" ui expect-blank message $row; done
  expect_out "Update button after device changes" "Update disabled" ui button
  # The Update command acts only when an update is offered.
  ui command 220
  for row in 0 1; do check "message row $row empty after Update while idle" ui expect-blank message $row; done
  expect_menu_untouched
  # Log-off without a run: allowed, and the window stays.
  expect_out "WM_QUERYENDSESSION allows the end" "result=1" ui send 0x11
  check "window still there after WM_QUERYENDSESSION" ui expect-info 0 0 "Open system file(*.vsb)" --bold
  # File / Exit closes the window; the process ends with 0.
  ui command $IDM_EXIT
  check "window gone after Exit" ui wait-gone
  rc=0
  wait "$UI_PID" || rc=$?
  [ $rc -eq 0 ] || fail "exit code after File/Exit: $rc"
  UI_PID=
  ;;

file_no_device)
  make_vsb files/pal.vsb Pallavox 1.05
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_file_shown Pallavox 1.05
  expect_restart_prompt Pallavox
  expect_out "Update button" "Update disabled" ui button
  expect_menu_untouched
  shot 01-restart-prompt
  # Each device change retries the open; without a device the prompt stays.
  ui devchange 7
  ui devchange 7
  expect_restart_prompt Pallavox
  expect_file_shown Pallavox 1.05
  expect_out "Update button after device changes" "Update disabled" ui button
  end_updater

  # A file whose header is broken: its reason in bold, nothing to wait for.
  make_vsb files/broken.vsb Pallavox 1.05 magic=ORLO-BROKEN-FILE
  start_updater "$PANELUP" "$(winpath files/broken.vsb)"
  check "header error shown" ui expect-info 0 0 "Error - Illegal header string." --bold
  for row in 0 1; do check "no prompt on message row $row" ui expect-blank message $row; done
  ui devchange 7
  for row in 0 1; do check "device change waits for nothing (row $row)" ui expect-blank message $row; done
  expect_out "Update button with a broken file" "Update disabled" ui button
  shot 02-broken-file
  end_updater

  # A file shorter than its header says.
  make_vsb files/short.vsb Pallavox 1.05 length=0x20000
  start_updater "$PANELUP" "$(winpath files/short.vsb)"
  check "size error shown" ui expect-info 0 0 "Filesize Error(shorter than header paramter)." --bold
  end_updater
  ;;

default_file)
  # No path: the system file beside the program is opened, from wherever
  # the program is started.
  updater_in beside
  make_vsb beside/strivane.vsb Strivane 2.10
  mkdir -p elsewhere
  cd elsewhere || exit 1
  start_updater "$WORK/beside/panelup.exe"
  cd "$WORK" || exit 1
  expect_file_shown Strivane 2.10
  expect_restart_prompt Strivane
  shot 01-file-beside
  end_updater

  # A path with a missing folder is dropped; the file beside is taken.
  start_updater beside/panelup.exe "$(winpath missing/pal.vsb)"
  expect_file_shown Strivane 2.10
  end_updater

  # A named file wins over the one beside the program.
  make_vsb files/pal.vsb Pallavox 1.05
  start_updater beside/panelup.exe "$(winpath files/pal.vsb)"
  expect_file_shown Pallavox 1.05
  end_updater

  # Started unquoted from a folder with blanks, as a launcher starts it: the
  # first argument is a fragment, the file beside the program still counts.
  updater_in "with blanks"
  make_vsb "with blanks/vexo.vsb" Vexoran 3.01
  cd elsewhere || exit 1
  ui run "$(winpath "$WORK/with blanks/panelup.exe")" >/dev/null || fail "no unquoted start"
  cd "$WORK" || exit 1
  ui wait-window >/dev/null || fail "no window after the unquoted start"
  ui sync
  expect_file_shown Vexoran 3.01
  expect_out "exit code after the unquoted start" "exit-code=0" ui close --wait
  check "window gone" ui wait-gone --timeout 5
  ;;

path_case)
  # A stand-in first instance catches what a second start forwards.
  make_vsb "files/Sub Dir/Pallavox.vsb" Pallavox 1.05
  real=$(winpath "files/Sub Dir/Pallavox.vsb")
  catch() {
    ui catch-forward --timeout "${CATCH_TIMEOUT:-4}" >"$WORK/caught" &
    local catcher=$!
    ui wait-window --timeout 5 >/dev/null || fail "no stand-in window"
    second_start "$PANELUP" "$@"
    wait $catcher
  }
  caught() { cat "$WORK/caught"; }

  # Typed in other letter case: every component as the file system lists
  # it, the drive letter as typed.
  typed="z:$(tr '[:lower:]' '[:upper:]' <<<"${real:2}")"
  catch "$typed"
  expect_line "rebuilt path" "path=z:${real:2}" caught
  expect_line "running window brought to the front" "foreground=$TITLE" caught
  # The chunks: offsets 0, 4, 8..., the last one holding the terminating zero.
  len=${#real}
  chunks=$(grep -c '^chunk ' "$WORK/caught")
  [ "$chunks" -eq $((len / 4 + 1)) ] || fail "$chunks chunks for a path of $len characters"
  grep '^chunk ' "$WORK/caught" | awk '{split($2,a,"="); if (a[2] != 4*(NR-1)) bad=1} END {exit bad}' ||
    fail "chunk offsets not 0, 4, 8, ...: $(caught)"
  grep -v '^chunk\|^path\|^foreground\|^ready' "$WORK/caught" | grep -q . && fail "other commands posted: $(caught)"

  # A full path of a multiple of 4 characters: one more chunk of zeros.
  base=$(winpath "files")
  pad=$(( (4 - (${#base} + 1 + 4 + 4) % 4) % 4 ))   # "\" + name + ".vsb"
  name="p$(head -c $pad /dev/zero | tr '\0' 'x')xxx"
  make_vsb "files/$name.vsb" Pallavox 1.05
  catch "$(winpath "files/$name.vsb")"
  full="$base\\$name.vsb"
  [ $(( ${#full} % 4 )) -eq 0 ] || fail "test path not a multiple of 4: $full"
  expect_line "path of ${#full} characters" "path=$full" caught
  expect_line "last chunk only the terminating zero" "chunk offset=${#full} bytes=00 00 00 00" caught

  # A relative path is taken from the current folder.
  catch 'files\SUB DIR\pallavox.VSB'
  expect_line "relative path" "path=$(winpath "files/Sub Dir/Pallavox.vsb")" caught

  # "." and ".." and a drive-relative path name the file they mean.
  catch '.\files\Sub Dir\..\Sub Dir\.\pallavox.vsb'
  expect_line "dots in the path" "path=$real" caught
  make_vsb "$WINEPREFIX/drive_c/panelup-rel.vsb" Pallavox 1.05
  at_finish rm -f "$WINEPREFIX/drive_c/panelup-rel.vsb"
  catch 'c:panelup-rel.vsb'
  expect_line "drive-relative path (drive letter as typed)" 'path=c:\panelup-rel.vsb' caught

  # Two paths, the second naming a missing folder: the first one counts.
  catch "$real" "$(winpath missing/x.vsb)"
  expect_line "first of two paths" "path=$real" caught

  # /hide and /H keep the running window in the back; /x and / are ignored.
  catch /hide "$real"
  expect_line "path forwarded with /hide" "path=$real" caught
  expect_line "/hide leaves the window in the back" "foreground=UiAutoFront" caught
  catch /x / "$real"
  expect_line "/x and / ignored" "foreground=$TITLE" caught

  # Without a path nothing is posted; the window comes to the front unless /H.
  CATCH_TIMEOUT=1.5 catch
  grep -q '^chunk\|^command\|^path' "$WORK/caught" && fail "something was posted without a path: $(caught)"
  expect_line "front without a path" "foreground=$TITLE" caught
  CATCH_TIMEOUT=1.5 catch /H
  grep -q '^chunk\|^command\|^path' "$WORK/caught" && fail "something was posted with /H alone: $(caught)"
  expect_line "/H alone changes nothing" "foreground=UiAutoFront" caught
  ;;

force_update)
  make_vsb files/pal.vsb Pallavox 1.05
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_restart_prompt Pallavox
  # Cancel in the warning box changes nothing.
  ui command $IDM_FORCE_UPDATE
  box=$(ui wait-box --caption Warning)
  expect_line "warning text" "text=$WARNING_EN" echo "$box"
  expect_line "OK button" "control 1 Button enabled OK" echo "$box"
  expect_line "Cancel button" "control 2 Button enabled Cancel" echo "$box"
  expect_line "Cancel is the default" "default=2" echo "$box"
  shot 01-warning
  check "Cancel" ui answer-box 2
  check "no tick after Cancel" ui expect-menu $IDM_FORCE_UPDATE enabled unchecked
  expect_restart_prompt Pallavox
  expect_out "Update button after Cancel" "Update disabled" ui button
  # Esc is Cancel too.
  ui command $IDM_FORCE_UPDATE
  check "Esc in the warning box" ui answer-box esc
  check "no tick after Esc" ui expect-menu $IDM_FORCE_UPDATE enabled unchecked
  # OK (clicked) ticks it; with no device there is nothing to offer yet.
  ui command $IDM_FORCE_UPDATE
  check "OK" ui answer-box 1 --click
  check "ticked after OK" ui expect-menu $IDM_FORCE_UPDATE enabled checked
  expect_restart_prompt Pallavox
  expect_out "Update button while waiting for the device" "Update disabled" ui button
  shot 02-forced-waiting
  # Off again: no box, the tick goes.
  ui command $IDM_FORCE_UPDATE
  check_fails "no box when switching off" ui wait-box --timeout 0.5
  check "tick gone" ui expect-menu $IDM_FORCE_UPDATE enabled unchecked
  expect_restart_prompt Pallavox
  check "Open still enabled" ui expect-menu $IDM_OPEN enabled unchecked
  end_updater
  ;;

open_dialog)
  # File / Open: Cancel changes nothing; a chosen file is opened.
  make_vsb files/stri.vsb Strivane 2.10
  updater_in empty
  start_updater empty/panelup.exe
  ui command $IDM_OPEN
  box=$(ui wait-box --caption "Open File")
  expect_line "first filter selected" "control 1136 ComboBox enabled System Binary(*.vsb)" echo "$box"
  shot 01-open-dialog
  check "Cancel" ui answer-box 2 --caption "Open File"
  check "still the open prompt" ui expect-info 0 0 "Open system file(*.vsb)" --bold
  for row in 0 1; do check "message row $row still empty" ui expect-blank message $row; done
  ui command $IDM_OPEN
  check "file name typed" ui set-text 1148 "$(winpath files/stri.vsb)" --caption "Open File"
  check "Open" ui answer-box 1 --caption "Open File"
  expect_file_shown Strivane 2.10
  expect_restart_prompt Strivane
  expect_out "Update button" "Update disabled" ui button
  end_updater
  ;;

about)
  updater_in empty
  start_updater empty/panelup.exe
  ui command $IDM_ABOUT
  box=$(ui wait-box --caption About)
  expect_line "About text" "control 1011 Static enabled VELTRIX Updater  1.0.0.0" echo "$box"
  expect_line "About OK" "control 1 Button enabled OK" echo "$box"
  shot 01-about
  check "OK closes About" ui answer-box 1
  ui command $IDM_ABOUT
  check "Esc closes About" ui answer-box esc
  ui command $IDM_ABOUT
  check "the close box closes About" ui answer-box close
  check "no box left" ui wait-box-gone
  check "window usable after About" ui expect-info 0 0 "Open system file(*.vsb)" --bold
  expect_menu_untouched
  end_updater
  ;;

forward)
  # A second start hands its path to the running window, which opens it.
  make_vsb files/pal.vsb Pallavox 1.05
  make_vsb files/stri.vsb Strivane 2.10
  make_vsb files/broken.vsb Strivane 2.10 magic=NOT-A-SYSTEM-FI
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_file_shown Pallavox 1.05
  background ui hold-front --timeout 60
  check "another window in front" ui expect-foreground UiAutoFront

  second_start "$PANELUP" /h "$(winpath files/stri.vsb)"
  ui sync
  expect_file_shown Strivane 2.10
  expect_restart_prompt Strivane
  expect_out "/h: the first window stays in the back" "UiAutoFront" ui foreground
  shot 01-forwarded-in-back

  second_start "$PANELUP" "$(winpath files/pal.vsb)"
  ui sync
  expect_file_shown Pallavox 1.05
  expect_restart_prompt Pallavox
  check "without /h the first window comes to the front" ui expect-foreground "$TITLE"
  shot 02-forwarded-to-front

  # A forwarded file that cannot be shown unloads the current one.
  second_start "$PANELUP" "$(winpath files/broken.vsb)"
  ui sync
  check "header error shown" ui expect-info 0 0 "Error - Illegal header string." --bold
  for row in 0 1; do check "message row $row cleared" ui expect-blank message $row; done
  ui devchange 7
  for row in 0 1; do check "no file, no prompt (row $row)" ui expect-blank message $row; done

  ui close --class UiAutoFront >/dev/null
  end_updater
  ;;

japanese)
  # With a Japanese user the warning box comes from the Japanese resources;
  # the status view's texts stay as they are (drawn in the font that the
  # Japanese system gives for Arial, so uiauto runs with the same locale).
  UI_ENV=(LC_ALL=ja_JP.UTF-8)
  make_vsb files/pal.vsb Pallavox 1.05
  start_updater --env LC_ALL=ja_JP.UTF-8 "$PANELUP" "$(winpath files/pal.vsb)"
  expect_file_shown Pallavox 1.05
  expect_restart_prompt Pallavox
  ui command $IDM_FORCE_UPDATE
  box=$(ui wait-box --caption Warning)
  expect_line "Japanese warning text" "text=$WARNING_JA" echo "$box"
  expect_line "OK button" "control 1 Button enabled OK" echo "$box"
  shot 01-warning-ja
  check "Cancel" ui answer-box 2
  check "no tick after Cancel" ui expect-menu $IDM_FORCE_UPDATE enabled unchecked
  ui command $IDM_FORCE_UPDATE
  check "OK" ui answer-box 1
  check "ticked after OK" ui expect-menu $IDM_FORCE_UPDATE enabled checked
  end_updater
  ;;

*)
  echo "unknown group $GROUP" >&2
  exit 2
  ;;
esac
