#!/usr/bin/env bash
# Killing "VNPPSvc -catchup" with SIGKILL at random moments and running it again until it
# finishes must leave VN_PPDATA1 exactly as one uninterrupted run leaves it: no window
# missing, none written twice, none with a different value.
#
# Usage: catchup_kill_test.sh <VNPPSvc executable> <source directory>
# Needs sqlite3, python3 and the SQLite ODBC driver (ODBCSYSINI/ODBCINI are set up here when
# the caller has not done so). KILLTEST_SEED repeats the kill moments of an earlier run.
set -euo pipefail

exe=${1:?usage: $0 <VNPPSvc executable> <source directory>}
src=${2:?usage: $0 <VNPPSvc executable> <source directory>}
exe=$(realpath "$exe")

kills_wanted=8
max_starts=40       # bound on the kill loop even when every start dies before doing work
run_timeout=60      # seconds for a run that is left to finish

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

work=$(mktemp -d /tmp/vnpp-killtest.XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=/dev/null
source "$src/scripts/lib.sh"
if [ -z "${ODBCSYSINI:-}" ] || ! grep -q '^\[SQLite3\]' "$ODBCSYSINI/odbcinst.ini" 2>/dev/null; then
  vnpp_odbc_env "$work/odbc"
fi
export VNPPSVC_INSTANCE=vnpp-killtest-$$

seed=${KILLTEST_SEED:-$(( $$ ^ $(date +%s) ))}
RANDOM=$seed

# Readings: $stations stations, $days days up to today 00:00, every 15 minutes, with the
# generator's few NULL values and flagged readings. A and B start from byte-identical copies.
# The size gives the uninterrupted run several commits of each group.
stations=${KILLTEST_STATIONS:-24}
days=${KILLTEST_DAYS:-14}
start=$(date -d "$(date +%Y-%m-%d) -$days days" +%Y-%m-%d)
startfrom=$(date -d "$start" +%m/%d/%Y)" 00:00:00"
base=$work/base.db
sqlite3 "$base" < "$src/sql/sqlite/schema.sql"
python3 "$src/scripts/gen_readings.py" --sqlite "$base" --stations "$stations" --days "$days" --step 15 \
  --start "$start" --seed 7
sqlite3 "$base" 'PRAGMA wal_checkpoint(TRUNCATE);' >/dev/null

# $1 home directory: a fresh home with its own copy of the readings and the configuration.
make_home() {
  local home=$1
  mkdir -p "$home/LogFiles"
  cp "$base" "$home/data.db"
  group() {  # $1 section, $2 function, $3 type interval, $4 sensor, $5 label, $6 parameter
    printf '[%s]\r\nFuncName=%s\r\nEnabled=1\r\nTypeInterval=%s\r\nBaseTime=00:05:00\r\n' \
      "$1" "$2" "$3"
    printf 'StartFrom=%s\r\nDescription=%s\r\nParameter=%s\r\nDataType=0\r\n' \
      "$startfrom" "$5" "$6"
    printf 'POLLNumber=%d\r\n' "$stations"
    local i
    for ((i = 1; i <= stations; i++)); do
      printf 'POLL%d=ST%02d.%s\r\nPOLLDataLabel%d=%s\r\n' "$i" "$i" "$4" "$i" "$5"
    done
  }
  {
    printf '[PostProcess]\r\nLogMessage=1\r\nLogDetail=2\r\n'
    printf 'GroupNames=WL hourly avg,Rain hourly delta,Temp daily max\r\n'
    group "WL hourly avg" AVG 0 WL WL_AVG ""
    group "Rain hourly delta" DELTA 0 RAIN RAIN_DELTA ""
    group "Temp daily max" MAX 3 TEMP TEMP_MAX ""
    printf '[Database Settings]\r\n'
    printf 'ODBC Data Source=Driver=SQLite3;Database=%s;NoCreat=1;JournalMode=WAL;SyncPragma=NORMAL\r\n' \
      "$home/data.db"
  } > "$home/VNPostProc.VFG"
}

# $1 home directory. Runs -catchup to the end; fails the test unless it exits 0.
run_to_end() {
  local rc=0
  VNPPSVC_HOME=$1 timeout "$run_timeout" "$exe" -catchup >>"$1/output.txt" 2>&1 || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "--- output of $exe -catchup in $1:" >&2
    tail -n 20 "$1/output.txt" >&2 || true
    echo "--- last lines of its log:" >&2
    tail -n 20 "$1/LogFiles/VNPostProc.log" >&2 || true
    fail "VNPPSvc -catchup in $1 exited with $rc"
  fi
}

# $1 database: every result row in key order, all columns but PROCESS_TIME_TAG, each value
# quoted so that NULL, text and numbers stay distinct and reals keep every digit.
dump() {
  sqlite3 "$1" "SELECT quote(STATION_ID), quote(DATA_LABEL), quote(FUNCTION_NAME),
      quote(TIME_TAG), quote(TIME_PERIOD), quote(PP_VALUE), quote(FLAG1), quote(FLAG2),
      quote(FLAG3), quote(VALUE_TIME_TAG), quote(SENSORNAME), quote(ALTERNATE_LABEL)
    FROM VN_PPDATA1
    ORDER BY STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD"
}

# $1 database: windows stored more than once. The time is compared as a time, so that two
# spellings of one instant (with and without milliseconds) count as the same window.
duplicates() {
  sqlite3 "$1" "SELECT COUNT(*) FROM (SELECT 1 FROM VN_PPDATA1
    GROUP BY STATION_ID, DATA_LABEL, FUNCTION_NAME, datetime(TIME_TAG), TIME_PERIOD
    HAVING COUNT(*) > 1)"
}

