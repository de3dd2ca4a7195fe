#!/bin/bash
# Scenarios of panelup against the virtual controller, run under wine64 +
# Xvfb: the controller is driven with vctl, the updater with uiauto.
# usage: devices.sh GROUP PANELUP VSBTOOL UIAUTO VCTL WORKDIR ARTEFACTS
#
# The controller is brought up by the test fixture (scripts/vc-fixture.sh):
# plugged in, settings as after start. Each group sets what it needs and
# leaves the controller so again: plugged in, faults cleared, flash and log
# empty, all versions 1.00, protocol 1, 256-byte packets, caps 3, any
# product ID.
set -u
GROUP=$1
PANELUP=$(realpath "$2") VSBTOOL=$(realpath "$3") UIAUTO=$(realpath "$4") VCTL=$(realpath "$5")
WORK=$(realpath -m "$6") ART=$(realpath -m "$7")
SHOT_PREFIX="${GROUP}-"
# shellcheck source=tests/ui/uitest.sh
source "$(dirname "$0")/uitest.sh"
trap finish EXIT

rm -rf "$WORK"
mkdir -p "$WORK"
cd "$WORK" || exit 1

OFFER_1='Update puts the latest system software'
STOP_EN=('If you abort to transfer,device can'"'"'t to start up normally.'
         '(Then you should transer system file again and complete it.)'
         'Are you sure to abort to transfer?')
STOP_JA=('転送中に停止すると、通常起動ができなくなります。'
         '(再度ＩＰＬモードでシステム転送を完了してください)'
         '転送を停止してもよろしいですか？')
FLASH_WRITE_ERROR='Rx Status Error : Flash Write Error'
# A suspend query (PBT_APMQUERYSUSPEND) and its refusal.
WM_POWERBROADCAST=0x218 BROADCAST_QUERY_DENY=$((0x424D5144))

# --- the controller -------------------------------------------------------------

plugged() {
  "$VCTL" status --device 2>/dev/null | grep -q '^child: *plugged in'
}

# The controller as the fixture leaves it (see the head of this file),
# freshly switched on: nothing of an earlier run is left in the driver.
device_defaults() {
  vc fault clear
  vc reset
  vc set protocol 1
  vc set packet-size 256
  vc set caps 3
  vc set pid any
  if plugged; then vc replug; else vc plug; fi
}

device_version() {
  "$VCTL" status | sed -n 's/^versions: //p'
}

# How many messages the host has sent the device since the last reset.
host_messages() {
  "$VCTL" log | grep -c 'H>D'
}

# Waits until the armed fault has fired (the device holds its reply).
wait_fault_fired() {
  local _
  for _ in $(seq 200); do
    "$VCTL" status | grep -q ', fired' && return 0
    sleep 0.05
  done
  fail "the fault did not fire"
  return 1
}

# --- the updater ---------------------------------------------------------------

progress_pos() {
  ui progress | sed -n 's/^pos=\([0-9]*\) .*/\1/p'
}

# wait_progress_beyond N: the run goes on (the bar passes N within 5 s).
wait_progress_beyond() {
  local pos _
  for _ in $(seq 50); do
    pos=$(progress_pos)
    [ -n "$pos" ] && [ "$pos" -gt "$1" ] && return 0
    sleep 0.1
  done
  fail "the progress bar stays at ${pos:-?} (not beyond $1)"
  return 1
}

# expect_paused: the bar does not move (the worker waits after its packet).
expect_paused() {
  local p1 p2
  sleep 0.3
  p1=$(progress_pos)
  sleep 0.5
  p2=$(progress_pos)
  [ -n "$p1" ] && [ "$p1" = "$p2" ] || fail "the run is not paused: progress $p1 then $p2"
}

expect_offer() {
  check "update offer line 1" ui expect-message 0 "$OFFER_1"
  check "update offer line 2 ($1)" ui expect-message 1 " on your $1."
  expect_out "Update button offered" "Update enabled" ui button
}

expect_latest() {
  check "already latest" ui expect-message 0 "Already the latest version."
  check "message row 1 empty" ui expect-blank message 1
  expect_out "Update button not offered" "Update disabled" ui button
}

