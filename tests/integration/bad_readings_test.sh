#!/usr/bin/env bash
# Odd readings through the real "VNPPSvc -catchup", on SQLite or PostgreSQL:
#  - a counter reset by more than the roll-over constant: that window stores nothing and is
#    logged with both readings; the entry goes on with the next window;
#  - a DELTA group whose Parameter is no number: one error line for the run, its entries stay;
#  - NaN, infinite and (SQLite) text values: taken as missing and reported once per entry;
#  - a sum beyond the range of a double: logged, nothing stored;
#  - (SQLite) ISO time tags "YYYY-MM-DDTHH:MM:SS", which the range comparisons do not sort as
#    time: reported once per entry; and tags "YYYY/MM/DD HH:MM:SS", which sort after every
#    window and so are never read: reported once, from the sensor's last tag;
#  - windows short of readings under a completeness rule (15-minute readings, 75 %): skipped
#    or stored with FLAG1 'I', FLAG2 the coverage; then a late reading that completes a
#    window and a deletion that breaks one, followed by RecheckWindows in the next run.
# Usage: bad_readings_test.sh VNPPSvc SOURCE-DIR sqlite|postgresql
source "$(dirname "$0")/lib_preamble.sh" badreadings
exe=$1
src=$2
backend=$3
pgdb=""
on_cleanup() {
  [ -z "$pgdb" ] || PGPASSWORD=$VNPP_TEST_PG_PASSWORD psql -h 127.0.0.1 -p "$VNPP_PG_PORT" \
    -U vnpp -d vnpp -q -c "DROP DATABASE IF EXISTS $pgdb" >/dev/null 2>&1
}
show() {
  echo "--- log:" >&2
  cat "$home/LogFiles/VNPostProc.log" >&2
}

day=$(date -d yesterday +%Y-%m-%d)
startfrom=$(date -d "$day" +%m/%d/%Y)" 00:00:00"
home=$work/home
mkdir -p "$home/LogFiles"

# Readings: station, sensor, hh:mm of yesterday, value (SQL text), time tag text (optional).
readings=(
  "ST01 RAIN 00:10 990" "ST01 RAIN 01:10 995" "ST01 RAIN 02:10 1500" "ST01 RAIN 03:10 10"
  "ST01 RAIN 04:10 20"
  "ST02 WL 00:10 1.0" "ST02 WL 00:40 3.0" "ST02 WL 01:10 1.5e308" "ST02 WL 01:40 1.5e308"
  "ST02 WL 02:10 4.0"
  "ST04 WL 06:00 1" "ST04 WL 06:15 1" "ST04 WL 06:30 1" "ST04 WL 06:45 1"
  "ST04 WL 07:00 1" "ST04 WL 07:15 1"
  "ST04 WL 08:00 1" "ST04 WL 08:15 1" "ST04 WL 08:30 1"
)
if [ "$backend" = sqlite ]; then
  readings+=("ST02 WL 00:20 1e999" "ST02 WL 00:25 -1e999" "ST02 WL 00:30 '12,5'"
    "ST02 WL 00:35 'abc'" "ST03 WL 05:10 7.0" "ST03 WL 05:20 9.0")
else
  readings+=("ST02 WL 00:20 'NaN'" "ST02 WL 00:25 '-Infinity'" "ST02 WL 00:30 'Infinity'"
    "ST03 WL 05:10 7.0" "ST03 WL 05:20 9.0")
fi
inserts=""
for r in "${readings[@]}"; do
  read -r station sensor hm value <<<"$r"
  tag="$day $hm:00"
  inserts+="INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('$station', '$sensor', '$tag', $value);"$'\n'
done
if [ "$backend" = sqlite ]; then
  # A logger that writes ISO time tags: SQLite keeps the text as it is given.
  inserts+="INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST03', 'WL', '${day}T05:15:00', 100);"$'\n'
  inserts+="INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST02', 'WL', '${day//-//} 02:20:00', 100);"$'\n'
fi

