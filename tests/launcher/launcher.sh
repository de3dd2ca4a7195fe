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
# PANEL_LAUNCHER=panelprep.exe starts the user's 32-bit launcher instead of
# the 64-bit edition (under WoW64, where the kernel runs i386 code): it must
# hand over to panelprep64.exe and end with 9; the edition's exit code is
# what the scenario expects.
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
EN[M2]="This application can't run under Windows XP 64-bit Edition."
JA[M2]=${EN[M2]}
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
EN[M12]='The driver could not be uninstalled completely.\nSome of its registry entries or files are left on this computer.'
JA[M12]='ドライバーを完全にはアンインストールできませんでした。\nレジストリまたはファイルの一部がこのコンピューターに残っています。'
EN[NOFILE]="ERROR: File Not Found"
JA[NOFILE]="エラー: ドライバ ファイルが見つかりません。"
EN[NODEV]="ERROR: ORLO Device is not plugged in."
JA[NODEV]="エラー: ORLOデバイスが接続されていません。"
# Boxes with OK and Cancel; the others have OK only.
OK_CANCEL=" M5 M6 M7 "
LANG_TEXTS=EN

# --- the controller, the system, the launcher ----------------------------------------

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

# Starts the launcher (PANEL_LAUNCHER, default its 64-bit edition) in the
# environment PREP_ENV (VAR=VALUE...): start_launcher DIR [ARGS...]
PREP_ENV=()
LAUNCHER=${PANEL_LAUNCHER:-panelprep64.exe}
start_launcher() {
  local envs=("${PREP_ENV[@]}")
  local dir=$1
  shift
  rm -f "$PREP_RC"
  if [ "$LAUNCHER" = panelprep.exe ] && [ -f "$dir/panelprep64.exe" ]; then
    start_handover "$dir" "$@"
    return
  fi
  (
    rc=0
    env "${envs[@]}" "$WINE64" "$dir/$LAUNCHER" "$@" >/dev/null 2>>"$WORK/launcher.err" || rc=$?
    echo $rc >"$PREP_RC"
  ) &
  PREP_PID=$!
}

