#!/usr/bin/env bash
# Runs the built gateway (on the desktop when DISPLAY names one, else headless) in its working
# folder, from a sample configuration the first time: scripts/run.sh [tarnwk arguments...]
#
# Everything a run writes stays in run/ of the repository, as root or not: the system's
# /etc/tarnwick belongs to the installed package.
# - Working folder: run/ (tarnwk.cfg, Tarnwk.log and Tarnwk.dbg live there).
# - Settings: the registry hive run/registry.reg (TARNWICK_REGISTRY, when set, names another).
#   When neither the hive's settings key nor run/tarnwk.cfg exists, a sample hive is written:
#   the gateway on port 2525, the mail server at 127.0.0.1:2526, logging on, two DNSBL zones
#   listed but disabled.
# - While the settings still point at 127.0.0.1:2526 and nothing answers there, a stand-in mail
#   server (aiosmtpd, printing every message it receives) is started there for the run.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
binary="$repo/build/tarnwk"
folder="$repo/run"
key='[HKEY_LOCAL_MACHINE\SOFTWARE\Quenfield\Tarnwick]'

# The value of a string setting in the hive ("" when missing).
hive_value() {
  awk -v key="$key" -v name="\"$1\"=" '
    /^\[/ { inside = ($0 == key) }
    inside && index($0, name) == 1 { v = substr($0, length(name) + 1); gsub(/^"|"\r?$/, "", v); print v }
  ' "$hive" 2>/dev/null || true
}

write_sample_hive() {
  mkdir -p "$(dirname "$hive")"
  cat > "$hive" <<'EOF'
REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE\Quenfield\Tarnwick]
"RunAsService"="0"
"EnableLogging"="1"
"LogFileName"=""
"PortIn"="2525"
"PortOut"="2526"
"MailServer"="127.0.0.1"
"DNSBL_0"="-zen.spamhaus.org"
"DNSBL_1"="-bl.spamcop.net"
"DNSBL_Servers"="2"
"Exclusion_0"="+127.0.0.1"
"Exclusion_1"="-192.0.2.1"
"Exclusions"="2"
EOF
  echo "scripts/run.sh: no settings yet; wrote a sample configuration to $hive" >&2
  echo "scripts/run.sh: the gateway listens on port 2525 and relays to 127.0.0.1:2526" >&2
}

answers_on() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; }

mkdir -p "$folder"
cd "$folder"
export TARNWICK_REGISTRY="${TARNWICK_REGISTRY:-$folder/registry.reg}"
hive="$TARNWICK_REGISTRY"
if ! grep -qF "$key" "$hive" 2>/dev/null && [ ! -e tarnwk.cfg ]; then
  write_sample_hive
fi

demo_pid=""
if [ "$(hive_value MailServer)" = 127.0.0.1 ] && [ "$(hive_value PortOut)" = 2526 ] &&
   ! answers_on 127.0.0.1 2526; then
  echo "scripts/run.sh: starting a stand-in mail server on 127.0.0.1:2526 (it prints what it receives)" >&2
  /usr/bin/python3 -m aiosmtpd -n -l 127.0.0.1:2526 &
  demo_pid=$!
  for _ in $(seq 50); do answers_on 127.0.0.1 2526 && break; sleep 0.1; done
fi

if [ -z "$demo_pid" ]; then
  exec "$binary" "$@"
fi
trap 'kill "$demo_pid" 2>/dev/null || true' EXIT
# The gateway gets SIGINT/SIGTERM from the terminal or from us; its status is ours.
trap 'kill -TERM "$gateway_pid" 2>/dev/null || true' TERM INT
"$binary" "$@" &
gateway_pid=$!
status=0
wait "$gateway_pid" || status=$?
# A trapped signal interrupts the wait (status above 128); wait again for the gateway's own end
# (bash keeps the status of a child that has already ended).
if [ "$status" -gt 128 ]; then
  status=0
  wait "$gateway_pid" || status=$?
fi
exit "$status"
