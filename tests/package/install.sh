#!/usr/bin/env bash
# Installs the packages scripts/package.sh made, as a new user would meet them, and removes them again:
#   - installs tidewell and tidewell-devserver with dpkg; /Volumes is made, shared and sticky;
#   - creates an unprivileged user with a runtime folder and a session bus of its own;
#   - as that user runs the watcher and the headless client through their systemd user units, or, where
#     no user service manager can run, the units' own ExecStart lines directly (and says so);
#   - logs in against tidewell-devserver on loopback, mounts a mappoint, writes a file into it and
#     sees it arrive at the server;
#   - installs the package again over the running session (an upgrade with mounts active): the
#     session keeps working;
#   - a user who cannot open /dev/fuse gets a message that names the fix, and nothing is mounted;
#   - removes the package while the volume is mounted: the volume is ejected first, and afterwards no
#     mount, no process and no file of the package is left, while the user's own data stays.
# Needs root (it installs packages and creates a user). Usage: tests/package/install.sh [TREE]
set -uo pipefail
cd "$(dirname "$0")/../.."
tree=$(realpath "${1:-build/package}")

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: the install test needs root (it installs the packages and creates a user)"
  exit 0
fi
client=$(ls "$tree"/tidewell_*.deb 2>/dev/null | head -1)
server=$(ls "$tree"/tidewell-devserver_*.deb 2>/dev/null | head -1)
[ -n "$client" ] && [ -n "$server" ] || { echo "FAIL: no packages in $tree (run scripts/package.sh)" >&2; exit 1; }

# One install test at a time on a machine: they share the package database and /Volumes.
exec 9>/run/lock/tidewell-install-test.lock
flock 9

for p in tidewell tidewell-devserver; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    echo "FAIL: $p is already installed on this machine; the test would remove it. Remove it first." >&2
    exit 1
  fi
done

step() { echo "-- $*"; }
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
die() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
  exit 1
}
# wait_for SECONDS COMMAND...: true once COMMAND succeeds.
wait_for() {
  local limit=$(($1 * 5))
  shift
  for _ in $(seq 1 "$limit"); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}

user=tw-install-$$
work=$(mktemp -d /tmp/tidewell-install.XXXXXX)
chmod 755 "$work"
server_pid=""
uid=""
rt=""
ns_pid=""

holder=()
in_session() { "${holder[@]}" "$@"; }

cleanup() {
  set +e
  if [ -n "$uid" ]; then
    # Whatever the test left running as the user (normally nothing by now).
    pkill -TERM -U "$uid" 2>/dev/null
    sleep 0.5
    pkill -KILL -U "$uid" 2>/dev/null
  fi
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  for p in tidewell tidewell-devserver; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" && dpkg --purge "$p" >/dev/null 2>&1
  done
  if [ -n "$uid" ]; then
    # Only the test user's mounts: other watchers on this machine (tests in build trees) are not ours.
    for mnt in $(watcher_mounts); do in_session umount -l "$mnt"; done
    [ -n "$ns_pid" ] && kill "$ns_pid" 2>/dev/null
    userdel -r "$user" >/dev/null 2>&1
    rm -rf "$rt"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# as_user COMMAND...: runs COMMAND as the test user in its own session environment.
as_user() {
  runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="/home/$user" USER="$user" LOGNAME="$user" \
    XDG_RUNTIME_DIR="$rt" DBUS_SESSION_BUS_ADDRESS="unix:path=$rt/bus" "$@"
}
pids_of() {
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    case "$exe" in "$1" | "$1 (deleted)") echo "${p#/proc/}" ;; esac
  done
}
# The watcher mounts of the test user (other watchers may run on this machine: tests in build trees).
watcher_mounts() { awk -v v="/Volumes/$user/" -v h="/home/$user/" '$3 == "fuse.gatewarden" && (index($2, v) == 1 || index($2, h) == 1) { print $2 }' "${mounts_file:-/proc/mounts}"; }

# --- install ---------------------------------------------------------------------------------------
step "installing $(basename "$client") and $(basename "$server")"
dpkg -i "$client" "$server" >"$work/dpkg-install.log" 2>&1 || die "dpkg -i failed: $(cat "$work/dpkg-install.log")"
for f in /usr/bin/tidewell /usr/bin/gatewarden /usr/bin/tidewell-hdiutil /usr/bin/tidewell-devserver \
  /usr/lib/systemd/user/gatewarden.service /usr/share/applications/com.meridot.tidewell.desktop; do
  [ -e "$f" ] || fail "$f is not installed"
done
[ "$(stat -c '%a %U' /Volumes 2>/dev/null)" = "1777 root" ] || fail "/Volumes is not root's with mode 1777: $(stat -c '%a %U' /Volumes 2>&1)"
dpkg -L tidewell | while read -r f; do [ -f "$f" ] && echo "$f"; done >"$work/files"