# The 32-bit launcher hands over: it ends with 9 at once, and the exit code
# of the panelprep64.exe it started (waited for by uiauto) is the outcome.
start_handover() {
  local dir=$1
  shift
  (
    ui wait-process panelprep64.exe --timeout 900 >"$WORK/edition.out" 2>&1 &
    watcher=$!
    rc=0
    env "${PREP_ENV[@]}" "$WINE64" "$dir/panelprep.exe" "$@" >/dev/null 2>&1 || rc=$?
    if [ $rc -ne 9 ]; then
      kill $watcher 2>/dev/null
      echo "$rc (panelprep.exe, instead of 9 after the hand-over)" >"$PREP_RC"
    elif wait $watcher; then
      sed -n 's/^exit-code=//p' "$WORK/edition.out" >"$PREP_RC"
    else
      echo "unknown: panelprep64.exe not seen ($(cat "$WORK/edition.out"))" >"$PREP_RC"
    fi
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
  out=$(ui wait-box --caption "$CAPTION" --timeout 30 "${BOX_OPTS[@]}" 2>&1) || { fail "no box $key: $out"; return 1; }
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

# Options of uiauto for the launcher's boxes: while a stand-in holds
# panelup's window class, not that process's boxes only.
BOX_OPTS=()
answer() {
  check "answer $1" ui answer-box "$1" --caption "$CAPTION" "${BOX_OPTS[@]}"
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
  expect_flash_is "$vsb"
  expect_box M10 && answer 1
  expect_box M11 && answer 1
  expect_exit 19
  snapshot "$WORK/after.txt"
  if ! diff -u "$WORK/before.txt" "$WORK/after.txt" >"$WORK/snapshot.diff"; then
    fail "the system is not as before the launcher ran:
$(head -40 "$WORK/snapshot.diff")"
  fi
}

# Leaves the controller as the fixture made it: driver installed, plugged in.
restore_controller() {
  # Off and on first: after the clean-up the running device has no record.
  "$VCTL" unplug >/dev/null 2>&1
  "$VCTL" install >/dev/null 2>"$WORK/restore.err" || fail "vctl install at the end: $(cat "$WORK/restore.err")"
  "$VCTL" plug >/dev/null 2>&1 || "$VCTL" replug >/dev/null 2>&1 || fail "vctl plug at the end"
}
at_finish restore_controller

# The Japanese texts as an English system (code page 1252) shows the bytes
# the launcher passes: proof that /J chose them where no Japanese font can.
as_cp1252() {
  python3 -c 'import sys
b = sys.argv[1].encode("cp932")
print("".join(bytes([c]).decode("cp1252", "ignore") or chr(c) for c in b), end="")' "$1"
}

# A Japanese system (default language 0x411, code page 932), or an English one.
japanese() {
  LANG_TEXTS=JA
  PREP_ENV=(LC_ALL=ja_JP.UTF-8)
  UI_ENV=(LC_ALL=ja_JP.UTF-8)
}
english() {
  LANG_TEXTS=EN
  PREP_ENV=()
  UI_ENV=()
}

# One launcher start whose first box is KEY: start, expect, answer ID, exit code.
first_box() {
  local key=$1 id=$2 code=$3
  shift 3
  start_launcher "$@"
  expect_box "$key" && answer "$id"
  expect_exit "$code"
}

app_version() {
  if [ -n "$1" ]; then
    "$WINE64" reg add 'HKCU\Software\Wine\AppDefaults\panelprep64.exe' /v Version /d "$1" /f >/dev/null 2>&1
  else
    "$WINE64" reg delete 'HKCU\Software\Wine\AppDefaults\panelprep64.exe' /f >/dev/null 2>&1
  fi
  return 0
}

# A preptool call at the end, whatever state the group reached.
safety_net() {
  "$WINE64" "$PREPTOOL" "$@" >/dev/null 2>&1
  return 0
}

# Removes what a run that ended without its clean-up left installed.
remove_leftovers() {
  prep delete-key 'SYSTEM\CurrentControlSet\Enum\USB\VID_0944&PID_1001' >/dev/null 2>&1
  local k
  for k in 0000 0001 0002 0003; do
    prep delete-key "SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}\\$k" >/dev/null 2>&1
  done
  rm -f "$WINEPREFIX/drive_c/windows/inf/vcupd.inf" "$WINEPREFIX/drive_c/windows/inf/vcupd.pnf"
}

# Starts the launcher with the controller plugged in and answers its way to
# the clean-up: M7 OK, then the updater (missing: M9 with its path).
to_cleanup_without_updater() {
  local dir=$1
  controller_off
  vc plug
  start_launcher "$dir"
  expect_box M7 && answer 1
  expect_box M9 "$(winpath "$dir")\\missing.exe"
}

# The access list of Enum\USB reads the same in two snapshots.
same_usb_acl() {
  local line='^HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB :: security'
  [ "$(grep "$line" "$1")" = "$(grep "$line" "$2")" ] || fail "the access list of Enum\\USB changed:
$(grep -h "$line" "$1" "$2")"
}

# A clean-up that left KEPT (a snapshot line) behind: M12 and 18, the access
# list of Enum\USB as in before.txt, the driver keys and the OEM INF gone.
expect_incomplete_cleanup() {
  expect_box M12 && answer 1
  expect_exit 18
  snapshot "$WORK/after.txt"
  same_usb_acl "$WORK/before.txt" "$WORK/after.txt"
  grep -qi "$1" "$WORK/after.txt" || fail "[$1] is gone after the clean-up"
  ! grep -qi '{36FC9E60-C465-11CF-8056-444553540000}\\[0-9]\{4\}.$' "$WORK/after.txt" || fail "a driver key is left"
  ! grep -qi 'inf\\vcupd\.inf' "$WORK/after.txt" || fail "the OEM INF is left"
}

# --- groups ---------------------------------------------------------------------

case "$GROUP" in
sequence)
  # The shipped folder as it is, the system file beside panelup; twice.
  launcher_folder "$WORK/dist"
  make_vsb "$WORK/dist/Pallavox.vsb" Pallavox 1.05
  whole_sequence "$WORK/dist" "$WORK/dist/Pallavox.vsb"
  [ -s "$WORK/before.txt" ] || fail "empty snapshot"
  whole_sequence "$WORK/dist" "$WORK/dist/Pallavox.vsb"
  ;;
exits | exits_ja)
  [ "$GROUP" = exits_ja ] && japanese
  # 1: Windows 98 and NT 4.0.
  launcher_folder "$WORK/dist"
  at_finish app_version ""
  for v in win98 nt40; do
    app_version $v
    first_box M1 1 1 "$WORK/dist"
  done
  app_version ""
  # 2: the media class key refuses writing.
  at_finish safety_net class-acl restore
  prep class-acl readonly >/dev/null || fail "class-acl readonly"
  first_box M3 1 2 "$WORK/dist"
  prep class-acl restore >/dev/null || fail "class-acl restore"
  # 4: each way the settings or the INF file can be incomplete.
  inf_ok=$(cat "$DIST/vcupd.inf")
  bad=(
    "[Driver]|Inf=vcupd.inf"                                    # no exe
    "[Application]|exe=panelup.exe"                             # no Inf
    "[Driver]|Inf=|[Application]|exe=panelup.exe"               # empty Inf
    "[Driver]|Inf=none.inf|[Application]|exe=panelup.exe"       # no INF file
    "[Driver]|Inf=$(printf 'a%.0s' $(seq 70)).inf|[Application]|exe=panelup.exe"  # cut to 63: no such file
  )
  for b in "${bad[@]}"; do
    launcher_folder "$WORK/bad"
    IFS='|' read -r -a lines <<<"$b"
    printf '%s\r\n' "${lines[@]}" >"$WORK/bad/panelprep.INI"
    first_box M4 1 4 "$WORK/bad"
  done
  rm -f "$WORK/bad/panelprep.INI"
  first_box M4 1 4 "$WORK/bad"                                  # no settings file
  for inf in "[Version]|Signature=x" "[Manufacturer]|; no equals sign here" \
             "[Manufacturer]|%P%=Missing" "[Manufacturer]|%P%=Models,NTx86|[Models]|%D%=S, USB\\VID_0944&PID_1001" \
             "[Manufacturer]|%P%=Models|[Models]"; do
    launcher_folder "$WORK/bad"
    IFS='|' read -r -a lines <<<"$inf"
    printf '%s\r\n' "${lines[@]}" >"$WORK/bad/vcupd.inf"
    first_box M4 1 4 "$WORK/bad"
  done
  # 3: Cancel at M6; 4: Cancel at M7.
  controller_off
  first_box M6 2 3 "$WORK/dist"
  vc plug
  first_box M7 2 4 "$WORK/dist"
  # 5: the installation fails, with the text of its reason.
  start_launcher "$WORK/dist"
  expect_box M7
  prep install-checks on >/dev/null || fail "install-checks on"
  vc unplug
  answer 1
  expect_box NODEV && answer 1
  expect_box M8 && answer 1
  expect_exit 5
  vc plug
  start_launcher "$WORK/dist"
  expect_box M7
  prep install-checks on >/dev/null || fail "install-checks on"
  mv "$WORK/dist/vcupd.inf" "$WORK/vcupd.inf"
  answer 1
  expect_box NOFILE && answer 1
  expect_box M8 && answer 1
  expect_exit 5
  mv "$WORK/vcupd.inf" "$WORK/dist/vcupd.inf"
  ;;
