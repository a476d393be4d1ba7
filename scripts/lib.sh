# Shared by scripts/test, scripts/demo and the benchmarks. Source it; do not run it.
# shellcheck shell=bash

VNPP_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

VNPP_PACKAGES=(cmake ninja-build g++ clang clang-format ccache pkg-config libgtest-dev libgmock-dev
  unixodbc unixodbc-dev libsqliteodbc odbc-postgresql sqlite3
  postgresql postgresql-client libsdbus-c++-dev libsystemd-dev dbus python3
  systemd dpkg-dev lintian systemd-container mmdebstrap
  prometheus-cpp-dev prometheus curl)

# Installs the Debian packages that are missing (as root, through apt-get).
vnpp_install_packages() {
  local missing=()
  local p
  for p in "${VNPP_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# A private ODBC configuration: the drivers without psqlodbc's communication log.
# Sets ODBCSYSINI and ODBCINI. $1: directory to hold odbcinst.ini.
vnpp_odbc_env() {
  local dir=$1
  mkdir -p "$dir"
  local sqlite pg
  sqlite=$(dpkg -L libsqliteodbc 2>/dev/null | grep '/libsqlite3odbc\.so$' | head -n 1)
  pg=$(dpkg -L odbc-postgresql 2>/dev/null | grep '/psqlodbca\.so$' | head -n 1)
  cat > "$dir/odbcinst.ini" <<INI
[SQLite3]
Description=SQLite3 ODBC Driver
Driver=$sqlite
Threading=2

[PostgreSQL ANSI]
Description=PostgreSQL ODBC driver (ANSI version)
Driver=$pg
Debug=0
CommLog=0
INI
  : > "$dir/odbc.ini"
  export ODBCSYSINI=$dir
  export ODBCINI=$dir/odbc.ini
}

# The caller's ODBC configuration when it registers both drivers (scripts/test's), else a
# private one in $1 (vnpp_odbc_env).
vnpp_odbc_env_default() {
  if [ -n "${ODBCSYSINI:-}" ] && grep -q '^\[SQLite3\]' "$ODBCSYSINI/odbcinst.ini" 2>/dev/null &&
    grep -q '^\[PostgreSQL ANSI\]' "$ODBCSYSINI/odbcinst.ini"; then
    return 0
  fi
  vnpp_odbc_env "$1"
}

# Starts a private PostgreSQL cluster on loopback as the unprivileged user "postgres".
# $1: directory for the cluster. $2: "fast" (the default) or "durable".
#   fast: fsync, synchronous_commit and full_page_writes off. A confirmed commit can be lost
#     when the server stops with -m immediate, so such a cluster serves ordinary tests only.
#   durable: the server's own defaults (fsync and synchronous_commit on): a commit that was
#     confirmed survives an immediate stop. Tests that stop the server or crash a client need it.
# The settings go into the cluster's postgresql.conf, so vnpp_pg_ctl start keeps them.
# The role "vnpp" may create databases of its own.
# Exports VNPP_TEST_PG (an ODBC connection string to the database "vnpp"),
# VNPP_TEST_PG_PASSWORD and VNPP_PG_DIR, VNPP_PG_BIN, VNPP_PG_PORT.
vnpp_pg_start() {
  local dir=$1
  local durability=${2:-fast}
  case $durability in
    fast|durable) ;;
    *) echo "vnpp_pg_start: unknown durability '$durability'" >&2; return 1 ;;
  esac
  VNPP_PG_BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -x "$VNPP_PG_BIN/initdb" ] || { echo "PostgreSQL server binaries not found" >&2; return 1; }
  VNPP_PG_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  VNPP_PG_DIR=$dir
  mkdir -p "$dir"
  local run=()
  if [ "$(id -u)" -eq 0 ]; then
    chown postgres: "$dir"
    chmod 700 "$dir"
    run=(runuser -u postgres --)
  fi
  local pw=vnpp-test-password
  echo "$pw" > "$dir.pw"
  chmod 644 "$dir.pw"
  "${run[@]}" "$VNPP_PG_BIN/initdb" -D "$dir/data" -U postgres --auth-local=trust \
    --auth-host=scram-sha-256 -E UTF8 --locale=C >"$dir.initdb.log" 2>&1 ||
    { cat "$dir.initdb.log" >&2; return 1; }
  {
    echo
    echo "# vnpp_pg_start ($durability)"
    echo "listen_addresses = '127.0.0.1'"
    echo "port = $VNPP_PG_PORT"
    echo "unix_socket_directories = '$dir'"
    if [ "$durability" = fast ]; then
      echo "fsync = off"
      echo "synchronous_commit = off"
      echo "full_page_writes = off"
    else
      echo "fsync = on"
      echo "synchronous_commit = on"
      echo "full_page_writes = on"
    fi
  } >> "$dir/data/postgresql.conf"
  vnpp_pg_ctl start >/dev/null || { cat "$dir/server.log" >&2; return 1; }
  "${run[@]}" psql -h "$dir" -p "$VNPP_PG_PORT" -U postgres -d postgres -q -v ON_ERROR_STOP=1 \
    -c "CREATE ROLE vnpp LOGIN CREATEDB PASSWORD '$pw'" -c "CREATE DATABASE vnpp OWNER vnpp" >/dev/null
  if [ -f "$VNPP_ROOT/sql/postgresql/schema.sql" ]; then
    PGPASSWORD=$pw psql -h 127.0.0.1 -p "$VNPP_PG_PORT" -U vnpp -d vnpp -q -v ON_ERROR_STOP=1 \
      -f "$VNPP_ROOT/sql/postgresql/schema.sql" >/dev/null
  fi
  export VNPP_PG_DIR VNPP_PG_BIN VNPP_PG_PORT
  export VNPP_TEST_PG="Driver=PostgreSQL ANSI;Server=127.0.0.1;Port=$VNPP_PG_PORT;Database=vnpp;UID=vnpp;PWD=$pw"
  export VNPP_TEST_PG_PASSWORD=$pw
}

