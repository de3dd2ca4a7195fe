#!/bin/bash
# Runs each fuzzer for FUZZ_SECONDS (default 30) on a copy of its corpus in
# fuzz/corpus/, so the committed corpus stays as it is. Fails when a fuzzer
# fails or leaves a crash, leak or time-out input behind.
#
#   scripts/run-fuzzers.sh BUILD_DIR      (a native build with the `fuzzers` target built)
set -uo pipefail

build=${1:?usage: run-fuzzers.sh BUILD_DIR}
seconds=${FUZZ_SECONDS:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
fuzzers=(sysfile_fuzzer reply_fuzzer pack_fuzzer launcher_fuzzer kmidi_fuzzer usbdesc_fuzzer cmdline_fuzzer link_fuzzer)

work=$(mktemp -d "${TMPDIR:-/tmp}/panel-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
for f in "${fuzzers[@]}"; do
  bin="$build/fuzz/$f"
  if [ ! -x "$bin" ]; then
    echo "run-fuzzers: $bin missing (cmake --build $build --target fuzzers)" >&2
    failed=1
    continue
  fi
  mkdir -p "$work/$f/corpus" "$work/$f/found"
  cp "$root/fuzz/corpus/$f/"* "$work/$f/corpus/" 2>/dev/null || true
  echo "run-fuzzers: $f for ${seconds}s"
  "$bin" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/$f/found/" "$work/$f/corpus" >"$work/$f.log" 2>&1
  rc=$?
  grep -E '^(stat::number_of_executed_units|#[0-9]+ *DONE)' "$work/$f.log" | tail -2
  if [ $rc -ne 0 ] || [ -n "$(ls -A "$work/$f/found")" ]; then
    echo "run-fuzzers: $f FAILED (exit $rc)"
    tail -40 "$work/$f.log"
    mkdir -p "$build/fuzz-found"
    cp "$work/$f/found/"* "$build/fuzz-found/" 2>/dev/null && echo "run-fuzzers: inputs kept in $build/fuzz-found/"
    failed=1
  fi
done
[ $failed -eq 0 ] && echo "run-fuzzers: all passed"
exit $failed
