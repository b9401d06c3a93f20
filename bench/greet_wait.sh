#!/usr/bin/env bash
# The talk-first wait at scale: a headless gateway with a long GreetWait in front of mail_sink,
# COUNT clients (bench/wait_clients.py, another process) connected and silent, all held in the
# wait at once, and beside them one live relayed session (an excluded address, which does not
# wait) sending NOOP after NOOP (bench/noop_probe.py). Printed: the gateway's resident memory
# (VmRSS) before and with the waiting clients, the growth per waiting client, its descriptors,
# and the live session's NOOP round trip (p50, p99, max) without and with the waiting clients.
# Nothing here is a test: it prints figures.
#
# Usage: bench/greet_wait.sh [tarnwk binary, default build/tarnwk] [count 5000] [seconds 10]
# The descriptor limit is raised to the hard one (each waiting client holds two descriptors in
# the gateway: its own and its channel's, set aside at the accept); where the hard limit is
# below 2 x count + 100, raise it first (ulimit -Hn, as root, or LimitNOFILE under systemd).
# Needs: python3, and build/tests/mail_sink (scripts/build.sh build).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(realpath "${1:-$repo/build/tarnwk}")"
count="${2:-5000}"
seconds="${3:-10}"
probe_ip=127.0.0.77

source "$repo/bench/peers.sh"
ulimit -Sn "$(ulimit -Hn)"
if [ "$(ulimit -Hn)" -lt $((2 * count + 100)) ]; then
  echo "the hard descriptor limit $(ulimit -Hn) is below $((2 * count + 100)): raise it first" >&2
  exit 1
fi

sink_port=$(free_port)
"$(dirname "$binary")/tests/mail_sink" "$sink_port" &
pids+=($!)
wait_tcp "$sink_port"
start_gateway gateway "$sink_port" '"GreetWait"="120"' '"Exclusion_0"="+127.0.0.77"' \
  '"Exclusions"="1"' '"EnableLogging"="1"' "\"LogFileName\"=\"$work/gateway.log\""
sleep 1

kib() { awk '/^VmRSS/ { print $2 }' "/proc/$gateway_pid/status"; }
probe() {
  /usr/bin/python3 "$repo/bench/noop_probe.py" "$gateway_port" "$probe_ip" </dev/null \
    >"$work/probe.out" &
  local probe_pid=$!
  sleep "$seconds"
  kill "$probe_pid" 2>/dev/null || true
  wait "$probe_pid" || true
  read -r n p50 p99 max <"$work/probe.out"
  printf '%s NOOPs: p50 %s ms, p99 %s ms, max %s ms\n' "$n" "$p50" "$p99" "$max"
}

base=$(kib)
printf 'gateway at start: VmRSS %d kB; live relay alone: ' "$base"
probe
coproc waiting { exec /usr/bin/python3 "$repo/bench/wait_clients.py" "$gateway_port" "$count"; }
pids+=("$waiting_PID")
read -r -u "${waiting[0]}" _ held
# Every accepted client is in the wait once the gateway has taken them all: CON counts them.
sleep 2
with=$(kib)
descriptors=$(ls "/proc/$gateway_pid/fd" | wc -l)
printf '%d clients in the wait, gateway %d descriptors: VmRSS %d kB -> %.2f KiB per waiting client\n' \
  "$held" "$descriptors" "$with" "$(awk -v g="$((with - base))" -v n="$held" 'BEGIN { print g / n }')"
printf 'live relay beside them: '
probe
echo "\"Accepted\" lines logged meanwhile (the two probes' alone, the others still wait): $(grep -c 'Accepted' "$work/gateway.log" || true)"
