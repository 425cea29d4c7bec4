#!/usr/bin/env bash
# Builds the project and runs the main job: the example host on the shipped sample program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build/plain zek_example
./build/plain/runner/zek_example tests/fixtures/sample.zvm
