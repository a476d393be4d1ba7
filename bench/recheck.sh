#!/usr/bin/env bash
# Recheck benchmark: the steady state of an hourly AVG group of a water level (WL, readings
# every 15 minutes) whose entries are one window behind, as at a scheduled run. The readings
# (D days up to the current hour) carry the change log's triggers; after one untimed catch-up
# with ChangeLog=1 (which sets the thresholds), each entry's progress and threshold are set
# back one hour and its newest row removed; from that state (restored before every run, so
# each run computes the same new window) it times "VNPPSvc -catchup" five ways:
#   (a) without RecheckWindows: one new window per entry;
#   (b) RecheckWindows=R, no reading changed: the R windows before the new one computed again,
#       nothing written for them;
#   (c) RecheckWindows=R with 1 % of those windows changed (one reading each, chosen at random
#       with a fixed seed): exactly their rows are updated;
#   (d) ChangeLog=1, no reading changed: the change log is read and holds nothing;
#   (e) ChangeLog=1 with 1 % of the last 30 days' windows changed (one reading each, updated
#       in VN_DATA1 so that the triggers log it): exactly their rows are updated.
# After every run it checks that each entry's progress reached the current hour, that the
# rows modified (PROCESS_TIME_TAG, PP_VALUE or presence differs from the restored state) are
# exactly the new window's rows plus, in (c) and (e), the changed windows' rows, that the
# service's log reports the same changes, and that the rows of the rechecked and the new
# windows, and in (e) those of the changed windows, equal a set-based AVG of the readings. Prints one markdown table: medians of
# the wall time and of the service's CPU time (user + system), the ratios to (a), and the
# load-independent counts; on PostgreSQL also the rows the statements wrote
# (pg_stat_user_tables: inserted + updated + deleted).
#
# The current hour must not end during the runs (a run would then compute two windows): the
# script waits for the next hour when less than VNPP_BENCH_MARGIN minutes are left, and fails
# when an hour passed anyway.
#
# Usage: bench/recheck.sh [sqlite|postgresql]...   (default: both, PostgreSQL in a private
#   cluster)
# Environment:
#   VNPP_BENCH_ENTRIES  station/sensor entries (2000)
#   VNPP_BENCH_DAYS     days of readings before today (31; (e) changes the last 30 of them)
#   VNPP_BENCH_RECHECK  RecheckWindows of (b) and (c) (24)
#   VNPP_BENCH_REPEAT   runs of each case, the table shows the median (3)
#   VNPP_BENCH_MARGIN   minutes the current hour must still have at the start (12)
#   VNPP_BENCH_TMP      directory for the work directory (/tmp)
#   VNPP_BENCH_EXE      the executable to time (default: the fresh build)
#   VNPP_BENCH_KEEP=1   keeps the work directory (databases, configurations, logs)
# Exits 1 when a check fails or a run fails.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
cd "$VNPP_ROOT"

