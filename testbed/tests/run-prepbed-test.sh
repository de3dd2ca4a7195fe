#!/bin/bash
# Runs prepbed_test.exe inside the wine environment of scripts/wine-env.sh:
# the child plugged in without a driver (vcsetup install --no-update-driver),
# then the test. Afterwards the controller is as it was found: installed with
# the update driver, bridged to the same folder, plugged in or not.
#
#   run-prepbed-test.sh DIR     DIR holds vcsetup.exe, preptool.exe, the drivers and the test
set -euo pipefail

out=${1:?folder of vcsetup.exe, preptool.exe and prepbed_test.exe}
root=$(cd "$(dirname "$0")/../.." && pwd)
run="$root/scripts/wine-exec.sh"

state=$("$run" "$out/vcsetup.exe" status 2>/dev/null) || state=
bridge=$(sed -n 's/^bridge: *//p' <<<"$state")
scratch=
if [ -z "$bridge" ]; then
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/prepbed.XXXXXX")
  bridge=$scratch
fi
restore() {
  "$run" "$out/vcsetup.exe" install "$bridge" >/dev/null || echo "run-prepbed-test: restoring the update driver failed" >&2
  grep -q '^child: *plugged in' <<<"$state" || "$run" "$out/vcsetup.exe" unplug >/dev/null 2>&1 || true
  [ -z "$scratch" ] || rm -rf "$scratch"
}
trap restore EXIT

"$run" "$out/vcsetup.exe" install "$bridge" --no-update-driver
"$run" "$out/prepbed_test.exe"
