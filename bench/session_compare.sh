#!/usr/bin/env bash
# Sessions per second, side by side in one run: Postfix's smtp-source (-s SESSIONS parallel
# sessions, -m MESSAGES messages, one session each) into smtp-sink,
#   - through the gateway with no zone, and through HAProxy in TCP mode;
#   - through the gateway screening against 3 zones, and through tcpserver + rblsmtpd against
#     the same 3 zones (both asking one loopback rbldnsd that lists nobody).
# The four runs are interleaved, ROUNDS times; the script prints every round and the medians.
# Nothing here is a test: it prints figures.
#
# Usage (as root: rblsmtpd asks port 53, so rbldnsd listens on 127.0.0.153:53):
#   bench/session_compare.sh [tarnwk binary, default build/tarnwk] [rounds 5] [messages 1000]
#       [sessions 20]
# Needs: haproxy, ucspi-tcp, socat, postfix (smtp-source, smtp-sink), rbldnsd.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(realpath "${1:-$repo/build/tarnwk}")"
rounds="${2:-5}"
messages="${3:-1000}"
sessions="${4:-20}"
dns_ip=127.0.0.153
zones=(z1.bench.test z2.bench.test z3.bench.test)

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_tcp() { for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }

sink_port=$(free_port)
smtp-sink -u nobody "127.0.0.1:$sink_port" 1024 &
pids+=($!)

mkdir -p "$work/zone" && chmod 755 "$work/zone"
printf '192.0.2.99\n' >"$work/zone/list" && chmod 644 "$work/zone/list"
zone_args=()
for zone in "${zones[@]}"; do zone_args+=("$zone:ip4set:list"); done
rbldnsd -n -u rbldns -b "$dns_ip/53" -w "$work/zone" "${zone_args[@]}" &
pids+=($!)

# One headless gateway with a hive of its own, on port $port.
start_gateway() {
  local name="$1" nzones="$2"
  port=$(free_port)
  mkdir -p "$work/$name"
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]\n'
    printf '"EnableLogging"="1"\n"LogFileName"="%s"\n' "$work/$name/Tarnwk.log"
    printf '"MailServer"="127.0.0.1"\n"PortIn"="%s"\n"PortOut"="%s"\n' "$port" "$sink_port"
    for ((i = 0; i < nzones; i++)); do printf '"DNSBL_%d"="+%s"\n' "$i" "${zones[$i]}"; done
    printf '"DNSBL_Servers"="%d"\n' "$nzones"
  } >"$work/$name.reg"
  (cd "$work/$name" && TARNWICK_HEADLESS=1 TARNWICK_REGISTRY="$work/$name.reg" \
    TARNWICK_NAMESERVERS="$dns_ip:53" exec "$binary" >/dev/null 2>"$work/$name.err") &
  pids+=($!)
}
start_gateway gateway0 0 && gw0=$port
start_gateway gateway3 3 && gw3=$port

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
pids+=($!)

rbl=$(free_port)
rbl_args=()
for zone in "${zones[@]}"; do rbl_args+=(-r "$zone"); done
DNSCACHEIP=$dns_ip tcpserver -q -R -H -l 0 -c 1000 -b 1024 127.0.0.1 "$rbl" \
  rblsmtpd "${rbl_args[@]}" socat STDIO "TCP:127.0.0.1:$sink_port" &
pids+=($!)

for port in "$sink_port" "$gw0" "$gw3" "$ha" "$rbl"; do
  wait_tcp "$port" || { echo "nothing listens on $port" >&2; cat "$work"/*.err >&2; exit 1; }
done

# Sessions per second of one smtp-source run.
rate() {
  local start end
  start=$(date +%s.%N)
  smtp-source -s "$sessions" -m "$messages" -f a@bench.test -t b@bench.test "127.0.0.1:$1" \
    >/dev/null 2>&1 || { echo "failed"; return; }
  end=$(date +%s.%N)
  awk -v m="$messages" -v s="$start" -v e="$end" 'BEGIN { printf "%.0f", m / (e - s) }'
}

names=(gateway0 haproxy gateway3 rblsmtpd)
ports=("$gw0" "$ha" "$gw3" "$rbl")
declare -A results
echo "smtp-source -s $sessions -m $messages, sessions per second ($rounds interleaved rounds)"
printf '%-8s' round; printf ' %10s' "${names[@]}"; echo
for ((r = 1; r <= rounds; r++)); do
  printf '%-8s' "$r"
  for i in "${!names[@]}"; do
    value=$(rate "${ports[$i]}")
    results[${names[$i]}]+="$value "
    printf ' %10s' "$value"
  done
  echo
done

median() { tr ' ' '\n' <<<"$1" | grep -E '^[0-9]+$' | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf '%-8s' median
declare -A med
for name in "${names[@]}"; do med[$name]=$(median "${results[$name]}"); printf ' %10s' "${med[$name]}"; done
echo
awk -v g0="${med[gateway0]}" -v ha="${med[haproxy]}" -v g3="${med[gateway3]}" -v rb="${med[rblsmtpd]}" \
  'BEGIN { printf "gateway/haproxy (no zone): %.2fx   gateway/rblsmtpd (3 zones): %.2fx\n", g0 / ha, g3 / rb }'