# --- a new user --------------------------------------------------------------------------------------
step "creating user $user"
useradd --create-home --shell /bin/bash "$user" || die "useradd failed"
uid=$(id -u "$user")
rt=/run/user/$uid
mkdir -p "$rt" && chown "$user:" "$rt" && chmod 700 "$rt"
as_user dbus-daemon --session --fork --nopidfile --address="unix:path=$rt/bus" || die "no session bus for $user"

# --- the maintainer scripts' dealings with user service managers -----------------------------------
# No user manager may run here, so the installed scripts are run against stand-ins: a runtime folder
# whose manager socket exists, and runuser and systemctl that log what they were asked (systemctl
# answers is-active from a list of active units).
step "the maintainer scripts and the user units of a running user manager"
stubs=$work/stubs
mkdir -p "$stubs" "$work/run-user/$uid/systemd"
cat >"$stubs/runuser" <<'STUB'
#!/bin/sh
echo "runuser $2" >>"$STUB_LOG"
shift 3
exec "$@"
STUB
cat >"$stubs/systemctl" <<'STUB'
#!/bin/sh
echo "systemctl $*" >>"$STUB_LOG"
if [ "$2" = is-active ]; then grep -qx "$4" "$STUB_ACTIVE"; exit $?; fi
exit 0
STUB
chmod 755 "$stubs/runuser" "$stubs/systemctl"
dbus-daemon --session --fork --nopidfile --address="unix:path=$work/run-user/$uid/systemd/private" \
  --print-pid >"$work/fake-manager.pid" || die "cannot make a stand-in manager socket"
# maintscript SCRIPT ARGS...: runs the installed script with the stand-ins; its output in $work/ms.out.
maintscript() {
  : >"$work/ms.log"
  env PATH="$stubs:$PATH" STUB_LOG="$work/ms.log" STUB_ACTIVE="$work/active" \
    TIDEWELL_USER_RUNTIME_BASE="$work/run-user" sh "/var/lib/dpkg/info/tidewell.$1" "${@:2}" >"$work/ms.out" 2>&1 ||
    fail "tidewell.$1 $* failed: $(cat "$work/ms.out")"
}
printf 'gatewarden.service\ntidewell.service\n' >"$work/active"
maintscript postinst configure 0.9.0-1
grep -qx "runuser $user" "$work/ms.log" || fail "postinst did not act as $user"
grep -qx 'systemctl --user daemon-reload' "$work/ms.log" || fail "an upgrade does not reload the user manager"
grep -qx 'systemctl --user try-restart gatewarden.service tidewell.service' "$work/ms.log" ||
  fail "an upgrade does not restart a running headless client with its watcher: $(cat "$work/ms.log")"
printf 'gatewarden.service\n' >"$work/active"
maintscript postinst configure 0.9.0-1
grep -q 'try-restart' "$work/ms.log" && fail "an upgrade restarts a watcher that serves a desktop session"
grep -q 'keeps running the old version' "$work/ms.out" || fail "postinst does not say that the watcher keeps running"
maintscript postinst configure
[ -s "$work/ms.log" ] && fail "a first install talks to user managers: $(cat "$work/ms.log")"
maintscript prerm upgrade 1.0.0-1
[ -s "$work/ms.log" ] && fail "prerm upgrade stops something: $(cat "$work/ms.log")"
maintscript prerm remove
grep -qx 'systemctl --user stop tidewell.service gatewarden.service' "$work/ms.log" ||
  fail "prerm remove does not stop the user units: $(cat "$work/ms.log")"
kill "$(cat "$work/fake-manager.pid")" 2>/dev/null
[ "$(stat -c '%a %U' /Volumes 2>/dev/null)" = "1777 root" ] || fail "/Volumes changed under the maintainer scripts"

# The reference server on loopback, as an administrator would run it.
mkdir -p "$work/server"
/usr/bin/tidewell-devserver --root "$work/server" --listen 127.0.0.1:0 --user demo:demo --seed demo \
  >"$work/server.out" 2>"$work/server.log" &
server_pid=$!
wait_for 20 grep -q '^listening on ' "$work/server.out" || die "tidewell-devserver did not start: $(cat "$work/server.log")"
hostport=$(sed -n 's/^listening on http:\/\///p' "$work/server.out")