updater)
  # The updater missing: M9 with its full path, the clean-up all the same (19).
  launcher_folder "$WORK/dist" "[Driver]" "Inf=vcupd.inf" "[Application]" "exe=missing.exe"
  controller_off
  snapshot "$WORK/before.txt"
  to_cleanup_without_updater "$WORK/dist"
  answer 1
  expect_box M10 && answer 1
  expect_box M11 && answer 1
  expect_exit 19
  vc unplug
  snapshot "$WORK/after.txt"
  diff -u "$WORK/before.txt" "$WORK/after.txt" >/dev/null || fail "traces left after M9: $(diff "$WORK/before.txt" "$WORK/after.txt" | head -20)"
  # No device instance at clean-up: M11 all the same, 16.
  to_cleanup_without_updater "$WORK/dist"
  prep delete-key 'SYSTEM\CurrentControlSet\Enum\USB\VID_0944&PID_1001' >/dev/null || fail "delete-key"
  answer 1
  expect_box M10 && answer 1
  expect_box M11 && answer 1
  expect_exit 16
  remove_leftovers
  # A path with blanks and an option, both verbatim on panelup's command line:
  # panelup opens the file the option names.
  launcher_folder "$WORK/with blanks/dist"
  make_vsb "$WORK/files/Pallavox.vsb" Pallavox 1.05
  printf '%s\r\n' "[Driver]" "Inf=vcupd.inf" "[Application]" "exe=panelup.exe" \
    "Option=$(winpath "$WORK/files/Pallavox.vsb")" >"$WORK/with blanks/dist/panelprep.INI"
  controller_off
  vc plug
  start_launcher "$WORK/with blanks/dist"
  expect_box M7 && answer 1
  check "panelup's window" ui wait-window --timeout 30
  expect_file_shown Pallavox 1.05 "1.00 (needs update)"
  check "panelup closed" ui close --wait
  expect_box M10 && answer 1
  expect_box M11 && answer 1
  expect_exit 19
  ;;
