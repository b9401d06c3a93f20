#!/usr/bin/env bash
# Sessions per second, side by side in one run: Postfix's smtp-source (-s SESSIONS parallel
# sessions, -m MESSAGES messages, one session each) into smtp-sink, straight (the ceiling any
# proxy stays under on this machine), and
#   - through the gateway with no zone, and through HAProxy in TCP mode;
#   - through the gateway screening against 3 zones, the same gateway keeping answers
#     (DnsblCacheSeconds: every session comes from 127.0.0.1, so after the first one each
#     zone's "not listed" is kept for the SOA's 300 s), and through tcpserver + rblsmtpd against
#     the same 3 zones (all asking one loopback rbldnsd that lists nobody).
# The runs are interleaved, ROUNDS times; the script prints every round and the medians, with
# the CPU time each proxy used per 1000 sessions, a figure other load on the machine disturbs less.
# Nothing here is a test: it prints figures.
#
# Usage (as root: rblsmtpd asks port 53, so rbldnsd listens on 127.0.0.153:53):
#   bench/session_compare.sh [tarnwk binary, default build/tarnwk] [rounds 5] [messages 1000]
#       [sessions 20]
# Needs: haproxy, ucspi-tcp, socat, postfix (smtp-source, smtp-sink), rbldnsd; installed when missing
# (scripts/install-deps.sh bench postfix), and refused where another mail server is installed.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(realpath "${1:-$repo/build/tarnwk}")"
rounds="${2:-5}"
messages="${3:-1000}"
sessions="${4:-20}"
dns_ip=127.0.0.153
zones=(z1.bench.test z2.bench.test z3.bench.test)

# Installs what is missing; refuses where another mail server is installed (Postfix would
# replace it).
"$repo/scripts/install-deps.sh" bench postfix
source "$repo/bench/peers.sh"

start_sink

start_rbldnsd "$dns_ip/53" "${zones[@]}"

# Two gateways: no zone, and the three zones, asked through the same rbldnsd.
export TARNWICK_NAMESERVERS="$dns_ip:53"
start_gateway gateway0 "$sink_port" '"EnableLogging"="1"' "\"LogFileName\"=\"$work/gateway0.log\""
gw0=$gateway_port
gw0_pid=$gateway_pid
zone_values=()
for i in "${!zones[@]}"; do zone_values+=("\"DNSBL_$i\"=\"+${zones[$i]}\""); done
start_gateway gateway3 "$sink_port" '"EnableLogging"="1"' "\"LogFileName\"=\"$work/gateway3.log\"" \
  "${zone_values[@]}" "\"DNSBL_Servers\"=\"${#zones[@]}\""
gw3=$gateway_port
gw3_pid=$gateway_pid
start_gateway gateway3c "$sink_port" '"EnableLogging"="1"' "\"LogFileName\"=\"$work/gateway3c.log\"" \
  "${zone_values[@]}" "\"DNSBL_Servers\"=\"${#zones[@]}\"" '"DnsblCacheSeconds"="300"'
gw3c=$gateway_port
gw3c_pid=$gateway_pid

ha=$(free_port)
cat >"$work/haproxy.cfg" <<EOF
global
  maxconn 4000
defaults
  mode tcp
  timeout connect 5s
  timeout client 60s
  timeout server 60s
frontend smtp
  bind 127.0.0.1:$ha
  default_backend sink
backend sink
  server sink 127.0.0.1:$sink_port
EOF
haproxy -q -f "$work/haproxy.cfg" &
ha_pid=$!
pids+=("$ha_pid")

rbl=$(free_port)
start_rblsmtpd "$rbl" "$dns_ip" "$sink_port" "${zones[@]}"

for port in "$sink_port" "$gw0" "$gw3" "$gw3c" "$ha" "$rbl"; do
  wait_tcp "$port" || { echo "nothing listens on $port" >&2; cat "$work"/*.err >&2; exit 1; }
done

names=(direct gateway0 haproxy gateway3 gateway3c rblsmtpd)
ports=("$sink_port" "$gw0" "$ha" "$gw3" "$gw3c" "$rbl")
procs=(0 "$gw0_pid" "$ha_pid" "$gw3_pid" "$gw3c_pid" "$rbl_pid")
echo "smtp-source -s $sessions -m $messages: sessions per second / the proxy's CPU ms per 1000"
echo "sessions (tcpserver with its children), $rounds interleaved rounds"
interleaved_rounds
awk -v g0="${med[gateway0]}" -v ha="${med[haproxy]}" -v g3="${med[gateway3]}" -v rb="${med[rblsmtpd]}" \
  -v g3c="${med[gateway3c]}" \
  -v cg0="${cpu[gateway0]}" -v cha="${cpu[haproxy]}" -v cg3="${cpu[gateway3]}" -v crb="${cpu[rblsmtpd]}" \
  'BEGIN { printf "sessions/s: gateway/haproxy (no zone) %.2fx, gateway/rblsmtpd (3 zones) %.2fx\n", g0 / ha, g3 / rb
           printf "sessions/s, 3 zones with answers kept: /gateway with no zone %.2fx, /rblsmtpd %.2fx\n", g3c / g0, g3c / rb
           printf "CPU per session: haproxy/gateway (no zone) %.2fx, rblsmtpd/gateway (3 zones) %.2fx\n", cha / cg0, crb / cg3 }'
