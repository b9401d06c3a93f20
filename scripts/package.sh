#!/usr/bin/env bash
# Builds the Debian package tarnwick_<version>_<arch>.deb: the program alone (no tests), built
# for release, laid out under /usr and /etc, with its dependencies worked out by dpkg-shlibdeps.
# scripts/package.sh [build-folder]  (build-package by default; the package is written there)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run package
dir="${1:-build-package}"
TARNWICK_BUILD_TARGET=tarnwk scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr -DTARNWICK_BUILD_TESTS=OFF
(cd "$dir" && cpack -G DEB)
