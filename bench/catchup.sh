#!/usr/bin/env bash
# Catch-up benchmark. Readings every 15 minutes of a water level (WL) and a rain-gauge counter
# (RAIN, rolling over at 1000) for N stations over D days up to today 00:00, with the
# generator's NULL values and flagged readings and a few more flags (below); three hourly
# groups: AVG and MIN of WL, and DELTA of RAIN with the roll-over constant 1000 over unflagged
# readings only (DataType=1). Every other entry has an alternate label. For each group, times
# "VNPPSvc -catchup" from an empty VN_PPDATA1, then one set-based INSERT ... SELECT computed
# independently from the readings into a table without key and into one with VN_PPDATA1's
# key (the cost of storing the rows at all), and prints windows per second and the ratios.
# AVG_RULE is AVG with a completeness rule on (ReadingInterval=00:15:00, MinCoverage=75,
# MaxGap=01:00:00, IncompleteWindows=Flag): every window is still stored, so its rows match the
# set-based AVG in all but the flags; its time beside AVG's is what the rule costs (goal: at
# most 10 % more).
#
# The set-based result is compared with the service's column for column: every column that
# the service stores except PROCESS_TIME_TAG (the key with TIME_PERIOD exact, PP_VALUE to
# 1e-9 relative, VALUE_TIME_TAG to the millisecond, labels, SENSORNAME and the flags), and
# the row counts; any difference fails the run.
#
# Usage: bench/catchup.sh [sqlite|postgresql]...   (default: both, in a private cluster)
# Environment:
#   VNPP_BENCH_ENTRIES, VNPP_BENCH_DAYS  size of the default run (200 entries, 30 days)
#   VNPP_BENCH_SWEEP=1                   50, 200 and 800 entries over 7 and 30 days instead
#   VNPP_BENCH_REPEAT=n                  times each measurement n times, shows the median
#   VNPP_BENCH_FUNCTIONS="AVG AVG_RULE MIN DELTA" the groups to run
#   VNPP_BENCH_EXE                       the executable to time (default: the fresh build)
#   VNPP_BENCH_TAMPER=column             spoils one service row before the comparison
#                                        (PP_VALUE, VALUE_TIME_TAG, TIME_PERIOD, DATA_LABEL,
#                                        ALTERNATE_LABEL), to see that the comparison fails
# Exits 1 when a result differs from the set-based one or a catch-up fails.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
cd "$VNPP_ROOT"