# A user whose FUSE device is out of reach (mode 0600, as on a machine without the udev rule) is told
# what to change; nothing is mounted. The device is replaced in a mount namespace of this check only.
step "a user without access to /dev/fuse"
mknod -m 0600 "$work/fuse-closed" c 10 229
cat >"$work/closed.sh" <<'CHECK'
mkdir -m 700 -p "$HOME/closed-run"
export XDG_RUNTIME_DIR="$HOME/closed-run" TIDEWELL_VOLUMES_ROOT="$HOME/closed-volumes"
gatewarden --foreground 2>/dev/null &
g=$!
for _ in $(seq 1 50); do [ -S "$XDG_RUNTIME_DIR/gatewarden-control.sock" ] && break; sleep 0.1; done
tidewell-hdiutil create -volname Closed "$HOME/closed.sparsebundle" >/dev/null
tidewell-hdiutil attach "$HOME/closed.sparsebundle" 2>&1
echo "attach exit status $?"
kill $g
wait $g
CHECK
chmod 644 "$work/closed.sh"
closed=$(unshare --mount --propagation private -- sh -c '
  mount --bind "$1" /dev/fuse || exit 3
  runuser -u "$2" -- env -i PATH=/usr/bin:/bin HOME="/home/$2" sh "$3"
' sh "$work/fuse-closed" "$user" "$work/closed.sh" 2>&1)
echo "$closed" | sed 's/^/   /'
grep -q 'chmod 0666 /dev/fuse' <<<"$closed" || fail "no message naming the fix for /dev/fuse: $closed"
grep -q 'attach exit status 1' <<<"$closed" || fail "attaching without /dev/fuse access did not fail"

# The machine's own device must let users mount for the rest; where it does not (a container without
# udev), the user's session runs in a mount namespace with a device node that does.
holder=()
# (TIDEWELL_TEST_PRIVATE_FUSE=1 takes that road on any machine.)
if [ "${TIDEWELL_TEST_PRIVATE_FUSE:-0}" = 1 ] || ! runuser -u "$user" -- sh -c 'exec 3<>/dev/fuse' 2>/dev/null; then
  step "/dev/fuse is $(stat -c %a /dev/fuse) here; the session gets an open one in a mount namespace"
  mknod -m 0666 "$work/fuse-open" c 10 229
  unshare --mount --propagation private -- sh -c 'mount --bind "$1" /dev/fuse && exec sleep 100000' sh "$work/fuse-open" &
  ns_pid=$!
  wait_for 10 grep -q ' /dev/fuse ' "/proc/$ns_pid/mounts" || die "the mount namespace did not come up"
  holder=(nsenter -t "$ns_pid" -m --)
  mounts_file=/proc/$ns_pid/mounts
fi

# --- the watcher and the client, through their units -----------------------------------------------
unit_exec() { sed -n 's/^ExecStart=//p' "/usr/lib/systemd/user/$1"; }
use_units=0
if as_user systemctl --user is-system-running >/dev/null 2>&1 ||
  [ "$(as_user systemctl --user is-system-running 2>/dev/null)" = degraded ]; then
  use_units=1
  step "running gatewarden.service and tidewell.service in $user's service manager"
  as_user systemctl --user start gatewarden.service || fail "gatewarden.service did not start"
  as_user systemctl --user start tidewell.service || fail "tidewell.service did not start"
else
  step "no user service manager can run here ($(as_user systemctl --user is-system-running 2>&1 | head -1)); running the units' ExecStart lines directly"
  # shellcheck disable=SC2046
  in_session runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="/home/$user" USER="$user" \
    XDG_RUNTIME_DIR="$rt" DBUS_SESSION_BUS_ADDRESS="unix:path=$rt/bus" \
    setsid $(unit_exec gatewarden.service) >"$work/gatewarden.log" 2>&1 </dev/null &
  wait_for 20 test -S "$rt/com_corvane_PW_driver.sock" || fail "gatewarden did not start: $(cat "$work/gatewarden.log")"
fi

step "tidewell login as demo at $hostport"
printf 'demo\n' | as_user tidewell login --server "$hostport" --protocol http --user demo >"$work/login.log" 2>&1 ||
  fail "tidewell login failed: $(cat "$work/login.log")"

if [ "$use_units" = 0 ]; then
  # shellcheck disable=SC2046
  in_session runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="/home/$user" USER="$user" \
    XDG_RUNTIME_DIR="$rt" DBUS_SESSION_BUS_ADDRESS="unix:path=$rt/bus" \
    setsid $(unit_exec tidewell.service) >"$work/tidewell.log" 2>&1 </dev/null &
fi
wait_for 30 as_user tidewell status || die "tidewell --headless does not answer: $(tail -5 "$work/tidewell.log" 2>/dev/null)"
[ "$(pids_of /usr/bin/gatewarden | wc -l)" = 1 ] || fail "not exactly one watcher runs: $(pids_of /usr/bin/gatewarden)"

step "mounting Documents"
wait_for 40 sh -c "runuser -u '$user' -- env XDG_RUNTIME_DIR='$rt' DBUS_SESSION_BUS_ADDRESS='unix:path=$rt/bus' tidewell volumes | grep -q '^Documents'" ||
  die "the mappoints did not arrive: $(as_user tidewell volumes 2>&1)"
as_user tidewell mount Documents >/dev/null || fail "tidewell mount Documents failed"
volumes=/Volumes/$user
docs=$volumes/Documents
mounted() { watcher_mounts | grep -qx "$docs"; }
wait_for 40 mounted || die "Documents is not mounted at $docs"
[ "$(stat -c '%a %U' "$volumes")" = "700 $user" ] || fail "$volumes is not $user's with mode 0700: $(stat -c '%a %U' "$volumes")"

# written_reaches NAME TEXT: the user writes NAME into Documents; it must reach the server.
written_reaches() {
  in_session runuser -u "$user" -- sh -c 'printf "%s\n" "$2" > "$1"' sh "$docs/$1" "$2" || {
    fail "cannot write $docs/$1"
    return
  }
  wait_for 60 sh -c "[ \"\$(cat '$work/server/data/Documents/$1' 2>/dev/null)\" = '$2' ]" ||
    fail "$1 written into Documents did not reach the server"
}
step "writing into the mounted Documents"
written_reaches installed.txt "written after installing"

# --- an upgrade while the volume is mounted ----------------------------------------------------------
step "installing the package again over the running session"
dpkg -i "$client" >"$work/dpkg-upgrade.log" 2>&1 || fail "dpkg -i over the installed package failed: $(cat "$work/dpkg-upgrade.log")"
sed 's/^/   /' "$work/dpkg-upgrade.log" | grep -v '^   (Reading\|^   Preparing\|^   Unpacking\|^   Setting up' || true
if [ "$use_units" = 1 ]; then
  wait_for 60 as_user systemctl --user is-active tidewell.service || fail "tidewell.service is not active after the upgrade"
  wait_for 30 as_user tidewell status || fail "the client does not answer after the upgrade"
  as_user tidewell mount Documents >/dev/null
  wait_for 40 mounted || fail "Documents is not mounted after the upgrade"
fi
mounted || fail "Documents is no longer mounted after the upgrade"
as_user tidewell status >/dev/null 2>&1 || fail "the client does not answer after the upgrade"
written_reaches upgraded.txt "written after the upgrade"

# --- removal with the volume mounted -----------------------------------------------------------------
step "removing the package while Documents is mounted"
in_session dpkg -r tidewell >"$work/dpkg-remove.log" 2>&1 || fail "dpkg -r tidewell failed: $(cat "$work/dpkg-remove.log")"
sed 's/^/   /' "$work/dpkg-remove.log" | grep -v '^   (Reading\|^   Removing' || true
# The client ejected its volume and both stopped when asked: nothing had to be killed or detached.
grep -q 'did not stop\|Detaching' "$work/dpkg-remove.log" && fail "removal had to force its way: $(cat "$work/dpkg-remove.log")"
left=$(pids_of /usr/bin/tidewell; pids_of /usr/bin/gatewarden)
[ -z "$left" ] || fail "processes of the package still run: $left"
[ -z "$(watcher_mounts)" ] || fail "mounts are left: $(watcher_mounts)"
while read -r f; do
  [ -e "$f" ] && fail "$f is left after removal"
done <"$work/files"
[ -e /Volumes ] && fail "/Volumes is left: $(ls -la /Volumes 2>&1)"
# What belongs to the user stays: settings, the volume image with the files written, the log.
[ -f "/home/$user/.config/meridot/com.meridot.tidewell.json" ] || fail "the user's settings are gone"
found=$(find "/home/$user/.local/share/Tidewell" -name upgraded.txt 2>/dev/null | head -1)
[ -n "$found" ] && [ "$(cat "$found")" = "written after the upgrade" ] || fail "the user's copy of upgraded.txt is gone"

step "removing tidewell-devserver"
kill "$server_pid" 2>/dev/null
wait "$server_pid" 2>/dev/null
server_pid=""
dpkg -L tidewell-devserver | while read -r f; do [ -f "$f" ] && echo "$f"; done >"$work/server-files"
dpkg --purge tidewell tidewell-devserver >/dev/null 2>&1 || fail "dpkg --purge failed"
while read -r f; do [ -e "$f" ] && fail "$f is left after removal"; done <"$work/server-files"

if [ "$failures" -ne 0 ]; then
  echo "install test: $failures failure(s)" >&2
  exit 1
fi
if [ "$use_units" = 1 ]; then how="through the systemd user units"; else how="directly (no user service manager here)"; fi
echo "install test: passed, watcher and client run $how"
