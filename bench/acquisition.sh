#!/usr/bin/env bash
# Insert rate of the acquisition into VN_DATA1, with and without the change-log triggers
# (sql/<db>/changelog.sql). The readings are on time: VN_PPTHRESHOLD holds, for every
# station/sensor, the start of the previous hour (as the service keeps it after an hourly
# run), and every inserted reading is later, so a trigger looks its threshold up and writes
# nothing. VN_DATA1 holds two days of readings of 200 stations (WL and RAIN) before the run.
# Three ways of writing, each measured with and without the triggers, interleaved:
#   row       one single-row INSERT per transaction (autocommit), as most acquisition
#             programs write a reading as it arrives
#   tx100     100 single-row INSERTs per transaction
#   multi100  one 100-row INSERT per transaction
# SQLite: Python's sqlite3 module with bound parameters, WAL and synchronous=NORMAL (the
# service's data source settings), the rows prepared before the clock starts; CPU time is
# that of the one process, so it is the figure to compare. PostgreSQL: pgbench (prepared
# statements, one client) against a private cluster (vnpp_pg_start, fsync off), the time tag
# clock_timestamp(); the CPU time is the server's (every process of the cluster, autovacuum
# included), the wall time includes pgbench's start.
#
# Usage: bench/acquisition.sh [sqlite|postgresql]...   (default: both)
# Environment:
#   VNPP_BENCH_ROWS=n     rows per measurement (default 20000)
#   VNPP_BENCH_REPEAT=n   measurements of each kind, the median shown (default 3)
#   VNPP_BENCH_MODES      the ways of writing (default "row tx100 multi100")
# Prints one table: rows/s and µs per row without and with the triggers, and the slowdown.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
cd "$VNPP_ROOT"

backends=("$@")
[ ${#backends[@]} -eq 0 ] && backends=(sqlite postgresql)
rows=${VNPP_BENCH_ROWS:-20000}
repeat=${VNPP_BENCH_REPEAT:-3}
modes=${VNPP_BENCH_MODES:-row tx100 multi100}
stations=200

vnpp_install_packages
work=$(mktemp -d /tmp/vnpp-acq.XXXXXX)
chmod 755 "$work"
trap 'vnpp_pg_stop; rm -rf "$work"' EXIT
results=$work/results.txt
: > "$results"

start=$(date -d "$(date +%Y-%m-%d) -2 days" +%Y-%m-%d)
gen=(python3 scripts/gen_readings.py --stations "$stations" --sensors "WL,RAIN" --days 2 --start "$start")

# The median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# SQLite: $1 database, $2 mode; prints "wall-seconds cpu-seconds".
sqlite_insert() {
  python3 - "$1" "$2" "$rows" "$stations" <<'PY'
import datetime, sqlite3, sys, time
db, mode, n, stations = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
con = sqlite3.connect(db, isolation_level=None)
con.execute("PRAGMA journal_mode=WAL")
con.execute("PRAGMA synchronous=NORMAL")
base = datetime.datetime.now()
data = [{"S": "ST%03d" % (i % stations + 1), "N": ("WL", "RAIN")[i // stations % 2],
         "T": (base + datetime.timedelta(milliseconds=i)).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3],
         "V": float(i % 1000)} for i in range(n)]
one = "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES (:S, :N, :T, :V)"
many = "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES " + ", ".join(
    "(:S%d, :N%d, :T%d, :V%d)" % (k, k, k, k) for k in range(100))
batches = [{"%s%d" % (key, k): row[key] for k, row in enumerate(data[b:b + 100]) for key in row}
           for b in range(0, n, 100)] if mode == "multi100" else []
w0, c0 = time.perf_counter(), time.process_time()
if mode == "row":
    for row in data:
        con.execute(one, row)
elif mode == "tx100":
    for b in range(0, n, 100):
        con.execute("BEGIN")
        for row in data[b:b + 100]:
            con.execute(one, row)
        con.execute("COMMIT")
else:
    for batch in batches:
        con.execute("BEGIN")
        con.execute(many, batch)
        con.execute("COMMIT")
print(time.perf_counter() - w0, time.process_time() - c0)
PY
}


# PostgreSQL: $1 mode; prints "wall-seconds server-cpu-seconds".
pg_insert() {
  local script=$work/$1.sql one
  one="INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE) VALUES ('ST' || lpad(CAST(:s AS text), 3, '0'), CASE WHEN :k = 1 THEN 'WL' ELSE 'RAIN' END, clock_timestamp(), :v)"
  {
    case $1 in
      row) printf '\\set s random(1, %d)\n\\set k random(1, 2)\n\\set v random(0, 999)\n%s;\n' "$stations" "$one" ;;
      tx100)
        echo "BEGIN;"
        for ((k = 0; k < 100; k++)); do
          printf '\\set s random(1, %d)\n\\set k random(1, 2)\n\\set v random(0, 999)\n%s;\n' "$stations" "$one"
        done
        echo "COMMIT;"
        ;;
      multi100)
        printf '\\set s random(1, %d)\n' "$stations"
        echo "INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE)"
        echo "SELECT 'ST' || lpad(CAST((:s + g) % $stations + 1 AS text), 3, '0'), CASE WHEN g % 2 = 0 THEN 'WL' ELSE 'RAIN' END, clock_timestamp(), g FROM generate_series(1, 100) g;"
        ;;
    esac
  } > "$script"
  local tx=$rows
  [ "$1" = row ] || tx=$((rows / 100))
  local t0 t1 c0 c1
  c0=$(vnpp_pg_cpu)
  t0=$(date +%s.%N)
  PGPASSWORD="$VNPP_TEST_PG_PASSWORD" "$VNPP_PG_BIN/pgbench" -h 127.0.0.1 -p "$VNPP_PG_PORT" -U vnpp -n -M prepared \
    -c 1 -t "$tx" -f "$script" vnpp > "$work/pgbench.log" 2>&1 || { cat "$work/pgbench.log" >&2; return 1; }
  t1=$(date +%s.%N)
  sleep 0.2 # until the postmaster has reaped the session
  c1=$(vnpp_pg_cpu)
  python3 -c "print($t1 - $t0, $c1 - $c0)"
}

