# Shared by the catch-up integration tests, which run the real "VNPPSvc -catchup" over a
# generated set of readings and compare what it leaves with what one uninterrupted run leaves.
# Source it after lib_preamble.sh (its $work, fail and skip); do not run it.
#
# The sourcing script sets:
#   exe          the VNPPSvc executable (absolute path)
#   src          the source directory
#   stations     stations per group (each has the sensors WL, RAIN and TEMP)
#   startfrom    StartFrom of every group, "mm/dd/yyyy hh:nn:ss"
#   run_timeout  seconds a run that is left to finish may take
# shellcheck shell=bash
# The variables above come from the sourcing script; run_rc and pid go back to it.
# shellcheck disable=SC2154,SC2034

# $1 database file, $2 days, $3 first day (YYYY-MM-DD): the tables and $stations stations
# of readings every 15 minutes, with the generator's few NULL values and flagged readings.
make_readings_sqlite() {
  sqlite3 "$1" < "$src/sql/sqlite/schema.sql"
  python3 "$src/scripts/gen_readings.py" --sqlite "$1" --stations "$stations" --days "$2" \
    --step 15 --start "$3" --seed 7
  sqlite3 "$1" 'PRAGMA wal_checkpoint(TRUNCATE);' >/dev/null
}

# $1 SQLite database file: its ODBC connection string.
sqlite_source() {
  printf 'Driver=SQLite3;Database=%s;NoCreat=1;JournalMode=WAL;SyncPragma=NORMAL' "$1"
}

# $1 home directory, $2 ODBC data source: the log directory and a configuration with an
# hourly AVG, an hourly DELTA and a daily MAX group over every station. No entry has a
# POLLUpdate yet, so each group's StartFrom decides where every entry begins.
make_home() {
  local home=$1 source=$2
  mkdir -p "$home/LogFiles"
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
    printf '[Database Settings]\r\nODBC Data Source=%s\r\n' "$source"
  } > "$home/VNPostProc.VFG"
}

# A catch-up processes the hourly windows up to the present hour, so every entry's last
# POLLUpdate names the hour in which the run ran, and a run in a later hour stores the
# windows of the hours in between too. The tests compare only the windows that end by the
# start of the hour in which the reference run started ($cutoff, "YYYY-MM-DD HH:00:00"),
# and progress capped at it, so that runs on either side of an hour boundary compare.
# Call it right before the reference run.
mark_cutoff() {
  cutoff=$(date +'%Y-%m-%d %H:00:00')
}

# $1 home directory: shows the end of the run's output and of its log.
show_run() {
  echo "--- output of $exe -catchup in $1:" >&2
  tail -n 20 "$1.output.txt" >&2 2>/dev/null || true
  echo "--- last lines of its log:" >&2
  tail -n 20 "$1/LogFiles/VNPostProc.log" >&2 2>/dev/null || true
}

# $1 home directory. Runs -catchup to the end; fails the test unless it exits 0. The output
# goes to "$1.output.txt", outside the home, which a fault may make unwritable.
run_to_end() {
  local rc=0
  VNPPSVC_HOME=$1 timeout "$run_timeout" "$exe" -catchup >>"$1.output.txt" 2>&1 || rc=$?
  if [ "$rc" -ne 0 ]; then
    show_run "$1"
    fail "VNPPSvc -catchup in $1 exited with $rc"
  fi
}

# $1 home directory. Starts -catchup in the background (output as in run_to_end); its pid
# goes to $pid.
start_catchup() {
  VNPPSVC_HOME=$1 "$exe" -catchup >>"$1.output.txt" 2>&1 &
  pid=$!
}

# Waits for the run in $pid to end, at most $run_timeout seconds (then it is killed and the
# result is 124). Sets $run_rc to its exit code and clears $pid. (Not in a command
# substitution: a subshell cannot wait for this shell's child.)
wait_catchup() {
  local waited=0
  run_rc=0
  while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt $((run_timeout * 10)) ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    run_rc=124
  else
    wait "$pid" 2>/dev/null || run_rc=$?
  fi
  pid=""
}

# $1 a command that prints a row count, $2 the count to exceed. Returns once the count is
# higher (0), or when the run in $pid has ended or 30 s have passed (1).
wait_for_rows() {
  local count=$1 above=$2 i n
  for ((i = 0; i < 1500; i++)); do
    n=$($count 2>/dev/null) || n=0
    [ "${n:-0}" -gt "$above" ] && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.02
  done
  return 1
}

# $1 milliseconds: sleeps that long.
sleep_ms() {
  sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"
}

# $1 database: every result row of a window that ends by $cutoff, in key order, all columns
# but PROCESS_TIME_TAG, each value quoted so that NULL, text and numbers stay distinct and
# reals keep every digit.
dump_sqlite() {
  sqlite3 "$1" "SELECT quote(STATION_ID), quote(DATA_LABEL), quote(FUNCTION_NAME),
      quote(TIME_TAG), quote(TIME_PERIOD), quote(PP_VALUE), quote(FLAG1), quote(FLAG2),
      quote(FLAG3), quote(VALUE_TIME_TAG), quote(SENSORNAME), quote(ALTERNATE_LABEL)
    FROM VN_PPDATA1
    WHERE datetime(TIME_TAG, CAST(CAST(round(TIME_PERIOD * 3600) AS INTEGER) AS TEXT) ||
                   ' seconds') <= '$cutoff'
    ORDER BY STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD"
}

