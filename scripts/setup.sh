#!/bin/bash
# Installs what the build and the tests need from Debian's packages.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

PKGS=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  googletest
  wine wine64 xvfb x11-utils xdotool
  fonts-vlgothic fonts-wine imagemagick file procps binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
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
