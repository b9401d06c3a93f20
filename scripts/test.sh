#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
# scripts/test.sh [build-folder] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run test
dir="${1:-build}"
scripts/build.sh "$@"
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$(nproc)"
