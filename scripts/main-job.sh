#!/bin/bash
# The main job, end to end: sets up the machine, builds the three
# configurations, shows the shipped 32-bit programs, then lets panelup
# (the win64 build, under wine64) update a virtual controller that holds an
# older version: a system file made with vsbtool, Update pressed, the run
# watched, the "Completed." box answered, and the controller's flash image
# compared with the file's block data byte for byte. Screenshots of the
# main states go to build/main-job/. Everything it starts it stops again,
# also on failure; the exit code is 0 only when every step succeeded.
#
#   scripts/main-job.sh
#
# Settings: PANEL_JOB_SIZE (block size for vsbtool, default 256K),
# PANEL_JOB_DEVICE (version the controller holds, default 1.00),
# PANEL_JOB_FILE (version of the file, default 1.05).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)

size=${PANEL_JOB_SIZE:-256K}
device_version=${PANEL_JOB_DEVICE:-1.00}
file_version=${PANEL_JOB_FILE:-1.05}
name=Pallavox
out=$root/build/main-job
wine_dir=$root/build/main-job-wine

step() { echo; echo "== $*"; }
shots=()
job_pid=
wine_started=0
vctl_started=0

die() {
  echo "MAIN JOB FAILED: $*"
  exit 1
}

cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  if [ -n "$job_pid" ] && kill -0 "$job_pid" 2>/dev/null; then
    ui close --timeout 3 >/dev/null 2>&1
    timeout 5 tail --pid="$job_pid" -f /dev/null || kill "$job_pid" 2>/dev/null
    wait "$job_pid" 2>/dev/null
  fi
  if [ $vctl_started -eq 1 ]; then
    "$VCTL" unplug >/dev/null 2>&1
    "$VCTL" stop >/dev/null 2>&1
  fi
  [ $wine_started -eq 1 ] && scripts/wine-env.sh stop "$wine_dir" >/dev/null 2>&1
  if [ $rc -ne 0 ] && [ ${#shots[@]} -gt 0 ]; then
    echo "screenshots so far:"
    printf '  %s\n' "${shots[@]}"
  fi
  exit $rc
}
trap cleanup EXIT
trap 'echo "interrupted"; exit 130' INT TERM

step "set up"
bash scripts/setup.sh || die "setup failed"
PANEL_WINESERVER=$(scripts/build-wineserver.sh) || die "the patched wineserver could not be built"
export PANEL_WINESERVER
echo "wineserver: $PANEL_WINESERVER"

step "build native, win64, win32"
scripts/build.sh native win64 win32 || die "build failed"

step "the shipped 32-bit programs"
binaries=$(scripts/check-binaries.sh 2>&1)
binaries_rc=$?
awk '/^build\/win32\// {p = 1; print; next} /^build\// {p = 0} p' <<<"$binaries"
[ $binaries_rc -eq 0 ] || { echo "$binaries"; die "a program needs a DLL that is not part of Windows"; }
echo "panelup.exe (win32) exports:"
i686-w64-mingw32-objdump -p build/win32/updater/panelup.exe | sed -n '/Ordinal\/Name Pointer/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] /  /p'

PANELUP=$root/build/win64/updater/panelup.exe
UIAUTO=$root/build/win64/tests/ui/uiauto.exe
VSBTOOL=$root/build/native/tools/vsbtool/vsbtool
VCTL=$root/build/native/testbed/vctl/vctl
export PANEL_VCSETUP=$root/build/win64/testbed/vcsetup/vcsetup.exe
for f in "$PANELUP" "$UIAUTO" "$VSBTOOL" "$VCTL" "$PANEL_VCSETUP"; do
  [ -x "$f" ] || [ -f "$f" ] || die "missing after the build: $f"
done

rm -rf "$out"
mkdir -p "$out"

step "wine environment ($wine_dir)"
# Its own folder, a fresh prefix. The server and Xvfb run in the background
# with their output in a log, not on this script's output.
scripts/wine-env.sh start "$wine_dir" >"$out/wine-env.log" 2>&1 || { cat "$out/wine-env.log"; die "wine environment did not start"; }
wine_started=1
# shellcheck disable=SC1091
source "$wine_dir/env"
cat "$out/wine-env.log"

ui() { "$WINE64" "$UIAUTO" "$@"; }
winpath() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }
shot() {
  local file="$out/$1.png"
  import -window root "$file" 2>/dev/null || die "screenshot $file failed"
  shots+=("$file")
}

step "virtual controller holding $name $device_version"
"$VCTL" stop >/dev/null 2>&1   # a daemon left behind by an earlier run
rm -rf "$wine_dir/vc"
"$VCTL" start || die "vctl start failed"
vctl_started=1
"$VCTL" install || die "the controller's drivers did not install"
"$VCTL" plug || die "the controller did not plug in"
"$VCTL" set version 1 "$device_version" >/dev/null || die "vctl set version failed"
"$VCTL" status | grep -E '^(versions|present|protocol|packet size):'

