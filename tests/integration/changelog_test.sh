#!/usr/bin/env bash
# Corrections of old readings through the change log ([PostProcess] ChangeLog=1) and the
# real "VNPPSvc -catchup", on SQLite or PostgreSQL. After a catch-up of 45 days:
#  - a reading 40 days late, an updated reading, a reading moved to another hour, a window's
#    readings deleted, and the reading before a DELTA window changed: one run leaves the
#    table equal to a fresh computation over the final readings, and a second writes nothing;
#  - two groups over the same sensor: a change stays logged until both have read it;
#  - a run killed after it committed its results but before it wrote what it consumed (the
#    file and the log as they stood, the results stored): the next run leaves the table right.
# Usage: changelog_test.sh VNPPSvc SOURCE-DIR sqlite|postgresql
source "$(dirname "$0")/lib_preamble.sh" changelog
exe=$1
src=$2
backend=$3
pgdbs=()
on_cleanup() {
  local d
  for d in "${pgdbs[@]}"; do
    PGPASSWORD=$VNPP_TEST_PG_PASSWORD psql -h 127.0.0.1 -p "$VNPP_PG_PORT" -U vnpp -d vnpp -q \
      -c "DROP DATABASE IF EXISTS $d" >/dev/null 2>&1
  done
}
show() {
  echo "--- configuration:" >&2
  cat "$home/VNPostProc.VFG" >&2
  echo "--- log:" >&2
  tail -n 30 "$home/LogFiles/VNPostProc.log" >&2
}
export TZ=UTC
export VNPPSVC_INSTANCE=vnpp-changelog-$$ VNPPSVC_BUS=session
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"
day() { date -d "today - $1 days" +%Y-%m-%d; }  # $1 days back
first=$(day 45)
n=$((45 * 96))  # readings per sensor, every 15 minutes up to today 00:00

# Database $1: the tables, the readings of ST01.WL (a level) and ST02.RAIN (a counter).
if [ "$backend" = sqlite ]; then
  vnpp_odbc_env_default "$work/odbc"
  make_db() {  # $2 "empty": no readings
    sqlite3 "$work/$1.db" < "$src/sql/sqlite/schema.sql"
    [ "${2:-}" = empty ] && return
    sqlite3 "$work/$1.db" "WITH RECURSIVE t(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM t WHERE i < $n - 1)
      INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE)
      SELECT 'ST01', 'WL', datetime('$first', '+' || (i * 15) || ' minutes'), (i * 37 % 1000) / 10.0 FROM t
      UNION ALL
      SELECT 'ST02', 'RAIN', datetime('$first', '+' || (i * 15) || ' minutes'), i * 2 FROM t;"
  }
  sql() { sqlite3 -separator '|' "$work/$1.db" "$2"; }
  apply() { sqlite3 "$work/$1.db" < "$2"; }
  source_of() { printf 'Driver=SQLite3;Database=%s;NoCreat=1' "$work/$1.db"; }
else
  if [ -z "${VNPP_TEST_PG:-}" ]; then
    [ "${CI:-}${VNPP_REQUIRE_PG:-}" != "" ] && fail "VNPP_TEST_PG is not set"
    skip "PostgreSQL is not configured (VNPP_TEST_PG is not set; scripts/test sets it)"
  fi
  psql_in() {
    local d=$1
    shift
    PGPASSWORD=$VNPP_TEST_PG_PASSWORD PGOPTIONS=--client-min-messages=warning \
      psql -h 127.0.0.1 -p "$VNPP_PG_PORT" -U vnpp -d "$d" -q \
      -t -A -v ON_ERROR_STOP=1 "$@"
  }
  make_db() {
    pgdbs+=("vnpp_cl_$1_$$")
    psql_in vnpp -c "CREATE DATABASE vnpp_cl_$1_$$" >/dev/null
    psql_in "vnpp_cl_$1_$$" -f "$src/sql/postgresql/schema.sql" >/dev/null
    [ "${2:-}" = empty ] && return
    psql_in "vnpp_cl_$1_$$" -c "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE)
      SELECT 'ST01', 'WL', TIMESTAMP '$first' + i * INTERVAL '15 minutes', (i * 37 % 1000) / 10.0
        FROM generate_series(0, $n - 1) i
      UNION ALL
      SELECT 'ST02', 'RAIN', TIMESTAMP '$first' + i * INTERVAL '15 minutes', i * 2
        FROM generate_series(0, $n - 1) i" >/dev/null
  }
  sql() { psql_in "vnpp_cl_$1_$$" -F '|' -c "$2"; }
  apply() { psql_in "vnpp_cl_$1_$$" -f "$2" >/dev/null; }
  source_of() {
    printf 'Driver=PostgreSQL ANSI;Server=127.0.0.1;Port=%s;Database=%s;UID=vnpp;PWD=%s' \
      "$VNPP_PG_PORT" "vnpp_cl_$1_$$" "$VNPP_TEST_PG_PASSWORD"
  }
