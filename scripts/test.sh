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
# ctest runs each test of a GoogleTest program in a process of its own. Here every such program
# of the build runs once more as one whole process, all its tests in order, so that a test that
# leaves state behind cannot hide a fault from the tests after it. The programs, their folders,
# arguments and environment come from ctest's own list; they run side by side, as ctest's tests
# do. Each program that passes whole counts as one passed test.
run_whole_programs() {
  local build=$1 out="$PWD/$1/whole_programs"
  rm -rf "$out"
  mkdir -p "$out"
  ctest --test-dir "$build" --show-only=json-v1 > "$out/tests.json"
  cmake -DTESTS="$out/tests.json" -DOUT="$out/programs.txt" -P scripts/gtest_programs.cmake
  local names=() fields name
  while IFS=$'\t' read -r -a fields; do
    name=${fields[0]#"$PWD/$build/"}
    name=${name//\//_}
    names+=("$name")
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
    (
      program=${fields[0]} folder=${fields[1]} count=${fields[2]}
      arguments=("${fields[@]:3:count}") environment=("${fields[@]:3+count}")
      rc=0
      cd "$folder" && env "${environment[@]}" "$program" "${arguments[@]}" > "$out/$name.log" 2>&1 || rc=$?
      echo "$rc" > "$out/$name.rc"
    ) &
  done < "$out/programs.txt"
  wait
  local failed=0 rc summary
  for name in "${names[@]}"; do
    rc=$(cat "$out/$name.rc" 2> /dev/null || echo "no exit code")
    summary=$(grep -E '^\[  PASSED  \]' "$out/$name.log" | tail -1 || true)
    if [ "$rc" = 0 ]; then
      echo "whole program $name passed: ${summary:-no summary}"
    else
      failed=$((failed + 1))
      echo "whole program $name FAILED (exit code $rc); its output is in $build/whole_programs/$name.log:"
      # A sanitizer's report from its start (the test that ran shows above it), else the end of
      # the output with GoogleTest's list of failed tests.
      local start
      start=$(grep -n -m 1 -E '^==[0-9]+==ERROR|runtime error:' "$out/$name.log" | cut -d: -f1 || true)
      if [ -n "$start" ]; then
        sed -n "$((start > 4 ? start - 4 : 1)),$((start + 40))p" "$out/$name.log"
        grep -E '^SUMMARY: ' "$out/$name.log" || true
      else
        tail -n 80 "$out/$name.log"
      fi
    fi
  done
  echo "${#names[@]} whole programs: $(( ${#names[@]} - failed )) passed, $failed failed"
  [ "$failed" -eq 0 ] || exit 1
  passed=$((passed + ${#names[@]}))
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
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_ctest ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
run_whole_programs build/sanitize
unset ASAN_OPTIONS UBSAN_OPTIONS

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
