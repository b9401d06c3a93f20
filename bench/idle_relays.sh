#!/usr/bin/env bash
# The gateway's memory per idle relay: a headless gateway (no zone, so every client is relayed
# at once) in front of an idle mail server stand-in (bench/idle_sink.py), and a separate client process (bench/hold_clients.py) that
# opens relayed sessions, reads each greeting and then sends nothing. The gateway's resident
# memory (VmRSS, and its anonymous part) is read once it has started and again at each count
# of held sessions: first COUNT, then as many as the gateway's descriptor limit lets it relay
# (two descriptors a relay). The figure is the growth divided by the sessions held.
# Nothing here is a test: it prints figures.
#
# Usage: bench/idle_relays.sh [tarnwk binary, default build/tarnwk] [count 1000] [most 20000]
# The gateway gets the hard descriptor limit as its soft one; so do the peers, each in its own
# process. Needs: python3.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(realpath "${1:-$repo/build/tarnwk}")"
count="${2:-1000}"
most="${3:-20000}"

source "$repo/bench/peers.sh"
ulimit -Sn "$(ulimit -Hn)"

sink_port=$(free_port)
/usr/bin/python3 "$repo/bench/idle_sink.py" "$sink_port" &
pids+=($!)
wait_tcp "$sink_port"
start_gateway gateway "$sink_port" '"EnableLogging"="1"' "\"LogFileName\"=\"$work/gateway.log\""
sleep 1

memory() { awk '/^VmRSS|^RssAnon/ { printf "%s %s kB  ", $1, $2 }' "/proc/$gateway_pid/status"; }
kib() { awk -v k="$1" '/^VmRSS/ { print $2 - k }' "/proc/$gateway_pid/status"; }
base=$(kib 0)
echo "descriptor limit $(ulimit -Hn) (hard); gateway at start: $(memory)"
coproc holder { exec /usr/bin/python3 "$repo/bench/hold_clients.py" "$gateway_port" "$count" "$most"; }
pids+=("$holder_PID")
while read -r -u "${holder[0]}" _ held _ refused; do
  grown=$(kib "$base")
  descriptors=$(ls "/proc/$gateway_pid/fd" | wc -l)
  printf '%6d relays held (%d refused), gateway %d descriptors: %s-> %.2f KiB per idle relay\n' \
    "$held" "$refused" "$descriptors" "$(memory)" "$(awk -v g="$grown" -v n="$held" 'BEGIN { print g / n }')"
  [ "$held" -ge "$most" ] || [ "$held" -lt "$count" ] && break
  [ "$held" -gt "$count" ] && break
done
grep -c "Accepted" "$work/gateway.log" | xargs printf '"Accepted" lines logged: %s\n'
grep -v "Accepted" "$work/gateway.err" | sort | uniq -c | head -5 || true
