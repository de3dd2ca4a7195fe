#!/bin/bash
# Configures and builds the three configurations (or those given).
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native win64 win32)
mkdir -p build
for p in "${presets[@]}"; do
  echo "== build $p"
  log="build/$p.log"
  if [ ! -f "build/$p/CMakeCache.txt" ]; then
    cmake --preset "$p" >"$log" 2>&1 || { cat "$log"; echo "configure $p failed"; exit 1; }
  fi
  cmake --build --preset "$p" -- -j"$(nproc)" >"$log" 2>&1 || { grep -v '^\[[0-9]*/[0-9]*\]' "$log" | tail -60; echo "build $p failed"; exit 1; }
done
