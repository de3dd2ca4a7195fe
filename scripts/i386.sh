#!/bin/bash
# Whether this machine runs 32-bit (i386) programs natively, which is what
# wine32 needs for the shipped 32-bit programs to run at full speed under
# wine64's WoW64. The probe executes a tiny static i386 program (exit code
# 42 through int 0x80); an enabled binfmt_misc handler for i386 programs
# counts as "no", since the kernel then hands them to an emulator.
#
#   scripts/i386.sh              prints "yes" or "no: REASON"; exit code 0 or 1
#   scripts/i386.sh line         the suite's line about its 32-bit tests
#   scripts/i386.sh wine32       exit code 0 when wine32:i386 is installed
#   scripts/i386.sh run CMD...   runs CMD when the probe says yes and wine32 is
#                                installed; ends with 77 (the 32-bit tests' skip
#                                code) when the probe says no
#
# PANEL_I386=yes|no forces the answer (to take either road on one machine).
# Sourced, it defines i386_native (sets I386_WHY) and i386_wine32.
I386_EXIT_CODE=42
I386_SKIP_CODE=77
I386_WHY=

# The probe: ELF header, one loadable segment at 0x08048000, and at 0x54
# mov ebx,42; mov eax,1 (exit); int 0x80.
i386_probe_bytes() {
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
  printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
  printf '\x00\x00\x00\x00'
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
  printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
  printf '\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80'
}

# An enabled binfmt_misc entry whose magic is a 32-bit little-endian ELF
# for i386 (e_machine 3) or i486 (6); prints its name and interpreter.
i386_binfmt_handler() {
  local dir=/proc/sys/fs/binfmt_misc f
  [ "$(cat "$dir/status" 2>/dev/null)" = enabled ] || return 1
  for f in "$dir"/*; do
    case ${f##*/} in register | status) continue ;; esac
    grep -qx enabled "$f" 2>/dev/null || continue
    if grep -Eq '^magic 7f454c46010101.{22}0[36]00$' "$f"; then
      printf '%s (%s)' "${f##*/}" "$(sed -n 's/^interpreter //p' "$f")"
      return 0
    fi
  done
  return 1
}

# Runs the probe where programs may be executed (the system's temporary
# folder may be mounted noexec; the repository's build folder is not).
i386_native() {
  case ${PANEL_I386:-} in
  yes) I386_WHY="PANEL_I386=yes"; return 0 ;;
  no) I386_WHY="PANEL_I386=no"; return 1 ;;
  "") ;;
  *) I386_WHY="PANEL_I386 must be yes or no, not ${PANEL_I386}"; return 1 ;;
  esac
  local handler
  if handler=$(i386_binfmt_handler); then
    I386_WHY="this kernel runs i386 code only through binfmt_misc: $handler"
    return 1
  fi
  local root dir rc=0 err
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  mkdir -p "$root/build"
  dir=$(mktemp -d "$root/build/i386-probe.XXXXXX") || { I386_WHY="no folder for the probe"; return 1; }
  i386_probe_bytes >"$dir/probe"
  chmod +x "$dir/probe"
  err=$("$dir/probe" 2>&1) || rc=$?
  rm -rf "$dir"
  if [ $rc -eq $I386_EXIT_CODE ]; then
    I386_WHY="the kernel runs i386 code"
    return 0
  fi
  if grep -qi 'exec format error' <<<"$err"; then
    I386_WHY="this kernel runs no i386 code"
  else
    I386_WHY="the i386 probe ended with $rc${err:+: $err}"
  fi
  return 1
}

i386_wine32() {
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"
}

i386_line() {
  if ! i386_native; then
    echo "32-bit programs: not run, $I386_WHY"
  elif ! i386_wine32; then
    echo "32-bit programs: run, but wine32:i386 is missing (scripts/setup.sh installs it): they fail"
  else
    echo "32-bit programs: run under WoW64 ($I386_WHY)"
  fi
}

i386_main() {
  case ${1:-} in
  "")
    if i386_native; then echo yes; else echo "no: $I386_WHY"; return 1; fi
    ;;
  line) i386_line ;;
  wine32) i386_wine32 ;;
  run)
    shift
    if ! i386_native; then
      echo "32-bit programs: not run, $I386_WHY"
      return $I386_SKIP_CODE
    fi
    if ! i386_wine32; then
      echo "wine32:i386 is not installed, although this machine runs i386 code: run scripts/setup.sh"
      return 1
    fi
    "$@"
    ;;
  *)
    echo "usage: scripts/i386.sh [line | wine32 | run CMD...]" >&2
    return 2
    ;;
  esac
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  i386_main "$@"
  exit $?
fi
