#!/usr/bin/env bash
# Installs the build into a temporary root and checks what a package and an administrator rely
# on: exactly the expected files (never a test or a benchmark), the unit accepted by
# systemd-analyze (when it is present), supervised by the notify protocol with a watchdog, and
# checking the settings before it starts or reloads the installed program, the desktop entry
# accepted by desktop-file-validate (when it is present) and starting the installed program
# with the icon it names, the example hive read without a report and passing the check, and the
# man page rendered without a warning, with all its sections.
# tests/install_test.sh <build-folder> <prefix> <sbindir> <mandir> <docdir> <sysconfdir> <datadir>
set -euo pipefail
build=$1 prefix=$2 sbindir=$3 mandir=$4 docdir=$5 sysconfdir=$6 datadir=$7
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

DESTDIR="$root" cmake --install "$build" >/dev/null
expected=$(printf '%s\n' "$sbindir/tarnwk" "$mandir/man8/tarnwk.8" \
  "$prefix/lib/systemd/system/tarnwick.service" "$prefix/lib/sysusers.d/tarnwick.conf" \
  "$prefix/lib/tmpfiles.d/tarnwick.conf" "$sysconfdir/logrotate.d/tarnwick" \
  "$docdir/README.md" "$docdir/examples/registry.reg" "$datadir/applications/tarnwick.desktop" \
  "$datadir/icons/hicolor/scalable/apps/tarnwick.svg" "$datadir/tarnwick/prometheus-alerts.yml" \
  "$datadir/tarnwick/grafana-dashboard.json" | sort)
installed=$(cd "$root" && find . -type f | sed 's/^\.//' | sort)
[ "$installed" = "$expected" ] || fail "installed files differ:$(diff <(echo "$expected") <(echo "$installed"))"
[ -d "$root$sysconfdir/tarnwick" ] || fail "no folder for the hive"

unit="$root$prefix/lib/systemd/system/tarnwick.service"
grep -qx "ExecStart=$sbindir/tarnwk" "$unit" || fail "the unit does not start $sbindir/tarnwk"
grep -qx "ExecStartPre=$sbindir/tarnwk CHECK" "$unit" || fail "the unit starts unchecked settings"
# A reload checks first, and signals only when the check passed.
[ "$(grep '^ExecReload=' "$unit")" = "ExecReload=$sbindir/tarnwk CHECK
ExecReload=/bin/kill -HUP \$MAINPID" ] || fail "the unit does not check, then signal, to reload"
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
else
  echo "systemd-analyze is not installed: the unit was not verified"
fi

entry="$root$datadir/applications/tarnwick.desktop"
grep -qx "Exec=$sbindir/tarnwk" "$entry" || fail "the desktop entry does not start $sbindir/tarnwk"
grep -qx "Icon=tarnwick" "$entry" || fail "the desktop entry names another icon"
if command -v desktop-file-validate >/dev/null; then
  report=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $report"
  [ -z "$report" ] || fail "desktop-file-validate: $report"
else
  echo "desktop-file-validate is not installed: the desktop entry was not validated"
fi

report=$(cd "$root" && TARNWICK_HEADLESS=1 TARNWICK_REGISTRY="$root$docdir/examples/registry.reg" \
  "$root$sbindir/tarnwk" STOP 2>&1) || fail "tarnwk STOP with the example hive failed"
[ -z "$report" ] || fail "the example hive is not read cleanly: $report"
report=$(cd "$root" && TARNWICK_REGISTRY="$root$docdir/examples/registry.reg" \
  "$root$sbindir/tarnwk" CHECK 2>&1 >/dev/null) || fail "the example hive fails the check: $report"

page="$root$mandir/man8/tarnwk.8"
warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
rendered=$(MANWIDTH=80 man -l "$page" 2>&1)
for section in NAME SYNOPSIS DESCRIPTION SWITCHES SETTINGS ENVIRONMENT FILES "EXIT STATUS" \
  SIGNALS EXAMPLES; do
  grep -qx "$section" <<<"$rendered" || fail "the man page has no $section section"
done
echo "installed layout, unit, example hive and man page checked"
