#!/bin/bash
# Scenarios of the launcher under wine64 + Xvfb, driven through its real
# message boxes (by caption and text), against the virtual controller, with
# the real driver installation and the registry and Inf-folder clean-up.
# Under wine64 the launcher's 64-bit edition does the work, as after the
# hand-over on 64-bit Windows; it starts the shipped 32-bit panelup.
#
# usage: launcher.sh GROUP DIST UIAUTO VCTL PREPTOOL VSBTOOL WORKDIR ARTEFACTS
#   DIST: the shipped folder (scripts/make-dist.sh)
#
# The controller is brought up by scripts/vc-fixture.sh with its driver;
# each group takes it as the launcher finds it (bus driver only, unplugged)
# and leaves it as the fixture made it.
set -u
GROUP=$1
DIST=$(realpath "$2") UIAUTO=$(realpath "$3") VCTL=$(realpath "$4") PREPTOOL=$(realpath "$5")
VSBTOOL=$(realpath "$6") WORK=$(realpath -m "$7") ART=$(realpath -m "$8")
SHOT_PREFIX="launcher-${GROUP}-"
# shellcheck source=tests/ui/uitest.sh
source "$(dirname "$0")/../ui/uitest.sh"
trap finish EXIT

rm -rf "$WORK"
mkdir -p "$WORK"
cd "$WORK" || exit 1

CAPTION="ORLO Pallavox/Strivane Updater"
PREP_RC=$WORK/panelprep.rc
PREP_PID=

# --- the texts, as uiauto prints them (a line break as \n) --------------------

declare -A EN JA
EN[M1]="This application can't run under Windows98/Me."
JA[M1]="このアプリケーションはWindows98/Meでは動作しません。"
EN[M3]='In order to install or uninstall the driver,\nyou must have Administrator privileges.'
JA[M3]="ドライバをインストール/アンインストールするには、管理者権限が必要です。"
EN[M4]="Error: Some files are missing."
JA[M4]="エラー: ファイルがいくつか足りません。"
EN[M5]='Please cancel and finish the Hardware Wizard, and then click [OK] below to continue.\nPlease ignore the warning shown in the taskbar.'
JA[M5]='ハードウェアウィザードを[キャンセル]で終了させます。そして下の[OK]をクリックしてください。\nタスクバーに表示される警告は無視してください。'
EN[M6]='Plug in a Pallavox or Strivane to update after turning it on by\nholding down [SETTING], [MESSAGE], [EXIT] and [ > ].\nAfter starting the Hardware Wizard, click [OK] below to continue.'
JA[M6]='[SETTING], [MESSAGE], [EXIT], [ > ] を同時に押しながら\nPallavox または Strivane の電源を ON にしてください。\nハードウェア ウィザードが表示されたら下の [OK] をクリックします。'
EN[M7]='The driver will be installed to execute the version up process.\nIf a dialog box appears, warning you that the driver is not digitally signed, \nclick [Continue Anyway]. '
JA[M7]='バージョンアップ作業に必要なドライバーをインストールします。\nインストールの途中、デジタル署名認証の警告ダイアログが表示される場合がありますが、\n[続行] をクリックして先に進めます。'
EN[M8]="Error occurred during driver installation."
JA[M8]="ドライバーのインストール作業中にエラーが発生いたしました。"
EN[M9]='Error: File not found. [%s]'
JA[M9]='エラー: ファイルが見つかりません。\n[%s]'
EN[M10]='System version up process was completed. \nPlease click [OK] to uninstall the driver.'
JA[M10]="バージョンアップ作業が終了したので、ドライバーをアンインストールします。"
EN[M11]='The driver has been uninstalled successfully. \nPlease click [OK] to finish.'
JA[M11]='ドライバーを正常にアンインストールしました。\nシステムバージョンアップを終了します。'
EN[NOFILE]="ERROR: File Not Found"
JA[NOFILE]="エラー: ドライバ ファイルが見つかりません。"
EN[NODEV]="ERROR: ORLO Device is not plugged in."
JA[NODEV]="エラー: ORLOデバイスが接続されていません。"
# Boxes with OK and Cancel; the others have OK only.
OK_CANCEL=" M5 M6 M7 "
LANG_TEXTS=EN

