#!/usr/bin/env bash
# Proves the packaged service under a real systemd, as a Debian 12 administrator runs it, on a
# host whose PID 1 need not be systemd (a container, a build machine):
#
# scripts/systemd-proof.sh PACKAGE.deb [NEWER.deb]    (as root; the host needs debootstrap)
#
# 1. A fresh Debian 12 minbase root (debootstrap, from the mirror this host's apt uses, or
#    TARNWICK_PROOF_MIRROR) with systemd, dbus and python3-aiosmtpd (the mail server and the
#    client of the relayed session); the package is installed with apt inside it while no /proc
#    is mounted there (as in an image build), and must be configured all the same, without
#    pulling in a Qt library.
# 2. systemd booted as PID 1 in that root (its own PID and mount namespaces; the network is the
#    host's, on free loopback ports), the root bind-mounted onto itself so that the unit's
#    sandbox can be set up; systemctl driven through nsenter.
# 3. The service: started to READY with its counters as status, a session relayed to the mail
#    server, a reload that moves PortIn, the descriptor limit raised under the unit's system-call
#    filter, a watchdog restart of a stopped gateway, a stop that ends with the shutdown lines,
#    no system call refused (no SIGSYS in the journal), and systemd-analyze's exposure rating.
# 4. The hive edited, NEWER.deb installed over it (without one, PACKAGE.deb repacked with its
#    version raised to VERSION+proof1): the edit is kept and the service runs the new program.
#    Then a purge leaves no user, group, folder or unit.
#
# TARNWICK_PROOF_DROPIN, when set, is a drop-in for the unit, installed before the start (to try
# a stricter sandbox: "[Service]\nSystemCallFilter=~prlimit64" shows how a refused system call
# fails the checks).
#
# Every check prints PASS or FAIL and the run goes on; the exit status is 1 when any failed. The
# root and every process are removed at the end, whatever happens.
set -euo pipefail

[ "$(id -u)" -eq 0 ] || { echo "systemd-proof: run as root" >&2; exit 2; }
[ $# -ge 1 ] && [ -f "$1" ] || { sed -n '5p' "$0" | sed 's/^# //' >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "systemd-proof: install debootstrap" >&2; exit 2; }
package=$(realpath "$1")
newer=${2:+$(realpath "$2")}
started=$(date +%s)

# The mirror of this host's apt sources (one-line or deb822 format).
default_mirror() {
  local uri
  uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
    2>/dev/null | awk '/^deb / { print ($2 ~ /^\[/ ? $3 : $2); exit } /^URIs:/ { print $2; exit }' ||
    true)
  echo "${uri:-http://deb.debian.org/debian}"
}
mirror=${TARNWICK_PROOF_MIRROR:-$(default_mirror)}

source "$(dirname "$0")/booted-root.sh" systemd-proof tarnwick-proof

say() { echo "== $*"; }
# A command inside the booted root (its mount and PID namespaces, its root).
in_root() { nsenter -t "$systemd_pid" -m -p -r -w "$@"; }
unit_show() { in_root systemctl show -P "$1" tarnwick.service; }
# A loopback port nothing answers on (the root shares the host's network), not one of $@, and
# below the range the kernel hands out to outgoing connections, which may hold a port nothing
# listens on.
free_port() {
  local port low
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range
  while :; do
    port=$((10000 + RANDOM % (low > 12000 ? low - 10000 : 2000)))
    [[ " $* " == *" $port "* ]] && continue
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
}
# The SMTP greeting read from a port (nothing when none answers).
greeting() {
  in_root python3 -c 'import socket,sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
print(s.recv(512).decode(errors="replace").strip())' "$1" 2>/dev/null || true
}
greets() { [[ "$(greeting "$1")" == 220* ]]; }
refuses() { [ -z "$(greeting "$1")" ]; }
set_hive() {
  sed -i "s/^\"$1\"=.*/\"$1\"=\"$2\"/" "$root/etc/tarnwick/registry.reg"
}
qt_packages() { chroot "$root" dpkg-query -W -f='${Package}\n' | grep -E '^(lib)?qt' || true; }
configured() { [ "$(chroot "$root" dpkg-query -W -f='${Status}' "$1")" = "install ok installed" ]; }

