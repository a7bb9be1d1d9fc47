#!/bin/sh
# Builds the benchmarks (Release) if needed and runs the whole suite: each
# figure beside its floor and its peer, as a table and as JSON lines.
#
# Usage: bench/run.sh [--quick] [--raw] [--dir DIR]
#   TOVIK_BENCH_BUILD  build directory (default: build-bench at the project root)
#   TOVIK_BENCH_JOBS   parallel build jobs (default: 2)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOVIK_BENCH_BUILD:-$root/build-bench}
jobs=${TOVIK_BENCH_JOBS:-2}

if [ ! -f "$build/build.ninja" ]; then
  # Figures come from optimised code; the unit tests are not needed here.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVIK_TESTS=OFF >/dev/null
fi
ninja -C "$build" -j "$jobs" tovik store_bench document_bench server_bench >/dev/null

exec /usr/bin/python3 "$root/bench/suite.py" --build "$build" "$@"
