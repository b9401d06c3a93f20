#!/usr/bin/env bash
# Installs what is missing, builds, and starts tarnwk with the arguments given here.
# scripts/start.sh [tarnwk arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
exec build/tarnwk "$@"
