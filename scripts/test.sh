#!/usr/bin/env bash
# Builds and runs every test: a plain build, a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows builds (x86-64 tested under wine64, x86 linked),
# then the fuzz targets for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."
passed=0
# Runs ctest on a build folder and adds up what passed.
run_ctest() {
  local log
  log=$(mktemp)
  local rc=0
  "$@" 2>&1 | tee "$log" || rc=$?
  local n
  n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
  rm -f "$log"
  [ "$rc" -eq 0 ] || exit "$rc"
  passed=$((passed + ${n:-0}))
}
# The named objects that the project's tests make (their name prefixes, and the exchange's own
# names) which no process holds any more: in /dev/shm, a file that takes an exclusive lock.
# A test run must leave none behind; other processes of the machine own other names.
left_over_objects() {
  local name
  for name in $(ls /dev/shm 2> /dev/null |
                grep -E '^(zek|vmapi-)|^(ZEK-VM-EXCHANGE|ZEK-TO-ZVM-EVENT|ZVM-TO-ZEK-EVENT)$' || true); do
    if (flock -n -x 9) 9< "/dev/shm/$name" 2> /dev/null; then echo "$name"; fi
  done | sort
}
objects_before=$(left_over_objects)
bash scripts/setup.sh
jobs=$(nproc)

cmake --preset plain
ninja -C build/plain
run_ctest ctest --test-dir build/plain --output-on-failure -j "$jobs"

cmake --preset sanitize
ninja -C build/sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

run_ctest bash scripts/wine_tests.sh

cmake --preset fuzz
ninja -C build/fuzz
bash scripts/fuzz.sh build/fuzz "${ZEK_FUZZ_SECONDS:-60}" > build/fuzz/fuzz.log 2>&1 || { tail -n 60 build/fuzz/fuzz.log; exit 1; }
grep -E '^== |Done [0-9]+ runs' build/fuzz/fuzz.log
left=$(comm -13 <(echo "$objects_before") <(left_over_objects))
if [ -n "$left" ]; then
  echo "The tests left these objects in /dev/shm:"
  echo "$left"
  exit 1
fi
echo "tests: $passed passed, 0 failed"
