#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, from the seeds the build wrote.
set -euo pipefail
dir=$1
seconds=$2
shopt -s nullglob
targets=("$dir"/tests/fuzz/fuzz_*)
for t in "${targets[@]}"; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  corpus="$dir/tests/fuzz/corpus_${name#fuzz_}"
  mkdir -p "$corpus"
  echo "== $name for ${seconds}s"
  "$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$corpus" "$dir/tests/fuzz/seeds_${name#fuzz_}"
done
