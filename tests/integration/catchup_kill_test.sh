#!/usr/bin/env bash
# Killing "VNPPSvc -catchup" with SIGKILL at random moments and running it again until it
# finishes must leave VN_PPDATA1 exactly as one uninterrupted run leaves it: no window
# missing, none written twice, none with a different value.
#
# Usage: catchup_kill_test.sh <VNPPSvc executable> <source directory>
# Needs sqlite3, python3 and the SQLite ODBC driver (ODBCSYSINI/ODBCINI are set up here when
# the caller has not done so). KILLTEST_SEED repeats the kill moments of an earlier run.
source "$(dirname "$0")/lib_preamble.sh" killtest
# shellcheck source=tests/integration/lib_catchup.sh
source "$(dirname "$0")/lib_catchup.sh"
exe=${1:?usage: $0 <VNPPSvc executable> <source directory>}
src=${2:?usage: $0 <VNPPSvc executable> <source directory>}
exe=$(realpath "$exe")

kills_wanted=8
max_starts=40       # bound on the kill loop even when every start dies before doing work
run_timeout=60      # seconds for a run that is left to finish
vnpp_odbc_env_default "$work/odbc"
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
make_readings_sqlite "$base" "$days" "$start"

# $1 home directory: a fresh home with its own copy of the readings and the configuration.
make_sqlite_home() {
  mkdir -p "$1"
  cp "$base" "$1/data.db"
  make_home "$1" "$(sqlite_source "$1/data.db")"
}

rows() { rows_sqlite "$1"; }

# Reference: one uninterrupted run.
make_sqlite_home "$work/a"
mark_cutoff
t0=$(date +%s%N)
run_to_end "$work/a"
ref_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
ref_rows=$(rows "$work/a/data.db")
[ "$ref_rows" -gt 0 ] || fail "the uninterrupted run stored no results"

# Interrupted: start, let it work a random time within the first half of the length of the
# uninterrupted run (at least 20 ms), SIGKILL, reap, start again. Scaled to the run, so that
# the kills land mid-work however fast this machine and the catch-up are.
# A machine whose load changes between the reference and these runs can let every kill
# land before the first commit or after the last: then the interrupted runs start again from a
# fresh home, at most four times.
mid_work=0  # kills that left some but not all results stored
attempts=0
while [ "$mid_work" -eq 0 ] && [ "$attempts" -lt 4 ]; do
  attempts=$((attempts + 1))
  rm -rf "$work/b"
  make_sqlite_home "$work/b"
  kills=0
  starts=0
  finished_alone=0
  delays=()
  while [ "$kills" -lt "$kills_wanted" ] && [ "$starts" -lt "$max_starts" ]; do
    starts=$((starts + 1))
    VNPPSVC_HOME=$work/b "$exe" -catchup >>"$work/b.output.txt" 2>&1 &
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
      tail -n 20 "$work/b.output.txt" >&2 || true
      fail "an interrupted run (start $starts) exited with $rc before it was killed"
    fi
  done
done
rows_before_final=$(rows "$work/b/data.db")
[ "$mid_work" -gt 0 ] ||
  fail "no kill landed while results were being written in $attempts attempts; the data is too small for this machine"
run_to_end "$work/b"

# Compare.
# KILLTEST_TAMPER spoils the interrupted result on purpose, to see that this test notices:
# "value" changes one result by 1e-9, "missing" deletes one window, "duplicate" stores one
# window a second time under another spelling of its time.
case "${KILLTEST_TAMPER:-}" in
  value) sqlite3 "$work/b/data.db" 'UPDATE VN_PPDATA1 SET PP_VALUE = PP_VALUE + 1e-9
           WHERE rowid = (SELECT MIN(rowid) FROM VN_PPDATA1 WHERE PP_VALUE IS NOT NULL)' ;;
  missing) sqlite3 "$work/b/data.db" 'DELETE FROM VN_PPDATA1
             WHERE rowid = (SELECT MIN(rowid) FROM VN_PPDATA1)' ;;
  duplicate) sqlite3 "$work/b/data.db" "INSERT INTO VN_PPDATA1 SELECT STATION_ID, DATA_LABEL,
               FUNCTION_NAME, TIME_TAG || '.000', TIME_PERIOD, PP_VALUE, FLAG1, FLAG2, FLAG3,
               VALUE_TIME_TAG, PROCESS_TIME_TAG, SENSORNAME, ALTERNATE_LABEL
               FROM VN_PPDATA1 WHERE rowid = (SELECT MIN(rowid) FROM VN_PPDATA1)" ;;
  "") ;;
  *) fail "unknown KILLTEST_TAMPER '$KILLTEST_TAMPER'" ;;
esac
dump_sqlite "$work/a/data.db" > "$work/a.dump"
dump_sqlite "$work/b/data.db" > "$work/b.dump"
dup_a=$(duplicates_sqlite "$work/a/data.db")
dup_b=$(duplicates_sqlite "$work/b/data.db")
status=0
# Each entry's progress in the configuration must end where the uninterrupted run left it.
compare_results "$work/a.dump" "$work/b.dump" "$work/a/VNPostProc.VFG" "$work/b/VNPostProc.VFG" ||
  status=1
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
