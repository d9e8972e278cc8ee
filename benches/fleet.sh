#!/usr/bin/env bash
# The fleet's figures on SQLite and on PostgreSQL (a server scripts/fleet-postgresql.sh makes and
# ends): ingest against the floor of reading and parsing the same files, a second ingest of the
# unchanged files against the first, every dashboard page at a small and a large number of runs.
# Usage: benches/fleet.sh [BUILD_DIR]   (default: a Release build in build/linux-release)
# VELTRANE_FLEET_RECORDS, VELTRANE_FLEET_SMALL, VELTRANE_FLEET_LARGE change the sizes (100000,
# 10000, 1000000); VELTRANE_SKIP_POSTGRESQL=1 leaves PostgreSQL out.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-}
if [ -z "$build" ]; then
  build=build/linux-release
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRANE_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target veltrane-fleet-bench >/dev/null
fi
tool=$(realpath "$build/fleet/veltrane-fleet-bench")
sizes=(--records "${VELTRANE_FLEET_RECORDS:-100000}" --small "${VELTRANE_FLEET_SMALL:-10000}"
  --large "${VELTRANE_FLEET_LARGE:-1000000}")
"$tool" "${sizes[@]}"
if [ "${VELTRANE_SKIP_POSTGRESQL:-}" != 1 ]; then
  ./scripts/fleet-postgresql.sh sh -c 'exec "$0" --db "$VELTRANE_FLEET_PG" "$@"' "$tool" "${sizes[@]}"
fi
