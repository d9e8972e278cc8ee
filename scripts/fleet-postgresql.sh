#!/usr/bin/env bash
# Runs a command (the fleet's tests, its benchmark) against a real PostgreSQL server that this
# script makes and ends itself: a cluster in a temporary folder, run by an unprivileged user,
# listening on a Unix socket only (no TCP port), stopped and removed at the end whatever happens.
# The command finds the server's libpq URI in VELTRANE_FLEET_PG (database postgres, user fleet).
# Usage: scripts/fleet-postgresql.sh COMMAND [ARGUMENTS...]
# VELTRANE_SKIP_POSTGRESQL=1 skips (exit status 77); without that, a missing server is a failure.
set -euo pipefail
if [ "${VELTRANE_SKIP_POSTGRESQL:-}" = 1 ]; then
  echo "PostgreSQL tests skipped (VELTRANE_SKIP_POSTGRESQL=1)"
  exit 77
fi
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "No PostgreSQL server installed (Debian package postgresql; scripts/install-deps.sh)" >&2
  exit 1
fi
work=$(mktemp -d /tmp/veltrane-pg.XXXXXX)
# The server refuses to run as root: it runs as nobody, in a folder of its own.
as_server=()
if [ "$(id -u)" = 0 ]; then
  chown nobody "$work"
  as_server=(runuser -u nobody --)
fi
stop() {
  "${as_server[@]}" "$bin/pg_ctl" -D "$work/data" -m immediate -w -t 60 stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap stop EXIT
"${as_server[@]}" "$bin/initdb" -D "$work/data" -U fleet -A trust -E UTF8 --locale=C.UTF-8 >"$work/initdb.log" 2>&1 ||
  { cat "$work/initdb.log" >&2; exit 1; }
mkdir -p "$work/socket"
[ "$(id -u)" = 0 ] && chown nobody "$work/socket"
"${as_server[@]}" "$bin/pg_ctl" -D "$work/data" -l "$work/server.log" -w -t 60 \
  -o "-c listen_addresses='' -c unix_socket_directories='$work/socket' -c fsync=off" start >/dev/null ||
  { cat "$work/server.log" >&2; exit 1; }
export VELTRANE_FLEET_PG="postgresql://fleet@/postgres?host=$work/socket"
"$@"