for backend in "${backends[@]}"; do
  case $backend in
    sqlite)
      db=$work/acq.db
      sqlite3 "$db" < sql/sqlite/schema.sql
      "${gen[@]}" --sqlite "$db"
      sqlite3 "$db" "PRAGMA journal_mode=WAL" > /dev/null
      sql() { sqlite3 "$db" "$1"; }
      changelog() { sqlite3 "$db" < sql/sqlite/changelog.sql; }
      triggers_sql="SELECT 'DROP TRIGGER ' || name || ';' FROM sqlite_master WHERE type = 'trigger' AND tbl_name = 'VN_DATA1'"
      threshold="strftime('%Y-%m-%d %H:00:00', 'now', 'localtime', '-1 hour')"
      insert() { sqlite_insert "$db" "$1"; }
      ;;
    postgresql)
      vnpp_pg_start "$work/pg"
      pg=(env PGPASSWORD="$VNPP_TEST_PG_PASSWORD" psql -h 127.0.0.1 -p "$VNPP_PG_PORT" -U vnpp -d vnpp -q -t -A -v ON_ERROR_STOP=1)
      "${gen[@]}" --csv |
        "${pg[@]}" -c "\\copy VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE, FLAG1, FLAG2, FLAG3, FLAG4, HIGH_HIGH_FLAG, HIGH_FLAG, LOW_FLAG, LOW_LOW_FLAG, NO_CHG_FLAG, ROC_FLAG, ALARM_FLAG, STD_DEV_FLAG, AVG_FLAG) FROM STDIN CSV"
      "${pg[@]}" -c "VACUUM ANALYZE VN_DATA1"
      sql() { "${pg[@]}" -c "$1"; }
      changelog() { "${pg[@]}" -c "SET client_min_messages TO warning" -f sql/postgresql/changelog.sql; }
      triggers_sql="SELECT 'DROP TRIGGER ' || tgname || ' ON VN_DATA1;' FROM pg_trigger WHERE tgrelid = CAST('vn_data1' AS regclass) AND NOT tgisinternal"
      threshold="date_trunc('hour', localtimestamp) - interval '1 hour'"
      insert() { pg_insert "$1"; }
      ;;
  esac
  changelog
  sql "INSERT INTO VN_PPTHRESHOLD (STATION_ID, SENSORNAME, THRESHOLD)
       SELECT DISTINCT STATION_ID, SENSORNAME, $threshold FROM VN_DATA1"
  for ((r = 1; r <= repeat; r++)); do
    for mode in $modes; do
      for trig in off on; do
        if [ "$trig" = off ]; then
          drop=$(sql "$triggers_sql")
          [ -z "$drop" ] || sql "$drop"
        else
          changelog
        fi
        read -r wall cpu <<< "$(insert "$mode")"
        echo "$backend $mode $trig $wall $cpu $(cut -d' ' -f1 /proc/loadavg)" >> "$results"
      done
    done
  done
  # On-time readings must leave the log empty.
  logged=$(sql "SELECT COUNT(*) FROM VN_PPCHANGES")
  if [ "$logged" != 0 ]; then
    echo "$backend: $logged on-time readings were logged as changes" >&2
    exit 1
  fi
  [ "$backend" = postgresql ] && vnpp_pg_stop
done

python3 - "$results" "$repeat" "$rows" <<'PY'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
n = int(sys.argv[3])
print(f"\nInsert rate into VN_DATA1, on-time readings ({n} rows per run, median of {sys.argv[2]})")
head = ("database", "writing", "time", "rows/s without", "rows/s with", "µs/row without",
        "µs/row with", "slower by", "load")
print("| " + " | ".join(head) + " |")
print("|" + "|".join("---" for _ in head) + "|")
keys = []
for r in rows:
    if (r[0], r[1]) not in keys:
        keys.append((r[0], r[1]))
for b, m in keys:
    for kind, col in (("wall", 3), ("CPU" if b == "sqlite" else "server CPU", 4)):
        t = {trig: statistics.median(float(r[col]) for r in rows if r[:3] == [b, m, trig])
             for trig in ("off", "on") if all(r[col] != "-" for r in rows if r[:2] == [b, m])}
        if len(t) < 2:
            continue
        loads = sorted(float(r[5]) for r in rows if r[:2] == [b, m])
        print(f"| {b} | {m} | {kind} | {n / t['off']:,.0f} | {n / t['on']:,.0f} | "
              f"{t['off'] / n * 1e6:.1f} | {t['on'] / n * 1e6:.1f} | "
              f"{(t['on'] / t['off'] - 1) * 100:+.1f} % | {loads[0]:.1f}–{loads[-1]:.1f} |")
PY