backends=("$@")
[ ${#backends[@]} -eq 0 ] && backends=(sqlite postgresql)
repeat=${VNPP_BENCH_REPEAT:-1}
if [ "${VNPP_BENCH_SWEEP:-0}" = 1 ]; then
  sizes=("50 7" "50 30" "200 7" "200 30" "800 7" "800 30")
else
  sizes=("${VNPP_BENCH_ENTRIES:-200} ${VNPP_BENCH_DAYS:-30}")
fi

vnpp_install_packages
if [ -z "${VNPP_BENCH_EXE:-}" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target VNPPSvc -j "$(nproc)" >/dev/null
fi
exe=${VNPP_BENCH_EXE:-$VNPP_ROOT/build/default/VNPPSvc}

work=$(mktemp -d /tmp/vnpp-bench.XXXXXX)
chmod 755 "$work"
trap 'vnpp_pg_stop; rm -rf "$work"' EXIT
vnpp_odbc_env "$work/odbc"
results=$work/results.txt
: > "$results"
status=0

now() { date +%s.%N; }
elapsed() { python3 -c "print($2 - $1)"; }


# Sets cpu_total to the CPU seconds spent so far by this script's ended children (the
# service, sqlite3, psql) plus, on PostgreSQL, by the server: on a loaded machine the CPU
# times compare better than the wall times. Called in this shell, not in $( ), so that
# "times" sees this shell's children.
cpu_mark() {
  times > "$work/times"
  cpu_total=$(awk 'function s(x) { sub(/s$/, "", x); split(x, a, "m"); return a[1] * 60 + a[2] }
    NR == 2 { print s($1) + s($2) }' "$work/times")
  [ "$backend" != postgresql ] || cpu_total=$(awk -v a="$cpu_total" -v b="$(vnpp_pg_cpu)" 'BEGIN { print a + b }')
}

# $1 function, $2 sensor, $3 parameter, $4 data type, $5 data source, $6 file with the
# station IDs
write_config() {
  local n
  n=$(wc -l < "$6")
  {
    printf '[PostProcess]\r\nLogMessage=1\r\nLogDetail=1\r\nGroups=1\r\n'
    printf '[PostProcessGroup:1]\r\nFuncName=%s\r\nEnabled=1\r\nTypeInterval=0\r\n' "$1"
    printf 'StartFrom=%s\r\nParameter=%s\r\nDataType=%s\r\nPOLLNumber=%d\r\n' "$startfrom" "$3" "$4" "$n"
    [ -z "$rule_keys" ] || printf '%s' "$rule_keys"
    # The configuration lists exactly the stations the generator wrote.
    awk -v s="$2" '{ printf "POLL%d=%s.%s\r\nPOLLDataLabel%d=%s_%s\r\n", NR, $1, s, NR, s, $1
      if (substr($1, 3) % 2 == 0) printf "POLLAltLabel%d=ALT_%s\r\n", NR, $1 }' "$6"
    printf '[Database Settings]\r\nODBC Data Source=%s\r\n' "$5"
  } > "$home/VNPostProc.VFG"
}

# Readings left out with DataType=1: a flag text other than a blank, or a flag number other
# than 0. In a window NO_CHG_FLAG counts and ROC_FLAG does not; for the reading before the
# window it is the other way round. $1: the flag that does not count.
unflagged() {
  local f c
  for f in FLAG1 FLAG2 FLAG3 FLAG4; do c+=" AND ($f IS NULL OR $f = ' ')"; done
  for f in HIGH_HIGH_FLAG HIGH_FLAG LOW_FLAG LOW_LOW_FLAG NO_CHG_FLAG ROC_FLAG ALARM_FLAG STD_DEV_FLAG AVG_FLAG; do
    [ "$f" = "$1" ] || c+=" AND ($f IS NULL OR $f = 0)"
  done
  echo "$c"
}

# The set-based statement of each function: $1 dialect (sqlite|postgresql), $2 function,
# $3 target table. Each row is one hour of one station with at least one reading with a
# value (after the flag rule of the group); TIME_PERIOD is (end - start) * 24 of the window
# in the service's date-time numbers (days since 1899-12-30 as built from whole seconds,
# 31047 being 1984-12-31), computed once per window, not per reading. Each is the fastest of
# the forms tried on 200 entries x 30 days (see the README): one pass over the readings
# grouped by station and hour, the hour taken from the text of the time tag on SQLite (no
# date function per reading) and by date_trunc on PostgreSQL.
set_sql() {
  local key hour secs now cols alt period w p
  if [ "$1" = sqlite ]; then
    # The time tags are text "YYYY-MM-DD HH:MM:SS[.mmm]": the hour is their first 13
    # characters, and every tag of hour K sorts before K || ':60'.
    key="substr(TIME_TAG, 1, 13)"
    hour="K || ':00:00'"
    secs="unixepoch(K || ':00:00') - unixepoch('1984-12-31')"
    now="datetime('now')"
  else
    key="date_trunc('hour', TIME_TAG)"
    hour="K"
    secs="CAST(extract(epoch FROM K - timestamp '1984-12-31') AS bigint)"
    now="now()"
  fi
  local day="CAST(86400 AS double precision)" base="CAST(31047 AS double precision)"
  period="(($base + (S + 3600) / $day) - ($base + S / $day)) * 24"
  cols="STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD, PP_VALUE, VALUE_TIME_TAG, PROCESS_TIME_TAG, SENSORNAME, ALTERNATE_LABEL"
  # The stations of even number have an alternate label.
  alt="CASE WHEN CAST(substr(STATION_ID, 3) AS integer) % 2 = 0 THEN 'ALT_' || STATION_ID END"
  # The readings a DELTA window counts, and those that may be the reading before it.
  w="ED_VALUE IS NOT NULL $(unflagged ROC_FLAG)"
  p="TRUE $(unflagged NO_CHG_FLAG)"
  case $1-$2 in
    *-AVG)
      echo "INSERT INTO $3 ($cols) SELECT STATION_ID, 'WL_' || STATION_ID, 'AVG', H, $period, V, NULL, $now, 'WL', $alt
        FROM (SELECT STATION_ID, $hour AS H, $secs AS S, V
          FROM (SELECT STATION_ID, $key AS K, AVG(ED_VALUE) AS V FROM VN_DATA1
                WHERE SENSORNAME = 'WL' AND ED_VALUE IS NOT NULL GROUP BY STATION_ID, K) A) B" ;;
    # MIN: the smallest value and the time of its oldest reading. SQLite: the minimum per
    # hour, then the oldest reading of that value by the index (faster than ROW_NUMBER or
    # a window MIN; the bare column beside MIN() leaves ties to chance).
    sqlite-MIN)
      echo "INSERT INTO $3 ($cols) SELECT STATION_ID, 'WL_' || STATION_ID, 'MIN', H, $period, V,
          (SELECT MIN(R.TIME_TAG) FROM VN_DATA1 R WHERE R.STATION_ID = B.STATION_ID AND R.SENSORNAME = 'WL'
             AND R.TIME_TAG >= H AND R.TIME_TAG < K || ':60' AND R.ED_VALUE = V), $now, 'WL', $alt
        FROM (SELECT STATION_ID, K, $hour AS H, $secs AS S, V
          FROM (SELECT STATION_ID, $key AS K, MIN(ED_VALUE) AS V FROM VN_DATA1
                WHERE SENSORNAME = 'WL' AND ED_VALUE IS NOT NULL GROUP BY STATION_ID, K) A) B" ;;
    # PostgreSQL: DISTINCT ON in the order value, time (faster than ROW_NUMBER or the look-up).
    postgresql-MIN)
      echo "INSERT INTO $3 ($cols) SELECT STATION_ID, 'WL_' || STATION_ID, 'MIN', H, $period, V, T, $now, 'WL', $alt
        FROM (SELECT STATION_ID, $hour AS H, $secs AS S, V, T
          FROM (SELECT DISTINCT ON (STATION_ID, $key) STATION_ID, $key AS K, ED_VALUE AS V, TIME_TAG AS T
                FROM VN_DATA1 WHERE SENSORNAME = 'WL' AND ED_VALUE IS NOT NULL
                ORDER BY STATION_ID, $key, ED_VALUE, TIME_TAG) A) B" ;;
    # DELTA: the newest counted reading of the hour minus the newest possible reading before
    # the hour (0 when that one has no value or there is none), plus 1000. SQLite: the newest
    # reading per hour as the bare column beside MAX(TIME_TAG) (the time tags of a sensor are
    # distinct), the one before by the index.
    sqlite-DELTA)
      echo "INSERT INTO $3 ($cols) SELECT STATION_ID, 'RAIN_' || STATION_ID, 'DELTA', H, $period,
          COALESCE(V - (SELECT P.ED_VALUE FROM VN_DATA1 P WHERE P.STATION_ID = L.STATION_ID
              AND P.SENSORNAME = 'RAIN' AND P.TIME_TAG < L.H $(unflagged NO_CHG_FLAG)
              ORDER BY P.TIME_TAG DESC LIMIT 1), 0) + 1000, NULL, $now, 'RAIN', $alt
        FROM (SELECT STATION_ID, $hour AS H, $secs AS S, V
          FROM (SELECT STATION_ID, $key AS K, MAX(TIME_TAG), ED_VALUE AS V FROM VN_DATA1
                WHERE SENSORNAME = 'RAIN' AND $w GROUP BY STATION_ID, K) A) L" ;;
    # PostgreSQL: per hour the newest counted and the newest possible previous reading, in
    # one pass over all rain readings; the one before an hour is then the previous hour's
    # (LAG), looked up by the index only when that hour has none.
    postgresql-DELTA)
      echo "INSERT INTO $3 ($cols) SELECT STATION_ID, 'RAIN_' || STATION_ID, 'DELTA', H, $period,
          COALESCE(V - CASE WHEN PH THEN PV ELSE (SELECT P.ED_VALUE FROM VN_DATA1 P
              WHERE P.STATION_ID = L.STATION_ID AND P.SENSORNAME = 'RAIN' AND P.TIME_TAG < L.H
              $(unflagged NO_CHG_FLAG) ORDER BY P.TIME_TAG DESC LIMIT 1) END, 0) + 1000,
          NULL, $now, 'RAIN', $alt
        FROM (SELECT STATION_ID, $hour AS H, $secs AS S, HW, V, LAG(HP) OVER W AS PH, LAG(PV) OVER W AS PV
          FROM (SELECT STATION_ID, $key AS K, bool_or($w) AS HW,
                  (array_agg(ED_VALUE ORDER BY TIME_TAG DESC) FILTER (WHERE $w))[1] AS V,
                  bool_or($p) AS HP, (array_agg(ED_VALUE ORDER BY TIME_TAG DESC) FILTER (WHERE $p))[1] AS PV
                FROM VN_DATA1 WHERE SENSORNAME = 'RAIN' GROUP BY STATION_ID, K) G
          WINDOW W AS (PARTITION BY STATION_ID ORDER BY K)) L
        WHERE HW" ;;
  esac
}

