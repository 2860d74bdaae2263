#!/usr/bin/env bash
# Builds the Debian package into build-package/: the two programs, the default
# signature file, man pages, shell completions, the desktop entry and icon,
# with the runtime libraries as dependencies (dpkg-shlibdeps).
#   scripts/package.sh            then: sudo apt install ./build-package/brantlow_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DBRANTLOW_TESTS=OFF -DBRANTLOW_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build build-package
(cd build-package && cpack -G DEB >/dev/null)
ls build-package/brantlow_*.deb