expect_running() {
  check "running text" ui expect-message 0 "Now updating..."
  check "message row 1 empty while running" ui expect-blank message 1
  expect_out "Update button during the run" "Update disabled" ui button
  check "Open greyed during the run" ui expect-menu $IDM_OPEN grayed
  check "Force Update greyed during the run" ui expect-menu $IDM_FORCE_UPDATE grayed
  check "Exit usable during the run" ui expect-menu $IDM_EXIT enabled
  check "About usable during the run" ui expect-menu $IDM_ABOUT enabled
}

# expect_stop_dialog LINE1 LINE2 LINE3 ABORT CONTINUE
expect_stop_dialog() {
  local box
  box=$(ui wait-box --caption "Stop to transfar")
  expect_line "stop dialog line 1" "control 1001 Static enabled $1" echo "$box"
  expect_line "stop dialog line 2" "control 1002 Static enabled $2" echo "$box"
  expect_line "stop dialog line 3" "control 1003 Static enabled $3" echo "$box"
  expect_line "stop dialog Abort" "control 1 Button enabled $4" echo "$box"
  expect_line "stop dialog Continue" "control 2 Button enabled $5" echo "$box"
  expect_line "Continue is the default" "default=2" echo "$box"
}

# expect_completed NAME VERSION TEXT [SHOT]: the success box (TEXT) over the
# success lines.
expect_completed() {
  local name=$1 version=$2 text=$3 box
  box=$(ui wait-box --caption Completed. --timeout 30)
  expect_line "Completed. box text" "text=$text" echo "$box"
  expect_line "Completed. box OK" "control 1 Button enabled OK" echo "$box"
  shot "${4:-completed}"
  # Moved aside to read what it covers.
  check "box moved aside" ui move-box 0 640 --caption Completed.
  check "success line 1" ui expect-info 1 10 "$name has been updated to $version successfully."
  check "success line 2" ui expect-info 2 10 "Turn if off back on to use it."
  check "info row 0 cleared" ui expect-blank info 0
  for row in 0 1; do check "message row $row cleared" ui expect-blank message $row; done
  expect_out "Update button after the run" "Update disabled" ui button
  check "Open usable again" ui expect-menu $IDM_OPEN enabled
  check "Force Update usable again" ui expect-menu $IDM_FORCE_UPDATE enabled
}

# The caption has been switched on at least twice and off at least once
# since flash-watch (calls with TRUE and with FALSE).
flash_toggles() {
  local calls on off try
  for try in $(seq 1 50); do
    calls=$(ui flash-calls) || return 1
    on=$(sed -n 's/^on=\([0-9]*\) .*/\1/p' <<<"$calls")
    off=$(sed -n 's/.* off=\([0-9]*\)$/\1/p' <<<"$calls")
    [ "${on:-0}" -ge 2 ] && [ "${off:-0}" -ge 1 ] && return 0
    sleep 0.2
  done
  echo "FlashWindow calls: $calls"
  return 1
}

# The updater ends by itself once the box is answered, with exit code 0.
answer_completed() {
  expect_out "ends after the Completed. box" "exit-code=0" ui answer-box 1 --caption Completed. --wait
  updater_ended
}


if ! "$VCTL" status >/dev/null 2>&1; then
  fail "the virtual controller is not running (the fixture starts it: scripts/vc-fixture.sh start VCTL)"
  exit 1
fi
device_defaults
at_finish device_defaults

case $GROUP in

