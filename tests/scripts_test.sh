#!/usr/bin/env bash
# The README's commands as they meet the host:
# - scripts/install-deps.sh, with apt-get, dpkg-query, sudo, debconf-set-selections and
#   systemctl replaced by stand-ins that play a host (what is installed, what apt's simulation
#   plans) and record every call: nothing is installed when apt would remove a package, Postfix is refused beside
#   another mail server, and a clean plan installs with --no-remove.
# - scripts/run.sh, from a copy of the repository whose tarnwk reports what it was given: the
#   sample hive and everything else a run writes stay in run/, as root too.
# tests/scripts_test.sh <source folder>
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# --- install-deps.sh against a pretend host -------------------------------------------------
stubs="$work/stubs"
mkdir -p "$stubs"
cat >"$stubs/dpkg-query" <<'EOF'
#!/usr/bin/env bash
# One package's status, or every installed package with what it provides.
last="${!#}"
if [[ "$last" == -f=* || "$last" == -W ]]; then
  for p in $STUB_INSTALLED; do
    provides=""; [ "$p" = "$STUB_MTA" ] && provides=mail-transport-agent
    echo "$p install ok installed $provides"
  done
  exit 0
fi
[[ " $STUB_INSTALLED " == *" $last "* ]] && printf 'install ok installed' && exit 0
exit 1
EOF
cat >"$stubs/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB_LOG"
[[ " $* " == *" -s "* ]] && printf '%b' "$STUB_PLAN"
exit 0
EOF
printf '#!/usr/bin/env bash\n"$@"\n' >"$stubs/sudo"
printf '#!/usr/bin/env bash\necho "systemctl $*" >>"$STUB_LOG"\n' >"$stubs/systemctl"
printf '#!/usr/bin/env bash\necho "debconf $(cat)" >>"$STUB_LOG"\n' >"$stubs/debconf-set-selections"
chmod +x "$stubs"/*

run_sets="build-essential cmake pkg-config libc-ares-dev qt6-base-dev qt6-qpa-plugins"
run_sets+=" fonts-dejavu-core python3 python3-aiosmtpd swaks"
clean_plan='Inst rbldnsd (0.998b~pre1-1 Debian:12)\nConf rbldnsd (0.998b~pre1-1 Debian:12)\n'
removing_plan='Remv exim4-daemon-light [4.96-15]\nRemv exim4-base [4.96-15]\nInst postfix (3.7)\n'

# name | sets | installed | mail server | apt's plan | status | in the output | calls made (regex)
# | calls never made (regex)
cases=(
  "all present|run|$run_sets||$clean_plan|0|||apt-get"
  "a clean plan|run test|$run_sets||$clean_plan|0|installed|-s install .*rbldnsd;install -y .*--no-remove|Remv"
  "a plan that removes|run test|$run_sets||$removing_plan|1|exim4-daemon-light|-s install|install -y"
  "postfix beside exim4|postfix|exim4-daemon-light|exim4-daemon-light|$clean_plan|1|exim4-daemon-light|^$|apt-get"
  "postfix alone|postfix|||$clean_plan|0|installed|debconf postfix.*No configuration;install -y .*postfix|Remv"
  "an unknown set|nonsense|||$clean_plan|2|run|^$|apt-get"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r name sets installed mta plan status wanted made never <<<"$entry"
  log="$work/calls.log"
  : >"$log"
  actual=0
  # shellcheck disable=SC2086
  output=$(PATH="$stubs:$PATH" STUB_LOG="$log" STUB_INSTALLED="$installed" STUB_MTA="$mta" \
    STUB_PLAN="$plan" bash "$source_dir/scripts/install-deps.sh" $sets 2>&1) || actual=$?
  calls=$(cat "$log")
  [ "$actual" = "$status" ] || fail "$name: status $actual, expected $status: $output"
  [ -z "$wanted" ] || grep -q -- "$wanted" <<<"$output" || fail "$name: no \"$wanted\" in: $output"
  IFS=';' read -ra expected_calls <<<"$made"
  for call in "${expected_calls[@]}"; do
    [ "$call" = "^$" ] && { [ -z "$calls" ] || fail "$name: apt was called: $calls"; } && continue
    grep -qE -- "$call" <<<"$calls" || fail "$name: no call matching \"$call\" in: $calls"
  done
  [ -z "$never" ] || ! grep -qE -- "$never" <<<"$calls$output" || fail "$name: \"$never\" in: $calls"
done

# --- run.sh keeps what it writes in run/ ----------------------------------------------------
copy="$work/repo"
mkdir -p "$copy/scripts" "$copy/build"
cp "$source_dir/scripts/run.sh" "$copy/scripts/"
cat >"$copy/build/tarnwk" <<'EOF'
#!/usr/bin/env bash
echo "folder=$PWD hive=$TARNWICK_REGISTRY"
EOF
chmod +x "$copy/build/tarnwk"
home="$work/home"
# name | TARNWICK_REGISTRY given | the hive the gateway must be given
runs=(
  "no hive named|:$copy/run/registry.reg"
  "a hive named|$work/elsewhere.reg:$work/elsewhere.reg"
)
for entry in "${runs[@]}"; do
  IFS='|' read -r name hives <<<"$entry"
  given=${hives%%:*} expected=${hives#*:}
  rm -rf "$copy/run" "$work/elsewhere.reg" "$home" && mkdir "$home"
  output=$(env -u TARNWICK_REGISTRY ${given:+TARNWICK_REGISTRY=$given} HOME="$home" XDG_CONFIG_HOME="$home/.config" \
    bash "$copy/scripts/run.sh" 2>&1) || fail "$name: run.sh failed: $output"
  grep -qx "folder=$copy/run hive=$expected" <<<"$output" || fail "$name: the gateway got: $output"
  grep -q '"PortIn"="2525"' "$expected" 2>/dev/null || fail "$name: no sample hive at $expected"
  [ -z "$(ls -A "$home")" ] || fail "$name: written to the home folder: $(find "$home")"
done

[ "$failures" -eq 0 ] || exit 1
echo "install-deps.sh and run.sh checked"