# Rows of PP_SET without an equal row in VN_PPDATA1, plus the difference of the counts. The
# key matches exactly; $1 dialect, $2 "rule" when the group has a completeness rule (FLAG2
# then holds every row's coverage, FLAG1 may mark it), else every flag is NULL.
diff_sql() {
  local same flags="OR p.FLAG1 IS NOT NULL OR p.FLAG2 IS NOT NULL OR p.FLAG3 IS NOT NULL"
  [ "${2:-}" = rule ] && flags="OR p.FLAG2 IS NULL OR p.FLAG3 IS NOT NULL"
  if [ "$1" = sqlite ]; then
    same="IS"
    stamp() { echo "strftime('%Y-%m-%d %H:%M:%f', $1)"; }
  else
    same="IS NOT DISTINCT FROM"
    stamp() { echo "date_trunc('milliseconds', $1)"; }
  fi
  echo "SELECT (SELECT COUNT(*) FROM PP_SET s LEFT JOIN VN_PPDATA1 p ON p.STATION_ID = s.STATION_ID
      AND p.DATA_LABEL = s.DATA_LABEL AND p.FUNCTION_NAME = s.FUNCTION_NAME
      AND p.TIME_TAG = s.TIME_TAG AND p.TIME_PERIOD = s.TIME_PERIOD
    WHERE p.PP_VALUE IS NULL OR abs(p.PP_VALUE - s.PP_VALUE) > 1e-9 * (1 + abs(s.PP_VALUE))
      OR NOT ($(stamp p.VALUE_TIME_TAG) $same $(stamp s.VALUE_TIME_TAG))
      OR NOT (p.SENSORNAME $same s.SENSORNAME) OR NOT (p.ALTERNATE_LABEL $same s.ALTERNATE_LABEL)
      $flags)
    + abs((SELECT COUNT(*) FROM PP_SET) - (SELECT COUNT(*) FROM VN_PPDATA1))"
}