device_update)
  # The whole job: offer, run, success, end; the flash holds the file.
  make_vsb files/pal.vsb Pallavox 1.05 size=256K,pattern=random
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_file_shown Pallavox 1.05 "1.00 (needs update)"
  expect_offer Pallavox
  expect_menu_untouched
  expect_out "progress before the run" "pos=0 range=0..100" ui progress
  shot 01-offer

  # The end of the session asked for, then called off: the link stays open
  # for the run.
  expect_out "WM_QUERYENDSESSION allows the end" "result=1" ui send 0x11
  expect_out "WM_ENDSESSION, the end called off" "result=0" ui send 0x16 0

  # The device holds one reply for a while: time to look at the run (each
  # check below is a uiauto start of its own). The run keeps the system
  # awake and refuses a suspend; before and after it, the system may sleep.
  check "sleep requests watched" ui awake-watch
  expect_out "suspend allowed before the run" "result=1" ui send $WM_POWERBROADCAST 0
  vc fault delay 3000 --at 16
  check "Update pressed" ui press-update
  wait_fault_fired
  expect_running
  expect_out "kept awake during the run" "awake=on" ui awake
  expect_out "suspend refused during the run" "result=$BROADCAST_QUERY_DENY" ui send $WM_POWERBROADCAST 0
  progress=$(ui progress)
  pos=$(sed -n 's/^pos=\([0-9]*\) .*/\1/p' <<<"$progress")
  [ -n "$pos" ] && [ "$pos" -gt 256 ] && [ "$pos" -lt 262400 ] || fail "progress during the run: $progress"
  [ "${progress#* }" = "range=0..262400" ] || fail "progress range is not the file's size: $progress"
  shot 02-running
  # A device change during a run changes nothing.
  ui devchange 7
  check "still running after a device change" ui expect-message 0 "Now updating..."
  wait_progress_beyond "$pos"

  expect_completed Pallavox 1.05 "Pallavox has been updated successfully." 03-completed
  expect_line "progress at the end" "pos=262400 range=0..262400" ui progress
  expect_out "no longer kept awake after the run" "awake=off" ui awake
  expect_out "suspend allowed after the run" "result=1" ui send $WM_POWERBROADCAST 0
  answer_completed
  expect_flash_is files/pal.vsb
  expect_out "device version after the run" "01=1.05 (others 1.00)" device_version
  ;;

device_latest)
  # The device has the file's version: nothing offered until forced.
  vc set version 1 1.05
  make_vsb files/pal.vsb Pallavox 1.05 size=8K,pattern=random
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_file_shown Pallavox 1.05 "1.05"
  expect_latest
  check_fails "a disabled Update button cannot be pressed" ui press-update
  shot 01-latest

  ui command $IDM_FORCE_UPDATE
  box=$(ui wait-box --caption Warning)
  expect_line "warning text" "text=$WARNING_EN" echo "$box"
  check "Cancel" ui answer-box 2
  check "no tick after Cancel" ui expect-menu $IDM_FORCE_UPDATE enabled unchecked
  expect_latest

  ui command $IDM_FORCE_UPDATE
  check "OK" ui answer-box 1
  check "ticked after OK" ui expect-menu $IDM_FORCE_UPDATE enabled checked
  expect_offer Pallavox
  expect_file_shown Pallavox 1.05 "1.05"
  shot 02-forced

  ui command $IDM_FORCE_UPDATE
  check_fails "no box when switching off" ui wait-box --timeout 0.5
  check "tick gone" ui expect-menu $IDM_FORCE_UPDATE enabled unchecked
  expect_latest

  # Opened again while ready: the query runs again at once; an older device
  # is offered the update, and forcing changes nothing visible.
  vc set version 1 1.00
  lines=$(host_messages)
  ui command $IDM_OPEN
  check "file name typed" ui set-text 1148 "$(winpath files/pal.vsb)" --caption "Open File"
  check "Open" ui answer-box 1 --caption "Open File"
  expect_file_shown Pallavox 1.05 "1.00 (needs update)"
  expect_offer Pallavox
  [ "$(host_messages)" -gt "$lines" ] || fail "the device was not asked again"
  ui command $IDM_FORCE_UPDATE
  check "OK" ui answer-box 1
  expect_offer Pallavox
  ui command $IDM_FORCE_UPDATE
  check "tick gone" ui expect-menu $IDM_FORCE_UPDATE enabled unchecked
  expect_offer Pallavox

  # A forced run writes a device that already has the version.
  vc set version 1 1.05
  ui command $IDM_OPEN
  check "file name typed" ui set-text 1148 "$(winpath files/pal.vsb)" --caption "Open File"
  check "Open" ui answer-box 1 --caption "Open File"
  expect_latest
  ui command $IDM_FORCE_UPDATE
  check "OK" ui answer-box 1
  vc reset
  vc set version 1 1.05
  check "forced Update pressed" ui press-update
  expect_completed Pallavox 1.05 "Pallavox has been updated successfully." 03-forced-completed
  answer_completed
  expect_flash_is files/pal.vsb
  "$VCTL" log | grep -q 'version request' && fail "the forced run asked for the version"
  ;;

