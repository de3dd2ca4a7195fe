#!/bin/bash
# Scenarios of panelup built for the serial or the system MIDI link (the same
# sources with the link selector set at build time), against the virtual
# controller: the serial port choice at start, the MIDI port scan and its boxes.
# usage: links.sh GROUP PANELUP VSBTOOL UIAUTO VCTL WORKDIR ARTEFACTS
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

device_defaults() {
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

*)
  echo "unknown group $GROUP" >&2
  exit 2
  ;;
esac
