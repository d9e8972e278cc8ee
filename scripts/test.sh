#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite under every preset: the plain
# Linux test build, AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer, and the 32-bit
# Windows build, whose suite runs under Wine (inside Xvfb, for the window tests) followed by the
# GUI check of veltrane-sim.exe (scripts/gui-check.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
presets=${VELTRANE_PRESETS:-"linux-debug linux-asan linux-tsan windows-i686"}
for preset in $presets; do
  echo "=== $preset ==="
  started=$(date +%s)
  if [ "$preset" = windows-i686 ]; then
    ./scripts/install-windows-deps.sh
    cmake --preset "$preset" -DVELTRANE_WERROR=ON >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    # A test is run a second time only when it timed out: under Wine a process that made windows
    # sometimes does not end after its test has passed (ctest shows such a test's two tries).
    xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
      ctest --preset "$preset" -j "$(nproc)" --repeat after-timeout:2
    ./scripts/wine-run.sh --wait
    ./scripts/gui-check.sh build/windows-i686
    ./scripts/wine-run.sh --wait
  else
    cmake --preset "$preset" -DVELTRANE_WERROR=ON >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    # The house format and clang-tidy, on the compile commands of the first Linux build.
    if [ "$preset" = linux-debug ]; then ./scripts/check-habits.sh "build/$preset"; fi
    ctest --preset "$preset" -j "$(nproc)"
    # A run report as a browser shows it: not blank, its result word there; and the fleet's
    # dashboard on two simulated stations' records, every page with its figures.
    if [ "$preset" = linux-debug ]; then
      ./scripts/report-check.sh "build/$preset"
      ./scripts/fleet-check.sh "build/$preset"
    fi
  fi
  echo "=== $preset took $(($(date +%s) - started))s ==="
done

# A short run of every fuzz target (fuzz/), for VELTRANE_FUZZ_SECONDS each (0 skips it), when
# clang can link libFuzzer with the sanitizers.
have_libfuzzer() {
  local probe ok=1
  probe=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
  if clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    >/dev/null 2>&1; then
    ok=0
  fi
  rm -rf "$probe"
  return $ok
}
fuzz_seconds=${VELTRANE_FUZZ_SECONDS:-20}
if [ "$fuzz_seconds" -gt 0 ] && have_libfuzzer; then
  echo "=== linux-fuzz (${fuzz_seconds}s per target) ==="
  started=$(date +%s)
  cmake --preset linux-fuzz -DVELTRANE_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
  cmake --build --preset linux-fuzz -j "$(nproc)"
  ctest --preset linux-fuzz -j "$(nproc)"
  echo "=== linux-fuzz took $(($(date +%s) - started))s ==="
elif [ "$fuzz_seconds" -gt 0 ]; then
  echo "=== linux-fuzz skipped: clang++ cannot link libFuzzer (packages clang, libclang-rt-14-dev) ==="
fi
echo "All presets passed: $presets"
