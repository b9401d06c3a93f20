#!/usr/bin/env bash
# Sessions per second of the desktop run against the headless run, side by side in one run:
# Postfix's smtp-source (-s SESSIONS parallel sessions, -m MESSAGES messages, one session each)
# through two gateways to one smtp-sink, no zones, logging on. One gateway runs on a desktop
# (Xvfb with trayer as its notification area: the monitor window, the tray icon, the log pane
# and counters following every client), the other headless. The runs are interleaved, ROUNDS
# times; the script prints every round, the medians, and desktop/headless.
# Nothing here is a test: it prints figures.
#
# Usage: bench/desktop_compare.sh [tarnwk binary, default build/tarnwk] [rounds 7]
#            [messages 2000] [sessions 20]
# Needs: Xvfb, trayer, xdotool (the test set), postfix (smtp-source, smtp-sink); installed when
# missing (scripts/install-deps.sh test bench postfix), and refused where another mail server is
# installed.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
binary="$(realpath "${1:-$repo/build/tarnwk}")"
rounds="${2:-7}"
messages="${3:-2000}"
sessions="${4:-20}"

# Installs what is missing; refuses where another mail server is installed (Postfix would
# replace it).
"$repo/scripts/install-deps.sh" test bench postfix
source "$repo/bench/peers.sh"

# Xvfb on a display number of its own, and trayer on it.
display=""
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  candidate=":$((200 + (RANDOM % 600)))"
  rm -f "$work/display"
  (exec Xvfb "$candidate" -displayfd 3 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.err") &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$work/display" ] || ! kill -0 "$xvfb_pid" 2>/dev/null && break; sleep 0.1; done
  if kill -0 "$xvfb_pid" 2>/dev/null && [ -s "$work/display" ]; then
    pids+=("$xvfb_pid")
    display="$candidate"
    break
  fi
done
[ -n "$display" ] || { echo "Xvfb did not start" >&2; exit 1; }
DISPLAY="$display" trayer --edge top --align right >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do DISPLAY="$display" xdotool search --onlyvisible --name '^panel$' >/dev/null 2>&1 && break; sleep 0.1; done

start_sink
wait_tcp "$sink_port"
start_gateway headless "$sink_port" '"EnableLogging"="1"' "\"LogFileName\"=\"$work/headless.log\""
headless=$gateway_port
headless_pid=$gateway_pid
gateway_display="$display" start_gateway desktop "$sink_port" '"EnableLogging"="1"' \
  "\"LogFileName\"=\"$work/desktop.log\""
desktop=$gateway_port
desktop_pid=$gateway_pid
# The monitor window is up (and hidden to the tray by its first tick) before the first round.
for _ in $(seq 100); do
  DISPLAY="$display" xdotool search --name '^Tarnwick Professional$' >/dev/null 2>&1 && break
  sleep 0.1
done
sleep 1

names=(headless desktop)
ports=("$headless" "$desktop")
procs=("$headless_pid" "$desktop_pid")
echo "smtp-source -s $sessions -m $messages, no zones, logging on: sessions per second / the"
echo "gateway's CPU ms per 1000 sessions, $rounds interleaved rounds (desktop under Xvfb $display)"
interleaved_rounds
awk -v d="${med[desktop]}" -v h="${med[headless]}" \
  'BEGIN { printf "sessions/s: desktop/headless %.2fx\n", d / h }'
