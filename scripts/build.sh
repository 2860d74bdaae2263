#!/usr/bin/env bash
# Configures and builds everything (programs, tests, benchmarks) into build/
# (Release with debug info, one object per source file).
set -euo pipefail
cd "$(dirname "$0")/.."
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANTLOW_TESTS=ON -DBRANTLOW_BENCH=ON \
  -DBRANTLOW_DEBUG_INFO=ON -DBRANTLOW_LINKER= -DCMAKE_UNITY_BUILD=OFF "${launcher[@]}" >/dev/null
cmake --build build
