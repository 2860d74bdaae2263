#!/usr/bin/env bash
# Builds Brantlow with its tests into build-test/ and runs every test. Tests
# over the full fixture corpus read BRANTLOW_FIXTURES (default
# ../shared/fixtures) and skip when absent.
#
# This build is for running the tests, not for a debugger, and costs well
# under half of scripts/build.sh's (docs/building.md): no benchmarks, no debug
# information, each target's sources compiled together in batches, linked
# with lld. scripts/build.sh (build/) keeps the usual build with everything.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANTLOW_TESTS=ON -DBRANTLOW_BENCH=OFF \
  -DBRANTLOW_DEBUG_INFO=OFF -DBRANTLOW_LINKER=lld -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16 \
  "${launcher[@]}" >/dev/null
cmake --build build-test
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build-test --output-on-failure -j2
