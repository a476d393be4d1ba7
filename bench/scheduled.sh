#!/usr/bin/env bash
# Cost of a run over many entries on SQLite, and of its progress write-back. One hourly AVG
# group of N entries, each standing H hours behind the start of the present hour, with four
# readings per entry and hour: "VNPPSvc -catchup" then computes H windows per entry, the way
# a scheduled run of an hourly group computes one (H=1). Prints for each N the wall and CPU
# time and the peak resident memory (median of the repeats), the bytes written in all and to
# the configuration file, and the renames and fsyncs of the configuration, counted by strace
# in one more run. Each timed run must compute exactly H windows per entry, or the bench stops.
#
# Usage: bench/scheduled.sh [entries...]      (default: 2000 10000 100000)
# Environment:
#   VNPP_BENCH_HOURS=n    windows per entry (default 1)
#   VNPP_BENCH_REPEAT=n   timed runs per size (default 3)
#   VNPP_BENCH_EXE        the executable to time (default: the fresh build)
#   VNPP_BENCH_DIR        where the scratch directory goes (default /tmp)
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
cd "$VNPP_ROOT"

sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(2000 10000 100000)
hours=${VNPP_BENCH_HOURS:-1}
repeat=${VNPP_BENCH_REPEAT:-3}

if [ -z "${VNPP_BENCH_EXE:-}" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target VNPPSvc -j "$(nproc)" >/dev/null
fi
exe=$(realpath "${VNPP_BENCH_EXE:-$VNPP_ROOT/build/default/VNPPSvc}")

work=$(mktemp -d "${VNPP_BENCH_DIR:-/tmp}/vnpp-sched.XXXXXX")
trap '[ -n "${VNPP_BENCH_KEEP:-}" ] || rm -rf "$work"' EXIT
vnpp_odbc_env "$work/odbc"
export VNPPSVC_HOME=$work/home VNPPSVC_INSTANCE=VNPostProcessor-sched-$$
mkdir -p "$VNPPSVC_HOME/LogFiles"
db=$work/data.db
results=$work/results.txt
: > "$results"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The first hour with readings, as local time text.
first_epoch=$(( $(date +%s) / 3600 * 3600 - hours * 3600 ))
first=$(date -d "@$first_epoch" +'%Y-%m-%d %H:%M:%S')
pollupdate=$(date -d "@$first_epoch" +'%m/%d/%Y %H:%M:%S')
# StartFrom inside the entries' first hour: the group's first period is then the window that
# starts at their POLLUpdate. A StartFrom on the hour itself makes the first period the window
# that ends there, which the entries stand ahead of: they would be set back one window.
startfrom=$(date -d "@$((first_epoch + 1))" +'%m/%d/%Y %H:%M:%S')

for n in "${sizes[@]}"; do
  rm -f "$db"*
  sqlite3 "$db" < sql/sqlite/schema.sql
  sqlite3 "$db" "WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < $n),
      t(j) AS (SELECT 0 UNION ALL SELECT j + 1 FROM t WHERE j < 4 * $hours - 1)
    INSERT INTO VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE)
    SELECT printf('ST%06d', i), 'WL', strftime('%Y-%m-%d %H:%M:%S', '$first', '+' || (j * 15) || ' minutes'),
      (i % 97) * 0.1 + j * 0.01 FROM s, t ORDER BY 1, 3;
    ANALYZE; PRAGMA journal_mode=WAL; PRAGMA wal_checkpoint(TRUNCATE);" >/dev/null
  cp "$db" "$work/pristine.db"
  write_config() {
    {
      printf '[PostProcess]\r\nLogMessage=1\r\nLogDetail=1\r\nGroups=1\r\n'
      printf '[PostProcessGroup:1]\r\nFuncName=AVG\r\nEnabled=1\r\nTypeInterval=0\r\n'
      printf 'StartFrom=%s\r\nPOLLNumber=%d\r\n' "$startfrom" "$n"
      awk -v n="$n" -v u="$pollupdate" 'BEGIN { for (i = 1; i <= n; i++)
        printf "POLL%d=ST%06d.WL\r\nPOLLUpdate%d=%s\r\nPOLLDataLabel%d=WL_AVG\r\n", i, i, i, u, i }'
      printf '[Database Settings]\r\nODBC Data Source=Driver=SQLite3;Database=%s;NoCreat=1;JournalMode=WAL;SyncPragma=NORMAL\r\n' "$db"
    } > "$VNPPSVC_HOME/VNPostProc.VFG"
    : > "$VNPPSVC_HOME/LogFiles/VNPostProc.log"
  }
  walls=() cpus=() rsss=()
  for ((r = 1; r <= repeat + 1; r++)); do
    cp "$work/pristine.db" "$db"
    rm -f "$db-wal" "$db-shm"
    write_config
    sync
    if [ "$r" -le "$repeat" ]; then
      /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" "$exe" -catchup > "$work/summary.txt"
      read -r wall user sys rss < "$work/time.txt"
      walls+=("$wall")
      cpus+=("$(python3 -c "print($user + $sys)")")
      rsss+=("$rss")
      computed=$(sed -n 's/.*windows computed \([0-9]*\),.*/\1/p' "$work/summary.txt")
      if [ "$computed" != "$((n * hours))" ]; then
        echo "$n entries: $computed windows computed, not $((n * hours)): $(cat "$work/summary.txt")" >&2
        exit 1
      fi
    else
      # One more run under strace: bytes, renames and fsyncs (strace slows it; not timed).
      strace -f -qq -y -e trace=write,pwrite64,writev,fsync,fdatasync,rename,renameat,renameat2 \
        -o "$work/strace.txt" "$exe" -catchup >/dev/null
    fi
  done
  windows=$(sqlite3 "$db" "SELECT COUNT(*) FROM VN_PPDATA1")
  cfgsize=$(stat -c %s "$VNPPSVC_HOME/VNPostProc.VFG")
  python3 - "$work/strace.txt" "$n" "$windows" "$cfgsize" "$(printf '%s\n' "${walls[@]}" | median)" \
    "$(printf '%s\n' "${cpus[@]}" | median)" "$(realpath "$VNPPSVC_HOME")" \
    "$(printf '%s\n' "${rsss[@]}" | median)" >> "$results" <<'PY'
