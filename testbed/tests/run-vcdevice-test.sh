#!/bin/bash
# Runs vcdevice_test.exe against the virtual controller inside the wine
# environment of scripts/wine-env.sh (which must run the patched wineserver):
# makes a bridge folder with the two FIFOs, installs the drivers bridged to it
# and runs the test, which plays the device model's part on the FIFOs.
#
#   run-vcdevice-test.sh DIR     DIR holds vcsetup.exe, the drivers and the test
set -euo pipefail

out=${1:?folder of vcsetup.exe and vcdevice_test.exe}
root=$(cd "$(dirname "$0")/../.." && pwd)
run="$root/scripts/wine-exec.sh"

bridge=$(mktemp -d "${TMPDIR:-/tmp}/vcdevice.XXXXXX")
# Leave the controller unplugged: later tests of the same prefix expect no device.
cleanup() {
  "$run" "$out/vcsetup.exe" unplug >/dev/null 2>&1 || true
  rm -rf "$bridge"
}
trap cleanup EXIT
mkfifo "$bridge/h2d" "$bridge/d2h"

"$run" "$out/vcsetup.exe" install "$bridge"
VC_BRIDGE_DIR="$bridge" "$run" "$out/vcdevice_test.exe"