# pg_ctl of the cluster of vnpp_pg_start, as the user that owns it, waiting for the result:
# "vnpp_pg_ctl start", "vnpp_pg_ctl -m immediate stop", "vnpp_pg_ctl status".
vnpp_pg_ctl() {
  local run=()
  [ "$(id -u)" -eq 0 ] && run=(runuser -u postgres --)
  "${run[@]}" "$VNPP_PG_BIN/pg_ctl" -D "$VNPP_PG_DIR/data" -l "$VNPP_PG_DIR/server.log" -w "$@"
}

# CPU seconds of the private PostgreSQL server so far: the postmaster with what it reaped
# (ended sessions) and its live children (sessions, writers, autovacuum). For the benches.
vnpp_pg_cpu() {
  local pm
  pm=$(head -n 1 "$VNPP_PG_DIR/data/postmaster.pid")
  # shellcheck disable=SC2046 # one /proc path per process
  cat /proc/"$pm"/stat $(pgrep -P "$pm" | sed 's|.*|/proc/&/stat|') 2>/dev/null |
    awk '{ s += $14 + $15 + $16 + $17 } END { print s / 100 }'
}

vnpp_pg_stop() {
  [ -n "${VNPP_PG_DIR:-}" ] && [ -d "$VNPP_PG_DIR/data" ] || return 0
  vnpp_pg_ctl -m immediate stop >/dev/null 2>&1 || true
}

# Starts a private session bus daemon for the tests. $1: directory for its configuration and
# socket. Exports DBUS_SESSION_BUS_ADDRESS and VNPP_DBUS_PID; points DBUS_SYSTEM_BUS_ADDRESS at
# a socket that does not exist, so that no test reaches the machine's own system bus.
vnpp_dbus_start() {
  local dir=$1
  mkdir -p "$dir"
  cat > "$dir/session.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$dir</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  local out
  out=$(dbus-daemon --config-file="$dir/session.conf" --fork --print-address=1 --print-pid=1 \
    2>"$dir/daemon.log") || { cat "$dir/daemon.log" >&2; return 1; }
  DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$out")
  VNPP_DBUS_PID=$(sed -n 2p <<<"$out")
  export DBUS_SESSION_BUS_ADDRESS VNPP_DBUS_PID
  export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/no-system-bus"
}

vnpp_dbus_stop() {
  [ -n "${VNPP_DBUS_PID:-}" ] || return 0
  kill "$VNPP_DBUS_PID" 2>/dev/null || true
  VNPP_DBUS_PID=""
}