import re, sys
total = config = renames = fsyncs = 0
for line in open(sys.argv[1]):
    m = re.match(r"\d+\s+(\w+)\((\d+)?(<[^>]*>)?(.*)\)\s+=\s+(-?\d+)", line)
    if not m:
        continue
    call, path, rest, rc = m.group(1), m.group(3) or "", m.group(4), int(m.group(5))
    # The configuration file, its temporary file and its directory (the rename's fsync).
    cfg = "VNPostProc.VFG" in path or "VNPostProc.VFG" in rest or path == "<" + sys.argv[7] + ">"
    if call in ("write", "pwrite64", "writev") and rc > 0 and path.startswith("</") and \
            not path.startswith("</dev/") and "pipe:" not in path and "socket:" not in path:
        total += rc
        config += rc if cfg else 0
    elif call.startswith("rename") and cfg:
        renames += 1
    elif call in ("fsync", "fdatasync") and cfg:
        fsyncs += 1
n, windows = int(sys.argv[2]), int(sys.argv[3])
print(n, windows, sys.argv[5], sys.argv[6], sys.argv[8], total, config, renames, fsyncs, sys.argv[4])
PY
done

python3 - "$results" "$repeat" "$hours" <<'PY'
import sys
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
print(f"\nRun of {sys.argv[3]} hourly window(s) per entry on SQLite (median of {sys.argv[2]} runs)")
head = ("entries", "windows", "wall s", "CPU s", "max RSS", "RSS/entry", "bytes written", "config bytes",
        "config bytes/window", "config renames", "config fsyncs", "config file")
print("| " + " | ".join(head) + " |")
print("|" + "|".join("---" for _ in head) + "|")
for n, w, wall, cpu, rss, total, config, renames, fsyncs, size in rows:
    w = int(w)
    print(f"| {int(n):,} | {w:,} | {float(wall):.2f} | {float(cpu):.2f} | {float(rss) / 1024:.1f} MiB | "
          f"{float(rss) * 1024 / int(n):,.0f} B | {int(total) / 1e6:.1f} MB | "
          f"{int(config) / 1e6:.2f} MB | {int(config) / max(w, 1):,.0f} | {renames} | {fsyncs} | "
          f"{int(size) / 1e6:.2f} MB |")
PY
