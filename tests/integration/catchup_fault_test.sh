#!/usr/bin/env bash
# Faults during "VNPPSvc -catchup": the faulted run must exit non-zero (it did not complete),
# and once the fault is gone one more -catchup must leave VN_PPDATA1 and every entry's
# POLLUpdate exactly as one uninterrupted run leaves them. A faulted run may exit 0 only when
# it had in fact completed everything.
#
# Usage: catchup_fault_test.sh <VNPPSvc executable> <source directory> <case>
# Cases:
#   sigterm          SIGTERM at a random moment while results are being written (SQLite)
#   readonly-home    the home directory cannot be written, the configuration file can
#                    (new keys cannot be added, existing values can be overwritten)
#   readonly-config  neither the home directory nor the configuration can be written
#   disk-full        the home is a small tmpfs that is filled up in the middle of the run
#   postgresql-stop  the PostgreSQL server is stopped (immediate) in the middle of the run
# The read-only and SQLite cases keep the database outside the home. Exit code 77: skipped
# (no mount rights, no PostgreSQL configured). FAULTTEST_SEED repeats the random moments;
# VNPP_TEST_KEEP keeps the scratch directory for a look at the homes and logs.
source "$(dirname "$0")/lib_preamble.sh" faulttest
# shellcheck source=tests/integration/lib_catchup.sh
source "$(dirname "$0")/lib_catchup.sh"
exe=${1:?usage: $0 <VNPPSvc executable> <source directory> <case>}
src=${2:?usage: $0 <VNPPSvc executable> <source directory> <case>}
case_name=${3:?usage: $0 <VNPPSvc executable> <source directory> <case>}
exe=$(realpath "$exe")
run_timeout=60

immutable=()  # paths made immutable, released before the clean-up removes the scratch directory
mounts=()
on_cleanup() {
  local p
  for p in "${immutable[@]}"; do chattr -i "$p" 2>/dev/null || chmod u+w "$p" 2>/dev/null || true; done
  for p in "${mounts[@]}"; do umount "$p" 2>/dev/null || umount -l "$p" 2>/dev/null || true; done
}
vnpp_odbc_env_default "$work/odbc"
export VNPPSVC_INSTANCE=vnpp-faulttest-$$

seed=${FAULTTEST_SEED:-$(( $$ ^ $(date +%s) ))}
RANDOM=$seed

# Readings: $stations stations over $days days up to today 00:00; about 33,000 windows, so
# that a stop lands in the middle of an uninterrupted run over SQLite (half a second or more).
stations=${FAULTTEST_STATIONS:-48}
days=${FAULTTEST_DAYS:-14}
start=$(date -d "$(date +%Y-%m-%d) -$days days" +%Y-%m-%d)
startfrom=$(date -d "$start" +%m/%d/%Y)" 00:00:00"

problems=()  # what the faulted run did wrong, reported together at the end
problem() {
  echo "PROBLEM: $*" >&2
  problems+=("$*")
}

# $1 exit code of the faulted run, $2 what the fault was, $3 "complete" when the faulted run
# had in fact stored everything the uninterrupted run stores. A run that ended before the
# fault hit it (exit 0, complete) says nothing; the test then fails as too small.
check_faulted_exit() {
  local rc=$1 what=$2 complete=$3
  case $rc in
    0)
      if [ "$complete" = complete ]; then
        fail "the run completed before the $what; the data is too small for this machine (seed $seed)"
      fi
      problem "the run hit by the $what exited 0 although it had not completed" ;;
    124) problem "the run hit by the $what did not end within $run_timeout s" ;;
    *)
      # Any failure code of the program's own is right; 128 and above is death by a signal.
      [ "$rc" -lt 128 ] || problem "the run hit by the $what died by signal $((rc - 128))" ;;
  esac
}

