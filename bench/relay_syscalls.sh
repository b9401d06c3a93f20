#!/usr/bin/env bash
# System calls per relayed block: a headless gateway relays one stream of MEGABYTES from a client
# to a discarding sink while strace counts the listener's system calls; the script prints each
# call's count and its count per relayed block (one block = one receive that returned data).
# Then the same for SESSIONS smtp-source sessions into smtp-sink (no zones, logging off): calls
# per session of the listener thread and of the whole process, and of HAProxy (TCP mode, all its
# threads) relaying the same sessions to the same sink.
# Nothing here is a test: it prints figures.
#
# Usage: bench/relay_syscalls.sh [tarnwk binary, default build/tarnwk] [megabytes 256]
#            [sessions 500]
# Needs: strace, postfix (smtp-source, smtp-sink), haproxy, socat (for the stream); installed
# when missing (scripts/install-deps.sh bench postfix), and refused where another mail server is
# installed.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(realpath "${1:-$repo/build/tarnwk}")"
megabytes="${2:-256}"
sessions="${3:-500}"

# Installs what is missing; refuses where another mail server is installed (Postfix would
# replace it).
"$repo/scripts/install-deps.sh" bench postfix
source "$repo/bench/peers.sh"

# Traces the system calls of process $traced_pid (the gateway unless set) while "$@" runs; the
# trace goes to $work/trace.
trace_while() {
  strace -f -qq -o "$work/trace" -p "${traced_pid:-$gateway_pid}" &
  local tracer=$!
  sleep 0.5
  "$@"
  sleep 0.3
  kill -INT "$tracer"
  wait "$tracer" 2>/dev/null || true
}

# "name count" for every call the listener thread (the one that accepts) made, busiest first;
# "blocks" counts its receives that returned data (a peek is not one).
listener_calls() {
  awk '$2 ~ /^accept4\(/ { listener = $1 }
       { line[NR] = $0; tid[NR] = $1 }
       END {
         for (i = 1; i <= NR; i++) {
           if (tid[i] != listener) continue
           split(line[i], f, " "); name = f[2]; sub(/\(.*/, "", name)
           if (name !~ /^[a-z_0-9]+$/) continue
           n[name]++
           if (name ~ /^recv/ && line[i] !~ /MSG_PEEK/ && line[i] ~ /= [1-9][0-9]*$/) blocks++
         }
         for (c in n) print c, n[c]
         print "blocks", blocks + 0
       }' "$work/trace" | sort -k2 -n -r
}

# "all N" for every call of every thread of the traced process (resumed halves not counted).
process_calls() {
  awk '$2 !~ /^<\.\.\./ { split($2, f, "("); if (f[1] ~ /^[a-z_0-9]+$/) n++ } END { print "all", n + 0 }' \
    "$work/trace"
}

if command -v socat >/dev/null; then
  sink_port=$(free_port)
  socat -u "TCP-LISTEN:$sink_port,reuseaddr,fork" /dev/null &
  pids+=($!)
  wait_tcp "$sink_port"
  start_gateway stream "$sink_port"
  stream() { head -c "${megabytes}M" /dev/zero | socat -u - "TCP:127.0.0.1:$gateway_port"; }
  trace_while stream
  listener_calls >"$work/calls"
  blocks=$(awk '$1 == "blocks" { print $2 }' "$work/calls")
  echo "one ${megabytes} MB stream, client to mail server: $blocks blocks relayed; listener thread's calls:"
  awk -v b="$blocks" '$1 != "blocks" { printf "  %-14s %9d  %6.2f per block\n", $1, $2, $2 / b }' "$work/calls"
  kill "$gateway_pid" 2>/dev/null || true
  wait "$gateway_pid" 2>/dev/null || true
else
  echo "(no socat: the stream is left out)"
fi

mail_port=$(free_port)
smtp-sink -u nobody "127.0.0.1:$mail_port" 1024 &
pids+=($!)
wait_tcp "$mail_port"
start_gateway sessions "$mail_port"
trace_while smtp-source -s 20 -m "$sessions" -f a@bench.test -t b@bench.test "127.0.0.1:$gateway_port"
listener_calls >"$work/calls"
process_calls >>"$work/calls"
echo "$sessions smtp-source sessions (20 at a time) into smtp-sink; listener thread's calls:"
awk -v n="$sessions" '$1 != "blocks" && $1 != "all" { printf "  %-14s %9d  %6.1f per session\n", $1, $2, $2 / n; t += $2 }
  $1 == "all" { all = $2 }
  END { printf "  %-14s %9d  %6.1f per session\n", "listener", t, t / n
        printf "  %-14s %9d  %6.1f per session\n", "whole process", all, all / n }' "$work/calls"

kill "$gateway_pid" 2>/dev/null || true
wait "$gateway_pid" 2>/dev/null || true
ha=$(free_port)
printf 'global\n  maxconn 4000\ndefaults\n  mode tcp\n  timeout connect 5s\n  timeout client 60s\n  timeout server 60s\nfrontend smtp\n  bind 127.0.0.1:%s\n  default_backend sink\nbackend sink\n  server sink 127.0.0.1:%s\n' \
  "$ha" "$mail_port" >"$work/haproxy.cfg"
haproxy -q -f "$work/haproxy.cfg" &
ha_pid=$!
pids+=("$ha_pid")
wait_tcp "$ha"
traced_pid=$ha_pid trace_while smtp-source -s 20 -m "$sessions" -f a@bench.test -t b@bench.test "127.0.0.1:$ha"
process_calls | awk -v n="$sessions" '{ printf "the same sessions through HAProxy (TCP mode), all its threads: %.1f per session\n", $2 / n }'
