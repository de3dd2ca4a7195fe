#!/bin/bash
# The main job, end to end, as a user runs the product: sets up the machine,
# builds the three configurations, lays out the shipped folder, and starts
# its 32-bit panelprep.exe under wine64 (WoW64, as on 64-bit Windows). The
# launcher hands over to its 64-bit edition, which asks for the controller
# (plugged in at that box), installs the update-mode driver, starts the
# shipped 32-bit panelup, which updates the virtual controller from a system
# file beside it ("Completed."), then removes the driver's traces and ends
# with 19. The flash image is compared with the file's block data byte for
# byte, and the registry and Inf folder before and after the run.
# Screenshots of every box and of the updater go to build/main-job/; the
# release (the folder's zip and SHA256SUMS, scripts/make-dist.sh) to
# build/dist/.
# Everything it starts it stops again, also on failure; the exit code is 0
# only when every step succeeded.
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
dist=$out/dist
wine_dir=$root/build/main-job-wine
caption="ORLO Pallavox/Strivane Updater"

step() { echo; echo "== $*"; }
shots=()
wine_started=0
vctl_started=0

die() {
  echo "MAIN JOB FAILED: $*"
  exit 1
}

cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  # The job's own programs, in its own prefix: the launchers and the updater
  # still open end before the controller is pulled (other wine programs on
  # this machine are left alone).
  if [ $wine_started -eq 1 ]; then
    "${WINE64:-/usr/lib/wine/wine64}" taskkill /f /im panelprep.exe /im panelprep64.exe /im panelup.exe >/dev/null 2>&1
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

step "the shipped folder"
rm -rf "$out"
mkdir -p "$out"
shipped=$(scripts/make-dist.sh) || die "the shipped folder could not be laid out"
release=$(dirname "$shipped")
(cd "$release" && sha256sum -c --quiet SHA256SUMS) || die "the release does not match its SHA256SUMS"
echo "release: $shipped.zip and $release/SHA256SUMS (the zip and every file of the folder):"
sed 's/^/  /' "$release/SHA256SUMS"
cp -r "$shipped" "$dist"
binaries=$(scripts/check-binaries.sh 2>&1) || { echo "$binaries"; die "a program needs a DLL that is not part of Windows"; }
for f in "$dist"/*; do
  printf '  %-16s %s\n' "$(basename "$f")" "$(file -b "$f" | cut -d, -f1-2)"
done
echo "panelup.exe exports:"
i686-w64-mingw32-objdump -p "$dist/panelup.exe" | sed -n '/Ordinal\/Name Pointer/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] /  /p'

UIAUTO=$root/build/win64/tests/launcher/uiauto.exe
VSBTOOL=$root/build/native/tools/vsbtool/vsbtool
VCTL=$root/build/native/testbed/vctl/vctl
PREPTOOL=$root/build/win64/testbed/vcsetup/preptool.exe
export PANEL_VCSETUP=$root/build/win64/testbed/vcsetup/vcsetup.exe
for f in "$UIAUTO" "$VSBTOOL" "$VCTL" "$PREPTOOL" "$PANEL_VCSETUP"; do
  [ -f "$f" ] || die "missing after the build: $f"
done

step "wine environment ($wine_dir)"
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
# box NAME TEXT-START: the launcher shows a box whose text begins so; screenshot.
box() {
  local shown
  shown=$(ui wait-box --caption "$caption" --timeout "${3:-60}") || die "no launcher box ($1)"
  grep -q "^text=$2" <<<"$shown" || { echo "$shown"; die "unexpected box instead of $1"; }
  sed -n 's/^text=/  box: /p' <<<"$shown"
  shot "$1"
}
answer() { ui answer-box "$1" --caption "$caption" "${@:2}"; }
snapshot() { "$WINE64" "$PREPTOOL" snapshot "$(winpath "$1")" >/dev/null || die "snapshot $1 failed"; }

step "virtual controller holding $name $device_version, switched off, only its bus driver"
"$VCTL" stop >/dev/null 2>&1   # a daemon left behind by an earlier run
rm -rf "$wine_dir/vc"
"$VCTL" start || die "vctl start failed"
vctl_started=1
"$VCTL" install --no-update-driver || die "the controller's bus did not install"
"$VCTL" unplug >/dev/null || die "the controller could not be switched off"
"$VCTL" set version 1 "$device_version" >/dev/null || die "vctl set version failed"

step "system file: $name $file_version, $size of block data, beside panelup"
vsb=$dist/$name-$file_version.vsb
"$VSBTOOL" build "$vsb" --block "name=$name,type=MAIN,code=1,version=$file_version,pid=44:01:ff,base=0x10000,size=$size,pattern=random" ||
  die "vsbtool could not build the file"
info=$("$VSBTOOL" info "$vsb") || { echo "$info"; die "vsbtool does not accept its own file"; }
base=$(sed -n 's/^ *base address *: *\(0x[0-9A-Fa-f]*\).*/\1/p' <<<"$info")
offset=$(sed -n 's/^ *block offset *: *\(0x[0-9A-Fa-f]*\).*/\1/p' <<<"$info")
length=$(sed -n 's/^ *block length *: *\([0-9]*\).*/\1/p' <<<"$info")
ls "$dist"
snapshot "$out/system-before.txt"

