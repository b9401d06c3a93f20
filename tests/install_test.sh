#!/usr/bin/env bash
# Installs the build into a temporary root and checks what a package and an administrator rely
# on: exactly the expected files (never a test or a benchmark), the gateway without Qt, the unit
# accepted by systemd-analyze (when it is present) with an exposure of at most 2.0, supervised
# by the notify protocol with a watchdog, checking the settings before it starts or reloads the
# installed program and running no other program than that one and /bin/sh, the desktop entry
# accepted by desktop-file-validate (when it is present) and starting the installed desktop
# program with the icon it names, the example hive read without a report, passing the check and logging
# where the log rotation looks, and the man pages rendered without a warning, with all their
# sections, the hive's page naming every value the settings load reads.
# tests/install_test.sh <build-folder> <prefix> <sbindir> <mandir> <docdir> <sysconfdir> <datadir>
#                       <libexecdir> <source-folder>
set -euo pipefail
build=$1 prefix=$2 sbindir=$3 mandir=$4 docdir=$5 sysconfdir=$6 datadir=$7 libexecdir=$8 source=$9
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

DESTDIR="$root" cmake --install "$build" >/dev/null
expected=$(printf '%s\n' "$sbindir/tarnwk" "$libexecdir/tarnwick/tarnwk-desktop" \
  "$mandir/man8/tarnwk.8" "$mandir/man5/tarnwick-registry.5" \
  "$prefix/lib/systemd/system/tarnwick.service" "$prefix/lib/sysusers.d/tarnwick.conf" \
  "$prefix/lib/tmpfiles.d/tarnwick.conf" "$sysconfdir/logrotate.d/tarnwick" \
  "$docdir/README.md" "$datadir/tarnwick/registry.reg" "$datadir/applications/tarnwick.desktop" \
  "$datadir/icons/hicolor/scalable/apps/tarnwick.svg" "$datadir/tarnwick/prometheus-alerts.yml" \
  "$datadir/tarnwick/grafana-dashboard.json" | sort)
installed=$(cd "$root" && find . -type f | sed 's/^\.//' | sort)
[ "$installed" = "$expected" ] || fail "installed files differ:$(diff <(echo "$expected") <(echo "$installed"))"
[ -d "$root$sysconfdir/tarnwick" ] || fail "no folder for the hive"
# The gateway's package must not pull in a desktop: no Qt library among tarnwk's.
needed=$(objdump -p "$root$sbindir/tarnwk" | awk '$1 == "NEEDED" { print $2 }')
! grep -qi qt <<<"$needed" || fail "tarnwk links Qt: $(echo $needed)"
needed=$(objdump -p "$root$libexecdir/tarnwick/tarnwk-desktop" | awk '$1 == "NEEDED" { print $2 }')
grep -q '^libQt6Widgets' <<<"$needed" || fail "tarnwk-desktop does not link Qt's widgets"

