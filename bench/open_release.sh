#!/usr/bin/env bash
# Builds the library (Release, into $BUILD_DIR, default build-bench/) and the open_release
# benchmark against it, then runs the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF > /dev/null
cmake --build "$build" -j "$(nproc)" --target tarnwick > /dev/null
key=$(sed -n 's/^TARNWICK_TRUSTED_KEY:STRING=//p' "$build/CMakeCache.txt")
g++ -std=c++20 -O2 -Wall -Wextra -Isrc -DTARNWICK_TRUSTED_KEY="\"$key\"" \
  bench/open_release_bench.cpp "$build/libtarnwick.a" -lcrypto -lsimdjson -pthread \
  -o "$build/open_release_bench"
"$build/open_release_bench"
