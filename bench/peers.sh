# Shared by the benchmark scripts (sourced, not run): a work folder removed at exit with every
# process started through it, free loopback ports, and the headless gateway with a hive of its
# own. Expects $binary (the tarnwk program).
# The peers live in /usr/sbin, which an ordinary user's PATH leaves out.
export PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"
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

# start_gateway NAME MAIL_PORT [hive lines...]: a headless gateway in $work/NAME relaying to
# 127.0.0.1:MAIL_PORT, with the extra hive lines given; sets gateway_port and gateway_pid once it
# listens. A port taken meanwhile by someone else is given up for another. With gateway_display
# set, the gateway runs on that X display instead of headless.
start_gateway() {
  local name="$1" mail_port="$2" attempt
  shift 2
  mkdir -p "$work/$name"
  for attempt in 1 2 3 4 5; do
    gateway_port=$(free_port)
    {
      printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]\n'
      printf '"MailServer"="127.0.0.1"\n"PortIn"="%s"\n"PortOut"="%s"\n' "$gateway_port" "$mail_port"
      printf '%s\n' "$@"
    } >"$work/$name.reg"
    if [ -n "${gateway_display:-}" ]; then
      (cd "$work/$name" && DISPLAY="$gateway_display" TARNWICK_REGISTRY="$work/$name.reg" \
        exec "$binary" >/dev/null 2>"$work/$name.err") &
    else
      (cd "$work/$name" && TARNWICK_HEADLESS=1 TARNWICK_REGISTRY="$work/$name.reg" \
        exec "$binary" >/dev/null 2>"$work/$name.err") &
    fi
    gateway_pid=$!
    pids+=("$gateway_pid")
    while kill -0 "$gateway_pid" 2>/dev/null; do
      (exec 3<>"/dev/tcp/127.0.0.1/$gateway_port") 2>/dev/null && return 0
      sleep 0.1
    done
  done
  echo "the gateway did not start: $(cat "$work/$name.err")" >&2
  return 1
}

# start_sink: smtp-sink on a free loopback port; sets sink_port.
start_sink() {
  sink_port=$(free_port)
  smtp-sink -u nobody "127.0.0.1:$sink_port" 1024 &
  pids+=($!)
}

# start_rbldnsd ADDRESS/PORT ZONE...: rbldnsd serving the zones, each listing only 192.0.2.99,
# an address no benchmark client uses; its "not listed" answers carry an SOA whose negative TTL
# is 300 s, as a real list's do.
start_rbldnsd() {
  local bind="$1" zone args=()
  shift
  mkdir -p "$work/zone" && chmod 755 "$work/zone"
  printf '$SOA 300 ns.bench.test. admin.bench.test. 1 600 600 600 300\n192.0.2.99\n' \
    >"$work/zone/list" && chmod 644 "$work/zone/list"
  for zone in "$@"; do args+=("$zone:ip4set:list"); done
  rbldnsd -n -u rbldns -b "$bind" -w "$work/zone" "${args[@]}" &
  pids+=($!)
}

# start_rblsmtpd PORT DNS_IP MAIL_PORT ZONE...: tcpserver -b 1024 + rblsmtpd asking the zones
# through DNS_IP:53, each passed session relayed by socat to 127.0.0.1:MAIL_PORT; sets rbl_pid.
start_rblsmtpd() {
  local port="$1" dns="$2" mail_port="$3" zone args=()
  shift 3
  for zone in "$@"; do args+=(-r "$zone"); done
  DNSCACHEIP=$dns tcpserver -q -R -H -l 0 -c 1000 -b 1024 127.0.0.1 "$port" \
    rblsmtpd "${args[@]}" socat STDIO "TCP:127.0.0.1:$mail_port" &
  rbl_pid=$!
  pids+=("$rbl_pid")
}

# median "V1 V2 ...": the median of the numbers among the words (others, like "failed", are left
# out).
median() {
  tr ' ' '\n' <<<"$1" | grep -E '^[0-9.]+$' | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# CPU time (ms) a process and its reaped children have used; 0 for none.
cpu_ms() {
  [ "$1" = 0 ] && { echo 0; return; }
  awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15 + $16 + $17) * 1000 / hz }' "/proc/$1/stat"
}

# smtp_source_rate PORT PID: one smtp-source run of $sessions parallel sessions and $messages
# messages through port PORT, whose proxy is process PID (0: none), as "sessions/s/cpu-ms per
# 1000 sessions", or "failed".
smtp_source_rate() {
  local start end cpu0 cpu1
  cpu0=$(cpu_ms "$2")
  start=$(date +%s.%N)
  smtp-source -s "$sessions" -m "$messages" -f a@bench.test -t b@bench.test "127.0.0.1:$1" \
    >/dev/null 2>&1 || { echo "failed"; return; }
  end=$(date +%s.%N)
  cpu1=$(cpu_ms "$2")
  awk -v m="$messages" -v s="$start" -v e="$end" -v c0="$cpu0" -v c1="$cpu1" \
    'BEGIN { printf "%.0f/%.0f", m / (e - s), (c1 - c0) * 1000 / m }'
}

# interleaved_rounds: $rounds rounds of smtp_source_rate through each ports[i] (process procs[i]),
# printed as a table headed by names[], then its medians; sets med[NAME] and cpu[NAME]. Each
# round starts one further along the list, so that none always has the warmest machine.
interleaved_rounds() {
  local r i k n=${#names[@]}
  local -A results=() cpus=() row=()
  declare -gA med=() cpu=()
  printf '%-8s' round; printf ' %12s' "${names[@]}"; echo
  for ((r = 1; r <= rounds; r++)); do
    row=()
    for ((k = 0; k < n; k++)); do
      i=$(((r - 1 + k) % n))
      row[$i]=$(smtp_source_rate "${ports[$i]}" "${procs[$i]}")
    done
    printf '%-8s' "$r"
    for ((i = 0; i < n; i++)); do
      results[$i]+="${row[$i]%/*} "
      cpus[$i]+="${row[$i]#*/} "
      printf ' %12s' "${row[$i]}"
    done
    echo
  done
  printf '%-8s' median
  for ((i = 0; i < n; i++)); do
    med[${names[$i]}]=$(median "${results[$i]}")
    cpu[${names[$i]}]=$(median "${cpus[$i]}")
    printf ' %12s' "${med[${names[$i]}]}/${cpu[${names[$i]}]}"
  done
  echo
}
