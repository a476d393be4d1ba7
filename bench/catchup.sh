#!/usr/bin/env bash
# Catch-up benchmark. Readings every 15 minutes of a water level (WL) and a rain-gauge counter
# (RAIN, rolling over at 1000) for N stations over D days up to today 00:00; three hourly
# groups: AVG and MIN of WL, DELTA of RAIN with the roll-over constant 1000 (N * D * 24
# windows with data each). For each group, times "VNPPSvc -catchup" from an empty VN_PPDATA1
# and then one set-based INSERT ... SELECT ... GROUP BY (into a table without key) that
# produces the same values in the same database, checks that both hold the same values, and
# prints windows per second for each and their ratio. For AVG it also times the set-based
# insert into a table with VN_PPDATA1's key, the cost of storing the rows at all.
#
# Usage: bench/catchup.sh [sqlite|postgresql]...   (default: both, in a private cluster)
# Environment:
#   VNPP_BENCH_ENTRIES, VNPP_BENCH_DAYS  size of the default run (200 entries, 30 days)
#   VNPP_BENCH_SWEEP=1                   50, 200 and 800 entries over 7 and 30 days instead
#   VNPP_BENCH_REPEAT=n                  times each measurement n times, shows the median
#   VNPP_BENCH_EXE                       the executable to time (default: the fresh build)
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

# $1 function, $2 sensor, $3 parameter, $4 data source, $5 file with the station IDs
write_config() {
  local n
  n=$(wc -l < "$5")
  {
    printf '[PostProcess]\r\nLogMessage=1\r\nLogDetail=1\r\nGroups=1\r\n'
    printf '[PostProcessGroup:1]\r\nFuncName=%s\r\nEnabled=1\r\nTypeInterval=0\r\n' "$1"
    printf 'StartFrom=%s\r\nParameter=%s\r\nPOLLNumber=%d\r\n' "$startfrom" "$3" "$n"
    # The configuration lists exactly the stations the generator wrote.
    awk -v s="$2" '{ printf "POLL%d=%s.%s\r\nPOLLDataLabel%d=%s\r\n", NR, $1, s, NR, s }' "$5"
    printf '[Database Settings]\r\nODBC Data Source=%s\r\n' "$4"
  } > "$home/VNPostProc.VFG"
}

# The set-based statement of each function: $1 dialect (sqlite|postgresql), $2 function,
# $3 target table.
set_sql() {
  local hour now
  if [ "$1" = sqlite ]; then
    hour="strftime('%Y-%m-%d %H:00:00', TIME_TAG)"
    now="datetime('now')"
  else
    hour="date_trunc('hour', TIME_TAG)"
    now="now()"
  fi
  local cols="STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD, PP_VALUE, PROCESS_TIME_TAG, SENSORNAME"
  case $2 in
    AVG | MIN)
      echo "INSERT INTO $3 ($cols) SELECT STATION_ID, 'WL', '$2', $hour, 1.0, $2(ED_VALUE), $now, SENSORNAME
        FROM VN_DATA1 WHERE SENSORNAME = 'WL' AND ED_VALUE IS NOT NULL
        GROUP BY STATION_ID, SENSORNAME, $hour" ;;
    DELTA)  # newest reading of the hour minus the newest one before it, plus 1000
      echo "INSERT INTO $3 ($cols) SELECT STATION_ID, 'RAIN', 'DELTA', H, 1.0,
          COALESCE(V - LAG(V) OVER (PARTITION BY STATION_ID, SENSORNAME ORDER BY H), 0) + 1000,
          $now, SENSORNAME
        FROM (SELECT STATION_ID, SENSORNAME, $hour AS H, ED_VALUE AS V, ROW_NUMBER() OVER
                (PARTITION BY STATION_ID, SENSORNAME, $hour ORDER BY TIME_TAG DESC) AS RN
              FROM VN_DATA1 WHERE SENSORNAME = 'RAIN' AND ED_VALUE IS NOT NULL) LAST_OF_HOUR
        WHERE RN = 1" ;;
  esac
}

