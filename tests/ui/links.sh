#!/bin/bash
# Scenarios of panelup built for the serial or the system MIDI link (the same
# sources with the link selector set at build time), against the virtual
# controller: the serial port choice at start, the MIDI port scan and its boxes.
# usage: links.sh GROUP PANELUP VSBTOOL UIAUTO VCTL WORKDIR ARTEFACTS
# (the MIDI groups also need PANEL_VCMIDI, the test bed's MIDI driver)
#
# The controller is up (scripts/vc-fixture.sh). Each group leaves it with its
# defaults, no serial port present and the MIDI ports as they were.
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
# The test bed's MIDI ports: "VC Out" #4 and "VC Thru" #5 reach the device,
# "VC In" #3 hears it; busy ports make the scan try ten times.
MIDI_PORTS=('out 1 0 0 Port A' 'out 1 1 0 Busy Out' 'out 1 0 1 VC Out' 'out 1 0 1 VC Thru'
            'in 0 0 Port A In' 'in 1 0 Busy In' 'in 0 1 VC In')

device_defaults() {
  vc midi ports "${MIDI_PORTS[@]}"
  vc fault clear
  vc reset
  vc set protocol 1
  vc set packet-size 256
  vc set caps 3
  vc set pid any
  vc com absent 1 2 3 4
}

# expect_box TEXT: a box without caption ("Error") with TEXT and OK; answered.
expect_box() {
  local box
  box=$(ui wait-box --caption Error --timeout 15)
  expect_line "box text: $1" "text=$1" echo "$box"
  expect_line "box OK" "control 1 Button enabled OK" echo "$box"
  shot "$2"
  check "box answered" ui answer-box 1 --caption Error
}

expect_offer() {
  check "update offer" ui expect-message 0 "$OFFER_1" --timeout 10
  expect_out "Update button offered" "Update enabled" ui button
}

# The run ends with the Completed. box; the program closes itself.
run_to_completion() {
  check "Update pressed" ui press-update
  ui wait-box --caption Completed. --timeout 60 >/dev/null || fail "no Completed. box"
  shot "$1"
  expect_out "ends after the Completed. box" "exit-code=0" ui answer-box 1 --caption Completed. --wait
  updater_ended
}

if ! "$VCTL" status >/dev/null 2>&1; then
  fail "the virtual controller is not running (scripts/vc-fixture.sh start VCTL)"
  exit 1
fi
device_defaults
at_finish device_defaults

case $GROUP in

serial_start)
  # The port is chosen once at start: COM1 absent, COM3 present gives COM3,
  # and the whole update goes over it.
  vc com map
  vc com present 3
  make_vsb files/pal.vsb Pallavox 1.05 size=8K
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_file_shown Pallavox 1.05 "1.00 (needs update)"
  expect_offer
  "$VCTL" log | grep -q -- '--- host on COM3' || fail "the device was not asked on COM3"
  shot 01-offer-com3
  run_to_completion 02-completed-com3
  expect_flash_is files/pal.vsb

  # COM1 present at start is kept.
  vc reset
  vc com present 1
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_offer
  "$VCTL" log | grep -q -- '--- host on COM1' || fail "COM1 present at start was not taken"
  end_updater
  vc com absent 1 3

  # No port at all: port 1 stays, and the open fails with the first text.
  vc com absent 1 2 3 4
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_box "Comm Port Open Error!(CreateFile)" 03-no-port
  expect_file_shown Pallavox 1.05
  expect_out "Update button without a port" "Update disabled" ui button
  end_updater
  ;;