backends=("$@")
[ ${#backends[@]} -eq 0 ] && backends=(sqlite postgresql)
entries=${VNPP_BENCH_ENTRIES:-2000}
days=${VNPP_BENCH_DAYS:-31}
recheck=${VNPP_BENCH_RECHECK:-24}
repeat=${VNPP_BENCH_REPEAT:-3}
margin=${VNPP_BENCH_MARGIN:-12}
changed=$((entries * recheck / 100))
[ "$changed" -ge 1 ] || changed=1
# The windows before the new one where (e) changes readings: the last 30 days.
month=$((days * 24 < 720 ? days * 24 : 720))
changed_m=$((entries * month / 100))
[ "$changed_m" -ge 1 ] || changed_m=1

vnpp_install_packages
if [ -z "${VNPP_BENCH_EXE:-}" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target VNPPSvc -j "$(nproc)" >/dev/null
fi
exe=${VNPP_BENCH_EXE:-$VNPP_ROOT/build/default/VNPPSvc}

work=$(mktemp -d "${VNPP_BENCH_TMP:-/tmp}/vnpp-recheck.XXXXXX")
chmod 755 "$work"
if [ "${VNPP_BENCH_KEEP:-0}" = 1 ]; then
  trap 'vnpp_pg_stop; echo "Work directory kept: $work" >&2' EXIT
else
  trap 'vnpp_pg_stop; rm -rf "$work"' EXIT
fi
vnpp_odbc_env "$work/odbc-trace"
printf '[ODBC]\nTrace=Yes\nTraceFile=%s/odbc.trace\n' "$work" >> "$work/odbc-trace/odbcinst.ini"
vnpp_odbc_env "$work/odbc"
results=$work/results.txt
: > "$results"
status=0

fail() {
  echo "FAIL: $*" >&2
  status=1
}

# The median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Epoch seconds as the local time stamp of the readings and as a POLLUpdate value.
tag() { date -d "@$1" '+%Y-%m-%d %H:%M:%S'; }
pollupdate() { date -d "@$1" '+%m/%d/%Y %H:%M:%S'; }

# Runs the executable (its arguments after $1, the file for its standard error), prints the
# wall time in seconds, its CPU time (user + system) in seconds, the kilobytes it wrote to
# storage (the kernel's count of its block output) and its exit code.
timed() {
  python3 - "$@" <<'PY'
import os, subprocess, sys, time
with open(sys.argv[1], "w") as err:
    t0 = time.monotonic()
    p = subprocess.Popen(sys.argv[2:], stdout=subprocess.DEVNULL, stderr=err)
    _, status, ru = os.wait4(p.pid, 0)
    wall = time.monotonic() - t0
print(f"{wall:.4f} {ru.ru_utime + ru.ru_stime:.4f} {ru.ru_oublock // 2} "
      f"{os.waitstatus_to_exitcode(status)}")
PY
}

# Statements executed and transactions ended in the ODBC trace $1: "statements transactions".
traced_calls() {
  awk '/\[(SQLExecute|SQLExecDirect)\.c\]/ { call = "s"; next }
       /\[SQLEndTran\.c\]/ { call = "t"; next }
       call != "" && /Entry:/ { if (call == "s") s++; else t++ }
       { call = "" }
       END { print s + 0, t + 0 }' "$1"
}

# Waits for the next hour when the current one has less than $margin minutes left.
minute=$((10#$(date +%M)))
if [ $((60 - minute)) -lt "$margin" ]; then
  wait_s=$(((60 - minute) * 60 - 10#$(date +%S) + 5))
  echo "Waiting ${wait_s} s for the next hour (less than $margin minutes left in this one)" >&2
  sleep "$wait_s"
fi
hour_s=$(date -d "$(date '+%Y-%m-%d %H:00:00')" +%s)  # the current hour: the progress to reach
new_s=$((hour_s - 3600))                               # the new window of every run
from_s=$((new_s - recheck * 3600))                     # the first rechecked window
hour_tag=$(tag "$hour_s") new_tag=$(tag "$new_s") from_tag=$(tag "$from_s")
start=$(date -d "$(date +%Y-%m-%d) -$days days" +%Y-%m-%d)
startfrom=$(date -d "$start" +%m/%d/%Y)" 00:00:00"
steps=$(((hour_s - $(date -d "$start" +%s)) / 900))  # readings of each entry
month_s=$((new_s - month * 3600))                    # the first window (e) may change

# $1 data source, $2 RecheckWindows (empty: none), $3 file with the station IDs
write_config() {
  {
    printf '[PostProcess]\r\nLogMessage=1\r\nLogDetail=1\r\nGroups=1\r\n'
    printf '[PostProcessGroup:1]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\n'
    printf 'StartFrom=%s\r\nParameter=\r\nPOLLNumber=%d\r\n' "$startfrom" "$(wc -l < "$3")"
    [ -n "$2" ] && printf 'RecheckWindows=%s\r\n' "$2"
    awk '{ printf "POLL%d=%s.WL\r\nPOLLDataLabel%d=WL\r\n", NR, $1, NR }' "$3"
    printf '[Database Settings]\r\nODBC Data Source=%s\r\n' "$1"
  } > "$home/VNPostProc.VFG"
}

# Sets every POLLUpdate of the configuration to $1.
set_progress() {
  sed -i "s|^\(POLLUpdate[0-9]*=\).*\r\$|\1$1\r|" "$home/VNPostProc.VFG"
}

# Entries whose POLLUpdate is not $1.
progress_off() {
  tr -d '\r' < "$home/VNPostProc.VFG" | awk -F= -v want="$1" \
    '/^POLLUpdate[0-9]+=/ { n++; if ($2 != want) bad++ } END { print bad + 0, n + 0 }'
}

# Sums "(u updated, i inserted, d deleted)" of the log's recheck lines: "u i d lines".
logged_changes() {
  grep -o '\(late\|corrected\) readings changed [0-9]* windows of [^ ]* ([0-9]* updated, [0-9]* inserted, [0-9]* deleted)' \
    "$home/LogFiles/VNPostProc.log" 2>/dev/null |
    sed 's/.*(\([0-9]*\) updated, \([0-9]*\) inserted, \([0-9]*\) deleted)/\1 \2 \3/' |
    awk '{ u += $1; i += $2; d += $3; n++ } END { print u + 0, i + 0, d + 0, n + 0 }'
}

for backend in "${backends[@]}"; do
  home=$work/$backend
  mkdir -p "$home/LogFiles"
  export VNPPSVC_HOME=$home VNPPSVC_INSTANCE=VNPostProcessor-recheck-$$
  # The readings, set-based: every 15 minutes from the start to the current hour, a level
  # that differs between stations and readings; then the change log's tables and triggers.
  level="2.0 + (S.N % 97) * 0.03 + ((T.I * 7 + S.N * 13) % 101) * 0.01"
  # Windows of the recheck and the new window: [from, hour).
  # base: VN_PPDATA1 as restored before each run; CHOSEN: the changed windows' readings.
  case $backend in
    sqlite)
      db=$home/run.db
      base=$home/base.db
      sqlite3 "$base" < sql/sqlite/schema.sql
      sqlite3 "$base" "DROP INDEX VN_DATA1_STATION_SENSOR_TIME;
        WITH RECURSIVE S(N) AS (SELECT 1 UNION ALL SELECT N + 1 FROM S WHERE N < $entries),
          T(I) AS (SELECT 0 UNION ALL SELECT I + 1 FROM T WHERE I < $steps - 1)
        INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE)
          SELECT printf('ST%04d', S.N), 'WL', datetime('$start 00:00:00', '+' || (T.I * 15) || ' minutes'),
            round($level, 2) FROM S CROSS JOIN T;
        CREATE INDEX VN_DATA1_STATION_SENSOR_TIME ON VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG)"
      sqlite3 "$base" < sql/sqlite/changelog.sql
      sqlite3 "$base" "ANALYZE"
      sql() { sqlite3 "$db" "$1"; }
      source_text="Driver=SQLite3;Database=$db;NoCreat=1;JournalMode=WAL;SyncPragma=NORMAL"
      hour_expr="strftime('%Y-%m-%d %H:00:00', TIME_TAG)"
      hour_after="datetime(c.TIME_TAG, '+1 hour')"
      cp "$base" "$db"
      ;;
    postgresql)
      vnpp_pg_start "$work/pg"
      pg=(env PGPASSWORD="$VNPP_TEST_PG_PASSWORD" psql -h 127.0.0.1 -p "$VNPP_PG_PORT" -U vnpp -d vnpp -q -t -A -v ON_ERROR_STOP=1)
      "${pg[@]}" -c "DROP INDEX VN_DATA1_STATION_SENSOR_TIME" \
        -c "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE)
          SELECT 'ST' || lpad(CAST(S.N AS TEXT), 4, '0'), 'WL', TIMESTAMP '$start 00:00:00' + T.I * INTERVAL '15 minutes',
            $level FROM generate_series(1, $entries) AS S (N), generate_series(0, $steps - 1) AS T (I)
          ORDER BY S.N, T.I" \
        -c "CREATE INDEX VN_DATA1_STATION_SENSOR_TIME ON VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG)"
      "${pg[@]}" -f sql/postgresql/changelog.sql
      "${pg[@]}" -c "VACUUM ANALYZE VN_DATA1"
      sql() { "${pg[@]}" -c "$1"; }
      source_text=$VNPP_TEST_PG
      hour_expr="date_trunc('hour', TIME_TAG)"
      hour_after="c.TIME_TAG + INTERVAL '1 hour'"
      ;;
  esac
  sql "SELECT DISTINCT STATION_ID FROM VN_DATA1 ORDER BY STATION_ID" > "$work/stations.txt"

  # The untimed catch-up with the change log (which sets the thresholds), then every entry
  # one window behind: its progress, its threshold and its rows as before a scheduled run.
  write_config "$source_text" "" "$work/stations.txt"
  sed -i 's|^\[PostProcess\]\r$|[PostProcess]\r\nChangeLog=1\r|' "$home/VNPostProc.VFG"
  if ! "$exe" -catchup 2> "$home/catchup.err"; then
    fail "$backend: the first catch-up failed"; tail -n 5 "$home/LogFiles/VNPostProc.log" >&2 || true
    continue
  fi
  read -r off n <<< "$(progress_off "$(pollupdate "$hour_s")")"
  if [ "$off" != 0 ] || [ "$n" != "$entries" ]; then
    fail "$backend: after the first catch-up $off of $n entries are not at $(pollupdate "$hour_s")"
    continue
  fi
  thresholds=$(sql "SELECT COUNT(*) FROM VN_PPTHRESHOLD WHERE THRESHOLD = '$hour_tag'")
  [ "$thresholds" = "$entries" ] || { fail "$backend: $thresholds thresholds at $hour_tag after the first catch-up"; continue; }
  sql "DELETE FROM VN_PPDATA1 WHERE TIME_TAG >= '$new_tag'"
  sql "UPDATE VN_PPTHRESHOLD SET THRESHOLD = '$new_tag'"
  sql "DELETE FROM VN_PPCHANGES"
  set_progress "$(pollupdate "$new_s")"
  cp "$home/VNPostProc.VFG" "$home/changelog.VFG"
  grep -q '^ChangeLog=1' "$home/changelog.VFG" || { fail "ChangeLog not written"; continue; }
  sed '/^ChangeLog=1\r$/d' "$home/changelog.VFG" > "$home/plain.VFG"
  sed "s|^\(Parameter=.*\)\r\$|\1\r\nRecheckWindows=$recheck\r|" "$home/plain.VFG" > "$home/recheck.VFG"
  grep -q "^RecheckWindows=$recheck" "$home/recheck.VFG" || { fail "RecheckWindows not written"; continue; }

  # The changed windows: one reading each (the one at the window's start) gets 0.5 more. In
  # CHOSEN those of (c), among the rechecked windows; in CHOSEN_M those of (e), among the last
  # month's.
  choose() {
    python3 - "$work/stations.txt" "$@" <<'PY'
import datetime, random, sys
stations = [l.strip() for l in open(sys.argv[1]) if l.strip()]
table, windows, changed, first = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
picks = sorted(random.Random(11).sample(range(len(stations) * windows), changed))
values = ",\n".join("('%s', '%s')" % (stations[p // windows],
                    datetime.datetime.fromtimestamp(first + (p % windows) * 3600).strftime("%Y-%m-%d %H:%M:%S"))
                    for p in picks)
print("CREATE TABLE %s (STATION_ID VARCHAR(64), TIME_TAG TIMESTAMP);" % table)
print("INSERT INTO %s VALUES\n%s;" % (table, values))
PY
  }
  { choose CHOSEN "$recheck" "$changed" "$from_s"; choose CHOSEN_M "$month" "$changed_m" "$month_s"; } > "$home/chosen.sql"
  change_sql() {
    echo "UPDATE VN_DATA1 SET ED_VALUE = ED_VALUE + 0.5 WHERE SENSORNAME = 'WL'
      AND (STATION_ID, TIME_TAG) IN (SELECT STATION_ID, TIME_TAG FROM $1)"
  }
  case $backend in
    sqlite)
      sqlite3 "$db" < "$home/chosen.sql"
      sqlite3 "$db" "PRAGMA wal_checkpoint(TRUNCATE)" >/dev/null
      mv "$db" "$base"
      rm -f "$db-wal" "$db-shm"
      for c in c e; do
        chosen=CHOSEN
        [ "$c" = e ] && chosen=CHOSEN_M
        cp "$base" "$home/changed-$c.db"
        sqlite3 "$home/changed-$c.db" "$(change_sql $chosen); PRAGMA wal_checkpoint(TRUNCATE)" >/dev/null
        rm -f "$home/changed-$c.db-wal" "$home/changed-$c.db-shm"
      done
      ;;
    postgresql)
      "${pg[@]}" -f "$home/chosen.sql"
      sql "CREATE TABLE PP_BASE AS SELECT * FROM VN_PPDATA1"
      for chosen in CHOSEN CHOSEN_M; do
        sql "CREATE TABLE SAVED_$chosen AS SELECT d.STATION_ID, d.TIME_TAG, d.ED_VALUE FROM VN_DATA1 d
          JOIN $chosen c ON d.STATION_ID = c.STATION_ID AND d.TIME_TAG = c.TIME_TAG WHERE d.SENSORNAME = 'WL'"
      done
      ;;
  esac
  for c in c e; do
    chosen=CHOSEN want=$changed
    [ "$c" = e ] && chosen=CHOSEN_M want=$changed_m
    readings_changed=$(
      if [ "$backend" = sqlite ]; then
        sqlite3 "$home/changed-$c.db" "ATTACH '$base' AS b; SELECT COUNT(*) FROM VN_DATA1 d JOIN b.VN_DATA1 o
          ON o.STATION_ID = d.STATION_ID AND o.SENSORNAME = d.SENSORNAME AND o.TIME_TAG = d.TIME_TAG
          WHERE d.ED_VALUE <> o.ED_VALUE"
      else
        sql "SELECT COUNT(*) FROM SAVED_$chosen"
      fi)
    [ "$readings_changed" = "$want" ] || fail "$backend ($c): $readings_changed readings changed, $want meant"
  done
  if [ "$backend" = sqlite ]; then
    logged=$(sqlite3 "$home/changed-e.db" "SELECT COUNT(*) FROM VN_PPCHANGES")
    [ "$logged" = "$changed_m" ] || fail "sqlite (e): the triggers logged $logged changes, $changed_m meant"
  fi
  pg_state=plain
  all_chosen="SELECT STATION_ID, TIME_TAG FROM CHOSEN UNION ALL SELECT STATION_ID, TIME_TAG FROM CHOSEN_M"

  # Restores the state before a run: $1 a to e.
  reset() {
    case $backend in
      sqlite)
        rm -f "$db" "$db-wal" "$db-shm"
        case $1 in
          c | e) cp "$home/changed-$1.db" "$db" ;;
          *) cp "$base" "$db" ;;
        esac
        ;;
      postgresql)
        if [ "$pg_state" != plain ]; then
          sql "UPDATE VN_DATA1 d SET ED_VALUE = s.ED_VALUE FROM SAVED_$pg_state s WHERE d.SENSORNAME = 'WL'
            AND d.STATION_ID = s.STATION_ID AND d.TIME_TAG = s.TIME_TAG"
          pg_state=plain
        fi
        # Only the new window's rows and the changed windows' may differ (the check after
        # each run compares the whole table).
        sql "DELETE FROM VN_PPDATA1 WHERE TIME_TAG >= '$new_tag' OR (STATION_ID, TIME_TAG) IN ($all_chosen)"
        sql "INSERT INTO VN_PPDATA1 SELECT * FROM PP_BASE WHERE (STATION_ID, TIME_TAG) IN ($all_chosen)"
        sql "UPDATE VN_PPTHRESHOLD SET THRESHOLD = '$new_tag' WHERE THRESHOLD <> '$new_tag'"
        sql "DELETE FROM VN_PPCHANGES"
        case $1 in
          c) pg_state=CHOSEN ;;
          e) pg_state=CHOSEN_M ;;
        esac
        [ "$pg_state" != plain ] && sql "$(change_sql "$pg_state")"
        for t in VN_PPDATA1 VN_DATA1 VN_PPCHANGES VN_PPTHRESHOLD; do sql "VACUUM ANALYZE $t"; done
        ;;
    esac
    case $1 in
      a) cp "$home/plain.VFG" "$home/VNPostProc.VFG" ;;
      b | c) cp "$home/recheck.VFG" "$home/VNPostProc.VFG" ;;
      *) cp "$home/changelog.VFG" "$home/VNPostProc.VFG" ;;
    esac
    : > "$home/LogFiles/VNPostProc.log"
  }

  # Rows modified against the restored state (new, deleted, or another PROCESS_TIME_TAG or
  # PP_VALUE): "all rows, rows before the new window, those of them not in $2, windows of $2
  # without a modified row". $1: the table or schema of the restored state, $2: the table of
  # the changed windows.
  modified() {
    local b=$1 chosen=$2 cond="n.PROCESS_TIME_TAG = o.PROCESS_TIME_TAG AND n.PP_VALUE = o.PP_VALUE"
    local keyq="n.STATION_ID = o.STATION_ID AND n.DATA_LABEL = o.DATA_LABEL AND n.FUNCTION_NAME = o.FUNCTION_NAME AND n.TIME_TAG = o.TIME_TAG AND n.TIME_PERIOD = o.TIME_PERIOD"
    local mod="SELECT n.STATION_ID, n.TIME_TAG FROM VN_PPDATA1 n WHERE NOT EXISTS (SELECT 1 FROM $b o WHERE $keyq AND $cond)
      UNION ALL SELECT o.STATION_ID, o.TIME_TAG FROM $b o WHERE NOT EXISTS (SELECT 1 FROM VN_PPDATA1 n WHERE $keyq)"
    local q="SELECT (SELECT COUNT(*) FROM M), (SELECT COUNT(*) FROM M WHERE TIME_TAG < '$new_tag'),
      (SELECT COUNT(*) FROM M WHERE TIME_TAG < '$new_tag' AND NOT EXISTS (SELECT 1 FROM $chosen c
         WHERE c.STATION_ID = M.STATION_ID AND c.TIME_TAG = M.TIME_TAG)),
      (SELECT COUNT(*) FROM $chosen c WHERE NOT EXISTS (SELECT 1 FROM M WHERE c.STATION_ID = M.STATION_ID
         AND c.TIME_TAG = M.TIME_TAG))"
    if [ "$backend" = sqlite ]; then
      sqlite3 -separator ' ' "$db" "ATTACH '$base' AS b; WITH M AS ($mod) $q"
    else
      sql "CREATE TEMP VIEW M AS $mod; $q" | tr '|' ' '
    fi
  }

  # Windows in [from, hour) whose stored row differs from a set-based AVG of today's readings
  # (or is missing on either side), and the rows there.
  fresh_diff() {
    sql "WITH F AS (SELECT STATION_ID, $hour_expr AS H, AVG(ED_VALUE) AS V FROM VN_DATA1
        WHERE SENSORNAME = 'WL' AND ED_VALUE IS NOT NULL AND TIME_TAG >= '$from_tag' AND TIME_TAG < '$hour_tag'
        GROUP BY STATION_ID, $hour_expr),
      P AS (SELECT STATION_ID, TIME_TAG, PP_VALUE FROM VN_PPDATA1 WHERE FUNCTION_NAME = 'AVG'
        AND TIME_TAG >= '$from_tag' AND TIME_TAG < '$hour_tag')
      SELECT (SELECT COUNT(*) FROM F LEFT JOIN P ON P.STATION_ID = F.STATION_ID AND P.TIME_TAG = F.H
          WHERE P.PP_VALUE IS NULL OR abs(P.PP_VALUE - F.V) > 1e-9)
        + (SELECT COUNT(*) FROM P) - (SELECT COUNT(*) FROM F), (SELECT COUNT(*) FROM P)" | tr '|' ' '
  }

  # Windows of CHOSEN_M whose stored row differs from an AVG of their readings (or is missing).
  chosen_diff() {
    sql "SELECT COUNT(*) FROM CHOSEN_M c LEFT JOIN VN_PPDATA1 p ON p.STATION_ID = c.STATION_ID
        AND p.TIME_TAG = c.TIME_TAG AND p.FUNCTION_NAME = 'AVG'
      WHERE p.PP_VALUE IS NULL OR abs(p.PP_VALUE - (SELECT AVG(d.ED_VALUE) FROM VN_DATA1 d
        WHERE d.STATION_ID = c.STATION_ID AND d.SENSORNAME = 'WL' AND d.ED_VALUE IS NOT NULL
          AND d.TIME_TAG >= c.TIME_TAG AND d.TIME_TAG < $hour_after)) > 1e-9"
  }

  pg_written() {
    sql "SELECT n_tup_ins + n_tup_upd + n_tup_del FROM pg_stat_user_tables WHERE relname = 'vn_ppdata1'"
  }

  declare -A wall cpu kbs
  for c in a b c d e; do wall[$c]="" cpu[$c]="" kbs[$c]=""; done
  for ((r = 1; r <= repeat; r++)); do
    for c in a b c d e; do
      reset "$c"
      written_before=0
      if [ "$backend" = postgresql ]; then sleep 1; written_before=$(pg_written); fi
      read -r w u kb rc <<< "$(timed "$home/run.err" "$exe" -catchup)"
      [ "$rc" = 0 ] || { fail "$backend ($c) run $r: VNPPSvc -catchup exited $rc"; tail -n 5 "$home/LogFiles/VNPostProc.log" >&2 || true; }
      wall[$c]+="$w " cpu[$c]+="$u " kbs[$c]+="$kb "
      written=-
      if [ "$backend" = postgresql ]; then
        sleep 1
        written=$(($(pg_written) - written_before))
      fi
      read -r off n <<< "$(progress_off "$(pollupdate "$hour_s")")"
      [ "$off" = 0 ] || fail "$backend ($c) run $r: $off of $n entries not at $(pollupdate "$hour_s") (did an hour pass?)"
      chosen=CHOSEN
      [ "$c" = e ] && chosen=CHOSEN_M
      if [ "$backend" = sqlite ]; then
        read -r mod mod_old stray missed <<< "$(modified b.VN_PPDATA1 $chosen)"
      else
        read -r mod mod_old stray missed <<< "$(modified PP_BASE $chosen)"
      fi
      read -r bad fresh_rows <<< "$(fresh_diff)"
      [ "$c" = e ] && bad=$((bad + $(chosen_diff)))
      read -r lu li ld llines <<< "$(logged_changes)"
      want_old=0
      [ "$c" = c ] && want_old=$changed
      [ "$c" = e ] && want_old=$changed_m
      if [ "$c" = d ] || [ "$c" = e ]; then
        raised=$(sql "SELECT COUNT(*) FROM VN_PPTHRESHOLD WHERE THRESHOLD = '$hour_tag'")
        [ "$raised" = "$entries" ] || fail "$backend ($c) run $r: $raised of $entries thresholds raised to $hour_tag"
      fi
      [ "$mod" = $((entries + want_old)) ] || fail "$backend ($c) run $r: $mod rows modified, $((entries + want_old)) expected"
      [ "$mod_old" = "$want_old" ] || fail "$backend ($c) run $r: $mod_old rows of rechecked windows modified, $want_old expected"
      [ "$stray" = 0 ] || fail "$backend ($c) run $r: $stray modified rows outside the changed windows"
      if [ "$want_old" != 0 ] && [ "$missed" != 0 ]; then fail "$backend ($c) run $r: $missed changed windows without a new row"; fi
      [ "$bad" = 0 ] || fail "$backend ($c) run $r: $bad windows in [$from_tag, $hour_tag) differ from a fresh computation"
      [ "$fresh_rows" = $((entries * (recheck + 1))) ] || fail "$backend ($c) run $r: $fresh_rows rows in [$from_tag, $hour_tag), $((entries * (recheck + 1))) expected"
      [ "$((lu + li + ld))" = "$want_old" ] || fail "$backend ($c) run $r: the log reports $((lu + li + ld)) changed rows, $want_old expected"
      if [ "$r" = 1 ]; then
        echo "$backend $c $mod $mod_old $lu/$li/$ld $written $bad" >> "$results.$c"
      fi
    done
  done
  for c in a b c d e; do
    # One more run of each case, untimed, through the driver manager's trace.
    reset "$c"
    rm -f "$work/odbc.trace"
    ODBCSYSINI=$work/odbc-trace "$exe" -catchup 2> "$home/run.err" || fail "$backend ($c): the traced run failed"
    read -r statements transactions <<< "$(traced_calls "$work/odbc.trace")"
    rm -f "$work/odbc.trace"
    read -r _ _ mod mod_old logged written bad < "$results.$c"
    rw=$(printf '%s\n' ${wall[$c]} | median)
    rc=$(printf '%s\n' ${cpu[$c]} | median)
    rk=$(printf '%s\n' ${kbs[$c]} | median)
    caseload=$(cut -d' ' -f1 /proc/loadavg)
    echo "$backend $c $rw $rc $rk $statements $transactions $mod $mod_old $logged $written $bad $caseload" >> "$results"
    rm -f "$results.$c"
  done
  [ "$backend" = postgresql ] && vnpp_pg_stop