device_absent)
  # Started while the device is away: the restart prompt; the device's
  # arrival (the system's WM_DEVICECHANGE, nothing sent by the test) starts
  # the query.
  vc unplug
  make_vsb files/pal.vsb Pallavox 1.05
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_file_shown Pallavox 1.05
  expect_restart_prompt Pallavox
  expect_out "Update button without a device" "Update disabled" ui button
  shot 01-restart-prompt
  vc plug
  if ! ui expect-message 0 "$OFFER_1" --timeout 10 2>/dev/null; then
    fail "no query after the device arrived (no WM_DEVICECHANGE DBT_DEVNODES_CHANGED from the system?)"
  fi
  expect_file_shown Pallavox 1.05 "1.00 (needs update)"
  expect_offer Pallavox
  shot 02-arrived
  # Gone and back while ready: nothing happens (the offer stays).
  lines=$(host_messages)
  vc unplug
  vc plug
  ui sync
  expect_offer Pallavox
  [ "$(host_messages)" -eq "$lines" ] || fail "the device was asked again while ready"

  # Opened again, the device answers wrongly: the query's error, nothing
  # offered, and the Update command does nothing.
  vc fault malformed manufacturer --on inquiry
  ui command $IDM_OPEN
  check "file name typed" ui set-text 1148 "$(winpath files/pal.vsb)" --caption "Open File"
  check "Open" ui answer-box 1 --caption "Open File"
  check "query error shown" ui expect-message 0 "Rx Msg Error(1:Not ORLO ID)"
  expect_out "Update button after a failed query" "Update disabled" ui button
  ui command 220
  check "error stays after the Update command" ui expect-message 0 "Rx Msg Error(1:Not ORLO ID)"
  [ "$(host_messages)" -eq $((lines + 1)) ] || fail "more than the inquiry went to the device: $(host_messages) after $lines"
  end_updater
  ;;

