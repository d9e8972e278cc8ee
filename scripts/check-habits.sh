#!/usr/bin/env bash
# The house's habits, checked (scripts/test.sh runs this after the linux-debug build): every C++
# file formatted as .clang-format has it, and clang-tidy (.clang-tidy) finding nothing in the
# product's files. Takes the build folder whose compile_commands.json tidy reads.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/linux-debug}
fail() {
  echo "check-habits: $*" >&2
  exit 1
}
[ -f "$build/compile_commands.json" ] || fail "no $build/compile_commands.json: configure $build first"

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}" ||
  fail "the files above are not formatted as .clang-format says (clang-format -i FILE)"
echo "check-habits: ${#sources[@]} files formatted"

# The product's own folders; the tests, benches and fuzz targets are not held to tidy.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
run-clang-tidy -quiet -p "$build" -j "$(nproc)" \
  "$(pwd)/(app|console|device|models|platform|report|sequences|ui)/" >"$log" 2>&1 || true
if grep -E '(warning|error):' "$log"; then
  fail "clang-tidy found the above (.clang-tidy)"
fi
grep -q 'clang-tidy' "$log" || { cat "$log"; fail "clang-tidy did not run"; }
echo "check-habits: clang-tidy clean on $(grep -c -- ' -p=' "$log" || true) product files"