unit="$root$prefix/lib/systemd/system/tarnwick.service"
grep -qx "ExecStart=$sbindir/tarnwk" "$unit" || fail "the unit does not start $sbindir/tarnwk"
grep -qx "ExecStartPre=$sbindir/tarnwk CHECK" "$unit" || fail "the unit starts unchecked settings"
# A reload checks first, and signals only when the check passed, with the shell's own kill.
[ "$(grep '^ExecReload=' "$unit")" = "ExecReload=$sbindir/tarnwk CHECK
ExecReload=/bin/sh -c 'kill -HUP \$\$MAINPID'" ] || fail "the unit does not check, then signal, to reload"
# Every program the unit runs is the package's own or the essential /bin/sh: a minimal system
# has no procps (/bin/kill).
programs=$(sed -n 's/^Exec[A-Za-z]*=[-@:+!]*\([^ ]*\).*/\1/p' "$unit" | sort -u)
[ "$programs" = "$(printf '%s\n' /bin/sh "$sbindir/tarnwk" | sort)" ] ||
  fail "the unit runs other programs: $(echo $programs)"
grep -qx 'Environment=TARNWICK_CHECK_ZONES=0' "$unit" || fail "the unit's check asks the zones"
grep -qx 'Type=notify' "$unit" || fail "the unit does not wait for the gateway's READY=1"
grep -qx 'WatchdogSec=30' "$unit" || fail "the unit has no watchdog"
grep -qx 'Restart=on-failure' "$unit" || fail "the unit does not restart a failed gateway"
if command -v systemd-analyze >/dev/null; then
  # The unit as installed, its program looked for inside the temporary root.
  mkdir "$root/verify"
  sed -e "s|^\(ExecStart\(Pre\)\?=\)|\1$root|" -e "s|^ExecReload=$sbindir|ExecReload=$root$sbindir|" \
    "$unit" >"$root/verify/tarnwick.service"
  report=$(systemd-analyze verify --man=no "$root/verify/tarnwick.service" 2>&1) ||
    fail "systemd-analyze verify: $report"
  [ -z "$report" ] || fail "systemd-analyze verify: $report"
  # The exposure rating, 0.0 to 10.0, as a tenth: at most 2.0.
  report=$(systemd-analyze security --offline=true --threshold=20 --no-pager \
    "$root/verify/tarnwick.service" 2>&1) || fail "systemd-analyze security: $(tail -n 1 <<<"$report")"
  echo "$(tail -n 1 <<<"$report")"
else
  echo "systemd-analyze is not installed: the unit was not verified"
fi

entry="$root$datadir/applications/tarnwick.desktop"
# The entry starts the desktop program, which its package ships beside the entry.
desktop="$libexecdir/tarnwick/tarnwk-desktop"
grep -qx "Exec=$desktop" "$entry" || fail "the desktop entry does not start $desktop"
grep -qx "Exec=$desktop CONFIG" "$entry" || fail "the entry's Configure does not run $desktop CONFIG"
grep -qx "Icon=tarnwick" "$entry" || fail "the desktop entry names another icon"
if command -v desktop-file-validate >/dev/null; then
  report=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $report"
  [ -z "$report" ] || fail "desktop-file-validate: $report"
else
  echo "desktop-file-validate is not installed: the desktop entry was not validated"
fi

example="$root$datadir/tarnwick/registry.reg"
report=$(cd "$root" && TARNWICK_HEADLESS=1 TARNWICK_REGISTRY="$example" \
  "$root$sbindir/tarnwk" STOP 2>&1) || fail "tarnwk STOP with the example hive failed"
[ -z "$report" ] || fail "the example hive is not read cleanly: $report"
# The example hive logs in the service's log folder, which the log rotation covers; the check
# runs with that folder inside the temporary root.
log=/var/log/tarnwick/Tarnwk.log
grep -qxF "\"LogFileName\"=\"$log\"" "$example" || fail "the example hive logs elsewhere"
rotated=$(sed -n 's/ *{$//p' "$root$sysconfdir/logrotate.d/tarnwick")
(for pattern in $rotated; do [[ "$log" == $pattern ]] && exit 0; done; exit 1) ||
  fail "the log rotation does not cover $log ($rotated)"
mkdir -p "$root/var/log/tarnwick"
sed "s|\"LogFileName\"=\"$log\"|\"LogFileName\"=\"$root$log\"|" "$example" >"$root/check.reg"
report=$(cd "$root" && TARNWICK_REGISTRY="$root/check.reg" "$root$sbindir/tarnwk" CHECK 2>&1 \
  >/dev/null) || fail "the example hive fails the check: $report"

for page in "$mandir/man8/tarnwk.8" "$mandir/man5/tarnwick-registry.5"; do
  warnings=$(groff -man -ww -z -Tutf8 "$root$page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
done
rendered=$(MANWIDTH=80 man -l "$root$mandir/man8/tarnwk.8" 2>&1)
for section in NAME SYNOPSIS DESCRIPTION SWITCHES SETTINGS ENVIRONMENT FILES "EXIT STATUS" \
  SIGNALS EXAMPLES; do
  grep -qx "$section" <<<"$rendered" || fail "tarnwk(8) has no $section section"
done
# Wide enough that no entry's text wraps.
rendered=$(MANWIDTH=2000 man -l "$root$mandir/man5/tarnwick-registry.5" 2>&1)
for section in NAME SYNOPSIS DESCRIPTION VALUES "SETTINGS FILE" EXAMPLE FILES; do
  grep -qx "$section" <<<"$rendered" || fail "tarnwick-registry(5) has no $section section"
done
# Every value the settings load reads has its entry, which says whether the dialog shows it.
values=$(grep -oE 'Read[A-Za-z]*\(key, "[A-Za-z0-9_]+"' "$source/settings/SettingsStore.cpp" |
  sed 's/.*"\(.*\)"/\1/' | sort -u)
[ "$(wc -l <<<"$values")" -ge 17 ] || fail "the settings load's values were not found: $values"
entries=$(sed -n '/^VALUES$/,/^SETTINGS FILE$/p' <<<"$rendered")
for value in $values RunAsService; do
  # The entry's tag (indented 7, its text 14) names the value, up to the next tag.
  entry=$(sed -n "/^ \{7\}\([^ ].* \)\?$value\b/,/^ \{7\}[A-Z]/p" <<<"$entries")
  [ -n "$entry" ] || fail "tarnwick-registry(5) does not describe $value"
  grep -qE 'Shown +by +the +configuration +dialog|Hive +only|Written +by +the +configuration +dialog' \
    <<<"$entry" || fail "tarnwick-registry(5) does not say whether the dialog shows $value"
done
grep -qF '"LogFileName"="/var/log/tarnwick/Tarnwk.log"' <<<"$rendered" ||
  fail "tarnwick-registry(5) does not show the example hive"
echo "installed layout, unit, example hive and man pages checked"
