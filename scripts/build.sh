#!/usr/bin/env bash
# Configures and builds everything (programs, tests, benchmarks) into build/
# (Release with debug info).
set -euo pipefail
cd "$(dirname "$0")/.."
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANTLOW_TESTS=ON -DBRANTLOW_BENCH=ON \
  "${launcher[@]}" >/dev/null
cmake --build build