if [ "$backend" = sqlite ]; then
  vnpp_odbc_env_default "$work/odbc"
  db=$work/data.db
  sqlite3 "$db" < "$src/sql/sqlite/schema.sql"
  sqlite3 "$db" <<<"$inserts"
  source_text="Driver=SQLite3;Database=$db;NoCreat=1"
  query() { sqlite3 -separator '|' "$db" "$1"; }
  tagexpr="strftime('%H:%M', TIME_TAG)"
else
  if [ -z "${VNPP_TEST_PG:-}" ]; then
    [ "${CI:-}${VNPP_REQUIRE_PG:-}" != "" ] && fail "VNPP_TEST_PG is not set"
    skip "PostgreSQL is not configured (VNPP_TEST_PG is not set; scripts/test sets it)"
  fi
  pgdb=vnpp_bad_$$
  psql_in() {
    local d=$1
    shift
    PGPASSWORD=$VNPP_TEST_PG_PASSWORD psql -h 127.0.0.1 -p "$VNPP_PG_PORT" -U vnpp -d "$d" -q -t -A \
      -v ON_ERROR_STOP=1 "$@"
  }
  psql_in vnpp -c "CREATE DATABASE $pgdb" >/dev/null
  psql_in "$pgdb" -f "$src/sql/postgresql/schema.sql" >/dev/null
  psql_in "$pgdb" <<<"$inserts" >/dev/null
  source_text="Driver=PostgreSQL ANSI;Server=127.0.0.1;Port=$VNPP_PG_PORT;Database=$pgdb;UID=vnpp;PWD=$VNPP_TEST_PG_PASSWORD"
  query() { psql_in "$pgdb" -F '|' -c "$1"; }
  tagexpr="to_char(TIME_TAG, 'HH24:MI')"
fi

group() {  # $1 section, $2 function, $3 parameter, $4 entry (station.sensor), $5 label
  printf '[%s]\r\nFuncName=%s\r\nEnabled=1\r\nTypeInterval=0\r\nBaseTime=00:05:00\r\n' "$1" "$2"
  printf 'StartFrom=%s\r\nParameter=%s\r\nDataType=0\r\nPOLLNumber=1\r\nPOLL1=%s\r\nPOLLDataLabel1=%s\r\n' \
    "$startfrom" "$3" "$4" "$5"
}
{
  printf '[PostProcess]\r\nLogMessage=1\r\nLogDetail=1\r\n'
  printf 'GroupNames=Rain delta,Rain delta bad,WL avg,WL sum,WL late,WL skip,WL flag\r\n'
  group "Rain delta" DELTA 1000 ST01.RAIN RAIN_DELTA
  group "Rain delta bad" DELTA abc ST01.RAIN RAIN_BAD
  group "WL avg" AVG "" ST02.WL WL_AVG
  group "WL sum" SUM "" ST02.WL WL_SUM
  group "WL late" AVG "" ST03.WL WL_ISO
  rule='ReadingInterval=00:15:00\r\nMinCoverage=75\r\nRecheckWindows=48\r\n'
  group "WL skip" AVG "" ST04.WL WL_SKIP
  printf "${rule}IncompleteWindows=Skip\r\n"
  group "WL flag" AVG "" ST04.WL WL_FLAG
  printf "${rule}IncompleteWindows=Flag\r\n"
  printf '[Database Settings]\r\nODBC Data Source=%s\r\n' "$source_text"
} > "$home/VNPostProc.VFG"

export VNPPSVC_HOME=$home VNPPSVC_INSTANCE=vnpp-badreadings-$$ VNPPSVC_BUS=session
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"
status=0
"$exe" -catchup >"$work/out.txt" 2>&1 || status=$?
log=$home/LogFiles/VNPostProc.log
# The one failing group (a Parameter that is no number) makes the run fail, and only it.
[ "$status" -eq 1 ] || fail "-catchup exited $status, expected 1 (the group with a bad Parameter)"

rows() {  # $1 label: "hh:mm|value" per stored row, by time
  query "SELECT $tagexpr, PP_VALUE FROM VN_PPDATA1 WHERE DATA_LABEL = '$1' ORDER BY TIME_TAG"
}
# The counter reset at 03:10 (1500 -> 10) gives -490 with the constant: no row for 03:00,
# and the windows after it are computed.
got=$(rows RAIN_DELTA | head -n 4 | tr '\n' ' ')
[ "$got" = "00:00|1000.0 01:00|1005.0 02:00|1505.0 04:00|1010.0 " ] ||
  [ "$got" = "00:00|1000 01:00|1005 02:00|1505 04:00|1010 " ] || fail "DELTA rows: $got"
