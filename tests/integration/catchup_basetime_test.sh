#!/usr/bin/env bash
# "-catchup" leaves every window whose end plus the group's BaseTime lies in the future to
# the schedule, as the service alone would; CatchUpAtStart=1 makes the service catch up as
# soon as it starts instead of waiting for the next period.
# Usage: catchup_basetime_test.sh VNPPSvc SOURCE-DIR
source "$(dirname "$0")/lib_preamble.sh" basetime
exe=$1
src=$2
show() { tail -n 20 "$work"/*/LogFiles/VNPostProc.log >&2; }
vnpp_odbc_env_default "$work/odbc"
export VNPPSVC_BUS=session DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"

# $1 home, $2 BaseTime, $3 extra [PostProcess] line: readings every 10 minutes over the last
# six hours, one hourly AVG group starting six hours back.
make_home() {
  local home=$1 now
  now=$(date +%s)
  mkdir -p "$home/LogFiles"
  sqlite3 "$home/data.db" < "$src/sql/sqlite/schema.sql"
  {
    echo "BEGIN;"
    for ((t = now - 6 * 3600; t <= now; t += 600)); do
      echo "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST01', 'WL', '$(date -d "@$t" '+%Y-%m-%d %H:%M:%S')', 1);"
    done
    echo "COMMIT;"
  } | sqlite3 "$home/data.db"
  printf '[PostProcess]\r\nLogDetail=1\r\n%sGroupNames=G\r\n[G]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nBaseTime=%s\r\nStartFrom=%s\r\nPOLLNumber=1\r\nPOLL1=ST01.WL\r\nPOLLDataLabel1=WL\r\n[Database Settings]\r\nODBC Data Source=Driver=SQLite3;Database=%s;NoCreat=1\r\n' \
    "$3" "$2" "$(date -d "@$((now - 6 * 3600))" '+%m/%d/%Y %H:00:00')" "$home/data.db" > "$home/VNPostProc.VFG"
}
# Start of the newest stored window, as epoch seconds (0: none).
newest() {
  local v
  v=$(sqlite3 "$1/data.db" "SELECT MAX(TIME_TAG) FROM VN_PPDATA1")
  [ -z "$v" ] && { echo 0; return; }
  date -d "$v" +%s
}
# Start of the last hourly window that ends at or before $1 (epoch seconds).
last_window_before() { echo $(( $1 / 3600 * 3600 - 3600 )); }

# -catchup with BaseTime 01:00:00: the window that ended less than an hour ago waits.
home=$work/catchup
make_home "$home" 01:00:00 ""
before=$(last_window_before $(( $(date +%s) - 3600 )))
VNPPSVC_HOME=$home VNPPSVC_INSTANCE=vnpp-basetime-a-$$ "$exe" -catchup >"$work/catchup.out" 2>&1 || fail "-catchup failed"
after=$(last_window_before $(( $(date +%s) - 3600 )))
got=$(newest "$home")
[ "$got" -eq "$before" ] || [ "$got" -eq "$after" ] ||
  fail "-catchup stored up to $(date -d "@$got"), expected $(date -d "@$before") (BaseTime one hour)"

# CatchUpAtStart=1: the backlog is computed at start, not at the next period.
home=$work/atstart
make_home "$home" 00:00:01 $'CatchUpAtStart=1\r\n'
expected=$(last_window_before $(( $(date +%s) - 1 )))
VNPPSVC_HOME=$home VNPPSVC_INSTANCE=vnpp-basetime-b-$$ "$exe" >"$work/atstart.out" 2>&1 &
pid=$!
for _ in $(seq 1 150); do
  [ "$(newest "$home")" -ge "$expected" ] && break
  sleep 0.1
done
kill -TERM "$pid"
wait "$pid" 2>/dev/null || true
pid=""
got=$(newest "$home")
[ "$got" -ge "$expected" ] || fail "CatchUpAtStart: stored up to $(date -d "@$got") within 15 s, expected $(date -d "@$expected")"
echo "PASS"