pending)
  # Installation events pending: M5 every three seconds until they are not.
  launcher_folder "$WORK/dist"
  controller_off
  start_launcher "$WORK/dist"
  expect_box M6
  prep pending on >/dev/null || fail "pending on"
  answer 1
  expect_box M5 && answer 1
  expect_box M5
  prep pending off >/dev/null || fail "pending off"
  answer 1
  expect_box M6
  vc plug
  answer 1
  expect_box M7 && answer 2
  expect_exit 4
  # Cancel at M5.
  vc unplug
  start_launcher "$WORK/dist"
  expect_box M6
  prep pending on >/dev/null || fail "pending on"
  answer 1
  expect_box M5 && answer 2
  expect_exit 3
  ;;
language)
  launcher_folder "$WORK/dist"
  controller_off
  # The system's default language, and the switches over it.
  japanese
  first_box M6 2 3 "$WORK/dist"
  first_box M6 2 3 "$WORK/dist" /x /e/j
  LANG_TEXTS=EN
  first_box M6 2 3 "$WORK/dist" /e /x
  first_box M6 2 3 "$WORK/dist" /J /E
  english
  # An English system shows the Japanese bytes in its own code page.
  declare -A J1252
  for k in M6 M4; do J1252[$k]=$(as_cp1252 "${JA[$k]//\\n/$'\r\n'}"); J1252[$k]=${J1252[$k]//$'\r\n'/\\n}; done
  LANG_TEXTS=J1252
  first_box M6 2 3 "$WORK/dist" /j
  first_box M6 2 3 "$WORK/dist" c:/work/Jobs/today
  LANG_TEXTS=EN
  first_box M6 2 3 "$WORK/dist" /V12 /C /D
  # The whole sequence on a Japanese system.
  make_vsb "$WORK/dist/Pallavox.vsb" Pallavox 1.05
  japanese
  whole_sequence "$WORK/dist" "$WORK/dist/Pallavox.vsb"
  ;;
handover)
  # The user's 32-bit launcher (PANEL_LAUNCHER=panelprep.exe) under WoW64.
  [ "$LAUNCHER" = panelprep.exe ] || fail "the hand-over needs PANEL_LAUNCHER=panelprep.exe"
  # Its argument text goes on unchanged, blanks included, to the edition,
  # from a folder whose path has blanks: its switches choose the language.
  launcher_folder "$WORK/hand over/dist"
  controller_off
  japanese
  LANG_TEXTS=EN
  first_box M6 2 3 "$WORK/hand over/dist" /j "Z:\my files" /e
  LANG_TEXTS=JA
  first_box M6 2 3 "$WORK/hand over/dist" /e "Z:\my files/Jobs"
  # Without the 64-bit edition: M2, in English whatever the language, and 9.
  rm "$WORK/hand over/dist/panelprep64.exe"
  LANG_TEXTS=EN
  first_box M2 1 9 "$WORK/hand over/dist" /j
  english
  ;;
