#!/usr/bin/env bash
# Installs the Debian packages that Tarnwick needs to build, run and test, only those missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libc-ares-dev
  googletest libgtest-dev libgmock-dev
  rbldnsd python3 python3-aiosmtpd swaks
)

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
