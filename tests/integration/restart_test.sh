#!/usr/bin/env bash
# A restart after kill -9 resumes where the last progress write left the schedule: no window
# that was stored before the kill is computed again, and none after it is skipped.
# A group of 10-second periods starts three minutes back, so the service runs a few dozen
# periods back to back, is killed once it has caught up, and is started again.
# Then the same after an immediate run (vnppctl run) of a group whose entries had no progress:
# the restart resumes where that run left them, instead of at the group's old StartFrom.
# Usage: restart_test.sh VNPPSvc SOURCE-DIR VNPPCTL
source "$(dirname "$0")/lib_preamble.sh" restart
exe=$1
src=$2
ctl=$3
VNPP_DBUS_PID=""  # only the daemon this script starts is stopped
on_cleanup() { vnpp_dbus_stop; }
home=$work/home
log=$home/LogFiles/VNPostProc.log
show() {
  echo "--- configuration:" >&2
  cat "$home/VNPostProc.VFG" >&2
  echo "--- log:" >&2
  tail -n 40 "$log" >&2
}
vnpp_odbc_env_default "$work/odbc"
mkdir -p "$home/LogFiles"
db=$work/data.db
sqlite3 "$db" < "$src/sql/sqlite/schema.sql"
now=$(date +%s)
# A reading every 5 seconds over the last four minutes and the next two, for two stations.
{
  echo "BEGIN;"
  for ((t = now - 240; t < now + 120; t += 5)); do
    tag=$(date -d "@$t" '+%Y-%m-%d %H:%M:%S')
    echo "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST01', 'WL', '$tag', $((t % 97)));"
    echo "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST02', 'WL', '$tag', $((t % 89)));"
  done
  echo "COMMIT;"
} | sqlite3 "$db"
startfrom=$(date -d "@$((now - 180))" '+%m/%d/%Y %H:%M:%S')
printf '[PostProcess]\r\nLogMessage=1\r\nLogDetail=2\r\nGroupNames=Fast\r\n[Fast]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=6\r\nInterval=00:00:10\r\nBaseTime=00:00:00\r\nStartFrom=%s\r\nDataType=0\r\nPOLLNumber=2\r\nPOLL1=ST01.WL\r\nPOLLDataLabel1=WL_AVG\r\nPOLL2=ST02.WL\r\nPOLLDataLabel2=WL_AVG\r\n[Database Settings]\r\nODBC Data Source=Driver=SQLite3;Database=%s;NoCreat=1\r\n' \
  "$startfrom" "$db" > "$home/VNPostProc.VFG"

export VNPPSVC_HOME=$home VNPPSVC_INSTANCE=vnpp-restart-$$ VNPPSVC_BUS=session
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"

epoch_of() {  # "mm/dd/yyyy hh:nn:ss" as epoch seconds
  date -d "$(sed -E 's#^([0-9]+)/([0-9]+)/([0-9]+) #\3-\1-\2 #' <<<"$1")" +%s
}
poll_update() {  # POLLUpdate1 as epoch seconds (0 when absent)
  local v
  v=$(tr -d '\r' < "$home/VNPostProc.VFG" | sed -n 's/^POLLUpdate1=//p')
  if [ -z "$v" ]; then echo 0; else epoch_of "$v"; fi
}

"$exe" >"$work/first.out" 2>&1 &
pid=$!
# Caught up: the progress is within two periods of now.
for _ in $(seq 1 300); do
  [ $(( $(date +%s) - $(poll_update) )) -le 20 ] && break
  sleep 0.1
done
[ $(( $(date +%s) - $(poll_update) )) -le 20 ] || fail "the first run did not catch up"
kill -9 "$pid"
wait "$pid" 2>/dev/null || true
pid=""
done_until=$(poll_update)
lines_before=$(wc -l < "$log")

"$exe" >"$work/second.out" 2>&1 &
pid=$!
# Two periods and a little: at least one scheduled run after the restart.
target=$(( $(date +%s) + 22 ))
while [ "$(date +%s)" -lt "$target" ]; do sleep 0.5; done
kill -TERM "$pid"
wait "$pid" 2>/dev/null || true
pid=""

