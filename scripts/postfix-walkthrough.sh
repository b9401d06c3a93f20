#!/usr/bin/env bash
# Follows the README's "Deploy in front of Postfix" step by step on a Debian 12 mail host, under a
# real systemd, and shows what an administrator would see:
#
# scripts/postfix-walkthrough.sh PACKAGE.deb    (as root; the host needs debootstrap)
#
# 1. A Debian 12 minbase root (debootstrap, or a copy of TARNWICK_WALKTHROUGH_ROOT, a root this
#    script made before: see TARNWICK_WALKTHROUGH_KEEP) with Postfix set up as an "Internet
#    Site" for mail.example.org, and what the steps install from the network (unbound, swaks,
#    curl, iproute2, dnsutils, c-ares, logrotate) plus rbldnsd for the test zones; the root then runs
#    without the network.
# 2. systemd booted as PID 1 in that root, in its own PID, mount and network namespaces (only
#    its loopback: port 25 and the others are its own), driven through nsenter.
# 3. The README's commands, printed with their output: the package, unbound as the resolver,
#    Postfix's listener on 127.0.0.1:10025 with the PROXY header, the hive, the check as the
#    service sees it, the trial on port 2525, a dry run, the switch to port 25, and what shows
#    that it works; then the same with postscreen on 10025. The block lists are two test zones
#    served by rbldnsd (zen.test with a reply filter, bl.test), which unbound asks for the
#    gateway; clients come from other loopback addresses (127.0.0.2: every list's test entry;
#    127.0.0.10: listed by zen.test with a code only the filter counts; 127.0.0.20: listed
#    nowhere).
#
# Every check prints PASS or FAIL; the exit status is 1 when any failed. Not part of CI (it takes
# several minutes and downloads a Debian root). The root is removed at the end, unless
# TARNWICK_WALKTHROUGH_KEEP names a folder to keep a fresh copy of it in before the steps.
set -euo pipefail