# A few more flags than the generator sets, the same in both databases: NO_CHG_FLAG and
# ROC_FLAG on some rain readings (often the newest of its hour), a blank FLAG1 (not a flag)
# on some others. $1 dialect.
more_flags_sql() {
  local minute hour number
  if [ "$1" = sqlite ]; then
    minute="CAST(strftime('%M', TIME_TAG) AS INTEGER)"
    hour="CAST(strftime('%H', TIME_TAG) AS INTEGER)"
    number="CAST(substr(STATION_ID, 3) AS INTEGER)"
  else
    minute="CAST(extract(minute FROM TIME_TAG) AS integer)"
    hour="CAST(extract(hour FROM TIME_TAG) AS integer)"
    number="CAST(substr(STATION_ID, 3) AS integer)"
  fi
  echo "UPDATE VN_DATA1 SET NO_CHG_FLAG = 1 WHERE SENSORNAME = 'RAIN' AND $minute = 45 AND ($hour + $number) % 7 = 0;
    UPDATE VN_DATA1 SET ROC_FLAG = 1 WHERE SENSORNAME = 'RAIN' AND $minute = 45 AND ($hour + $number) % 7 = 3;
    UPDATE VN_DATA1 SET FLAG1 = ' ' WHERE SENSORNAME = 'RAIN' AND $minute IN (0, 30) AND ($hour + $number) % 5 = 1;"
}