# Windows the restarted service computed: "Data for "ST01.WL" at "mm/dd/yyyy hh:nn:ss", ..."
replayed=0
computed=0
while IFS= read -r start; do
  t=$(epoch_of "$start")
  computed=$((computed + 1))
  [ "$t" -lt "$done_until" ] && replayed=$((replayed + 1))
done < <(tail -n +"$((lines_before + 1))" "$log" | sed -n 's/.*Data for "ST01.WL" at "\([^"]*\)".*/\1/p')
[ "$replayed" -eq 0 ] || fail "$replayed windows stored before the kill were computed again"
[ "$computed" -ge 1 ] || fail "the restarted service computed no window"
# Nothing skipped: every 10-second window from the start to the last progress has its row
# (the table may lead the file by the windows of a run that a stop cut short).
# The first window is the one that ends at the first boundary at or after StartFrom: a
# StartFrom on a boundary starts with the window that ends there.
first=$(( (now - 180 + 9) / 10 * 10 - 10 ))
last=$(poll_update)
expected=$(( (last - first) / 10 ))
rows=$(sqlite3 "$db" "SELECT COUNT(*) FROM VN_PPDATA1 WHERE STATION_ID = 'ST01' AND
  TIME_TAG < '$(date -d "@$last" '+%Y-%m-%d %H:%M:%S')'")
[ "$rows" -eq "$expected" ] || fail "$rows windows stored for ST01, expected $expected"
echo "restarted without replay ($computed new windows, $rows in all)"

# 2. Hourly windows two days back, entries without progress: vnppctl run brings them up to
# now before the schedule's first pass (at the next hour), then the process is killed. The
# file must not send them back to StartFrom: a catch-up afterwards computes nothing again.
# The group rechecks 24 windows, never one before the entries' start.
vnpp_dbus_start "$work/dbus" || fail "no private D-Bus daemon"
hour=$(( now / 3600 * 3600 ))
{
  echo "BEGIN;"
  for ((t = hour - 60 * 3600; t < hour; t += 1800)); do
    tag=$(date -d "@$t" '+%Y-%m-%d %H:%M:%S')
    echo "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST03', 'WL', '$tag', $((t % 83)));"
  done
  echo "COMMIT;"
} | sqlite3 "$db"
printf '[PostProcess]\r\nLogMessage=1\r\nLogDetail=2\r\nGroupNames=Hourly\r\n[Hourly]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nBaseTime=00:00:00\r\nStartFrom=%s\r\nRecheckWindows=24\r\nDataType=0\r\nPOLLNumber=2\r\nPOLL1=ST03.WL\r\nPOLLDataLabel1=H\r\nPOLL2=ST01.WL\r\nPOLLDataLabel2=H\r\n[Database Settings]\r\nODBC Data Source=Driver=SQLite3;Database=%s;NoCreat=1\r\n' \
  "$(date -d "@$((hour - 48 * 3600))" '+%m/%d/%Y %H:%M:%S')" "$db" > "$home/VNPostProc.VFG"
"$exe" >"$work/third.out" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  "$ctl" --session run 1 >/dev/null 2>&1 && break
  sleep 0.1
done
for _ in $(seq 1 300); do
  [ "$(poll_update)" -ge "$hour" ] && break
  sleep 0.1
done
[ "$(poll_update)" -ge "$hour" ] || fail "vnppctl run did not bring the entries up to now"
sleep 0.5
kill -9 "$pid"
wait "$pid" 2>/dev/null || true
pid=""
lines_before=$(wc -l < "$log")
"$exe" -catchup >"$work/catchup.out" 2>&1 || fail "the catch-up failed: $(cat "$work/catchup.out")"
replayed=$(tail -n +"$((lines_before + 1))" "$log" | grep -c 'Data for "ST03.WL" at' || true)
[ "$replayed" -le 1 ] || fail "$replayed windows of ST03.WL computed again after the restart"
# The recheck of the first runs never reached before the entries' start: the first window is
# the one that ends at StartFrom (on a boundary), and readings go back twelve hours more.
first_row=$(sqlite3 "$db" "SELECT MIN(TIME_TAG) FROM VN_PPDATA1 WHERE DATA_LABEL = 'H'")
[ "$first_row" = "$(date -d "@$((hour - 49 * 3600))" '+%Y-%m-%d %H:%M:%S')" ] ||
  fail "the first row of the group is at $first_row, before its start"
echo "PASS: restarted without replay, also after an immediate run"
