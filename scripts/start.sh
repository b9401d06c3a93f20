#!/usr/bin/env bash
# Installs what is missing, builds the program (only it: the tests are scripts/test.sh's), and
# runs the gateway in run/ (from a sample configuration the first time; see
# scripts/run.sh) with the arguments given here.
# scripts/start.sh [tarnwk arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
TARNWICK_BUILD_TARGET=tarnwk scripts/build.sh build
exec scripts/run.sh "$@"