rows() {
  sqlite3 "$1" 'SELECT COUNT(*) FROM VN_PPDATA1'
}

# Reference: one uninterrupted run.
make_home "$work/a"
t0=$(date +%s%N)
run_to_end "$work/a"
ref_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
ref_rows=$(rows "$work/a/data.db")
[ "$ref_rows" -gt 0 ] || fail "the uninterrupted run stored no results"

# Interrupted: start, let it work a random time within the first half of the length of the
# uninterrupted run (at least 20 ms), SIGKILL, reap, start again. Scaled to the run, so that
# the kills land mid-work however fast this machine and the catch-up are.
make_home "$work/b"
kills=0
starts=0
finished_alone=0
mid_work=0  # kills that left some but not all results stored
delays=()
while [ "$kills" -lt "$kills_wanted" ] && [ "$starts" -lt "$max_starts" ]; do
  starts=$((starts + 1))
  VNPPSVC_HOME=$work/b "$exe" -catchup >>"$work/b/output.txt" 2>&1 &
  pid=$!
  ms=$(( 20 + RANDOM % (ref_ms > 80 ? ref_ms / 2 - 20 : 20) ))
  delays+=("$ms")
  sleep "$(printf '%d.%03d' $((ms / 1000)) $((ms % 1000)))"
  # The child is not reaped before wait, so its pid cannot have been reused by now.
  kill -KILL "$pid" 2>/dev/null || true
  rc=0
  wait "$pid" 2>/dev/null || rc=$?  # (quiet: bash would report every killed job)
  pid=""
  # The instance lock is a flock: the kernel drops it with the killed process's descriptors.
  if [ "$rc" -eq 137 ]; then
    kills=$((kills + 1))
    n=$(rows "$work/b/data.db")
    [ "$n" -gt 0 ] && [ "$n" -lt "$ref_rows" ] && mid_work=$((mid_work + 1))
  elif [ "$rc" -eq 0 ]; then
    finished_alone=1
    break
  else
    tail -n 20 "$work/b/output.txt" >&2 || true
    fail "an interrupted run (start $starts) exited with $rc before it was killed"
  fi
done
rows_before_final=$(rows "$work/b/data.db")
[ "$mid_work" -gt 0 ] ||
  fail "no kill landed while results were being written; the data is too small for this machine"
run_to_end "$work/b"

# Compare.
# KILLTEST_TAMPER spoils the interrupted result on purpose, to see that this test notices:
# "value" changes one result by 1e-9, "missing" deletes one window, "duplicate" stores one
# window a second time under another spelling of its time.
case "${KILLTEST_TAMPER:-}" in
  value) sqlite3 "$work/b/data.db" 'UPDATE VN_PPDATA1 SET PP_VALUE = PP_VALUE + 1e-9
           WHERE rowid = (SELECT MIN(rowid) FROM VN_PPDATA1 WHERE PP_VALUE IS NOT NULL)' ;;
  missing) sqlite3 "$work/b/data.db" 'DELETE FROM VN_PPDATA1
             WHERE rowid = (SELECT MAX(rowid) FROM VN_PPDATA1)' ;;
  duplicate) sqlite3 "$work/b/data.db" "INSERT INTO VN_PPDATA1 SELECT STATION_ID, DATA_LABEL,
               FUNCTION_NAME, TIME_TAG || '.000', TIME_PERIOD, PP_VALUE, FLAG1, FLAG2, FLAG3,
               VALUE_TIME_TAG, PROCESS_TIME_TAG, SENSORNAME, ALTERNATE_LABEL
               FROM VN_PPDATA1 WHERE rowid = (SELECT MIN(rowid) FROM VN_PPDATA1)" ;;
  "") ;;
  *) fail "unknown KILLTEST_TAMPER '$KILLTEST_TAMPER'" ;;
esac
dump "$work/a/data.db" > "$work/a.dump"
dump "$work/b/data.db" > "$work/b.dump"
dup_a=$(duplicates "$work/a/data.db")
dup_b=$(duplicates "$work/b/data.db")
status=0
if ! cmp -s "$work/a.dump" "$work/b.dump"; then
  echo "VN_PPDATA1 after the interrupted runs differs from the uninterrupted run" >&2
  echo "(< uninterrupted, > interrupted; first differences):" >&2
  diff "$work/a.dump" "$work/b.dump" | head -n 40 >&2 || true
  status=1
fi
# Each entry's progress in the configuration must end where the uninterrupted run left it.
# (StartFrom is left out: it is saved with the time of the stop.)
if ! diff <(grep -a '^POLLUpdate' "$work/a/VNPostProc.VFG") \
  <(grep -a '^POLLUpdate' "$work/b/VNPostProc.VFG") >&2; then
  echo "POLLUpdate values differ (< uninterrupted, > interrupted)" >&2
  status=1
fi
if [ "$dup_a" -ne 0 ] || [ "$dup_b" -ne 0 ]; then
  echo "windows stored more than once: $dup_a uninterrupted, $dup_b interrupted" >&2
  status=1
fi

echo "catchup kill test: seed $seed; uninterrupted run ${ref_ms} ms, $ref_rows rows;" \
  "$kills kills ($mid_work mid-work) in $starts starts (delays ms: ${delays[*]})$([ "$finished_alone" -eq 1 ] &&
  echo "; finished by itself before the last kill"), $rows_before_final rows before the final" \
  "run, $(rows "$work/b/data.db") after; $(wc -l < "$work/b.dump") windows compared:" \
  "$([ "$status" -eq 0 ] && echo identical || echo DIFFERENT)"
[ "$status" -eq 0 ] || fail "interrupted catch-up does not match the uninterrupted one (seed $seed)"