# $1 column: spoils it in one row of VN_PPDATA1 (VNPP_BENCH_TAMPER).
tamper_sql() {
  local one="(SELECT MIN(TIME_TAG) FROM VN_PPDATA1)"
  case $1 in
    PP_VALUE) echo "UPDATE VN_PPDATA1 SET PP_VALUE = PP_VALUE + 1e-6 WHERE TIME_TAG = $one" ;;
    VALUE_TIME_TAG) echo "UPDATE VN_PPDATA1 SET VALUE_TIME_TAG = NULL WHERE TIME_TAG = $one" ;;
    TIME_PERIOD) echo "UPDATE VN_PPDATA1 SET TIME_PERIOD = 1 WHERE TIME_TAG = $one" ;;
    DATA_LABEL) echo "UPDATE VN_PPDATA1 SET DATA_LABEL = 'X' || DATA_LABEL WHERE TIME_TAG = $one" ;;
    ALTERNATE_LABEL) echo "UPDATE VN_PPDATA1 SET ALTERNATE_LABEL = NULL WHERE TIME_TAG = $one" ;;
    *) echo "unknown VNPP_BENCH_TAMPER '$1'" >&2; exit 2 ;;
  esac
}

# The median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for backend in "${backends[@]}"; do
  home=$work/$backend
  mkdir -p "$home/LogFiles"
  export VNPPSVC_HOME=$home VNPPSVC_INSTANCE=VNPostProcessor-bench-$$
  if [ "$backend" = postgresql ]; then
    vnpp_pg_start "$work/pg"
    pg=(env PGPASSWORD="$VNPP_TEST_PG_PASSWORD" psql -h 127.0.0.1 -p "$VNPP_PG_PORT" -U vnpp -d vnpp -q -t -A -v ON_ERROR_STOP=1)
  fi
  for size in "${sizes[@]}"; do
    read -r entries days <<< "$size"
    start=$(date -d "$(date +%Y-%m-%d) -$days days" +%Y-%m-%d)
    startfrom=$(date -d "$start" +%m/%d/%Y)" 00:00:00"
    # shellcheck disable=SC2054 # the commas belong to --sensors
    gen=(python3 scripts/gen_readings.py --stations "$entries" --sensors WL,RAIN --days "$days" --start "$start")
    case $backend in
      sqlite)
        db=$home/bench-$entries-$days.db
        rm -f "$db"*
        sqlite3 "$db" < sql/sqlite/schema.sql
        "${gen[@]}" --sqlite "$db"
        sqlite3 "$db" "$(more_flags_sql sqlite) ANALYZE"
        sql() { sqlite3 "$db" "$1"; }
        source_text="Driver=SQLite3;Database=$db;NoCreat=1;JournalMode=WAL;SyncPragma=NORMAL"
        sql "CREATE TABLE PP_SET AS SELECT * FROM VN_PPDATA1 WHERE 0"
        sed -n '/CREATE TABLE VN_PPDATA1/,/);/p' sql/sqlite/schema.sql | sed 's/VN_PPDATA1/PP_KEYED/' | sqlite3 "$db"
        clear_sql="DELETE FROM VN_PPDATA1"
        clear_set="DELETE FROM PP_SET"
        clear_keyed="DELETE FROM PP_KEYED"
        ;;
      postgresql)
        "${pg[@]}" -c "SET client_min_messages TO warning" -c "DROP TABLE IF EXISTS PP_SET" -c "DROP TABLE IF EXISTS PP_KEYED" -c "TRUNCATE VN_DATA1, VN_PPDATA1"
        "${gen[@]}" --csv |
          "${pg[@]}" -c "\\copy VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE, FLAG1, FLAG2, FLAG3, FLAG4, HIGH_HIGH_FLAG, HIGH_FLAG, LOW_FLAG, LOW_LOW_FLAG, NO_CHG_FLAG, ROC_FLAG, ALARM_FLAG, STD_DEV_FLAG, AVG_FLAG) FROM STDIN CSV"
        "${pg[@]}" -c "$(more_flags_sql postgresql)"
        "${pg[@]}" -c "VACUUM ANALYZE VN_DATA1"
        sql() { "${pg[@]}" -c "$1"; }
        source_text=$VNPP_TEST_PG
        sql "CREATE TABLE PP_SET AS SELECT * FROM VN_PPDATA1 WITH NO DATA"
        sed -n '/CREATE TABLE VN_PPDATA1/,/);/p' sql/postgresql/schema.sql | sed 's/VN_PPDATA1/PP_KEYED/' | "${pg[@]}"
        # No autovacuum of the result tables inside a measurement (its CPU would count).
        for table in VN_PPDATA1 PP_SET PP_KEYED; do
          sql "ALTER TABLE $table SET (autovacuum_enabled = false)"
        done
        clear_sql="TRUNCATE VN_PPDATA1"
        clear_set="TRUNCATE PP_SET"
        clear_keyed="TRUNCATE PP_KEYED"
        ;;
    esac
    sql "SELECT DISTINCT STATION_ID FROM VN_DATA1 ORDER BY STATION_ID" > "$work/stations.txt"
    for func in ${VNPP_BENCH_FUNCTIONS:-AVG AVG_RULE MIN DELTA}; do
      rule_keys="" setfunc=$func
      case $func in
        AVG | MIN) sensor=WL parameter="" datatype=0 ;;
        AVG_RULE)
          sensor=WL parameter="" datatype=0 setfunc=AVG
          rule_keys=$'ReadingInterval=00:15:00\r\nMinCoverage=75\r\nMaxGap=01:00:00\r\nIncompleteWindows=Flag\r\n'
          ;;
        DELTA) sensor=RAIN parameter=1000 datatype=1 ;;
      esac
      svc_times=() set_times=() keyed_times=() svc_cpus=() set_cpus=() keyed_cpus=()
      for ((r = 1; r <= repeat; r++)); do
        sql "$clear_sql"
        sql "$clear_set"
        sql "$clear_keyed"
        write_config "$setfunc" "$sensor" "$parameter" "$datatype" "$source_text" "$work/stations.txt"
        cpu_mark
        c0=$cpu_total
        t0=$(now)
        if ! "$exe" -catchup; then
          echo "VNPPSvc -catchup failed ($backend, $entries entries, $days days, $func)" >&2
          tail -n 5 "$home/LogFiles/VNPostProc.log" >&2 || true
          status=1
        fi
        t1=$(now)
        sleep 0.2 # until the postmaster has reaped the service's sessions
        cpu_mark
        c1=$cpu_total
        u1=$(now)
        sql "$(set_sql "$backend" "$setfunc" PP_SET)"
        t2=$(now)
        sleep 0.2
        cpu_mark
        c2=$cpu_total
        u2=$(now)
        sql "$(set_sql "$backend" "$setfunc" PP_KEYED)"
        t3=$(now)
        sleep 0.2
        cpu_mark
        c3=$cpu_total
        svc_times+=("$(elapsed "$t0" "$t1")")
        set_times+=("$(elapsed "$u1" "$t2")")
        keyed_times+=("$(elapsed "$u2" "$t3")")
        svc_cpus+=("$(elapsed "$c0" "$c1")")
        set_cpus+=("$(elapsed "$c1" "$c2")")
        keyed_cpus+=("$(elapsed "$c2" "$c3")")
      done
      [ -n "${VNPP_BENCH_TAMPER:-}" ] && sql "$(tamper_sql "$VNPP_BENCH_TAMPER")"
      rows=$(sql "SELECT COUNT(*) FROM VN_PPDATA1")
      expected=$(sql "SELECT COUNT(*) FROM PP_SET")
      bad=$(sql "$(diff_sql "$backend" "$([ -n "$rule_keys" ] && echo rule)")")
      if [ "$bad" != 0 ] || [ "$rows" != "$expected" ] || [ "$rows" -lt $((entries * days * 24 * 9 / 10)) ]; then
        echo "$backend $entries x $days $func: $rows rows, $expected set-based, $bad differ from the set-based result" >&2
        status=1
      fi
      svc=$(printf '%s\n' "${svc_times[@]}" | median)
      st=$(printf '%s\n' "${set_times[@]}" | median)
      keyed=$(printf '%s\n' "${keyed_times[@]}" | median)
      cpus="$(printf '%s\n' "${svc_cpus[@]}" | median) $(printf '%s\n' "${set_cpus[@]}" | median)"
      cpus+=" $(printf '%s\n' "${keyed_cpus[@]}" | median)"
      echo "$backend $entries $days $func $rows $svc $st $keyed $bad $(cut -d' ' -f1 /proc/loadavg) $cpus" >> "$results"
    done
  done
  [ "$backend" = postgresql ] && vnpp_pg_stop