# $1 database: windows stored more than once. The time is compared as a time, so that two
# spellings of one instant (with and without milliseconds) count as the same window.
duplicates_sqlite() {
  sqlite3 "$1" "SELECT COUNT(*) FROM (SELECT 1 FROM VN_PPDATA1
    GROUP BY STATION_ID, DATA_LABEL, FUNCTION_NAME, datetime(TIME_TAG), TIME_PERIOD
    HAVING COUNT(*) > 1)"
}

rows_sqlite() {
  sqlite3 "$1" 'SELECT COUNT(*) FROM VN_PPDATA1'
}

# $1 configuration file: "section|POLLUpdateN=value" for every entry's progress, sorted,
# the value as "YYYY-MM-DD hh:nn:ss" and capped at $cutoff. StartFrom is left out: it is
# saved with the time of the stop.
poll_updates() {
  awk -v cutoff="$cutoff" '{ sub(/\r$/, "") } /^\[/ { section = $0; next }
       /^POLLUpdate[0-9]+=/ {
         eq = index($0, "="); key = substr($0, 1, eq - 1); v = substr($0, eq + 1)
         split(v, dt, " "); split(dt[1], d, "/")
         t = (dt[2] == "" ? "00:00:00" : dt[2])
         iso = sprintf("%s-%s-%s %s", d[3], d[1], d[2], t)
         if (cutoff != "" && iso > cutoff) iso = cutoff
         print section "|" key "=" iso
       }' "$1" | LC_ALL=C sort
}

# $1 reference dump, $2 dump to check, $3 reference configuration, $4 configuration to
# check (dumps as dump_sqlite prints them, one window a line, "|" between the columns).
# Prints what differs, with counts, and returns 1 when anything does.
compare_results() {
  local ref=$1 got=$2 ref_cfg=$3 got_cfg=$4
  local d=$work/compare
  mkdir -p "$d"
  LC_ALL=C sort "$ref" > "$d/ref"
  LC_ALL=C sort "$got" > "$d/got"
  cut -d'|' -f1-5 "$d/ref" | LC_ALL=C sort -u > "$d/ref.keys"
  cut -d'|' -f1-5 "$d/got" | LC_ALL=C sort -u > "$d/got.keys"
  LC_ALL=C comm -23 "$d/ref.keys" "$d/got.keys" > "$d/missing"
  LC_ALL=C comm -13 "$d/ref.keys" "$d/got.keys" > "$d/extra"
  local missing extra changed entries
  missing=$(wc -l < "$d/missing")
  extra=$(wc -l < "$d/extra")
  changed=$(( $(LC_ALL=C comm -23 "$d/ref" "$d/got" | wc -l) - missing ))
  entries=$(cut -d'|' -f1-3 "$d/missing" | LC_ALL=C sort -u | wc -l)
  poll_updates "$ref_cfg" > "$d/ref.poll"
  poll_updates "$got_cfg" > "$d/got.poll"
  local poll_total poll_differ
  poll_total=$(wc -l < "$d/ref.poll")
  poll_differ=$(LC_ALL=C comm -23 "$d/ref.poll" "$d/got.poll" | wc -l)
  echo "VN_PPDATA1: expected $(wc -l < "$d/ref") rows, found $(wc -l < "$d/got");" \
    "$missing windows missing (in $entries station/label/function entries), $extra extra," \
    "$changed with another value. POLLUpdate: $poll_differ of $poll_total entries differ."
  if [ "$missing" -ne 0 ] || [ "$extra" -ne 0 ] || [ "$changed" -ne 0 ]; then
    echo "first differences of VN_PPDATA1 (< uninterrupted, > checked):" >&2
    diff "$d/ref" "$d/got" | head -n 12 >&2 || true
    [ "$missing" -eq 0 ] || {
      echo "missing windows per entry (first, last, count):" >&2
      awk -F'|' '{ k = $1 "|" $2 "|" $3; if (!(k in first)) { first[k] = $4; order[n++] = k }
                   last[k] = $4; count[k]++ }
                 END { for (i = 0; i < n && i < 8; i++) print "  " order[i], first[order[i]],
                       last[order[i]], count[order[i]] }' "$d/missing" >&2
    }
  fi
  if [ "$poll_differ" -ne 0 ]; then
    echo "first differing POLLUpdate values (< uninterrupted, > checked):" >&2
    diff "$d/ref.poll" "$d/got.poll" | head -n 8 >&2 || true
  fi
  [ "$missing" -eq 0 ] && [ "$extra" -eq 0 ] && [ "$changed" -eq 0 ] && [ "$poll_differ" -eq 0 ]
}
