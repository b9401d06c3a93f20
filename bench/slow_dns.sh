#!/usr/bin/env bash
# Screening at Internet DNS latency, side by side in one run: three zones whose answers all take
# DELAY ms (a delaying forwarder of ours, bench/delay_dns.py, in front of rbldnsd), Postfix's
# smtp-source with SESSIONS parallel sessions into smtp-sink, through
#   - the gateway screening one zone after the other on its listener thread (ConcurrentScreening
#     off, the default),
#   - the gateway screening on its loop, every zone at once (ConcurrentScreening "1"),
#   - tcpserver -b 1024 + rblsmtpd (one process per session) in front of the same sink,
#   - and straight into the sink, which shows what the machine's load alone does to the probe.
# During each run, one session relayed through the same proxy sends NOOP after NOOP
# (bench/noop_probe.py): its p99 round trip shows what the load does to a client already relayed.
# The runs are interleaved, ROUNDS times; every round is printed, then the medians. The gateway
# with screening off is given MESSAGES/15 sessions, since it screens far fewer per second.
# Nothing here is a test: it prints figures.
#
# Usage (as root: rblsmtpd asks port 53, so the forwarder listens on 127.0.0.153:53):
#   bench/slow_dns.sh [tarnwk binary, default build/tarnwk] [rounds 3] [messages 3000]
#       [sessions 50] [delay ms 20]
# Needs: ucspi-tcp, socat, postfix (smtp-source, smtp-sink), rbldnsd, python3; installed when missing
# (scripts/install-deps.sh bench postfix), and refused where another mail server is installed.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(realpath "${1:-$repo/build/tarnwk}")"
rounds="${2:-3}"
messages="${3:-3000}"
sessions="${4:-50}"
delay="${5:-20}"
dns_ip=127.0.0.153
probe_ip=127.0.0.77
zones=(z1.bench.test z2.bench.test z3.bench.test)

# Installs what is missing; refuses where another mail server is installed (Postfix would
# replace it).
"$repo/scripts/install-deps.sh" bench postfix
source "$repo/bench/peers.sh"

start_sink

rbldnsd_port=$(free_port)
start_rbldnsd "127.0.0.1/$rbldnsd_port" "${zones[@]}"
/usr/bin/python3 "$repo/bench/delay_dns.py" "$dns_ip:53" "127.0.0.1:$rbldnsd_port" "$delay" &
pids+=($!)

export TARNWICK_NAMESERVERS="$dns_ip:53"
zone_values=()
for i in "${!zones[@]}"; do zone_values+=("\"DNSBL_$i\"=\"+${zones[$i]}\""); done
zone_values+=("\"DNSBL_Servers\"=\"${#zones[@]}\"")
for mode in 0 1; do
  start_gateway "gateway$mode" "$sink_port" '"EnableLogging"="1"' \
    "\"LogFileName\"=\"$work/gateway$mode.log\"" "\"ConcurrentScreening\"=\"$mode\"" \
    "${zone_values[@]}"
  declare "gw${mode}_port=$gateway_port"
done

rbl=$(free_port)
start_rblsmtpd "$rbl" "$dns_ip" "$sink_port" "${zones[@]}"

for port in "$sink_port" "$gw0_port" "$gw1_port" "$rbl"; do
  wait_tcp "$port" || { echo "nothing listens on $port" >&2; cat "$work"/*.err >&2; exit 1; }
done

# One smtp-source run of $2 sessions through port $1 with a NOOP probe in the same proxy:
# "sessions/s p99-ms".
run() {
  local start end probe_out="$work/probe.out" probe_pid
  /usr/bin/python3 "$repo/bench/noop_probe.py" "$1" "$probe_ip" </dev/null >"$probe_out" &
  probe_pid=$!
  sleep 0.5
  start=$(date +%s.%N)
  smtp-source -s "$sessions" -m "$2" -f a@bench.test -t b@bench.test "127.0.0.1:$1" \
    >/dev/null 2>&1 || { kill "$probe_pid" 2>/dev/null || true; wait "$probe_pid" || true; echo "failed failed"; return; }
  end=$(date +%s.%N)
  kill "$probe_pid" 2>/dev/null || true
  wait "$probe_pid" || true
  awk -v m="$2" -v s="$start" -v e="$end" -v p="$(cut -d' ' -f3 "$probe_out")" \
    'BEGIN { printf "%.0f %s\n", m / (e - s), p }'
}

names=(gateway-off gateway-on rblsmtpd direct)
ports=("$gw0_port" "$gw1_port" "$rbl" "$sink_port")
counts=("$((messages / 15))" "$messages" "$messages" "$messages")
declare -A rates p99s
echo "3 zones answering after $delay ms, smtp-source -s $sessions: sessions/s, and the p99 NOOP"
echo "round trip (ms) of one session relayed meanwhile; $rounds interleaved rounds"
printf '%-8s' round; printf ' %18s' "${names[@]}"; echo
for ((r = 1; r <= rounds; r++)); do
  printf '%-8s' "$r"
  for i in "${!names[@]}"; do
    read -r rate p99 < <(run "${ports[$i]}" "${counts[$i]}")
    rates[${names[$i]}]+="$rate "
    p99s[${names[$i]}]+="$p99 "
    printf ' %18s' "$rate/s ${p99}ms"
  done
  echo
done

printf '%-8s' median
declare -A med
for name in "${names[@]}"; do
  med[$name]=$(median "${rates[$name]}")
  printf ' %18s' "${med[$name]}/s $(median "${p99s[$name]}")ms"
done
echo
awk -v off="${med[gateway-off]}" -v on="${med[gateway-on]}" -v rb="${med[rblsmtpd]}" \
  'BEGIN { printf "sessions/s: gateway on/rblsmtpd %.2fx, gateway off/rblsmtpd %.2fx\n", on / rb, off / rb }'
