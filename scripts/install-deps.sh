#!/usr/bin/env bash
# Installs the Debian packages that Tarnwick needs, only those missing, and never at the cost of
# another package: apt's simulation is read first, and when the installation would remove any
# package, nothing is installed and the script stops with their list.
#
# scripts/install-deps.sh [set...]      sets (none given: run test package fuzz):
#   run      building the program and running it (scripts/start.sh), the stand-in mail server
#   test     the test suite's peers and tools (scripts/test.sh)
#   package  building and checking the Debian packages (scripts/package.sh)
#   proof    the service under a real systemd in a fresh Debian 12 (scripts/systemd-proof.sh)
#   fuzz     clang and libFuzzer (scripts/fuzz.sh)
#   bench    the benchmark scripts' peers
#   postfix  Postfix's smtp-source and smtp-sink, for the benchmarks that drive them; refused where
#            another mail server is installed, since Postfix would take its place
# Runs apt-get as root, or through sudo for another user.
set -euo pipefail

usage() {
  sed -n '6,14s/^# \{0,1\}//p' "$0" >&2
  exit 2
}

packages_of() {
  case "$1" in
    run)
      echo build-essential cmake pkg-config libc-ares-dev
      echo qt6-base-dev qt6-qpa-plugins fonts-dejavu-core # the desktop
      echo python3 python3-aiosmtpd swaks                 # the stand-in mail server; a client to try it
      ;;
    test)
      echo googletest libgtest-dev libgmock-dev
      echo rbldnsd curl haproxy     # a DNSBL server, the metrics' client, a load balancer
      echo prometheus               # promtool: the alert rules' and the dashboard's tests
      echo man-db systemd desktop-file-utils # the install check: man -l, systemd-analyze, the entry
      echo xvfb trayer xdotool xclip imagemagick # the desktop tests: a display, a tray, hands
      echo iproute2                 # ss: the desktop test sees the mail-server test's connect wait
      ;;
    package) echo dpkg-dev debhelper lintian ;; # dpkg-buildpackage with dh, and its check
    proof) echo debootstrap util-linux ;;         # a minbase root; unshare and nsenter
    fuzz) echo clang-14 libclang-rt-14-dev ;;
    bench) echo ucspi-tcp socat strace rbldnsd haproxy python3 ;;
    postfix) echo postfix ;;
  esac
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# The package is one this run installs (in missing).
to_install() { [[ " ${missing[*]} " == *" $1 "* ]]; }

# Installed packages other than Postfix that are a mail server (provide mail-transport-agent).
other_mail_servers() {
  dpkg-query -W -f='${Package} ${Status} ${Provides}\n' 2>/dev/null |
    awk '$2 == "install" && $4 == "installed" && $0 ~ /mail-transport-agent/ && $1 != "postfix" { print $1 }'
}

sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(run test package fuzz)
missing=()
for set in "${sets[@]}"; do
  case "$set" in run | test | package | proof | fuzz | bench | postfix) ;; *) usage ;; esac
  for package in $(packages_of "$set"); do
    installed "$package" || to_install "$package" || missing+=("$package")
  done
done
[ ${#missing[@]} -eq 0 ] && exit 0

if to_install postfix && servers=$(other_mail_servers) && [ -n "$servers" ]; then
  echo "install-deps: this host's mail server is $(echo $servers) (Debian package)." >&2
  echo "Postfix's smtp-source and smtp-sink come only with the postfix package, which would" >&2
  echo "replace it: nothing was installed. Run the benchmarks that need them on a host without" >&2
  echo "a mail server of its own." >&2
  exit 1
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run this script as root (or install sudo) to install them." >&2
    exit 1
  fi
  SUDO=(sudo)
fi

echo "install-deps: missing ${missing[*]}"
"${SUDO[@]}" apt-get update -qq
plan=$(LC_ALL=C apt-get -s install --no-install-recommends "${missing[@]}" 2>&1) || {
  echo "$plan" >&2
  echo "install-deps: apt cannot install these packages; nothing was installed." >&2
  exit 1
}
removed=$(awk '$1 == "Remv" { print "  " $2 }' <<<"$plan")
if [ -n "$removed" ]; then
  echo "install-deps: installing ${missing[*]} would remove these packages:" >&2
  echo "$removed" >&2
  echo "Nothing was installed. Install the packages yourself if that is what you want." >&2
  exit 1
fi
echo "install-deps: apt plans $(grep -c '^Inst ' <<<"$plan") packages, dependencies included; it removes none"

# Postfix is wanted only for its tools: without this answer its package would set up and start a
# mail server on port 25.
if to_install postfix; then
  echo "postfix postfix/main_mailer_type select No configuration" | "${SUDO[@]}" debconf-set-selections
fi
# --no-remove: should the plan change between the simulation and now, apt stops rather than
# remove anything.
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}"
echo "install-deps: installed ${missing[*]}"

# Where systemd runs, the prometheus package starts its server (port 9090); only promtool is
# wanted, so a server this script brought is stopped and not started at boot.
if to_install prometheus && [ -d /run/systemd/system ]; then
  "${SUDO[@]}" systemctl disable --now prometheus.service >/dev/null 2>&1 || true
fi
