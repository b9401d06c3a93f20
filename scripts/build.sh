#!/usr/bin/env bash
# Configures and builds Tarnwick: scripts/build.sh [build-folder] [extra cmake arguments...]
# With TARNWICK_BUILD_TARGET set (for example tarnwk), builds only that target.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
shift || true
cmake -S . -B "$dir" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)" ${TARNWICK_BUILD_TARGET:+--target "$TARNWICK_BUILD_TARGET"}
