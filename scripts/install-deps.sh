#!/usr/bin/env bash
# Installs the Debian packages that Tarnwick needs to build, run and test, only those missing.
# Runs apt-get as root, or through sudo for another user.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libc-ares-dev
  qt6-base-dev qt6-qpa-plugins fonts-dejavu-core
  googletest libgtest-dev libgmock-dev
  rbldnsd python3 python3-aiosmtpd swaks curl
  haproxy              # the PROXY protocol test: a real load balancer in front of two gateways
  prometheus           # promtool: the alert rules' and the dashboard's tests (its server is not left running)
  postfix
  dpkg-dev file        # scripts/package.sh: CPack's dependency list
  man-db systemd       # the install check: man -l, systemd-analyze verify
  desktop-file-utils   # the install check: desktop-file-validate
  xvfb trayer xdotool xclip imagemagick   # the desktop tests: a display, a tray, a user's hands
  clang-14 libclang-rt-14-dev  # scripts/fuzz.sh: libFuzzer and the sanitizers' run-time
)

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run this script as root (or install sudo) to install them." >&2
    exit 1
  fi
  SUDO=(sudo)
fi

# Postfix is wanted only for its test peers (smtp-sink, smtp-source): without this answer its
# package would set up and start a mail server on port 25.
echo "postfix postfix/main_mailer_type select No configuration" | "${SUDO[@]}" debconf-set-selections

echo "Installing: ${missing[*]}"
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"

# Where systemd runs, the prometheus package starts its server (port 9090); only promtool is
# wanted, so a server this script brought is stopped and not started at boot.
if [[ " ${missing[*]} " == *" prometheus "* ]] && [ -d /run/systemd/system ]; then
  "${SUDO[@]}" systemctl disable --now prometheus.service >/dev/null 2>&1 || true
fi
