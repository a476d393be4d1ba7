#!/usr/bin/env bash
# The Debian package on a real systemd: boots a Debian container with systemd as its PID 1
# (mmdebstrap + systemd-nspawn) and uses the package the way an operator does: install, start
# with a demo database, status text, journal fields, results, the bus policy for a member and
# a non-member, vnppctl, systemctl reload, VNPPSvc -check as the service's account, a
# configuration file the service cannot write back, the exposure score, the watchdog, kill -9
# and restart without recomputing, stop, upgrade, remove and purge.
#
# Usage: container_test.sh <vnppsvc .deb> <source directory>
# Needs root, systemd-nspawn (systemd-container), mmdebstrap, nsenter, sqlite3 and python3.
# The container's root file system is built once and kept as a tarball in
# VNPP_CONTAINER_CACHE (default /var/cache/vnpp-container); it is fetched from Debian's
# archive, the rest of the test runs offline.
# Exit status: 0 passed, 1 failed, 77 this machine cannot boot a container (outside CI only:
# under CI=true that is a failure).
set -euo pipefail

deb=$(realpath "${1:?usage: $0 <vnppsvc .deb> <source directory>}")
src=$(realpath "${2:?usage: $0 <vnppsvc .deb> <source directory>}")
cache=${VNPP_CONTAINER_CACHE:-/var/cache/vnpp-container}
suite=bookworm
# The package's dependencies come preinstalled: the container has no package lists to fetch
# them. The ODBC drivers register themselves with odbcinst in their scripts, which fails
# inside mmdebstrap's one run ("SQLInstallDriverEx failed"), and the metrics libraries
# break that run too; so these are fetched on the host and installed beside the package,
# once odbcinst and libpq5 are configured in the root file system.
include=systemd,systemd-sysv,dbus,sqlite3,procps,adduser,unixodbc,odbcinst,libpq5,libsdbus-c++1
extra_debs=(libsqliteodbc odbc-postgresql libprometheus-cpp-core1.0 libprometheus-cpp-pull1.0 libcivetweb1)
name=vnppct$$
work=""
nspawn_pid=""
leader=""
cgroups=()

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The machine cannot boot a container: a failure under CI, a skip elsewhere.
cannot() {
  echo "container_test: this machine cannot boot a container: $*" >&2
  if [ "${CI:-}" = true ]; then exit 1; fi
  exit 77
}

step() { echo "=== container: $*"; }

cleanup() {
  set +e
  if [ -n "${VNPP_CONTAINER_KEEP:-}" ] && [ -n "$leader" ]; then
    echo "container kept: nsenter -t $leader -a; root $work, cgroups ${cgroups[*]}" >&2
    return
  fi
  if [ -n "$leader" ] && kill -0 "$leader" 2>/dev/null; then
    nsenter -t "$leader" -a -- systemctl poweroff >/dev/null 2>&1
  fi
  if [ -n "$nspawn_pid" ]; then
    for _ in $(seq 1 30); do
      kill -0 "$nspawn_pid" 2>/dev/null || break
      sleep 1
    done
    kill -KILL "$nspawn_pid" 2>/dev/null
    wait "$nspawn_pid" 2>/dev/null
  fi
  # Whatever of the container still runs (a container that never came up, or one that
  # nspawn left when it was killed), then its cgroups, deepest first.
  local g p
  for _ in 1 2 3 4 5; do
    local left=0
    for g in "${cgroups[@]}"; do
      [ -d "$g" ] || continue
      for p in $(find "$g" -name cgroup.procs -exec cat {} + 2>/dev/null); do
        kill -KILL "$p" 2>/dev/null && left=1
      done
    done
    [ $left -eq 0 ] && break
    sleep 1
  done
  for g in "${cgroups[@]}"; do
    [ -d "$g" ] && find "$g" -depth -type d -exec rmdir {} \; 2>/dev/null
  done
  [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT

# --- What the machine offers --------------------------------------------------------------
[ "$(id -u)" -eq 0 ] || cannot "it needs root"
for tool in systemd-nspawn mmdebstrap nsenter sqlite3 python3 dpkg-deb; do
  command -v "$tool" >/dev/null || cannot "$tool is not installed"
done
[ -f "$deb" ] || fail "no package $deb"

# --- The root file system -----------------------------------------------------------------
tarball=$cache/$suite-$(echo "$include" | md5sum | cut -c1-12).tar
if [ ! -s "$tarball" ]; then
  step "building the root file system ($suite, minbase) into $tarball"
  mkdir -p "$cache"
  mmdebstrap --variant=minbase --format=tar --include="$include" "$suite" "$tarball.tmp" \
    >"$cache/mmdebstrap.log" 2>&1 ||
    { tail -n 20 "$cache/mmdebstrap.log" >&2; rm -f "$tarball.tmp"; fail "mmdebstrap failed (see $cache/mmdebstrap.log)"; }
  mv "$tarball.tmp" "$tarball"
fi
work=$(mktemp -d /var/tmp/vnpp-container.XXXXXX)
root=$work/root
mkdir "$root"
tar -C "$root" -xf "$tarball"
cp "$deb" "$root/root/vnppsvc.deb"
mkdir -p "$root/root/extra"
(cd "$root/root/extra" && apt-get download -q "${extra_debs[@]}" >"$work/download.log" 2>&1) ||
  { cat "$work/download.log" >&2; cannot "the libraries ${extra_debs[*]} could not be downloaded"; }

# The upgrade: the same package with a higher version.
mkdir "$work/repack"
dpkg-deb -R "$deb" "$work/repack/pkg"
version=$(dpkg-deb -f "$deb" Version)
sed -i "s/^Version: .*/Version: $version+upgrade1/" "$work/repack/pkg/DEBIAN/control"
dpkg-deb -b "$work/repack/pkg" "$root/root/vnppsvc-upgrade.deb" >/dev/null

# --- Boot ---------------------------------------------------------------------------------
# systemd-nspawn wants a cgroup of its own; without a systemd on the host it is made here, in
# every hierarchy that systemd uses.
for h in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified /sys/fs/cgroup; do
  if [ -f "$h/cgroup.procs" ] && [ -w "$h" ]; then
    mkdir -p "$h/$name" 2>/dev/null && cgroups+=("$h/$name")
    [ "$h" = /sys/fs/cgroup ] && break
  fi
  [ "$h" = /sys/fs/cgroup/unified ] && [ ${#cgroups[@]} -gt 0 ] && break
done
[ ${#cgroups[@]} -gt 0 ] || cannot "no writable cgroup hierarchy under /sys/fs/cgroup"
step "booting $suite with systemd-nspawn"
(
  for g in "${cgroups[@]}"; do echo "$BASHPID" >"$g/cgroup.procs"; done
  exec systemd-nspawn -D "$root" -M "$name" --boot --register=no --keep-unit \
    --console=passive </dev/null
) >"$work/nspawn.log" 2>&1 &
nspawn_pid=$!
for _ in $(seq 1 100); do
  leader=$(pgrep -P "$nspawn_pid" -x systemd || true)
  [ -n "$leader" ] && break
  kill -0 "$nspawn_pid" 2>/dev/null || break
  sleep 0.2
done
[ -n "$leader" ] || { cat "$work/nspawn.log" >&2; cannot "systemd-nspawn did not start systemd"; }

# Every command in the container runs with an environment of its own: none of the test
# runner's variables (a private bus's address, VNPPSVC_BUS, ...) reaches it.
ct() {
  nsenter -t "$leader" -a -- env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 "$@"
}
# The container's D-Bus and systemctl need a moment after PID 1 has appeared.
state=""
for _ in $(seq 1 90); do
  state=$(ct systemctl is-system-running 2>"$work/state.err" || true)
  case $state in
    running | degraded) break ;;
  esac
  sleep 1
done
case $state in
  running | degraded) ;;
  *)
    cat "$work/nspawn.log" "$work/state.err" >&2
    cannot "the container's systemd did not come up (state: '$state')"
    ;;
esac

# Waits up to $1 seconds for the command to succeed.
wait_for() {
  local seconds=$1
  shift
  local end=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.5
  done
}
main_pid() { ct systemctl show -P MainPID VNPostProcessor; }
status_text() { ct systemctl show -P StatusText VNPostProcessor; }
status_starts() { status_text | grep -q "^$1"; }
# A new main process in place of $1.
restarted_from() {
  local p
  p=$(main_pid)
  [ "$p" != 0 ] && [ "$p" != "$1" ]
}
home=/var/lib/vnppsvc
sql() { ct sqlite3 "$home/data.db" "$1"; }

# --- Install ------------------------------------------------------------------------------
step "apt install ./vnppsvc.deb"
ct sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/vnppsvc.deb /root/extra/*.deb' \
  >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt install"; }
ct getent passwd vnppsvc >/dev/null || fail "no account vnppsvc"
[ "$(ct stat -c %U "$home/LogFiles")" = vnppsvc ] || fail "the log directory is not vnppsvc's"
[ "$(ct systemctl is-enabled VNPostProcessor)" = enabled ] || fail "the unit is not enabled"
[ "$(ct systemctl is-active VNPostProcessor || true)" = inactive ] || fail "started before configured"
ct test -f /usr/share/dbus-1/interfaces/VNPPSvc.IVNPostProcCom.xml || fail "no interface XML"
ct test -f /usr/share/man/man8/VNPPSvc.8.gz || fail "no manual page"

# --- A demo database and configuration ---------------------------------------------------
step "start with a demo database"
sqlite3 "$root$home/data.db" <"$src/sql/sqlite/schema.sql"
python3 "$src/scripts/gen_readings.py" --sqlite "$root$home/data.db" --stations 2 --days 2 \
  --start "$(date -d yesterday +%Y-%m-%d)" >/dev/null
printf '%s\r\n' "[PostProcess]" "LogMessage=1" "LogDetail=1" "GroupNames=Hourly" \
  "[Hourly]" "FuncName=AVG" "Enabled=1" "TypeInterval=0" "BaseTime=00:05:00" \
  "StartFrom=$(date -d yesterday +%m/%d/%Y) 00:00:00" "POLLNumber=2" "POLL1=ST01.WL" "POLLDataLabel1=WL_HAVG" \
  "POLL2=ST02.WL" "POLLDataLabel2=WL_HAVG" "[Database Settings]" \
  "ODBC Data Source=Driver=SQLite3;Database=$home/data.db;NoCreat=1;JournalMode=WAL" \
  >"$root$home/VNPostProc.VFG"
ct chown -R vnppsvc:vnppsvc "$home"
ct systemctl start VNPostProcessor || fail "systemctl start"
# The first scheduled run comes at five past the next hour: the backlog is asked for now.
wait_for 30 ct vnppctl run 1 || fail "vnppctl run 1: $(ct vnppctl run 1 2>&1)"
wait_for 60 ct grep -q '^POLLUpdate2=' "$home/VNPostProc.VFG" ||
  fail "no progress written: $(ct cat "$home/LogFiles/VNPostProc.log")"
rows=$(sql 'SELECT COUNT(*) FROM VN_PPDATA1')
[ "$rows" -ge 40 ] || fail "only $rows results stored"
[ "$(ct stat -c %a "$home/LogFiles/VNPostProc.log")" = 640 ] ||
  fail "log file mode $(ct stat -c %a "$home/LogFiles/VNPostProc.log")"
[ "$(ct ps -o user= -p "$(main_pid)")" = vnppsvc ] || fail "the service does not run as vnppsvc"

step "systemctl status and the journal"
status=$(ct systemctl status VNPostProcessor --no-pager || true)
grep -q 'Status: "Next Group: 1, Next Time: ' <<<"$status" || fail "status: $status"
# The run's lines reach the log with the next tick of the message timer.
wait_for 10 ct journalctl SYSLOG_IDENTIFIER=VNPostProcessor GROUP=1 --no-pager -q -o cat --grep 'PollGroup 1: AVG' ||
  fail "no group line in the journal: $(ct journalctl -u VNPostProcessor --no-pager)"
journal=$(ct journalctl SYSLOG_IDENTIFIER=VNPostProcessor -o export --no-pager)
grep -q '^MESSAGE=PollGroup 1: AVG - Retrieve data...$' <<<"$journal" || fail "no group line in the journal"
grep -q '^GROUP=1$' <<<"$journal" || fail "no GROUP field"
grep -q '^SYSLOG_IDENTIFIER=VNPostProcessor$' <<<"$journal" || fail "no identifier"
if grep -q '^CODE_FILE=' <<<"$journal"; then
  fail "journal entries carry CODE_FILE: $(grep '^CODE_FILE=' <<<"$journal" | sort -u | head -3)"
fi

# --- The bus policy and vnppctl -----------------------------------------------------------
step "vnppctl and the bus policy"
ct useradd --no-create-home outsider
ct useradd --no-create-home -G vnppsvc member
as() { local who=$1; shift; ct runuser -u "$who" -- vnppctl "$@"; }
out=$(ct vnppctl status) || fail "vnppctl status: $out"
grep -q '^Next group: 1 (Hourly) at ' <<<"$out" || fail "status: $out"
grep -Eq '^1 +Hourly +yes +AVG ' <<<"$out" || fail "status table: $out"
as outsider status >/dev/null || fail "a non-member cannot read the status"
code=0; as outsider stop >/dev/null 2>&1 || code=$?
[ $code -eq 4 ] || fail "a non-member's stop: exit $code, not 4"
as member log-detail 1 || fail "a member cannot set the log detail"
as member run 1 || fail "a member cannot run group 1"
ct vnppctl stop >/dev/null || fail "vnppctl stop"
wait_for 10 status_starts 'Processing stopped\.$' ||
  fail "status text after stop: $(status_text)"
ct vnppctl start >/dev/null || fail "vnppctl start"
wait_for 20 status_starts 'Next Group: ' ||
  fail "status text after start: $(status_text)"

step "systemctl reload"
# The reload reads the file again (here a new LogDetail) and keeps the process.
pid=$(main_pid)
ct vnppctl stop >/dev/null || fail "vnppctl stop"
ct runuser -u vnppsvc -- sed -i 's/^LogDetail=1\r$/LogDetail=2\r/' "$home/VNPostProc.VFG"
ct systemctl reload VNPostProcessor || fail "systemctl reload: $(ct journalctl -u VNPostProcessor -n 5 --no-pager)"
[ "$(ct vnppctl log-detail)" = 2 ] || fail "the reload did not read the configuration: LogDetail $(ct vnppctl log-detail)"
[ "$(main_pid)" = "$pid" ] || fail "the reload restarted the service"
wait_for 20 status_starts 'Next Group: ' || fail "status text after the reload: $(status_text)"

step "VNPPSvc -check as vnppsvc"
check() { ct runuser -u vnppsvc -- env VNPPSVC_HOME="$home" VNPPSvc -check; }
out=$(check) || fail "VNPPSvc -check: $out"
grep -q 'no problems' <<<"$out" || fail "VNPPSvc -check: $out"

step "a configuration file owned by root: one warning at the start, none per run"
ct systemctl stop VNPostProcessor
ct cp -p "$home/VNPostProc.VFG" /root/VNPostProc.VFG.kept
# As a copy made by root leaves it, and without progress, so that every entry writes some.
ct sed -i '/^POLL\(Update\|Start\)[0-9]*=/d' "$home/VNPostProc.VFG"
ct chown root:root "$home/VNPostProc.VFG"
ct chmod 0644 "$home/VNPostProc.VFG"
refused='cannot be written back by the account vnppsvc'
out=$(check) && fail "VNPPSvc -check passed a file the service cannot write back: $out"
grep -q "$refused" <<<"$out" || fail "VNPPSvc -check: $out"
ct systemctl start VNPostProcessor || fail "systemctl start"
wait_for 30 ct vnppctl run 1 || fail "vnppctl run 1: $(ct vnppctl run 1 2>&1)"
last_run() {
  ct vnppctl status --json | python3 -c 'import json, sys; sys.exit(json.load(sys.stdin)["groups"][0]["last_run"] is None)'
}
wait_for 60 last_run || fail "group 1 did not run: $(ct vnppctl status --json)"
ct vnppctl status --json | grep -q "$refused" || fail "vnppctl status does not show the warning"
# The run's lines reach the journal with the next tick of the message timer.
sleep 2
run_journal=$(ct journalctl _SYSTEMD_INVOCATION_ID="$(ct systemctl show -P InvocationID VNPostProcessor)" -o cat --no-pager)
[ "$(grep -c "$refused" <<<"$run_journal")" = 1 ] || fail "not one warning: $run_journal"
! grep -q 'Unable to write to' <<<"$run_journal" || fail "an error per write: $run_journal"
# The README's way of putting the configuration in place.
ct systemctl stop VNPostProcessor
ct install -o vnppsvc -g vnppsvc -m 0640 /root/VNPostProc.VFG.kept "$home/VNPostProc.VFG"
ct systemctl start VNPostProcessor || fail "systemctl start"

step "systemd-analyze security"
exposure=$(ct systemd-analyze security VNPostProcessor --no-pager | sed -n 's/.*Overall exposure level for VNPostProcessor.service: \([0-9.]*\).*/\1/p')
echo "exposure: $exposure"
[ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e < 1.8) }' || fail "exposure $exposure, not below 1.8"

# --- Watchdog, kill -9 --------------------------------------------------------------------
step "watchdog: SIGSTOP with WatchdogSec=4s"
ct mkdir -p /etc/systemd/system/VNPostProcessor.service.d
printf '[Service]\nWatchdogSec=4s\nRestartSec=1s\n' >"$root/etc/systemd/system/VNPostProcessor.service.d/test.conf"
ct systemctl daemon-reload
ct systemctl restart VNPostProcessor
wait_for 20 status_starts 'Next Group: ' ||
  fail "no status after restart"
pid=$(main_pid)
ct kill -STOP "$pid"
wait_for 30 restarted_from "$pid" ||
  fail "no restart after the watchdog timeout"
ct journalctl -u VNPostProcessor --no-pager | grep -q 'Watchdog timeout' || fail "no watchdog timeout in the journal"

step "kill -9 and restart without recomputing"
wait_for 20 status_starts 'Next Group: ' ||
  fail "no status after the watchdog restart"
before=$(sql 'SELECT COUNT(*), MAX(TIME_TAG) FROM VN_PPDATA1')
last_window=${before#*|}
killed_at=$(ct date '+%Y-%m-%d %H:%M:%S')
pid=$(main_pid)
ct kill -KILL "$pid"
wait_for 30 restarted_from "$pid" ||
  fail "no restart after kill -9"
wait_for 20 status_starts 'Next Group: ' ||
  fail "no status after the restart"
sleep 2
again=$(sql "SELECT COUNT(*) FROM VN_PPDATA1 WHERE TIME_TAG <= '$last_window' AND PROCESS_TIME_TAG >= '$killed_at'")
[ "$again" = 0 ] || fail "$again windows computed again after the restart"

# --- Stop, upgrade, remove, purge ---------------------------------------------------------
step "stop"
ct systemctl stop VNPostProcessor
[ "$(ct systemctl is-active VNPostProcessor || true)" = inactive ] || fail "still active after stop"
ct tail -n 1 "$home/LogFiles/VNPostProc.log" | grep -q 'Post processing service stopped.' ||
  fail "no stop line in the log"

step "upgrade"
ct systemctl start VNPostProcessor
pid=$(main_pid)
ct env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/vnppsvc-upgrade.deb \
  >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "upgrade"; }
[ "$(ct dpkg-query -W -f '${Version}' vnppsvc)" = "$version+upgrade1" ] || fail "not upgraded"
[ "$(ct systemctl is-active VNPostProcessor)" = active ] || fail "not running after the upgrade"
[ "$(main_pid)" != "$pid" ] || fail "the upgrade did not restart the service"

step "remove and purge"
ct env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q vnppsvc >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "remove"; }
[ "$(ct systemctl is-active VNPostProcessor 2>/dev/null || true)" != active ] || fail "running after remove"
ct test -f "$home/VNPostProc.VFG" || fail "remove took the configuration"
ct env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q vnppsvc >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "purge"; }
ct test ! -e "$home/LogFiles" || fail "purge left the log"
ct test -f "$home/data.db" || fail "purge took the database"
ct test ! -e /etc/systemd/system/multi-user.target.wants/VNPostProcessor.service ||
  fail "purge left the unit enabled"

echo "container test passed"
