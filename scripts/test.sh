#!/usr/bin/env bash
# Builds Brantlow and runs every test. Tests over the full fixture corpus
# read BRANTLOW_FIXTURES (default ../shared/fixtures) and skip when absent.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure -j2