# --- the controller, the system, the launcher ----------------------------------------

vc() {
  "$VCTL" "$@" >/dev/null 2>"$WORK/vctl.err" || { fail "vctl $*: $(cat "$WORK/vctl.err")"; return 1; }
}

prep() {
  once_more 9 "preptool $1" "$WINE64" "$PREPTOOL" "$@"
}

# The controller as the launcher finds it: its bus driver only (once per
# group; the launcher's clean-up removes what it installs), switched off.
controller_off() {
  vc fault clear
  vc reset
  if [ -z "${DRIVER_TAKEN_OFF:-}" ]; then
    vc install --no-update-driver
    DRIVER_TAKEN_OFF=1
  fi
  vc unplug
}

# A copy of the shipped folder: launcher_folder DIR [SETTINGS-LINES...]
# (without lines: the shipped settings file).
launcher_folder() {
  local dir=$1
  shift
  mkdir -p "$dir"
  cp "$DIST"/* "$dir/"
  if [ $# -gt 0 ]; then printf '%s\r\n' "$@" >"$dir/panelprep.INI"; fi
}

# Starts the launcher's 64-bit edition: start_launcher [--env V=X]... DIR [ARGS...]
start_launcher() {
  local envs=()
  while [ "${1:-}" = "--env" ]; do
    envs+=("$2")
    shift 2
  done
  local dir=$1
  shift
  rm -f "$PREP_RC"
  (
    rc=0
    env "${envs[@]}" "$WINE64" "$dir/panelprep64.exe" "$@" >/dev/null 2>&1 || rc=$?
    echo $rc >"$PREP_RC"
  ) &
  PREP_PID=$!
}

# expect_box KEY [ARG]: the launcher shows message KEY (in LANG_TEXTS; %s
# filled with ARG) with its buttons; screenshot NAME-KEY.
expect_box() {
  local key=$1 arg=${2:-} out want
  local -n texts=$LANG_TEXTS
  want=${texts[$key]}
  [ -n "$arg" ] && want=${want//%s/$arg}
  out=$(ui wait-box --caption "$CAPTION" --timeout 30 2>&1) || { fail "no box $key: $out"; return 1; }
  grep -qxF -- "text=$want" <<<"$out" || fail "box $key: wanted [$want], shown:
$out"
  if [[ "$OK_CANCEL" == *" $key "* ]]; then
    grep -q '^control 2 Button' <<<"$out" || fail "box $key has no Cancel button"
  else
    ! grep -q '^control 2 Button' <<<"$out" || fail "box $key has a Cancel button"
  fi
  shot "$(printf '%02d' ${#UI_SHOTS[@]})-$key"
  return 0
}

answer() {
  check "answer $1" ui answer-box "$1" --caption "$CAPTION"
}

# The launcher ended with CODE.
expect_exit() {
  local want=$1 _
  for _ in $(seq 300); do [ -f "$PREP_RC" ] && break; sleep 0.1; done
  if [ ! -f "$PREP_RC" ]; then
    fail "the launcher did not end (wanted $want)"
    pkill -f panelprep64.exe
    return 1
  fi
  [ "$(cat "$PREP_RC")" = "$want" ] || fail "the launcher ended with $(cat "$PREP_RC"), wanted $want"
  wait "$PREP_PID" 2>/dev/null
  PREP_PID=
}

snapshot() {
  prep snapshot "$(winpath "$1")" >/dev/null || fail "snapshot $1"
}

# The whole road once: controller off, M6 until it is plugged in, M7, the
# install, panelup updating it to "Completed.", M10, clean-up, M11, 19.
# whole_sequence DIR FILE [LAUNCHER-ARGS...]
whole_sequence() {
  local dir=$1 vsb=$2
  shift 2
  controller_off
  snapshot "$WORK/before.txt"
  start_launcher "$dir" "$@"
  expect_box M6 && answer 1
  expect_box M6  # one second later: still nothing there
  vc plug
  answer 1
  expect_box M7 && answer 1
  # The launcher installs the driver and starts panelup, which updates.
  check "panelup's window" ui wait-window --timeout 30
  # Installed: the controller's device key, its driver key and the OEM INF.
  snapshot "$WORK/during.txt"
  diff "$WORK/before.txt" "$WORK/during.txt" >"$WORK/install.diff"
  grep -qi '^> .*Enum\\USB\\VID_0944&PID_1001' "$WORK/install.diff" || fail "no device key after the install"
  grep -qi '^> .*{36FC9E60-C465-11CF-8056-444553540000}\\[0-9]\{4\}' "$WORK/install.diff" || fail "no driver key after the install"
  grep -qi '^> %windir%\\inf\\.*\.inf' "$WORK/install.diff" || fail "no OEM INF after the install"
  expect_file_shown Pallavox 1.05 "1.00 (needs update)"
  shot "$(printf '%02d' ${#UI_SHOTS[@]})-panelup"
  check "Update pressed" ui press-update
  check "\"Completed.\" box" ui wait-box --caption Completed. --timeout 120
  check "panelup ends after the box" ui answer-box 1 --caption Completed. --wait --timeout 20
  expect_flash_of "$vsb"
  expect_box M10 && answer 1
  expect_box M11 && answer 1
  expect_exit 19
  snapshot "$WORK/after.txt"
  if ! diff -u "$WORK/before.txt" "$WORK/after.txt" >"$WORK/snapshot.diff"; then
    fail "the system is not as before the launcher ran:
$(head -40 "$WORK/snapshot.diff")"
  fi
}

# The flash holds the block data of a one-block system file.
expect_flash_of() {
  local file=$1 info base offset length
  info=$("$WINE64" "$VSBTOOL" info "$(winpath "$file")" 2>&1)
  base=$(sed -n 's/^ *base address *: *\(0x[0-9A-Fa-f]*\).*/\1/p' <<<"$info")
  offset=$(sed -n 's/^ *block offset *: *\(0x[0-9A-Fa-f]*\).*/\1/p' <<<"$info")
  length=$(sed -n 's/^ *block length *: *\([0-9]*\).*/\1/p' <<<"$info")
  "$VCTL" flash "$WORK/flash.bin" --base $((base + offset)) --length "$length" >/dev/null ||
    { fail "vctl flash"; return; }
  tail -c +257 "$file" | head -c "$length" >"$WORK/block.bin"
  cmp -s "$WORK/flash.bin" "$WORK/block.bin" || fail "the flash image differs from the file's block data"
}

# Leaves the controller as the fixture made it: driver installed, plugged in.
restore_controller() {
  # Off and on first: after the clean-up the running device has no record.
  "$VCTL" unplug >/dev/null 2>&1
  "$VCTL" install >/dev/null 2>"$WORK/restore.err" || fail "vctl install at the end: $(cat "$WORK/restore.err")"
  "$VCTL" plug >/dev/null 2>&1 || "$VCTL" replug >/dev/null 2>&1 || fail "vctl plug at the end"
}
at_finish restore_controller

# --- groups ---------------------------------------------------------------------

case "$GROUP" in
sequence)
  # The shipped folder as it is, the system file beside panelup; twice.
  launcher_folder "$WORK/dist"
  make_vsb "$WORK/dist/Pallavox.vsb" Pallavox 1.05
  whole_sequence "$WORK/dist" "$WORK/dist/Pallavox.vsb"
  [ "$(cat "$WORK/before.txt")" != "" ] || fail "empty snapshot"
  cp "$WORK/snapshot.diff" "$WORK/first.diff" 2>/dev/null
  whole_sequence "$WORK/dist" "$WORK/dist/Pallavox.vsb"
  ;;
*)
  fail "unknown group $GROUP"
  ;;
esac
