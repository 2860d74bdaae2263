#!/usr/bin/env bash
# Writes the expected output of golden cases from what the current build
# prints: all cases, or those named (folder names under tests/golden).
#   tests/golden/update.sh [CASE...]
# Review the change with `git diff tests/golden` before committing it.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ -f build/build.ninja ] || scripts/build.sh
cmake --build build --target brantlow-cli test_golden
filter="Cases/Golden.*"
if [ $# -gt 0 ]; then
    filter=""
    for c in "$@"; do filter+="${filter:+:}Cases/Golden.OutputMatchesTheCaseFolder/${c//[^A-Za-z0-9]/_}"; done
fi
BRANTLOW_GOLDEN_UPDATE=1 build/tests/test_golden --gtest_filter="$filter"
