#!/usr/bin/env bash
# Catch-up benchmark: 200 station/sensor entries, 30 days of readings every 15 minutes
# (576,000 rows), one hourly AVG group (144,000 windows with data). Times
# "VNPPSvc -catchup" from an empty VN_PPDATA1, then the same results produced by one
# set-based INSERT ... SELECT ... GROUP BY in the same database, checks that both hold the
# same values, and prints windows per second for each and their ratio.
# Runs in SQLite (WAL) and in a private PostgreSQL cluster. Usage: bench/catchup.sh [sqlite|postgresql]...
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
cd "$VNPP_ROOT"

backends=("$@")
[ ${#backends[@]} -eq 0 ] && backends=(sqlite postgresql)
entries=${VNPP_BENCH_ENTRIES:-200}
days=${VNPP_BENCH_DAYS:-30}

vnpp_install_packages
cmake --preset default >/dev/null
cmake --build --preset default --target VNPPSvc -j "$(nproc)" >/dev/null
exe=$VNPP_ROOT/build/default/VNPPSvc

work=$(mktemp -d /tmp/vnpp-bench.XXXXXX)
chmod 755 "$work"
trap 'vnpp_pg_stop; rm -rf "$work"' EXIT
vnpp_odbc_env "$work/odbc"

start=$(date -d "$(date +%Y-%m-%d) -$days days" +%Y-%m-%d)
startfrom=$(date -d "$start" +%m/%d/%Y)" 00:00:00"

write_config() {  # $1 data source
  {
    printf '[PostProcess]\r\nLogMessage=1\r\nLogDetail=1\r\nGroups=1\r\n'
    printf '[PostProcessGroup:1]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\nStartFrom=%s\r\nPOLLNumber=%d\r\n' "$startfrom" "$entries"
    for i in $(seq 1 "$entries"); do
      printf 'POLL%d=ST%03d.WL\r\nPOLLDataLabel%d=WL\r\n' "$i" "$i" "$i"
    done
    printf '[Database Settings]\r\nODBC Data Source=%s\r\n' "$1"
  } > "$home/VNPostProc.VFG"
}

now() { date +%s.%N; }
report() {  # backend, rows, service seconds, set seconds, mismatches
  python3 - "$@" <<'PY'
import sys
b, rows, svc, st, bad = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), sys.argv[5]
print(f"{b}: {rows} windows with results")
print(f"  VNPPSvc -catchup : {svc:8.2f} s  {rows / svc:10.0f} windows/s")
print(f"  set-based INSERT : {st:8.2f} s  {rows / st:10.0f} windows/s")
print(f"  ratio            : {svc / st:8.1f} x slower than set-based")
print(f"  differing values : {bad}")
PY
}

for backend in "${backends[@]}"; do
  home=$work/$backend
  mkdir -p "$home/LogFiles"
  export VNPPSVC_HOME=$home VNPPSVC_INSTANCE=VNPostProcessor-bench-$$
  case $backend in
    sqlite)
      db=$home/bench.db
      sqlite3 "$db" < sql/sqlite/schema.sql
      python3 scripts/gen_readings.py --sqlite "$db" --stations "$entries" --sensors WL \
        --days "$days" --start "$start" --clean
      write_config "Driver=SQLite3;Database=$db;NoCreat=1;JournalMode=WAL;SyncPragma=NORMAL"
      t0=$(now); "$exe" -catchup; t1=$(now)
      sqlite3 "$db" "CREATE TABLE PP_SET AS SELECT * FROM VN_PPDATA1 WHERE 0"
      t2=$(now)
      sqlite3 "$db" "INSERT INTO PP_SET (STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD, PP_VALUE, PROCESS_TIME_TAG, SENSORNAME)
        SELECT STATION_ID, 'WL', 'AVG', strftime('%Y-%m-%d %H:00:00', TIME_TAG), 1.0, AVG(ED_VALUE), datetime('now'), SENSORNAME
        FROM VN_DATA1 WHERE ED_VALUE IS NOT NULL GROUP BY STATION_ID, SENSORNAME, strftime('%Y-%m-%d %H:00:00', TIME_TAG)"
      t3=$(now)
      rows=$(sqlite3 "$db" "SELECT COUNT(*) FROM VN_PPDATA1")
      bad=$(sqlite3 "$db" "SELECT (SELECT COUNT(*) FROM PP_SET s LEFT JOIN VN_PPDATA1 p ON p.STATION_ID = s.STATION_ID AND p.TIME_TAG = s.TIME_TAG
        WHERE p.PP_VALUE IS NULL OR abs(p.PP_VALUE - s.PP_VALUE) > 1e-9) + abs((SELECT COUNT(*) FROM PP_SET) - (SELECT COUNT(*) FROM VN_PPDATA1))")
      ;;
    postgresql)
      vnpp_pg_start "$work/pg"
      pg=(env PGPASSWORD="$VNPP_TEST_PG_PASSWORD" psql -h 127.0.0.1 -p "$VNPP_PG_PORT" -U vnpp -d vnpp -q -t -A -v ON_ERROR_STOP=1)
      python3 scripts/gen_readings.py --csv --stations "$entries" --sensors WL --days "$days" \
        --start "$start" --clean |
        "${pg[@]}" -c "\\copy VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE, FLAG1, FLAG2, FLAG3, FLAG4, HIGH_HIGH_FLAG, HIGH_FLAG, LOW_FLAG, LOW_LOW_FLAG, NO_CHG_FLAG, ROC_FLAG, ALARM_FLAG, STD_DEV_FLAG, AVG_FLAG) FROM STDIN CSV"
      "${pg[@]}" -c "ANALYZE VN_DATA1"
      write_config "$VNPP_TEST_PG"
      t0=$(now); "$exe" -catchup; t1=$(now)
      "${pg[@]}" -c "CREATE TABLE PP_SET AS SELECT * FROM VN_PPDATA1 WITH NO DATA"
      t2=$(now)
      "${pg[@]}" -c "INSERT INTO PP_SET (STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD, PP_VALUE, PROCESS_TIME_TAG, SENSORNAME)
        SELECT STATION_ID, 'WL', 'AVG', date_trunc('hour', TIME_TAG), 1.0, AVG(ED_VALUE), now(), SENSORNAME
        FROM VN_DATA1 WHERE ED_VALUE IS NOT NULL GROUP BY STATION_ID, SENSORNAME, date_trunc('hour', TIME_TAG)"
      t3=$(now)
      rows=$("${pg[@]}" -c "SELECT COUNT(*) FROM VN_PPDATA1")
      bad=$("${pg[@]}" -c "SELECT (SELECT COUNT(*) FROM PP_SET s LEFT JOIN VN_PPDATA1 p ON p.STATION_ID = s.STATION_ID AND p.TIME_TAG = s.TIME_TAG
        WHERE p.PP_VALUE IS NULL OR abs(p.PP_VALUE - s.PP_VALUE) > 1e-9) + abs((SELECT COUNT(*) FROM PP_SET) - (SELECT COUNT(*) FROM VN_PPDATA1))")
      vnpp_pg_stop
      ;;
  esac
  report "$backend" "$rows" "$(python3 -c "print($t1 - $t0)")" "$(python3 -c "print($t3 - $t2)")" "$bad"
done
