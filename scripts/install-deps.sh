#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
set -euo pipefail
need=()
# clang-format and clang-tidy check the house's habits (scripts/check-habits.sh); clang and its
# runtime libraries (libFuzzer, sanitizers) build the fuzz targets; chromium and imagemagick
# render a run report to a picture (the report check of scripts/test.sh). The fleet store and
# dashboard: SQLite, libpq and a PostgreSQL server for its tests, cpp-httplib.
for pkg in cmake ninja-build g++ libgtest-dev googletest nlohmann-json3-dev clang chromium imagemagick \
  libclang-rt-14-dev clang-format clang-tidy pkg-config libsqlite3-dev libpq-dev postgresql \
  libcpp-httplib-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi
