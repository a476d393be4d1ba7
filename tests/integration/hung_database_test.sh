#!/usr/bin/env bash
# A database server that stops answering (SIGSTOP) must not freeze the service:
#  - a connect gives up after "Login Timeout" seconds with the driver's reason in the log;
#  - a call that hangs longer than "Answer Timeout" is logged as not answering;
#  - SIGTERM ends the service within about ten seconds whatever the database does.
# Runs a PostgreSQL cluster of its own (as root: the server runs as "postgres").
#  - a stop that had to leave the thread waiting, then a database that answers again, and
#    SIGTERM still ends the service.
# Usage: hung_database_test.sh VNPPSvc SOURCE-DIR VNPPCTL
source "$(dirname "$0")/lib_preamble.sh" hungdb
exe=$1
ctl=$3
if [ "$(id -u)" -ne 0 ] || ! ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then
  [ -n "${CI:-}${VNPP_REQUIRE_PG:-}" ] && fail "needs root and the PostgreSQL server"
  skip "needs root and the PostgreSQL server"
fi
postmaster=""
VNPP_DBUS_PID=""  # only the daemon this script starts is stopped
on_cleanup() {
  vnpp_dbus_stop
  [ -n "$postmaster" ] || return 0
  pkill -CONT -P "$postmaster" 2>/dev/null || true
  kill -CONT "$postmaster" 2>/dev/null || true
}
home=$work/home
log=$home/LogFiles/VNPostProc.log
show() { tail -n 20 "$log" >&2; }
vnpp_odbc_env_default "$work/odbc"
own_pg=1
vnpp_pg_start "$work/pg" >/dev/null || fail "PostgreSQL could not be started"
postmaster=$(head -n 1 "$work/pg/data/postmaster.pid")
PGPASSWORD=$VNPP_TEST_PG_PASSWORD psql -h 127.0.0.1 -p "$VNPP_PG_PORT" -U vnpp -d vnpp -q \
  -c "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST01', 'WL', now() - interval '2 hours', 1)"
freeze() {
  kill -STOP "$postmaster"
  pkill -STOP -P "$postmaster" || true
}
thaw() {
  pkill -CONT -P "$postmaster" || true
  kill -CONT "$postmaster"
}
# Freezes the server, starts the service (output to $1) and waits until it says that the
# database does not answer.
start_frozen() {
  freeze
  "$exe" >"$1" 2>&1 &
  pid=$!
  for _ in $(seq 1 100); do
    grep -q 'did not answer for' "$log" && break
    sleep 0.1
  done
}
# Waits at most $1 tenths of a second for the service to end.
wait_gone() {
  for _ in $(seq 1 "$1"); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
}

mkdir -p "$home/LogFiles"
write_config() {  # $1 Login Timeout
  printf '[PostProcess]\r\nLogDetail=1\r\nCatchUpAtStart=1\r\nGroupNames=G\r\n[G]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nStartFrom=%s\r\nPOLLNumber=1\r\nPOLL1=ST01.WL\r\nPOLLDataLabel1=WL\r\n[Database Settings]\r\nODBC Data Source=%s\r\nLogin Timeout=%s\r\nAnswer Timeout=2\r\n' \
    "$(date -d '-5 hours' '+%m/%d/%Y %H:00:00')" "$VNPP_TEST_PG" "$1" > "$home/VNPostProc.VFG"
}
export VNPPSVC_HOME=$home VNPPSVC_INSTANCE=vnpp-hungdb-$$ VNPPSVC_BUS=session
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"

# 1. A connect to a server that does not answer fails after the login timeout.
write_config 2
freeze
start=$(date +%s)
status=0
timeout 60 "$exe" -catchup >"$work/catchup.out" 2>&1 || status=$?
took=$(( $(date +%s) - start ))
thaw
[ "$status" -eq 1 ] || fail "-catchup against a stopped server exited $status, expected 1"
[ "$took" -le 20 ] || fail "the connect took $took s with a login timeout of 2 s"
grep -q 'Error 1501: Unable to connect to database.' "$log" || fail "no Error 1501 line"

# 2. A call that hangs (here the connect of the catch-up at start, with a long login
# timeout): the log says so, and SIGTERM still ends the service soon.
write_config 120
start_frozen "$work/service.out"
grep -q 'Warning: the database (data source ".*PWD=\*\*\*.*") did not answer for [0-9]* s.' "$log" ||
  fail "no line says that the database does not answer"
start=$(date +%s)
kill -TERM "$pid"
wait_gone 300
took=$(( $(date +%s) - start ))
if kill -0 "$pid" 2>/dev/null; then
  thaw
  fail "SIGTERM did not end the service within 30 s while the database did not answer"
fi
wait "$pid" 2>/dev/null || true
pid=""
thaw
[ "$took" -le 15 ] || fail "the stop took $took s"
grep -q 'Error 1500: Processing did not stop within 10 s: the database' "$log" ||
  fail "the abandoned stop is not logged"

# 3. vnppctl stop gives up on the hung thread; the database answers again, so the thread
# ends on its own; SIGTERM must then end the process at once (it used to wait for ever on
# the wake event of the thread left behind).
vnpp_dbus_start "$work/dbus" || fail "no private D-Bus daemon"
: >"$log"
start_frozen "$work/service3.out"
timeout 60 "$ctl" stop >"$work/ctl.out" 2>&1 || true
grep -q 'Error 1500: Processing did not stop within 10 s' "$log" || { thaw; fail "the stop was not abandoned"; }
thaw
sleep 3
kill -TERM "$pid"
wait_gone 150
kill -0 "$pid" 2>/dev/null && fail "SIGTERM after an abandoned stop did not end the service within 15 s"
wait "$pid" 2>/dev/null || true
pid=""
grep -q "$VNPP_TEST_PG_PASSWORD" "$log" && fail "the password reached the log"
echo "PASS (stop in $took s)"