step "system file: $name $file_version, $size of block data"
vsb=$out/$name-$file_version.vsb
"$VSBTOOL" build "$vsb" --block "name=$name,type=MAIN,code=1,version=$file_version,pid=44:01:ff,base=0x10000,size=$size,pattern=random" ||
  die "vsbtool could not build the file"
info=$("$VSBTOOL" info "$vsb") || { echo "$info"; die "vsbtool does not accept its own file"; }
echo "$info" | grep -E 'device name|version|base address|block offset|block length'
base=$(sed -n 's/^ *base address *: *\(0x[0-9A-Fa-f]*\).*/\1/p' <<<"$info")
offset=$(sed -n 's/^ *block offset *: *\(0x[0-9A-Fa-f]*\).*/\1/p' <<<"$info")
length=$(sed -n 's/^ *block length *: *\([0-9]*\).*/\1/p' <<<"$info")
file_size=$(stat -c %s "$vsb")

step "panelup.exe (win64) under wine64"
PANEL_TIMEOUT=600 PANEL_WINE_EXEC_ONCE=1 scripts/wine-exec.sh "$PANELUP" "$(winpath "$vsb")" >"$out/panelup.log" 2>&1 &
job_pid=$!
ui wait-window --timeout 30 >/dev/null || die "no updater window"
ui sync --timeout 30 || die "the updater does not answer"
ui expect-info 0 210 "$name" --timeout 10 || die "the file's device name is not shown"
ui expect-info 2 210 "$file_version" || die "the file's version is not shown"
ui expect-info 1 210 "$device_version (needs update)" --timeout 10 || die "the device's version is not shown as needing an update"
ui expect-message 0 "Update puts the latest system software" || die "no update offer"
[ "$(ui button)" = "Update enabled" ] || die "the Update button is not offered"
echo "shown: $name, device $device_version (needs update), file $file_version; update offered"
shot 01-before

step "update"
started=$(date +%s%N)
ui press-update || die "Update could not be pressed"
ui expect-message 0 "Now updating..." || die "the run did not start"
# One screenshot while the bar is on its way.
during=
for _ in $(seq 600); do
  pos=$(ui progress | sed -n 's/^pos=\([0-9]*\) .*/\1/p')
  if [ -n "$pos" ] && [ "$pos" -gt 256 ]; then
    shot 02-during
    during=$pos
    break
  fi
  sleep 0.05
done
[ -n "$during" ] || die "the progress bar did not move"
echo "progress: $during of $file_size bytes when the screenshot was taken"
box=$(ui wait-box --caption Completed. --timeout 300) || die "no \"Completed.\" box (the run failed?)"
seconds=$(awk "BEGIN {printf \"%.1f\", ($(date +%s%N) - $started) / 1e9}")
echo "$box" | sed -n 's/^text=/"Completed." box: /p'
echo "$box" | grep -qxF "text=$name has been updated successfully." || die "unexpected box text"
shot 03-completed
ui move-box 0 640 --caption Completed. || die "cannot move the box"
ui expect-info 1 10 "$name has been updated to $file_version successfully." || die "no success line"
ui expect-info 2 10 "Turn if off back on to use it." || die "no second success line"
shot 04-success-lines
[ "$(ui progress)" = "pos=$file_size range=0..$file_size" ] || die "the progress bar is not at the end: $(ui progress)"
exit_code=$(ui answer-box 1 --caption Completed. --wait --timeout 20) || die "the updater did not end after the box"
[ "$exit_code" = "exit-code=0" ] || die "the updater ended with $exit_code"
rc=0
wait "$job_pid" || rc=$?
job_pid=
[ $rc -eq 0 ] || die "panelup.exe ended with $rc"
echo "panelup ended by itself after the box, exit code 0"

step "flash image against the file"
"$VCTL" flash "$out/flash.bin" --base $((base + offset)) --length "$length" || die "vctl flash failed"
tail -c +257 "$vsb" | head -c "$length" >"$out/block.bin"
cmp "$out/flash.bin" "$out/block.bin" || die "the flash image differs from the file's block data"
now=$("$VCTL" status | sed -n 's/^versions: //p')
echo "flash $(printf '0x%X' $((base + offset))).. ($length bytes) equals the file's block data; device versions: $now"
[ "$now" = "01=$file_version (others 1.00)" ] || [ "$now" = "all $file_version" ] ||
  die "the device does not report $file_version"

step "outcome"
echo "MAIN JOB PASSED: panelup updated the $name from $device_version to $file_version in $seconds s;"
echo "the flash image equals the $length bytes of block data of $vsb."
echo "screenshots:"
printf '  %s\n' "${shots[@]}"