done

load=$(cut -d' ' -f1-3 /proc/loadavg)
python3 - "$results" "$repeat" "$entries" "$days" "$recheck" "$changed" "$load" "$month" "$changed_m" <<'PY'
import sys
path, repeat, entries, days, recheck, changed, load, month, changed_m = sys.argv[1:]
rows = [l.split() for l in open(path) if l.strip()]
print(f"\nOne scheduled run of an hourly AVG group, {entries} entries, {days} days of readings, "
      f"RecheckWindows={recheck} in (b) and (c), {changed} changed windows in (c), "
      f"ChangeLog=1 in (d) and (e), {int(changed_m):,} changed windows of the last {month} in (e); "
      f"median of {repeat} runs; load average {load} at the end, the 1-minute load after each "
      f"case's runs in the last column")
head = ("database", "run", "wall s", "wall vs (a)", "CPU s", "CPU vs (a)", "statements",
        "transactions", "KB written", "rows modified", "of them rechecked", "logged upd/ins/del",
        "rows written (server)", "differ from fresh", "load")
print("| " + " | ".join(head) + " |")
print("|" + "|".join("---" for _ in head) + "|")
names = {"a": "(a) no recheck", "b": f"(b) recheck, nothing changed",
         "c": f"(c) recheck, {changed} windows changed", "d": "(d) change log, nothing changed",
         "e": f"(e) change log, {int(changed_m):,} windows changed"}
base = {}
for b, c, w, u, kb, st, tr, mod, old, logged, written, bad, caseload in rows:
    w, u = float(w), float(u)
    if c == "a":
        base[b] = (w, u)
    bw, bu = base.get(b, (w, u))
    db = {"sqlite": "SQLite", "postgresql": "PostgreSQL"}.get(b, b)
    print(f"| {db} | {names[c]} | {w:.2f} | {w / bw:.2f}x | {u:.2f} | {u / bu:.2f}x | "
          f"{int(st):,} | {int(tr):,} | {float(kb):,.0f} | {int(mod):,} | {int(old):,} | {logged} | "
          f"{written if written == '-' else format(int(written), ',')} | {bad} | {caseload} |")
PY
exit "$status"
