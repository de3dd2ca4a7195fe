#!/bin/bash
# Installs what the build and the tests need from Debian's packages, and
# Wine's 32-bit side where the kernel runs i386 code natively
# (scripts/i386.sh; never through an emulator).
# Idempotent: does nothing when everything is already there.
#
#   scripts/setup.sh [--dry-run]   --dry-run: print the install commands only
#                                  (also for wine32 when PANEL_I386=yes forces
#                                  the probe, scripts/i386.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
DRY_RUN=0
[ "${1:-}" = --dry-run ] && DRY_RUN=1
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
# as_root CMD...: runs CMD as root (or prints it with --dry-run).
as_root() {
  if [ $DRY_RUN -eq 1 ]; then
    echo "setup (dry run): $*" >&2
  else
    $SUDO "$@"
  fi
}

PKGS=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  googletest
  wine wine64 xvfb x11-utils xdotool
  fonts-vlgothic fonts-wine imagemagick file procps python3 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine's 32-bit side, for the shipped 32-bit programs: only where the kernel
# runs i386 code itself. One index of the mirror may fail its hash check,
# hence the update's "|| true"; bookworm's wine32 must match wine64's version.
# shellcheck source=scripts/i386.sh
source scripts/i386.sh
if ! i386_native; then
  echo "setup: no wine32 (32-bit programs: $I386_WHY)"
elif ! i386_wine32; then
  echo "setup: installing wine32:i386 ($I386_WHY)"
  # A forced answer is for trying the road, not for changing a machine whose
  # kernel may run no i386 code: it shows the commands only.
  if [ "${PANEL_I386:-}" = yes ]; then
    echo "setup: the probe is forced: the install commands are shown, not run"
    DRY_RUN=1
  fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
  as_root apt-get update -qq || true
  as_root apt-get install -y -qq --allow-downgrades --no-install-recommends -t bookworm \
    wine32:i386 'libgstreamer-plugins-base1.0-0:amd64/bookworm' >/dev/null
fi

# MinGW: use the posix thread model (std::thread, std::mutex in test code).
for t in i686 x86_64; do
  for tool in gcc g++; do
    if [ -e "/usr/bin/$t-w64-mingw32-$tool-posix" ] && \
       [ "$(readlink -f /usr/bin/$t-w64-mingw32-$tool)" != "$(readlink -f /usr/bin/$t-w64-mingw32-$tool-posix)" ]; then
      update-alternatives --set "$t-w64-mingw32-$tool" "/usr/bin/$t-w64-mingw32-$tool-posix" >/dev/null 2>&1 || true
    fi
  done
done
echo "setup: ok"