# With TARNWICK_PROOF_CACHE naming a file, the fresh root is kept there as a tar archive after
# its first making, and later runs unpack it instead of running debootstrap again.
cache=${TARNWICK_PROOF_CACHE:-}
if [ -n "$cache" ] && [ -f "$cache" ]; then
  say "a Debian 12 minbase root from $cache"
  mkdir "$root" && tar -xpf "$cache" -C "$root"
else
  say "a Debian 12 minbase root from $mirror"
  debootstrap --variant=minbase --include=systemd,dbus,python3-aiosmtpd bookworm "$root" \
    "$mirror" >"$work/debootstrap.log" 2>&1 || { cat "$work/debootstrap.log"; exit 1; }
  if [ -n "$cache" ]; then
    mkdir -p "$(dirname "$cache")" && tar -cpf "$cache.part" -C "$root" . && mv "$cache.part" "$cache"
  fi
fi
if [ -z "$newer" ]; then
  newer="$work/$(dpkg-deb -f "$package" Package)_$(dpkg-deb -f "$package" Version)+proof1_$(dpkg-deb -f "$package" Architecture).deb"
  dpkg-deb -R "$package" "$work/repack"
  sed -i 's/^Version: .*/&+proof1/' "$work/repack/DEBIAN/control"
  dpkg-deb -b "$work/repack" "$newer" >/dev/null
  rm -r "$work/repack"
fi
# Where the booted root sees them too (its /tmp may be a tmpfs of its own).
mkdir -p "$root/root/debs"
cp "$package" "$newer" "$root/root/debs/"

say "apt installs $(basename "$package") where /proc is not mounted"
mountpoint -q "$root/proc" && umount "$root/proc"
status=0
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  "/root/debs/$(basename "$package")" >"$work/install.log" 2>&1 || status=$?
grep -E '^(Setting up|E:|dpkg:)|Failed|[Ee]rror' "$work/install.log" || true
check "apt-get install exits 0 without /proc (status $status)" [ "$status" -eq 0 ]
check "the package is configured" configured tarnwick
# Made by the package's own scripts: systemd would otherwise make it at its next boot only.
check "the account tarnwick exists before any boot" chroot "$root" getent passwd tarnwick
qt=$(qt_packages)
check "no Qt library was pulled in${qt:+: $(echo $qt)}" [ -z "$qt" ]

say "systemd booted as PID 1 in the root"
boot_root
check "systemd reached its default target" wait_for 90 booted
# A package the first install left unconfigured (a failing postinst) is set up with systemd there.
configured tarnwick || in_root dpkg --configure -a >/dev/null 2>&1 || true

say "the hive: the packaged example with loopback ports, no block lists"
port_in=$(free_port)
port_mail=$(free_port "$port_in")
port_moved=$(free_port "$port_in" "$port_mail")
example=/usr/share/tarnwick/registry.reg
[ -f "$root$example" ] || example=/usr/share/doc/tarnwick/examples/registry.reg
cp "$root$example" "$root/etc/tarnwick/registry.reg"
set_hive PortIn "$port_in"
set_hive MailServer 127.0.0.1
set_hive PortOut "$port_mail"
set_hive DNSBL_Servers 0
set_hive Exclusions 0
sed -i -E '/^"(DNSBL|Exclusion)_[0-9]+"=/d' "$root/etc/tarnwick/registry.reg"
chroot "$root" chgrp tarnwick /etc/tarnwick/registry.reg
chmod 0640 "$root/etc/tarnwick/registry.reg"
echo "example $example; PortIn $port_in, mail server 127.0.0.1:$port_mail"

in_root systemd-run -q --unit=proof-mail /usr/bin/python3 -u -m aiosmtpd -n \
  -l "127.0.0.1:$port_mail"
wait_for 20 greets "$port_mail" || fail "the mail server did not start"

