#!/usr/bin/env bash
# Builds the project and runs the main job: zekvm on the shipped sample program, fed by the
# shipped input recording, writing an output record file; then prints that file's rows.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset plain
ninja -C build/plain zekvm zekbin_dump
mkdir -p build/main
rc=0
./build/plain/runner/zekvm tests/fixtures/feed.zvm -i tests/fixtures/feed_input.zekbin -o build/main/feed_output.zekbin || rc=$?
echo "zekvm exit code $rc"
[ "$rc" -eq 0 ]
./build/plain/runner/zekbin_dump build/main/feed_output.zekbin