# Rows of PP_SET without an equal value in VN_PPDATA1, plus the difference of the counts.
diff_sql() {
  echo "SELECT (SELECT COUNT(*) FROM PP_SET s LEFT JOIN VN_PPDATA1 p ON p.STATION_ID = s.STATION_ID
      AND p.FUNCTION_NAME = s.FUNCTION_NAME AND p.TIME_TAG = s.TIME_TAG
    WHERE p.PP_VALUE IS NULL OR abs(p.PP_VALUE - s.PP_VALUE) > 1e-9)
    + abs((SELECT COUNT(*) FROM PP_SET) - (SELECT COUNT(*) FROM VN_PPDATA1))"
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
    gen=(python3 scripts/gen_readings.py --stations "$entries" --sensors WL,RAIN --days "$days" --start "$start" --clean)
    case $backend in
      sqlite)
        db=$home/bench-$entries-$days.db
        rm -f "$db"*
        sqlite3 "$db" < sql/sqlite/schema.sql
        "${gen[@]}" --sqlite "$db"
        sqlite3 "$db" "ANALYZE"
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
        "${pg[@]}" -c "VACUUM ANALYZE VN_DATA1"
        sql() { "${pg[@]}" -c "$1"; }
        source_text=$VNPP_TEST_PG
        sql "CREATE TABLE PP_SET AS SELECT * FROM VN_PPDATA1 WITH NO DATA"
        sed -n '/CREATE TABLE VN_PPDATA1/,/);/p' sql/postgresql/schema.sql | sed 's/VN_PPDATA1/PP_KEYED/' | "${pg[@]}"
        clear_sql="TRUNCATE VN_PPDATA1"
        clear_set="TRUNCATE PP_SET"
        clear_keyed="TRUNCATE PP_KEYED"
        ;;
    esac
    sql "SELECT DISTINCT STATION_ID FROM VN_DATA1 ORDER BY STATION_ID" > "$work/stations.txt"
    for group in "AVG WL" "MIN WL" "DELTA RAIN 1000"; do
      read -r func sensor parameter <<< "$group"
      svc_times=() set_times=() keyed_times=()
      for ((r = 1; r <= repeat; r++)); do
        sql "$clear_sql"
        sql "$clear_set"
        write_config "$func" "$sensor" "${parameter:-}" "$source_text" "$work/stations.txt"
        t0=$(now)
        if ! "$exe" -catchup; then
          echo "VNPPSvc -catchup failed ($backend, $entries entries, $days days, $func)" >&2
          tail -n 5 "$home/LogFiles/VNPostProc.log" >&2 || true
          status=1
        fi
        t1=$(now)
        sql "$(set_sql "$backend" "$func" PP_SET)"
        t2=$(now)
        svc_times+=("$(elapsed "$t0" "$t1")")
        set_times+=("$(elapsed "$t1" "$t2")")
        if [ "$func" = AVG ]; then
          sql "$clear_keyed"
          t3=$(now)
          sql "$(set_sql "$backend" "$func" PP_KEYED)"
          keyed_times+=("$(elapsed "$t3" "$(now)")")
        fi
      done
      rows=$(sql "SELECT COUNT(*) FROM VN_PPDATA1")
      expected=$((entries * days * 24))
      bad=$(sql "$(diff_sql)")
      if [ "$bad" != 0 ] || [ "$rows" != "$expected" ]; then
        echo "$backend $entries x $days $func: $rows rows, $expected expected, $bad differ from the set-based result" >&2
        status=1
      fi
      svc=$(printf '%s\n' "${svc_times[@]}" | median)
      st=$(printf '%s\n' "${set_times[@]}" | median)
      keyed=-
      [ ${#keyed_times[@]} -gt 0 ] && keyed=$(printf '%s\n' "${keyed_times[@]}" | median)
      echo "$backend $entries $days $func $rows $svc $st $keyed $bad" >> "$results"
    done
  done
  [ "$backend" = postgresql ] && vnpp_pg_stop
done

python3 - "$results" "$repeat" <<'PY'
import sys
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
print(f"\nCatch-up against the set-based query (hourly windows; median of {sys.argv[2]} run(s))")
head = ("database", "entries", "days", "function", "windows", "service s", "service win/s",
        "set s", "set win/s", "ratio", "set+key s", "differ")
print("| " + " | ".join(head) + " |")
print("|" + "|".join("---" for _ in head) + "|")
for b, n, d, f, w, svc, st, keyed, bad in rows:
    w, svc, st = int(w), float(svc), float(st)
    k = "-" if keyed == "-" else f"{float(keyed):.2f}"
    print(f"| {b} | {n} | {d} | {f} | {w} | {svc:.2f} | {w / svc:,.0f} | {st:.2f} | "
          f"{w / st:,.0f} | {svc / st:.1f}x | {k} | {bad} |")
PY
exit "$status"