device_failed)
  # A run that fails: its error on message row 0; the device is used again
  # only after it has gone and come back.
  make_vsb files/pal.vsb Pallavox 1.05 size=16K,pattern=random
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_offer Pallavox
  # Another window comes to the front during the run (the device holds a
  # reply back meanwhile); the run ends there: the caption flashes.
  check "FlashWindow calls counted" ui flash-watch
  check "sleep requests watched" ui awake-watch
  vc fault delay 2000 --at 2
  vc fault status 9 --at 3
  check "Update pressed" ui press-update
  background ui hold-front --timeout 60
  check "another window in front" ui expect-foreground UiAutoFront
  check "error text" ui expect-message 0 "$FLASH_WRITE_ERROR"
  expect_out "no longer kept awake after the failure" "awake=off" ui awake
  check "message row 1 empty" ui expect-blank message 1
  expect_out "Update button after a failure" "Update disabled" ui button
  check "Open usable after a failure" ui expect-menu $IDM_OPEN enabled
  check "Force Update usable after a failure" ui expect-menu $IDM_FORCE_UPDATE enabled
  expect_out "device version after the failure" "all 1.00" device_version
  shot 01-failed
  check "the caption flashes on and off" flash_toggles
  # Brought to the front, it stops flashing, and stays still.
  check "updater brought to the front" ui activate
  check "updater in front" ui expect-foreground "$TITLE"
  flashes=$(ui flash-calls)
  sleep 1.5
  expect_out "no flashing once in front" "$flashes" ui flash-calls
  # A device change while the device is still there changes nothing.
  ui devchange 7
  check "error text stays" ui expect-message 0 "$FLASH_WRITE_ERROR"

  # Opened again with the device still there: not asked, the restart prompt.
  lines=$(host_messages)
  second_start "$PANELUP" "$(winpath files/pal.vsb)"
  ui sync
  expect_file_shown Pallavox 1.05
  expect_restart_prompt Pallavox
  shot 02-reopened
  # Here a DBT_DEVNODES_CHANGED would ask the device; other device changes
  # do not.
  ui devchange 0x8000
  ui devchange 3
  expect_restart_prompt Pallavox
  vc unplug
  expect_restart_prompt Pallavox
  expect_out "Update button while the device is away" "Update disabled" ui button
  [ "$(host_messages)" -eq "$lines" ] || fail "the device was asked before it had gone"
  vc plug
  check "asked again after coming back" ui expect-message 0 "$OFFER_1" --timeout 10
  expect_file_shown Pallavox 1.05 "1.00 (needs update)"
  expect_offer Pallavox

  # Failed again; now the device goes without the file being opened: the
  # device change finds it gone and shows the restart prompt.
  vc fault status 9 --at 2
  check "Update pressed again" ui press-update
  check "error text" ui expect-message 0 "$FLASH_WRITE_ERROR"
  expect_out "no flashing when a run ends in front" "$flashes" ui flash-calls
  vc unplug
  check "restart prompt after the device has gone" ui expect-message 0 "Plug in a Pallavox to update after turning it on by" --timeout 10
  check "restart prompt line 2" ui expect-message 1 "$HOLDING"
  vc plug
  check "asked again after coming back" ui expect-message 0 "$OFFER_1" --timeout 10
  expect_offer Pallavox

  # The file has gone by the time Update is pressed: the run's own error
  # has the last word, not "Now updating...".
  mv files/pal.vsb files/away.vsb
  check "Update pressed without the file" ui press-update
  check "File Open Error shown" ui expect-message 0 "File Open Error"
  sleep 0.5
  check "File Open Error stays" ui expect-message 0 "File Open Error" --timeout 0.2
  expect_out "Update button after the failed start" "Update disabled" ui button
  check "Open usable after the failed start" ui expect-menu $IDM_OPEN enabled
  end_updater
  ;;

device_stop)
  # Closing during a run: the stop dialog pauses it; Continue, Esc and the
  # close box let it go on; the end of the session is refused; Abort ends
  # the run at once (also while a reply is pending) and the program.
  make_vsb files/big.vsb Pallavox 1.05 size=1M,pattern=random
  start_updater "$PANELUP" "$(winpath files/big.vsb)"
  expect_offer Pallavox
  check "sleep requests watched" ui awake-watch
  check "Update pressed" ui press-update
  wait_progress_beyond 256
  ui close
  expect_stop_dialog "${STOP_EN[@]}" Abort Contiune
  shot 01-stop-dialog
  expect_paused
  expect_out "kept awake while paused" "awake=on" ui awake
  expect_out "suspend refused while paused" "result=$BROADCAST_QUERY_DENY" ui send $WM_POWERBROADCAST 0
  pos=$(progress_pos)
  check "Continue" ui answer-box 2
  wait_progress_beyond "$pos"
  check "window stays after Continue" ui expect-message 0 "Now updating..."

  for how in esc close; do
    ui close
    ui wait-box --caption "Stop to transfar" >/dev/null || fail "no stop dialog"
    expect_paused
    pos=$(progress_pos)
    check "answered with $how" ui answer-box $how
    wait_progress_beyond "$pos"
  done

  # Log-off during the run, continued: refused.
  ui send 0x11 --timeout 20 >"$WORK/endsession" 2>&1 &
  sender=$!
  ui wait-box --caption "Stop to transfar" >/dev/null || fail "no stop dialog for the end of the session"
  check "Continue" ui answer-box 2
  wait $sender
  expect_line "WM_QUERYENDSESSION refused" "result=0" cat "$WORK/endsession"
  check "still running" ui expect-message 0 "Now updating..."

  # A stop dialog that cannot be shown is no Abort: the window stays and the
  # run goes on.
  check "dialogs refused" ui refuse-dialogs on
  pos=$(progress_pos)
  ui close
  wait_progress_beyond "$pos"
  check "window stays without its stop dialog" ui expect-message 0 "Now updating..."
  check "dialogs given back" ui refuse-dialogs off

  # Abort while the device holds a reply: the pending transfer ends at once.
  vc fault delay 3000
  wait_fault_fired
  started=$(date +%s%N)
  ui close
  ui wait-box --caption "Stop to transfar" >/dev/null || fail "no stop dialog"
  expect_out "Abort ends the program" "exit-code=0" ui answer-box 1 --wait --timeout 6
  ms=$(( ($(date +%s%N) - started) / 1000000 ))
  [ $ms -lt 2000 ] || fail "Abort took $ms ms: it waited for the held reply"
  updater_ended
  expect_out "no longer kept awake after the window's close" "awake=off" ui awake
  expect_out "device version after the abort" "all 1.00" device_version
  # The device holds back every later reply until the held one was due,
  # even across a reset or a power cycle: let that time pass.
  left=$(( 3100 - ($(date +%s%N) - started) / 1000000 ))
  [ $left -le 0 ] || sleep "$(awk "BEGIN {print $left / 1000}")"
  ;;