badinput)
  launcher_folder "$WORK/dist"
  controller_off
  vc plug
  model='%Desc%=VcUpd_Install, USB\VID_0944&PID_1001'
  # The INF's models as the launcher must read them, the controller plugged
  # in: lines past the 255 characters a line holds, comment lines that look
  # like models, a model with trailing IDs, more than 128 models.
  long=$(printf 'x%.0s' $(seq 400))
  with_models() {
    launcher_folder "$WORK/bad"
    { printf '%s\r\n' "[Manufacturer]" "%P%=Models" "[Models]"
      printf '%s\r\n' "$@"
      sed -n '/^\[DestinationDirs\]/,$p' "$DIST/vcupd.inf"; } >"$WORK/bad/vcupd.inf"
  }
  with_models "; $long" "%D%=S, USB\\VID_1111&PID_$long" "$model"
  first_box M7 2 4 "$WORK/bad"                       # found behind the long lines
  with_models "  ;$model" "%D%=S, USB\\VID_0944&PID_1001,USB\\VID_0944&PID_1002"
  first_box M6 2 3 "$WORK/bad"                       # a comment and a trailing ID match nothing
  many=()
  for i in $(seq 128); do many+=("%D%=S, USB\\VID_1111&PID_$(printf '%04d' "$i")"); done
  with_models "${many[@]}" "$model"
  first_box M6 2 3 "$WORK/bad"                       # the 129th model does not count
  with_models "${many[@]:1}" "$model"
  first_box M7 2 4 "$WORK/bad"                       # the 128th does
  # A long option is cut, the launcher goes on.
  launcher_folder "$WORK/bad" "[Driver]" "Inf=vcupd.inf" "[Application]" "exe=panelup.exe" "Option=$long"
  first_box M7 2 4 "$WORK/bad"
  # At clean-up: an instance whose "Driver" value has no backslash, one of
  # another class, and an instance key that cannot be deleted. The launcher
  # removes the driver's traces, leaves the locked key alone, puts the access
  # list of Enum\USB back and does not claim a complete clean-up (18).
  launcher_folder "$WORK/dist" "[Driver]" "Inf=vcupd.inf" "[Application]" "exe=missing.exe"
  dev='SYSTEM\CurrentControlSet\Enum\USB\VID_0944&PID_1001'
  snapshot "$WORK/before.txt"
  to_cleanup_without_updater "$WORK/dist"
  prep add-key "$dev\\2" >/dev/null && prep set-value "$dev\\2" Driver "{36FC9E60-C465-11CF-8056-444553540000}" >/dev/null &&
    prep add-key "$dev\\3" >/dev/null && prep set-value "$dev\\3" Driver "{4D36E97D-E325-11CE-BFC1-08002BE10318}\\0000" >/dev/null &&
    prep lock-key "$dev\\1" >/dev/null || fail "preparing the odd instances"
  at_finish safety_net unlock-key "$dev\\1"
  answer 1
  expect_box M10 && answer 1
  expect_incomplete_cleanup 'TestBedLock'
  prep unlock-key "$dev\\1" >/dev/null || fail "unlock-key"
  remove_leftovers
  ;;