# $1 reference dump, $2 dump after the faulted runs, $3 reference home, $4 faulted home.
finish() {
  local status=0
  compare_results "$1" "$2" "$3/VNPostProc.VFG" "$4/VNPostProc.VFG" ||
    problem "after the fault and one more run, the results differ from one uninterrupted run"
  echo "catchup fault test $case_name: seed $seed; ${#problems[@]} problem(s)"
  if [ ${#problems[@]} -ne 0 ]; then
    show_run "$4"
    local p
    for p in "${problems[@]}"; do echo "  - $p" >&2; done
    status=1
  fi
  return $status
}

# $1 home, $2 command that prints the stored rows. Runs the uninterrupted reference run and
# sets ref_ms (the whole run) and span_ms (from its first stored row to its end): results
# appear a commit at a time, so a fault has to land within span_ms of the first row.
reference_run() {
  local t0 t1
  mark_cutoff
  t0=$(date +%s%N)
  start_catchup "$1"
  wait_for_rows "$2" 0 || true
  t1=$(date +%s%N)
  wait_catchup
  if [ "$run_rc" -ne 0 ]; then
    show_run "$1"
    fail "the uninterrupted VNPPSvc -catchup in $1 exited with $run_rc"
  fi
  ref_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  span_ms=$(( ($(date +%s%N) - t1) / 1000000 ))
}

# --- SQLite cases -------------------------------------------------------------------------

sqlite_reference() {
  make_readings_sqlite "$work/base.db" "$days" "$start"
  cp "$work/base.db" "$work/a.db"
  cp "$work/base.db" "$work/b.db"
  make_home "$work/a" "$(sqlite_source "$work/a.db")"
  reference_run "$work/a" "rows_sqlite $work/a.db"
  ref_rows=$(rows_sqlite "$work/a.db")
  [ "$ref_rows" -gt 0 ] || fail "the uninterrupted run stored no results"
  dump_sqlite "$work/a.db" > "$work/a.dump"
  echo "uninterrupted run: $ref_rows rows in $ref_ms ms, $span_ms ms from the first row"
}

# Prints "complete" when home b and its database hold what the uninterrupted run left.
sqlite_complete() {
  dump_sqlite "$work/b.db" > "$work/b.now"
  if cmp -s "$work/a.dump" "$work/b.now" &&
    [ "$(poll_updates "$work/a/VNPostProc.VFG")" = "$(poll_updates "$work/b/VNPostProc.VFG")" ]; then
    echo complete
  else
    echo incomplete
  fi
}

sqlite_finish() {
  [ "$(duplicates_sqlite "$work/b.db")" -eq 0 ] || problem "windows stored more than once"
  dump_sqlite "$work/b.db" > "$work/b.dump"
  finish "$work/a.dump" "$work/b.dump" "$work/a" "$work/b"
}

# Three stops, each at a random moment after the run has stored a new row; then a run to
# the end.
case_sigterm() {
  sqlite_reference
  make_home "$work/b" "$(sqlite_source "$work/b.db")"
  local stop before ms complete tries=0
  for ((stop = 1; stop <= 3; stop++)); do
    before=$(rows_sqlite "$work/b.db")
    start_catchup "$work/b"
    if ! wait_for_rows "rows_sqlite $work/b.db" "$before"; then
      wait_catchup
      [ "$run_rc" -eq 0 ] && [ "$(sqlite_complete)" = complete ] && break
      problem "run $stop stored nothing new and exited with $run_rc"
      continue
    fi
    ms=$(( RANDOM % (span_ms / 2 + 1) ))
    sleep_ms "$ms"
    kill -TERM "$pid" 2>/dev/null || true
    wait_catchup
    complete=$(sqlite_complete)
    echo "stop $stop: SIGTERM ${ms} ms after the first new row; exit $run_rc;" \
      "$(rows_sqlite "$work/b.db") of $ref_rows rows stored"
    # A later start may legitimately finish what the earlier ones left before the signal.
    [ "$stop" -gt 1 ] && [ "$run_rc" -eq 0 ] && [ "$complete" = complete ] && break
    if [ "$stop" -eq 1 ] && [ "$run_rc" -eq 0 ] && [ "$complete" = complete ] &&
      [ "$tries" -lt 4 ]; then
      # This start ran faster than the reference did (other jobs load the machine unevenly):
      # start again from the readings alone, with shorter delays.
      tries=$((tries + 1))
      span_ms=$((span_ms / 2))
      cp "$work/base.db" "$work/b.db"
      make_home "$work/b" "$(sqlite_source "$work/b.db")"
      stop=0
      continue
    fi
    check_faulted_exit "$run_rc" "SIGTERM (stop $stop)" "$complete"
  done
  run_to_end "$work/b"
  sqlite_finish
}

# $1 path: makes it unwritable for this process. Root needs the immutable attribute, since
# permission bits do not stop root; other users drop their write permission.
make_unwritable() {
  if [ "$(id -u)" -eq 0 ]; then
    chattr +i "$1" 2>/dev/null || return 1
  else
    chmod a-w "$1" || return 1
  fi
  immutable+=("$1")
}

make_writable() {
  if [ "$(id -u)" -eq 0 ]; then chattr -i "$1"; else chmod u+w "$1"; fi
}

# $1 "home" (the directory only) or "config" (the directory and the configuration file).
case_readonly() {
  local what=$1
  sqlite_reference
  make_home "$work/b" "$(sqlite_source "$work/b.db")"
  if ! make_unwritable "$work/b"; then
    # File systems without the attribute (overlay in some containers): a tmpfs home has it.
    if mkdir -p "$work/b.tmpfs" && mount -t tmpfs -o size=16m,mode=755 tmpfs "$work/b.tmpfs" 2>/dev/null; then
      mounts+=("$work/b.tmpfs")
      cp -a "$work/b/." "$work/b.tmpfs/"
      rm -rf "$work/b"
      ln -s "$work/b.tmpfs" "$work/b"
      make_unwritable "$work/b.tmpfs" ||
        skip "cannot make a directory unwritable here (no chattr +i on $(stat -f -c %T "$work") or tmpfs)"
    else
      skip "cannot make a directory unwritable here (no chattr +i on $(stat -f -c %T "$work"), no mount rights)"
    fi
  fi
  local dir=${immutable[-1]}
  if [ "$what" = config ]; then
    make_unwritable "$dir/VNPostProc.VFG" || skip "cannot make the configuration file unwritable"
  fi
  # The probe shows that the fault is real for this process.
  if touch "$dir/probe" 2>/dev/null; then fail "the home directory is still writable"; fi
  if [ "$what" = config ] && { : >> "$dir/VNPostProc.VFG"; } 2>/dev/null; then
    fail "the configuration file is still writable"
  fi
  local rc
  rc=0
  VNPPSVC_HOME=$work/b timeout "$run_timeout" "$exe" -catchup >>"$work/b.output.txt" 2>&1 || rc=$?
  echo "run with an unwritable $what: exit $rc; $(rows_sqlite "$work/b.db") of $ref_rows rows stored"
  check_faulted_exit "$rc" "unwritable $what" "$(sqlite_complete)"
  [ "$what" = config ] && make_writable "$dir/VNPostProc.VFG"
  make_writable "$dir"
  run_to_end "$work/b"
  sqlite_finish
}

case_disk_full() {
  mkdir -p "$work/b"
  mount -t tmpfs -o size=8m,mode=755 tmpfs "$work/b" 2>/dev/null ||
    skip "cannot mount a tmpfs here (needs root or CAP_SYS_ADMIN)"
  mounts+=("$work/b")
  sqlite_reference
  make_home "$work/b" "$(sqlite_source "$work/b.db")"
  start_catchup "$work/b"
  # The moment is counted in stored rows, not in time: a home on tmpfs writes faster than
  # the reference's home on disk.
  local target=$(( ref_rows * (5 + RANDOM % 50) / 100 ))
  wait_for_rows "rows_sqlite $work/b.db" "$target" || fail "the run ended before $target rows"
  cat /dev/zero > "$work/b/filler" 2>/dev/null || true
  local avail
  avail=$(df --output=avail -B1 "$work/b" | tail -n 1 | tr -d ' ')
  echo "filled the home after $target rows ($avail bytes left);" \
    "$(rows_sqlite "$work/b.db") of $ref_rows rows stored by then"
  wait_catchup
  local rc=$run_rc
  echo "run on the full disk: exit $rc; $(rows_sqlite "$work/b.db") of $ref_rows rows stored"
  local complete
  complete=$(sqlite_complete)
  rm -f "$work/b/filler"
  [ ! -e "$work/b/VNPostProc.VFG.tmp" ] || problem "a temporary configuration file was left behind"
  check_faulted_exit "$rc" "full disk" "$complete"
  run_to_end "$work/b"
  sqlite_finish
}

# --- PostgreSQL -----------------------------------------------------------------------------

# The server is stopped while the service works, so the test runs its own cluster, with the
# durable settings (a confirmed commit survives the immediate stop), never the shared one.
case_postgresql_stop() {
  if [ -z "${VNPP_TEST_PG:-}" ]; then
    ci_skip "PostgreSQL is not configured (VNPP_TEST_PG is not set; scripts/test sets it)"
  fi
  # With fsync on, each commit costs a disk flush; results are committed a few thousand
  # windows at a time, and the run must last long enough for the stop to land in it.
  stations=${FAULTTEST_PG_STATIONS:-48}
  days=${FAULTTEST_PG_DAYS:-14}
  start=$(date -d "$(date +%Y-%m-%d) -$days days" +%Y-%m-%d)
  startfrom=$(date -d "$start" +%m/%d/%Y)" 00:00:00"
  # From here on, PostgreSQL is expected to work: every failure fails the test.
  own_pg=1
  vnpp_pg_start "$work/pg" durable || fail "could not start a private PostgreSQL cluster"
  local pw=$VNPP_TEST_PG_PASSWORD
  psql_in() {  # $1 database, the rest psql arguments
    local db=$1
    shift
    PGPASSWORD=$pw psql -h 127.0.0.1 -p "$VNPP_PG_PORT" -U vnpp -d "$db" -q -t -A \
      -v ON_ERROR_STOP=1 "$@"
  }
  # The faulted run uses the database that vnpp_pg_start made, with the tables; the reference
  # gets one of its own. Both get the same readings.
  local ref_db=catchup_reference fault_db=vnpp db
  psql_in vnpp -c "CREATE DATABASE $ref_db" || fail "CREATE DATABASE failed"
  psql_in "$ref_db" -f "$src/sql/postgresql/schema.sql" || fail "schema failed"
  python3 "$src/scripts/gen_readings.py" --csv --stations "$stations" --days "$days" --step 15 \
    --start "$start" --seed 7 > "$work/readings.csv"
  for db in "$ref_db" "$fault_db"; do
    psql_in "$db" -c "\\copy VN_DATA1 (STATION_ID, SENSORNAME, TIME_TAG, ED_VALUE, FLAG1,
      FLAG2, FLAG3, FLAG4, HIGH_HIGH_FLAG, HIGH_FLAG, LOW_FLAG, LOW_LOW_FLAG, NO_CHG_FLAG,
      ROC_FLAG, ALARM_FLAG, STD_DEV_FLAG, AVG_FLAG) FROM '$work/readings.csv' CSV" ||
      fail "loading readings failed"
    psql_in "$db" -c "ANALYZE VN_DATA1"
  done
  local source="Driver=PostgreSQL ANSI;Server=127.0.0.1;Port=$VNPP_PG_PORT;UID=vnpp;PWD=$pw"

  pg_rows() { psql_in "$1" -c "SELECT COUNT(*) FROM VN_PPDATA1"; }
  pg_dump_results() {
    psql_in "$1" -F '|' -c "SELECT quote_nullable(STATION_ID), quote_nullable(DATA_LABEL),
        quote_nullable(FUNCTION_NAME), quote_nullable(TIME_TAG), quote_nullable(TIME_PERIOD),
        quote_nullable(PP_VALUE), quote_nullable(FLAG1), quote_nullable(FLAG2),
        quote_nullable(FLAG3), quote_nullable(VALUE_TIME_TAG), quote_nullable(SENSORNAME),
        quote_nullable(ALTERNATE_LABEL)
      FROM VN_PPDATA1 WHERE TIME_TAG + TIME_PERIOD * interval '1 hour' <= '$cutoff'
      ORDER BY STATION_ID, DATA_LABEL, FUNCTION_NAME, TIME_TAG, TIME_PERIOD"
  }

  make_home "$work/a" "$source;Database=$ref_db"
  reference_run "$work/a" "pg_rows $ref_db"
  local ref_rows
  ref_rows=$(pg_rows "$ref_db")
  [ "$ref_rows" -gt 0 ] || fail "the uninterrupted run stored no results"
  pg_dump_results "$ref_db" > "$work/a.dump"
  echo "uninterrupted run: $ref_rows rows in $ref_ms ms, $span_ms ms from the first row"

  local ms rc stored complete tries=0
  while true; do
    make_home "$work/b" "$source;Database=$fault_db"
    start_catchup "$work/b"
    wait_for_rows "pg_rows $fault_db" 0 || fail "the run stored nothing before it ended"
    ms=$(( RANDOM % (span_ms / 2 + 1) ))
    sleep_ms "$ms"
    vnpp_pg_ctl -m immediate stop >/dev/null || fail "pg_ctl stop failed"
    wait_catchup
    rc=$run_rc
    vnpp_pg_ctl start >/dev/null || fail "the server did not start again"
    complete=incomplete
    stored=$(pg_rows "$fault_db")
    echo "server stopped ${ms} ms after the first row; the run exited $rc; $stored of $ref_rows rows stored"
    pg_dump_results "$fault_db" > "$work/b.now"
    if cmp -s "$work/a.dump" "$work/b.now" &&
      [ "$(poll_updates "$work/a/VNPostProc.VFG")" = "$(poll_updates "$work/b/VNPostProc.VFG")" ]; then
      complete=complete
    fi
    # A run faster than the reference's (other jobs load the machine unevenly) ended before
    # the stop: again from no results, with shorter delays.
    [ "$rc" -eq 0 ] && [ "$complete" = complete ] && [ "$tries" -lt 4 ] || break
    tries=$((tries + 1))
    span_ms=$((span_ms / 2))
    psql_in "$fault_db" -c "DELETE FROM VN_PPDATA1" || fail "emptying VN_PPDATA1 failed"
  done
  check_faulted_exit "$rc" "server stop" "$complete"
  run_to_end "$work/b"
  pg_dump_results "$fault_db" > "$work/b.dump"
  finish "$work/a.dump" "$work/b.dump" "$work/a" "$work/b"
}

case $case_name in
  sigterm) case_sigterm ;;
  readonly-home) case_readonly home ;;
  readonly-config) case_readonly config ;;
  disk-full) case_disk_full ;;
  postgresql-stop) case_postgresql_stop ;;
  *) fail "unknown case '$case_name'" ;;
esac