if [ -n "${TARNWICK_PROOF_DROPIN:-}" ]; then
  mkdir -p "$root/etc/systemd/system/tarnwick.service.d"
  printf '%b\n' "$TARNWICK_PROOF_DROPIN" >"$root/etc/systemd/system/tarnwick.service.d/tried.conf"
  echo "drop-in: $(tr '\n' ' ' <"$root/etc/systemd/system/tarnwick.service.d/tried.conf")"
  in_root systemctl daemon-reload
fi

say "start"
in_root systemctl start tarnwick.service || in_root journalctl -q -u tarnwick.service -n 12 --no-pager
running() { [ "$(unit_show ActiveState)/$(unit_show SubState)" = active/running ]; }
check "active (running) after READY=1" running
status_text=$(unit_show StatusText)
echo "status: $status_text"
check "the counters are the unit's status" [ -n "$status_text" ]
first_pid=$(unit_show MainPID)

say "a relayed session"
marker="proof-$RANDOM$RANDOM"
relayed=0
in_root python3 - "$port_in" "$marker" <<'EOF' && relayed=1
import smtplib, sys
with smtplib.SMTP("127.0.0.1", int(sys.argv[1]), timeout=20) as smtp:
    smtp.sendmail("proof@example.org", ["postmaster@example.org"],
                  "Subject: %s\r\n\r\nrelayed through the gateway\r\n" % sys.argv[2])
EOF
check "the client's message was accepted" [ "$relayed" -eq 1 ]
arrived() { in_root journalctl -q -u proof-mail.service | grep -q "$marker"; }
check "the mail server received it" wait_for 10 arrived
log=""
for candidate in /var/log/tarnwick/Tarnwk.log /var/lib/tarnwick/Tarnwk.log; do
  [ -f "$root$candidate" ] && log=$candidate && break
done
echo "activity log: ${log:-none}"
check "the activity log is under /var/log/tarnwick" [ "$log" = /var/log/tarnwick/Tarnwk.log ]

say "reload: PortIn $port_in -> $port_moved"
set_hive PortIn "$port_moved"
status=0
in_root systemctl reload tarnwick.service || status=$?
check "systemctl reload exits 0 (status $status)" [ "$status" -eq 0 ]
in_root journalctl -q -u tarnwick.service --no-pager | grep -iE 'reload|203|EXEC' | tail -n 4 || true
check "the gateway answers on $port_moved" wait_for 10 greets "$port_moved"
check "nothing answers on $port_in any more" wait_for 10 refuses "$port_in"
check "the same process, running" [ "$(unit_show MainPID)" = "$first_pid" ]
running || fail "not running after the reload"

say "a soft descriptor limit below the hard one, raised by the gateway under the filter"
mkdir -p "$root/etc/systemd/system/tarnwick.service.d"
printf '[Service]\nLimitNOFILE=1024:65536\n' >"$root/etc/systemd/system/tarnwick.service.d/proof.conf"
in_root systemctl daemon-reload
in_root systemctl restart tarnwick.service || true
check "running after the restart" running
# The hard limit is 65536 or less: systemd's own, where that is lower (a container's).
limits=$(in_root cat "/proc/$(unit_show MainPID)/limits" | awk '/Max open files/ { print $4, $5 }' || true)
read -r soft hard <<<"${limits:-0 0}"
check "the soft limit was raised to the hard one (soft $soft, hard $hard)" \
  eval '[ "$soft" = "$hard" ] && [ "$soft" -gt 1024 ]'
rm "$root/etc/systemd/system/tarnwick.service.d/proof.conf"
rmdir --ignore-fail-on-non-empty "$root/etc/systemd/system/tarnwick.service.d"
in_root systemctl daemon-reload

say "watchdog: the gateway stopped with SIGSTOP"
stopped_pid=$(unit_show MainPID)
# Never "kill -STOP 0": that would stop this script's own process group.
[ "$stopped_pid" -gt 0 ] && in_root /bin/sh -c "kill -STOP $stopped_pid"
restarted() { running && [ "$(unit_show MainPID)" != "$stopped_pid" ] && [ "$(unit_show MainPID)" != 0 ]; }
check "restarted by the watchdog within WatchdogSec=$(unit_show WatchdogUSec) and RestartSec" \
  wait_for 75 restarted