done

python3 - "$results" "$repeat" <<'PY'
import sys
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
print(f"\nCatch-up against the set-based query (hourly windows; median of {sys.argv[2]} run(s); "
      "CPU: the process's, on PostgreSQL plus the server's; load: 1-minute average at the end)")
head = ("database", "entries", "days", "function", "windows", "service s", "service win/s",
        "set s", "set+key s", "ratio keyless", "ratio keyed", "service CPU s", "set CPU s",
        "set+key CPU s", "CPU ratio keyless", "CPU ratio keyed", "differ", "load")
print("| " + " | ".join(head) + " |")
print("|" + "|".join("---" for _ in head) + "|")
for b, n, d, f, w, svc, st, keyed, bad, load, csvc, cst, ckeyed in rows:
    w, svc, st, keyed = int(w), float(svc), float(st), float(keyed)
    csvc, cst, ckeyed = float(csvc), float(cst), float(ckeyed)
    print(f"| {b} | {n} | {d} | {f} | {w} | {svc:.2f} | {w / svc:,.0f} | {st:.2f} | "
          f"{keyed:.2f} | {svc / st:.2f}x | {svc / keyed:.2f}x | {csvc:.2f} | {cst:.2f} | "
          f"{ckeyed:.2f} | {csvc / cst:.2f}x | {csvc / ckeyed:.2f}x | {bad} | {load} |")
PY
exit "$status"