[ "$(id -u)" -eq 0 ] || { echo "postfix-walkthrough: run as root" >&2; exit 2; }
[ $# -ge 1 ] && [ -f "$1" ] || { sed -n '5p' "$0" | sed 's/^# //' >&2; exit 2; }
package=$(realpath "$1")
mirror=${TARNWICK_PROOF_MIRROR:-http://deb.debian.org/debian}
source "$(dirname "$0")/booted-root.sh" postfix-walkthrough tarnwick-walkthrough

say() { printf '\n== %s\n' "$*"; }
in_root() { nsenter -t "$systemd_pid" -m -p -n -r -w "$@"; }
# One of the README's commands, run in the root by bash as root, printed with its output
# (indented); its exit status is kept in $status.
status=0
run() {
  echo "\$ $1"
  status=0
  in_root timeout 120 bash -c "$1" </dev/null >"$work/out" 2>&1 || status=$?
  sed 's/^/    /' "$work/out"
  [ "$status" -eq 0 ] || echo "    (exit status $status)"
}
output() { cat "$work/out"; }
journal_has() { in_root journalctl -q --no-pager "${@:2}" | grep -qF "$1"; }

# ---- the root ----------------------------------------------------------------------------------
if [ -n "${TARNWICK_WALKTHROUGH_ROOT:-}" ]; then
  say "a copy of the prepared root $TARNWICK_WALKTHROUGH_ROOT"
  cp -a "$TARNWICK_WALKTHROUGH_ROOT" "$root"
else
  say "a Debian 12 minbase root from $mirror, with Postfix"
  debootstrap --variant=minbase --include=systemd,dbus,python3,rbldnsd,ca-certificates bookworm \
    "$root" "$mirror" >"$work/debootstrap.log" 2>&1 || { cat "$work/debootstrap.log"; exit 1; }
  printf '127.0.0.1\tlocalhost\n127.0.1.1\tmail.example.org mail\n::1\tlocalhost ip6-localhost ip6-loopback\n' \
    >"$root/etc/hosts"
  echo mail >"$root/etc/hostname"
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
  printf '%s\n' 'postfix postfix/main_mailer_type select Internet Site' \
    'postfix postfix/mailname string mail.example.org' | chroot "$root" debconf-set-selections
  chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    postfix libc-ares2 unbound dns-root-data swaks curl iproute2 dnsutils logrotate cron \
    >"$work/apt.log" 2>&1 || { tail -n 20 "$work/apt.log"; exit 1; }
  # Postfix's set-up finds no network protocol in a chroot; on a real host it gets "all".
  chroot "$root" postconf -e inet_protocols=all
  # rbldnsd serves only the test zones, started below; its own units would take port 53.
  chroot "$root" systemctl disable rbldnsd.socket rbldnsd.service >/dev/null 2>&1
  if [ -n "${TARNWICK_WALKTHROUGH_KEEP:-}" ]; then
    rm -rf "$TARNWICK_WALKTHROUGH_KEEP" && cp -a "$root" "$TARNWICK_WALKTHROUGH_KEEP"
  fi
fi
# Package scripts start services as on a real host from here on. The root has no network: the
# host's own names (the client's HELO) are asked of the root's resolver, not the host's.
rm -f "$root/usr/sbin/policy-rc.d"
echo 'nameserver 127.0.0.1' >"$root/etc/resolv.conf"
cp "$package" "$root/root/"
# The test zones: zen.test answers 127.0.0.4 for 127.0.0.10 (a code only a reply filter counts);
# both list 127.0.0.2, every list's test entry, and neither 127.0.0.1.
mkdir -p "$root/srv/zones"
printf '127.0.0.2 :127.0.0.2:test entry\n127.0.0.10 :127.0.0.4:listed\n' >"$root/srv/zones/zen.zone"
printf '127.0.0.2\n' >"$root/srv/zones/bl.zone"

say "systemd booted as PID 1 in the root (its own network: loopback only)"
boot_root --net
check "systemd reached its default target" wait_for 90 booted
in_root systemctl --failed --no-legend --no-pager || true

say "the host before: Postfix on port 25; the test zones (not a README step)"
run "postconf -h mail_version; ss -ltn 'sport = :25'"
run "systemd-run -q --unit=testzone rbldnsd -n -u rbldns -b 127.0.0.1/5353 -w /srv/zones \
zen.test:ip4set:zen.zone bl.test:ip4set:bl.zone && sleep 1 && systemctl is-active testzone"
# unbound asks rbldnsd for the test zones (a resolver asks the lists' own servers the same way).
cat >"$root/etc/unbound/unbound.conf.d/walkthrough-zones.conf" <<'EOF'
server:
    do-not-query-localhost: no
    domain-insecure: "test"
    local-zone: "test." nodefault
stub-zone:
    name: "zen.test"
    stub-addr: 127.0.0.1@5353
stub-zone:
    name: "bl.test"
    stub-addr: 127.0.0.1@5353
EOF
run "cat /etc/unbound/unbound.conf.d/walkthrough-zones.conf"

say "1. The package"
run "cd /root && apt install -y ./$(basename "$package") 2>&1 | grep -E '^(Setting up|E:)'
systemctl status tarnwick --no-pager | sed -n '1,4p'"
check "the package is installed" eval '[ "$(chroot "$root" dpkg-query -W -f="\${Status}" tarnwick)" = "install ok installed" ]'

say "2. A resolver of its own"
run "apt install unbound 2>&1 | tail -n 1"
run "cat > /etc/unbound/unbound.conf.d/tarnwick.conf <<'EOF'
server:
    interface: 127.0.0.1
    access-control: 127.0.0.0/8 allow
EOF
systemctl restart unbound
mkdir -p /etc/systemd/system/tarnwick.service.d
printf '[Service]\nEnvironment=TARNWICK_NAMESERVERS=127.0.0.1:53\n' \\
  > /etc/systemd/system/tarnwick.service.d/resolver.conf
systemctl daemon-reload"
run "dig +short 2.0.0.127.zen.test @127.0.0.1; dig +short 10.0.0.127.zen.test @127.0.0.1; \
dig +short 1.0.0.127.zen.test @127.0.0.1"
check "unbound answers for the test zone" grep -qx 127.0.0.4 "$work/out"

say "3. Postfix on 127.0.0.1:10025, taking the PROXY header"
run "postconf -Me '127.0.0.1:10025/inet = 127.0.0.1:10025 inet n - y - - smtpd'
postconf -P '127.0.0.1:10025/inet/smtpd_upstream_proxy_protocol=haproxy'
postfix check && systemctl reload postfix
sleep 1; ss -ltn 'sport = :10025'"
check "Postfix listens on 127.0.0.1:10025" grep -q '127.0.0.1:10025' "$work/out"
run "postconf -M 127.0.0.1:10025/inet; postconf -P 127.0.0.1:10025/inet"

say "4. The hive (the README's, with the test zones for zen.spamhaus.org and bl.spamcop.net)"
run "cat > /etc/tarnwick/registry.reg <<'EOF'
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenfield\\Tarnwick]
\"RunAsService\"=\"0\"
\"EnableLogging\"=\"1\"
\"LogFileName\"=\"/var/log/tarnwick/Tarnwk.log\"
\"PortIn\"=\"2525\"
\"MailServer\"=\"127.0.0.1\"
\"PortOut\"=\"10025\"
\"ProxyTo\"=\"1\"
\"DNSBL_0\"=\"+zen.test=127.0.0.[2..11]\"
\"DNSBL_1\"=\"+bl.test\"
\"DNSBL_Servers\"=\"2\"
\"Exclusions\"=\"0\"
\"ConcurrentScreening\"=\"1\"
\"ZoneCheckMinutes\"=\"60\"
\"DnsblCacheSeconds\"=\"3600\"
\"DnsblThreshold\"=\"1\"
\"MonitorFrom\"=\"127.0.0.1\"
\"MetricsPort\"=\"9125\"
\"MetricsAddress\"=\"127.0.0.1\"
EOF
chgrp tarnwick /etc/tarnwick/registry.reg && chmod 0640 /etc/tarnwick/registry.reg
ls -l /etc/tarnwick/registry.reg"

say "5. Check it as the service sees it"
service_check="runuser -u tarnwick -- env -C /var/lib/tarnwick \$(systemctl show -P Environment tarnwick) \\
  /usr/sbin/tarnwk CHECK"
run "$service_check"
check "the check passes as the service sees the hive" [ "$status" -eq 0 ]
run "systemctl show -P Environment tarnwick"
run "runuser -u tarnwick -- env -C /var/lib/tarnwick \$(systemctl show -P Environment tarnwick) \\
  TARNWICK_CHECK_ZONES=1 /usr/sbin/tarnwk CHECK"
check "the zones pass their test through unbound" [ "$status" -eq 0 ]
echo "-- what the check says of a mistyped resolver (a drop-in, then taken back):"
run "printf '[Service]\nEnvironment=TARNWICK_NAMESERVERS=127.0.0.1#53\n' \\
  > /etc/systemd/system/tarnwick.service.d/resolver.conf && systemctl daemon-reload
systemctl show -P Environment tarnwick
$service_check"
check "a mistyped TARNWICK_NAMESERVERS is named" grep -q '^TARNWICK_NAMESERVERS: "127.0.0.1#53" cannot be read' "$work/out"
run "printf '[Service]\nEnvironment=TARNWICK_NAMESERVERS=127.0.0.1:53\n' \\
  > /etc/systemd/system/tarnwick.service.d/resolver.conf && systemctl daemon-reload
$service_check"

say "6. A trial beside Postfix"
run "systemctl start tarnwick; systemctl status tarnwick --no-pager | sed -n '1,6p'"
check "the service runs" [ "$(in_root systemctl is-active tarnwick)" = active ]
sleep 2  # the zones' first check
run "swaks --server 127.0.0.1:2525 --to postmaster@\$(postconf -h myhostname) 2>&1 | grep -E '^(<-|->) +(220|250|MAIL|RCPT|DATA|QUIT|550)|queued'"
check "a session from 127.0.0.1 is relayed and queued" grep -q 'queued as' "$work/out"
run "swaks --server 127.0.0.1:2525 --local-interface 127.0.0.2 --to postmaster@\$(postconf -h myhostname) --quit-after RCPT 2>&1 | grep -E '^(<-|<\*\*|\*\*\*)'"
check "127.0.0.2, the test entry, is refused with 550" grep -q '550' "$work/out"
run "swaks --server 127.0.0.1:2525 --local-interface 127.0.0.10 --to postmaster@\$(postconf -h myhostname) --quit-after RCPT 2>&1 | grep -E '^(<-|<\*\*|\*\*\*)'"
check "127.0.0.10, listed by zen.test with 127.0.0.4, is refused" grep -q '550' "$work/out"
run "swaks --server 127.0.0.1:2525 --local-interface 127.0.0.20 --to postmaster@\$(postconf -h myhostname) 2>&1 | grep -E 'queued|^<\*\*|^\*\*\*'"
check "127.0.0.20, listed nowhere, reaches Postfix" grep -q 'queued as' "$work/out"
run "tail -n 8 /var/log/tarnwick/Tarnwk.log"
run "journalctl -q --no-pager -u postfix@- | grep -E 'connect from|status=sent' | tail -n 8"
check "Postfix logs the client's own address 127.0.0.20" grep -qE 'connect from [^ ]*\[127\.0\.0\.20\]' "$work/out"

say "6. A dry run: DnsblThreshold 1000000, then back to 1"
run "sed -i 's/^\"DnsblThreshold\"=.*/\"DnsblThreshold\"=\"1000000\"/' /etc/tarnwick/registry.reg
systemctl reload tarnwick
swaks --server 127.0.0.1:2525 --local-interface 127.0.0.10 --to postmaster@\$(postconf -h myhostname) 2>&1 | grep -E 'queued|^<\*\*'
tail -n 3 /var/log/tarnwick/Tarnwk.log"
check "in the dry run the listed client is relayed, its listing logged" \
  eval 'grep -q "queued as" "$work/out" && grep -q "127.0.0.10 Found in zen.test" "$work/out"'
run "sed -i 's/^\"DnsblThreshold\"=.*/\"DnsblThreshold\"=\"1\"/' /etc/tarnwick/registry.reg
systemctl reload tarnwick"

say "7. The switch to port 25"
run "postconf -M# smtp/inet
postfix check && systemctl restart postfix
sed -i 's/^\"PortIn\"=.*/\"PortIn\"=\"25\"/' /etc/tarnwick/registry.reg
systemctl reload tarnwick
sleep 1; ss -ltnp 'sport = :25'"
check "tarnwk holds port 25" grep -q tarnwk "$work/out"
run "grep -n '^#smtp ' /etc/postfix/master.cf"

say "8. See that it works"
run "swaks --server 127.0.0.1:25 --local-interface 127.0.0.10 --to postmaster@\$(postconf -h myhostname) --quit-after RCPT 2>&1 | grep -E '^(<-|<\*\*|\*\*\*)'"
check "on port 25 the listed client 127.0.0.10 is refused" grep -q '550' "$work/out"
run "swaks --server 127.0.0.1:25 --local-interface 127.0.0.20 --to postmaster@\$(postconf -h myhostname) 2>&1 | grep -E 'queued|^<\*\*'"
check "on port 25 the client 127.0.0.20 reaches Postfix" grep -q 'queued as' "$work/out"
run "tail -n 6 /var/log/tarnwick/Tarnwk.log"
run "journalctl -q --no-pager -u postfix@- | grep -E 'connect from' | tail -n 4"
check "Postfix logs 127.0.0.20, not 127.0.0.1, behind port 25" \
  grep -qE 'connect from [^ ]*\[127\.0\.0\.20\]' "$work/out"
run "curl -s http://127.0.0.1:9125/metrics | grep -E '^tarnwick_(connections|rejections)_total|outcome'"
echo "-- a report: Postfix stopped while a client arrives"
run "systemctl stop postfix; swaks --server 127.0.0.1:25 --local-interface 127.0.0.20 --to postmaster@\$(postconf -h myhostname) --quit-after CONNECT >/dev/null 2>&1; sleep 1; systemctl start postfix
journalctl -u tarnwick -p err --no-pager -q | tail -n 3"
check "journalctl -p err shows the report" grep -q 'Could not connect to Mail Server Error 111' "$work/out"
run "journalctl -u tarnwick -p info --no-pager -q -o cat | grep -E 'Accepted|Rejected' | tail -n 2; \
journalctl -u tarnwick --no-pager -q -o json | grep -o '\"PRIORITY\":\"[0-9]\"' | sort | uniq -c"

say "3. (again) postscreen instead of smtpd on 127.0.0.1:10025"
run "postconf -Me '127.0.0.1:10025/inet = 127.0.0.1:10025 inet n - y - 1 postscreen'
postconf -PX '127.0.0.1:10025/inet/smtpd_upstream_proxy_protocol'
postconf -P '127.0.0.1:10025/inet/postscreen_upstream_proxy_protocol=haproxy'
postconf -Me 'smtpd/pass = smtpd pass - - y - - smtpd'
postconf -Me 'dnsblog/unix = dnsblog unix - - y - 0 dnsblog'
postconf -Me 'tlsproxy/unix = tlsproxy unix - - y - 0 tlsproxy'
postfix check && systemctl reload postfix
sleep 1; postconf -M 127.0.0.1:10025/inet; postconf -P 127.0.0.1:10025/inet"
run "swaks --server 127.0.0.1:25 --local-interface 127.0.0.20 --to postmaster@\$(postconf -h myhostname) 2>&1 | grep -E 'queued|^<\*\*'"
check "through postscreen the client 127.0.0.20 reaches Postfix" grep -q 'queued as' "$work/out"
run "swaks --server 127.0.0.1:25 --local-interface 127.0.0.10 --to postmaster@\$(postconf -h myhostname) --quit-after RCPT 2>&1 | grep -E '^<\*\*'"
check "the listed client is still refused by the gateway" grep -q '550' "$work/out"
run "journalctl -q --no-pager -u postfix@- | grep -E 'postscreen.*CONNECT from|smtpd.*connect from' | tail -n 3"
check "postscreen sees the client's own address" grep -qE 'CONNECT from \[127\.0\.0\.20\]' "$work/out"

say "Troubleshooting: the service will not start (a DnsblThreshold of 0, then put back)"
run "sed -i 's/^\"DnsblThreshold\"=.*/\"DnsblThreshold\"=\"0\"/' /etc/tarnwick/registry.reg
systemctl restart tarnwick; systemctl is-active tarnwick
journalctl -u tarnwick -p err --no-pager -q | tail -n 2"
check "journalctl -p err names the check's problem" grep -q 'DnsblThreshold: "0" is not a whole number of 1 or more' "$work/out"
run "sed -i 's/^\"DnsblThreshold\"=.*/\"DnsblThreshold\"=\"1\"/' /etc/tarnwick/registry.reg
systemctl restart tarnwick; systemctl is-active tarnwick"
check "the service runs again" [ "$(in_root systemctl is-active tarnwick)" = active ]

say "$failures failed checks"
[ "$failures" -eq 0 ] && echo "WALKTHROUGH PASSED" || { echo "WALKTHROUGH FAILED"; exit 1; }