device_forward)
  # A second start forwards its path: the running window opens it (and
  # stays in the back with /h); while the device is ready or a run is going
  # the path is only reassembled.
  make_vsb files/pal.vsb Pallavox 1.05 size=16K,pattern=random
  make_vsb files/stri.vsb Strivane 2.10
  updater_in empty
  start_updater empty/panelup.exe
  check "idle" ui expect-info 0 0 "Open system file(*.vsb)" --bold
  background ui hold-front --timeout 60
  check "another window in front" ui expect-foreground UiAutoFront
  second_start "$PANELUP" /h "$(winpath files/pal.vsb)"
  ui sync
  expect_file_shown Pallavox 1.05 "1.00 (needs update)"
  expect_offer Pallavox
  expect_out "/h: the first window stays in the back" "UiAutoFront" ui foreground
  shot 01-forwarded

  lines=$(host_messages)
  second_start "$PANELUP" "$(winpath files/stri.vsb)"
  ui sync
  check "without /h the window comes to the front" ui expect-foreground "$TITLE"
  expect_file_shown Pallavox 1.05 "1.00 (needs update)"
  expect_offer Pallavox
  [ "$(host_messages)" -eq "$lines" ] || fail "a path forwarded while ready reached the device"
  shot 02-ready-kept

  vc fault delay 1500 --at 4
  check "Update pressed" ui press-update
  wait_fault_fired
  second_start "$PANELUP" /h "$(winpath files/stri.vsb)"
  ui sync
  check "running on" ui expect-message 0 "Now updating..."
  expect_completed Pallavox 1.05 "Pallavox has been updated successfully." 03-completed
  answer_completed
  expect_flash_is files/pal.vsb
  ui close --class UiAutoFront >/dev/null
  ;;

device_japanese)
  # A Japanese user: the warning box, the stop dialog and the Completed.
  # text in Japanese.
  UI_ENV=(LC_ALL=ja_JP.UTF-8)
  make_vsb files/pal.vsb Pallavox 1.05 size=64K,pattern=random
  start_updater --env LC_ALL=ja_JP.UTF-8 "$PANELUP" "$(winpath files/pal.vsb)"
  expect_file_shown Pallavox 1.05 "1.00 (needs update)"
  expect_offer Pallavox
  ui command $IDM_FORCE_UPDATE
  box=$(ui wait-box --caption Warning)
  expect_line "Japanese warning text" "text=$WARNING_JA" echo "$box"
  check "Cancel" ui answer-box 2
  expect_offer Pallavox
  vc fault delay 1000 --at 8
  check "Update pressed" ui press-update
  wait_fault_fired
  ui close
  expect_stop_dialog "${STOP_JA[@]}" 停止 続行
  shot 01-stop-dialog-ja
  check "Continue" ui answer-box 2
  expect_completed Pallavox 1.05 "Pallavox のアップデートを完了しました。" 02-completed-ja
  answer_completed
  expect_flash_is files/pal.vsb
  ;;

*)
  echo "unknown group $GROUP" >&2
  exit 2
  ;;
esac