in_root journalctl -q -u tarnwick.service --no-pager | grep -iE 'watchdog' | tail -n 2 || true
check "the restarted gateway relays on $port_moved" wait_for 10 greets "$port_moved"

say "stop"
in_root systemctl stop tarnwick.service || true
check "inactive after the stop" [ "$(unit_show ActiveState)" = inactive ]
check "the stop succeeded (result $(unit_show Result))" [ "$(unit_show Result)" = success ]
tail -n 3 "$root${log:-/var/log/tarnwick/Tarnwk.log}" 2>/dev/null || true
check "the activity log ends with the shutdown lines" \
  grep -q "Shutting Down Tarnwick" "$root${log:-/var/log/tarnwick/Tarnwk.log}"

say "no system call refused"
journal=$(in_root journalctl -q --no-pager -u tarnwick.service)
refused=$(grep -ciE 'SIGSYS|status=31|Bad system call|seccomp|audit' <<<"$journal" || true)
check "no SIGSYS, seccomp or audit line in the unit's journal ($refused)" [ "$refused" -eq 0 ]
check "no start refused: ExecMainStatus of the last run $(unit_show ExecMainStatus)" \
  [ "$(unit_show ExecMainStatus)" = 0 ]

say "systemd-analyze security"
rating=$(in_root systemd-analyze security --no-pager tarnwick.service 2>&1 | tail -n 1)
echo "$rating"
exposure=$(grep -oE '[0-9]+\.[0-9]+' <<<"$rating" | head -n 1)
check "overall exposure at most 2.0" awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }'

say "upgrade to $(basename "$newer") over an edited hive"
echo '; edited by the administrator before the upgrade' >>"$root/etc/tarnwick/registry.reg"
in_root systemctl start tarnwick.service || true
before_pid=$(unit_show MainPID)
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  "/root/debs/$(basename "$newer")" >"$work/upgrade.log" 2>&1 ||
  fail "the upgrade's apt-get failed: $(grep -E '^(E:|dpkg:)' "$work/upgrade.log")"
grep -E '^(Preparing|Unpacking|Setting up)' "$work/upgrade.log" || true
echo "installed: $(chroot "$root" dpkg-query -W tarnwick)"
check "the hive's edit is kept" grep -q 'edited by the administrator' \
  "$root/etc/tarnwick/registry.reg"
new_pid() { [ "$(unit_show MainPID)" != "$before_pid" ] && running; }
wait_for 20 new_pid || true
check "the service was restarted (MainPID $before_pid -> $(unit_show MainPID))" new_pid
exe=$(in_root readlink "/proc/$(unit_show MainPID)/exe" || true)
# The link names the file the process runs; " (deleted)" would be the old program's.
new_program() { [[ "$exe" == */usr/sbin/tarnwk ]]; }
check "it runs the new program ($exe)" new_program

say "purge"
in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tarnwick >"$work/purge.log" 2>&1 ||
  fail "apt-get purge failed: $(tail -n 5 "$work/purge.log")"
check "no user tarnwick" eval '! chroot "$root" getent passwd tarnwick >/dev/null'
check "no group tarnwick" eval '! chroot "$root" getent group tarnwick >/dev/null'
for folder in /etc/tarnwick /var/lib/tarnwick /var/log/tarnwick; do
  check "no $folder" [ ! -e "$root$folder" ]
done
leftovers=$(find "$root/etc/systemd" "$root/lib/systemd/system" "$root/usr/lib/systemd/system" \
  -name 'tarnwick*' 2>/dev/null || true)
check "no unit file or link left${leftovers:+: $leftovers}" [ -z "$leftovers" ]
check "systemd knows no tarnwick unit" eval \
  '[ "$(in_root systemctl show -P LoadState tarnwick.service)" = not-found ]'

say "$((failures == 0 ? 0 : failures)) failed checks, $(($(date +%s) - started)) s"
[ "$failures" -eq 0 ] && echo "SYSTEMD PROOF PASSED" || { echo "SYSTEMD PROOF FAILED"; exit 1; }