grep -q "PollGroup 1: ST01.RAIN, window $(date -d "$day" +%m/%d/%Y) 03:00:00: DELTA- Negative value after applying RolloverConstant. Newest reading 10 at .* previous reading 1500 at .* Nothing is stored for this window." "$log" ||
  fail "no log line for the negative DELTA window"
[ "$(grep -c 'Negative value' "$log")" -eq 1 ] || fail "the negative DELTA is logged more than once"
grep -q 'POLLUpdate1=' <(sed -n '/^\[Rain delta\]/,/^\[Rain delta bad\]/p' "$home/VNPostProc.VFG") ||
  fail "the DELTA entry made no progress"

# A Parameter that is no number: one line for the run, nothing stored, no progress.
[ "$(grep -c 'Unable to convert parameter string to RolloverConstant. PollGroup 2 (Rain delta bad), Parameter "abc"' "$log")" -eq 1 ] ||
  fail "the bad Parameter is not logged exactly once"
[ -z "$(rows RAIN_BAD)" ] || fail "rows stored for a group with a bad Parameter"
sed -n '/^\[Rain delta bad\]/,/^\[WL avg\]/p' "$home/VNPostProc.VFG" | grep -q 'POLLUpdate' &&
  fail "progress written for a group with a bad Parameter"

# NaN, infinities and text are missing values: the 00:00 mean is (1 + 3) / 2.
got=$(rows WL_AVG | head -n 2 | tr '\n' ' ')
[ "$got" = "00:00|2.0 02:00|4.0 " ] || [ "$got" = "00:00|2 02:00|4 " ] || fail "AVG rows: $got"
if [ "$backend" = sqlite ]; then
  grep -q 'PollGroup 3: ST02.WL: 4 readings taken as missing: 2 not finite, 2 not a number, for example "12,5" at ' "$log" ||
    fail "the missing values of ST02.WL are not reported"
else
  grep -q 'PollGroup 3: ST02.WL: 3 readings taken as missing: 3 not finite, 0 not a number.' "$log" ||
    fail "the missing values of ST02.WL are not reported"
fi
# The 01:00 window's sum overflows: logged, no row.
got=$(rows WL_SUM | tr '\n' ' ')
case "$got" in
  "00:00|4.0 02:00|4.0 " | "00:00|4 02:00|4 ") ;;
  *) fail "SUM rows: $got" ;;
esac
grep -q "PollGroup 4: ST02.WL, window $(date -d "$day" +%m/%d/%Y) 01:00:00: The result is not a finite number. Nothing is stored for this window." "$log" ||
  fail "the overflowing sum is not logged"

# Nothing that is not a finite number reached the table.
bad=$(query "SELECT COUNT(*) FROM VN_PPDATA1 WHERE PP_VALUE IS NULL OR NOT (PP_VALUE BETWEEN -1e308 AND 1e308)")
[ "$bad" = 0 ] || fail "$bad rows hold no finite value"

if [ "$backend" = sqlite ]; then
  grep -q "PollGroup 5: ST03.WL: 1 readings left out: the database does not sort their time tag as a time (the first at $(date -d "$day" +%m/%d/%Y) 05:15:00)" "$log" ||
    fail "the ISO time tag is not reported"
  grep -q "PollGroup 5: ST03.WL: readings with time tags such as \"${day}T05:15:00\" are in no window" "$log" ||
    fail "the ISO tag, the sensor's last, is not reported as a form that does not sort"
  # A tag that sorts after every window is never read; the sensor's last tag shows it, once
  # for the two groups of the sensor.
  [ "$(grep -c "ST02.WL: readings with time tags such as \"${day//-//} 02:20:00\" are in no window" "$log")" -eq 1 ] ||
    fail "the tag that sorts after every window is not reported exactly once"
  # It is in no window: the 05:00 mean is that of the two other readings.
  got=$(rows WL_ISO | tr '\n' ' ')
  [ "$got" = "05:00|8.0 " ] || fail "ISO rows: $got"
