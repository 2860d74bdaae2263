#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for
# the given number of seconds (default 600) over its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-600}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DBRANTLOW_FUZZ=ON -DBRANTLOW_GUI=OFF \
  -DBRANTLOW_TESTS=OFF -DBRANTLOW_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz
for bin in build-fuzz/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus=fuzz/corpus/${name#fuzz_}
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "== $name (${secs}s)"
  "$bin" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -print_final_stats=0 "$work" 2>&1 | tail -3
  rm -rf "$work"
done