fi

# $1 home, $2 database, $3 ChangeLog value: an hourly AVG and a daily MAX over ST01.WL and
# an hourly DELTA over ST02.RAIN, from the first day of readings.
make_home() {
  mkdir -p "$1/LogFiles"
  group() {  # $1 section, $2 function, $3 type interval, $4 entry, $5 label
    printf '[%s]\r\nFuncName=%s\r\nEnabled=1\r\nTypeInterval=%s\r\nBaseTime=00:00:00\r\n' "$1" "$2" "$3"
    printf 'StartFrom=%s 00:00:00\r\nDataType=0\r\nPOLLNumber=1\r\nPOLL1=%s\r\nPOLLDataLabel1=%s\r\n' \
      "$(date -d "$first" +%m/%d/%Y)" "$4" "$5"
  }
  {
    printf '[PostProcess]\r\nLogMessage=1\r\nLogDetail=1\r\nChangeLog=%s\r\n' "$3"
    printf 'GroupNames=WL avg,WL max,Rain delta\r\n'
    group "WL avg" AVG 0 ST01.WL WL_AVG
    group "WL max" MAX 3 ST01.WL WL_MAX
    group "Rain delta" DELTA 0 ST02.RAIN RAIN_DELTA
    printf '[Database Settings]\r\nODBC Data Source=%s\r\n' "$(source_of "$2")"
  } >"$1/VNPostProc.VFG"
}
home=$work/home
log=$home/LogFiles/VNPostProc.log
catchup() {  # $1 home: one -catchup to the end
  local rc=0
  VNPPSVC_HOME=$1 timeout 120 "$exe" -catchup >>"$work/out.txt" 2>&1 || rc=$?
  [ "$rc" -eq 0 ] || fail "-catchup in $1 exited $rc: $(tail -n 5 "$work/out.txt")"
}
results() {  # $1 database: every stored row but the time it was written
  sql "$1" "SELECT DATA_LABEL, TIME_TAG, PP_VALUE, VALUE_TIME_TAG, FLAG1, FLAG2 FROM VN_PPDATA1
            ORDER BY DATA_LABEL, TIME_TAG"
}
written() {  # $1 database: every stored row with the time it was written
  sql "$1" "SELECT DATA_LABEL, TIME_TAG, PROCESS_TIME_TAG FROM VN_PPDATA1 ORDER BY DATA_LABEL, TIME_TAG"
}
changes() { sql live "SELECT COUNT(*) FROM VN_PPCHANGES"; }
group_key() {  # $1 section, $2 key: its value in the configuration
  tr -d '\r' <"$home/VNPostProc.VFG" | sed -n "/^\[$1\]/,/^\[/s/^$2=//p"
}
set_enabled() {  # $1 section, $2 0 or 1
  sed -i "/^\[$1\]/,/^\[/s/^Enabled=.*/Enabled=$2\r/" "$home/VNPostProc.VFG"
}
# Compares the live table with a fresh computation over the live readings.
check_fresh() {  # $1 what was done
  local name=fresh$((++fresh))
  make_db "$name" empty
  if [ "$backend" = sqlite ]; then
    sql "$name" "ATTACH '$work/live.db' AS live; INSERT INTO VN_DATA1 SELECT * FROM live.VN_DATA1"
  else
    sql live "COPY (SELECT STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE FROM VN_DATA1) TO STDOUT" |
      psql_in "vnpp_cl_${name}_$$" -c "COPY VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) FROM STDIN"
  fi
  make_home "$work/$name" "$name" 0
  catchup "$work/$name"
  diff <(results live) <(results "$name") >"$work/diff.txt" ||
    fail "$1: the table differs from a fresh computation (< live, > fresh): $(head -n 20 "$work/diff.txt")"
}
fresh=0