fi
# A recompute of the same windows reports what their readings hold as the first computation
# did: the negative DELTA window, and the values taken as missing once for the entry.
before=$(wc -l <"$log")
for g in 1 3; do
  "$exe" -recompute "$g" "$day" "$(date -d "$day + 1 day" +%Y-%m-%d)" >"$work/recompute.txt" 2>&1 ||
    fail "-recompute $g failed: $(cat "$work/recompute.txt")"
done
tail -n +"$((before + 1))" "$log" >"$work/recompute.log"
[ "$(grep -c 'PollGroup 1: ST01.RAIN, window .* 03:00:00: DELTA- Negative value' "$work/recompute.log")" -eq 1 ] ||
  fail "the recompute does not report the negative DELTA window once"
[ "$(grep -c 'PollGroup 3: ST02.WL: [0-9]* readings taken as missing' "$work/recompute.log")" -eq 1 ] ||
  fail "the recompute does not report the missing values of ST02.WL once"

# Completeness: 06:00 has all 4 readings, 07:00 2 of 4 (incomplete), 08:00 3 of 4 (75 %).
flags() {  # $1 label: "hh:mm|FLAG1|FLAG2" per stored row, by time
  query "SELECT $tagexpr, FLAG1, FLAG2, FLAG3 FROM VN_PPDATA1 WHERE DATA_LABEL = '$1' ORDER BY TIME_TAG"
}
got=$(flags WL_SKIP | tr '\n' ' ')
[ "$got" = "06:00||100.0| 08:00||75.0| " ] || fail "Skip rows: $got"
got=$(flags WL_FLAG | tr '\n' ' ')
[ "$got" = "06:00||100.0| 07:00|I|50.0| 08:00||75.0| " ] || fail "Flag rows: $got"
grep -q 'PollGroup 6: 1 incomplete windows of ST04.WL skipped (coverage 50.0 %)' "$log" ||
  fail "the skipped window is not logged"
grep -q 'PollGroup 7: 1 incomplete windows of ST04.WL flagged (coverage 50.0 %)' "$log" ||
  fail "the flagged window is not logged"
# Groups without a rule keep NULL flags.
[ "$(query "SELECT COUNT(*) FROM VN_PPDATA1 WHERE DATA_LABEL NOT IN ('WL_SKIP', 'WL_FLAG') AND (FLAG1 IS NOT NULL OR FLAG2 IS NOT NULL)")" = 0 ] ||
  fail "rows of groups without a rule carry flags"
# A late reading completes 07:00, a deletion breaks 08:00; the next run's recheck follows.
change="INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST04', 'WL', '$day 07:30:00', 1);
DELETE FROM VN_DATA1 WHERE STATION_ID = 'ST04' AND TIME_TAG = '$day 08:30:00';"
if [ "$backend" = sqlite ]; then sqlite3 "$db" <<<"$change"; else psql_in "$pgdb" <<<"$change" >/dev/null; fi
before=$(wc -l <"$log")
"$exe" -catchup >"$work/out2.txt" 2>&1 || true
tail -n +"$((before + 1))" "$log" >"$work/recheck.log"
got=$(flags WL_SKIP | tr '\n' ' ')
[ "$got" = "06:00||100.0| 07:00||75.0| " ] || fail "Skip rows after the recheck: $got"
got=$(flags WL_FLAG | tr '\n' ' ')
[ "$got" = "06:00||100.0| 07:00||75.0| 08:00|I|50.0| " ] || fail "Flag rows after the recheck: $got"
grep -q 'PollGroup 6: late readings changed 2 windows of ST04.WL (0 updated, 1 inserted, 1 deleted)' "$work/recheck.log" ||
  fail "the Skip group's recheck is not logged"
grep -q 'PollGroup 7: late readings changed 2 windows of ST04.WL (2 updated, 0 inserted, 0 deleted)' "$work/recheck.log" ||
  fail "the Flag group's recheck is not logged"
# Windows checked again are not counted as incomplete again.
grep -q 'incomplete windows' "$work/recheck.log" && fail "a recheck logs incomplete windows again"
[ -n "${VNPP_SHOW_LOG:-}" ] && cat "$log"
echo "PASS ($backend)"