hardening)
  # The launcher in a folder with a blank, a decoy where an unquoted command
  # line leads (...\Program.exe), a newdev.dll planted beside the launcher
  # (Wine takes it only when told to prefer such copies), account names that
  # are not English, and an update still running in an earlier panelup.
  bed=$(dirname "$PREPTOOL") inf_dir=$WINEPREFIX/drive_c/windows/inf
  # Stand-ins hold panelup's window class here: boxes of any process count.
  BOX_OPTS=(--class "no window of this class")
  dir="$WORK/Program Files/dist"
  launcher_folder "$dir" "[Driver]" "Inf=vcupd.inf" "[Application]" "exe=panelup.exe" \
    "Option=$(winpath "$WORK/files/Pallavox.vsb")"
  make_vsb "$WORK/files/Pallavox.vsb" Pallavox 1.05
  cp "$bed/prepstandin.exe" "$WORK/Program.exe"
  cp "$bed/prepplant.dll" "$dir/newdev.dll"
  mkdir -p "$WORK/held" && cp "$bed/prepstandin.exe" "$WORK/held/"
  # Another driver's INF in the Inf folder, named by one of the instances.
  printf '%s\r\n' "[Manufacturer]" "%M%=Other" "[Other]" "%D%=S, USB\\VID_1111&PID_2222" >"$inf_dir/other.inf"
  cp "$inf_dir/other.inf" "$inf_dir/other.pnf"
  at_finish rm -f "$inf_dir/other.inf" "$inf_dir/other.pnf"
  controller_off
  snapshot "$WORK/before.txt"
  vc plug
  # The earlier updater: panelup's window class, up until 5 s after the
  # launcher's panelup has handed it its file.
  "$WINE64" "$WORK/held/prepstandin.exe" hold 120 5 >/dev/null 2>&1 &
  PREP_ENV=(WINEDLLOVERRIDES=newdev=n,b)
  start_launcher "$dir"
  PREP_ENV=()
  expect_box M7
  prep translated-names on >/dev/null || fail "translated-names on"
  answer 1
  expect_box M10
  [ -e "$WORK/held/prepstandin.exe.ended" ] || fail "M10 while the earlier update still ran"
  # Two more instances of the device (one sharing the first one's driver key,
  # one with a driver key of its own bound to the other INF) and one of
  # another class.
  dev='SYSTEM\CurrentControlSet\Enum\USB\VID_0944&PID_1001' class='{36FC9E60-C465-11CF-8056-444553540000}'
  driver=$("$WINE64" reg query "HKLM\\$dev\\1" /v Driver 2>/dev/null | grep -o '{36FC.*' | tr -d '\r')
  prep set-value "$dev\\2" Driver "$driver" >/dev/null && prep set-value "$dev\\4" Driver "$class\\0009" >/dev/null &&
    prep set-value "SYSTEM\\CurrentControlSet\\Control\\Class\\$class\\0009" InfPath other.inf >/dev/null &&
    prep set-value "$dev\\3" Driver "{4D36E97D-E325-11CE-BFC1-08002BE10318}\\0000" >/dev/null ||
    fail "preparing the instances (driver [$driver])"
  answer 1
  expect_box M11 && answer 1
  expect_exit 19
  [ ! -e "$WORK/Program.exe.ran" ] || fail "the decoy Program.exe ran"
  [ ! -e "$dir/newdev.dll.loaded" ] || fail "the planted newdev.dll was loaded"
  vc unplug
  snapshot "$WORK/after.txt"
  diff -u "$WORK/before.txt" "$WORK/after.txt" >"$WORK/snapshot.diff" ||
    fail "the system is not as before the launcher ran: $(head -30 "$WORK/snapshot.diff")"
  # The launcher's own updater stays up 4 s: M10 only after it ended. The
  # grant of access is refused part-way at clean-up: the access list comes
  # back, the device key stays, and the end says so.
  launcher_folder "$WORK/dist" "[Driver]" "Inf=vcupd.inf" "[Application]" "exe=prepstandin.exe" "Option=stay 4"
  cp "$bed/prepstandin.exe" "$WORK/dist/"
  controller_off
  vc plug
  start_launcher "$WORK/dist"
  expect_box M7 && answer 1
  expect_box M10
  [ -e "$WORK/dist/prepstandin.exe.ended" ] || fail "M10 while the updater still ran"
  prep refuse-grant on >/dev/null || fail "refuse-grant on"
  answer 1
  expect_incomplete_cleanup 'Enum\\USB\\VID_0944&PID_1001.$'
  remove_leftovers
  ;;
*)
  fail "unknown group $GROUP"
  ;;
esac
