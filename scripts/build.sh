#!/usr/bin/env bash
# Configures and builds into build/: everything (program, platform, tools, tests, benchmarks), or only
# the targets named (scripts/build.sh vek72 vekd).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$BUILD_DIR" --parallel "$(nproc)" "${targets[@]}"
