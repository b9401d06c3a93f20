# Sourced by the scripts that boot systemd in a debootstrapped Debian root (systemd-proof.sh,
# postfix-walkthrough.sh): "source scripts/booted-root.sh NAME WORK-PREFIX".
#
# Makes the work folder /var/tmp/WORK-PREFIX.XXXXXX ($work, with the root at $root) and removes it
# at the end, whatever happens: systemd and every process of the root's PID namespace are killed,
# the root's bind mount undone, and a folder that still has mounts left in place (NAME says so).
# Gives the checks' lines (pass, fail, check: each failure counted in $failures), wait_for, and
# boot_root. The sourcing script defines in_root (nsenter into the booted root).

booted_root_name="$1"
work=$(mktemp -d "/var/tmp/$2.XXXXXX")
root="$work/root"
unshare_pid="" systemd_pid="" bound=0 failures=0

cleanup() {
  set +e
  # unshare ignores SIGTERM while it waits; killed, it takes its child systemd with it
  # (--kill-child), and every process of the root's PID namespace goes with systemd.
  [ -n "$unshare_pid" ] && kill -KILL "$unshare_pid" 2>/dev/null && wait "$unshare_pid" 2>/dev/null
  [ "$bound" -eq 1 ] && umount "$root"
  # Nothing may be mounted below the root before it is deleted.
  if findmnt -rno TARGET | grep -q "^$work/"; then
    echo "$booted_root_name: $work still has mounts; left in place" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

pass() { echo "PASS: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
check() {
  local what="$1"
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
# Waits up to $1 seconds for the command to succeed.
wait_for() {
  local seconds="$1"
  shift
  for _ in $(seq $((seconds * 5))); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}

# Boots systemd as PID 1 in the root, in PID, mount and UTS namespaces of its own and whatever
# more unshare is given ($@, such as --net), the root bind-mounted onto itself first so that a
# unit's sandbox can be set up; sets $systemd_pid, and ends the run when systemd does not start.
boot_root() {
  mount --bind "$root" "$root"
  bound=1
  unshare --fork --kill-child=SIGKILL --pid --mount --uts "$@" --propagation private \
    --mount-proc="$root/proc" chroot "$root" env container=other /lib/systemd/systemd --system \
    >"$work/systemd.log" 2>&1 &
  unshare_pid=$!
  # systemd's process id here: unshare's one child.
  for _ in $(seq 50); do
    systemd_pid=$(tr -d ' ' <"/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null || true)
    [ -n "$systemd_pid" ] && break
    sleep 0.2
  done
  [ -n "$systemd_pid" ] || { fail "systemd did not start: $(cat "$work/systemd.log")"; exit 1; }
}
booted() { [[ "$(in_root systemctl is-system-running)" =~ ^(running|degraded)$ ]]; }