# Whether this machine runs 32-bit Windows code: under wine64's WoW64 where
# the kernel runs i386 code natively (scripts/i386.sh; set-up installed
# wine32 there), otherwise not at all.
# shellcheck source=scripts/i386.sh
source scripts/i386.sh
if i386_native; then
  i386_wine32 || die "this machine runs i386 code, but wine32:i386 is missing (scripts/setup.sh installs it)"
  bits=native
else
  bits=none
fi
started=$(date +%s%N)
if [ $bits = none ]; then
  step "panelprep64.exe, as the 32-bit launcher starts it under 64-bit Windows"
  echo "(32-bit programs do not run here: $I386_WHY. The launcher's 64-bit edition is started"
  echo " directly, and the shipped folder's updater is replaced by its 64-bit twin, built from the"
  echo " same sources)"
  cp "$root/build/win64/updater/panelup.exe" "$dist/panelup.exe"
  "$WINE64" "$dist/panelprep64.exe" >"$out/panelprep.log" 2>&1 &
else
  step "panelprep.exe (32-bit) started by the user"
  rc=0
  PANEL_TIMEOUT=900 PANEL_WINE_EXEC_ONCE=1 scripts/wine-exec.sh "$dist/panelprep.exe" >"$out/panelprep.log" 2>&1 || rc=$?
  [ $rc -eq 9 ] || die "the 32-bit launcher ended with $rc, not 9 (handed over to its 64-bit edition)"
  echo "panelprep.exe handed over to panelprep64.exe and ended with 9"
fi

step "the launcher's boxes, the controller plugged in at the first"
box 01-plug-in "Plug in a Pallavox or Strivane"
"$VCTL" plug >/dev/null || die "the controller did not plug in"
answer 1 >/dev/null || die "could not answer the box"
box 02-driver-notice "The driver will be installed"
answer 1 >/dev/null || die "could not answer the box"

step "panelup.exe, started by the launcher"
ui wait-window --timeout 600 >/dev/null || die "no updater window"
ui sync --timeout 60 || die "the updater does not answer"
snapshot "$out/system-during.txt"
ui expect-info 0 210 "$name" --timeout 60 || die "the file's device name is not shown"
ui expect-info 1 210 "$device_version (needs update)" --timeout 60 || die "the device's version is not shown as needing an update"
shot 03-updater
ui press-update || die "Update could not be pressed"
for _ in $(seq 1200); do
  pos=$(ui progress | sed -n 's/^pos=\([0-9]*\) .*/\1/p')
  if [ -n "$pos" ] && [ "$pos" -gt 256 ]; then shot 04-during; break; fi
  sleep 0.05
done
ui wait-box --caption Completed. --timeout 900 >/dev/null || die "no \"Completed.\" box (the run failed?)"
shot 05-completed
[ "$(ui answer-box 1 --caption Completed. --wait --timeout 60)" = "exit-code=0" ] || die "the updater did not end with 0"

step "flash image against the file"
"$VCTL" flash "$out/flash.bin" --base $((base + offset)) --length "$length" >/dev/null || die "vctl flash failed"
tail -c +257 "$vsb" | head -c "$length" >"$out/block.bin"
cmp "$out/flash.bin" "$out/block.bin" || die "the flash image differs from the file's block data"
echo "flash $(printf '0x%X' $((base + offset))).. ($length bytes) equals the file's block data"

step "clean-up"
box 06-updater-ended "System version up process was completed."
answer 1 >/dev/null || die "could not answer the box"
box 07-uninstalled "The driver has been uninstalled successfully."
code=$(answer 1 --wait --timeout 60) || die "the launcher did not end"
[ "$code" = "exit-code=19" ] || die "the launcher ended with $code, not 19"
seconds=$(awk "BEGIN {printf \"%.1f\", ($(date +%s%N) - $started) / 1e9}")
snapshot "$out/system-after.txt"
echo "installed during the run (registry below Enum\\USB and the media class, Inf folder):"
diff "$out/system-before.txt" "$out/system-during.txt" | sed -n 's/^> /  + /p' | grep -v ' : "'
diff -u "$out/system-before.txt" "$out/system-after.txt" >"$out/system.diff" ||
  { cat "$out/system.diff"; die "the system is not as before the launcher ran"; }
echo "after the clean-up: the same as before the run, access lists included"

step "outcome"
echo "MAIN JOB PASSED: panelprep installed the driver, panelup updated the $name from $device_version to"
echo "$file_version (the $length bytes of block data are in its flash), the clean-up removed every trace,"
echo "exit 19, in $seconds s."
echo "release: $shipped.zip, $release/SHA256SUMS"
echo "screenshots:"
printf '  %s\n' "${shots[@]}"
