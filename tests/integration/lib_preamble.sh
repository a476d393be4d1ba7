# The start every integration script shares. Source it first, with the scratch directory's
# name: source "$(dirname "$0")/lib_preamble.sh" NAME
#
# It sets -euo pipefail, sources scripts/lib.sh, makes $work (/tmp/vnpp-NAME.XXXXXX, readable
# by the user postgres) and removes it on exit (kept when VNPP_TEST_KEEP is set). On exit it
# also kills what the script left running: $pid (SIGKILL) and $pids (SIGTERM); calls the
# script's on_cleanup, if it has one; and stops the PostgreSQL cluster when $own_pg is set
# (only the script's own: VNPP_PG_DIR may name the shared one of scripts/test).
# fail prints the script's show, if it has one, below the reason.
# shellcheck shell=bash
# shellcheck disable=SC2034  # pid, pids and own_pg are the sourcing script's
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"

work=$(mktemp -d "/tmp/vnpp-$1.XXXXXX")
chmod 755 "$work"
pid=""
pids=()
own_pg=""

vnpp_test_cleanup() {
  local p
  if [ -n "$pid" ]; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  if declare -F on_cleanup >/dev/null; then on_cleanup || true; fi
  [ -n "$own_pg" ] && vnpp_pg_stop
  if [ -n "${VNPP_TEST_KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap vnpp_test_cleanup EXIT
trap 'exit 143' TERM INT  # through the EXIT trap

fail() {
  echo "FAIL: $*" >&2
  if declare -F show >/dev/null; then show || true; fi
  exit 1
}

# Exit code 77: CTest counts the test as skipped (SKIP_RETURN_CODE).
skip() {
  echo "SKIPPED: $*"
  exit 77
}

# A skip where CI (CI=true) requires the test: a failure there.
ci_skip() {
  [ "${CI:-}" = true ] && fail "$* (required in CI)"
  skip "$*"
}