midi_scan)
  # The scan at the file's open finds the pair, the link opens by the
  # found names, and the update runs over it.
  vc midi install "${PANEL_VCMIDI:?}"
  make_vsb files/pal.vsb Pallavox 1.05 size=8K
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_file_shown Pallavox 1.05 "1.00 (needs update)"
  expect_offer
  log=$("$VCTL" log)
  grep -q 'F0 42 23 44 01 10 02 F7 | port probe 2' <<<"$log" || fail "no probe on VC Out (#2)"
  grep -q -- '--- host on MIDI' <<<"$log" || fail "the device was not asked over MIDI"
  check "menu usable after the scan" ui expect-menu $IDM_OPEN enabled
  shot 01-found
  run_to_completion 02-completed
  expect_flash_is files/pal.vsb

  # The device does not answer the probes: after five ticks, the box; the
  # menu is usable again.
  vc reset
  vc fault silent --on any --at 1
  vc fault silent --on any --at 2
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_box "Update-device not found." 03-not-found
  check "Open usable after the time-out" ui expect-menu $IDM_OPEN enabled
  check "Force Update usable after the time-out" ui expect-menu $IDM_FORCE_UPDATE enabled
  expect_out "no offer" "Update disabled" ui button
  end_updater

  # The reply comes late, after the time-out (while its box is up): the
  # scan has ended, so nothing opens, the device is not asked, no offer.
  vc reset
  vc fault delay 1500 --on any --at 1
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_line "box text: not found" "text=Update-device not found." ui wait-box --caption Error --timeout 15
  sleep 2
  check "box answered" ui answer-box 1 --caption Error
  "$VCTL" log | grep -q 'port probe reply' || fail "the late reply did not come"
  "$VCTL" log | grep -q '| inquiry' && fail "the device was asked after the scan's time-out"
  expect_out "no offer after a late reply" "Update disabled" ui button
  check "Open usable after a late reply" ui expect-menu $IDM_OPEN enabled
  end_updater

  # The found names lead to a busy port (a second "VC In", higher up).
  vc reset
  vc midi ports "${MIDI_PORTS[@]}" 'in 1 0 VC In'
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_box "Midi In Open Error : Allocated" 04-busy
  check "Open usable after the failed open" ui expect-menu $IDM_OPEN enabled
  end_updater

  # No input port at all.
  vc midi ports 'out 1 0 1 VC Out'
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_box "No MIDI port" 05-no-port
  end_updater
  vc midi ports "${MIDI_PORTS[@]}"

  # The file goes away, or goes bad, while the program waits for the scan:
  # the retry that a device change starts reads it again. (More busy ports
  # make the scan last longer than the test's two steps.)
  vc midi ports "${MIDI_PORTS[@]}" 'in 1 0 Busy 2' 'in 1 0 Busy 3'
  for case in gone bad; do
    cp files/pal.vsb files/moving.vsb
    vc reset
    "$WINE64" "$PANELUP" "$(winpath files/moving.vsb)" >/dev/null 2>&1 &
    UI_PID=$!
    ui wait-window >/dev/null || fail "no window ($case)"
    if [ $case = gone ]; then rm files/moving.vsb; else printf 'not a system file' >files/moving.vsb; fi
    ui devchange >/dev/null 2>&1 &
    changer=$!
    if [ $case = gone ]; then
      expect_box "File not found - $(winpath files/moving.vsb) " 06-file-gone
    else
      expect_box "Error - Header lengrh is too short." 07-file-bad
    fi
    wait $changer
    end_updater
  done
  ;;

midi_log)
  # With the extended view (PANELUP is built with it): the scan's lines in
  # the log pane, and the run starts at once over the found ports.
  vc midi install "${PANEL_VCMIDI:?}"
  make_vsb files/pal.vsb Pallavox 1.05 size=8K
  vc fault delay 2000 --on inquiry
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  check "scan line" ui expect-log 0 "Scan MIDI port...."
  check "input port line" ui expect-log 1 "In port:  VC In"
  check "output port line" ui expect-log 2 "Out port: VC Out"
  check "running at once" ui expect-message 0 "Now updating..."
  shot 01-log
  ui wait-box --caption Completed. --timeout 60 >/dev/null || fail "no Completed. box"
  expect_out "ends after the Completed. box" "exit-code=0" ui answer-box 1 --caption Completed. --wait
  updater_ended
  expect_flash_is files/pal.vsb
  ;;

midi_stop)
  # Abort in the stop dialog while the worker waits for a reply that does
  # not come: the run and the program end. (That the wait ends by the abort,
  # -2, and not by its time-out is proven in wine_midi_link_test.)
  vc midi install "${PANEL_VCMIDI:?}"
  make_vsb files/pal.vsb Pallavox 1.05 size=64K
  start_updater "$PANELUP" "$(winpath files/pal.vsb)"
  expect_offer
  vc fault silent --at 8
  check "Update pressed" ui press-update
  for _ in $(seq 100); do "$VCTL" status | grep -q ', fired' && break; sleep 0.05; done
  ui close
  ui wait-box --caption "Stop to transfar" >/dev/null || fail "no stop dialog"
  shot 01-stop
  expect_out "Abort ends the program" "exit-code=0" ui answer-box 1 --wait --timeout 30
  updater_ended
  ;;

*)
  echo "unknown group $GROUP" >&2
  exit 2
  ;;
esac