make_db live
apply live "$src/sql/$backend/changelog.sql"
make_home "$home" live 1
catchup "$home"
[ "$(sql live "SELECT COUNT(*) FROM VN_PPDATA1")" -gt 2000 ] || fail "the first catch-up stored too little"
[ "$(sql live "SELECT COUNT(*) FROM VN_PPTHRESHOLD")" = 2 ] || fail "no threshold per station and sensor"
[ "$(changes)" = 0 ] || fail "the catch-up itself logged changes"

# The corrections, as a hydrologist's tool writes them.
cat >"$work/corrections.sql" <<EOF
INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST01', 'WL', '$(day 40) 10:07:00', 999);
UPDATE VN_DATA1 SET ED_VALUE = 555 WHERE STATION_ID = 'ST01' AND TIME_TAG = '$(day 20) 05:15:00';
UPDATE VN_DATA1 SET TIME_TAG = '$(day 10) 07:20:00' WHERE STATION_ID = 'ST01' AND TIME_TAG = '$(day 10) 03:30:00';
DELETE FROM VN_DATA1 WHERE STATION_ID = 'ST01' AND TIME_TAG >= '$(day 5) 12:00:00' AND TIME_TAG <= '$(day 5) 13:00:00';
UPDATE VN_DATA1 SET ED_VALUE = ED_VALUE + 50 WHERE STATION_ID = 'ST02' AND TIME_TAG = '$(day 3) 08:45:00';
EOF
apply live "$work/corrections.sql"
[ "$(changes)" -ge 5 ] || fail "the triggers logged $(changes) changes for 5 corrections"

# The daily MAX group is off for one run: the WL changes stay logged for it.
set_enabled "WL max" 0
catchup "$home"
[ "$(sql live "SELECT COUNT(*) FROM VN_PPCHANGES WHERE STATION_ID = 'ST01'")" -ge 4 ] ||
  fail "changes deleted before every group read them"
grep -q "PollGroup 1: corrected readings changed [0-9]* windows of ST01.WL" "$log" ||
  fail "no log line for the AVG group's change-log recompute"
set_enabled "WL max" 1
catchup "$home"
[ "$(changes)" = 0 ] || fail "$(changes) changes left after every group read them"
check_fresh "after the corrections"
before=$(written live)
catchup "$home"
[ "$before" = "$(written live)" ] || fail "a second run wrote rows again"

# Killed after the commit, before the consumed id was written: the next run reads the same
# changes again.
apply live /dev/stdin <<EOF
UPDATE VN_DATA1 SET ED_VALUE = 1 WHERE STATION_ID = 'ST01' AND TIME_TAG = '$(day 30) 16:45:00';
UPDATE VN_DATA1 SET ED_VALUE = ED_VALUE + 7 WHERE STATION_ID = 'ST02' AND TIME_TAG >= '$(day 25) 00:00:00' AND TIME_TAG < '$(day 24) 00:00:00';
CREATE TABLE VN_PPCHANGES_KEPT AS SELECT * FROM VN_PPCHANGES;
EOF
consumed=$(group_key "WL avg" ChangeLogID)
[ -n "$consumed" ] || fail "no ChangeLogID recorded"
cp "$home/VNPostProc.VFG" "$work/kept.VFG"
catchup "$home"
[ "$(group_key "WL avg" ChangeLogID)" -gt "$consumed" ] || fail "the consumed id did not move"
cp "$work/kept.VFG" "$home/VNPostProc.VFG"
sql live "INSERT INTO VN_PPCHANGES SELECT * FROM VN_PPCHANGES_KEPT" >/dev/null
catchup "$home"
[ "$(changes)" = 0 ] || fail "changes left after the run that followed the kill"
check_fresh "after a kill before the consumed id was written"
echo "PASS ($backend)"
